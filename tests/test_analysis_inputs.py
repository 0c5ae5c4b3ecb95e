"""Analysis steps on unusual frames and out-of-range parameters.

The rule for the analysers: dates ascending and unique, instrument columns unique, factor and
returns both timezone-naive or in one timezone; anything else is refused with a ValueError naming
the frame. Preprocessors work date by date: Winzorization and Normalization take any row order
(tested in test_normalize), Neutralization takes any row order and timezone but refuses an
instrument given twice.
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest

import ostrel
from zarnik.analysis import assayer
from zarnik.exception import InvalidPeriodType

from test_factor_return import random_frames
from test_factor_return import reference as factor_return_reference
from test_neutralize import Client, random_case
from test_neutralize import reference as neutralize_reference

T, N = 24, 6


def frames(seed=0, t=T, n=N):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2022-03-01", periods=t, name="datetime")
    ids = pd.Index([f"{i:06d}.XSHE" for i in range(n)], name="order_book_id")
    factor = pd.DataFrame(rng.normal(size=(t, n)), index=dates, columns=ids)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(t, n)), index=dates, columns=ids)
    return factor, returns


@pytest.fixture
def exposures(monkeypatch):
    """Style exposures of every (instrument, date) of `frames()`, served by a test double."""
    factor, _ = frames()
    rng = np.random.default_rng(7)
    mi = pd.MultiIndex.from_product([factor.columns, factor.index.rename("date")], names=["order_book_id", "date"])
    table = pd.DataFrame(rng.normal(size=(len(mi), 3)), index=mi, columns=["beta", "size", "value"])
    monkeypatch.setattr(ostrel, "get_style_factor_exposure", lambda *a, **k: table, raising=False)
    return table


ANALYSERS = {
    "factor_return": lambda: assayer.FactorReturnAnalysis(),
    "quantile": lambda: assayer.QuantileReturnAnalysis(quantile=3),
    "ic": lambda: assayer.ICAnalysis(max_decay=3),
    "style": lambda: assayer.QuantileStyleAnalysis(quantile=3),
}
USES_RETURNS = ["factor_return", "quantile", "ic"]


def shuffled(df, seed=1):
    return df.iloc[np.random.default_rng(seed).permutation(len(df))]


def with_duplicate_date(df):
    return pd.concat([df.iloc[:5], df.iloc[4:5], df.iloc[5:]])


def with_duplicate_column(df):
    out = df.copy()
    out.columns = list(df.columns[:-1]) + [df.columns[0]]
    return out


def with_nat(df):
    out = df.copy()
    out.index = pd.DatetimeIndex([pd.NaT] + list(df.index[1:]), name=df.index.name)
    return out


BAD_FRAMES = {
    "shuffled": (shuffled, "expected ascending unique dates in the index, the dates are out of order"),
    "descending": (lambda df: df.iloc[::-1], "expected ascending unique dates in the index, the dates are out of order: "
                   "2022-03-31 comes after 2022-04-01"),
    "duplicate date": (with_duplicate_date, "expected ascending unique dates in the index, found duplicate date 2022-03-07 "),
    "missing date": (with_nat, r"expected ascending unique dates in the index, found a missing date \(NaT\)"),
    "duplicate column": (with_duplicate_column, "expected unique instrument columns, found duplicate column 000000.XSHE"),
}


@pytest.mark.parametrize("kind", list(ANALYSERS))
@pytest.mark.parametrize("bad", list(BAD_FRAMES))
def test_bad_factor_frame_is_refused(kind, bad, exposures):
    factor, returns = frames()
    make, message = BAD_FRAMES[bad]
    with pytest.raises(ValueError, match="^factor_data: " + message):
        ANALYSERS[kind]().analysis(make(factor), returns, [1, 2])


@pytest.mark.parametrize("kind", USES_RETURNS)
@pytest.mark.parametrize("bad", list(BAD_FRAMES))
def test_bad_returns_frame_is_refused(kind, bad):
    factor, returns = frames()
    make, message = BAD_FRAMES[bad]
    with pytest.raises(ValueError, match="^returns: " + message):
        ANALYSERS[kind]().analysis(factor, make(returns), [1, 2])


@pytest.mark.parametrize("kind", USES_RETURNS)
@pytest.mark.parametrize("tz_factor, tz_returns", [("Asia/Shanghai", None), (None, "UTC"),
                                                   ("Asia/Shanghai", "UTC")])
def test_timezone_mismatch_is_refused(kind, tz_factor, tz_returns):
    factor, returns = frames()
    if tz_factor:
        factor.index = factor.index.tz_localize(tz_factor)
    if tz_returns:
        returns.index = returns.index.tz_localize(tz_returns)
    with pytest.raises(ValueError, match="^returns: expected dates in the same timezone as factor_data's"):
        ANALYSERS[kind]().analysis(factor, returns, [1])


def result_frames(kind, result):
    fields = {"factor_return": ["factor_returns"], "quantile": ["quantile_returns", "quantile_turnover"],
              "ic": ["ic", "ic_p_value", "ic_decay"], "style": ["quantile_exposure"]}[kind]
    return [getattr(result, f) for f in fields]


@pytest.mark.parametrize("kind", list(ANALYSERS))
def test_same_timezone_gives_the_naive_result(kind, exposures):
    factor, returns = frames()
    naive = ANALYSERS[kind]().analysis(factor, returns, [1, 2])
    factor.index = factor.index.tz_localize("Asia/Shanghai")
    returns.index = returns.index.tz_localize("Asia/Shanghai")
    aware = ANALYSERS[kind]().analysis(factor, returns, [1, 2])
    for a, b in zip(result_frames(kind, naive), result_frames(kind, aware)):
        np.testing.assert_array_equal(a.to_numpy(), b.to_numpy())
        assert len(a) == len(b) > 0


# ---------------------------------------------------------------- periods


@pytest.mark.parametrize("kind", USES_RETURNS)
@pytest.mark.parametrize("periods, exc, match", [
    ([], ValueError, "periods: expect at least one positive integer holding period, got \\[\\]"),
    ((), ValueError, "at least one"),
    ([1, 0], ValueError, "periods: expect positive integers, got 0"),
    ([-3], ValueError, "got -3"),
    ([-(2**70)], ValueError, "got -1180591620717411303424"),
    ([1.0], TypeError, "periods: expect positive integers, got 1.0"),
    ([True], TypeError, "got True"),
    (["1"], TypeError, "got '1'"),
    ("1", TypeError, "periods: expect a list or tuple of positive integers"),
    (None, TypeError, "list or tuple"),
])
def test_invalid_periods(kind, periods, exc, match):
    factor, returns = frames()
    with pytest.raises(exc, match=match) as info:
        ANALYSERS[kind]().analysis(factor, returns, periods)
    if exc is TypeError:  # a wrong type is caught as either
        assert isinstance(info.value, ValueError) and isinstance(info.value, InvalidPeriodType)


@pytest.mark.parametrize("kind", USES_RETURNS)
def test_duplicate_periods_merge_and_summary_works(kind):
    factor, returns = frames()
    twice = ANALYSERS[kind]().analysis(factor, returns, [2, 1, 2, 1])
    once = ANALYSERS[kind]().analysis(factor, returns, [2, 1])
    for a, b in zip(result_frames(kind, twice), result_frames(kind, once)):
        assert list(a.columns) == ["P_2", "P_1"]
        pd.testing.assert_frame_equal(a, b)
    table = twice.summary()
    assert isinstance(table, pd.DataFrame) and len(table) > 0


@pytest.mark.parametrize("periods", [np.array([1, 3]), range(1, 3), pd.Index([2, 1]), (np.int64(2), np.int32(1))])
def test_period_sequences_of_any_kind(periods):
    factor, returns = frames()
    got = assayer.FactorReturnAnalysis().analysis(factor, returns, periods).factor_returns
    want = assayer.FactorReturnAnalysis().analysis(factor, returns, [int(p) for p in periods]).factor_returns
    pd.testing.assert_frame_equal(got, want)


def daily_from_cumulative(column):
    level = column.to_numpy() + 1.0
    return level[1:] / level[:-1] - 1.0


@pytest.mark.parametrize("extra", [-1, 0, 1, 7])
def test_factor_return_period_longer_than_the_data(extra):
    """A phase that starts beyond the data holds nothing and earns 0: the documented reference."""
    factor, rets = random_frames(5, 12, 5)
    period = len(factor) + extra
    got = assayer.FactorReturnAnalysis().analysis(factor, rets, [period]).factor_returns
    want = factor_return_reference(factor, rets, [period], True)
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-12, atol=1e-15)


def test_factor_return_huge_periods_scale_the_average():
    """Beyond the data's length only the number of (idle) phases changes: daily return x period is fixed."""
    factor, rets = random_frames(6, 15, 4)
    out = assayer.FactorReturnAnalysis().analysis(factor, rets, [20, 10**6, 2**62, 2**80]).factor_returns
    assert list(out.columns) == ["P_20", "P_1000000", "P_4611686018427387904", "P_1208925819614629174706176"]
    base = daily_from_cumulative(out["P_20"]) * 20
    np.testing.assert_allclose(daily_from_cumulative(out["P_1000000"]) * 10**6, base, rtol=1e-6, atol=1e-12)
    assert np.isfinite(out.to_numpy()).all()
    assert np.abs(out[["P_4611686018427387904", "P_1208925819614629174706176"]].to_numpy()).max() < 1e-12


