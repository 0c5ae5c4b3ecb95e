"""The alpha library: every alpha against an independent pandas formulation of the paper's text,
and each intended difference of convention on its own."""

import warnings

import numpy as np
import pandas as pd
import pytest

import zarnik
from zarnik import alphas, operators as ops, rolling
from zarnik.formula import FormulaError, parse

from pandas_alphas import Reference, decay_linear, load_panel, ts_argmax, ts_rank

START, END = "2022-03-01", "2022-06-30"

# Alphas whose values rank or compare quantities with many mathematically equal values (correlations
# of ranks over 2-3 dates are often exactly +-1 or +-0.5, covariances of ranks repeat): both sides
# compute those with rounding errors of their own, so ties are broken differently on some cells.
# They must agree on most cells; every other alpha must agree on every cell.
TIE_SENSITIVE = {
    "alpha013", "alpha015", "alpha016", "alpha031", "alpha050", "alpha067", "alpha068", "alpha071", "alpha075",
    "alpha076", "alpha078", "alpha079", "alpha081", "alpha085", "alpha088", "alpha092", "alpha094", "alpha096", "alpha097",
    "alpha098",
}
# RANK of CORR over 2 dates: the correlation is +-1 on every cell, its rank is all ties.
SIGN_ONLY = {"alpha045"}


