"""zarnik's rolling kernels against the libraries a researcher would use instead.

The same inputs go through zarnik, polars, numbagg, bottleneck and pandas, in one
process, the sides alternating, best of N by wall clock (time.perf_counter):

  * 1-D series of L = 250, 2,500 and 250,000 values;
  * 2-D panels of 2,500 dates x 3,000 instruments, C and Fortran order
    (zarnik through ``zarnik.rolling._apply_columns``, the others along axis 0);
  * windows 5, 20 and 250, 1 % NaN in every input.

Like is compared with like: every peer runs with min_periods = window (a window
holding a NaN gives NaN, as zarnik's kernels do), population moments (ddof 0)
where the peer lets one choose, and each peer's result is checked against
zarnik's on the 1-D series before it is timed.  Where a peer computes another
statistic (numbagg's ddof 1, bottleneck's rank scale, an argmin counted from the
newest value) the check undoes the difference; for argmin, argmax and rank
a window holding a NaN gives NaN in every peer and numpy's placement of the
NaN in zarnik, so those kernels are checked on the windows without NaN; where the statistic itself
differs (every peer's ewm has an infinite history, zarnik's ``ema`` a finite
window) the ratio is printed in a separate table marked as such.

polars is timed on data already converted to polars (NaN as null) and its result
is left in polars; the conversion is printed on its own line.

Prints one ratio table per peer (peer time / zarnik time: > 1 means zarnik is
faster), the per-call floor (a series of window + 4 values), the ratio against
the numpy window-matrix formulation of benchmarks/rolling.py in 1-D, and
``np.copyto`` of the panel as the yardstick of a streaming pass in 2-D (into an
array already written once, so it is measured both ways for zarnik: a new result
per call, and into a preallocated ``out=`` array).

    python benchmarks/peers.py            # everything (20-40 minutes on 2 cores)
    python benchmarks/peers.py --quick    # n = 20, L = 2,500 and 250,000, C order (a few minutes)
    python benchmarks/peers.py --kernels ma std --windows 20 --no-2d
    python benchmarks/peers.py --dispatch # zarnik's threads, idle and beside a busy core
    python benchmarks/peers.py --quick --busy   # the whole comparison beside a busy core

The peers are the ``bench`` extra (``pip install .[bench]``); a missing peer is
skipped.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from rolling import NUMPY, PANDAS  # noqa: E402  the window-matrix and pandas formulations

import zarnik.rolling as R  # noqa: E402

try:
    import bottleneck as bn
except ImportError:  # pragma: no cover
    bn = None
try:
    import numbagg as nbg
except ImportError:  # pragma: no cover
    nbg = None
try:
    import polars as pl
except ImportError:  # pragma: no cover
    pl = None

warnings.filterwarnings("ignore")
np.seterr(all="ignore")

PAIR = {"covariance", "correlation"}
KERNELS = ["sum", "ma", "std", "var", "ts_min", "ts_max", "ts_argmin", "ts_argmax", "ts_rank",
           "skew", "kurt", "covariance", "correlation", "ema"]
DIFFERENT = {"ema"}  # peers' ewm: infinite history, zarnik: a finite window of weights


# ---------------------------------------------------------------------------
# peers: name -> kernel -> (call(x, y, n, axis), to_zarnik(result, n)) where
# to_zarnik maps the peer's result (length L, NaN padded) onto zarnik's scale
# ---------------------------------------------------------------------------
def _ident(r, n):
    return r


def _scale(f):
    return lambda r, n: np.asarray(r) * f(n)


def _bn_peer():
    if bn is None:
        return {}
    t = {k: (lambda x, y, n, axis, f=f: getattr(bn, f)(x, n, axis=axis), _ident)
         for k, f in [("sum", "move_sum"), ("ma", "move_mean"), ("ts_min", "move_min"), ("ts_max", "move_max")]}
    t["std"] = (lambda x, y, n, axis: bn.move_std(x, n, axis=axis, ddof=0), _ident)
    t["var"] = (lambda x, y, n, axis: bn.move_var(x, n, axis=axis, ddof=0), _ident)
    # bottleneck counts argmin/argmax back from the newest value and scales rank to [-1, 1]
    t["ts_argmin"] = (lambda x, y, n, axis: bn.move_argmin(x, n, axis=axis), lambda r, n: n - 1 - r)
    t["ts_argmax"] = (lambda x, y, n, axis: bn.move_argmax(x, n, axis=axis), lambda r, n: n - 1 - r)
    t["ts_rank"] = (lambda x, y, n, axis: bn.move_rank(x, n, axis=axis), lambda r, n: (r + 1) / 2 * (n - 1) / n)
    return t


def _nbg_peer():
    if nbg is None:
        return {}
    t = {k: (lambda x, y, n, axis, f=f: getattr(nbg, f)(x, window=n, axis=axis), _ident)
         for k, f in [("sum", "move_sum"), ("ma", "move_mean")]}
    # numbagg's moving std, var and cov have divisor n - 1
    t["std"] = (lambda x, y, n, axis: nbg.move_std(x, window=n, axis=axis), _scale(lambda n: np.sqrt((n - 1) / n)))
    t["var"] = (lambda x, y, n, axis: nbg.move_var(x, window=n, axis=axis), _scale(lambda n: (n - 1) / n))
    t["covariance"] = (lambda x, y, n, axis: nbg.move_cov(x, y, window=n, axis=axis), _scale(lambda n: (n - 1) / n))
    t["correlation"] = (lambda x, y, n, axis: nbg.move_corr(x, y, window=n, axis=axis), _ident)
    t["ema"] = (lambda x, y, n, axis: nbg.move_exp_nanmean(x, alpha=2 / (n + 1), axis=axis), None)
    return t


def _pl_peer():
    if pl is None:
        return {}
    post = {"ts_rank": lambda r, n: (r - 1) / n, "ema": None}

    # x: a frame with columns x and y (1-D) or one column per instrument (2-D); y: None or the
    # second panel's frame (2-D)
    def make(k):
        def call(x, y, n, axis):
            if y is None:
                if k in PAIR:
                    return x.select(_pair_expr(k, "x", "y", n))
                return x.select(_single_expr(k, "x", n))
            if k in PAIR:
                return pl.concat([x, y], how="horizontal").select(
                    [_pair_expr(k, a, b, n) for a, b in zip(x.columns, y.columns)])
            return x.select([_single_expr(k, col, n) for col in x.columns])
        return call

    names = ["sum", "ma", "std", "var", "ts_min", "ts_max", "ts_rank", "skew", "kurt", "covariance",
             "correlation", "ema"]
    return {k: (make(k), post.get(k, _ident)) for k in names}


def _single_expr(k, col, n):
    c = pl.col(col)
    return {
        "sum": lambda: c.rolling_sum(n), "ma": lambda: c.rolling_mean(n),
        "std": lambda: c.rolling_std(n, ddof=0), "var": lambda: c.rolling_var(n, ddof=0),
        "ts_min": lambda: c.rolling_min(n), "ts_max": lambda: c.rolling_max(n),
        "ts_rank": lambda: c.rolling_rank(n, method="max"), "skew": lambda: c.rolling_skew(n, bias=False),
        "kurt": lambda: c.rolling_kurtosis(n, bias=False),
        "ema": lambda: c.ewm_mean(span=n, adjust=False, ignore_nulls=False),
    }[k]()


def _pair_expr(k, a, b, n):
    if k == "covariance":
        return pl.rolling_cov(a, b, window_size=n, ddof=0).alias(a)
    return pl.rolling_corr(a, b, window_size=n).alias(a)


def _pd_peer():
    # the same pandas formulations as benchmarks/rolling.py; ts_rank keeps pandas' own scale here
    # (undone in post) so that pandas' time is its rank alone
    same = ("sum", "ma", "std", "var", "ts_min", "ts_max", "skew", "kurt", "covariance", "correlation")
    t = {k: (lambda d, o, n, f=PANDAS[k]: f(d, n, o)) for k in same}
    t["ts_rank"] = lambda d, o, n: d.rolling(n).rank(method="max")
    t["ema"] = lambda d, o, n: d.ewm(span=n, adjust=False).mean()
    post = {"ts_rank": lambda r, n: (np.asarray(r) - 1) / n, "ema": None}
    return {k: (lambda x, y, n, axis, f=f: f(x, y, n), post.get(k, _ident)) for k, f in t.items()}


PEERS = {"polars": _pl_peer(), "numbagg": _nbg_peer(), "bottleneck": _bn_peer(), "pandas": _pd_peer()}


# ---------------------------------------------------------------------------
# inputs in each peer's own container
# ---------------------------------------------------------------------------
def prepare(peer, x, y, two_d):
    """The inputs as the peer takes them (numpy arrays, frames)."""
    if peer == "pandas":
        return (pd.DataFrame(x), pd.DataFrame(y)) if two_d else (pd.Series(x), pd.Series(y))
    if peer == "polars":
        if two_d:
            return (pl.DataFrame(x, schema=[f"c{j}" for j in range(x.shape[1])], nan_to_null=True),
                    pl.DataFrame(y, schema=[f"d{j}" for j in range(y.shape[1])], nan_to_null=True))
        return pl.DataFrame({"x": x, "y": y}, nan_to_null=True), None
    return x, y


def as_numpy(peer, r):
    if peer == "polars":
        return r.to_numpy()[:, 0].astype(float)
    return np.asarray(r, dtype=float)


def zarnik_call(k, x, y, n, two_d, out=None):
    kern = getattr(R, k)
    if two_d:
        arrays = (x, y) if k in PAIR else (x,)
        return lambda: R._apply_columns(kern, n, *arrays, out=out)
    return (lambda: kern(n, x, y)) if k in PAIR else (lambda: kern(x, n))


def agrees(k, ours, theirs, n):
    """zarnik's result against a peer's (NaN padded to length L), NaN where NaN."""
    theirs = np.asarray(theirs, dtype=float)[n - 1:]
    if theirs.shape != ours.shape:
        return False
    both = np.isnan(ours) & np.isnan(theirs)
    ok = both | np.isclose(ours, theirs, rtol=1e-6, atol=1e-8)
    if k in ("ts_argmin", "ts_argmax", "ts_rank"):
        # zarnik places a NaN as numpy's argsort/argmin do, the peers give NaN for such a
        # window: compare the windows without NaN; ties may be broken differently
        ok = ok[~np.isnan(theirs)]
        return ok.size > 0 and ok.mean() > 0.98
    return bool(ok.all())


# ---------------------------------------------------------------------------
# timing
# ---------------------------------------------------------------------------
def alternate(fns, repeat, target):
    """Best wall time per call of each callable, the callables taking turns.

    Each sample runs a callable enough times back to back to last about
    `target` seconds (once for long calls); `repeat` samples of each."""
    numbers = []
    for f in fns:
        t0 = time.perf_counter()
        f()
        once = time.perf_counter() - t0
        numbers.append(max(1, int(target / max(once, 1e-7))))
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, f in enumerate(fns):
            num = numbers[i]
            t0 = time.perf_counter()
            for _ in range(num):
                f()
            best[i] = min(best[i], (time.perf_counter() - t0) / num)
    return best


class Busy:
    """A busy loop in a child process (one core's worth of other work) while in use."""

    def __init__(self, on=True):
        self.on, self.proc = on, None

    def __enter__(self):
        if self.on:
            import subprocess
            self.proc = subprocess.Popen([sys.executable, "-c", "while True: pass"])
            time.sleep(0.2)
        return self

    def __exit__(self, *exc):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()


def dispatch(dates, columns, repeat):
    """zarnik's 2-D kernels with 1 and 2 threads, on an idle machine and beside a busy loop,
    and the same on a small panel (work one core finishes in tens of microseconds)."""
    rng = np.random.default_rng(0)
    big = 100 + np.cumsum(rng.normal(size=(dates, columns)), axis=0)
    big[rng.random(big.shape) < 0.01] = np.nan
    small = np.ascontiguousarray(big[:60, :64])
    saved = os.environ.get("ZARNIK_NUM_THREADS")
    print(f"zarnik 2-D calls by thread count (ZARNIK_NUM_THREADS), n = 20, best of {repeat} by wall clock; "
          "busy = a busy loop in another process")
    print(f"{'kernel':<12}{'panel':>12} | {'idle 1':>9} {'idle 2':>9} {'busy 1':>9} {'busy 2':>9} | "
          f"{'2 vs 1 idle':>11} {'2 vs 1 busy':>11}")
    try:
        for panel, label in ((big, f"{dates}x{columns}"), (small, "60x64")):
            unit, scale = ("ms", 1e3) if panel is big else ("us", 1e6)
            for k in ("ma", "std", "ts_max", "ts_rank", "correlation"):
                f = zarnik_call(k, panel, panel, 20, True)
                got = {}
                for busy in (False, True):
                    with Busy(busy):
                        for th in ("1", "2"):
                            os.environ["ZARNIK_NUM_THREADS"] = th
                            got[(busy, th)] = alternate([f], repeat, 0.0 if panel is big else 0.002)[0]
                cells = " ".join(f"{got[(b, t)] * scale:7.2f}{unit}" for b in (False, True) for t in ("1", "2"))
                print(f"{k:<12}{label:>12} | {cells} | {got[(False, '1')] / got[(False, '2')]:10.2f}x "
                      f"{got[(True, '1')] / got[(True, '2')]:10.2f}x", flush=True)
    finally:
        if saved is None:
            os.environ.pop("ZARNIK_NUM_THREADS", None)
        else:
            os.environ["ZARNIK_NUM_THREADS"] = saved


def fmt(r):
    if r is None:
        return "    -"
    return f"{r:5.1f}" if r < 100 else f"{r:5.0f}"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="n = 20; L = 2,500 and 250,000; C order only")
    ap.add_argument("--windows", type=int, nargs="+")
    ap.add_argument("--lengths", type=int, nargs="+", help="1-D lengths (default 250 2500 250000)")
    ap.add_argument("--dates", type=int, default=2500)
    ap.add_argument("--columns", type=int, default=3000)
    ap.add_argument("--kernels", nargs="+", choices=KERNELS)
    ap.add_argument("--peers", nargs="+", choices=list(PEERS))
    ap.add_argument("--orders", nargs="+", choices=["C", "F"])
    ap.add_argument("--repeat", type=int, default=None, help="samples per side (default 5; 3 in 2-D)")
    ap.add_argument("--no-2d", dest="two_d", action="store_false")
    ap.add_argument("--busy", action="store_true", help="run beside a busy loop in another process")
    ap.add_argument("--dispatch", action="store_true", help="only zarnik's 2-D calls by thread count, idle and busy")
    args = ap.parse_args(argv)
    if args.dispatch:
        dispatch(args.dates, args.columns, args.repeat or 5)
        return 0
    with Busy(args.busy):
        if args.busy:
            print("a busy loop runs in another process for the whole run")
        return compare(args)


