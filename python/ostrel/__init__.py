"""ostrel: embedded market-data client.

Calendar, daily bars (with adjustment factors), instruments, industry
classifications and style-factor exposures, answered from a local DuckDB
store. Store location: ``ostrel.init(path)``, else ``$OSTREL_DATA``, else
``~/.local/share/ostrel/market.duckdb``. ``python -m ostrel generate --out
PATH`` fills a store with a synthetic A-share market.

Without a store the calendar functions answer from the Shanghai exchange
calendar. Besides the documented operations, ``get_panel`` returns daily
fields as wide (dates x instruments) frames for the evaluation engine.
"""

from __future__ import annotations

import datetime as _dt
import functools
from types import SimpleNamespace
from typing import Any, Iterable, Sequence

import numpy as np
import pandas as pd

from . import client, decorators, store
from .store import default_data_path, init

__all__ = [
    "init", "default_data_path", "get_trading_dates", "get_previous_trading_date", "get_next_trading_date",
    "get_price", "get_panel", "instruments", "all_instruments", "get_style_factor_exposure",
    "STYLE_FACTORS", "DAILY_FIELDS", "client", "decorators",
]

STYLE_FACTORS = ("beta", "momentum", "size", "earnings_yield", "residual_volatility", "growth",
                 "book_to_price", "leverage", "liquidity", "non_linear_size")
DAILY_FIELDS = ("open", "high", "low", "close", "volume", "total_turnover")
_PRICE_FIELDS = ("open", "high", "low", "close")


def _to_timestamp(value: Any, what: str = "date") -> pd.Timestamp:
    if isinstance(value, (pd.Timestamp, _dt.datetime, _dt.date, np.datetime64, str)):
        try:
            ts = pd.Timestamp(value)
        except (ValueError, TypeError) as e:
            raise ValueError("{}: cannot read {!r} as a date ({})".format(what, value, e)) from None
        if ts is pd.NaT:
            raise ValueError("{}: got a missing date".format(what))
        if ts.tzinfo is not None:
            ts = ts.tz_localize(None)
        return ts.normalize()
    raise TypeError("{}: expected a str, date, datetime, Timestamp or datetime64, got {}"
                    .format(what, type(value).__name__))


@functools.lru_cache(maxsize=1)
def _exchange_sessions() -> pd.DatetimeIndex:
    import exchange_calendars as xcals

    cal = xcals.get_calendar("XSHG")
    return pd.DatetimeIndex(cal.sessions).tz_localize(None).normalize()


def _calendar() -> pd.DatetimeIndex:
    if store.is_open():
        return _store_calendar()
    return _exchange_sessions()


def _store_calendar() -> pd.DatetimeIndex:
    con = store.connection()
    key = id(store._state["con"])
    if _store_calendar_cache.get("key") != key:
        dates = con.execute("SELECT date FROM calendar ORDER BY date").fetchnumpy()["date"]
        _store_calendar_cache.update(key=key, dates=pd.DatetimeIndex(pd.to_datetime(dates)).normalize())
    return _store_calendar_cache["dates"]


_store_calendar_cache: dict = {}


def _check_coverage(cal: pd.DatetimeIndex, ts: pd.Timestamp, what: str) -> None:
    if len(cal) == 0 or ts < cal[0] - pd.Timedelta(days=31) or ts > cal[-1] + pd.Timedelta(days=31):
        raise ValueError("{} {} is outside the trading calendar's coverage ({} to {})".format(
            what, ts.date(), cal[0].date() if len(cal) else None, cal[-1].date() if len(cal) else None))


def get_trading_dates(start_date: Any, end_date: Any) -> pd.DatetimeIndex:
    """交易日列表：start_date 与 end_date 之间（含两端）的交易日，升序，午夜时间戳。"""
    cal = _calendar()
    s, e = _to_timestamp(start_date, "start_date"), _to_timestamp(end_date, "end_date")
    _check_coverage(cal, s, "start_date")
    _check_coverage(cal, e, "end_date")
    lo, hi = cal.searchsorted(s, "left"), cal.searchsorted(e, "right")
    return cal[lo:hi]


def get_previous_trading_date(date: Any, n: int = 1) -> _dt.date:
    """date 之前第 n 个交易日。"""
    n = _positive(n)
    cal = _calendar()
    ts = _to_timestamp(date)
    _check_coverage(cal, ts, "date")
    pos = cal.searchsorted(ts, "left") - n
    if pos < 0:
        raise ValueError("{} trading dates before {} reach before the calendar's start {}".format(
            n, ts.date(), cal[0].date()))
    return cal[pos].date()


