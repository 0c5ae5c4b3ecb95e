"""FactorReturnAnalysis against a pandas reference of the long-short portfolio returns."""

from __future__ import annotations

import sys
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zarnik.analysis import assayer


@pytest.fixture(autouse=True)
def result_classes(monkeypatch):
    """Use the package's result classes; a plain record stands in where they are not built yet."""
    try:
        import zarnik.analysis.analysis_result  # noqa: F401
    except ImportError:
        stub = types.ModuleType("zarnik.analysis.analysis_result")

        class Result:
            def __init__(self, **kwargs):
                self.__dict__.update(kwargs)

        stub.FactorReturnAnalysisResult = stub.QuantileStyleAnalysisResult = Result
        monkeypatch.setitem(sys.modules, "zarnik.analysis.analysis_result", stub)


def held_rows(t_count: int, lv: int, period: int) -> np.ndarray:
    """Row position of the rebalancing row in force on each row (-1 before the first)."""
    t = np.arange(t_count)
    return np.where(t >= lv, lv + (t - lv) // period * period, -1)


def take_rows(frame: pd.DataFrame, rows: np.ndarray) -> pd.DataFrame:
    values = np.full(frame.shape, np.nan)
    ok = rows >= 0
    values[ok] = frame.to_numpy()[rows[ok]]
    return pd.DataFrame(values, index=frame.index, columns=frame.columns)


def reference(factor_data, returns, periods, ascending, refill_missing=False):
    """Documented pandas formulation. Holding: each rebalancing row is held as it is; with
    refill_missing the literal forward fill, which refills cells from older rebalancings."""
    factor = factor_data.shift(1)
    demean = factor.sub(factor.mean(axis=1), axis=0)
    weights = demean.div(demean.abs().sum(axis=1), axis=0)
    if ascending:
        weights = -weights
    cum_returns = returns.add(1).cumprod().reindex(factor.index, columns=factor.columns)
    out = {}
    for period in periods:
        res = []
        for lv in range(1, period + 1):
            if refill_missing:
                weight = weights[lv::period].reindex(weights.index).ffill()
                div_factor = cum_returns.shift(1, fill_value=1)[lv::period].reindex(cum_returns.index).ffill()
            else:
                rows = held_rows(len(factor), lv, period)
                weight = take_rows(weights, rows)
                div_factor = take_rows(cum_returns.shift(1, fill_value=1), rows)
            wr = (weight * (cum_returns / div_factor - 1)).sum(axis=1)
            level = wr.add(1).ffill()
            change_rate = level / level.shift(1) - 1
            change_rate.iloc[lv::period] = wr.iloc[lv::period]
            res.append(change_rate)
        out[f"P_{period}"] = pd.concat(res, axis=1).mean(axis=1)
    frame = pd.DataFrame(out, index=factor.index)
    return frame.fillna(0).add(1).cumprod().sub(1)


def random_frames(seed, t, n, extra_rows=3, missing=0.15):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2022-01-03", periods=t + extra_rows + 2, name="datetime")
    ids = pd.Index([f"S{i:03d}" for i in range(n)], name="order_book_id")
    factor = pd.DataFrame(rng.normal(size=(t, n)), index=dates[2 : t + 2], columns=ids)
    factor[rng.random(factor.shape) < missing] = np.nan
    if t > 3:
        factor.iloc[rng.integers(t, size=2)] = np.nan  # whole-NaN dates
    # returns start earlier than the factor, end later, miss one instrument and carry an extra one
    rets = pd.DataFrame(rng.normal(scale=0.03, size=(len(dates), n)), index=dates,
                        columns=list(ids[:-1]) + ["EXTRA"])
    rets[rng.random(rets.shape) < missing] = np.nan
    return factor, rets


def run(factor, rets, periods, ascending):
    result = assayer.FactorReturnAnalysis().analysis(factor, rets, periods, ascending=ascending)
    return result.factor_returns


@settings(max_examples=50, deadline=None, suppress_health_check=[HealthCheck.differing_executors])
@given(seed=st.integers(0, 2**32 - 1), t=st.integers(1, 30), n=st.integers(1, 12),
       periods=st.lists(st.integers(1, 8), min_size=1, max_size=3, unique=True), ascending=st.booleans(),
       missing=st.sampled_from([0.0, 0.2, 0.6]))
def test_matches_reference(seed, t, n, periods, ascending, missing):
    factor, rets = random_frames(seed, t, n, missing=missing)
    got = run(factor, rets, periods, ascending)
    expected = reference(factor, rets, periods, ascending)
    assert got.columns.tolist() == [f"P_{p}" for p in periods]
    assert got.index.name == "datetime" and got.index.equals(factor.index)
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-10, atol=1e-12)


