"""Formula strings: the tree built, and hostile input refused before anything runs."""

from __future__ import annotations

import numpy as np
import pytest


_iface = pytest.importorskip("zarnik.interface")
_rolling = pytest.importorskip("zarnik.rolling")
if not hasattr(_iface, "LeafFactor") or not hasattr(_rolling, "_apply_columns"):
    pytest.skip("expression nodes or rolling operators are not in this build", allow_module_level=True)

import zarnik
from zarnik import rolling as R
from zarnik.formula import MAX_FORMULA_LENGTH, FormulaError, operator_names, parse
from zarnik.interface import AbstractFactor, UserDefinedLeafFactor


def close():
    return zarnik.Factor("close")


@pytest.mark.parametrize(
    "text, build",
    [
        ("CORR(close, volume, 20) - MA(close, 5) / close",
         lambda c, v: R.CORR(c, v, 20) - R.MA(c, 5) / c),
        ("-close", lambda c, v: -c),
        ("1 - close", lambda c, v: 1 - c),
        ("2 ** close", lambda c, v: 2**c),
        ("close // 3 % 2", lambda c, v: c // 3 % 2),
        ("(close > 1) & ~(volume <= 2) | (close != volume) & (close >= 0)",
         lambda c, v: (c > 1) & ~(v <= 2) | (c != v) & (c >= 0)),
        ("1 < close", lambda c, v: c > 1),
        ("TS_RANK(close, 2 * 5)", lambda c, v: R.TS_RANK(c, 10)),
        ("MA(close, 20.0)", lambda c, v: R.MA(c, 20)),
        ("abs_ = 1" if False else "ABS(close - 0.5e1)", lambda c, v: abs(c - 5.0)),
        ("TS_REGRESSION(close, volume, 7)", lambda c, v: R.TS_REGRESSION(c, v, 7)),
    ],
)
def test_same_key_as_the_written_tree(text, build):
    c, v = zarnik.Factor("close"), zarnik.Factor("volume")
    got = parse(text)
    want = build(c, v)
    assert isinstance(got, AbstractFactor)
    assert got.expr == want.expr  # Factor leaves compare by field name
    assert got.shift == want.shift
    assert repr(got) == repr(want)


def test_equality_and_names():
    f = parse("close == MA(close, 3)")
    assert f.expr[0] is np.equal
    u = UserDefinedLeafFactor("u", lambda *a: None)
    g = parse("MA(u, 4) / close", names={"u": u})
    assert g.dependencies[0] is u and g.shift == 3
    assert {"MA", "CORR", "DELAY", "RANK", "IF", "TS_ARGMAX"} <= set(operator_names())


HOSTILE = [
    ("__import__('os').system('echo hi')", "attribute access|names starting with '_'"),
    ("close.__class__", "attribute access"),
    ("().__class__.__bases__[0].__subclasses__()", "attribute access|tuple"),
    ("close[0]", "subscript"),
    ("(lambda: 1)()", "lambda"),
    ("[c for c in close]", "list comprehension"),
    ("{c: 1 for c in close}", "dict comprehension"),
    ("(c for c in close)", "generator expression"),
    ("open('/etc/passwd')", "not an allowed operator"),
    ("eval('1')", "not an allowed operator"),
    ("MA(close, window=5)", "keyword argument"),
    ("MA(*[close, 5])", "starred|list display"),
    ("MA(close, 5).expr", "attribute access"),
    ("__builtins__", "names starting with '_'"),
    ("_private", "names starting with '_'"),
    ("close if close else volume", "conditional expression"),
    ("close and volume", "'and'/'or'"),
    ("not close", "'not'"),
    ("0 < close < 1", "chained comparison"),
    ("close is volume", "'is'"),
    ("close in volume", "'in'"),
    ("close @ volume", "matrix multiplication"),
    ("close << 2", "shift operator"),
    ("f'{close}'", "f-string"),
    ("'close'", "the constant"),
    ("None", "the constant"),
    ("True + close", "the constant"),
    ("1j * close", "the constant"),
    ("(x := close)", "assignment expression"),
    ("close; import os", "invalid syntax"),
    ("import os", "invalid syntax"),
    ("MA", "without a call"),
    ("foo + close", "unknown name 'foo'"),
    ("INDNEUTRALIZE(close, sector)", r"unknown name 'sector' .*written as the group fields industry, industry_sws"),
    ("MA(5, 5)", "needs at least one factor"),
    ("MA(-1, 5)", "MA\\(\\) needs at least one factor"),  # no factor: not a window complaint
    ("COV(1, -1, 2)", "COV\\(\\) needs at least one factor"),
    ("MA(close)", r"MA\(\)"),
    ("MA(close, 10 ** 9)", "outside 1..100000"),
    ("MA(close, 0)", "outside 1..100000"),
    ("DELAY(close, -1)", "outside 0..100000"),
    ("STD(close, 0.5)", "outside 1..100000"),
    ("close ^ 2", r"'\^' is not allowed at column 7: write \*\* for a power"),
    ("10 ** 400 * close", "finite|out of range"),
    ("(-8) ** 0.5 * close", "finite"),
    ("1 + 2", "does not use any field"),
    ("", "empty"),
    ("close\x00", "NUL"),
    ("(" * 200 + "close" + ")" * 200, "nested"),
    ("-" * 300 + "close", "nested|too complex"),
    ("+".join(["close"] * 700), "elements|nested|too complex|characters"),
    ("close + " * (MAX_FORMULA_LENGTH // 8 + 1) + "close", "characters"),
]


@pytest.mark.parametrize("text, pattern", HOSTILE, ids=[h[0][:30] for h in HOSTILE])
def test_hostile_strings_are_refused(text, pattern):
    with pytest.raises(FormulaError, match=pattern):
        parse(text)


@pytest.mark.parametrize("bad", [None, 3, b"close", ["close"]])
def test_non_string_formula(bad):
    with pytest.raises(TypeError):
        parse(bad)


def test_names_must_be_factors():
    with pytest.raises(TypeError):
        parse("u + 1", names={"u": 3})
    with pytest.raises(ValueError):
        parse("close", names={"__x": zarnik.Factor("close")})
