"""Rolling kernels of zarnik.rolling against independent references.

The references are written here: numpy window matrices for the order
statistics, exact rational arithmetic (fractions.Fraction) for the moment
statistics, so accuracy is judged against the true value of each window.
"""

from __future__ import annotations

import math
import warnings
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from numpy.lib.stride_tricks import sliding_window_view
from scipy import stats

import zarnik.rolling as R

SINGLE = [name for name, info in R.KERNELS.items() if info.inputs == 1]
PAIR = [name for name, info in R.KERNELS.items() if info.inputs == 2]
ALL = SINGLE + PAIR
MOMENT = ["zscore", "skew", "kurt", "avedev", "ma", "ema", "wma", "std", "var", "slope", "sum"]
ORDER = ["count", "ts_rank", "product", "ts_argmax", "ts_argmin", "ts_min", "ts_max"]


@pytest.fixture(autouse=True)
def _quiet_conditions():
    """The references here include windows numpy's formulas flag (0 / 0 on constant
    windows, overflow); how the kernels report those is tested in test_rolling_warnings.py."""
    with np.errstate(all="ignore"):
        yield


def call(name, window, *series):
    f = getattr(R, name)
    return f(window, *series) if name in PAIR else f(series[0], window)


# ---------------------------------------------------------------------------
# references
# ---------------------------------------------------------------------------
def ema_weights(n):
    alpha = 2.0 / (n + 1)
    return alpha * (1 - alpha) ** np.arange(n - 1, -1, -1.0)


def wma_weights(n):
    return 2 * np.arange(1, n + 1) / (n * (n + 1))


def exact_single(name, w):
    """The statistic of one finite window, from exact rational sums."""
    n = len(w)
    if name == "kurt" and n <= 3:
        return {1: -3.0, 2: -2.0, 3: -1.5}[n]
    fr = [Fraction(float(v)) for v in w]
    mean = sum(fr) / n
    d = [v - mean for v in fr]
    m2 = sum(t * t for t in d) / n
    if name == "sum":
        return float(sum(fr))
    if name == "ma":
        return float(mean)
    if name == "var":
        return float(m2)
    if name == "std":
        return math.sqrt(m2)
    if name == "avedev":
        return float(sum(abs(t) for t in d) / n)
    if name in ("ema", "wma"):
        weights = ema_weights(n) if name == "ema" else wma_weights(n)
        return float(sum(Fraction(float(c)) * v for c, v in zip(weights, fr)))
    if name == "slope":
        if n == 1:
            return math.nan
        jm = Fraction(n - 1, 2)
        return float(sum((j - jm) * t for j, t in enumerate(d)) / sum((j - jm) ** 2 for j in range(n)))
    if m2 == 0:
        return math.nan
    if name == "zscore":
        return float(d[-1]) / math.sqrt(m2)
    if name == "skew":
        m3 = sum(t**3 for t in d) / n
        adj = math.sqrt(n * (n - 1)) / (n - 2) if n > 2 else 1.0
        return float(m3 / m2) / math.sqrt(m2) * adj
    if name == "kurt":
        m4 = sum(t**4 for t in d) / n
        return 1.0 / ((n - 2) * (n - 3)) * ((n * n - 1.0) * float(m4 / (m2 * m2)) - 3 * (n - 1) ** 2)
    raise AssertionError(name)


def exact_pair(name, a, b):
    n = len(a)
    fa = [Fraction(float(v)) for v in a]
    fb = [Fraction(float(v)) for v in b]
    ma, mb = sum(fa) / n, sum(fb) / n
    cov = sum((u - ma) * (v - mb) for u, v in zip(fa, fb)) / n
    va = sum((u - ma) ** 2 for u in fa) / n
    vb = sum((v - mb) ** 2 for v in fb) / n
    if name == "covariance":
        return float(cov)
    if name == "regression":
        return float(cov / va) if va else math.nan
    return float(cov) / (math.sqrt(va) * math.sqrt(vb)) if va and vb else math.nan


def formula_single(name, W):
    """The documented window-matrix formula (used for windows holding inf)."""
    n = W.shape[1]
    with np.errstate(all="ignore"):
        if name == "sum":
            return W.sum(axis=1)
        if name == "ma":
            return W.mean(axis=1)
        if name == "ema":
            return (W * ema_weights(n)).sum(axis=1)
        if name == "wma":
            return (W * wma_weights(n)).sum(axis=1)
        if name == "var":
            return W.var(axis=1)
        if name == "std":
            return W.std(axis=1)
        if name == "avedev":
            return np.abs(W.T - W.mean(axis=1)).T.mean(axis=1)
        if name == "zscore":
            return (W[:, -1] - W.mean(axis=1)) / W.std(axis=1)
        if name == "slope":
            x = np.arange(n, dtype=float)
            div = x.sum() ** 2 - n * (n * (n - 1) * (2 * n - 1) / 6)
            return (W.sum(axis=1) * x.sum() - n * (W * x).sum(axis=1)) / div
        if name == "skew":
            u, std = W.mean(axis=1), W.std(axis=1)
            r = ((W * W * W).mean(axis=1) - 3 * u * std * std - u * u * u) / (std * std * std)
            return r * ((n * (n - 1)) ** 0.5 / (n - 2)) if n > 2 else r
        if name == "kurt":
            r2 = (W - W.mean(axis=1)[:, None]) ** 2
            m2, m4 = r2.sum(axis=1) / n, (r2**2).sum(axis=1) / n
            return 1.0 / ((n - 2) * (n - 3)) * ((n**2 - 1.0) * m4 / m2**2 - 3 * (n - 1) * (n - 1))
    raise AssertionError(name)


