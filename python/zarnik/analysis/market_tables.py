"""Market-data replies reshaped into the tables the analysis steps read.

The analysis module fetches every market-data reply through one layer,
:mod:`zarnik.analysis.market_data`; that layer hands replies that need
reshaping to the functions here. This module never calls the client and
holds no state: it turns records and price frames into pandas tables, nothing
else, so substituting the client (or the module's cached loaders) changes the
data seen here without any change to this module.

The numerics of the steps stay in the C++ core; what lives here is index
work on client data (pivots, forward fills, version filters) that pandas
already does well and that runs once per loaded table, not per date.
"""

from __future__ import annotations

from typing import Any, Sequence

import numpy as np
import pandas as pd

__all__ = ["industry_history", "industry_codes", "industry_on_dates", "benchmark_returns", "close_table",
           "as_datetime_index", "exposure_positions", "exposure_rows", "industry_positions"]

# Shenwan classification versions by the start date of a record: version 1
# until 2014-01-01, version 2 until 2021-07-31, version 3 after.
_SWS_VERSION_STARTS = (pd.Timestamp("2014-01-01"), pd.Timestamp("2021-07-31"))


def industry_history(records: Any, sws: bool, field: str) -> pd.DataFrame:
    """Every industry assignment of the raw client records.

    :param records: rows ``(name, order_book_id, start_date)`` (CITICS) or
        ``(name, order_book_id, start_date, version)`` (Shenwan)
    :param sws: whether the records are Shenwan ones; only the version in
        force at each record's start date is kept
    :param field: the column name of the industry name
    :return: columns ``[field, "order_book_id", "start_date"]``, sorted by
        instrument then start date (stable), original row labels kept
    """
    columns: tuple[str, ...] = (field, "order_book_id", "start_date")
    if sws:
        columns += ("version",)
    df = pd.DataFrame(records, columns=columns)
    start = pd.to_datetime(df["start_date"])
    df["start_date"] = start
    if sws:
        early, late = _SWS_VERSION_STARTS
        version_in_force = np.where(start > late, 3, np.where(start > early, 2, 1))
        df = df.loc[df["version"].to_numpy() == version_in_force]
    df = df.sort_values(["order_book_id", "start_date"], kind="mergesort")
    return df[[field, "order_book_id", "start_date"]]


def industry_codes(history: pd.DataFrame, field: str) -> pd.DataFrame:
    """Industry code table: rows are change dates, columns instruments.

    Codes number the industry names in ascending order; each instrument's
    code is carried forward between its changes and back before its first.
    """
    df = history.copy()
    df[field] = df[field].astype("category").cat.codes
    df = df.pivot(index="start_date", columns="order_book_id", values=field)
    return df.ffill().bfill().astype("int64")


def industry_on_dates(history: pd.DataFrame, field: str, order_book_ids: Sequence[Any],
                      dates: Sequence[Any]) -> pd.Series:
    """Industry name of each (date, instrument).

    The assignment with the latest start date on or before the date; before
    an instrument's first record, its first assignment. Instruments without
    records are absent from the result.

    :return: Series indexed by (date, order_book_id), the names' dtype kept
        when the values allow it
    """
    table = history.pivot(index="start_date", columns="order_book_id", values=field)
    table = table.sort_index().ffill().bfill()
    date_labels = pd.Index(dates)
    ids = pd.Index(order_book_ids)
    date_name = "datetime" if date_labels.name is None else date_labels.name
    id_name = "order_book_id" if ids.name is None else ids.name
    stamps = pd.DatetimeIndex(pd.to_datetime(date_labels))
    if len(table.index) == 0:
        values = np.full((len(date_labels), len(ids)), None, dtype="O")
    else:
        change_dates = pd.DatetimeIndex(table.index)
        if stamps.tz is not None and change_dates.tz is None:
            stamps = stamps.tz_localize(None)
        pos = np.clip(np.asarray(change_dates.searchsorted(stamps, side="right")) - 1, 0, None)
        values = table.iloc[pos].reindex(columns=ids).to_numpy(dtype="O")
    flat = values.reshape(-1)
    mask = pd.notna(flat)
    index = pd.MultiIndex.from_product((date_labels, ids), names=(date_name, id_name))
    series = pd.Series(flat[mask], index=index[mask])
    try:
        series = series.astype(history[field].dtype)
    except Exception:  # names that do not fit the table's dtype stay objects
        pass
    return series


