"""Rolling-window nodes and the operator catalogue of zarnik.rolling."""

from __future__ import annotations

import inspect
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import zarnik.rolling as R
from zarnik.interface import AbstractFactor, BinaryCombinedFactor, LeafFactor, ShiftedFactor


class Leaf(LeafFactor):
    __hash__ = object.__hash__

    def __init__(self, name: str):
        self.name = name

    def __repr__(self) -> str:
        return self.name


class Lagged(Leaf):
    """A leaf that reports a look-back of its own."""

    def __init__(self, name: str, lag: int):
        super().__init__(name)
        self.lag = lag

    @property
    def shift(self) -> int:
        return self.lag


def evaluate(key, data):
    """The evaluation contract of expression keys: apply callables to evaluated arguments."""
    if isinstance(key, tuple) and len(key) == 2 and callable(key[0]) and isinstance(key[1], tuple):
        return key[0](*(evaluate(a, data) for a in key[1]))
    if isinstance(key, LeafFactor):
        return data[key.name]
    return key


@pytest.fixture
def f():
    return Leaf("f")


# ---------------------------------------------------------------------------
# RollingWindowFactor
# ---------------------------------------------------------------------------
def test_single_input_node_protocol(f):
    node = R.RollingWindowFactor(R.ma, 5, f)
    assert list(vars(node)) == ["_func", "_factor", "_window"]
    assert node.expr == (R.ma, (f, 5))
    assert node.shift == 4
    assert R.RollingWindowFactor(R.ma, 1, f).shift == 0
    assert R.MA(R.MA(f, 5), 3).shift == 6
    assert R.MA(Lagged("g", 7), 5).shift == 11
    assert node.dependencies == [f]
    assert node.dependencies is not node.dependencies  # the leaf's own new list each time
    assert repr(node) == "ma(f, 5)"
    assert repr(R.MA(R.MA(f, 5), 3)) == "ma(ma(f, 5), 3)"


def test_class_shape():
    for cls, members in [
        (R.RollingWindowFactor, ["__init__", "dependencies", "expr", "shift", "__repr__"]),
        (R.CombinedRollingWindowFactor, ["__init__", "expr", "shift", "dependencies", "__repr__"]),
    ]:
        assert type(cls) is type
        assert cls.__bases__ == (AbstractFactor,)
        assert [k for k in vars(cls) if k in members] == members
        for prop in ("expr", "shift", "dependencies"):
            assert isinstance(vars(cls)[prop], property)
        assert "因子类" in cls.__doc__ and "Parameters" in cls.__doc__


def test_subclasses_behave_like_python_classes(f):
    class Mine(R.RollingWindowFactor):
        def __init__(self, factor):  # no base __init__
            self._func, self._factor, self._window = R.ma, factor, 3

        @property
        def shift(self):
            return 100

    node = Mine(f)
    assert node.expr == (R.ma, (f, 3))
    # the combined node reads its inputs' shift through attribute lookup
    combined = R.CORRELATION(node, f, 2)
    assert combined.shift == 101
    assert isinstance(combined._factors[1], ShiftedFactor)


def test_window_and_func_are_not_validated(f):
    node = R.RollingWindowFactor(R.ma, "x", f)
    with pytest.raises(TypeError):
        node.shift
    with pytest.raises(TypeError):
        R.CombinedRollingWindowFactor(R.covariance, "x", f, f)
    nameless = R.RollingWindowFactor(object(), 3, f)
    with pytest.raises(AttributeError):
        repr(nameless)


@pytest.mark.parametrize(
    "build",
    [
        lambda f: R.RollingWindowFactor(R.ma, 5, 1.0),
        lambda f: R.CombinedRollingWindowFactor(R.covariance, 5, f, "b"),
        lambda f: R.MA(np.arange(3.0), 5),
        lambda f: R.EVERY(None, 3),
        lambda f: R.TS_REGRESSION(f, 2, 5),
    ],
)
def test_non_factor_inputs_raise_bare_assertion(f, build):
    with pytest.raises(AssertionError) as info:
        build(f)
    assert info.value.args == ()


