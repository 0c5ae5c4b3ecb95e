"""Evaluation engine: formulas against direct per-instrument numpy computations."""

from __future__ import annotations

import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from numpy.lib.stride_tricks import sliding_window_view as swv


_iface = pytest.importorskip("zarnik.interface")
_rolling = pytest.importorskip("zarnik.rolling")
if not hasattr(_iface, "LeafFactor") or not hasattr(_rolling, "_apply_columns"):
    pytest.skip("expression nodes or rolling operators are not in this build", allow_module_level=True)

import ostrel
import zarnik
from zarnik import rolling as R
from zarnik.engine import FactorEvaluationError, execute_factor, execute_factors
from zarnik.interface import CombinedFactor, LeafFactor, UserDefinedLeafFactor

CAL = pd.bdate_range("2020-01-01", "2020-12-31")
IDS = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600519.XSHG", "300750.XSHE", "688001.XSHG"]


def _panel(seed: int = 7) -> dict[str, pd.DataFrame]:
    rng = np.random.default_rng(seed)
    shape = (len(CAL), len(IDS))
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, shape), axis=0))
    close[rng.random(shape) < 0.02] = np.nan  # suspensions
    opn = close * np.exp(rng.normal(0, 0.01, shape))
    vol = rng.lognormal(10, 0.5, shape)
    data = {
        "close": close,
        "open": opn,
        "high": np.fmax(close, opn) * 1.01,
        "low": np.fmin(close, opn) * 0.99,
        "volume": vol,
        "total_turnover": vol * close,
    }
    return {k: pd.DataFrame(v, index=CAL, columns=IDS) for k, v in data.items()}


PANEL = _panel()


class FakeMarket:
    """Calendar and daily fields of a small synthetic market."""

    def __init__(self) -> None:
        self.panel_calls: list[tuple] = []

    def get_trading_dates(self, start, end):
        s, e = pd.Timestamp(start), pd.Timestamp(end)
        return [d.date() for d in CAL[(CAL >= s) & (CAL <= e)]]

    def get_previous_trading_date(self, date, n=1):
        pos = CAL.searchsorted(pd.Timestamp(date)) - n
        if pos < 0:
            raise ValueError("no trading date {} dates before {}".format(n, date))
        return CAL[pos].date()

    def get_panel(self, fields, order_book_ids, start_date, end_date, adjust_type="post"):
        self.panel_calls.append((tuple(fields), pd.Timestamp(start_date), pd.Timestamp(end_date)))
        out = {}
        for f in fields:
            if f not in PANEL:
                raise ValueError("unknown field {}".format(f))
            df = PANEL[f]
            out[f] = df.loc[pd.Timestamp(start_date):pd.Timestamp(end_date), [i for i in order_book_ids if i in IDS]]
        return out


@pytest.fixture
def market(monkeypatch):
    m = FakeMarket()
    for name in ("get_trading_dates", "get_previous_trading_date", "get_panel"):
        monkeypatch.setattr(ostrel, name, getattr(m, name), raising=False)
    return m


START, END = "2020-03-02", "2020-06-30"
DATES = CAL[(CAL >= START) & (CAL <= END)]


def tail(values: np.ndarray) -> np.ndarray:
    """Rows of the requested dates out of a full-calendar array."""
    return values[CAL.get_indexer(DATES)]


def roll(x: np.ndarray, n: int, fn) -> np.ndarray:
    out = np.full(x.shape, np.nan)
    out[n - 1:] = fn(swv(x, n))
    return out


def lagged(x: np.ndarray, n: int) -> np.ndarray:
    out = np.full(x.shape, np.nan)
    out[n:] = x[:-n]
    return out


def corr_windows(a: np.ndarray, b: np.ndarray, n: int) -> np.ndarray:
    out = np.full(a.shape, np.nan)
    wa, wb = swv(a, n), swv(b, n)
    da, db = wa - wa.mean(1, keepdims=True), wb - wb.mean(1, keepdims=True)
    out[n - 1:] = (da * db).mean(1) / np.sqrt((da**2).mean(1) * (db**2).mean(1))
    return out


def ts_rank_ref(x: np.ndarray, n: int) -> np.ndarray:
    def rank_last(w):
        last = w[:, -1:]
        return ((w < last).sum(1) + (w == last).sum(1) - 1) / n  # 0-based; newest of equals ranks highest
    return roll(x, n, rank_last)