def formula_pair(name, A, B):
    n = A.shape[1]
    with np.errstate(all="ignore"):
        ma, mb = A.mean(axis=1), B.mean(axis=1)
        if name == "covariance":
            return (A * B).mean(axis=1) - ma * mb
        if name == "correlation":
            return ((A * B).mean(axis=1) - ma * mb) / (A.std(axis=1) * B.std(axis=1))
        return ((A * B).sum(axis=1) - ma * mb * n) / ((A * A).sum(axis=1) - ma * ma * n)


def reference(name, window, *series):
    """Expected output of a kernel, window by window."""
    if name == "count":
        W = sliding_window_view(series[0].astype(bool), window)
        return W.sum(axis=1)
    if name in ORDER:
        W = sliding_window_view(series[0], window)
        if name == "ts_rank":
            order = np.argsort(W, axis=1, kind="stable").argsort(axis=1, kind="stable")
            return order[:, -1] / window
        if name == "product":
            return np.prod(W, axis=1)
        if name == "ts_argmax":
            return W.argmax(axis=1).astype(float)
        if name == "ts_argmin":
            return W.argmin(axis=1).astype(float)
        return W.min(axis=1) if name == "ts_min" else W.max(axis=1)
    mats = [sliding_window_view(np.asarray(s, dtype=float), window) for s in series]
    out = np.empty(mats[0].shape[0])
    for i in range(out.size):
        rows = [m[i : i + 1] for m in mats]
        vals = np.concatenate(rows)
        if name == "kurt" and window <= 3:
            out[i] = exact_single(name, rows[0][0])
        elif np.isnan(vals).any():
            out[i] = np.nan
        elif np.isinf(vals).any():
            out[i] = (formula_pair(name, *rows) if name in PAIR else formula_single(name, rows[0]))[0]
        else:
            out[i] = exact_pair(name, rows[0][0], rows[1][0]) if name in PAIR else exact_single(name, rows[0][0])
    return out


def tolerance(name, window, *series):
    """Absolute slack for results that cancel to near zero (relative 1e-10 otherwise)."""
    scale = max([float(np.max(np.abs(s[np.isfinite(s)]), initial=0.0)) for s in series] + [1.0])
    if name in ("zscore", "skew", "kurt", "correlation"):
        return 1e-9
    if name in ("var", "covariance"):
        return 1e-12 * scale * scale
    if name == "sum":
        return 1e-12 * scale * window
    return 1e-12 * scale


def assert_matches(name, got, want, atol):
    assert got.shape == want.shape
    np.testing.assert_allclose(got, want, rtol=1e-10, atol=atol, equal_nan=True)


# ---------------------------------------------------------------------------
# property tests
# ---------------------------------------------------------------------------
SPECIAL = st.sampled_from([math.nan, math.inf, -math.inf])


@st.composite
def series_case(draw, pairs=False):
    length = draw(st.integers(1, 30))
    window = draw(st.integers(1, length))
    style = draw(st.sampled_from(["ties", "float", "offset"]))

    def one():
        if style == "ties":
            vals = draw(st.lists(st.integers(-3, 3), min_size=length, max_size=length))
            x = np.array(vals, dtype=float)
        elif style == "float":
            vals = draw(st.lists(st.floats(-1e3, 1e3, allow_nan=False).map(lambda v: round(v, 6)), min_size=length, max_size=length))
            x = np.array(vals, dtype=float)
        else:
            vals = draw(st.lists(st.integers(-1000, 1000), min_size=length, max_size=length))
            x = 1e6 + np.array(vals, dtype=float) * 1e-3
        specials = draw(st.lists(st.tuples(st.integers(0, length - 1), SPECIAL), max_size=3))
        for pos, val in specials:
            x[pos] = val
        return x

    xs = [one() for _ in range(2 if pairs else 1)]
    return window, xs


FAST = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.parametrize("name", SINGLE)
@FAST
@given(case=series_case())
def test_single_series_kernels_match_reference(name, case):
    window, (x,) = case
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        want = reference(name, window, x)
    got = call(name, window, x)
    assert len(got) == len(x) - window + 1
    assert_matches(name, got, want, tolerance(name, window, x))


@pytest.mark.parametrize("name", PAIR)
@FAST
@given(case=series_case(pairs=True))
def test_two_series_kernels_match_reference(name, case):
    window, (a, b) = case
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        want = reference(name, window, a, b)
    got = call(name, window, a, b)
    assert_matches(name, got, want, tolerance(name, window, a, b))


