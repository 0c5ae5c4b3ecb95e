"""The argument reading and result tables of the quantile step (zarnik.analysis.quantile_tables), checked against
independent formulations: plain predicates for the group edges and periods, pandas for the tables."""
from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

import zarnik.exception as exception
from zarnik.analysis import assayer, quantile_tables

EDGE_MESSAGE = "bins: expected None or a strictly increasing sequence of at least two quantile edges in [0, 1], got "


def reference_edges(bins):
    """The edges as floats when acceptable, else None (a plain predicate over the documented rule)."""
    if isinstance(bins, str) or not hasattr(bins, "__iter__"):
        return None
    items = list(bins)
    if any(isinstance(e, (bool, np.bool_, str)) or not isinstance(e, (int, float, np.integer, np.floating))
           for e in items):
        return None
    values = [float(e) for e in items]
    if len(values) < 2 or any(not 0.0 <= v <= 1.0 for v in values):
        return None
    if any(b <= a for a, b in zip(values, values[1:])):
        return None
    return values


EDGE = st.one_of(st.floats(-0.5, 1.5), st.just(float("nan")), st.integers(-1, 2), st.booleans(), st.just("0.5"),
                 st.sampled_from([np.float32(0.25), np.int64(1), np.float64(0.75)]))


@given(st.one_of(st.lists(EDGE, max_size=6), st.lists(st.floats(0, 1), min_size=2, max_size=6).map(sorted),
                 st.tuples(EDGE, EDGE)))
@settings(max_examples=300, deadline=None)
def test_edges_against_a_predicate(bins):
    want = reference_edges(bins)
    if want is None:
        with pytest.raises(ValueError) as err:
            quantile_tables.checked_bins(bins)
        assert str(err.value) == EDGE_MESSAGE + repr(bins)
        with pytest.raises(ValueError):
            assayer.QuantileReturnAnalysis(bins=bins)
    else:
        got = quantile_tables.checked_bins(bins)
        assert got == want and all(type(v) is float for v in got)
        assert assayer.QuantileReturnAnalysis(bins=bins).bins == want


def test_edges_of_an_iterator_are_read_once():
    edges = quantile_tables.checked_bins(iter([0, 0.5, 1]))
    assert edges == [0.0, 0.5, 1.0]
    assert quantile_tables.checked_bins(None) is None


class Step:
    def __init__(self, quantile, bins=None):
        self.quantile = quantile
        self.bins = bins


@pytest.mark.parametrize("quantile, bins, width, expected", [
    (5, None, 10, 5), (3, [0, 0.5, 1], 10, [0.0, 0.5, 1.0]), (150, None, 200, 150), (1, None, 0, 1),
    ("bad", [0.2, 0.4], 3, [0.2, 0.4]),  # the edges win over the group count
])
def test_group_edges(quantile, bins, width, expected):
    got = quantile_tables.group_edges(Step(quantile, bins), width)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("quantile, message", [
    (0, "quantile: expected a positive integer, got 0"), (2.5, "quantile: expected a positive integer, got 2.5"),
    (True, "quantile: expected a positive integer, got True"),
    (101, "quantile: expected at most max(number of instruments, 100) = 100 groups, got 101"),
])
def test_group_edges_refuses_bad_counts(quantile, message):
    with pytest.raises(ValueError) as err:
        quantile_tables.group_edges(Step(quantile), 20)
    assert str(err.value) == message


def test_group_edges_reads_the_count_first():
    class NoCount:
        bins = [0.0, 1.0]

    with pytest.raises(AttributeError):
        quantile_tables.group_edges(NoCount(), 5)
    step = Step(5)
    del step.bins  # a step without bins groups by its count
    assert quantile_tables.group_edges(step, 5) == 5


@given(st.lists(st.integers(1, 12), min_size=1, max_size=6), st.integers(0, 10), st.booleans())
@settings(max_examples=200, deadline=None)
def test_holding_periods_against_a_filter(periods, n, drop):
    distinct = list(dict.fromkeys(periods))
    kept = [p for p in distinct if p < n]
    longer = [p for p in distinct if p >= n]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if (longer and not drop) or not kept:
            with pytest.raises(ValueError) as err:
                quantile_tables.holding_periods(periods, n, drop)
            assert str(err.value) == f"Invalid periods, must be less than {n}"
            return
        lengths, keys = quantile_tables.holding_periods(periods, n, drop)
    assert lengths == kept and keys == [f"P_{p}" for p in kept]
    assert [str(w.message) for w in caught] == ([f"Invalid periods found: {longer}, will ignore."] if longer else [])


@pytest.mark.parametrize("periods, exc", [("1", exception.InvalidPeriodType), ([1.5], exception.InvalidPeriodType),
                                          ([0], ValueError), ([], ValueError)])
def test_holding_periods_read_as_every_analyser(periods, exc):
    with pytest.raises(exc):
        quantile_tables.holding_periods(periods, 5, True)


