"""Importers: a user's own market data (CSV or Parquet) into the store, validated and atomic.

Each file holds one kind of data; its columns are those of the store table
(see ``COLUMNS``). A file is read and checked completely before anything is
written: wrong types, missing or unknown columns, duplicate keys, dates off the
store's calendar, ids without an instrument record, impossible prices. Any
problem raises ``InvalidImportFile`` listing what is wrong (file, rows, column,
what was expected) and the store is left untouched.

Writing happens in one DuckDB transaction. Rows whose key is already stored
are replaced (delete-then-insert inside that transaction): an imported row
replaces the stored row whole, so style factors absent from a styles file are
NULL afterwards for the imported (id, date) pairs. A calendar import replaces
the whole calendar. A store that does not exist yet is created with every
table and the exchange calendar (or the calendar imported in the same batch).

Row numbers in messages count data rows: row 1 is the first row after a CSV
header, or the first row of a Parquet file.
"""

from __future__ import annotations

import csv
import datetime as _dt
import os
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable, Sequence

import duckdb
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
from tqdm import tqdm

from . import STYLE_FACTORS, schema
from . import store as _store
from .store import NotAStore, StoreBusy, StoreDamaged, StoreError, StoreNotWritable

__all__ = ["KINDS", "SOURCES", "COLUMNS", "ImportReport", "InvalidImportFile", "StoreBusy", "StoreError",
           "NotAStore", "StoreDamaged", "StoreNotWritable",
           "import_file", "import_files", "read_table"]

KINDS = ("bars", "instruments", "industry", "styles", "calendar")
SOURCES = {"citics_2019": "industry_citics", "sws": "industry_sws"}
_PRICES = ("open", "high", "low", "close")
_SHOWN = 5  # rows named per problem


def _columns(table: str) -> tuple[str, ...]:
    return tuple(c for c, _ in schema.TABLES[table])


# file columns per table: (required, optional)
COLUMNS: dict[str, tuple[tuple[str, ...], tuple[str, ...]]] = {
    "calendar": (("date",), ()),
    "instruments": (("order_book_id", "symbol", "type", "listed_date"), ("de_listed_date",)),
    "bars": (tuple(c for c in _columns("bars") if c not in ("adj_factor", "shares")), ("adj_factor", "shares")),
    "styles": (("order_book_id", "date"), tuple(STYLE_FACTORS)),
    "industry_citics": (_columns("industry_citics"), ()),
    "industry_sws": (_columns("industry_sws"), ()),
}


class InvalidImportFile(ValueError):
    """A file that cannot be imported; ``problems`` lists every fault found."""

    def __init__(self, path: str | os.PathLike, problems: Sequence[str]):
        self.path = Path(path)
        self.problems = list(problems)
        head = "cannot import {}: {} problem{}, nothing was written".format(
            self.path, len(self.problems), "" if len(self.problems) == 1 else "s")
        super().__init__(head + "".join("\n  - " + p for p in self.problems))


@dataclass(frozen=True)
class ImportReport:
    """What one imported file did to the store."""

    kind: str
    table: str
    file: Path
    store: Path
    rows: int        # rows in the file
    replaced: int    # stored rows that were replaced (for a calendar: the old calendar's size)
    created: bool    # the store was created by this import

    @property
    def new(self) -> int:
        """Rows whose key was not stored before."""
        return self.rows - self.replaced if self.table != "calendar" else self.rows

    def __str__(self) -> str:
        if self.table == "calendar":
            what = "calendar replaced ({} dates before)".format(self.replaced)
        else:
            what = "{} new, {} replaced".format(self.new, self.replaced)
        return "{}: {:,d} rows from {} into {}{}: {}".format(
            self.table, self.rows, self.file, self.store, " (new store)" if self.created else "", what)


# ----------------------------------------------------------------------------------------------
# reading