@pytest.mark.parametrize("name", ["count", "ts_rank", "product", "ts_argmax", "ts_argmin", "ts_min", "ts_max", "sum"])
@settings(max_examples=40, deadline=None)
@given(
    data=st.lists(st.integers(-100, 100), min_size=1, max_size=30).flatmap(
        lambda v: st.tuples(st.just(v), st.integers(1, len(v)))
    ),
    dtype=st.sampled_from(["int8", "int16", "int32", "int64", "uint8", "uint64", "bool"]),
)
def test_integer_and_boolean_inputs_follow_numpy(name, data, dtype):
    data, window = data
    x = np.array(data).astype(dtype)
    W = sliding_window_view(x, window)
    want = {
        "count": lambda: W.astype(bool).sum(axis=1),
        "ts_rank": lambda: np.argsort(W, axis=1, kind="stable").argsort(axis=1, kind="stable")[:, -1] / window,
        "product": lambda: np.prod(W, axis=1),
        "ts_argmax": lambda: W.argmax(axis=1).astype(float),
        "ts_argmin": lambda: W.argmin(axis=1).astype(float),
        "ts_min": lambda: W.min(axis=1),
        "ts_max": lambda: W.max(axis=1),
        "sum": lambda: W.sum(axis=1),
    }[name]()
    got = call(name, window, x)
    assert got.dtype == want.dtype
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("name", ["ma", "var", "slope", "ema", "skew", "covariance"])
def test_integer_input_computes_in_float(name):
    x = np.array([3, -1, 4, 1, -5, 9, 2, 6], dtype=np.int16)
    y = np.array([2, 7, 1, 8, 2, 8, 1, 8], dtype=np.int64)
    got = call(name, 4, x, y) if name in PAIR else call(name, 4, x)
    want = call(name, 4, x.astype(float), y.astype(float)) if name in PAIR else call(name, 4, x.astype(float))
    assert got.dtype == np.float64
    np.testing.assert_array_equal(got, want)


def test_ts_rank_long_windows_use_the_same_tie_rule():
    # windows above 32 go through the Fenwick-tree path
    rng = np.random.default_rng(3)
    x = rng.integers(0, 20, 600).astype(float)
    x[rng.choice(600, 30, replace=False)] = np.nan
    for n in (33, 200):
        np.testing.assert_array_equal(R.ts_rank(x, n), reference("ts_rank", n, x))


def rank_by_sort(x: np.ndarray, window: int) -> np.ndarray:
    """Rank of each window's newest value by a stable double argsort (NaN sorts last)."""
    W = sliding_window_view(x, window, axis=0)
    return np.argsort(np.argsort(W, axis=-1, kind="stable"), axis=-1, kind="stable")[..., -1] / window


# windows on both sides of every change of method (vector counts, one window
# at a time, order-statistics tree), per element size
RANK_WINDOWS = [1, 2, 5, 31, 32, 33, 255, 256, 257, 639, 640, 641, 1024, 1025, 1300]


@pytest.mark.parametrize("dtype", ["float64", "float32", "int64", "int32", "int16", "uint8", "bool"])
@pytest.mark.parametrize("window", RANK_WINDOWS)
def test_ts_rank_every_method_counts_the_same(dtype, window):
    rng = np.random.default_rng(window)
    L = 1500
    x = rng.integers(-6, 6, L).astype(dtype)  # many ties
    if dtype.startswith("float"):
        x[rng.choice(L, 40, replace=False)] = np.nan
        x[rng.choice(L, 40, replace=False)] = -0.0
        x[rng.choice(L, 10, replace=False)] = np.inf
        x[rng.choice(L, 10, replace=False)] = -np.inf
        x[: window + 3 : 7] = rng.normal(size=len(x[: window + 3 : 7]))
    np.testing.assert_array_equal(R.ts_rank(x, window), rank_by_sort(x, window))


@pytest.mark.parametrize("window", [5, 33, 300, 700, 1100])
@pytest.mark.parametrize("order", ["C", "F"])
def test_ts_rank_columns_match_the_sort_reference(window, order):
    rng = np.random.default_rng(window + 1)
    x = np.round(rng.normal(size=(1200, 21)), 1)
    x[rng.random(x.shape) < 0.02] = np.nan
    x = np.asarray(x, order=order)
    np.testing.assert_array_equal(R._apply_columns(R.ts_rank, window, x), rank_by_sort(x, window))


@settings(max_examples=60, deadline=None)
@given(
    data=st.lists(
        st.sampled_from([0.0, -0.0, 1.0, -1.0, 2.5, np.nan, np.inf, -np.inf]) | st.floats(-3, 3), min_size=1, max_size=120
    ).flatmap(lambda v: st.tuples(st.just(v), st.integers(1, len(v)))),
)
def test_ts_rank_property_against_sort(data):
    values, window = data
    x = np.array(values)
    np.testing.assert_array_equal(R.ts_rank(x, window), rank_by_sort(x, window))