# formula text -> reference of one instrument's full series
CASES = {
    "MA(close, 5) - close": lambda d: roll(d["close"], 5, lambda w: w.mean(1)) - d["close"],
    "CORR(close, volume, 10)": lambda d: corr_windows(d["close"], d["volume"], 10),
    "close / DELAY(close, 3) - 1": lambda d: d["close"] / lagged(d["close"], 3) - 1,
    "STD(close / DELAY(close, 1) - 1, 20)": lambda d: roll(
        d["close"] / lagged(d["close"], 1) - 1, 20, lambda w: w.std(1)
    ),
    "SUM(volume, 4) / MA(total_turnover, 8)": lambda d: roll(d["volume"], 4, lambda w: w.sum(1))
    / roll(d["total_turnover"], 8, lambda w: w.mean(1)),
    "(close > open) & (volume > MA(volume, 5))": lambda d: (
        (d["close"] > d["open"]) & (d["volume"] > roll(d["volume"], 5, lambda w: w.mean(1)))
    ).astype(float),
    "IF(close > MA(close, 10), high, -low)": lambda d: np.where(
        d["close"] > roll(d["close"], 10, lambda w: w.mean(1)), d["high"], -d["low"]
    ),
    "TS_MAX(high, 6) - TS_MIN(low, 6) + DELTA(close, 2)": lambda d: roll(d["high"], 6, lambda w: w.max(1))
    - roll(d["low"], 6, lambda w: w.min(1))
    + d["close"] - lagged(d["close"], 2),
    "TS_RANK(volume, 7) * -1": lambda d: -ts_rank_ref(d["volume"], 7),
    "MA(MA(close, 3), 4) ** 2": lambda d: roll(roll(d["close"], 3, lambda w: w.mean(1)), 4, lambda w: w.mean(1))
    ** 2,
}


@pytest.mark.parametrize("formula", list(CASES))
def test_formula_matches_per_instrument_numpy(market, formula):
    got = execute_factor(zarnik.parse(formula), IDS, START, END)
    assert list(got.index) == list(DATES) and got.index.name == "datetime"
    assert list(got.columns) == IDS and got.columns.name == "order_book_id"
    assert got.dtypes.eq(np.float64).all()
    for j, oid in enumerate(IDS):
        series = {k: v[oid].to_numpy() for k, v in PANEL.items()}
        with np.errstate(all="ignore"):
            want = tail(CASES[formula](series))
        np.testing.assert_allclose(got[oid].to_numpy(), want, rtol=1e-9, atol=1e-12, equal_nan=True,
                                   err_msg="{} / {}".format(formula, oid))


def test_cross_sectional_rank_against_pandas(market):
    got = execute_factor(zarnik.parse("RANK(close / DELAY(close, 5))"), IDS, START, END)
    ratio = PANEL["close"] / PANEL["close"].shift(5)
    want = ratio.rank(axis=1, pct=True).loc[DATES]
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), equal_nan=True)


def test_lookback_loads_dates_before_start(market):
    got = execute_factor(zarnik.parse("MA(close, 20)"), IDS, START, END)
    # the first requested date already has a full window, taken from February
    pos = CAL.get_loc(DATES[0])
    want = PANEL["close"].iloc[pos - 19:pos + 1].mean(skipna=False)
    np.testing.assert_allclose(got.iloc[0].to_numpy(), want.to_numpy(), equal_nan=True)
    fields, s, e = market.panel_calls[-1]
    assert s == CAL[pos - 19] and e == DATES[-1]


def test_lookback_before_calendar_start_names_the_node(market):
    with pytest.raises(FactorEvaluationError, match=r"ma\(Factor\(close\), 5\).*before the start"):
        execute_factor(R.MA(zarnik.Factor("close"), 5), IDS, CAL[2], CAL[30])


def _user_leaf(name, fn, calls):
    def func(order_book_ids, start_date, end_date):
        calls.append((pd.Timestamp(start_date), pd.Timestamp(end_date)))
        return fn(order_book_ids, start_date, end_date)

    return UserDefinedLeafFactor(name, func)


def _turnover_rate(order_book_ids, start_date, end_date):
    idx = pd.to_datetime(ostrel.get_trading_dates(start_date, end_date))
    vol = PANEL["volume"].loc[idx, list(order_book_ids)]
    return (vol / 1e6)[list(reversed(order_book_ids))]  # column order of its own


def test_user_defined_and_market_leaves_mixed(market):
    calls: list = []
    u = _user_leaf("turnover_rate", _turnover_rate, calls)
    f = zarnik.parse("close * u + MA(u, 3)", names={"u": u})
    got = execute_factor(f, IDS, START, END)
    assert calls == [(CAL[CAL.get_loc(DATES[0]) - 2], DATES[-1])]  # one call, extended by the look-back
    u_full = PANEL["volume"] / 1e6
    want = PANEL["close"] * u_full + u_full.rolling(3).mean()
    np.testing.assert_allclose(got.to_numpy(), want.loc[DATES].to_numpy(), rtol=1e-12, equal_nan=True)