def read_table(path: str | os.PathLike) -> pd.DataFrame:
    """Reads a CSV (every cell as text) or Parquet file; refuses any other suffix."""
    p = Path(path)
    suffix = "".join(p.suffixes[-2:]).lower() if p.suffix.lower() == ".gz" else p.suffix.lower()
    if suffix not in (".csv", ".csv.gz", ".parquet", ".pq"):
        raise InvalidImportFile(p, ["unsupported file type {!r}: expected a .csv or .parquet file"
                                    .format(p.suffix or p.name)])
    if not p.is_file():
        raise FileNotFoundError("no such file: {}".format(p))
    if suffix.startswith(".csv"):
        header = _csv_header(p)
        _check_header(p, header)
        frame = _read_csv(p, header)
    else:
        try:
            frame = pd.read_parquet(p)
        except Exception as e:  # pyarrow raises its own exception types for corrupt files
            raise InvalidImportFile(p, ["not a readable Parquet file: {}".format(e)]) from None
        _check_header(p, [str(c) for c in frame.columns])
    frame.columns = [str(c).strip() for c in frame.columns]
    if isinstance(frame.index, pd.MultiIndex) or frame.index.name is not None:
        frame = frame.reset_index()  # a Parquet file written from an indexed frame keeps its index
    return frame


def _csv_header(p: Path) -> list[str]:
    import gzip

    opener = gzip.open if p.suffix.lower() == ".gz" else open
    try:
        with opener(p, "rt", encoding="utf-8-sig", newline="") as fh:
            header = next(csv.reader(fh), [])
    except UnicodeDecodeError as e:
        raise InvalidImportFile(p, [_NOT_UTF8.format(e)]) from None
    except (OSError, csv.Error) as e:
        raise InvalidImportFile(p, ["not a readable CSV file: {}".format(e)]) from None
    if not any(h.strip() for h in header):
        raise InvalidImportFile(p, ["the file is empty: expected a header line and at least one row"])
    return header


_NOT_UTF8 = "not UTF-8 text ({}); expected a UTF-8 file (re-save it as UTF-8, e.g. from GBK)"


def _check_header(p: Path, header: Sequence[str]) -> None:
    names = [h.strip() for h in header]
    dup = sorted({c for c in names if names.count(c) > 1})
    if dup:
        raise InvalidImportFile(p, ["column(s) {} appear more than once in the header".format(dup)])


def _read_csv(p: Path, header: list[str]) -> pd.DataFrame:
    """Every cell as text (Arrow-backed strings); empty cells stay empty strings."""
    import pyarrow.csv as pcsv

    try:
        table = pcsv.read_csv(p, convert_options=pcsv.ConvertOptions(
            column_types={c: pa.string() for c in header}, strings_can_be_null=False,
            quoted_strings_can_be_null=False))
    except (pa.ArrowInvalid, UnicodeDecodeError) as e:
        if "utf" in str(e).lower():
            raise InvalidImportFile(p, [_NOT_UTF8.format(e)]) from None
        raise InvalidImportFile(p, ["not a readable CSV file: {}".format(str(e).strip())]) from None
    text = pd.StringDtype("pyarrow")
    return table.to_pandas(types_mapper={pa.string(): text, pa.large_string(): text}.get)


# ----------------------------------------------------------------------------------------------
# validation


def _rows(idx: np.ndarray) -> str:
    shown = ", ".join(str(i + 1) for i in idx[:_SHOWN])
    more = " and {:,d} more".format(len(idx) - _SHOWN) if len(idx) > _SHOWN else ""
    return "row{} {}{}".format("s" if len(idx) > 1 else "", shown, more)


def _show(v: Any) -> str:
    if isinstance(v, float) and np.isnan(v):
        return "NaN"
    if v is pd.NaT or (isinstance(v, np.datetime64) and np.isnat(v)):
        return "NaT"
    if isinstance(v, (pd.Timestamp, _dt.date)):
        return str(v)[:10] if pd.Timestamp(v) == pd.Timestamp(v).normalize() else str(v)
    return repr(v.item() if isinstance(v, np.generic) else v)


class _Check:
    """Collects the problems of one file; a cell is reported once, for its first fault."""

    def __init__(self, path: Path, frame: pd.DataFrame):
        self.path, self.frame, self.n = path, frame, len(frame)
        self.problems: list[str] = []
        self.bad: dict[str, np.ndarray] = {}

    def flag(self, mask: Any, column: str, expected: str, shown: Any = None) -> None:
        mask = np.asarray(mask, dtype=bool) & ~self.bad.get(column, np.zeros(self.n, bool))
        if not mask.any():
            return
        self.bad[column] = self.bad.get(column, np.zeros(self.n, bool)) | mask
        idx = np.flatnonzero(mask)
        if shown is None:
            values = self.frame[column].to_numpy(dtype=object)
            got = ", ".join(_show(values[i]) for i in idx[:_SHOWN])
        else:
            got = ", ".join(shown(i) for i in idx[:_SHOWN])
        self.problems.append("column {!r}, {}: expected {}, got {}".format(column, _rows(idx), expected, got))

    def ok(self, column: str) -> np.ndarray:
        return ~self.bad.get(column, np.zeros(self.n, bool))

    def add(self, problem: str) -> None:
        self.problems.append(problem)


