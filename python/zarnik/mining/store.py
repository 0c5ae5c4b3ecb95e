"""The factor store: evaluated factors and their screening summaries, kept between runs.

Entries are files in a folder beside the market-data store (``<store>.factors/``, or
``$ZARNIK_FACTOR_STORE``): ``values/<key>.parquet`` holds a factor's values (a long table
``datetime, order_book_id, value``), ``summaries/<key>.json``
and ``summaries/<key>.npy`` a screening row and the factor's correlation sample. Parquet files rather
than tables in the market-data DuckDB file: that file is opened read-only and shared, and DuckDB
allows one writing process per file, while a batch on several workers (or machines) produces results
concurrently. A file per entry, written under a temporary name and renamed into place, is atomic
without any lock, and DuckDB, pandas and polars read it directly.

A value key names the canonical expression (``expression_key`` of the parsed formula), the instruments in
order, the date range and a fingerprint of the market data's content, so a store whose data changed
misses every entry. A summary key adds the periods and the analysis steps.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import tempfile
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["FactorStore", "data_fingerprint", "expression_key", "value_key", "summary_key", "default_store_root", "load_factor"]

FORMAT = 2
_fingerprints: dict[tuple, str] = {}


def _market_path() -> Path:
    from ostrel import store as market

    return Path(market._configured_path())


def data_fingerprint() -> str:
    """A digest of the market data's content: every table's row count and a hash of all its rows.

    Computed once per store file and modification; any import changes it."""
    from ostrel import store as market

    path = _market_path()
    try:
        st = path.stat()
        stamp = (os.fspath(path.resolve()), st.st_size, st.st_mtime_ns)
    except OSError:
        stamp = None
    if stamp is not None and stamp in _fingerprints:
        return _fingerprints[stamp]
    con = market.connection()
    tables = [r[0] for r in con.execute(
        "SELECT table_name FROM information_schema.tables WHERE table_schema = 'main' ORDER BY table_name"
    ).fetchall()]
    h = hashlib.sha256()
    for t in tables:
        n, digest = con.execute('SELECT count(*), bit_xor(hash(*COLUMNS(*))) FROM "{}"'.format(t.replace('"', '""'))).fetchone()
        h.update("{}:{}:{};".format(t, n, digest).encode())
    out = h.hexdigest()[:24]
    if stamp is not None:
        _fingerprints[stamp] = out
    return out


def _digest(obj: Any) -> str:
    return hashlib.sha256(json.dumps(obj, sort_keys=True, default=str).encode()).hexdigest()[:32]


def _callable_name(func: Any) -> str:
    if isinstance(func, np.ufunc):
        return "numpy." + func.__name__
    return "{}.{}".format(getattr(func, "__module__", None) or "",
                          getattr(func, "__qualname__", None) or getattr(func, "__name__", type(func).__name__))


def _canonical(expr: Any) -> str:
    if (isinstance(expr, tuple) and len(expr) == 2 and callable(expr[0]) and isinstance(expr[1], tuple)
            and not isinstance(expr[0], type)):
        return "{}({})".format(_callable_name(expr[0]), ", ".join(_canonical(a) for a in expr[1]))
    if isinstance(expr, (tuple, list)):
        return "[{}]".format(", ".join(_canonical(a) for a in expr))
    if isinstance(expr, np.ndarray):
        return "array({}, {})".format(expr.dtype.str, _canonical(expr.tolist()))
    text = repr(expr)
    if " at 0x" in text:
        raise ValueError("no canonical text for {}".format(text))
    return text


def expression_key(node: Any) -> str | None:
    """A text naming the computation of a parsed formula, the same in every process: the expression
    tree with functions by module and name and constants by value (the ``repr`` of a formula with a
    literal constant names the constant object by its address). None when some part of the tree has
    no such text (the formula is then never stored)."""
    try:
        return _canonical(node.expr)
    except (ValueError, AttributeError, RecursionError):
        return None


def value_key(expr: str, ids: list[str], start: Any, end: Any, fingerprint: str) -> str:
    """Key of a factor's values: expression, instruments (in order), date range, market data."""
    universe = hashlib.sha256("\n".join(ids).encode()).hexdigest()
    return _digest({"v": FORMAT, "expr": expr, "ids": universe, "start": str(pd.Timestamp(start).date()),
                    "end": str(pd.Timestamp(end).date()), "data": fingerprint})


def summary_key(vkey: str, config: Any) -> str:
    """Key of a screening row: the value key and the analysis configuration."""
    return _digest({"v": FORMAT, "values": vkey, "config": config})


def default_store_root() -> Path:
    """``$ZARNIK_FACTOR_STORE``, else a folder beside the market-data store."""
    env = os.environ.get("ZARNIK_FACTOR_STORE")
    if env:
        return Path(env).expanduser()
    market = _market_path()
    return market.with_name(market.stem + ".factors")


def _atomic_write(path: Path, write: Any) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=path.parent)
    os.close(fd)
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _json_safe(v: Any) -> Any:
    if isinstance(v, (np.floating, float)):
        f = float(v)
        return None if math.isnan(f) else f
    if isinstance(v, (np.integer,)):
        return int(v)
    if isinstance(v, (np.bool_,)):
        return bool(v)
    return v


