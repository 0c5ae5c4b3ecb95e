"""The pandas-level helpers the extension modules call (value conversion, label positions of
market tables, step arguments, result tables, class signatures, kernel catalogue), checked
directly against plain-loop references and through the bound steps that use them."""

import inspect
import operator
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from zarnik import rolling
from zarnik.analysis import checks, exposure_tables, market_tables
from zarnik.utils import InitSignature, check_last, kernel_catalogue

# ---------------------------------------------------------------- value conversion


def loop_values(frame):
    """float64 values of a frame, one cell at a time (None / NA / NaN -> NaN)."""
    out = np.empty(frame.shape)
    for i in range(frame.shape[0]):
        for j in range(frame.shape[1]):
            v = frame.iat[i, j]
            out[i, j] = np.nan if pd.isna(v) else float(v)
    return out


COLUMN_KINDS = ["float64", "int32", "bool", "Int64", "Float64", "boolean", "object"]


@given(
    kinds=st.lists(st.sampled_from(COLUMN_KINDS), min_size=1, max_size=4),
    rows=st.integers(0, 6),
    data=st.data(),
)
@settings(max_examples=60, deadline=None)
def test_frame_values_against_a_loop(kinds, rows, data):
    columns = {}
    for j, kind in enumerate(kinds):
        ints = data.draw(st.lists(st.integers(-5, 5), min_size=rows, max_size=rows))
        missing = data.draw(st.lists(st.booleans(), min_size=rows, max_size=rows))
        if kind in ("float64", "Float64", "Int64", "object"):
            values = [None if m else v for v, m in zip(ints, missing)]
        elif kind == "boolean":
            values = [None if m else v > 0 for v, m in zip(ints, missing)]
        elif kind == "bool":
            values = [v > 0 for v in ints]
        else:
            values = ints
        columns[f"c{j}"] = pd.Series(values, dtype=kind if kind != "float64" else None).astype(kind)
    frame = pd.DataFrame(columns, index=range(rows))
    got = checks.frame_values(frame, "factor_data", False)
    assert got.dtype == np.float64 and got.shape == frame.shape
    np.testing.assert_array_equal(got, loop_values(frame))
    for name, series in frame.items():  # a series reads the same as its column
        np.testing.assert_array_equal(checks.frame_values(series, "s", False), loop_values(series.to_frame())[:, 0])


@pytest.mark.parametrize("copy", [False, True])
def test_frame_values_copies_only_when_asked(copy):
    frame = pd.DataFrame(np.arange(12.0).reshape(3, 4))
    got = checks.frame_values(frame, "factor_data", copy)
    assert np.shares_memory(got, frame.to_numpy()) is (not copy)
    np.testing.assert_array_equal(got, np.arange(12.0).reshape(3, 4))


@pytest.mark.parametrize(
    "frame, message",
    [
        (pd.DataFrame({"a": pd.Series(["x", "y"], dtype=object)}),
         r"^f: expected numeric values convertible to float64, column 'a' holds string"),
        (pd.DataFrame({"a": pd.to_datetime(["2020-01-01"])}), r"^f: expected numeric values convertible to float64, "
                                                              r"got a column of dtype datetime64"),
        (pd.DataFrame({"a": pd.Series([1.0, 2.0], dtype=object), "b": pd.Categorical([1, 2])}),
         r"^f: expected numeric values convertible to float64, got a column of dtype category"),
    ],
)
def test_frame_values_refuses_non_numbers(frame, message):
    with pytest.raises(ValueError, match=message):
        checks.frame_values(frame, "f", False)


@given(rows=st.integers(1, 4), cols=st.integers(0, 4), data=st.data())
@settings(max_examples=30, deadline=None)
def test_float_matrix_reads_nested_lists(rows, cols, data):
    values = [[data.draw(st.integers(-9, 9)) for _ in range(cols)] for _ in range(rows)]
    got = checks.float_matrix(values, "m")
    assert got.dtype == np.float64
    assert got.shape == (rows, cols)
    for i in range(rows):
        for j in range(cols):
            assert got[i, j] == float(values[i][j])


@pytest.mark.parametrize(
    "value, message",
    [
        ([1.0, 2.0], r"^m: expected a 2-D array, got ndim=1$"),
        (np.zeros((1, 2, 3)), r"^m: expected a 2-D array, got ndim=3$"),
        ([["a", "b"]], r"^m: expected a 2-D array of numbers \("),
        ([[1.0], [1.0, 2.0]], r"^m: expected a 2-D array of numbers \("),
    ],
)
def test_float_matrix_refuses(value, message):
    with pytest.raises(ValueError, match=message):
        checks.float_matrix(value, "m")