def _arrow_text(raw: pd.Series) -> pa.Array | None:
    """The column as trimmed Arrow strings, empty cells null; None if it holds anything but text."""
    try:
        arr = pa.array(raw.to_numpy(dtype=object) if raw.dtype == object else raw, from_pandas=True)
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
        return None
    if pa.types.is_null(arr.type):
        return pa.nulls(len(arr), pa.string())
    if not (pa.types.is_string(arr.type) or pa.types.is_large_string(arr.type)):
        return None
    arr = pc.utf8_trim_whitespace(arr)
    return pc.if_else(pc.equal(pc.utf8_length(arr), 0), pa.scalar(None, arr.type), arr)


def _nulls(arr: pa.Array) -> np.ndarray:
    return arr.is_null().to_numpy(zero_copy_only=False)


def _text(chk: _Check, col: str, required: bool = True) -> pd.Series:
    raw = chk.frame[col]
    arr = _arrow_text(raw)
    if arr is None:  # mixed cells (e.g. numbers in a Parquet column): keep the text ones
        vals = raw.to_numpy(dtype=object)
        is_str = np.fromiter((isinstance(v, str) for v in vals), bool, len(vals))
        chk.flag(~is_str & ~pd.isna(raw).to_numpy(), col, "text")
        arr = _arrow_text(pd.Series(np.where(is_str, vals, None), dtype=object))
    out = pd.Series(arr.to_numpy(zero_copy_only=False), dtype=object)
    if required:
        chk.flag(_nulls(arr), col, "a non-empty text")
    return out


def _dates(chk: _Check, col: str, required: bool = True) -> pd.Series:
    raw = chk.frame[col]
    if isinstance(raw.dtype, pd.DatetimeTZDtype):
        ts = raw.dt.tz_localize(None)  # the local calendar date
        missing = ts.isna().to_numpy()
    elif pd.api.types.is_datetime64_any_dtype(raw.dtype):
        ts = raw
        missing = ts.isna().to_numpy()
    else:
        if pd.api.types.is_integer_dtype(raw.dtype):  # 20210104 stored as a number
            raw = raw.astype(object).where(raw.notna(), None).map(lambda v: None if v is None else str(v))
        arr = _arrow_text(raw)
        if arr is not None:
            missing = _nulls(arr)
            ts = pd.to_datetime(pd.Series(arr.to_numpy(zero_copy_only=False), dtype=object),
                                format="ISO8601", errors="coerce")
        else:  # date / datetime objects (from a Parquet file), possibly mixed with text
            vals = raw.to_numpy(dtype=object)
            vals = np.array([v.strip() or None if isinstance(v, str) else v for v in vals], dtype=object)
            missing = pd.isna(pd.Series(vals, dtype=object)).to_numpy()
            ts = pd.to_datetime(pd.Series(vals, dtype=object), errors="coerce", format="mixed")
    ts = pd.Series(pd.to_datetime(ts, errors="coerce").to_numpy(), index=raw.index)
    unparsed = ts.isna().to_numpy() & ~missing
    chk.flag(unparsed, col, "a date like 2021-01-04")
    timed = ~ts.isna().to_numpy() & (ts != ts.dt.normalize()).to_numpy()
    chk.flag(timed, col, "a date without a time of day")
    if required:
        chk.flag(missing, col, "a date")
    return ts.where(chk.ok(col) & ~missing)


