"""One row sort for the rank IC and the quantile labels: the factor's row orders the rank IC
returns, handed to the quantile analysis' group tables, give the tables it computes by sorting each
row itself, bit for bit (both directions, ties, infinities, signed zeros, rows with no value), and an
order that is not the factor's own is refused."""
from __future__ import annotations

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from zarnik.analysis import assayer
from ic_seams import same_bits as _same

SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow])

_SPECIAL = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, 1.0, -1.0, 1e-300, 5e-324, 2.5])


@st.composite
def _matrices(draw):
    """A factor matrix (dates x instruments) with ties, ±inf, signed zeros and missing values, rows
    with no value or a single value, and a growth index for it."""
    t = draw(st.integers(2, 12))
    n = draw(st.integers(1, 300))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    kind = draw(st.sampled_from(["normal", "ties", "special", "close"]))
    if kind == "normal":
        f = rng.normal(size=(t, n))
    elif kind == "ties":
        f = np.round(rng.normal(size=(t, n)) * 2) / 2
    elif kind == "special":
        f = rng.choice(_SPECIAL, size=(t, n))
    else:  # values that differ only in their last bits
        f = 1.0 + rng.integers(-3, 4, size=(t, n)) * np.finfo(float).eps
    f[rng.random((t, n)) < draw(st.sampled_from([0.0, 0.1, 0.5]))] = np.nan
    if draw(st.booleans()):
        f[rng.integers(0, t)] = np.nan  # a row with no value
    if n > 1 and draw(st.booleans()):
        row = rng.integers(0, t)
        f[row] = np.nan
        f[row, rng.integers(0, n)] = 3.0  # a row with one value
    r = rng.normal(scale=0.02, size=(t, n))
    r[rng.random((t, n)) < 0.05] = np.nan
    growth = np.cumprod(np.where(np.isnan(r), 1.0, 1.0 + r), axis=0)
    growth[np.isnan(r)] = np.nan
    return f, growth


def _orders(f: np.ndarray) -> tuple:
    """The rank IC's row orders of f (against returns that play no part in them)."""
    step = assayer.ICAnalysis(rank_ic=True, max_decay=3)
    ranked = step._rank_rows(np.zeros_like(f))
    return step._rank_ic_ranked(f, ranked, ranked, p_values=False, orders=True)[3]


def _reference_order(row: np.ndarray) -> np.ndarray:
    """Positions of the row's present values, ascending, equal values (-0.0 and +0.0 too) in
    position order."""
    at = np.flatnonzero(~np.isnan(row))
    return at[np.argsort(row[at], kind="stable")]


@settings(max_examples=120, **SETTINGS)
@given(_matrices())
def test_rank_ic_orders_are_each_rows_stable_ascending_order(case):
    f, _ = case
    positions, counts = _orders(f)
    assert positions.shape == f.shape and counts.shape == (f.shape[0],)
    for t in range(f.shape[0]):
        want = _reference_order(f[t])
        assert counts[t] == len(want)
        assert np.array_equal(positions[t, :counts[t]], want)


@settings(max_examples=40, **SETTINGS)
@given(_matrices(), st.sampled_from([2, 6]))
def test_asking_for_orders_leaves_the_rank_ic_as_it_is(case, max_decay):
    f, growth = case
    step = assayer.ICAnalysis(rank_ic=True, max_decay=max_decay)
    fwd = step._rank_rows(np.log(growth))
    plain = step._rank_ic_ranked(f, fwd, fwd, p_values=False)
    with_orders = step._rank_ic_ranked(f, fwd, fwd, p_values=False, orders=True)
    assert len(plain) == 3 and len(with_orders) == 4
    assert _same(plain[0], with_orders[0])
    assert plain[1] is None and with_orders[1] is None
    for a, b in zip(plain[2], with_orders[2]):
        assert _same(np.asarray(a, dtype=float), np.asarray(b, dtype=float))