# ---------------------------------------------------------------- industry table positions


@given(
    changes=st.lists(st.integers(0, 40), min_size=0, max_size=8, unique=True),
    days=st.lists(st.integers(-5, 45), min_size=1, max_size=10),
    table_ids=st.lists(st.sampled_from("ABCDEF"), min_size=1, max_size=4, unique=True),
    ids=st.lists(st.sampled_from("ABCDEFG"), min_size=1, max_size=5),
    as_strings=st.booleans(),
)
@settings(max_examples=60, deadline=None)
def test_industry_positions_against_a_loop(changes, days, table_ids, ids, as_strings):
    base = pd.Timestamp("2021-03-01")
    change_dates = sorted(base + pd.Timedelta(days=d) for d in changes)
    labels = [str(d.date()) for d in change_dates] if as_strings else change_dates
    table = pd.DataFrame(np.zeros((len(labels), len(table_ids))), index=labels, columns=table_ids)
    index = pd.DatetimeIndex([base + pd.Timedelta(days=d) for d in days])
    rows, cols = market_tables.industry_positions(table, index, ids)
    assert rows.dtype == np.int64 and cols.dtype == np.int64
    want_rows = [max((r for r, c in enumerate(change_dates) if c <= d), default=-1) for d in index]
    want_cols = [table_ids.index(i) if i in table_ids else -1 for i in ids]
    assert rows.tolist() == want_rows
    assert cols.tolist() == want_cols


@pytest.mark.parametrize("table", [None, [1, 2], pd.Series([1.0])])
def test_industry_positions_refuses_other_tables(table):
    with pytest.raises(TypeError, match=f"^get_all_industry_category: expected a DataFrame, got {type(table)}$"):
        market_tables.industry_positions(table, pd.DatetimeIndex(["2021-01-04"]), ["A"])


# ---------------------------------------------------------------- step arguments

DAYS = pd.date_range("2022-01-03", periods=4, freq="D", name="datetime")


@pytest.mark.parametrize("tz", [None, "Asia/Shanghai", "UTC"])
@pytest.mark.parametrize("order", [[0, 1, 2, 3], [3, 1, 1, 0]])
def test_neutralization_axes_reads_local_dates_in_any_order(tz, order):
    index = (DAYS if tz is None else DAYS.tz_localize(tz))[order]
    df = pd.DataFrame(np.ones((4, 3)), index=index, columns=pd.Index(["B", "A", "C"], name="order_book_id"))
    dates, ids = checks.neutralization_axes(df)
    assert ids == ["B", "A", "C"] and type(ids) is list
    assert dates.tz is None
    assert list(dates) == [d.replace(tzinfo=None) for d in index]


@pytest.mark.parametrize(
    "df, message",
    [
        (np.ones((2, 2)), r"^factor_data: expect pd.DataFrame, got <class 'numpy.ndarray'>$"),
        (pd.DataFrame(index=DAYS), r"^Empty factor data source!$"),
        (pd.DataFrame(columns=["A"]), r"^Empty factor data source!$"),
        (pd.DataFrame(np.ones((4, 2)), index=DAYS, columns=["A", "A"]),
         r"^factor_data: expected unique instrument columns, found duplicate column"),
    ],
)
def test_neutralization_axes_refuses(df, message):
    with pytest.raises(ValueError, match=message):
        checks.neutralization_axes(df)


class Step:
    def __init__(self, quantile):
        self.quantile = quantile


@pytest.mark.parametrize("tz", [None, "Asia/Shanghai"])
@pytest.mark.parametrize("quantile, width", [(1, 3), (3, 3), (5, 3), (100, 3), (7, 120)])
@pytest.mark.parametrize("ascending", [True, False, 0, 1, [], [0]])
def test_style_arguments(tz, quantile, width, ascending):
    index = DAYS if tz is None else DAYS.tz_localize(tz)
    df = pd.DataFrame(np.ones((4, width)), index=index, columns=[f"S{j}" for j in range(width)])
    q, asc, dates = checks.style_arguments(Step(quantile), df, ascending)
    assert (q, asc) == (quantile, bool(ascending)) and type(asc) is bool
    assert dates.tz is None and list(dates) == list(DAYS)


