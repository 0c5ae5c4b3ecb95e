"""Evaluation engine: buffer reuse, shared subtrees and leaf layouts.

The engine writes element-wise results into buffers of values that have no
further consumer and uses leaves read only by rolling kernels in the client's
layout. These tests compare it with a naive evaluation that recomputes every
subtree from fresh copies, over random graphs with shared subtrees.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

_iface = pytest.importorskip("zarnik.interface")
_rolling = pytest.importorskip("zarnik.rolling")
if not hasattr(_iface, "LeafFactor") or not hasattr(_rolling, "_apply_columns"):
    pytest.skip("expression nodes or rolling operators are not in this build", allow_module_level=True)

import ostrel
import zarnik
from zarnik import engine as E
from zarnik import operators as O
from zarnik import rolling as R
from zarnik.interface import CombinedFactor, LeafFactor

CAL = pd.bdate_range("2021-01-04", periods=100)
IDS = ["A{:02d}".format(i) for i in range(7)]
FIELDS = ("close", "open", "volume")


def _arrays(seed: int = 3) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    shape = (len(CAL), len(IDS))
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, shape), axis=0))
    close[rng.random(shape) < 0.03] = np.nan
    return {
        "close": close,
        "open": close * np.exp(rng.normal(0, 0.01, shape)),
        "volume": rng.lognormal(8, 0.5, shape),
    }


ARRAYS = _arrays()


def _frames(layout: str) -> dict[str, pd.DataFrame]:
    """The same data in the memory layouts a client may hand out."""
    out = {}
    for k, v in ARRAYS.items():
        if layout == "C":
            df = pd.DataFrame(np.ascontiguousarray(v), index=CAL, columns=IDS, copy=False)
        elif layout == "F":
            df = pd.DataFrame(np.asfortranarray(v), index=CAL, columns=IDS, copy=False)
        elif layout == "strided":  # every other row and column of a larger array
            big = np.full((2 * v.shape[0], 2 * v.shape[1]), -1.0)
            big[::2, ::2] = v
            df = pd.DataFrame(big[::2, ::2], index=CAL, columns=IDS, copy=False)
        else:  # mixed column dtypes: the client's frame has no single block
            df = pd.DataFrame(v, index=CAL, columns=IDS)
            df[IDS[0]] = df[IDS[0]].astype(np.float32).astype(np.float64)
            df[IDS[1]] = np.arange(len(CAL), dtype=np.int64)
        out[k] = df
    return out


class WritableFrame:
    """A client frame whose values come back as a writable array (pandas without copy-on-write)."""

    def __init__(self, values: np.ndarray, index: pd.Index) -> None:
        self.values, self.index, self.columns = values, index, pd.Index(IDS)

    def to_numpy(self, dtype=None) -> np.ndarray:
        return self.values


class Market:
    def __init__(self, layout: str = "F") -> None:
        self.layout = layout
        self.frames = _frames("F" if layout in ("fresh", "writable") else layout)
        self.snapshot = {k: v.to_numpy().copy() for k, v in self.frames.items()}
        self.handed: list[tuple[pd.DataFrame, np.ndarray]] = []

    def trading_date_index(self, date):
        return int(CAL.get_loc(pd.Timestamp(date)))

    def get_trading_dates(self, start, end):
        s, e = pd.Timestamp(start), pd.Timestamp(end)
        return [d.date() for d in CAL[(CAL >= s) & (CAL <= e)]]

    def get_previous_trading_date(self, date, n=1):
        pos = CAL.searchsorted(pd.Timestamp(date)) - n
        if pos < 0:
            raise ValueError("before the calendar")
        return CAL[pos].date()

    def get_panel(self, fields, order_book_ids, start_date, end_date, adjust_type="post"):
        s, e = pd.Timestamp(start_date), pd.Timestamp(end_date)
        if self.layout in ("fresh", "writable"):  # a new column-major frame for every request
            out = {}
            for f in fields:
                part = self.frames[f].loc[s:e]
                values = np.asfortranarray(part.to_numpy())
                if self.layout == "fresh":
                    out[f] = pd.DataFrame(values, index=part.index, columns=IDS, copy=False)
                else:
                    out[f] = WritableFrame(values, part.index)
                self.handed.append((out[f], values.copy()))
            return out
        return {f: self.frames[f].loc[s:e] for f in fields}

    def unchanged(self) -> bool:
        """Neither the market's frames nor any frame it handed out were written to."""
        return all(np.array_equal(v.to_numpy(), self.snapshot[k], equal_nan=True) for k, v in self.frames.items()) and all(
            np.array_equal(frame.to_numpy(), at_hand_out, equal_nan=True) for frame, at_hand_out in self.handed
        )


