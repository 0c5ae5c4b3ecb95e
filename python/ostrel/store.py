"""Location and connection of the local market-data store (a DuckDB file)."""

from __future__ import annotations

import os
import threading
from pathlib import Path

import duckdb

__all__ = ["default_data_path", "init", "connection", "is_open", "close", "release", "StoreMissing"]

_lock = threading.Lock()
# "opened" counts connections made, so caches of what a connection read can tell a reopened store
# from the one they read (id() of a new connection object may repeat an old one).
_state: dict = {"path": None, "con": None, "opened": 0}


class StoreMissing(FileNotFoundError):
    """No market-data store at the configured location."""


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


def init(path: str | os.PathLike | None = None) -> Path:
    """打开行情数据库。``path`` 为空时依次使用环境变量 OSTREL_DATA 与默认目录。"""
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


def connection() -> duckdb.DuckDBPyConnection:
    """The open store, opened read-only on first use."""
    with _lock:
        if _state["con"] is None:
            path = _configured_path()
            if not path.exists():
                raise StoreMissing(
                    "no market-data store at {}; create one with: python -m ostrel generate --out {}"
                    .format(path, path))
            _state["con"] = duckdb.connect(os.fspath(path), read_only=True)
            _state["opened"] += 1
        return _state["con"].cursor()
