"""A window's value does not depend on how much history precedes it.

The kernels group windows into blocks; the grouping is laid out from the end
of the series, so dropping leading values (a later start date, a smaller
look-back in a batch) leaves every remaining window's bits unchanged.
"""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zarnik.rolling as R

SINGLE = [name for name, info in R.KERNELS.items() if info.inputs == 1]
PAIR = [name for name, info in R.KERNELS.items() if info.inputs == 2]


@pytest.fixture(autouse=True)
def _quiet_conditions():
    """Floating-point conditions of the kernels are tested in test_rolling_warnings.py."""
    with np.errstate(all="ignore"):
        yield


def assert_same_bits(a: np.ndarray, b: np.ndarray, what: str) -> None:
    """Equal element for element down to the last bit (any NaN matches any NaN, -0.0 only -0.0)."""
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape and a.dtype == b.dtype, what
    if a.dtype.kind != "f":
        np.testing.assert_array_equal(a, b, err_msg=what)
        return
    na, nb = np.isnan(a), np.isnan(b)
    bits = np.dtype("u{}".format(a.itemsize))
    bad = (na != nb) | (~na & (a.view(bits) != b.view(bits)))
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise AssertionError("{}: {} of {} values differ, first at {}: {!r} vs {!r}".format(
            what, int(bad.sum()), a.size, i, a[i], b[i]))


def _series(draw, L):
    """Prices around a level with some spread, sometimes with NaN, inf, zeros of both signs or huge values."""
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    level = draw(st.sampled_from([0.0, 1.0, 100.0, 1e6, -3e4]))
    scale = draw(st.sampled_from([1e-6, 0.01, 1.0, 50.0]))
    x = level + scale * np.cumsum(rng.normal(size=L))
    if draw(st.booleans()):
        x = np.round(x, draw(st.integers(0, 2)))  # ties and constant stretches
    for special in draw(st.lists(st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e200]), max_size=4)):
        x[rng.integers(0, L)] = special
    return x


@st.composite
def cases(draw):
    L = draw(st.integers(1, 400))
    n = draw(st.integers(1, min(L, 300)))
    k = draw(st.integers(0, L - n))  # every window of x[k:] is a window of x
    return _series(draw, L), _series(draw, L), n, k


@settings(max_examples=150, deadline=None)
@given(cases())
def test_leading_history_does_not_change_any_window(case):
    x, y, n, k = case
    for name in SINGLE:
        f = getattr(R, name)
        assert_same_bits(f(x, n)[k:], f(x[k:], n), "{}(n={}, k={}, L={})".format(name, n, k, len(x)))
    for name in PAIR:
        f = getattr(R, name)
        assert_same_bits(f(n, x, y)[k:], f(n, x[k:], y[k:]), "{}(n={}, k={}, L={})".format(name, n, k, len(x)))


@settings(max_examples=40, deadline=None)
@given(cases(), st.integers(1, 40))
def test_column_batches_match_the_shortened_series(case, width):
    x, y, n, k = case
    rng = np.random.default_rng(len(x) * 31 + width)
    X = x[:, None] + rng.normal(size=(len(x), width)).cumsum(axis=0)
    Y = y[:, None] * rng.uniform(0.5, 2.0, size=width)
    for name in SINGLE + PAIR:
        arrays = (X, Y) if name in PAIR else (X,)
        full = R._apply_columns(name, n, *arrays)[k:]
        short = R._apply_columns(name, n, *(a[k:] for a in arrays))
        assert_same_bits(full, short, "{} 2-D (n={}, k={})".format(name, n, k))
        col = width // 2
        one = getattr(R, name)(n, X[k:, col], Y[k:, col]) if name in PAIR else getattr(R, name)(X[k:, col], n)
        assert_same_bits(short[:, col], one, "{} column vs 1-D".format(name))


@pytest.mark.parametrize("dtype", [np.int64, np.int32, np.uint8, np.float32, bool])
def test_other_dtypes_do_not_depend_on_history(dtype):
    rng = np.random.default_rng(3)
    x = (rng.integers(-5, 6, size=333) if dtype is not bool else rng.random(333) < 0.4).astype(dtype)
    for name in SINGLE:
        if dtype is bool and name not in ("count", "sum", "product", "ts_min", "ts_max", "ts_rank"):
            continue
        f = getattr(R, name)
        for n in (1, 7, 40):
            for k in (1, 5, 39, 120):
                assert_same_bits(f(x, n)[k:], f(x[k:], n), "{} {} n={} k={}".format(name, dtype, n, k))


# ---------------------------------------------------------------------------- whole formulas


