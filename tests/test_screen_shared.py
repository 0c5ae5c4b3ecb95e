"""The pieces a factor screen computes once per job and the per-factor remainder it runs against
them: the quantile analysis' growth index and group tables, the rank IC against ranked returns, and
a screen row from them, each compared bit for bit with the analysis that recomputes everything."""
from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from zarnik.analysis import assayer
from ic_seams import decay_rows_match, recorded_analysis, same_bits as _same
from test_ic_analysis import panels

SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])


def _growth_reference(factor: pd.DataFrame, returns: pd.DataFrame) -> np.ndarray:
    """Running product of 1 + r over each instrument's present returns (NaN where r is missing),
    read on the factor's dates and instruments."""
    r = returns.to_numpy(dtype=np.float64)
    g = np.cumprod(np.where(np.isnan(r), 1.0, r + 1.0), axis=0)
    g[np.isnan(r)] = np.nan
    return pd.DataFrame(g, index=returns.index, columns=returns.columns).reindex(
        index=factor.index, columns=factor.columns).to_numpy()


# ---------------------------------------------------------------------------
# quantile analysis: _growth + _group_returns
# ---------------------------------------------------------------------------
@settings(max_examples=60, **SETTINGS)
@given(panels(), st.sampled_from([1, 2, 3, 5, None]), st.booleans())
def test_group_returns_on_the_growth_index_are_the_analysis_tables(case, quantile, ascending):
    factor, returns, periods = case
    step = assayer.QuantileReturnAnalysis(quantile=quantile or 3, bins=None if quantile else [0, 0.3, 0.5, 1])
    growth = step._growth(factor, returns)
    assert _same(growth, _growth_reference(factor, returns))
    kept = [p for p in periods if p < len(factor)]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            res = step.analysis(factor, returns, periods, ascending=ascending)
    except ValueError as e:  # too many groups or no period shorter than the history: the same error
        with pytest.raises(ValueError, match=None) as info:
            step._group_returns(factor.to_numpy(), growth, kept or periods, ascending)
        assert str(info.value) == str(e)
        return
    turnover, cumulative, long_short = step._group_returns(factor.to_numpy(), growth, kept, ascending)
    assert _same(turnover, res.quantile_turnover.to_numpy())
    assert _same(cumulative, res.quantile_returns.to_numpy())
    assert _same(long_short, res.top_minus_bottom_returns.to_numpy())


def test_group_returns_reject_misfits():
    step = assayer.QuantileReturnAnalysis(quantile=2)
    f = np.arange(12.0).reshape(4, 3)
    with pytest.raises(ValueError, match=r"growth: expected shape \(4, 3\)"):
        step._group_returns(f, np.ones((4, 2)), [1])
    with pytest.raises(ValueError, match="Invalid periods, must be less than 4"):
        step._group_returns(f, np.ones((4, 3)), [4])
    with pytest.raises(ValueError, match="factor: expected a 2-D array"):
        step._group_returns(np.ones(3), np.ones((4, 3)), [1])
    with pytest.raises(ValueError):
        step._growth(f, pd.DataFrame(f))


# ---------------------------------------------------------------------------
# rank IC against ranked returns, rows whose present values coincide
# ---------------------------------------------------------------------------
@st.composite
def _aligned_panels(draw):
    """Panels whose factor and returns are mostly missing in the same places (the rows where the
    ranks over the common values are each row's own ranks), with ties and constant rows."""
    t = draw(st.integers(3, 14))
    n = draw(st.integers(1, 40))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    dates = pd.bdate_range("2022-01-03", periods=t + 3)
    cols = ["S{:02d}".format(i) for i in range(n)]
    f = rng.normal(size=(t, n))
    if draw(st.booleans()):
        f = np.round(f * 2)  # ties
    r = rng.normal(scale=0.02, size=(t + 3, n))
    if draw(st.booleans()):
        r = np.round(r * 100) / 100
    gone = rng.random((t + 3, n)) < draw(st.sampled_from([0.0, 0.1, 0.3]))
    r[gone] = np.nan
    # the factor missing where the next date's return is (then the lag-0 sets coincide), sometimes more
    f[gone[1:t + 1]] = np.nan
    extra = rng.random((t, n)) < draw(st.sampled_from([0.0, 0.0, 0.05]))
    f[extra] = np.nan
    if t > 3 and draw(st.booleans()):
        f[rng.integers(0, t)] = 1.5  # a constant date
    factor = pd.DataFrame(f, index=dates[:t], columns=cols)
    returns = pd.DataFrame(r, index=dates, columns=cols)
    return factor, returns


