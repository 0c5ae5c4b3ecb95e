"""Derived daily fields of the market-data client (vwap, returns, shares, cap, turnover_rate),
and share counts through the store layout, the generator and the importers."""

import duckdb
import numpy as np
import pandas as pd
import pytest

import ostrel
from ostrel import generate, importers, store

DERIVED = ["vwap", "returns", "shares", "cap", "turnover_rate"]


@pytest.fixture(scope="module")
def tables():
    return generate.simulate(10, "2021-01-01", "2021-04-30", 11, progress=False)


@pytest.fixture()
def gen_store(tables, tmp_path):
    saved = store._state["path"]
    store.release()
    path = tmp_path / "m.duckdb"
    generate.write_store(tables, str(path))
    ostrel.init(path)
    yield path
    store.release()
    if saved is not None:
        ostrel.init(saved)


def test_default_fields_are_the_daily_fields(gen_store):
    ids = sorted(ostrel.all_instruments(type="CS")["order_book_id"])
    assert list(ostrel.get_panel(None, ids, "2021-02-01", "2021-02-26")) == list(ostrel.DAILY_FIELDS)


def test_derived_fields_from_the_bars(gen_store, tables):
    ids = sorted(ostrel.all_instruments(type="CS")["order_book_id"])
    s, e = "2021-02-01", "2021-04-30"
    got = ostrel.get_panel(DERIVED, ids, s, e)
    b = tables["bars"]
    b = b[b["order_book_id"].isin(ids)].assign(date=lambda d: pd.to_datetime(d["date"]))
    wide = lambda col: b.pivot(index="date", columns="order_book_id", values=col).reindex(
        index=got["cap"].index, columns=ids)
    close, adj, sh = wide("close"), wide("adj_factor"), wide("shares")
    vol, turn = wide("volume"), wide("total_turnover")
    np.testing.assert_allclose(got["shares"], sh, equal_nan=True)
    np.testing.assert_allclose(got["cap"], close * sh, rtol=1e-12, equal_nan=True)
    np.testing.assert_allclose(got["turnover_rate"], vol / sh, rtol=1e-12, equal_nan=True)
    np.testing.assert_allclose(got["vwap"], (turn / vol.where(vol > 0)) * adj, rtol=1e-12, equal_nan=True)
    # returns of the first date come from the bar of the trading date before it
    all_dates = pd.DatetimeIndex(pd.to_datetime(ostrel.get_trading_dates("2021-01-04", e)))
    post = b.pivot(index="date", columns="order_book_id", values="close").reindex(index=all_dates, columns=ids) \
        * b.pivot(index="date", columns="order_book_id", values="adj_factor").reindex(index=all_dates, columns=ids)
    want = (post / post.shift(1) - 1).loc[got["returns"].index]
    np.testing.assert_allclose(got["returns"], want, rtol=1e-12, equal_nan=True)
    assert np.isfinite(got["returns"].iloc[0]).any()
    # vwap is adjusted like the prices whatever adjust_type asks for
    raw = ostrel.get_panel(["vwap", "close"], ids, s, e, adjust_type="none")
    post_ = ostrel.get_panel(["vwap", "close"], ids, s, e, adjust_type="post")
    np.testing.assert_allclose(post_["vwap"] / raw["vwap"], post_["close"] / raw["close"], rtol=1e-12,
                               equal_nan=True)


def test_store_without_share_counts_says_so(gen_store):
    ids = sorted(ostrel.all_instruments(type="CS")["order_book_id"])
    store.release()
    con = duckdb.connect(str(gen_store))
    con.execute("ALTER TABLE bars DROP COLUMN shares")
    con.close()
    ostrel.init(gen_store)
    assert not ostrel.get_panel(["close", "vwap"], ids, "2021-02-01", "2021-02-26")["close"].empty
    with pytest.raises(ValueError, match="share counts"):
        ostrel.get_panel(["cap"], ids, "2021-02-01", "2021-02-26")
    # an import into that store adds the column; bars without shares leave it empty
    bars = ostrel.get_price(ids[:2], "2021-02-01", "2021-02-05", adjust_type="none").reset_index()
    path = gen_store.parent / "bars.csv"
    bars.assign(shares=1e8).to_csv(path, index=False)
    store.release()
    importers.import_file("bars", path, store=gen_store)
    ostrel.init(gen_store)
    cap = ostrel.get_panel(["cap", "close"], ids[:2], "2021-02-01", "2021-02-05")
    np.testing.assert_allclose(cap["cap"], cap["close"] * 1e8, rtol=1e-12)


def test_import_refuses_bad_share_counts(gen_store, tmp_path):
    ids = sorted(ostrel.all_instruments(type="CS")["order_book_id"])
    bars = ostrel.get_price(ids[:1], "2021-02-01", "2021-02-03", adjust_type="none").reset_index()
    bars["shares"] = [-1.0] + [np.nan] * (len(bars) - 1)
    path = tmp_path / "bad.csv"
    bars.to_csv(path, index=False)
    store.release()
    with pytest.raises(importers.InvalidImportFile, match="shares"):
        importers.import_file("bars", path, store=gen_store)
