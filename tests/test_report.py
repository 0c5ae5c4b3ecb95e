"""Result summaries, figures and tear sheets against independent computations."""

from __future__ import annotations

import base64
import io
import re
from types import SimpleNamespace as NS

import matplotlib.image as mpimg
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats

from zarnik.report import ResultDisplayMixin, plot, summary, tear_sheet

DATES = pd.bdate_range("2021-01-04", periods=150, name="datetime")
TAGS = ["q1", "q2", "q3", "q4", "q5"]
PERIODS = ["P_1", "P_5"]


def make_results(seed: int = 0, with_nan: bool = True) -> dict:
    rng = np.random.default_rng(seed)
    T = len(DATES)
    ic = pd.DataFrame(rng.normal(0.04, 0.1, (T, 2)), index=DATES, columns=PERIODS)
    if with_nan:
        ic.iloc[-5:, 1] = np.nan  # the last dates of a longer horizon have no IC
    decay = pd.concat(
        [ic.assign(decay=d).set_index("decay", append=True) * (1 - d / 8) for d in range(4)]
    ).sort_index()
    ind = pd.DataFrame(rng.normal(0, 0.1, (5, 2)), index=["Bank", "Media", "Steel", "Tech", "Unknown"],
                       columns=PERIODS)
    mi = pd.MultiIndex.from_product([TAGS, DATES], names=["tag", "datetime"])
    daily = rng.normal(0.0003, 0.01, (len(mi), 2))
    qret = pd.DataFrame(daily, index=mi, columns=PERIODS).groupby(level="tag").transform(
        lambda s: (1 + s).cumprod() - 1)
    turnover = pd.DataFrame(rng.uniform(0, 1, (len(mi), 2)), index=mi, columns=PERIODS)
    tmb = pd.DataFrame((1 + rng.normal(0, 0.01, (T, 2))).cumprod(0) - 1, index=DATES, columns=PERIODS)
    ann = pd.DataFrame(rng.normal(0, 0.1, (5, 2)), index=TAGS, columns=PERIODS)
    style_index = pd.MultiIndex.from_product(
        [DATES, pd.CategoricalIndex(TAGS, dtype=pd.CategoricalDtype(TAGS))], names=["date", "quantile"])
    return {
        "ic": NS(ic=ic, ic_p_value=ic.abs(), ic_decay=decay, ic_industry_distribute=ind, name="ic"),
        "quantile": NS(quantile_turnover=turnover, quantile_returns=qret, quantile_detail=None,
                       benchmark_return=tmb["P_1"] * 0.5, top_minus_bottom_returns=tmb,
                       quantile_annualized_returns=ann, quantile_excess_annulized_returns=ann - 0.02,
                       name="quantile"),
        "factor_return": NS(factor_returns=tmb.copy(), name="factor_return"),
        "style": NS(quantile_exposure=pd.DataFrame(rng.normal(0, 1, (len(style_index), 3)), index=style_index,
                                                   columns=["beta", "size", "momentum"]), name="style"),
    }


@settings(max_examples=25, deadline=None)
@given(st.integers(0, 10_000), st.booleans())
def test_ic_summary_against_scipy(seed, with_nan):
    r = make_results(seed, with_nan)["ic"]
    s = summary(r)
    for p in PERIODS:
        x = r.ic[p].dropna().to_numpy()
        t = stats.ttest_1samp(x, 0.0)
        assert s.loc[p, "t_stat"] == pytest.approx(t.statistic, rel=1e-10)
        assert s.loc[p, "ic_mean"] == pytest.approx(x.mean(), rel=1e-12)
        assert s.loc[p, "ir"] == pytest.approx(x.mean() / x.std(ddof=1), rel=1e-10)
        assert s.loc[p, "positive_share"] == pytest.approx(np.count_nonzero(x > 0) / x.size)
        assert s.loc[p, "n_dates"] == x.size


def brute_max_drawdown(wealth: np.ndarray) -> float:
    w = np.concatenate([[1.0], wealth])
    return min(w[j] / w[:j + 1].max() - 1 for j in range(len(w)))