def _install(monkeypatch, market: Market) -> None:
    for name in ("get_trading_dates", "get_previous_trading_date", "get_panel", "trading_date_index"):
        monkeypatch.setattr(ostrel, name, getattr(market, name), raising=False)


START, END = CAL[60], CAL[-1]  # deep enough for any drawn graph's look-back


# ---------------------------------------------------------------------------
# naive reference: every subtree recomputed from fresh copies, no sharing
# ---------------------------------------------------------------------------
def naive(key, data):
    if isinstance(key, tuple) and len(key) == 2 and callable(key[0]) and isinstance(key[1], tuple):
        func, raw = key
        args = [naive(a, data) for a in raw]
        if func is _iface.ShiftedFactor._shift:
            return args[0][args[1]:].copy() if np.ndim(args[0]) == 2 else args[0]
        # the block grid on the calendar's scale, as the engine lays it (every array ends at END)
        last = int(CAL.get_loc(END))
        if func in (R.ma, R.std, R.ts_max, R.ts_rank):
            return R._apply_columns(func, args[1], np.ascontiguousarray(args[0], dtype=float), last=last)
        if func in (R.correlation,):
            return R._apply_columns(func, args[0], *(np.ascontiguousarray(a, dtype=float) for a in args[1:]),
                                    last=last)
        return np.array(func(*args), copy=True)
    if isinstance(key, LeafFactor):
        return data[key.name].copy()
    return key


def _reference(factor, arrays):
    shift = factor.shift
    pos = CAL.get_loc(START)
    data = {k: v[pos - shift:] for k, v in arrays.items()}
    with np.errstate(all="ignore"):
        out = naive(factor.expr, data)
    return np.broadcast_to(np.asarray(out, dtype=float), (len(CAL) - pos, len(IDS)))


# user functions of the graphs: ones that hand back their argument or a view of it,
# and one that keeps every argument it saw
KEPT: list[tuple[np.ndarray, np.ndarray]] = []


def same(x):
    return x


def view_of(x):
    return x[:, ::-1][:, ::-1]


def keeper(x):
    KEPT.append((x, np.array(x, copy=True)))
    return x * 1.0


OPS = ["add", "sub", "mul", "div", "self", "const", "rconst", "neg", "abs", "gt", "if", "ma", "std", "tsmax",
       "tsrank", "corr", "delay", "delta", "rank", "same", "view", "keep", "pow", "zscore", "scale", "bucket",
       "gdemean", "grank", "gzscore"]


@st.composite
def graphs(draw):
    nodes = [zarnik.Factor(f) for f in FIELDS]
    pick = lambda: nodes[draw(st.integers(0, len(nodes) - 1))]  # noqa: E731
    for _ in range(draw(st.integers(1, 9))):
        op = draw(st.sampled_from(OPS))
        a = pick()
        n = draw(st.integers(1, 4))
        if op in ("add", "sub", "mul", "div"):
            b = pick()
            node = {"add": a + b, "sub": a - b, "mul": a * b, "div": a / b}[op]
        elif op == "self":  # both arguments the same node
            node = a * a
        elif op == "const":
            node = a * 0.5 + 1.0
        elif op == "rconst":
            node = 2.0 - a
        elif op == "neg":
            node = -a
        elif op == "abs":
            node = abs(a)
        elif op == "pow":
            node = a ** 2
        elif op == "gt":  # a boolean intermediate
            node = (a > pick()) * 3.0
        elif op == "if":
            node = O.IF(a > pick(), pick(), -a)
        elif op == "ma":
            node = R.MA(a, n + 1)
        elif op == "std":
            node = R.STD(a, n + 1)
        elif op == "tsmax":
            node = R.TS_MAX(a, n)
        elif op == "tsrank":
            node = R.TS_RANK(a, n + 1)
        elif op == "corr":
            node = R.CORR(a, pick(), n + 2)
        elif op == "delay":
            node = O.DELAY(a, n)
        elif op == "delta":  # a lagged and an unlagged view of one value
            node = O.DELTA(a, n)
        elif op == "rank":
            node = O.RANK(a)
        elif op == "zscore":
            node = O.CS_ZSCORE(a)
        elif op == "scale":
            node = O.SCALE(a, n)
        elif op == "bucket":
            node = O.QUANTILE_BUCKET(a, n + 1)
        elif op in ("gdemean", "grank", "gzscore"):  # groups: a value's bucket by another value
            groups = O.QUANTILE_BUCKET(pick(), 3)
            node = {"gdemean": O.GROUP_DEMEAN, "grank": O.GROUP_RANK, "gzscore": O.GROUP_ZSCORE}[op](a, groups)
        elif op == "same":
            node = CombinedFactor(same, a)
        elif op == "view":
            node = CombinedFactor(view_of, a)
        else:
            node = CombinedFactor(keeper, a)
        nodes.append(node)
    roots = draw(st.lists(st.integers(0, len(nodes) - 1), min_size=1, max_size=4))
    return [nodes[i] for i in roots]


