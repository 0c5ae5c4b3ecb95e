"""Property tests of factor trees against a reference model, and fuzzing."""

from __future__ import annotations

import operator
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from zarnik.interface import (
    AbstractFactor,
    BinaryCombinedFactor,
    CombinedFactor,
    ConstantFactor,
    LeafFactor,
    ShiftedFactor,
    UnaryCombinedFactor,
    UserDefinedLeafFactor,
)


class Source(LeafFactor):
    """A leaf that itself consumes `lookback` rows (as a pre-rolled input would)."""

    def __init__(self, name: str, lookback: int) -> None:
        self.name, self.lookback = name, lookback

    def __hash__(self) -> int:
        return hash(self.name)

    def __repr__(self) -> str:
        return self.name

    @property
    def shift(self) -> int:
        return self.lookback


LEAVES = [Source("a", 0), Source("b", 2), Source("c", 5), UserDefinedLeafFactor("u", len)]
SHIFT_FN = ShiftedFactor._shift

BINARY = [
    (operator.add, "add", False),
    (operator.sub, "subtract", False),
    (operator.mul, "multiply", False),
    (operator.truediv, "true_divide", False),
    (operator.pow, "power", False),
    (operator.lt, "less", False),
    (operator.ne, "not_equal", False),
    (operator.and_, "logical_and", False),
    (operator.xor, "logical_xor", False),
]
REFLECTED = {"add": "add", "subtract": "subtract", "multiply": "multiply", "true_divide": "true_divide",
             "power": "power", "less": "greater", "not_equal": "not_equal"}

# A tree description is a nested tuple:
#   ("leaf", i) | ("neg", t) | ("unary", t, extra) | ("shift", t, n)
#   ("bin", k, t1, t2) | ("binc", k, t, c, const_left) | ("comb", [t or ("const", c)...])
constants = st.sampled_from([0, 1, 2.5, -3])
trees = st.recursive(
    st.builds(lambda i: ("leaf", i), st.integers(0, len(LEAVES) - 1)),
    lambda sub: st.one_of(
        st.builds(lambda t: ("neg", t), sub),
        st.builds(lambda t, e: ("unary", t, e), sub, st.integers(0, 9)),
        st.builds(lambda t, n: ("shift", t, n), sub, st.integers(0, 4)),
        st.builds(lambda k, a, b: ("bin", k, a, b), st.integers(0, len(BINARY) - 1), sub, sub),
        st.builds(lambda k, t, c, left: ("binc", k, t, c, left), st.integers(0, len(BINARY) - 1), sub, constants,
                  st.booleans()),
        st.builds(lambda items: ("comb", items),
                  st.lists(st.one_of(sub, st.builds(lambda c: ("const", c), constants)), min_size=1, max_size=4)
                  .filter(lambda items: any(i[0] != "const" for i in items))),
    ),
    max_leaves=12,
)


def build(t):
    kind = t[0]
    if kind == "leaf":
        return LEAVES[t[1]]
    if kind == "neg":
        return -build(t[1])
    if kind == "unary":
        return UnaryCombinedFactor(np.round, build(t[1]), t[2])
    if kind == "shift":
        return ShiftedFactor(build(t[1]), t[2])
    if kind == "bin":
        return BINARY[t[1]][0](build(t[2]), build(t[3]))
    if kind == "binc":
        op, _, _ = BINARY[t[1]]
        node = build(t[2])
        if not t[4]:
            return op(node, t[3])
        if op in (operator.and_, operator.xor):  # no reflected logical operators
            return op(node, t[3])
        return op(t[3], node)
    if kind == "comb":
        return CombinedFactor(np.nanmax, *[c[1] if c[0] == "const" else build(c) for c in t[1]])
    raise AssertionError(kind)


def reference(t):
    """(look-back, leaves in order, key) computed from the description alone."""
    kind = t[0]
    if kind == "leaf":
        leaf = LEAVES[t[1]]
        return leaf.lookback if isinstance(leaf, Source) else 0, [leaf], leaf
    if kind == "const":
        return None, [], float(t[1])
    if kind == "neg":
        s, deps, key = reference(t[1])
        return s, deps, (np.negative, (key,))
    if kind == "unary":
        s, deps, key = reference(t[1])
        return s, deps, (np.round, (key, t[2]))
    if kind == "shift":
        s, deps, key = reference(t[1])
        return s + t[2], deps, (SHIFT_FN, (key, t[2]))
    if kind in ("bin", "binc", "comb"):
        if kind == "bin":
            parts, name = [reference(t[2]), reference(t[3])], BINARY[t[1]][1]
        elif kind == "binc":
            op, name, _ = BINARY[t[1]]
            node, const = reference(t[2]), reference(("const", t[3]))
            reflect = t[4] and op not in (operator.and_, operator.xor)
            if reflect:
                name = REFLECTED[name]
                parts = [const, node] if name not in ("add", "multiply", "greater", "not_equal") else [node, const]
            else:
                parts = [node, const]
        else:
            parts, name = [reference(c) for c in t[1]], "nanmax"
        longest = max(p[0] for p in parts if p[0] is not None)
        keys = []
        for s, _, key in parts:
            keys.append(key if s is None or s == longest else (SHIFT_FN, (key, longest - s)))
        func = {"true_divide": np.true_divide, "nanmax": np.nanmax}.get(name) or getattr(np, name)
        return longest, [d for p in parts for d in p[1]], (func, tuple(keys))
    raise AssertionError(kind)


