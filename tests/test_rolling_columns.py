"""2-D column batches against one column at a time.

``_apply_columns`` runs the running-sum kernels (sums and central moments, the pair
kernels) over many columns at once and
every other kernel column by column; a single column (a 1-column panel) always
takes the 1-D path. Every column of a batch must equal that single-column run
bit for bit, for every layout, chunk width and block grid, including the
columns with ill-conditioned windows, infinities, values large enough to
overflow and constant windows, and the batch must report the floating-point
conditions the columns report.
"""

from __future__ import annotations

import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zarnik.rolling as R

PAIR = {"covariance", "correlation"}
STREAMED = ["sum", "ma", "var", "std", "zscore", "skew", "kurt", "wma", "covariance", "correlation"]
OTHERS = ["ts_min", "ts_argmax", "ts_rank", "ema", "slope"]

LAYOUTS = {
    "C": np.ascontiguousarray,
    "F": np.asfortranarray,
    "strided": lambda x: np.repeat(x, 2, axis=1)[:, ::2],
    "reversed rows": lambda x: np.ascontiguousarray(x[::-1])[::-1],
    # the last rows of a longer column-major panel: columns contiguous, further apart
    "F rows cut": lambda x: np.asfortranarray(np.vstack([np.full((3, x.shape[1]), 7.5), x]))[3:],
}
# layouts whose dates are adjacent: their results come back column-major
BY_COLUMNS = {"F", "F rows cut"}

# The instruction sets of the streamed running sums, switched off from the widest down:
# AVX-512 and AVX2 where the processor has them, else the next narrower set runs.
ISAS = {"widest": {}, "no avx512": {"ZARNIK_NO_AVX512": "1"}, "sse2": {"ZARNIK_NO_AVX2": "1"}}


def _set_isa(monkeypatch, isa: str) -> None:
    for var in ("ZARNIK_NO_AVX2", "ZARNIK_NO_AVX512"):
        monkeypatch.setenv(var, ISAS[isa].get(var, ""))


def _check_layout(got, layout):
    """Results are laid out as numpy's order="K" lays out a copy of the operands."""
    if layout in BY_COLUMNS:
        assert got.flags.f_contiguous
    else:
        assert got.flags.c_contiguous


def _perturb(x, rng, kind):
    """Values that send windows to the kernels' slow paths."""
    L, N = x.shape
    if kind == "offset":  # large offset, tiny spread: ill-conditioned windows
        x = 1e9 + x * 1e-6
    elif kind == "steps":  # repeated values: constant windows
        x = np.round(x)
        x[:, ::3] = 2.5
    elif kind == "inf":
        x[rng.random((L, N)) < 0.05] = np.inf
        x[rng.random((L, N)) < 0.03] = -np.inf
    elif kind == "huge":
        x = x * 1e200
    elif kind == "some huge":
        x[:, rng.random(N) < 0.2] *= 1e300
    return x


def _run(name, n, arrays, last):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with np.errstate(all="warn"):
            out = R._apply_columns(name, n, *arrays, last=last)
    return out, {str(w.message) for w in caught}


def _walk(rng, L, N, level, nan_share):
    """A random walk around ``level`` per column, with a share of cells missing."""
    x = level + np.cumsum(rng.standard_normal((L, N)), axis=0)
    x[rng.random((L, N)) < nan_share] = np.nan
    return x


def _hard_columns(rng, x, ill, huge, constant, constant_rows, value):
    """Columns that take the 1-D kernel's slow paths: ill-conditioned, large enough to overflow,
    and a constant stretch."""
    x[:, ill] = 1e12 + rng.standard_normal(len(x)) * 1e-3
    x[:, huge] *= 1e300
    x[:constant_rows, constant] = value


def _walk_operands(rng, name, layout, L, N, **hard):
    """The kernel's operands: random walks in ``layout``, the first with the hard columns."""
    arrays = []
    for s in range(2 if name in PAIR else 1):
        x = _walk(rng, L, N, 100, 0.01)
        if s == 0:
            _hard_columns(rng, x, **hard)
        arrays.append(LAYOUTS[layout](x))
    return arrays


