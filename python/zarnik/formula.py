"""Formula strings: a safe parser from text to factor expression trees.

``parse("CORR(close, volume, 20) - MA(close, 5) / close")`` reads the text with
Python's ``ast`` module and builds the tree from a whitelist: lower-case
names are market-data fields (``Factor`` leaves), upper-case names are
operators, numbers are constants; only arithmetic, comparison, unary and
logical (``& | ~``) operators and calls of whitelisted operators are
accepted. Nothing is ever evaluated by Python itself.

Conventions of the formulaic-alpha literature:

* ``x ** y`` is a power. ``^`` is refused: in the literature it means a power,
  while on Python nodes it is logical xor, and computing one for the other
  silently is the worst outcome.
* A fractional window (``TS_RANK(x, 3.82)``) is floored to a whole number of
  dates; the written number stays visible in the node's key and repr
  (``floor(3.82)``).
* Besides the market fields, ``industry`` / ``industry_sws`` are industry
  codes (for ``INDNEUTRALIZE`` and the ``GROUP_*`` operators) and ``adv{d}``
  (``adv20``) is the d-date average traded value; see ``zarnik.fields()``.
"""

from __future__ import annotations

import ast
import math
import operator as _op
from collections.abc import Mapping
from typing import Any, Callable

import numpy as np

__all__ = ["parse", "FormulaError", "operator_names", "MAX_FORMULA_LENGTH", "MAX_DEPTH"]

MAX_FORMULA_LENGTH = 5000
MAX_DEPTH = 64
MAX_NODES = 2000
MAX_WINDOW = 100_000


class FormulaError(ValueError):
    """公式字符串无法解析或含有不允许的结构。"""


_BINOPS: dict[type, tuple[str, Callable[[Any, Any], Any]]] = {
    ast.Add: ("+", _op.add),
    ast.Sub: ("-", _op.sub),
    ast.Mult: ("*", _op.mul),
    ast.Div: ("/", _op.truediv),
    ast.FloorDiv: ("//", _op.floordiv),
    ast.Mod: ("%", _op.mod),
    ast.Pow: ("**", _op.pow),
    ast.BitAnd: ("&", _op.and_),
    ast.BitOr: ("|", _op.or_),
    ast.BitXor: ("^", _op.xor),
}

_CONSTRUCT_NAMES: dict[type, str] = {
    ast.Attribute: "attribute access",
    ast.Subscript: "subscript",
    ast.Lambda: "lambda",
    ast.ListComp: "list comprehension",
    ast.SetComp: "set comprehension",
    ast.DictComp: "dict comprehension",
    ast.GeneratorExp: "generator expression",
    ast.IfExp: "conditional expression (use IF(cond, a, b))",
    ast.BoolOp: "'and'/'or' (use & and |)",
    ast.NamedExpr: "assignment expression",
    ast.Await: "await",
    ast.Yield: "yield",
    ast.YieldFrom: "yield",
    ast.List: "list display",
    ast.Tuple: "tuple",
    ast.Set: "set display",
    ast.Dict: "dict display",
    ast.JoinedStr: "f-string",
    ast.Starred: "starred argument",
    ast.Slice: "slice",
    ast.MatMult: "matrix multiplication",
    ast.LShift: "shift operator",
    ast.RShift: "shift operator",
    ast.Not: "'not' (use ~)",
    ast.Is: "'is'",
    ast.IsNot: "'is not'",
    ast.In: "'in'",
    ast.NotIn: "'not in'",
}


def _rolling_operators() -> dict[str, int]:
    """Operator name -> number of factor inputs, for every operator of ``zarnik.rolling``."""
    from . import rolling

    return {op: info.inputs for info in rolling.KERNELS.values() for op in info.operators}


_ROLLING = _rolling_operators()

# Operators whose numeric arguments are windows or lags.
_WINDOWED = frozenset(_ROLLING) | {"DELAY", "REF", "DELTA", "ADV"}


