"""Location and connection of the local market-data store (a DuckDB file).

Every connection to a store file goes through ``open_store``: DuckDB may
neither install nor load extensions and SQL may not reach files or the
network (a file that looks like another database would otherwise make DuckDB
fetch a scanner extension). Whatever goes wrong opening or reading a store is
reported as one of the ``StoreError`` classes below, naming the file.
"""

from __future__ import annotations

import os
import threading
from pathlib import Path
from typing import Any, Iterable

import duckdb

__all__ = ["default_data_path", "init", "connection", "is_open", "close", "release", "open_store", "verify",
           "check_writable", "StoreError", "StoreMissing", "StoreBusy", "NotAStore", "StoreDamaged",
           "StoreNotWritable"]

_lock = threading.Lock()
# "opened" counts connections made, so caches of what a connection read can tell a reopened store
# from the one they read (id() of a new connection object may repeat an old one).
_state: dict = {"path": None, "con": None, "opened": 0}

# Settings of every connection: no extension is installed or loaded, no
# external file or URL is reachable from SQL, and SQL cannot change that.
CONNECTION_CONFIG = {
    "autoinstall_known_extensions": False,
    "autoload_known_extensions": False,
    "allow_community_extensions": False,
    "enable_external_access": False,
    "lock_configuration": True,
}

# bytes 8..11 of every DuckDB database file
_MAGIC = b"DUCK"
_OTHER_FORMATS = (
    (b"SQLite format 3\x00", "a SQLite database"),
    (b"PAR1", "a Parquet file"),
    (b"PK\x03\x04", "a zip archive"),
    (b"\x1f\x8b", "a gzip file"),
    (b"ARROW1", "an Arrow file"),
)
_HINT = "expected a store made by `python -m ostrel generate` or `python -m ostrel import`"


class StoreError(Exception):
    """A market-data store that cannot be used; the message names the file."""


class StoreMissing(StoreError, FileNotFoundError):
    """No market-data store at the configured location."""


class StoreBusy(StoreError, RuntimeError):
    """The store file is held by another connection, so it cannot be opened or written now."""


class NotAStore(StoreError, ValueError):
    """The file is not an ostrel store (another format, or a database without the store's tables)."""


class StoreDamaged(StoreError, RuntimeError):
    """The store file is an ostrel store whose contents cannot be read back (truncated or corrupted)."""


class StoreNotWritable(StoreError, PermissionError):
    """The store (or the directory that holds it) cannot be written by this process."""


def default_data_path() -> Path:
    """Per-user default store file (``$XDG_DATA_HOME/ostrel/market.duckdb``)."""
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return Path(base) / "ostrel" / "market.duckdb"


def _configured_path() -> Path:
    # "~" and "~user" are expanded in every form a path is given, as a shell would.
    if _state["path"] is not None:
        return Path(_state["path"]).expanduser()
    env = os.environ.get("OSTREL_DATA")
    return Path(env).expanduser() if env else default_data_path()


# ----------------------------------------------------------------------------------------------
# opening a store file


def not_a_store(path: str | os.PathLike, reason: str) -> NotAStore:
    return NotAStore("not an ostrel store: {} ({}; {})".format(path, reason, _HINT))


def busy(path: str | os.PathLike, detail: Any, write: bool) -> StoreBusy:
    return StoreBusy("the store {} is in use by another process, so it cannot be {} now; close that process "
                     "(or its connection) and retry ({})".format(path, "written" if write else "opened", detail))


def damaged(path: str | os.PathLike, detail: Any) -> StoreDamaged:
    return StoreDamaged("store {} is damaged: {}; restore it from a copy, or build it again with "
                        "`python -m ostrel generate` or `python -m ostrel import`".format(path, _first_line(detail)))


