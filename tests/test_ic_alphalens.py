"""Per-date rank IC cross-checked against alphalens-reloaded."""
from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest

from zarnik.analysis import assayer

alphalens = pytest.importorskip("alphalens", reason="alphalens-reloaded is not installed (test extra)")


class Recorder:
    def __init__(self, **kwargs):
        self.kwargs = kwargs


@pytest.mark.parametrize("seed", [0, 1])
def test_rank_ic_equals_alphalens(monkeypatch, seed):
    """alphalens measures forward returns on prices (P(t+1)/P(t) - 1); feeding it the growth index of
    our daily returns, (1 + r).cumprod(), makes both forward returns the same numbers. alphalens drops
    dates without a forward return and rows with a missing factor; ascending=False keeps the sign
    (rank_ic with ascending=True would negate the factor)."""
    monkeypatch.setattr(assayer, "ICAnalysisResult", Recorder, raising=False)
    rng = np.random.default_rng(seed)
    n, s = 60, 40
    dates = pd.bdate_range("2021-01-04", periods=n, name="datetime")
    cols = pd.Index(["S{:03d}".format(i) for i in range(s)], name="order_book_id")
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(n, s)), index=dates, columns=cols)
    factor = pd.DataFrame(rng.normal(size=(n, s)) + 3 * returns.shift(-1).fillna(0).values,
                          index=dates, columns=cols)
    factor[factor.abs() < 0.05] = np.nan
    ours = assayer.ICAnalysis(rank_ic=True).analysis(factor, returns, [1], ascending=False).kwargs["ic"]["P_1"]

    prices = (1 + returns).cumprod()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        clean = alphalens.utils.get_clean_factor_and_forward_returns(
            factor.stack(), prices, periods=(1,), quantiles=None, bins=1, max_loss=1.0)
        theirs = alphalens.performance.factor_information_coefficient(clean).iloc[:, 0]
    theirs.index = pd.DatetimeIndex(theirs.index).tz_localize(None)
    assert len(theirs) >= n - 2
    np.testing.assert_allclose(ours.reindex(theirs.index).to_numpy(), theirs.to_numpy(), rtol=1e-12, atol=1e-14)
    assert ours.drop(theirs.index).isna().all()  # only the last date (no forward return) is absent there
