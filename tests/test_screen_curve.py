"""The screen's IC figures without the pandas tables: the decay curve from the decay rows, the IC
columns of a row from one period's per-date IC, and the rank IC without p-values, each against the
table-based computation it replaces, bit for bit."""
from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from zarnik.analysis import assayer
from zarnik.mining import screen
from zarnik.report.display import _ic_summary
from ic_seams import same_bits as _same
from test_screen_shared import _aligned_panels

SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow])
LABEL = "P_1"


def _curve_reference(ic: np.ndarray, rows: tuple, dates: pd.DatetimeIndex) -> pd.Series:
    """The decay table as the IC analysis builds it (lag 0 from the IC, then the rows, sorted by date
    and lag) and its grouped mean per lag."""
    at, lags, vals = rows
    ic_frame = pd.DataFrame(ic.reshape(-1, 1), index=dates, columns=[LABEL])
    lag0 = ic_frame.copy()
    lag0["decay"] = 0
    rest = pd.DataFrame(vals.reshape(-1, 1), columns=[LABEL], index=pd.MultiIndex.from_arrays(
        [dates.take(at), lags], names=("datetime", "decay")))
    decay = pd.concat([lag0.set_index("decay", append=True), rest]).sort_index()
    return decay.groupby(level="decay").mean()[LABEL].sort_index()


_VALUES = st.one_of(
    st.floats(-1, 1, allow_nan=False),
    st.sampled_from([math.nan, math.nan, math.inf, -math.inf, 0.0, -0.0, 1e16, -1e16, 1e-17, 1.0 / 3]))


@st.composite
def _decay_tables(draw):
    """Per-date IC and decay rows (unique (date, lag) pairs, lags >= 1, some lags without rows),
    values mixing magnitudes so that a plain sum and a compensated one differ, with gaps and
    infinities; rows lag by lag as the rank IC gives them, or shuffled."""
    t = draw(st.integers(0, 30))
    ic = np.array(draw(st.lists(_VALUES, min_size=t, max_size=t)), dtype=np.float64)
    lags = draw(st.lists(st.integers(1, 12), unique=True, max_size=6))
    at, lag = [], []
    for lv in sorted(lags):
        present = draw(st.lists(st.booleans(), min_size=t, max_size=t))
        for d in range(t):
            if present[d]:
                at.append(d)
                lag.append(lv)
    vals = np.array(draw(st.lists(_VALUES, min_size=len(at), max_size=len(at))), dtype=np.float64)
    at, lag = np.array(at, dtype=np.int64), np.array(lag, dtype=np.int64)
    if draw(st.booleans()) and len(at):
        p = np.random.default_rng(draw(st.integers(0, 2**16))).permutation(len(at))
        at, lag, vals = at[p], lag[p], vals[p]
    return ic, (at, lag, vals)


def _ascending_lags(ic: np.ndarray, rows: tuple) -> bool:
    """Whether the lags of the decay table sorted by (date, lag) never decrease (lag 0 is on every date,
    so only when every other row is on the last date)."""
    return len(ic) == 0 or bool((rows[0] == len(ic) - 1).all())


@settings(max_examples=300, **SETTINGS)
@given(_decay_tables())
def test_decay_curve_is_the_grouped_mean_of_the_decay_table(case):
    ic, rows = case
    dates = pd.bdate_range("2023-01-02", periods=len(ic), name="datetime")
    step = assayer.ICAnalysis(rank_ic=True, max_decay=12)
    with np.errstate(all="ignore"):
        lags, means = step._decay_curve(ic, rows)
        if len(ic) + len(rows[0]) == 0:
            assert len(lags) == 0 and len(means) == 0
            return
        want = _curve_reference(ic, rows, dates)
        assert lags.tolist() == want.index.tolist()
        if not _ascending_lags(ic, rows):  # pandas' compensated grouped mean
            assert _same(means, want.to_numpy(dtype=np.float64))
        if len(ic):  # the screen's curve, whichever way pandas sums
            got = screen._decay_curve(step, ic, rows, dates, LABEL)
            assert _same(got, want.to_numpy(dtype=np.float64))


def test_decay_curve_compensates_rounding():
    # lag 0: 1 + 1e-16 + ... ; a plain running sum loses every small term, the compensated one keeps them
    ic = np.array([1.0] + [1e-16] * 20)
    rows = (np.array([0], np.int64), np.array([1], np.int64), np.array([0.5]))
    lags, means = assayer.ICAnalysis(max_decay=2)._decay_curve(ic, rows)
    plain = 0.0
    for v in ic.tolist():
        plain += v
    assert lags.tolist() == [0, 1]
    assert means[0] != plain / len(ic)
    want = _curve_reference(ic, rows, pd.bdate_range("2023-01-02", periods=len(ic), name="datetime"))
    assert _same(means, want.to_numpy())


@pytest.mark.parametrize("rows, message", [
    ("not rows", "rows: expected"),
    ((np.zeros(2, np.int64), np.zeros(2, np.int64)), "rows: expected"),
    ((np.zeros(2, np.int64), np.zeros(3, np.int64), np.zeros(2)), "one length"),
    ((np.zeros((2, 1), np.int64), np.zeros(2, np.int64), np.zeros(2)), "one-dimensional"),
])
def test_decay_curve_rejects_malformed_rows(rows, message):
    with pytest.raises((ValueError, TypeError), match=message):
        assayer.ICAnalysis(max_decay=3)._decay_curve(np.zeros(3), rows)


@settings(max_examples=200, **SETTINGS)
@given(st.lists(_VALUES, max_size=40), st.booleans())
def test_ic_row_is_the_ic_summary(values, constant):
    x = np.array(values, dtype=np.float64)
    x[np.isinf(x)] = np.nan  # a correlation is never infinite
    if constant and x.size:
        x[~np.isnan(x)] = 0.25
    s = _ic_summary(screen._ICView(pd.DataFrame({LABEL: x}, index=pd.RangeIndex(len(x)))))
    want = {"ic_mean": float(s.loc[LABEL, "ic_mean"]), "ic_ir": float(s.loc[LABEL, "ir"]),
            "ic_t": float(s.loc[LABEL, "t_stat"]), "ic_positive": float(s.loc[LABEL, "positive_share"]),
            "n_dates": int(s.loc[LABEL, "n_dates"])}
    got = screen._ic_row(x)
    assert set(got) == set(want)
    for k, v in want.items():
        assert type(got[k]) is type(v), k
        assert got[k] == v or (math.isnan(got[k]) and math.isnan(v)), (k, got[k], v)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(_aligned_panels(), st.sampled_from([None, 3, 10]))
def test_rank_ic_without_p_values_keeps_the_ic_and_decay(case, max_decay):
    factor, returns = case
    step = assayer.ICAnalysis(rank_ic=True, max_decay=max_decay)
    fwd = step._forward_returns(factor, returns, [1])["P_1"]
    fa = factor.reindex(index=factor.index.intersection(returns.index), columns=returns.columns).to_numpy()
    ranked = step._rank_rows(fwd)
    ic, p, decay = step._rank_ic_ranked(fa, ranked, ranked)
    ic2, p2, decay2 = step._rank_ic_ranked(fa, ranked, ranked, p_values=False)
    assert p2 is None and p is not None
    assert _same(ic2, ic)
    assert (decay is None) == (decay2 is None)
    if decay is not None:
        assert all(_same(a, b) for a, b in zip(decay, decay2))
