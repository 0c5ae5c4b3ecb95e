"""Fuzzing every C++ entry point with arbitrary arguments.

Each call must return a well-formed result or raise an ordinary Python exception; anything else
(a crash, an abort, a sanitizer report under `make sanitize`) ends the run. Where a call succeeds
its result is checked against the shape the inputs imply.
"""

from __future__ import annotations

import operator
import os
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from zarnik import _core, interface, rolling
from zarnik.exception import ZarnikError
from zarnik.analysis import assayer, ols, winsorize

# ZARNIK_FUZZ_EXAMPLES raises the number of examples for a long fuzz run.
FUZZ = settings(max_examples=int(os.environ.get("ZARNIK_FUZZ_EXAMPLES", "100")), deadline=None,
                suppress_health_check=list(HealthCheck))
EXPECTED = (TypeError, ValueError, OverflowError, AssertionError, IndexError, KeyError, ZeroDivisionError, ZarnikError)

SINGLE = ["count", "ts_rank", "product", "zscore", "skew", "kurt", "avedev", "ts_argmax", "ts_argmin", "ma", "ema",
          "wma", "std", "var", "slope", "sum", "ts_min", "ts_max"]
PAIR = ["covariance", "regression", "correlation"]

DTYPES = st.sampled_from([np.float64, np.float32, np.int64, np.int32, np.int8, np.uint8, np.bool_, np.complex128,
                          ">f8", np.float16, object, "U3", "M8[ns]"])
FLOATS = st.floats(allow_nan=True, allow_infinity=True, width=64)
WINDOWS = st.one_of(st.integers(-3, 12), st.sampled_from([2**31, 2**63 - 1, 2**63, 2**64 + 1, -(2**63), 10**30]),
                    st.floats(allow_nan=True), st.none(), st.booleans(), st.just("3"),
                    st.integers(1, 6).map(np.int64), st.just(np.array([2])), st.just(np.array(2.0)))


@st.composite
def arrays(draw, ndim=None, min_side=0, max_side=12):
    """Arrays of any dtype, dimension and memory layout, with extreme values."""
    dims = draw(st.integers(0, 3)) if ndim is None else ndim
    shape = draw(hnp.array_shapes(min_dims=dims, max_dims=dims, min_side=min_side, max_side=max_side)) if dims else ()
    values = draw(hnp.arrays(np.float64, shape, elements=st.one_of(FLOATS, st.sampled_from([1e308, -1e308, 5e-324,
                                                                                             0.0, -0.0, 1.0]))))
    dtype = draw(DTYPES)
    try:
        with np.errstate(all="ignore"):
            arr = values.astype(dtype)
    except (ValueError, TypeError, OverflowError):
        arr = values
    layout = draw(st.sampled_from(["c", "f", "reversed", "strided", "view", "unaligned"]))
    if layout == "f" and arr.ndim > 1:
        arr = np.asfortranarray(arr)
    elif layout == "reversed" and arr.ndim:
        arr = arr[::-1]
    elif layout == "strided" and arr.ndim:
        arr = np.repeat(arr, 2, axis=0)[::2]
    elif layout == "unaligned" and arr.dtype.itemsize > 1 and arr.dtype.kind in "fiu":
        raw = np.zeros(arr.nbytes + 1, dtype=np.uint8)  # data one byte past an aligned address
        moved = np.frombuffer(raw.data, dtype=arr.dtype, count=arr.size, offset=1).reshape(arr.shape)
        moved[...] = arr
        arr = moved
    elif layout == "view" and arr.ndim and arr.size:
        arr = arr.view()
        arr.flags.writeable = False
    return arr


def log(error):
    """With ZARNIK_FUZZ_LOG set, records each refusal (type and message) for review."""
    path = os.environ.get("ZARNIK_FUZZ_LOG")
    if path:
        with open(path, "a", encoding="utf-8") as fh:
            test = os.environ.get("PYTEST_CURRENT_TEST", "?").split("::")[-1].split(" ")[0]
            fh.write(f"{test}\t{type(error).__name__}\t{str(error)[:200]!r}\n")