@pytest.mark.parametrize(
    "df, quantile, error, message",
    [
        ("x", 5, ValueError, r"^factor_data: expect pd.DataFrame, got <class 'str'>$"),
        (pd.DataFrame(np.ones((4, 2)), index=DAYS[::-1]), 5, ValueError, "the dates are out of order"),
        (pd.DataFrame(np.ones((4, 2)), index=DAYS, columns=["A", "A"]), 5, ValueError, "duplicate column"),
        (pd.DataFrame(np.ones((4, 2)), index=DAYS), 0, ValueError, None),
        (pd.DataFrame(np.ones((4, 2)), index=DAYS), 101, ValueError, None),
    ],
)
def test_style_arguments_refuses(df, quantile, error, message):
    with pytest.raises(error, match=message):
        checks.style_arguments(Step(quantile), df, True)


@pytest.mark.parametrize("frame_name", ["frame", "x"])
@pytest.mark.parametrize("obj", [None, 3, pd.Series([1.0]), {"a": [1]}])
def test_require_frame(obj, frame_name):
    with pytest.raises(ValueError, match=f"^{frame_name}: expect pd.DataFrame, got {type(obj)}$".replace("(", r"\(")):
        checks.require_frame(obj, frame_name)
    checks.require_frame(pd.DataFrame(), frame_name)


# ---------------------------------------------------------------- the style result table


@given(
    n_dates=st.integers(1, 6),
    groups=st.integers(1, 4),
    n_factors=st.integers(0, 3),
    data=st.data(),
)
@settings(max_examples=40, deadline=None)
def test_quantile_exposure_against_a_loop(n_dates, groups, n_factors, data):
    index = pd.date_range("2023-05-01", periods=n_dates, freq="D", name="datetime")
    kept = np.array(sorted(data.draw(st.sets(st.integers(0, n_dates - 1)))), dtype=np.int64)
    values = np.arange(len(kept) * groups * n_factors, dtype=np.float64).reshape(len(kept) * groups, n_factors)
    columns = pd.Index([f"style{j}" for j in range(n_factors)])
    got = exposure_tables.quantile_exposure(index, kept, values, columns, groups)
    assert got.index.names == ["date", "quantile"]
    assert list(got.columns) == list(columns)
    assert list(got.index.levels[1].categories) == [f"q{g}" for g in range(1, groups + 1)]
    r = 0
    for t in kept:
        for g in range(1, groups + 1):
            assert got.index[r] == (index[t], f"q{g}")
            assert got.iloc[r].tolist() == values[r].tolist()
            r += 1
    assert r == len(got)


def test_style_result_names_the_step():
    class Named:
        step_name = "style step"

    index = pd.date_range("2023-05-01", periods=2, freq="D")
    got = exposure_tables.style_result(Named(), index, np.array([1]), np.ones((2, 1)), pd.Index(["size"]), 2)
    assert type(got).__name__ == "QuantileStyleAnalysisResult"
    assert got.name == "style step"
    assert got.quantile_exposure.index.tolist() == [(index[1], "q1"), (index[1], "q2")]


# ---------------------------------------------------------------- class signatures


def f_plain(self, a, b=2, *args, c, **kw):
    pass


def f_only_self(self):
    pass


def f_defaults(self, value=None, /, other="x"):
    pass


@pytest.mark.parametrize("init", [f_plain, f_only_self, f_defaults])
def test_init_signature_drops_self(init):
    cls = type("C", (), {"__init__": init, "__signature__": InitSignature(init)})
    want = list(inspect.signature(init).parameters.values())[1:]
    assert list(inspect.signature(cls).parameters.values()) == want
    keeps = type("Keeps", (cls,), {})
    assert inspect.signature(keeps) == inspect.signature(cls)

    def own(self, z):
        pass

    overrides = type("Overrides", (cls,), {"__init__": own})
    assert list(inspect.signature(overrides).parameters) == ["z"]
    assert object.__new__(cls).__signature__ is None


@pytest.mark.parametrize("name", ["FactorAssayer", "Neutralization", "QuantileStyleAnalysis"])
def test_bound_classes_report_their_init_parameters(name):
    from zarnik.analysis import assayer

    cls = getattr(assayer, name)
    want = list(inspect.signature(cls.__init__).parameters.values())[1:]
    assert list(inspect.signature(cls).parameters.values()) == want


# ---------------------------------------------------------------- kernel catalogue and `last`