def test_assertions_skipped_under_optimize():
    code = (
        "import zarnik.rolling as R; n = R.RollingWindowFactor(R.ma, 3, 1.5); "
        "print(n._factor); R.CombinedRollingWindowFactor(R.ma, 3, 'a')"
    )
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "1.5"
    assert "AttributeError" in out.stderr  # the shift of a string, not an assertion


# ---------------------------------------------------------------------------
# CombinedRollingWindowFactor
# ---------------------------------------------------------------------------
def test_combined_alignment_and_protocol(f):
    g = Lagged("g", 4)
    node = R.CombinedRollingWindowFactor(R.covariance, 10, f, g)
    assert list(vars(node)) == ["_func", "_window", "_factors", "_shift"]
    first, second = node._factors
    assert isinstance(first, ShiftedFactor) and second is g
    assert node.shift == 13
    assert node.expr == (R.covariance, (10, first.expr, g))
    assert node.expr[1] is not node.expr[1]
    assert repr(node) == f"covariance({first!r}, g)"
    assert node.dependencies == [f, g]


def test_combined_equal_lookbacks_and_same_leaf(f):
    h = Leaf("h")
    node = R.CombinedRollingWindowFactor(R.correlation, 10, f, h)
    assert node._factors[0] is f and node._factors[1] is h
    assert node.shift == 9
    assert node.expr == (R.correlation, (10, f, h))
    twice = R.CORRELATION(f, f, 3)
    assert twice.dependencies == [f, f]
    assert twice.dependencies is not twice.dependencies
    other = R.CORRELATION(f, f, 7)
    assert repr(twice) == repr(other) and twice.expr != other.expr
    single = R.CombinedRollingWindowFactor(R.covariance, 4, Lagged("g", 2))
    assert not isinstance(single._factors[0], ShiftedFactor) and single.shift == 5


def test_combined_without_inputs():
    with pytest.raises(ValueError, match="max"):
        R.CombinedRollingWindowFactor(R.covariance, 3)


# ---------------------------------------------------------------------------
# operator catalogue
# ---------------------------------------------------------------------------
ALL = ["COUNT", "TS_RANK", "EVERY", "PRODUCT", "COV", "COVARIANCE", "TS_REGRESSION", "TS_ZSCORE", "TS_SKEW",
       "TS_KURT", "AVEDEV", "TS_ARGMAX", "TS_ARGMIN", "CORR", "CORRELATION", "MA", "EMA", "WMA", "SMA", "STD",
       "STDDEV", "VAR", "DECAY_LINEAR", "SLOPE", "SUM", "TS_MIN", "TS_MAX", "HHV", "LLV"]

SINGLE = {
    "COUNT": ("count", "window"), "TS_RANK": ("ts_rank", "window"), "PRODUCT": ("product", "window"),
    "TS_ZSCORE": ("zscore", "window"), "TS_SKEW": ("skew", "window"), "TS_KURT": ("kurt", "window"),
    "AVEDEV": ("avedev", "window"), "TS_ARGMAX": ("ts_argmax", "n"), "TS_ARGMIN": ("ts_argmin", "n"),
    "MA": ("ma", "window"), "EMA": ("ema", "window"), "WMA": ("wma", "window"), "STD": ("std", "window"),
    "VAR": ("var", "window"), "SLOPE": ("slope", "window"), "SUM": ("sum", "window"),
    "TS_MIN": ("ts_min", "window"), "TS_MAX": ("ts_max", "window"),
}
ALIASES = {"COV": "COVARIANCE", "CORR": "CORRELATION", "SMA": "MA", "DECAY_LINEAR": "WMA", "STDDEV": "STD",
           "HHV": "TS_MAX", "LLV": "TS_MIN"}


def test_module_names():
    assert R.__all__ == ALL
    for alias, target in ALIASES.items():
        assert getattr(R, alias) is getattr(R, target)
        assert getattr(R, alias).__name__ == target
    names = list(vars(R))
    order = ["RollingWindowFactor", "count", "COUNT", "EVERY", "CombinedRollingWindowFactor", "covariance",
             "COV", "regression", "ma", "SMA", "HHV", "LLV"]
    assert [n for n in names if n in order] == order