# What each operator takes, position by position: "factor" (a field or an
# expression of one), "window" (a whole number of dates, >= 1), "lag" (a whole
# number of dates, >= 0) or "value" (a factor or a number). The parser checks
# calls against this before building anything, so a mistake is reported in
# words with its position instead of surfacing from a node constructor.
_SIGNATURES: dict[str, tuple[str, ...]] = {
    **{name: ("factor",) * inputs + ("window",) for name, inputs in _ROLLING.items()},
    **{name: ("factor", "lag") for name in ("DELAY", "REF", "DELTA")},
    **{name: ("factor",) for name in ("RANK", "ABS", "LOG", "SIGN")},
    "IF": ("value", "value", "value"),
    "MAX": ("value", "value"),
    "MIN": ("value", "value"),
}


def _parameter_names(fn: Callable[..., Any], count: int) -> list[str]:
    """The operator's own parameter names (for messages), or arg1, arg2, ..."""
    import inspect

    try:
        names = [p.name for p in inspect.signature(fn).parameters.values()]
    except (TypeError, ValueError):
        names = []
    if len(names) != count:
        names = ["arg{}".format(i + 1) for i in range(count)]
    return names


def _operator_table() -> dict[str, Callable[..., Any]]:
    from . import operators, rolling

    table: dict[str, Callable[..., Any]] = {}
    for name in getattr(rolling, "__all__", ()):
        table[name] = getattr(rolling, name)
    for name in operators.__all__:
        if name.isupper():
            table[name] = getattr(operators, name)
    return table


def operator_names() -> list[str]:
    """Upper-case operator names a formula may call."""
    return sorted(_operator_table())


def _where(node: ast.AST) -> str:
    col = getattr(node, "col_offset", None)
    return " at column {}".format(col + 1) if col is not None else ""


