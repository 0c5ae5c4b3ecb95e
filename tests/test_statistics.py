"""Result statistics against independent formulations: statsmodels (HAC t, OLS alpha/beta),
scipy (moments, Spearman, standard errors), alphalens-reloaded (rank autocorrelation, per-group IC,
quantile turnover) and brute-force loops."""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats

from zarnik.analysis import assayer
from zarnik.analysis import statistics as zs

sm = pytest.importorskip("statsmodels.api")
alphalens = pytest.importorskip("alphalens", reason="alphalens-reloaded is not installed (test extra)")


@settings(max_examples=40, deadline=None)
@given(st.integers(0, 10_000), st.integers(5, 200), st.integers(0, 12))
def test_newey_west_t_matches_statsmodels(seed, n, lags):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.normal(size=n)) * 0.05 + rng.normal(0.02, 0.1, size=n)  # autocorrelated
    lags = min(lags, n - 1)
    fit = sm.OLS(x, np.ones(n)).fit(cov_type="HAC", cov_kwds={"maxlags": lags, "use_correction": True})
    t, se = zs.newey_west_t(x, lags)
    assert t == pytest.approx(fit.tvalues[0], rel=1e-9)
    assert se == pytest.approx(fit.bse[0], rel=1e-9)


def test_newey_west_without_lags_is_the_plain_t():
    x = np.random.default_rng(3).normal(0.01, 0.1, 120)
    assert zs.newey_west_t(x, 0)[0] == pytest.approx(stats.ttest_1samp(x, 0).statistic, rel=1e-12)


@pytest.mark.parametrize("n,period,expected", [(1, 1, 0), (50, 1, 3), (100, 1, 4), (250, 20, 19), (10, 30, 9)])
def test_newey_west_lags_cover_the_overlap(n, period, expected):
    assert zs.newey_west_lags(n, period) == expected


@settings(max_examples=30, deadline=None)
@given(st.integers(0, 10_000), st.booleans())
def test_ic_statistics_against_scipy_and_statsmodels(seed, gaps):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2020-01-01", periods=300)
    ic = pd.DataFrame({"P_1": rng.standard_t(4, 300) * 0.05, "P_5": rng.normal(0.03, 0.1, 300)}, index=dates)
    if gaps:
        ic.iloc[rng.integers(0, 300, 30), 0] = np.nan
    table = zs.ic_statistics(ic)
    for col in ic.columns:
        x = ic[col].dropna().to_numpy()
        assert table.loc[col, "ic_skew"] == pytest.approx(stats.skew(x), rel=1e-9)
        assert table.loc[col, "ic_kurtosis"] == pytest.approx(stats.kurtosis(x), rel=1e-9)
        assert table.loc[col, "t_stat"] == pytest.approx(stats.ttest_1samp(x, 0).statistic, rel=1e-10)
        lags = int(table.loc[col, "nw_lags"])
        fit = sm.OLS(x, np.ones(x.size)).fit(cov_type="HAC", cov_kwds={"maxlags": lags, "use_correction": True})
        assert table.loc[col, "t_stat_nw"] == pytest.approx(fit.tvalues[0], rel=1e-9)
        assert table.loc[col, "n_dates"] == x.size


@pytest.mark.parametrize("values", [[0.0, 0.0, 7.2e-122], [1e-200, -1e-200, 3e-200, 0.0], [5e-320, 0.0, 0.0]])
def test_ic_statistics_shape_is_undefined_when_the_moments_underflow(values):
    # The deviations are positive but their third/fourth powers underflow to zero.
    table = zs.ic_statistics(pd.DataFrame({"P_1": values}))
    assert np.isnan(table.loc["P_1", "ic_skew"]) and np.isnan(table.loc["P_1", "ic_kurtosis"])
    assert table.loc["P_1", "n_dates"] == len(values)


def test_monthly_ic_against_a_loop():
    rng = np.random.default_rng(5)
    dates = pd.bdate_range("2021-01-04", "2021-06-30")
    ic = pd.DataFrame({"P_1": rng.normal(size=len(dates))}, index=dates)
    ic.loc["2021-03", "P_1"] = np.nan  # a month without IC stays in the table as NaN
    monthly = zs.monthly_ic(ic)
    assert [str(p) for p in monthly.index] == ["2021-01", "2021-02", "2021-03", "2021-04", "2021-05", "2021-06"]
    for p, v in monthly["P_1"].items():
        vals = [x for d, x in zip(dates, ic["P_1"]) if d.year == p.year and d.month == p.month and not np.isnan(x)]
        if vals:
            assert v == pytest.approx(sum(vals) / len(vals), rel=1e-12)
        else:
            assert np.isnan(v)