def not_writable(path: str | os.PathLike, detail: Any) -> StoreNotWritable:
    p = Path(path)
    where = p.parent if p.parent != Path("") else Path(".")
    if where.is_dir() and not os.access(where, os.W_OK | os.X_OK):
        what = "the directory {} is read-only".format(where)
    elif p.exists() and not os.access(p, os.W_OK):
        what = "the file is read-only"
    else:
        what = "permission denied"
    return StoreNotWritable("cannot write the store {}: {} ({}); choose a writable location or change its "
                            "permissions".format(path, what, _first_line(detail)))


def _first_line(detail: Any) -> str:
    text = str(detail).strip()
    return text.splitlines()[0] if text else type(detail).__name__


def _sniff(path: Path) -> str | None:
    """Why ``path`` is not a DuckDB database file, or None if it looks like one."""
    if path.is_dir():
        return "it is a directory"
    try:
        with open(path, "rb") as f:
            head = f.read(16)
    except PermissionError:
        raise
    except OSError as e:
        return "it cannot be read: {}".format(_first_line(e))
    if head[8:12] == _MAGIC:
        return None
    if not head:
        return "the file is empty"
    for magic, what in _OTHER_FORMATS:
        if head.startswith(magic):
            return "the file is {}, not a market-data store".format(what)
    return "the file is not a market-data store: it is not a DuckDB database"


def _is_lock_error(e: BaseException) -> bool:
    text = str(e).lower()
    return "lock" in text and ("conflicting" in text or "could not set" in text or "held" in text)


def _is_permission_error(e: BaseException) -> bool:
    text = str(e).lower()
    return "permission denied" in text or "read-only file system" in text


def _is_damage(e: BaseException) -> bool:
    if isinstance(e, (duckdb.SerializationException, duckdb.InternalException)):
        return True
    text = str(e).lower()
    return any(w in text for w in ("corrupt", "checksum", "could not read enough bytes", "not a valid duckdb",
                                   "invalid block", "failed to read", "serializ"))


def open_store(path: str | os.PathLike, read_only: bool = True) -> duckdb.DuckDBPyConnection:
    """A DuckDB connection to the store file ``path`` with extensions and external access off.

    A file that does not exist yet is created (``read_only=False`` only). Raises
    ``NotAStore`` for a file that is not a DuckDB database, ``StoreDamaged`` for
    one that cannot be read back, ``StoreBusy`` for one another connection
    holds, ``StoreNotWritable`` when this process may not write it.
    """
    p = Path(path)
    if p.exists():
        try:
            reason = _sniff(p)
        except PermissionError as e:
            raise StoreNotWritable("cannot read the store {}: permission denied ({})".format(
                p, _first_line(e))) from None
        if reason is not None:
            raise not_a_store(p, reason)
    elif read_only:
        raise StoreMissing("no market-data store at {}; create one with: python -m ostrel generate --out {}"
                           .format(p, p))
    try:
        return duckdb.connect(os.fspath(p), read_only=read_only, config=dict(CONNECTION_CONFIG))
    except duckdb.ConnectionException as e:
        raise StoreBusy("the store {} is open in this process through another connection; close it and "
                        "retry ({})".format(p, _first_line(e))) from None
    except duckdb.Error as e:
        raise _classify(p, e, write=not read_only, opening=True) from None


def _classify(path: Path, e: BaseException, write: bool, opening: bool = False) -> Exception:
    """The store error for a DuckDB error raised on ``path`` (or ``e`` itself when it is no store fault)."""
    if isinstance(e, StoreError):
        return e
    if _is_lock_error(e):
        return busy(path, _first_line(e), write)
    if _is_permission_error(e):
        return not_writable(path, e)
    if opening and isinstance(e, duckdb.PermissionException):
        # a format DuckDB would need an extension for: never loaded
        return not_a_store(path, "DuckDB would need an extension to read it ({})".format(_first_line(e)))
    if _is_damage(e) or (opening and isinstance(e, duckdb.IOException)):
        return damaged(path, e)
    return e


