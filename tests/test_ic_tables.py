"""The IC analysis' two paths through the same loops (the built-in correlation functions computed in
the core, any other function called per cell), the pandas side of the step (industry labels, the
collaborators looked up on the module, the decay curve's arguments) against plain references."""
from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from scipy import stats

from zarnik.analysis import assayer, ic_tables

SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow])


@st.composite
def long_tables(draw):
    """A long (datetime, order_book_id) table with a factor and two return columns (missing values,
    ties) and an industry mapping that leaves some instruments out."""
    dates = draw(st.integers(1, 7))
    names = ["S%d" % i for i in range(draw(st.integers(1, 7)))]
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    index = pd.MultiIndex.from_product([pd.bdate_range("2023-01-02", periods=dates, name="datetime"), names],
                                       names=["datetime", "order_book_id"])
    cols = {}
    for c in ("factor", "P_1", "P_3"):
        v = np.round(rng.normal(size=len(index)), draw(st.sampled_from([0, 1, 6])))
        v[rng.random(len(index)) < draw(st.sampled_from([0.0, 0.2, 0.5]))] = np.nan
        cols[c] = v
    industry = {n: "I%d" % rng.integers(0, 3) for n in names if rng.random() < 0.8}
    return pd.DataFrame(cols, index=index), industry


def _not_native(fn):
    """The same correlation function behind another object: the step then calls it per cell."""
    return lambda x, f: fn(x, f)


