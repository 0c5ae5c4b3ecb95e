"""The walked members of each node kind (``zarnik.interface._node_members``) on classes defined
here, against a recursive reference written from what each kind reads."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from node_leaves import Leaf
from zarnik.interface import AbstractFactor, _node_members

MEMBERS = {
    "leaf": ["expr", "dependencies", "shift"],
    "constant": ["expr", "dependencies", "shift"],
    "unary": ["expr", "dependencies", "shift", "__repr__"],
    "binary": ["expr", "dependencies", "shift", "_repr", "__repr__"],
    "combined": ["expr", "dependencies", "shift", "__repr__"],
    "rolling": ["expr", "dependencies", "shift", "__repr__"],
    "combined_rolling": ["expr", "dependencies", "shift", "__repr__"],
}


@pytest.mark.parametrize("kind", sorted(MEMBERS))
def test_each_kind_makes_its_members(kind):
    members = _node_members(kind)
    assert list(members) == MEMBERS[kind]
    assert isinstance(members["expr"], property) and isinstance(members["shift"], property)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("lag",), ValueError, "unknown node kind lag"),
        (("",), ValueError, "unknown node kind "),
        (("Leaf",), ValueError, "unknown node kind Leaf"),
        (("offset",), TypeError, "an offset node needs its row function and a str name"),
        (("offset", np.add, 3), TypeError, "an offset node needs its row function and a str name"),
        (("offset", None, "x"), TypeError, "an offset node needs its row function and a str name"),
    ],
)
def test_bad_kinds_are_refused(args, exc, message):
    with pytest.raises(exc) as info:
        _node_members(*args)
    assert str(info.value) == message


def drop(values, n):
    return values[n:]


def window_sum(x, window):
    return x


def _install(cls, kind, *extra):
    for name, member in _node_members(kind, *extra).items():
        setattr(cls, name, member)
    return cls


class Lag(AbstractFactor):
    def __init__(self, factor, n):
        self._factor, self._n = factor, n


_install(Lag, "offset", drop, "lagby")


class Roll(AbstractFactor):
    def __init__(self, factor, window):
        self._func, self._factor, self._window = window_sum, factor, window


_install(Roll, "rolling")


class Apply(AbstractFactor):
    def __init__(self, factor, *args):
        self._func, self._factor, self._args = np.log, factor, args


_install(Apply, "unary")


class Many(AbstractFactor):
    def __init__(self, window, *factors):
        self._func, self._window, self._factors = window_sum, window, list(factors)
        self._shift = max(f.shift for f in factors) + window - 1


_install(Many, "combined_rolling")


def reference(node):
    """(expr, dependencies, shift, text), recursively."""
    if isinstance(node, Leaf):
        return node, [node], node.lookback, node.label
    if isinstance(node, Lag):
        e, d, s, t = reference(node._factor)
        return (drop, (e, node._n)), d, s + node._n, "lagby({}, {})".format(t, node._n)
    if isinstance(node, Roll):
        e, d, s, t = reference(node._factor)
        w = node._window
        return (window_sum, (e, w)), d, w - 1 + s, "window_sum({}, {})".format(t, w)
    if isinstance(node, Apply):
        e, d, s, t = reference(node._factor)
        return (np.log, (e, *node._args)), d, s, "log({})".format(t)
    parts = [reference(f) for f in node._factors]
    return ((window_sum, (node._window, *(p[0] for p in parts))), [x for p in parts for x in p[1]], node._shift,
            "window_sum({})".format(", ".join(p[3] for p in parts)))


LEAVES = [Leaf("u", 0), Leaf("v", 2)]


@st.composite
def trees(draw, depth=0):
    if depth > 6 or draw(st.integers(0, 3)) == 0:
        return LEAVES[draw(st.integers(0, 1))]
    kind = draw(st.sampled_from(["lag", "roll", "apply", "many"]))
    inner = draw(trees(depth + 1))
    if kind == "lag":
        return Lag(inner, draw(st.integers(0, 4)))
    if kind == "roll":
        return Roll(inner, draw(st.integers(1, 5)))
    if kind == "apply":
        return Apply(inner, *draw(st.lists(st.integers(0, 3), max_size=2)))
    return Many(draw(st.integers(1, 4)), inner, draw(trees(depth + 1)))


@settings(max_examples=150, deadline=None)
@given(trees())
def test_kinds_defined_outside_walk_like_the_reference(node):
    expr, deps, shift, text = reference(node)
    assert node.expr == expr
    assert node.dependencies == deps and all(a is b for a, b in zip(node.dependencies, deps))
    assert node.shift == shift
    assert repr(node) == text


def test_a_deep_chain_of_kinds_defined_outside():
    node = LEAVES[1]
    for i in range(20000):
        node = [Lag(node, 1), Roll(node, 2), Apply(node)][i % 3]
    assert node.shift == 2 + sum(1 for i in range(20000) if i % 3 != 2)
    heads, tails = [], []
    for i in range(20000):
        heads.append(["lagby(", "window_sum(", "log("][i % 3])
        tails.append([", 1)", ", 2)", ")"][i % 3])
    assert repr(node) == "".join(reversed(heads)) + "v" + "".join(tails)
    deps = node.dependencies
    assert len(deps) == 1 and deps[0] is LEAVES[1]
