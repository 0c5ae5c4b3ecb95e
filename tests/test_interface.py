"""Factor expression nodes: keys, dependencies, look-backs, operators, reprs."""

from __future__ import annotations

import functools
import operator
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import zarnik.interface as zi
from zarnik.exception import ZarnikUserException
from zarnik.interface import (
    AbstractFactor,
    AbstractUserDefinedLeafFactor,
    BinaryCombinedFactor,
    CombinedFactor,
    ConstantFactor,
    LeafFactor,
    ShiftedFactor,
    UnaryCombinedFactor,
    UserDefinedLeafFactor,
)

CLASS_ORDER = [
    "AbstractFactor",
    "ConstantFactor",
    "UnaryCombinedFactor",
    "ShiftedFactor",
    "BinaryCombinedFactor",
    "LeafFactor",
    "AbstractUserDefinedLeafFactor",
    "UserDefinedLeafFactor",
    "CombinedFactor",
]


class Leaf(LeafFactor):
    """A leaf with its own __init__ that never calls the base one."""

    def __init__(self, name: str, lookback: int = 0) -> None:
        self.label = name
        self.lookback = lookback

    def __hash__(self) -> int:
        return hash(self.label)

    def __repr__(self) -> str:
        return self.label

    @property
    def shift(self) -> int:  # overrides LeafFactor.shift
        return self.lookback


def ufactor(name: str) -> UserDefinedLeafFactor:
    return UserDefinedLeafFactor(name, lambda ids, s, e: None)


# ---------------------------------------------------------------- classes


def test_plain_classes_in_documented_order():
    names = [n for n, v in vars(zi).items() if isinstance(v, type) and issubclass(v, AbstractFactor)]
    assert names == CLASS_ORDER
    assert zi.__all__ == CLASS_ORDER
    for name in CLASS_ORDER:
        assert type(getattr(zi, name)) is type
    assert AbstractUserDefinedLeafFactor.__bases__ == (LeafFactor,)
    assert UserDefinedLeafFactor.__bases__ == (AbstractUserDefinedLeafFactor,)
    assert AbstractFactor.__doc__ is None and AbstractUserDefinedLeafFactor.__doc__ is None


@pytest.mark.parametrize(
    "cls, title, params",
    [
        (ConstantFactor, "常量因子类", ["value"]),
        (UnaryCombinedFactor, "单元组合因子类", ["func", "factor", "args"]),
        (ShiftedFactor, "移动因子类", ["factor", "n"]),
        (BinaryCombinedFactor, "二元组合因子类", ["func", "arg1", "arg2"]),
        (LeafFactor, "叶子节点基础抽象类", []),
        (UserDefinedLeafFactor, "用户自定义叶子节点因子类", ["name", "func"]),
        (CombinedFactor, "组合因子类", ["func", "args"]),
    ],
)
def test_docstrings(cls, title, params):
    doc = cls.__doc__
    assert doc.splitlines()[0] == title
    for p in params:
        assert f"\n{p} : " in doc
    if params:
        assert "Parameters\n----------" in doc


def test_attributes_live_in_instance_dict():
    f, g = Leaf("f"), Leaf("g", 2)
    assert vars(ShiftedFactor(f, 2)) == {"_factor": f, "_n": 2}
    assert vars(UnaryCombinedFactor(np.log, f, 1, "x")) == {"_func": np.log, "_factor": f, "_args": (1, "x")}
    b = BinaryCombinedFactor(np.add, f, g)
    # the representation text is built on demand from the operands as passed
    assert set(vars(b)) == {"_func", "_repr_args", "_arg1", "_arg2", "_shift"}
    assert b._repr == repr(b) == "add({!r}, {!r})".format(f, g)
    c = CombinedFactor(np.maximum, f, g)
    assert set(vars(c)) == {"_func", "_shift", "_args"} and isinstance(c._args, list)
    assert vars(UserDefinedLeafFactor("n", len)) == {"_name": "n", "_func": len}
    assert vars(ConstantFactor(1)) == {"_value": 1.0}