def _panel(seed: int, n: int = 60, s: int = 30):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-01-04", periods=n, name="datetime")
    cols = pd.Index(["S{:03d}".format(i) for i in range(s)], name="order_book_id")
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(n, s)), index=dates, columns=cols)
    base = rng.normal(size=s)
    factor = pd.DataFrame(base + np.cumsum(rng.normal(scale=0.3, size=(n, s)), axis=0)
                          + 3 * returns.shift(-1).fillna(0).values, index=dates, columns=cols)
    factor[rng.random((n, s)) < 0.08] = np.nan
    return dates, cols, returns, factor


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_rank_autocorrelation_equals_alphalens(seed):
    dates, cols, returns, factor = _panel(seed)
    ours = zs.rank_autocorrelation(factor, [1, 3])
    fd = factor.stack().rename("factor").to_frame()
    fd.index = fd.index.set_names(["date", "asset"])
    for p in (1, 3):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            theirs = alphalens.performance.factor_rank_autocorrelation(fd, period=p)
        theirs.index = pd.DatetimeIndex(theirs.index).tz_localize(None)
        np.testing.assert_allclose(ours["P_{}".format(p)].reindex(theirs.index).to_numpy(), theirs.to_numpy(),
                                   rtol=1e-10, atol=1e-12, equal_nan=True)


@pytest.mark.parametrize("rank", [True, False])
def test_grouped_ic_against_scipy_per_group(rank):
    dates, cols, returns, factor = _panel(4, n=25, s=40)
    fwd = returns.shift(-1)
    mi = pd.MultiIndex.from_product([dates, cols], names=["datetime", "order_book_id"])
    long = pd.DataFrame({"factor": factor.to_numpy().ravel(), "P_1": fwd.to_numpy().ravel()}, index=mi)
    industry = {c: ["银行", "电子", "医药生物"][i % 3] for i, c in enumerate(cols)}
    industry[cols[0]] = "孤股"  # a one-member group has no IC
    labels = np.array([industry[c] for c in mi.get_level_values("order_book_id")], dtype=object)
    out = zs.grouped_ic(long, labels, rank=rank)
    fn = stats.spearmanr if rank else stats.pearsonr
    seen = 0
    for (d, g), part in long.groupby([mi.get_level_values("datetime"), labels]):
        part = part.dropna()
        value = out["P_1"].get((d, g), np.nan)  # a (date, group) without any factor value has no row
        if len(part) < 2:
            assert np.isnan(value)
            continue
        assert value == pytest.approx(fn(part["factor"], part["P_1"])[0], rel=1e-10, abs=1e-13)
        seen += 1
    assert seen > 50


def test_grouped_ic_equals_alphalens_by_group():
    dates, cols, returns, factor = _panel(6, n=40, s=45)
    prices = (1 + returns).cumprod()
    groups = {c: "G{}".format(i % 3) for i, c in enumerate(cols)}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        clean = alphalens.utils.get_clean_factor_and_forward_returns(
            factor.stack(), prices, groupby=groups, periods=(1,), quantiles=None, bins=1, max_loss=1.0)
        theirs = alphalens.performance.factor_information_coefficient(clean, by_group=True).iloc[:, 0]
    fwd = (prices.shift(-1) / prices - 1)
    mi = pd.MultiIndex.from_product([dates, cols], names=["datetime", "order_book_id"])
    long = pd.DataFrame({"factor": factor.to_numpy().ravel(), "P_1": fwd.to_numpy().ravel()}, index=mi)
    labels = np.array([groups[c] for c in mi.get_level_values("order_book_id")], dtype=object)
    ours = zs.grouped_ic(long, labels, rank=True)["P_1"]
    theirs.index = pd.MultiIndex.from_arrays(
        [pd.DatetimeIndex(theirs.index.get_level_values(0)).tz_localize(None), theirs.index.get_level_values(1)])
    np.testing.assert_allclose(ours.reindex(theirs.index).to_numpy(), theirs.to_numpy(), rtol=1e-10, atol=1e-13)


