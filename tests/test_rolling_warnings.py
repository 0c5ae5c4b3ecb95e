"""Floating-point conditions of the rolling kernels, result dtypes, and the kernel catalogue.

A window whose value is NaN though it holds no NaN (0 / 0, inf - inf) is an
invalid operation, one whose value is infinite though it holds no infinity an
overflow; the kernels act on them as numpy's error state says, for 1-D calls
and for the column batch alike. NaN inputs propagating are no condition.
"""

from __future__ import annotations

import inspect
import warnings

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

import zarnik.rolling as R

SINGLE = [name for name, info in R.KERNELS.items() if info.inputs == 1]
PAIR = [name for name, info in R.KERNELS.items() if info.inputs == 2]


def call(name, window, *series):
    f = getattr(R, name)
    return f(window, *series) if name in PAIR else f(series[0], window)


def batch(name, window, *series):
    """The same series as column 1 of a three-column panel whose other columns are harmless."""
    rng = np.random.default_rng(1)
    cols = [np.column_stack([rng.normal(size=len(s)).astype(s.dtype), s, rng.normal(size=len(s)).astype(s.dtype)])
            for s in series]
    return R._apply_columns(name, window, *cols)[:, 1]


W = sliding_window_view
# kernel, window, series, numpy category, and the plain numpy formula that meets the same condition
CASES = [
    ("zscore", 3, [np.full(6, 2.5)], "invalid", lambda x: (x[2:] - W(x, 3).mean(1)) / W(x, 3).std(1)),
    ("skew", 4, [np.full(6, 1.0)], "invalid", lambda x: W(x, 4).mean(1) * 0 / W(x, 4).std(1) ** 3),
    ("kurt", 4, [np.full(7, -3.0)], "invalid", lambda x: W(x, 4).var(1) / W(x, 4).var(1) ** 2),
    ("slope", 1, [np.arange(5.0)], "invalid", lambda x: (x * 0.0) / 0.0),
    ("correlation", 3, [np.ones(6), np.arange(6.0)], "invalid",
     lambda a, b: (W(a * b, 3).mean(1) - W(a, 3).mean(1) * W(b, 3).mean(1)) / (W(a, 3).std(1) * W(b, 3).std(1))),
    ("regression", 3, [np.full(6, 4.0), np.arange(6.0)], "invalid",
     lambda x, y: (W(x * y, 3).sum(1) - W(x, 3).mean(1) * W(y, 3).mean(1) * 3)
     / (W(x * x, 3).sum(1) - W(x, 3).mean(1) ** 2 * 3)),
    ("product", 2, [np.array([1e200, 1e200, 1.0, 2.0])], "over", lambda x: W(x, 2).prod(1)),
    ("sum", 2, [np.array([1e308, 1e308, 1.0, 2.0])], "over", lambda x: W(x, 2).sum(1)),
    ("sum", 2, [np.array([3e38, 3e38, 1.0], dtype=np.float32)], "over", lambda x: W(x, 2).sum(1)),
    ("ma", 2, [np.array([1.0, np.inf, -np.inf, 2.0])], "invalid", lambda x: W(x, 2).mean(1)),
]
MESSAGE = {"invalid": "invalid value encountered in {}", "over": "overflow encountered in {}"}
IDS = [f"{c[0]}-{c[3]}-{i}" for i, c in enumerate(CASES)]


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_numpy_formula_meets_the_same_condition(case):
    """The reference: numpy's own formula for these windows raises in the same category."""
    name, window, series, category, formula = case
    with np.errstate(all="ignore", **{category: "raise"}), pytest.raises(FloatingPointError):
        formula(*series)


@pytest.mark.parametrize("path", [call, batch], ids=["1-D", "batch"])
@pytest.mark.parametrize("mode", ["ignore", "warn", "raise"])
@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_condition_follows_errstate(case, mode, path):
    name, window, series, category, _ = case
    with np.errstate(all="ignore"):
        quiet = path(name, window, *series)
    message = MESSAGE[category].format(name)
    with np.errstate(all="ignore", **{category: mode}):
        if mode == "raise":
            with pytest.raises(FloatingPointError, match=message):
                path(name, window, *series)
        elif mode == "warn":
            with pytest.warns(RuntimeWarning, match=message):
                got = path(name, window, *series)
            np.testing.assert_array_equal(got, quiet)
        else:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                got = path(name, window, *series)
            np.testing.assert_array_equal(got, quiet)
    assert not np.isfinite(quiet).all()


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_other_categories_do_not_fire(case):
    name, window, series, category, _ = case
    others = {c: "raise" for c in ("divide", "over", "under", "invalid") if c != category}
    with np.errstate(**{category: "ignore"}, **others), warnings.catch_warnings():
        warnings.simplefilter("error")
        call(name, window, *series)
        batch(name, window, *series)


def test_default_errstate_warns_once_per_call():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        R._apply_columns("zscore", 3, np.ones((10, 50)))
    assert [str(w.message) for w in caught] == ["invalid value encountered in zscore"]
    assert caught[0].category is RuntimeWarning


