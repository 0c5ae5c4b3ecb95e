"""The analysis module's market-data layer: the client looked up when called, its call
conventions, the checks of its replies and the client's cache around the industry loaders."""

from __future__ import annotations

import re
import sys
import types
import warnings

import numpy as np
import pandas as pd
import pytest

import ostrel
import ostrel.decorators
from zarnik.analysis import assayer, market_data

DATES = pd.bdate_range("2022-03-01", periods=8)
IDS = ["A", "B", "C"]


def long_prices(wide: pd.DataFrame, field: str = "close") -> pd.DataFrame:
    """A dates x instruments table as the client's (order_book_id, date) price frame."""
    return wide.rename_axis(index="date", columns="order_book_id").T.stack().to_frame(field)


class Client(types.ModuleType):
    """A stand-in for the whole client package, recording every call."""

    def __init__(self, closes: pd.DataFrame, exposure: pd.DataFrame, kind: str = "INDX"):
        super().__init__("ostrel")
        self.closes, self.exposure, self.kind, self.calls = closes, exposure, kind, []
        self.index_closes = closes.mean(axis=1)
        self.client = types.SimpleNamespace(get_client=lambda: types.SimpleNamespace(execute=self.execute))

    def execute(self, query):
        self.calls.append(("execute", (query,), {}))
        return [("银行", "A", "2020-01-02"), ("电子", "B", "2020-01-02")]

    def get_next_trading_date(self, *args, **kwargs):
        self.calls.append(("next", args, kwargs))
        return DATES[-1]

    def get_previous_trading_date(self, *args, **kwargs):
        self.calls.append(("previous", args, kwargs))
        return DATES[0]

    def get_price(self, *args, **kwargs):
        self.calls.append(("price", args, kwargs))
        if args:  # an index: its prices alone, in the requested field
            return long_prices(self.index_closes.to_frame(args[0]), kwargs["fields"][0])
        return long_prices(self.closes)

    def get_style_factor_exposure(self, *args, **kwargs):
        self.calls.append(("style", args, kwargs))
        return self.exposure

    def instruments(self, *args, **kwargs):
        self.calls.append(("instruments", args, kwargs))
        return types.SimpleNamespace(type=self.kind)


@pytest.fixture
def client(monkeypatch):
    rng = np.random.default_rng(7)
    closes = pd.DataFrame(rng.uniform(5, 15, (len(DATES), len(IDS))), index=DATES, columns=IDS)
    exposure = pd.DataFrame(rng.normal(size=(len(DATES) * len(IDS), 2)), columns=["size", "beta"],
                            index=pd.MultiIndex.from_product([IDS, DATES], names=["order_book_id", "date"]))
    fake = Client(closes, exposure)
    monkeypatch.setitem(sys.modules, "ostrel", fake)
    return fake


def factor_frame(dates=DATES[1:5]) -> pd.DataFrame:
    values = np.arange(len(dates) * len(IDS), dtype=float).reshape(len(dates), len(IDS)) % 5
    return pd.DataFrame(values, index=pd.DatetimeIndex(dates, name="datetime"),
                        columns=pd.Index(IDS, name="order_book_id"))


def test_daily_returns_come_from_a_substituted_client_module(client):
    got = assayer._load_daily_returns(factor_frame(), [1, 3])
    expected = client.closes.pct_change().iloc[1:]
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-15)
    assert list(got.index) == list(DATES[1:])
    assert [c[0] for c in client.calls] == ["next", "previous", "price"]
    assert client.calls[0][1] == (DATES[4], 3) and client.calls[1][1] == (DATES[1],)
    # every argument of the close prices by keyword
    assert client.calls[2][1] == ()
    kwargs = dict(client.calls[2][2])
    assert list(kwargs.pop("order_book_ids")) == IDS
    assert kwargs == dict(start_date=DATES[0], end_date=DATES[-1], fields="close", adjust_type="post", expect_df=True)


