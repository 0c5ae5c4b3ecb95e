"""Fused element-wise evaluation.

The engine evaluates subtrees of element-wise operations in one pass of
``zarnik._core.fused_elementwise``. Its results must be those of evaluating
every node with its numpy ufunc: the same values bit for bit, NaN in the same
places (numpy itself does not define which NaN, by sign, an operation on two
NaNs returns). These tests compare fused evaluation with the engine's
node-by-node evaluation and with a plain recursive numpy evaluation, over
random formulas on data full of NaN, +-inf, +-0 and ties, and check the
kernel's operations one by one against numpy.
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

_iface = pytest.importorskip("zarnik.interface")
_core = pytest.importorskip("zarnik._core")
if not hasattr(_core, "fused_elementwise"):
    pytest.skip("fused element-wise evaluation is not in this build", allow_module_level=True)

import ostrel
import zarnik
from zarnik import engine as E
from zarnik import operators as O
from zarnik import rolling as R
from zarnik.interface import AbstractFactor, BinaryCombinedFactor, CombinedFactor, LeafFactor, UnaryCombinedFactor

CAL = pd.bdate_range("2022-01-03", periods=40)
IDS = ["S{:02d}".format(i) for i in range(9)]
FIELDS = ("close", "open", "volume")
START, END = CAL[10], CAL[-1]

# values that exercise IEEE corner cases: NaN, infinities, signed zeros, ties
SPECIAL = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -1.0, 2.0, 0.5, -2.5, 1e-310, 3.0, 3.0])


def _arrays(seed: int) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    shape = (len(CAL), len(IDS))
    out = {}
    for f in FIELDS:
        v = rng.choice(SPECIAL, size=shape)
        mix = rng.random(shape) < 0.4
        v[mix] = rng.normal(0, 2, shape)[mix]
        out[f] = v
    return out


class Market:
    def __init__(self, arrays: dict[str, np.ndarray], layout: str) -> None:
        conv = np.asfortranarray if layout == "F" else np.ascontiguousarray
        self.frames = {k: pd.DataFrame(conv(v), index=CAL, columns=IDS, copy=False) for k, v in arrays.items()}

    def trading_date_index(self, date):
        return int(CAL.get_loc(pd.Timestamp(date)))

    def get_trading_dates(self, start, end):
        s, e = pd.Timestamp(start), pd.Timestamp(end)
        return [d.date() for d in CAL[(CAL >= s) & (CAL <= e)]]

    def get_previous_trading_date(self, date, n=1):
        return CAL[CAL.searchsorted(pd.Timestamp(date)) - n].date()

    def get_panel(self, fields, order_book_ids, start_date, end_date, adjust_type="post"):
        s, e = pd.Timestamp(start_date), pd.Timestamp(end_date)
        return {f: self.frames[f].loc[s:e] for f in fields}


def _install(monkeypatch, market: Market) -> None:
    for name in ("get_trading_dates", "get_previous_trading_date", "get_panel", "trading_date_index"):
        monkeypatch.setattr(ostrel, name, getattr(market, name), raising=False)


def same_bits(x: np.ndarray, y: np.ndarray) -> bool:
    """Equal shapes, NaN in the same places, every other value the same bits (so -0.0 != 0.0)."""
    x, y = np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
    if x.shape != y.shape:
        return False
    nx, ny = np.isnan(x), np.isnan(y)
    return bool(np.array_equal(nx, ny) and np.array_equal(x[~nx].view(np.int64), y[~ny].view(np.int64)))


# user functions: values of other dtypes enter element-wise subtrees through them
def to_f4(x):
    return np.asarray(x).astype(np.float32)


def to_i4(x):
    a = np.asarray(x, dtype=np.float64)
    return np.where(np.isfinite(a), a, 7).astype(np.int32)


def to_bool(x):
    return np.asarray(x) > 0


def to_i8_big(x):  # integers beyond 2**53: converting them to float64 rounds
    return np.where(np.asarray(x) > 0, 2**62 + 1, -(2**60) - 3).astype(np.int64)


CONSTANTS = [0.0, -0.0, 1.0, -1.0, 2, 0, True, False, 0.5, np.nan, np.inf, -np.inf, np.float32(0.1), np.int64(3),
             2**60 + 1]

UNARY = {"neg": lambda a: -a, "abs": abs, "sign": O.SIGN, "not": lambda a: ~a,
         "sqrt": lambda a: UnaryCombinedFactor(np.sqrt, a),
         "f4": lambda a: CombinedFactor(to_f4, a), "i4": lambda a: CombinedFactor(to_i4, a),
         "bool": lambda a: CombinedFactor(to_bool, a), "big": lambda a: CombinedFactor(to_i8_big, a),
         "delay": lambda a: O.DELAY(a, 2), "log": O.LOG, "rank": O.RANK}
BINARY = {"add": lambda a, b: a + b, "sub": lambda a, b: a - b, "mul": lambda a, b: a * b,
          "div": lambda a, b: a / b, "max": O.MAX, "min": O.MIN, "lt": lambda a, b: a < b,
          "le": lambda a, b: a <= b, "gt": lambda a, b: a > b, "ge": lambda a, b: a >= b,
          "ne": lambda a, b: a != b, "eq": lambda a, b: BinaryCombinedFactor(np.equal, a, b),
          "and": lambda a, b: BinaryCombinedFactor(np.logical_and, a, b),
          "or": lambda a, b: BinaryCombinedFactor(np.logical_or, a, b),
          "xor": lambda a, b: BinaryCombinedFactor(np.logical_xor, a, b),
          "pow": lambda a, b: a ** b}


@st.composite
def formulas(draw):
    """A few factors sharing subtrees: a random DAG of element-wise and other nodes."""
    nodes: list = [zarnik.Factor(f) for f in FIELDS]

    def operand(allow_const: bool = True):
        if allow_const and draw(st.integers(0, 4)) == 0:
            return draw(st.sampled_from(CONSTANTS))
        # recent nodes more often: deeper chains
        k = draw(st.integers(0, len(nodes) - 1))
        return nodes[max(k, len(nodes) - 1 - draw(st.integers(0, 3)))]

    for _ in range(draw(st.integers(1, 14))):
        kind = draw(st.sampled_from(["u", "b", "b", "b", "if"]))
        if kind == "u":
            name = draw(st.sampled_from(sorted(UNARY)))
            node = UNARY[name](operand(False))
        elif kind == "b":
            name = draw(st.sampled_from(sorted(BINARY)))
            a, b = operand(), operand()
            if not isinstance(a, AbstractFactor) and not isinstance(b, AbstractFactor):
                a = nodes[-1]
            node = BINARY[name](a, b)
        else:
            node = O.IF(operand(False), operand(), operand())
        nodes.append(node)
    new = nodes[len(FIELDS):]
    # the last node and a few others as requested factors (a requested node is never fused away)
    picked = {len(new) - 1} | set(draw(st.lists(st.integers(0, len(new) - 1), max_size=2)))
    return {"f{}".format(i): new[i] for i in sorted(picked)}


def naive(key, data):
    """Recursive numpy evaluation of an expression key: every node its own numpy call."""
    if isinstance(key, tuple) and len(key) == 2 and callable(key[0]) and isinstance(key[1], tuple):
        func, raw = key
        args = [naive(a, data) for a in raw]
        if func is _iface.ShiftedFactor._shift:
            return args[0][args[1]:] if np.ndim(args[0]) == 2 else args[0]
        if func in (R.ma, R.std):  # the engine's column runner, its block grid on the calendar
            return R._apply_columns(func, args[1], np.ascontiguousarray(args[0]), last=int(CAL.get_loc(END)))
        return func(*args)
    if isinstance(key, LeafFactor):
        return data[key.name]
    return key


def _reference(factor, arrays):
    pos = CAL.get_loc(START)
    data = {k: v[pos - factor.shift:] for k, v in arrays.items()}
    with np.errstate(all="ignore"):
        out = naive(factor.expr, data)
    return np.broadcast_to(np.asarray(out, dtype=np.float64), (len(CAL) - pos, len(IDS)))


def _evaluate(factors, fuse: bool, monkeypatch):
    monkeypatch.setattr(E, "_FUSE", fuse)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)  # neither path lets a floating-point warning out
        return zarnik.execute_factors(factors, IDS, START, END, progress=False)


@pytest.mark.parametrize("layout", ["F", "C"])
@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                   HealthCheck.function_scoped_fixture])
@given(factors=formulas(), seed=st.integers(0, 3))
def test_fused_matches_node_by_node(monkeypatch, layout, factors, seed):
    arrays = _arrays(seed)
    _install(monkeypatch, Market(arrays, layout))
    try:
        plain = _evaluate(factors, False, monkeypatch)
    except E.FactorEvaluationError as e:  # a node numpy refuses (negating booleans): the same error
        with pytest.raises(E.FactorEvaluationError) as fused_error:
            _evaluate(factors, True, monkeypatch)
        assert str(fused_error.value) == str(e)
        return
    fused = _evaluate(factors, True, monkeypatch)
    for name, f in factors.items():
        assert same_bits(fused[name].to_numpy(), plain[name].to_numpy()), (name, repr(f))
        assert same_bits(fused[name].to_numpy(), _reference(f, arrays)), (name, repr(f))
    for k, v in arrays.items():  # the client's data is never written
        assert same_bits(v, Market(arrays, layout).frames[k].to_numpy())


class Spy:
    """Counts the kernel's calls."""

    def __init__(self, monkeypatch):
        self.calls = 0
        real = _core.fused_elementwise

        def spy(*args):
            self.calls += 1
            return real(*args)

        monkeypatch.setattr(_core, "fused_elementwise", spy)


