"""The core's rank, grouped-correlation and return routines against slow numpy/scipy formulations."""
from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats

from zarnik import _core, operators
from zarnik.analysis import assayer
from zarnik.analysis import statistics as zs

# values with ties, signed zeros, infinities and missing values
VALUE = st.sampled_from([np.nan, -np.inf, np.inf, 0.0, -0.0, 1.0, -1.0, 2.5, 1e30, -1e-3]) | st.floats(
    -5, 5, allow_nan=False).map(lambda v: round(v, 1))


def ref_percentile(row: np.ndarray, ascending: bool) -> np.ndarray:
    out = np.full(row.shape, np.nan)
    ok = ~np.isnan(row)
    if ok.any():
        vals = row[ok] if ascending else -row[ok]
        out[ok] = stats.rankdata(vals, method="average") / ok.sum()
    return out


@settings(max_examples=150, deadline=None)
@given(st.integers(1, 6), st.integers(1, 40), st.data(), st.booleans())
def test_percentile_rank_equals_rankdata(rows, cols, data, ascending):
    m = np.array(data.draw(st.lists(VALUE, min_size=rows * cols, max_size=rows * cols)), float).reshape(rows, cols)
    got = _core.percentile_rank(m, ascending)
    want = np.vstack([ref_percentile(r, ascending) for r in m])
    np.testing.assert_array_equal(got, want)
    if ascending:
        np.testing.assert_array_equal(operators.cs_rank(m), want)


def _panel(kind: str, rows: int, cols: int, rng: np.random.Generator) -> np.ndarray:
    if kind == "normal":
        x = rng.standard_normal((rows, cols))
    elif kind == "volumes":  # lognormal, spread over many binary exponents
        x = np.exp(3.0 * rng.standard_normal((rows, cols))) * 1e5
    elif kind == "prices":  # rounded to cents: heavy ties
        x = np.round(np.exp(rng.normal(3.0, 0.2, (rows, cols))), 2)
    elif kind == "ranks":  # already percentile ranks, with ties
        x = rng.integers(1, cols + 1, (rows, cols)) / cols
    elif kind == "low_bits":  # values that differ only in their last mantissa bits
        x = 1.0 + rng.integers(0, 4096, (rows, cols)) * np.finfo(float).eps
        x[:, ::7] *= -1
    elif kind == "subnormal":
        x = rng.integers(-50, 50, (rows, cols)) * 5e-324
    else:  # "mixed": constant and all-missing rows, infinities, signed zeros
        x = np.round(rng.standard_normal((rows, cols)), 1)
        x[rng.random(x.shape) < 0.05] = np.inf
        x[rng.random(x.shape) < 0.05] = -np.inf
        x[rng.random(x.shape) < 0.05] = -0.0
        x[0] = 4.0
        x[1] = np.nan
        x[2, 1:] = np.nan
    x[rng.random(x.shape) < 0.1] = np.nan
    return x


