"""Work split over threads: every thread count and panel width gives the bits of one
1-D call per column, however the ranges are handed out."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import zarnik.rolling as R


@settings(max_examples=40, deadline=None)
@given(
    columns=st.integers(1, 300),
    threads=st.sampled_from(["1", "2", "3", "5", "16"]),
    name=st.sampled_from(["ma", "ts_rank", "std", "correlation", "sum"]),
    order=st.sampled_from(["C", "F"]),
    seed=st.integers(0, 2**16),
)
def test_columns_match_one_call_each_for_any_thread_count(columns, threads, name, order, seed):
    rng = np.random.default_rng(seed)
    a = np.asarray(rng.normal(size=(30, columns)).cumsum(axis=0), order=order)
    b = np.asarray(rng.normal(size=(30, columns)), order=order)
    a[rng.random(a.shape) < 0.05] = np.nan
    kern = getattr(R, name)
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("ZARNIK_NUM_THREADS", threads)
        got = R._apply_columns(kern, 6, a, b) if name == "correlation" else R._apply_columns(kern, 6, a)
    want = np.column_stack(
        [kern(6, a[:, j].copy(), b[:, j].copy()) if name == "correlation" else kern(a[:, j].copy(), 6)
         for j in range(columns)])
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("threads", ["2", "3", "16"])
@pytest.mark.parametrize("name", ["ts_rank", "correlation"])
def test_work_large_enough_for_workers_gives_the_same_bits(threads, name, monkeypatch):
    # milliseconds of work: the calling thread starts workers and shares the ranges with them
    rng = np.random.default_rng(7)
    a = rng.normal(size=(1500, 700)).cumsum(axis=0)
    b = rng.normal(size=(1500, 700))
    a[rng.random(a.shape) < 0.01] = np.nan
    kern = getattr(R, name)
    args = (a, b) if name == "correlation" else (a,)
    monkeypatch.setenv("ZARNIK_NUM_THREADS", "1")
    want = R._apply_columns(kern, 40, *args)
    monkeypatch.setenv("ZARNIK_NUM_THREADS", threads)
    for _ in range(3):
        np.testing.assert_array_equal(R._apply_columns(kern, 40, *args), want)
    j = 613
    one = kern(40, a[:, j].copy(), b[:, j].copy()) if name == "correlation" else kern(a[:, j].copy(), 40)
    np.testing.assert_array_equal(want[:, j], one)