@pytest.mark.parametrize("layout", ["F", "C"])
@pytest.mark.parametrize(
    "formula",
    [
        "IF(close > open, (close - open) / open, -1 * ABS(volume - close))",
        "SIGN(DELTA(volume, 1)) * (-1 * DELTA(close, 1))",
        "MAX(close, open) - MIN(close, open) + (close < open) * 2",
        "(close - MA(close, 5)) / (STDDEV(close, 5) + 0.001) * -1",
        "((close > 0) | (open < 0)) & (volume != 0)",
    ],
)
def test_fused_path_is_taken(monkeypatch, layout, formula):
    arrays = _arrays(5)
    _install(monkeypatch, Market(arrays, layout))
    factor = zarnik.parse(formula)
    spy = Spy(monkeypatch)
    fused = _evaluate({"f": factor}, True, monkeypatch)["f"].to_numpy()
    assert spy.calls >= 1
    plain = _evaluate({"f": factor}, False, monkeypatch)["f"].to_numpy()
    assert same_bits(fused, plain)
    assert same_bits(fused, _reference(factor, arrays))


def test_inexact_conversions_run_node_by_node(monkeypatch):
    """A float32 loop is left to numpy; integers beyond 2**53 are converted to float64 as numpy converts them."""
    arrays = _arrays(2)
    _install(monkeypatch, Market(arrays, "F"))
    close = zarnik.Factor("close")
    factors = {
        "f4": CombinedFactor(to_f4, close) * 0.1 + 1.0,  # a float32 loop: 0.1 rounds to float32
        "i8": CombinedFactor(to_i8_big, close) * 1.0 - 1.0,
    }
    spy = Spy(monkeypatch)
    fused = _evaluate(factors, True, monkeypatch)
    plain = _evaluate(factors, False, monkeypatch)
    for name, f in factors.items():
        assert same_bits(fused[name].to_numpy(), plain[name].to_numpy()), name
        assert same_bits(fused[name].to_numpy(), _reference(f, arrays)), name
    assert fused["f4"].to_numpy().dtype == np.float64
    # the float32 group cannot run fused; the int64 one converts its operand first
    assert spy.calls == 1


