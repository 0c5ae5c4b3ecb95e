"""Per-factor cost of a screen row, this tree's screen and coverage code against another tree's.

    PYTHONPATH=python python benchmarks/screen_row.py --store MARKET --baseline OTHER/python [--formulas 30]

Runs ``zarnik.mine`` once on the first ``--formulas`` formulas of ``benchmarks/mine.py``'s list over
``--first`` .. ``--last`` of the market store ``MARKET`` and keeps every factor handed to the
screen's row. Then, in this one process, times per factor (best of ``--repeat``, the two sides
alternating, their order swapped from one factor to the next) the screen row (coverage share,
preprocessing, coverage account, rank IC and decay, group tables) and the preprocessing with its
coverage account alone, with the Python modules ``zarnik/mining/screen.py`` and
``zarnik/analysis/coverage.py`` of this tree and of ``OTHER`` (both on this tree's compiled
modules). The rows and preprocessed frames of the two sides are checked equal first.
"""

from __future__ import annotations

import argparse
import importlib.util
import itertools
import os
import sys
import time
import warnings

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def _load(name: str, path: str):
    spec = importlib.util.spec_from_file_location(name, path)
    mod = importlib.util.module_from_spec(spec)
    sys.modules[name] = mod
    spec.loader.exec_module(mod)
    return mod


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--store", required=True, help="market store (e.g. one built by benchmarks/mine.py)")
    p.add_argument("--baseline", required=True, help="the other tree's python/ folder")
    p.add_argument("--formulas", type=int, default=30)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--first", default="2022-11-10")
    p.add_argument("--last", default="2024-12-31")
    args = p.parse_args()

    import ostrel

    import mine as bench
    import zarnik
    import zarnik.analysis.coverage as cov_here
    from zarnik.mining import screen

    cov_base = _load("zarnik.analysis._coverage_baseline",
                     os.path.join(args.baseline, "zarnik", "analysis", "coverage.py"))
    screen_base = _load("zarnik.mining._screen_baseline", os.path.join(args.baseline, "zarnik", "mining", "screen.py"))

    ostrel.init(args.store)
    fs = dict(itertools.islice(bench.formulas(args.formulas).items(), args.formulas))
    ids = sorted(ostrel.all_instruments(type="CS")["order_book_id"].tolist())
    dates = ostrel.get_trading_dates(args.first, args.last)
    start, end = str(dates[0]), str(dates[-22])
    seen = []
    row_fn = screen._screen_shared

    def keep(sh, frame, job):
        seen.append((sh, frame.copy(), job))
        return row_fn(sh, frame, job)

    screen._screen_shared = keep
    try:
        zarnik.mine(fs, ids, start, end, periods=(1, 5, 20), factor_store=False, progress=False)
    finally:
        screen._screen_shared = row_fn
    screen_base._STATE = screen._STATE
    if not seen:
        raise SystemExit("no factor reached the screen's shared row")

    def side(mod, cov):
        def row(sh, frame, job):
            sys.modules["zarnik.analysis.coverage"] = cov  # the row imports the account by name
            try:
                with warnings.catch_warnings(record=True), np.errstate(all="ignore"):
                    warnings.simplefilter("always")
                    values = frame.to_numpy(dtype=np.float64)
                    share = np.isfinite(values).mean() if cov is cov_base else \
                        np.count_nonzero(np.isfinite(values)) / values.size
                    out, data = mod._screen_shared(sh, frame.copy(), job)
                return float(share), out, data
            finally:
                sys.modules["zarnik.analysis.coverage"] = cov_here

        def pre(sh, frame):
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                warnings.simplefilter("ignore")
                acc, data = cov.CoverageAccount(frame), frame
                for name, step in sh.pre:
                    data = step.process(data)
                    acc.step(name, data)
        return row, pre

    sides = {"baseline": side(screen_base, cov_base), "this tree": side(screen, cov_here)}
    for sh, frame, job in seen:
        a, b = (sides[k][0](sh, frame, job) for k in sides)
        assert a[0] == b[0] and repr(a[1]) == repr(b[1]), (a[1], b[1])
        pd.testing.assert_frame_equal(a[2], b[2], check_exact=True)

    def best(f) -> float:
        ts = []
        for _ in range(args.repeat):
            t = time.perf_counter()
            f()
            ts.append(time.perf_counter() - t)
        return min(ts)

    rows = dict.fromkeys(sides, 0.0)
    pres = dict.fromkeys(sides, 0.0)
    for i, (sh, frame, job) in enumerate(seen):
        for k in list(sides)[:: 1 if i % 2 == 0 else -1]:
            rows[k] += best(lambda: sides[k][0](sh, frame, job))
            pres[k] += best(lambda: sides[k][1](sh, frame))
    n = len(seen)
    print("{} factors of {} x {}, best of {}".format(n, *seen[0][1].shape, args.repeat))
    for k in sides:
        print("{:<10} screen row {:7.2f} ms/factor   preprocessing + coverage {:6.2f} ms/factor".format(
            k, rows[k] / n * 1e3, pres[k] / n * 1e3))
    print("this tree / baseline: row {:.3f}, preprocessing + coverage {:.3f}".format(
        rows["this tree"] / rows["baseline"], pres["this tree"] / pres["baseline"]))


if __name__ == "__main__":
    main()