@settings(max_examples=30, deadline=None)
@given(st.integers(0, 10_000))
def test_alpha_beta_matches_statsmodels(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(10, 300))
    x = rng.normal(0.0005, 0.01, n)
    y = 0.0003 + 0.4 * x + rng.normal(0, 0.005, n)
    y[rng.integers(0, n, 3)] = np.nan
    ok = ~np.isnan(y)
    fit = sm.OLS(y[ok], sm.add_constant(x[ok])).fit()
    ab = zs.alpha_beta(pd.Series(y), pd.Series(x))
    assert ab["alpha"] == pytest.approx(fit.params[0], rel=1e-8, abs=1e-14)
    assert ab["beta"] == pytest.approx(fit.params[1], rel=1e-8)
    assert ab["alpha_t"] == pytest.approx(fit.tvalues[0], rel=1e-7, abs=1e-10)
    assert ab["beta_t"] == pytest.approx(fit.tvalues[1], rel=1e-8)
    assert ab["alpha_annualized"] == pytest.approx((1 + fit.params[0]) ** 252 - 1, rel=1e-8, abs=1e-12)
    assert ab["n"] == ok.sum()


def _run(seed: int, industry: bool = True, periods=(1, 3)):
    dates, cols, returns, factor = _panel(seed, n=80, s=50)
    pipeline = assayer.FactorAssayer()
    ind = {c: ["银行", "电子", "医药生物", "传媒"][i % 4] for i, c in enumerate(cols)}
    pipeline.append(("ic", assayer.ICAnalysis(rank_ic=True, industry_classification=ind if industry else None)))
    pipeline.append(("quantile", assayer.QuantileReturnAnalysis(quantile=5)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = pipeline.analysis(factor, returns, periods=list(periods), ascending=True)
    return out, factor, returns, ind


def test_analysers_attach_per_industry_ic_and_rank_autocorrelation():
    out, factor, returns, ind = _run(7)
    ic = out["ic"]
    by = ic.ic_by_industry
    assert list(by.index.names) == ["datetime", "industry"]
    assert set(by.index.get_level_values("industry")) == set(ind.values())
    # rank IC with ascending=True negates the factor; within a group and date it is the negated Spearman
    d = factor.index[10]
    members = [c for c, g in ind.items() if g == "电子"]
    fwd = ((1 + returns).cumprod().shift(-1) / (1 + returns).cumprod() - 1).loc[d, members]
    f = factor.loc[d, members]
    ok = f.notna() & fwd.notna()
    assert by.loc[(d, "电子"), "P_1"] == pytest.approx(-stats.spearmanr(f[ok], fwd[ok])[0], rel=1e-10)
    summary = ic.summary()
    for col in ("t_stat_nw", "ic_skew", "ic_kurtosis"):
        assert summary[col].notna().all()
    assert ic.ic_industry_summary.index.names == ["period", "industry"]
    q = out["quantile"]
    np.testing.assert_allclose(q.factor_rank_autocorrelation["P_3"].to_numpy(),
                               zs.rank_autocorrelation(factor, [3])["P_3"].to_numpy(), equal_nan=True)
    assert list(q.factor_rank_autocorrelation.columns) == ["P_1", "P_3"]


@pytest.mark.parametrize("how", ["write inputs", "pickle", "assign"])
def test_quantile_statistics_computed_on_first_read_from_the_inputs_as_they_were(how):
    import pickle

    dates, cols, returns, factor = _panel(11, n=60, s=30)
    want_ac = zs.rank_autocorrelation(factor.copy(), [1, 3])
    want_uni = returns.reindex(index=factor.index, columns=factor.columns)
    step = assayer.QuantileReturnAnalysis(quantile=5)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        q = step.analysis(factor, returns, [1, 3])
        held = q.quantile_detail.notna().to_numpy()
        want_uni = pd.Series(np.nanmean(np.where(held, want_uni.to_numpy(), np.nan), axis=1), index=factor.index)
    if how == "write inputs":  # the caller reuses its frames after the analysis
        factor.iloc[:, :] = 0.0
        returns.iloc[:, :] = 1.0
    elif how == "pickle":
        q = pickle.loads(pickle.dumps(q))
    else:
        q.universe_return = "mine"
        assert q.universe_return == "mine"
        want_uni = None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got_ac = q.factor_rank_autocorrelation
    pd.testing.assert_frame_equal(got_ac, want_ac, check_names=False)
    if want_uni is not None:
        np.testing.assert_allclose(q.universe_return.to_numpy(), want_uni.to_numpy(), rtol=1e-12, equal_nan=True)


def test_universe_return_and_quantile_standard_errors():
    out, factor, returns, _ = _run(8, industry=False, periods=(1,))
    q = out["quantile"]
    detail = q.quantile_detail
    # brute force: mean return on t of the instruments labelled on t
    for t in (5, 30, 79):
        d = detail.index[t]
        held = [c for c in detail.columns if isinstance(detail.loc[d, c], str)]
        assert q.universe_return.loc[d] == pytest.approx(returns.loc[d, held].mean(), rel=1e-12)
    daily = q.quantile_daily_returns
    means = q.quantile_mean_returns
    for tag in ("q1", "q5"):
        x = daily.xs(tag, level="tag")["P_1"].to_numpy()[1:]  # the first date holds nothing
        assert means.loc[("P_1", tag), "mean_return"] == pytest.approx(x.mean(), rel=1e-10)
        assert means.loc[("P_1", tag), "mean_return_se"] == pytest.approx(stats.sem(x), rel=1e-10)
        # daily group return of P_1 = mean return of its members (labels of the day)
        d = detail.index[40]
        members = [c for c in detail.columns if detail.loc[d, c] == tag]
        assert daily.loc[(tag, d), "P_1"] == pytest.approx(returns.loc[d, members].mean(), rel=1e-9)
    s = q.summary()
    tmb = s.loc[("P_1", "top_minus_bottom")]
    y = daily.xs("q1", level="tag")["P_1"] - daily.xs("q5", level="tag")["P_1"]
    fit = sm.OLS(y.to_numpy()[1:], sm.add_constant(q.universe_return.to_numpy()[1:])).fit()
    assert tmb["beta"] == pytest.approx(fit.params[1], rel=1e-7)
    assert tmb["alpha_t"] == pytest.approx(fit.tvalues[0], rel=1e-6)
    assert s["mean_return_se"].notna().all()


def test_quantile_turnover_of_every_group_equals_alphalens():
    out, factor, returns, _ = _run(9, industry=False, periods=(1,))
    q = out["quantile"]
    labels = q.quantile_detail.stack().dropna()  # labels of date t come from the factor of t-1
    quantile_factor = labels.map(lambda t: int(str(t)[1:])).rename("factor_quantile")
    quantile_factor.index = quantile_factor.index.set_names(["date", "asset"])
    mean_turnover = q.quantile_mean_turnover
    for k in range(1, 6):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            theirs = alphalens.performance.quantile_turnover(quantile_factor, k, period=1)
        ours = pd.DataFrame(q.quantile_turnover)["P_1"].xs("q{}".format(k), level="tag")
        theirs.index = pd.DatetimeIndex(theirs.index).tz_localize(None)
        common = theirs.dropna().index[1:]
        np.testing.assert_allclose(ours.reindex(common).to_numpy(), theirs.reindex(common).to_numpy(), rtol=1e-12)
        assert mean_turnover.loc["q{}".format(k), "P_1"] == pytest.approx(ours.mean(), rel=1e-12)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 4), st.integers(-3, 3)), min_size=1, max_size=80))
