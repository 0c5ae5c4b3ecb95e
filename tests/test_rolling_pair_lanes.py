"""Two-series kernels finish most windows four or two at a time, one per vector lane.

covariance, correlation and regression finish the windows of several blocks
together (a window whose sums are not finite gets NaN there, to be fixed
later); a window with a constant series (or squares that underflow to zero)
or an ill-conditioned one goes to the per-window finish instead. Which windows share a step depends on the path
(four blocks with AVX2, two with SSE2, one for the blocks left at either end)
and on where the series starts, so every window must get the same bits from
each: AVX2 against SSE2 in one process, and a series against its own tail.
"""

from __future__ import annotations

import warnings

import numpy as np
from hypothesis import HealthCheck, given, settings, strategies as st
from numpy.lib.stride_tricks import sliding_window_view

import zarnik.rolling as R

PAIR = ("covariance", "correlation", "regression")


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def _series(rng, L, scale, kinds):
    x = 3.0 * scale + scale * rng.standard_normal(L)
    for kind in kinds:
        at = rng.integers(0, L, size=max(1, L // 50))
        if kind == "const":  # a constant stretch: zero squares about the anchor
            s = int(rng.integers(0, L))
            x[s:s + int(rng.integers(1, 60))] = x[s]
        elif kind == "nan":
            x[at] = np.nan
        elif kind == "inf":
            x[at] = rng.choice([np.inf, -np.inf])
        elif kind == "huge":  # squares overflow
            x[at] = rng.choice([1e200, -1e200])
        elif kind == "zero":
            x[at] = rng.choice([0.0, -0.0])
    return x


@st.composite
def cases(draw):
    L = draw(st.integers(2, 1200))
    # short windows (up to 8: four blocks a step), longer ones (two a step), a few long ones
    n = draw(st.one_of(st.integers(2, 12), st.integers(13, 60), st.integers(61, 400)))
    n = min(n, L)
    seed = draw(st.integers(0, 2**32 - 1))
    # 1e-170: the squares of the deviations underflow to zero
    scales = draw(st.tuples(*[st.sampled_from([1.0, 1e-3, 1e6, 1e-170]) for _ in range(2)]))
    kinds = [draw(st.lists(st.sampled_from(["const", "nan", "inf", "huge", "zero"]), max_size=3)) for _ in range(2)]
    k = draw(st.integers(0, L - n))
    rng = np.random.default_rng(seed)
    x = _series(rng, L, scales[0], kinds[0])
    with np.errstate(invalid="ignore"):  # inf + -inf in the generated data is a NaN input, as meant
        y = 0.5 * x + _series(rng, L, scales[1], kinds[1]) if draw(st.booleans()) else _series(rng, L, scales[1],
                                                                                              kinds[1])
    return x, y, n, k


def _reference(x, y, n):
    """Two-pass window statistics in long double, with each window's scale for the tolerance."""
    wx = sliding_window_view(x.astype(np.longdouble), n)
    wy = sliding_window_view(y.astype(np.longdouble), n)
    dx = wx - wx.mean(axis=1, keepdims=True)
    dy = wy - wy.mean(axis=1, keepdims=True)
    vx, vy = (dx * dx).mean(axis=1), (dy * dy).mean(axis=1)
    cov = (dx * dy).mean(axis=1)
    return cov, vx, vy


@settings(max_examples=120, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(cases())
def test_lanes_and_single_windows_agree(monkeypatch, case):
    x, y, n, k = case
    got = {}
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for off in ("", "1"):
            monkeypatch.setenv("ZARNIK_NO_AVX2", off)
            for name in PAIR:
                f = getattr(R, name)
                got[off, name] = f(n, x, y)
                got[off, name, "tail"] = f(n, x[k:], y[k:])
        for name in PAIR:
            full = got["", name]
            assert same_bits(full, got["1", name]), (name, "AVX2 against SSE2")
            assert same_bits(full[k:], got["", name, "tail"]), (name, "series against its tail")
            assert same_bits(got["", name, "tail"], got["1", name, "tail"]), (name, "tail, AVX2 against SSE2")

        # the values themselves, where the window is finite, of moderate magnitude, and
        # its squared deviations do not underflow (those windows count as constant)
        cov, vx, vy = _reference(x, y, n)
        wx, wy = sliding_window_view(x, n), sliding_window_view(y, n)
        plain = (np.isfinite(wx).all(axis=1) & np.isfinite(wy).all(axis=1)
                 & (np.abs(wx).max(axis=1) < 1e100) & (np.abs(wy).max(axis=1) < 1e100)
                 & ((vx == 0) | (vx > 1e-250)) & ((vy == 0) | (vy > 1e-250)))
        has_nan = np.isnan(wx).any(axis=1) | np.isnan(wy).any(axis=1)
        for name in PAIR:
            assert np.isnan(got["", name][has_nan]).all(), name
        scale = np.sqrt(vx * vy)
        c = got["", "covariance"]
        assert np.all(np.abs(c[plain] - cov[plain]) <= 1e-9 * scale[plain] + 1e-300)
        # correlation and slope where both series vary well above rounding
        mx = np.maximum(np.abs(wx).max(axis=1), 1e-300).astype(np.longdouble)
        my = np.maximum(np.abs(wy).max(axis=1), 1e-300).astype(np.longdouble)
        varied = plain & (vx > 1e-16 * mx * mx) & (vy > 1e-16 * my * my)
        corr = cov[varied] / np.sqrt(vx[varied] * vy[varied])
        assert np.all(np.abs(got["", "correlation"][varied] - corr) <= 1e-6)
        slope = cov[varied] / vx[varied]
        tol = 1e-6 * np.sqrt(vy[varied] / vx[varied])
        assert np.all(np.abs(got["", "regression"][varied] - slope) <= tol)
