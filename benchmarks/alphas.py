"""The 101 formulaic alphas: zarnik's engine against a pandas formulation, one panel.

    PYTHONPATH=python python benchmarks/alphas.py                       # 2500 dates x 3000 instruments
    PYTHONPATH=python python benchmarks/alphas.py --dates 500 --instruments 400
    PYTHONPATH=python python benchmarks/alphas.py --no-single           # the batch only
    PYTHONPATH=python python benchmarks/alphas.py --single-repeats 5    # each alpha alone: best of 5 runs
    PYTHONPATH=python python benchmarks/alphas.py --no-fuse             # element-wise nodes one by one
    PYTHONPATH=python python benchmarks/alphas.py --fuse-gain --only alpha012,alpha101
                                          # each alone: fused against node by node, best of --repeats
    PYTHONPATH=python python benchmarks/alphas.py --kernel --dates 1000 --instruments 1000
                                          # the fused kernel alone against numpy's separate passes
    PYTHONPATH=python python benchmarks/alphas.py --engine-only --instruments 1000
                                          # the batch on the engine side only: time, peak RSS, page faults
    PYTHONPATH=python python benchmarks/alphas.py --engine-only --one-thread --repeats 2
                                          # the same, one thread against all (alternating)
    PYTHONPATH=python python benchmarks/alphas.py --profile --instruments 1000
                                          # the same with the batch's time by operator and input layout

The pandas side is tests/pandas_alphas.py: the paper's text of each alpha
parsed and evaluated with DataFrame operations (rolling windows, shifted
frames, cross-sectional ``rank``, a groupby for the industry demeaning). The
engine evaluates the library's formulas, all 101 in one ``evaluate`` call
(fields and common subtrees shared) and, unless --no-single, each alone,
against the pandas formulation of that alpha alone, best of --single-repeats
runs per side (alternating, so a burst of load hits both). Both sides read the same
in-memory synthetic panel, so store access is not timed. Ratios are
pandas time / engine time, measured in the same run.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))


def make_panel(n_dates: int, n_ids: int, seed: int = 1):
    rng = np.random.default_rng(seed)
    cal = pd.bdate_range("2010-01-04", periods=n_dates + 300)
    ids = ["{:06d}.XSHE".format(i) for i in range(n_ids)]
    shape = (len(cal), n_ids)
    ret = rng.normal(0, 0.02, shape)
    close = np.round(10 * np.exp(np.cumsum(ret, axis=0)), 2)
    close[rng.random(shape) < 0.01] = np.nan
    opn = np.round(close * np.exp(rng.normal(0, 0.01, shape)), 2)
    high = np.round(np.fmax(close, opn) * (1 + rng.uniform(0, 0.02, shape)), 2)
    low = np.round(np.fmin(close, opn) * (1 - rng.uniform(0, 0.02, shape)), 2)
    volume = np.round(rng.lognormal(12, 0.6, shape), -2)
    turnover = volume * (high + low + close) / 3
    shares = np.exp(rng.normal(20.5, 1.0, n_ids))[None, :] * np.ones((len(cal), 1))
    data = {"close": close, "open": opn, "high": high, "low": low, "volume": volume, "total_turnover": turnover,
            "shares": shares}
    with np.errstate(invalid="ignore", divide="ignore"):
        data["vwap"] = turnover / volume
        data["returns"] = np.vstack([np.full((1, n_ids), np.nan), close[1:] / close[:-1] - 1])
        data["cap"] = close * shares
        data["turnover_rate"] = volume / shares
    frames = {k: pd.DataFrame(v, index=cal, columns=ids) for k, v in data.items()}
    codes = pd.DataFrame([rng.integers(0, 28, n_ids)], index=[cal[0]], columns=ids)
    return cal, ids, frames, codes


def install_market(cal, ids, frames, codes) -> None:
    """Answer the engine's market-data calls from the in-memory panel."""
    import ostrel

    from zarnik.analysis import assayer

    def get_trading_dates(start, end):
        s, e = pd.Timestamp(start), pd.Timestamp(end)
        return cal[(cal >= s) & (cal <= e)]  # a DatetimeIndex, as ostrel.get_trading_dates returns

    def get_previous_trading_date(date, n=1):
        return cal[cal.searchsorted(pd.Timestamp(date)) - n].date()

    def get_panel(fields, order_book_ids, start_date, end_date, adjust_type="post"):
        s, e = pd.Timestamp(start_date), pd.Timestamp(end_date)
        wanted = list(order_book_ids)
        return {f: frames[f].loc[s:e] if wanted == list(ids) else frames[f].loc[s:e, wanted] for f in fields}

    ostrel.get_trading_dates = get_trading_dates
    ostrel.get_previous_trading_date = get_previous_trading_date
    ostrel.get_panel = get_panel
    assayer.get_all_industry_category = lambda source="citics_2019": codes


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dates", type=int, default=2500)
    ap.add_argument("--instruments", type=int, default=3000)
    ap.add_argument("--no-single", action="store_true", help="time only the batch of 101, not each alpha alone")
    ap.add_argument("--only", help="comma-separated alpha names (default: all 101)")
    ap.add_argument("--no-fuse", action="store_true",
                    help="evaluate every element-wise node as its own numpy call (no fused subtrees)")
    ap.add_argument("--fuse-gain", action="store_true",
                    help="only time each alpha alone with fused subtrees against node by node (no pandas)")
    ap.add_argument("--kernel", action="store_true",
                    help="only time the fused programs of alpha041 and alpha101 on the panel's fields against "
                         "numpy's separate passes, with AVX2 and with SSE2 loops (no engine, no pandas)")
    ap.add_argument("--engine-only", action="store_true",
                    help="only time the batch on the engine side (best of --repeats), with peak RSS and page faults")
    ap.add_argument("--profile", action="store_true",
                    help="--engine-only, then one more batch with timers around every node: time by operator, "
                         "input layout and rows")
    ap.add_argument("--one-thread", action="store_true",
                    help="with --engine-only: alternate runs on one thread with runs on all (ZARNIK_NUM_THREADS)")
    ap.add_argument("--repeats", type=int, default=5,
                    help="runs per side for --fuse-gain and --kernel (best is shown)")
    ap.add_argument("--single-repeats", type=int, default=3,
                    help="runs per side for each alpha alone (best is shown; default 3)")
    args = ap.parse_args()
    if args.repeats < 1 or args.single_repeats < 1:
        ap.error("--repeats and --single-repeats must be at least 1")
    warnings.simplefilter("ignore")
    sys.stdout.reconfigure(line_buffering=True)

    from pandas_alphas import Reference

    import zarnik
    from zarnik import alphas, engine

    if args.no_fuse:
        engine._FUSE = False
    cal, ids, frames, codes = make_panel(args.dates, args.instruments)
    if args.kernel:
        kernel_gain(frames, args.dates, max(args.repeats, 20))
        return
    install_market(cal, ids, frames, codes)
    names = args.only.split(",") if args.only else alphas.names("alpha101")
    start, end = cal[-args.dates], cal[-1]
    # pandas starts from frames cut to the dates the engine loads (the longest look-back is < 300)
    sub = {k: v.loc[cal[0]:end] for k, v in frames.items()}
    sub["industry"] = pd.DataFrame(np.broadcast_to(codes.to_numpy(dtype=float), (len(cal), len(ids))),
                                   index=cal, columns=ids)
    print("panel: {} dates x {} instruments, {} alphas; {} threads; element-wise subtrees {}".format(
        args.dates, args.instruments, len(names), os.environ.get("ZARNIK_NUM_THREADS", os.cpu_count()),
        "node by node" if args.no_fuse else "fused"))
    # warm-up on a small slice
    alphas.evaluate(names[:3], ids[:20], cal[-30], end, progress=False)
    if args.fuse_gain:
        fuse_gain(names, ids, start, end, args.repeats)
        return
    if args.engine_only or args.profile:
        engine_only(names, ids, start, end, args.repeats if args.engine_only else 1, args.one_thread)
        if args.profile:
            profile(names, ids, start, end)
        return

    t0 = time.perf_counter()
    got = alphas.evaluate(names, ids, start, end, progress=False)
    t_batch = time.perf_counter() - t0
    print("engine, all {} in one evaluate call: {:.2f} s".format(len(names), t_batch))
    # pandas: one alpha after another over the same frames; each result is compared and dropped
    # right away (outside the timed part), so the memory holds one of them at a time
    ref = Reference(dict(sub))
    t_pandas = 0.0
    agree = 0
    for n in names:
        t0 = time.perf_counter()
        want = ref.run(alphas.get(n).paper)
        t_pandas += time.perf_counter() - t0
        a, b = got[n].to_numpy(), want.loc[start:end].to_numpy()
        both = np.isfinite(a) & np.isfinite(b)
        if both.any() and np.mean(np.abs(a[both] - b[both]) <= 1e-8 * np.maximum(1, np.abs(b[both]))) > 0.75:
            agree += 1
        del want
    del got
    print("all {} together: engine {:.2f} s, pandas {:.2f} s, ratio {:.1f}x ({} of {} agree with pandas on "
          "most cells)".format(len(names), t_batch, t_pandas, t_pandas / t_batch, agree, len(names)))
    if args.no_single:
        return
    print("each alpha alone, best of {} runs per side".format(args.single_repeats))
    print("{:<10} {:>10} {:>10} {:>8}".format("alpha", "engine s", "pandas s", "ratio"))
    slowest = None
    for n in names:
        f = alphas.get(n).factor()
        te = tp = float("inf")
        for _ in range(args.single_repeats):
            t0 = time.perf_counter()
            out = zarnik.execute_factor(f, ids, start, end, progress=False)
            te = min(te, time.perf_counter() - t0)
            del out
            t0 = time.perf_counter()
            r = Reference(dict(sub)).run(alphas.get(n).paper)
            tp = min(tp, time.perf_counter() - t0)
            del r
        print("{:<10} {:>10.3f} {:>10.3f} {:>7.1f}x".format(n, te, tp, tp / te))
        if slowest is None or tp / te < slowest[1]:
            slowest = (n, tp / te)
    print("lowest single-alpha ratio: {} {:.1f}x".format(*slowest))


