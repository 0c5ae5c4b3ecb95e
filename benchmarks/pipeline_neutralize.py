"""Benchmark: Neutralization and FactorReturnAnalysis against plain numpy/pandas baselines.

    PYTHONPATH=python python benchmarks/pipeline_neutralize.py [--dates 2500] [--instruments 3000]

* neutralization with S style factors and ~30 industries: zarnik's Neutralization.process against the
  regressors built with pandas (unstack / reindex / dummies) and a per-date numpy lstsq loop; the
  regression alone (calc_residuals against the lstsq loop on the same regressors) is timed too;
* factor returns with periods 1, 5, 20: FactorReturnAnalysis against the pandas formulation
  (shift / demean / positional slices / ffill / pct_change per phase).

Each method runs in its own child process so its peak memory is measured alone. Data are
generated from a fixed seed; results are compared (max abs difference) and the speed-up ratios
printed.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd


def rss_gb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 1e9


def peak_gb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1e6  # kB on Linux


# ---------------------------------------------------------------- data


def make_neutralize_data(t: int, n: int, n_style: int, n_ind: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2012-01-04", periods=t, name="datetime")
    ids = pd.Index([f"{i:06d}.XSHE" for i in range(n)], name="order_book_id")
    factor = pd.DataFrame(rng.normal(size=(t, n)), index=dates, columns=ids)
    factor[rng.random(factor.shape) < 0.05] = np.nan
    mi = pd.MultiIndex.from_product([ids, dates.rename("date")], names=["order_book_id", "date"])
    style = pd.DataFrame(rng.normal(size=(len(mi), n_style)), index=mi,
                         columns=[f"style_{j}" for j in range(n_style)])
    style = style.iloc[rng.random(len(style)) > 0.01]  # ~1% of pairs without exposures
    change = pd.DatetimeIndex([dates[0] - pd.Timedelta(days=30)] + list(dates[:: max(1, t // 8)][1:]))
    category = pd.DataFrame(rng.integers(0, n_ind, size=(len(change), n)), index=change, columns=ids)
    return factor, style, category


def make_return_data(t: int, n: int, seed: int = 1):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2012-01-04", periods=t + 20, name="datetime")
    ids = pd.Index([f"{i:06d}.XSHE" for i in range(n)], name="order_book_id")
    factor = pd.DataFrame(rng.normal(size=(t, n)), index=dates[:t], columns=ids)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(t + 20, n)), index=dates, columns=ids)
    return factor, returns


# ---------------------------------------------------------------- baselines


def pandas_regressors(df, style_df, cat):
    """The regressor cube built with pandas (unstack / reindex / industry dummies)."""
    index, ids = df.index, df.columns.tolist()
    names = style_df.columns.tolist()
    wide = style_df.unstack("order_book_id").reindex(index)
    codes = cat.reindex(columns=ids, fill_value=-1).reindex(index=index, method="ffill").fillna(-1)
    n_ind = int(codes.to_numpy().max()) + 1
    exog = np.full((len(df), len(ids), len(names) + n_ind), np.nan)
    for j, name in enumerate(names):
        exog[:, :, j] = wide[name].reindex(columns=ids)
    for j in range(n_ind):
        exog[:, :, len(names) + j] = codes == j
    return exog


def lstsq_loop(endog, exog):
    """One numpy least-squares solve per date over its complete rows."""
    res = np.full(endog.shape, np.nan)
    for t in range(endog.shape[0]):
        ok = np.isfinite(endog[t]) & np.isfinite(exog[t]).all(axis=1)
        if ok.any():
            x, y = exog[t][ok], endog[t][ok]
            res[t, ok] = y - x @ np.linalg.lstsq(x, y, rcond=None)[0]
    return res


def baseline_factor_returns(factor_data, returns, periods):
    factor = factor_data.shift(1)
    demean = factor.sub(factor.mean(axis=1), axis=0)
    weights = -demean.div(demean.abs().sum(axis=1), axis=0)
    cum_returns = returns.add(1).cumprod().reindex(factor.index, columns=factor.columns)
    out = pd.DataFrame(index=factor.index, columns=[f"P_{p}" for p in periods], dtype=float)
    for period in periods:
        res = []
        for lv in range(1, period + 1):
            weight = weights[lv::period].reindex(weights.index).ffill()
            div_factor = cum_returns.shift(1, fill_value=1)[lv::period].reindex(cum_returns.index).ffill()
            wr = (weight * (cum_returns / div_factor - 1)).sum(axis=1)
            level = wr.add(1).ffill()
            change_rate = level / level.shift(1) - 1
            change_rate.iloc[lv::period] = wr.iloc[lv::period]
            res.append(change_rate)
        out[f"P_{period}"] = pd.concat(res, axis=1).mean(axis=1)
    return out.fillna(0).add(1).cumprod().sub(1)


# ---------------------------------------------------------------- children


def child(task: str, args, out_path: str) -> dict:
    import ostrel
    from zarnik.analysis import assayer

    try:
        import zarnik.analysis.analysis_result  # noqa: F401
    except ImportError:  # result classes not built in this checkout: a plain record will do
        import types

        stub = types.ModuleType("zarnik.analysis.analysis_result")
        stub.FactorReturnAnalysisResult = type("Result", (), {"__init__": lambda self, **kw: self.__dict__.update(kw)})
        sys.modules[stub.__name__] = stub

    report = {}
    if task.startswith(("neutralize", "regression")):
        factor, style, category = make_neutralize_data(args.dates, args.instruments, args.styles, args.industries)
        report["data_gb"] = rss_gb()
        if task == "neutralize-zarnik":
            ostrel.get_style_factor_exposure = lambda **kwargs: style
            assayer.get_all_industry_category = lambda source: category
            if not hasattr(assayer, "VALID_INDUSTRY_SOURCE"):
                assayer.VALID_INDUSTRY_SOURCE = ("citics_2019", "sws")
            if not hasattr(assayer, "_is_date_frequency_index"):
                assayer._is_date_frequency_index = lambda index: bool((index == index.normalize()).all())
            start = time.perf_counter()
            result = assayer.Neutralization().process(factor).to_numpy()
            report["total"] = time.perf_counter() - start
        elif task == "regression-zarnik":
            exog = pandas_regressors(factor, style, category)
            del style
            start = time.perf_counter()
            result = assayer.calc_residuals(factor.to_numpy(), exog)
            report["total"] = time.perf_counter() - start
        else:
            start = time.perf_counter()
            exog = pandas_regressors(factor, style, category)
            del style
            middle = time.perf_counter()
            result = lstsq_loop(factor.to_numpy(), exog)
            report["total"] = time.perf_counter() - start
            report["regression"] = time.perf_counter() - middle
    else:
        factor, returns = make_return_data(args.dates, args.instruments)
        report["data_gb"] = rss_gb()
        periods = [1, 5, 20]
        start = time.perf_counter()
        if task == "returns-zarnik":
            result = assayer.FactorReturnAnalysis().analysis(factor, returns, periods, ascending=True)
            result = result.factor_returns.to_numpy()
        else:
            result = baseline_factor_returns(factor, returns, periods).to_numpy()
        report["total"] = time.perf_counter() - start
    report["peak_gb"] = peak_gb()
    np.save(out_path, result)
    return report


def run_child(task: str, argv: list[str], tmp: str, **env: str) -> tuple[dict, np.ndarray]:
    out_path = os.path.join(tmp, f"{task}.npy")
    proc = subprocess.run([sys.executable, __file__, "--child", task, "--out", out_path, *argv],
                          capture_output=True, text=True, env={**os.environ, **env})
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        raise SystemExit(f"child {task} failed")
    return json.loads(proc.stdout.strip().splitlines()[-1]), np.load(out_path)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--instruments", type=int, default=3000)
    parser.add_argument("--styles", type=int, default=10)
    parser.add_argument("--industries", type=int, default=30)
    parser.add_argument("--only", choices=["neutralize", "returns"])
    parser.add_argument("--child")
    parser.add_argument("--out")
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args, args.out)))
        return
    argv = [f"--dates={args.dates}", f"--instruments={args.instruments}", f"--styles={args.styles}",
            f"--industries={args.industries}"]
    print(f"{args.dates} dates x {args.instruments} instruments, threads: "
          f"{os.environ.get('ZARNIK_NUM_THREADS', os.cpu_count())}")
    with tempfile.TemporaryDirectory() as tmp:
        if args.only in (None, "neutralize"):
            print(f"neutralization: {args.styles} style factors, {args.industries} industries, no constant")
            ours, ours_res = run_child("neutralize-zarnik", argv, tmp)
            single, _ = run_child("neutralize-zarnik", argv, tmp, ZARNIK_NUM_THREADS="1")
            regression, reg_res = run_child("regression-zarnik", argv, tmp)
            # single-threaded BLAS: faster than threaded for these small per-date problems
            base, base_res = run_child("neutralize-numpy", argv, tmp, OPENBLAS_NUM_THREADS="1")
            diff = max(np.nanmax(np.abs(ours_res - base_res)), np.nanmax(np.abs(reg_res - base_res)))
            same_nan = bool((np.isnan(ours_res) == np.isnan(base_res)).all())
            print(f"  pandas regressors + numpy lstsq per date: {base['total']:8.2f} s "
                  f"(lstsq loop alone {base['regression']:.2f} s), peak RSS {base['peak_gb']:.2f} GB "
                  f"(data {base['data_gb']:.2f} GB)")
            print(f"  zarnik Neutralization.process:            {ours['total']:8.2f} s, "
                  f"peak RSS {ours['peak_gb']:.2f} GB (data {ours['data_gb']:.2f} GB)")
            print(f"  zarnik, one thread:                       {single['total']:8.2f} s")
            print(f"  zarnik calc_residuals on the same cube:   {regression['total']:8.2f} s")
            print(f"  ratio end to end: {base['total'] / ours['total']:.1f}x "
                  f"(one thread {base['total'] / single['total']:.1f}x)   "
                  f"regression alone: {base['regression'] / regression['total']:.1f}x   "
                  f"max |difference| {diff:.2e}, same missing cells: {same_nan}")
        if args.only in (None, "returns"):
            print("factor returns, periods 1, 5, 20")
            ours, ours_res = run_child("returns-zarnik", argv, tmp)
            single, _ = run_child("returns-zarnik", argv, tmp, ZARNIK_NUM_THREADS="1")
            base, base_res = run_child("returns-pandas", argv, tmp)
            diff = np.nanmax(np.abs(ours_res - base_res))
            print(f"  pandas formulation:          {base['total']:8.2f} s, peak RSS {base['peak_gb']:.2f} GB "
                  f"(data {base['data_gb']:.2f} GB)")
            print(f"  zarnik FactorReturnAnalysis: {ours['total']:8.2f} s, peak RSS {ours['peak_gb']:.2f} GB "
                  f"(data {ours['data_gb']:.2f} GB)")
            print(f"  zarnik, one thread:          {single['total']:8.2f} s")
            print(f"  ratio: {base['total'] / ours['total']:.1f}x (one thread {base['total'] / single['total']:.1f}x)"
                  f"   max |difference| {diff:.2e} "
                  f"(no missing values, so holding rebalancing rows whole changes nothing)")


if __name__ == "__main__":
    main()