def _assert_single_columns(name, n, arrays, last, got, conditions):
    """Every column of the batch result has the bits of that column run alone, and the batch
    reports the union of the single columns' floating-point conditions."""
    want_conditions = set()
    for j in range(got.shape[1]):
        want, c = _run(name, n, [a[:, j:j + 1] for a in arrays], last)
        want_conditions |= c
        assert np.array_equal(got[:, j].view(np.uint64), want[:, 0].view(np.uint64)), (j, got[:, j], want[:, 0])
    assert conditions == want_conditions


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    name=st.sampled_from(STREAMED + OTHERS),
    L=st.integers(1, 70),
    N=st.integers(1, 75),
    frac=st.floats(0.0, 1.0),
    kind=st.sampled_from(["plain", "offset", "steps", "inf", "huge", "some huge"]),
    layout=st.sampled_from(sorted(LAYOUTS)),
    last=st.one_of(st.none(), st.integers(0, 10_000)),
    seed=st.integers(0, 2**32 - 1),
    nan=st.sampled_from([0.0, 0.02, 0.3]),
)
def test_batch_equals_single_columns(name, L, N, frac, kind, layout, last, seed, nan):
    rng = np.random.default_rng(seed)
    n = 1 + int(frac * (L - 1))
    count = 2 if name in PAIR else 1
    arrays = []
    for s in range(count):
        x = _perturb(rng.standard_normal((L, N)), rng, kind if s == 0 else "plain")
        x[rng.random((L, N)) < nan] = np.nan
        arrays.append(LAYOUTS[layout](x))
    got, conditions = _run(name, n, arrays, last)
    assert got.shape == (L - n + 1, N)
    _check_layout(got, layout)
    _assert_single_columns(name, n, arrays, last, got, conditions)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name", STREAMED)
@pytest.mark.parametrize("layout", ["C", "F", "F rows cut"])
@pytest.mark.parametrize("n", [1, 3, 40, 250])
def test_wide_panels_any_thread_count(name, layout, n, monkeypatch):
    """Panels of several chunks (and a remainder), long windows, 1 and 2 threads."""
    rng = np.random.default_rng(n)
    L, N = 300, 71
    arrays = []
    for _ in range(2 if name in PAIR else 1):
        x = _walk(rng, L, N, 100, 0.01)
        x[:, 5] = 1e12 + rng.standard_normal(L) * 1e-3  # ill-conditioned column
        x[:40, 17] = 7.0  # constant stretch
        arrays.append(LAYOUTS[layout](x))
    results = []
    for threads in ("1", "2"):
        monkeypatch.setenv("ZARNIK_NUM_THREADS", threads)
        results.append(R._apply_columns(name, n, *arrays, last=12_345))
    assert np.array_equal(results[0].view(np.uint64), results[1].view(np.uint64))
    for j in range(N):
        want = R._apply_columns(name, n, *(a[:, j:j + 1] for a in arrays), last=12_345)[:, 0]
        assert np.array_equal(results[0][:, j].view(np.uint64), want.view(np.uint64)), j


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(
    name=st.sampled_from(STREAMED),
    L=st.integers(1, 60),
    N=st.integers(8, 70),
    frac=st.floats(0.0, 1.0),
    kind=st.sampled_from(["plain", "offset", "steps", "inf", "some huge"]),
    layout=st.sampled_from(["C", "F", "F rows cut"]),
    seed=st.integers(0, 2**32 - 1),
)
def test_simd_widths_agree_with_single_columns(monkeypatch, name, L, N, frac, kind, layout, seed):
    """The 8-wide (AVX-512), 4-wide (AVX2), where the processor has them, and 2-wide (SSE2) streams
    give every column's 1-D result."""
    rng = np.random.default_rng(seed)
    n = 1 + int(frac * (L - 1))
    arrays = []
    for s in range(2 if name in PAIR else 1):
        x = _perturb(rng.standard_normal((L, N)), rng, kind if s == 0 else "plain")
        x[rng.random((L, N)) < 0.02] = np.nan
        arrays.append(LAYOUTS[layout](x))
    results = {}
    for isa in ISAS:
        _set_isa(monkeypatch, isa)
        results[isa] = _run(name, n, arrays, 777)
    wide, cw = results["widest"]
    for isa in ("no avx512", "sse2"):
        narrow, cn = results[isa]
        assert cw == cn, isa
        assert np.array_equal(wide.view(np.uint64), narrow.view(np.uint64)), isa
    for j in range(N):
        want, _ = _run(name, n, [a[:, j:j + 1] for a in arrays], 777)
        assert np.array_equal(wide[:, j].view(np.uint64), want[:, 0].view(np.uint64)), j


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name", STREAMED)
@pytest.mark.parametrize("layout", ["C", "F"])
@pytest.mark.parametrize("n", [1, 20, 250])
@pytest.mark.parametrize("isa", ["widest", "sse2"])
def test_outputs_larger_than_the_caches(name, layout, n, isa, monkeypatch):
    """Outputs of more than 16 MB (stored around the caches, chunks aligned to cache lines,
    the columns before the first line and after the last chunk through the 1-D kernel)
    hold every column's 1-D result, with its conditions."""
    _set_isa(monkeypatch, isa)
    rng = np.random.default_rng(n)
    arrays = _walk_operands(rng, name, layout, 1300, 2000, ill=3, huge=1500, constant=7, constant_rows=300, value=2.5)
    got, conditions = _run(name, n, arrays, 4_321)
    assert got.nbytes >= 16 << 20
    _check_layout(got, layout)
    _assert_single_columns(name, n, arrays, 4_321, got, conditions)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name", STREAMED)