def _usage() -> tuple[float, int, int]:
    import resource

    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime, u.ru_stime, u.ru_minflt, u.ru_majflt


def engine_only(names, ids, start, end, repeats: int, one_thread: bool = False) -> None:
    """The batch on the engine side: wall and CPU time, page faults, peak RSS; best of ``repeats``.
    With ``one_thread``, runs on one thread (ZARNIK_NUM_THREADS=1) alternate with runs on all."""
    import resource

    from zarnik import alphas

    sides = {"": os.environ.get("ZARNIK_NUM_THREADS")}
    if one_thread:
        sides = {"all threads": sides[""], "one thread": "1"}
    best: dict[str, float] = {}
    saved = os.environ.get("ZARNIK_NUM_THREADS")
    try:
        for _ in range(repeats):
            for side, threads in sides.items():
                if threads is None:
                    os.environ.pop("ZARNIK_NUM_THREADS", None)
                else:
                    os.environ["ZARNIK_NUM_THREADS"] = threads
                load = open("/proc/loadavg").read().split()[0]
                before = _usage()
                t0 = time.perf_counter()
                got = alphas.evaluate(names, ids, start, end, progress=False)
                wall = time.perf_counter() - t0
                user, system, minflt, majflt = (b - a for a, b in zip(before, _usage()))
                del got
                print("engine{}, all {} in one evaluate call: {:.2f} s wall, CPU {:.2f} s user + {:.2f} s system, "
                      "{:,} minor / {} major page faults (load average {})".format(
                          " (" + side + ")" if side else "", len(names), wall, user, system, minflt, majflt, load))
                best[side] = min(best.get(side, wall), wall)
    finally:
        if saved is None:
            os.environ.pop("ZARNIK_NUM_THREADS", None)
        else:
            os.environ["ZARNIK_NUM_THREADS"] = saved
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
    print("best: {}; peak RSS of the process {:.2f} GB".format(
        ", ".join("{}{:.2f} s".format(k + " " if k else "", v) for k, v in best.items()), peak))
    if one_thread:
        print("one thread / all threads: {:.2f}x".format(best["one thread"] / best["all threads"]))


