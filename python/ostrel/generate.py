"""Deterministic synthetic A-share market written into a new store."""

from __future__ import annotations

import os
import tempfile

import duckdb
import numpy as np
import pandas as pd
from tqdm import tqdm

from . import STYLE_FACTORS, _exchange_sessions, _to_timestamp, schema

INDUSTRIES = ["银行", "非银金融", "房地产", "建筑", "建材", "钢铁", "有色金属", "煤炭", "石油石化", "基础化工",
              "电力及公用事业", "交通运输", "汽车", "机械", "电力设备及新能源", "国防军工", "电子", "通信",
              "计算机", "传媒", "家电", "轻工制造", "纺织服装", "商贸零售", "消费者服务", "食品饮料",
              "农林牧渔", "医药"]
BENCHMARK = "000300.XSHG"


def _zscore(x: np.ndarray) -> np.ndarray:
    m = np.nanmean(x, axis=1, keepdims=True)
    s = np.nanstd(x, axis=1, keepdims=True)
    s[s == 0] = 1.0
    return (x - m) / s


def _trailing_sum(x: np.ndarray, n: int) -> np.ndarray:
    c = np.cumsum(np.nan_to_num(x), axis=0)
    out = c.copy()
    out[n:] = c[n:] - c[:-n]
    return out


