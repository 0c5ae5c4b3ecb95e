"""An independent pandas formulation of the formulaic alphas, read from the paper's text.

The paper's expressions (``Alpha.paper``) are parsed here by a small parser of
their own grammar (``c ? a : b``, ``||``, ``&&``, ``^`` as power, ``IndClass.x``)
and evaluated with pandas on (dates x instruments) frames. It shares nothing
with zarnik's parser or engine, so it checks both the transcriptions into the
formula language and their evaluation.

Conventions that differ from a plain reading and are applied on purpose (each
is also tested on its own in test_alphas.py):

* windows: floor(d), as the paper says for fractional d;
* stddev / covariance: population moments (ddof = 0);
* ts_rank(x, d): (number of window values <= today's - 1) / d, in [0, (d - 1)/d],
  a missing value counting as larger than every number;
* ts_argmax / ts_argmin: 0-based position in the window (0 = oldest), first on ties;
* decay_linear weights d..1 (today first), normalised;
* IndClass.* levels: one first-level classification (the ``industry`` codes);
* min/max with a number as second argument: ts_min / ts_max.
"""

from __future__ import annotations

import math
import re

import numpy as np
import pandas as pd
from numpy.lib.stride_tricks import sliding_window_view

_TOKEN = re.compile(r"\s*(?:(\d+\.\d*|\.\d+|\d+)|([A-Za-z_][A-Za-z_0-9]*(?:\.[A-Za-z_]+)?)|(\|\||&&|==|<=|>=|[-+*/^()<>?:,]))")


def _tokens(text: str) -> list[tuple[str, str]]:
    out, pos = [], 0
    text = text.strip()
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if not m or m.end() == pos:
            raise SyntaxError("cannot read {!r}".format(text[pos:pos + 20]))
        num, name, op = m.groups()
        out.append(("num", num) if num else ("name", name) if name else ("op", op))
        pos = m.end()
    return out


class _Parser:
    """Recursive descent over: ternary < || < && < comparison < +- < */ < ^ < unary < primary."""

    def __init__(self, text: str) -> None:
        self.t = _tokens(text)
        self.i = 0

    def peek(self) -> tuple[str, str] | None:
        return self.t[self.i] if self.i < len(self.t) else None

    def take(self, op: str | None = None) -> tuple[str, str]:
        tok = self.peek()
        if tok is None or (op is not None and tok != ("op", op)):
            raise SyntaxError("expected {!r}, got {!r}".format(op, tok))
        self.i += 1
        return tok

    def parse(self):
        node = self.ternary()
        if self.peek() is not None:
            raise SyntaxError("trailing {!r}".format(self.peek()))
        return node

    def ternary(self):
        cond = self.binary(0)
        if self.peek() == ("op", "?"):
            self.take("?")
            a = self.ternary()
            self.take(":")
            b = self.ternary()
            return ("if", cond, a, b)
        return cond

    _LEVELS = (("||",), ("&&",), ("<", ">", "<=", ">=", "=="), ("+", "-"), ("*", "/"))

    def binary(self, level: int):
        if level == len(self._LEVELS):
            return self.power()
        node = self.binary(level + 1)
        while self.peek() is not None and self.peek()[0] == "op" and self.peek()[1] in self._LEVELS[level]:
            op = self.take()[1]
            node = (op, node, self.binary(level + 1))
        return node

    def power(self):
        node = self.unary()
        if self.peek() == ("op", "^"):
            self.take("^")
            node = ("^", node, self.power())
        return node

    def unary(self):
        if self.peek() == ("op", "-"):
            self.take("-")
            return ("neg", self.unary())
        return self.primary()

    def primary(self):
        kind, val = self.take()
        if kind == "num":
            return ("num", float(val))
        if kind == "op" and val == "(":
            node = self.ternary()
            self.take(")")
            return node
        if kind == "name":
            if self.peek() == ("op", "("):
                self.take("(")
                args = [self.ternary()]
                while self.peek() == ("op", ","):
                    self.take(",")
                    args.append(self.ternary())
                self.take(")")
                return ("call", val.lower(), args)
            return ("name", val)
        raise SyntaxError("unexpected {!r}".format(val))


