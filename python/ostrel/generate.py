"""Deterministic synthetic A-share market written into a new store.

The market is driven by a daily factor model: a market factor with volatility
clustering, industry factors, four priced style factors (size, book-to-price,
momentum, earnings yield), a planted short-term reversal and fat-tailed
idiosyncratic noise. Fundamentals (book value, trailing earnings, debt) are
updated at report dates inside the statutory disclosure windows (late March to
April, late July to August, October), so between reports the value-type
exposures move only with the price. Cash dividends and bonus shares are paid
on ex-dates between mid May and July and show up as adjustment factors.

The stored style exposures are measured from the generated data the way a
risk-model vendor would (trailing regressions on the index, past returns,
turnover, market capitalisation and the reported fundamentals) and
standardised per date over the instruments that have a bar that day.
"""

from __future__ import annotations

import os
import tempfile
from typing import Any

import numpy as np
import pandas as pd
from scipy.signal import lfilter
from tqdm import tqdm

from . import STYLE_FACTORS, _exchange_sessions, _to_timestamp, schema, store

INDUSTRIES = ["银行", "非银金融", "房地产", "建筑", "建材", "钢铁", "有色金属", "煤炭", "石油石化", "基础化工",
              "电力及公用事业", "交通运输", "汽车", "机械", "电力设备及新能源", "国防军工", "电子", "通信",
              "计算机", "传媒", "家电", "轻工制造", "纺织服装", "商贸零售", "消费者服务", "食品饮料",
              "农林牧渔", "医药"]
# Shenwan first-level names of each industry above: the 2011/2014 editions, then the 2021 edition
_SWS_OLD = ["银行", "非银金融", "房地产", "建筑装饰", "建筑材料", "钢铁", "有色金属", "采掘", "采掘", "化工",
            "公用事业", "交通运输", "汽车", "机械设备", "电气设备", "国防军工", "电子", "通信", "计算机", "传媒",
            "家用电器", "轻工制造", "纺织服装", "商业贸易", "休闲服务", "食品饮料", "农林牧渔", "医药生物"]
_SWS_2021 = ["银行", "非银金融", "房地产", "建筑装饰", "建筑材料", "钢铁", "有色金属", "煤炭", "石油石化", "基础化工",
             "公用事业", "交通运输", "汽车", "机械设备", "电力设备", "国防军工", "电子", "通信", "计算机", "传媒",
             "家用电器", "轻工制造", "纺织服饰", "商贸零售", "社会服务", "食品饮料", "农林牧渔", "医药生物"]
BENCHMARK = "000300.XSHG"

# Shenwan classification editions: records dated after these days belong to versions 2 and 3
SWS_VERSION_2 = pd.Timestamp("2014-01-01")
SWS_VERSION_3 = pd.Timestamp("2021-07-31")
# first days on which the new editions were published for every instrument
_SWS_SWITCH = ((pd.Timestamp("2014-01-02"), 2), (pd.Timestamp("2021-08-02"), 3))

# (first month, first day, last month, last day) of the windows for periodic reports and for ex-dates
_REPORT_WINDOWS = ((3, 20, 4, 30), (7, 20, 8, 31), (10, 10, 10, 31))
_EX_WINDOW = (5, 15, 7, 31)

# planted daily style premiums (mean, volatility of the daily factor return) on standardised exposures
_PREMIUMS = {"size": (-0.0003, 0.002), "book_to_price": (0.0001, 0.0015), "momentum": (0.00005, 0.002),
             "earnings_yield": (0.0001, 0.0012)}
_REVERSAL = 0.0005      # next-day return per standard deviation of the past five-day return, against it
_LIMIT = 0.10           # daily price limit
_BETA_WINDOW = 252      # trailing regression window of beta and residual volatility
_PRIOR_DAYS = 20.0      # weight, in days of data, of the prior that short histories of beta shrink to


def _version(day: pd.Timestamp) -> int:
    return 1 if day <= SWS_VERSION_2 else (2 if day <= SWS_VERSION_3 else 3)


