"""Custom quantile edges of QuantileReturnAnalysis against pandas.qcut with the same edges."""
from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats

from zarnik.analysis import assayer


def frames(days, width, seed, ties=False):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2022-01-03", periods=days, name="datetime")
    cols = pd.Index(["s{:02d}".format(i) for i in range(width)], name="order_book_id")
    values = rng.normal(size=(days, width))
    if ties:
        values = values.round(0)
    values[rng.random(values.shape) < 0.1] = np.nan
    factor = pd.DataFrame(values, index=dates, columns=cols)
    returns = pd.DataFrame(rng.normal(scale=0.01, size=(days, width)), index=dates, columns=cols)
    return factor, returns


def qcut_labels(factor, bins, ascending):
    """Labels of every date from the previous date's values; ties broken by position as the analysis does."""
    out = pd.DataFrame(np.nan, index=factor.index, columns=factor.columns, dtype=object)
    for t in range(1, len(factor)):
        row = factor.iloc[t - 1]
        ok = row.notna().to_numpy()
        if not ok.any():
            continue
        vals = row.to_numpy()[ok]
        ranks = stats.rankdata(vals if ascending else -vals, method="ordinal")
        codes = pd.qcut(ranks, bins, labels=False)
        labels = np.array([np.nan if np.isnan(c) else "q{}".format(int(c) + 1) for c in codes], dtype=object)
        out.iloc[t, np.flatnonzero(ok)] = labels
    return out


EDGES = st.lists(st.floats(0, 1), min_size=2, max_size=6, unique=True).map(sorted).filter(
    lambda e: all(b - a > 1e-6 for a, b in zip(e, e[1:])))


@settings(max_examples=40, deadline=None)
@given(EDGES, st.booleans(), st.booleans(), st.integers(0, 10**6))
def test_labels_equal_qcut_with_the_same_edges(bins, ascending, ties, seed):
    factor, returns = frames(8, 17, seed, ties)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = assayer.QuantileReturnAnalysis(bins=bins).analysis(factor, returns, [1], ascending=ascending)
    want = qcut_labels(factor, bins, ascending)
    detail = got.quantile_detail
    assert detail.shape == want.shape
    same = (detail.isna() & want.isna()) | (detail == want)
    assert same.to_numpy().all()
    assert sorted(got.quantile_annualized_returns.index) == sorted("q{}".format(k + 1) for k in range(len(bins) - 1))


def test_equal_edges_give_the_default_groups():
    factor, returns = frames(60, 30, 5)
    edges = [k * (1.0 / 5) for k in range(5)] + [1.0]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        a = assayer.QuantileReturnAnalysis(quantile=5).analysis(factor, returns, [1, 5])
        b = assayer.QuantileReturnAnalysis(quantile=3, bins=edges).analysis(factor, returns, [1, 5])
    for name in ("quantile_returns", "quantile_turnover", "top_minus_bottom_returns", "quantile_annualized_returns",
                 "quantile_detail"):
        pd.testing.assert_frame_equal(getattr(a, name), getattr(b, name))


@pytest.mark.parametrize("bins", [[0.5], [], [0.2, 0.1, 1.0], [0.0, 0.5, 0.5], [-0.1, 1.0], [0.0, 1.5],
                                  [0.0, float("nan")], "0,1", 5, [0.0, "1"], [True, 1.0]])
def test_bad_edges_are_refused(bins):
    with pytest.raises(ValueError, match="bins: expected None or a strictly increasing sequence"):
        assayer.QuantileReturnAnalysis(bins=bins)


def test_edges_are_kept_as_floats():
    step = assayer.QuantileReturnAnalysis(bins=np.array([0, 0.25, 1]))
    assert step.bins == [0.0, 0.25, 1.0] and step.quantile == 5
    assert assayer.QuantileReturnAnalysis().bins is None
