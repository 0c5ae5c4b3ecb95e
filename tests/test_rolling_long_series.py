"""Long series of the running-sum kernels run as stretches streamed like columns.

A float64 series of more than about 65,000 values is cut into stretches of whole blocks,
which run through the column streams and over threads. Every window must keep the bits of
the 1-D kernel: checked against the same kernel on overlapping pieces short enough to run
as one series, each given its place on the series' scale (`last`), and the floating-point
conditions must be those of the pieces together.
"""

from __future__ import annotations

import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zarnik.rolling as R

PAIR = {"covariance", "correlation"}
STREAMED = ["sum", "ma", "var", "std", "zscore", "skew", "kurt", "wma", "covariance", "correlation"]
PIECE = 30_000  # values per reference piece: well below the length that is cut into stretches


def _conditions(call) -> tuple[np.ndarray, set[str]]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = call()
    return out, {str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)}


def _by_pieces(name: str, n: int, arrays: list[np.ndarray], last: int) -> tuple[np.ndarray, set[str]]:
    """The kernel on pieces of PIECE values overlapping by n - 1, each placed on the scale."""
    L = arrays[0].shape[0]
    parts, seen = [], set()
    start = 0
    while start + n <= L:
        stop = min(L, start + PIECE)
        piece = [a[start:stop, None] for a in arrays]
        got, cond = _conditions(lambda: R._apply_columns(name, n, *piece, last=last - (L - stop)))
        parts.append(got[:, 0])
        seen |= cond
        if stop == L:
            break
        start = stop - n + 1
    return np.concatenate(parts), seen


def _series(rng: np.random.Generator, L: int, kind: str, n: int = 20) -> np.ndarray:
    """A random walk with missing values (fewer on long windows, so that some windows hold none)."""
    x = 100 + np.cumsum(rng.standard_normal(L))
    x[rng.random(L) < min(0.01, 1 / n)] = np.nan
    if kind == "inf":
        x[rng.random(L) < 0.001] = np.inf
        x[rng.random(L) < 0.001] = -np.inf
    elif kind == "constant":
        a = int(rng.integers(0, L - 5000))
        x[a:a + 5000] = 3.25
    elif kind == "huge":
        x[rng.random(L) < 0.0005] = 1e200
    elif kind == "offset":
        x = 1e9 + x * 1e-6  # ill-conditioned windows, recomputed one stretch at a time
    return x


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    name=st.sampled_from(STREAMED),
    L=st.integers(66_000, 120_000),
    n=st.sampled_from([1, 2, 5, 20, 250, 1_500]),
    kind=st.sampled_from(["plain", "inf", "constant", "huge", "offset"]),
    last=st.one_of(st.none(), st.integers(-10**7, 10**7)),
    seed=st.integers(0, 2**32 - 1),
)
def test_long_series_keep_the_bits_of_short_pieces(name, L, n, kind, last, seed):
    rng = np.random.default_rng(seed)
    arrays = [_series(rng, L, kind, n)]
    if name in PAIR:
        arrays.append(_series(rng, L, "plain", n))
    if last is None:
        f = getattr(R, name)
        got, cond = _conditions(lambda: f(n, *arrays) if name in PAIR else f(arrays[0], n))
        last = -1  # positions counted back from the last value
    else:
        got, cond = _conditions(lambda: R._apply_columns(name, n, *(a[:, None] for a in arrays), last=last)[:, 0])
    want, want_cond = _by_pieces(name, n, arrays, last)
    assert got.shape == want.shape == (L - n + 1,)
    assert np.array_equal(got.view(np.uint64), want.view(np.uint64))
    assert cond == want_cond
    # a single value has no spread; windows of 1,500 among infinities and NaNs seldom hold neither
    if not (name in ("correlation", "zscore", "skew") and n == 1) and not (kind == "inf" and n > 250):
        assert np.isfinite(got).any()


@pytest.mark.parametrize("name, layout", [(name, layout) for name in STREAMED
                                          for layout in ("strided", "reversed", "float32")
                                          if not (layout == "float32" and name in PAIR)])  # pairs: float64 only
def test_long_series_in_other_layouts(name, layout):
    """Strided, reversed and float32 series run as one series; their values are unchanged."""
    rng = np.random.default_rng(7)
    L, n = 80_000, 20
    base = [_series(rng, 2 * L, "plain") for _ in range(2 if name in PAIR else 1)]
    make = {"strided": lambda a: a[::2], "reversed": lambda a: a[L - 1::-1],
            "float32": lambda a: a[:L].astype(np.float32)}[layout]
    arrays = [make(a) for a in base]
    f = getattr(R, name)
    with np.errstate(all="ignore"):
        got = f(n, *arrays) if name in PAIR else f(arrays[0], n)
        plain = [np.ascontiguousarray(a, dtype=np.float64) for a in arrays]
        want = f(n, *plain) if name in PAIR else f(plain[0], n)
    if layout == "float32":
        np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-3)
    else:
        assert np.array_equal(got.view(np.uint64), want.view(np.uint64))


@pytest.mark.parametrize("name", STREAMED)
def test_long_series_values(name):
    """The stretches' windows hold the windows' statistics (two-pass reference, float64)."""
    rng = np.random.default_rng(11)
    L, n = 70_001, 37
    x = 50 + rng.standard_normal(L)
    y = 0.4 * x + rng.standard_normal(L)
    w = np.lib.stride_tricks.sliding_window_view
    wx, wy = w(x, n), w(y, n)
    ref = {
        "sum": wx.sum(axis=1),
        "ma": wx.mean(axis=1),
        "var": wx.var(axis=1),
        "std": wx.std(axis=1),
        "covariance": ((wx - wx.mean(axis=1, keepdims=True)) * (wy - wy.mean(axis=1, keepdims=True))).mean(axis=1),
    }
    ref["correlation"] = ref["covariance"] / (wx.std(axis=1) * wy.std(axis=1))
    dev = wx - wx.mean(axis=1, keepdims=True)
    m2, m3, m4 = ((dev**k).mean(axis=1) for k in (2, 3, 4))
    ref["zscore"] = dev[:, -1] / np.sqrt(m2)
    ref["skew"] = m3 / m2**1.5 * np.sqrt(n * (n - 1)) / (n - 2)  # adjusted Fisher-Pearson
    ref["kurt"] = ((n * n - 1) * m4 / m2**2 - 3 * (n - 1) ** 2) / ((n - 2) * (n - 3))  # unbiased excess
    j = np.arange(n)
    ref["wma"] = wx @ (j + 1.0) / (n * (n + 1) / 2)  # weights 1 .. n, the newest heaviest
    f = getattr(R, name)
    got = f(n, x, y) if name in PAIR else f(x, n)
    np.testing.assert_allclose(got, ref[name], rtol=1e-9, atol=1e-9)
