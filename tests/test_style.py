"""QuantileStyleAnalysis against a pandas reference of the quantile groups' active exposure."""

from __future__ import annotations

import sys
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ostrel
from zarnik.analysis import assayer


@pytest.fixture(autouse=True)
def result_classes(monkeypatch):
    """Use the package's result classes; a plain record stands in where they are not built yet."""
    try:
        import zarnik.analysis.analysis_result  # noqa: F401
    except ImportError:
        stub = types.ModuleType("zarnik.analysis.analysis_result")

        class Result:
            def __init__(self, **kwargs):
                self.__dict__.update(kwargs)

        stub.FactorReturnAnalysisResult = stub.QuantileStyleAnalysisResult = Result
        monkeypatch.setitem(sys.modules, "zarnik.analysis.analysis_result", stub)


@pytest.fixture
def exposures(monkeypatch):
    """Installs a test double for the client's style exposures; returns the list of its calls."""
    calls = []

    def install(table):
        def fake(*args, **kwargs):
            calls.append((args, kwargs))
            return table

        monkeypatch.setattr(ostrel, "get_style_factor_exposure", fake, raising=False)
        return calls

    return install


def reference(factor_data, exposure, quantile, ascending):
    """Documented pandas steps; the relabelled index is the full product of dates and tags."""
    ranked = factor_data.shift(1).rank(axis=1, pct=True, ascending=ascending).stack("order_book_id").dropna()
    exposure = exposure.reorder_levels(["date", "order_book_id"]).sort_index()
    ranked = ranked.sort_index()
    intersect = exposure.index.intersection(ranked.index)
    exposure, ranked = exposure.loc[intersect], ranked.loc[intersect]
    groups = pd.Series(np.digitize(ranked, np.linspace(0, 1, quantile + 1), right=True), index=ranked.index)
    active = exposure.groupby(["date", groups]).mean() - exposure.groupby(level="date").mean()
    dates = active.index.get_level_values(0).unique().sort_values()
    full = pd.MultiIndex.from_product([dates, range(1, quantile + 1)])
    active = active.reindex(full)
    tags = [f"q{i}" for i in range(1, quantile + 1)]
    active.index = pd.MultiIndex.from_product(
        [dates, pd.CategoricalIndex(tags, dtype=pd.CategoricalDtype(tags))], names=["date", "quantile"])
    return active


def random_case(seed, t, n, n_style, ties):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-06-01", periods=t, name="datetime")
    ids = pd.Index([f"{i:06d}.XSHG" for i in range(n)], name="order_book_id")
    values = rng.integers(0, 4, size=(t, n)).astype(float) if ties else rng.normal(size=(t, n))
    factor = pd.DataFrame(values, index=dates, columns=ids)
    factor[rng.random(factor.shape) < 0.15] = np.nan
    if t > 3:
        factor.iloc[rng.integers(t)] = np.nan
    mi = pd.MultiIndex.from_product([ids[1:].tolist() + ["OTHER"], dates.rename("date")],
                                    names=["order_book_id", "date"])
    table = pd.DataFrame(rng.normal(size=(len(mi), n_style)), index=mi,
                         columns=[f"style{j}" for j in range(n_style)])
    table = table.iloc[rng.permutation(len(mi))[: int(len(mi) * 0.85)]]
    table[rng.random(table.shape) < 0.05] = np.nan
    return factor, table


def run(factor, quantile=5, ascending=True):
    return assayer.QuantileStyleAnalysis(quantile=quantile).analysis(factor, None, [1], ascending=ascending)


@settings(max_examples=50, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**32 - 1), t=st.integers(2, 8), n=st.integers(2, 30), n_style=st.integers(1, 3),
       quantile=st.integers(1, 7), ascending=st.booleans(), ties=st.booleans())
def test_matches_reference(exposures, seed, t, n, n_style, quantile, ascending, ties):
    factor, table = random_case(seed, t, n, n_style, ties)
    exposures(table)
    got = run(factor, quantile, ascending).quantile_exposure
    expected = reference(factor, table, quantile, ascending)
    assert got.index.names == ["date", "quantile"]
    assert got.index.equals(expected.index)
    assert got.columns.tolist() == table.columns.tolist()
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-12, atol=1e-14)


