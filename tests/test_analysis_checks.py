"""The argument rules every analysis step shares, through the C++ steps that call them.

Periods, numeric dtypes and frame axes are checked against plain reformulations:
a periods list merged by first occurrence, a dtype rule from ``pandas.api.types``,
the first out-of-order pair of dates found by numpy.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zarnik.analysis import assayer
from zarnik.exception import InvalidPeriodType

T, N = 40, 6


def frames(t=T, n=N, seed=0):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2023-01-02", periods=t, name="datetime")
    cols = pd.Index([f"{i:06d}.XSHE" for i in range(n)], name="order_book_id")
    return (pd.DataFrame(rng.normal(size=(t, n)), dates, cols),
            pd.DataFrame(rng.normal(scale=0.01, size=(t, n)), dates, cols))


FACTOR, RETURNS = frames()


@settings(max_examples=40, deadline=None)
@given(st.lists(st.one_of(st.integers(1, 60), st.integers(2**62, 2**70)), min_size=1, max_size=6))
def test_periods_merge_by_first_occurrence(periods):
    want = list(dict.fromkeys(f"P_{p}" for p in periods))
    got = assayer.FactorReturnAnalysis().analysis(FACTOR, RETURNS, periods).factor_returns
    assert list(got.columns) == want


@pytest.mark.parametrize("bad", [1.5, "2", None, True, np.float64(3.0)])
def test_a_period_that_is_not_an_integer_is_a_period_type_error(bad):
    with pytest.raises(InvalidPeriodType, match="periods: expect positive integers, got "):
        assayer.FactorReturnAnalysis().analysis(FACTOR, RETURNS, [1, bad])


@pytest.mark.parametrize("periods", [5, np.int64(5), range(5, 6)])
def test_a_bare_integer_is_one_period(periods):
    got = assayer.FactorReturnAnalysis().analysis(FACTOR, RETURNS, periods).factor_returns
    assert list(got.columns) == ["P_5"]


COLUMNS = {
    "float32": lambda v: v.astype(np.float32),
    "int64": lambda v: (v * 10).astype(np.int64),
    "bool": lambda v: v > 0,
    "Float64": lambda v: pd.array(v, dtype="Float64"),
    "Int64": lambda v: pd.array((v * 10).astype(np.int64), dtype="Int64"),
    "object numbers": lambda v: v.astype(object),
    "text": lambda v: v.astype(str).astype(object),
    "datetime": lambda v: pd.Timestamp("2020-01-01") + pd.to_timedelta((v * 10).astype(np.int64), unit="D"),
    "timedelta": lambda v: pd.to_timedelta((v * 10).astype(np.int64), unit="D"),
    "complex": lambda v: v + 1j,
    "category": lambda v: pd.Categorical((v > 0).astype(str)),
}


def numeric(column: pd.Series) -> bool:
    if column.dtype == object:
        return all(isinstance(x, (int, float, np.number)) and not isinstance(x, complex) for x in column)
    return pd.api.types.is_numeric_dtype(column.dtype) and not pd.api.types.is_complex_dtype(column.dtype)


@settings(max_examples=40, deadline=None)
@given(st.lists(st.sampled_from(sorted(COLUMNS)), min_size=1, max_size=N))
def test_only_numeric_columns_are_read(kinds):
    values = FACTOR.to_numpy()
    data = pd.DataFrame({FACTOR.columns[i]: COLUMNS[k](values[:, i]) for i, k in enumerate(kinds)},
                        index=FACTOR.index)
    data.columns.name = "order_book_id"
    ok = all(numeric(data[c]) for c in data.columns)
    step = assayer.FactorReturnAnalysis()
    if ok:
        got = step.analysis(data, RETURNS, [1]).factor_returns
        want = step.analysis(data.astype(np.float64), RETURNS, [1]).factor_returns
        pd.testing.assert_frame_equal(got, want)
    else:
        with pytest.raises(ValueError, match="^factor_data: expected numeric values convertible to float64"):
            step.analysis(data, RETURNS, [1])


@settings(max_examples=40, deadline=None)
@given(st.permutations(range(8)))
def test_dates_out_of_order_name_the_first_pair(order):
    factor, returns = frames(t=8)
    shuffled = factor.iloc[list(order)]
    dates = shuffled.index.to_numpy()
    bad = np.flatnonzero(dates[1:] <= dates[:-1])
    if len(bad) == 0:
        assayer.FactorReturnAnalysis().analysis(shuffled, returns, [1])
        return
    i = bad[0]
    later, earlier = (pd.Timestamp(d).date() for d in (dates[i + 1], dates[i]))
    with pytest.raises(ValueError, match=f"^factor_data: .*out of order: {later} comes after {earlier} "):
        assayer.FactorReturnAnalysis().analysis(shuffled, returns, [1])