def benchmark_returns(prices: pd.DataFrame, field: str, index: pd.DatetimeIndex, name: Any) -> pd.Series:
    """Daily change of one index's price on ``index``.

    :param prices: the client's price frame indexed by (order_book_id, date)
    :param field: the price column ("close", or "last" for ticks)
    :return: the change of the price carried forward onto ``index``; 0 before
        the first price. Named ``name``.
    """
    price = prices[field]
    price.index = price.index.droplevel("order_book_id")
    price = price.reindex(index).ffill()
    change = (price / price.shift(1) - 1).fillna(0)
    change.name = name
    return change


def close_table(prices: pd.DataFrame) -> pd.DataFrame:
    """Close prices as a dates x instruments table.

    :param prices: the client's price frame with a ``close`` column, indexed
        by (order_book_id, date)
    :return: rows are dates and columns instruments, both ascending whatever
        order the client's rows come in
    """
    return prices["close"].unstack(0).sort_index().sort_index(axis=1)


def as_datetime_index(labels: Any) -> Any:
    """Date labels as a DatetimeIndex when they can be read as dates (so that tables keyed by
    ``datetime.date`` or strings line up with Timestamps); other labels as they are."""
    if isinstance(labels, pd.DatetimeIndex):
        return labels
    try:
        return pd.DatetimeIndex(pd.to_datetime(labels))
    except Exception:
        return labels


def _positions(labels: Any, target: Any) -> np.ndarray:
    return np.asarray(labels.get_indexer(target), dtype=np.int64)


def exposure_positions(table: pd.DataFrame, index: Any, order_book_ids: Any, daily: bool) -> tuple:
    """Where the rows of a style exposure table go on a frame's dates and instruments.

    :param table: the client's exposures indexed by the two levels (order_book_id, date), either order
    :param daily: whether ``index`` holds dates only; otherwise each stamp takes its calendar date
    :return: ``(date_pos, inst_pos, date_codes, inst_codes, n_date_levels, n_inst_levels)``: the
        position of each date of ``index`` on the date level and of each instrument on the
        instrument level (-1: absent), and the codes of the table's rows into the two levels
    """
    mi = table.index
    names = list(mi.names)
    if not isinstance(mi, pd.MultiIndex) or len(names) != 2 or "order_book_id" not in names:
        raise ValueError("get_style_factor_exposure: expected a DataFrame indexed by the two levels "
                         f"(order_book_id, date), got index levels {names}")
    ilev = 0 if names[0] == "order_book_id" else 1
    dlev = 1 - ilev
    date_level = as_datetime_index(mi.levels[dlev])
    target = index if daily else index.normalize()
    return (_positions(date_level, target), _positions(mi.levels[ilev], order_book_ids),
            np.asarray(mi.codes[dlev], dtype=np.int64), np.asarray(mi.codes[ilev], dtype=np.int64),
            len(mi.levels[dlev]), len(mi.levels[ilev]))


def exposure_rows(table: pd.DataFrame, dates_local: Any, index: Any, columns: Any) -> tuple:
    """The style exposure table with (date, order_book_id) levels, and where its labels go.

    :param dates_local: the frame's dates without their timezone, matched when the table's
        dates are naive; ``index`` (the frame's own dates) is matched otherwise
    :return: ``(table, date_pos, date_codes, inst_pos, inst_codes)``: the position of each
        level label on the frame's dates / ``columns`` (-1: absent) and the rows' codes
    """
    table = table.reorder_levels(["date", "order_book_id"])
    mi = table.index
    if len(mi.names) != 2:
        raise ValueError("get_style_factor_exposure: expected the two index levels (order_book_id, "
                         f"date), got {mi.names}")
    dates = as_datetime_index(mi.levels[0])
    target = dates_local if getattr(dates, "tz", None) is None else index
    return (table, _positions(target, dates), np.asarray(mi.codes[0], dtype=np.int64),
            _positions(columns, mi.levels[1]), np.asarray(mi.codes[1], dtype=np.int64))


def industry_positions(table: Any, index: Any, order_book_ids: Any) -> tuple:
    """Where an industry code table (change dates x instruments) is read for a frame's labels.

    :return: ``(row_pos, col_pos)``: for each date of ``index`` the row of the latest change
        date not after it, for each instrument its column (-1: none)
    """
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"get_all_industry_category: expected a DataFrame, got {type(table)}")
    rows = as_datetime_index(table.index).get_indexer(index, method="ffill")
    return np.asarray(rows, dtype=np.int64), _positions(table.columns, order_book_ids)
