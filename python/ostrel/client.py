"""Query client: named queries answered from the open store."""

from __future__ import annotations

from typing import Any

__all__ = ["Client", "get_client"]

_QUERIES = {
    "__internal__zx2019_industry":
        "SELECT industry_name, order_book_id, start_date FROM industry_citics "
        "ORDER BY order_book_id, start_date",
    "__internal__shenwan_industry":
        "SELECT industry_name, order_book_id, start_date, version FROM industry_sws "
        "ORDER BY order_book_id, start_date, version",
}


class Client:
    """执行命名查询的客户端。"""

    def execute(self, query: str, *args: Any) -> list[tuple]:
        """Runs a named query; returns a list of records (tuples)."""
        from . import store

        sql = _QUERIES.get(query)
        if sql is None:
            raise ValueError("unknown query {!r}, expected one of {}".format(query, sorted(_QUERIES)))
        rows = store.connection().execute(sql).fetchall()
        import pandas as pd

        return [tuple(pd.Timestamp(v) if i == 2 else v for i, v in enumerate(r)) for r in rows]


_client = Client()


def get_client() -> Client:
    return _client
