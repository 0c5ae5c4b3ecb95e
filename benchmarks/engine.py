"""Evaluation engine vs pandas rolling, and the whole research pipeline, on one panel.

    PYTHONPATH=python python benchmarks/engine.py                 # 2500 dates x 3000 instruments
    PYTHONPATH=python python benchmarks/engine.py --dates 500 --instruments 400

Part 1 evaluates ten classic formulas with ``zarnik.execute_factors`` and the
same formulas written with pandas (``DataFrame.rolling`` and shifted frames),
checks they agree, and prints per-formula and total time ratios.
``--peers`` evaluates the same ten formulas on the same panel with polars
expressions (wide frames, one column per instrument; the conversion from the
arrays is counted) and, when ``--qlib-python`` names an interpreter with pyqlib
installed (its own virtualenv: pyqlib pins its own dependencies), with qlib's
expression engine over the panel dumped in qlib's binary format (the dump is
set-up and printed apart; reading the binary files is counted).

Part 2 (in a child process, so its peak memory is its own) evaluates the
formulas and runs the full pipeline (winsorize, neutralize, normalize; IC with
decay and industries, quantile returns, factor returns, style exposure) on the
first of them, printing wall time and peak RSS.

The panel is synthetic and in memory: the market-data calls the engine and
the pipeline make are answered from arrays, so the timings are the engine's
and the pipeline's own, not a store's.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np
import pandas as pd

FORMULAS = {
    "reversal_5": "-(close / DELAY(close, 5) - 1)",
    "ma_ratio_20": "MA(close, 20) / close",
    "volatility_20": "STD(close / DELAY(close, 1) - 1, 20)",
    "corr_close_volume_10": "CORR(close, volume, 10)",
    "ts_rank_volume_10": "TS_RANK(volume, 10)",
    "ema_12": "EMA(close, 12) / close",
    "range_20": "(TS_MAX(high, 20) - TS_MIN(low, 20)) / close",
    "slope_20": "SLOPE(close, 20) / close",
    "zscore_volume_20": "TS_ZSCORE(volume, 20)",
    "skew_20": "TS_SKEW(close / DELAY(close, 1) - 1, 20)",
}


def pandas_formulas(d: dict[str, pd.DataFrame]) -> dict[str, pd.DataFrame]:
    """The same formulas with pandas: rolling windows and shifted frames."""
    c, v, h, lo = d["close"], d["volume"], d["high"], d["low"]
    r = c / c.shift(1) - 1
    out = {}
    out["reversal_5"] = -(c / c.shift(5) - 1)
    out["ma_ratio_20"] = c.rolling(20).mean() / c
    out["volatility_20"] = r.rolling(20).std(ddof=0)
    out["corr_close_volume_10"] = c.rolling(10).corr(v)
    out["ts_rank_volume_10"] = (v.rolling(10).rank(method="max") - 1) / 10
    n = 12
    alpha = 2.0 / (n + 1)
    ema = sum(alpha * (1 - alpha) ** k * c.shift(k) for k in range(n))
    out["ema_12"] = ema / c
    out["range_20"] = (h.rolling(20).max() - lo.rolling(20).min()) / c
    n = 20
    t = np.arange(n) - (n - 1) / 2
    slope = sum(t[n - 1 - k] * c.shift(k) for k in range(n)) / (t**2).sum()
    out["slope_20"] = slope / c
    out["zscore_volume_20"] = (v - v.rolling(20).mean()) / v.rolling(20).std(ddof=0)
    out["skew_20"] = r.rolling(20).skew()  # both: adjusted sample skewness
    return out


def make_panel(n_dates: int, n_ids: int, seed: int = 1):
    rng = np.random.default_rng(seed)
    cal = pd.bdate_range("2010-01-04", periods=n_dates + 100)
    ids = ["{:06d}.XSHE".format(i) for i in range(n_ids)]
    shape = (len(cal), n_ids)
    ret = rng.normal(0, 0.02, shape)
    close = 10 * np.exp(np.cumsum(ret, axis=0))
    close[rng.random(shape) < 0.01] = np.nan
    opn = close * np.exp(rng.normal(0, 0.01, shape))
    data = {
        "close": close,
        "open": opn,
        "high": np.fmax(close, opn) * (1 + rng.uniform(0, 0.02, shape)),
        "low": np.fmin(close, opn) * (1 - rng.uniform(0, 0.02, shape)),
        "volume": rng.lognormal(12, 0.6, shape),
    }
    data["total_turnover"] = data["volume"] * close
    frames = {k: pd.DataFrame(v, index=cal, columns=ids) for k, v in data.items()}
    return cal, ids, frames


def install_market(cal, ids, frames, with_analysis: bool = False) -> None:
    """Answer the engine's (and the pipeline's) market-data calls from the in-memory panel."""
    import ostrel

    def get_trading_dates(start, end):
        s, e = pd.Timestamp(start), pd.Timestamp(end)
        return list(cal[(cal >= s) & (cal <= e)].date)

    def get_previous_trading_date(date, n=1):
        return cal[cal.searchsorted(pd.Timestamp(date)) - n].date()

    def get_next_trading_date(date, n=1):
        return cal[cal.searchsorted(pd.Timestamp(date), side="right") + n - 1].date()

    all_ids = list(ids)

    def get_panel(fields, order_book_ids, start_date, end_date, adjust_type="post"):
        # a date slice of the in-memory frames (no copy when every instrument is asked for)
        s, e = pd.Timestamp(start_date), pd.Timestamp(end_date)
        wanted = list(order_book_ids)
        return {f: frames[f].loc[s:e] if wanted == all_ids else frames[f].loc[s:e, wanted] for f in fields}

    ostrel.get_trading_dates = get_trading_dates
    ostrel.get_previous_trading_date = get_previous_trading_date
    ostrel.get_next_trading_date = get_next_trading_date
    ostrel.get_panel = get_panel
    if not with_analysis:
        return
    rng = np.random.default_rng(5)
    industries = pd.Series(rng.integers(0, 28, len(ids)), index=ids).map(lambda i: "industry_{:02d}".format(i))
    styles = ["beta", "size", "momentum", "volatility", "liquidity"]

    def get_price(order_book_ids=None, start_date=None, end_date=None, fields="close", adjust_type="post",
                  expect_df=True, **kw):
        s, e = pd.Timestamp(start_date), pd.Timestamp(end_date)
        ids_ = [order_book_ids] if isinstance(order_book_ids, str) else list(order_book_ids)
        wide = frames["close"].loc[s:e, [i for i in ids_ if i in frames["close"].columns]]
        if wide.empty:
            return None
        long = wide.T.stack(future_stack=True) if "future_stack" in pd.DataFrame.stack.__code__.co_varnames \
            else wide.T.stack()
        long.index.names = ["order_book_id", "date"]
        return long.to_frame("close")

    def get_style_factor_exposure(order_book_ids=None, start_date=None, end_date=None, factors=None):
        s, e = pd.Timestamp(start_date), pd.Timestamp(end_date)
        dates = cal[(cal >= s) & (cal <= e)]
        ids_ = list(order_book_ids)
        names = styles if factors is None else list(factors)
        idx = pd.MultiIndex.from_product([ids_, dates], names=["order_book_id", "date"])
        vals = np.random.default_rng(9).normal(0, 1, (len(idx), len(names)))
        return pd.DataFrame(vals, index=idx, columns=names)

    def instruments(order_book_id):
        return None

    records = [(industries[i], i, "2005-01-04") for i in ids]

    class Client:
        def execute(self, query, *args, **kwargs):
            return records

    import types

    ostrel.client = types.SimpleNamespace(get_client=Client)
    ostrel.get_price = get_price
    ostrel.get_style_factor_exposure = get_style_factor_exposure
    ostrel.instruments = instruments
    from zarnik.analysis import assayer as A

    def load_industry(order_book_ids, dates, source="citics_2019", **kw):
        idx = pd.MultiIndex.from_product([pd.DatetimeIndex(dates), list(order_book_ids)],
                                         names=["datetime", "order_book_id"])
        return pd.Series(industries.reindex(idx.get_level_values(1)).to_numpy(), index=idx)

    A._load_industry_data = load_industry
    return industries


def part_formulas(n_dates: int, n_ids: int, repeats: int, nodes: bool = False) -> None:
    import zarnik

    cal, ids, frames = make_panel(n_dates, n_ids)
    install_market(cal, ids, frames)
    start, end = cal[100], cal[-1]
    factors = {k: zarnik.parse(v) for k, v in FORMULAS.items()}
    # warm up imports and thread pools on a small slice
    zarnik.execute_factors(factors, ids[:10], cal[60], cal[90], progress=False)

    # pandas starts from frames already cut to the loaded dates (the engine loads its own)
    sub = {k: v.loc[cal[100 - 40]:end] for k, v in frames.items()}
    t_engine, t_pandas = [], []
    per_engine: dict[str, list[float]] = {k: [] for k in FORMULAS}
    per_pandas: dict[str, list[float]] = {k: [] for k in FORMULAS}
    got = ref = None
    # the two sides alternate, so a busy moment on a shared machine hits both alike
    for _ in range(repeats):
        got = ref = None
        t0 = time.perf_counter()
        got = zarnik.execute_factors(factors, ids, start, end, progress=False)
        t_engine.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        ref = pandas_formulas(sub)
        t_pandas.append(time.perf_counter() - t0)
        for k, f in factors.items():
            t0 = time.perf_counter()
            one = zarnik.execute_factor(f, ids, start, end, progress=False)
            per_engine[k].append(time.perf_counter() - t0)
            del one
            t0 = time.perf_counter()
            one = _one_pandas(k, sub)  # per formula: only what that formula needs
            per_pandas[k].append(time.perf_counter() - t0)
            del one
    print("panel: {} dates x {} instruments (synthetic, in memory); best of {} runs, wall time".format(
        len(got["reversal_5"]), n_ids, repeats))
    print("{:<24}{:>12}{:>12}{:>9}{:>14}".format("formula", "zarnik s", "pandas s", "ratio", "max |diff|"))
    for k in FORMULAS:
        a = got[k].to_numpy()
        b = ref[k].loc[start:end].to_numpy()
        both = np.isfinite(a) & np.isfinite(b)
        diff = float(np.max(np.abs(a[both] - b[both]) / np.maximum(1, np.abs(b[both])))) if both.any() else 0.0
        te, tp = min(per_engine[k]), min(per_pandas[k])
        print("{:<24}{:>12.3f}{:>12.3f}{:>8.1f}x{:>14.2e}".format(k, te, tp, tp / te, diff))
    te, tp = min(t_engine), min(t_pandas)
    print("{:<24}{:>12.3f}{:>12.3f}{:>8.1f}x".format("all ten (shared)", te, tp, tp / te))
    del got, ref
    if nodes:
        _node_shares(factors, ids, start, end)


def _node_shares(factors, ids, start, end) -> None:
    """Where the shared evaluation spends its time, by operator (timers around every node)."""
    import collections

    from zarnik import engine as E

    spent: dict[str, float] = collections.defaultdict(float)
    apply, load = E._Evaluator._apply, E._load_fields

    def timed_apply(self, i, func, kids, args):
        t0 = time.perf_counter()
        try:
            return apply(self, i, func, kids, args)
        finally:
            spent[E._func_name(func)] += time.perf_counter() - t0

    def timed_load(*a):
        t0 = time.perf_counter()
        try:
            return load(*a)
        finally:
            spent["(load fields)"] += time.perf_counter() - t0

    E._Evaluator._apply, E._load_fields = timed_apply, timed_load
    try:
        t0 = time.perf_counter()
        import zarnik

        zarnik.execute_factors(factors, ids, start, end, progress=False)
        total = time.perf_counter() - t0
    finally:
        E._Evaluator._apply, E._load_fields = apply, load
    spent["(other)"] = max(0.0, total - sum(spent.values()))
    print("shared evaluation by operator ({:.3f} s in all):".format(total))
    for k, v in sorted(spent.items(), key=lambda kv: -kv[1]):
        print("  {:<20}{:>9.3f} s{:>7.1f}%".format(k, v, 100 * v / total))


def _one_pandas(name: str, d: dict[str, pd.DataFrame]) -> pd.DataFrame:
    return _subset(name, d)


def _subset(name: str, d: dict[str, pd.DataFrame]) -> pd.DataFrame:
    c, v, h, lo = d["close"], d["volume"], d["high"], d["low"]
    if name == "reversal_5":
        return -(c / c.shift(5) - 1)
    if name == "ma_ratio_20":
        return c.rolling(20).mean() / c
    if name == "volatility_20":
        return (c / c.shift(1) - 1).rolling(20).std(ddof=0)
    if name == "corr_close_volume_10":
        return c.rolling(10).corr(v)
    if name == "ts_rank_volume_10":
        return (v.rolling(10).rank(method="max") - 1) / 10
    if name == "ema_12":
        alpha = 2.0 / 13
        return sum(alpha * (1 - alpha) ** k * c.shift(k) for k in range(12)) / c
    if name == "range_20":
        return (h.rolling(20).max() - lo.rolling(20).min()) / c
    if name == "slope_20":
        t = np.arange(20) - 9.5
        return sum(t[19 - k] * c.shift(k) for k in range(20)) / (t**2).sum() / c
    if name == "zscore_volume_20":
        return (v - v.rolling(20).mean()) / v.rolling(20).std(ddof=0)
    if name == "skew_20":
        return (c / c.shift(1) - 1).rolling(20).skew()
    raise KeyError(name)


# The ten formulas as polars expressions over columns c (close), v (volume), h (high),
# l (low) of one instrument; ema and slope are the same finite weighted windows, as sums of
# shifted columns (polars' weighted rolling_sum does not take null values)
def _polars_exprs(j: int):
    import polars as pl

    c, v, h, lo = (pl.col(f"{f}{j}") for f in "cvhl")
    r = c / c.shift(1) - 1
    alpha = 2.0 / 13
    t = np.arange(20) - 9.5
    ema = pl.sum_horizontal([alpha * (1 - alpha) ** k * c.shift(k) for k in range(12)])
    slope = pl.sum_horizontal([float(t[19 - k] / (t**2).sum()) * c.shift(k) for k in range(20)])
    return {
        "reversal_5": -(c / c.shift(5) - 1),
        "ma_ratio_20": c.rolling_mean(20) / c,
        "volatility_20": r.rolling_std(20, ddof=0),
        "corr_close_volume_10": pl.rolling_corr(c, v, window_size=10),
        "ts_rank_volume_10": (v.rolling_rank(10, method="max") - 1) / 10,
        "ema_12": ema / c,
        "range_20": (h.rolling_max(20) - lo.rolling_min(20)) / c,
        "slope_20": slope / c,
        "zscore_volume_20": (v - v.rolling_mean(20)) / v.rolling_std(20, ddof=0),
        "skew_20": r.rolling_skew(20, bias=False),
    }


POLARS_FIELDS = {"reversal_5": "c", "ma_ratio_20": "c", "volatility_20": "c", "corr_close_volume_10": "cv",
                 "ts_rank_volume_10": "v", "ema_12": "c", "range_20": "chl", "slope_20": "c",
                 "zscore_volume_20": "v", "skew_20": "c"}
FIELD_NAMES = {"c": "close", "v": "volume", "h": "high", "l": "low"}


def polars_formulas(sub: dict[str, pd.DataFrame], names, rows: int, timing: dict | None = None):
    """The formulas with polars from the arrays: one wide frame of the fields they read
    (one column per field and instrument), one expression per formula and instrument,
    evaluated in one select; results as numpy arrays."""
    import polars as pl

    t0 = time.perf_counter()
    n_ids = sub["close"].shape[1]
    letters = sorted({ch for k in names for ch in POLARS_FIELDS[k]})
    frame = pl.DataFrame(np.hstack([sub[FIELD_NAMES[ch]].to_numpy() for ch in letters]), nan_to_null=True,
                         schema=[f"{ch}{j}" for ch in letters for j in range(n_ids)])
    if timing is not None:
        timing["in"] = time.perf_counter() - t0
    exprs = []
    for j in range(n_ids):
        e = _polars_exprs(j)
        exprs += [e[k].alias(f"{k}|{j}") for k in names]
    out = frame.select(exprs).tail(rows)
    return {k: out.select([f"{k}|{j}" for j in range(n_ids)]).to_numpy() for k in names}


QLIB_FORMULAS = {
    "reversal_5": "1-$close/Ref($close,5)",
    "ma_ratio_20": "Mean($close,20)/$close",
    "volatility_20": "Std($close/Ref($close,1)-1,20)",
    "corr_close_volume_10": "Corr($close,$volume,10)",
    "ts_rank_volume_10": "Rank($volume,10)",
    "ema_12": "EMA($close,12)/$close",
    "range_20": "(Max($high,20)-Min($low,20))/$close",
    "slope_20": "Slope($close,20)/$close",
    "zscore_volume_20": "($volume-Mean($volume,20))/Std($volume,20)",
    "skew_20": "Skew($close/Ref($close,1)-1,20)",
}


def part_peers(n_dates: int, n_ids: int, repeats: int, qlib_python: str | None) -> None:
    import zarnik

    cal, ids, frames = make_panel(n_dates, n_ids)
    install_market(cal, ids, frames)
    start, end = cal[100], cal[-1]
    rows = len(cal) - 100
    factors = {k: zarnik.parse(v) for k, v in FORMULAS.items()}
    zarnik.execute_factors(factors, ids[:10], cal[60], cal[90], progress=False)
    sub = {k: v.loc[cal[100 - 40]:end] for k, v in frames.items()}
    names = list(FORMULAS)
    polars_formulas({k: v.iloc[:, :5] for k, v in sub.items()}, names, 10)  # warm up
    t_z, t_p, t_in = [], [], []
    per_z = {k: [] for k in names}
    per_p = {k: [] for k in names}
    got = ref = None
    for _ in range(repeats):  # the sides alternate
        got = ref = None
        t0 = time.perf_counter()
        got = zarnik.execute_factors(factors, ids, start, end, progress=False)
        t_z.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        timing = {}
        ref = polars_formulas(sub, names, rows, timing)
        t_p.append(time.perf_counter() - t0)
        t_in.append(timing["in"])
        for k in names:
            t0 = time.perf_counter()
            one = zarnik.execute_factor(factors[k], ids, start, end, progress=False)
            per_z[k].append(time.perf_counter() - t0)
            del one
            t0 = time.perf_counter()
            one = polars_formulas(sub, [k], rows)
            per_p[k].append(time.perf_counter() - t0)
            del one
    import polars as pl

    print("engine against polars {} (wide frame from the arrays, conversion counted); {} dates x {} "
          "instruments; best of {}, wall time".format(pl.__version__, rows, n_ids, repeats))
    print("{:<24}{:>10}{:>10}{:>9}{:>12}".format("formula", "zarnik s", "polars s", "ratio", "max |diff|"))
    for k in names:
        a, b = got[k].to_numpy(), ref[k]
        both = np.isfinite(a) & np.isfinite(b)
        diff = float(np.max(np.abs(a[both] - b[both]) / np.maximum(1, np.abs(b[both])))) if both.any() else 0.0
        print("{:<24}{:>10.3f}{:>10.3f}{:>8.1f}x{:>12.2e}".format(k, min(per_z[k]), min(per_p[k]),
                                                                min(per_p[k]) / min(per_z[k]), diff))
    print("{:<24}{:>10.3f}{:>10.3f}{:>8.1f}x".format("all ten (shared)", min(t_z), min(t_p), min(t_p) / min(t_z)))
    print("  of which polars spends {:.3f} s building its frame from the arrays (per formula: the fields "
          "it reads)".format(min(t_in)))
    if not qlib_python:
        print("qlib: not run (pass --qlib-python PATH to a Python with pyqlib installed)")
        return
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        for f in ["close", "volume", "high", "low"]:
            np.save(os.path.join(tmp, f + ".npy"), frames[f].to_numpy())
        with open(os.path.join(tmp, "calendar.txt"), "w") as fh:
            fh.write("\n".join(d.strftime("%Y-%m-%d") for d in cal))
        cmd = [qlib_python, __file__, "--part", "qlib", "--qlib-dir", tmp, "--repeats", str(repeats),
               "--dates", str(n_dates), "--instruments", str(n_ids)]
        out = subprocess.run(cmd, capture_output=True, text=True)
        if out.returncode != 0:
            print("qlib run failed:\n" + out.stderr[-3000:])
            return
        r = json.loads(out.stdout.strip().splitlines()[-1])
        per_q = r["per_formula"]
        print("engine against qlib {} expression engine ({} worker processes; reading its binary files "
              "counted, dump {:.1f} s apart); best of {}".format(r["version"], r["kernels"], r["dump_s"], repeats))
        print("{:<24}{:>10}{:>10}{:>9}".format("formula", "zarnik s", "qlib s", "ratio"))
        for k in names:
            if k in per_q:
                print("{:<24}{:>10.3f}{:>10.3f}{:>8.1f}x".format(k, min(per_z[k]), per_q[k], per_q[k] / min(per_z[k])))
        print("{:<24}{:>10.3f}{:>10.3f}{:>8.1f}x".format("all ten (shared)", min(t_z), r["all_s"], r["all_s"] / min(t_z)))
        print("  qlib differs in ema_12 (infinite-history EMA), volatility/zscore (divisor n - 1) and "
              "ts_rank (percentile); same windows and inputs")


def part_qlib(tmp: str, repeats: int) -> None:
    """Runs in the qlib interpreter: dumps the panel in qlib's binary format and times
    the ten formulas through qlib.data.D.features (no expression or dataset cache)."""
    import qlib
    from qlib.data import D

    t0 = time.perf_counter()
    cal = open(os.path.join(tmp, "calendar.txt")).read().split("\n")
    root = os.path.join(tmp, "qlib")
    os.makedirs(os.path.join(root, "calendars"))
    os.makedirs(os.path.join(root, "instruments"))
    with open(os.path.join(root, "calendars", "day.txt"), "w") as fh:
        fh.write("\n".join(cal) + "\n")
    arrays = {f: np.load(os.path.join(tmp, f + ".npy")) for f in ["close", "volume", "high", "low"]}
    n_ids = arrays["close"].shape[1]
    names = ["sz{:06d}".format(j) for j in range(n_ids)]
    with open(os.path.join(root, "instruments", "all.txt"), "w") as fh:
        fh.write("".join("{}\t{}\t{}\n".format(nm.upper(), cal[0], cal[-1]) for nm in names))
    for j, nm in enumerate(names):
        d = os.path.join(root, "features", nm)
        os.makedirs(d)
        for f, a in arrays.items():
            # float32 little-endian: the calendar index of the first value, then the values
            np.hstack([[0.0], a[:, j]]).astype("<f4").tofile(os.path.join(d, f + ".day.bin"))
    dump_s = time.perf_counter() - t0
    qlib.init(provider_uri=root, region="cn", expression_cache=None, dataset_cache=None)
    inst = D.instruments("all")
    start, end = cal[100], cal[-1]
    D.features(D.instruments("all"), ["$close"], start_time=cal[60], end_time=cal[90])  # warm up
    per, total = {}, float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        D.features(inst, list(QLIB_FORMULAS.values()), start_time=start, end_time=end)
        total = min(total, time.perf_counter() - t0)
        for k, e in QLIB_FORMULAS.items():
            t0 = time.perf_counter()
            D.features(inst, [e], start_time=start, end_time=end)
            per[k] = min(per.get(k, float("inf")), time.perf_counter() - t0)
    print(json.dumps({"version": qlib.__version__, "kernels": qlib.config.C.kernels, "dump_s": dump_s,
                      "all_s": total, "per_formula": per}))


def part_pipeline(n_dates: int, n_ids: int) -> None:
    import warnings

    import zarnik
    from zarnik.report.job import build_assayer

    cal, ids, frames = make_panel(n_dates, n_ids)
    industries = install_market(cal, ids, frames, with_analysis=True)
    start, end = cal[100], cal[-30]
    t0 = time.perf_counter()
    factors = {k: zarnik.parse(v) for k, v in FORMULAS.items()}
    got = zarnik.execute_factors(factors, ids, start, end, progress=False)
    t_eval = time.perf_counter() - t0
    fa = build_assayer(benchmark=None, industry="citics_2019", style_factors="all", max_decay=10)
    t1 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        results = fa.analysis(got["reversal_5"], "daily", ascending=False, periods=[1, 5, 20])
    t_pipe = time.perf_counter() - t1
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"eval_s": t_eval, "pipeline_s": t_pipe, "peak_rss_mb": peak_mb,
                      "steps": list(results)}))


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--dates", type=int, default=2500)
    p.add_argument("--instruments", type=int, default=3000)
    p.add_argument("--repeats", type=int, default=2)
    p.add_argument("--part", choices=["all", "formulas", "pipeline", "qlib"], default="all")
    p.add_argument("--peers", action="store_true", help="the formulas against polars (and qlib) instead")
    p.add_argument("--qlib-python", help="a Python interpreter with pyqlib installed (its own virtualenv)")
    p.add_argument("--qlib-dir", help=argparse.SUPPRESS)
    p.add_argument("--nodes", action="store_true", help="also print the shared evaluation's time by operator")
    a = p.parse_args()
    if a.part == "qlib":
        part_qlib(a.qlib_dir, a.repeats)
        return
    if a.peers:
        part_peers(a.dates, a.instruments, a.repeats, a.qlib_python)
        return
    if a.part in ("all", "formulas"):
        part_formulas(a.dates, a.instruments, a.repeats, a.nodes)
    if a.part == "pipeline":
        part_pipeline(a.dates, a.instruments)
    if a.part == "all":
        cmd = [sys.executable, __file__, "--part", "pipeline", "--dates", str(a.dates),
               "--instruments", str(a.instruments)]
        out = subprocess.run(cmd, capture_output=True, text=True, env=os.environ)
        if out.returncode != 0:
            print("pipeline part failed:\n" + out.stderr[-3000:])
            return
        r = json.loads(out.stdout.strip().splitlines()[-1])
        print("demo pipeline on the panel: evaluate ten formulas {:.1f} s; full pipeline on one factor "
              "(3 periods) {:.1f} s; peak RSS {:.0f} MB".format(r["eval_s"], r["pipeline_s"], r["peak_rss_mb"]))


if __name__ == "__main__":
    main()