@settings(max_examples=150, **SETTINGS)
@given(_matrices(), st.sampled_from([1, 2, 3, 5, 10, None]), st.booleans(), st.sampled_from([[1], [1, 2], [3, 1]]))
def test_group_tables_from_the_rank_ic_orders_are_the_sorted_ones(case, quantile, ascending, periods):
    f, growth = case
    step = assayer.QuantileReturnAnalysis(quantile=quantile or 3, bins=None if quantile else [0, 0.2, 0.5, 1])
    kept = [p for p in periods if p < f.shape[0]] or [1]
    try:
        want = step._group_returns(f, growth, kept, ascending)
    except ValueError as e:  # more groups than instruments, or no period shorter than the history
        with pytest.raises(ValueError) as info:
            step._group_returns(f, growth, kept, ascending, order=_orders(f))
        assert str(info.value) == str(e)
        return
    got = step._group_returns(f, growth, kept, ascending, order=_orders(f))
    for a, b in zip(got, want):
        assert _same(a, b)


def _order_cases():
    f = np.array([[3.0, 1.0, np.nan, 2.0, 1.0], [0.0, -0.0, 5.0, np.nan, np.nan]])
    positions, counts = _orders(f)
    cases = {}

    def case(name, pos=None, cnt=None):
        cases[name] = (positions.copy() if pos is None else pos, counts.copy() if cnt is None else cnt)

    p = positions.copy()
    p[0, [0, 2]] = p[0, [2, 0]]  # 1.0 (position 1) after 2.0 (position 3)
    case("out of order", p)
    p = positions.copy()
    p[0, [0, 1]] = p[0, [1, 0]]  # equal values, positions not ascending
    case("ties out of position order", p)
    p = positions.copy()
    p[1, [0, 1]] = p[1, [1, 0]]  # -0.0 and +0.0 are equal: position order holds
    case("signed zeros out of position order", p)
    c = counts.copy()
    c[0] -= 1
    case("count too small", cnt=c)
    c = counts.copy()
    c[1] += 1
    case("count too large", cnt=c)
    c = counts.copy()
    c[0] = -1
    case("negative count", cnt=c)
    c = counts.copy()
    c[0] = 99
    case("count beyond the row", cnt=c)
    p = positions.copy()
    p[0, 0] = 2  # a missing value
    case("missing value", p)
    p = positions.copy()
    p[0, 0] = 7
    case("position out of range", p)
    p = positions.copy()
    p[0, 0] = -4
    case("negative position", p)
    p = positions.copy()
    p[0, 1] = p[0, 0]
    case("repeated position", p)
    return f, cases


_F, _BAD = _order_cases()


@pytest.mark.parametrize("name", sorted(_BAD))
def test_an_order_that_is_not_the_factors_own_is_refused(name):
    step = assayer.QuantileReturnAnalysis(quantile=2)
    growth = np.ones_like(_F)
    with pytest.raises(ValueError, match="order: not the ascending order of the factor's rows"):
        step._group_returns(_F, growth, [1], False, order=_BAD[name])


@pytest.mark.parametrize("order, match", [
    ("positions", "order: expected a \\(positions, counts\\) pair"),
    ((np.zeros((2, 5), dtype=np.int32),), "order: expected a \\(positions, counts\\) pair"),
    ((np.zeros((2, 5)), np.zeros(2, dtype=np.int32)), "order: expected positions"),
    ((np.zeros((2, 5), dtype=np.int32), np.zeros((2, 1), dtype=np.int32)), "order: expected counts"),
    ((np.zeros((2, 4), dtype=np.int32), np.zeros(2, dtype=np.int32)), r"order: expected positions of shape \(2, 5\)"),
    ((np.zeros((2, 5), dtype=np.int32), np.zeros(3, dtype=np.int32)), r"order: expected positions of shape \(2, 5\)"),
])
def test_a_misshapen_order_is_refused(order, match):
    step = assayer.QuantileReturnAnalysis(quantile=2)
    with pytest.raises(ValueError, match=match):
        step._group_returns(_F, np.ones_like(_F), [1], False, order=order)


def test_an_order_of_another_integer_type_is_read():
    step = assayer.QuantileReturnAnalysis(quantile=2)
    growth = np.linspace(1.0, 2.0, _F.size).reshape(_F.shape)
    positions, counts = _orders(_F)
    want = step._group_returns(_F, growth, [1], False)
    got = step._group_returns(_F, growth, [1], False, order=(positions.astype(np.int64), counts.astype(np.int16)))
    for a, b in zip(got, want):
        assert _same(a, b)