def _numbers(chk: _Check, col: str) -> np.ndarray:
    """Float values; missing cells are NaN (callers decide whether that is allowed)."""
    raw = chk.frame[col]
    if pd.api.types.is_bool_dtype(raw.dtype):
        chk.flag(np.ones(chk.n, bool), col, "a number")
        return np.full(chk.n, np.nan)
    if pd.api.types.is_numeric_dtype(raw.dtype):
        return raw.to_numpy(dtype=float, na_value=np.nan)
    arr = _arrow_text(raw)
    if arr is not None:
        try:  # fast path: every cell parses
            return pc.cast(arr, pa.float64()).to_numpy(zero_copy_only=False)
        except pa.ArrowInvalid:
            text = pd.Series(arr.to_numpy(zero_copy_only=False), dtype=object)
    else:
        text = pd.Series([v.strip() or None if isinstance(v, str) else v for v in raw.to_numpy(dtype=object)],
                         dtype=object)
    missing = text.isna().to_numpy()
    nums = pd.to_numeric(text, errors="coerce").to_numpy(dtype=float, na_value=np.nan)
    literal_nan = text.map(lambda v: isinstance(v, str) and v.lower() == "nan").to_numpy(dtype=bool)
    chk.flag(np.isnan(nums) & ~missing & ~literal_nan, col, "a number")
    return np.where(chk.ok(col), nums, np.nan)


def _duplicates(chk: _Check, frame: pd.DataFrame, key: Sequence[str]) -> None:
    valid = np.ones(len(frame), bool)
    for k in key:
        valid &= chk.ok(k) & frame[k].notna().to_numpy()
    dup = frame[list(key)].duplicated(keep=False).to_numpy() & valid
    if not dup.any():
        return
    groups = frame.loc[dup, list(key)].groupby(list(key), sort=False).indices
    parts = []
    for k, idx in list(groups.items())[:3]:
        k = k if isinstance(k, tuple) else (k,)
        parts.append("({}) in rows {}".format(", ".join(_show(v) for v in k),
                                              ", ".join(str(np.flatnonzero(dup)[i] + 1) for i in idx[:_SHOWN])))
    more = " and {:,d} more key(s)".format(len(groups) - 3) if len(groups) > 3 else ""
    chk.add("duplicate key ({}): {}{}; expected each key once".format(", ".join(key), "; ".join(parts), more))


def _table_of(kind: str, frame_cols: Sequence[str], source: str | None) -> str:
    if kind not in KINDS:
        raise ValueError("unknown kind {!r}: expected one of {}".format(kind, list(KINDS)))
    if kind != "industry":
        if source is not None:
            raise ValueError("source {!r} applies to industry files only, not {}".format(source, kind))
        return kind
    if source is None:  # the version column tells the two classifications apart
        source = "sws" if "version" in frame_cols else "citics_2019"
    if source not in SOURCES:
        raise ValueError("unknown industry source {!r}: expected one of {}".format(source, list(SOURCES)))
    return SOURCES[source]


def _check_columns(path: Path, frame: pd.DataFrame, table: str) -> None:
    required, optional = COLUMNS[table]
    have = list(frame.columns)
    problems = []
    missing = [c for c in required if c not in have]
    if missing:
        problems.append("missing column(s) {}: a {} file needs {}{}".format(
            missing, table, list(required), ", optionally {}".format(list(optional)) if optional else ""))
    unknown = [c for c in have if c not in required and c not in optional]
    if unknown:
        problems.append("unknown column(s) {}: expected only {}".format(unknown, list(required + optional)))
    if table == "styles" and not missing and not any(c in have for c in optional):
        problems.append("no style factor column: expected at least one of {}".format(list(STYLE_FACTORS)))
    if len(frame) == 0:
        problems.append("the file has no rows")
    if problems:
        raise InvalidImportFile(path, problems)


@dataclass
class _Context:
    """What the files are checked against: the store's calendar and instruments (plus the batch's)."""

    calendar: np.ndarray  # datetime64[D], sorted
    ids: set


def _off_calendar(chk: _Check, dates: pd.Series, ctx: _Context, col: str = "date") -> None:
    day = dates.to_numpy(dtype="datetime64[D]")
    known = ~np.isnat(day)
    pos = np.searchsorted(ctx.calendar, day)
    inside = (pos < len(ctx.calendar)) & (ctx.calendar[np.minimum(pos, len(ctx.calendar) - 1)] == day) \
        if len(ctx.calendar) else np.zeros(len(day), bool)
    span = "{} to {}".format(ctx.calendar[0], ctx.calendar[-1]) if len(ctx.calendar) else "empty"
    chk.flag(known & ~inside, col, "a trading date of the store's calendar ({})".format(span))


