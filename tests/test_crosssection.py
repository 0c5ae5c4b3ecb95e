"""Cross-sectional and group operators against plain numpy / pandas references."""

import math
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import zarnik
from zarnik import operators as ops
from zarnik.formula import FormulaError, parse
from zarnik.interface import BinaryCombinedFactor, UnaryCombinedFactor
from zarnik.leaves import IndustryFactor

# values with NaN, +-inf and many ties; codes with NaN and single-member groups
_values = st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, 1.0, 2.5, -3.0, 1e150, -1e-300, 7.0])
_floats = st.one_of(_values, st.floats(-1e6, 1e6, allow_nan=False))


def panels(max_rows=6, max_cols=9):
    return st.tuples(st.integers(1, max_rows), st.integers(1, max_cols)).flatmap(
        lambda s: st.tuples(arrays(np.float64, s, elements=_floats),
                            arrays(np.float64, s, elements=st.sampled_from([0.0, 1.0, 2.0, 5.0, np.nan]))))


def ref_rank(x):
    return pd.DataFrame(x).rank(axis=1, pct=True).to_numpy()


def ref_group(x, g, fn):
    """fn(values of one date's group as a Series) -> Series, applied per (date, code)."""
    out = np.full(x.shape, np.nan)
    for r in range(x.shape[0]):
        s = pd.Series(x[r])
        ok = ~np.isnan(g[r]) & ~np.isnan(x[r])
        for code in np.unique(g[r][ok]):
            members = ok & (g[r] == code)
            out[r, members] = fn(s[members]).to_numpy()
    return out


def exact_mean(v):
    """The mean of finite values as an exact fraction (None when a value is not finite)."""
    v = list(v)
    if not all(np.isfinite(v)):
        return None
    return sum(Fraction(x) for x in v) / len(v)


def ref_demean(s):
    m = exact_mean(s)
    if m is None:
        return s - sum(s) / len(s)  # IEEE: inf stays inf, inf - inf is NaN
    return s.map(lambda x: float(Fraction(x) - m))


def ref_zscore(s):
    fin = s[np.isfinite(s)]
    if len(fin) < 2:
        return s * np.nan
    m = exact_mean(fin)
    var = sum((Fraction(x) - m) ** 2 for x in fin) / (len(fin) - 1)
    if not var > 0:
        return s * np.nan
    sd = math.sqrt(var) if var > 1e-300 else None  # a float sd of tiny values would be subnormal

    def z(x):
        if not np.isfinite(x):
            return x * math.inf if sd is None else (x - float(m)) / sd
        d = Fraction(x) - m
        return math.copysign(math.sqrt(d * d / var), d) if d else 0.0  # exact ratio, one rounding

    return s.map(z)


def close_or_nan(a, b):
    np.testing.assert_allclose(a, b, rtol=1e-9, atol=1e-12, equal_nan=True)


@settings(max_examples=150, deadline=None)
@given(panels())
def test_rank_matches_pandas_and_stays_in_unit_interval(xg):
    x, _ = xg
    got = ops.cs_rank(x)
    close_or_nan(got, ref_rank(x))
    fin = got[~np.isnan(got)]
    assert ((fin > 0) & (fin <= 1)).all()
    assert np.array_equal(np.isnan(got), np.isnan(x))  # NaN in, NaN out; everything else ranked


@settings(max_examples=150, deadline=None)
@given(panels(), st.integers(1, 7))
def test_quantile_bucket_is_ceil_of_rank_times_n(xg, n):
    x, _ = xg
    got = ops.quantile_bucket(x, n)
    want = np.ceil(np.round(ref_rank(x) * n, 9))
    close_or_nan(got, want)
    fin = got[~np.isnan(got)]
    assert ((fin >= 1) & (fin <= n)).all()