def _sws_name(industry: int, version: int) -> str:
    return (_SWS_2021 if version == 3 else _SWS_OLD)[industry]


def _zscore(x: np.ndarray) -> np.ndarray:
    """Per-row standardisation over the finite cells (NaN elsewhere stays NaN)."""
    m = np.nanmean(x, axis=1, keepdims=True)
    s = np.nanstd(x, axis=1, keepdims=True)
    s[~(s > 1e-9 * (1 + np.abs(m)))] = np.inf   # a constant cross-section standardises to zero
    return (x - m) / s


def _wz(x: np.ndarray, w: np.ndarray) -> np.ndarray:
    """Standardisation of one cross-section with weights ``w`` (summing to one)."""
    m = w @ x
    d = x - m
    s = np.sqrt(w @ (d * d))
    return d / s if s > 0 else d * 0.0


def _trailing_sum(x: np.ndarray, n: int) -> np.ndarray:
    """Sum over the last ``n`` rows (fewer at the top), NaN counted as zero."""
    c = np.cumsum(np.nan_to_num(x), axis=0)
    if n < len(c):
        c[n:] -= c[:-n].copy()
    return c


def _ar1(rng: np.random.Generator, n: int, rho: float, sd: float) -> np.ndarray:
    """Stationary AR(1) path of length ``n`` with unconditional standard deviation ``sd``."""
    e = rng.normal(0.0, sd * np.sqrt(1 - rho * rho), n)
    e[0] = rng.normal(0.0, sd)
    return lfilter([1.0], [1.0, -rho], e)


def _window_days(dates: pd.DatetimeIndex, window: tuple[int, int, int, int]) -> list[tuple[int, int]]:
    """Trading-day index ranges [lo, hi) of a yearly calendar window, one per year of ``dates``."""
    out = []
    for y in range(dates[0].year, dates[-1].year + 1):
        lo = dates.searchsorted(pd.Timestamp(y, window[0], window[1]))
        hi = dates.searchsorted(pd.Timestamp(y, window[2], window[3]), side="right")
        if hi > lo:
            out.append((int(lo), int(hi)))
    return out