def _unknown_ids(chk: _Check, ids: pd.Series, ctx: _Context) -> None:
    missing = ids.notna().to_numpy() & ~ids.isin(ctx.ids).to_numpy()
    if not missing.any():
        return
    chk.bad["order_book_id"] = chk.bad.get("order_book_id", np.zeros(chk.n, bool)) | missing
    distinct = pd.unique(ids[missing])
    chk.add("column 'order_book_id', {}: {:,d} id(s) without an instrument record ({}{}); expected ids of "
            "the store's instruments or of instruments imported together with this file".format(
                _rows(np.flatnonzero(missing)), len(distinct), ", ".join(repr(i) for i in distinct[:_SHOWN]),
                ", ..." if len(distinct) > _SHOWN else ""))


def _validate(path: Path, frame: pd.DataFrame, table: str, ctx: _Context) -> pd.DataFrame:
    """Returns the clean frame in the table's column layout, or raises InvalidImportFile."""
    chk = _Check(path, frame)
    out: dict[str, Any] = {}
    if table == "calendar":
        out["date"] = _dates(chk, "date")
    elif table == "instruments":
        out["order_book_id"] = _text(chk, "order_book_id")
        out["symbol"] = _text(chk, "symbol")
        typ = _text(chk, "type")
        chk.flag(typ.notna().to_numpy() & ~typ.isin(["CS", "INDX"]).to_numpy(), "type", '"CS" or "INDX"')
        out["type"] = typ
        out["listed_date"] = _dates(chk, "listed_date")
        if "de_listed_date" in frame:
            gone = _dates(chk, "de_listed_date", required=False)
            early = (gone < out["listed_date"]).to_numpy()
            chk.flag(early, "de_listed_date", "a date on or after listed_date")
            out["de_listed_date"] = gone
        else:
            out["de_listed_date"] = pd.Series(pd.NaT, index=frame.index, dtype="datetime64[us]")
    elif table in ("bars", "styles"):
        out["order_book_id"] = _text(chk, "order_book_id")
        out["date"] = _dates(chk, "date")
        _off_calendar(chk, out["date"], ctx)
        _unknown_ids(chk, out["order_book_id"], ctx)
        if table == "bars":
            for c in _PRICES:
                v = _numbers(chk, c)
                chk.flag(~(v > 0) | np.isinf(v), c, "a positive price")
                out[c] = v
            both = chk.ok("high") & chk.ok("low")
            chk.flag(both & (out["high"] < out["low"]), "high", "high >= low",
                     shown=lambda i: "{} < low {}".format(out["high"][i], out["low"][i]))
            for c in ("volume", "total_turnover"):
                v = _numbers(chk, c)
                chk.flag(~(v >= 0) | np.isinf(v), c, "a number >= 0")
                out[c] = v
            if "adj_factor" in frame:
                v = _numbers(chk, "adj_factor")
                chk.flag(~(v > 0) | np.isinf(v), "adj_factor",
                         "a positive adjustment factor (leave the column out for 1.0)")
                out["adj_factor"] = v
            else:
                out["adj_factor"] = np.ones(len(frame))
            if "shares" in frame:
                v = _numbers(chk, "shares")
                chk.flag(~np.isnan(v) & (~(v > 0) | np.isinf(v)), "shares",
                         "a positive share count (leave the column out when unknown)")
                out["shares"] = v
            else:
                out["shares"] = np.full(len(frame), np.nan)
        else:
            for c in STYLE_FACTORS:
                if c in frame:
                    v = _numbers(chk, c)
                    chk.flag(np.isinf(v), c, "a finite number or an empty cell")
                    out[c] = v
                else:
                    out[c] = np.full(len(frame), np.nan)
    else:  # industry tables
        out["industry_name"] = _text(chk, "industry_name")
        out["order_book_id"] = _text(chk, "order_book_id")
        out["start_date"] = _dates(chk, "start_date")  # change records may fall on non-trading days
        if table == "industry_sws":
            v = _numbers(chk, "version")
            chk.flag(~np.isin(v, [1, 2, 3]), "version", "a version 1, 2 or 3")
            out["version"] = np.where(np.isin(v, [1, 2, 3]), v, 0).astype(np.int32)
    clean = pd.DataFrame(out, index=frame.index)
    _duplicates(chk, clean, schema.KEYS[table])
    if chk.problems:
        raise InvalidImportFile(path, chk.problems)
    return clean.reset_index(drop=True)[list(_columns(table))]


