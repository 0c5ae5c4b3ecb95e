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
from hypothesis import HealthCheck, given, settings, strategies as st
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
# the conditions of every window against a per-window reference
# ---------------------------------------------------------------------------
FLOAT_KERNELS = [name for name in SINGLE + PAIR if name != "count"]
CATEGORY = {"overflow encountered": "over", "invalid value encountered": "invalid"}
# values that make windows NaN (0 / 0, inf - inf), overflow (1e308 + 1e308), or constant
SPECIAL = [0.0, 1.0, -2.5, 4.0, 1e-300, 1e200, 1e308, -1e308, 1.7e308, np.nan, np.inf, -np.inf]


def reference_conditions(series, n, result):
    """Categories the windows show: a NaN result from a window without NaN is an
    invalid operation, an infinite one from a window without NaN or infinity an
    overflow. series: (L,) or (L, N) arrays; result: (L - n + 1,) or (.., N)."""
    windows = [W(np.asarray(s, dtype=np.float64), n, axis=0) for s in series]  # (m, [N,] n)
    has_nan = np.any([np.isnan(w).any(-1) for w in windows], axis=0)
    has_inf = np.any([np.isinf(w).any(-1) for w in windows], axis=0)
    r = np.asarray(result, dtype=np.float64)
    found = set()
    if (np.isnan(r) & ~has_nan).any():
        found.add("invalid")
    if (np.isinf(r) & ~has_nan & ~has_inf).any():
        found.add("over")
    return found


def reported(run):
    """The result of run() under errstate "warn", and the categories it warned of."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with np.errstate(all="warn"):
            out = run()
    got = set()
    for w in caught:
        assert w.category is RuntimeWarning
        text = str(w.message)
        got.add(next(c for prefix, c in CATEGORY.items() if text.startswith(prefix)))
    return out, got


def check_modes(run, want, name, quiet):
    """"ignore" is silent with the same result; "raise" raises in the first category
    (overflow is checked before invalid) and only when a window shows one."""
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("error")
        np.testing.assert_array_equal(run(), quiet)
    with np.errstate(all="raise"), warnings.catch_warnings():
        warnings.simplefilter("error")
        if want:
            first = "over" if "over" in want else "invalid"
            with pytest.raises(FloatingPointError, match=MESSAGE[first].format(name)):
                run()
        else:
            run()


@st.composite
def condition_cases(draw, name):
    L = draw(st.integers(1, 16))
    n = draw(st.integers(1, L + 2))
    cols = draw(st.sampled_from([1, 3, 9]))  # 9 columns: the row-streamed batch
    dtype = np.float64 if name in PAIR else draw(st.sampled_from([np.float64, np.float32]))
    # each column: runs of values from a small palette (runs give constant and
    # overflowing windows next to a NaN or an infinity)
    cell = st.one_of(st.sampled_from(SPECIAL), st.floats(-1e3, 1e3))
    arrays = []
    for _ in range(2 if name in PAIR else 1):
        palette = draw(st.lists(cell, min_size=1, max_size=4))
        columns = []
        for _ in range(cols):
            runs = draw(st.lists(st.tuples(st.sampled_from(palette), st.integers(1, 4)), min_size=1, max_size=L))
            column = [v for v, k in runs for _ in range(k)]
            columns.append((column * L)[:L])
        with np.errstate(all="ignore"):
            arrays.append(np.array(columns).T.astype(dtype))
    return n, arrays


@pytest.mark.parametrize("name", FLOAT_KERNELS)
@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data(), order=st.sampled_from(["C", "F"]))
def test_conditions_match_the_windows(name, data, order):
    n, arrays = data.draw(condition_cases(name))
    L, cols = arrays[0].shape
    if n > L:  # refused before any work, whatever the error state
        with np.errstate(all="raise"), warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(ValueError, match=f"window {n} is larger than the series length {L}"):
                call(name, n, *[a[:, 0] for a in arrays])
            with pytest.raises(ValueError, match=f"window {n} is larger than the series length {L}"):
                R._apply_columns(name, n, *arrays)
        return
    union = set()
    for c in range(cols):
        series = [np.ascontiguousarray(a[:, c]) for a in arrays]
        out, got = reported(lambda: call(name, n, *series))
        want = reference_conditions(series, n, out)
        assert got == want, (c, [s.tolist() for s in series], out.tolist())
        union |= want
        if c == 0:
            check_modes(lambda: call(name, n, *series), want, name, out)
    panels = [np.asfortranarray(a) if order == "F" else np.ascontiguousarray(a) for a in arrays]
    out, got = reported(lambda: R._apply_columns(name, n, *panels))
    assert reference_conditions(arrays, n, out) == union
    assert got == union
    check_modes(lambda: R._apply_columns(name, n, *panels), union, name, out)


def _placed(name, L, n, event, nan_at, inf_at):
    """A series of distinct values whose only window showing a condition is
    window `event` (None: none), with a NaN and an infinity placed as given."""
    x = np.arange(1.0, L + 1.0)
    y = np.sqrt(np.arange(1.0, L + 1.0))
    if event is not None:
        if name == "sum":  # only this window holds both huge values
            x[event] = x[event + n - 1] = 1e308
        else:  # only this window is constant
            x[event:event + n] = 0.5
    for pos, value in ((nan_at, np.nan), (inf_at, np.inf)):
        if pos is not None:
            # the pair kernel gets the NaN in its other series
            (y if name == "correlation" and value != np.inf else x)[pos] = value
    return [x, y] if name == "correlation" else [x]


@pytest.mark.parametrize("name, windows", [("sum", [2, 3, 4]), ("zscore", [2, 3, 4]), ("correlation", [2, 3])])
def test_conditions_next_to_nan_and_inf(name, windows):
    """Every placement of one NaN and one infinity around the one window that
    shows a condition: only the windows holding neither may hide it."""
    L = 8
    spots = [None, *range(L)]
    for n in windows:
        for event in [None, *range(L - n + 1)]:
            for nan_at in spots:
                for inf_at in spots:
                    series = _placed(name, L, n, event, nan_at, inf_at)
                    out, got = reported(lambda: call(name, n, *series))
                    assert got == reference_conditions(series, n, out), (n, event, nan_at, inf_at)


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
    assert list(inspect.signature(R._apply_columns).parameters) == ["kernel", "window", "arrays", "last", "out"]
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