@settings(max_examples=25, deadline=None)
@given(st.lists(st.floats(-0.2, 0.2), min_size=3, max_size=60))
def test_factor_return_summary_against_reference(daily):
    d = np.asarray(daily)
    cum = np.cumprod(1 + d) - 1
    idx = pd.bdate_range("2022-01-03", periods=len(d))
    s = summary(NS(factor_returns=pd.DataFrame({"P_1": cum}, index=idx), name="fr")).loc["P_1"]
    assert s["max_drawdown"] == pytest.approx(brute_max_drawdown(1 + cum), abs=1e-12)
    assert s["annualized_return"] == pytest.approx(np.prod(1 + d) ** (252 / len(d)) - 1, rel=1e-9, abs=1e-12)
    daily_back = pd.Series(np.concatenate([[1.0], 1 + cum])).pct_change().dropna().to_numpy()
    vol = daily_back.std(ddof=1) * np.sqrt(252)
    assert s["volatility"] == pytest.approx(vol, rel=1e-9, abs=1e-15)
    if vol > 1e-12:
        assert s["sharpe"] == pytest.approx(daily_back.mean() * 252 / vol, rel=1e-6, abs=1e-9)


def test_quantile_and_style_summaries():
    res = make_results(3)
    q = summary(res["quantile"])
    for p in PERIODS:
        for tag in TAGS:
            assert q.loc[(p, tag), "annualized_return"] == res["quantile"].quantile_annualized_returns.loc[tag, p]
            assert q.loc[(p, tag), "excess_annualized_return"] == pytest.approx(
                res["quantile"].quantile_annualized_returns.loc[tag, p] - 0.02)
            want = res["quantile"].quantile_turnover.loc[tag, p].mean()
            assert q.loc[(p, tag), "mean_turnover"] == pytest.approx(want)
        tmb = res["quantile"].top_minus_bottom_returns[p]
        assert q.loc[(p, "top_minus_bottom"), "annualized_return"] == pytest.approx(
            (1 + tmb.iloc[-1]) ** (252 / len(tmb)) - 1)
    s = summary(res["style"])
    exp = res["style"].quantile_exposure
    for tag in TAGS:
        np.testing.assert_allclose(s.loc[tag].to_numpy(), exp.xs(tag, level="quantile").mean().to_numpy())


def test_summary_refuses_other_objects():
    with pytest.raises(TypeError, match="not an analysis result"):
        summary(pd.DataFrame())


def _pngs(html: str) -> list[bytes]:
    return [base64.b64decode(m) for m in re.findall(r'src="data:image/png;base64,([A-Za-z0-9+/=]+)"', html)]


@pytest.mark.parametrize("empty", [False, True])
def test_tear_sheet_is_self_contained_with_decodable_pngs(tmp_path, empty):
    res = make_results(1)
    if empty:  # optional parts missing: the page still renders
        res["ic"].ic_decay = None
        res["ic"].ic_industry_distribute = None
        res["quantile"].benchmark_return = None
        res["quantile"].quantile_excess_annulized_returns = None
    res["kept_frame"] = pd.DataFrame({"x": [1.0]})  # preprocessing frames are skipped
    path = tear_sheet(res, tmp_path / "sub" / "sheet.html", title="t <&>")
    html = open(path, encoding="utf-8").read()
    assert "t &lt;&amp;&gt;" in html and "http" not in html.replace("http-equiv", "")
    pngs = _pngs(html)
    # six IC panels, six quantile panels, one factor-return and one style panel
    assert len(pngs) == 6 + 6 + 1 + 1
    for png in pngs:
        img = mpimg.imread(io.BytesIO(png), format="png")
        assert img.ndim == 3 and img.shape[0] > 100 and img.shape[1] > 100
        assert img[..., :3].std() > 0  # not a blank canvas


def test_plots_and_notebook_html():
    class Shown(ResultDisplayMixin):
        def __init__(self, ns):
            self.__dict__.update(vars(ns))

    for r in make_results(2).values():
        fig = plot(r)
        assert len(fig.axes) >= 1
        shown = Shown(r)
        html = shown._repr_html_()
        assert "<table" in html and len(_pngs(html)) == 1
        pd.testing.assert_frame_equal(shown.summary(), summary(r))


def test_tear_sheet_needs_results(tmp_path):
    with pytest.raises(ValueError):
        tear_sheet({}, tmp_path / "x.html")
    with pytest.raises(TypeError):
        tear_sheet({"a": 3}, tmp_path / "x.html")


def test_result_classes_carry_the_display_methods():
    from zarnik.analysis.analysis_result import FactorReturnAnalysisResult

    r = make_results(4)["factor_return"]
    res = FactorReturnAnalysisResult(factor_returns=r.factor_returns, name="fr")
    pd.testing.assert_frame_equal(res.summary(), summary(r))
    assert len(_pngs(res._repr_html_())) == 1 and len(res.plot().axes) == 1
