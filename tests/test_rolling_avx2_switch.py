"""ZARNIK_NO_AVX2 switches off every AVX2 path of the rolling kernels (and
ZARNIK_NO_AVX512 the AVX-512 row streams).

The kernels with their own AVX2 functions (ts_rank by lag-wise counts, the
short-window ts_argmax / ts_argmin rescan, avedev's deviation sums) and the
streamed 2-D running sums and pair kernels all take the one run-time check.
A process started with ZARNIK_NO_AVX2=1 runs the SSE2 / scalar paths from its
first call; they must give the same bits as the default run. The same holds
when the variable changes inside one process (it is read on each call).
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from numpy.lib.stride_tricks import sliding_window_view

import zarnik.rolling as R
from zarnik import _core

PAIR = {"covariance", "correlation"}

# windows on both sides of each path's limit: the AVX2 counts of ts_rank
# (up to 640), the argmax rescan (up to 8), the streamed chunks' block grid
CASES = [
    ("ts_rank", [1, 2, 5, 20, 250, 640, 641]),
    ("ts_argmax", [1, 2, 8, 9, 20]),
    ("ts_argmin", [3, 8, 30]),
    ("avedev", [1, 4, 20, 250]),
    ("sum", [1, 5, 20, 250]),
    ("ma", [3, 20]),
    ("std", [2, 20]),
    ("correlation", [2, 5, 20, 60]),
    ("covariance", [2, 20]),
]

SCRIPT = textwrap.dedent(
    """
    import sys, warnings
    import numpy as np
    import zarnik.rolling as R
    from zarnik import _core

    cases = eval(sys.argv[2])
    rng = np.random.default_rng(12345)
    L, N = 900, 37
    x = 100 + np.cumsum(rng.standard_normal((L, N)), axis=0)
    y = 0.5 * x + rng.standard_normal((L, N))
    x[rng.random((L, N)) < 0.02] = np.nan
    y[rng.random((L, N)) < 0.02] = np.nan
    x[:, 4] = np.round(x[:, 4])        # ties
    x[:200, 5] = 7.0                   # a constant stretch
    x[rng.random((L, N)) < 0.005] = np.inf
    x[:, 6] = 1e9 + x[:, 6] * 1e-6     # large offset, tiny spread
    out = {"isa": np.array(_core._fused_elementwise_isa()), "columns_isa": np.array(R._columns_isa())}
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for name, windows in cases:
            for n in windows:
                for order in "CF":
                    a = [np.asarray(v, order=order) for v in ((x, y) if name in ("covariance", "correlation") else (x,))]
                    out[f"{name}/{n}/{order}"] = R._apply_columns(name, n, *a, last=L - 1)
                fin = [np.where(np.isfinite(v[:, 0]), v[:, 0], 100.0) for v in (x, y)]  # long windows too
                one = tuple(fin) if name in ("covariance", "correlation") else (fin[0],)
                f = getattr(R, name)
                out[f"{name}/{n}/1d"] = f(n, *one) if len(one) == 2 else f(one[0], n)
    np.savez(sys.argv[1], **out)
    """
)


def _child(tmp_path: Path, tag: str, no_avx2: str | None, no_avx512: str | None = None) -> dict[str, np.ndarray]:
    env = {k: v for k, v in os.environ.items() if k not in ("ZARNIK_NO_AVX2", "ZARNIK_NO_AVX512")}
    if no_avx2 is not None:
        env["ZARNIK_NO_AVX2"] = no_avx2
    if no_avx512 is not None:
        env["ZARNIK_NO_AVX512"] = no_avx512
    env["PYTHONPATH"] = os.pathsep.join([str(Path(R.__file__).resolve().parents[1]), env.get("PYTHONPATH", "")])
    path = tmp_path / f"{tag}.npz"
    proc = subprocess.run([sys.executable, "-c", SCRIPT, str(path), repr(CASES)], env=env, capture_output=True,
                          text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    with np.load(path) as f:
        return {k: f[k] for k in f.files}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("avx2_switch")
    return (_child(tmp, "default", None), _child(tmp, "off", "1"), _child(tmp, "empty", ""),
            _child(tmp, "no512", None, "1"))


def test_the_variable_reaches_the_process(runs):
    default, off, empty, no512 = runs
    assert str(off["isa"]) in ("sse2", "scalar")
    assert str(off["columns_isa"]) in ("sse2", "scalar")
    assert str(empty["isa"]) == str(default["isa"])
    assert str(empty["columns_isa"]) == str(default["columns_isa"])
    assert str(no512["columns_isa"]) != "avx512"
    if str(default["columns_isa"]) == "avx512":
        assert str(no512["columns_isa"]) == "avx2"


@pytest.mark.parametrize("key", [f"{name}/{n}/{o}" for name, ws in CASES for n in ws for o in ("C", "F", "1d")])
def test_same_bits_without_avx2(runs, key):
    """SSE2, AVX2 and (where the processor has it) AVX-512 give the same bits."""
    default, off, empty, no512 = runs
    a = default[key]
    assert a.dtype == np.float64
    for other in (off[key], empty[key], no512[key]):
        assert other.shape == a.shape and other.dtype == a.dtype
        assert np.array_equal(a.view(np.uint64), other.view(np.uint64)), key
    assert np.isfinite(a).any(), key  # the comparison covers real values, not only NaN


def _rank_reference(x: np.ndarray, n: int) -> np.ndarray:
    """Place of each window's newest value in a stable sort of the window (NaN sorts last), over n."""
    w = sliding_window_view(x, n)
    return np.argsort(np.argsort(w, axis=-1, kind="stable"), axis=-1, kind="stable")[:, -1] / n


