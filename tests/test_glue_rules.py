"""The label, dtype and argument rules the extension modules call in Python, checked
directly against independent references (numpy's own error state, plain loops)."""

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from zarnik import rolling
from zarnik.analysis import checks, market_tables
from zarnik.utils import constant_value, kernel_input, report_conditions

# ---------------------------------------------------------------- kernel inputs

UNUSUAL = ["float16", ">f8", ">i4", "<u2" if np.little_endian else ">u2", "longdouble", "object", "bool", "int8"]


@pytest.mark.parametrize("dtype", UNUSUAL)
@given(values=st.lists(st.integers(-100, 100), min_size=1, max_size=20))
@settings(max_examples=25, deadline=None)
def test_kernel_input_keeps_the_values(dtype, values):
    x = np.array(values).astype(dtype)
    got, half = kernel_input("ma", x, False)
    assert got.dtype.isnative
    assert got.dtype.kind in "biuf" and got.dtype.itemsize in (1, 2, 4, 8)
    assert half == (np.dtype(dtype) == np.float16)
    np.testing.assert_array_equal(got.astype(np.float64), x.astype(np.float64))


@pytest.mark.parametrize("dtype", ["float64", "int16", "object", "float16"])
def test_kernel_input_counts_truth_values(dtype):
    x = np.array([0, 1, 2, 0, 3]).astype(dtype)
    got, half = kernel_input("count", x, True)
    assert got.dtype == np.bool_ and not half
    np.testing.assert_array_equal(got, x.astype(bool))


@pytest.mark.parametrize(
    "x, message",
    [
        (np.array([1j, 2j]), "ma: expected real numbers, got complex128"),
        (np.array(["a", "b"]), "ma: expected a numeric array, got dtype <U1"),
        (np.array(["2020-01-01"], dtype="M8[D]"), "ma: expected a numeric array, got dtype datetime64[D]"),
        (np.array(["x", 1.0], dtype=object), "ma: expected numeric values, got an object array"),
    ],
)
def test_kernel_input_refuses_non_numbers(x, message):
    with pytest.raises(TypeError, match="^" + message.replace("[", r"\[").replace("]", r"\]")):
        kernel_input("ma", x, False)
    # the kernel itself says the same
    with pytest.raises(TypeError, match="^" + message.replace("[", r"\[").replace("]", r"\]")):
        rolling.ma(x, 1)


# ---------------------------------------------------------------- floating-point reports


def numpy_outcome(key, mode):
    """What numpy itself does with one condition under `mode`: the reference."""
    op = {"divide": lambda: np.float64(1.0) / np.float64(0.0),
          "over": lambda: np.float64(1e308) * np.float64(10.0),
          "invalid": lambda: np.float64(0.0) / np.float64(0.0)}[key]
    return outcome(op, key, mode)


def outcome(fn, key, mode):
    with warnings.catch_warnings(record=True) as caught, np.errstate(**{key: mode}):
        warnings.simplefilter("always")
        try:
            fn()
        except FloatingPointError:
            return "raised"
    return "warned" if any(issubclass(w.category, RuntimeWarning) for w in caught) else "silent"


@pytest.mark.parametrize("key", ["divide", "over", "invalid"])
@pytest.mark.parametrize("mode", ["ignore", "warn", "raise"])
def test_report_conditions_follows_numpy(key, mode):
    flags = {"divide": key == "divide", "overflow": key == "over", "invalid": key == "invalid"}
    got = outcome(lambda: report_conditions("ma", **flags), key, mode)
    assert got == numpy_outcome(key, mode)


def test_report_conditions_calls_the_error_callback():
    seen = []
    with np.errstate(all="call"):
        old = np.seterrcall(lambda text, flag: seen.append((text, flag)))
        try:
            report_conditions("zscore", True, False, True)
        finally:
            np.seterrcall(old)
    assert seen == [("divide by zero", 1), ("invalid value", 8)]


# ---------------------------------------------------------------- constants


@pytest.mark.parametrize("value", ["1.5", " 2 ", "nan", "-inf", True, np.int32(7), np.float32(0.25), 3, -(2**70)])
def test_constant_value_reads_numbers_as_float(value):
    got = constant_value(value)
    assert type(got) is float
    assert got == float(value) or (np.isnan(got) and np.isnan(float(value)))


def test_constant_value_keeps_arrays_and_keeps_the_conversion_error():
    a = np.arange(3.0)
    assert constant_value(a) is a
    np.testing.assert_array_equal(constant_value(pd.Series(a, index=list("xyz"))), a)
    with pytest.raises(ValueError, match="^invalid constant value abc$") as info:
        constant_value("abc")
    assert isinstance(info.value.__context__, ValueError) and info.value.__cause__ is None


# ---------------------------------------------------------------- frames and labels


def reference_freq(index):
    stamps = list(index)
    if any(s.second for s in stamps):
        return "tick"
    if any(s.minute for s in stamps):
        return "1m"
    if all(s.hour == 0 and s.microsecond == 0 for s in stamps):
        return "1d"
    return None