def function_nodes(node):
    """Every node below (and including) `node`, walking the stored operands."""
    yield node
    if isinstance(node, (UnaryCombinedFactor, ShiftedFactor)):
        yield from function_nodes(node._factor)
    elif isinstance(node, BinaryCombinedFactor):
        yield from function_nodes(node._arg1)
        yield from function_nodes(node._arg2)
    elif isinstance(node, CombinedFactor):
        for arg in node._args:
            yield from function_nodes(arg)


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees)
def test_random_trees_match_the_reference(tree):
    node = build(tree)
    shift, deps, key = reference(tree)
    assert node.shift == shift
    deps_now = node.dependencies
    assert len(deps_now) == len(deps) and all(x is y for x, y in zip(deps_now, deps))
    assert node.dependencies is not deps_now  # a new list on every access
    assert node.expr == key
    # Every factor operand of a function node evaluates to the node's rows
    # (constants made from plain values broadcast and are left alone).
    for sub in function_nodes(node):
        if isinstance(sub, (BinaryCombinedFactor, CombinedFactor)):
            operands = [sub._arg1, sub._arg2] if isinstance(sub, BinaryCombinedFactor) else sub._args
            factors = [a for a in operands if not isinstance(a, ConstantFactor)]
            assert factors and all(a.shift == sub.shift for a in factors)
        elif isinstance(sub, ShiftedFactor):
            assert sub.shift == sub._factor.shift + sub._n


# ---------------------------------------------------------------- fuzzing


class FloatRaises:
    def __float__(self):
        raise RuntimeError("no float")


class ReprRaises:
    def __repr__(self):
        raise RuntimeError("no repr")


class ClassRaises:
    @property
    def __class__(self):
        raise RuntimeError("no class")


class EqualsRaise:
    def __eq__(self, other):
        raise RuntimeError("no eq")

    __hash__ = object.__hash__

    def __gt__(self, other):
        raise RuntimeError("no gt")

    __lt__ = __gt__


class ShiftRaises(AbstractFactor):
    @property
    def shift(self):
        raise RuntimeError("no shift")


class ShiftIsWeird(AbstractFactor):
    shift = EqualsRaise()
    expr = "weird"
    dependencies = None


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**2000), max_value=2**2000),
    st.floats(allow_nan=True, allow_infinity=True),
    st.complex_numbers(),
    st.text(max_size=8),
    st.binary(max_size=8),
    st.integers(0, 18).map(lambda i: WEIRD[i]),
)
WEIRD = [FloatRaises(), ReprRaises(), ClassRaises(), EqualsRaise(), object(), len, np.add, type,
                     ShiftRaises(), ShiftIsWeird(), pd.DataFrame(), pd.Series(dtype=object), pd.NaT,
                     np.datetime64("2024-01-01"), np.float32(1.5), "1e400", "nan", " 3 ", slice(1)]
arrays = hnp.arrays(
    dtype=st.one_of(hnp.scalar_dtypes(), st.just(np.dtype(object))),
    shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=3),
)
anything = st.recursive(st.one_of(scalars, arrays), lambda sub: st.one_of(st.tuples(sub, sub), st.lists(sub, max_size=3)),
                        max_leaves=4)
nodes = st.sampled_from(LEAVES + [ConstantFactor(1), ShiftedFactor(LEAVES[0], 2), -LEAVES[1]])
maybe_node = st.one_of(anything, nodes)

ALL_BINARY = [operator.add, operator.sub, operator.mul, operator.truediv, operator.floordiv, operator.mod,
              operator.pow, operator.lt, operator.le, operator.gt, operator.ge, operator.ne, operator.and_,
              operator.or_, operator.xor]


