"""The pipeline's bookkeeping and dispatch (zarnik.analysis.pipeline_steps), directly and through FactorAssayer."""
from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

import zarnik.exception as exception
from zarnik.analysis import assayer, pipeline_steps


@given(st.lists(st.integers(1, 30), min_size=1, max_size=6), st.permutations(range(6)))
@settings(max_examples=100, deadline=None)
def test_daily_return_span_against_a_reference(periods, order):
    dates = pd.bdate_range("2021-03-01", periods=6)[list(order)]  # rows in any order
    factor = pd.DataFrame(1.0, index=dates, columns=["A"])
    for form in (periods, tuple(periods), periods[0]):
        last, first, longest = pipeline_steps.daily_return_span(factor, form)
        assert (last, first) == (dates.sort_values()[-1], dates.sort_values()[0])
        assert longest == (max(form) if isinstance(form, (list, tuple)) else form)


@pytest.mark.parametrize("periods, longest", [
    ([2**64, 2**63, 5], 2**64),  # from 2**63 - 1 on all are equally long: the first one
    ([2**63, 2**64], 2**63), ([2**63 - 1, 2**63], 2**63 - 1), ([2**63 - 2, 2**63], 2**63), ([3, 7, 7, 2], 7),
])
def test_daily_return_span_of_huge_periods(periods, longest):
    factor = pd.DataFrame(1.0, index=pd.bdate_range("2021-03-01", periods=2), columns=["A"])
    assert pipeline_steps.daily_return_span(factor, periods)[2] == longest


@pytest.mark.parametrize("periods, exc", [("3", exception.InvalidPeriodType), ([0], ValueError), ([], ValueError)])
def test_daily_return_span_reads_periods_as_the_analysers(periods, exc):
    factor = pd.DataFrame(1.0, index=pd.bdate_range("2021-03-01", periods=2), columns=["A"])
    with pytest.raises(exc):
        pipeline_steps.daily_return_span(factor, periods)


@pytest.mark.parametrize("source, expected", [("sws", (True, "index_name")),
                                              ("citics_2019", (False, "first_industry_name"))])
def test_industry_source(source, expected):
    assert pipeline_steps.industry_source(source) == expected


@pytest.mark.parametrize("source", ["SWS", "citics", None, 5, b"sws", ["sws"]])
def test_industry_source_refuses_others(source):
    with pytest.raises(ValueError) as err:
        pipeline_steps.industry_source(source)
    assert str(err.value) == f"source: invalid source={source}, expect one of [sws, citics_2019]"
    with pytest.raises(ValueError):
        assayer._fetch_industry_data(source)


def test_industry_field_follows_the_module_mapping(monkeypatch):
    monkeypatch.setitem(assayer.FIELD_MAPPING, "citics_2019", "my_field")
    assert pipeline_steps.industry_source("citics_2019") == (False, "my_field")
    assert pipeline_steps.industry_source("sws") == (True, "index_name")


@pytest.mark.parametrize("method", ["mad", "std", "percentile"])
def test_winsorization_method_and_dispatch(method):
    step = assayer.Winzorization(method)
    assert pipeline_steps.winsorization_method(method) == method and step.method == method
    frame = pd.DataFrame(np.random.default_rng(1).normal(size=(6, 9)), index=pd.bdate_range("2021-03-01", periods=6))
    pd.testing.assert_frame_equal(step.process(frame), assayer.BATCH_WINSORIZE_METHODS[method](frame))


@pytest.mark.parametrize("method", ["MAD", None, ["mad"], {"mad": 1}, 3])
def test_winsorization_method_refuses_others(method):
    with pytest.raises(ValueError) as err:
        assayer.Winzorization(method)
    assert str(err.value) == f"method: expect one of {assayer.VALID_WINSORIZE_METHODS}, got {method}"


