"""ICAnalysis._forward_returns: the forward returns the analysis correlates the factor with, given
without running the analysis (the factor screen computes them once per job)."""
from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from zarnik.analysis import assayer
from ic_seams import decay_rows_match, recorded_analysis, same_bits as _same
from test_ic_analysis import panels, reference


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(panels(), st.booleans(), st.booleans())
def test_forward_returns_are_the_ones_analysis_uses(case, rank_ic, ascending):
    factor, returns, periods = case
    step = recorded_analysis(factor, returns, periods, ascending=ascending, rank_ic=rank_ic, max_decay=3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        _, long = reference(factor, returns, list(periods), rank_ic, ascending)
    fwd = step._forward_returns(factor, returns, periods, ascending=ascending)
    _, table, fields = step.seen_ic
    assert list(fwd) == fields  # ordered, unique periods
    for k in fields:
        assert isinstance(fwd[k], np.ndarray)
        assert _same(fwd[k], table[k]), k
        assert _same(fwd[k].reshape(-1), step.seen_long[k].to_numpy()), k
    # and the factor side cannot change them: a constant factor on the same axes gives the same matrices
    flat = pd.DataFrame(0.0, index=factor.index, columns=factor.columns)
    again = step._forward_returns(flat, returns, periods, ascending=not ascending)
    assert all(_same(again[k], fwd[k]) for k in fields)
    # against the cumulative-product formulation of the reference analysis
    for k in fields:
        np.testing.assert_allclose(fwd[k].reshape(-1), long[k].to_numpy(), rtol=1e-12, atol=1e-15, err_msg=k)


@pytest.mark.parametrize("factor, returns, periods, error", [
    ("not a frame", None, [1], (TypeError, ValueError)),
    (None, "not a frame", [1], (TypeError, ValueError)),
    (None, None, [0], (TypeError, ValueError)),
    (None, None, ["x"], (TypeError, ValueError)),
])
def test_bad_input_raises_what_analysis_raises(factor, returns, periods, error):
    dates = pd.bdate_range("2022-01-03", periods=6, name="datetime")
    frame = pd.DataFrame(np.arange(18.0).reshape(6, 3) / 100, index=dates, columns=list("abc"))
    factor = frame if factor is None else factor
    returns = frame if returns is None else returns
    step = assayer.ICAnalysis()
    with pytest.raises(error) as via_analysis:
        step.analysis(factor, returns, periods)
    with pytest.raises(error) as via_seam:
        step._forward_returns(factor, returns, periods)
    assert type(via_seam.value) is type(via_analysis.value)
    assert str(via_seam.value) == str(via_analysis.value)


@st.composite
def _panels_with_inf(draw):
    factor, returns, periods = draw(panels())
    if draw(st.booleans()):
        v = factor.to_numpy(copy=True)
        rng = np.random.default_rng(draw(st.integers(0, 2**16)))
        v[rng.random(v.shape) < 0.1] = np.inf
        v[rng.random(v.shape) < 0.05] = -np.inf
        factor = pd.DataFrame(v, index=factor.index, columns=factor.columns)
    return factor, returns, periods


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(_panels_with_inf(), st.booleans(), st.sampled_from([1, 2, 4, 30]), st.integers(0, 2**16))
def test_ranked_returns_give_the_analysis_bits(case, ascending, max_decay, seed):
    """Ranking the forward returns once and correlating a factor with them (instruments in any order)
    gives the IC, p-values and IC-decay rows of the whole analysis, bit for bit."""
    factor, returns, periods = case
    step = recorded_analysis(factor, returns, periods, ascending=ascending, max_decay=max_decay)
    fa, table, fields = step.seen_ic
    want_ic, want_p = step.ic_out
    present = np.logical_and.reduce([~np.isnan(table[k]) for k in fields])
    order = np.random.default_rng(seed).permutation(fa.shape[1])
    decay_want = step.decay_out
    for j, k in enumerate(fields):
        ranked = step._rank_rows(table[k][:, order])
        ranked_decay = step._rank_rows(np.where(present, table[k], np.nan)[:, order])
        assert ranked.shape == fa.shape
        ic, p, decay = step._rank_ic_ranked(fa[:, order], ranked, ranked_decay)
        assert _same(ic[:, 0], np.ascontiguousarray(want_ic[:, j])), k
        assert _same(p[:, 0], np.ascontiguousarray(want_p[:, j])), k
        assert decay_rows_match(decay, factor.index.intersection(returns.index), decay_want, k), k
        # without a decay asked for, only the IC
        assert step._rank_ic_ranked(fa[:, order], ranked)[2] is None


def test_ranked_returns_reject_misfits():
    step = assayer.ICAnalysis(rank_ic=True, max_decay=3)
    ranked = step._rank_rows(np.zeros((4, 3)))
    with pytest.raises(ValueError, match=r"factor: expected shape \(4, 3\)"):
        step._rank_ic_ranked(np.zeros((4, 2)), ranked)
    with pytest.raises(ValueError, match="expected a 2-D array"):
        step._rank_rows(np.zeros(4))
    with pytest.raises(ValueError, match="rank IC"):
        assayer.ICAnalysis(rank_ic=False)._rank_ic_ranked(np.zeros((4, 3)), ranked)
    with pytest.raises(TypeError):
        step._rank_ic_ranked(np.zeros((4, 3)), "not ranked")