class FactorStore:
    """因子库：按规范表达式与数据版本保存因子值与筛选结果（Parquet 与 JSON 文件）。"""

    def __init__(self, root: str | os.PathLike | None = None) -> None:
        self.root = Path(root).expanduser() if root is not None else default_store_root()

    def __repr__(self) -> str:
        return "FactorStore({!r})".format(os.fspath(self.root))

    # values ----------------------------------------------------------------
    def _values_path(self, key: str) -> Path:
        return self.root / "values" / "{}.parquet".format(key)

    def has_values(self, key: str) -> bool:
        return self._values_path(key).exists()

    def put_values(self, key: str, frame: pd.DataFrame, formula: str = "") -> None:
        """Writes a FactorFrame under ``key`` as a long table (datetime, order_book_id, value), one
        instrument after the other: three columns convert and compress far faster than thousands."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        values = np.asarray(frame.to_numpy(dtype=np.float64))
        T, N = values.shape
        dates = pa.array(np.tile(pd.DatetimeIndex(frame.index).to_numpy(), N))
        ids = pa.DictionaryArray.from_arrays(pa.array(np.repeat(np.arange(N, dtype=np.int32), T)),
                                             pa.array([str(c) for c in frame.columns], type=pa.string()))
        table = pa.table({"datetime": dates, "order_book_id": ids, "value": pa.array(values.ravel(order="F"))})
        meta = {b"zarnik.formula": formula.encode(), b"zarnik.shape": "{} {}".format(T, N).encode()}
        table = table.replace_schema_metadata(meta)
        _atomic_write(self._values_path(key), lambda p: pq.write_table(table, p, compression="zstd"))

    def get_values(self, key: str) -> pd.DataFrame | None:
        """The FactorFrame stored under ``key``, or None."""
        import pyarrow.parquet as pq

        path = self._values_path(key)
        if not path.exists():
            return None
        table = pq.read_table(path)
        T, N = (int(x) for x in (table.schema.metadata or {}).get(b"zarnik.shape", b"0 0").split())
        values = table.column("value").to_numpy()
        if values.size != T * N:
            return None  # not an entry this version wrote: recomputed
        ids = table.column("order_book_id").combine_chunks()
        columns = [str(x) for x in ids.dictionary.to_pylist()] if hasattr(ids, "dictionary") else \
            [str(x) for x in ids.to_pylist()[::T]]
        dates = table.column("datetime").to_numpy()[:T]
        return pd.DataFrame(values.reshape(N, T).T, index=pd.DatetimeIndex(dates, name="datetime"),
                            columns=pd.Index(columns, name="order_book_id", dtype=object))

    # summaries ---------------------------------------------------------------
    def _summary_paths(self, key: str) -> tuple[Path, Path]:
        base = self.root / "summaries"
        return base / "{}.json".format(key), base / "{}.npy".format(key)

    def put_summary(self, key: str, row: dict[str, Any], sample: np.ndarray | None) -> None:
        """Writes a screening row and its correlation sample (the sample first: a row is only
        visible once both are there)."""
        jpath, npath = self._summary_paths(key)
        if sample is not None:
            def write_sample(p: str) -> None:
                with open(p, "wb") as fh:
                    np.save(fh, np.asarray(sample, dtype=np.float64))

            _atomic_write(npath, write_sample)
        text = json.dumps({k: _json_safe(v) for k, v in row.items()}, sort_keys=True)
        _atomic_write(jpath, lambda p: Path(p).write_text(text, encoding="utf-8"))

    def get_summary(self, key: str) -> tuple[dict[str, Any], np.ndarray | None] | None:
        """(row, sample) stored under ``key``, or None."""
        jpath, npath = self._summary_paths(key)
        if not jpath.exists():
            return None
        try:
            row = json.loads(jpath.read_text(encoding="utf-8"))
            sample = np.load(npath) if npath.exists() else None
        except (OSError, ValueError):
            return None  # a damaged entry is recomputed
        row = {k: (math.nan if v is None else v) for k, v in row.items()}
        return row, sample


def load_factor(formula: Any, universe: Any, start: Any, end: Any,
                factor_store: str | os.PathLike | FactorStore | None = None) -> pd.DataFrame:
    """从因子库读取已计算的因子值（FactorFrame）；库中没有时抛出 KeyError。

    ``formula`` 为公式字符串或因子表达式，``universe``、``start``、``end`` 与计算时相同；
    行情数据变化后旧的结果不再命中。
    """
    from zarnik.engine import _normalize_ids
    from zarnik.formula import parse

    node = parse(formula) if isinstance(formula, str) else formula
    ids = _normalize_ids(universe)
    store = factor_store if isinstance(factor_store, FactorStore) else FactorStore(factor_store)
    expr = expression_key(node)
    if expr is None:
        raise KeyError("not in the factor store: {} (a formula of this kind is never stored)".format(formula))
    key = value_key(expr, ids, start, end, data_fingerprint())
    frame = store.get_values(key)
    if frame is None:
        raise KeyError("not in the factor store {}: {} over {} instruments from {} to {} (with the current "
                       "market data)".format(store.root, formula, len(ids), start, end))
    return frame
