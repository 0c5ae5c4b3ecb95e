"""Factor expression nodes: keys, dependencies, look-backs, operators, reprs."""

from __future__ import annotations

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
    assert set(vars(b)) == {"_func", "_repr", "_arg1", "_arg2", "_shift"}
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
