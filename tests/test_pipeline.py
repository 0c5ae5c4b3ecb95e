"""FactorAssayer, the frame checks, the date-time index classes and the daily returns load."""

from __future__ import annotations

import subprocess
import sys
import warnings
from collections import namedtuple

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import ostrel
from zarnik.analysis import assayer
from zarnik.analysis.analysis_result import (
    FactorReturnAnalysisResult,
    ICAnalysisResult,
    QuantileReturnAnalysisResult,
    QuantileStyleAnalysisResult,
)


def frame(rows=4, cols=3, seed=0):
    rng = np.random.default_rng(seed)
    idx = pd.date_range("2021-01-04", periods=rows, freq="B")
    return pd.DataFrame(rng.normal(size=(rows, cols)), index=idx, columns=[f"S{i}" for i in range(cols)])


class Scale(assayer.FactorPreprocessor):
    """A user preprocessor that skips the base __init__ and keeps its own state."""

    def __init__(self, k):
        self.k = k
        self.seen = []

    def process(self, factor_data):
        self.seen.append(factor_data)
        return factor_data * self.k


class Recorder(assayer.FactorAnalyser):
    def __init__(self):
        self.calls = []

    def analysis(self, factor_data, returns, periods, ascending=True):
        self.calls.append((factor_data, returns, periods, ascending))
        return FactorReturnAnalysisResult(factor_returns=factor_data.sum(axis=1), name=self.step_name)


# ---------------------------------------------------------------- module functions


@pytest.mark.parametrize(
    "df, message",
    [
        ([1, 2], "x: expect pd.DataFrame, got <class 'list'>"),
        (None, "x: expect pd.DataFrame, got <class 'NoneType'>"),
        (pd.Series([1.0]), "x: expect pd.DataFrame, got <class 'pandas.Series'>"),
        (pd.DataFrame({"a": [1.0]}), "x: expect index type=pd.DatetimeIndex, got <class 'pandas.RangeIndex'>"),
        (
            pd.DataFrame({"a": [1.0]}, index=pd.MultiIndex.from_tuples([(pd.Timestamp("2020-01-01"), "a")])),
            "x: expect index type=pd.DatetimeIndex, got <class 'pandas.MultiIndex'>",
        ),
        (pd.DataFrame(index=pd.DatetimeIndex([])), "Empty factor data source!"),
        (pd.DataFrame(index=pd.DatetimeIndex(["2020-01-01"])), "Empty factor data source!"),
    ],
)
def test_validate_data_frame(df, message):
    if isinstance(df, pd.Series):
        message = message.replace("pandas.Series", type(df).__module__ + ".Series")
    if isinstance(df, pd.DataFrame):
        message = message.replace("pandas.", type(df.index).__module__ + ".")
    with pytest.raises(ValueError) as err:
        assayer._validate_data_frame(df, "x")
    assert str(err.value) == message


@pytest.mark.parametrize(
    "stamps, freq",
    [
        (["2020-01-02 09:31:00", "2020-01-02 09:32:00"], "1m"),
        (["2020-01-02 09:31:05", "2020-01-02 09:32:00"], "tick"),
        (["2020-01-02", "2020-01-03"], "1d"),
        ([], "1d"),
        (["2020-01-02 00:00:00.000001"], None),  # midnight only to the second: not a date
        (["2020-01-02 10:00", "2020-01-02 11:00"], None),
        (["2020-01-02", "2020-01-02 11:00"], None),
    ],
)
def test_datetime_freq(stamps, freq):
    for tz in (None, "Asia/Shanghai"):
        index = pd.DatetimeIndex(stamps).tz_localize(tz)
        if freq is None:
            with pytest.raises(ValueError) as err:
                assayer._get_datetime_freq(index)
            assert str(err.value) == "Unknown datetime index: {}".format(repr(index))
            with pytest.raises(ValueError):
                assayer._is_date_frequency_index(index)
        else:
            assert assayer._get_datetime_freq(index) == freq
            assert assayer._is_date_frequency_index(index) is (freq == "1d")


