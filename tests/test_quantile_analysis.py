"""QuantileReturnAnalysis against a pandas reference written from the documented algorithm."""
from __future__ import annotations

import types
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import ostrel
from zarnik.analysis import assayer

BENCH = "000300.XSHG"


class Recorder:
    """Stands in for the result class: keeps the keyword arguments it was built with."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs


@pytest.fixture(autouse=True)
def _collaborators(monkeypatch):
    monkeypatch.setattr(assayer, "QuantileReturnAnalysisResult", Recorder, raising=False)
    if not hasattr(assayer, "_get_datetime_freq"):
        monkeypatch.setattr(assayer, "_get_datetime_freq", lambda index: "1d", raising=False)
    monkeypatch.setattr(
        ostrel,
        "instruments",
        lambda oid: types.SimpleNamespace(type="INDX") if oid == BENCH else
        (types.SimpleNamespace(type="CS") if oid == "000001.XSHE" else None),
        raising=False,
    )


def fake_price(prices: pd.Series):
    """ostrel.get_price substitute serving one benchmark's close prices (index: date)."""
    calls = []

    def get_price(order_book_id, start_date=None, end_date=None, frequency=None, fields=None, expect_df=True):
        calls.append(dict(order_book_id=order_book_id, start_date=start_date, end_date=end_date,
                          frequency=frequency, fields=fields))
        s = prices[(prices.index.date >= start_date) & (prices.index.date <= end_date)]
        idx = pd.MultiIndex.from_arrays([[order_book_id] * len(s), s.index], names=["order_book_id", "date"])
        return pd.DataFrame({fields[0]: s.values}, index=idx)

    get_price.calls = calls
    return get_price


# ---------------------------------------------------------------------------
# reference formulation


def ref_my_quantile(arr, q=1, labels=None):
    res = np.zeros(arr.size, dtype="O")
    msk = ~np.isnan(arr)
    x = arr[msk]
    res[~msk] = np.nan
    if x.size == 0:
        return res
    ls = np.linspace(0, 1, q + 1)
    idx = ls * (x.size - 1)
    fraction = idx % 1
    pos = idx.astype(int)
    _x = np.sort(x)
    a = _x[pos]
    b = np.roll(_x, shift=-1)[pos]
    bins = a + (b - a) * fraction
    bins[0] -= 1
    res[msk] = labels[np.digitize(x, bins, True) - 1]
    return res


def reference(factor_data, returns, periods, quantile, ascending, bench_daily=None):
    n = len(factor_data)
    unavailable = [p for p in periods if p >= n]
    periods = [p for p in periods if p not in unavailable]
    factor = factor_data.shift(1)
    tags = np.array(["q{}".format(i) for i in range(1, quantile + 1)])
    cum_returns = returns.add(1).cumprod().reindex(factor.index, columns=factor.columns)
    quantile_returns = pd.DataFrame(
        index=pd.MultiIndex.from_product([tags, cum_returns.index], names=["tag", "datetime"]))
    quantile_turnover = quantile_returns.copy()
    multi_index = pd.MultiIndex.from_product([factor.index, factor.columns], names=["datetime", "order_book_id"])
    df_sample = pd.DataFrame(index=multi_index)
    shape = cum_returns.shape
    data_length = len(multi_index)
    ranked = factor.rank(method="first", ascending=ascending, axis=1)
    tags_value = np.array([ref_my_quantile(row, q=quantile, labels=tags) for row in ranked.values], dtype=object)
    cum_value = cum_returns.values
    div_value = cum_returns.shift(1, fill_value=1).values

    for period in periods:
        period_tags = df_sample.copy()
        period_returns = df_sample.copy()
        for lv in range(1, period + 1):
            _tags = np.repeat(tags_value[lv::period], period, axis=0)
            _tags = np.roll(np.resize(_tags, shape), shift=lv, axis=0)
            _tags[:lv] = np.nan
            _div = np.repeat(div_value[lv::period], period, axis=0)
            _div = np.roll(np.resize(_div, shape), shift=lv, axis=0)
            _div[:lv] = np.nan
            period_tags["lv{}".format(lv)] = np.resize(_tags, data_length)
            period_returns["lv{}".format(lv)] = np.resize(cum_value / _div, data_length)

        def level_returns(lv_returns):
            labels = period_tags[lv_returns.name]
            keep = labels.notna()
            _returns = lv_returns[keep].groupby([labels[keep].values, lv_returns[keep].index.get_level_values(0)]).mean()
            _returns = _returns.unstack(0)
            filled = _returns.ffill()
            pct = filled / filled.shift(1) - 1  # documented pct_change: carry missing values forward
            pct.iloc[::period] = _returns.iloc[::period] - 1
            return pct.unstack()

        def turnover(lv_components):
            out = {}
            for label, comp in lv_components.dropna().groupby(lambda x: lv_components[x]):
                members = comp.reset_index().groupby("datetime")["order_book_id"].agg(set)
                prev = None
                for date, cur in members.items():
                    out[(label, date)] = 0.0 if prev is None else len(cur - prev) / len(cur)
                    prev = cur
            return pd.Series(out, dtype=float)

        col = "P_{}".format(period)
        quantile_returns[col] = period_returns.apply(level_returns).mean(axis=1)
        quantile_turnover[col] = period_tags.apply(turnover).mean(axis=1)

    quantile_returns = quantile_returns.fillna(0)
    ls = (quantile_returns.loc[tags[0]] - quantile_returns.loc[tags[-1]]).add(1).cumprod().sub(1)
    excess = None
    if bench_daily is not None:
        bvalues = bench_daily.values[:, None]
        excess = quantile_returns.groupby(level="tag").apply(
            lambda s: (s - bvalues + 1).prod(axis=0) ** (252 / len(s)) - 1)
    cum = quantile_returns.groupby(level="tag", group_keys=False).apply(lambda x: x.add(1).cumprod().sub(1))
    annual = cum.groupby(level="tag").apply(lambda s: (s.iloc[-1] + 1) ** (252 / len(s)) - 1)
    detail = pd.DataFrame(data=tags_value, index=factor.index, columns=factor.columns)
    bench = None if bench_daily is None else bench_daily.add(1).cumprod().sub(1)
    return dict(quantile_turnover=quantile_turnover, quantile_returns=cum, quantile_detail=detail,
                benchmark_return=bench, top_minus_bottom_returns=ls, quantile_annualized_returns=annual,
                quantile_excess_annulized_returns=excess)


