"""No silent empty results: unknown instruments, steps that empty dates or everything, analyses over
no data, stores without style exposures."""

from __future__ import annotations

import shutil
import warnings

import duckdb
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ostrel
import zarnik
from zarnik.analysis import assayer as A
from zarnik.analysis.coverage import CoverageAccount
from zarnik.exception import DataCoverageWarning

IDS = ["{:06d}.XSHE".format(i) for i in range(40)]
DATES = pd.bdate_range("2021-01-04", periods=30)


def _returns(seed=0):
    rng = np.random.default_rng(seed)
    idx = pd.bdate_range(DATES[0], periods=len(DATES) + 25)
    return pd.DataFrame(rng.normal(0, 0.02, (len(idx), len(IDS))), index=idx, columns=IDS)


def _messages(record):
    return [str(w.message) for w in record if issubclass(w.category, DataCoverageWarning)]


class _BlankDates(A.FactorPreprocessor):
    """Turns the given dates missing."""

    def __init__(self, rows):
        self.rows = rows

    def process(self, factor_data):
        out = factor_data.copy()
        out.iloc[self.rows] = np.nan
        return out


def _run(factor, steps, periods=(1, 5)):
    fa = A.FactorAssayer()
    for name, step in steps:
        fa.append((name, step))
    fa.append(("ic", A.ICAnalysis()))
    fa.append(("quantile", A.QuantileReturnAnalysis(quantile=5)))
    fa.append(("factor_return", A.FactorReturnAnalysis()))
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        results = fa.analysis(factor, _returns(), periods=list(periods))
    return results, _messages(record)


def _binary_factor():
    rng = np.random.default_rng(1)
    return pd.DataFrame((rng.random((len(DATES), len(IDS))) < 0.3).astype(float), index=DATES, columns=IDS)


def _zero_factor():  # what `close * 0` evaluates to
    return pd.DataFrame(0.0, index=DATES, columns=IDS)


@pytest.mark.parametrize("factor, steps, expected", [
    # MAD of a 0/1 factor is 0: every date collapses onto its median, normalization then empties it
    (_binary_factor, [("winsorize", A.Winzorization(method="mad")), ("normalize", A.Normalization())],
     ["winsorize: left 30 of 30 dates with one value", "normalize: turned every value missing (1,200 of 1,200"]),
    (_zero_factor, [("normalize", A.Normalization())], ["normalize: turned every value missing"]),
])
def test_steps_that_empty_everything_warn_and_summaries_say_no_data(factor, steps, expected):
    results, messages = _run(factor(), steps)
    for text in expected:
        assert any(m.startswith(text) for m in messages), messages
    ic = results["ic"].summary()
    assert (ic["n_dates"] == 0).all() and (ic["note"] == "no data").all()
    q = results["quantile"].summary()
    assert (q["note"] == "no data").all()
    assert q["annualized_return"].isna().all()  # never 0.0 pretending to be a return
    fr = results["factor_return"].summary()
    assert (fr["note"] == "no data").all() and fr["annualized_return"].isna().all()
    assert results["ic"].coverage["cells"].iloc[-1] == 0


def test_step_emptying_some_dates_names_step_and_counts():
    rng = np.random.default_rng(2)
    factor = pd.DataFrame(rng.normal(size=(len(DATES), len(IDS))), index=DATES, columns=IDS)
    factor.iloc[4, :5] = np.nan
    results, messages = _run(factor, [("blank", _BlankDates([3, 4, 7]))])
    lost = 2 * len(IDS) + (len(IDS) - 5)
    assert messages == ["blank: left 3 of 30 dates with no value ({:,} of {:,} cells dropped)".format(
        lost, factor.count().sum())]
    cov = results["ic"].coverage
    assert list(cov.index) == ["input", "blank"]
    assert cov.loc["blank", "dates_emptied"] == 3 and cov.loc["blank", "lost"] == lost
    # the analysis over the remaining dates is a real one
    assert "note" not in results["ic"].summary().columns