@given(st.lists(st.tuples(st.integers(0, 2), st.integers(0, 1), st.integers(0, 1), st.integers(0, 1)),
                min_size=1, max_size=8))
@settings(max_examples=60, deadline=None)
def test_datetime_freq_against_a_loop(parts):
    index = pd.DatetimeIndex([pd.Timestamp("2021-01-04") + pd.Timedelta(days=d, hours=h * 9, minutes=m * 30,
                                                                          seconds=s * 3)
                              for d, h, m, s in parts])
    want = reference_freq(index)
    if want is None:
        with pytest.raises(ValueError, match="^Unknown datetime index"):
            checks.datetime_freq(index)
    else:
        assert checks.datetime_freq(index) == want


@given(st.lists(st.sampled_from(["A", "B", "C", "D"]), min_size=1, max_size=4, unique=True),
       st.lists(st.integers(0, 5), min_size=1, max_size=6, unique=True),
       st.booleans())
@settings(max_examples=60, deadline=None)
def test_exposure_positions_against_a_loop(ids, days, swap):
    dates = pd.date_range("2021-01-04", periods=6)
    rows = [(i, dates[d]) for i in ids[:3] for d in days]
    index = pd.MultiIndex.from_tuples(rows, names=["order_book_id", "date"])
    table = pd.DataFrame({"beta": np.arange(len(rows), dtype=float)}, index=index)
    if swap:
        table = table.reorder_levels(["date", "order_book_id"])
    frame_dates = dates[::2] + pd.Timedelta(hours=15)
    frame_ids = ["B", "A", "D", "E"]
    date_pos, inst_pos, dcodes, icodes, nd, ni = market_tables.exposure_positions(table, frame_dates, frame_ids, False)
    mi = table.index
    dlev = list(mi.names).index("date")
    ilev = 1 - dlev
    # every row's labels through the codes, every target through the positions
    for r in range(len(table)):
        assert mi.levels[dlev][dcodes[r]] == mi[r][dlev]
        assert mi.levels[ilev][icodes[r]] == mi[r][ilev]
    for t, stamp in enumerate(frame_dates):
        day = stamp.normalize()
        want = list(mi.levels[dlev]).index(day) if day in set(mi.levels[dlev]) else -1
        assert date_pos[t] == want
    for i, name in enumerate(frame_ids):
        want = list(mi.levels[ilev]).index(name) if name in set(mi.levels[ilev]) else -1
        assert inst_pos[i] == want
    assert (nd, ni) == (len(mi.levels[dlev]), len(mi.levels[ilev]))


@pytest.mark.parametrize(
    "names, ok",
    [(["datetime", "order_book_id"], True), (["order_book_id", "datetime"], True),
     (["date", "order_book_id"], False), (["datetime", None], False)],
)
def test_long_table_codes(names, ok):
    dates = pd.to_datetime(["2021-01-05", "2021-01-04", "2021-01-05"])
    pairs = list(zip(dates, ["A", "B", "B"]))
    if names[0] != "datetime":
        pairs = [(b, a) for a, b in pairs]
    table = pd.DataFrame({"x": [1.0, 2.0, 3.0]}, index=pd.MultiIndex.from_tuples(pairs, names=names))
    if not ok:
        with pytest.raises(ValueError, match=r"expected a long table indexed by \(datetime, order_book_id\)"):
            checks.long_table_codes(table)
        return
    level, dcodes, ocodes, order, n = checks.long_table_codes(table)
    di = names.index("datetime")
    assert [level[c] for c in dcodes] == [p[di] for p in pairs]
    assert list(level[order]) == sorted(level)
    assert n == 2 and dcodes.dtype == ocodes.dtype == order.dtype == np.int64


@pytest.mark.parametrize(
    "industry, style, others, add_const, stored",
    [
        ("sws", "all", None, None, ("sws", True, None, None, 0)),
        (None, ["beta"], None, None, (None, True, ["beta"], None, 1)),
        (None, None, [], True, (None, False, None, [], 1)),
        ("citics_2019", None, None, 0, ("citics_2019", False, None, None, 0)),
    ],
)
def test_neutralization_settings(industry, style, others, add_const, stored):
    class Step:
        pass

    step = Step()
    checks.neutralization_settings(step, industry, style, others, add_const, ("citics_2019", "sws"))
    assert (step.industry, step.style_neutralize, step.style_factors, step.other_factors, step.add_const) == stored
    assert type(step.add_const) is int


@pytest.mark.parametrize(
    "industry, style, others, message",
    [("zx", "all", None, r"^industry: expect one of \('citics_2019', 'sws'\), got zx$"),
     (None, None, None, "^Expect at least one of")],
)
def test_neutralization_settings_refuses(industry, style, others, message):
    with pytest.raises(ValueError, match=message):
        checks.neutralization_settings(object(), industry, style, others, None, ("citics_2019", "sws"))