def all_bits(x: np.ndarray, y: np.ndarray) -> bool:
    """Every value the same bits, NaNs' signs and payloads included."""
    x, y = np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
    return x.shape == y.shape and bool(np.array_equal(x.view(np.int64), y.view(np.int64)))


@pytest.mark.parametrize("layout", ["F", "C"])
@pytest.mark.parametrize(
    "formula, bitwise",
    [
        ("close ** 0.5 * 1.0", True),  # NaNs only from the square root: their bits too
        ("ABS(close) ** 0.5 - 0.0", True),
        ("(close * open) ** 0.5 - volume", False),
        ("IF(close > 0, close ** 0.5, (open + 1) ** 0.5)", False),
        ("(close > open) ** 0.5 + volume", False),  # a boolean base
    ],
)
def test_half_power_runs_fused_as_sqrt(monkeypatch, layout, formula, bitwise):
    arrays = _arrays(3)
    _install(monkeypatch, Market(arrays, layout))
    factor = zarnik.parse(formula)
    spy = Spy(monkeypatch)
    fused = _evaluate({"f": factor}, True, monkeypatch)["f"].to_numpy()
    assert spy.calls == 1  # the whole formula in one pass
    plain = _evaluate({"f": factor}, False, monkeypatch)["f"].to_numpy()
    assert (all_bits if bitwise else same_bits)(fused, plain)
    assert same_bits(fused, _reference(factor, arrays))