def test_datetime_freq_rejects_other_index():
    with pytest.raises(TypeError, match="DatetimeIndex"):
        assayer._get_datetime_freq(pd.Index([1, 2]))


def test_return_fields():
    assert assayer._get_return_fields(["factor", "P_1", "p_2", "P_10", "xP_3"]) == ["P_1", "P_10"]
    assert assayer._get_return_fields(pd.Index(["P_5", "P_1"])) == ["P_5", "P_1"]
    with pytest.raises(TypeError, match="str"):
        assayer._get_return_fields(["P_1", 3])


def test_module_names():
    assert assayer.__all__ == [
        "Winzorization",
        "Normalization",
        "Neutralization",
        "ICAnalysis",
        "QuantileReturnAnalysis",
        "FactorReturnAnalysis",
        "QuantileStyleAnalysis",
        "FactorAssayer",
    ]
    for cls in (assayer.FactorAssayer, assayer.FactorPreprocessor, assayer.FactorAnalyser):
        assert type(cls) is type
    assert assayer.FactorAnalyser.step_name == "FactorAnalysisStep"


def test_abstract_steps():
    with pytest.raises(NotImplementedError) as err:
        assayer.FactorPreprocessor().process(frame())
    assert str(err.value) == "Need implement FactorPreprocessor.process"
    with pytest.raises(NotImplementedError) as err:
        assayer.FactorAnalyser().analysis(frame(), frame(), [1])
    assert str(err.value) == "Need implement FactorAnalyser.analysis"


# ---------------------------------------------------------------- append


Step = namedtuple("Step", "name processor")


@pytest.mark.parametrize("step", [["w", Scale(1)], Step("w", Scale(1)), None, "w"])
def test_append_needs_exact_tuple(step):
    fa = assayer.FactorAssayer()
    with pytest.raises(TypeError, match="step"):
        fa.append(step)
    assert fa.preprocess_pipelines == [] and fa.analysis_pipelines == {}
    fa.append(("w", Scale(1)))  # the name was not taken


@pytest.mark.parametrize("step", [(), ("a",), ("a", Scale(1), 3)])
def test_append_wrong_length(step):
    with pytest.raises(ValueError):
        assayer.FactorAssayer().append(step)


@pytest.mark.parametrize("second", [Scale(2), Recorder()])
@pytest.mark.parametrize("first", [Scale(1), Recorder()])
def test_duplicate_names_share_one_namespace(first, second):
    fa = assayer.FactorAssayer()
    fa.append(("a", first))
    before = (list(fa.preprocess_pipelines), dict(fa.analysis_pipelines))
    with pytest.raises(RuntimeError) as err:
        fa.append(("a", second))
    assert str(err.value) == "pipeline step name=a already exists, please use another name."
    assert (fa.preprocess_pipelines, fa.analysis_pipelines) == before


def test_unknown_processor_keeps_name():
    fa = assayer.FactorAssayer()
    with pytest.raises(ValueError) as err:
        fa.append(("x", 42))
    assert str(err.value) == "Invalid step=x, unknown processor=42"
    with pytest.raises(RuntimeError, match="name=x already exists"):
        fa.append(("x", Scale(1)))


def test_append_registers_steps():
    fa = assayer.FactorAssayer()
    step = ("w", Scale(1))
    rec = Recorder()
    fa.append(step)
    fa.append(("ic", rec))
    assert fa.preprocess_pipelines[0] is step
    assert fa.analysis_pipelines == {"ic": rec}
    assert rec.step_name == "ic" and "step_name" in vars(rec)
    assert fa._FactorAssayer__exists_step_names == ["w", "ic"]


# ---------------------------------------------------------------- analysis