def expected_length(length, window):
    if isinstance(window, (bool, np.bool_)) or not isinstance(window, (int, np.integer)):
        return None
    return length - int(window) + 1


@FUZZ
@given(name=st.sampled_from(SINGLE), x=arrays(), window=WINDOWS)
def test_single_kernels(name, x, window):
    before = x.copy()
    try:
        with np.errstate(all="ignore"):  # degenerate windows warn as numpy does; not what this test checks
            out = getattr(rolling, name)(x, window)
    except EXPECTED as error:
        log(error)
        return
    finally:
        # the input is left as it was (NaN of an object array compared as NaN)
        assert x.dtype == before.dtype and x.shape == before.shape
        assert all(a is b or a == b or (a != a and b != b) for a, b in zip(x.ravel().tolist(), before.ravel().tolist()))
    out = np.asarray(out)
    assert x.ndim == 1
    assert out.ndim == 1 and len(out) == expected_length(len(x), window)


@FUZZ
@given(name=st.sampled_from(PAIR), x=arrays(), y=arrays(), window=WINDOWS)
def test_pair_kernels(name, x, y, window):
    try:
        out = getattr(rolling, name)(x, y, window)
    except EXPECTED as error:
        log(error)
        return
    out = np.asarray(out)
    assert out.ndim == 1 and len(out) == expected_length(len(x), window)


@FUZZ
@given(name=st.sampled_from(SINGLE + PAIR + ["nope", None]), window=WINDOWS,
       inputs=st.lists(arrays(), min_size=0, max_size=3))
def test_apply_columns(name, window, inputs):
    kernel = getattr(rolling, name, name) if isinstance(name, str) else name
    try:
        out = rolling._apply_columns(kernel, window, *inputs)
    except EXPECTED as error:
        log(error)
        return
    out = np.asarray(out)
    assert inputs and inputs[0].ndim == 2
    assert out.shape == (expected_length(inputs[0].shape[0], window), inputs[0].shape[1])


@FUZZ
@given(x=arrays(), method=st.sampled_from(["mad", "std", "percentile", "", "MAD", None, 3]))
def test_core_winsorize_rows(x, method):
    try:
        out = _core.winsorize(x, method)
    except EXPECTED as error:
        log(error)
        return
    assert np.asarray(out).shape == x.shape


@FUZZ
@given(x=arrays(ndim=1), method=st.sampled_from(sorted(winsorize.WINSORIZE_METHODS)))
def test_winsorize_row_functions(x, method):
    try:
        out = winsorize.WINSORIZE_METHODS[method](pd.Series(x) if x.dtype.kind in "fiub" else x)
    except EXPECTED as error:
        log(error)
        return
    assert len(out) == len(x)


@FUZZ
@given(y=arrays(), x=arrays(), direct=st.booleans())
def test_residuals(y, x, direct):
    try:
        out = _core.ols_residuals(y, x) if direct else ols.calc_residuals(y, x)
    except EXPECTED as error:
        log(error)
        return
    assert np.asarray(out).shape == y.shape


FACTORS = st.sampled_from([interface.ConstantFactor(1.0), interface.ConstantFactor(np.arange(3.0)),
                           interface.UserDefinedLeafFactor("u", len)])
ANYTHING = st.one_of(st.none(), st.integers(-5, 5), st.sampled_from([2**63, -(2**70), 10**30]), FLOATS, st.text(max_size=3),
                     st.booleans(), st.just(np.add), st.just(rolling.ma), st.just(object()), FACTORS,
                     st.just(np.arange(4.0)), st.just(pd.DataFrame({"a": [1.0]})))


def touch(node):
    """Reads every node property; each may raise, none may crash."""
    for attr in ("expr", "shift", "dependencies"):
        try:
            getattr(node, attr)
        except EXPECTED + (AttributeError, RecursionError) as error:
            log(error)
            pass
    try:
        repr(node)
    except EXPECTED + (AttributeError, RecursionError) as error:
        log(error)
        pass