@pytest.mark.parametrize("layout", ["F", "C"])
@pytest.mark.parametrize("exponent", [0.5000000000000001, 0.49999999999999994, 1.5, 2, -0.5])
def test_other_exponents_stay_with_numpy(monkeypatch, layout, exponent):
    arrays = _arrays(4)
    _install(monkeypatch, Market(arrays, layout))
    close, open_ = zarnik.Factor("close"), zarnik.Factor("open")
    factor = (close * open_) ** exponent - close
    spy = Spy(monkeypatch)
    fused = _evaluate({"f": factor}, True, monkeypatch)["f"].to_numpy()
    assert spy.calls == 0  # multiply and subtract are split by the numpy power
    plain = _evaluate({"f": factor}, False, monkeypatch)["f"].to_numpy()
    assert same_bits(fused, plain)
    assert same_bits(fused, _reference(factor, arrays))


def test_float32_half_exponent(monkeypatch):
    """np.float32(0.5) on float64 data is still sqrt; on float32 data the loop is float32 and stays with numpy."""
    arrays = _arrays(6)
    _install(monkeypatch, Market(arrays, "F"))
    close = zarnik.Factor("close")
    factors = {"f8": (close * 2.0) ** np.float32(0.5) - close,
               "f4": (CombinedFactor(to_f4, close) * np.float32(2)) ** np.float32(0.5) - np.float32(1)}
    spy = Spy(monkeypatch)
    fused = _evaluate(factors, True, monkeypatch)
    assert spy.calls == 1
    plain = _evaluate(factors, False, monkeypatch)
    for name, f in factors.items():
        assert same_bits(fused[name].to_numpy(), plain[name].to_numpy()), name
        assert same_bits(fused[name].to_numpy(), _reference(f, arrays)), name


def _nudged(index: int, how):
    def power(x, e):
        r = np.array(np.power(x, e))
        r[index] = how(r[index])
        return r

    return power


@pytest.mark.parametrize(
    "power",
    [
        _nudged(4, lambda v: -v),  # sqrt(0.0) with the sign of -0.0
        _nudged(5, lambda v: -v),  # sqrt(-0.0) as +0.0
        _nudged(7, lambda v: -v),  # NaN of the other sign for sqrt(-1)
        _nudged(8, lambda v: 0.0),  # a subnormal's root flushed to zero
        _nudged(100, lambda v: np.nextafter(v, np.inf)),  # one ulp off inside the random sample
        _nudged(60_000, lambda v: np.nextafter(v, -np.inf)),
        lambda x, e: np.power(x.astype(np.float32), np.float32(e)),
        lambda x, e: np.power(x, e)[:-1],
        lambda x, e: 1 / 0,
    ],
)
def test_guard_rejects_a_power_unlike_sqrt(power):
    assert E._half_power_is_sqrt() is True  # this numpy: the fused path is used
    assert E._half_power_is_sqrt(power) is False