@pytest.mark.parametrize("op", sorted(SINGLE))
def test_single_input_operators(f, op):
    kernel, wname = SINGLE[op]
    fn = getattr(R, op)
    assert list(inspect.signature(fn).parameters) == ["factor", wname]
    for node in (fn(f, 6), fn(factor=f, **{wname: 6})):
        assert type(node) is R.RollingWindowFactor
        assert node._func is getattr(R, kernel) and node._factor is f and node._window == 6
        assert repr(node) == f"{kernel}(f, 6)"
    doc = fn.__doc__
    assert "Parameters" in doc and "Returns" in doc and "zarnik.rolling.RollingWindowFactor" in doc
    assert "zarnik.interface.AbstractFactor" in doc and any("\u4e00" <= ch <= "\u9fff" for ch in doc)
    if op in ("TS_ARGMAX", "TS_ARGMIN"):
        assert "See Also" in doc and ({"TS_ARGMAX": "TS_ARGMIN", "TS_ARGMIN": "TS_ARGMAX"}[op]) in doc


def test_signature_errors(f):
    assert R.TS_ARGMAX(f, n=5)._window == 5
    with pytest.raises(TypeError):
        R.TS_ARGMAX(f, window=5)
    with pytest.raises(TypeError):
        R.MA(f)
    with pytest.raises(TypeError):
        R.CORRELATION(f, f, 3, 4)


def test_two_input_operators(f):
    y, x = Leaf("y"), Lagged("x", 3)
    reg = R.TS_REGRESSION(y, x, 20)
    assert list(inspect.signature(R.TS_REGRESSION).parameters) == ["Y", "X", "window"]
    assert reg._func is R.regression and reg._factors[0] is x
    assert isinstance(reg._factors[1], ShiftedFactor)
    assert reg.expr == (R.regression, (20, x, reg._factors[1].expr))
    assert reg.shift == 22
    for op, kernel in [("COVARIANCE", R.covariance), ("CORRELATION", R.correlation)]:
        node = getattr(R, op)(a=f, b=y, window=4)
        assert node._func is kernel and node._factors == [f, y]
        assert "zarnik.rolling.CombinedRollingWindowFactor" in getattr(R, op).__doc__
    assert R.MA(f, 5).expr == R.SMA(f, 5).expr and R.MA(f, 5) is not R.SMA(f, 5)


def test_every_node_and_example(f):
    node = R.EVERY(f, 3)
    assert isinstance(node, BinaryCombinedFactor)
    assert node.shift == 2
    func, (count_key, window_key) = node.expr
    assert func is np.equal and count_key == (R.count, (f, 3)) and window_key == 3
    assert "zarnik.interface.BinaryCombinedFactor" in R.EVERY.__doc__
    data = {"f": np.array([1.0, 1, 0, 1, 1, 1])}
    np.testing.assert_array_equal(evaluate(node.expr, data), [False, False, False, True])


def test_formula_end_to_end(f):
    # MA(f, 5) - f: the subtraction aligns f by wrapping it in a ShiftedFactor
    formula = R.MA(f, 5) - f
    assert formula.shift == 4 and formula.dependencies == [f, f]
    rng = np.random.default_rng(4)
    values = rng.normal(size=40)
    got = evaluate(formula.expr, {"f": values})
    want = (pd.Series(values).rolling(5).mean() - pd.Series(values)).to_numpy()[4:]
    np.testing.assert_allclose(got, want, rtol=1e-12)
    g = Leaf("g")
    other = rng.normal(size=40)
    corr = R.CORR(R.MA(f, 3), g, 10)
    got = evaluate(corr.expr, {"f": values, "g": other})
    ma3 = pd.Series(values).rolling(3).mean()
    want = ma3.rolling(10).corr(pd.Series(other)).to_numpy()[11:]
    np.testing.assert_allclose(got, want, rtol=1e-10)