# ---------------------------------------------------------------------------
# accuracy: large offsets, tiny spread, long series
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("window", [20, 250])
@pytest.mark.parametrize("name", ["zscore", "skew", "kurt", "avedev", "ma", "ema", "wma", "std", "var", "slope", "sum"])
def test_accuracy_with_large_offset(name, window):
    rng = np.random.default_rng(window)
    L = 3000
    x = 1e6 + rng.normal(0, 1e-3, L) + np.cumsum(rng.normal(0, 1e-4, L))
    x[100] = np.inf  # leaves the window again: later windows must be unaffected
    x[1500] = np.nan
    got = call(name, window, x)
    idx = np.arange(0, L - window + 1, 97)
    want = np.array([reference(name, window, x[i : i + window])[0] for i in idx])
    scale = {"var": 1e-6, "std": 1e-3, "avedev": 1e-3, "slope": 1e-6}.get(name, 1.0)
    np.testing.assert_allclose(got[idx], want, rtol=1e-10, atol=1e-10 * scale, equal_nan=True)
    # never less accurate than the window-matrix formula (up to a rounding or two)
    finite = np.isfinite(want)
    formula = formula_single(name, sliding_window_view(x, window))[idx]
    ours = np.abs(got[idx][finite] - want[finite])
    theirs = np.nan_to_num(np.abs(formula[finite] - want[finite]), nan=np.inf)
    assert np.all(ours <= theirs + 1e-13 * np.maximum(np.abs(want[finite]), scale))


@pytest.mark.parametrize("name", PAIR)
def test_pair_accuracy_with_large_offset(name):
    rng = np.random.default_rng(7)
    L, window = 3000, 60
    a = 1e6 + rng.normal(0, 1e-3, L)
    b = -2e5 + 0.5 * (a - 1e6) + rng.normal(0, 1e-3, L)
    got = call(name, window, a, b)
    idx = np.arange(0, L - window + 1, 131)
    want = np.array([exact_pair(name, a[i : i + window], b[i : i + window]) for i in idx])
    atol = 1e-18 if name == "covariance" else 1e-12
    np.testing.assert_allclose(got[idx], want, rtol=1e-10, atol=atol)
    # the raw-moment formula loses most digits on this data; the kernel does not
    A, B = sliding_window_view(a, window), sliding_window_view(b, window)
    naive_err = np.nan_to_num(np.abs(formula_pair(name, A, B)[idx] - want), nan=np.inf)
    assert np.max(np.abs(got[idx] - want)) <= np.max(naive_err)


@pytest.mark.parametrize("name", ["var", "std", "zscore", "skew", "kurt", "slope", "avedev", "wma", "ema",
                                  "covariance", "correlation", "regression"])
def test_level_jumps_inside_windows(name):
    # jumps of many orders of magnitude make the anchored sums cancel, which
    # sends windows through the exact recomputation
    rng = np.random.default_rng(9)
    levels = np.repeat([0.0, 1e9, -3e7, 1e9 + 5, 2e-3], 24)
    a = levels + rng.normal(0, 1e-2, levels.size)
    b = levels[::-1] * 0.5 + rng.normal(0, 1e-2, levels.size)
    for window in (4, 17, 30):
        got = call(name, window, a, b)
        want = reference(name, window, a, b) if name in PAIR else reference(name, window, a)
        # every window relative to its own value; dimensionless ones may sit near 0
        atol = 1e-9 if name in ("zscore", "skew", "kurt", "correlation") else 0.0
        np.testing.assert_allclose(got, want, rtol=1e-9, atol=atol)


def test_constant_windows_after_a_level_shift():
    x = np.r_[np.zeros(30), np.full(30, 0.1), np.full(30, 1e9 + 0.3)]
    np.testing.assert_array_equal(R.var(x, 10)[[0, 40, 80]], 0.0)
    assert np.isnan(R.zscore(x, 10)[[0, 40, 80]]).all()
    np.testing.assert_array_equal(R.slope(x, 10)[[0, 40, 80]], 0.0)