def get_next_trading_date(date: Any, n: int = 1) -> _dt.date:
    """date 之后第 n 个交易日。"""
    n = _positive(n)
    cal = _calendar()
    ts = _to_timestamp(date)
    _check_coverage(cal, ts, "date")
    pos = cal.searchsorted(ts, "right") + n - 1
    if pos >= len(cal):
        raise ValueError("{} trading dates after {} reach past the calendar's end {}".format(
            n, ts.date(), cal[-1].date()))
    return cal[pos].date()


def _positive(n: Any) -> int:
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError("n must be a positive integer, got {!r}".format(n))
    return int(n)


def _ids(order_book_ids: Any) -> list[str]:
    if isinstance(order_book_ids, str):
        return [order_book_ids]
    ids = list(order_book_ids)
    for i in ids:
        if not isinstance(i, str):
            raise TypeError("order_book_ids: expected str ids, got {!r}".format(i))
    return ids


def _fields(fields: Any, allowed: Sequence[str], what: str) -> list[str]:
    if fields is None:
        return list(allowed)
    out = [fields] if isinstance(fields, str) else list(fields)
    unknown = [f for f in out if f not in allowed]
    if unknown:
        raise ValueError("{}: unknown field(s) {}, expected some of {}".format(what, unknown, list(allowed)))
    return out


def _bars(ids: list[str], start: pd.Timestamp, end: pd.Timestamp, fields: list[str], adjust_type: str) -> pd.DataFrame:
    if adjust_type not in ("post", "pre", "none"):
        raise ValueError('adjust_type: expected "post", "pre" or "none", got {!r}'.format(adjust_type))
    con = store.connection()
    cols = ", ".join("b." + f for f in fields)
    sql = ("SELECT b.order_book_id, b.date, b.adj_factor, {} FROM bars b "
           "JOIN (SELECT unnest(?::VARCHAR[]) AS id) q ON b.order_book_id = q.id "
           "WHERE b.date BETWEEN ? AND ? ORDER BY b.order_book_id, b.date").format(cols)
    df = con.execute(sql, [ids, start.date(), end.date()]).df()
    if adjust_type != "none" and len(df):
        factor = df["adj_factor"].to_numpy()
        if adjust_type == "pre":
            last = con.execute(
                "SELECT b.order_book_id, arg_max(b.adj_factor, b.date) AS f FROM bars b "
                "JOIN (SELECT unnest(?::VARCHAR[]) AS id) q ON b.order_book_id = q.id GROUP BY 1",
                [ids]).df().set_index("order_book_id")["f"]
            factor = factor / df["order_book_id"].map(last).to_numpy()
        for f in fields:
            if f in _PRICE_FIELDS:
                df[f] = df[f].to_numpy() * factor
    df["date"] = pd.to_datetime(df["date"])
    return df.drop(columns="adj_factor")


def get_price(order_book_ids: Any, start_date: Any = None, end_date: Any = None, frequency: str = "1d",
              fields: Any = None, adjust_type: str = "pre", expect_df: bool = True) -> pd.DataFrame | None:
    """行情数据：以 (order_book_id, date) 为索引、每个字段一列的 DataFrame；无数据时返回 None。

    ``frequency`` 为 "1d"；"1m" 与 "tick" 在库中没有分钟/逐笔数据时返回 None。
    ``adjust_type``: "post"（后复权）、"pre"（前复权）或 "none"（不复权）。
    """
    if frequency in ("1m", "tick"):
        return None
    if frequency != "1d":
        raise ValueError('frequency: expected "1d", "1m" or "tick", got {!r}'.format(frequency))
    ids = _ids(order_book_ids)
    flds = _fields(fields, DAILY_FIELDS, "fields")
    s = _to_timestamp(start_date, "start_date")
    e = _to_timestamp(end_date, "end_date")
    if not ids or s > e:
        return None
    df = _bars(ids, s, e, flds, adjust_type)
    if df.empty:
        return None
    out = df.set_index(["order_book_id", "date"])[flds]
    return out if expect_df else out