def assert_frames(got, want, what):
    if want is None:
        assert got is None, what
        return
    assert isinstance(got, type(want)), what
    pd.testing.assert_index_equal(got.index, want.index, exact=False, obj=what)
    if isinstance(want, pd.DataFrame):
        assert list(got.columns) == list(want.columns), what
    g = np.asarray(got, dtype=float)
    w = np.asarray(want, dtype=float)
    np.testing.assert_allclose(g, w, rtol=1e-10, atol=1e-12, err_msg=what)


def assert_labels(got, want):
    # a matrix of Python objects (label text or NaN), not pandas' string dtype
    assert all(dt == object for dt in got.dtypes)
    pd.testing.assert_index_equal(got.index, want.index)
    pd.testing.assert_index_equal(got.columns, want.columns)
    g, w = got.to_numpy(), want.to_numpy()
    wn = pd.isna(w)
    assert (pd.isna(g) == wn).all()
    assert (g[~wn] == w[~wn]).all()
    assert all(type(v) is float for v in g[pd.isna(g)])


# ---------------------------------------------------------------------------
# random panels


@st.composite
def panels(draw):
    n = draw(st.integers(6, 22))
    s = draw(st.integers(1, 12))
    extra = draw(st.integers(0, 4))  # returns run beyond the last factor date
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-03-01", periods=n + extra, name="datetime")
    cols = pd.Index(["S{:02d}".format(i) for i in range(s)], name="order_book_id")
    values = rng.normal(size=(n, s))
    if draw(st.booleans()):
        values = np.round(values * 2) / 2  # many ties
    values[rng.random((n, s)) < 0.15] = np.nan
    if n > 3 and draw(st.booleans()):
        values[rng.integers(0, n)] = np.nan  # a whole-NaN date
    late = rng.integers(0, s)
    start = rng.integers(0, n)
    values[:start, late] = np.nan  # a late-listed instrument
    factor = pd.DataFrame(values, index=dates[:n], columns=cols)
    rets = rng.normal(scale=0.02, size=(n + extra, s))
    rets[rng.random(rets.shape) < 0.1] = np.nan
    rets[:start, late] = np.nan
    returns = pd.DataFrame(rets, index=dates, columns=cols)
    if draw(st.booleans()):
        returns = returns.drop(columns=cols[-1])  # an instrument without returns
    periods = draw(st.sampled_from([[1], [1, 3], (2, 5), [3, 1, 30], [4]]))
    quantile = draw(st.sampled_from([1, 3, 5, 10]))
    ascending = draw(st.booleans())
    return factor, returns, periods, quantile, ascending


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(panels(), st.booleans())
def test_matches_reference(monkeypatch, case, with_benchmark):
    factor, returns, periods, quantile, ascending = case
    prices = pd.Series(np.cumprod(1 + np.random.default_rng(1).normal(scale=0.01, size=len(factor))) * 3000,
                       index=factor.index)
    prices.iloc[[2, 3]] = np.nan  # days without a benchmark price
    prices = prices.dropna()
    monkeypatch.setattr(ostrel, "get_price", fake_price(prices), raising=False)
    step = assayer.QuantileReturnAnalysis(quantile=quantile, benchmark=BENCH if with_benchmark else None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = step.analysis(factor, returns, periods, ascending=ascending).kwargs
        bench = step._load_benchmark_series(factor.index)
        want = reference(factor, returns, list(periods), quantile, ascending, bench)
    assert list(got) == ["quantile_turnover", "quantile_returns", "quantile_detail", "benchmark_return",
                         "top_minus_bottom_returns", "quantile_annualized_returns",
                         "quantile_excess_annulized_returns", "name"]
    assert got["name"] == "FactorAnalysisStep"
    assert_labels(got["quantile_detail"], want["quantile_detail"])
    for key in ("quantile_turnover", "quantile_returns", "benchmark_return", "top_minus_bottom_returns",
                "quantile_annualized_returns", "quantile_excess_annulized_returns"):
        assert_frames(got[key], want[key], key)


def test_benchmark_series_follows_prices(monkeypatch):
    dates = pd.bdate_range("2022-01-03", periods=6, name="datetime")
    prices = pd.Series([10.0, 11.0, 11.0, 12.1, 12.1], index=dates[[1, 2, 3, 4, 5]])
    prices = prices.drop(dates[3])  # no price on the fourth date
    get_price = fake_price(prices)
    monkeypatch.setattr(ostrel, "get_price", get_price, raising=False)
    step = assayer.QuantileReturnAnalysis(benchmark=BENCH)
    got = step._load_benchmark_series(dates)
    # 0 before the first price and on the first date, the last price carried over a gap
    np.testing.assert_allclose(got.values, [0, 0, 0.1, 0, 0.1, 0], atol=1e-15)
    assert got.name == BENCH
    assert get_price.calls[0]["fields"] == ["close"] and get_price.calls[0]["frequency"] == "1d"
    assert get_price.calls[0]["start_date"] == dates[0].date()


def test_missing_benchmark_prices_warn_and_drop_excess(monkeypatch):
    monkeypatch.setattr(ostrel, "get_price", lambda *a, **k: None, raising=False)
    dates = pd.bdate_range("2022-01-03", periods=8, name="datetime")
    factor = pd.DataFrame(np.arange(32.0).reshape(8, 4), index=dates, columns=list("abcd"))
    step = assayer.QuantileReturnAnalysis(quantile=2, benchmark=BENCH)
    with pytest.warns(UserWarning) as rec:
        out = step.analysis(factor, factor * 0.001, [1]).kwargs
    msg = "No price data for benchmark [{}] from {} to {}".format(BENCH, dates[0].date(), dates[-1].date())
    assert [str(w.message) for w in rec] == [msg]
    assert out["benchmark_return"] is None and out["quantile_excess_annulized_returns"] is None


@pytest.mark.parametrize("benchmark", ["000001.XSHE", "UNKNOWN"])
def test_invalid_benchmark_warns(benchmark):
    with pytest.warns(UserWarning, match=r"^Invalid benchmark: {} is not INDX order_book_id\.$".format(benchmark)):
        step = assayer.QuantileReturnAnalysis(benchmark=benchmark)
    assert step.benchmark is None and step.quantile == 5
    assert step._load_benchmark_series(pd.bdate_range("2022-01-03", periods=3)) is None


def _frame(n, s=4):
    dates = pd.bdate_range("2022-01-03", periods=n, name="datetime")
    rng = np.random.default_rng(n)
    return (pd.DataFrame(rng.normal(size=(n, s)), index=dates, columns=list("abcd")[:s]),
            pd.DataFrame(rng.normal(scale=0.01, size=(n, s)), index=dates, columns=list("abcd")[:s]))


def test_period_check():
    factor, returns = _frame(5)
    step = assayer.QuantileReturnAnalysis(quantile=2)
    with pytest.warns(UserWarning, match=r"^Invalid periods found: \[5, 7\], will ignore\.$"):
        out = step.analysis(factor, returns, [1, 5, 7]).kwargs
    assert list(out["quantile_returns"].columns) == ["P_1"]
    with pytest.raises(ValueError, match=r"^Invalid periods, must be less than 5$"):
        step.analysis(factor, returns, [5])


@pytest.mark.parametrize("m,q,sizes", [(10, 5, [2, 2, 2, 2, 2]), (7, 5, [2, 1, 1, 1, 2]), (1, 5, [1, 0, 0, 0, 0]),
                                       (2, 5, [1, 0, 0, 0, 1]), (23, 10, None), (3, 1, [3])])
@pytest.mark.parametrize("ascending", [True, False])
def test_label_sizes_and_order(m, q, sizes, ascending):
    dates = pd.bdate_range("2022-01-03", periods=2, name="datetime")
    values = np.random.default_rng(m).permutation(m).astype(float)
    factor = pd.DataFrame([values, values], index=dates, columns=["c{}".format(i) for i in range(m)])
    out = assayer.QuantileReturnAnalysis(quantile=q).analysis(factor, factor * 0, [1], ascending=ascending).kwargs
    row = out["quantile_detail"].iloc[1]
    assert out["quantile_detail"].iloc[0].isna().all()
    want = ref_my_quantile(pd.Series(values).rank(method="first", ascending=ascending).values, q,
                           np.array(["q{}".format(i) for i in range(1, q + 1)]))
    assert list(row) == list(want)
    if sizes is not None:
        assert [int((row == "q{}".format(i)).sum()) for i in range(1, q + 1)] == sizes
    # q1 holds the smallest values when ascending, the largest otherwise
    first = values[(row == "q1").to_numpy()]
    assert (first.max() <= values.min() + (2 if m > 3 else m)) if ascending else (first.min() >= values.max() - (2 if m > 3 else m))


def test_annualization_uses_true_division():
    n = 300
    dates = pd.bdate_range("2020-01-01", periods=n, name="datetime")
    factor = pd.DataFrame(np.tile([1.0, 2.0], (n, 1)), index=dates, columns=["a", "b"])
    returns = pd.DataFrame(np.tile([0.001, 0.002], (n, 1)), index=dates, columns=["a", "b"])
    out = assayer.QuantileReturnAnalysis(quantile=2).analysis(factor, returns, [1], ascending=True).kwargs
    ann = out["quantile_annualized_returns"]["P_1"]
    # q1 holds "a" from the second date on: 299 daily returns of 0.1%
    assert ann["q1"] == pytest.approx(1.001 ** (299 * 252 / n) - 1, rel=1e-12)
    assert ann["q2"] == pytest.approx(1.002 ** (299 * 252 / n) - 1, rel=1e-12)


def test_text_order_of_grouped_tables():
    factor, returns = _frame(12, 4)
    factor = pd.concat([factor] * 3, axis=1)
    factor.columns = ["c{}".format(i) for i in range(12)]
    returns = pd.concat([returns] * 3, axis=1)
    returns.columns = factor.columns
    out = assayer.QuantileReturnAnalysis(quantile=10).analysis(factor, returns, [1, 2]).kwargs
    assert list(out["quantile_annualized_returns"].index)[:3] == ["q1", "q10", "q2"]
    assert list(out["quantile_returns"].index.get_level_values("tag").unique())[:3] == ["q1", "q2", "q3"]
    assert out["quantile_returns"].index.names == ["tag", "datetime"]


@pytest.mark.parametrize("bad,exc,match", [
    (dict(factor_data=None), ValueError, "factor_data"),
    (dict(returns="daily"), ValueError, "returns"),
    (dict(periods=[0]), ValueError, "periods"),
    (dict(periods=[1.5]), ValueError, "periods"),
    (dict(quantile=0), ValueError, "quantile"),
    (dict(quantile="5"), ValueError, "quantile"),
])
def test_bad_input_raises(bad, exc, match):
    factor, returns = _frame(6)
    args = dict(factor_data=factor, returns=returns, periods=[1], quantile=3)
    args.update(bad)
    step = assayer.QuantileReturnAnalysis(quantile=args.pop("quantile"))
    with pytest.raises(exc, match=match):
        step.analysis(args["factor_data"], args["returns"], args["periods"])


def test_duplicate_return_dates_raise():
    factor, returns = _frame(6)
    returns = pd.concat([returns, returns.iloc[-1:]])
    with pytest.raises(ValueError, match="duplicate"):
        assayer.QuantileReturnAnalysis().analysis(factor, returns, [1])


@pytest.mark.parametrize("periods,as_list", [(2, [2]), ((3, 1), [3, 1]), ([1, 1, 2], [1, 2])])
def test_period_forms(periods, as_list):
    factor, returns = _frame(9)
    step = assayer.QuantileReturnAnalysis(quantile=2)
    got = step.analysis(factor, returns, periods).kwargs
    want = step.analysis(factor, returns, as_list).kwargs
    assert list(got["quantile_returns"].columns) == ["P_{}".format(p) for p in as_list]
    pd.testing.assert_frame_equal(got["quantile_returns"], want["quantile_returns"])


def test_results_do_not_depend_on_thread_count(monkeypatch):
    rng = np.random.default_rng(5)
    dates = pd.bdate_range("2022-01-03", periods=80, name="datetime")
    cols = ["S{:03d}".format(i) for i in range(60)]
    factor = pd.DataFrame(rng.normal(size=(80, 60)), index=dates, columns=cols)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(80, 60)), index=dates, columns=cols)
    outs = []
    for threads in ("1", "3"):
        monkeypatch.setenv("ZARNIK_NUM_THREADS", threads)
        outs.append(assayer.QuantileReturnAnalysis(quantile=5).analysis(factor, returns, [1, 5, 20]).kwargs)
    for key in ("quantile_turnover", "quantile_returns", "top_minus_bottom_returns", "quantile_annualized_returns"):
        pd.testing.assert_frame_equal(outs[0][key], outs[1][key], check_exact=True)


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 80), st.integers(1, 12), st.booleans(), st.integers(0, 2**32 - 1))
def test_labels_match_reference(m, q, ascending, seed):
    rng = np.random.default_rng(seed)
    values = np.round(rng.normal(size=m), 1)  # ties broken by column order
    values[rng.random(m) < 0.2] = np.nan
    dates = pd.bdate_range("2022-01-03", periods=2, name="datetime")
    factor = pd.DataFrame([values, values], index=dates, columns=["c{}".format(i) for i in range(m)])
    out = assayer.QuantileReturnAnalysis(quantile=q).analysis(factor, factor * 0, [1], ascending=ascending).kwargs
    tags = np.array(["q{}".format(i) for i in range(1, q + 1)])
    want = ref_my_quantile(factor.iloc[0].rank(method="first", ascending=ascending).to_numpy(), q, tags)
    got = out["quantile_detail"].iloc[1].to_numpy()
    assert (pd.isna(got) == pd.isna(want)).all()
    assert (got[~pd.isna(want)] == want[~pd.isna(want)]).all()