def test_subclass_overrides_are_seen_by_every_parent():
    class Odd(AbstractFactor):
        expr = property(lambda self: "odd-key")
        dependencies = property(lambda self: ["dep"])
        shift = property(lambda self: 7)

    f, o = Leaf("f"), Odd()
    b = f * o
    assert b.shift == 7 and b._arg1.expr == (ShiftedFactor._shift, (f, 7))
    assert b.expr[1][1] == "odd-key" and b.dependencies == [f, "dep"]
    assert UnaryCombinedFactor(np.log, o).expr == (np.log, ("odd-key",))
    assert ShiftedFactor(o, 2).shift == 9
    assert CombinedFactor(np.add, o, f).dependencies == ["dep", f]


# ---------------------------------------------------------------- base and leaves


@pytest.mark.parametrize("prop", ["expr", "dependencies", "shift"])
def test_abstract_properties_raise(prop):
    with pytest.raises(NotImplementedError) as info:
        getattr(AbstractFactor(), prop)
    assert info.value.args == ()


def test_leaf_protocol_identity_and_hash():
    leaf = LeafFactor()
    assert leaf.expr is leaf and leaf.shift == 0
    first = leaf.dependencies
    first.append(1)
    assert leaf.dependencies == [leaf]
    with pytest.raises(NotImplementedError):
        hash(leaf)
    other = LeafFactor()
    assert (leaf == other) is False and (leaf == leaf) is True
    with pytest.raises(NotImplementedError):
        AbstractUserDefinedLeafFactor().execute([], "a", "b")
    # Default object representation for leaves and constants.
    assert repr(leaf).startswith("<zarnik.interface.LeafFactor object at 0x")
    assert repr(ConstantFactor(1)).startswith("<zarnik.interface.ConstantFactor object at 0x")


@pytest.mark.parametrize(
    "value, expected",
    [(3, 3.0), (True, 1.0), ("2.5", 2.5), (np.float64(1.5), 1.5), (np.int32(-4), -4.0), (" 7 ", 7.0)],
)
def test_constant_scalars_become_plain_floats(value, expected):
    c = ConstantFactor(value)
    assert type(c.expr) is float and c.expr == expected
    assert c.dependencies == [] and c.shift == 0


def test_constant_arrays_and_frames():
    a = np.arange(6).reshape(2, 3)
    assert ConstantFactor(a).expr is a
    zero_d = np.array(5)
    assert ConstantFactor(value=zero_d)._value is zero_d
    df = pd.DataFrame(a, index=["x", "y"], columns=list("abc"))
    v = ConstantFactor(df).expr
    assert type(v) is np.ndarray and v.shape == (2, 3)
    np.testing.assert_array_equal(v, a)
    s = pd.Series([1.0, 2.0], index=["p", "q"])
    np.testing.assert_array_equal(ConstantFactor(s).expr, [1.0, 2.0])


@pytest.mark.parametrize(
    "value, exc, message",
    [
        ("abc", ValueError, "invalid constant value abc"),
        ("", ValueError, "invalid constant value "),
        (None, TypeError, "float() argument must be"),
        ((1, 2), TypeError, "float() argument must be"),
        (10**400, OverflowError, "too large"),
        (1 + 2j, TypeError, "complex"),
    ],
)
def test_constant_failures(value, exc, message):
    with pytest.raises(exc) as info:
        ConstantFactor(value)
    assert str(info.value).startswith(message) or message in str(info.value)


# ---------------------------------------------------------------- operators

F = Leaf("f")
G = Leaf("g", 3)

