"""Reshaping of market-data replies, against row-by-row reference formulations."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
from hypothesis import given, settings
from hypothesis import strategies as st

from zarnik.analysis import market_tables as mt

T = pd.Timestamp
BASE = T("2013-06-01")
# days from BASE that straddle both Shenwan version switches (2014-01-01, 2021-07-31)
DAYS = st.sampled_from([0, 213, 214, 215, 3000, 2981, 2982, 2983, 3200])

RECORDS = st.lists(
    st.tuples(st.sampled_from(["能源", "银行", "电子"]), st.sampled_from("ABC"), DAYS, st.integers(1, 3)),
    min_size=1, max_size=12, unique_by=lambda r: (r[1], r[2], r[3]),
)


def _version_in_force(start: pd.Timestamp) -> int:
    if start > T("2021-07-31"):
        return 3
    return 2 if start > T("2014-01-01") else 1


@settings(max_examples=60, deadline=None)
@given(RECORDS, st.booleans())
def test_history_keeps_the_version_in_force_sorted_by_instrument_and_date(records, sws):
    rows = [(n, i, (BASE + pd.Timedelta(days=d)).strftime("%Y-%m-%d"), v) for n, i, d, v in records]
    if not sws:
        rows = list({(r[1], r[2]): r[:3] for r in rows}.values())
    got = mt.industry_history(rows, sws, "name")
    kept = [(k, r) for k, r in enumerate(rows) if not sws or r[3] == _version_in_force(T(r[2]))]
    kept.sort(key=lambda kr: (kr[1][1], T(kr[1][2]), kr[0]))
    assert list(got.columns) == ["name", "order_book_id", "start_date"]
    assert list(got.index) == [k for k, _ in kept]
    assert [tuple(r) for r in got.itertuples(index=False)] == [(r[0], r[1], T(r[2])) for _, r in kept]


@settings(max_examples=60, deadline=None)
@given(RECORDS)
def test_codes_number_names_in_order_carried_forward_then_back(records):
    unique = {(i, d): n for n, i, d, _ in records}
    rows = [(n, i, BASE + pd.Timedelta(days=d)) for (i, d), n in unique.items()]
    history = mt.industry_history(rows, False, "name")
    table = mt.industry_codes(history, "name")
    code = {n: c for c, n in enumerate(sorted({r[0] for r in rows}))}
    dates = sorted({r[2] for r in rows})
    assert list(table.index) == dates and table.dtypes.eq(np.int64).all()
    for inst in table.columns:
        mine = sorted((r[2], r[0]) for r in rows if r[1] == inst)
        for d in dates:
            before = [n for start, n in mine if start <= d]
            assert table.at[d, inst] == code[before[-1] if before else mine[0][1]]


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.one_of(st.none(), st.floats(1.0, 100.0)), min_size=1, max_size=10),
    st.lists(st.integers(0, 14), min_size=1, max_size=12, unique=True),
)
def test_benchmark_change_of_the_carried_forward_price(prices, days):
    stamps = [T("2024-01-01") + pd.Timedelta(days=2 * k) for k in range(len(prices))]
    known = [(s, p) for s, p in zip(stamps, prices) if p is not None]
    frame = pd.DataFrame(
        {"close": [p for _, p in known]},
        index=pd.MultiIndex.from_arrays([["IDX"] * len(known), [s for s, _ in known]], names=["order_book_id", "date"]),
    )
    index = pd.DatetimeIndex(sorted(T("2024-01-01") + pd.Timedelta(days=d) for d in days))
    got = mt.benchmark_returns(frame, "close", index, "IDX")
    # a price counts on the index dates that carry it and is carried forward to later index dates
    on_date = dict(known)
    carried, want = [], []
    for d in index:
        carried.append(on_date.get(d, carried[-1] if carried else math.nan))
        prev = carried[-2] if len(carried) > 1 else math.nan
        change = carried[-1] / prev - 1
        want.append(0.0 if math.isnan(change) else change)
    assert got.name == "IDX" and list(got.index) == list(index)
    np.testing.assert_allclose(got.to_numpy(), want, rtol=0, atol=0)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.tuples(st.sampled_from(["B", "A", "C"]), st.integers(0, 6), st.floats(1, 100)),
             min_size=1, max_size=15, unique_by=lambda r: (r[0], r[1])),
    st.randoms(use_true_random=False),
)
def test_close_table_is_dates_by_instruments_ascending_whatever_the_row_order(rows, rng):
    rng.shuffle(rows)
    index = pd.MultiIndex.from_tuples([(i, BASE + pd.Timedelta(days=d)) for i, d, _ in rows],
                                      names=["order_book_id", "date"])
    got = mt.close_table(pd.DataFrame({"close": [p for _, _, p in rows]}, index=index))
    ids, dates = sorted({i for i, _, _ in rows}), sorted({BASE + pd.Timedelta(days=d) for _, d, _ in rows})
    assert list(got.index) == dates and list(got.columns) == ids
    price = {(i, BASE + pd.Timedelta(days=d)): p for i, d, p in rows}
    for d in dates:
        for i in ids:
            want = price.get((i, d), math.nan)
            assert (math.isnan(want) and math.isnan(got.at[d, i])) or got.at[d, i] == want