@pytest.mark.parametrize("m", [300, 5000])
@pytest.mark.parametrize("ascending", [True, False])
def test_labels_of_wide_rows_that_are_hard_to_sort_match_reference(m, ascending):
    # a few base values, many nudged in their lowest bits only, signed zeros and infinities:
    # ties broken by column order, values apart only in their last bits kept apart
    rng = np.random.default_rng(m)
    base = rng.choice(np.array([-2.5, -1e-3, 1e-300, 0.75, 3.0, 1e12]), size=m)
    values = np.where(rng.random(m) < 0.5, (base.view(np.int64) + rng.integers(0, 4, size=m)).view(np.float64), base)
    special = rng.random(m)
    values[special < 0.05] = 0.0
    values[(special >= 0.05) & (special < 0.1)] = -0.0
    values[(special >= 0.1) & (special < 0.12)] = np.inf
    values[(special >= 0.12) & (special < 0.14)] = -np.inf
    values[(special >= 0.14) & (special < 0.2)] = np.nan
    dates = pd.bdate_range("2022-01-03", periods=2, name="datetime")
    factor = pd.DataFrame([values, values], index=dates, columns=["c{}".format(i) for i in range(m)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = assayer.QuantileReturnAnalysis(quantile=7).analysis(factor, factor * 0, [1], ascending=ascending).kwargs
    tags = np.array(["q{}".format(i) for i in range(1, 8)])
    want = ref_my_quantile(factor.iloc[0].rank(method="first", ascending=ascending).to_numpy(), 7, tags)
    got = out["quantile_detail"].iloc[1].to_numpy()
    assert (pd.isna(got) == pd.isna(want)).all()
    assert (got[~pd.isna(want)] == want[~pd.isna(want)]).all()