# ---------------------------------------------------------------------------
# documented values and cross-checks against other libraries
# ---------------------------------------------------------------------------
@pytest.mark.parametrize(
    "name, values, window, expected",
    [
        ("ema", [1, 2, 3], 3, [2.125]),
        ("wma", [1, 2, 3], 3, [14 / 6]),
        ("ts_rank", [3, 1, 2], 3, [1 / 3]),
        ("ts_rank", [1, 2, 3], 3, [2 / 3]),
        ("ts_rank", [2, 2, 2], 3, [2 / 3]),
        ("ts_rank", [1, 5, np.nan], 3, [2 / 3]),
        ("ts_rank", [np.nan, 5, 1], 3, [0.0]),
        ("slope", [1, 2, 4], 3, [1.5]),
        ("slope", [2, 2, 2], 3, [0.0]),
        ("slope", [1, 2, 4], 1, [np.nan] * 3),
        ("zscore", [1, 2, 3], 3, [1 / math.sqrt(2 / 3)]),
        ("skew", [1, 2, 4], 3, [0.9352195295828]),
        ("skew", [1, 2], 2, [0.0]),
        ("kurt", [1, 2, 3, 4], 4, [-1.2]),
        ("kurt", [1, 2, 3, 5], 4, [0.342857142857]),
        ("kurt", [1, np.nan, 7, 8], 3, [-1.5, -1.5]),
        ("kurt", [1, np.nan], 2, [-2.0]),
        ("kurt", [np.nan, 1], 1, [-3.0, -3.0]),
        ("avedev", [1, 2, 4], 3, [10 / 9]),
        ("count", [0.0, 2.5, np.nan], 3, [2]),
        ("ts_argmax", [5, 7, 7], 3, [1.0]),
        ("ts_argmax", [1, np.nan, 3], 3, [1.0]),
        ("ts_argmin", [np.nan, 0, np.nan], 2, [0.0, 1.0]),
        ("ma", [1, 2, np.inf, 4, 5, 6], 2, [1.5, np.inf, np.inf, 4.5, 5.5]),
        ("sum", [1, np.inf, -np.inf, 4, 5], 2, [np.inf, np.nan, -np.inf, 9]),
        ("product", [0, np.inf, 2, 3], 2, [np.nan, np.inf, 6]),
        ("ts_max", [1, np.nan, 3, 2], 2, [np.nan, np.nan, 3]),
    ],
)
def test_documented_values(name, values, window, expected):
    with np.errstate(all="ignore"):
        got = call(name, window, np.array(values, dtype=float))
    np.testing.assert_allclose(got, expected, rtol=1e-9, equal_nan=True)


def test_window_one_and_full_length():
    x = np.array([3.0, -1.0, 2.5, 7.0])
    np.testing.assert_array_equal(R.ma(x, 1), x)
    np.testing.assert_array_equal(R.ts_rank(x, 1), 0.0)
    np.testing.assert_array_equal(R.ts_argmax(x, 1), 0.0)
    for name in ALL:
        assert call(name, 4, x, x).shape == (1,)


@pytest.mark.parametrize(
    "values, expected",
    [
        (([1, 2, 3], [2, 4, 7]), {"covariance": 5 / 3, "correlation": 0.993399267799, "regression": 2.5}),
    ],
)
def test_pair_documented_values(values, expected):
    a, b = (np.array(v, dtype=float) for v in values)
    for name, want in expected.items():
        assert call(name, 3, a, b)[0] == pytest.approx(want, rel=1e-10)
    assert R.regression(3, b, a)[0] == pytest.approx(15 / 38, rel=1e-10)  # slope of a on b
    x = np.arange(10.0)
    np.testing.assert_allclose(R.regression(4, x, 3 * x + 1), 3.0)
    np.testing.assert_allclose(R.correlation(4, x, x), 1.0)
    np.testing.assert_array_equal(R.covariance(4, a.repeat(2), b.repeat(2)), R.covariance(4, b.repeat(2), a.repeat(2)))


def test_nan_in_second_series_affects_only_its_windows():
    rng = np.random.default_rng(0)
    a, b = rng.normal(size=12), rng.normal(size=12)
    b[6] = np.nan
    for name in PAIR:
        out = call(name, 3, a, b)
        assert np.isnan(out[4:7]).all() and np.isfinite(out[:4]).all() and np.isfinite(out[7:]).all()


@pytest.fixture(scope="module")
def walk():
    rng = np.random.default_rng(11)
    a = 100 + np.cumsum(rng.normal(size=800))
    b = 0.3 * a + rng.normal(size=800) * 5
    a[[50, 51, 400]] = np.nan
    return a, b


@pytest.mark.parametrize("window", [4, 20, 120])
@pytest.mark.parametrize(
    "name, pandas_call",
    [
        ("ma", lambda r: r.mean()),
        ("sum", lambda r: r.sum()),
        ("ts_min", lambda r: r.min()),
        ("ts_max", lambda r: r.max()),
        ("var", lambda r: r.var(ddof=0)),
        ("std", lambda r: r.std(ddof=0)),
        ("skew", lambda r: r.skew()),
        ("kurt", lambda r: r.kurt()),
    ],
)
def test_against_pandas_rolling(walk, name, pandas_call, window):
    a, _ = walk
    want = pandas_call(pd.Series(a).rolling(window)).to_numpy()[window - 1 :]
    np.testing.assert_allclose(call(name, window, a), want, rtol=1e-8, atol=1e-9, equal_nan=True)