def _layout(v) -> str:
    if not isinstance(v, np.ndarray) or v.ndim != 2:
        return "s"
    if v.flags.c_contiguous:
        return "C"
    if v.flags.f_contiguous:
        return "F"
    return "c" if v.strides[1] == v.itemsize else ("f" if v.strides[0] == v.itemsize else "?")


def profile(names, ids, start, end) -> None:
    """One batch with timers around every node: time and page faults by operator and input layout
    (C / F compact, c / f row- or column-major views, s scalar)."""
    import collections

    from zarnik import alphas
    from zarnik import engine as E

    by_op: dict = collections.defaultdict(lambda: [0.0, 0, 0, 0.0, 0.0])  # seconds, calls, minor faults, CPU, system
    step, load = E._Evaluator.step, E._load_fields
    state = {"steps": 0.0}

    def timed_step(self, i):
        if i in self.deferred:
            return step(self, i)
        g = self.graph
        members = self.groups.get(i)
        if members is not None:
            name = "fused[{}]".format(len(members))
            kids = sorted({c for m in members for c in g.children[m] if c not in set(members)})
        else:
            name = E._func_name(g.keys[i][0])
            kids = g.children[i]
        lay = "".join(_layout(self.values[c]) for c in kids if g.kind[c] != "lit")
        u0, s0, f0, _ = _usage()
        t0 = time.perf_counter()
        try:
            return step(self, i)
        finally:
            dt = time.perf_counter() - t0
            u1, s1, f1, _ = _usage()
            state["steps"] += dt
            out = _layout(self.values[i])
            rows = self.values[i].shape[0] if isinstance(self.values[i], np.ndarray) and self.values[i].ndim == 2 else 0
            rec = by_op[(name, lay + "->" + out, rows)]
            rec[0] += dt
            rec[1] += 1
            rec[2] += f1 - f0
            rec[3] += u1 + s1 - u0 - s0
            rec[4] += s1 - s0

    def timed_load(*a):
        t0 = time.perf_counter()
        try:
            return load(*a)
        finally:
            by_op[("(load fields)", "", 0)][0] += time.perf_counter() - t0
            by_op[("(load fields)", "", 0)][1] += 1

    E._Evaluator.step, E._load_fields = timed_step, timed_load
    try:
        t0 = time.perf_counter()
        got = alphas.evaluate(names, ids, start, end, progress=False)
        total = time.perf_counter() - t0
        del got
    finally:
        E._Evaluator.step, E._load_fields = step, load
    other = total - state["steps"] - by_op[("(load fields)", "", 0)][0]
    print("profiled batch: {:.2f} s; outside the nodes and the loading (graph, plans, result frames): "
          "{:.2f} s".format(total, other))
    ops: dict = collections.defaultdict(lambda: [0.0, 0, 0, 0.0, 0.0])
    for (name, lay, rows), rec in by_op.items():
        o = ops[name]
        for k in range(5):
            o[k] += rec[k]
    print("{:<24} {:>8} {:>6} {:>7} {:>8} {:>9} {:>12}".format("operator", "s", "calls", "share", "CPU s", "system s",
                                                               "minor faults"))
    for name, (sec, n, flt, cpu, sy) in sorted(ops.items(), key=lambda kv: -kv[1][0])[:25]:
        print("{:<24} {:>8.2f} {:>6} {:>6.1f}% {:>8.2f} {:>9.2f} {:>12,}".format(
            name, sec, n, 100 * sec / total, cpu, sy, flt))
    by_layout: dict = collections.defaultdict(lambda: [0.0, 0, 0, 0.0, 0.0, 0])
    for (name, lay, rows), rec in by_op.items():
        o = by_layout[(name, lay)]
        for k in range(5):
            o[k] += rec[k]
        o[5] = max(o[5], rows)
    print("by operator and input layouts -> output layout (top 30; most rows of a call)")
    for (name, lay), (sec, n, flt, cpu, sy, rows) in sorted(by_layout.items(), key=lambda kv: -kv[1][0])[:30]:
        print("{:<24} {:<10} {:>6} {:>8.2f} {:>6} {:>6.1f}% {:>8.2f} {:>9.2f} {:>12,}".format(
            name, lay, rows, sec, n, 100 * sec / total, cpu, sy, flt))


