"""The coverage account's float fast path (counts, constant rows, empty instruments straight from the
array) against the same account over an object copy of the frame, which takes pandas' own counts and
a conversion to float."""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from zarnik.analysis.coverage import CoverageAccount, _constant_rows, _counts, _float_values

_CELLS = st.sampled_from([np.nan, np.nan, 0.0, -0.0, 1.0, -1.0, 2.5, np.inf, -np.inf, 1e-300, 1e300])


@st.composite
def _frames(draw: st.DrawFn) -> pd.DataFrame:
    rows = draw(st.integers(1, 8))
    cols = draw(st.integers(1, 6))
    cells = draw(st.lists(_CELLS, min_size=rows * cols, max_size=rows * cols))
    values = np.array(cells, dtype=np.float64).reshape(rows, cols)
    return pd.DataFrame(values, index=pd.date_range("2024-01-01", periods=rows),
                        columns=["S{}".format(i) for i in range(cols)])


def _account(frames: list[pd.DataFrame]) -> tuple[pd.DataFrame, list[str]]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        acc = CoverageAccount(frames[0])
        for i, f in enumerate(frames[1:]):
            acc.step("s{}".format(i), f)
    return acc.to_frame(), [str(w.message) for w in caught]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(_frames(), st.lists(st.integers(0, 2**32 - 1), min_size=1, max_size=3))
def test_float_account_matches_the_object_account(frame, seeds):
    # later stages: the first frame with random cells turned missing or made equal across the row
    frames = [frame]
    for seed in seeds:
        rng = np.random.default_rng(seed)
        v = frames[-1].to_numpy(copy=True)
        v[rng.random(v.shape) < 0.3] = np.nan
        v[rng.random(v.shape[0]) < 0.3] = 4.0
        frames.append(pd.DataFrame(v, index=frame.index, columns=frame.columns))
    assert all(_float_values(f) is not None for f in frames)
    fast, fast_warnings = _account(frames)
    slow, slow_warnings = _account([f.astype(object) for f in frames])
    assert all(_float_values(f.astype(object)) is None for f in frames)
    pd.testing.assert_frame_equal(fast, slow)
    assert fast_warnings == slow_warnings


@settings(max_examples=200, deadline=None)
@given(_frames())
def test_counts_and_constant_rows_against_references(frame):
    v = frame.to_numpy()
    counts = _counts(frame, _float_values(frame))
    np.testing.assert_array_equal(counts, frame.notna().sum(axis=1).to_numpy())
    assert counts.dtype == np.int64
    expected = np.array([len(r[~np.isnan(r)]) >= 2 and np.unique(r[~np.isnan(r)]).size == 1
                         and np.isfinite(r[~np.isnan(r)][0]) for r in v])
    np.testing.assert_array_equal(_constant_rows(frame, counts, _float_values(frame)), expected)


@pytest.mark.parametrize("make, fast", [
    (lambda v: pd.DataFrame(v), True),
    (lambda v: v, True),
    (lambda v: pd.DataFrame(v.astype(np.float32)), False),
    (lambda v: pd.DataFrame({"a": v[:, 0], "b": v[:, 1].astype(object)}), False),
    (lambda v: pd.DataFrame(v[:, :0]), False),
    (lambda v: v.reshape(-1), False),
])
def test_float_values_only_without_conversion(make, fast):
    v = np.array([[1.0, np.nan], [2.0, 3.0]])
    assert (_float_values(make(v)) is not None) is fast


def test_one_dimensional_input_is_a_clear_error():
    with pytest.raises(ValueError, match="expected a 2-D frame"):
        CoverageAccount(np.arange(3.0))


def _layouts(v: np.ndarray) -> list[np.ndarray]:
    """The same matrix in the memory layouts a frame's block can have: C and Fortran order, a
    strided slice, reversed rows and columns, a non-contiguous view of a wider array."""
    wide = np.full((v.shape[0], 2 * v.shape[1] + 1), 7.0)
    wide[:, 1::2] = v
    return [np.ascontiguousarray(v), np.asfortranarray(v), wide[:, 1::2],
            np.ascontiguousarray(v[::-1, ::-1])[::-1, ::-1], np.asfortranarray(np.repeat(v, 2, axis=0))[::2]]


@st.composite
def _matrices(draw: st.DrawFn) -> np.ndarray:
    rows = draw(st.integers(0, 40))
    cols = draw(st.integers(0, 23))
    cells = draw(st.lists(_CELLS, min_size=rows * cols, max_size=rows * cols))
    values = np.array(cells, dtype=np.float64).reshape(rows, cols)
    # whole rows of one value (constant rows) and of one value besides NaN
    for r in draw(st.lists(st.integers(0, max(rows - 1, 0)), max_size=4)) if rows else []:
        fill = draw(_CELLS)
        keep = np.isnan(values[r]) if draw(st.booleans()) else np.zeros(cols, dtype=bool)
        values[r] = np.where(keep, np.nan, fill)
    return values


@settings(max_examples=300, deadline=None)
@given(_matrices())
def test_one_pass_presence_matches_the_numpy_helpers(v):
    from zarnik.analysis.coverage import _presence

    frame = pd.DataFrame(v.astype(object))  # the helpers' pandas path, not the float one
    counts = _counts(frame)
    constant = _constant_rows(frame, counts)
    per_column = frame.count(axis=0).to_numpy()
    for layout in _layouts(v):
        got_counts, got_constant, got_columns = _presence(None, layout, column_counts=True)
        np.testing.assert_array_equal(got_counts, counts)
        assert got_counts.dtype == np.int64
        np.testing.assert_array_equal(got_constant, constant)
        np.testing.assert_array_equal(got_columns, per_column)
        assert _presence(None, layout)[2] is None
    # the fallback (no float array) gives the same three
    back = _presence(frame, None, column_counts=True)
    np.testing.assert_array_equal(back[0], counts)
    np.testing.assert_array_equal(back[1], constant)
    np.testing.assert_array_equal(back[2], per_column)