def simulate(n_instruments: int, start: str, end: str, seed: int, progress: bool = True) -> dict[str, pd.DataFrame]:
    """Builds all tables of a synthetic market in memory."""
    rng = np.random.default_rng(seed)
    cal = _exchange_sessions()
    dates = cal[(cal >= _to_timestamp(start)) & (cal <= _to_timestamp(end))]
    if len(dates) < 30:
        raise ValueError("the period {} to {} has only {} trading dates; need at least 30".format(start, end, len(dates)))
    T, N = len(dates), n_instruments
    if N < 10:
        raise ValueError("need at least 10 instruments, got {}".format(N))
    steps = tqdm(total=6, desc="generating market", disable=not progress)

    ids = [("{:06d}.XSHG".format(600000 + i)) if i % 2 == 0 else "{:06d}.XSHE".format(1 + i) for i in range(N)]
    industry = rng.integers(0, len(INDUSTRIES), N)
    beta = rng.uniform(0.5, 1.5, N)
    shares = np.exp(rng.normal(20, 1.0, N))
    idio_vol = rng.uniform(0.012, 0.03, N)
    # listing: most listed before the start, 20% during the period; 5% delisted
    listed = np.zeros(N, dtype=int)
    late = rng.random(N) < 0.2
    listed[late] = rng.integers(1, max(2, T // 2), late.sum())
    delisted = np.full(N, T, dtype=int)
    gone = (rng.random(N) < 0.05) & (listed < T // 2)
    delisted[gone] = rng.integers(T // 2 + 1, T, gone.sum())
    steps.update()

    market = rng.normal(0.0003, 0.012, T)
    ind_ret = rng.normal(0, 0.006, (T, len(INDUSTRIES)))
    noise = rng.standard_t(4, (T, N)) / np.sqrt(2.0) * idio_vol
    ret = market[:, None] * beta + ind_ret[:, industry] + noise
    # planted short-term reversal: tomorrow's return leans against the past 5 days
    for t in range(5, T):
        past = ret[t - 5:t].sum(axis=0)
        z = (past - past.mean()) / (past.std() + 1e-12)
        ret[t] -= 0.0012 * z
    ret = np.clip(ret, -0.1, 0.1)
    steps.update()

    alive = (np.arange(T)[:, None] >= listed) & (np.arange(T)[:, None] < delisted)
    suspended = (rng.random((T, N)) < 0.01) & alive
    price_post = 10.0 * np.exp(rng.normal(0, 0.5, N)) * np.cumprod(1 + np.where(alive, ret, 0.0), axis=0)
    # corporate actions: each event multiplies the adjustment factor
    events = rng.random((T, N)) < 0.002
    adj = np.cumprod(np.where(events, rng.uniform(1.01, 2.0, (T, N)), 1.0), axis=0)
    close = price_post / adj
    open_ = close * (1 + rng.normal(0, 0.005, (T, N)))
    high = np.maximum(open_, close) * (1 + np.abs(rng.normal(0, 0.006, (T, N))))
    low = np.minimum(open_, close) * (1 - np.abs(rng.normal(0, 0.006, (T, N))))
    volume = np.round(shares * np.exp(rng.normal(-5, 0.6, (T, N))) / 100) * 100 + 100
    turnover = volume * close
    bar_mask = alive & ~suspended
    steps.update()

    cap = close * shares
    logcap = np.log(cap)
    r = np.where(bar_mask, ret, np.nan)
    mom = _trailing_sum(np.log1p(np.nan_to_num(r)), 120)
    liq = np.log(_trailing_sum(volume / shares, 21) + 1e-9)
    # trailing 60-day beta and residual volatility against the market
    w = 60
    sm, smm = _trailing_sum(market[:, None], w), _trailing_sum((market ** 2)[:, None], w)
    sr, srm, srr = _trailing_sum(r, w), _trailing_sum(np.nan_to_num(r) * market[:, None], w), _trailing_sum(np.nan_to_num(r) ** 2, w)
    cov = srm / w - sr / w * sm / w
    var_m = smm / w - (sm / w) ** 2
    tb = cov / np.maximum(var_m, 1e-12)
    resid_var = np.maximum(srr / w - (sr / w) ** 2 - tb * cov, 0)
    persist = {name: np.cumsum(rng.normal(0, 0.05, (T, N)), axis=0) + rng.normal(0, 1, N)
               for name in ("earnings_yield", "growth", "book_to_price", "leverage")}
    styles = {
        "beta": tb, "momentum": mom, "size": logcap, "residual_volatility": np.sqrt(resid_var),
        "liquidity": liq, "non_linear_size": logcap ** 3, **persist,
    }
    steps.update()

    tables: dict[str, pd.DataFrame] = {}
    tables["calendar"] = pd.DataFrame({"date": dates.date})
    listed_dates = dates[listed].date
    delisted_dates = [dates[d].date() if d < T else None for d in delisted]
    inst = pd.DataFrame({"order_book_id": ids, "symbol": ["股票{}".format(i) for i in range(N)], "type": "CS",
                         "listed_date": listed_dates, "de_listed_date": delisted_dates})
    inst.loc[len(inst)] = [BENCHMARK, "沪深300", "INDX", dates[0].date(), None]
    tables["instruments"] = inst

    ti, ni = np.nonzero(bar_mask)
    bars = pd.DataFrame({
        "order_book_id": np.array(ids, dtype=object)[ni], "date": dates[ti].date,
        "open": open_[ti, ni], "high": high[ti, ni], "low": low[ti, ni], "close": close[ti, ni],
        "volume": volume[ti, ni], "total_turnover": turnover[ti, ni], "adj_factor": adj[ti, ni],
    })
    weights = np.where(bar_mask, cap, 0.0)
    index_ret = (np.nan_to_num(r) * weights).sum(axis=1) / np.maximum(weights.sum(axis=1), 1e-12)
    index_close = 3000.0 * np.cumprod(1 + index_ret)
    idx = pd.DataFrame({"order_book_id": BENCHMARK, "date": dates.date, "open": index_close, "high": index_close,
                        "low": index_close, "close": index_close, "volume": 0.0, "total_turnover": 0.0,
                        "adj_factor": 1.0})
    tables["bars"] = pd.concat([bars, idx], ignore_index=True)
    steps.update()

    sm_ = {k: _zscore(np.where(bar_mask, v, np.nan)) for k, v in styles.items()}
    st = pd.DataFrame({"order_book_id": np.array(ids, dtype=object)[ni], "date": dates[ti].date})
    for k in STYLE_FACTORS:
        st[k] = sm_[k][ti, ni]
    tables["styles"] = st

    # industries: first record at listing; 10% reclassified mid-period, some dated on weekends
    cit, sws = [], []
    reclass_day = dates[T // 2]
    for i in range(N):
        first = dates[0].date() - pd.Timedelta(days=365 * 3) if listed[i] == 0 else listed_dates[i]
        cit.append((INDUSTRIES[industry[i]], ids[i], pd.Timestamp(first)))
        if rng.random() < 0.1:
            when = reclass_day + pd.Timedelta(days=int(rng.integers(0, 20)))
            cit.append((INDUSTRIES[int(rng.integers(0, len(INDUSTRIES)))], ids[i], when))
        name = "申万" + INDUSTRIES[industry[i]]
        f0 = pd.Timestamp(first)
        ver0 = 1 if f0 <= pd.Timestamp("2014-01-01") else (2 if f0 <= pd.Timestamp("2021-07-31") else 3)
        sws.append((name, ids[i], f0, ver0))
        for day, ver in ((pd.Timestamp("2014-01-06"), 2), (pd.Timestamp("2021-12-13"), 3)):
            if f0 < day and ver > ver0:
                sws.append((name + ("" if ver == 2 else "Ⅲ"), ids[i], day, ver))
                sws.append((name, ids[i], day, ver - 1))  # the older version keeps publishing too
    tables["industry_citics"] = pd.DataFrame(cit, columns=["industry_name", "order_book_id", "start_date"])
    tables["industry_sws"] = pd.DataFrame(sws, columns=["industry_name", "order_book_id", "start_date", "version"])
    steps.update()
    steps.close()
    return tables


def write_store(tables: dict[str, pd.DataFrame], out: str) -> None:
    """Writes the tables into a new DuckDB file, replacing ``out`` atomically."""
    out = os.path.abspath(out)
    os.makedirs(os.path.dirname(out), exist_ok=True)
    fd, tmp = tempfile.mkstemp(suffix=".duckdb", dir=os.path.dirname(out))
    os.close(fd)
    os.unlink(tmp)
    con = duckdb.connect(tmp)
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
    write_store(simulate(instruments, start, end, seed, progress), out)
    return out