def test_batch_composition_does_not_change_results(small_store):
    """execute_factors({a, deeper}) gives exactly execute_factor(a): the look-back of the batch does not leak."""
    from zarnik.engine import execute_factor, execute_factors
    from zarnik.leaves import Factor

    close, volume = Factor("close"), Factor("volume")
    formulas = {
        "ma": R.MA(close, 7), "std": R.STD(close, 13), "skew": R.TS_SKEW(close, 11), "kurt": R.TS_KURT(close, 9),
        "ema": R.EMA(close, 6), "wma": R.WMA(volume, 5), "avedev": R.AVEDEV(close, 8),
        "zscore": R.TS_ZSCORE(volume, 10), "product": R.PRODUCT(close / R.MA(close, 3), 4),
        "corr": R.CORR(close, volume, 12), "cov": R.COV(close, volume, 7),
        "beta": R.TS_REGRESSION(volume, close, 15), "nested": R.MA(R.STD(close, 5) * volume, 9),
    }
    import ostrel

    ids = list(ostrel.all_instruments("CS")["order_book_id"][:8])
    deeper = R.MA(close, 60) + R.STD(volume, 45)
    batch = execute_factors(dict(formulas, deeper=deeper), ids, "2021-09-01", "2022-03-31")
    for name, f in formulas.items():
        alone = execute_factor(f, ids, "2021-09-01", "2022-03-31")
        assert_same_bits(batch[name].to_numpy(), alone.to_numpy(), name)
        # a later start date: the common dates keep their bits
        later = execute_factor(f, ids, "2021-12-01", "2022-03-31")
        assert_same_bits(alone.loc[later.index].to_numpy(), later.to_numpy(), name + " (later start)")


@settings(max_examples=60, deadline=None)
@given(cases(), st.integers(0, 60), st.integers(-10**6, 10**6))
def test_a_fixed_scale_also_frees_windows_from_the_rows_after_them(case, j, position):
    """With ``last`` (the last row's position on a fixed scale) cutting rows at either end keeps the bits."""
    x, y, n, k = case
    j = min(j, len(x) - n - k)  # rows cut at the end; every window of the cut arrays is one of the full ones
    X, Y = x[:, None], y[:, None]
    for name in SINGLE + PAIR:
        arrays = (X, Y) if name in PAIR else (X,)
        full = R._apply_columns(name, n, *arrays, last=position)
        end = len(x) - j
        cut = R._apply_columns(name, n, *(a[k:end] for a in arrays), last=position - j)
        assert_same_bits(full[k:full.shape[0] - j], cut, "{} (n={}, k={}, j={})".format(name, n, k, j))


@pytest.mark.parametrize("last, exc, pattern", [
    (True, TypeError, "last must be an integer or None, got bool"),
    (1.5, TypeError, "last must be an integer or None, got float"),
    ("3", TypeError, "last must be an integer or None, got str"),
    (2**70, ValueError, r"last must lie within \+-2\*\*62"),
])
def test_last_is_checked(last, exc, pattern):
    with pytest.raises(exc, match=pattern):
        R._apply_columns("ma", 3, np.ones((10, 2)), last=last)
    with pytest.raises(TypeError, match="unexpected keyword argument 'first'"):
        R._apply_columns("ma", 3, np.ones((10, 2)), first=1)
    assert_same_bits(R._apply_columns("ma", 3, np.arange(10.0)[:, None], last=None)[:, 0], R.ma(np.arange(10.0), 3),
                     "last=None")


def test_requested_span_does_not_change_a_date(small_store):
    """The same date has the same bits whether the request ends on it, later, or starts elsewhere."""
    import ostrel
    from zarnik.engine import execute_factor
    from zarnik.leaves import Factor

    close, volume = Factor("close"), Factor("volume")
    ids = list(ostrel.all_instruments("CS")["order_book_id"][:6])
    for f in (R.MA(close, 9), R.TS_SKEW(close, 17), R.CORR(close, volume, 11), R.EMA(R.STD(close, 4), 7)):
        long = execute_factor(f, ids, "2021-06-01", "2022-04-29")
        for start, end in (("2021-06-01", "2021-12-31"), ("2021-08-16", "2022-02-11"), ("2022-01-04", "2022-04-29")):
            part = execute_factor(f, ids, start, end)
            assert_same_bits(long.loc[part.index].to_numpy(), part.to_numpy(), "{!r} {}..{}".format(f, start, end))
    assert ostrel.trading_date_index(long.index[1]) == ostrel.trading_date_index(long.index[0]) + 1
    with pytest.raises(ValueError, match="is not a trading date"):
        ostrel.trading_date_index("2022-01-01")