def touch(node):
    """Reads everything a node offers; only ordinary exceptions may come out."""
    for name in ("expr", "dependencies", "shift"):
        try:
            getattr(node, name)
        except Exception:
            pass
    try:
        repr(node)
    except Exception:
        pass


def attempt(make):
    try:
        node = make()
    except Exception:
        return
    touch(node)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(x=maybe_node, y=maybe_node, z=maybe_node, node=nodes, op=st.sampled_from(ALL_BINARY))
def test_fuzz_constructors_and_operators(x, y, z, node, op):
    attempt(lambda: ConstantFactor(x))
    attempt(lambda: UnaryCombinedFactor(x, y, z))
    attempt(lambda: ShiftedFactor(x, y))
    attempt(lambda: ShiftedFactor(node, x))
    attempt(lambda: ShiftedFactor._shift(x, y))
    attempt(lambda: BinaryCombinedFactor(x, y, z))
    attempt(lambda: BinaryCombinedFactor(np.add, node, x))
    attempt(lambda: BinaryCombinedFactor(x, z, node))
    attempt(lambda: CombinedFactor(x, y, z, node))
    attempt(lambda: CombinedFactor(np.add, x, y))
    attempt(lambda: op(node, x))
    attempt(lambda: op(x, node))
    attempt(lambda: UserDefinedLeafFactor(x, y))
    for unary in (operator.neg, operator.pos, operator.invert, abs):
        attempt(lambda: unary(node))


FUZZ_SCRIPT = r"""
import operator, numpy as np, pandas as pd
from zarnik.interface import *

class FloatRaises:
    def __float__(self): raise RuntimeError
class ReprRaises:
    def __repr__(self): raise RuntimeError
objs = [None, 1, 2**4000, -1.5, float("nan"), "x", "2", b"1", (1, 2), [1], {}, np.zeros((2, 0, 3)),
        np.array("s"), np.array([None]), pd.DataFrame(), FloatRaises(), ReprRaises(), object(), len]
leaf = UserDefinedLeafFactor("u", len)
count = 0
for x in objs + [leaf]:
    for y in objs + [leaf]:
        for make in (lambda: ConstantFactor(x), lambda: UnaryCombinedFactor(np.log, x, y),
                     lambda: ShiftedFactor(x, y), lambda: BinaryCombinedFactor(np.add, x, y),
                     lambda: CombinedFactor(np.add, x, y), lambda: x + y, lambda: x < y):
            try:
                n = make()
                for name in ("expr", "dependencies", "shift"):
                    try:
                        getattr(n, name)
                    except Exception:
                        pass
                repr(n)
            except Exception:
                pass
            count += 1
print(count)
"""


def test_fuzz_without_assertions_in_a_subprocess():
    """Under -O the constructors skip their checks; non-nodes must still fail cleanly."""
    out = subprocess.run([sys.executable, "-O", "-c", FUZZ_SCRIPT], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert int(out.stdout) == 20 * 20 * 7


def test_deep_trees_are_walked_or_stop_with_recursion_error():
    """Built-in nodes walk iteratively at any depth (also on small thread stacks);
    a chain through Python overrides recurses and stops with RecursionError."""
    script = r"""
import sys, threading
from zarnik.interface import *
sys.setrecursionlimit(10**6)
u = UserDefinedLeafFactor("u", len)
t = u
for _ in range(200000):
    t = -t
def depth(key):
    n = 0
    while isinstance(key, tuple):
        key = key[1][0]
        n += 1
    return n, key is u
print(depth(t.expr), t.dependencies == [u], t.shift)
class Wrap(AbstractFactor):
    def __init__(self, f):
        self._f = f
    expr = property(lambda self: self._f.expr)
    dependencies = property(lambda self: self._f.dependencies)
    shift = property(lambda self: self._f.shift)
    def __repr__(self):
        return repr(self._f)
w = u
for _ in range(100000):
    w = -Wrap(w)
for name in ("expr", "dependencies", "shift"):
    try:
        getattr(w, name)
    except RecursionError:
        print("stopped")
try:
    repr(w)
except RecursionError:
    print("stopped")
def worker():
    print(depth(t.expr), len(repr(t)))
    try:
        w.expr
    except RecursionError:
        print("stopped")
for size in (64 * 1024, 1 << 20):
    threading.stack_size(size)
    th = threading.Thread(target=worker)
    th.start(); th.join()
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr[-2000:]
    text_len = len("negative(") * 200000 + len("UFactor(u)") + 200000
    walked = "(200000, True) True 0".split()
    threaded = ["(200000,", "True)", str(text_len), "stopped"]
    assert out.stdout.split() == walked + ["stopped"] * 4 + threaded * 2