def test_guard_failure_keeps_numpy_power(monkeypatch):
    arrays = _arrays(7)
    _install(monkeypatch, Market(arrays, "F"))
    monkeypatch.setattr(E, "_POWER_AS_SQRT", None)
    probes = []

    def failing_guard():
        probes.append(1)
        return False

    monkeypatch.setattr(E, "_half_power_is_sqrt", failing_guard)
    factor = zarnik.parse("(close * open) ** 0.5 - volume")
    spy = Spy(monkeypatch)
    fused = _evaluate({"f": factor, "g": factor * 2.0}, True, monkeypatch)
    fused = _evaluate({"f": factor, "g": factor * 2.0}, True, monkeypatch)
    assert probes == [1]  # checked once, at first use
    assert E._POWER_AS_SQRT is False
    assert spy.calls == 0  # power splits the subtree: nothing left to fuse
    plain = _evaluate({"f": factor}, False, monkeypatch)["f"].to_numpy()
    assert all_bits(fused["f"].to_numpy(), plain)


# ---------------------------------------------------------------------------
# the kernel itself
# ---------------------------------------------------------------------------
CODES = {np.add: 0, np.subtract: 1, np.multiply: 2, np.true_divide: 3, np.negative: 4, np.absolute: 5,
         np.sqrt: 6, np.less: 7, np.less_equal: 8, np.greater: 9, np.greater_equal: 10, np.equal: 11,
         np.not_equal: 12, np.maximum: 13, np.minimum: 14, np.sign: 15, np.logical_and: 16,
         np.logical_or: 17, np.logical_xor: 18, np.logical_not: 19}


def _special_panel(rng, shape):
    v = rng.choice(SPECIAL, size=shape)
    mix = rng.random(shape) < 0.3
    v[mix] = rng.normal(0, 1, shape)[mix]
    return v


def _lay(a: np.ndarray, how: str) -> np.ndarray:
    """``a`` in a layout: C, F, or a slice of a larger array whose lines are contiguous but spaced."""
    if how == "C":
        return np.ascontiguousarray(a)
    if how == "F":
        return np.asfortranarray(a)
    big = np.full((a.shape[0] + 3, a.shape[1] + 5), 99.0, dtype=a.dtype)
    big[3:, 5:] = a
    return big[3:, 5:]


@pytest.mark.parametrize("ufunc", list(CODES), ids=lambda u: u.__name__)
@pytest.mark.parametrize("how", ["C", "F", "spaced"])
@pytest.mark.parametrize("shape", [(1, 1), (7, 3), (300, 301), (3, 1000)])
@np.errstate(all="ignore")
def test_operation_matches_numpy(ufunc, how, shape):
    rng = np.random.default_rng(sum(shape))
    a = _lay(_special_panel(rng, shape), how)
    b = _lay(_special_panel(rng, shape), how)
    layout = "F" if how == "F" else "C"
    args = [a, b][: ufunc.nin]
    regs = list(range(ufunc.nin)) + [0] * (3 - ufunc.nin)
    want = ufunc(*args)
    out = np.empty(shape, dtype=want.dtype, order=layout)
    _core.fused_elementwise([(CODES[ufunc], 2, *regs)], args, 3, layout, out)
    assert same_bits(out, want)
    if ufunc.nin == 2:  # a scalar operand, a boolean panel operand
        for s in (0.0, -0.0, np.nan, np.inf, 1.0):
            want = ufunc(a, s)
            out = np.empty(shape, dtype=want.dtype, order=layout)
            _core.fused_elementwise([(CODES[ufunc], 2, 0, 1, 0)], [a, s], 3, layout, out)
            assert same_bits(out, want), s
        m = _lay(rng.random(shape) < 0.5, how)
        want = ufunc(m.astype(np.float64), a)
        out = np.empty(shape, dtype=want.dtype, order=layout)
        _core.fused_elementwise([(CODES[ufunc], 2, 0, 1, 0)], [m, a], 3, layout, out)
        assert same_bits(out, want)


@pytest.mark.parametrize("how", ["C", "F", "spaced"])
@np.errstate(all="ignore")
def test_select_matches_where(how):
    rng = np.random.default_rng(0)
    shape = (50, 70)
    c, a, b = (_lay(_special_panel(rng, shape), how) for _ in range(3))
    out = np.empty(shape, order="F" if how == "F" else "C")
    _core.fused_elementwise([(20, 3, 0, 1, 2)], [c, a, b], 4, "F" if how == "F" else "C", out)
    assert same_bits(out, O.where(c, a, b))
    mask = _lay(rng.random(shape) < 0.5, how)
    _core.fused_elementwise([(20, 3, 0, 1, 2)], [mask, a, -0.0], 4, "F" if how == "F" else "C", out)
    assert same_bits(out, O.where(mask, a, -0.0))