def test_ic_period_longer_than_the_data_is_missing():
    factor, returns = frames()
    out = assayer.ICAnalysis().analysis(factor, returns, [1, 2**63, 2**70])
    assert list(out.ic.columns) == ["P_1", "P_9223372036854775808", "P_1180591620717411303424"]
    assert out.ic[["P_9223372036854775808", "P_1180591620717411303424"]].isna().all().all()
    assert out.ic["P_1"].notna().sum() == T - 1


def test_quantile_period_longer_than_the_data_is_dropped():
    factor, returns = frames()
    with pytest.warns(UserWarning, match=r"^Invalid periods found: \[1180591620717411303424\], will ignore\.$"):
        out = assayer.QuantileReturnAnalysis(quantile=2).analysis(factor, returns, [1, 2**70])
    assert list(out.quantile_returns.columns) == ["P_1"]


# ---------------------------------------------------------------- bounds


@pytest.mark.parametrize("max_decay", [T, T + 1, 10**6, 2**70])
def test_max_decay_beyond_the_dates_is_clamped(max_decay):
    factor, returns = frames()
    want = assayer.ICAnalysis(max_decay=T).analysis(factor, returns, [1, 3]).ic_decay
    got = assayer.ICAnalysis(max_decay=max_decay).analysis(factor, returns, [1, 3]).ic_decay
    pd.testing.assert_frame_equal(got, want)
    # a row needs every horizon's return: lag d pairs dates only while d + 3 < T
    assert set(got.index.get_level_values("decay")) == set(range(T - 3))