def test_empty_pipeline_warns_without_validation():
    fa = assayer.FactorAssayer()
    with pytest.warns(UserWarning) as rec:
        assert fa.analysis("not a frame", None) is None
    assert [str(w.message) for w in rec] == ["no pipelines to execute."]


@pytest.mark.parametrize(
    "periods, expected", [(1, [1]), (True, [True]), ((1, 5), (1, 5)), ([1, 5], [1, 5])]
)
def test_periods_reach_analysers(periods, expected):
    fa = assayer.FactorAssayer()
    rec = Recorder()
    fa.append(("r", rec))
    fa.analysis(frame(), frame(), periods=periods, ascending=True)
    got = rec.calls[0][2]
    assert got == expected and type(got) is type(expected)
    assert rec.calls[0][3] is True


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"periods": 2.5}, AssertionError, "periods must be tuple/list/int, but got <class 'float'>"),
        ({"periods": "5"}, AssertionError, "periods must be tuple/list/int, but got <class 'str'>"),
        ({"returns": "weekly"}, ValueError, 'returns: expect pd.DataFrame or "daily", got weekly'),
        ({"returns": None}, ValueError, "returns: expect pd.DataFrame, got <class 'NoneType'>"),
        ({"factor_data": [1]}, ValueError, "factor_data: expect pd.DataFrame, got <class 'list'>"),
        ({"factor_data": pd.DataFrame(index=pd.DatetimeIndex([]))}, ValueError, "Empty factor data source!"),
        ({"factor_data": None, "returns": None}, ValueError, "factor_data: expect pd.DataFrame, got <class 'NoneType'>"),
    ],
)
def test_analysis_validation(kwargs, exc, message):
    fa = assayer.FactorAssayer()
    fa.append(("r", Recorder()))
    args = {"factor_data": frame(), "returns": frame()}
    args.update(kwargs)
    with pytest.raises(exc) as err:
        fa.analysis(**args)
    assert str(err.value) == message


def test_integer_index_message():
    df = pd.DataFrame({"a": [1.0, 2.0]})
    fa = assayer.FactorAssayer()
    fa.append(("r", Recorder()))
    with pytest.raises(ValueError) as err:
        fa.analysis(df, frame())
    assert str(err.value) == f"factor_data: expect index type=pd.DatetimeIndex, got {type(df.index)}"


def test_periods_check_skipped_under_optimize(tmp_path):
    code = (
        "import numpy as np, pandas as pd\n"
        "from zarnik.analysis import assayer\n"
        "class R(assayer.FactorAnalyser):\n"
        "    def analysis(self, f, r, p, ascending=True): return p\n"
        "fa = assayer.FactorAssayer(); fa.append(('r', R()))\n"
        "df = pd.DataFrame({'a': [1.0]}, index=pd.DatetimeIndex(['2020-01-02']))\n"
        "print(fa.analysis(df, df, periods=2.5))\n"
    )
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "{'r': [2.5]}"


def test_full_run_order_copies_and_naming():
    fa = assayer.FactorAssayer()
    rec = Recorder()
    double, plus = Scale(2), Scale(10)
    fa.append(("ic", rec))
    fa.append(("w", double))
    fa.append(("n", plus))
    factor, returns = frame(), frame(seed=1)
    original = factor.copy()
    result = fa.analysis(factor, returns, keep_preprocess_result=True)
    assert list(result) == ["w", "n", "ic"]
    pd.testing.assert_frame_equal(result["w"], original * 2, check_names=False)
    pd.testing.assert_frame_equal(result["n"], original * 20, check_names=False)
    assert result["w"] is not double.seen[0] and result["n"] is not rec.calls[0][0]
    # the steps got the caller's frames (renamed in place) and the analyser the last output
    assert plus.seen[0] is not result["w"]
    assert rec.calls[0][1] is returns and rec.calls[0][3] is False
    assert isinstance(result["ic"], FactorReturnAnalysisResult) and result["ic"].name == "ic"
    for df in (factor, returns):
        assert df.index.name == "datetime" and df.columns.name == "order_book_id"
    pd.testing.assert_frame_equal(factor, original, check_names=False)
    result["w"].iloc[0, 0] = 99.0  # a copy: the later frames are unaffected
    assert result["n"].iloc[0, 0] != 99.0 * 10
    # reuse: the pipeline is unchanged by a run
    again = fa.analysis(factor, returns)
    assert list(again) == ["ic"]