@settings(max_examples=80, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(L=st.integers(1, 1500), frac=st.floats(0.0, 1.0), ties=st.booleans(), nan=st.floats(0.0, 0.3),
       seed=st.integers(0, 2**32 - 1))
def test_ts_rank_paths_in_one_process(monkeypatch, L, frac, ties, nan, seed):
    """Switched per call: both paths give the counts of the window matrix, bit for bit."""
    rng = np.random.default_rng(seed)
    n = 1 + int(frac * (min(L, 700) - 1))
    x = rng.standard_normal(L)
    if ties:
        x = np.round(x * 2)
    x[rng.random(L) < nan] = np.nan
    got = {}
    for off in ("", "1"):
        monkeypatch.setenv("ZARNIK_NO_AVX2", off)
        got[off] = R.ts_rank(x, n)
    assert np.array_equal(got[""].view(np.uint64), got["1"].view(np.uint64))
    assert np.array_equal(got[""], _rank_reference(x, n))


BLOCK_SUMS = ("sum", "ma", "var", "std", "zscore", "skew", "kurt", "avedev", "ema", "wma", "slope",
              "covariance", "correlation", "regression")


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(L=st.integers(1, 400), n=st.integers(2, 10), nan=st.floats(0.0, 0.2), inf=st.booleans(),
       ties=st.booleans(), seed=st.integers(0, 2**32 - 1), last=st.integers(-10**6, 10**6))
def test_short_window_blocks_in_one_process(monkeypatch, L, n, nan, inf, ties, seed, last):
    """Windows up to and past the short-block limit: four blocks per step (AVX2) and two
    (SSE2) give the same bits, 1-D and on one column with a moved block grid; the sums
    follow the window matrix."""
    n = min(n, L)
    rng = np.random.default_rng(seed)
    x = 50 + rng.standard_normal(L) * 3
    y = 0.3 * x + rng.standard_normal(L)
    if ties:
        x = np.round(x)
    x[rng.random(L) < nan] = np.nan
    y[rng.random(L) < nan / 2] = np.nan
    if inf:
        x[rng.random(L) < 0.03] = np.inf
        y[rng.random(L) < 0.03] = -np.inf
    got = {}
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for off in ("", "1"):
            monkeypatch.setenv("ZARNIK_NO_AVX2", off)
            for name in BLOCK_SUMS:
                pair = name in ("covariance", "correlation", "regression")
                f = getattr(R, name)
                got[off, name, "1d"] = f(n, x, y) if pair else f(x, n)
                cols = (x[:, None], y[:, None]) if pair else (x[:, None],)
                got[off, name, "last"] = R._apply_columns(name, n, *cols, last=last)[:, 0]
    for name in BLOCK_SUMS:
        for how in ("1d", "last"):
            a, b = got["", name, how], got["1", name, how]
            assert np.array_equal(a.view(np.uint64), b.view(np.uint64)), (name, how)
    ref = sliding_window_view(x, n).sum(axis=1)
    for how in ("1d", "last"):
        np.testing.assert_allclose(got["", "sum", how], ref, rtol=1e-12, atol=1e-9)
