"""Table layout of the market-data store: one definition used by every writer."""

from __future__ import annotations

from typing import Any

from . import STYLE_FACTORS

__all__ = ["TABLES", "KEYS", "create_tables", "add_missing_columns", "insert_frame"]

# table -> ((column, SQL type), ...); column order is the order of SELECT * and of exports
TABLES: dict[str, tuple[tuple[str, str], ...]] = {
    "calendar": (("date", "DATE"),),
    "instruments": (("order_book_id", "VARCHAR"), ("symbol", "VARCHAR"), ("type", "VARCHAR"),
                    ("listed_date", "DATE"), ("de_listed_date", "DATE")),
    "bars": (("order_book_id", "VARCHAR"), ("date", "DATE"), ("open", "DOUBLE"), ("high", "DOUBLE"),
             ("low", "DOUBLE"), ("close", "DOUBLE"), ("volume", "DOUBLE"), ("total_turnover", "DOUBLE"),
             ("adj_factor", "DOUBLE"), ("shares", "DOUBLE")),
    "styles": (("order_book_id", "VARCHAR"), ("date", "DATE"))
    + tuple((f, "DOUBLE") for f in STYLE_FACTORS),
    "industry_citics": (("industry_name", "VARCHAR"), ("order_book_id", "VARCHAR"), ("start_date", "DATE")),
    "industry_sws": (("industry_name", "VARCHAR"), ("order_book_id", "VARCHAR"), ("start_date", "DATE"),
                     ("version", "INTEGER")),
}

# columns that identify a row; an import replaces the stored rows with the same key
KEYS: dict[str, tuple[str, ...]] = {
    "calendar": ("date",),
    "instruments": ("order_book_id",),
    "bars": ("order_book_id", "date"),
    "styles": ("order_book_id", "date"),
    "industry_citics": ("order_book_id", "start_date"),
    "industry_sws": ("order_book_id", "start_date", "version"),
}


def create_tables(con: Any) -> None:
    """Creates every table (empty) on a DuckDB connection."""
    for name, cols in TABLES.items():
        defs = ", ".join("{} {}{}".format(c, t, " NOT NULL" if c in KEYS[name] else "") for c, t in cols)
        con.execute("CREATE TABLE {} ({})".format(name, defs))


def add_missing_columns(con: Any) -> None:
    """Adds the columns a store written by an earlier layout lacks (as NULL), so imports into it work."""
    have: dict[str, set[str]] = {}
    for table, column in con.execute("SELECT table_name, column_name FROM information_schema.columns").fetchall():
        have.setdefault(table, set()).add(column)
    for name, cols in TABLES.items():
        if name not in have:
            continue
        for c, t in cols:
            if c not in have[name]:
                con.execute("ALTER TABLE {} ADD COLUMN {} {}".format(name, c, t))


def insert_frame(con: Any, table: str, frame: Any) -> None:
    """Appends a pandas frame to ``table``, matching columns by name (absent columns become NULL)."""
    con.register("_ostrel_src", frame)
    try:
        con.execute("INSERT INTO {} BY NAME SELECT * FROM _ostrel_src".format(table))
    finally:
        con.unregister("_ostrel_src")
