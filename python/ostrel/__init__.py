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
import warnings
from types import SimpleNamespace
from typing import Any, Iterable, Sequence

import numpy as np
import pandas as pd

from . import client, decorators, store
from .store import default_data_path, init

__all__ = [
    "init", "default_data_path", "get_trading_dates", "get_previous_trading_date", "get_next_trading_date",
    "get_price", "get_panel", "trading_date_index", "instruments", "all_instruments", "get_style_factor_exposure",
    "STYLE_FACTORS", "DAILY_FIELDS", "PANEL_FIELDS", "client", "decorators",
]

STYLE_FACTORS = ("beta", "momentum", "size", "earnings_yield", "residual_volatility", "growth",
                 "book_to_price", "leverage", "liquidity", "non_linear_size")
DAILY_FIELDS = ("open", "high", "low", "close", "volume", "total_turnover")
_PRICE_FIELDS = ("open", "high", "low", "close")
# fields of get_panel: the daily fields, then fields derived from the bars
PANEL_FIELDS = DAILY_FIELDS + ("vwap", "returns", "shares", "cap", "turnover_rate")


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

    with warnings.catch_warnings():
        # exchange_calendars reads Series.values of tz-aware holiday series internally, which
        # pandas >= 3.1 deprecates; the sessions it builds are unaffected
        warnings.filterwarnings("ignore", message="Series.values returning an ndarray that drops timezone")
        cal = xcals.get_calendar("XSHG")
    return pd.DatetimeIndex(cal.sessions).tz_localize(None).normalize()


def _calendar() -> pd.DatetimeIndex:
    if store.is_open():
        return _store_calendar()
    return _exchange_sessions()


def _store_calendar() -> pd.DatetimeIndex:
    con = store.connection()
    key = store._state["opened"]
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


def trading_date_index(date: Any) -> int:
    """交易日在交易日历中的序号（从 0 开始）。``date`` 不是交易日时抛出 ValueError。"""
    cal = _calendar()
    ts = _to_timestamp(date)
    pos = int(cal.searchsorted(ts, "left"))
    if pos == len(cal) or cal[pos] != ts:
        raise ValueError("{} is not a trading date of the calendar".format(ts.date()))
    return pos


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


def _check_adjust(adjust_type: str) -> None:
    if adjust_type not in ("post", "pre", "none"):
        raise ValueError('adjust_type: expected "post", "pre" or "none", got {!r}'.format(adjust_type))


_ID_POSITIONS = ("JOIN (SELECT unnest(?::VARCHAR[]) AS id, generate_subscripts(?::VARCHAR[], 1) AS pos) q "
                 "ON {t}.order_book_id = q.id")


def _fetch(table: str, columns: list[str], ids: list[str], start: pd.Timestamp,
           end: pd.Timestamp) -> tuple[np.ndarray, np.ndarray, dict]:
    """Rows of ``table`` for ``ids`` and dates in [start, end], unordered.

    Returns each row's position in ``ids``, its date as days since the epoch,
    and the requested columns as numpy arrays. Positions are computed in the
    database so no per-row strings reach Python.
    """
    t = table[0]
    sql = ("SELECT (q.pos - 1)::INTEGER AS _col, ({t}.date - DATE '1970-01-01')::INTEGER AS _date, {cols} "
           "FROM {table} {t} {join} WHERE {t}.date BETWEEN ? AND ?").format(
        t=t, table=table, cols=", ".join("{}.{}".format(t, c) for c in columns), join=_ID_POSITIONS.format(t=t))
    res = store.connection().execute(sql, [ids, ids, start.date(), end.date()]).fetchnumpy()
    col = np.asarray(res.pop("_col"), dtype=np.int64)
    days = np.asarray(res.pop("_date"), dtype=np.int64)
    return col, days, res