def check_tables(con: Any, path: str | os.PathLike, tables: Iterable[str]) -> None:
    """Raises ``NotAStore`` unless every table of the store layout is present."""
    try:
        have = {r[0] for r in con.execute("SELECT table_name FROM information_schema.tables").fetchall()}
    except duckdb.Error as e:
        raise _classify(Path(path), e, write=False) from None
    missing = [t for t in tables if t not in have]
    if missing:
        raise not_a_store(path, "table(s) {} are missing".format(missing))


def check_writable(path: str | os.PathLike) -> None:
    """Raises ``StoreNotWritable`` when a store could not be created at or written to ``path``."""
    p = Path(path).absolute()
    parent = p.parent
    while not parent.exists() and parent != parent.parent:
        parent = parent.parent
    if not os.access(parent, os.W_OK | os.X_OK):
        raise StoreNotWritable("cannot write the store {}: the directory {} is read-only; choose a writable "
                               "location or change its permissions".format(path, parent))
    if p.exists() and not os.access(p, os.W_OK):
        raise StoreNotWritable("cannot write the store {}: the file is read-only; choose a writable location "
                               "or change its permissions".format(path))


class GuardedConnection:
    """A store connection (or cursor) whose DuckDB errors name the store they come from."""

    __slots__ = ("_con", "_path")

    def __init__(self, con: Any, path: Path) -> None:
        self._con = con
        self._path = path

    def __getattr__(self, name: str) -> Any:
        attr = getattr(self._con, name)
        if not callable(attr):
            return attr
        con, path = self._con, self._path

        def call(*args: Any, **kwargs: Any) -> Any:
            try:
                out = attr(*args, **kwargs)
            except duckdb.Error as e:
                raise _classify(path, e, write=False) from None
            if out is con:
                return self
            if isinstance(out, duckdb.DuckDBPyConnection):
                return GuardedConnection(out, path)
            return out

        return call


def verify(con: Any | None = None) -> dict[str, int]:
    """Reads every column of every table of the store once; returns the row counts.

    Raises ``StoreDamaged`` when any part of the file cannot be read back.
    """
    from .schema import TABLES

    con = connection() if con is None else con
    counts = {}
    for table, cols in TABLES.items():
        aggs = ", ".join("count({})".format(c) for c, _ in cols) + ", " + ", ".join(
            "min({})".format(c) for c, _ in cols)
        counts[table] = int(con.execute("SELECT count(*), {} FROM {}".format(aggs, table)).fetchone()[0])
    return counts


# ----------------------------------------------------------------------------------------------
# the process's store


def init(path: str | os.PathLike | None = None) -> Path:
    """打开行情数据库。``path`` 为空时依次使用环境变量 OSTREL_DATA 与默认目录。

    Raises ``StoreMissing``, ``NotAStore`` ("not an ostrel store: PATH"),
    ``StoreDamaged`` ("store PATH is damaged: ..."), ``StoreBusy`` or
    ``StoreNotWritable`` when the store cannot be used.
    """
    with _lock:
        if _state["con"] is not None:
            _state["con"].close()
            _state["con"] = None
        _state["path"] = os.fspath(path) if path is not None else None
    connection()
    return _configured_path()


def close() -> None:
    with _lock:
        if _state["con"] is not None:
            _state["con"].close()
        _state["con"] = None
        _state["path"] = None


def release() -> None:
    """Closes the cached connection but keeps the configured path; the next query reopens it.

    A writer needs this: DuckDB refuses a read-write connection to a file this
    process still holds open read-only.
    """
    with _lock:
        if _state["con"] is not None:
            _state["con"].close()
        _state["con"] = None


def is_open() -> bool:
    if _state["con"] is not None:
        return True
    return _configured_path().exists()


def connection() -> GuardedConnection:
    """The open store, opened read-only on first use."""
    from .schema import TABLES

    with _lock:
        if _state["con"] is None:
            path = _configured_path()
            con = open_store(path, read_only=True)
            try:
                check_tables(con, path, TABLES)
            except BaseException:
                con.close()
                raise
            _state["con"] = con
            _state["opened"] += 1
        return GuardedConnection(_state["con"].cursor(), _configured_path())
