"""Reuse of large freed buffers while the engine evaluates a graph.

The engine makes numpy allocate through zarnik._core's buffer cache while it
evaluates: freed buffers of 1 MiB or more are kept and handed to the next
arrays of about their size. These tests check that the handler never hands
out memory a live array still uses, that zeroed allocations are zero, that the
previous allocation policy comes back however the evaluation ends, and that
evaluations give the bits of evaluations without the cache.
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ostrel
from zarnik import _core, alphas
from zarnik import engine as E
from zarnik.analysis import assayer

MB = 1 << 20


def _handler() -> str:
    """The name of numpy's allocation policy in this thread's context."""
    return np._core.multiarray.get_handler_name()


# ---------------------------------------------------------------------------
# the handler itself
# ---------------------------------------------------------------------------
ops = st.lists(
    st.one_of(
        st.tuples(st.just("new"), st.integers(1, 4 * MB // 8)),  # an np.empty of this many float64
        st.tuples(st.just("zeros"), st.integers(1, 4 * MB // 8)),
        st.tuples(st.just("free"), st.integers(0, 50)),
        st.tuples(st.just("grow"), st.integers(0, 50)),
    ),
    min_size=1,
    max_size=40,
)


@settings(max_examples=60, deadline=None)
@given(ops=ops, max_blocks=st.integers(0, 5), max_mb=st.integers(0, 12))
def test_live_arrays_never_share_memory_and_zeros_are_zero(ops, max_blocks, max_mb):
    live: list[tuple[np.ndarray, float]] = []
    before = _handler()
    token = _core.buffer_cache_begin(max_blocks, max_mb * MB)
    try:
        assert _handler() == "zarnik_buffer_cache"
        for k, (op, n) in enumerate(ops):
            if op in ("new", "zeros"):
                a = np.empty(n) if op == "new" else np.zeros(n)
                if op == "zeros":
                    assert not a.any()
                a[...] = k + 1.0
                live.append((a, k + 1.0))
            elif live and op == "free":
                del live[n % len(live)]
            elif live:  # a resize in place moves the data through realloc
                i = n % len(live)
                a, v = live[i]
                a.resize(a.size + MB // 8, refcheck=False)
                assert (a[: a.size - MB // 8] == v).all()
                a[...] = v
            for a, v in live:  # nothing handed out again while alive
                assert (a == v).all()
    finally:
        _core.buffer_cache_end(token)
    assert _handler() == before
    for a, v in live:  # arrays of the span outlive it
        assert (a == v).all()
    _, _, kept, kept_bytes = _core.buffer_cache_stats()
    assert (kept, kept_bytes) == (0, 0)


def test_buffers_are_reused_within_limits_and_released_at_the_end():
    h0, m0, _, _ = _core.buffer_cache_stats()
    token = _core.buffer_cache_begin(2, 64 * MB)
    try:
        for rows in (320, 300, 310, 290, 320, 300):  # at most a quarter below the first
            a = np.empty((rows, 1000))
            a[...] = 1.0
            del a
        hits, misses, kept, kept_bytes = _core.buffer_cache_stats()
        assert (hits - h0, misses - m0) == (5, 1)
        assert (kept, kept_bytes) == (1, 320 * 1000 * 8)
        b = np.empty(600 * 1000)  # twice as large: not taken from the cache
        hits2, _, _, _ = _core.buffer_cache_stats()
        assert hits2 == hits
        keep = [np.empty((300, 1000)) for _ in range(4)]
        del keep, b  # five freed: the two newest stay
        assert _core.buffer_cache_stats()[2] == 2
    finally:
        _core.buffer_cache_end(token)
    assert _core.buffer_cache_stats()[2:] == (0, 0)


def test_spans_nest_and_the_previous_handler_comes_back():
    outer = _core.buffer_cache_begin(4, 64 * MB)
    inner = _core.buffer_cache_begin(4, 64 * MB)
    a = np.empty(2 * MB // 8)
    del a
    _core.buffer_cache_end(inner)
    assert _handler() == "zarnik_buffer_cache" and _core.buffer_cache_stats()[2] == 1  # the outer span goes on
    _core.buffer_cache_end(outer)
    assert _handler() == "default_allocator" and _core.buffer_cache_stats()[2] == 0


@pytest.mark.parametrize("args, error", [((-1, 10), ValueError), ((1, -1), ValueError)])
def test_bad_limits_are_refused(args, error):
    with pytest.raises(error, match="non-negative"):
        _core.buffer_cache_begin(*args)
    assert _handler() == "default_allocator"


def test_end_refuses_anything_but_a_handler():
    with pytest.raises(TypeError, match="buffer_cache_begin"):
        _core.buffer_cache_end(42)


# ---------------------------------------------------------------------------
# the engine with and without the cache
# ---------------------------------------------------------------------------
N_DATES, N_IDS = 200, 700  # panels of 1 MiB and more: the cache is used


@pytest.fixture(scope="module")
def panel():
    rng = np.random.default_rng(7)
    cal = pd.bdate_range("2015-01-05", periods=N_DATES + 300)
    ids = ["{:06d}.XSHE".format(i) for i in range(N_IDS)]
    shape = (len(cal), N_IDS)
    close = np.round(10 * np.exp(np.cumsum(rng.normal(0, 0.02, shape), axis=0)), 2)
    close[rng.random(shape) < 0.02] = np.nan
    opn = np.round(close * np.exp(rng.normal(0, 0.01, shape)), 2)
    high = np.round(np.fmax(close, opn) * (1 + rng.uniform(0, 0.02, shape)), 2)
    low = np.round(np.fmin(close, opn) * (1 - rng.uniform(0, 0.02, shape)), 2)
    volume = np.round(rng.lognormal(12, 0.6, shape), -2)
    volume[rng.random(shape) < 0.01] = 0.0
    turnover = volume * (high + low + close) / 3
    shares = np.exp(rng.normal(20.5, 1.0, N_IDS))[None, :] * np.ones((len(cal), 1))
    data = {"close": close, "open": opn, "high": high, "low": low, "volume": volume, "total_turnover": turnover}
    with np.errstate(invalid="ignore", divide="ignore"):
        data["vwap"] = turnover / volume
        data["returns"] = np.vstack([np.full((1, N_IDS), np.nan), close[1:] / close[:-1] - 1])
        data["cap"] = close * shares
        data["turnover_rate"] = volume / shares
    frames = {k: pd.DataFrame(v, index=cal, columns=ids) for k, v in data.items()}
    codes = pd.DataFrame([rng.integers(0, 28, N_IDS)], index=[cal[0]], columns=ids)
    return cal, ids, frames, codes


@pytest.fixture
def market(panel, monkeypatch):
    cal, ids, frames, codes = panel

    def get_trading_dates(start, end):
        s, e = pd.Timestamp(start), pd.Timestamp(end)
        return cal[(cal >= s) & (cal <= e)]

    def get_previous_trading_date(date, n=1):
        return cal[cal.searchsorted(pd.Timestamp(date)) - n].date()

    def get_panel(fields, order_book_ids, start_date, end_date, adjust_type="post"):
        s, e = pd.Timestamp(start_date), pd.Timestamp(end_date)
        return {f: frames[f].loc[s:e, list(order_book_ids)] for f in fields}

    monkeypatch.setattr(ostrel, "get_trading_dates", get_trading_dates, raising=False)
    monkeypatch.setattr(ostrel, "get_previous_trading_date", get_previous_trading_date, raising=False)
    monkeypatch.setattr(ostrel, "get_panel", get_panel, raising=False)
    monkeypatch.setattr(ostrel, "trading_date_index", lambda d: int(cal.get_loc(pd.Timestamp(d))), raising=False)
    monkeypatch.setattr(assayer, "get_all_industry_category", lambda source="citics_2019": codes)
    return ids, cal[-N_DATES], cal[-1]


def _bits(frames: dict[str, pd.DataFrame]) -> dict[str, bytes]:
    return {k: np.ascontiguousarray(v.to_numpy()).view(np.int64).tobytes() for k, v in frames.items()}


def _evaluate(names, ids, start, end, cache):
    saved = E._BUFFER_CACHE
    E._BUFFER_CACHE = cache
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return alphas.evaluate(names, ids, start, end, progress=False)
    finally:
        E._BUFFER_CACHE = saved


def test_the_101_alphas_have_the_same_bits_with_and_without_reused_buffers(market):
    ids, start, end = market
    names = alphas.names("alpha101")
    plain = _bits(_evaluate(names, ids, start, end, None))
    hits0 = _core.buffer_cache_stats()[0]
    cached = _bits(_evaluate(names, ids, start, end, (16, 1 << 30)))
    assert _core.buffer_cache_stats()[0] > hits0 + 100  # buffers were reused
    assert _handler() == "default_allocator"
    assert cached.keys() == plain.keys()
    assert [n for n in names if cached[n] != plain[n]] == []


@settings(max_examples=8, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    picks=st.lists(st.sampled_from(alphas.names("alpha101")), min_size=2, max_size=8, unique=True),
    limits=st.tuples(st.integers(1, 6), st.sampled_from([2 * MB, 8 * MB, 1 << 30])),
)
def test_batches_with_reused_buffers_equal_each_formula_alone_without(market, picks, limits):
    ids, start, end = market
    got = _bits(_evaluate(picks, ids, start, end, limits))
    for n in picks:
        assert got[n] == _bits(_evaluate([n], ids, start, end, None))[n], n


def test_a_failing_evaluation_puts_the_allocation_policy_back(market):
    from zarnik.interface import UserDefinedLeafFactor

    ids, start, end = market

    def broken(order_book_ids, start_date, end_date):
        assert _handler() == "zarnik_buffer_cache"  # user leaves run inside the span
        raise RuntimeError("no data")

    f = alphas.get("alpha101").factor() + UserDefinedLeafFactor("broken", broken)
    with pytest.raises(E.FactorEvaluationError, match="no data"):
        E.execute_factor(f, ids, start, end, progress=False)
    assert _handler() == "default_allocator"
    assert _core.buffer_cache_stats()[2:] == (0, 0)