@pytest.fixture(scope="module")
def market(small_store):
    import ostrel

    ids = sorted(ostrel.all_instruments(type="CS")["order_book_id"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = alphas.evaluate("all", ids, START, END, progress=False)
        data = load_panel(ids, "2021-01-01", END)
    return ids, got, data


def test_every_formula_parses_with_its_paper_text():
    assert len(alphas.names("alpha101")) == 101
    for name in alphas.names():
        a = alphas.get(name)
        assert a.paper and a.formula
        assert isinstance(a.factor(), zarnik.interface.AbstractFactor)
    assert alphas.get("alpha1") is alphas.get("Alpha#1") is alphas.get("alpha001")
    with pytest.raises(KeyError, match="unknown alpha"):
        alphas.get("alpha102")
    assert set(alphas.families()) >= {"alpha101", "demo", "momentum", "reversal", "volatility", "liquidity", "size"}
    from zarnik.report.job import DEMO_FORMULAS

    assert {n: alphas.get(n).formula for n in DEMO_FORMULAS} == DEMO_FORMULAS


def test_all_alphas_evaluate_over_a_generated_market(market):
    ids, got, _ = market
    dates = zarnik.engine._trading_dates(__import__("ostrel"), START, END)
    for name in alphas.names():
        frame = got[name]
        assert frame.shape == (len(dates), len(ids)), name
        assert np.isfinite(frame.to_numpy()).mean() > 0.3, name


@pytest.mark.parametrize("name", alphas.names("alpha101"))
def test_alpha_matches_the_pandas_formulation(market, name):
    _, got, data = market
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = Reference(dict(data)).run(alphas.get(name).paper).loc[START:END]
    a, b = got[name].to_numpy(), want.to_numpy()
    assert a.shape == b.shape
    fa, fb = np.isfinite(a), np.isfinite(b)
    assert fb.mean() > 0.3
    assert (fa != fb).mean() <= 0.005, "missing values differ on {:.2%} of cells".format((fa != fb).mean())
    both = fa & fb
    same = np.abs(a[both] - b[both]) <= 1e-8 * np.maximum(1.0, np.abs(b[both]))
    if name in SIGN_ONLY:
        assert (np.sign(a[both]) == np.sign(b[both])).mean() > 0.97
    elif name in TIE_SENSITIVE:
        assert same.mean() > 0.75, "{:.1%} of cells agree".format(same.mean())
    else:
        assert same.all(), "{} of {} cells differ, worst {}".format(
            (~same).sum(), same.size, np.abs(a[both] - b[both]).max())


# ---- the intended differences of convention, one by one ----------------------------------------

def _series(values):
    return pd.DataFrame({"x": np.asarray(values, dtype=float)})


def test_ts_rank_is_zero_based_over_the_window_newest_highest_among_ties():
    x = np.array([3.0, 1.0, 2.0, 2.0, np.nan, 5.0])
    got = rolling.ts_rank(x, 3)
    # windows (3,1,2) (1,2,2) (2,2,NaN) (2,NaN,5): today's value counted against the others
    np.testing.assert_array_equal(got, [1 / 3, 2 / 3, 2 / 3, 1 / 3])
    np.testing.assert_array_equal(ts_rank(_series(x), 3)["x"].to_numpy()[2:], got)
    # a percentile rank in (0, 1] (rank(pct=True)) differs by 1/d where there are no ties
    pct = _series(x).rolling(3).rank(pct=True)["x"].to_numpy()
    assert pct[2] - got[0] == pytest.approx(1 / 3)


def test_ts_argmax_is_the_zero_based_position_oldest_first():
    x = np.array([5.0, 7.0, 7.0, 1.0, 0.0])
    got = rolling.ts_argmax(x, 3)
    np.testing.assert_array_equal(got, [1.0, 0.0, 0.0])  # first of tied maxima; 0 = oldest date of the window
    np.testing.assert_array_equal(ts_argmax(_series(x), 3)["x"].to_numpy()[2:], got)
    np.testing.assert_array_equal(rolling.ts_argmin(x, 3), [0.0, 2.0, 2.0])


def test_fractional_windows_are_floored_and_the_written_number_is_kept():
    f = parse("TS_RANK(close, 3.82)")
    g = parse("TS_RANK(close, 3)")
    assert f.shift == g.shift == 2
    assert f.expr == g.expr  # the same computation: the window is the whole number 3
    assert "floor(3.82)" in repr(f) and "floor(3.82)" in repr(f.expr[1][1])
    lag = parse("DELAY(close, 1.9)")
    assert lag.shift == 1 and "floor(1.9)" in repr(lag)
    assert parse("DELTA(close, 1.5)").shift == 1
    with pytest.raises(FormulaError, match="outside 1..100000"):
        parse("MA(close, 0.9)")


def test_caret_is_refused_and_points_to_the_power_operator():
    with pytest.raises(FormulaError, match=r"'\^' is not allowed at column 13: write \*\* for a power"):
        parse("RANK(close) ^ 2")
    with pytest.raises(FormulaError, match=r"\*\*"):
        parse("(close > 1) ^ (open > 1)")
    # on nodes in Python, ^ keeps its documented logical-xor meaning
    c = zarnik.Factor("close")
    assert ((c > 1) ^ (c > 2)).expr[0] is np.logical_xor
    assert parse("close ** 2").expr[0] is np.power


def test_stddev_and_covariance_are_population_moments():
    x = np.array([1.0, 2.0, 4.0, 8.0])
    y = np.array([2.0, 1.0, 0.0, 5.0])
    assert rolling.std(x, 4)[0] == pytest.approx(np.std(x, ddof=0))
    assert rolling.covariance(4, x, y)[0] == pytest.approx(np.cov(x, y, ddof=0)[0, 1])


def test_decay_linear_weights_today_highest():
    x = np.array([1.0, 2.0, 6.0])
    assert rolling.wma(x, 3)[0] == pytest.approx((1 * 1 + 2 * 2 + 3 * 6) / 6)
    assert decay_linear(_series(x), 3)["x"].iloc[-1] == pytest.approx((1 * 1 + 2 * 2 + 3 * 6) / 6)


def test_industry_levels_all_use_the_first_level_classification():
    for text in ("INDNEUTRALIZE(close, industry)",):
        assert parse(text).expr == ops.INDNEUTRALIZE(zarnik.Factor("close"), "subindustry").expr
    paper = alphas.get("alpha048").paper
    assert "IndClass.subindustry" in paper and "industry)" in alphas.get("alpha048").formula


def test_min_with_a_number_of_days_is_the_time_series_minimum():
    a = alphas.get("alpha029")
    assert a.paper.startswith("(min(product(") and a.formula.startswith("TS_MIN(PRODUCT(")


def test_rank_of_a_market_with_inf_and_nan_stays_within_unit_interval(market):
    ids, _, _ = market
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        frame = zarnik.execute_factor(parse("RANK(1 / (close - low))"), ids, START, END)
    v = frame.to_numpy()
    fin = v[~np.isnan(v)]
    assert fin.size and ((fin > 0) & (fin <= 1)).all()


# ---- the leaves --------------------------------------------------------------------------------

def test_leaves_against_raw_and_adjusted_bars(market):
    import ostrel

    ids, _, data = market
    got = zarnik.execute_factors({k: zarnik.Factor(k) for k in ("vwap", "returns", "cap", "turnover_rate")},
                                 ids, START, END)
    for k in ("vwap", "returns", "cap", "turnover_rate"):
        np.testing.assert_allclose(got[k].to_numpy(), data[k].loc[START:END].to_numpy(), rtol=1e-12,
                                   equal_nan=True, err_msg=k)
    # vwap lies between low and high (both back-adjusted the same way)
    hi, lo = data["high"].loc[START:END].to_numpy(), data["low"].loc[START:END].to_numpy()
    v = got["vwap"].to_numpy()
    ok = np.isfinite(v)
    assert ok.mean() > 0.5 and (v[ok] <= hi[ok] * (1 + 1e-9)).all() and (v[ok] >= lo[ok] * (1 - 1e-9)).all()
    adv = zarnik.execute_factor(parse("adv20"), ids, START, END)
    np.testing.assert_allclose(adv.to_numpy(), data["total_turnover"].rolling(20).mean().loc[START:END].to_numpy(),
                               rtol=1e-10, equal_nan=True)
    assert repr(parse("ADV(5)")) == repr(parse("adv5"))


def test_industry_codes_follow_the_assignment_in_force(market):
    from zarnik.analysis import assayer
    from zarnik.leaves import IndustryFactor

    ids, _, _ = market
    codes = IndustryFactor("citics_2019").execute(ids, START, END)
    names = assayer._load_industry_data(ids, codes.index, "citics_2019")
    lookup = {n: i for i, n in enumerate(sorted(assayer.get_all_industry_data("citics_2019")
                                                 ["first_industry_name"].dropna().unique()))}
    want = names.map(lookup).unstack().reindex(index=codes.index, columns=ids)
    np.testing.assert_array_equal(codes.to_numpy(), want.to_numpy(dtype=float))


def test_cli_lists_and_shows_alphas(capsys):
    from zarnik import cli

    assert cli.main(["alphas", "list"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert len(out) == len(alphas.names()) and out[0].startswith("alpha001")
    assert cli.main(["alphas", "list", "--family", "momentum"]) == 0
    assert all(" momentum " in line for line in capsys.readouterr().out.splitlines())
    assert cli.main(["alphas", "show", "alpha101"]) == 0
    shown = capsys.readouterr().out
    assert "((close - open) / ((high - low) + .001))" in shown and "formula:" in shown
    # a user error prints one line and gives exit code 2 (no traceback)
    assert cli.main(["alphas", "show", "alpha999"]) == 2
    err = capsys.readouterr().err
    assert "unknown alpha" in err and "Traceback" not in err


@pytest.mark.parametrize("trim", [True, False])
def test_each_alpha_alone_has_the_bits_of_the_batch(market, monkeypatch, trim):
    # the batch loads the fields over the longest look-back of all 101 and computes each node only
    # over the rows its consumers read; alone, an alpha loads its own look-back: same bits either way
    from zarnik import engine

    ids, got, _ = market
    monkeypatch.setattr(engine, "_TRIM", trim)
    for name in alphas.names("alpha101")[::4]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            alone = alphas.get(name).evaluate(ids, START, END, progress=False)
        np.testing.assert_array_equal(alone.to_numpy(), got[name].to_numpy(), err_msg=name)


def test_nodes_are_computed_over_the_rows_their_consumers_read():
    from zarnik import engine

    g = engine._Graph()
    short = g.add(parse("RANK(close - open)").expr)
    long_ = g.add(parse("SUM(close, 250) + DELAY(open, 3)").expr)
    need, takes = engine._rows_plan(g, [short, long_], 100)
    close, opn = (next(i for i, k in enumerate(g.keys) if g.kind[i] == "leaf" and k.name == f) for f in ("close", "open"))
    diff = next(i for i in g.children[short])
    assert need[short] == need[long_] == need[diff] == 100 and takes[short] == 100
    assert need[close] == 100 + 249 and need[opn] == 100 + 249  # open: shifted to align with the sum
    # a callable the engine does not know reads whole values
    h = engine._Graph()
    user = h.add((lambda x: x, (zarnik.Factor("close").expr,)))
    need, takes = engine._rows_plan(h, [user], 100)
    assert takes[user] is None and need[h.children[user][0]] == engine._ALL_ROWS
