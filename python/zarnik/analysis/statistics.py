"""Statistics over analysis results that researchers read beside the headline tables.

IC: skewness, excess kurtosis, the plain t-statistic and one with a Newey–West (HAC) standard error
(overlapping forward returns of a p-date horizon are autocorrelated up to lag p − 1, and persistent
factors add more), the mean IC of every calendar month, and the per-date IC within each industry.

Quantile returns: daily group returns, their mean and its standard error over the dates a group is
held, mean turnover of every group, the factor's rank autocorrelation per holding period, and the
alpha and beta of the daily top-minus-bottom return against the benchmark (or, without one, the
equal-weighted mean return of the instruments the analysis labelled).

Every function reads plain attributes (``ic``, ``quantile_returns`` ...) so it serves the result
classes of ``zarnik.analysis.analysis_result`` and any object with the same attributes. The two
``attach_*`` functions are called by the analysers with the data only they hold (the factor frame,
the returns, the industry labels) and store what needs it on the result.
"""

from __future__ import annotations

import functools
import math
import re
import warnings
from typing import Any

import numpy as np
import pandas as pd

__all__ = [
    "TRADING_DAYS",
    "period_of",
    "newey_west_lags",
    "newey_west_t",
    "ic_statistics",
    "monthly_ic",
    "grouped_ic",
    "rank_autocorrelation",
    "daily_from_cumulative",
    "quantile_daily_returns",
    "quantile_held_dates",
    "quantile_mean_returns",
    "mean_turnover",
    "top_minus_bottom_daily",
    "market_daily_return",
    "alpha_beta",
    "attach_ic_statistics",
    "attach_quantile_statistics",
]

TRADING_DAYS = 252
_PERIOD = re.compile(r"^P_(\d+)$")


def period_of(key: Any) -> int:
    """Holding period of a column key ("P_5" -> 5); 1 for keys of another form."""
    m = _PERIOD.match(str(key))
    return int(m.group(1)) if m else 1


# ---------------------------------------------------------------------------
# IC series
# ---------------------------------------------------------------------------
def newey_west_lags(n: int, period: int = 1) -> int:
    """Lags of the Bartlett kernel: at least the overlap of a ``period``-date horizon (period − 1),
    and at least the usual automatic bandwidth floor(4·(n/100)^(2/9)); never n or more."""
    if n <= 1:
        return 0
    auto = int(math.floor(4.0 * (n / 100.0) ** (2.0 / 9.0)))
    return int(min(max(period - 1, auto, 0), n - 1))


def newey_west_t(x: Any, lags: int) -> tuple[float, float]:
    """(t, standard error) of the mean of ``x`` with a Newey–West (Bartlett kernel) variance.

    The long-run variance is γ0 + 2·Σ_{l=1..L} (1 − l/(L+1))·γl with γl = Σ e_t e_{t−l} / n over the
    demeaned series e, times n/(n − 1) (the small-sample factor of a regression on a constant, so
    that L = 0 gives the plain t-statistic exactly). NaNs are dropped first.
    """
    v = np.asarray(x, dtype=np.float64)
    v = v[~np.isnan(v)]
    n = v.size
    if n < 2:
        return math.nan, math.nan
    e = v - v.mean()
    lags = int(max(0, min(lags, n - 1)))
    s = float(np.dot(e, e)) / n
    for lag in range(1, lags + 1):
        s += 2.0 * (1.0 - lag / (lags + 1.0)) * float(np.dot(e[lag:], e[:-lag])) / n
    var = s * n / (n - 1.0) / n
    if not var > 0:
        return math.nan, math.nan
    se = math.sqrt(var)
    return float(v.mean()) / se, se


def _clean(series: Any) -> np.ndarray:
    s = pd.to_numeric(pd.Series(series), errors="coerce").to_numpy(dtype=np.float64)
    return s[~np.isnan(s)]