@pytest.mark.parametrize("layout", ["F", "fresh", "writable", "C", "strided", "mixed"])
@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(roots=graphs())
def test_random_graphs_with_shared_subtrees_match_naive_evaluation(monkeypatch, layout, roots):
    market = Market(layout)
    _install(monkeypatch, market)
    KEPT.clear()
    factors = {"r{}".format(i): f for i, f in enumerate(roots)}
    got = E.execute_factors(factors, IDS, START, END, progress=False)
    data = {k: market.frames[k].to_numpy(dtype=np.float64) for k in FIELDS}
    for name, f in factors.items():
        want = _reference(f, data)
        np.testing.assert_allclose(got[name].to_numpy(), want, rtol=1e-12, atol=1e-12, equal_nan=True,
                                   err_msg="{}: {!r}".format(name, f))
    # nothing the engine wrote reached the client's data, the user function's
    # kept arguments, or another result
    assert market.unchanged()
    for kept, at_call in KEPT:
        np.testing.assert_array_equal(kept, at_call)
    arrays = [got[n].to_numpy() for n in factors]
    for i in range(len(arrays)):
        for j in range(i + 1, len(arrays)):
            assert not np.shares_memory(arrays[i], arrays[j])


def test_each_formula_alone_equals_the_shared_evaluation(monkeypatch):
    market = Market("F")
    _install(monkeypatch, market)
    c, v = zarnik.Factor("close"), zarnik.Factor("volume")
    r = c / O.DELAY(c, 1) - 1
    factors = {
        "rev": -(c / O.DELAY(c, 5) - 1),
        "vol": R.STD(r, 10),
        "z": (r - R.MA(r, 10)) / R.STD(r, 10),
        "mix": R.CORR(c, v, 6) * r + r * r,
        "r": r,
    }
    together = E.execute_factors(factors, IDS, START, END, progress=False)
    for name, f in factors.items():
        alone = E.execute_factor(f, IDS, START, END, progress=False)
        # rolling sums started at another loaded date may differ in the last bits
        np.testing.assert_allclose(together[name].to_numpy(), alone.to_numpy(), rtol=1e-10, atol=1e-15,
                                   equal_nan=True, err_msg=name)
    assert market.unchanged()


@pytest.fixture
def owned(monkeypatch):
    """The ids of the buffers the engine allocates (over a column-major market)."""
    _install(monkeypatch, Market("F"))
    ids = []
    real_own = E._Storage.own

    def counting_own(self, arr):
        sids = real_own(self, arr)
        ids.extend(sids)
        return sids

    monkeypatch.setattr(E._Storage, "own", counting_own)
    return ids


def test_element_wise_chains_reuse_buffers(owned):
    """A chain of element-wise nodes allocates nothing beyond its first input."""
    c = zarnik.Factor("close")
    f = ((R.MA(c, 5) - c) * 2.0 + 1.0) / c
    got = E.execute_factor(f, IDS, START, END, progress=False)
    # only the kernel's output: close is read as loaded (the kernel's result has its
    # column-major layout) and the chain writes into the kernel's dying output
    assert len(owned) == 1
    ma = pd.DataFrame(ARRAYS["close"], index=CAL, columns=IDS).rolling(5).mean().to_numpy()
    want = ((ma - ARRAYS["close"]) * 2 + 1) / ARRAYS["close"]
    np.testing.assert_allclose(got.to_numpy(), want[CAL.get_loc(START):], rtol=1e-12, equal_nan=True)


def test_kernels_and_ranks_write_into_freed_buffers(owned):
    """Rolling kernels and per-date operators write into buffers freed by earlier nodes:
    a chain alternating them allocates two buffers, whatever its length."""
    c = zarnik.Factor("close")
    f = O.CS_ZSCORE(R.TS_RANK(O.RANK(R.STD(O.RANK(R.MA(c, 3)), 4)), 3))
    got = E.execute_factor(f, IDS, START, END, progress=False)
    # each node's input is alive while it runs and freed after: two buffers take turns
    assert len(owned) == 2
    want = _reference(f, {k: ARRAYS[k] for k in FIELDS})
    np.testing.assert_allclose(got.to_numpy(), want, rtol=1e-12, equal_nan=True)


