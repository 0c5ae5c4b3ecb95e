"""Deep and long factor trees: no crash at any depth, walks against a recursive
reference, bounded node state, deep evaluation, and formula errors in words."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

_iface = pytest.importorskip("zarnik.interface")
_rolling = pytest.importorskip("zarnik.rolling")

import ostrel
import zarnik
from zarnik import rolling as R
from zarnik.engine import FactorEvaluationError, execute_factor
from zarnik.formula import FormulaError, parse
from zarnik.interface import (
    AbstractFactor,
    BinaryCombinedFactor,
    CombinedFactor,
    ConstantFactor,
    LeafFactor,
    ShiftedFactor,
    UnaryCombinedFactor,
)
from zarnik.operators import DELAY, LagFactor, lag


def _run(script: str, timeout: int = 300) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=timeout)


# ---------------------------------------------------------------------------
# Reproducers: deep trees of every node class, in a subprocess
# ---------------------------------------------------------------------------
DEEP_BUILDERS = {
    "MA": "g = R.MA(g, 1)",
    "TS_RANK": "g = R.TS_RANK(g, 2)",
    "DELAY": "g = DELAY(g, 1)",
    "ShiftedFactor": "g = ShiftedFactor(g, 1)",
    "CORR": "g = R.CORR(g, f, 2)",
    "TS_REGRESSION": "g = R.TS_REGRESSION(f, g, 2)",
    "unary": "g = -g",
    "binary": "g = g * 2",
    "CombinedFactor": "g = CombinedFactor(np.maximum, g, 1.0, f)",
    "mixed": "g = [R.MA(g, 1), DELAY(g, 1), -g, R.CORR(f, g, 1), g + f][i % 5]",
}


@pytest.mark.parametrize("kind", list(DEEP_BUILDERS))
def test_7000_nested_nodes_give_results_not_a_crash(kind):
    script = """
    import sys
    sys.setrecursionlimit(10_000)
    import numpy as np
    import zarnik
    from zarnik import rolling as R
    from zarnik.interface import CombinedFactor, ShiftedFactor
    from zarnik.operators import DELAY
    f = zarnik.Factor("close")
    g = f
    for i in range(7000):
        {build}
    s = g.shift
    e = g.expr
    depth, todo = 0, [(e, 1)]
    while todo:
        k, d = todo.pop()
        if isinstance(k, tuple):
            depth = max(depth, d)
            todo.extend((a, d + 1) for a in k[1])
    text = repr(g)
    deps = g.dependencies
    print(s, depth, len(text), len(deps), all(d is f for d in deps))
    """.format(build=DEEP_BUILDERS[kind])
    out = _run(script)
    assert out.returncode == 0, (out.returncode, out.stderr[-3000:])
    shift, depth, chars, ndeps, same = out.stdout.split()
    assert int(depth) >= 7000 and int(chars) > 7000 and int(ndeps) >= 1 and same == "True"
    want_shift = {"MA": 0, "TS_RANK": 7000, "DELAY": 7000, "ShiftedFactor": 7000, "CORR": 7000,
                  "TS_REGRESSION": 7000, "unary": 0, "binary": 0, "CombinedFactor": 0}
    if kind in want_shift:
        assert int(shift) == want_shift[kind]


def test_python_members_nested_through_nodes_stop_with_recursion_error():
    """A chain through members written in Python recurses; it must stop with a
    RecursionError that says how deep it got, on the main thread and on a small
    thread stack, and the interpreter must go on working afterwards."""
    script = """
    import sys, threading
    sys.setrecursionlimit(10**6)
    import zarnik
    from zarnik import rolling as R
    from zarnik.interface import AbstractFactor
    from zarnik.operators import DELAY

    class Wrap(AbstractFactor):
        def __init__(self, f):
            self._f = f
        expr = property(lambda self: self._f.expr)
        shift = property(lambda self: self._f.shift)
        dependencies = property(lambda self: self._f.dependencies)
        def __repr__(self):
            return repr(self._f)

    f = zarnik.Factor("close")
    g = f
    for i in range(60000):
        g = [R.MA, lambda x, w: DELAY(x, w), lambda x, w: R.CORR(x, f, w)][i % 3](Wrap(g), 1)
    def probe():
        for name in ("expr", "shift", "dependencies", "repr"):
            try:
                repr(g) if name == "repr" else getattr(g, name)
                print("walked")
            except RecursionError as e:
                print("stopped" if "levels of node members defined in Python" in str(e) else "other")
    probe()
    threading.stack_size(256 * 1024)
    t = threading.Thread(target=probe)
    t.start(); t.join()
    print((R.MA(f, 3) + 1).shift)
    """
    out = _run(script)
    assert out.returncode == 0, (out.returncode, out.stderr[-3000:])
    # CORR stores its look-back, so `shift` never descends more than a few levels
    assert out.stdout.split() == ["stopped", "walked", "stopped", "stopped"] * 2 + ["2"]


# ---------------------------------------------------------------------------
# Walks against a recursive reference formulation (small random trees)
# ---------------------------------------------------------------------------
class Leaf(LeafFactor):
    __hash__ = object.__hash__

    def __init__(self, name: str, lookback: int = 0):
        self.label = name
        self.lookback = lookback

    @property
    def shift(self):
        return self.lookback

    def __repr__(self):
        return self.label


LEAVES = [Leaf("u"), Leaf("v", 3), Leaf("w", 1)]
BINARY = [(np.add, "add"), (np.subtract, "subtract"), (np.true_divide, "true_divide"), (np.less, "less"),
          (np.logical_and, "logical_and")]


class Ref:
    """What a node should report, computed recursively from how it was built."""

    def __init__(self, node, shift, expr, deps, text):
        self.node, self.shift, self.expr, self.deps, self.text = node, shift, expr, deps, text


def _leaf(i):
    leaf = LEAVES[i]
    return Ref(leaf, leaf.lookback, leaf, [leaf], repr(leaf))


def _aligned(ref, target):
    """The stored operand of a node of look-back ``target``, and its key and text."""
    if ref.shift < target:
        d = target - ref.shift
        return (ShiftedFactor._shift, (ref.expr, d)), "shift({}, {})".format(ref.text, d)
    return ref.expr, ref.text


def _binary(k, a, b, number, side):
    func, name = BINARY[k]
    if side == 0:  # both nodes
        s = max(a.shift, b.shift)
        (ea, _), (eb, _) = _aligned(a, s), _aligned(b, s)
        node = BinaryCombinedFactor(func, a.node, b.node)
        return Ref(node, s, (func, (ea, eb)), a.deps + b.deps, "{}({}, {})".format(name, a.text, b.text))
    if side == 1:  # node, number
        node = BinaryCombinedFactor(func, a.node, number)
        return Ref(node, a.shift, (func, (a.expr, float(number))), list(a.deps),
                   "{}({}, {!r})".format(name, a.text, number))
    node = BinaryCombinedFactor(func, number, a.node)
    return Ref(node, a.shift, (func, (float(number), a.expr)), list(a.deps),
               "{}({!r}, {})".format(name, number, a.text))


def _unary(a, extra):
    node = UnaryCombinedFactor(np.log, a.node, *extra)
    return Ref(node, a.shift, (np.log, (a.expr, *extra)), a.deps, "log({})".format(a.text))


def _rolling(a, w, which):
    kern, build = [(R.ma, R.MA), (R.ts_rank, R.TS_RANK), (R.std, R.STD)][which]
    node = build(a.node, w)
    return Ref(node, a.shift + w - 1, (kern, (a.expr, w)), a.deps, "{}({}, {})".format(kern.__name__, a.text, w))


def _pair(a, b, w, regression):
    s = max(a.shift, b.shift)
    (ea, ta), (eb, tb) = _aligned(a, s), _aligned(b, s)
    if regression:  # TS_REGRESSION(Y, X) stores X first
        node = R.TS_REGRESSION(b.node, a.node, w)
        return Ref(node, s + w - 1, (R.regression, (w, ea, eb)), a.deps + b.deps,
                   "regression({}, {})".format(ta, tb))
    node = R.CORR(a.node, b.node, w)
    return Ref(node, s + w - 1, (R.correlation, (w, ea, eb)), a.deps + b.deps,
               "correlation({}, {})".format(ta, tb))


def _offset(a, n, delay):
    if delay:
        return Ref(DELAY(a.node, n), a.shift + n, (lag, (a.expr, n)), a.deps, "delay({}, {})".format(a.text, n))
    return Ref(ShiftedFactor(a.node, n), a.shift + n, (ShiftedFactor._shift, (a.expr, n)), a.deps,
               "shift({}, {})".format(a.text, n))


def _combined(a, b, number):
    node = CombinedFactor(np.maximum, a.node, number, b.node)
    s = max(a.shift, b.shift)
    (ea, ta), (eb, tb) = _aligned(a, s), _aligned(b, s)
    const_text = object.__repr__(node._args[1])  # a constant shows the default object text
    return Ref(node, s, (np.maximum, (ea, float(number), eb)), a.deps + b.deps,
               "maximum({}, {}, {})".format(ta, const_text, tb))


numbers = st.one_of(st.integers(-5, 5), st.sampled_from([0.5, 2.5, -1.25]))
windows = st.integers(1, 4)


def trees(max_leaves=12):
    leaf = st.integers(0, len(LEAVES) - 1).map(_leaf)

    def extend(children):
        return st.one_of(
            st.builds(_binary, st.integers(0, len(BINARY) - 1), children, children, numbers, st.integers(0, 2)),
            st.builds(_unary, children, st.sampled_from([(), (2,), ("x", 1)])),
            st.builds(_rolling, children, windows, st.integers(0, 2)),
            st.builds(_pair, children, children, windows, st.booleans()),
            st.builds(_offset, children, st.integers(0, 3), st.booleans()),
            st.builds(_combined, children, children, numbers),
        )

    return st.recursive(leaf, extend, max_leaves=max_leaves)


@settings(max_examples=300, deadline=None)
@given(trees())
def test_walks_equal_a_recursive_reference(ref):
    node = ref.node
    assert node.shift == ref.shift
    assert node.expr == ref.expr
    deps = node.dependencies
    assert len(deps) == len(ref.deps) and all(a is b for a, b in zip(deps, ref.deps))
    assert repr(node) == ref.text
    if isinstance(node, BinaryCombinedFactor):
        assert node._repr == ref.text
    # each read of dependencies is a list of its own
    deps.append("sentinel")
    assert "sentinel" not in node.dependencies


def test_overrides_are_seen_inside_walks():
    f = Leaf("f")

    class Text(BinaryCombinedFactor):
        @property
        def _repr(self):
            return "T"

    class Key(R.RollingWindowFactor):
        expr = property(lambda self: "k")
        dependencies = property(lambda self: self._cached)

    t = Text(np.add, f, 1)
    assert repr(R.MA(t, 2)) == "ma(T, 2)" and repr(t + 1) == "add(T, 1)"
    k = Key(R.ma, 3, f)
    k._cached = ["cached"]
    assert (-(k + 1)).expr == (np.negative, ((np.add, ("k", 1.0)),))
    # a single-operand node passes its operand's list on as it is; a binary node copies
    assert R.MA(k, 2).dependencies is k._cached
    both = k + k
    assert both.dependencies == ["cached", "cached"] and k._cached == ["cached"]


def test_long_chains_keep_no_text_in_their_nodes():
    """A node holds its operands, not its text: the stored state stays small at any length."""
    f = Leaf("f")
    g = f
    nodes = []
    for _ in range(3000):
        g = (g + 1) * 2.5
        nodes.append(g)
    longest = max((len(v) for n in nodes for v in vars(n).values() if isinstance(v, str)), default=0)
    assert longest < 20
    stored = [v for n in nodes for v in vars(n)["_repr_args"] if isinstance(v, str)]
    assert set(stored) <= {"add", "multiply", "1", "2.5"}
    want = "f"
    for _ in range(3000):
        want = "multiply(add({}, 1), 2.5)".format(want)
    assert repr(g) == want


def test_binary_text_is_fixed_at_construction_for_non_node_operands():
    f = Leaf("f")
    arr = np.array([1.0, 2.0])
    b = f + arr
    arr[0] = 99.0
    assert repr(b) == "add(f, array([1., 2.]))"

    class NoName:
        def __call__(self, *a):
            return a[0]

    with pytest.raises(AttributeError):
        BinaryCombinedFactor(NoName(), f, 1)


# ---------------------------------------------------------------------------
# Deep trees evaluate
# ---------------------------------------------------------------------------
CAL = pd.bdate_range("2019-01-01", periods=140)
IDS = ["000001.XSHE", "600000.XSHG", "300750.XSHE"]
CLOSE = pd.DataFrame(np.random.default_rng(3).lognormal(2, 0.1, (len(CAL), len(IDS))), index=CAL, columns=IDS)


@pytest.fixture
def market(monkeypatch):
    def get_trading_dates(start, end):
        s, e = pd.Timestamp(start), pd.Timestamp(end)
        return [d.date() for d in CAL[(CAL >= s) & (CAL <= e)]]

    def get_previous_trading_date(date, n=1):
        pos = CAL.searchsorted(pd.Timestamp(date)) - n
        if pos < 0:
            raise ValueError("no trading date {} dates before {}".format(n, date))
        return CAL[pos].date()

    def get_panel(fields, order_book_ids, start_date, end_date, adjust_type="post"):
        return {f: CLOSE.loc[pd.Timestamp(start_date):pd.Timestamp(end_date), list(order_book_ids)] for f in fields}

    for name, fn in (("get_trading_dates", get_trading_dates),
                     ("get_previous_trading_date", get_previous_trading_date), ("get_panel", get_panel)):
        monkeypatch.setattr(ostrel, name, fn, raising=False)


def test_trees_thousands_of_levels_deep_evaluate(market):
    f = zarnik.Factor("close")
    g = f
    for i in range(6000):  # alternate node classes; the values stay close + 1 per binary level
        g = [lambda x: x + 1.0, lambda x: R.MA(x, 1), lambda x: DELAY(x, 0), lambda x: ShiftedFactor(x, 0)][i % 4](g)
    got = execute_factor(g, IDS, CAL[100], CAL[-1], progress=False)
    want = CLOSE.loc[CAL[100]:].to_numpy() + 1500
    np.testing.assert_allclose(got.to_numpy(), want, rtol=1e-12)


def test_too_long_look_back_message_quotes_a_deep_tree_briefly(market):
    g = zarnik.Factor("close")
    for _ in range(5000):
        g = DELAY(g, 1) + 1
    with pytest.raises(FactorEvaluationError, match="needs a look-back of 5000 trading dates") as err:
        execute_factor(g, IDS, CAL[-5], CAL[-1], progress=False)
    message = str(err.value)
    assert len(message) < 600 and "characters)" in message
    assert err.value.node == repr(g)


# ---------------------------------------------------------------------------
# Formula errors in words; node constructors keep their assertions
# ---------------------------------------------------------------------------
BAD_FORMULAS = [
    ("CORR(5, close, volume)", r"argument 1 \(a\) of CORR\(\) at column 6 must be a factor .*got the number 5"),
    ("MA(close, close)", r"argument 2 \(window\) of MA\(\) at column 11 must be a whole number of dates "
                         r"\(1 or more\), got the factor close"),
    ("MA(close)", r"MA\(\) at column 1 takes 2 arguments \(factor, window\), got 1"),
    ("MA(close, 5, 6)", r"MA\(\) at column 1 takes 2 arguments \(factor, window\), got 3"),
    ("CORR(close, volume)", r"CORR\(\) at column 1 takes 3 arguments \(a, b, window\), got 2"),
    ("TS_ARGMAX(close, volume)", r"argument 2 \(n\) of TS_ARGMAX\(\)"),
    ("DELAY(close, volume)", r"argument 2 \(n\) of DELAY\(\) at column 14 must be a whole number of dates "
                             r"\(0 or more\), got the factor volume"),
    ("RANK(close, 2)", r"RANK\(\) at column 1 takes 1 argument \(factor\), got 2"),
    ("close + TS_REGRESSION(close, 3, 5)", r"argument 2 \(X\) of TS_REGRESSION\(\) at column 30 must be a factor"),
    ("CORR(close, volume, MA(close, 5) + 1)", r"argument 3 \(window\) of CORR\(\) at column 21 .* got the factor "
                                              r"MA\(close, 5\) \+ 1"),
    ("IF(close > 1)", r"IF\(\) at column 1 takes 3 arguments"),
    ("LOG(2)", r"LOG\(\) needs at least one factor argument"),
    ("MAX(1, 2)", r"MAX\(\) needs at least one factor argument"),
    ("MA(close, 0)", r"the window 0 is outside 1..100000"),
    ("MA(close, 0.5)", r"the window 0.5 is outside 1..100000"),  # fractional windows are floored
]


@pytest.mark.parametrize("text, pattern", BAD_FORMULAS, ids=[b[0] for b in BAD_FORMULAS])
def test_bad_calls_are_explained_with_their_position(text, pattern):
    with pytest.raises(FormulaError, match=pattern) as err:
        parse(text)
    assert "AssertionError" not in str(err.value)


@pytest.mark.parametrize("text", ["IF(close > 1, 1, 0)", "MAX(close, 1)", "MIN(2, close)", "DELTA(close, 0)",
                                  "TS_REGRESSION(close, volume, 5)", "ABS(close - 1)",
                                  "EVERY(close > 0, 2.5)"])
def test_good_calls_still_parse(text):
    assert isinstance(parse(text), AbstractFactor)


def _direct_calls():
    f = Leaf("f")
    return [
        ("MA(5, 5)", lambda: R.MA(5, 5), AssertionError, ""),
        ("CORR(5, f, f)", lambda: R.CORR(5, f, 3), AssertionError, ""),
        ("CombinedRollingWindowFactor()", lambda: R.CombinedRollingWindowFactor(R.correlation, 3), ValueError, None),
        ("EVERY(1, 2)", lambda: R.EVERY(1, 2), AssertionError, ""),
        ("UnaryCombinedFactor(log, 5)", lambda: UnaryCombinedFactor(np.log, 5), AssertionError, "factor expected"),
        ("BinaryCombinedFactor(add, 1, 2)", lambda: BinaryCombinedFactor(np.add, 1, 2), AssertionError, ""),
        ("CombinedFactor(add, 1)", lambda: CombinedFactor(np.add, 1), AssertionError, ""),
        ("ShiftedFactor(5, 1)", lambda: ShiftedFactor(5, 1), AssertionError, ""),
        ("ConstantFactor('abc')", lambda: ConstantFactor("abc"), ValueError, "invalid constant value abc"),
        ("f + 'abc'", lambda: f + "abc", ValueError, "invalid constant value abc"),
    ]


@pytest.mark.parametrize("case", range(len(_direct_calls())), ids=[c[0] for c in _direct_calls()])
def test_constructors_keep_their_checks_when_called_directly(case):
    _, call, exc, message = _direct_calls()[case]
    with pytest.raises(exc) as err:
        call()
    assert type(err.value) is exc
    if message is not None:
        assert str(err.value) == message