def _price_factor(adjust_type: str, ids: list[str], col: np.ndarray, factor: np.ndarray) -> np.ndarray | None:
    """Multiplier turning raw prices into ``adjust_type`` prices (None: leave them raw)."""
    if adjust_type == "none":
        return None
    if adjust_type == "post":
        return factor
    # forward adjustment divides by each instrument's latest factor in the store
    last = store.connection().execute(
        "SELECT q.pos - 1 AS p, arg_max(b.adj_factor, b.date) AS f FROM bars b " + _ID_POSITIONS.format(t="b")
        + " GROUP BY 1", [ids, ids]).fetchnumpy()
    latest = np.ones(len(ids))
    latest[np.asarray(last["p"], dtype=np.int64)] = np.asarray(last["f"], dtype=float)
    return factor / latest[col]


def _day_level(days: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Distinct days in ascending order and each row's position among them, in O(rows + span)."""
    lo = int(days.min())
    present = np.zeros(int(days.max()) - lo + 1, dtype=bool)
    present[days - lo] = True
    level = np.flatnonzero(present) + lo
    rank = np.cumsum(present) - 1
    return level, rank[days - lo]


# grid cells beyond four per row that the counting placement may allocate
_DENSE_GRID_SLACK = 1_000_000


def _long_frame(table: str, columns: list[str], ids: Any, start: pd.Timestamp, end: pd.Timestamp,
                adjust_type: str | None = None) -> pd.DataFrame | None:
    """Long form: index (order_book_id, date) sorted by id then date, one column per field.

    Rows are placed by counting (id position x day position), not by sorting
    or by hashing id strings, which keeps millions of rows cheap.
    """
    ids = sorted(set(ids))
    fetch = columns + ["adj_factor"] if adjust_type not in (None, "none") else columns
    col, days, res = _fetch(table, fetch, ids, start, end)
    if len(col) == 0:
        return None
    level, row = _day_level(days)
    key = col * len(level) + row
    cells = len(ids) * len(level)
    if cells <= 4 * len(key) + _DENSE_GRID_SLACK:
        # dense enough: place rows by counting over the (id, day) grid
        order = np.full(cells, -1, dtype=np.int64)
        order[key] = np.arange(len(key))
        order = order[order >= 0]
    else:
        order = np.argsort(key, kind="stable")
    id_codes, day_codes = np.divmod(key[order], len(level))
    factor = None
    if adjust_type not in (None, "none"):
        factor = _price_factor(adjust_type, ids, col, np.asarray(res["adj_factor"], dtype=float))
    data = {}
    for f in columns:
        v = np.asarray(res[f], dtype=float)
        if factor is not None and f in _PRICE_FIELDS:
            v = v * factor
        data[f] = v[order]
    index = pd.MultiIndex(levels=[pd.Index(ids), pd.DatetimeIndex(level.astype("datetime64[D]")).as_unit("us")],
                          codes=[id_codes, day_codes], names=["order_book_id", "date"], verify_integrity=False)
    return pd.DataFrame(data, index=index.remove_unused_levels(), columns=columns)


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
    _check_adjust(adjust_type)
    s = _to_timestamp(start_date, "start_date")
    e = _to_timestamp(end_date, "end_date")
    if not ids or s > e:
        return None
    return _long_frame("bars", flds, ids, s, e, adjust_type)


def _bars_columns() -> set[str]:
    rows = store.connection().execute(
        "SELECT column_name FROM information_schema.columns WHERE table_name = 'bars'").fetchall()
    return {r[0] for r in rows}


# what each derived field reads from the bars table
_DERIVED_NEEDS = {
    "vwap": ("total_turnover", "volume"),
    "returns": ("close",),
    "shares": ("shares",),
    "cap": ("close", "shares"),
    "turnover_rate": ("volume", "shares"),
}


def get_panel(fields: Any, order_book_ids: Any, start_date: Any, end_date: Any,
              adjust_type: str = "post") -> dict[str, pd.DataFrame]:
    """宽表行情：{字段: DataFrame(交易日 x 标的)}，缺失处为 NaN。

    除日线字段外还提供派生字段（见 ``PANEL_FIELDS``）：vwap（成交额 / 成交量，与价格同样复权）、
    returns（复权收盘价的日收益率，前一交易日或当日无行情时为 NaN）、shares（总股本）、
    cap（不复权收盘价 x 总股本）、turnover_rate（成交量 / 总股本）。
    """
    ids = _ids(order_book_ids)
    flds = _fields(fields, PANEL_FIELDS, "fields") if fields is not None else list(DAILY_FIELDS)
    _check_adjust(adjust_type)
    dates = get_trading_dates(start_date, end_date)
    need: list[str] = []
    for f in flds:
        for c in _DERIVED_NEEDS.get(f, (f,)):
            if c not in need:
                need.append(c)
    if "shares" in need and len(dates) and ids and "shares" not in _bars_columns():
        raise ValueError("fields: {} need share counts, and this store's bars have none; regenerate the store "
                         "or import bars with a shares column".format([f for f in flds if "shares" in
                                                                       _DERIVED_NEEDS.get(f, ())]))
    # returns on the first date need the close of the trading date before it
    lead = 0
    ext = dates
    if "returns" in flds and len(dates):
        try:
            prev = get_previous_trading_date(dates[0])
        except Exception:  # the calendar starts here: the first return is missing
            prev = None
        if prev is not None:
            ext = pd.DatetimeIndex([pd.Timestamp(prev)]).append(dates)
            lead = 1
    raw = {c: np.full((len(ext), len(ids)), np.nan) for c in need}
    priced = any(f in _PRICE_FIELDS or f == "vwap" for f in flds)
    # multiplier to adjust_type prices, and the back-adjustment factor (for returns)
    factor_m = np.full((len(ext), len(ids)), np.nan) if priced else None
    post_m = np.full((len(ext), len(ids)), np.nan) if "returns" in flds else None
    if len(ext) and ids:
        col, days, res = _fetch("bars", need + ["adj_factor"], ids, ext[0], ext[-1])
        if len(col):
            # calendar day -> row; bars dated off the calendar have no row and are left out
            cal = ext.values.astype("datetime64[D]").astype(np.int64)
            lookup = np.full(int(cal[-1] - cal[0]) + 1, -1, dtype=np.int64)
            lookup[cal - cal[0]] = np.arange(len(cal))
            row = lookup[days - cal[0]]
            keep = row >= 0
            adj = np.asarray(res["adj_factor"], dtype=float)
            if factor_m is not None:
                factor = _price_factor(adjust_type, ids, col, adj)
                factor_m[row[keep], col[keep]] = 1.0 if factor is None else factor[keep]
            if post_m is not None:
                post_m[row[keep], col[keep]] = adj[keep]
            for c in need:
                raw[c][row[keep], col[keep]] = np.asarray(res[c], dtype=float)[keep]
    out: dict[str, np.ndarray] = {}
    with np.errstate(divide="ignore", invalid="ignore"):
        for f in flds:
            if f in _PRICE_FIELDS:
                v = raw[f] * factor_m
            elif f == "vwap":
                vol = raw["volume"]
                v = np.where(vol > 0, raw["total_turnover"] / np.where(vol > 0, vol, 1.0), np.nan) * factor_m
            elif f == "returns":
                pc = raw["close"] * post_m
                v = np.full(pc.shape, np.nan)
                v[1:] = pc[1:] / pc[:-1] - 1.0
            elif f == "cap":
                v = raw["close"] * raw["shares"]
            elif f == "turnover_rate":
                v = raw["volume"] / raw["shares"]
            else:
                v = raw[f]
            out[f] = v[lead:]
    index = dates.rename("date")
    columns = pd.Index(ids, name="order_book_id")
    return {f: pd.DataFrame(m, index=index, columns=columns) for f, m in out.items()}


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
    return _long_frame("styles", flds, ids, s, e)