def _overflowing_series(seed: int, inf: bool) -> np.ndarray:
    """~1e2 magnitudes of both signs, an exact zero at 28 and huge values, so partial products overflow."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(50.0, 150.0, 140) * rng.choice([-1.0, 1.0], 140)
    x[rng.integers(0, 140, 6)] = 1e200
    x[28] = 0.0
    if inf:
        x[135] = np.inf  # in the rows that get cut
    return x


@pytest.mark.parametrize("name", SINGLE + PAIR)
@pytest.mark.parametrize("inf", [False, True])
def test_cutting_rows_after_an_overflowing_window_keeps_its_bits(name, inf):
    """Whether a window's product overflowed and met a zero is decided by that window alone, not by the rows after it."""
    for seed in range(3):
        x, y = _overflowing_series(seed, inf), _overflowing_series(seed + 50, inf)
        arrays = (x[:, None], y[:, None]) if name in PAIR else (x[:, None],)
        for n in (5, 17, 68):
            for position in (-7, 0, 139, 12345):
                full = R._apply_columns(name, n, *arrays, last=position)
                for j in range(0, 61, 3):
                    cut = R._apply_columns(name, n, *(a[:len(x) - j] for a in arrays), last=position - j)
                    assert_same_bits(full[:full.shape[0] - j], cut,
                                     "{} (n={}, last={}, j={}, seed={})".format(name, n, position, j, seed))


def test_an_overflowing_window_with_a_zero_is_zero():
    x = _overflowing_series(0, inf=False)
    got = R.product(x, 68)
    i = np.arange(got.size)
    holds_zero = (i <= 28) & (28 < i + 68)
    assert np.all(got[holds_zero] == 0.0)
    neg = np.array([np.signbit(x[k:k + 68]).sum() % 2 == 1 for k in i[holds_zero]])
    np.testing.assert_array_equal(np.signbit(got[holds_zero]), neg)


def _call(name: str, x: np.ndarray, y: np.ndarray, n: int) -> np.ndarray:
    return getattr(R, name)(n, x, y) if name in PAIR else getattr(R, name)(x, n)


@settings(max_examples=40, deadline=None)
@given(st.integers(0, 2**32 - 1), st.lists(st.integers(1, 120), min_size=2, max_size=6),
       st.sampled_from(SINGLE + PAIR))
def test_a_result_does_not_depend_on_the_calls_before_it(seed, windows, name):
    # kernels may keep per-thread scratch (the ema weights of the last window): calls with
    # other windows in between must not change a window's bits
    rng = np.random.default_rng(seed)
    x, y = rng.normal(100.0, 5.0, 150), rng.normal(0.0, 1.0, 150)
    x[rng.integers(0, 150, 3)] = np.nan
    first = {n: _call(name, x, y, n) for n in windows}
    for n in reversed(windows):
        assert_same_bits(_call(name, x, y, n), first[n], "{} n={} after other windows".format(name, n))


@pytest.mark.parametrize("name", ["ema", "wma", "slope", "ts_rank", "covariance"])
def test_threads_with_different_windows_give_the_sequential_bits(name):
    import concurrent.futures as cf

    rng = np.random.default_rng(7)
    x, y = rng.normal(10.0, 1.0, (600, 40)), rng.normal(0.0, 1.0, (600, 40))
    x[rng.random(x.shape) < 0.01] = np.nan
    kernel = getattr(R, name)
    args = (lambda n: (kernel, n, x, y)) if name in PAIR else (lambda n: (kernel, n, x))
    windows = [3, 250, 20, 1, 77, 250, 5, 20] * 3
    expected = {n: R._apply_columns(*args(n)) for n in set(windows)}
    def on_thread(n):
        with np.errstate(all="ignore"):  # the error state is per thread
            return R._apply_columns(*args(n))

    with cf.ThreadPoolExecutor(4) as pool:
        got = list(pool.map(on_thread, windows))
    for n, r in zip(windows, got):
        assert_same_bits(r, expected[n], "{} n={} on a thread".format(name, n))


@settings(max_examples=40, deadline=None)
@given(st.integers(0, 2**32 - 1), st.lists(st.integers(1, 60), min_size=1, max_size=5))
def test_ema_weights_follow_the_window_of_each_call(seed, windows):
    rng = np.random.default_rng(seed)
    x = rng.normal(50.0, 3.0, 200)
    for n in windows:
        alpha = 2.0 / (n + 1)
        w = alpha * (1 - alpha) ** np.arange(n - 1, -1, -1.0)
        want = np.lib.stride_tricks.sliding_window_view(x, n) @ w
        got = R.ema(x, n)
        np.testing.assert_allclose(got, want, rtol=1e-12, err_msg="ema n={}".format(n))
