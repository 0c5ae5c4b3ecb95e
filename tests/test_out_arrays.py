"""Results written into a caller's array (``out=``): the rolling column batch and the
per-date operators give the same bits as into a new array, write every cell, and
refuse arrays they cannot write safely."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import zarnik.rolling as R
from zarnik import _core

KERNELS = ["sum", "ma", "std", "ts_min", "ts_argmax", "ts_rank", "zscore", "ema", "wma", "covariance",
           "correlation"]
LAYOUTS = {"C": np.ascontiguousarray, "F": np.asfortranarray, "strided": lambda x: np.repeat(x, 2, axis=1)[:, ::2]}


def _panel(seed: int, L: int, N: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.normal(size=(L, N)), axis=0)
    x[rng.random(x.shape) < 0.05] = np.nan
    x[rng.random(x.shape) < 0.02] = np.inf
    return x


def _stale(shape, order: str) -> np.ndarray:
    """An output array full of a value no kernel produces: a cell left unwritten shows."""
    return np.full(shape, -7.25e300, order=order)


@settings(max_examples=80, deadline=None)
@given(name=st.sampled_from(KERNELS), L=st.integers(1, 40), N=st.integers(1, 12), frac=st.floats(0, 1),
       layout=st.sampled_from(sorted(LAYOUTS)), order=st.sampled_from("CF"), seed=st.integers(0, 2**16))
def test_rolling_out_equals_a_new_result(name, L, N, frac, layout, order, seed):
    n = max(1, int(round(frac * L)))
    k = getattr(R, name)
    arrays = [LAYOUTS[layout](_panel(seed + i, L, N)) for i in range(2 if name in ("covariance", "correlation") else 1)]
    with np.errstate(all="ignore"):
        want = R._apply_columns(k, n, *arrays)
        out = _stale(want.shape, order)
        got = R._apply_columns(k, n, *arrays, out=out)
    assert got is out
    assert np.array_equal(got.view(np.uint64), np.ascontiguousarray(want).view(np.uint64))


@settings(max_examples=60, deadline=None)
@given(op=st.sampled_from(["rank", "rank asc", "zscore", "scale", "bucket", "demean", "grank"]),
       L=st.integers(0, 8), N=st.integers(1, 30), layout=st.sampled_from(sorted(LAYOUTS)),
       seed=st.integers(0, 2**16))
def test_cross_section_out_equals_a_new_result(op, L, N, layout, seed):
    x = LAYOUTS[layout](_panel(seed, L, N))
    g = np.floor(np.random.default_rng(seed).uniform(0, 3, x.shape))
    calls = {
        "rank": lambda **kw: _core.percentile_rank(x, False, **kw),
        "rank asc": lambda **kw: _core.percentile_rank(x, **kw),
        "zscore": lambda **kw: _core.cross_section(x, "zscore", **kw),
        "scale": lambda **kw: _core.cross_section(x, "scale", param=2.0, **kw),
        "bucket": lambda **kw: _core.cross_section(x, "bucket", param=4, **kw),
        "demean": lambda **kw: _core.cross_section(x, "demean", g, **kw),
        "grank": lambda **kw: _core.cross_section(x, "rank", g, **kw),
    }
    with np.errstate(all="ignore"):
        want = calls[op]()
        out = _stale(x.shape, "C")
        got = calls[op](out=out)
    assert got is out
    assert np.array_equal(got.view(np.uint64), want.view(np.uint64))


X = np.arange(60.0).reshape(12, 5)


def _read_only():
    a = np.empty((10, 5))
    a.flags.writeable = False
    return a


def _unaligned():
    raw = np.zeros(10 * 5 * 8 + 1, dtype=np.uint8)
    return raw[1:].view(np.float64).reshape(10, 5)


BAD = [
    ("list", lambda: [[0.0] * 5] * 10, TypeError, "out: expected a numpy array, got list"),
    ("shape", lambda: np.empty((11, 5)), ValueError, r"out: expected an array of shape \(10, 5\), got \(11, 5\)"),
    ("dtype", lambda: np.empty((10, 5), dtype=np.float32), TypeError, "out: expected dtype float64, got float32"),
    ("byte order", lambda: np.empty((10, 5), dtype=">f8"), TypeError, "out: expected dtype float64"),
    ("read-only", _read_only, ValueError, "out: the array is read-only"),
    ("strided", lambda: np.empty((10, 10))[:, ::2], ValueError, "out: expected an aligned C"),
    ("unaligned", _unaligned, ValueError, "out: expected an aligned C"),
]


@pytest.mark.parametrize("case, make, error, message", BAD, ids=[b[0] for b in BAD])
@pytest.mark.parametrize("call", ["rolling", "rank", "cross_section"])
def test_unusable_out_arrays_are_refused(case, make, error, message, call):
    before = X.copy()
    out = make()
    run = {
        "rolling": lambda: R._apply_columns(R.ma, 3, X, out=out),
        "rank": lambda: _core.percentile_rank(X[:10], out=out),
        "cross_section": lambda: _core.cross_section(X[:10], "zscore", out=out),
    }[call]
    with pytest.raises(error, match=message):
        run()
    np.testing.assert_array_equal(X, before)


@pytest.mark.parametrize("call", ["rolling", "rank", "cross_section", "grouped"])
def test_out_sharing_memory_with_an_input_is_refused(call):
    buf = np.arange(200.0).reshape(40, 5)
    g = np.zeros((40, 5))
    run = {
        "rolling": lambda out: R._apply_columns(R.ma, 3, buf[:12], out=out),
        "rank": lambda out: _core.percentile_rank(buf[:10], out=out),
        "cross_section": lambda out: _core.cross_section(buf[:10], "zscore", out=out),
        "grouped": lambda out: _core.cross_section(buf[20:30], "demean", g[:10], out=out),
    }[call]
    overlapping = buf[5:15] if call != "grouped" else g[5:15]
    with pytest.raises(ValueError, match="out: shares memory with an input"):
        run(overlapping)
    # adjacent but separate memory is fine
    got = run(buf[30:40])
    assert got is not None and np.shares_memory(got, buf[30:40])


def test_cross_section_out_must_be_row_major():
    with pytest.raises(ValueError, match="out: expected an aligned C-contiguous array"):
        _core.percentile_rank(X, out=np.empty((12, 5), order="F"))


@pytest.mark.parametrize("name, dtype", [("count", np.int64), ("ts_argmax", np.float64)])
def test_rolling_out_takes_the_result_dtype(name, dtype):
    k = getattr(R, name)
    want = R._apply_columns(k, 4, X)
    assert want.dtype == dtype
    got = R._apply_columns(k, 4, X, out=np.empty(want.shape, dtype=dtype))
    np.testing.assert_array_equal(got, want)
    other = np.float64 if dtype == np.int64 else np.int64
    with pytest.raises(TypeError, match="out: expected dtype"):
        R._apply_columns(k, 4, X, out=np.empty(want.shape, dtype=other))


def test_rolling_out_refused_for_float16_inputs():
    with pytest.raises(TypeError, match="out: not supported for float16 inputs"):
        R._apply_columns(R.ma, 3, X.astype(np.float16), out=np.empty((10, 5), dtype=np.float16))
