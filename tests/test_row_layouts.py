"""Row-wise winsorization and z-scores read matrices of any memory layout in place.

pandas usually keeps a float64 frame column-major; the kernels gather blocks of
dates from such a layout instead of transposing the whole matrix. These tests
check that every layout (and every thread count) gives bit-for-bit the result
of the C-order matrix, and that the narrowed order-statistic search is exact on
rows built to defeat its sampling.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from zarnik import _core
from zarnik.analysis import assayer

METHODS = ["mad", "std", "percentile"]


def zscore(x: np.ndarray) -> np.ndarray:
    df = pd.DataFrame(x, index=pd.date_range("2020-01-01", periods=x.shape[0]), copy=False)
    return assayer.Normalization().process(df).to_numpy()


def unaligned(x: np.ndarray) -> np.ndarray:
    """A float64 copy of x whose data starts one byte past an aligned address."""
    raw = np.zeros(x.size * 8 + 1, dtype=np.uint8)
    out = np.frombuffer(raw.data, dtype=np.float64, count=x.size, offset=1).reshape(x.shape)
    out[...] = x
    return out


LAYOUTS = {
    "c": lambda x: np.ascontiguousarray(x),
    "fortran": lambda x: np.asfortranarray(x),
    "reversed rows": lambda x: np.ascontiguousarray(x[::-1])[::-1],
    "reversed fortran": lambda x: np.asfortranarray(x[::-1, ::-1])[::-1, ::-1],
    "every other column": lambda x: np.repeat(x, 2, axis=1)[:, ::2],
    "every third row, fortran": lambda x: np.asfortranarray(np.repeat(x, 3, axis=0))[::3],
    "unaligned": unaligned,
}

values = st.one_of(st.floats(-1e6, 1e6), st.sampled_from([np.nan, np.inf, -np.inf, 0.0, 1.5]))


@pytest.mark.parametrize("layout", list(LAYOUTS))
@settings(max_examples=40, deadline=None)
@given(x=arrays(np.float64, st.tuples(st.integers(1, 40), st.integers(0, 45)), elements=values))
def test_layouts_match_c_order(layout, x):
    y = LAYOUTS[layout](x)
    np.testing.assert_array_equal(y, x)  # the layout holds the same matrix
    for method in METHODS:
        np.testing.assert_array_equal(_core.winsorize(y, method), _core.winsorize(np.ascontiguousarray(x), method))


FRAMES = {
    "from array": lambda x, idx: pd.DataFrame(x, index=idx),
    "sharing a c-order array": lambda x, idx: pd.DataFrame(np.ascontiguousarray(x), index=idx, copy=False),
    "sharing a fortran array": lambda x, idx: pd.DataFrame(np.asfortranarray(x), index=idx, copy=False),
    "transposed": lambda x, idx: pd.DataFrame(x.T.copy(), columns=idx).T,
    "row slice": lambda x, idx: pd.DataFrame(np.repeat(x, 2, axis=0), index=idx.repeat(2)).iloc[::2],
    "mixed dtypes": lambda x, idx: pd.DataFrame(x, index=idx).assign(extra=np.arange(len(x), dtype=np.int64)),
}


@pytest.mark.parametrize("make", list(FRAMES))
@settings(max_examples=25, deadline=None)
@given(x=arrays(np.float64, st.tuples(st.integers(1, 37), st.integers(1, 30)), elements=values))
def test_frame_layouts_match(make, x):
    idx = pd.date_range("2020-01-01", periods=x.shape[0])
    df = FRAMES[make](x, idx)
    dense = np.ascontiguousarray(df.to_numpy(dtype=np.float64))
    ref = pd.DataFrame(dense, index=df.index, columns=df.columns, copy=False)  # rows contiguous
    np.testing.assert_array_equal(assayer.Normalization().process(df).to_numpy(), zscore(dense))
    for method in METHODS:
        got = assayer.Winzorization(method).process(df)
        assert got.index.equals(df.index) and got.columns.equals(df.columns)
        np.testing.assert_array_equal(got.to_numpy(), assayer.Winzorization(method).process(ref).to_numpy())


@pytest.mark.parametrize("layout", ["c", "fortran", "every other column"])
def test_thread_count_does_not_change_results(layout, monkeypatch):
    rng = np.random.default_rng(5)
    x = rng.standard_t(2, size=(83, 700))  # rows not a multiple of the gathered block
    x[rng.random(x.shape) < 0.1] = np.nan
    y = LAYOUTS[layout](x)
    results = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("ZARNIK_NUM_THREADS", threads)
        results.append([_core.winsorize(y, m) for m in METHODS] + [zscore(y)])
    for other in results[1:]:
        for a, b in zip(results[0], other):
            np.testing.assert_array_equal(a, b)


# ------------------------------------------------- exact order statistics on wide rows


def bounds(row: np.ndarray, method: str) -> tuple[float, float]:
    """Reference bounds from a full sort of the finite values."""
    fin = np.sort(row[np.isfinite(row)])
    n = fin.size

    def med(v):
        return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2

    if method == "mad":
        m = med(fin)
        d = med(np.sort(np.abs(fin - m)))
        return m - 3 * 1.4826 * d, m + 3 * 1.4826 * d
    return tuple(np.percentile(fin, [2.5, 97.5]))


def fool_sample(row: np.ndarray, value: float) -> np.ndarray:
    """Puts `value` at the evenly spaced positions a sampling search would read."""
    out = row.copy()
    n = out.size
    for step in {n // 128, max(1, n // 256)}:
        out[step // 2 :: step] = value
    return out


ROWS = {
    "t-distributed": lambda rng, n: rng.standard_t(2, n),
    "sorted": lambda rng, n: np.sort(rng.normal(size=n)),
    "reversed": lambda rng, n: np.sort(rng.normal(size=n))[::-1].copy(),
    "few distinct": lambda rng, n: rng.integers(0, 3, n).astype(float),
    "mostly one value": lambda rng, n: np.where(rng.random(n) < 0.9, 2.0, rng.normal(size=n)),
    "sample at the centre": lambda rng, n: fool_sample(rng.normal(size=n), 0.0),
    "sample far out": lambda rng, n: fool_sample(rng.normal(size=n), 1e6),
    "sample at the low tail": lambda rng, n: fool_sample(rng.normal(size=n), -1.96),
    "organ pipe": lambda rng, n: np.r_[np.arange(n // 2), np.arange(n - n // 2)[::-1]].astype(float),
    "missing and infinite": lambda rng, n: np.where(
        rng.random(n) < 0.3, rng.choice([np.nan, np.inf, -np.inf], n), rng.normal(size=n)
    ),
}


@pytest.mark.parametrize("kind", list(ROWS))
@pytest.mark.parametrize("method", ["mad", "percentile"])
@settings(max_examples=15, deadline=None)
@given(n=st.integers(380, 2600), seed=st.integers(0, 2**32 - 1))
def test_wide_row_bounds_are_exact_order_statistics(kind, method, n, seed):
    rng = np.random.default_rng(seed)
    row = ROWS[kind](rng, n)
    # two far-out probes are clipped exactly to the bounds, revealing them
    probe = np.r_[row, -1e12, 1e12]
    lo, hi = bounds(probe, method)
    got = _core.winsorize(np.vstack([probe, probe[::-1]]), method)
    for out, src in ((got[0], probe), (got[1], probe[::-1])):
        np.testing.assert_allclose(out.min(where=~np.isnan(out), initial=np.inf), lo, rtol=1e-12, atol=0)
        np.testing.assert_allclose(out.max(where=~np.isnan(out), initial=-np.inf), hi, rtol=1e-12, atol=0)
        np.testing.assert_array_equal(np.isnan(out), np.isnan(src))