def test_missing_cells_on_a_rebalancing_row_are_not_refilled():
    """An instrument missing on a rebalancing row is not held until the next rebalancing."""
    dates = pd.bdate_range("2024-01-01", periods=8, name="datetime")
    factor = pd.DataFrame({"a": [1.0, 5.0, 3.0, np.nan, 5.0, 6.0, 7.0, 8.0],
                           "b": [3.0, 1.0, 2.0, 1.0, 4.0, 2.0, 1.0, 0.0],
                           "c": [2.0, 3.0, 1.0, 3.0, 1.0, 3.0, 2.0, 1.0]}, index=dates)
    rets = pd.DataFrame(np.linspace(-0.02, 0.03, 24).reshape(8, 3), index=dates, columns=["a", "b", "c"])
    got = run(factor, rets, [2], ascending=False)
    held = reference(factor, rets, [2], False)
    refilled = reference(factor, rets, [2], False, refill_missing=True)
    np.testing.assert_allclose(got.to_numpy(), held.to_numpy(), rtol=1e-12)
    # phase 2 rebalances on row 4 from factor row 3, where a is missing: the refilled portfolio
    # would still hold a with its row-2 weight
    assert not np.allclose(got.to_numpy(), refilled.to_numpy())


def test_all_nan_rebalancing_date_holds_nothing():
    dates = pd.bdate_range("2024-01-01", periods=7, name="datetime")
    rng = np.random.default_rng(0)
    factor = pd.DataFrame(rng.normal(size=(7, 4)), index=dates, columns=list("abcd"))
    factor.iloc[2] = np.nan  # weights of row 3 are missing
    rets = pd.DataFrame(rng.normal(scale=0.02, size=(7, 4)), index=dates, columns=list("abcd"))
    got = run(factor, rets, [1, 3], ascending=True)
    # period 1: row 3's daily return is 0 (nothing held), so the cumulative value does not move
    assert got["P_1"].iloc[3] == pytest.approx(got["P_1"].iloc[2], abs=1e-15)
    np.testing.assert_allclose(got.to_numpy(), reference(factor, rets, [1, 3], True).to_numpy(), rtol=1e-12)


def test_period_one_is_the_compounded_weighted_return():
    factor, rets = random_frames(3, 12, 6, missing=0.0)
    rets = rets.reindex(columns=factor.columns)  # full coverage
    weights = factor.shift(1).sub(factor.shift(1).mean(axis=1), axis=0)
    weights = weights.div(weights.abs().sum(axis=1), axis=0)
    daily = (weights * rets.reindex(factor.index)).sum(axis=1)
    expected = (1 + daily).cumprod() - 1
    got = run(factor, rets, [1], ascending=False)["P_1"]
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-12, atol=1e-15)
    assert got.iloc[0] == 0.0


def test_ascending_flips_the_rebalancing_day_returns():
    factor, rets = random_frames(9, 15, 7)
    up = run(factor, rets, (1,), ascending=True)["P_1"]
    down = run(factor, rets, (1,), ascending=False)["P_1"]
    up_daily = (1 + up).pct_change().fillna(0)
    down_daily = (1 + down).pct_change().fillna(0)
    np.testing.assert_allclose(up_daily.to_numpy(), -down_daily.to_numpy(), atol=1e-12)
    assert not np.allclose(up_daily, 0)


def test_returns_beyond_the_factor_dates_are_ignored():
    factor, rets = random_frames(4, 10, 5)
    base = run(factor, rets, [1, 4], ascending=False)
    extended = rets.copy()
    extended.iloc[-3:] = 10.0  # rows after the last factor date
    pd.testing.assert_frame_equal(run(factor, extended, [1, 4], ascending=False), base)


def test_result_does_not_depend_on_thread_count(monkeypatch):
    factor, rets = random_frames(2, 200, 50)
    monkeypatch.setenv("ZARNIK_NUM_THREADS", "1")
    one = run(factor, rets, [1, 5, 20], ascending=False)
    monkeypatch.setenv("ZARNIK_NUM_THREADS", "3")
    pd.testing.assert_frame_equal(run(factor, rets, [1, 5, 20], ascending=False), one)


def test_result_object_and_name():
    factor, rets = random_frames(1, 5, 3)
    analyser = assayer.FactorReturnAnalysis()
    analyser.step_name = "fr"
    result = analyser.analysis(factor, rets, [1])
    assert result.name == "fr"
    assert isinstance(analyser, assayer.FactorAnalyser)


@pytest.mark.parametrize(
    "periods, exc, match",
    [
        ([0], ValueError, "periods: expect positive integers, got 0"),
        ((1, -2), ValueError, "got -2"),
        ([2.5], TypeError, "got 2.5"),
        ("3", TypeError, "list or tuple"),
    ],
)
def test_invalid_periods(periods, exc, match):
    factor, rets = random_frames(1, 5, 3)
    with pytest.raises(exc, match=match):
        assayer.FactorReturnAnalysis().analysis(factor, rets, periods)


def test_bare_integer_period_reads_as_one_period():
    # every analyser reads periods alike: a bare integer is the one-element list
    factor, rets = random_frames(3, 30, 6)
    got = assayer.FactorReturnAnalysis().analysis(factor, rets, 3).factor_returns
    want = assayer.FactorReturnAnalysis().analysis(factor, rets, [3]).factor_returns
    pd.testing.assert_frame_equal(got, want)
    assert list(got.columns) == ["P_3"]


@pytest.mark.parametrize("which", ["factor_data", "returns"])
def test_non_frames_rejected(which):
    factor, rets = random_frames(1, 5, 3)
    args = {"factor_data": factor, "returns": rets}
    args[which] = factor.to_numpy()
    with pytest.raises(ValueError, match=f"{which}: expect pd.DataFrame"):
        assayer.FactorReturnAnalysis().analysis(args["factor_data"], args["returns"], [1])
