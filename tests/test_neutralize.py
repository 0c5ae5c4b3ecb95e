"""Neutralization: constructor rules, regressor layout, residuals against a pandas/numpy reference."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ostrel
from zarnik.analysis import assayer


@pytest.fixture
def mod(monkeypatch):
    """The assayer module with the pipeline helpers present (fallbacks only when missing)."""
    if not hasattr(assayer, "VALID_INDUSTRY_SOURCE"):
        monkeypatch.setattr(assayer, "VALID_INDUSTRY_SOURCE", ("citics_2019", "sws"), raising=False)
    if not hasattr(assayer, "_is_date_frequency_index"):
        monkeypatch.setattr(assayer, "_is_date_frequency_index",
                            lambda index: bool((index == index.normalize()).all()), raising=False)
    return assayer


class Client:
    """Test double for the market-data calls of a neutralization."""

    def __init__(self, monkeypatch, module, style_df=None, category=None):
        self.style_df, self.category = style_df, category
        self.style_calls, self.category_calls = [], []
        monkeypatch.setattr(ostrel, "get_style_factor_exposure", self.get_style_factor_exposure, raising=False)
        monkeypatch.setattr(module, "get_all_industry_category", self.get_all_industry_category, raising=False)

    def get_style_factor_exposure(self, **kwargs):
        self.style_calls.append(kwargs)
        return self.style_df

    def get_all_industry_category(self, source):
        self.category_calls.append(source)
        return self.category


def lstsq_residuals(endog, exog):
    out = np.full(endog.shape, np.nan)
    for t in range(endog.shape[0]):
        ok = np.isfinite(endog[t]) & np.isfinite(exog[t]).all(axis=1)
        if not ok.any():
            continue
        x, y = exog[t][ok], endog[t][ok]
        out[t, ok] = y - x @ np.linalg.lstsq(x, y, rcond=None)[0] if x.shape[1] else y
    return out


def reference(df, neut, style_df, cat):
    """The documented regressor construction in pandas, dates before the first change date as code -1."""
    index, ids = df.index, df.columns.tolist()
    blocks = []
    if neut.style_neutralize:
        wide = style_df.unstack("order_book_id").reindex(index)
        blocks += [wide[name].reindex(columns=ids).to_numpy(float) for name in style_df.columns.tolist()]
    if neut.industry:
        codes = cat.reindex(columns=ids, fill_value=-1).reindex(index=index, method="ffill").fillna(-1).to_numpy()
        blocks += [(codes == j).astype(float) for j in range(int(codes.max()) + 1)]
    for f in neut.other_factors or []:
        if f is not None and len(f):
            blocks.append(f.reindex(index=index, columns=ids).to_numpy(float))
    if neut.add_const:
        blocks.append(np.ones(df.shape))
    exog = np.stack(blocks, axis=2) if blocks else np.empty(df.shape + (0,))
    res = lstsq_residuals(df.to_numpy(float), exog)
    return pd.DataFrame(res, index=index, columns=pd.Index(ids, name="order_book_id"))


def random_case(seed, t, n, n_style, n_ind, late_start=False):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2023-03-01", periods=t, name="datetime")
    ids = [f"{i:06d}.XSHE" for i in rng.permutation(n)]
    df = pd.DataFrame(rng.normal(size=(t, n)), index=dates, columns=pd.Index(ids, name="order_book_id"))
    df[rng.random(df.shape) < 0.15] = np.nan
    if t > 2:
        df.iloc[rng.integers(t)] = np.nan  # a whole-NaN date
    style_ids = ids[: max(1, n - 1)] + ["999999.XSHG"]  # one instrument without exposures, one extra
    mi = pd.MultiIndex.from_product([style_ids, dates], names=["order_book_id", "date"])
    style_df = pd.DataFrame(rng.normal(size=(len(mi), n_style)), index=mi,
                            columns=[f"style{j}" for j in range(n_style)])
    style_df = style_df.iloc[rng.permutation(len(mi))[: int(len(mi) * 0.9)]]  # missing rows, shuffled
    style_df[rng.random(style_df.shape) < 0.05] = np.nan
    # change dates: the first before the frame, or (late_start) after its first date, so that the
    # dates before it have no industry; one inside (on a non-trading day); one after the frame
    first = dates[0] + pd.Timedelta(days=int(rng.integers(1, 4)) if late_start else -int(rng.integers(0, 10)))
    change = pd.DatetimeIndex(sorted({first, dates[t // 2] - pd.Timedelta(days=1), dates[-1] + pd.Timedelta(days=3)}))
    cat_ids = sorted(ids[1:]) + ["888888.XSHG"]  # the first instrument is not classified
    cat = pd.DataFrame(rng.integers(0, n_ind, size=(len(change), len(cat_ids))), index=change, columns=cat_ids)
    return rng, df, style_df, cat


def assert_frames_close(got, expected):
    assert got.index.equals(expected.index)
    assert got.columns.tolist() == expected.columns.tolist()
    assert got.columns.name == "order_book_id"
    np.testing.assert_array_equal(np.isnan(got.to_numpy()), np.isnan(expected.to_numpy()))
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=0, atol=1e-9)


# Each example installs fresh test doubles, so sharing the fixtures between examples is safe.
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**32 - 1), t=st.integers(1, 9), n=st.integers(2, 25), n_style=st.integers(1, 3),
       n_ind=st.integers(1, 5), late_start=st.booleans(),
       industry=st.sampled_from(["citics_2019", "sws", None, ""]),
       with_style=st.booleans(), with_others=st.booleans(), add_const=st.sampled_from([None, True, False]))
def test_process_matches_reference(mod, monkeypatch, seed, t, n, n_style, n_ind, late_start, industry, with_style,
                                   with_others, add_const):
    rng, df, style_df, cat = random_case(seed, t, n, n_style, n_ind, late_start)
    others = None
    if with_others:
        extra = pd.DataFrame(rng.normal(size=(t + 2, n + 1)),
                             index=pd.bdate_range(df.index[0] - pd.offsets.BDay(1), periods=t + 2),
                             columns=list(df.columns[::-1]) + ["777777.XSHE"])
        extra[rng.random(extra.shape) < 0.1] = np.nan
        others = [None, extra, pd.DataFrame(), extra ** 2]
    if industry is None and not with_style and others is None:
        others = []
    client = Client(monkeypatch, mod, style_df, cat)
    neut = mod.Neutralization(industry=industry, style_factors="all" if with_style else None,
                              other_factors=others, add_const=add_const)
    before = df.copy()
    got = neut.process(df)
    pd.testing.assert_frame_equal(df, before)
    assert_frames_close(got, reference(df, neut, style_df, cat))
    assert client.category_calls == ([industry] if industry else [])
    assert len(client.style_calls) == (1 if with_style else 0)


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, dict(industry="citics_2019", style_neutralize=True, style_factors=None, other_factors=None, add_const=0)),
        (dict(industry=None), dict(industry=None, style_neutralize=True, style_factors=None, add_const=1)),
        (dict(industry="", style_factors=None, other_factors=[]),
         dict(industry="", style_neutralize=False, style_factors=None, other_factors=[], add_const=0)),
        (dict(industry=None, style_factors=None, other_factors=[]),
         dict(style_neutralize=False, other_factors=[], add_const=1)),
        (dict(industry="sws", style_factors=["beta", "size"], add_const=True),
         dict(industry="sws", style_neutralize=True, style_factors=["beta", "size"], add_const=1)),
        (dict(industry=None, style_factors=[], add_const=0), dict(style_neutralize=False, style_factors=[], add_const=0)),
        (dict(style_factors="beta"), dict(style_neutralize=True, style_factors="beta")),
    ],
)
def test_constructor_attributes(mod, kwargs, expected):
    neut = mod.Neutralization(**kwargs)
    for name, value in expected.items():
        assert getattr(neut, name) == value, name
        assert name in vars(neut)
    assert isinstance(neut, mod.FactorPreprocessor)
    assert type(neut.add_const) is int


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(industry="abc"), "industry: expect one of ('citics_2019', 'sws'), got abc"),
        (dict(industry="abc", style_factors=None), "industry: expect one of ('citics_2019', 'sws'), got abc"),
        (dict(industry=None, style_factors=None, other_factors=None),
         "Expect at least one of [industry, style_factors, other_factors] not None, but get both None."),
        (dict(industry=None, style_factors=None), "Expect at least one of"),
    ],
)
def test_constructor_errors(mod, kwargs, message):
    with pytest.raises(ValueError) as info:
        mod.Neutralization(**kwargs)
    assert str(info.value).startswith(message)


@pytest.fixture
def recorder(mod, monkeypatch):
    calls = []

    def fake(endog, exog):
        calls.append((np.array(endog), np.array(exog)))
        return np.zeros(np.shape(endog))

    monkeypatch.setattr(mod, "calc_residuals", fake)
    return calls


def small_frame():
    dates = pd.DatetimeIndex(["2024-01-02", "2024-01-03", "2024-01-04"], name="datetime")
    return pd.DataFrame(np.arange(12.0).reshape(3, 4), index=dates,
                        columns=pd.Index(["a", "b", "c", "d"], name="order_book_id"))


def test_regressor_layout_and_client_calls(mod, monkeypatch, recorder):
    df = small_frame()
    mi = pd.MultiIndex.from_product([["d", "c", "b", "a"], df.index], names=["order_book_id", "date"])
    style_df = pd.DataFrame({"size": np.arange(12.0), "beta": -np.arange(12.0)}, index=mi)
    # industry codes 0..3 exist in the table but only 0 and 2 are used by a..d: three dummies (0, 1, 2)
    cat = pd.DataFrame({"a": [0, 2], "b": [2, 2], "c": [0, 0], "e": [3, 3]},
                       index=pd.DatetimeIndex(["2024-01-03", "2024-01-04"]))
    client = Client(monkeypatch, mod, style_df, cat)
    user = pd.DataFrame({"b": [7.0, 8.0, 9.0]}, index=df.index)
    neut = mod.Neutralization(industry="sws", style_factors=["size", "beta"], other_factors=[user], add_const=True)
    out = neut.process(df)
    assert client.category_calls == ["sws"]
    (call,) = client.style_calls
    assert call["order_book_ids"] == ["a", "b", "c", "d"] and call["factors"] == ["size", "beta"]
    assert call["start_date"] == df.index[0] and call["end_date"] == df.index[-1]
    (endog, exog), = recorder
    np.testing.assert_array_equal(endog, df.to_numpy())
    assert exog.shape == (3, 4, 2 + 3 + 1 + 1)
    # style block in the client's column order; instrument a is level value 3 -> rows 9..11
    np.testing.assert_array_equal(exog[:, 0, 0], [9.0, 10.0, 11.0])
    np.testing.assert_array_equal(exog[:, 3, 1], [-0.0, -1.0, -2.0])
    # 2024-01-02 precedes the first change date: no industry on that date
    np.testing.assert_array_equal(exog[0, :, 2:5], 0.0)
    np.testing.assert_array_equal(exog[1, :, 2:5], [[1, 0, 0], [0, 0, 1], [1, 0, 0], [0, 0, 0]])
    np.testing.assert_array_equal(exog[2, :, 2:5], [[0, 0, 1], [0, 0, 1], [1, 0, 0], [0, 0, 0]])
    np.testing.assert_array_equal(exog[:, :, 5], [[np.nan, 7, np.nan, np.nan], [np.nan, 8, np.nan, np.nan],
                                                  [np.nan, 9, np.nan, np.nan]])
    np.testing.assert_array_equal(exog[:, :, 6], 1.0)
    assert out.columns.tolist() == ["a", "b", "c", "d"] and out.columns.name == "order_book_id"
    assert out.index.equals(df.index)


def test_dates_before_first_change_date_have_no_industry(mod, monkeypatch):
    df = small_frame()
    cat = pd.DataFrame({"a": [0], "b": [1], "c": [0], "d": [1]}, index=pd.DatetimeIndex(["2024-01-04"]))
    Client(monkeypatch, mod, None, cat)
    out = mod.Neutralization(industry="citics_2019", style_factors=None, add_const=True).process(df)
    values = df.to_numpy()
    # constant only on the first two dates, constant + two dummies (= group means) on the last
    np.testing.assert_allclose(out.iloc[:2].to_numpy(), values[:2] - values[:2].mean(axis=1, keepdims=True))
    np.testing.assert_allclose(out.iloc[2].to_numpy(), [-1.0, -1.0, 1.0, 1.0])


def test_all_dates_before_classification_means_no_dummies(mod, monkeypatch, recorder):
    df = small_frame()
    cat = pd.DataFrame({"a": [1]}, index=pd.DatetimeIndex(["2030-01-01"]))
    Client(monkeypatch, mod, None, cat)
    mod.Neutralization(industry="citics_2019", style_factors=None).process(df)
    assert recorder[0][1].shape == (3, 4, 0)


def test_constant_only_is_demeaning(mod, monkeypatch):
    df = small_frame()
    df.iloc[1, 2] = np.nan
    Client(monkeypatch, mod)
    out = mod.Neutralization(industry=None, style_factors=None, other_factors=[]).process(df)
    expected = df.sub(df.mean(axis=1), axis=0)
    np.testing.assert_allclose(out.to_numpy(), expected.to_numpy(), atol=1e-12)


def test_intraday_stamps_take_the_exposures_of_their_date(mod, monkeypatch, recorder):
    stamps = pd.DatetimeIndex(["2024-01-02 09:31", "2024-01-02 09:32", "2024-01-03 09:31"], name="datetime")
    df = pd.DataFrame(np.ones((3, 2)), index=stamps, columns=pd.Index(["a", "b"], name="order_book_id"))
    mi = pd.MultiIndex.from_product([pd.DatetimeIndex(["2024-01-02", "2024-01-03"]), ["a", "b"]],
                                    names=["date", "order_book_id"])
    style_df = pd.DataFrame({"beta": [1.0, 2.0, 3.0, 4.0]}, index=mi)
    Client(monkeypatch, mod, style_df)
    monkeypatch.setattr(mod, "_is_date_frequency_index", lambda index: False, raising=False)
    mod.Neutralization(industry=None).process(df)
    np.testing.assert_array_equal(recorder[0][1][:, :, 0], [[1, 2], [1, 2], [3, 4]])


@pytest.mark.parametrize(
    "style_df, match",
    [
        (pd.DataFrame({"beta": [1.0]}, index=pd.Index(["a"], name="order_book_id")), "order_book_id, date"),
        (pd.DataFrame({"beta": [1.0, 2.0]}, index=pd.MultiIndex.from_tuples(
            [("a", pd.Timestamp("2024-01-02"))] * 2, names=["order_book_id", "date"])), "duplicate"),
    ],
)
def test_malformed_style_exposures_raise(mod, monkeypatch, style_df, match):
    Client(monkeypatch, mod, style_df)
    with pytest.raises(ValueError, match=match):
        mod.Neutralization(industry=None).process(small_frame())


def test_package_regression_and_a_substituted_one_see_the_same_regressors(mod, monkeypatch):
    """The package's calc_residuals is solved date by date; a substitute gets the whole cube."""
    from zarnik.analysis import ols

    rng, df, style_df, cat = random_case(3, 7, 20, 3, 4, late_start=True)
    Client(monkeypatch, mod, style_df, cat)
    user = pd.DataFrame(rng.normal(size=df.shape), index=df.index, columns=df.columns)
    neut = mod.Neutralization(industry="sws", other_factors=[user], add_const=True)
    direct = neut.process(df)
    monkeypatch.setattr(mod, "calc_residuals", lambda endog, exog: ols.calc_residuals(endog, exog))
    pd.testing.assert_frame_equal(neut.process(df), direct)


