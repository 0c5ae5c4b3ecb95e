import datetime as dt

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats

import ostrel
from ostrel import store
from ostrel.decorators import ttl_cache


@pytest.fixture()
def no_store(monkeypatch, tmp_path):
    saved = dict(store._state)
    store._state.update(path=None, con=None)
    monkeypatch.setenv("OSTREL_DATA", str(tmp_path / "absent.duckdb"))
    yield
    store._state.update(saved)


@pytest.mark.parametrize("date", ["2024-10-08", dt.date(2024, 10, 8), dt.datetime(2024, 10, 8, 15, 0),
                                  pd.Timestamp("2024-10-08"), np.datetime64("2024-10-08")])
def test_exchange_calendar_skips_national_day_holiday(no_store, date):
    # 2024-10-01..07 is the National Day holiday on the Shanghai exchange
    assert ostrel.get_previous_trading_date(date) == dt.date(2024, 9, 30)
    days = ostrel.get_trading_dates("2024-09-28", date)
    assert [d.date() for d in days] == [dt.date(2024, 9, 30), dt.date(2024, 10, 8)]


@pytest.mark.parametrize("bad, exc", [("not a date", ValueError), (3.5, TypeError), ("1800-01-01", ValueError)])
def test_calendar_rejects_bad_dates(no_store, bad, exc):
    with pytest.raises(exc):
        ostrel.get_trading_dates(bad, "2024-01-10")


def test_missing_store_tells_the_command(no_store):
    with pytest.raises(FileNotFoundError, match="python -m ostrel generate --out"):
        ostrel.instruments("600000.XSHG")


def test_ttl_cache_shares_and_expires():
    now = [0.0]
    calls = []

    @ttl_cache(10, clock=lambda: now[0])
    def load(source="a"):
        calls.append(source)
        return object()

    first = load("a")
    assert load(source="a") is first and load() is first
    assert len(calls) == 1
    now[0] = 10.5
    assert load("a") is not first
    assert len(calls) == 2


def test_store_calendar_and_shifts(small_store):
    days = ostrel.get_trading_dates("2021-01-01", "2022-06-30")
    assert days.is_monotonic_increasing and len(days) > 300
    d = days[100].date()
    assert ostrel.get_next_trading_date(d, 3) == days[103].date()
    assert ostrel.get_previous_trading_date(d, 2) == days[98].date()
    assert len(ostrel.get_trading_dates("2021-06-06", "2021-06-05")) == 0


def test_price_adjustments_are_consistent(small_store):
    ids = [i for i in ostrel.all_instruments("CS")["order_book_id"]][:20]
    post = ostrel.get_price(order_book_ids=ids, start_date="2021-01-01", end_date="2022-06-30", fields="close",
                            adjust_type="post", expect_df=True)["close"]
    pre = ostrel.get_price(ids, "2021-01-01", "2022-06-30", fields=["close"], adjust_type="pre")["close"]
    raw = ostrel.get_price(ids, "2021-01-01", "2022-06-30", fields="close", adjust_type="none")["close"]
    assert post.index.names == ["order_book_id", "date"]
    assert (raw > 0).all() and post.notna().all()
    # post / pre is one constant per instrument; post >= raw since factors only grow
    ratio = (post / pre).groupby(level=0).agg(["min", "max"])
    np.testing.assert_allclose(ratio["min"], ratio["max"], rtol=1e-12)
    assert (post >= raw * (1 - 1e-12)).all()


def test_unknown_ids_left_out_and_no_data_is_none(small_store):
    df = ostrel.get_price(["600000.XSHG", "999999.XSHG"], "2021-01-01", "2021-03-01", fields="close")
    assert df is None or set(df.index.get_level_values(0)) <= {"600000.XSHG"}
    assert ostrel.get_price(["999999.XSHG"], "2021-01-01", "2021-03-01", fields="close") is None
    assert ostrel.get_price("000300.XSHG", start_date="2021-01-04", end_date="2021-01-05", frequency="1m",
                            fields=["close"], expect_df=True) is None
    assert ostrel.instruments("999999.XSHG") is None
    assert ostrel.instruments("000300.XSHG").type == "INDX"
    with pytest.raises(ValueError, match="unknown field"):
        ostrel.get_price(["600000.XSHG"], "2021-01-01", "2021-03-01", fields="vwap")