@pytest.mark.parametrize("L, n", [(300, 5), (300, 250), (5000, 20), (9000, 5)])
@pytest.mark.parametrize("isa", sorted(ISAS))
def test_row_major_operands_into_a_column_major_out(name, L, n, isa, monkeypatch):
    """Row-major operands written into a caller's column-major array: chunks of 32, 16 or 8
    columns by the length of the output tile, the remainder through the 1-D kernel; every
    column keeps its single-column bits and conditions."""
    _set_isa(monkeypatch, isa)
    rng = np.random.default_rng(L + n)
    arrays = _walk_operands(rng, name, "C", L, 70, ill=33, huge=40, constant=2, constant_rows=L // 3, value=1.5)
    out = np.full((L - n + 1, 70), -7.25e300, order="F")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with np.errstate(all="warn"):
            got = R._apply_columns(name, n, *arrays, last=5_555, out=out)
    assert got is out
    _assert_single_columns(name, n, arrays, 5_555, got, {str(w.message) for w in caught})


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name", sorted(PAIR))
@pytest.mark.parametrize("layouts", [("F", "C"), ("C", "F"), ("F", "F rows cut"), ("strided", "F")])
@pytest.mark.parametrize("N", [5, 8, 37])
def test_pair_operands_in_different_layouts(name, layouts, N):
    """Two operands in different layouts: column-major results only when both have adjacent
    dates, and every column the single-column result."""
    rng = np.random.default_rng(N)
    L, n = 90, 7
    arrays = []
    for layout in layouts:
        x = _walk(rng, L, N, 50, 0.03)
        arrays.append(LAYOUTS[layout](x))
    got, conditions = _run(name, n, arrays, 321)
    if all(lay in BY_COLUMNS for lay in layouts):
        assert got.flags.f_contiguous
    else:
        assert got.flags.c_contiguous
    _assert_single_columns(name, n, arrays, 321, got, conditions)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name", STREAMED)
@pytest.mark.parametrize("layout", ["F", "F rows cut"])
@pytest.mark.parametrize("n", [2, 30, 700])
@pytest.mark.parametrize("isa", sorted(ISAS))
def test_long_column_major_panels(name, layout, n, isa, monkeypatch):
    """Column-major panels long enough that the copied tiles of a chunk outgrow a core's cache
    (chunks of fewer columns) hold every column's 1-D result, with its conditions."""
    _set_isa(monkeypatch, isa)
    rng = np.random.default_rng(n)
    arrays = _walk_operands(rng, name, layout, 3400, 23, ill=6, huge=9, constant=13, constant_rows=900, value=-4.0)
    got, conditions = _run(name, n, arrays, 9_876)
    assert got.flags.f_contiguous
    _assert_single_columns(name, n, arrays, 9_876, got, conditions)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name", ["var", "std", "zscore", "skew", "kurt", "wma", "covariance", "correlation"])
@pytest.mark.parametrize("layout", ["F", "C"])
@pytest.mark.parametrize("L, n", [(700, 64), (900, 250), (2600, 90)])
@pytest.mark.parametrize("isa", sorted(ISAS))
def test_long_windows_lost_to_missing_rows(name, layout, L, n, isa, monkeypatch):
    """Long windows over rows missing in every column (the blocks' passes end early where every
    column's sums hold a NaN) and densely missing cells: every column keeps its 1-D result and
    conditions, the columns whose values could overflow or are infinite between the missing
    rows included, whatever rows the passes left unread."""
    _set_isa(monkeypatch, isa)
    rng = np.random.default_rng(L + n)
    N = 19
    gap = n + 37  # windows between two missing rows hold no NaN
    arrays = []
    for s in range(2 if name in PAIR else 1):
        x = _walk(rng, L, N, 100, 0.0)
        x[int(rng.integers(0, gap))::gap] = np.nan
        x[:, 11:][rng.random((L, N - 11)) < 0.1] = np.nan
        if s == 0:
            for j, v in ((2, 1e200), (5, np.inf), (6, -np.inf), (13, 1e160)):
                x[rng.integers(0, L, size=L // gap + 1), j] = v
            x[:, 8] = 1e12 + rng.standard_normal(L) * 1e-3  # ill-conditioned
        arrays.append(LAYOUTS[layout](x))
    got, conditions = _run(name, n, arrays, 2_468)
    _check_layout(got, layout)
    _assert_single_columns(name, n, arrays, 2_468, got, conditions)


# row-major copies of every element size, as views that start off any vector boundary
ROW_MAJOR = {
    "C": np.ascontiguousarray,
    "reversed rows": LAYOUTS["reversed rows"],
    "off by one column": lambda x: np.ascontiguousarray(np.hstack([x[:, :1], x]))[:, 1:],
}


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(
    name=st.sampled_from(["ts_max", "count", "sum", "ts_argmax", "ema"]),
    dtype=st.sampled_from([np.float64, np.int64, np.int32, np.int16, np.bool_, np.float32]),
    L=st.integers(1, 23),
    N=st.integers(1, 41),
    frac=st.floats(0.0, 1.0),
    layout=st.sampled_from(sorted(ROW_MAJOR)),
    isa=st.sampled_from(sorted(ISAS)),
    seed=st.integers(0, 2**32 - 1),
)
def test_row_major_tiles_of_every_element_size(monkeypatch, name, dtype, L, N, frac, layout, isa, seed):
    """The column-by-column kernels copy row-major operands and outputs through tiles in
    blocks (8-byte elements) or one element at a time (others): every column of the batch
    equals that column run alone, whatever the element size, shape and offset."""
    _set_isa(monkeypatch, isa)
    rng = np.random.default_rng(seed)
    n = 1 + int(frac * (L - 1))
    x = rng.integers(-50, 50, (L, N)).astype(dtype)
    if np.issubdtype(dtype, np.floating):
        x[rng.random((L, N)) < 0.1] = np.nan
    arr = ROW_MAJOR[layout](x)
    with np.errstate(all="ignore"):
        got = R._apply_columns(getattr(R, name), n, arr)
        for j in range(N):
            want = R._apply_columns(getattr(R, name), n, arr[:, j:j + 1])
            assert got.dtype == want.dtype
            assert np.array_equal(got[:, j:j + 1].view(np.uint8), want.view(np.uint8)), (j, got[:, j], want[:, 0])