@settings(max_examples=150, deadline=None)
@given(panels())
def test_group_operators_match_pandas_groupby(xg):
    x, g = xg
    close_or_nan(ops.group_demean(x, g), ref_group(x, g, ref_demean))
    close_or_nan(ops.group_rank(x, g), ref_group(x, g, lambda s: s.rank(pct=True)))
    close_or_nan(ops.group_zscore(x, g), ref_group(x, g, ref_zscore))
    one = np.zeros_like(g)
    close_or_nan(ops.cs_zscore(x), ref_group(x, one, ref_zscore))
    close_or_nan(ops.group_rank(x, one), ref_rank(x))


@settings(max_examples=150, deadline=None)
@given(panels(), st.sampled_from([1.0, 2.0, -0.5]))
def test_scale_and_signed_power(xg, a):
    x, _ = xg
    df = pd.DataFrame(x)
    with np.errstate(all="ignore"):
        want = (df.div(df.abs().sum(axis=1, min_count=1), axis=0) * a).to_numpy()
        close_or_nan(ops.cs_scale(x, a), want)
        close_or_nan(ops.signed_power(x, a), np.sign(x) * np.abs(x) ** a)


@pytest.mark.parametrize("row", [
    [0.0, 5e-324, 5e-324, 5e-324, 5e-324],  # a mean of 0.8 of the smallest subnormal
    [5e-324, 0.0],
    [-1e-300, 1e-310, 3e-305, np.inf],
    [2.5e-308, -7e-309, 1e-320, np.nan, 4e-316],
])
def test_zscore_of_values_near_the_subnormal_range(row):
    """Tiny values have well-defined z-scores: the exact ones (to 1e-9), not NaN or zeros."""
    x = np.array([row])
    one = np.zeros_like(x)
    want = ref_group(x, one, ref_zscore)
    assert np.isfinite(want[0, :2]).all()
    close_or_nan(ops.cs_zscore(x), want)
    close_or_nan(ops.group_zscore(x, one), want)


@settings(max_examples=100, deadline=None)
@given(arrays(np.float64, st.tuples(st.integers(1, 4), st.integers(2, 9)),
              elements=st.one_of(st.just(0.0), st.floats(1e-3, 1e6), st.floats(-1e6, -1e-3))))
def test_zscore_does_not_depend_on_a_power_of_two_scale(x):
    """Scaling by 2**-1000 (values far below the normal range's top, above its bottom) and up
    again is exact, so the z-scores keep their bits."""
    g = np.zeros_like(x)
    for f in (ops.cs_zscore, lambda v: ops.group_zscore(v, g)):
        want = f(x)
        got = f(np.ldexp(x, -1000))
        assert np.array_equal(got, want, equal_nan=True)


def test_single_member_groups_and_empty_dates():
    x = np.array([[1.0, 2.0, 3.0, np.nan], [np.nan] * 4])
    g = np.array([[0.0, 1.0, 1.0, 1.0], [0.0, 0.0, 1.0, 1.0]])
    np.testing.assert_array_equal(ops.group_demean(x, g), [[0.0, -0.5, 0.5, np.nan], [np.nan] * 4])
    np.testing.assert_array_equal(ops.group_rank(x, g), [[1.0, 0.5, 1.0, np.nan], [np.nan] * 4])
    assert np.isnan(ops.group_zscore(x, g)[0, 0])  # one member: no std
    assert np.isnan(ops.cs_rank(x)[1]).all()


def test_infinities_are_ordered_values_and_nan_is_missing():
    x = np.array([[np.inf, np.nan, 1.0, -np.inf, 1.0]])
    np.testing.assert_array_equal(ops.cs_rank(x), [[1.0, np.nan, 0.625, 0.25, 0.625]])
    np.testing.assert_array_equal(ops.quantile_bucket(x, 2), [[2.0, np.nan, 2.0, 1.0, 2.0]])