def test_kernel_catalogue_records():
    info, table = kernel_catalogue("some.module", [("k", 1, ("x", "window"), "float64", ("K",)),
                                                   ("j", 2, ("window", "x", "y"), "total", ("J", "JJ"))])
    assert isinstance(table, types.MappingProxyType) and list(table) == ["k", "j"]
    assert info.__module__ == "some.module" and info._fields == ("name", "inputs", "params", "result", "operators")
    assert table["j"] == info("j", 2, ("window", "x", "y"), "total", ("J", "JJ"))
    with pytest.raises(TypeError):
        table["x"] = None


def test_rolling_catalogue_matches_the_module():
    assert rolling.KernelInfo.__module__ == "zarnik.rolling"
    for name, info in rolling.KERNELS.items():
        assert info.name == name and callable(getattr(rolling, name))
        assert len(info.params) == info.inputs + 1
        assert list(inspect.signature(getattr(rolling, name)).parameters) == list(info.params)
        assert all(callable(getattr(rolling, op)) for op in info.operators)


@given(last=st.integers(-(1 << 64), 1 << 64))
@settings(max_examples=80, deadline=None)
def test_check_last_against_the_bounds(last):
    if -(1 << 62) <= last <= 1 << 62:
        assert check_last(last) == last
        assert check_last(np.int64(last) if abs(last) < 1 << 63 else last) == last
    else:
        with pytest.raises(ValueError, match=rf"^last must lie within \+-2\*\*62, got {last}$"):
            check_last(last)


@pytest.mark.parametrize("value, kind", [(True, "bool"), (1.5, "float"), ("3", "str"), (np.float64(2), "float64")])
def test_check_last_refuses_non_integers(value, kind):
    with pytest.raises(TypeError, match=f"^last must be an integer or None, got {kind}$"):
        check_last(value)
    with pytest.raises(TypeError, match=f"^last must be an integer or None, got {kind}$"):
        rolling._apply_columns("ma", 2, np.ones((4, 2)), last=value)


@pytest.mark.parametrize("name", ["ma", "ts_rank", "std", "covariance"])
@pytest.mark.parametrize("last", [None, 0, 7, np.int32(7), 1 << 62])
def test_apply_columns_reads_last_like_an_int(name, last):
    rng = np.random.default_rng(3)
    arrays = [rng.normal(size=(30, 3)) for _ in range(rolling.KERNELS[name].inputs)]
    got = rolling._apply_columns(name, 5, *arrays, last=last)
    want = rolling._apply_columns(name, 5, *arrays, last=None if last is None else operator.index(last))
    np.testing.assert_array_equal(got, want)
    for j in range(3):  # the batch equals the single-series kernel
        np.testing.assert_allclose(got[:, j], getattr(rolling, name)(*(a[:, j] for a in arrays), 5)
                                   if rolling.KERNELS[name].inputs == 1 else
                                   getattr(rolling, name)(5, *(a[:, j] for a in arrays)), rtol=1e-9, atol=1e-12)
    with pytest.raises(ValueError, match=r"^last must lie within \+-2\*\*62"):
        rolling._apply_columns(name, 5, *arrays, last=(1 << 62) + 1)


# ---------------------------------------------------------------- through the neutralization step


@pytest.mark.parametrize("labels", ["timestamps", "strings", "dates"])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_neutralization_reads_industry_tables_dated_in_any_form(monkeypatch, labels, seed):
    from test_neutralize import Client, assert_frames_close, reference, random_case

    from zarnik.analysis import assayer

    _, df, style_df, cat = random_case(seed, 7, 9, 2, 3)
    step = assayer.Neutralization(industry="citics_2019", style_factors="all")
    want = reference(df, step, style_df, cat)
    shown = cat.copy()
    if labels == "strings":
        shown.index = [str(d.date()) for d in cat.index]
    elif labels == "dates":
        shown.index = [d.date() for d in cat.index]
    Client(monkeypatch, assayer, style_df=style_df, category=shown)
    assert_frames_close(step.process(df), want)


@pytest.mark.parametrize("category", [None, [[1, 2]], pd.Series([1, 2])])
def test_neutralization_refuses_an_industry_reply_that_is_no_table(monkeypatch, category):
    from test_neutralize import Client, random_case

    from zarnik.analysis import assayer

    _, df, style_df, _ = random_case(0, 4, 5, 1, 2)
    Client(monkeypatch, assayer, style_df=style_df, category=category)
    step = assayer.Neutralization(industry="citics_2019", style_factors=None)
    with pytest.raises(TypeError, match=f"^get_all_industry_category: expected a DataFrame, got {type(category)}$"):
        step.process(df)