@pytest.mark.parametrize("others", [[np.ones((3, 4))], pd.DataFrame(np.ones((3, 4)))])
def test_user_factors_must_be_frames(mod, monkeypatch, others):
    Client(monkeypatch, mod)
    with pytest.raises(TypeError, match="other_factors: expected a list of DataFrames"):
        mod.Neutralization(industry=None, style_factors=None, other_factors=others).process(small_frame())


def test_result_does_not_depend_on_thread_count(mod, monkeypatch):
    rng, df, style_df, cat = random_case(8, 120, 400, 3, 6)  # large enough to be split over threads
    Client(monkeypatch, mod, style_df, cat)
    neut = mod.Neutralization(industry="sws")
    monkeypatch.setenv("ZARNIK_NUM_THREADS", "1")
    one = neut.process(df)
    monkeypatch.setenv("ZARNIK_NUM_THREADS", "3")
    pd.testing.assert_frame_equal(neut.process(df), one)


def test_steps_run_in_a_pipeline(mod, monkeypatch):
    from zarnik.analysis import analysis_result

    rng, df, style_df, cat = random_case(21, 12, 30, 2, 4)
    Client(monkeypatch, mod, style_df, cat)
    monkeypatch.setattr(ostrel, "get_style_factor_exposure",
                        lambda *args, **kwargs: style_df if kwargs else style_df.iloc[:, :1], raising=False)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=df.shape), index=df.index, columns=df.columns)
    assayer_ = mod.FactorAssayer()
    assayer_.append(("neutral", mod.Neutralization(industry="sws")))
    assayer_.append(("fr", mod.FactorReturnAnalysis()))
    assayer_.append(("style", mod.QuantileStyleAnalysis(quantile=3)))
    result = assayer_.analysis(df, returns, periods=(1, 2), keep_preprocess_result=True)
    assert list(result) == ["neutral", "fr", "style"]
    assert_frames_close(result["neutral"], reference(df, mod.Neutralization(industry="sws"), style_df, cat))
    assert isinstance(result["fr"], analysis_result.FactorReturnAnalysisResult) and result["fr"].name == "fr"
    assert result["fr"].factor_returns.columns.tolist() == ["P_1", "P_2"]
    assert isinstance(result["style"], analysis_result.QuantileStyleAnalysisResult)
    assert result["style"].quantile_exposure.columns.tolist() == ["style0"]