@FUZZ
@given(kind=st.sampled_from(["constant", "unary", "shifted", "binary", "combined", "leaf", "rolling", "pair"]),
       args=st.lists(ANYTHING, min_size=0, max_size=4))
def test_node_constructors(kind, args):
    make = {
        "constant": interface.ConstantFactor,
        "unary": interface.UnaryCombinedFactor,
        "shifted": interface.ShiftedFactor,
        "binary": interface.BinaryCombinedFactor,
        "combined": interface.CombinedFactor,
        "leaf": interface.UserDefinedLeafFactor,
        "rolling": rolling.RollingWindowFactor,
        "pair": rolling.CombinedRollingWindowFactor,
    }[kind]
    # a binary node names its function at construction: one without a __name__
    # fails there with the language's missing-attribute error
    construction = EXPECTED + ((AttributeError,) if kind == "binary" else ())
    try:
        node = make(*args)
    except construction as error:
        log(error)
        return
    touch(node)
    for op in (operator.add, operator.lt, operator.truediv):
        try:
            touch(op(node, node))
        except EXPECTED + (AttributeError, RecursionError) as error:
            log(error)
            pass


@FUZZ
@given(op=st.sampled_from(["MA", "EMA", "STD", "TS_RANK", "SUM", "PRODUCT", "TS_ARGMAX", "COUNT", "EVERY"]),
       window=WINDOWS, factor=ANYTHING)
def test_operator_functions(op, window, factor):
    try:
        node = getattr(rolling, op)(factor, window)
    except EXPECTED as error:
        log(error)
        return
    touch(node)


@st.composite
def frames(draw):
    t = draw(st.integers(1, 8))
    n = draw(st.integers(1, 5))
    values = draw(hnp.arrays(np.float64, (t, n), elements=FLOATS))
    dates = pd.bdate_range("2022-01-03", periods=t)
    if draw(st.booleans()):
        dates = dates[draw(st.permutations(list(range(t))))]
    ids = [f"S{i}" for i in draw(st.lists(st.integers(0, n), min_size=n, max_size=n))]
    return pd.DataFrame(values, index=pd.DatetimeIndex(dates), columns=ids)


@FUZZ
@given(step=st.sampled_from(["fr", "q", "ic", "norm", "win"]), factor=frames(), returns=frames(),
       periods=st.one_of(st.lists(st.integers(-2, 10), max_size=3), st.just([2**64]), st.integers(-1, 3)),
       quantile=st.integers(-1, 200))
def test_analysis_steps(step, factor, returns, periods, quantile):
    kept = factor.copy(), returns.copy()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            if step == "fr":
                out = assayer.FactorReturnAnalysis().analysis(factor, returns, periods).factor_returns
                assert len(out) == len(factor)
            elif step == "q":
                assayer.QuantileReturnAnalysis(quantile=quantile).analysis(factor, returns, periods)
            elif step == "ic":
                assayer.ICAnalysis(max_decay=abs(quantile)).analysis(factor, returns, periods)
            elif step == "norm":
                assert assayer.Normalization().process(factor).shape == factor.shape
            else:
                assert assayer.Winzorization("mad").process(factor).shape == factor.shape
        except EXPECTED as error:
            log(error)
    pd.testing.assert_frame_equal(factor, kept[0])  # inputs are left as they were
    pd.testing.assert_frame_equal(returns, kept[1])


@pytest.mark.parametrize("exog_shape", [(3, 5, 2), (4, 4, 1), (0, 0, 0)])
def test_residuals_shape_mismatch_names_both_shapes(exog_shape):
    with pytest.raises(ValueError, match=rf"^exog: shape \({exog_shape[0]}, {exog_shape[1]}, {exog_shape[2]}\) "
                                         r"does not match endog shape \(4, 5\): expected \(4, 5, K\)$"):
        _core.ols_residuals(np.zeros((4, 5)), np.zeros(exog_shape))