def test_long_program_and_register_reuse():
    """A program using every register several times; its result is computed in place into an input."""
    rng = np.random.default_rng(4)
    shape = (333, 257)
    x, y = _special_panel(rng, shape), _special_panel(rng, shape)
    with np.errstate(all="ignore"):
        t = x + y
        t = t * x
        u = np.maximum(t, y)
        t = np.sign(u) - t / y
        want = np.minimum(np.abs(t), u) + x
    code = [(0, 2, 0, 1, 0), (2, 2, 2, 0, 0), (13, 3, 2, 1, 0), (15, 4, 3, 0, 0), (3, 5, 2, 1, 0),
            (1, 2, 4, 5, 0), (5, 4, 2, 0, 0), (14, 5, 4, 3, 0), (0, 2, 5, 0, 0)]
    out = x  # the result overwrites x, which the program reads
    _core.fused_elementwise(code, [x, y], 6, "C", out)
    assert same_bits(out, want)


@np.errstate(all="ignore")
def test_results_do_not_depend_on_the_thread_count(monkeypatch):
    rng = np.random.default_rng(8)
    shape = (700, 650)
    x, y = _special_panel(rng, shape), _special_panel(rng, shape)
    code = [(3, 2, 0, 1, 0), (13, 3, 2, 0, 0), (7, 2, 3, 1, 0), (20, 3, 2, 3, 1)]
    outs = []
    for n in ("1", "2", "5"):
        monkeypatch.setenv("ZARNIK_NUM_THREADS", n)
        out = np.empty(shape)
        _core.fused_elementwise(code, [x, y], 4, "C", out)
        outs.append(out)
    with np.errstate(all="ignore"):
        q = x / y
        want = O.where(np.less(np.maximum(q, x), y), np.maximum(q, x), y)
    for out in outs:
        assert same_bits(out, want)
        assert np.array_equal(out.view(np.int64), outs[0].view(np.int64))


@pytest.mark.parametrize(
    "code, inputs, n_regs, layout, out, error",
    [
        ([(0, 2, 0, 1, 0)], [np.ones((3, 4)), 1.0], 3, "X", np.empty((3, 4)), ValueError),
        ([(99, 2, 0, 1, 0)], [np.ones((3, 4)), 1.0], 3, "C", np.empty((3, 4)), ValueError),
        ([(-1, 2, 0, 1, 0)], [np.ones((3, 4)), 1.0], 3, "C", np.empty((3, 4)), ValueError),
        ([(0, 2, 0, 3, 0)], [np.ones((3, 4)), 1.0], 4, "C", np.empty((3, 4)), ValueError),  # unset register
        ([(0, 1, 0, 1, 0)], [np.ones((3, 4)), 1.0], 3, "C", np.empty((3, 4)), ValueError),  # writes an input
        ([(0, 9, 0, 1, 0)], [np.ones((3, 4)), 1.0], 3, "C", np.empty((3, 4)), ValueError),
        ([], [np.ones((3, 4))], 2, "C", np.empty((3, 4)), ValueError),
        ([(0, 2, 0, 1)], [np.ones((3, 4)), 1.0], 3, "C", np.empty((3, 4)), ValueError),
        ([(0, 2, 0, 1, 0)], [np.ones((3, 5)), 1.0], 3, "C", np.empty((3, 4)), ValueError),  # shape
        ([(0, 2, 0, 1, 0)], [np.ones((3, 4), dtype=np.float32), 1.0], 3, "C", np.empty((3, 4)), TypeError),
        ([(0, 2, 0, 1, 0)], [np.ones((3, 4)), "x"], 3, "C", np.empty((3, 4)), Exception),
        ([(0, 2, 0, 1, 0)], [np.ones((3, 4)), 1.0], 3, "C", np.empty((3, 4), dtype=np.int64), TypeError),
        ([(0, 2, 0, 1, 0)], [np.ones((3, 4)), 1.0], 3, "C", np.empty((4, 3)).T, ValueError),  # not C lines
        ([(0, 2, 0, 1, 0)], [np.ones((4, 3)).T, 1.0], 3, "C", np.empty((3, 4)), ValueError),
        ([(0, 2, 0, 1, 0)], [np.ones((6, 8))[::2, ::2], 1.0], 3, "C", np.empty((3, 4)), ValueError),
        ([(0, 2, 0, 1, 0)], [np.ones((3, 4)), 1.0], 3, "C", np.empty(12), ValueError),
        ([(0, 2, 0, 1, 0)], [np.ones((3, 4)), 1.0], -1, "C", np.empty((3, 4)), ValueError),
        ([(0, 2, 0, 1, 0)], [np.ones((3, 4)), 1.0], 10**6, "C", np.empty((3, 4)), ValueError),
    ],
)
def test_bad_arguments_raise(code, inputs, n_regs, layout, out, error):
    with pytest.raises(error):
        _core.fused_elementwise(code, inputs, n_regs, layout, out)