def test_results_do_not_depend_on_layout_or_threads(monkeypatch):
    rng = np.random.default_rng(0)
    x = np.round(rng.normal(size=(70, 40)), 1)
    x[rng.random(x.shape) < 0.1] = np.nan
    g = rng.integers(0, 5, x.shape).astype(float)
    base = {op: ops._cross_section(x, op, g) for op in ("rank", "demean", "zscore", "scale")}
    monkeypatch.setenv("ZARNIK_NUM_THREADS", "1")
    for op, want in base.items():
        np.testing.assert_array_equal(ops._cross_section(np.asfortranarray(x), op, g), want)
        # reversed columns: the same numbers, summed in another order
        np.testing.assert_allclose(ops._cross_section(x[:, ::-1], op, g[:, ::-1])[:, ::-1], want, rtol=1e-12,
                                   atol=1e-15)
    # integer and boolean inputs are numbers like any other
    np.testing.assert_array_equal(ops.cs_rank(np.array([[3, 1, 2]])), [[1.0, 1 / 3, 2 / 3]])
    np.testing.assert_array_equal(ops.cs_rank(np.array([[True, False]])), [[1.0, 0.5]])


@pytest.mark.parametrize("call, exc, pattern", [
    (lambda: zarnik._core.cross_section(np.zeros((2, 2, 2)), "rank"), ValueError, "2-D"),
    (lambda: zarnik._core.cross_section(np.array([["a"]]), "rank"), TypeError, "numeric"),
    (lambda: zarnik._core.cross_section(np.zeros((2, 2)), "median"), ValueError, "op"),
    (lambda: zarnik._core.cross_section(np.zeros((2, 2)), "demean", np.zeros((2, 3))), ValueError, "shape"),
    (lambda: zarnik._core.cross_section(np.zeros((2, 2)), "bucket", None, 0.0), ValueError, "buckets"),
    (lambda: ops.quantile_bucket(np.zeros((2, 2)), 2.5), ValueError, "whole number"),
])
def test_bad_inputs_raise_clear_errors(call, exc, pattern):
    with pytest.raises(exc, match=pattern):
        call()


def test_operator_nodes_and_their_keys():
    f = zarnik.Factor("close")
    assert RANK_KEY(ops.RANK(f)) == (ops.cs_rank, (f,))
    s = ops.SCALE(f, 2)
    assert isinstance(s, BinaryCombinedFactor) and s.expr == (ops.cs_scale, (f, 2.0))
    assert ops.SCALE(f).expr == (ops.cs_scale, (f, 1.0))
    assert ops.SIGNEDPOWER(f, 2).expr == (ops.signed_power, (f, 2.0))
    assert ops.QUANTILE_BUCKET(f, 5).expr == (ops.quantile_bucket, (f, 5.0))
    assert isinstance(ops.CS_ZSCORE(f), UnaryCombinedFactor)
    ind = ops.INDNEUTRALIZE(f)
    assert ind.expr == (ops.group_demean, (f, IndustryFactor("citics_2019")))
    for level in ("sector", "industry", "subindustry"):
        assert ops.INDNEUTRALIZE(f, level).expr == ind.expr
    assert ops.GROUP_DEMEAN(f, "sws").expr == (ops.group_demean, (f, IndustryFactor("sws")))
    assert ops.GROUP_RANK(f, zarnik.Factor("volume")).expr[0] is ops.group_rank
    with pytest.raises(TypeError, match="groups"):
        ops.GROUP_DEMEAN(f, 3)
    with pytest.raises(ValueError, match="industry source"):
        ops.INDNEUTRALIZE(f, "gics")
    with pytest.raises(ValueError, match="whole number"):
        ops.QUANTILE_BUCKET(f, 0)
    with pytest.raises(TypeError, match="SCALE"):
        ops.SCALE(3, 1)


def RANK_KEY(node):
    return node.expr