def test_shared_subtrees_evaluated_once(market):
    calls: list = []
    u = _user_leaf("u", _turnover_rate, calls)
    seen = []

    def spread(a, b):
        seen.append(a.shape)
        return a - b

    shared = CombinedFactor(spread, R.MA(u, 5), zarnik.Factor("close"))
    out = execute_factors({"a": shared * 2, "b": shared + R.MA(u, 5), "c": zarnik.parse("close")}, IDS, START, END)
    assert len(calls) == 1 and len(seen) == 1
    np.testing.assert_allclose(out["a"].to_numpy() / 2, (out["b"] - (out["b"] - out["a"] / 2)).to_numpy(),
                               equal_nan=True)
    assert len(market.panel_calls) == 1  # every market field in one request
    np.testing.assert_array_equal(out["c"].to_numpy(), PANEL["close"].loc[DATES].to_numpy())


def test_deep_and_unhashable_trees(market):
    f = zarnik.Factor("close")
    node = f
    for _ in range(600):  # deeper than the interpreter's recursion limit allows recursively
        node = node + 1.0
    got = execute_factor(node, IDS, START, END)
    np.testing.assert_allclose(got.to_numpy(), PANEL["close"].loc[DATES].to_numpy() + 600, equal_nan=True)
    weights = np.arange(1.0, len(IDS) + 1)  # an array literal makes the key unhashable
    got = execute_factor(f * weights - f * weights, IDS, START, END)
    assert np.nanmax(np.abs(got.to_numpy())) == 0


class NoLoader(LeafFactor):
    def __hash__(self):
        return 1

    def __repr__(self):
        return "NoLoader()"


def _bad_user(order_book_ids, start_date, end_date):
    raise KeyError("vendor down")


@pytest.mark.parametrize(
    "factor, pattern",
    [
        (lambda: zarnik.Factor("vwapp") + 1, r"Factor\(vwapp\).*unknown field"),
        (lambda: R.MA(UserDefinedLeafFactor("flaky", _bad_user), 3), r"UFactor\(flaky\).*user function failed.*vendor down"),
        (lambda: NoLoader() * 2, r"NoLoader\(\).*cannot load"),
        (lambda: R.MA(zarnik.Factor("close"), 5) + R.STD(zarnik.Factor("close"), 0), r"std\(Factor\(close\), 0\)"),
    ],
)
def test_errors_name_the_offending_node(market, factor, pattern):
    with pytest.raises(FactorEvaluationError, match=pattern):
        execute_factor(factor(), IDS, START, END)


@pytest.mark.parametrize(
    "args, exc",
    [
        (("close", IDS, START, END), TypeError),
        ((zarnik.Factor("close"), [], START, END), ValueError),
        ((zarnik.Factor("close"), [1, 2], START, END), TypeError),
        ((zarnik.Factor("close"), IDS, END, START), ValueError),
        ((zarnik.Factor("close"), IDS, "2020-01-04", "2020-01-05"), ValueError),  # a weekend only
        ((zarnik.Factor("close"), IDS, "not a date", END), ValueError),
    ],
)
def test_bad_arguments(market, args, exc):
    with pytest.raises(exc):
        execute_factor(*args)


def test_unknown_instrument_gives_nan_column(market):
    from zarnik.exception import DataCoverageWarning

    with pytest.warns(DataCoverageWarning, match="999999.XSHE"):
        got = execute_factor(zarnik.Factor("close"), ["000001.XSHE", "999999.XSHE"], START, END)
    assert got["999999.XSHE"].isna().all() and got["000001.XSHE"].notna().any()


# ---------------------------------------------------------------------------
# random formulas: the 2-D engine against the 1-D evaluation contract
# ---------------------------------------------------------------------------
_FIELDS = ["open", "close", "volume", "high"]
_SINGLE = ["MA", "EMA", "WMA", "STD", "SUM", "TS_MIN", "TS_MAX", "TS_RANK", "SLOPE", "TS_ZSCORE", "AVEDEV"]
_PAIR = ["CORR", "COV", "TS_REGRESSION"]


def _formulas():
    leaf = st.sampled_from(_FIELDS)
    num = st.integers(1, 9).map(str)

    def extend(children):
        return st.one_of(
            st.tuples(children, st.sampled_from(["+", "-", "*", "/"]), st.one_of(children, num)).map(
                lambda t: "({} {} {})".format(*t)
            ),
            st.tuples(st.sampled_from(_SINGLE), children, st.integers(1, 6)).map(lambda t: "{}({}, {})".format(*t)),
            # a pair kernel of one series with itself is rounding noise around +-1 (or 0 slope
            # residue) that later operators amplify: not a comparison of two evaluations. The same
            # holds for a pair kernel over another one's output: CORR(open, high, 3) sits within a
            # few ulps of 1 on this market, and a correlation of open with that noise differs by
            # 0.3 between two evaluations whose inner results agree to 1e-15.
            st.tuples(st.sampled_from(_PAIR), children, children, st.integers(2, 6))
            .filter(lambda t: t[1] != t[2] and not any(p + "(" in t[1] + t[2] for p in _PAIR))
            .map(lambda t: "{}({}, {}, {})".format(*t)),
            st.tuples(children, st.integers(1, 4)).map(lambda t: "DELAY({}, {})".format(*t)),
            children.map(lambda c: "ABS({})".format(c)),
        )

    return st.recursive(leaf, extend, max_leaves=5)