def ic_statistics(ic: Any) -> pd.DataFrame:
    """每个持有期一行：IC 均值、标准差、IR、t 值、Newey–West t 值及其滞后阶数、偏度、峰度、正 IC 占比、日期数。

    Skewness and excess kurtosis are the population (biased) moments of scipy.stats.skew /
    scipy.stats.kurtosis; the t-statistic is that of a one-sample t-test against 0.
    """
    frame = pd.DataFrame(ic)
    rows = []
    for col in frame.columns:
        x = _clean(frame[col])
        n = int(x.size)
        mean = float(x.mean()) if n else math.nan
        std = float(x.std(ddof=1)) if n > 1 else math.nan
        ir = mean / std if n > 1 and std > 0 else math.nan
        t = ir * math.sqrt(n) if not math.isnan(ir) else math.nan
        lags = newey_west_lags(n, period_of(col))
        t_nw = newey_west_t(x, lags)[0] if n > 1 and std > 0 else math.nan
        if n > 2 and std > 0:
            e = x - mean
            m2 = float(np.mean(e * e))
            # Deviations near the subnormal range can underflow the moment powers to zero;
            # the shape is then undefined, as for a constant series.
            d3, d4 = m2 ** 1.5, m2 ** 2
            skew = float(np.mean(e ** 3)) / d3 if d3 > 0 else math.nan
            kurt = float(np.mean(e ** 4)) / d4 - 3.0 if d4 > 0 else math.nan
        else:
            skew = kurt = math.nan
        rows.append({"period": col, "ic_mean": mean, "ic_std": std, "ir": ir, "t_stat": t,
                     "t_stat_nw": t_nw, "nw_lags": lags, "ic_skew": skew, "ic_kurtosis": kurt,
                     "positive_share": float((x > 0).mean()) if n else math.nan, "n_dates": n})
    columns = ["ic_mean", "ic_std", "ir", "t_stat", "t_stat_nw", "nw_lags", "ic_skew", "ic_kurtosis",
               "positive_share", "n_dates"]
    if not rows:
        return pd.DataFrame(columns=columns, index=pd.Index([], name="period"))
    return pd.DataFrame(rows).set_index("period")[columns]


def monthly_ic(ic: Any) -> pd.DataFrame:
    """按自然月的平均 IC：索引为月份（Period[M]），每个持有期一列；没有 IC 的月份为 NaN。"""
    frame = pd.DataFrame(ic).apply(pd.to_numeric, errors="coerce")
    if not isinstance(frame.index, pd.DatetimeIndex) or frame.empty:
        return pd.DataFrame(columns=frame.columns, index=pd.PeriodIndex([], freq="M", name="month"))
    months = frame.index.to_period("M")
    out = frame.groupby(months).mean()
    full = pd.period_range(months.min(), months.max(), freq="M", name="month")
    out = out.reindex(full)
    out.index.name = "month"
    return out