@pytest.mark.parametrize("window", [5, 60])
def test_pairs_against_pandas_and_scipy(walk, window):
    a, b = walk
    sa, sb = pd.Series(a), pd.Series(b)
    np.testing.assert_allclose(
        R.covariance(window, a, b), sa.rolling(window).cov(sb, ddof=0).to_numpy()[window - 1 :], rtol=1e-8, equal_nan=True
    )
    np.testing.assert_allclose(
        R.correlation(window, a, b), sa.rolling(window).corr(sb).to_numpy()[window - 1 :], rtol=1e-8, equal_nan=True
    )
    got_reg = R.regression(window, a, b)
    got_slope = R.slope(b, window)
    for i in range(0, len(a) - window + 1, 37):
        wa, wb = a[i : i + window], b[i : i + window]
        want_reg = stats.linregress(wa, wb).slope if np.isfinite(wa).all() else np.nan
        np.testing.assert_allclose(got_reg[i], want_reg, rtol=1e-8, equal_nan=True)
        assert got_slope[i] == pytest.approx(stats.linregress(np.arange(window), wb).slope, rel=1e-8)


# ---------------------------------------------------------------------------
# output dtypes and input handling
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("dtype", ["float32", "float16", "int8", "uint16", "bool", ">f8", "<i8"])
@pytest.mark.parametrize("name", ["sum", "product", "ts_min", "ts_max", "count", "ma", "ts_rank"])
def test_output_dtypes_follow_numpy_reductions(name, dtype):
    x = np.array([1, 0, 3, 2, 2, 5]).astype(dtype)
    W = sliding_window_view(x, 3)
    want = {
        "sum": W.sum(axis=1).dtype,
        "product": np.prod(W, axis=1).dtype,
        "ts_min": W.min(axis=1).dtype,
        "ts_max": W.max(axis=1).dtype,
        "count": np.dtype(np.int64),
    }.get(name, np.dtype(np.float64))
    got = call(name, 3, x)
    assert got.dtype == want
    np.testing.assert_allclose(got.astype(float), reference(name, 3, x).astype(float), rtol=1e-3)


@pytest.mark.parametrize("name", ALL)
def test_views_objects_and_float32_give_the_float64_result(name):
    rng = np.random.default_rng(5)
    base = rng.normal(size=(40, 3))
    x, y = base[::2, 0], base[1::2, 2]  # non-contiguous views
    want = call(name, 5, np.ascontiguousarray(x), np.ascontiguousarray(y))
    np.testing.assert_array_equal(call(name, 5, x, y), want)
    np.testing.assert_array_equal(call(name, 5, x.astype(object), y.astype(object)), want)
    np.testing.assert_array_equal(call(name, 5, list(x), list(y)), want)
    f32 = call(name, 5, x.astype(np.float32), y.astype(np.float32))
    np.testing.assert_allclose(f32.astype(float), call(name, 5, x.astype(np.float32).astype(float), y.astype(np.float32).astype(float)), rtol=1e-6)


BAD_WINDOWS = [
    (0, ValueError, "window must be at least 1, got 0"),
    (-1, ValueError, "window must be at least 1, got -1"),
    (11, ValueError, "window 11 is larger than the series length 10"),
    (2**62, ValueError, f"window {2**62} is larger than the series length 10"),
    (2**100, ValueError, "is larger than the series length 10"),
    (3.0, TypeError, "window must be an integer, got float"),
    (True, TypeError, "window must be an integer, got bool"),
    (np.bool_(True), TypeError, "window must be an integer, got bool"),
    ("3", TypeError, "window must be an integer, got str"),
    (None, TypeError, "window must be an integer, got NoneType"),
]


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("window, exc, message", BAD_WINDOWS)
def test_bad_windows_raise_like_rolling_window(name, window, exc, message):
    x = np.arange(10.0)
    with pytest.raises(exc, match=message.replace("(", r"\(")):
        call(name, window, x, x)


def test_numpy_integer_window_accepted():
    x = np.arange(10.0)
    np.testing.assert_array_equal(R.ma(x, np.int64(3)), R.ma(x, 3))


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize(
    "bad, exc, message",
    [
        (np.float64(1.0), ValueError, "expected a 1-D array, got 0-D"),
        (np.ones((3, 2)), ValueError, "expected a 1-D array, got 2-D"),
        (np.array([]), ValueError, "window 1 is larger than the series length 0"),
        (np.array(["a", "b", "c"]), TypeError, "expected a numeric array|could not convert"),
        (np.array([1 + 1j, 2, 3]), TypeError, "expected real numbers"),
        (np.array([1.0, "x", None], dtype=object), TypeError, "cannot be converted to float"),
    ],
)
def test_bad_arrays_raise_cleanly(name, bad, exc, message):
    if name == "count" and bad.ndim == 1 and bad.size:
        # count only needs truth values: any element type is accepted
        assert call(name, 1, bad).dtype == np.int64
        return
    with pytest.raises(exc, match=message):
        call(name, 1, bad, bad)


@pytest.mark.parametrize("name", PAIR)
def test_mismatched_lengths(name):
    with pytest.raises(ValueError, match=r"must have the same length, got 5 and 6"):
        call(name, 2, np.arange(5.0), np.arange(6.0))