@pytest.mark.parametrize("kind, kept", [("INDX", True), ("CS", False)])
def test_benchmark_type_and_returns_from_a_substituted_client_module(client, kind, kept):
    client.kind = kind
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        step = assayer.QuantileReturnAnalysis(benchmark="000300.XSHG")
    assert client.calls[0] == ("instruments", ("000300.XSHG",), {})
    assert step.benchmark == ("000300.XSHG" if kept else None)
    assert [str(w.message) for w in caught] == (
        [] if kept else ["Invalid benchmark: 000300.XSHG is not INDX order_book_id."])
    if not kept:
        return
    series = step._load_benchmark_series(DATES[2:])
    name, args, kwargs = client.calls[-1]
    assert (name, args) == ("price", ("000300.XSHG",))
    assert kwargs == dict(start_date=DATES[2].date(), end_date=DATES[-1].date(), frequency="1d", fields=["close"],
                          expect_df=True)
    close = client.index_closes.to_numpy()
    expected = [0.0] + [close[i] / close[i - 1] - 1 for i in range(3, len(DATES))]
    assert series.name == "000300.XSHG" and list(series.index) == list(DATES[2:])
    np.testing.assert_allclose(series.to_numpy(), expected, rtol=1e-15)


@pytest.mark.parametrize("step", ["style", "neutralization"])
def test_style_exposures_from_a_substituted_client_module(client, step):
    frame = factor_frame()
    if step == "style":
        assayer.QuantileStyleAnalysis(quantile=2).analysis(frame, None, [1])
        # every factor: the three positional arguments
        [(name, (ids, start, end), kwargs)] = client.calls
        assert (name, list(ids), start, end, kwargs) == ("style", IDS, DATES[1], DATES[4], {})
    else:
        assayer.Neutralization(industry=None, style_factors=["size"]).process(frame)
        # a selection: keywords
        assert client.calls == [("style", (), dict(order_book_ids=IDS, start_date=DATES[1], end_date=DATES[4],
                                                   factors=["size"]))]


@pytest.mark.parametrize("reply", [None, [1.0, 2.0], pd.Series([1.0]), {"size": [1.0]}])
@pytest.mark.parametrize("step", ["style", "neutralization"])
def test_a_style_reply_that_is_no_frame_is_refused(client, step, reply):
    client.exposure = reply
    message = f"^{re.escape(f'get_style_factor_exposure: expected a DataFrame, got {type(reply)}')}$"
    with pytest.raises(TypeError, match=message):
        if step == "style":
            assayer.QuantileStyleAnalysis().analysis(factor_frame(), None, [1])
        else:
            assayer.Neutralization(industry=None).process(factor_frame())


def test_no_close_prices_names_the_span(client, monkeypatch):
    monkeypatch.setattr(client, "get_price", lambda **kw: None)
    message = f"returns: no close prices from {DATES[0]} to {DATES[-1]} for the factor's instruments"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        assayer._load_daily_returns(factor_frame(), 1)


@pytest.fixture
def fresh_caches():
    ostrel.decorators.clear_all()
    yield
    ostrel.decorators.clear_all()  # nothing read from a stand-in stays cached


@pytest.mark.parametrize("sws", [False, True])
def test_industry_loaders_use_the_clients_cache(client, fresh_caches, sws):
    if sws:
        client.execute = lambda query: (client.calls.append(("execute", (query,), {})) or
                                        [("银行", "A", "2022-01-04", 3)])
    source = "sws" if sws else "citics_2019"
    query = "__internal__shenwan_industry" if sws else "__internal__zx2019_industry"
    first = assayer.get_all_industry_data(source)
    assert assayer.get_all_industry_data(source) is first
    assert client.calls == [("execute", (query,), {})]
    ostrel.decorators.clear_all()  # the client's own registry of caches holds the loader's cache
    second = assayer.get_all_industry_data(source)
    assert second is not first and second.equals(first)
    assert len(client.calls) == 2


def test_the_node_module_and_the_analysis_module_bind_the_client():
    import zarnik.interface as interface

    assert interface.ostrel is ostrel and assayer.ostrel is ostrel
    assert assayer.ttl_cache is ostrel.decorators.ttl_cache
    assert market_data.INDUSTRY_CACHE_SECONDS == 10800