# ----------------------------------------------------------------------------------------------
# writing


def _open_write(path: Path) -> duckdb.DuckDBPyConnection:
    _store.check_writable(path)
    con = _store.open_store(path, read_only=False)
    try:
        schema.add_missing_columns(con)
    except BaseException:
        con.close()
        raise
    return con


def _store_context(con: duckdb.DuckDBPyConnection, path: Path) -> _Context:
    _store.check_tables(con, path, schema.TABLES)
    cal = con.execute("SELECT date FROM calendar ORDER BY date").fetchnumpy()["date"]
    ids = con.execute("SELECT order_book_id FROM instruments").fetchnumpy()["order_book_id"]
    return _Context(np.asarray(cal).astype("datetime64[D]"), set(np.asarray(ids, dtype=object).tolist()))


def _exchange_calendar() -> np.ndarray:
    from . import _exchange_sessions

    return _exchange_sessions().values.astype("datetime64[D]")


def _calendar_conflicts(con: duckdb.DuckDBPyConnection | None, new_cal: pd.DataFrame) -> list[str]:
    """Stored rows that a replacing calendar would leave off the calendar."""
    if con is None:
        return []
    problems = []
    con.register("_ostrel_cal", new_cal)
    try:
        for table in ("bars", "styles"):
            rows = con.execute(
                "SELECT date, count(*) FROM {} WHERE date NOT IN (SELECT date FROM _ostrel_cal) "
                "GROUP BY date ORDER BY date".format(table)).fetchall()
            if rows:
                shown = ", ".join("{} ({} rows)".format(d, n) for d, n in rows[:_SHOWN])
                more = " and {:,d} more dates".format(len(rows) - _SHOWN) if len(rows) > _SHOWN else ""
                problems.append("the store's {} has dates that are not in this calendar: {}{}; expected a "
                                "calendar that covers every stored date".format(table, shown, more))
    finally:
        con.unregister("_ostrel_cal")
    return problems


def _write(con: duckdb.DuckDBPyConnection, table: str, frame: pd.DataFrame) -> int:
    """Upserts ``frame``; returns the number of stored rows it replaced."""
    if table == "calendar":
        replaced = con.execute("DELETE FROM calendar").fetchone()[0]
    else:
        con.register("_ostrel_new", frame)
        try:
            cond = " AND ".join("t.{0} = n.{0}".format(k) for k in schema.KEYS[table])
            replaced = con.execute("DELETE FROM {} t USING _ostrel_new n WHERE {}".format(table, cond)).fetchone()[0]
        finally:
            con.unregister("_ostrel_new")
    schema.insert_frame(con, table, frame)
    return int(replaced)


def _after_write() -> None:
    """Lets queries of this process see the new data."""
    from . import decorators
    import ostrel

    cache = getattr(ostrel, "_store_calendar_cache", None)
    if isinstance(cache, dict):
        cache.clear()
    decorators.clear_all()


def _store_path(store: str | os.PathLike | None) -> Path:
    return Path(store) if store is not None else _store._configured_path()


