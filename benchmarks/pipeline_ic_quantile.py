"""IC analysis and quantile return analysis: zarnik vs a pandas/scipy reference formulation and vs
alphalens-reloaded, on a dates x instruments panel (default 2500 x 3000).

    PYTHONPATH=python python benchmarks/pipeline_ic_quantile.py [--dates 2500] [--instruments 3000]

Workloads (one fresh subprocess each, so every peak-RSS figure is that workload's own):
  * IC: rank IC for periods 1, 5, 20, decay over 10 lags, pooled IC per industry (dict mapping of 30
    industries).
  * quantile: 10 groups, holding periods 1, 5, 20 (20 staggered levels for P_20), turnover, long-short,
    annualized returns.
The reference formulation (the documented pandas/scipy algorithm, as written in the tests) and
alphalens are too slow for the full panel; they run on the first --ref-dates / --al-dates dates and their
times are scaled linearly by dates (every step is a per-date loop or a pass over dates x instruments).
zarnik is timed both on the same slice (a like-for-like ratio) and on the full panel.
alphalens-reloaded computes its equivalent statistics: clean factor with forward returns for periods
1, 5, 20 and 10 quantiles grouped by industry, per-date IC, per-date IC by industry, mean return by
quantile and date, and the turnover of each quantile for each period (it has no IC decay table).
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import time
import warnings

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
PERIODS = [1, 5, 20]


def panel(dates: int, instruments: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    all_dates = pd.bdate_range("2014-01-02", periods=dates + 20, name="datetime")
    cols = pd.Index(["{:06d}.XSHE".format(i) for i in range(instruments)], name="order_book_id")
    rets = rng.normal(scale=0.02, size=(dates + 20, instruments))
    rets[rng.random(rets.shape) < 0.03] = np.nan
    listed = rng.integers(0, dates // 2, size=instruments)
    listed[: instruments // 2] = 0
    rows = np.arange(dates + 20)[:, None]
    rets[rows < listed[None, :]] = np.nan  # late listings
    signal = np.nan_to_num(np.roll(rets, -1, axis=0)[:dates]) * 5
    values = rng.normal(size=(dates, instruments)) + signal
    values[rows[:dates] < listed[None, :]] = np.nan
    values[rng.random(values.shape) < 0.03] = np.nan
    factor = pd.DataFrame(values, index=all_dates[:dates], columns=cols)
    returns = pd.DataFrame(rets, index=all_dates, columns=cols)
    industry = {c: "IND{:02d}".format(i % 30) for i, c in enumerate(cols)}
    return factor, returns, industry


class Result:
    def __init__(self, **kwargs):
        self.kwargs = kwargs


def run_stage(stage: str, dates: int, instruments: int) -> dict:
    factor, returns, industry = panel(dates, instruments)
    returns = returns.iloc[: dates + 20]
    warnings.simplefilter("ignore")
    t0 = time.perf_counter()
    if stage in ("zarnik_ic", "zarnik_quantile"):
        import scipy.special  # noqa: F401  (imported before timing, as the reference has scipy loaded)
        import scipy.stats  # noqa: F401
        from zarnik.analysis import assayer

        assayer.ICAnalysisResult = Result
        assayer.QuantileReturnAnalysisResult = Result
        t0 = time.perf_counter()
        if stage == "zarnik_ic":
            assayer.ICAnalysis(rank_ic=True, industry_classification=industry, max_decay=10).analysis(
                factor, returns, PERIODS, ascending=False)
        else:
            assayer.QuantileReturnAnalysis(quantile=10).analysis(factor, returns, PERIODS, ascending=False)
    elif stage in ("reference_ic", "reference_quantile"):
        sys.path.insert(0, os.path.join(HERE, "..", "tests"))
        if stage == "reference_ic":
            import test_ic_analysis as ref

            t0 = time.perf_counter()
            ref.reference(factor, returns, PERIODS, True, False, industry, 10)
        else:
            import test_quantile_analysis as ref

            t0 = time.perf_counter()
            ref.reference(factor, returns, PERIODS, 10, False)
    elif stage == "alphalens":
        import alphalens as al

        prices = (1 + returns.fillna(0)).cumprod()
        t0 = time.perf_counter()
        clean = al.utils.get_clean_factor_and_forward_returns(
            factor.stack(), prices, groupby=industry, periods=tuple(PERIODS), quantiles=10, max_loss=1.0)
        al.performance.factor_information_coefficient(clean)
        al.performance.factor_information_coefficient(clean, by_group=True)
        al.performance.mean_return_by_quantile(clean, by_date=True)
        for p in PERIODS:
            for q in range(1, 11):
                al.performance.quantile_turnover(clean["factor_quantile"], q, p)
    else:
        raise SystemExit("unknown stage " + stage)
    seconds = time.perf_counter() - t0
    return dict(seconds=seconds, peak_rss_mb=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)


def spawn(stage: str, dates: int, instruments: int) -> dict:
    out = subprocess.run([sys.executable, __file__, "--stage", stage, "--dates", str(dates),
                          "--instruments", str(instruments)], capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--dates", type=int, default=2500)
    ap.add_argument("--instruments", type=int, default=3000)
    ap.add_argument("--ref-dates", type=int, default=40)
    ap.add_argument("--al-dates", type=int, default=100)
    ap.add_argument("--stage")
    args = ap.parse_args()
    if args.stage:
        print(json.dumps(run_stage(args.stage, args.dates, args.instruments)))
        return
    T, N = args.dates, args.instruments
    print("panel: {} dates x {} instruments; periods {}; threads: {}".format(
        T, N, PERIODS, os.environ.get("ZARNIK_NUM_THREADS", os.cpu_count())))
    rows = []
    for kind in ("ic", "quantile"):
        full = spawn("zarnik_" + kind, T, N)
        rows.append(("zarnik " + kind, T, full, full["seconds"]))
        small = spawn("zarnik_" + kind, args.ref_dates, N)
        ref = spawn("reference_" + kind, args.ref_dates, N)
        scaled = ref["seconds"] * T / args.ref_dates
        rows.append(("reference " + kind, args.ref_dates, ref, scaled))
        print("{:<10} like-for-like on {} dates: reference {:.2f} s / zarnik {:.3f} s = {:.1f}x".format(
            kind, args.ref_dates, ref["seconds"], small["seconds"], ref["seconds"] / small["seconds"]))
        print("{:<10} full panel: reference (scaled x{:.1f}) {:.1f} s / zarnik {:.2f} s = {:.1f}x".format(
            kind, T / args.ref_dates, scaled, full["seconds"], scaled / full["seconds"]))
    try:
        import alphalens  # noqa: F401

        have_al = True
    except ImportError:
        have_al = False
    if have_al:
        al = spawn("alphalens", args.al_dates, N)
        z_ic = spawn("zarnik_ic", args.al_dates, N)
        z_q = spawn("zarnik_quantile", args.al_dates, N)
        both = z_ic["seconds"] + z_q["seconds"]
        scaled = al["seconds"] * T / args.al_dates
        full_both = rows[0][3] + rows[2][3]
        rows.append(("alphalens", args.al_dates, al, scaled))
        print("alphalens  like-for-like on {} dates: alphalens {:.2f} s / zarnik IC+quantile {:.3f} s = {:.1f}x".format(
            args.al_dates, al["seconds"], both, al["seconds"] / both))
        print("alphalens  full panel: alphalens (scaled x{:.1f}) {:.1f} s / zarnik IC+quantile {:.2f} s = {:.1f}x".format(
            T / args.al_dates, scaled, full_both, scaled / full_both))
    else:
        print("alphalens-reloaded is not installed: comparison skipped")
    print("\n{:<20} {:>7} {:>10} {:>14} {:>14}".format("workload", "dates", "seconds", "full-panel s", "peak RSS MB"))
    for name, d, r, est in rows:
        print("{:<20} {:>7} {:>10.3f} {:>14.2f} {:>14.0f}".format(name, d, r["seconds"], est, r["peak_rss_mb"]))


if __name__ == "__main__":
    main()
