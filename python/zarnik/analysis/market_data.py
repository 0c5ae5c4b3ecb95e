"""Market data of the analysis module: every call of the market-data client.

The extension modules reach the client package ``ostrel`` only through the
functions here (the node module binds :func:`client` as its ``ostrel`` global;
the analysis steps call the rest).

* The client is looked up when a function runs (``sys.modules["ostrel"]``, an
  import the first time) and its functions are read as attributes of that
  module object, so replacing ``ostrel.get_price``,
  ``ostrel.get_style_factor_exposure``, ``ostrel.client``, ... substitutes the
  data for every step at once, without reloading anything.
* Arguments are passed on as the steps hold them (time stamps of the factor
  index, dates, user values); errors raised by the client reach the caller
  unchanged. Only the shape of a reply the steps depend on is checked here.
* The two industry tables are cached by the client's own
  ``ostrel.decorators.ttl_cache`` (:func:`industry_cache`) around the analysis
  module's loaders; nothing else is cached.
* Replies that need reshaping (pivots, forward fills, version filters) are
  handed to the pure-pandas module :mod:`zarnik.analysis.market_tables`, which
  never calls the client itself.
* A new market-data field is one more function here; a step calls that
  function and never the client directly.

Nothing here is a fast path: these functions run once per loaded table, and
the numerics on the dense matrices built from their replies stay in the core.
"""

from __future__ import annotations

import importlib
import sys
from typing import Any, Callable

import pandas as pd

from . import market_tables

__all__ = ["client", "ttl_cache", "industry_cache", "INDUSTRY_CACHE_SECONDS", "industry_records",
           "industry_history", "industry_codes", "industry_on_dates", "close_prices", "next_trading_date",
           "previous_trading_date", "style_exposure", "is_index", "index_prices", "benchmark_returns"]

# How long the industry tables are kept (seconds): they change a few times a year.
INDUSTRY_CACHE_SECONDS = 10800

_ALL_FACTORS = object()  # style_exposure(): no selection of factors


def client() -> Any:
    """The client package ``ostrel`` as it is in ``sys.modules`` now (imported the first time)."""
    return sys.modules.get("ostrel") or importlib.import_module("ostrel")


def ttl_cache() -> Callable:
    """``ostrel.decorators.ttl_cache``: the decorator factory, called as ``ttl_cache(seconds)``."""
    return importlib.import_module("ostrel.decorators").ttl_cache


def industry_cache(loader: Callable) -> Callable:
    """``loader`` wrapped in the client's cache of :data:`INDUSTRY_CACHE_SECONDS` seconds."""
    return ttl_cache()(INDUSTRY_CACHE_SECONDS)(loader)


def industry_records(sws: bool) -> Any:
    """The raw industry records of the CITICS 2019 or (``sws``) the Shenwan classification.

    ``ostrel.client.get_client().execute(query)``, ``client`` read as an
    attribute of the package first (so that it can be substituted), else imported.
    """
    ostrel = client()
    client_mod = ostrel.client if hasattr(ostrel, "client") else importlib.import_module("ostrel.client")
    query = "__internal__shenwan_industry" if sws else "__internal__zx2019_industry"
    return client_mod.get_client().execute(query)


def industry_history(sws: bool, field: str) -> pd.DataFrame:
    """Every industry assignment of one classification, the industry name in
    column ``field``, sorted by instrument and start date."""
    sws = bool(sws)
    return market_tables.industry_history(industry_records(sws), sws, field)


def industry_codes(history: pd.DataFrame, field: str) -> pd.DataFrame:
    """The industry code table of an industry history (change dates x instruments)."""
    return market_tables.industry_codes(history, field)


def industry_on_dates(history: pd.DataFrame, field: str, order_book_ids: Any, dates: Any) -> pd.Series:
    """The industry name of each (date, instrument) of an industry history."""
    return market_tables.industry_on_dates(history, field, order_book_ids, dates)


def next_trading_date(date: Any, n: Any) -> Any:
    """The trading date ``n`` trading days after ``date``."""
    return client().get_next_trading_date(date, n)


def previous_trading_date(date: Any) -> Any:
    """The trading date before ``date``."""
    return client().get_previous_trading_date(date)


def close_prices(order_book_ids: Any, first: Any, last: Any, after: Any) -> pd.DataFrame:
    """Post-adjusted daily close prices of ``order_book_ids`` from the trading
    date before ``first`` to the one ``after`` trading days after ``last``.

    ``get_price(..., fields="close", adjust_type="post", expect_df=True)``, as a
    dates x instruments table with both axes ascending.

    :raises ValueError: when the client has no prices for that span
    """
    end = next_trading_date(last, after)
    start = previous_trading_date(first)
    prices = client().get_price(order_book_ids=order_book_ids, start_date=start, end_date=end, fields="close",
                                adjust_type="post", expect_df=True)
    if prices is None:
        raise ValueError(f"returns: no close prices from {start} to {end} for the factor's instruments")
    return market_tables.close_table(prices)


def style_exposure(order_book_ids: Any, start: Any, end: Any, factors: Any = _ALL_FACTORS) -> pd.DataFrame:
    """The client's style exposure table, indexed by (order_book_id, date), one
    column per style factor.

    Every factor (the client called with the three positional arguments), or
    the selection ``factors`` (called with keywords).

    :raises TypeError: when the reply is not a DataFrame
    """
    get = client().get_style_factor_exposure
    if factors is _ALL_FACTORS:
        table = get(order_book_ids, start, end)
    else:
        table = get(order_book_ids=order_book_ids, start_date=start, end_date=end, factors=factors)
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"get_style_factor_exposure: expected a DataFrame, got {type(table)}")
    return table


def is_index(order_book_id: Any) -> bool:
    """Whether the client knows ``order_book_id`` as an index (instrument type ``INDX``)."""
    inst = client().instruments(order_book_id)
    return inst is not None and bool(getattr(inst, "type", None) == "INDX")


def index_prices(order_book_id: Any, start: Any, end: Any, frequency: Any, field: str) -> Any:
    """Prices of one index from ``start`` to ``end`` at ``frequency``.

    ``get_price(id, start_date=, end_date=, frequency=, fields=[field], expect_df=True)``;
    None when the client has none.
    """
    return client().get_price(order_book_id, start_date=start, end_date=end, frequency=frequency, fields=[field],
                              expect_df=True)


def benchmark_returns(prices: pd.DataFrame, field: str, index: Any, name: Any) -> pd.Series:
    """The daily change of the ``field`` prices of :func:`index_prices` carried onto ``index``, named ``name``."""
    return market_tables.benchmark_returns(prices, field, index, name)