@pytest.mark.parametrize("max_decay", [-1, -(2**70), 2.0, True, "3"])
def test_max_decay_must_be_a_non_negative_integer(max_decay):
    with pytest.raises(ValueError, match="max_decay: expect None or a non-negative integer"):
        assayer.ICAnalysis(max_decay=max_decay)


@pytest.mark.parametrize("make", [lambda q: assayer.QuantileReturnAnalysis(quantile=q),
                                  lambda q: assayer.QuantileStyleAnalysis(quantile=q)], ids=["returns", "style"])
@pytest.mark.parametrize("n, quantile, ok", [(6, 100, True), (6, 101, False), (150, 150, True), (150, 151, False),
                                             (6, 10**5, False), (6, 2**70, False)])
def test_quantile_bounded_by_the_instruments(make, n, quantile, ok, monkeypatch):
    factor, returns = frames(n=n)
    mi = pd.MultiIndex.from_product([factor.columns, factor.index.rename("date")], names=["order_book_id", "date"])
    table = pd.DataFrame(np.ones((len(mi), 1)), index=mi, columns=["beta"])
    monkeypatch.setattr(ostrel, "get_style_factor_exposure", lambda *a, **k: table, raising=False)
    step = make(quantile)
    if ok:
        step.analysis(factor, returns, [1])
    else:
        with pytest.raises(ValueError, match=r"quantile: expecte?d? at most max\(number of instruments, 100\) = "
                                             f"{max(n, 100)} groups, got {quantile}"):
            step.analysis(factor, returns, [1])