def _window(d) -> int:
    return int(math.floor(d))


def _sliding(x: pd.DataFrame, d: int, fn) -> pd.DataFrame:
    v = x.to_numpy(dtype=float)
    out = np.full(v.shape, np.nan)
    if d <= len(v):
        out[d - 1:] = fn(sliding_window_view(v, d, axis=0))  # (rows - d + 1, cols, d), oldest first
    return pd.DataFrame(out, index=x.index, columns=x.columns)


def ts_rank(x: pd.DataFrame, d: int) -> pd.DataFrame:
    # a missing value counts as larger than every number, so windows holding one still rank
    def count(w):
        w = np.where(np.isnan(w), np.inf, w)
        return ((w <= w[..., -1:]).sum(axis=-1) - 1) / d

    return _sliding(x, d, count)


def ts_argmax(x: pd.DataFrame, d: int) -> pd.DataFrame:
    return _sliding(x, d, lambda w: np.argmax(w, axis=-1).astype(float))


def ts_argmin(x: pd.DataFrame, d: int) -> pd.DataFrame:
    return _sliding(x, d, lambda w: np.argmin(w, axis=-1).astype(float))


def decay_linear(x: pd.DataFrame, d: int) -> pd.DataFrame:
    total = sum((d - k) * x.shift(k) for k in range(d))
    return total / (d * (d + 1) / 2)


def product(x: pd.DataFrame, d: int) -> pd.DataFrame:
    return _sliding(x, d, lambda w: np.prod(w, axis=-1))


def rank(x: pd.DataFrame) -> pd.DataFrame:
    return x.astype(float).rank(axis=1, pct=True)


def scale(x: pd.DataFrame, a: float = 1.0) -> pd.DataFrame:
    return x.div(x.abs().sum(axis=1, min_count=1), axis=0) * a


def indneutralize(x: pd.DataFrame, groups: pd.DataFrame) -> pd.DataFrame:
    long = pd.DataFrame({"x": x.stack(future_stack=True), "g": groups.stack(future_stack=True)})
    long = long.dropna(subset=["g"])
    dates = long.index.get_level_values(0)
    means = long.groupby([dates, long["g"]])["x"].transform("mean")
    return (long["x"] - means).unstack().reindex(index=x.index, columns=x.columns)