def test_quantile_summary_says_which_end_q1_holds():
    rng = np.random.default_rng(3)
    factor = pd.DataFrame(rng.normal(size=(len(DATES), len(IDS))), index=DATES, columns=IDS)
    for ascending, first in ((False, "largest"), (True, "smallest")):
        fa = A.FactorAssayer()
        fa.append(("quantile", A.QuantileReturnAnalysis(quantile=5)))
        q = fa.analysis(factor, _returns(), ascending=ascending, periods=[1])["quantile"].summary()
        assert q.loc[("P_1", "q1"), "holds"] == first
        assert q.loc[("P_1", "top_minus_bottom"), "holds"] == "q1 - q5"


@settings(max_examples=40, deadline=None)
@given(st.integers(1, 12), st.integers(1, 9), st.data())
def test_coverage_account_matches_direct_counts(rows, cols, data):
    shape = (rows, cols)
    before = np.where(np.array(data.draw(st.lists(st.booleans(), min_size=rows * cols, max_size=rows * cols)))
                      .reshape(shape), np.nan, 1.5)
    after = before.copy()
    drop = np.array(data.draw(st.lists(st.booleans(), min_size=rows * cols, max_size=rows * cols))).reshape(shape)
    after[drop] = np.nan
    idx = pd.bdate_range("2021-01-04", periods=rows)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DataCoverageWarning)
        acc = CoverageAccount(pd.DataFrame(before, index=idx))
        acc.step("s", pd.DataFrame(after, index=idx))
    table = acc.to_frame()
    had, has = ~np.isnan(before), ~np.isnan(after)
    assert table.loc["input", "cells"] == had.sum() and table.loc["s", "cells"] == has.sum()
    assert table.loc["s", "lost"] == (had & ~has).sum()
    assert table.loc["s", "dates_emptied"] == (had.any(axis=1) & ~has.any(axis=1)).sum()
    assert table.loc["s", "dates_with_values"] == has.any(axis=1).sum()


def test_unknown_ids_warn_at_evaluation(small_store):
    known = list(ostrel.all_instruments(type="CS")["order_book_id"][:3])
    with pytest.warns(DataCoverageWarning, match=r"1 of 4 requested instruments .*999999\.XSHG"):
        values = zarnik.execute_factor(zarnik.parse("close / DELAY(close, 1)"), known + ["999999.XSHG"],
                                       "2021-06-01", "2021-08-31")
    assert values["999999.XSHG"].isna().all() and values[known].notna().any().all()


def test_store_path_expands_home(tmp_path, monkeypatch, small_store):
    home = tmp_path / "home"
    (home / "data").mkdir(parents=True)
    shutil.copy(small_store, home / "data" / "m.duckdb")
    monkeypatch.setenv("HOME", str(home))
    try:
        assert ostrel.init("~/data/m.duckdb") == home / "data" / "m.duckdb"
        assert len(ostrel.get_trading_dates("2021-03-01", "2021-03-31")) > 15
        monkeypatch.setenv("OSTREL_DATA", "~/data/m.duckdb")
        assert ostrel.init() == home / "data" / "m.duckdb"
    finally:
        ostrel.init(small_store)


def test_analyze_without_style_exposures_skips_style_steps(small_store, tmp_path, capsys):
    from zarnik.cli import main

    path = tmp_path / "nostyles.duckdb"
    shutil.copy(small_store, path)
    con = duckdb.connect(str(path))
    con.execute("DELETE FROM styles")
    con.close()
    report = tmp_path / "r.html"
    try:
        rc = main(["analyze", "-(close / DELAY(close, 5) - 1)", "--start", "2021-03-01", "--end", "2022-03-31",
                   "--periods", "1,5", "--data", str(path), "--report", str(report), "--quiet"])
    finally:
        ostrel.init(small_store)
    captured = capsys.readouterr()
    assert rc == 0
    assert "no style exposures" in captured.err and "skipping the style analysis" in captured.err
    assert report.exists()