@pytest.mark.parametrize("name", ["ma", "ts_argmax", "covariance", "kurt"])
def test_signatures(name):
    f = getattr(R, name)
    params = {"ma": ["x", "n"], "ts_argmax": ["x", "n"], "covariance": ["window", "a", "b"], "kurt": ["s", "n"]}[name]
    import inspect

    assert list(inspect.signature(f).parameters) == params
    assert f.__doc__ is None
    kwargs = dict(zip(params, [np.arange(6.0), 3] if name not in PAIR else [3, np.arange(6.0), np.arange(6.0)]))
    np.testing.assert_array_equal(f(**kwargs), f(*kwargs.values()))
    with pytest.raises(TypeError):
        f(np.arange(6.0), window_size=3)


# ---------------------------------------------------------------------------
# column batch
# ---------------------------------------------------------------------------
@pytest.fixture(scope="module")
def panel():
    rng = np.random.default_rng(2)
    a = 50 + np.cumsum(rng.normal(size=(120, 9)), axis=0)
    b = rng.normal(size=(120, 9))
    a[rng.random(a.shape) < 0.03] = np.nan
    a[5, 2] = np.inf
    return a, b


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("layout", ["C", "F", "strided"])
def test_apply_columns_equals_per_column_kernel(panel, name, layout, monkeypatch):
    a, b = panel
    if layout == "F":
        a, b = np.asfortranarray(a), np.asfortranarray(b)
    elif layout == "strided":
        a, b = np.repeat(a, 2, axis=1)[:, ::2], np.repeat(b, 2, axis=1)[:, ::2]
    kernel = getattr(R, name)
    arrays = (a, b) if name in PAIR else (a,)
    results = []
    for threads in ("1", "3"):
        monkeypatch.setenv("ZARNIK_NUM_THREADS", threads)
        results.append(R._apply_columns(kernel, 7, *arrays))
    got = results[0]
    assert got.shape == (a.shape[0] - 6, a.shape[1])
    for j in range(a.shape[1]):
        np.testing.assert_array_equal(got[:, j], call(name, 7, *(arr[:, j] for arr in arrays)))
    np.testing.assert_array_equal(results[1], got)


def test_apply_columns_dtypes_and_names():
    x = np.arange(24, dtype=np.int8).reshape(8, 3)
    out = R._apply_columns("sum", 2, x)
    assert out.dtype == np.int64
    np.testing.assert_array_equal(out, x[1:].astype(np.int64) + x[:-1])
    assert R._apply_columns(R.ts_max, 3, x).dtype == np.int8
    assert R._apply_columns("ma", 2, np.empty((5, 0))).shape == (4, 0)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("nope", 2, np.ones((3, 2))), TypeError, "kernel must be a rolling kernel"),
        ((len, 2, np.ones((3, 2))), TypeError, "kernel must be a rolling kernel"),
        (("ma", 2, np.ones(3)), ValueError, "expected a 2-D array, got 1-D"),
        (("ma", 2, np.ones((3, 2)), np.ones((3, 2))), TypeError, "ma takes 1 array"),
        (("covariance", 2, np.ones((3, 2))), TypeError, "covariance takes 2 array"),
        (("covariance", 2, np.ones((3, 2)), np.ones((3, 3))), ValueError, "same shape"),
        (("ma", 4, np.ones((3, 2))), ValueError, "window 4 is larger than the series length 3"),
        (("ma", 2.5, np.ones((3, 2))), TypeError, "window must be an integer, got float"),
    ],
)
def test_apply_columns_bad_input(args, exc, message):
    with pytest.raises(exc, match=message):
        R._apply_columns(*args)


# ---------------------------------------------------------------------------
# long series: windows spanning block boundaries, scratch buffers of every
# size, NaN runs across blocks, and magnitudes near overflow
# ---------------------------------------------------------------------------
LONG_WINDOWS = [1, 2, 3, 4, 5, 19, 20, 21, 63, 64, 65, 127, 128, 129, 200]
# values well above the magnitude where each kernel's sums stop being able to
# overflow, but whose statistic is still a finite double
HUGE = {"sum": 1e290, "ma": 1e290, "ema": 1e290, "avedev": 1e290, "wma": 1e285, "slope": 1e285,
        "var": 1e140, "std": 1e140, "zscore": 1e140, "skew": 1e95, "kurt": 1e70,
        "covariance": 1e140, "correlation": 1e140, "regression": 1e140}