@pytest.mark.parametrize("kind", ["normal", "volumes", "prices", "ranks", "low_bits", "subnormal", "mixed"])
@pytest.mark.parametrize("cols", [300, 3000, 5000])
def test_percentile_rank_of_panels_equals_rankdata_in_every_layout_and_thread_count(kind, cols, monkeypatch):
    x = _panel(kind, 24, cols, np.random.default_rng(cols))
    count = (~np.isnan(x)).sum(axis=1, keepdims=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-missing rows: 0 / 0
        want_up = stats.rankdata(x, axis=1, method="average", nan_policy="omit") / count
        want_down = stats.rankdata(-x, axis=1, method="average", nan_policy="omit") / count
    for threads in ("1", "2"):
        monkeypatch.setenv("ZARNIK_NUM_THREADS", threads)
        for layout in (x, np.asfortranarray(x)):
            np.testing.assert_array_equal(_core.percentile_rank(layout), want_up)
            np.testing.assert_array_equal(_core.percentile_rank(layout, False), want_down)


@pytest.mark.parametrize("value, expected_shape", [
    (np.array([3.0, np.nan, 1.0]), (3,)),
    (np.array(7.0), ()),
    (np.array([[1, 2], [2, 2]], dtype=np.int32), (2, 2)),
    (np.array([[1.0, None]], dtype=object), (1, 2)),
])
def test_cs_rank_shapes_and_dtypes(value, expected_shape):
    got = np.asarray(operators.cs_rank(value))
    assert got.shape == expected_shape and got.dtype == np.float64
    rows = np.asarray(value, dtype=np.float64).reshape(-1, expected_shape[-1] if expected_shape else 1)
    want = np.vstack([ref_percentile(r, True) for r in rows])
    np.testing.assert_array_equal(got.reshape(want.shape), want)


@pytest.mark.parametrize("bad, exc", [
    (np.zeros((2, 2, 2)), ValueError),
    (np.array([["a", "b"]]), TypeError),
])
def test_percentile_rank_rejects_bad_input(bad, exc):
    with pytest.raises(exc):
        _core.percentile_rank(bad)


def ref_cell_corr(f, rs, cells, n_cells, rank):
    out = np.full((n_cells, len(rs)), np.nan)
    for c in range(n_cells):
        for k, r in enumerate(rs):
            ok = (cells == c) & ~np.isnan(f) & ~np.isnan(r)
            x, y = r[ok], f[ok]
            if ok.sum() < 2:
                continue
            if rank:
                x, y = stats.rankdata(x), stats.rankdata(y)
            elif not (np.isfinite(x).all() and np.isfinite(y).all()):
                continue
            if np.all(x == x[0]) or np.all(y == y[0]):
                continue
            out[c, k] = np.corrcoef(x, y)[0, 1]
    return out


@settings(max_examples=120, deadline=None)
@given(st.integers(0, 60), st.integers(1, 5), st.integers(1, 3), st.booleans(), st.data())
def test_cell_correlations_equal_reference(rows, n_cells, k, rank, data):
    f = np.array(data.draw(st.lists(VALUE, min_size=rows, max_size=rows)), float)
    rs = [np.array(data.draw(st.lists(VALUE, min_size=rows, max_size=rows)), float) for _ in range(k)]
    cells = np.array(data.draw(st.lists(st.integers(-1, n_cells - 1), min_size=rows, max_size=rows)), np.int64)
    r, n = _core.cell_correlations(f, rs, cells, n_cells, rank)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        want = ref_cell_corr(f, rs, cells, n_cells, rank)
    np.testing.assert_allclose(r, want, rtol=0, atol=1e-12)
    for c in range(n_cells):
        for j, ret in enumerate(rs):
            assert n[c, j] == ((cells == c) & ~np.isnan(f) & ~np.isnan(ret)).sum()


def test_cell_correlations_rejects_bad_cells():
    with pytest.raises(ValueError, match="below n_cells"):
        _core.cell_correlations(np.ones(3), [np.ones(3)], np.array([0, 1, 5]), 2, True)
    with pytest.raises(ValueError, match="one integer cell code"):
        _core.cell_correlations(np.ones(3), [np.ones(3)], np.array([0, 1]), 2, True)
    with pytest.raises(ValueError, match="one value per factor value"):
        _core.cell_correlations(np.ones(3), [np.ones(2)], np.array([0, 1, 1]), 2, True)


def ref_grouped_ic(table, labels, rank):
    fields = [c for c in table.columns if c.startswith("P_")]
    rows, index = [], []
    tagged = table.assign(_g=labels, _d=table.index.get_level_values("datetime")).dropna(subset=["_g"])
    for (date, group), part in tagged.groupby(["_d", "_g"], sort=True):
        if part["factor"].isna().all():
            continue
        vals = []
        for field in fields:
            ok = part["factor"].notna() & part[field].notna()
            x, y = part.loc[ok, "factor"].to_numpy(), part.loc[ok, field].to_numpy()
            if len(x) < 2 or np.all(x == x[0]) or np.all(y == y[0]):
                vals.append(np.nan)
            else:
                fn = stats.spearmanr if rank else stats.pearsonr
                vals.append(fn(x, y)[0])
        rows.append(vals)
        index.append((date, group))
    return pd.DataFrame(rows, index=pd.MultiIndex.from_tuples(index, names=["datetime", "industry"]),
                        columns=fields)


@pytest.mark.parametrize("rank", [True, False])
def test_grouped_ic_equals_per_group_scipy(rank):
    rng = np.random.default_rng(3)
    dates = pd.bdate_range("2021-01-04", periods=12, name="datetime")
    ids = pd.Index(["s{}".format(i) for i in range(15)], name="order_book_id")
    idx = pd.MultiIndex.from_product([dates, ids])
    table = pd.DataFrame({"factor": rng.normal(size=len(idx)).round(1), "P_1": rng.normal(size=len(idx)),
                          "P_5": rng.normal(size=len(idx))}, index=idx)
    table.loc[table.sample(frac=0.2, random_state=1).index, "factor"] = np.nan
    table.loc[table.sample(frac=0.2, random_state=2).index, "P_5"] = np.nan
    labels = np.array(["A", "B", "C", None, "B"] * 3, dtype=object)[np.tile(np.arange(15), 12)]
    got = zs.grouped_ic(table, labels, rank=rank)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = ref_grouped_ic(table, labels, rank)
    pd.testing.assert_index_equal(got.index, want.index)
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=0, atol=1e-12)