def test_overlapping_or_read_only_output_raises():
    base = np.zeros((5, 6))
    with pytest.raises(ValueError, match="overlaps"):  # shifted by a row: overlapping, not the same
        _core.fused_elementwise([(0, 2, 0, 1, 0)], [base[1:], 1.0], 3, "C", base[:-1])
    ro = np.zeros((5, 6))
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        _core.fused_elementwise([(0, 2, 0, 1, 0)], [base, 1.0], 3, "C", ro)
    # a boolean result may not be written over a double input
    with pytest.raises(ValueError, match="overlaps"):
        _core.fused_elementwise([(7, 2, 0, 1, 0)], [base, 1.0], 3, "C", base.view(np.bool_)[:, :6])


def test_empty_panels():
    for shape in ((0, 4), (4, 0), (0, 0)):
        out = np.empty(shape)
        _core.fused_elementwise([(0, 2, 0, 1, 0)], [np.empty(shape), 1.0], 3, "C", out)
        assert out.shape == shape


# ---------------------------------------------------------------------------
# the vector loops: random register programs, each instruction set
# ---------------------------------------------------------------------------
TINY = np.nextafter(0.0, 1.0)
# IEEE corner cases, subnormals and values whose products / quotients overflow or underflow
EDGE = np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 3.0, -3.0, 4.0,
                 TINY, -TINY, 2.2250738585072009e-308, -1e-310, 2.2250738585072014e-308, 1e-300, -1e-300,
                 1e300, -1e300, np.finfo(np.float64).max, -np.finfo(np.float64).max, 1e-160])
OP_OF = {code: u for u, code in CODES.items()}
WHERE = 20
PATHS = ["native", "sse2"]  # native: AVX2 where the processor has it


def _numpy_op(op: int, a, b, c):
    """One instruction with numpy: booleans as 0.0 / 1.0, as the kernel holds them."""
    if op == WHERE:
        return np.where(np.isnan(a), a, np.where(a != 0, b, c))
    u = OP_OF[op]
    return np.asarray(u(a) if u.nin == 1 else u(a, b), dtype=np.float64)


@st.composite
def programs(draw):
    """A random register program over random panels, scalars and boolean panels."""
    lines = draw(st.integers(1, 4))
    length = draw(st.sampled_from([1, 2, 3, 4, 5, 7, 8, 9, 31, 255, 256, 257, 261, 515, 1030]))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    inputs = []
    for _ in range(draw(st.integers(1, 3))):
        v = rng.choice(EDGE, size=(lines, length))
        mix = rng.random(v.shape) < draw(st.sampled_from([0.0, 0.5, 0.9]))
        v[mix] = rng.normal(0, 3, v.shape)[mix]
        inputs.append(v)
    if draw(st.booleans()):
        inputs.append(rng.random((lines, length)) < 0.5)
    for _ in range(draw(st.integers(0, 2))):
        inputs.append(float(draw(st.sampled_from(list(EDGE)))))
    order = draw(st.permutations(range(len(inputs))))
    inputs = [inputs[k] for k in order]
    n_in = len(inputs)
    code, written, n_regs = [], list(range(n_in)), n_in
    for _ in range(draw(st.integers(1, 10))):
        op = draw(st.sampled_from(sorted(OP_OF) + [WHERE]))
        srcs = [draw(st.sampled_from(written)) for _ in range(3)]
        temps = [r for r in written if r >= n_in]
        if temps and draw(st.booleans()):  # overwrite a temporary, perhaps one this instruction reads
            dst = draw(st.sampled_from(temps))
        else:
            dst = n_regs
            n_regs += 1
            written.append(dst)
        code.append((op, dst, *srcs))
    return code, inputs, n_regs, draw(st.booleans()), draw(st.sampled_from(["C", "F"]))