def test_panel_matches_get_price(small_store):
    ids = list(ostrel.all_instruments("CS")["order_book_id"][:15]) + ["nope"]
    panel = ostrel.get_panel(["close", "volume"], ids, "2021-03-01", "2021-06-30")
    long = ostrel.get_price(ids, "2021-03-01", "2021-06-30", fields=["close", "volume"], adjust_type="post")
    wide = long["close"].unstack(0).reindex(index=panel["close"].index, columns=ids)
    pd.testing.assert_frame_equal(panel["close"], wide, check_names=False, check_freq=False)
    assert panel["close"]["nope"].isna().all()


def test_style_exposure_forms(small_store):
    ids = list(ostrel.all_instruments("CS")["order_book_id"][:5])
    kw = ostrel.get_style_factor_exposure(order_book_ids=ids, start_date="2021-05-01", end_date="2021-05-31",
                                          factors=["beta", "size"])
    assert list(kw.columns) == ["beta", "size"] and kw.index.names == ["order_book_id", "date"]
    pos = ostrel.get_style_factor_exposure(ids, "2021-05-01", "2021-05-31")
    assert list(pos.columns) == list(ostrel.STYLE_FACTORS)
    pd.testing.assert_frame_equal(kw, pos[["beta", "size"]])


def test_industry_queries(small_store):
    cli = ostrel.client.get_client()
    cit = cli.execute("__internal__zx2019_industry")
    sws = cli.execute("__internal__shenwan_industry")
    assert all(len(r) == 3 for r in cit) and all(len(r) == 4 for r in sws)
    assert {r[3] for r in sws} <= {1, 2, 3}
    weekend = [r for r in cit if pd.Timestamp(r[2]).day_of_week >= 5]
    assert weekend, "some reclassifications should be dated on non-trading days"
    with pytest.raises(ValueError, match="unknown query"):
        cli.execute("DROP TABLE bars")


def test_planted_reversal_and_fat_tails(small_store):
    ids = list(ostrel.all_instruments("CS")["order_book_id"])
    close = ostrel.get_panel(["close"], ids, "2021-01-01", "2022-06-30")["close"]
    r = close.pct_change(fill_method=None)
    rev = -(close / close.shift(5) - 1)
    ics = rev.iloc[5:-1].rank(axis=1).corrwith(r.shift(-1).iloc[5:-1].rank(axis=1), axis=1).dropna()
    t = stats.ttest_1samp(ics, 0.0)
    assert ics.mean() > 0 and t.pvalue < 0.01
    flat = r.stack().dropna().to_numpy()
    assert stats.kurtosis(flat) > 0  # excess kurtosis: heavier tails than normal
    assert (close.stack().dropna() > 0).all()


@pytest.mark.parametrize("adjust_type", ["pre", "none"])
def test_panel_adjustments_match_get_price(small_store, adjust_type):
    ids = list(ostrel.all_instruments("CS")["order_book_id"][:10])
    panel = ostrel.get_panel(["close", "volume"], ids, "2021-03-01", "2022-03-01", adjust_type=adjust_type)
    long = ostrel.get_price(ids, "2021-03-01", "2022-03-01", fields=["close", "volume"], adjust_type=adjust_type)
    for f in ("close", "volume"):
        wide = long[f].unstack(0).reindex(index=panel[f].index, columns=ids)
        np.testing.assert_allclose(panel[f].to_numpy(), wide.to_numpy(), rtol=1e-12, equal_nan=True)