def fuse_gain(names, ids, start, end, repeats: int) -> None:
    """Each alpha alone, fused and node by node alternating; best of ``repeats`` each."""
    import zarnik
    from zarnik import alphas, engine

    print("{:<10} {:>10} {:>12} {:>8}".format("alpha", "fused s", "one by one s", "ratio"))
    for n in names:
        f = alphas.get(n).factor()
        best = {True: float("inf"), False: float("inf")}
        for _ in range(repeats):
            for fuse in (True, False):
                engine._FUSE = fuse
                t0 = time.perf_counter()
                out = zarnik.execute_factor(f, ids, start, end, progress=False)
                best[fuse] = min(best[fuse], time.perf_counter() - t0)
                del out
        engine._FUSE = True
        print("{:<10} {:>10.4f} {:>12.4f} {:>7.2f}x".format(n, best[True], best[False], best[False] / best[True]))


def kernel_gain(frames, n_dates: int, repeats: int) -> None:
    """The fused programs of two alphas against numpy's passes over the same arrays, best of ``repeats``.

    The fields are the engine's inputs: the last ``n_dates`` rows of each frame (column-major views).
    numpy runs each node as its own ufunc call, into fresh arrays and, the fairer baseline, into
    one reused buffer (out=); the kernel writes into a reused buffer. Both loops of the kernel are
    timed, AVX2 (where the processor has it) and SSE2 (ZARNIK_NO_AVX2=1, read on each call).
    """
    views = {k: frames[k].to_numpy()[-n_dates:] for k in ("high", "low", "vwap", "close", "open")}
    print("the engine's inputs: views of the frames' last {} rows (lines {} elements apart)".format(
        n_dates, views["high"].strides[1] // 8))
    _kernel_cases(views, repeats)
    print("the same fields as compact column-major copies")
    _kernel_cases({k: v.copy(order="F") for k, v in views.items()}, repeats)


def _kernel_cases(f, repeats: int) -> None:
    from zarnik import _core

    h, lo, vw, c, o = f["high"], f["low"], f["vwap"], f["close"], f["open"]
    buf = np.empty(h.shape, order="F")
    # operation codes: 0 add, 1 subtract, 2 multiply, 3 divide, 6 sqrt
    cases = {
        "alpha041 (high * low) ** 0.5 - vwap": (
            [(2, 3, 0, 1, 0), (6, 3, 3, 0, 0), (1, 3, 3, 2, 0)], [h, lo, vw], 4,
            lambda: np.sqrt(h * lo) - vw,
            lambda: np.subtract(np.sqrt(np.multiply(h, lo, out=buf), out=buf), vw, out=buf)),
        "alpha101 (close - open) / ((high - low) + 0.001)": (
            [(1, 5, 0, 1, 0), (1, 6, 2, 3, 0), (0, 6, 6, 4, 0), (3, 5, 5, 6, 0)], [c, o, h, lo, 0.001], 7,
            lambda: (c - o) / ((h - lo) + 0.001),
            None),
    }
    tmp = np.empty(h.shape, order="F")

    def a101_out():
        np.subtract(c, o, out=buf)
        np.subtract(h, lo, out=tmp)
        np.add(tmp, 0.001, out=tmp)
        return np.divide(buf, tmp, out=buf)

    out = np.empty(h.shape, order="F")
    saved = os.environ.get("ZARNIK_NO_AVX2")
    print("{} x {} panel, best of {}; ratios: numpy time / fused time".format(*h.shape, repeats))
    print("{:<50} {:>9} {:>9} {:>9} {:>9} {:>13}".format("program", "np new", "np out=", "fused", "fused SSE2",
                                                            "ratio (out=)"))
    try:
        for name, (code, inputs, n_regs, fresh, into) in cases.items():
            into = into or a101_out
            with np.errstate(all="ignore"):
                want = fresh()
            best = dict.fromkeys(("new", "out", "avx", "sse"), float("inf"))
            for _ in range(repeats):  # alternating, so a burst of load hits every side
                for side in best:
                    if side in ("avx", "sse"):
                        if side == "sse":
                            os.environ["ZARNIK_NO_AVX2"] = "1"
                        else:
                            os.environ.pop("ZARNIK_NO_AVX2", None)
                    t0 = time.perf_counter()
                    with np.errstate(all="ignore"):
                        if side == "new":
                            r = fresh()
                            del r
                        elif side == "out":
                            into()
                        else:
                            _core.fused_elementwise(code, inputs, n_regs, "F", out)
                    best[side] = min(best[side], time.perf_counter() - t0)
                    if side in ("avx", "sse") and not np.array_equal(out, want, equal_nan=True):
                        raise SystemExit("{}: the fused result differs from numpy's".format(name))
            print("{:<50} {:>7.2f}ms {:>7.2f}ms {:>7.2f}ms {:>8.2f}ms {:>12.2f}x".format(
                name, *(1e3 * best[k] for k in ("new", "out", "avx", "sse")), best["out"] / best["avx"]))
    finally:
        if saved is None:
            os.environ.pop("ZARNIK_NO_AVX2", None)
        else:
            os.environ["ZARNIK_NO_AVX2"] = saved


if __name__ == "__main__":
    main()