def test_winsorize_falls_back_to_the_row_function(monkeypatch):
    calls = []

    def clip(row):
        calls.append(len(row))
        return row.clip(-1, 1)

    def batch_without_the_key(frame):
        raise KeyError("inner")  # a KeyError of the batch function also selects the row function

    monkeypatch.setattr(assayer, "BATCH_WINSORIZE_METHODS", {"both": batch_without_the_key})
    monkeypatch.setattr(assayer, "WINSORIZE_METHODS", {"clip": clip, "both": clip})
    frame = pd.DataFrame([[3.0, -0.5], [-4.0, 0.25]], index=pd.bdate_range("2021-03-01", periods=2))
    for name in ("clip", "both"):
        pd.testing.assert_frame_equal(pipeline_steps.winsorize(name, frame), frame.clip(-1, 1))
    assert calls == [2, 2, 2, 2]
    with pytest.raises(KeyError):
        pipeline_steps.winsorize("none", frame)


class Slotted:
    """A result type that takes no new attributes."""
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value


class Refusing:
    def __setattr__(self, name, value):
        raise RuntimeError("read-only result")


class Producing(assayer.FactorAnalyser):
    def __init__(self, make):
        self.make = make
        self.seen = []

    def analysis(self, factor_data, returns, periods, ascending=True):
        self.seen.append((factor_data, periods, ascending))
        return self.make()


class Plus(assayer.FactorPreprocessor):
    def __init__(self, k):
        self.k = k

    def process(self, factor_data):
        return factor_data + self.k


def frame(n=4):
    return pd.DataFrame(np.arange(2.0 * n).reshape(n, 2), index=pd.bdate_range("2021-03-01", periods=n),
                        columns=["A", "B"])


@pytest.mark.parametrize("make", [lambda: Slotted(1), Refusing, lambda: None, dict])
def test_results_that_refuse_attributes_are_kept(make):
    fa = assayer.FactorAssayer()
    fa.append(("p", Plus(1)))
    step = Producing(make)
    fa.append(("a", step))
    out = fa.analysis(frame(), frame(), periods=(1, 2), ascending=True)
    assert list(out) == ["a"] and type(out["a"]) is type(make())
    assert step.seen[0][1] == (1, 2) and step.seen[0][2] is True
    pd.testing.assert_frame_equal(step.seen[0][0], frame() + 1, check_names=False)


@given(st.lists(st.integers(-3, 3), min_size=0, max_size=4), st.booleans())
@settings(max_examples=30, deadline=None)
def test_run_order_against_a_loop(ks, keep):
    fa = assayer.FactorAssayer()
    for i, k in enumerate(ks):
        fa.append((f"p{i}", Plus(k)))
    step = Producing(lambda: pd.Series([1.0]))
    fa.append(("a", step))
    data = frame()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # coverage notes
        out = fa.analysis(data, frame(), periods=3, keep_preprocess_result=keep)
    expected = frame()
    names = []
    for i, k in enumerate(ks):
        expected = expected + k
        names.append(f"p{i}")
        if keep:
            pd.testing.assert_frame_equal(out[f"p{i}"], expected, check_names=False)
    assert list(out) == (names if keep else []) + ["a"]
    pd.testing.assert_frame_equal(step.seen[0][0], expected, check_names=False)
    assert step.seen[0][1] == [3] and step.seen[0][2] is False
    assert list(out["a"]) == [1.0] and out["a"].ascending is False
    assert list(out["a"].coverage.index)[0] is not None
    assert data.index.name == "datetime" and data.columns.name == "order_book_id"


def test_init_and_append_bookkeeping():
    fa = assayer.FactorAssayer()
    assert vars(fa) == {"preprocess_pipelines": [], "analysis_pipelines": {}, "_FactorAssayer__exists_step_names": []}
    pipeline_steps.append(fa, ("x", Plus(1)))
    with pytest.raises(ValueError, match="^Invalid step=y, unknown processor=3$"):
        pipeline_steps.append(fa, ("y", 3))
    assert fa._FactorAssayer__exists_step_names == ["x", "y"] and len(fa.preprocess_pipelines) == 1


def test_empty_pipeline_warning_points_at_the_caller():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert assayer.FactorAssayer().analysis(None, None) is None
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (UserWarning, "no pipelines to execute.", __file__)]