def test_group_ranks_equal_scipy_rankdata_with_ties(pairs):
    from zarnik import _core

    gid = np.array([g for g, _ in pairs], dtype=float)
    values = np.array([v for _, v in pairs], dtype=float)
    pct = _core.cross_section(values[None, :], "rank", gid[None, :])[0]
    for g in np.unique(gid):
        members = gid == g
        got = pct[members] * members.sum()  # percentile rank -> average 1-based rank
        np.testing.assert_allclose(got, stats.rankdata(values[members]), rtol=0, atol=1e-12)


def test_ic_summary_has_a_row_per_period_and_industry():
    out, factor, returns, ind = _run(7, industry=True)
    ic = out["ic"]
    summary = ic.summary()
    groups = sorted(set(ind.values()))
    periods = list(ic.ic.columns)
    expected = periods + ["{} | {}".format(p, g) for p in periods for g in groups]
    assert list(summary.index) == expected
    # each industry row is the statistics of that industry's per-date IC, computed independently here
    for p in periods:
        for g in groups:
            x = ic.ic_by_industry.xs(g, level="industry")[p].dropna().to_numpy()
            row = summary.loc["{} | {}".format(p, g)]
            assert row["n_dates"] == x.size
            assert row["ic_mean"] == pytest.approx(x.mean(), rel=1e-12)
            assert row["t_stat"] == pytest.approx(stats.ttest_1samp(x, 0.0).statistic, rel=1e-9)
            assert row["positive_share"] == pytest.approx((x > 0).mean())


def test_ic_summary_without_industries_has_period_rows_only():
    out, *_ = _run(7, industry=False)
    assert list(out["ic"].summary().index) == list(out["ic"].ic.columns)
