"""Normalization and the frame bridge's handling of unusual frames."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from zarnik.analysis import assayer


def reference(x: np.ndarray) -> np.ndarray:
    """z-scores with mean and sample std over each row's finite values; +-inf results become 0."""
    out = np.full_like(x, np.nan)
    for i, row in enumerate(x):
        fin = row[np.isfinite(row)]
        mean = math.fsum(fin) / fin.size if fin.size else np.nan
        if fin.size and (fin == fin[0]).all():
            mean = fin[0]
        sd = np.sqrt(((fin - mean) ** 2).sum() / (fin.size - 1)) if fin.size > 1 else np.nan
        with np.errstate(all="ignore"):
            z = (row - mean) / sd
        out[i] = np.where(np.isinf(z), 0.0, z)
    return out


def frame(x, **kw):
    return pd.DataFrame(x, index=pd.date_range("2020-01-01", periods=len(x)), **kw)


@settings(max_examples=120, deadline=None)
@given(
    arrays(
        np.float64,
        st.tuples(st.integers(1, 5), st.integers(0, 30)),
        elements=st.one_of(st.floats(-1e6, 1e6), st.sampled_from([np.nan, np.inf, -np.inf, 2.5])),
    )
)
def test_matches_reference(x):
    df = frame(x)
    out = assayer.Normalization().process(df)
    np.testing.assert_allclose(out.to_numpy(), reference(x), rtol=1e-9, atol=1e-9, equal_nan=True)


def test_pandas_formula_on_finite_rows():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(40, 60)) * 10 + 3
    x[rng.random(x.shape) < 0.2] = np.nan
    df = frame(x, columns=[f"S{i}" for i in range(60)])
    expected = df.sub(df.mean(axis=1), axis=0).div(df.std(axis=1), axis=0)
    pd.testing.assert_frame_equal(assayer.Normalization().process(df), expected, rtol=1e-12)


@pytest.mark.parametrize(
    "row, expected",
    [
        ([3.0, 3.0, 3.0], [np.nan] * 3),  # all equal: 0 / 0
        ([np.nan, 4.0, np.nan], [np.nan] * 3),  # one value: no std
        ([np.inf, 1.0, 3.0, np.nan], [0.0, -np.sqrt(0.5), np.sqrt(0.5), np.nan]),  # inf -> 0, row kept
        ([-np.inf, 5.0, 5.0], [0.0, np.nan, np.nan]),
        ([np.inf, 5.0], [np.nan, np.nan]),
        ([np.nan, np.nan], [np.nan, np.nan]),
    ],
)
def test_edge_rows(row, expected):
    got = assayer.Normalization().process(frame([row]))
    np.testing.assert_allclose(got.to_numpy()[0], expected, equal_nan=True)


def test_large_offset_accuracy():
    x = np.array([[1e9 + 1, 1e9 + 2, 1e9 + 3]])
    np.testing.assert_allclose(assayer.Normalization().process(frame(x)).to_numpy(), [[-1, 0, 1]], rtol=1e-9)


# ---------------------------------------------------------------- unusual frames


def run(df):
    return assayer.Normalization().process(df)


def test_labels_kept_and_input_untouched():
    df = frame(np.arange(6.0).reshape(2, 3), columns=pd.Index([10, 20, 30], name="order_book_id"))
    df.index.name = "datetime"
    before = df.copy()
    out = run(df)
    pd.testing.assert_frame_equal(df, before)
    assert out.index.equals(df.index) and out.columns.equals(df.columns)
    assert out.index.name == "datetime" and out.columns.name == "order_book_id"
    out.iloc[0, 0] = 99.0
    assert df.iloc[0, 0] == 0.0


@pytest.mark.parametrize(
    "make",
    [
        lambda x: frame(x).astype(object),
        lambda x: frame(x).astype("Float64"),
        lambda x: frame(x).astype(np.float32),
        lambda x: frame(x).set_axis(pd.date_range("2020-01-01", periods=len(x), tz="Asia/Shanghai")),
        lambda x: frame(x).set_axis(pd.DatetimeIndex(["2020-01-03", "2020-01-01", "2020-01-02"])),  # unsorted
        lambda x: frame(x).set_axis(pd.DatetimeIndex(["2020-01-01"] * 3)),  # duplicate dates
        lambda x: frame(x).set_axis(pd.MultiIndex.from_product([["a"], ["x", "y"]]), axis=1),
        lambda x: frame(x).set_axis(["s", "s"], axis=1),  # duplicate columns
    ],
)
def test_unusual_frames_are_row_wise(make):
    x = np.array([[1.0, 2.0], [5.0, np.nan], [-1.0, 4.0]])
    df = make(x)
    out = run(df)
    assert out.index.equals(df.index) and out.columns.equals(df.columns)
    assert (out.dtypes == np.float64).all()
    np.testing.assert_allclose(out.to_numpy(), reference(x), equal_nan=True)
    for method in ("mad", "std", "percentile"):
        win = assayer.Winzorization(method).process(df)
        assert win.index.equals(df.index) and win.columns.equals(df.columns)


def test_nullable_missing_values_read_as_nan():
    df = pd.DataFrame({"a": pd.array([1.0, None], dtype="Float64"), "b": [2.0, 3.0]}, index=pd.date_range("2020-01-01", periods=2))
    np.testing.assert_allclose(run(df).to_numpy(), [[-np.sqrt(0.5), np.sqrt(0.5)], [np.nan, np.nan]], equal_nan=True)


@pytest.mark.parametrize(
    "df",
    [
        pd.DataFrame({"a": ["x", "y"]}, index=pd.date_range("2020-01-01", periods=2)),
        pd.DataFrame({"a": pd.array(["1", "2"], dtype="string")}, index=pd.date_range("2020-01-01", periods=2)),
        pd.DataFrame({"a": pd.date_range("2020-01-01", periods=2)}, index=pd.date_range("2020-01-01", periods=2)),
    ],
)
def test_non_numeric_frames_raise(df):
    with pytest.raises(ValueError, match="factor_data: expected numeric values"):
        run(df)
    with pytest.raises(ValueError, match="numeric"):
        assayer.Winzorization().process(df)


def test_non_frame_raises():
    with pytest.raises(ValueError, match="factor_data: expect pd.DataFrame"):
        run(np.zeros((2, 2)))


def test_empty_frames():
    for df in (pd.DataFrame(index=pd.DatetimeIndex([])), pd.DataFrame(np.zeros((0, 3))), pd.DataFrame(index=[1, 2])):
        out = run(df)
        assert out.shape == df.shape