def compare(args):
    windows = args.windows or ([20] if args.quick else [5, 20, 250])
    lengths = args.lengths or ([2500, 250000] if args.quick else [250, 2500, 250000])
    orders = args.orders or (["C"] if args.quick else ["C", "F"])
    kernels = args.kernels or KERNELS
    peers = [p for p in (args.peers or PEERS) if PEERS[p]]
    rep1 = args.repeat or 5
    rep2 = args.repeat or (2 if args.quick else 3)

    rng = np.random.default_rng(0)

    def series(shape):
        a = 100 + np.cumsum(rng.normal(size=shape), axis=0)
        a[rng.random(shape) < 0.01] = np.nan
        return a

    load = open("/proc/loadavg").read().split()[:3] if os.path.exists("/proc/loadavg") else ["?"] * 3
    versions = {"numpy": np.__version__, "pandas": pd.__version__}
    for name, mod in (("polars", pl), ("numbagg", nbg), ("bottleneck", bn)):
        versions[name] = getattr(mod, "__version__", "missing") if mod is not None else "missing"
    print("zarnik rolling kernels against peers; best of N by wall clock, sides alternating")
    print("versions:", ", ".join(f"{k} {v}" for k, v in versions.items()))
    print(f"cpus {os.cpu_count()}, ZARNIK_NUM_THREADS={os.environ.get('ZARNIK_NUM_THREADS', '-')}, "
          f"load average at start {' '.join(load)}")
    print("ratio = peer time / zarnik time (> 1: zarnik faster); '≠' = the peer's result differs, not timed\n")

    res = {}  # (peer, kernel, n, case) -> ratio or "≠"
    ours_t = {}  # (kernel, n, case) -> seconds
    extra = {}  # (kernel, n, case) -> numpy / copyto ratios
    cases = [f"L={L}" for L in lengths] + ([f"2-D {o}" for o in orders] if args.two_d else [])

    # --- 1-D ---------------------------------------------------------------
    check = {}  # (peer, kernel, n) -> agrees on the check series
    chk_x, chk_y = series(5000), series(5000)
    for L in lengths:
        x, y = series(L), series(L)
        case = f"L={L}"
        for k in kernels:
            for n in windows:
                if n > L:
                    continue
                ours = zarnik_call(k, x, y, n, False)
                fns, who = [ours], ["zarnik"]
                for p in peers:
                    if k not in PEERS[p]:
                        continue
                    call, post = PEERS[p][k]
                    px, py = prepare(p, x, y, False)
                    f = (lambda call=call, px=px, py=py: call(px, py, n, 0))
                    if post is not None and (p, k, n) not in check:
                        cx, cy = prepare(p, chk_x, chk_y, False)
                        want = zarnik_call(k, chk_x, chk_y, n, False)()
                        check[(p, k, n)] = agrees(k, want, post(as_numpy(p, call(cx, cy, n, 0)), n), n)
                    if post is not None and not check[(p, k, n)]:
                        res[(p, k, n, case)] = "≠"
                        continue
                    fns.append(f)
                    who.append(p)
                if L <= 2500 and k in NUMPY:
                    fns.append(lambda: NUMPY[k](n, x, y) if k in PAIR else NUMPY[k](x, n))
                    who.append("numpy")
                ts = alternate(fns, rep1, 0.002 if L <= 2500 else 0.0)
                ours_t[(k, n, case)] = ts[0]
                for w, t in zip(who[1:], ts[1:]):
                    if w == "numpy":
                        extra[(k, n, case, "numpy")] = t / ts[0]
                    else:
                        res[(w, k, n, case)] = t / ts[0]
        print(f"  1-D L={L} done", flush=True)

    # per-call floor: a series of n + 4 values
    floor = {}
    for n in windows:
        x, y = series(n + 4), series(n + 4)
        for k in kernels:
            fns, who = [zarnik_call(k, x, y, n, False)], ["zarnik"]
            for p in peers:
                if k in PEERS[p] and PEERS[p][k][1] is not None and check.get((p, k, n), True):
                    call = PEERS[p][k][0]
                    px, py = prepare(p, x, y, False)
                    fns.append(lambda call=call, px=px, py=py: call(px, py, n, 0))
                    who.append(p)
            for w, t in zip(who, alternate(fns, rep1, 0.002)):
                floor[(w, k, n)] = t

    # --- 2-D ---------------------------------------------------------------
    copyto = {}
    if args.two_d:
        base_x, base_y = series((args.dates, args.columns)), series((args.dates, args.columns))
        for order in orders:
            case = f"2-D {order}"
            x, y = np.asarray(base_x, order=order), np.asarray(base_y, order=order)
            dst = np.empty_like(x)
            copyto[order] = alternate([lambda: np.copyto(dst, x)], rep2 + 2, 0.0)[0]
            prepared = {p: prepare(p, x, y, True) for p in peers}
            if "polars" in peers and order == orders[0]:
                t_in = alternate([lambda: prepare("polars", x, y, True)], 2, 0.0)[0]
                print(f"  polars: converting the two {case} panels in takes {t_in * 1e3:.0f} ms (not in its times)")
            for k in kernels:
                for n in windows:
                    fns, who = [zarnik_call(k, x, y, n, True)], ["zarnik"]
                    # the same call into an array already written once (out=), as the
                    # engine runs its kernels: the kernel without the fresh result's page clearing
                    buf = np.empty_like(fns[0]())
                    fns.append(zarnik_call(k, x, y, n, True, out=buf))
                    who.append("zarnik out=")
                    for p in peers:
                        if k not in PEERS[p] or res.get((p, k, n, cases[0])) == "≠":
                            if k in PEERS[p]:
                                res[(p, k, n, case)] = "≠"
                            continue
                        call = PEERS[p][k][0]
                        px, py = prepared[p]
                        fns.append(lambda call=call, px=px, py=py: call(px, py, n, 0))
                        who.append(p)
                    ts = alternate(fns, rep2, 0.0)
                    ours_t[(k, n, case)] = ts[0]
                    extra[(k, n, case, "copyto")] = ts[0] / copyto[order]
                    extra[(k, n, case, "copyto out")] = ts[1] / copyto[order]
                    for w, t in zip(who[2:], ts[2:]):
                        res[(w, k, n, case)] = t / ts[0]
            print(f"  {case} done", flush=True)

    # --- tables ------------------------------------------------------------
    rows = [(k, n) for k in kernels for n in windows]
    head = f"{'kernel':<12}{'n':>4} |" + "".join(f"{c:>12}" for c in cases)

    def table(title, cell, only=None):
        print(f"\n{title}\n{head}\n{'-' * len(head)}")
        for k, n in rows:
            if only is not None and not only(k):
                continue
            vals = [cell(k, n, c) for c in cases]
            if all(v is None for v in vals):
                continue
            print(f"{k:<12}{n:>4} |" + "".join(f"{'-' if v is None else v:>12}" for v in vals))

    def us_or_ms(t):
        return None if t is None else (f"{t * 1e6:.1f} us" if t < 1e-3 else f"{t * 1e3:.1f} ms")

    table("zarnik time per call", lambda k, n, c: us_or_ms(ours_t.get((k, n, c))))
    for p in peers:
        def cell(k, n, c, p=p):
            v = res.get((p, k, n, c))
            return v if v is None or isinstance(v, str) else fmt(v).strip() + "x"
        table(f"{p}: peer time / zarnik time (same statistic)", cell, only=lambda k: k not in DIFFERENT)
        table(f"{p}: ewm with an infinite history vs zarnik ema over n values (a different statistic)",
              cell, only=lambda k: k in DIFFERENT)
    table("numpy window-matrix formulation / zarnik (1-D)",
          lambda k, n, c: None if (k, n, c, "numpy") not in extra else fmt(extra[(k, n, c, "numpy")]).strip() + "x")
    if args.two_d:
        print("\nnp.copyto of the panel: " + ", ".join(f"{o} {t * 1e3:.1f} ms" for o, t in copyto.items()))
        table("zarnik 2-D time / np.copyto of the panel (a streaming pass = 1)",
              lambda k, n, c: None if (k, n, c, "copyto") not in extra else f"{extra[(k, n, c, 'copyto')]:.1f}")
        table("the same into an array already written once (out=, as the engine runs kernels) / np.copyto",
              lambda k, n, c: None if (k, n, c, "copyto out") not in extra else f"{extra[(k, n, c, 'copyto out')]:.1f}")

    print("\nper-call floor: time of one call on a series of n + 4 values (us)")
    fh = f"{'kernel':<12}{'n':>4} |" + "".join(f"{w:>11}" for w in ["zarnik"] + peers)
    print(fh + "\n" + "-" * len(fh))
    for k, n in rows:
        print(f"{k:<12}{n:>4} |" + "".join(
            f"{floor[(w, k, n)] * 1e6:11.2f}" if (w, k, n) in floor else f"{'-':>11}" for w in ["zarnik"] + peers))

    # goals
    print("\ngoals")
    twod = [c for c in cases if c.startswith("2-D")]
    missed = []
    for k, n in rows:
        if k in DIFFERENT:
            continue
        for c in twod:
            vals = [(p, res[(p, k, n, c)]) for p in peers if isinstance(res.get((p, k, n, c)), float)]
            if vals:
                p, v = min(vals, key=lambda pv: pv[1])
                if v < 1:
                    missed.append(f"{k}@{n} {c} ({p} {v:.2f}x)")
    verdict = "not measured (--no-2d)" if not twod else "met" if not missed else "MISSED " + "; ".join(missed)
    print("  2-D: every kernel >= 1x the fastest peer that has it:", verdict)
    missed = [f"{k}@{n} {c} ({v:.1f}x)" for (k, n, c, what), v in extra.items() if what == "numpy" and v < 10]
    measured = any(what == "numpy" for (_, _, _, what) in extra)
    verdict = "not measured" if not measured else "met" if not missed else "MISSED " + "; ".join(missed)
    print("  1-D: every kernel >= 10x the numpy formulation:", verdict)
    load = open("/proc/loadavg").read().split()[:3] if os.path.exists("/proc/loadavg") else ["?"] * 3
    print(f"load average at end {' '.join(load)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