def test_step_failure_propagates():
    class Broken(assayer.FactorPreprocessor):
        def process(self, factor_data):
            raise KeyError("boom")

    fa = assayer.FactorAssayer()
    fa.append(("b", Broken()))
    with pytest.raises(KeyError):
        fa.analysis(frame(), frame())


def test_subclass_of_pipeline_and_steps_without_base_init():
    class MyAssayer(assayer.FactorAssayer):
        def __init__(self):
            super().__init__()
            self.extra = 1

    class Demean(assayer.FactorPreprocessor):
        def process(self, factor_data):
            return factor_data.sub(factor_data.mean(axis=1), axis=0)

    fa = MyAssayer()
    fa.append(("d", Demean()))
    fa.append(("z", assayer.Normalization()))
    fa.append(("r", Recorder()))
    res = fa.analysis(frame(6, 5), frame(6, 5), periods=[1, 2])
    total = res["r"].factor_returns
    np.testing.assert_allclose(total.to_numpy(), 0.0, atol=1e-12)


# ---------------------------------------------------------------- daily returns


class FakeMarket:
    """Calendar of business days; prices per (instrument, date)."""

    def __init__(self, prices: pd.DataFrame):
        self.prices = prices  # rows: dates, columns: instruments; NaN = no row
        self.calls = []

    def next_day(self, date, n):
        self.calls.append(("next", date, n))
        return pd.Timestamp(date) + pd.offsets.BDay(n)

    def prev_day(self, date):
        self.calls.append(("prev", date))
        return pd.Timestamp(date) - pd.offsets.BDay(1)

    def get_price(self, order_book_ids, start_date, end_date, fields, adjust_type, expect_df):
        self.calls.append(("price", list(order_book_ids), start_date, end_date, fields, adjust_type, expect_df))
        sub = self.prices.loc[start_date:end_date, [c for c in order_book_ids if c in self.prices.columns]]
        long = sub.rename_axis(index="date", columns="order_book_id").T.stack().dropna()
        return long.to_frame("close")


@pytest.fixture
def market(monkeypatch):
    def install(prices):
        m = FakeMarket(prices)
        monkeypatch.setattr(ostrel, "get_next_trading_date", m.next_day, raising=False)
        monkeypatch.setattr(ostrel, "get_previous_trading_date", m.prev_day, raising=False)
        monkeypatch.setattr(ostrel, "get_price", m.get_price, raising=False)
        return m

    return install


@settings(max_examples=40, deadline=None)
@given(
    arrays(np.float64, (9, 3), elements=st.one_of(st.just(np.nan), st.floats(0.5, 50.0))),
    st.sampled_from([1, 2, (1, 3), [3, 1]]),
)
def test_daily_returns_match_filled_pct_change(values, periods):
    dates = pd.bdate_range("2021-03-01", periods=9)
    prices = pd.DataFrame(values, index=dates, columns=["A", "B", "C"])
    m = FakeMarket(prices)
    factor = pd.DataFrame(1.0, index=dates[1:5], columns=["A", "B", "C"])
    fa = assayer.FactorAssayer()
    rec = Recorder()
    fa.append(("r", rec))
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(ostrel, "get_next_trading_date", m.next_day, raising=False)
        mp.setattr(ostrel, "get_previous_trading_date", m.prev_day, raising=False)
        mp.setattr(ostrel, "get_price", m.get_price, raising=False)
        fa.analysis(factor, "daily", periods=periods)
    p_max = max(periods) if isinstance(periods, (list, tuple)) else periods
    got = rec.calls[0][1]
    # reference: forward-fill, ratio to the previous row, drop the leading date
    window = prices.loc[dates[0] : dates[4 + p_max]].dropna(axis=1, how="all").dropna(how="all")
    filled = window.ffill()
    expected = (filled / filled.shift(1) - 1).iloc[1:]
    assert list(got.columns) == list(expected.columns)
    assert list(got.index) == list(expected.index)
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-14, equal_nan=True)
    assert got.index.name == "datetime" and got.columns.name == "order_book_id"
    assert m.calls[0] == ("next", dates[4], p_max)
    assert m.calls[1] == ("prev", dates[1])
    assert m.calls[2][1:] == (["A", "B", "C"], dates[0], dates[4 + p_max], "close", "post", True)