class Reference:
    """Evaluates paper expressions over loaded frames (dates x instruments)."""

    def __init__(self, data: dict[str, pd.DataFrame]) -> None:
        self.data = data

    def leaf(self, name: str) -> pd.DataFrame:
        if name.startswith("IndClass."):
            return self.data["industry"]
        m = re.fullmatch(r"adv(\d+)", name)
        if m:
            key = name
            if key not in self.data:
                self.data[key] = self.data["total_turnover"].rolling(int(m.group(1))).mean()
            return self.data[key]
        return self.data[name]

    def run(self, text: str) -> pd.DataFrame:
        out = self.ev(_Parser(text).parse())
        if not isinstance(out, pd.DataFrame):
            raise ValueError("a constant expression")
        return out.astype(float)

    def ev(self, node):
        kind = node[0]
        if kind == "num":
            return node[1]
        if kind == "name":
            return self.leaf(node[1])
        if kind == "neg":
            return -self.ev(node[1])
        if kind == "if":
            cond, a, b = (self.ev(n) for n in node[1:])
            like = next(v for v in (cond, a, b) if isinstance(v, pd.DataFrame))
            full = lambda v: v if isinstance(v, pd.DataFrame) else pd.DataFrame(v, index=like.index, columns=like.columns)
            return full(a).where(full(cond).astype(bool), full(b))
        if kind == "call":
            return self.call(node[1], node[2])
        a, b = self.ev(node[1]), self.ev(node[2])
        if kind == "+":
            return a + b
        if kind == "-":
            return a - b
        if kind == "*":
            return a * b
        if kind == "/":
            return a / b
        if kind == "^":
            return a ** b
        if kind == "<":
            return a < b
        if kind == ">":
            return a > b
        if kind == "<=":
            return a <= b
        if kind == ">=":
            return a >= b
        if kind == "==":
            return a == b
        if kind == "||":
            return a.astype(bool) | b.astype(bool)
        if kind == "&&":
            return a.astype(bool) & b.astype(bool)
        raise ValueError(kind)

    def call(self, fn: str, args: list):
        v = [self.ev(a) for a in args]
        if fn == "rank":
            return rank(v[0])
        if fn == "abs":
            return v[0].abs()
        if fn == "log":
            return np.log(v[0])
        if fn == "sign":
            return np.sign(v[0])
        if fn == "delay":
            return v[0].shift(_window(v[1]))
        if fn == "delta":
            return v[0] - v[0].shift(_window(v[1]))
        if fn == "correlation":
            return v[0].astype(float).rolling(_window(v[2])).corr(v[1].astype(float))
        if fn == "covariance":
            return v[0].astype(float).rolling(_window(v[2])).cov(v[1].astype(float), ddof=0)
        if fn == "stddev":
            return v[0].rolling(_window(v[1])).std(ddof=0)
        if fn == "sum":
            return v[0].astype(float).rolling(_window(v[1])).sum()
        if fn == "product":
            return product(v[0], _window(v[1]))
        if fn == "ts_min":
            return v[0].rolling(_window(v[1])).min()
        if fn == "ts_max":
            return v[0].rolling(_window(v[1])).max()
        if fn in ("min", "max"):
            if not isinstance(v[1], pd.DataFrame):  # min(x, d): the time-series form
                roll = v[0].rolling(_window(v[1]))
                return roll.min() if fn == "min" else roll.max()
            return np.minimum(v[0], v[1]) if fn == "min" else np.maximum(v[0], v[1])
        if fn == "ts_rank":
            return ts_rank(v[0].astype(float), _window(v[1]))
        if fn == "ts_argmax":
            return ts_argmax(v[0], _window(v[1]))
        if fn == "ts_argmin":
            return ts_argmin(v[0], _window(v[1]))
        if fn == "decay_linear":
            return decay_linear(v[0].astype(float), _window(v[1]))
        if fn == "scale":
            return scale(v[0], v[1] if len(v) > 1 else 1.0)
        if fn == "signedpower":
            return np.sign(v[0]) * v[0].abs() ** v[1]
        if fn == "indneutralize":
            return indneutralize(v[0], v[1])
        raise ValueError("unknown function {}".format(fn))


def load_panel(ids, start, end) -> dict[str, pd.DataFrame]:
    """Fields for the reference, computed here from raw and adjusted bars (not from zarnik's leaves)."""
    import ostrel

    from zarnik.analysis import assayer

    post = ostrel.get_panel(["open", "high", "low", "close", "volume", "total_turnover"], ids, start, end,
                            adjust_type="post")
    raw = ostrel.get_panel(["close"], ids, start, end, adjust_type="none")
    sh = ostrel.get_panel(["shares"], ids, start, end)["shares"]
    data = {k: v.copy() for k, v in post.items()}
    factor = post["close"] / raw["close"]
    vol = post["volume"]
    data["vwap"] = (post["total_turnover"] / vol.where(vol > 0)) * factor
    data["returns"] = post["close"] / post["close"].shift(1) - 1
    data["cap"] = raw["close"] * sh
    data["turnover_rate"] = post["volume"] / sh
    # industry codes in force on each date (latest change on or before it; the first one before that)
    table = assayer.get_all_industry_category("citics_2019")
    codes = table.reindex(columns=ids).astype(float)
    codes.index = pd.DatetimeIndex(codes.index)
    idx = data["close"].index
    ind = codes.reindex(codes.index.union(idx)).ffill().bfill().reindex(idx)
    data["industry"] = ind.where(ind >= 0)
    return data