@pytest.mark.parametrize("rank_ic", [True, False])
@settings(max_examples=60, **SETTINGS)
@given(case=long_tables(), max_decay=st.integers(2, 9))
def test_built_in_and_called_correlation_functions_give_the_same_tables(rank_ic, case, max_decay):
    table, industry = case
    native = assayer.ICAnalysis(rank_ic=rank_ic, industry_classification=industry, max_decay=max_decay)
    called = assayer.ICAnalysis(rank_ic=rank_ic, industry_classification=industry, max_decay=max_decay)
    called.ic_func = _not_native(assayer._get_ic_func(rank_ic))
    dates = table.index.get_level_values("datetime").unique()
    ic = pd.DataFrame(0.0, index=dates, columns=["P_1", "P_3"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tables = [(s._calc_ic_decay(table, ic), s._calc_ic_industry_distribute(table)) for s in (native, called)]
    for got, want in zip(*tables):
        assert list(got.index) == list(want.index) and list(got.columns) == list(want.columns)
        np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-12, atol=1e-14)
    # the decay's rows of lag >= 1: a (date, lag) pair where the factor and every return are present
    decay = tables[0][0]
    f = table["factor"].unstack()
    complete = [(d, lag) for lag in range(1, max_decay) for t, d in enumerate(f.index) if t + lag < len(f.index)
                and (f.iloc[t].notna().to_numpy() & table["P_1"].unstack().iloc[t + lag].notna().to_numpy()
                     & table["P_3"].unstack().iloc[t + lag].notna().to_numpy()).any()]
    assert sorted(complete) == [k for k in decay.index if k[1] > 0]


def _reference_labels(index, mapping):
    """The label of each row, one row at a time."""
    out = []
    for obid in index.get_level_values("order_book_id"):
        value = mapping.get(obid)
        out.append("Unknown" if value is None or value != value else value)
    return out


@settings(max_examples=80, **SETTINGS)
@given(rows=st.lists(st.tuples(st.integers(0, 3), st.sampled_from(["a", "b", "c", "d"])), min_size=1, max_size=12,
                     unique=True),
       mapping=st.dictionaries(st.sampled_from(["a", "b", "c", "x"]), st.sampled_from(["I1", "I2", None, np.nan])),
       as_series=st.booleans(), drop=st.booleans())
def test_industry_labels_against_a_row_loop(rows, mapping, as_series, drop):
    dates = pd.bdate_range("2023-01-02", periods=4)
    index = pd.MultiIndex.from_tuples([(dates[d], o) for d, o in rows], names=["datetime", "order_book_id"])
    if drop:  # levels holding labels that no row uses
        index = index[: max(1, len(index) // 2)]
    step = assayer.ICAnalysis(industry_classification=pd.Series(mapping, dtype=object) if as_series else mapping)
    got = step._get_industry_data(pd.DataFrame({"factor": np.zeros(len(index))}, index=index))
    assert got.index is index and got.dtype == object
    assert list(got) == _reference_labels(index, mapping)


@pytest.mark.parametrize("mapping", [pd.Series({"a": "I1", "b": "I2"}, dtype="category"),
                                     pd.Series({"a": np.nan, "b": np.nan}), {"a": None}, pd.Series({"a": 3, "b": 4})])
def test_industry_labels_of_categorical_missing_and_numeric_mappings(mapping):
    index = pd.MultiIndex.from_product([pd.bdate_range("2023-01-02", periods=2), list("abc")],
                                       names=["datetime", "order_book_id"])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = assayer.ICAnalysis(industry_classification=mapping)._get_industry_data(
            pd.DataFrame({"factor": np.zeros(6)}, index=index))
    assert list(got) == _reference_labels(index, dict(mapping)) and got.dtype == object


def test_industry_labels_of_a_flat_or_unnamed_level_index():
    index = pd.MultiIndex.from_tuples([("x", "b"), ("y", "a")], names=["datetime", None])
    flat = pd.Index(["b", "a", "b"], name="order_book_id")
    step = assayer.ICAnalysis(industry_classification={"a": "I1"})
    assert list(step._get_industry_data(pd.DataFrame({"factor": [0.0] * 3}, index=flat))) == ["Unknown", "I1", "Unknown"]
    with pytest.raises(KeyError):
        step._get_industry_data(pd.DataFrame({"factor": [0.0] * 2}, index=index))


def _small_table():
    index = pd.MultiIndex.from_product([pd.bdate_range("2023-01-02", periods=4, name="datetime"), list("abc")],
                                       names=["datetime", "order_book_id"])
    rng = np.random.default_rng(0)
    return pd.DataFrame({c: rng.normal(size=12) for c in ("factor", "P_1", "Q_2", "P_3")}, index=index)


@pytest.mark.parametrize("fields, want", [(lambda columns: ["P_3"], ["P_3"]), (None, ["P_1", "P_3"])])
@pytest.mark.parametrize("table_of", ["decay", "industry"])
def test_return_fields_are_looked_up_on_the_module(monkeypatch, fields, want, table_of):
    monkeypatch.setattr(assayer, "_get_return_fields", fields, raising=False)  # None: the "P_" columns
    table = _small_table()
    step = assayer.ICAnalysis(industry_classification={"a": "I1", "b": "I2"}, max_decay=2)
    ic = pd.DataFrame(0.0, index=table.index.levels[0], columns=want)
    got = step._calc_ic_decay(table, ic) if table_of == "decay" else step._calc_ic_industry_distribute(table)
    assert list(got.columns) == want


def test_industry_sources_are_looked_up_on_the_module(monkeypatch):
    monkeypatch.setattr(assayer, "VALID_INDUSTRY_SOURCE", ("mine",))
    assert assayer.ICAnalysis(industry_classification="mine").industry == "mine"
    with pytest.raises(ValueError, match=r"^industry_classification: expect one of \('mine',\), got sws$"):
        assayer.ICAnalysis(industry_classification="sws")


def test_the_module_result_class_is_used_when_defined(monkeypatch):
    dates = pd.bdate_range("2023-01-02", periods=6, name="datetime")
    rng = np.random.default_rng(4)
    factor = pd.DataFrame(rng.normal(size=(6, 4)), index=dates, columns=list("abcd"))
    from zarnik.analysis.analysis_result import ICAnalysisResult

    monkeypatch.delattr(assayer, "ICAnalysisResult", raising=False)
    assert type(assayer.ICAnalysis().analysis(factor, factor * 0.01, [1])) is ICAnalysisResult

    class Mine(ICAnalysisResult):
        pass

    monkeypatch.setattr(assayer, "ICAnalysisResult", Mine, raising=False)
    assert type(assayer.ICAnalysis().analysis(factor, factor * 0.01, [1])) is Mine


@pytest.mark.parametrize("call", [
    lambda t: assayer.ICAnalysis(industry_classification={"a": "I"})._calc_ic_industry_distribute(t),
    lambda t: assayer.ICAnalysis(max_decay=3)._calc_ic_decay(t, pd.DataFrame({"P_1": [0.1, 0.2, 0.3]})),
], ids=["industry", "decay"])
def test_long_tables_refuse_a_repeated_column(call):
    # Read as one column, the two would be interleaved into wrong coefficients.
    index = pd.MultiIndex.from_product([pd.bdate_range("2023-01-02", periods=3, name="datetime"), list("ab")],
                                       names=["datetime", "order_book_id"])
    table = pd.DataFrame(np.arange(18.0).reshape(6, 3), index=index, columns=["factor", "P_1", "P_1"])
    with pytest.raises(ValueError, match=r"^factor_data: expected one column labelled 'P_1', got 2$"):
        call(table)


@pytest.mark.parametrize("rank_ic", [True, False])
@settings(max_examples=80, **SETTINGS)
@given(pairs=st.lists(st.tuples(st.one_of(st.floats(-5, 5), st.just(np.nan)),
                                st.one_of(st.floats(-5, 5), st.just(np.nan))), max_size=12))
def test_correlation_wrapper_against_scipy(rank_ic, pairs):
    fs = np.array([p[0] for p in pairs], dtype=float)
    rs = np.array([p[1] for p in pairs], dtype=float)
    m = ~(np.isnan(fs) | np.isnan(rs))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = tuple(assayer._get_ic_func(rank_ic)(fs, rs))
        want = tuple((stats.spearmanr if rank_ic else stats.pearsonr)(fs[m], rs[m])) if m.sum() > 1 else (0, 0)
    np.testing.assert_array_equal(np.array(got, dtype=float), np.array(want, dtype=float))


def _unaligned(values, dtype):
    """A copy of ``values`` in a buffer one byte off the alignment of ``dtype``."""
    a = np.asarray(values, dtype=dtype)
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(raw.data, dtype=dtype, count=a.size, offset=1)
    out[...] = a
    assert not out.flags.aligned or a.size == 0
    return out


@settings(max_examples=60, **SETTINGS)
@given(ic=st.lists(st.one_of(st.floats(-1, 1), st.just(np.nan)), min_size=1, max_size=8),
       rows=st.lists(st.tuples(st.integers(0, 7), st.integers(1, 4), st.floats(-1, 1)), max_size=12))
def test_decay_curve_reads_unaligned_arrays_as_aligned_ones(ic, rows):
    at = np.array([r[0] for r in rows], dtype=np.int64)
    lags = np.array([r[1] for r in rows], dtype=np.int64)
    vals = np.array([r[2] for r in rows], dtype=float)
    step = assayer.ICAnalysis(max_decay=5)
    want = step._decay_curve(np.array(ic), (at, lags, vals))
    got = step._decay_curve(_unaligned(ic, float), (_unaligned(at, np.int64), _unaligned(lags, np.int64),
                                                    _unaligned(vals, float)))
    for g, w in zip(got, want):
        assert g.dtype == w.dtype and g.tobytes() == w.tobytes()
    # lag 0 is the mean of the IC itself; every other lag the mean of its rows
    assert list(want[0]) == sorted({0} | set(lags.tolist()))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.testing.assert_allclose(want[1][0], np.nanmean(ic), rtol=1e-12)


@pytest.mark.parametrize("ic, rows, exc, message", [
    (np.array(["a"]), (np.zeros(1, np.int64),) * 2 + (np.zeros(1),), TypeError, "^ic: expected an array of numbers$"),
    (np.zeros(2), [np.zeros(1)] * 3, ValueError, r"^rows: expected \(date positions, lags, values\), got \["),
    (np.zeros(2), (np.array(["x"]), np.zeros(1), np.zeros(1)), ValueError, "^rows: expected three one-dimensional"),
    (np.zeros(2), (0, 1, 0.5), ValueError, "^rows: expected three one-dimensional"),
])
def test_decay_curve_arguments(ic, rows, exc, message):
    with pytest.raises(exc, match=message):
        assayer.ICAnalysis(max_decay=3)._decay_curve(ic, rows)


@pytest.mark.parametrize("max_decay, message", [(-1, "-1"), (2.5, "2.5"), ("3", "'3'")])
def test_decay_lags_message(max_decay, message):
    with pytest.raises(ValueError, match="^" + ic_tables.MAX_DECAY_ERROR.format(max_decay).replace(".", r"\.")):
        ic_tables.decay_lags(max_decay)
    step = assayer.ICAnalysis()
    step.max_decay = max_decay
    with pytest.raises(ValueError, match=message):
        step._calc_ic_decay(pd.DataFrame(), pd.DataFrame())