class _Capture(assayer.ICAnalysis):
    def _calc_ic(self, factor, ret_table, ret_fields):
        self.captured = {k: np.array(ret_table[k]) for k in ret_fields}
        return super()._calc_ic(factor, ret_table, ret_fields)


RET = st.sampled_from([np.nan, -1.0, np.inf, 0.0]) | st.floats(-0.5, 0.5, allow_nan=False)


@settings(max_examples=80, deadline=None)
@given(st.integers(2, 12), st.integers(1, 4), st.lists(st.integers(1, 6), min_size=1, max_size=3, unique=True),
       st.data())
def test_forward_returns_carry_the_growth_index(days, width, periods, data):
    vals = np.array(data.draw(st.lists(RET, min_size=days * width, max_size=days * width)), float)
    dates = pd.bdate_range("2020-01-01", periods=days, name="datetime")
    cols = pd.Index(["c{}".format(i) for i in range(width)], name="order_book_id")
    returns = pd.DataFrame(vals.reshape(days, width), index=dates, columns=cols)
    first = data.draw(st.integers(0, days - 1))
    factor = pd.DataFrame(np.ones((days - first, width)), index=dates[first:], columns=cols)
    step = _Capture(rank_ic=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        step.analysis(factor, returns, periods)
    # reference: running product of (1 + r), missing as 0, the last defined product carried forward
    r = returns.to_numpy()
    with np.errstate(all="ignore"):
        acc = np.cumprod(np.nan_to_num(r, nan=0.0, posinf=np.inf, neginf=-np.inf) + 1.0, axis=0)
        growth = pd.DataFrame(np.where(np.isnan(acc), np.nan, acc)).ffill().to_numpy().copy()
        growth[np.isnan(r)] = np.nan
        for p in periods:
            want = np.full((days - first, width), np.nan)
            for i, t in enumerate(range(first, days)):
                if t + p < days:
                    want[i] = growth[t + p] / growth[t] - 1.0
            np.testing.assert_array_equal(step.captured["P_{}".format(p)], want)


@pytest.mark.parametrize("fn, params", [
    (assayer.ICAnalysis.__init__, ["self", "rank_ic", "industry_classification", "max_decay"]),
    (assayer.ICAnalysis.analysis, ["self", "factor_data", "returns", "periods", "ascending"]),
    (assayer.ICAnalysis._calc_ic_decay, ["self", "factor_data", "ic"]),
    (assayer.QuantileReturnAnalysis.__init__, ["self", "quantile", "benchmark", "bins"]),
    (assayer.QuantileReturnAnalysis.analysis, ["self", "factor_data", "returns", "periods", "ascending"]),
    (assayer.FactorReturnAnalysis.analysis, ["self", "factor_data", "returns", "periods", "ascending"]),
    (assayer._get_ic_func, ["rank_ic"]),
    (assayer._get_ic_func(True), ["fs", "rs"]),
    (_core.percentile_rank, ["values", "ascending", "out"]),
    (_core.cell_correlations, ["factor", "returns", "cells", "n_cells", "rank"]),
])
def test_text_signatures(fn, params):
    import inspect

    assert list(inspect.signature(fn).parameters) == params
    assert "object" not in (fn.__doc__ or "").split("\n", 1)[0]