def _run_reference(code, inputs, shape):
    regs = {}
    for r, x in enumerate(inputs):
        regs[r] = np.broadcast_to(np.asarray(x, dtype=np.float64), shape)
    with np.errstate(all="ignore"):
        for op, dst, a, b, c in code:
            regs[dst] = _numpy_op(op, regs[a], regs[b], regs[c])
    return regs[code[-1][1]]


@pytest.mark.parametrize("path", PATHS)
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                   HealthCheck.function_scoped_fixture])
@given(prog=programs())
def test_random_programs_match_numpy(monkeypatch, path, prog):
    if path == "sse2":
        monkeypatch.setenv("ZARNIK_NO_AVX2", "1")
    else:
        monkeypatch.delenv("ZARNIK_NO_AVX2", raising=False)
    code, inputs, n_regs, boolean, layout = prog
    lines, length = next(x.shape for x in inputs if isinstance(x, np.ndarray)) if any(
        isinstance(x, np.ndarray) for x in inputs) else (1, 1)
    if not any(isinstance(x, np.ndarray) for x in inputs):
        inputs = inputs + [np.zeros((lines, length))]
    # the kernel runs along lines: rows for C, columns for F (the panels transposed)
    shape = (lines, length) if layout == "C" else (length, lines)
    laid = [(x if layout == "C" else np.asfortranarray(x.T)) if isinstance(x, np.ndarray) else x for x in inputs]
    want = _run_reference(code, laid, shape)
    out = np.empty(shape, dtype=bool if boolean else np.float64, order=layout)
    _core.fused_elementwise(code, laid, n_regs, layout, out)
    if boolean:
        assert np.array_equal(out, want != 0)
    else:
        assert same_bits(out, want), code
        # written over the first double panel it reads: the same result
        first = next((k for k, x in enumerate(laid) if isinstance(x, np.ndarray) and x.dtype == np.float64), None)
        if first is not None:
            again = list(laid)
            again[first] = laid[first].copy(order=layout)
            _core.fused_elementwise(code, again, n_regs, layout, again[first])
            assert same_bits(again[first], want), code


def test_the_instruction_set_switch(monkeypatch):
    monkeypatch.setenv("ZARNIK_NO_AVX2", "1")
    assert _core._fused_elementwise_isa() in ("sse2", "scalar")
    monkeypatch.setenv("ZARNIK_NO_AVX2", "")
    native = _core._fused_elementwise_isa()
    assert native in ("avx2", "sse2", "scalar")
    monkeypatch.delenv("ZARNIK_NO_AVX2")
    assert _core._fused_elementwise_isa() == native


@pytest.mark.parametrize("op", sorted(OP_OF) + [WHERE])
@np.errstate(all="ignore")
def test_paths_agree_on_every_operand_pair(monkeypatch, op):
    """Every pair (and triple, for the select) of edge values, through both instruction sets and the scalar tail."""
    e = EDGE
    a, b = np.meshgrid(e, e, indexing="ij")
    a, b = a.ravel(), b.ravel()
    c = np.roll(b, 7)
    # lines of 4k + 3: each vector width and the scalar tail see every pair
    pad = (-len(a)) % 4 + 3
    a, b, c = (np.concatenate([x, x[:pad]]) for x in (a, b, c))
    want = _numpy_op(op, a, b, c)
    for env in ("", "1"):
        monkeypatch.setenv("ZARNIK_NO_AVX2", env)
        for shift in (0, 1, 2, 3):  # every pair in every lane
            x, y, z = (np.roll(v, shift)[None, :] for v in (a, b, c))
            out = np.empty(x.shape)
            _core.fused_elementwise([(op, 3, 0, 1, 2)], [x, y, z], 4, "C", out)
            assert same_bits(np.roll(out[0], -shift), want), (env, shift)