def test_daily_returns_zero_on_missing_day(market):
    dates = pd.bdate_range("2021-03-01", periods=6)
    prices = pd.DataFrame({"A": [10, 11, np.nan, 12.1, 12.1, 13], "B": [np.nan, np.nan, 5, 6, 3, 3]}, index=dates)
    market(prices)
    rec = Recorder()
    fa = assayer.FactorAssayer()
    fa.append(("r", rec))
    fa.analysis(pd.DataFrame(0.0, index=dates[1:4], columns=["A", "B"]), "daily", periods=2)
    got = rec.calls[0][1]
    np.testing.assert_allclose(got["A"].to_numpy(), [0.1, 0.0, 0.1, 0.0, 13 / 12.1 - 1])
    np.testing.assert_allclose(got["B"].to_numpy(), [np.nan, np.nan, 0.2, -0.5, 0.0])


def test_daily_returns_without_prices(market, monkeypatch):
    market(pd.DataFrame())
    monkeypatch.setattr(ostrel, "get_price", lambda **kw: None)
    fa = assayer.FactorAssayer()
    fa.append(("r", Recorder()))
    with pytest.raises(ValueError, match="no close prices"):
        fa.analysis(frame(), "daily")


def test_client_errors_propagate(market, monkeypatch):
    market(pd.DataFrame())

    def fail(*a, **k):
        raise ConnectionError("down")

    monkeypatch.setattr(ostrel, "get_previous_trading_date", fail)
    fa = assayer.FactorAssayer()
    fa.append(("r", Recorder()))
    with pytest.raises(ConnectionError, match="down"):
        fa.analysis(frame(), "daily")


# ---------------------------------------------------------------- result classes


@pytest.mark.parametrize(
    "cls, fields",
    [
        (ICAnalysisResult, ["ic", "ic_p_value", "ic_decay", "ic_industry_distribute", "name"]),
        (
            QuantileReturnAnalysisResult,
            [
                "quantile_turnover",
                "quantile_returns",
                "quantile_detail",
                "benchmark_return",
                "top_minus_bottom_returns",
                "quantile_annualized_returns",
                "quantile_excess_annulized_returns",
                "name",
            ],
        ),
        (FactorReturnAnalysisResult, ["factor_returns", "name"]),
        (QuantileStyleAnalysisResult, ["quantile_exposure", "name"]),
    ],
)
def test_result_classes(cls, fields):
    values = {f: (frame() if i == 0 else i) for i, f in enumerate(fields)}
    values["name"] = "step"
    res = cls(**values)
    for f in fields:
        assert getattr(res, f) is values[f]
    assert list(res.to_dict()) == fields
    text = repr(res)
    assert text.startswith(f"{cls.__name__}(name='step')") and fields[0] in text
    with pytest.raises(TypeError):
        cls(*values.values())
    with pytest.raises(TypeError, match="missing"):
        cls(name="x")
    with pytest.raises(TypeError, match="unexpected"):
        cls(**values, extra=1)