# ---------------------------------------------------------------- neutralization


def neutralize_case(monkeypatch):
    _, df, style_df, cat = random_case(11, 10, 7, 2, 3)
    Client(monkeypatch, assayer, style_df, cat)
    step = assayer.Neutralization(industry="citics_2019", style_factors="all")
    return df, style_df, cat, step


def test_neutralization_takes_rows_in_any_order(monkeypatch):
    df, style_df, cat, step = neutralize_case(monkeypatch)
    order = np.random.default_rng(3).permutation(len(df))
    got = step.process(df.iloc[order])
    want = neutralize_reference(df, step, style_df, cat).iloc[order]
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-9, atol=1e-12)
    assert got.index.equals(df.index[order])


def test_neutralization_repeated_date_repeats_its_residuals(monkeypatch):
    df, style_df, cat, step = neutralize_case(monkeypatch)
    doubled = pd.concat([df.iloc[:4], df.iloc[3:4], df.iloc[4:]])
    got = step.process(doubled).to_numpy()
    want = step.process(df).to_numpy()
    np.testing.assert_allclose(np.delete(got, 4, axis=0), want, rtol=1e-12, equal_nan=True)
    np.testing.assert_array_equal(got[3], got[4])


def test_neutralization_timezone_aware_dates_use_their_local_dates(monkeypatch):
    df, style_df, cat, step = neutralize_case(monkeypatch)
    want = step.process(df)
    aware = df.copy()
    aware.index = aware.index.tz_localize("Asia/Shanghai")
    got = step.process(aware)
    np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())
    assert got.index.equals(aware.index)
    assert np.isfinite(got.to_numpy()).any()


def test_neutralization_refuses_a_repeated_instrument(monkeypatch):
    df, style_df, cat, step = neutralize_case(monkeypatch)
    with pytest.raises(ValueError, match=r"^factor_data: expected unique instrument columns, found duplicate column"):
        step.process(with_duplicate_column(df))


def test_pipeline_daily_returns_span_unsorted_factor_dates(monkeypatch):
    """The daily returns load asks for the first and last factor dates, not the first and last rows."""
    calls = {}

    def next_date(date, n=1):
        calls["next"] = (pd.Timestamp(date), n)
        return pd.Timestamp(date) + pd.offsets.BDay(n)

    def previous_date(date, n=1):
        calls["previous"] = pd.Timestamp(date)
        return pd.Timestamp(date) - pd.offsets.BDay(n)

    def get_price(order_book_ids, start_date, end_date, **kwargs):
        dates = pd.bdate_range(start_date, end_date, name="date")
        mi = pd.MultiIndex.from_product([list(order_book_ids), dates], names=["order_book_id", "date"])
        return pd.DataFrame({"close": np.linspace(10, 11, len(mi))}, index=mi)

    monkeypatch.setattr(ostrel, "get_next_trading_date", next_date)
    monkeypatch.setattr(ostrel, "get_previous_trading_date", previous_date)
    monkeypatch.setattr(ostrel, "get_price", get_price)
    factor, _ = frames()
    pipe = assayer.FactorAssayer()
    pipe.append(("norm", assayer.Normalization()))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pipe.analysis(shuffled(factor), "daily", periods=[1, 3])
    assert calls["next"] == (factor.index[-1], 3)
    assert calls["previous"] == factor.index[0]


@pytest.mark.parametrize("periods, exc, match", [
    ([], ValueError, "periods: expect at least one positive integer holding period"),
    ([1, 0], ValueError, "periods: expect positive integers, got 0"),
    ([2.5], TypeError, "periods: expect positive integers, got 2.5"),
])
def test_pipeline_daily_returns_read_periods_like_the_analysers(periods, exc, match, monkeypatch):
    monkeypatch.setattr(ostrel, "get_next_trading_date", lambda *a, **k: pytest.fail("no load expected"))
    pipe = assayer.FactorAssayer()
    pipe.append(("ic", assayer.ICAnalysis()))
    with pytest.raises(exc, match=match):
        pipe.analysis(frames()[0], "daily", periods=periods)