class _Builder:
    def __init__(self, fields: tuple[str, ...], names: Mapping[str, Any]) -> None:
        from .interface import AbstractFactor
        from .leaves import Factor

        self._Factor = Factor
        self._AbstractFactor = AbstractFactor
        self._fields = fields
        self._names = dict(names)
        self._ops = _operator_table()
        self._leaves: dict[str, Any] = {}
        self._count = 0
        self.uses_data = False
        self.text = ""

    def caret_at(self, node: ast.BinOp) -> str:
        """Where the '^' of ``node`` is, for the message."""
        line = self.text.splitlines()[node.left.end_lineno - 1] if self.text and node.left.end_lineno else ""
        col = line.find("^", node.left.end_col_offset or 0)
        return " at column {}".format(col + 1) if col >= 0 and node.left.end_lineno == 1 else _where(node)

    def refuse(self, node: ast.AST, what: str | None = None) -> FormulaError:
        what = what or _CONSTRUCT_NAMES.get(type(node), type(node).__name__)
        return FormulaError("formula: {} is not allowed{}".format(what, _where(node)))

    def build(self, node: ast.AST, depth: int = 0) -> Any:
        self._count += 1
        if depth > MAX_DEPTH:
            raise FormulaError("formula: nested more than {} levels deep".format(MAX_DEPTH))
        if self._count > MAX_NODES:
            raise FormulaError("formula: more than {} elements".format(MAX_NODES))
        if isinstance(node, ast.Expression):
            return self.build(node.body, depth + 1)
        if isinstance(node, ast.Constant):
            return self.constant(node)
        if isinstance(node, ast.Name):
            return self.name(node)
        if isinstance(node, ast.BinOp):
            if type(node.op) not in _BINOPS:
                raise self.refuse(node.op if hasattr(node.op, "col_offset") else node,
                                  _CONSTRUCT_NAMES.get(type(node.op), type(node.op).__name__))
            if isinstance(node.op, ast.BitXor):
                raise FormulaError(
                    "formula: '^' is not allowed{}: write ** for a power (x ** 2); '^' would mean logical "
                    "xor, which stays available on factor nodes in Python (f ^ g)".format(self.caret_at(node)))
            left = self.build(node.left, depth + 1)
            right = self.build(node.right, depth + 1)
            return self.binop(node, left, right)
        if isinstance(node, ast.UnaryOp):
            operand = self.build(node.operand, depth + 1)
            return self.unary(node, operand)
        if isinstance(node, ast.Compare):
            return self.compare(node, depth)
        if isinstance(node, ast.Call):
            return self.call(node, depth)
        raise self.refuse(node)

    # -- leaves -----------------------------------------------------------
    def constant(self, node: ast.Constant) -> Any:
        v = node.value
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            raise self.refuse(node, "the constant {!r}".format(v)[:80])
        if isinstance(v, int) and abs(v) > 10**15:
            raise self.refuse(node, "the oversized number {}".format(str(v)[:20]))
        if isinstance(v, float) and not math.isfinite(v):
            raise self.refuse(node, "a non-finite number")
        return v

    def name(self, node: ast.Name) -> Any:
        n = node.id
        if n.startswith("_"):
            raise self.refuse(node, "the name {!r} (names starting with '_')".format(n))
        if n in self._names:
            self.uses_data = True
            return self._names[n]
        if n in self._fields:
            self.uses_data = True
            leaf = self._leaves.get(n)
            if leaf is None:
                leaf = self._leaves[n] = self._Factor(n)
            return leaf
        from .leaves import GROUP_FIELDS, builtin_leaf

        leaf = builtin_leaf(n)
        if leaf is not None:
            self.uses_data = True
            return leaf
        if n in self._ops:
            raise self.refuse(node, "the operator {} without a call".format(n))
        groups = ", ".join(GROUP_FIELDS)
        hint = ""
        if n.lower() in ("sector", "subindustry", "indclass"):
            hint = " (industry levels are written as the group fields {})".format(groups)
        raise FormulaError(
            "formula: unknown name {!r}{}{}; fields: {}; group fields: {}; adv{{d}} such as adv20; "
            "operators are called like MA(close, 5)".format(n, _where(node), hint, ", ".join(self._fields), groups)
        )

    # -- operators --------------------------------------------------------
    def _is_factor(self, x: Any) -> bool:
        return isinstance(x, self._AbstractFactor)

    def binop(self, node: ast.BinOp, left: Any, right: Any) -> Any:
        sym, fn = _BINOPS[type(node.op)]
        if not self._is_factor(left) and not self._is_factor(right):
            return self.fold(node, sym, fn, left, right)
        if sym in ("&", "|", "^") and not self._is_factor(left):
            left, right = right, left  # logical operators are symmetric
        try:
            return fn(left, right)
        except Exception as e:
            raise FormulaError("formula: {}{}: {}".format(sym, _where(node), e)) from e

    def fold(self, node: ast.AST, sym: str, fn: Callable[[Any, Any], Any], a: Any, b: Any) -> Any:
        if sym in ("&", "|", "^"):
            raise self.refuse(node, "'{}' between two numbers".format(sym))
        try:
            out = fn(float(a), float(b))
        except (ArithmeticError, ValueError) as e:
            raise FormulaError("formula: {} {} {}{}: {}".format(a, sym, b, _where(node), e)) from e
        if not isinstance(out, float) or not math.isfinite(out):
            raise FormulaError("formula: {} {} {}{} is not a finite number".format(a, sym, b, _where(node)))
        if isinstance(a, int) and isinstance(b, int) and sym in ("+", "-", "*", "//", "%") and abs(out) < 2**53:
            return int(out)
        return out

    def unary(self, node: ast.UnaryOp, x: Any) -> Any:
        if isinstance(node.op, ast.USub):
            return -x
        if isinstance(node.op, ast.UAdd):
            return +x
        if isinstance(node.op, ast.Invert):
            if not self._is_factor(x):
                raise self.refuse(node, "'~' on a number")
            return ~x
        raise self.refuse(node, _CONSTRUCT_NAMES.get(type(node.op), type(node.op).__name__))

    def compare(self, node: ast.Compare, depth: int) -> Any:
        if len(node.ops) != 1:
            raise self.refuse(node, "a chained comparison (write (a < b) & (b < c))")
        op = node.ops[0]
        left = self.build(node.left, depth + 1)
        right = self.build(node.comparators[0], depth + 1)
        table = {
            ast.Lt: (_op.lt, _op.gt),
            ast.LtE: (_op.le, _op.ge),
            ast.Gt: (_op.gt, _op.lt),
            ast.GtE: (_op.ge, _op.le),
            ast.NotEq: (_op.ne, _op.ne),
        }
        if isinstance(op, ast.Eq):
            from .interface import BinaryCombinedFactor

            if not (self._is_factor(left) or self._is_factor(right)):
                raise self.refuse(node, "a comparison between two numbers")
            return BinaryCombinedFactor(np.equal, left, right)
        if type(op) not in table:
            raise self.refuse(node, _CONSTRUCT_NAMES.get(type(op), type(op).__name__))
        fwd, rev = table[type(op)]
        if self._is_factor(left):
            return fwd(left, right)
        if self._is_factor(right):
            return rev(right, left)
        raise self.refuse(node, "a comparison between two numbers")

    def check_kinds(self, node: ast.Call, fname: str, kinds: tuple[str, ...], params: list[str],
                    args: list[Any]) -> None:
        """Numbers where windows go, factors where factors go, in words."""
        for k, (kind, param, a, src) in enumerate(zip(kinds, params, args, node.args)):
            what = "argument {} ({}) of {}(){}".format(k + 1, param, fname, _where(src))
            shown = ast.unparse(src)
            if len(shown) > 60:
                shown = shown[:57] + "..."
            if kind in ("window", "lag") and self._is_factor(a):
                lowest = 1 if kind == "window" else 0
                raise FormulaError(
                    "formula: {} must be a whole number of dates ({} or more), got the factor {}".format(
                        what, lowest, shown))
            if kind == "factor" and not self._is_factor(a) and any(self._is_factor(b) for b in args):
                raise FormulaError(
                    "formula: {} must be a factor (a field such as close, or an expression of one), "
                    "got the number {}".format(what, shown))

    def call(self, node: ast.Call, depth: int) -> Any:
        if not isinstance(node.func, ast.Name):
            raise self.refuse(node.func if isinstance(node.func, ast.AST) else node,
                              "calling {}".format(_CONSTRUCT_NAMES.get(type(node.func), "an expression")))
        fname = node.func.id
        fn = self._ops.get(fname)
        if fn is None:
            if fname.startswith("_"):
                raise self.refuse(node.func, "the name {!r} (names starting with '_')".format(fname))
            raise FormulaError(
                "formula: {}() is not an allowed operator{}; allowed: {}".format(
                    fname, _where(node), ", ".join(sorted(self._ops))
                )
            )
        if node.keywords:
            raise self.refuse(node, "a keyword argument in {}()".format(fname))
        for a in node.args:
            if isinstance(a, ast.Starred):
                raise self.refuse(a)
        kinds = _SIGNATURES.get(fname)
        params = _parameter_names(fn, len(kinds)) if kinds is not None else []
        if kinds is not None and len(node.args) != len(kinds):
            raise FormulaError("formula: {}(){} takes {} argument{} ({}), got {}".format(
                fname, _where(node), len(kinds), "" if len(kinds) == 1 else "s", ", ".join(params),
                len(node.args)))
        args = [self.build(a, depth + 1) for a in node.args]
        if kinds is not None:
            self.check_kinds(node, fname, kinds, params, args)
        # before the windows: with no factor at all, which number is the window is moot
        if fname == "ADV":
            self.uses_data = True
        elif not any(self._is_factor(a) for a in args):
            raise FormulaError("formula: {}() needs at least one factor argument{}".format(fname, _where(node)))
        if fname in _WINDOWED:
            lowest = 0 if fname in ("DELAY", "REF", "DELTA") else 1
            for k, a in enumerate(args):
                if not isinstance(a, (int, float)):
                    continue
                if not lowest <= math.floor(a) <= MAX_WINDOW:
                    raise FormulaError("formula: {}(): the window {} is outside {}..{}{}".format(
                        fname, a, lowest, MAX_WINDOW, _where(node)))
                if isinstance(a, float) and not a.is_integer():
                    # a fractional number of dates is floored; the written value stays in the key and repr
                    from .operators import FlooredWindow

                    args[k] = FlooredWindow(a)
                else:
                    args[k] = int(a)
        try:
            return fn(*args)
        except Exception as e:
            detail = str(e) or type(e).__name__
            raise FormulaError("formula: {}(){}: {}".format(fname, _where(node), detail)) from e