# (written form, numpy attribute, shown name, operands (f first?))
OPERATORS = [
    (lambda f, x: f + x, "add", "add", "fx"),
    (lambda f, x: x + f, "add", "add", "fx"),
    (lambda f, x: f - x, "subtract", "subtract", "fx"),
    (lambda f, x: x - f, "subtract", "subtract", "xf"),
    (lambda f, x: f * x, "multiply", "multiply", "fx"),
    (lambda f, x: x * f, "multiply", "multiply", "fx"),
    (lambda f, x: f / x, "true_divide", "true_divide", "fx"),
    (lambda f, x: x / f, "true_divide", "true_divide", "xf"),
    (lambda f, x: f // x, "floor_divide", "floor_divide", "fx"),
    (lambda f, x: x // f, "floor_divide", "floor_divide", "xf"),
    (lambda f, x: f % x, "mod", "remainder", "fx"),
    (lambda f, x: x % f, "mod", "remainder", "xf"),
    (lambda f, x: f**x, "power", "power", "fx"),
    (lambda f, x: x**f, "power", "power", "xf"),
    (lambda f, x: f < x, "less", "less", "fx"),
    (lambda f, x: x > f, "less", "less", "fx"),
    (lambda f, x: f <= x, "less_equal", "less_equal", "fx"),
    (lambda f, x: f > x, "greater", "greater", "fx"),
    (lambda f, x: x < f, "greater", "greater", "fx"),
    (lambda f, x: f >= x, "greater_equal", "greater_equal", "fx"),
    (lambda f, x: f != x, "not_equal", "not_equal", "fx"),
    (lambda f, x: x != f, "not_equal", "not_equal", "fx"),
    (lambda f, x: f & x, "logical_and", "logical_and", "fx"),
    (lambda f, x: f | x, "logical_or", "logical_or", "fx"),
    (lambda f, x: f ^ x, "logical_xor", "logical_xor", "fx"),
]


@pytest.mark.parametrize("build, attr, shown, order", OPERATORS)
def test_binary_operators_with_a_constant(build, attr, shown, order):
    node = build(F, 2)
    assert type(node) is BinaryCombinedFactor
    assert node._func is getattr(np, attr)
    first, second = ("f", 2) if order == "fx" else (2, "f")
    assert repr(node) == f"{shown}({first}, {second})"
    keys = (F, 2.0) if order == "fx" else (2.0, F)
    assert node.expr == (getattr(np, attr), keys)
    assert node.dependencies == [F] and node.shift == 0


NODE_OPERATORS = [
    (operator.add, "add"),
    (operator.sub, "subtract"),
    (operator.mul, "multiply"),
    (operator.truediv, "true_divide"),
    (operator.floordiv, "floor_divide"),
    (operator.mod, "remainder"),
    (operator.pow, "power"),
    (operator.lt, "less"),
    (operator.le, "less_equal"),
    (operator.gt, "greater"),
    (operator.ge, "greater_equal"),
    (operator.ne, "not_equal"),
    (operator.and_, "logical_and"),
    (operator.or_, "logical_or"),
    (operator.xor, "logical_xor"),
]


@pytest.mark.parametrize("op, shown", NODE_OPERATORS)
@pytest.mark.parametrize("swap", [False, True])
def test_binary_operators_between_nodes_align(op, shown, swap):
    a, b = (G, F) if swap else (F, G)  # f has look-back 0, g 3
    node = op(a, b)
    assert node.shift == 3
    wrapped = (ShiftedFactor._shift, (F, 3))
    keys = (G, wrapped) if swap else (wrapped, G)
    assert node.expr == (node._func, keys)
    assert node.dependencies == [a, b]
    assert repr(node) == f"{shown}({a!r}, {b!r})"


@pytest.mark.parametrize(
    "build, attr, shown",
    [(abs, "abs", "absolute"), (lambda f: -f, "negative", "negative"), (lambda f: ~f, "logical_not", "logical_not")],
)
def test_unary_operators(build, attr, shown):
    node = build(G)
    assert type(node) is UnaryCombinedFactor and node._args == ()
    assert node.expr == (getattr(np, attr), (G,))
    assert repr(node) == f"{shown}(g)" and node.shift == 3 and node.dependencies == [G]


def test_operator_identities_and_refusals():
    assert AbstractFactor.__radd__ is AbstractFactor.__add__
    assert AbstractFactor.__rmul__ is AbstractFactor.__mul__
    for name in ("__eq__", "__rand__", "__ror__", "__rxor__", "__iadd__", "__hash__"):
        assert name not in vars(AbstractFactor)
    assert +F is F
    assert (F == Leaf("f")) is False and (F == F) is True
    assert isinstance(hash(F + 1), int)
    for bad in (lambda: True & F, lambda: 1 | F, lambda: 1 ^ F):
        with pytest.raises(TypeError, match="unsupported operand"):
            bad()
    with pytest.raises(TypeError):
        pow(F, 2, 3)
    f = F
    f += 1
    assert type(f) is BinaryCombinedFactor and F.shift == 0


@pytest.mark.parametrize(
    "use",
    [bool, lambda f: not f, lambda f: f and 1, lambda f: f or 1, lambda f: 0 < f < 1, lambda f: 1 if f > 0 else 0],
)
def test_truth_value_is_refused(use):
    with pytest.raises(ZarnikUserException) as info:
        use(F)
    assert info.value.args == ("please use IF instead",)


def test_operators_look_numpy_functions_up_each_time(monkeypatch):
    monkeypatch.setattr(np, "add", np.maximum)
    monkeypatch.setattr(np, "negative", np.sqrt)
    assert (F + 1)._func is np.maximum and repr(F + 1) == "maximum(f, 1)"
    assert (-F)._func is np.sqrt


def test_invalid_constant_operand_raises_from_the_operator():
    with pytest.raises(ValueError, match="^invalid constant value abc$"):
        F + "abc"
    assert (F + "1.5").expr == (np.add, (F, 1.5))


def test_representation_of_nested_user_leaves():
    u, v = ufactor("u"), ufactor("v")
    node = (u - 1) / v
    assert repr(node) == "true_divide(subtract(UFactor(u), 1), UFactor(v))"
    assert node.expr == (np.true_divide, ((np.subtract, (u, 1.0)), v))
    assert node.dependencies == [u, v] and node.shift == 0


# ---------------------------------------------------------------- function nodes


def test_binary_alignment_stores_the_wrapper():
    f, g = Leaf("f"), Leaf("g", 3)
    left, right = BinaryCombinedFactor(np.add, f, g), BinaryCombinedFactor(np.add, g, f)
    assert (left._arg1._factor, left._arg1._n, left._arg2) == (f, 3, g)
    assert (right._arg1, right._arg2._factor, right._arg2._n) == (g, f, 3)
    same = BinaryCombinedFactor(np.add, g, Leaf("h", 3))
    assert type(same._arg1) is Leaf and type(same._arg2) is Leaf and same.shift == 3
    # An explicit ConstantFactor is a node of look-back 0 and gets aligned.
    c = ConstantFactor(2)
    node = BinaryCombinedFactor(np.add, c, g)
    assert node._arg1._factor is c and node.expr == (np.add, ((ShiftedFactor._shift, (2.0, 3)), g))


def test_binary_representation_is_fixed_from_the_arguments_as_passed():
    arr = np.array([1, 2])
    node = BinaryCombinedFactor(np.add, F, arr)
    assert repr(node) == "add(f, array([1, 2]))"
    assert node._arg2.expr is arr
    assert repr(BinaryCombinedFactor(np.true_divide, 1.5, F)) == "true_divide(1.5, f)"
    assert repr(BinaryCombinedFactor(np.divide, 1, F)) == "true_divide(1, f)"

    nameless = functools.partial(np.add)
    with pytest.raises(AttributeError):
        BinaryCombinedFactor(nameless, F, 1)
    # Unary and n-ary nodes only need the name for their representation.
    for node in (UnaryCombinedFactor(nameless, F), CombinedFactor(nameless, F)):
        assert node.expr[0] is nameless
        with pytest.raises(AttributeError):
            repr(node)


def test_combined_factor_aligns_and_wraps_constants():
    f, g = Leaf("f"), Leaf("g", 3)
    node = CombinedFactor(np.maximum, f, 2, g)
    first, const, last = node._args
    assert (type(first), first._factor, first._n) == (ShiftedFactor, f, 3)
    assert type(const) is ConstantFactor and const._value == 2.0 and last is g
    assert node.expr == (np.maximum, ((ShiftedFactor._shift, (f, 3)), 2.0, g))
    assert node.dependencies == [f, g] and node.shift == 3
    text = repr(node)
    assert text.startswith("maximum(shift(f, 3), <zarnik.interface.ConstantFactor object at 0x")
    assert text.endswith(">, g)")


@pytest.mark.parametrize("args", [(), (1, 2), ("a",)])
def test_combined_factor_needs_a_node(args):
    with pytest.raises(AssertionError):
        CombinedFactor(np.add, *args)


def test_unary_combined_factor():
    node = UnaryCombinedFactor(np.round, G, 5, (1, 2))
    assert node.expr == (np.round, (G, 5, (1, 2)))
    assert repr(node) == "round(g)" and node.shift == 3 and node.dependencies == [G]
    assert UnaryCombinedFactor(func=np.log, factor=F)._args == ()
    with pytest.raises(AssertionError) as info:
        UnaryCombinedFactor(np.log, 5)
    assert info.value.args == ("factor expected",)
    with pytest.raises(TypeError):
        UnaryCombinedFactor(np.log, F, extra=1)


@pytest.mark.parametrize(
    "build",
    [
        lambda: BinaryCombinedFactor(np.add, 1, 2),
        lambda: BinaryCombinedFactor(np.add, None, np.ones(2)),
        lambda: ShiftedFactor(5, 2),
        lambda: ShiftedFactor(factor=None, n=1),
    ],
)
def test_constructor_assertions(build):
    with pytest.raises(AssertionError) as info:
        build()
    assert info.value.args == ()


def test_shifted_factor():
    u = ufactor("turnover")
    s = ShiftedFactor(u, 3)
    assert repr(s) == "shift(UFactor(turnover), 3)"
    assert s.shift == 3 and s.dependencies == [u] and s.expr == (ShiftedFactor._shift, (u, 3))
    assert ShiftedFactor(G, 0).shift == 3
    nested = ShiftedFactor(ShiftedFactor(G, 2), 3)
    assert nested.shift == 8
    assert nested.expr == (ShiftedFactor._shift, ((ShiftedFactor._shift, (G, 2)), 3))
    assert ShiftedFactor(F, 1).expr[0] is ShiftedFactor(G, 2).expr[0] is s._shift
    # _n is stored as passed and fails only when used.
    odd = ShiftedFactor(F, "x")
    assert odd._n == "x"
    with pytest.raises(TypeError):
        odd.shift


def test_shift_function():
    df = pd.DataFrame(np.arange(20.0).reshape(10, 2))
    out = ShiftedFactor._shift(df, 3)
    assert type(out) is np.ndarray and out.shape == (7, 2)
    np.testing.assert_array_equal(out, df.values[3:])
    series = pd.Series(np.arange(5.0), index=list("abcde"))
    np.testing.assert_array_equal(ShiftedFactor._shift(series=series, n=2), [2.0, 3.0, 4.0])
    arr = np.arange(6.0)
    view = ShiftedFactor(F, 1)._shift(arr, 0)
    assert view.shape == (6,)
    view = ShiftedFactor._shift(arr, 2)
    view[0] = -1.0
    assert arr[2] == -1.0
    assert ShiftedFactor._shift([1, 2, 3], 1) == [2, 3]

    class Broken:
        @property
        def values(self):
            raise RuntimeError("lookup fails")

        def __getitem__(self, item):
            return ("sliced", item)

    assert ShiftedFactor._shift(Broken(), 4) == ("sliced", slice(4, None, None))
    with pytest.raises(TypeError):
        ShiftedFactor._shift(arr, "a")


def test_assertions_are_skipped_under_optimize():
    code = """
import numpy as np
from zarnik.interface import *
u = UnaryCombinedFactor(np.log, 5)
assert u._factor == 5
s = ShiftedFactor(5, 2)
assert s._factor == 5 and s._n == 2
try:
    BinaryCombinedFactor(np.add, 1, 2)
except AttributeError:
    pass
try:
    CombinedFactor(np.add, 1)
except ValueError as e:
    print(e)
print("done")
"""
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().endswith("done")


# ---------------------------------------------------------------- user-defined leaves

DATES = ["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"]
IDS = ["000001.XSHE", "600000.XSHG"]


@pytest.fixture
def calendar(monkeypatch):
    """Substitutes the trading calendar; records every request."""
    import ostrel

    calls = []

    def get_trading_dates(start_date, end_date):
        calls.append((start_date, end_date))
        return list(DATES)

    monkeypatch.setattr(ostrel, "get_trading_dates", get_trading_dates, raising=False)
    return calls


def frame(index=DATES, columns=IDS):
    index = pd.DatetimeIndex(index) if index is not None else pd.DatetimeIndex(DATES)
    return pd.DataFrame(np.arange(len(index) * len(columns), dtype=float).reshape(len(index), len(columns)),
                        index=index, columns=columns)


STEP2 = "UFactor(x): pd.DataFrame expected, got {}."
STEP3 = "UFactor(x): the returned DataFrame is empty."
STEP4 = "UFactor(x): the index of the returned DataFrame is not a pd.DatetimeIndex."
STEP6 = "UFactor(x):the index of returned DataFrame does not match, expect trading dates from 20240102 to 20240105"
STEP7 = "UFactor(x): the columns of returned DataFrame does not match, expect exact order_book_ids"


@pytest.mark.parametrize(
    "result, message, calendar_calls",
    [
        (np.zeros((4, 2)), STEP2.format(np.ndarray), 0),
        (None, STEP2.format(type(None)), 0),
        (pd.Series([1.0]), STEP2.format(pd.Series), 0),
        (pd.DataFrame(columns=IDS, index=pd.DatetimeIndex([])), STEP3, 0),
        (pd.DataFrame(index=pd.DatetimeIndex(DATES)), STEP3, 0),
        (pd.DataFrame(1.0, index=DATES, columns=IDS), STEP4, 0),
        (pd.DataFrame(1.0, index=range(4), columns=IDS), STEP4, 0),
        (frame(DATES[:-1]), STEP6, 1),
        (frame(DATES + ["2024-01-08"]), STEP6, 1),
        (frame(DATES[::-1]), STEP6, 1),
        (frame([d + " 15:00" for d in DATES]), STEP6, 1),
        (frame(DATES[:2] + DATES[3:] + DATES[2:3]), STEP6, 1),
        (frame(columns=IDS[:1]), STEP7, 1),
        (frame(columns=IDS + ["300750.XSHE"]), STEP7, 1),
        (frame(columns=["000001.XSHE", "000002.XSHE"]), STEP7, 1),
    ],
)
def test_execute_checks_in_order(calendar, result, message, calendar_calls):
    from zarnik.exception import InvalidUserFactor

    leaf = UserDefinedLeafFactor("x", lambda ids, start, end: result)
    with pytest.raises(InvalidUserFactor) as info:
        leaf.execute(IDS, "20240102", "20240105")
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert len(calendar) == calendar_calls


@pytest.mark.parametrize(
    "columns, requested",
    [(IDS, IDS), (IDS[::-1], IDS), (IDS, IDS + IDS[:1]), (IDS, tuple(IDS)), (IDS, set(IDS))],
)
def test_execute_returns_the_frame_itself(calendar, columns, requested):
    result = frame(columns=columns)
    received = []

    def func(*args):
        received.append(args)
        return result

    leaf = UserDefinedLeafFactor(name="x", func=func)
    start, end = pd.Timestamp("2024-01-02"), "2024-01-05"
    out = leaf.execute(order_book_ids=requested, start_date=start, end_date=end)
    assert out is result and list(out.columns) == list(columns)
    assert received == [(requested, start, end)] and calendar == [(start, end)]
    leaf.execute(requested, start, end)
    assert len(calendar) == 2  # fetched on every call


def test_execute_lets_errors_of_the_function_and_the_calendar_through(monkeypatch):
    import ostrel

    class Boom(Exception):
        pass

    def failing(*args):
        raise Boom("user")

    with pytest.raises(Boom, match="user"):
        UserDefinedLeafFactor("x", failing).execute(IDS, "a", "b")

    def calendar(start, end):
        raise KeyError("calendar")

    monkeypatch.setattr(ostrel, "get_trading_dates", calendar, raising=False)
    with pytest.raises(KeyError, match="calendar"):
        UserDefinedLeafFactor("x", lambda *a: frame()).execute(IDS, "a", "b")


def test_user_leaf_protocol_and_hash():
    def func(ids, start, end):
        return None

    u = UserDefinedLeafFactor("turnover_rate_weekly", func)
    assert repr(u) == "UFactor(turnover_rate_weekly)" and u.name == "turnover_rate_weekly"
    assert u.expr is u and u.dependencies == [u] and u.shift == 0
    twin = UserDefinedLeafFactor("other", func)
    assert hash(u) == hash(twin) == hash(id(func)) and (u == twin) is False
    assert type(u != twin) is BinaryCombinedFactor
    assert len({(u,): 1, (twin,): 2}) == 2
    with pytest.raises(AttributeError):
        u.name = "y"
    assert repr(UserDefinedLeafFactor(7, func)) == "UFactor(7)"


def test_user_subclass_without_base_init():
    class MyLeaf(AbstractUserDefinedLeafFactor):
        def __init__(self, field):
            self.field = field

        def __hash__(self):
            return hash(self.field)

        def execute(self, order_book_ids, start_date, end_date):
            return self.field

    leaf = MyLeaf("close")
    node = UnaryCombinedFactor(np.cumsum, leaf) - leaf
    assert node.dependencies == [leaf, leaf] and node.expr[1][1] is leaf
    assert node.shift == 0 and leaf.execute([], 1, 2) == "close"
    assert {leaf: 1}[leaf] == 1