def test_holding_periods_keep_huge_periods_as_too_long():
    with pytest.warns(UserWarning, match=r"Invalid periods found: \[36893488147419103232\], will ignore."):
        assert quantile_tables.holding_periods([2, 2**65], 5, True) == ([2], ["P_2"])


@pytest.mark.parametrize("index", [pd.DatetimeIndex([]), [1, 2], pd.Index([1, 2]), None])
def test_benchmark_span_refuses_other_indexes(index):
    with pytest.raises(ValueError) as err:
        quantile_tables.benchmark_span(index)
    assert str(err.value) == f"index: expected a non-empty DatetimeIndex, got {index!r}"


@pytest.mark.parametrize("stamps, freq, field", [
    (["2021-01-04", "2021-01-06", "2021-01-05"], "1d", "close"),
    (["2021-01-04 09:31", "2021-01-04 09:32"], "1m", "close"),
    (["2021-01-04 09:31:03", "2021-01-05 09:31:04"], "tick", "last"),
])
def test_benchmark_span(stamps, freq, field):
    index = pd.DatetimeIndex(stamps)
    got = quantile_tables.benchmark_span(index)
    # the first and last rows (not the extremes): the rows are ascending where the step calls it
    assert got == (freq, field, index[0].date(), index[-1].date())


@given(st.integers(0, 6), st.integers(0, 6))
@settings(max_examples=40, deadline=None)
def test_benchmark_values(n, m):
    series = pd.Series(np.arange(m, dtype=np.int32))
    if n != m:
        with pytest.raises(ValueError, match=f"^benchmark returns: expected {n} values, one per factor date$"):
            quantile_tables.benchmark_values(series, n)
    else:
        got = quantile_tables.benchmark_values(series, n)
        assert got.dtype == np.float64 and got.flags.c_contiguous
        np.testing.assert_array_equal(got, np.arange(m))


class Recorder:
    def __init__(self, **kwargs):
        self.kwargs = kwargs


@given(st.integers(1, 12), st.integers(1, 5), st.integers(1, 4), st.integers(1, 3), st.booleans(),
       st.integers(0, 2**31))
@settings(max_examples=60, deadline=None)
def test_result_tables_against_pandas(q, n, S, K, with_bench, seed):
    rng = np.random.default_rng(seed)
    dates = pd.DatetimeIndex(pd.date_range("2021-01-04", periods=n).to_numpy(), name="d")
    factor = pd.DataFrame(rng.normal(size=(n, S)), index=dates, columns=[f"s{i}" for i in range(S)])
    keys = [f"P_{k + 1}" for k in range(K)]
    labels = rng.integers(-1, q, size=(n, S)).astype(np.int32)
    turnover, cumulative = rng.normal(size=(q * n, K)), rng.normal(size=(q * n, K))
    long_short, annualized = rng.normal(size=(n, K)), rng.normal(size=(q, K))
    excess = rng.normal(size=(q, K)) if with_bench else None
    bench = pd.Series(rng.normal(0, 0.01, n), index=dates) if with_bench else None
    order = sorted(range(q), key=lambda g: str(g + 1))

    class StepStub:
        step_name = "quant"

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(assayer, "QuantileReturnAnalysisResult", Recorder)
        got = quantile_tables.result(StepStub(), factor, factor, keys, labels, turnover, cumulative, long_short,
                                     annualized, excess, bench, order).kwargs
    tags = [f"q{g + 1}" for g in range(q)]
    rows = pd.MultiIndex.from_tuples([(t, d) for t in tags for d in dates], names=["tag", "datetime"])
    pd.testing.assert_frame_equal(got["quantile_turnover"], pd.DataFrame(turnover, index=rows, columns=keys))
    pd.testing.assert_frame_equal(got["quantile_returns"], pd.DataFrame(cumulative, index=rows, columns=keys))
    pd.testing.assert_frame_equal(got["top_minus_bottom_returns"],
                                  pd.DataFrame(long_short, index=dates.rename("datetime"), columns=keys))
    text = pd.Index(sorted(tags), name="tag")  # text order: q1, q10, q11, q2, ...
    pd.testing.assert_frame_equal(got["quantile_annualized_returns"], pd.DataFrame(annualized, index=text, columns=keys))
    detail = got["quantile_detail"]
    assert all(dtype == object for dtype in detail.dtypes)
    for t in range(n):
        for s in range(S):
            cell = detail.iat[t, s]
            if labels[t, s] < 0:
                assert isinstance(cell, float) and np.isnan(cell)
            else:
                assert type(cell) is str and cell == tags[labels[t, s]]
    if with_bench:
        pd.testing.assert_frame_equal(got["quantile_excess_annulized_returns"],
                                      pd.DataFrame(excess, index=text, columns=keys))
        np.testing.assert_allclose(got["benchmark_return"].to_numpy(), np.cumprod(1 + bench.to_numpy()) - 1,
                                   rtol=1e-15)
    else:
        assert got["quantile_excess_annulized_returns"] is None and got["benchmark_return"] is None
    assert got["name"] == "quant"