def test_ten_instruments_in_five_groups(exposures):
    dates = pd.bdate_range("2024-01-01", periods=3, name="datetime")
    ids = pd.Index([f"s{i}" for i in range(10)], name="order_book_id")
    factor = pd.DataFrame(np.tile(np.arange(10.0), (3, 1)), index=dates, columns=ids)
    mi = pd.MultiIndex.from_product([dates.rename("date"), ids], names=["date", "order_book_id"])
    table = pd.DataFrame({"beta": np.tile(np.arange(10.0), 3)}, index=mi)
    calls = exposures(table)
    got = run(factor, 5, ascending=True).quantile_exposure
    # groups 1,1,2,2,...,5,5 -> group means 0.5, 2.5, ..., 8.5 minus the date mean 4.5
    assert got.index.get_level_values("date").unique().tolist() == list(dates[1:])
    assert got["beta"].tolist() == [-4.0, -2.0, 0.0, 2.0, 4.0] * 2
    assert got.index.get_level_values("quantile").tolist() == ["q1", "q2", "q3", "q4", "q5"] * 2
    level = got.index.levels[1]
    assert isinstance(level, pd.CategoricalIndex)
    assert level.categories.tolist() == ["q1", "q2", "q3", "q4", "q5"] and not level.ordered
    # descending: q1 holds the largest values
    assert run(factor, 5, ascending=False).quantile_exposure["beta"].tolist() == [4.0, 2.0, 0.0, -2.0, -4.0] * 2
    (args, kwargs), _ = calls
    assert kwargs == {} and len(args) == 3
    assert list(args[0]) == list(ids) and args[1] == dates[0] and args[2] == dates[-1]


def test_date_missing_a_group_gives_nan_rows(exposures):
    dates = pd.bdate_range("2024-01-01", periods=4, name="datetime")
    ids = pd.Index(list("abcd"), name="order_book_id")
    factor = pd.DataFrame([[1.0, 2.0, 3.0, 4.0], [np.nan, 1.0, np.nan, 2.0], [0.0, 0.0, 0.0, 0.0],
                           [1.0, 2.0, 3.0, 4.0]], index=dates, columns=ids)
    mi = pd.MultiIndex.from_product([ids, dates.rename("date")], names=["order_book_id", "date"])
    table = pd.DataFrame({"size": np.arange(16.0)}, index=mi)
    exposures(table)
    got = run(factor, 4).quantile_exposure
    assert len(got) == 3 * 4
    per_date = [got.xs(d, level="date")["size"] for d in dates[1:]]
    assert per_date[0].notna().all()
    # two ranked instruments (ranks 0.5 and 1.0): groups 2 and 4 only
    assert per_date[1].isna().tolist() == [True, False, True, False]
    # all tied: every rank is the average 2.5 / 4, group 3
    assert per_date[2].isna().tolist() == [True, True, False, True] and per_date[2]["q3"] == 0.0
    np.testing.assert_allclose(got.to_numpy(), reference(factor, table, 4, True).to_numpy(), equal_nan=True)


def test_unmatched_pairs_are_excluded(exposures):
    dates = pd.bdate_range("2024-01-01", periods=2, name="datetime")
    ids = pd.Index(list("abcd"), name="order_book_id")
    factor = pd.DataFrame([[1.0, 2.0, 3.0, 4.0]] * 2, index=dates, columns=ids)
    mi = pd.MultiIndex.from_tuples([("b", dates[1]), ("c", dates[1]), ("zz", dates[1]), ("a", dates[0])],
                                   names=["order_book_id", "date"])
    table = pd.DataFrame({"beta": [1.0, 3.0, 100.0, 100.0]}, index=mi)
    exposures(table)
    got = run(factor, 2).quantile_exposure["beta"]
    # b (rank 0.5) in q1, c (rank 0.75) in q2; the benchmark is their mean 2
    assert got.tolist() == [-1.0, 1.0]


def test_no_ranked_pairs_gives_empty_frame(exposures):
    dates = pd.bdate_range("2024-01-01", periods=2, name="datetime")
    factor = pd.DataFrame([[1.0, 2.0], [3.0, 4.0]], index=dates, columns=pd.Index(["a", "b"], name="order_book_id"))
    mi = pd.MultiIndex.from_tuples([("a", dates[0])], names=["order_book_id", "date"])
    exposures(pd.DataFrame({"beta": [1.0]}, index=mi))
    got = run(factor, 3).quantile_exposure
    assert got.empty and got.index.names == ["date", "quantile"] and got.columns.tolist() == ["beta"]


@pytest.mark.parametrize("quantile", [0, -1, 2.5, "5", None])
def test_invalid_quantile(exposures, quantile):
    factor, table = random_case(0, 3, 5, 1, False)
    exposures(table)
    with pytest.raises(ValueError, match="quantile: expect a positive integer"):
        run(factor, quantile)


def test_defaults_and_name(exposures):
    factor, table = random_case(1, 4, 12, 2, False)
    exposures(table)
    analyser = assayer.QuantileStyleAnalysis()
    assert analyser.quantile == 5 and vars(analyser) == {"quantile": 5}
    analyser.step_name = "style"
    assert analyser.analysis(factor, None, [1]).name == "style"