def parse(
    formula: str,
    names: Mapping[str, Any] | None = None,
    fields: tuple[str, ...] | None = None,
) -> Any:
    """把公式字符串解析为因子表达式。

    Parameters
    ----------
    formula : str
        例如 ``"CORR(close, volume, 20) - MA(close, 5) / close"``。小写名字是
        行情字段（``zarnik.Factor``），大写名字是算子，数字是常量。
    names : dict, optional
        额外可用的名字 -> 因子（例如用户自定义叶子因子）。
    fields : tuple of str, optional
        可用的行情字段，默认 ``zarnik.leaves.FIELDS``。

    Returns
    -------
    zarnik.interface.AbstractFactor

    Raises
    ------
    FormulaError
        公式含有不允许的结构、未知名字，或过长过深。
    """
    if not isinstance(formula, str):
        raise TypeError("formula: expected a str, got {}".format(type(formula).__name__))
    if len(formula) > MAX_FORMULA_LENGTH:
        raise FormulaError("formula: {} characters, at most {} allowed".format(len(formula), MAX_FORMULA_LENGTH))
    if not formula.strip():
        raise FormulaError("formula: empty")
    if "\x00" in formula:
        raise FormulaError("formula: contains a NUL character")
    # Bracket depth is checked before the text reaches the Python parser.
    level = peak = 0
    for ch in formula:
        if ch in "([{":
            level += 1
            peak = max(peak, level)
        elif ch in ")]}":
            level -= 1
    if peak > MAX_DEPTH:
        raise FormulaError("formula: brackets nested more than {} levels deep".format(MAX_DEPTH))
    if names is not None:
        if not isinstance(names, Mapping):
            raise TypeError("names: expected a dict of name -> factor")
        from .interface import AbstractFactor

        for k, v in names.items():
            if not isinstance(k, str) or not k.isidentifier() or k.startswith("_"):
                raise ValueError("names: {!r} is not a plain identifier".format(k))
            if not isinstance(v, AbstractFactor):
                raise TypeError("names: {!r} must map to a factor, got {}".format(k, type(v).__name__))
    if fields is None:
        from .leaves import FIELDS

        fields = FIELDS
    try:
        tree = ast.parse(formula.strip(), mode="eval")
    except SyntaxError as e:
        raise FormulaError("formula: invalid syntax at column {}: {}".format(e.offset, e.msg)) from None
    except (RecursionError, MemoryError, ValueError) as e:
        raise FormulaError("formula: too complex to parse ({})".format(type(e).__name__)) from None
    builder = _Builder(tuple(fields), names or {})
    builder.text = formula.strip()
    try:
        out = builder.build(tree)
    except RecursionError:
        raise FormulaError("formula: nested too deeply") from None
    if not builder.uses_data or not isinstance(out, builder._AbstractFactor):
        raise FormulaError("formula: does not use any field (such as close or volume)")
    return out