def eval_1d(key, data):
    """Evaluate a key for one instrument: 1-D kernels called as the node protocol says."""
    if isinstance(key, tuple) and len(key) == 2 and callable(key[0]) and isinstance(key[1], tuple):
        return key[0](*(eval_1d(a, data) for a in key[1]))
    if isinstance(key, LeafFactor):
        return data[key.name]
    return key


@settings(max_examples=40, deadline=None)
@given(_formulas())
def test_random_formulas_match_column_by_column_evaluation(formula):
    m = FakeMarket()
    saved = {n: getattr(ostrel, n, None) for n in ("get_trading_dates", "get_previous_trading_date", "get_panel")}
    try:
        for n in saved:
            setattr(ostrel, n, getattr(m, n))
        f = zarnik.parse(formula)
        got = execute_factor(f, IDS, START, END)
        pos = CAL.get_loc(DATES[0])
        ext = CAL[pos - f.shift:CAL.get_loc(DATES[-1]) + 1]
        for oid in IDS[:3]:
            data = {k: v.loc[ext, oid].to_numpy() for k, v in PANEL.items()}
            with np.errstate(all="ignore"):
                want = np.asarray(eval_1d(f.expr, data), dtype=float)
            np.testing.assert_allclose(got[oid].to_numpy(), want, rtol=1e-9, atol=1e-9, equal_nan=True,
                                       err_msg=formula)
    finally:
        for n, v in saved.items():
            if v is None:
                delattr(ostrel, n)
            else:
                setattr(ostrel, n, v)


def test_results_do_not_share_memory(market):
    same = {"a": zarnik.parse("close * 2"), "b": zarnik.parse("close * 2"), "c": zarnik.parse("close"),
            "d": zarnik.parse("close")}
    before = PANEL["close"].loc[DATES].to_numpy().copy()
    out = execute_factors(same, IDS, START, END)
    for k in ("a", "c"):
        out[k].iloc[:, :] = -1.0
    np.testing.assert_array_equal(out["b"].to_numpy(), before * 2)
    np.testing.assert_array_equal(out["d"].to_numpy(), before)
    np.testing.assert_array_equal(PANEL["close"].loc[DATES].to_numpy(), before)


@settings(max_examples=60, deadline=None)
@given(
    unit=st.sampled_from(["s", "ms", "us", "ns"]),
    tz=st.sampled_from([None, "UTC", "Asia/Shanghai"]),
    freq=st.sampled_from(["B", "D", "6h"]),
    name=st.sampled_from([None, "date"]),
    periods=st.integers(0, 40),
)
def test_trading_dates_from_an_index_equal_the_element_by_element_conversion(unit, tz, freq, name, periods):
    # A client returning a DatetimeIndex takes a fast path; it must give what converting the
    # dates one by one gives: same values at midnight, unit, time zone, no name, no frequency.
    index = pd.date_range("2021-01-04 09:30", periods=periods, freq=freq, tz=tz, name=name).as_unit(unit)
    client = types.SimpleNamespace(get_trading_dates=lambda s, e: index)
    listed = types.SimpleNamespace(get_trading_dates=lambda s, e: list(index))
    fast = zarnik.engine._trading_dates(client, None, None)
    slow = zarnik.engine._trading_dates(listed, None, None)
    assert fast.equals(slow)
    assert (fast.dtype, fast.freq, fast.name) == (slow.dtype, slow.freq, slow.name)


@pytest.mark.parametrize("trim", [True, False])
def test_a_root_read_further_back_by_another_root(market, monkeypatch, trim):
    """RANK(close) is a result and, lagged, part of another one, while a third reads further back
    still: the shared node holds more rows than its own result needs and fewer than were loaded."""
    import zarnik.engine as E

    monkeypatch.setattr(E, "_TRIM", trim)
    factors = {
        "rank": zarnik.parse("RANK(close)"),
        "lagged": zarnik.parse("DELAY(RANK(close), 1) + close"),
        "long": zarnik.parse("MA(close, 5)"),
    }
    together = execute_factors(factors, IDS, START, END)
    for name, f in factors.items():
        alone = execute_factor(f, IDS, START, END)
        pd.testing.assert_frame_equal(together[name], alone)
