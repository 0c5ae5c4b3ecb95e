"""Evaluation engine: expensive ufuncs over blocks of lines on threads, cheap calendar and
coverage checks.

An expensive ufunc (power, logarithm, ...) over a large panel runs over blocks of rows or
columns on several threads; the result must have the bits of numpy's one call over the whole
panel, raise what that call raises and honour the caller's floating-point error handling.
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zarnik import engine as E
from zarnik.exception import DataCoverageWarning

SPECIAL = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, 1.0, 5e-324, 1e308, -2.5, 0.5])


def _panel(rng: np.random.Generator, rows: int, cols: int, layout: str) -> np.ndarray:
    x = rng.lognormal(0.0, 3.0, (rows + 3, cols + 2)) * rng.choice([-1.0, 1.0], (rows + 3, cols + 2))
    hit = rng.random(x.shape) < 0.2
    x[hit] = rng.choice(SPECIAL, int(hit.sum()))
    if layout == "C":
        return np.ascontiguousarray(x[:rows, :cols])
    if layout == "F":
        return np.asfortranarray(x[:rows, :cols])
    if layout == "F-view":  # the last rows of longer column-major frames
        return np.asfortranarray(x)[3:, 2:]
    return x[:rows, 1:cols + 1]  # rows with a gap between them


CASES = {
    "power int": (np.power, lambda a, b: (a, 5)),
    "power float": (np.power, lambda a, b: (a, 0.3)),
    "power panels": (np.power, lambda a, b: (a, b)),
    "log": (np.log, lambda a, b: (a,)),
    "exp": (np.exp, lambda a, b: (a,)),
    "arctan2 scalar first": (np.arctan2, lambda a, b: (2.0, a)),
    "log1p": (np.log1p, lambda a, b: (a,)),
}


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("layout", ["C", "F", "F-view", "strided"])
@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.integers(1, 23), cols=st.integers(1, 19), threads=st.integers(1, 5), seed=st.integers(0, 2**32 - 1),
       into=st.booleans())
def test_blocks_on_threads_have_the_bits_of_one_call(monkeypatch, case, layout, rows, cols, threads, seed, into):
    monkeypatch.setattr(E, "_SPLIT_CELLS", 2)  # split even tiny panels
    monkeypatch.setenv("ZARNIK_NUM_THREADS", str(threads))
    rng = np.random.default_rng(seed)
    func, make = CASES[case]
    args = make(_panel(rng, rows, cols, layout), _panel(rng, rows, cols, layout))
    with np.errstate(all="ignore"):
        want = func(*args)
        if into:
            out = np.full(want.shape, 7.0, order="F" if layout.startswith("F") else "C")
            got = E._call_ufunc(func, list(args), out)
            assert got is out
        else:
            got = E._call_ufunc(func, list(args))
    assert got.shape == want.shape and got.dtype == want.dtype
    assert np.array_equal(got.view(np.int64), want.view(np.int64))


@pytest.mark.parametrize("threads", [2, 3])
def test_integer_panels_keep_numpy_types_and_errors(monkeypatch, threads):
    monkeypatch.setattr(E, "_SPLIT_CELLS", 2)
    monkeypatch.setenv("ZARNIK_NUM_THREADS", str(threads))
    a = np.arange(-20, 20, dtype=np.int64).reshape(8, 5)
    got = E._call_ufunc(np.power, [a, 3])
    assert got.dtype == np.power(a, 3).dtype and np.array_equal(got, np.power(a, 3))
    with pytest.raises(ValueError, match="negative integer powers"):
        np.power(a, -1)
    with pytest.raises(ValueError, match="negative integer powers"):
        E._call_ufunc(np.power, [a, -1])


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_the_callers_error_handling_holds_in_every_block(monkeypatch, threads):
    monkeypatch.setattr(E, "_SPLIT_CELLS", 2)
    monkeypatch.setenv("ZARNIK_NUM_THREADS", str(threads))
    a = np.ones((6, 40))
    a[5, 39] = 0.0  # in the last block: a worker's block when there are threads
    with np.errstate(divide="raise"):
        with pytest.raises(FloatingPointError):
            E._call_ufunc(np.log, [a])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with np.errstate(all="ignore"):
            got = E._call_ufunc(np.log, [a])
    assert got[5, 39] == -np.inf and np.array_equal(got[:5], np.zeros((5, 40)))


def test_cheap_ufuncs_and_broadcasting_stay_one_call(monkeypatch):
    monkeypatch.setattr(E, "_SPLIT_CELLS", 2)
    monkeypatch.setenv("ZARNIK_NUM_THREADS", "4")
    a = np.arange(12.0).reshape(3, 4)
    row = np.arange(4.0)
    assert np.array_equal(E._call_ufunc(np.power, [a, row]), np.power(a, row))  # a 1-D operand
    with pytest.raises(ValueError):
        E._call_ufunc(np.power, [a, np.ones((4, 3))])  # shapes that do not broadcast: numpy's error
    assert np.array_equal(E._call_ufunc(np.add, [a, a]), a + a)


class _Client:
    def __init__(self, raw):
        self.raw = raw

    def get_trading_dates(self, start, end):
        return self.raw


CAL = pd.bdate_range("2022-03-01", periods=30)


@pytest.mark.parametrize(
    "raw",
    [
        CAL,
        pd.DatetimeIndex(CAL.to_numpy()),  # no frequency
        CAL + pd.Timedelta(hours=15),  # times of day
        pd.DatetimeIndex(CAL.to_numpy().astype("M8[s]")),
        list(CAL.date),
        CAL[[0, 3, 4, 9, 20]],
    ],
    ids=["bdays", "no-freq", "15h", "seconds", "dates", "gaps"],
)
def test_trading_dates_with_and_without_frequency(raw):
    want = pd.DatetimeIndex(pd.to_datetime(list(raw))).normalize()
    full = E._trading_dates(_Client(raw), None, None)
    bare = E._trading_dates(_Client(raw), None, None, infer_freq=False)
    assert full.equals(want) and full.freq == want.freq and full.dtype == want.dtype
    assert bare.equals(want) and bare.freq is None and bare.name is None


@pytest.mark.parametrize("layout", ["C", "F"])
@settings(max_examples=40, deadline=None)
@given(data=st.data(), rows=st.integers(1, 6), cols=st.integers(1, 9))
def test_missing_instruments_warned_exactly(layout, data, rows, cols):
    mask = np.array(data.draw(st.lists(st.lists(st.booleans(), min_size=cols, max_size=cols),
                                       min_size=rows, max_size=rows)))
    values = np.where(mask, np.nan, 1.0)
    values = np.asfortranarray(values) if layout == "F" else np.ascontiguousarray(values)
    ids = ["I{}".format(j) for j in range(cols)]
    absent = [ids[j] for j in np.flatnonzero(mask.all(axis=0))]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        E._warn_missing_instruments(values, ids, pd.bdate_range("2022-01-03", periods=rows))
    got = [w for w in caught if issubclass(w.category, DataCoverageWarning)]
    if not absent:
        assert not got
    else:
        assert len(got) == 1
        text = str(got[0].message)
        assert text.startswith("no market data for {} of {} ".format(len(absent), cols))
        assert all(i in text for i in absent[:5])