def _sorted_reference(table, columns, ids, start, end, factor_sql="1.0"):
    """Independent long form: the database sorts, pandas builds the index from strings."""
    from ostrel import store

    cols = ", ".join("{} * ({}) AS {}".format(c, factor_sql, c) if c in ("open", "high", "low", "close")
                     else c for c in columns)
    df = store.connection().execute(
        "SELECT order_book_id, date, {} FROM {} WHERE order_book_id IN (SELECT unnest(?::VARCHAR[])) "
        "AND date BETWEEN ? AND ? ORDER BY order_book_id, date".format(cols, table),
        [list(ids), pd.Timestamp(start).date(), pd.Timestamp(end).date()]).df()
    if df.empty:
        return None
    df["date"] = pd.to_datetime(df["date"]).astype("datetime64[us]")
    return df.set_index(["order_book_id", "date"])[columns]


@pytest.mark.parametrize("dense", [True, False], ids=["counting", "sorting"])
@settings(max_examples=25, deadline=None)
@given(data=st.data())
def test_long_form_equals_sorted_reference(small_store, dense, data):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(ostrel, "_DENSE_GRID_SLACK", 1_000_000 if dense else -10**12)
        _check_long_forms(data)


def _check_long_forms(data):
    universe = list(ostrel.all_instruments()["order_book_id"]) + ["999999.XSHG"]
    ids = data.draw(st.lists(st.sampled_from(universe), min_size=1, max_size=12))
    days = ostrel.get_trading_dates("2021-01-04", "2022-06-30")
    i = data.draw(st.integers(0, len(days) - 1))
    j = data.draw(st.integers(i, min(len(days) - 1, i + 120)))
    start, end = days[i] - pd.Timedelta(days=data.draw(st.integers(0, 3))), days[j]
    fields = data.draw(st.lists(st.sampled_from(ostrel.DAILY_FIELDS), min_size=1, max_size=3, unique=True))
    got = ostrel.get_price(ids, start, end, fields=fields, adjust_type="post")
    want = _sorted_reference("bars", fields, set(ids), start, end, factor_sql="adj_factor")
    if want is None:
        assert got is None
    else:
        pd.testing.assert_frame_equal(got, want, check_index_type=False, rtol=1e-15)
    styles = data.draw(st.lists(st.sampled_from(ostrel.STYLE_FACTORS), min_size=1, max_size=3, unique=True))
    got = ostrel.get_style_factor_exposure(ids, start, end, factors=styles)
    want = _sorted_reference("styles", styles, set(ids), start, end)
    if want is None:
        assert got is None
    else:
        pd.testing.assert_frame_equal(got, want, check_index_type=False)


def test_panel_leaves_out_bars_dated_off_the_calendar(small_store, monkeypatch):
    # a bar on a Sunday must not land on the next trading day's row
    ids = ["600000.XSHG"]
    days = ostrel.get_trading_dates("2021-03-01", "2021-03-12")
    monkeypatch.setattr(ostrel, "_fetch", lambda *a: (
        np.array([0, 0]), np.array(["2021-03-07", "2021-03-08"], dtype="datetime64[D]").astype(np.int64),
        {"close": np.array([1.0, 2.0]), "adj_factor": np.array([1.0, 1.0])}))
    close = ostrel.get_panel(["close"], ids, days[0], days[-1])["close"]
    assert close.loc["2021-03-08", "600000.XSHG"] == 2.0
    assert close["600000.XSHG"].notna().sum() == 1


def test_reopening_another_store_reads_its_calendar(small_store, tmp_path):
    """A calendar cached from one connection is never served for the next one, even when the new
    connection object reuses the old one's address."""
    from ostrel.generate import generate

    other = tmp_path / "other.duckdb"
    generate(str(other), instruments=10, start="2021-02-01", end="2021-03-31", seed=1, progress=False)
    try:
        for _ in range(3):
            ostrel.init(small_store)
            assert ostrel.get_trading_dates("2021-01-04", "2022-06-30")[0] == pd.Timestamp("2021-01-04")
            ostrel.init(other)
            assert ostrel.get_trading_dates("2021-01-04", "2021-03-31")[0] == pd.Timestamp("2021-02-01")
    finally:
        ostrel.init(small_store)