def grouped_ic(long_table: pd.DataFrame, groups: Any, rank: bool = True) -> pd.DataFrame | None:
    """逐日、逐组（行业）的 IC：每个 (日期, 组) 一行，每个持有期一列。

    ``long_table`` is indexed by (``datetime``, ``order_book_id``) with a ``factor`` column and one
    column per period key; ``groups`` holds one label per row (NaN: in no group). The IC of a date
    and group is the Spearman (``rank``) or Pearson correlation over the instruments with both a
    factor value and a forward return; with fewer than two such instruments, or no spread in either,
    it is NaN.
    """
    fields = [c for c in long_table.columns if _PERIOD.match(str(c))]
    if not fields or "factor" not in long_table.columns:
        return None
    labels = pd.Series(groups).to_numpy() if not isinstance(groups, np.ndarray) else groups
    if len(labels) != len(long_table):
        raise ValueError("grouped_ic: expected one group label per row of the long table, got {} for {} rows"
                         .format(len(labels), len(long_table)))
    gcodes, guniques = pd.factorize(labels, sort=True)
    dates = long_table.index.get_level_values("datetime")
    dcodes, duniques = pd.factorize(dates, sort=True)
    G = len(guniques)
    if G == 0:
        return None
    from .. import _core

    f = long_table["factor"].to_numpy(dtype=np.float64, na_value=np.nan)
    member = (gcodes >= 0) & (dcodes >= 0)
    cell = np.where(member, dcodes.astype(np.int64) * G + gcodes, -1)
    n_cells = len(duniques) * G
    returns = [long_table[field].to_numpy(dtype=np.float64, na_value=np.nan) for field in fields]
    ic, _ = _core.cell_correlations(f, returns, cell, n_cells, bool(rank))
    # one row per (date, group) holding a factor value
    present_cells = np.flatnonzero(np.bincount(cell[member & ~np.isnan(f)], minlength=n_cells))
    out = ic[present_cells]
    index = pd.MultiIndex.from_arrays(
        [duniques.take(present_cells // G), pd.Index(guniques).take(present_cells % G)],
        names=["datetime", "industry"])
    return pd.DataFrame(out, index=index, columns=fields)


def industry_ic_summary(by_date: Any) -> pd.DataFrame:
    """每个行业、持有期一行：逐日 IC 的均值、标准差、t 值与日期数。"""
    frame = pd.DataFrame(by_date)
    rows = []
    if not frame.empty:
        for (group, part) in frame.groupby(level="industry", sort=True):
            for col in frame.columns:
                x = _clean(part[col])
                n = int(x.size)
                mean = float(x.mean()) if n else math.nan
                std = float(x.std(ddof=1)) if n > 1 else math.nan
                t = mean / std * math.sqrt(n) if n > 1 and std > 0 else math.nan
                rows.append({"industry": group, "period": col, "ic_mean": mean, "ic_std": std,
                             "t_stat": t, "n_dates": n})
    if not rows:
        return pd.DataFrame(columns=["ic_mean", "ic_std", "t_stat", "n_dates"],
                            index=pd.MultiIndex.from_arrays([[], []], names=["period", "industry"]))
    return pd.DataFrame(rows).set_index(["period", "industry"]).sort_index()


# ---------------------------------------------------------------------------
# factor persistence
# ---------------------------------------------------------------------------
def rank_autocorrelation(factor: pd.DataFrame, periods: Any) -> pd.DataFrame:
    """因子秩自相关：每日截面排名与 p 个交易日前的截面排名的相关系数（每个持有期一列）。

    Ranks are taken per date over the instruments with a value (average ranks for ties); the
    correlation runs over the instruments ranked on both dates; fewer than two, or no spread, give NaN.
    """
    frame = pd.DataFrame(factor)
    try:
        values = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        values = frame.apply(pd.to_numeric, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
    frame = pd.DataFrame(values, index=frame.index, columns=frame.columns)
    ranks = frame.rank(axis=1, method="average").to_numpy(dtype=np.float64)
    out = {}
    T = ranks.shape[0]
    for p in periods:
        p = int(p)
        col = np.full(T, np.nan)
        if 0 < p < T:
            a = ranks[p:]
            b = ranks[:-p]
            ok = ~np.isnan(a) & ~np.isnan(b)
            n = ok.sum(axis=1).astype(np.float64)
            with np.errstate(divide="ignore", invalid="ignore"):
                ma = np.where(ok, a, 0.0).sum(axis=1) / n
                mb = np.where(ok, b, 0.0).sum(axis=1) / n
                da = np.where(ok, a - ma[:, None], 0.0)
                db = np.where(ok, b - mb[:, None], 0.0)
                r = (da * db).sum(axis=1) / np.sqrt((da * da).sum(axis=1) * (db * db).sum(axis=1))
            r[(n < 2) | ~np.isfinite(r)] = np.nan
            col[p:] = np.clip(r, -1.0, 1.0)
        out["P_{}".format(p)] = col
    result = pd.DataFrame(out, index=frame.index)
    result.index.name = "datetime"
    return result


# ---------------------------------------------------------------------------
# quantile returns
# ---------------------------------------------------------------------------
def daily_from_cumulative(cum: Any) -> Any:
    """Daily returns from cumulative ones: (1 + c_t) / (1 + c_{t−1}) − 1, with c = 0 before the first date."""
    obj = pd.DataFrame(cum) if not isinstance(cum, pd.Series) else cum
    wealth = obj.astype(np.float64) + 1.0
    prev = wealth.shift(1)
    prev.iloc[:1] = 1.0
    with np.errstate(divide="ignore", invalid="ignore"):
        daily = wealth / prev - 1.0
    return daily.replace([np.inf, -np.inf], np.nan)


def quantile_daily_returns(r: Any) -> pd.DataFrame:
    """各组日收益率：索引 (tag, datetime)，每个持有期一列（由累计分组收益还原）。"""
    qr = pd.DataFrame(r.quantile_returns)
    return qr.groupby(level="tag", group_keys=False, sort=False).apply(daily_from_cumulative)


def quantile_held_dates(r: Any, dates: pd.Index) -> np.ndarray:
    """Dates on or after the first one on which any group holds an instrument (all dates when unknown)."""
    detail = getattr(r, "quantile_detail", None)
    if detail is None or not hasattr(detail, "index"):
        return np.ones(len(dates), dtype=bool)
    # the labelled dates are asked for once per statistic: kept on the result with the frame they
    # came from (a test of every cell of the label matrix costs more than the statistics)
    kept = getattr(r, "_labelled_dates", None)
    if kept is not None and kept[0] is detail:
        labelled = kept[1]
    else:
        labelled = pd.DataFrame(detail).notna().any(axis=1)
        try:
            r._labelled_dates = (detail, labelled)
        except AttributeError:
            pass
    return np.cumsum(labelled.reindex(dates, fill_value=False).to_numpy()) > 0


def quantile_mean_returns(r: Any) -> pd.DataFrame:
    """每组、每个持有期一行：日均收益、其标准误（日收益标准差 / √日期数）与日期数。

    The dates before the first one with any labelled instrument (the lag row of the analysis) hold
    nothing and are left out.
    """
    daily = quantile_daily_returns(r)
    rows = []
    for tag, part in daily.groupby(level="tag", sort=False):
        part = part.droplevel("tag")
        held = quantile_held_dates(r, part.index)
        for col in part.columns:
            x = part[col].to_numpy(dtype=np.float64)[held]
            x = x[~np.isnan(x)]
            n = int(x.size)
            mean = float(x.mean()) if n else math.nan
            se = float(x.std(ddof=1) / math.sqrt(n)) if n > 1 else math.nan
            rows.append({"period": col, "group": str(tag), "mean_return": mean, "mean_return_se": se,
                         "n_dates": n})
    if not rows:
        return pd.DataFrame(columns=["mean_return", "mean_return_se", "n_dates"],
                            index=pd.MultiIndex.from_arrays([[], []], names=["period", "group"]))
    return pd.DataFrame(rows).set_index(["period", "group"])


def mean_turnover(r: Any) -> pd.DataFrame:
    """各组平均换手率：索引为组，每个持有期一列（缺失日期不计）。"""
    tv = getattr(r, "quantile_turnover", None)
    if tv is None:
        return pd.DataFrame()
    frame = pd.DataFrame(tv).apply(pd.to_numeric, errors="coerce")
    out = frame.groupby(level=0, sort=False).mean()
    out.index = out.index.astype(str)
    out.index.name = "tag"
    return out


def _last_tag(tags: list[str]) -> str:
    return max(tags, key=lambda t: int(t[1:]) if t[1:].isdigit() else -1)


def top_minus_bottom_daily(r: Any) -> pd.DataFrame:
    """多空组合（q1 减最后一组）的日收益率：索引为日期，每个持有期一列。"""
    tmb = getattr(r, "top_minus_bottom_returns", None)
    if tmb is not None and len(tmb):
        return pd.DataFrame(daily_from_cumulative(pd.DataFrame(tmb)))
    daily = quantile_daily_returns(r)
    tags = [str(t) for t in daily.index.get_level_values("tag").unique()]
    if not tags:
        return pd.DataFrame()
    return daily.xs(tags[0], level="tag") - daily.xs(_last_tag(tags), level="tag")


def market_daily_return(r: Any) -> tuple[pd.Series | None, str]:
    """(daily returns, what they are): the benchmark's when there is one, else the equal-weighted
    mean return of the labelled instruments (``universe_return``), else (None, "")."""
    bench = getattr(r, "benchmark_return", None)
    if bench is not None and len(bench):
        name = getattr(bench, "name", None)
        return pd.Series(daily_from_cumulative(pd.Series(bench))), "benchmark {}".format(name or "")
    uni = getattr(r, "universe_return", None)
    if uni is not None and len(uni):
        return pd.Series(uni, dtype=np.float64), "universe mean"
    return None, ""


def alpha_beta(y: Any, x: Any) -> dict[str, float]:
    """OLS of y on a constant and x over the dates where both are finite.

    Returns the daily ``alpha``, its t-statistic ``alpha_t``, ``beta`` with ``beta_t``, the
    annualized alpha (1 + alpha)^252 − 1 and the number of dates ``n``.
    """
    ys = pd.Series(y, dtype=np.float64)
    xs = pd.Series(x, dtype=np.float64).reindex(ys.index) if isinstance(x, pd.Series) else pd.Series(
        np.asarray(x, dtype=np.float64), index=ys.index)
    ok = np.isfinite(ys.to_numpy()) & np.isfinite(xs.to_numpy())
    yv, xv = ys.to_numpy()[ok], xs.to_numpy()[ok]
    n = int(yv.size)
    nan = {"alpha": math.nan, "alpha_t": math.nan, "beta": math.nan, "beta_t": math.nan,
           "alpha_annualized": math.nan, "n": n}
    if n < 3:
        return nan
    mx, my = xv.mean(), yv.mean()
    dx, dy = xv - mx, yv - my
    sxx = float(np.dot(dx, dx))
    if not sxx > 0:
        return nan
    beta = float(np.dot(dx, dy)) / sxx
    alpha = float(my - beta * mx)
    resid = dy - beta * dx
    s2 = float(np.dot(resid, resid)) / (n - 2)
    se_alpha = math.sqrt(s2 * (1.0 / n + mx * mx / sxx))
    se_beta = math.sqrt(s2 / sxx)
    growth = 1.0 + alpha
    return {
        "alpha": alpha,
        "alpha_t": alpha / se_alpha if se_alpha > 0 else math.nan,
        "beta": beta,
        "beta_t": beta / se_beta if se_beta > 0 else math.nan,
        "alpha_annualized": growth ** TRADING_DAYS - 1.0 if growth > 0 else -1.0,
        "n": n,
    }


def top_minus_bottom_statistics(r: Any) -> pd.DataFrame:
    """每个持有期一行：多空日收益的均值、标准误、t 值，及其相对基准（或全市场等权平均）的 alpha / beta。"""
    daily = top_minus_bottom_daily(r)
    market, against = market_daily_return(r)
    rows = []
    for col in daily.columns:
        s = daily[col]
        held = quantile_held_dates(r, s.index)
        s = s[held]
        x = _clean(s)
        n = int(x.size)
        mean = float(x.mean()) if n else math.nan
        se = float(x.std(ddof=1) / math.sqrt(n)) if n > 1 else math.nan
        row = {"period": col, "mean_return": mean, "mean_return_se": se,
               "t_stat": mean / se if n > 1 and se > 0 else math.nan, "n_dates": n}
        if market is not None:
            ab = alpha_beta(s, market)
            row.update({"alpha_annualized": ab["alpha_annualized"], "alpha": ab["alpha"], "alpha_t": ab["alpha_t"],
                        "beta": ab["beta"], "beta_t": ab["beta_t"], "against": against})
        rows.append(row)
    if not rows:
        return pd.DataFrame(index=pd.Index([], name="period"))
    return pd.DataFrame(rows).set_index("period")


# ---------------------------------------------------------------------------
# hooks called by the analysers
# ---------------------------------------------------------------------------
def attach_ic_statistics(result: Any, analyser: Any, long_table: pd.DataFrame) -> None:
    """Store ``ic_by_industry`` (per-date IC within each industry, or None without a classification)."""
    value = None
    if getattr(analyser, "industry", None) is not None and len(long_table):
        labels = analyser._get_industry_data(long_table)
        if isinstance(labels, pd.Series) and not labels.index.equals(long_table.index):
            labels = labels.reindex(long_table.index)
        value = grouped_ic(long_table, labels, rank=bool(getattr(analyser, "rank_ic", True)))
    _set(result, "ic_by_industry", value)


def attach_quantile_statistics(result: Any, factor_data: Any, returns: Any) -> None:
    """Give the result ``factor_rank_autocorrelation`` (per kept period) and ``universe_return`` (daily).

    On a result class with deferred attributes both are computed when first read (a screen that
    never reads them does not pay for them), from snapshots of the inputs taken now: later writes
    to the caller's frames copy first and do not reach the result. Other result types get the
    values at once.
    """
    table = getattr(result, "quantile_returns", None)
    if not isinstance(table, pd.DataFrame):
        return  # a substituted result type without the tables
    periods = [period_of(c) for c in table.columns]
    frame = pd.DataFrame(factor_data).copy(deep=False)
    detail = getattr(result, "quantile_detail", None)
    if not (detail is not None and isinstance(returns, pd.DataFrame)):
        detail = None
    pending = {
        "factor_rank_autocorrelation": functools.partial(rank_autocorrelation, frame, periods),
        "universe_return": functools.partial(_universe_return, detail,
                                             returns.copy(deep=False) if detail is not None else None),
    }
    for name, func in pending.items():
        defer = getattr(getattr(type(result), name, None), "defer", None)
        if defer is not None:
            defer(result, name, func)
        else:
            _set(result, name, func())


def _universe_return(detail: Any, returns: Any) -> Any:
    """Equal-weighted mean daily return of the instruments holding a label (None without the inputs)."""
    if detail is None:
        return None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        ret = returns.reindex(index=detail.index, columns=detail.columns).to_numpy(dtype=np.float64,
                                                                                    na_value=np.nan)
        held = pd.DataFrame(detail).notna().to_numpy()
        ok = held & ~np.isnan(ret)
        n = ok.sum(axis=1)
        total = np.where(ok, ret, 0.0).sum(axis=1)
        values = np.where(n > 0, total / np.maximum(n, 1), np.nan)
    return pd.Series(values, index=detail.index, name="universe_mean")


def _set(result: Any, name: str, value: Any) -> None:
    try:
        setattr(result, name, value)
    except (AttributeError, TypeError):
        pass  # a result type that takes no attributes goes without