def _ids(n: int) -> list[str]:
    return ["{:06d}.XSHG".format(600000 + i // 2) if i % 2 == 0 else "{:06d}.XSHE".format(1 + i // 2)
            for i in range(n)]


def _industry_history(rng: np.random.Generator, first: list[pd.Timestamp], industry: np.ndarray,
                      end: pd.Timestamp) -> list[list[tuple[pd.Timestamp, int]]]:
    """Per instrument: (day, industry) changes from its first record on, on any calendar day.

    Reclassifications arrive about once every six years; each moves the
    instrument to another industry.
    """
    out = []
    k = len(INDUSTRIES)
    for i, day in enumerate(first):
        hist = [(day, int(industry[i]))]
        t = day
        while True:
            t = t + pd.Timedelta(days=int(rng.exponential(365 * 6)) + 30)
            if t > end:
                break
            hist.append((t, int((hist[-1][1] + rng.integers(1, k)) % k)))
        out.append(hist)
    return out


def _shifted(hist: list[tuple[pd.Timestamp, int]], rng: np.random.Generator) -> list[tuple[pd.Timestamp, int]]:
    """The same changes as seen by a second classification: a few days apart, an odd extra one."""
    out = [hist[0]]
    for day, ind in hist[1:]:
        if rng.random() < 0.85:
            out.append((day + pd.Timedelta(days=int(rng.integers(-10, 11))), ind))
    if rng.random() < 0.1:
        day = hist[0][0] + pd.Timedelta(days=int(rng.integers(200, 4000)))
        if day <= hist[-1][0] + pd.Timedelta(days=3000):
            out.append((day, int(rng.integers(0, len(INDUSTRIES)))))
    out = sorted({d: ind for d, ind in out if d >= hist[0][0]}.items())
    return out


def _instruments(rng: np.random.Generator, cal: pd.DatetimeIndex, dates: pd.DatetimeIndex, n: int):
    """Listing and delisting day numbers, first industries and both classification histories.

    The first twentieth of the ids are long-listed large companies that stay listed.
    """
    T = len(dates)
    old = np.arange(n) < max(1, n // 20)
    listed = np.zeros(n, dtype=np.int64)
    late = (rng.random(n) < 0.2) & ~old
    listed[late] = rng.integers(1, max(2, T // 2), late.sum())
    delisted = np.full(n, T, dtype=np.int64)
    gone = (rng.random(n) < 0.05) & (listed < T // 2) & ~old
    delisted[gone] = rng.integers(T // 2 + 1, T, gone.sum())
    industry0 = rng.integers(0, len(INDUSTRIES), n)
    # first classification record: on the listing day, or on a trading day some years before the period
    early = cal[cal <= dates[0] - pd.Timedelta(days=365 * 3)]
    before = early[-1] if len(early) else cal[0]
    first_rec = [before if listed[i] == 0 else dates[listed[i]] for i in range(n)]
    cit_hist = _industry_history(rng, first_rec, industry0, dates[-1])
    sws_hist = [_shifted(h, rng) for h in cit_hist]
    return old, listed, delisted, industry0, cit_hist, sws_hist


def _daily_industry(dates: pd.DatetimeIndex, industry0: np.ndarray, hist: list) -> np.ndarray:
    """Industry of each instrument on each trading day; a change counts from the first trading day on or after it."""
    ind = np.tile(industry0, (len(dates), 1))
    for i, changes in enumerate(hist):
        for day, k in changes:
            ind[dates.searchsorted(day):, i] = k
    return ind


def _fundamentals(rng: np.random.Generator, dates: pd.DatetimeIndex, cap0: np.ndarray, roe_mean: np.ndarray,
                  debt_ratio: np.ndarray) -> dict[str, np.ndarray]:
    """Book value, trailing earnings, debt and growth per report, and the report in force on each day.

    Three reports a year, each on a random trading day of its disclosure window;
    the history starts three reports before the period so growth is defined from
    the first day. Return-on-equity is persistent around a company mean; an
    earnings surprise is the shock of the report.
    """
    T, n = len(dates), len(cap0)
    windows = sorted(w for win in _REPORT_WINDOWS for w in _window_days(dates, win))
    K, pre = len(windows), 3
    report_day = np.empty((K, n), dtype=np.int64)
    for k, (lo, hi) in enumerate(windows):
        report_day[k] = rng.integers(lo, hi, n)
    roe = np.empty((K + pre + 1, n))
    roe[0] = roe_mean + rng.normal(0, 0.03, n)
    shock = rng.normal(0, 0.025, (K + pre, n))
    for k in range(1, K + pre + 1):
        roe[k] = roe_mean + 0.75 * (roe[k - 1] - roe_mean) + shock[k - 1]
    book = np.empty_like(roe)
    book[0] = cap0 * np.exp(rng.normal(np.log(0.45), 0.5, n)) * 0.9
    for k in range(1, K + pre + 1):
        # a third of a year's earnings, 70% of it retained
        book[k] = np.maximum(book[k - 1] * (1 + roe[k] / 3 * 0.7), book[0] * 0.05)
    earnings = roe * book
    debt = book * debt_ratio * np.exp(np.cumsum(rng.normal(0, 0.05, (K + pre + 1, n)), axis=0))
    growth = np.zeros_like(roe)
    growth[3:] = (earnings[3:] - earnings[:-3]) / book[:-3]      # year-on-year change over book value
    in_force = np.zeros((T + 1, n), dtype=np.int64)
    np.add.at(in_force, (report_day.ravel(), np.tile(np.arange(n), K)), 1)
    in_force = np.cumsum(in_force[:T], axis=0) + pre
    return {"book": book, "earnings": earnings, "debt": debt, "growth": growth, "in_force": in_force,
            "report_day": report_day, "surprise": shock[pre:]}


def _corporate_actions(rng: np.random.Generator, dates: pd.DatetimeIndex, alive: np.ndarray,
                       listed: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per-day multipliers of the adjustment factor and of the share count.

    Each year 70% of the companies pay a cash dividend (yield 0.3% to 4%) on an
    ex-date in the dividend season; one in eight of them also issues bonus shares.
    """
    T, n = alive.shape
    adj_step = np.ones((T, n))
    share_step = np.ones((T, n))
    for lo, hi in _window_days(dates, _EX_WINDOW):
        ex = rng.integers(lo, hi, n)
        cols = np.flatnonzero(alive[ex, np.arange(n)] & (ex > listed) & (rng.random(n) < 0.7))
        yld = rng.uniform(0.003, 0.04, len(cols))
        ratio = np.where(rng.random(len(cols)) < 0.12, rng.choice([1.2, 1.3, 1.5, 1.8, 2.0], len(cols)), 1.0)
        adj_step[ex[cols], cols] = ratio / (1 - yld)
        share_step[ex[cols], cols] = ratio
    return adj_step, share_step


def _suspensions(rng: np.random.Generator, alive: np.ndarray, listed: np.ndarray) -> np.ndarray:
    """Suspension spells of a few days, one in ten lasting about two months; never on the listing day."""
    T, n = alive.shape
    starts = (rng.random((T, n)) < 0.0015) & alive & (np.arange(T)[:, None] > listed)
    ts, ns = np.nonzero(starts)
    length = np.where(rng.random(len(ts)) < 0.1, rng.geometric(1 / 40, len(ts)), rng.geometric(0.35, len(ts)))
    mark = np.zeros((T + 1, n), dtype=np.int32)
    np.add.at(mark, (ts, ns), 1)
    np.add.at(mark, (np.minimum(ts + length, T), ns), -1)
    return (np.cumsum(mark[:T], axis=0) > 0) & alive


def _returns(base: np.ndarray, prem: np.ndarray, alive: np.ndarray, logcap0: np.ndarray, cap_step: np.ndarray,
             fund: dict[str, np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    """Daily total returns and cumulative log returns ((T + 1) rows) of the factor model.

    ``base`` holds the parts known in advance (market, industry, noise, surprises);
    the style parts and the reversal depend on the path so far and are added day
    by day on exposures standardised over the listed instruments.
    """
    T, n = base.shape
    cum = np.zeros((T + 1, n))
    ret = np.empty((T, n))
    logcap = logcap0.copy()
    rows = np.arange(n)
    book, earnings, in_force = fund["book"], fund["earnings"], fund["in_force"]
    for t in range(T):
        a = alive[t]
        w = a / a.sum()
        cap = np.exp(logcap)
        e_size = _wz(logcap, w)
        e_value = _wz(book[in_force[t], rows] / cap, w)
        e_mom = _wz(cum[max(t - 21, 0)] - cum[max(t - _BETA_WINDOW, 0)], w)
        e_ey = _wz(earnings[in_force[t], rows] / cap, w)
        e_rev = _wz(cum[t] - cum[max(t - 5, 0)], w)
        f = prem[t]
        r = base[t] + f[0] * e_size + f[1] * e_value + f[2] * e_mom + f[3] * e_ey - _REVERSAL * e_rev
        np.clip(r, -_LIMIT, _LIMIT, out=r)
        r[~a] = 0.0
        ret[t] = r
        lr = np.log1p(r)
        cum[t + 1] = cum[t] + lr
        logcap += lr + cap_step[t]
    return ret, cum


def _index_bars(dates: pd.DatetimeIndex, bar: np.ndarray, alive: np.ndarray, listed: np.ndarray,
                px: dict[str, np.ndarray]) -> tuple[pd.DataFrame, np.ndarray]:
    """Bars of the benchmark index and its daily returns.

    Capitalisation-weighted over the largest stocks listed for at least 60 days,
    reviewed on the first trading day of June and December. A price index: a
    dividend lowers it, a bonus issue does not; a suspended constituent keeps its
    last price.
    """
    T, n = bar.shape
    cap_seen = pd.DataFrame(np.where(bar, px["close"] * px["shares"], np.nan)).ffill().to_numpy()
    n_const = min(300, max(n // 3, 10))
    member = np.zeros((T, n), dtype=bool)
    reviews = [0] + [int(i) for i in np.flatnonzero(np.diff(dates.month) != 0) + 1 if dates[i].month in (6, 12)]
    for j, lo in enumerate(reviews):
        hi = reviews[j + 1] if j + 1 < len(reviews) else T
        seen = np.where(alive[lo] & (listed <= max(lo - 60, 0)), np.nan_to_num(cap_seen[max(lo - 1, 0)]), 0.0)
        pick = np.argsort(-seen, kind="stable")[:n_const]
        member[lo:hi, pick[seen[pick] > 0]] = True
    prev = np.vstack([cap_seen[:1], cap_seen[:-1]])
    wgt = np.where(member & np.isfinite(prev), prev, 0.0)
    wsum = np.maximum(wgt.sum(axis=1), 1e-12)
    idx_ret = (wgt * np.nan_to_num(cap_seen / prev - 1)).sum(axis=1) / wsum
    idx_ret[0] = 0.0
    del cap_seen, prev
    close = 3000.0 * np.cumprod(1 + idx_ret)
    prev_close = np.concatenate([[3000.0], close[:-1]])
    wb = np.where(bar, wgt, 0.0)
    del wgt

    def moved(x: np.ndarray) -> np.ndarray:
        # weighted move of the trading constituents from their previous close
        return prev_close * (1 + (wb * np.where(bar, x / px["ref"] - 1, 0.0)).sum(axis=1) / wsum)

    open_ = moved(px["open"])
    high = np.maximum(moved(px["high"]), np.maximum(open_, close))
    low = np.minimum(moved(px["low"]), np.minimum(open_, close))
    traded = member & bar
    idx = pd.DataFrame({"order_book_id": BENCHMARK, "date": dates.date, "open": open_, "high": high, "low": low,
                        "close": close, "volume": np.where(traded, px["volume"], 0.0).sum(axis=1),
                        "total_turnover": np.where(traded, px["turnover"], 0.0).sum(axis=1), "adj_factor": 1.0})
    return idx, idx_ret


def _lagged(x: np.ndarray, k: int) -> np.ndarray:
    """Rows shifted down by ``k``, zeros on top."""
    out = np.zeros_like(x)
    if k < len(x):
        out[k:] = x[: len(x) - k]
    return out


def _styles(bar: np.ndarray, idx_ret: np.ndarray, px: dict[str, np.ndarray],
            fund: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    """The ten style exposures measured from the generated data, standardised per date over the bars."""
    T, n = bar.shape
    close, adj, shares = px["close"], px["adj"], px["shares"]
    post = np.where(bar, close * adj, np.nan)
    seen = pd.DataFrame(post).ffill().to_numpy()
    r = np.full((T, n), np.nan)
    r[1:] = post[1:] / seen[:-1] - 1                 # from the last bar before, across suspensions
    del post, seen
    valid = np.isfinite(r)
    y = np.where(valid, r, 0.0)
    del r
    # trailing regressions on the index over the days with a return
    x = np.where(valid, idx_ret[:, None], 0.0)
    w = _BETA_WINDOW
    cnt = _trailing_sum(valid.astype(float), w)
    nn = np.maximum(cnt, 1.0)
    sx, sy = _trailing_sum(x, w) / nn, _trailing_sum(y, w) / nn
    cov = _trailing_sum(x * y, w) / nn - sx * sy
    var = np.maximum(_trailing_sum(x * x, w) / nn - sx * sx, 1e-12)
    del x
    b = np.where((cnt >= 2) & (var > 1e-10), cov / var, 0.0)
    rv = np.maximum(_trailing_sum(y * y, w) / nn - sy * sy - b * cov, 0.0)
    del sx, sy, cov, var, nn
    raw: dict[str, np.ndarray] = {}
    # short histories shrink toward a beta of one and a typical residual volatility
    raw["beta"] = (cnt * b + _PRIOR_DAYS) / (cnt + _PRIOR_DAYS)
    raw["residual_volatility"] = np.sqrt((cnt * rv + _PRIOR_DAYS * 0.02 ** 2) / (cnt + _PRIOR_DAYS))
    del b, rv, cnt
    # momentum: log return over the past year, skipping the last month
    lr = np.cumsum(np.log1p(y), axis=0)
    del y, valid
    raw["momentum"] = _lagged(lr, 21) - _lagged(lr, _BETA_WINDOW)
    del lr
    raw["liquidity"] = np.log(_trailing_sum(np.where(bar, px["volume"] / shares, 0.0), 21) + 1e-6)
    cap = close * shares
    raw["size"] = np.log(cap)

    def reported(a: np.ndarray) -> np.ndarray:
        return np.take_along_axis(a, fund["in_force"], axis=0)

    raw["earnings_yield"] = reported(fund["earnings"]) / cap
    raw["growth"] = reported(fund["growth"])
    raw["book_to_price"] = reported(fund["book"]) / cap
    raw["leverage"] = (cap + reported(fund["debt"])) / cap
    del cap
    expo = {k: _zscore(np.where(bar, raw.pop(k), np.nan)) for k in list(raw)}
    # non-linear size: the cube of size made orthogonal to size on each date, standardised
    s = expo["size"]
    c = s ** 3
    c -= np.nanmean(c, axis=1, keepdims=True)
    slope = np.nanmean(s * c, axis=1, keepdims=True) / np.maximum(np.nanmean(s * s, axis=1, keepdims=True), 1e-12)
    expo["non_linear_size"] = _zscore(c - slope * s)
    return expo


def _industry_tables(ids: list[str], cit_hist: list, sws_hist: list) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Records of both classification sources; sws in the edition in force at each record's date."""
    cit, sws = [], []
    for i, oid in enumerate(ids):
        cit.extend((INDUSTRIES[k], oid, day) for day, k in cit_hist[i])
        hist = sws_hist[i]
        recs = {(day, _version(day)): k for day, k in hist}
        for switch, ver in _SWS_SWITCH:
            if hist[0][0] < switch:
                # the new edition classifies the instrument by its industry in force on that day; the
                # previous edition goes on being published for half a year
                held = [k for day, k in hist if day <= switch][-1]
                recs[(switch, ver)] = held
                recs[(switch, ver - 1)] = held
                for day, k in hist:
                    if switch < day <= switch + pd.Timedelta(days=182):
                        recs[(day, ver - 1)] = k
        sws.extend((_sws_name(k, v), oid, day, v) for (day, v), k in sorted(recs.items()))
    return (pd.DataFrame(cit, columns=["industry_name", "order_book_id", "start_date"]),
            pd.DataFrame(sws, columns=["industry_name", "order_book_id", "start_date", "version"]))


def simulate(n_instruments: int, start: Any, end: Any, seed: int, progress: bool = True) -> dict[str, pd.DataFrame]:
    """Builds every table of a synthetic market in memory: {table name: DataFrame in the store's layout}.

    Deterministic for a seed. Needs at least 10 instruments and 30 trading dates.
    """
    if isinstance(n_instruments, bool) or not isinstance(n_instruments, (int, np.integer)):
        raise TypeError("n_instruments: expected an integer, got {!r}".format(n_instruments))
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError("seed: expected an integer, got {!r}".format(seed))
    rng = np.random.default_rng(seed)
    cal = _exchange_sessions()
    first_day, last_day = _to_timestamp(start, "start"), _to_timestamp(end, "end")
    dates = cal[(cal >= first_day) & (cal <= last_day)]
    if len(dates) < 30:
        raise ValueError("the period {} to {} has only {} trading dates; need at least 30".format(start, end, len(dates)))
    T, N = len(dates), int(n_instruments)
    if N < 10:
        raise ValueError("need at least 10 instruments, got {}".format(N))
    steps = tqdm(total=8, desc="generating market", disable=not progress)

    ids = _ids(N)
    big, listed, delisted, industry0, cit_hist, sws_hist = _instruments(rng, cal, dates, N)
    alive = (np.arange(T)[:, None] >= listed) & (np.arange(T)[:, None] < delisted)
    ind = _daily_industry(dates, industry0, cit_hist)
    steps.update()

    # per-instrument characteristics
    shares0 = np.exp(rng.normal(20.5, 1.0, N) + np.where(big, 2.0, 0.0))
    price0 = np.exp(rng.normal(np.log(12.0), 0.6, N))
    logcap0 = np.log(shares0 * price0)
    zcap0 = (logcap0 - logcap0.mean()) / logcap0.std()
    beta = np.clip(rng.normal(1.0, 0.25, N), 0.3, 1.8)
    idio_vol = 0.017 * np.exp(rng.normal(0.0, 0.25, N) - 0.12 * zcap0)  # small companies are more volatile
    heavy = np.isin(industry0, [0, 1, 2])                                   # banks, brokers, developers
    debt_ratio = np.exp(rng.normal(np.log(0.8), 0.5, N)) * np.where(heavy, 6.0, 1.0)
    roe_mean = rng.normal(0.09, 0.05, N)
    base_turnover = np.exp(rng.normal(np.log(0.012), 0.5, N) - 0.2 * zcap0)
    fund = _fundamentals(rng, dates, shares0 * price0, roe_mean, debt_ratio)
    steps.update()

    adj_step, share_step = _corporate_actions(rng, dates, alive, listed)
    bar = alive & ~_suspensions(rng, alive, listed)
    steps.update()

    # the parts of the daily factor model known in advance
    mkt_vol = 0.012 * np.exp(_ar1(rng, T, 0.98, 0.35))
    market = 0.0003 + mkt_vol * rng.standard_t(5, T) / np.sqrt(5 / 3)
    ind_ret = rng.normal(0, 0.006, (T, len(INDUSTRIES))) * np.exp(_ar1(rng, T, 0.97, 0.25))[:, None]
    idio_level = np.exp(_ar1(rng, T, 0.97, 0.2))
    base = rng.standard_t(3, (T, N))
    base *= idio_vol / np.sqrt(3.0)
    base *= idio_level[:, None]
    base += beta * market[:, None]
    base += np.take_along_axis(ind_ret, ind, axis=1)
    del ind
    kk, ii = np.nonzero(fund["report_day"] < T)
    base[fund["report_day"][kk, ii], ii] += 0.8 * fund["surprise"][kk, ii]   # earnings surprises
    names = list(_PREMIUMS)
    prem = np.array([_PREMIUMS[k][0] for k in names]) + rng.normal(0, 1, (T, len(names))) * np.array(
        [_PREMIUMS[k][1] for k in names])
    cap_step = np.log(share_step / adj_step)        # a dividend lowers the market value, a bonus issue does not
    ret, cum = _returns(base, prem, alive, logcap0, cap_step, fund)
    del base, cap_step
    steps.update()

    # prices, volume and turnover
    px: dict[str, np.ndarray] = {}
    px["adj"] = np.cumprod(adj_step, axis=0)
    px["shares"] = shares0 * np.cumprod(share_step, axis=0)
    del adj_step, share_step
    close = price0 * np.exp(cum[1:]) / px["adj"]
    del cum
    ref = close / (1 + ret)                          # previous close, ex-adjusted
    vol_i = idio_vol * idio_level[:, None]
    gap = np.clip(0.3 * ret + rng.normal(0, 1, (T, N)) * 0.3 * vol_i, -_LIMIT, _LIMIT)
    open_ = ref * (1 + gap)
    del gap
    top = np.maximum(open_, close)
    high = np.maximum(np.minimum(top * (1 + np.abs(rng.normal(0, 1, (T, N))) * 0.5 * vol_i), ref * (1 + _LIMIT)), top)
    del top
    bottom = np.minimum(open_, close)
    low = np.minimum(np.maximum(bottom * (1 - np.abs(rng.normal(0, 1, (T, N))) * 0.5 * vol_i), ref * (1 - _LIMIT)),
                     bottom)
    del bottom, vol_i
    activity = np.exp(_ar1(rng, T, 0.98, 0.3))
    turn_rate = base_turnover * activity[:, None] * np.exp(rng.normal(0, 0.4, (T, N))) * (1 + 8 * np.abs(ret))
    del ret
    volume = np.maximum(np.round(turn_rate * px["shares"] / 100), 1.0) * 100
    del turn_rate
    px.update(open=open_, high=high, low=low, close=close, ref=ref, volume=volume,
              turnover=volume * (open_ + high + low + close) / 4)
    del open_, high, low, close, ref, volume
    steps.update()

    tables: dict[str, pd.DataFrame] = {}
    tables["calendar"] = pd.DataFrame({"date": dates.date})
    inst = pd.DataFrame({"order_book_id": ids, "symbol": ["股票{}".format(i) for i in range(N)], "type": "CS",
                         "listed_date": dates[listed].date,
                         "de_listed_date": [dates[d].date() if d < T else None for d in delisted]})
    inst.loc[len(inst)] = [BENCHMARK, "沪深300", "INDX", dates[0].date(), None]
    tables["instruments"] = inst
    idx, idx_ret = _index_bars(dates, bar, alive, listed, px)
    ti, ni = np.nonzero(bar)
    id_col = np.array(ids, dtype=object)[ni]
    date_col = dates.date[ti]
    bars = pd.DataFrame({"order_book_id": id_col, "date": date_col})
    for f in ("open", "high", "low", "close", "volume"):
        bars[f] = px[f][ti, ni]
    bars["total_turnover"] = px["turnover"][ti, ni]
    bars["adj_factor"] = px["adj"][ti, ni]
    bars["shares"] = px["shares"][ti, ni]
    tables["bars"] = pd.concat([bars, idx], ignore_index=True)
    del bars
    for f in ("open", "high", "low", "ref", "turnover"):
        del px[f]
    steps.update()

    expo = _styles(bar, idx_ret, px, fund)
    del px
    st = pd.DataFrame({"order_book_id": id_col, "date": date_col})
    for k in STYLE_FACTORS:
        st[k] = expo.pop(k)[ti, ni]
    tables["styles"] = st
    steps.update()

    tables["industry_citics"], tables["industry_sws"] = _industry_tables(ids, cit_hist, sws_hist)
    steps.update()
    steps.close()
    return tables


def write_store(tables: dict[str, pd.DataFrame], out: str) -> None:
    """Writes the tables into a new DuckDB file, replacing ``out`` atomically."""
    out = os.path.abspath(out)
    store.check_writable(out)
    try:
        os.makedirs(os.path.dirname(out), exist_ok=True)
        fd, tmp = tempfile.mkstemp(suffix=".duckdb", dir=os.path.dirname(out))
    except PermissionError as e:
        raise store.not_writable(out, e) from None
    os.close(fd)
    os.unlink(tmp)
    con = store.open_store(tmp, read_only=False)
    try:
        schema.create_tables(con)
        for name, df in tables.items():
            schema.insert_frame(con, name, df)
        con.close()
        os.replace(tmp, out)
    except BaseException:
        con.close()
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def generate(out: str, instruments: int = 500, start: str = "2016-01-01", end: str = "2024-12-31",
             seed: int = 0, progress: bool = True) -> str:
    """生成合成行情库并写入 ``out``。"""
    store.check_writable(os.path.abspath(out))  # before minutes of simulation
    write_store(simulate(instruments, start, end, seed, progress), out)
    return out