@pytest.mark.parametrize("text", [
    "SCALE(close)", "SCALE(close, 2)", "SIGNEDPOWER(close - open, 2)", "CS_ZSCORE(volume)",
    "QUANTILE_BUCKET(close, 5)", "GROUP_DEMEAN(close, industry)", "INDNEUTRALIZE(close, industry_sws)",
    "GROUP_RANK(close, industry)", "GROUP_ZSCORE(close, industry)", "ADV(20) / adv20",
    "vwap + returns + cap + turnover_rate",
])
def test_new_operators_and_leaves_parse(text):
    assert isinstance(parse(text), zarnik.interface.AbstractFactor)


def test_fields_are_listed_and_documented():
    docs = zarnik.fields()
    for name in ("open", "close", "volume", "total_turnover", "vwap", "returns", "cap", "turnover_rate",
                 "industry", "industry_sws", "adv{d}"):
        assert docs[name].strip()
    with pytest.raises(FormulaError, match="unknown name 'adv0'"):
        parse("adv0 + close")


# Wide rows: more than 16 present values take the bucket sort, and clustered values (many near-equal,
# differing in their last bits, of both signs, with ties, infinities and signed zeros) take it into
# several levels; the result must be pandas' ranks bit for bit, in every layout.
_near = st.sampled_from([1.0, np.nextafter(1.0, 2.0), np.nextafter(1.0, 0.0), 1.0 + 2**-40, -1.0, 1e-300, -1e-300,
                         5e-324, -5e-324, 0.0, -0.0, np.inf, -np.inf, np.nan, 1e300, 3.0, 3.0])
_wide_floats = st.one_of(_near, st.floats(-1e3, 1e3, allow_nan=False), st.floats(allow_nan=True))


def wide_panels():
    return st.tuples(st.integers(1, 4), st.integers(17, 300)).flatmap(
        lambda s: arrays(np.float64, s, elements=_wide_floats))


@settings(max_examples=120, deadline=None)
@given(wide_panels(), st.sampled_from(["C", "F", "reversed"]))
def test_wide_rows_rank_exactly_as_pandas_in_every_layout(x, layout):
    want = ref_rank(x)
    want_desc = pd.DataFrame(x).rank(axis=1, pct=True, ascending=False).to_numpy()
    if layout == "F":
        x = np.asfortranarray(x)
    elif layout == "reversed":  # negative strides along both axes
        x, want, want_desc = x[::-1, ::-1], want[::-1, ::-1], want_desc[::-1, ::-1]
    np.testing.assert_array_equal(zarnik._core.percentile_rank(x), want)
    np.testing.assert_array_equal(zarnik._core.percentile_rank(x, ascending=False), want_desc)
    np.testing.assert_array_equal(ops._cross_section(x, "rank"), want)


@settings(max_examples=60, deadline=None)
@given(wide_panels(), st.integers(1, 7))
def test_wide_rows_group_ranks_and_buckets(x, n):
    g = (np.arange(x.size).reshape(x.shape) % 3).astype(float)
    got = ops.group_rank(x, g)
    want = ref_group(x, g, lambda s: s.rank(pct=True))
    np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(ops.quantile_bucket(x, n), np.ceil(np.round(ref_rank(x) * n, 9)))


@settings(max_examples=100, deadline=None)
@given(st.one_of(panels().map(lambda xg: xg[0]), wide_panels()))
def test_rank_of_a_rank_is_the_rank_bit_for_bit(x):
    # the engine evaluates RANK(RANK(x)) as RANK(x) on this ground
    once = ops.cs_rank(x)
    np.testing.assert_array_equal(ops.cs_rank(once), once)
    assert np.array_equal(np.signbit(ops.cs_rank(once)), np.signbit(once))


def test_the_engine_evaluates_a_rank_of_a_rank_once():
    from zarnik.engine import _Graph

    close = zarnik.Factor("close")
    g = _Graph()
    once = g.add(ops.RANK(close).expr)
    assert g.add(ops.RANK(ops.RANK(ops.RANK(close))).expr) == once
    n = len(g.keys)
    assert g.add(ops.RANK(-ops.RANK(close)).expr) != once and len(g.keys) > n  # not a rank of a rank