def import_files(items: Iterable[Sequence[Any]], *, store: str | os.PathLike | None = None,
                 progress: bool = False) -> list[ImportReport]:
    """导入多个文件，全部校验通过后在同一事务中写入（要么全部写入，要么都不写）。

    ``items``: ``(kind, path)`` or ``(kind, path, source)`` with kind one of ``KINDS``
    and, for industry files, source "citics_2019" or "sws" (None: "sws" when the
    file has a version column). A calendar is applied first, then instruments, so
    bars and styles in the same batch are checked against them.
    """
    target = _store_path(store)
    steps = []
    for item in items:
        if not 2 <= len(item) <= 3:
            raise ValueError("each item must be (kind, path) or (kind, path, source), got {!r}".format(item))
        kind, path = item[0], Path(item[1])
        source = item[2] if len(item) == 3 else None
        if kind not in KINDS:
            raise ValueError("unknown kind {!r}: expected one of {}".format(kind, list(KINDS)))
        steps.append((kind, path, source))
    if not steps:
        raise ValueError("nothing to import: expected at least one (kind, path)")
    order = {"calendar": 0, "instruments": 1}
    steps.sort(key=lambda s: order.get(s[0], 2))
    bar = tqdm(total=len(steps) * 2 + 1, desc="importing", disable=not progress)

    parsed = []
    for kind, path, source in steps:
        frame = read_table(path)
        table = _table_of(kind, list(frame.columns), source)
        _check_columns(path, frame, table)
        parsed.append((kind, path, table, frame))
        bar.update()

    created = not target.exists()
    _store.release()  # a read-write connection needs this process's read-only one closed
    if created:
        _store.check_writable(target)
    con = None if created else _open_write(target)
    try:
        try:
            ctx = _store_context(con, target) if con is not None else _Context(_exchange_calendar(), set())
        except duckdb.Error as e:
            raise _store._classify(target, e, write=True) from None
        clean: list[tuple[str, Path, str, pd.DataFrame]] = []
        for kind, path, table, frame in parsed:
            good = _validate(path, frame, table, ctx)
            if table == "calendar":
                problems = _calendar_conflicts(con, good)
                if problems:
                    raise InvalidImportFile(path, problems)
                ctx.calendar = np.sort(good["date"].to_numpy(dtype="datetime64[D]"))
            elif table == "instruments":
                ctx.ids |= set(good["order_book_id"])
            clean.append((kind, path, table, good))
            bar.update()
        try:
            if con is None:
                reports = _create_store(target, clean)
            else:
                reports = _upsert(con, target, clean)
        except duckdb.Error as e:
            raise _store._classify(target, e, write=True) from None
        except PermissionError as e:
            if isinstance(e, StoreError):
                raise
            raise _store.not_writable(target, e) from None
        bar.update()
    finally:
        if con is not None:
            con.close()
        bar.close()
    _after_write()
    return reports


def _upsert(con: duckdb.DuckDBPyConnection, target: Path, clean: list) -> list[ImportReport]:
    reports = []
    con.execute("BEGIN TRANSACTION")
    try:
        for kind, path, table, frame in clean:
            replaced = _write(con, table, frame)
            reports.append(ImportReport(kind, table, path, target, len(frame), replaced, False))
        con.execute("COMMIT")
    except BaseException:
        try:
            con.execute("ROLLBACK")
        except duckdb.Error:  # a failed COMMIT may have ended the transaction already
            pass
        raise
    return reports


def _create_store(target: Path, clean: list) -> list[ImportReport]:
    """Builds the new store in a temporary file beside ``target`` and moves it into place."""
    target = target.absolute()
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(suffix=".duckdb", dir=target.parent)
    os.close(fd)
    os.unlink(tmp)
    reports = []
    try:
        con = _store.open_store(tmp, read_only=False)
        try:
            schema.create_tables(con)
            if not any(t == "calendar" for _, _, t, _ in clean):
                cal = pd.DataFrame({"date": _exchange_calendar()})
                schema.insert_frame(con, "calendar", cal)
            for kind, path, table, frame in clean:
                replaced = _write(con, table, frame)
                reports.append(ImportReport(kind, table, path, target, len(frame),
                                            0 if table == "calendar" else replaced, True))
        finally:
            con.close()
        try:
            os.link(tmp, target)  # fails rather than overwrite a store that appeared meanwhile
        except FileExistsError:
            raise StoreBusy("the store {} was created by someone else during this import; nothing was "
                            "written, retry to import into it".format(target)) from None
        except OSError:
            os.replace(tmp, target)
    finally:
        for leftover in (tmp, tmp + ".wal"):
            if os.path.exists(leftover):
                os.unlink(leftover)
    return reports


def import_file(kind: str, path: str | os.PathLike, *, store: str | os.PathLike | None = None,
                source: str | None = None, progress: bool = False) -> ImportReport:
    """导入一个 CSV/Parquet 文件到行情库（先完整校验，再在一个事务中写入；已存在的键被替换）。

    ``kind``: "bars", "instruments", "industry", "styles" or "calendar".
    ``store``: the store file; default the configured one (``ostrel.init`` path,
    ``$OSTREL_DATA``, the per-user default). A missing store is created.
    ``source``: for industry files, "citics_2019" or "sws".
    Raises ``InvalidImportFile`` (nothing written) or ``StoreBusy``.
    """
    if kind != "industry" and source is not None:
        raise ValueError("source {!r} applies to industry files only, not {}".format(source, kind))
    return import_files([(kind, path, source)], store=store, progress=progress)[0]