def get_panel(fields: Any, order_book_ids: Any, start_date: Any, end_date: Any,
              adjust_type: str = "post") -> dict[str, pd.DataFrame]:
    """宽表行情：{字段: DataFrame(交易日 x 标的)}，缺失处为 NaN。"""
    ids = _ids(order_book_ids)
    flds = _fields(fields, DAILY_FIELDS, "fields")
    if adjust_type not in ("post", "pre", "none"):
        raise ValueError('adjust_type: expected "post", "pre" or "none", got {!r}'.format(adjust_type))
    dates = get_trading_dates(start_date, end_date)
    frames = {f: np.full((len(dates), len(ids)), np.nan) for f in flds}
    if len(dates) and ids:
        con = store.connection()
        # positions computed in the database; no sort and no per-row Python objects
        sql = ("SELECT q.pos - 1 AS col, b.date, b.adj_factor, {} FROM bars b "
               "JOIN (SELECT unnest(?::VARCHAR[]) AS id, generate_subscripts(?::VARCHAR[], 1) AS pos) q "
               "ON b.order_book_id = q.id WHERE b.date BETWEEN ? AND ?").format(", ".join("b." + f for f in flds))
        res = con.execute(sql, [ids, ids, dates[0].date(), dates[-1].date()]).fetchnumpy()
        col = np.asarray(res["col"], dtype=np.int64)
        day = np.asarray(res["date"]).astype("datetime64[D]")
        row = np.searchsorted(dates.values.astype("datetime64[D]"), day)
        factor = np.asarray(res["adj_factor"], dtype=float)
        if adjust_type == "pre":
            last = con.execute(
                "SELECT q.pos - 1, arg_max(b.adj_factor, b.date) FROM bars b "
                "JOIN (SELECT unnest(?::VARCHAR[]) AS id, generate_subscripts(?::VARCHAR[], 1) AS pos) q "
                "ON b.order_book_id = q.id GROUP BY 1", [ids, ids]).fetchnumpy()
            latest = np.ones(len(ids))
            latest[np.asarray(last[list(last)[0]], dtype=np.int64)] = np.asarray(last[list(last)[1]], dtype=float)
            factor = factor / latest[col]
        for f in flds:
            v = np.asarray(res[f], dtype=float)
            if adjust_type != "none" and f in _PRICE_FIELDS:
                v = v * factor
            frames[f][row, col] = v
    index = dates.rename("date")
    columns = pd.Index(ids, name="order_book_id")
    return {f: pd.DataFrame(m, index=index, columns=columns) for f, m in frames.items()}


def instruments(order_book_id: str) -> SimpleNamespace | None:
    """标的信息；未知代码返回 None。返回对象有 order_book_id、symbol、type、listed_date、de_listed_date。"""
    row = store.connection().execute(
        "SELECT order_book_id, symbol, type, listed_date, de_listed_date FROM instruments WHERE order_book_id = ?",
        [order_book_id]).fetchone()
    if row is None:
        return None
    return SimpleNamespace(order_book_id=row[0], symbol=row[1], type=row[2], listed_date=row[3],
                           de_listed_date=row[4])


def all_instruments(type: str | None = None) -> pd.DataFrame:
    """全部标的（可按类型 "CS"/"INDX" 过滤）。"""
    sql = "SELECT order_book_id, symbol, type, listed_date, de_listed_date FROM instruments"
    params: list = []
    if type is not None:
        sql += " WHERE type = ?"
        params.append(type)
    return store.connection().execute(sql + " ORDER BY order_book_id", params).df()


def get_style_factor_exposure(order_book_ids: Any, start_date: Any, end_date: Any,
                              factors: Any = None) -> pd.DataFrame | None:
    """风格因子暴露：以 (order_book_id, date) 为索引、每个风格因子一列；无数据时返回 None。"""
    ids = _ids(order_book_ids)
    flds = _fields(factors, STYLE_FACTORS, "factors")
    s, e = _to_timestamp(start_date, "start_date"), _to_timestamp(end_date, "end_date")
    if not ids or s > e:
        return None
    sql = ("SELECT s.order_book_id, s.date, {} FROM styles s "
           "JOIN (SELECT unnest(?::VARCHAR[]) AS id) q ON s.order_book_id = q.id "
           "WHERE s.date BETWEEN ? AND ? ORDER BY s.order_book_id, s.date").format(
        ", ".join("s." + f for f in flds))
    df = store.connection().execute(sql, [ids, s.date(), e.date()]).df()
    if df.empty:
        return None
    df["date"] = pd.to_datetime(df["date"])
    return df.set_index(["order_book_id", "date"])[flds]