@pytest.mark.parametrize("name", SINGLE + PAIR)
def test_nan_and_ordinary_inputs_are_no_condition(name):
    rng = np.random.default_rng(7)
    x, y = rng.normal(size=(2, 40))
    x[[3, 17, 18]] = np.nan
    y[[5, 30]] = np.nan
    with np.errstate(all="raise"), warnings.catch_warnings():
        warnings.simplefilter("error")
        for n in (2, 5, 11):
            r = call(name, n, x, y)
            b = R._apply_columns(name, n, *([np.column_stack([x, y])] * (2 if name in PAIR else 1)))
            assert r.shape == (40 - n + 1,) and b.shape == (40 - n + 1, 2)


# ---------------------------------------------------------------------------
# result dtypes
# ---------------------------------------------------------------------------
DTYPES = ["float16", "float32", "float64", "int8", "int32", "int64", "uint8", "uint64", "bool"]


def expected_dtype(name, dtype):
    dt = np.dtype(dtype)
    if name == "count":
        return np.dtype(np.int64)
    if name in ("ts_min", "ts_max"):
        return dt
    if name in ("sum", "product"):
        if dt.kind == "f":
            return dt
        return np.dtype(np.uint64) if dt.kind == "u" else np.dtype(np.int64)
    return np.dtype(np.float64)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", SINGLE + PAIR)
def test_result_dtype(name, dtype):
    x = (np.arange(12) % 5 + 1).astype(dtype)
    want = expected_dtype(name, dtype)
    with np.errstate(all="ignore"):
        assert call(name, 3, x, x[::-1].copy()).dtype == want
        panel = np.column_stack([x, x[::-1]])
        assert R._apply_columns(name, 3, *([panel] * (2 if name in PAIR else 1))).dtype == want


@pytest.mark.parametrize("name", ["ma", "std", "zscore", "ema", "slope", "correlation"])
def test_float32_statistics_are_float64_of_the_float32_values(name):
    rng = np.random.default_rng(3)
    x32, y32 = rng.normal(size=(2, 50)).astype(np.float32)
    got = call(name, 7, x32, y32)
    want = call(name, 7, x32.astype(np.float64), y32.astype(np.float64))
    assert got.dtype == np.float64
    np.testing.assert_array_equal(got, want)


# ---------------------------------------------------------------------------
# the catalogue
# ---------------------------------------------------------------------------
def test_catalogue_describes_the_module():
    assert set(R.KERNELS) == {
        "count", "ts_rank", "product", "zscore", "skew", "kurt", "avedev", "ts_argmax", "ts_argmin", "ma", "ema",
        "wma", "std", "var", "slope", "sum", "ts_min", "ts_max", "covariance", "correlation", "regression"}
    with pytest.raises(TypeError):
        R.KERNELS["ma"] = None
    ops = []
    for name, info in R.KERNELS.items():
        kernel = getattr(R, name)
        assert info.name == name == kernel.__name__
        assert list(inspect.signature(kernel).parameters) == list(info.params)
        assert len(info.params) == info.inputs + 1
        ops += info.operators
        for op in info.operators[1:]:
            if op != "EVERY":
                assert getattr(R, op) is getattr(R, info.operators[0])
    assert sorted(ops) == sorted(R.__all__)
    assert R.KERNELS["ma"].operators == ("MA", "SMA") and R.KERNELS["count"].operators == ("COUNT", "EVERY")
    assert [n for n, i in R.KERNELS.items() if i.inputs == 2] == ["covariance", "regression", "correlation"]
    assert {n: i.result for n, i in R.KERNELS.items() if i.result != "float64"} == {
        "count": "int64", "product": "total", "sum": "total", "ts_min": "input", "ts_max": "input"}


def test_signatures_of_the_module():
    assert list(inspect.signature(R.RollingWindowFactor).parameters) == ["func", "window", "factor"]
    assert list(inspect.signature(R.CombinedRollingWindowFactor).parameters) == ["func", "window", "args"]
    assert R.RollingWindowFactor.__doc__.startswith("滑动窗口因子类")
    assert list(inspect.signature(R._apply_columns).parameters) == ["kernel", "window", "arrays", "last"]
    for name in R.__all__:
        params = list(inspect.signature(getattr(R, name)).parameters)
        assert params[-1] in ("window", "n") and len(params) in (2, 3)


@pytest.mark.parametrize("name, params", [("RollingWindowFactor", ["func", "window", "factor"]),
                                          ("CombinedRollingWindowFactor", ["func", "window", "args"])])
def test_rolling_class_signatures_follow_the_init_that_runs(name, params):
    cls = getattr(R, name)

    class Keeps(cls):
        pass

    class Own(cls):
        def __init__(self, a, b=2):
            pass

    assert list(inspect.signature(Keeps).parameters) == params
    assert list(inspect.signature(Own).parameters) == ["a", "b"]
    with pytest.raises(TypeError, match=name + r"\.__init__"):
        cls()