@st.composite
def long_case(draw, pairs=False):
    length = draw(st.integers(1, 420))
    window = draw(st.sampled_from([w for w in LONG_WINDOWS if w <= length] + [length]))
    style = draw(st.sampled_from(["ties", "walk", "offset", "huge"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))

    def one():
        if style == "ties":
            x = rng.integers(-3, 4, length).astype(float)
        elif style == "walk":
            x = 100 + np.cumsum(rng.normal(size=length))
        elif style == "offset":
            x = 1e6 + rng.integers(-1000, 1001, length) * 1e-3
        else:
            x = rng.normal(size=length)
        for _ in range(draw(st.integers(0, 3))):  # NaN runs, possibly crossing blocks
            start = draw(st.integers(0, length - 1))
            x[start : start + draw(st.integers(1, 30))] = np.nan
        for _ in range(draw(st.integers(0, 2))):
            x[draw(st.integers(0, length - 1))] = draw(st.sampled_from([math.inf, -math.inf]))
        return x

    return window, style, [one() for _ in range(2 if pairs else 1)]


LONG = settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.parametrize("name", ORDER)
@LONG
@given(case=long_case())
def test_order_kernels_on_long_series(name, case):
    window, style, (x,) = case
    if style == "huge" and name != "product":
        x = x * 1e300
    with np.errstate(all="ignore"):
        want = reference(name, window, x)
    got = call(name, window, x)
    assert got.dtype == want.dtype
    if name == "product":  # the order of multiplication differs from numpy's
        np.testing.assert_allclose(got, want, rtol=1e-13, equal_nan=True)
    else:
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("window", LONG_WINDOWS)
@pytest.mark.parametrize("name", ["ts_argmax", "ts_argmin", "ts_min", "ts_max", "ts_rank", "count"])
def test_float_folds_with_ties_and_nan_runs(name, window):
    # blocks are folded in groups of one, two and four: lengths leave every
    # kind of remainder, and the values tie constantly
    rng = np.random.default_rng(window)
    for length in (window, 2 * window + 1, 4 * window + 3, 9 * window + 5, 1000):
        x = rng.integers(-2, 3, length).astype(float)
        x[rng.random(length) < 0.02] = np.nan
        x[length // 3 : length // 3 + window // 2 + 1] = np.nan  # a run crossing block boundaries
        np.testing.assert_array_equal(call(name, window, x), reference(name, window, x))


@settings(max_examples=150, deadline=None)
@given(window=st.integers(1, 300), extra=st.integers(0, 400), spacing=st.integers(1, 320),
       offset=st.integers(0, 319), clean=st.one_of(st.none(), st.floats(0, 1)), seed=st.integers(0, 2**16))
def test_min_max_where_missing_values_reach_most_windows(window, extra, spacing, offset, clean, seed):
    """A NaN every `spacing` values: every window holds one when spacing <= window (single
    windows among them), else some are clean; a stretch of clean values may open a gap."""
    rng = np.random.default_rng(seed)
    length = window + extra
    x = np.round(rng.normal(size=length), 1)
    x[offset % spacing::spacing] = np.nan
    if clean is not None:
        a = int(clean * length)
        x[a:a + window + spacing] = 0.5
    for name in ("ts_min", "ts_max"):
        np.testing.assert_array_equal(call(name, window, x), reference(name, window, x))


@pytest.mark.parametrize("dtype", ["int64", "int16", "uint8"])
@pytest.mark.parametrize("name", ["ts_argmax", "ts_argmin", "ts_min", "ts_max"])
@pytest.mark.parametrize("window", [1, 2, 7, 64, 129, 300])
def test_integer_folds_on_long_series(name, window, dtype):
    rng = np.random.default_rng(window)
    x = rng.integers(0, 6, 700).astype(dtype)  # many ties
    np.testing.assert_array_equal(call(name, window, x), reference(name, window, x))


def sampled_reference(name, window, series, count=12):
    """The reference at a few windows, always including the first and last."""
    m = len(series[0]) - window + 1
    idx = np.unique(np.r_[0, m - 1, np.linspace(0, m - 1, count).astype(int)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        want = np.array([reference(name, window, *[s[i : i + window] for s in series])[0] for i in idx])
    return idx, want


@pytest.mark.parametrize("name", [k for k in MOMENT] + PAIR)
@LONG
@given(data=st.data())
def test_moment_kernels_on_long_series(name, data):
    window, style, xs = data.draw(long_case(pairs=name in PAIR))
    if style == "huge":
        xs = [x * HUGE[name] for x in xs]
    got = call(name, window, *xs)
    assert len(got) == len(xs[0]) - window + 1
    idx, want = sampled_reference(name, window, xs)
    assert_matches(name, got[idx], want, tolerance(name, window, *xs))


@pytest.mark.parametrize("name", ["ts_argmax", "ts_argmin"])
@settings(max_examples=150, deadline=None)
@given(
    values=st.lists(st.sampled_from([-1.0, -0.0, 0.0, 1.0, 2.0, np.inf, -np.inf, np.nan]), min_size=1, max_size=60),
    window=st.integers(1, 10),
)
def test_short_window_positions_follow_numpy(name, values, window):
    # short windows are rescanned eight at a time: lengths leave every remainder,
    # values tie constantly (0.0 and -0.0 too), NaN and infinities mixed in
    x = np.array(values)
    window = min(window, len(x))
    want = reference(name, window, x)
    np.testing.assert_array_equal(call(name, window, x), want)
    panel = np.asfortranarray(np.column_stack([x, x[::-1], x]))
    got = R._apply_columns(name, window, panel)
    np.testing.assert_array_equal(got[:, 0], want)
    np.testing.assert_array_equal(got[:, 1], reference(name, window, x[::-1].copy()))
