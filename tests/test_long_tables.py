"""ICAnalysis on long tables in any row order: the scatter of a (datetime, order_book_id) table into dense
dates x instruments matrices, the complete pairs handed to a user correlation function, the group members
of the industry table, and duplicate rows, against a pandas formulation."""
from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from zarnik.analysis import assayer

FIELDS = ["P_1", "P_3"]


def order_sensitive(x, f):
    """A correlation stand-in whose value depends on the values and on their order."""
    w = np.arange(1, len(x) + 1, dtype=float)
    return float(np.dot(x, w) + 0.5 * np.dot(f, w[::-1])), 0.0


def ref_decay(df, max_decay, func):
    out = []
    # unstack keeps first-appearance column order when the index has unused levels; sort to instrument order
    wide = df[FIELDS].unstack("order_book_id").sort_index(axis=1)
    for d in range(1, max_decay):
        lagged = wide.shift(-d).stack("order_book_id", future_stack=True)
        lagged["factor"] = df["factor"]
        lagged = lagged.dropna()
        for date, g in lagged.groupby(level="datetime"):
            f = g["factor"].to_numpy()
            out.append((date, d, [func(g[c].to_numpy(), f)[0] for c in FIELDS]))
    return sorted(out, key=lambda row: row[:2])


def ref_industry(df, labels, func):
    names = pd.Series(labels).reindex(df.index.get_level_values("order_book_id").unique()).fillna("Unknown")
    per_row = pd.Series(names[df.index.get_level_values("order_book_id")].to_numpy(), index=df.index)
    return {name: [func(g[c].to_numpy(), g["factor"].to_numpy())[0] for c in FIELDS]
            for name, g in df.groupby(per_row)}


@st.composite
def long_tables(draw):
    n_dates = draw(st.integers(1, 6))
    n_ids = draw(st.integers(1, 5))
    dates = pd.bdate_range("2023-03-01", periods=n_dates)
    ids = ["i{}".format(k) for k in range(n_ids)]
    idx = pd.MultiIndex.from_product([dates, ids], names=["datetime", "order_book_id"])
    cells = 3 * len(idx)
    values = np.array(draw(st.lists(st.floats(-5, 5), min_size=cells, max_size=cells)))
    missing = np.array(draw(st.lists(st.integers(0, 5), min_size=cells, max_size=cells))) == 0
    values[missing] = np.nan
    df = pd.DataFrame(values.reshape(len(idx), 3), index=idx, columns=["factor"] + FIELDS)
    keep = draw(st.lists(st.booleans(), min_size=len(idx), max_size=len(idx)))
    if not any(keep):
        keep[0] = True
    df = df[np.array(keep)]
    order = draw(st.permutations(range(len(df))))
    labels = {i: draw(st.sampled_from(["A", "B", "C"])) for i in ids if draw(st.booleans())}
    return df, df.iloc[list(order)], labels


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(long_tables(), st.integers(2, 7))
def test_user_function_sees_the_complete_pairs_of_every_lag_in_instrument_order(case, max_decay):
    ordered, shuffled, _ = case
    step = assayer.ICAnalysis(max_decay=max_decay)
    step.ic_func = order_sensitive
    ic = pd.DataFrame(np.zeros((1, 2)), index=pd.Index([ordered.index[0][0]], name="datetime"), columns=FIELDS)
    got = step._calc_ic_decay(shuffled, ic)
    got = got[got.index.get_level_values("decay") > 0]
    want = ref_decay(ordered, max_decay, order_sensitive)
    assert [(d, lag) for d, lag, _ in want] == list(got.index)
    if want:
        np.testing.assert_allclose(got.to_numpy(), np.array([v for _, _, v in want]), rtol=1e-12, atol=1e-12)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(long_tables())
def test_user_function_sees_each_industry_in_table_order(case):
    _, shuffled, labels = case
    step = assayer.ICAnalysis(industry_classification=labels)
    step.ic_func = order_sensitive
    got = step._calc_ic_industry_distribute(shuffled)
    want = ref_industry(shuffled, labels, order_sensitive)
    assert list(got.index) == sorted(want)
    np.testing.assert_allclose(got.to_numpy(), np.array([want[k] for k in sorted(want)]), rtol=1e-12, atol=1e-12)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(long_tables(), st.booleans())
def test_native_decay_does_not_depend_on_row_order(case, rank_ic):
    ordered, shuffled, _ = case
    step = assayer.ICAnalysis(rank_ic=rank_ic, max_decay=4)
    ic = pd.DataFrame(np.zeros((1, 2)), index=pd.Index([ordered.index[0][0]], name="datetime"), columns=FIELDS)
    a = step._calc_ic_decay(ordered, ic)
    b = step._calc_ic_decay(shuffled, ic)
    pd.testing.assert_frame_equal(a, b)


@pytest.mark.parametrize("user_func", [False, True])
def test_a_repeated_pair_is_refused(user_func):
    idx = pd.MultiIndex.from_tuples(
        [(pd.Timestamp("2023-03-01"), "a"), (pd.Timestamp("2023-03-02"), "a"), (pd.Timestamp("2023-03-01"), "a")],
        names=["datetime", "order_book_id"])
    df = pd.DataFrame(np.arange(9.0).reshape(3, 3), index=idx, columns=["factor"] + FIELDS)
    step = assayer.ICAnalysis(max_decay=3)
    if user_func:
        step.ic_func = order_sensitive
    ic = pd.DataFrame(np.zeros((1, 2)), index=pd.Index([pd.Timestamp("2023-03-01")], name="datetime"), columns=FIELDS)
    with pytest.raises(ValueError, match="duplicate entries"):
        step._calc_ic_decay(df, ic)
