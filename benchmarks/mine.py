"""Screening speed: zarnik.mine against a per-formula loop, on one process and on two Dask workers.

    PYTHONPATH=python python benchmarks/mine.py [--formulas 1000 --dates 2500 --instruments 3000]

Builds (or reuses, ``--store``) a generated market, writes a list of formulas (the demo's classic
factors, the alpha library of ``zarnik.alphas``, then generated combinations of fields, operators and
windows) and times, each in a fresh
process so that peak memory is its own:

* the per-formula loop a researcher would write: ``execute_factor`` + the same analysis steps with
  returns loaded by the pipeline, on the first ``--loop-formulas`` formulas (the ratio is taken on
  those same formulas);
* ``zarnik.mine`` on every formula, single process, without a factor store;
* ``zarnik.mine`` with ``--workers`` local Dask workers, without a factor store;
* ``zarnik.mine`` twice with a factor store: the second run reads instead of computing.

``--modes`` picks some of these runs (``loop mine_subset single dask store_cold store_warm``; the
ratios need their pairs): at 2,500 x 3,000 each pass over 1,000 formulas takes about an hour on a
2-core machine, so the full size is measured in parts.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

FIELDS = ("close", "open", "high", "low", "volume")
# trading dates of history generated before the screened dates: the longest look-back of the list
HISTORY = 300
WINDOWS = (5, 10, 20, 60)
MODES = ("loop", "mine_subset", "single", "dask", "store_cold", "store_warm")


def formulas(n: int) -> dict[str, str]:
    """The demo's classic factors, the alpha library (``zarnik.alphas``: the 101 alphas and the classic
    factors), then generated combinations, first ``n`` of them."""
    from zarnik import alphas
    from zarnik.report.job import DEMO_FORMULAS

    out = dict(DEMO_FORMULAS)
    for name, alpha in {**alphas.ALPHA101, **alphas.CLASSIC}.items():
        out[name] = alpha.formula
    templates = (
        "-({x} / MA({x}, {w}) - 1)",
        "RANK(DELTA({x}, {w}))",
        "TS_RANK({x}, {w})",
        "-STD({x} / DELAY({x}, 1) - 1, {w})",
        "{x} / DELAY({x}, {w}) - 1",
        "-CORR({x}, volume, {w})",
        "TS_ZSCORE({x}, {w})",
        "-(({x} - TS_MIN({x}, {w})) / (TS_MAX({x}, {w}) - TS_MIN({x}, {w})))",
        "SLOPE({x}, {w}) / MA({x}, {w})",
        "RANK({x}) * RANK(MA(volume, {w}))",
    )
    for t, x, w in itertools.product(templates, FIELDS, WINDOWS):
        if len(out) >= n:
            break
        text = t.format(x=x, w=w)
        if "CORR(volume, volume" not in text:
            out["g{}".format(len(out))] = text
    pairs = itertools.product(list(out.values()), repeat=2)
    for a, b in pairs:
        if len(out) >= n:
            break
        if a != b:
            out["c{}".format(len(out))] = "RANK({}) - RANK({})".format(a, b)
    return dict(itertools.islice(out.items(), n))


def _peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def run_mode(args: argparse.Namespace) -> dict:
    import ostrel

    import zarnik

    ostrel.init(args.store)
    fs = formulas(args.formulas)
    ids = sorted(ostrel.all_instruments(type="CS")["order_book_id"].tolist())
    dates = ostrel.get_trading_dates(args.first, args.last)
    # the screened dates; the store holds HISTORY dates before them (look-backs) and 21 after (returns)
    start, end = str(dates[0]), str(dates[-22])
    periods = (1, 5, 20)
    t0 = time.perf_counter()
    if args.mode == "loop":
        from zarnik.analysis.assayer import FactorAssayer
        from zarnik.mining import default_steps

        names = list(fs)[: args.loop_formulas]
        for name in names:
            frame = zarnik.execute_factor(zarnik.parse(fs[name]), ids, start, end, progress=False)
            fa = FactorAssayer()
            for step in default_steps():
                fa.append(step)
            fa.analysis(frame, "daily", ascending=False, periods=list(periods))
        n = len(names)
    else:
        sub = dict(itertools.islice(fs.items(), args.loop_formulas)) if args.mode == "mine_subset" else fs
        store = args.factor_store if args.mode.startswith("store") else False
        kw = {"workers": args.workers} if args.mode == "dask" else {}
        table = zarnik.mine(sub, ids, start, end, periods=periods, factor_store=store, progress=False, **kw)
        n = len(sub)
        failed = int(table["error"].notna().sum())
        if failed:
            print("  ({} of {} formulas failed: {})".format(failed, n, table["error"].dropna().iloc[0]), file=sys.stderr)
    wall = time.perf_counter() - t0
    out = {"mode": args.mode, "formulas": n, "seconds": wall, "peak_mb": _peak_mb(),
           "dates": len(dates) - 21, "instruments": len(ids)}
    if args.mode != "loop":
        out["failed"] = failed
    return out


def _child(args: argparse.Namespace, mode: str) -> dict:
    cmd = [sys.executable, __file__, "--_mode", mode, "--store", args.store, "--formulas", str(args.formulas),
           "--loop-formulas", str(args.loop_formulas), "--workers", str(args.workers), "--first", args.first,
           "--last", args.last, "--factor-store", args.factor_store]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=os.environ.copy())
    sys.stderr.write(out.stderr[-2000:] if out.returncode else "")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--formulas", type=int, default=1000)
    p.add_argument("--loop-formulas", type=int, default=30, help="formulas timed in the per-formula loop")
    p.add_argument("--dates", type=int, default=2500)
    p.add_argument("--instruments", type=int, default=3000)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--store", help="market store to use (default: generate one into a temporary folder)")
    p.add_argument("--modes", nargs="+", choices=MODES, default=list(MODES), help="runs to time (default: all)")
    p.add_argument("--factor-store", help=argparse.SUPPRESS)
    p.add_argument("--first", help=argparse.SUPPRESS)
    p.add_argument("--last", help=argparse.SUPPRESS)
    p.add_argument("--_mode", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args._mode:
        args.mode = args._mode
        print(json.dumps(run_mode(args)))
        return
    tmp = tempfile.mkdtemp(prefix="zarnik-mine-")
    if not args.store:
        import pandas as pd

        args.store = os.path.join(tmp, "market.duckdb")
        years = (args.dates + 21 + HISTORY) / 244 + 0.1
        end = pd.Timestamp("2024-12-31")
        first = (end - pd.Timedelta(days=int(years * 365))).strftime("%Y-%m-%d")
        print("generating a market of {} instruments from {} ...".format(args.instruments, first), file=sys.stderr)
        subprocess.run([sys.executable, "-m", "ostrel", "generate", "--out", args.store, "--instruments",
                        str(args.instruments), "--start", first, "--end", str(end.date()), "--seed", "5"],
                       check=True, stdout=subprocess.DEVNULL)
    import ostrel

    ostrel.init(args.store)
    lo, hi = ostrel.store.connection().execute("SELECT min(date), max(date) FROM bars").fetchone()
    cal = ostrel.get_trading_dates(lo, hi)
    cal = cal[-(args.dates + 21):] if len(cal) > args.dates + 21 else cal
    args.first, args.last = str(cal[0]), str(cal[-1])
    args.factor_store = os.path.join(tmp, "factors")
    ostrel.store.close()

    res = {}
    try:
        for mode in args.modes:
            res[mode] = r = _child(args, mode)
            print("{:<12} {:>5} formulas {:>9.2f} s  {:>8.2f} formulas/s  peak {:>7.0f} MB  load {:.2f}".format(
                mode, r["formulas"], r["seconds"], r["formulas"] / r["seconds"], r["peak_mb"], os.getloadavg()[0]),
                file=sys.stderr)
    finally:
        # the factor store of the store runs holds every factor's values (about 40 MB each at 2,500 x 3,000)
        shutil.rmtree(tmp, ignore_errors=True)
    rate = {m: res[m]["formulas"] / res[m]["seconds"] for m in res}
    any_run = next(iter(res.values()))
    print()
    print("panel: {} dates x {} instruments; {} formulas (loop on {}); load average {:.2f}".format(
        any_run["dates"], any_run["instruments"], args.formulas, args.loop_formulas, os.getloadavg()[0]))
    print("| measure | value |")
    print("|---|---|")
    if "loop" in res:
        print("| per-formula loop, formulas/s | {:.2f} |".format(rate["loop"]))
    if "mine_subset" in res:
        print("| mine, same formulas, formulas/s | {:.2f} |".format(rate["mine_subset"]))
    if "loop" in res and "mine_subset" in res:
        print("| **mine / per-formula loop** (same formulas) | **{:.1f}x** |".format(rate["mine_subset"] / rate["loop"]))
    if "single" in res:
        print("| mine, all formulas, one process, formulas/s | {:.2f} (peak {:.0f} MB) |".format(
            rate["single"], res["single"]["peak_mb"]))
        print("| formulas that failed (all formulas) | {} of {} |".format(res["single"]["failed"], res["single"]["formulas"]))
    if "dask" in res:
        print("| mine, {} Dask workers, formulas/s | {:.2f} |".format(args.workers, rate["dask"]))
    if "dask" in res and "single" in res:
        print("| **scaling, {} workers / one process** | **{:.2f}x** |".format(args.workers, rate["dask"] / rate["single"]))
    if "store_cold" in res and "store_warm" in res:
        print("| **second run from the factor store / first run** | **{:.0f}x** |".format(
            res["store_cold"]["seconds"] / res["store_warm"]["seconds"]))
        print("| factor store: first run / second run, seconds | {:.1f} / {:.2f} |".format(
            res["store_cold"]["seconds"], res["store_warm"]["seconds"]))

if __name__ == "__main__":
    main()