LAYOUT_FORMULAS = {
    # a kernel read by element-wise nodes only, by a cross-section, by both, in chains
    "ratio": lambda c, o, v: R.MA(c, 5) / c - 1.0,
    "ranked": lambda c, o, v: O.RANK(R.STD(c, 4)),
    "both": lambda c, o, v: O.RANK(R.MA(c, 3)) + R.MA(c, 3) / o,
    "chain": lambda c, o, v: R.MA(R.STD(c, 3) * 2.0 - o, 4),
    "pair": lambda c, o, v: R.CORR(c, v, 6) * c + O.RANK(R.CORR(o, v, 5)),
    "lagged": lambda c, o, v: R.TS_MAX(O.DELAY(c, 2), 3) - O.RANK(O.DELAY(R.MA(o, 4), 1)),
}


@pytest.mark.parametrize("name", sorted(LAYOUT_FORMULAS))
def test_results_do_not_depend_on_the_loaded_layout(monkeypatch, name):
    """Kernels return their operands' layout and the engine plans each value's layout from
    that: the results of a formula are the same bits whatever layout the data came in,
    and agree with the naive evaluation."""
    c, o, v = (zarnik.Factor(f) for f in FIELDS)
    f = LAYOUT_FORMULAS[name](c, o, v)
    got = {}
    for layout in ("C", "F", "strided", "fresh"):
        _install(monkeypatch, Market(layout))
        got[layout] = E.execute_factor(f, IDS, START, END, progress=False).to_numpy()
    for layout, values in got.items():
        assert values.shape == got["C"].shape
        assert np.array_equal(values.view(np.uint64), got["C"].view(np.uint64)), layout
    want = _reference(f, {k: ARRAYS[k] for k in FIELDS})
    np.testing.assert_allclose(got["F"], want, rtol=1e-12, equal_nan=True)


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.asfortranarray(np.arange(60.0).reshape(6, 10)),
        lambda: np.arange(60.0).reshape(6, 10),
        lambda: np.arange(120.0).reshape(12, 10)[::2],
        lambda: np.arange(60.0).reshape(6, 10)[::-1],
        lambda: np.asfortranarray(np.arange(60.0).reshape(6, 10))[:, ::-1],
        lambda: np.asfortranarray(np.arange(60, dtype=np.float32).reshape(6, 10)),
        lambda: np.asfortranarray(np.arange(6 * 150.0).reshape(6, 150)),  # more than one column block
        lambda: np.asfortranarray(np.arange(5.0).reshape(1, 5)),
    ],
)
def test_row_major_conversion(make):
    src = make()
    out, fresh = E._c_float64(src)
    assert out.flags.c_contiguous and out.dtype == np.float64
    np.testing.assert_array_equal(out, src)
    # a fresh copy is the engine's to overwrite; otherwise it is the input itself
    assert fresh != np.shares_memory(out, src)
    assert fresh or out is src


@pytest.mark.parametrize("user", [same, view_of, keeper])
def test_arrays_seen_by_user_functions_are_never_overwritten(monkeypatch, user):
    """A user function may keep its arguments: the engine must not reuse their buffers."""
    _install(monkeypatch, Market("F"))
    seen = []

    def spy(x):
        seen.append((x, x.copy()))
        return user(x)

    c = zarnik.Factor("close")
    inner = CombinedFactor(spy, R.MA(c, 3))
    f = (c > inner) * 2.0 + (inner * 3.0 - 1.0)
    got = E.execute_factor(f, IDS, START, END, progress=False)
    assert len(seen) == 1
    np.testing.assert_array_equal(seen[0][0], seen[0][1])
    want = _reference(f, {k: ARRAYS[k] for k in FIELDS})
    np.testing.assert_allclose(got.to_numpy(), want, rtol=1e-12, equal_nan=True)


@pytest.mark.parametrize("layout", ["F", "fresh", "writable", "C"])
@pytest.mark.parametrize(
    "late",
    [
        lambda c: c * 2.0,
        lambda c: -(c / O.DELAY(c, 2)),
        lambda c: abs(c - O.DELAY(c, 1)) + 1.0,
    ],
)
def test_leaf_read_both_ways_is_never_written(monkeypatch, layout, late):
    """A leaf copied row-major for one formula and read as loaded by the last one."""
    market = Market(layout)
    _install(monkeypatch, market)
    c = zarnik.Factor("close")
    factors = {"x": R.MA(c, 3) / c, "y": late(c)}
    got = E.execute_factors(factors, IDS, START, END, progress=False)
    assert market.unchanged()
    for name, f in factors.items():
        want = _reference(f, {k: ARRAYS[k] for k in FIELDS})
        np.testing.assert_allclose(got[name].to_numpy(), want, rtol=1e-12, equal_nan=True, err_msg=name)
