"""Winsorization rules and the Winzorization step against plain numpy/pandas references."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from zarnik import _core
from zarnik.analysis import assayer
from zarnik.analysis import winsorize as w


def reference_row(x: np.ndarray, method: str) -> np.ndarray:
    """Clip one row to its bounds, statistics over the finite values."""
    fin = x[np.isfinite(x)]
    lo = hi = np.nan
    if fin.size:
        if method == "mad":
            med = np.median(fin)
            mad = np.median(np.abs(fin - med))
            lo, hi = med - 3 * 1.4826 * mad, med + 3 * 1.4826 * mad
        elif method == "std" and fin.size > 1:
            m, s = fin.mean(), fin.std(ddof=1)
            lo, hi = m - 3 * s, m + 3 * s
        elif method == "percentile":
            lo, hi = np.percentile(fin, [2.5, 97.5])
    out = x.copy()
    if not np.isnan(lo):
        out = np.where(out < lo, lo, out)
    if not np.isnan(hi):
        out = np.where(out > hi, hi, out)
    return out


values = st.one_of(
    st.floats(-1e6, 1e6),
    st.sampled_from([np.nan, np.inf, -np.inf, 0.0, 1.0]),
)


@pytest.mark.parametrize("method", ["mad", "std", "percentile"])
@settings(max_examples=80, deadline=None)
@given(data=arrays(np.float64, st.tuples(st.integers(1, 6), st.integers(0, 40)), elements=values))
def test_batch_and_row_forms_match_reference(method, data):
    idx = pd.date_range("2020-01-01", periods=data.shape[0])
    df = pd.DataFrame(data, index=idx, columns=[f"c{i}" for i in range(data.shape[1])])
    expected = np.vstack([reference_row(r, method) for r in data]) if data.size else data
    batch = w.BATCH_WINSORIZE_METHODS[method](df)
    np.testing.assert_allclose(batch.to_numpy(), expected, rtol=1e-12, atol=1e-9, equal_nan=True)
    assert batch.index.equals(df.index) and batch.columns.equals(df.columns)
    for i in range(data.shape[0]):
        row = w.WINSORIZE_METHODS[method](df.iloc[i])
        assert isinstance(row, pd.Series) and row.index.equals(df.columns) and row.name == idx[i]
        np.testing.assert_allclose(row.to_numpy(), expected[i], rtol=1e-12, atol=1e-9, equal_nan=True)
    np.testing.assert_array_equal(np.isnan(batch.to_numpy()), np.isnan(data))  # NaN kept, nothing new


@pytest.mark.parametrize(
    "method, row, expected",
    [
        # median 3, MAD 1: bounds 3 -+ 4.4478
        ("mad", [1, 2, 3, 4, 100, np.nan], [1, 2, 3, 4, 3 + 3 * 1.4826, np.nan]),
        ("mad", [5, 5, 5, 9], [5, 5, 5, 5]),  # MAD 0: everything to the median
        ("std", [7.0], [7.0]),  # one value: no std, unchanged
        ("percentile", [1, 2, 3, 4, 5], [1.1, 2, 3, 4, 4.9]),
    ],
)
def test_known_rows(method, row, expected):
    x = np.array(row, dtype=float)
    got = w.WINSORIZE_METHODS[method](pd.Series(x))
    np.testing.assert_allclose(got.to_numpy(), expected, equal_nan=True)


def test_percentile_clips_infinite_to_bounds():
    x = pd.Series([np.inf, 1.0, 2.0, 3.0, -np.inf, np.nan])
    got = w.percentile(x).to_numpy()
    lo, hi = np.percentile([1.0, 2.0, 3.0], [2.5, 97.5])
    np.testing.assert_allclose(got, [hi, max(1.0, lo), 2.0, min(3.0, hi), lo, np.nan], equal_nan=True)


@pytest.mark.parametrize(
    "bad, exc",
    [
        (np.zeros(3), ValueError),
        (np.zeros((2, 2, 2)), ValueError),
        (np.array([["a", "b"]]), TypeError),
    ],
)
def test_core_entry_checks(bad, exc):
    with pytest.raises(exc):
        _core.winsorize(bad, "mad")
    with pytest.raises(ValueError, match="method"):
        _core.winsorize(np.zeros((2, 2)), "median")


def test_core_accepts_other_layouts():
    a = np.arange(24, dtype=np.int32).reshape(4, 6)
    for arr in (a, a.T, a[:, ::2], a.astype(bool), a.astype(np.float32), np.zeros((0, 3)), np.zeros((3, 0))):
        got = _core.winsorize(arr, "mad")
        assert got.shape == arr.shape and got.dtype == np.float64


def test_frame_forms_reject_bad_input():
    with pytest.raises(TypeError, match="DataFrame"):
        w.batch_mad(np.zeros((2, 2)))
    with pytest.raises(ValueError, match="float64"):
        w.batch_std(pd.DataFrame({"a": ["x", "y"]}))


# ---------------------------------------------------------------- the step


def test_method_validation():
    assert assayer.Winzorization().method == "mad"
    assert assayer.VALID_WINSORIZE_METHODS == {"mad", "std", "percentile"}
    for bad in ("median", None, ["mad"]):
        with pytest.raises(ValueError) as err:
            assayer.Winzorization(method=bad)
        assert str(err.value) == "method: expect one of {}, got {}".format(assayer.VALID_WINSORIZE_METHODS, bad)


@pytest.fixture
def df():
    rng = np.random.default_rng(3)
    x = rng.standard_t(2, size=(30, 50))
    x[rng.random(x.shape) < 0.1] = np.nan
    return pd.DataFrame(x, index=pd.bdate_range("2021-01-01", periods=30), columns=[f"S{i}" for i in range(50)])


@pytest.mark.parametrize("method", ["mad", "std", "percentile"])
def test_step_uses_batch_path_and_leaves_input(method, df):
    before = df.copy()
    out = assayer.Winzorization(method).process(df)
    pd.testing.assert_frame_equal(df, before)
    pd.testing.assert_frame_equal(out, df.apply(w.WINSORIZE_METHODS[method], axis=1))


def test_step_falls_back_to_rows_on_key_error(df, monkeypatch):
    calls = []

    def row_rule(row):
        calls.append(row.name)
        return row.clip(-1, 1)

    def batch_missing_key(frame):
        raise KeyError("inner")

    monkeypatch.setitem(assayer.WINSORIZE_METHODS, "clip1", row_rule)
    monkeypatch.setitem(assayer.BATCH_WINSORIZE_METHODS, "mad", batch_missing_key)
    monkeypatch.setitem(assayer.WINSORIZE_METHODS, "mad", row_rule)
    monkeypatch.setattr(assayer, "VALID_WINSORIZE_METHODS", {"mad", "std", "percentile", "clip1"})
    for method in ("clip1", "mad"):  # no batch form / batch raising KeyError
        calls.clear()
        out = assayer.Winzorization(method).process(df)
        assert calls == list(df.index)
        pd.testing.assert_frame_equal(out, df.clip(-1, 1))


def test_step_propagates_other_errors(df, monkeypatch):
    def broken(frame):
        raise ZeroDivisionError("x")

    monkeypatch.setitem(assayer.BATCH_WINSORIZE_METHODS, "std", broken)
    with pytest.raises(ZeroDivisionError):
        assayer.Winzorization("std").process(df)
    step = assayer.Winzorization("std")
    monkeypatch.setattr(assayer, "BATCH_WINSORIZE_METHODS", {})
    monkeypatch.setattr(assayer, "WINSORIZE_METHODS", {})
    with pytest.raises(KeyError):
        step.process(df)


def test_user_subclass_overrides_method(df):
    class Percentile(assayer.Winzorization):
        def __init__(self):  # no base __init__
            self.method = "percentile"

    out = Percentile().process(df)
    pd.testing.assert_frame_equal(out, w.batch_percentile(df))
    assert isinstance(Percentile(), assayer.FactorPreprocessor)


@pytest.mark.parametrize("method", ["mad", "std", "percentile"])
def test_wide_rows_match_reference(method):
    rng = np.random.default_rng(11)
    n = 3001
    rows = [
        rng.standard_t(2, n),
        np.sort(rng.normal(size=n)),  # sorted rows
        np.sort(rng.normal(size=n))[::-1],
        rng.integers(0, 4, n).astype(float),  # heavy ties
        np.r_[np.full(n - 5, 1.0), [50.0, -50.0, np.inf, -np.inf, np.nan]],
        np.r_[rng.normal(size=700), np.full(n - 700, np.nan)],
        np.r_[rng.normal(size=n - 1) * 1e-3, 1e9],
    ]
    for even in (False, True):
        x = np.vstack(rows)[:, : n - 1] if even else np.vstack(rows)
        got = _core.winsorize(x, method)
        expected = np.vstack([reference_row(r, method) for r in x])
        np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-12, equal_nan=True)