@settings(max_examples=80, **SETTINGS)
@given(_aligned_panels(), st.sampled_from([2, 4, 12]), st.integers(0, 2**16))
def test_ranked_rank_ic_and_decay_are_the_analysis_bits(case, max_decay, seed):
    factor, returns = case
    step = recorded_analysis(factor, returns, [1], ascending=False, max_decay=max_decay)
    fa, table, _ = step.seen_ic
    want_ic, want_p = step.ic_out
    order = np.random.default_rng(seed).permutation(fa.shape[1])
    fwd = table["P_1"]
    ic, p, decay = step._rank_ic_ranked(fa[:, order], step._rank_rows(fwd[:, order]), step._rank_rows(fwd[:, order]))
    assert _same(ic[:, 0], want_ic[:, 0])
    assert _same(p[:, 0], want_p[:, 0])
    assert decay_rows_match(decay, factor.index.intersection(returns.index), step.decay_out, "P_1")


# ---------------------------------------------------------------------------
# a screen row from the shared pieces against the whole pipeline
# ---------------------------------------------------------------------------
@st.composite
def _screen_panels(draw):
    t = draw(st.integers(25, 40))
    n = draw(st.integers(5, 30))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    dates = pd.bdate_range("2023-02-01", periods=t + 22)
    cols = ["X{:03d}".format(i) for i in range(n)]
    if draw(st.booleans()):  # instruments not in sorted order: the IC's long table reorders them
        cols = [cols[i] for i in rng.permutation(n)]
    r = rng.normal(scale=0.02, size=(t + 22, n))
    r[rng.random(r.shape) < draw(st.sampled_from([0.0, 0.05]))] = np.nan
    f = rng.normal(size=(t, n)) + 20 * r[1:t + 1]
    if draw(st.booleans()):
        f = np.round(f)
    f[rng.random(f.shape) < draw(st.sampled_from([0.0, 0.1]))] = np.nan
    if draw(st.booleans()):
        f[np.isnan(r[1:t + 1])] = np.nan
    factor = pd.DataFrame(f, index=pd.DatetimeIndex(dates[:t], name="datetime"),
                          columns=pd.Index(cols, name="order_book_id"))
    returns = pd.DataFrame(r, index=dates, columns=cols)
    periods = draw(st.sampled_from([[1, 5], [1, 5, 20], [5, 1]]))
    period = draw(st.sampled_from(periods))
    return factor, returns, periods, period


def _rows_equal(a: dict, b: dict) -> bool:
    if set(a) != set(b):
        return False
    for k in a:
        x, y = a[k], b[k]
        if isinstance(x, float) and isinstance(y, float):
            if not (x == y or (math.isnan(x) and math.isnan(y))):
                return False
        elif x != y:
            return False
    return True


@settings(max_examples=25, **SETTINGS)
@given(_screen_panels(), st.booleans(), st.sampled_from([3, 5]))
def test_screen_row_from_shared_pieces_is_the_pipeline_row(case, ascending, quantile):
    from zarnik.mining import screen

    factor, returns, periods, period = case
    steps = [("winsorize", assayer.Winzorization(method="mad")), ("normalize", assayer.Normalization()),
             ("ic", assayer.ICAnalysis(rank_ic=True, max_decay=10)),
             ("quantile", assayer.QuantileReturnAnalysis(quantile=quantile))]
    fa = assayer.FactorAssayer()
    for s in steps:
        fa.append(s)
    job = screen._Job(ids=list(factor.columns), start="", end="", periods=periods, period=period, steps=None,
                      market_path="", fingerprint="", fields=[], lookback=0, ascending=ascending)
    sh = screen._shared_analysis(fa, returns, factor.index, job)
    assert sh is not None and sh.growth is not None and sh.ranked is not None
    in_order = list(factor.columns) == sorted(factor.columns)
    assert sh.order_is_identity == in_order
    # the quantile labels read the rank IC's row sorts (unless ascending) when the IC keeps the order
    assert sh.same_grid == in_order
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        row, data = screen._screen_shared(sh, factor.copy(), job)
        results = fa.analysis(factor.copy(), returns, ascending=ascending, periods=list(periods),
                              keep_preprocess_result=True)
    want = screen._summarise(results, period)
    assert _rows_equal(row, want), (row, want)
    assert _same(data.to_numpy(), results["normalize"].to_numpy())
