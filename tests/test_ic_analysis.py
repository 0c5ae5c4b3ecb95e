"""ICAnalysis against a pandas/scipy reference written from the documented algorithm."""
from __future__ import annotations

import warnings
from collections import ChainMap

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from scipy import stats

from zarnik.analysis import assayer


class Recorder:
    """Stands in for the result class: keeps the keyword arguments it was built with."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs


@pytest.fixture(autouse=True)
def _result_class(monkeypatch):
    monkeypatch.setattr(assayer, "ICAnalysisResult", Recorder, raising=False)


# ---------------------------------------------------------------------------
# reference formulation


def ref_wrapper(rank_ic):
    func = stats.spearmanr if rank_ic else stats.pearsonr

    def wrapper(fs, rs):
        mask = ~(np.isnan(fs) | np.isnan(rs))
        if mask.sum() > 1:
            return func(fs[mask], rs[mask])
        return 0, 0

    return wrapper


def ref_calc_ic(rank_ic, factor, ret_table, ret_fields):
    func = stats.spearmanr if rank_ic else stats.pearsonr
    result = np.full((len(factor), len(ret_fields), 2), fill_value=0, dtype=float)
    for i, field in enumerate(ret_fields):
        returns = ret_table[field]
        mask = ~(np.isnan(factor) | np.isnan(returns))
        for j, (f, r, m) in enumerate(zip(factor, returns, mask)):
            # fewer than two complete pairs: no coefficient under either method
            result[j, i] = (np.nan, np.nan) if m.sum() < 2 else tuple(func(f[m], r[m]))
    return result[:, :, 0], result[:, :, 1]


def return_fields(columns):
    return [c for c in columns if str(c).startswith("P_")]


def ref_decay(df, ic, max_decay, ic_func):
    if not max_decay:
        return None
    fields = return_fields(df.columns)
    decay_list = [ic.copy().assign(decay=0).set_index("decay", append=True)]
    for d in range(1, max_decay):
        _f = df[fields].unstack("order_book_id").shift(-d).stack("order_book_id")
        _f["factor"] = df["factor"]
        _f = _f.dropna()
        rows = {}
        for date, g in _f.groupby(level="datetime"):
            f = g["factor"].to_numpy()
            rows[date] = [ic_func(g[c].to_numpy(), f)[0] for c in fields]
        ret = pd.DataFrame.from_dict(rows, orient="index", columns=fields, dtype=float)
        ret.index.name = "datetime"
        ret["decay"] = d
        decay_list.append(ret.set_index("decay", append=True))
    return pd.concat(decay_list).sort_index()


def ref_industry(df, industry, ic_func, loader=None):
    if industry is None:
        return None
    fields = return_fields(df.columns)
    if isinstance(industry, str):
        labels = loader(order_book_ids=df.index.get_level_values("order_book_id").unique(),
                        dates=df.index.get_level_values("datetime").unique(), source=industry)
    else:
        series = pd.Series(industry) if isinstance(industry, dict) else industry.copy()
        obids = df.index.get_level_values("order_book_id")
        series = series.reindex(obids.unique()).fillna("Unknown")
        labels = pd.Series(index=df.index, data=series[obids].values)
    out = {}
    for name, g in df.groupby(labels):
        fs = g["factor"].to_numpy()
        out[name] = [ic_func(g[c].to_numpy(), fs)[0] for c in fields]
    return pd.DataFrame.from_dict(out, orient="index", columns=fields, dtype=float)


def reference(factor_data, returns, periods, rank_ic, ascending, industry=None, max_decay=None, loader=None):
    ret_table = {}
    mask = ~np.isnan(returns)
    cumprod = (returns.fillna(0) + 1).cumprod().ffill()
    cumprod = cumprod.where(mask, np.nan)
    index_ = factor_data.index.intersection(returns.index).rename("datetime")
    for p in periods:
        ret_table["P_{}".format(p)] = ((cumprod.shift(-p) / cumprod).reindex(index_) - 1).values
    factor_data = factor_data.reindex(index_, columns=returns.columns)
    if rank_ic and ascending:
        factor_data = factor_data * -1
    df = pd.DataFrame(
        dict(ChainMap({k: np.concatenate(v) for k, v in ret_table.items()},
                      {"factor": np.concatenate(factor_data.values)})),
        index=pd.MultiIndex.from_product([index_, factor_data.columns], names=["datetime", "order_book_id"]))
    fields = list(ret_table)
    ic_a, p_a = ref_calc_ic(rank_ic, factor_data.values, ret_table, fields)
    ic = pd.DataFrame(ic_a, index=index_, columns=fields)
    ic_p = pd.DataFrame(p_a, index=index_, columns=fields)
    wrapper = ref_wrapper(rank_ic)
    return dict(ic=ic, ic_p_value=ic_p, ic_decay=ref_decay(df, ic, max_decay, wrapper),
                ic_industry_distribute=ref_industry(df, industry, wrapper, loader)), df


def assert_frames(got, want, what, rtol=1e-10):
    if want is None:
        assert got is None, what
        return
    pd.testing.assert_index_equal(got.index, want.index, exact=False, obj=what)
    assert list(got.columns) == list(want.columns), what
    np.testing.assert_allclose(got.to_numpy(dtype=float), want.to_numpy(dtype=float), rtol=rtol, atol=1e-12,
                               err_msg=what)


# ---------------------------------------------------------------------------
# random panels


@st.composite
def panels(draw):
    n = draw(st.integers(3, 20))
    s = draw(st.integers(1, 10))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    all_dates = pd.bdate_range("2021-03-01", periods=n + 8)
    fstart = draw(st.integers(0, 3))
    extra = draw(st.integers(0, 5))
    cols = ["S{:02d}".format(i) for i in range(s)]
    values = rng.normal(size=(n, s))
    if draw(st.booleans()):
        values = np.round(values * 2) / 2  # ties
    values[rng.random((n, s)) < 0.15] = np.nan
    if n > 3 and draw(st.booleans()):
        values[rng.integers(0, n)] = np.nan  # a whole-NaN date
    late, start = rng.integers(0, s), rng.integers(0, n)
    values[:start, late] = np.nan  # late-listed instrument
    factor = pd.DataFrame(values, index=all_dates[fstart:fstart + n], columns=cols)
    rdates = all_dates[: fstart + n + extra]
    rets = rng.normal(scale=0.02, size=(len(rdates), s))
    rets[rng.random(rets.shape) < 0.1] = np.nan
    if draw(st.booleans()):
        rets[:, rng.integers(0, s)] = 0.01  # a constant instrument
    returns = pd.DataFrame(rets, index=rdates, columns=cols)
    if s > 1 and draw(st.booleans()):
        returns = returns.drop(columns=cols[0])
        returns["NEW"] = rng.normal(scale=0.02, size=len(rdates))  # only in the returns
    periods = draw(st.sampled_from([[1], [1, 5], (2, 3), [20, 1]]))
    return factor, returns, periods


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(panels(), st.booleans(), st.booleans(), st.sampled_from([None, 0, 1, 4]),
       st.sampled_from([None, "dict", "series"]))
def test_matches_reference(case, rank_ic, ascending, max_decay, industry_kind):
    factor, returns, periods = case
    cols = list(factor.columns)
    industry = None
    if industry_kind == "dict":
        industry = {c: "IND{}".format(i % 3) for i, c in enumerate(cols[1:])}
    elif industry_kind == "series":
        industry = pd.Series({c: "B{}".format(i % 2) for i, c in enumerate(cols) if i % 4 != 3}, name="ind")
    step = assayer.ICAnalysis(rank_ic=rank_ic, industry_classification=industry, max_decay=max_decay)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = step.analysis(factor, returns, periods, ascending=ascending).kwargs
        want, _ = reference(factor, returns, list(periods), rank_ic, ascending, industry, max_decay)
    assert list(got) == ["ic", "ic_p_value", "ic_decay", "ic_industry_distribute", "name"]
    assert got["name"] == "FactorAnalysisStep"
    assert got["ic"].index.name == "datetime"
    for key in ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute"):
        assert_frames(got[key], want[key], key)
    if industry is not None:
        assert got["ic_industry_distribute"].industry is industry


def test_industry_from_source_uses_loader(monkeypatch):
    rng = np.random.default_rng(7)
    dates = pd.bdate_range("2022-01-03", periods=12, name="datetime")
    cols = ["A", "B", "C", "D", "E", "F"]
    factor = pd.DataFrame(rng.normal(size=(12, 6)), index=dates, columns=cols)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(12, 6)), index=dates, columns=cols)
    calls = []

    def loader(order_book_ids, dates, source="citics_2019"):
        calls.append((list(order_book_ids), list(dates), source))
        idx = pd.MultiIndex.from_product([dates, order_book_ids])
        names = np.where(np.arange(len(idx)) % 5 == 0, "X", np.where(np.arange(len(idx)) % 2, "Y", "Z"))
        s = pd.Series(names, index=idx)
        return s.iloc[3:]  # some pairs without a known industry

    monkeypatch.setattr(assayer, "_load_industry_data", loader, raising=False)
    step = assayer.ICAnalysis(rank_ic=False, industry_classification="sws")
    got = step.analysis(factor, returns, [1, 2]).kwargs["ic_industry_distribute"]
    _, df = reference(factor, returns, [1, 2], False, True)
    want = ref_industry(df, "sws", ref_wrapper(False), loader)
    assert calls[0][2] == "sws" and calls[0][0] == cols and calls[0][1] == list(dates)
    assert_frames(got, want, "industry")
    assert got.industry == "sws"


@pytest.mark.parametrize("rank_ic", [True, False])
def test_single_pair_date_is_nan_and_does_not_abort(rank_ic):
    dates = pd.bdate_range("2022-01-03", periods=4, name="datetime")
    factor = pd.DataFrame([[1.0, 2.0, 3.0], [1.0, np.nan, np.nan], [3.0, 1.0, 2.0], [1.0, 2.0, 3.0]],
                          index=dates, columns=list("abc"))
    returns = pd.DataFrame(np.array([[0.01, 0.02, 0.03]] * 4) * [[1], [2], [-1], [1]], index=dates,
                           columns=list("abc"))
    out = assayer.ICAnalysis(rank_ic=rank_ic).analysis(factor, returns, [1], ascending=False).kwargs
    assert np.isnan(out["ic"].iloc[1, 0]) and np.isnan(out["ic_p_value"].iloc[1, 0])
    assert np.isnan(out["ic"].iloc[3, 0])  # last date has no forward return
    assert np.isfinite(out["ic"].iloc[0, 0])


@pytest.mark.parametrize("rank_ic", [True, False])
@pytest.mark.parametrize("n", [2, 3, 4, 7, 50, 400])
def test_calc_ic_p_values_equal_scipy(rank_ic, n):
    rng = np.random.default_rng(n)
    f = rng.normal(size=(30, n))
    r = 0.3 * f + rng.normal(size=(30, n))
    if n > 3:
        f[5, :] = np.round(f[5, :])  # ties
        r[6, :] = 1.0  # constant returns
        f[7, : n // 2] = np.nan
    step = assayer.ICAnalysis(rank_ic=rank_ic)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ic, p = step._calc_ic(f, {"P_1": r}, ["P_1"])
        want_ic, want_p = ref_calc_ic(rank_ic, f, {"P_1": r}, ["P_1"])
    np.testing.assert_allclose(ic, want_ic, rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(p, want_p, rtol=1e-12, atol=1e-300)


@pytest.mark.parametrize("rank_ic", [True, False])
def test_wrapper(rank_ic):
    wrapper = assayer._get_ic_func(rank_ic)
    x = np.array([1.0, np.nan, 3.0, 2.0, 5.0])
    y = np.array([2.0, 1.0, np.nan, 1.0, 4.0])
    want = (stats.spearmanr if rank_ic else stats.pearsonr)(x[[0, 3, 4]], y[[0, 3, 4]])
    assert tuple(wrapper(x, y)) == tuple(want)
    assert wrapper(np.array([1.0, np.nan]), np.array([2.0, 3.0])) == (0, 0)
    assert assayer._get_ic_func() is assayer._get_ic_func(False)


def test_user_supplied_ic_func_is_called():
    rng = np.random.default_rng(3)
    dates = pd.bdate_range("2022-01-03", periods=8, name="datetime")
    factor = pd.DataFrame(rng.normal(size=(8, 5)), index=dates, columns=list("abcde"))
    returns = pd.DataFrame(rng.normal(size=(8, 5)), index=dates, columns=list("abcde"))
    step = assayer.ICAnalysis(industry_classification={"a": "X"}, max_decay=3)
    step.ic_func = lambda x, f: (float(np.nansum(x) + len(f)), 0)
    out = step.analysis(factor, returns, [1]).kwargs
    _, df = reference(factor, returns, [1], True, True)
    assert_frames(out["ic_decay"].xs(2, level="decay"),
                  ref_decay(df, out["ic"], 3, step.ic_func).xs(2, level="decay"), "decay")
    assert_frames(out["ic_industry_distribute"], ref_industry(df, {"a": "X"}, step.ic_func), "industry")


@pytest.mark.parametrize("arg,exc,msg", [
    (dict(industry_classification=3), ValueError,
     "Unsupported industry_classification type, expect one of None/str/pd.Series/dict, got type=<class 'int'>"),
    (dict(industry_classification="abc"), ValueError,
     "industry_classification: expect one of ('citics_2019', 'sws'), got abc"),
    (dict(max_decay=-1), ValueError, None),
    (dict(max_decay=2.5), ValueError, None),
])
def test_constructor_validation(arg, exc, msg):
    with pytest.raises(exc) as err:
        assayer.ICAnalysis(**arg)
    if msg is not None:
        assert str(err.value) == msg


def test_constructor_state_and_invalid_industry_attribute():
    step = assayer.ICAnalysis(industry_classification="citics_2019", max_decay=5)
    assert (step.rank_ic, step.industry, step.max_decay) == (True, "citics_2019", 5)
    assert step.ic_func is assayer._get_ic_func(True)
    assert isinstance(step, assayer.FactorAnalyser) and type(assayer.ICAnalysis) is type
    step.industry = 1.5
    idx = pd.MultiIndex.from_product([pd.bdate_range("2022-01-03", periods=2), ["a"]],
                                     names=["datetime", "order_book_id"])
    with pytest.raises(RuntimeError) as err:
        step._get_industry_data(pd.DataFrame({"factor": [1.0, 2.0]}, index=idx))
    assert str(err.value) == "Invalid industry type, expect str/dict/pd.Series, go <class 'float'> "


@pytest.mark.parametrize("bad", [
    lambda f, r: (f.values, r, [1]),
    lambda f, r: (f, None, [1]),
    lambda f, r: (f, r, [0]),
    lambda f, r: (f, r, ["x"]),
    lambda f, r: (f, pd.concat([r, r.iloc[:1]]), [1]),
])
def test_bad_analysis_input_raises(bad):
    dates = pd.bdate_range("2022-01-03", periods=5, name="datetime")
    f = pd.DataFrame(np.ones((5, 2)), index=dates, columns=["a", "b"])
    with pytest.raises(ValueError):
        assayer.ICAnalysis().analysis(*bad(f, f * 0.01))


@pytest.mark.parametrize("bad", [
    lambda f: (f[0], {"P_1": f}, ["P_1"]),
    lambda f: (f, {"P_1": f[:, :2]}, ["P_1"]),
    lambda f: (f, {"P_1": f}, ["P_2"]),
    lambda f: (f.astype(str).astype(object) + "x", {"P_1": f}, ["P_1"]),
])
def test_bad_calc_ic_input_raises(bad):
    f = np.ones((4, 3))
    with pytest.raises(ValueError):
        assayer.ICAnalysis()._calc_ic(*bad(f))


@pytest.mark.parametrize("periods,keys", [(2, ["P_2"]), ((3, 1), ["P_3", "P_1"])])
def test_period_forms(periods, keys):
    rng = np.random.default_rng(11)
    dates = pd.bdate_range("2022-01-03", periods=9, name="datetime")
    factor = pd.DataFrame(rng.normal(size=(9, 5)), index=dates, columns=list("abcde"))
    returns = pd.DataFrame(rng.normal(size=(9, 5)), index=dates, columns=list("abcde"))
    got = assayer.ICAnalysis().analysis(factor, returns, periods).kwargs["ic"]
    want, _ = reference(factor, returns, [periods] if isinstance(periods, int) else list(periods), True, True)
    assert list(got.columns) == keys
    assert_frames(got, want["ic"], "ic")


def test_results_do_not_depend_on_thread_count(monkeypatch):
    rng = np.random.default_rng(5)
    dates = pd.bdate_range("2022-01-03", periods=70, name="datetime")
    cols = ["S{:03d}".format(i) for i in range(90)]
    factor = pd.DataFrame(np.round(rng.normal(size=(70, 90)), 1), index=dates, columns=cols)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(70, 90)), index=dates, columns=cols)
    factor[factor > 1.5] = np.nan
    industry = {c: "I{}".format(i % 4) for i, c in enumerate(cols)}
    outs = []
    for threads in ("1", "3"):
        monkeypatch.setenv("ZARNIK_NUM_THREADS", threads)
        step = assayer.ICAnalysis(industry_classification=industry, max_decay=3)
        outs.append(step.analysis(factor, returns, [1, 5]).kwargs)
    for key in ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute"):
        pd.testing.assert_frame_equal(outs[0][key], outs[1][key], check_exact=True)


@pytest.mark.parametrize("rank_ic,ascending", [(True, True), (True, False), (False, True)])
def test_subclass_sees_long_table_and_ret_table(rank_ic, ascending):
    seen = {}

    class Spy(assayer.ICAnalysis):
        def _calc_ic(self, factor, ret_table, ret_fields):
            seen["calc"] = (factor, dict(ret_table), list(ret_fields))
            return super()._calc_ic(factor, ret_table, ret_fields)

        def _calc_ic_decay(self, factor_data, ic):
            seen["long"] = factor_data
            return "decay"

    rng = np.random.default_rng(2)
    dates = pd.bdate_range("2022-01-03", periods=12, name="datetime")
    factor = pd.DataFrame(rng.normal(size=(10, 4)), index=dates[:10], columns=list("abcd"))
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(12, 4)), index=dates, columns=list("bcde"))
    out = Spy(rank_ic=rank_ic).analysis(factor, returns, [1, 3], ascending=ascending).kwargs
    _, want = reference(factor, returns, [1, 3], rank_ic, ascending)
    assert out["ic_decay"] == "decay"
    pd.testing.assert_frame_equal(seen["long"], want)
    assert list(seen["long"].columns) == ["factor", "P_1", "P_3"]
    f, table, fields = seen["calc"]
    assert fields == ["P_1", "P_3"] and list(table) == fields
    np.testing.assert_array_equal(f.ravel(), want["factor"].to_numpy())
    np.testing.assert_array_equal(table["P_3"].ravel(), want["P_3"].to_numpy())


@pytest.mark.parametrize("scale", [1e-300, 1e-200, 1e-150, 1e150, 1e200, 1e300])
def test_pearson_ic_does_not_depend_on_the_scale_of_the_factor(scale):
    # squares of tiny (huge) deviations underflow (overflow); the coefficient must not
    rng = np.random.default_rng(7)
    f = rng.normal(size=(12, 40))
    r = 0.5 * f + rng.normal(size=(12, 40))
    step = assayer.ICAnalysis(rank_ic=False)
    want, _ = step._calc_ic(f, {"P_1": r}, ["P_1"])
    got, _ = step._calc_ic(f * scale, {"P_1": r}, ["P_1"])
    both, _ = step._calc_ic(f * scale, {"P_1": r * scale}, ["P_1"])
    np.testing.assert_allclose(got, want, rtol=1e-12)
    np.testing.assert_allclose(both, want, rtol=1e-12)


def _hard_rows(rng, rows, n):
    """Rows that are hard to sort: a few base values, many of them nudged in their lowest bits only
    (equal upper halves of the sort key), signed zeros, infinities and missing values."""
    base = rng.choice(np.array([-2.5, -1e-3, 1e-300, 0.75, 3.0, 1e12]), size=(rows, n))
    nudged = (base.view(np.int64) + rng.integers(0, 4, size=(rows, n))).view(np.float64)
    v = np.where(rng.random((rows, n)) < 0.5, nudged, base)
    special = rng.random((rows, n))
    v[special < 0.05] = 0.0
    v[(special >= 0.05) & (special < 0.1)] = -0.0
    v[(special >= 0.1) & (special < 0.12)] = np.inf
    v[(special >= 0.12) & (special < 0.14)] = -np.inf
    v[(special >= 0.14) & (special < 0.2)] = np.nan
    return v


@pytest.mark.parametrize("n", [300, 5000])
@pytest.mark.parametrize("seed", [0, 1])
def test_rank_ic_on_wide_rows_that_are_hard_to_sort_equals_scipy(n, seed):
    rng = np.random.default_rng(seed)
    f = _hard_rows(rng, 4, n)
    r = _hard_rows(rng, 4, n)
    r[1] = np.where(np.isnan(r[1]), np.nan, rng.normal(size=n))  # distinct returns
    step = assayer.ICAnalysis(rank_ic=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ic, p = step._calc_ic(f, {"P_1": r}, ["P_1"])
        want_ic, want_p = ref_calc_ic(True, f, {"P_1": r}, ["P_1"])
        # the screen's path: returns ranked once, the factor ranked against them
        ranked_ic, ranked_p, _ = step._rank_ic_ranked(f, step._rank_rows(r))
    np.testing.assert_allclose(ic, want_ic, rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(p, want_p, rtol=1e-12, atol=1e-300)
    assert np.array_equal(ranked_ic, ic, equal_nan=True) and np.array_equal(ranked_p, p, equal_nan=True)
