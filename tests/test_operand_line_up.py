"""The line-up of a combining node's operands on one look-back, against a reference written
from the rule: every node is wrapped to the longest look-back among the nodes, every other
operand becomes a constant; look-backs may be any comparable objects."""

from __future__ import annotations

from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from node_leaves import Leaf
from zarnik import rolling as R
from zarnik.interface import (
    BinaryCombinedFactor,
    CombinedFactor,
    ConstantFactor,
    LeafFactor,
    ShiftedFactor,
    _line_up,
)


class BadShift(LeafFactor):
    __hash__ = object.__hash__

    @property
    def shift(self):
        raise KeyError("no look-back")


def reference(operands, nodes=False):
    """(longest look-back or None, [(kind, operand, extra)]) by the rule, without the classes."""
    is_node = [nodes or isinstance(a, LeafFactor) for a in operands]
    shifts = [a.shift for a, n in zip(operands, is_node) if n]
    if not shifts:
        return None, None
    longest = shifts[0]
    for s in shifts[1:]:
        if s > longest:
            longest = s
    out = []
    for a, n in zip(operands, is_node):
        if not n:
            out.append(("constant", float(a), None))
        elif a.shift < longest:
            out.append(("shifted", a, longest - a.shift))
        else:
            out.append(("node", a, None))
    return longest, out


def described(stored):
    out = []
    for a in stored:
        if type(a) is ConstantFactor:
            out.append(("constant", a._value, None))
        elif type(a) is ShiftedFactor:
            out.append(("shifted", a._factor, a._n))
        else:
            out.append(("node", a, None))
    return out


def same(got, want):
    assert len(got) == len(want)
    for (k1, a1, e1), (k2, a2, e2) in zip(got, want):
        assert k1 == k2 and e1 == e2 and type(e1) is type(e2)
        assert a1 is a2 if k1 != "constant" else (a1 == a2 and type(a1) is float)


LOOKBACKS = [
    pytest.param((0, 3), id="ints"),
    pytest.param((2.5, 1), id="float-int"),
    pytest.param((np.int64(4), 7), id="numpy-int"),
    pytest.param((Fraction(1, 3), Fraction(1, 2)), id="fractions"),
    pytest.param((5, 5), id="equal"),
    pytest.param((5, 5.0), id="equal-int-float"),
    pytest.param((5.0, 5), id="equal-float-int"),
]


@pytest.mark.parametrize("shifts", LOOKBACKS)
@pytest.mark.parametrize("build", ["binary", "combined", "line_up"])
def test_line_up_of_two_nodes(shifts, build):
    u, v = Leaf("u", shifts[0]), Leaf("v", shifts[1])
    longest, want = reference([u, v])
    if build == "binary":
        node = BinaryCombinedFactor(np.add, u, v)
        got, stored = node._shift, [node._arg1, node._arg2]
        assert repr(node) == "add(u, v)"
    elif build == "combined":
        node = CombinedFactor(np.maximum, u, v)
        got, stored = node._shift, node._args
        assert type(stored) is list
    else:
        got, stored = _line_up(u, v)
    assert got == longest and type(got) is type(longest)
    same(described(stored), want)


@pytest.mark.parametrize("lookback", ["text", (1, 2), Fraction(7, 2)])
def test_a_lone_node_keeps_any_ordered_look_back(lookback):
    """A lone node's look-back is kept as the very object, whatever its type."""
    u = Leaf("u", lookback)
    node = CombinedFactor(np.negative, u, 3)
    assert node._shift is lookback and node.shift is lookback
    assert node._args[0] is u and node._args[1]._value == 3.0
    b = BinaryCombinedFactor(np.add, 2, u)
    assert b._shift is lookback and b._arg2 is u and b._arg1._value == 2.0


@pytest.mark.parametrize(
    "build, exc",
    [
        (lambda: BinaryCombinedFactor(np.add, Leaf("u", None), Leaf("v", 1)), TypeError),
        (lambda: CombinedFactor(np.negative, Leaf("u", None)), TypeError),  # None < None
        (lambda: CombinedFactor(np.add, Leaf("u", 1), BadShift()), KeyError),
        (lambda: BinaryCombinedFactor(np.add, BadShift(), 1.0), KeyError),
        (lambda: _line_up(), ValueError),
        (lambda: _line_up(Leaf("u", 1), 2.0), AttributeError),
        (lambda: CombinedFactor(np.add, 1.0, "2"), AssertionError),
        (lambda: BinaryCombinedFactor(np.add, Leaf("u", 1), "abc"), ValueError),
    ],
)
def test_line_up_errors_propagate(build, exc):
    with pytest.raises(exc):
        build()


def test_rolling_nodes_line_up_through_the_same_rule():
    u, v = Leaf("u", 2), Leaf("v", 5)
    node = R.CORR(u, v, 3)
    assert node.shift == 7 and node._factors[0]._n == 3 and node._factors[1] is v


operand = st.one_of(
    st.builds(Leaf, st.just("n"), st.one_of(st.integers(0, 50), st.floats(0, 50, allow_nan=False))),
    st.integers(-5, 5),
    st.floats(-1e6, 1e6, allow_nan=False),
)


@settings(max_examples=200, deadline=None)
@given(st.lists(operand, min_size=1, max_size=8))
def test_random_operands_match_the_reference(operands):
    longest, want = reference(operands)
    if want is None:
        with pytest.raises(AssertionError):
            CombinedFactor(np.add, *operands)
        return
    node = CombinedFactor(np.add, *operands)
    assert node.shift == longest and type(node.shift) is type(longest)
    same(described(node._args), want)
    assert node.dependencies == [a for a in operands if isinstance(a, LeafFactor)]
    nodes_only = [a for a in operands if isinstance(a, LeafFactor)]
    if nodes_only:
        got, stored = _line_up(*nodes_only)
        ref_longest, ref = reference(nodes_only, nodes=True)
        assert got == ref_longest
        same(described(stored), ref)
