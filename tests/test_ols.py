"""calc_residuals against statsmodels / numpy least squares on complete rows."""

from __future__ import annotations

import warnings

import numpy as np
import pytest
import statsmodels.api as sm
from statsmodels.tools.sm_exceptions import SingularMatrixWarning
from hypothesis import given, settings
from hypothesis import strategies as st

from zarnik.analysis.ols import calc_residuals


def lstsq_residuals(endog: np.ndarray, exog: np.ndarray) -> np.ndarray:
    """Per-date minimum-norm least squares on the rows where everything is finite."""
    out = np.full(endog.shape, np.nan)
    for t in range(endog.shape[0]):
        ok = np.isfinite(endog[t]) & np.isfinite(exog[t]).all(axis=1)
        if not ok.any():
            continue
        x, y = exog[t][ok], endog[t][ok]
        if x.shape[1] == 0:
            out[t, ok] = y
            continue
        beta = np.linalg.lstsq(x, y, rcond=None)[0]
        out[t, ok] = y - x @ beta
    return out


def statsmodels_residuals(endog: np.ndarray, exog: np.ndarray) -> np.ndarray:
    out = np.full(endog.shape, np.nan)
    for t in range(endog.shape[0]):
        ok = np.isfinite(endog[t]) & np.isfinite(exog[t]).all(axis=1)
        if ok.any():
            with warnings.catch_warnings():
                # rank-deficient designs are the point of some cases; the residuals are still unique
                warnings.simplefilter("ignore", SingularMatrixWarning)
                out[t, ok] = sm.OLS(endog[t][ok], exog[t][ok]).fit().resid
    return out


def assert_same_residuals(got: np.ndarray, expected: np.ndarray, scale: float = 1.0) -> None:
    assert got.shape == expected.shape
    np.testing.assert_array_equal(np.isnan(got), np.isnan(expected))
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-9 * scale, equal_nan=True)


def design(rng: np.random.Generator, t: int, n: int, n_style: int, n_ind: int, const: bool,
           missing: float) -> tuple[np.ndarray, np.ndarray]:
    """Style columns, industry dummies (some codes absent, some rows without industry), constant."""
    y = rng.normal(size=(t, n))
    parts = [rng.normal(size=(t, n, n_style)) * rng.choice([0.01, 1.0, 50.0], size=n_style)]
    codes = rng.integers(-1, n_ind, size=(t, n)) if n_ind else np.full((t, n), -1)
    parts.append((codes[..., None] == np.arange(n_ind)).astype(float))
    if const:
        parts.append(np.ones((t, n, 1)))
    x = np.concatenate(parts, axis=2)
    y[rng.random(y.shape) < missing] = np.nan
    x[rng.random(x.shape) < missing / 3] = np.nan
    return y, x


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), t=st.integers(1, 6), n=st.integers(1, 40), n_style=st.integers(0, 4),
       n_ind=st.integers(0, 6), const=st.booleans(), missing=st.sampled_from([0.0, 0.1, 0.4]))
def test_matches_lstsq_on_random_designs(seed, t, n, n_style, n_ind, const, missing):
    rng = np.random.default_rng(seed)
    y, x = design(rng, t, n, n_style, n_ind, const, missing)
    assert_same_residuals(calc_residuals(y, x), lstsq_residuals(y, x))


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(8, 60),
       kind=st.sampled_from(["const_and_full_dummies", "zero_dummy", "duplicate", "combination",
                             "dummy_sum_in_style", "more_columns_than_rows"]))
def test_rank_deficient_designs_match_statsmodels(seed, n, kind):
    rng = np.random.default_rng(seed)
    t, n_ind = 3, 4
    y = rng.normal(size=(t, n))
    style = rng.normal(size=(t, n, 2))
    codes = rng.integers(0, n_ind, size=(t, n))
    dummies = (codes[..., None] == np.arange(n_ind)).astype(float)
    const = np.ones((t, n, 1))
    if kind == "const_and_full_dummies":
        x = np.concatenate([style, dummies, const], axis=2)
    elif kind == "zero_dummy":
        x = np.concatenate([style, dummies, np.zeros((t, n, 1)), const], axis=2)
    elif kind == "duplicate":
        x = np.concatenate([style, style[..., :1], dummies], axis=2)
    elif kind == "combination":
        combo = 2.0 * style[..., :1] - 3.0 * style[..., 1:2]
        x = np.concatenate([style, combo, const], axis=2)
    elif kind == "dummy_sum_in_style":
        # a "style" column that is a combination of dummies: explained by the groups
        x = np.concatenate([style, dummies, dummies @ np.array([1.0, -2.0, 0.5, 3.0])[:, None]], axis=2)
    else:
        x = np.concatenate([style, dummies, rng.normal(size=(t, n, n + 2)), const], axis=2)
    y[0, : n // 3] = np.nan
    assert_same_residuals(calc_residuals(y, x), statsmodels_residuals(y, x))
    assert_same_residuals(calc_residuals(y, x), lstsq_residuals(y, x))


@pytest.mark.parametrize("kind", ["values-missing", "one-regressor-missing", "values-infinite"])
def test_dates_without_complete_rows_are_all_nan(kind):
    rng = np.random.default_rng(1)
    y, x = design(rng, 3, 10, 2, 2, True, 0.0)
    if kind == "values-missing":
        y[1] = np.nan
    elif kind == "one-regressor-missing":
        x[1, :, 1] = np.nan
    else:
        y[1] = np.inf
    res = calc_residuals(y, x)
    assert np.isnan(res[1]).all()
    assert_same_residuals(res[[0, 2]], lstsq_residuals(y[[0, 2]], x[[0, 2]]))


def test_no_regressors_returns_the_values():
    y = np.array([[1.0, np.nan, 3.0], [np.nan, np.nan, np.nan]])
    res = calc_residuals(y, np.empty((2, 3, 0)))
    np.testing.assert_array_equal(res, y)


def test_accepts_integer_boolean_and_non_contiguous_inputs():
    rng = np.random.default_rng(3)
    y = rng.integers(-5, 5, size=(3, 12))
    x = np.stack([rng.integers(0, 2, size=(3, 12)).astype(bool), np.ones((3, 12), dtype=bool)], axis=2)
    wide = np.zeros((3, 12, 4))
    wide[..., ::2] = x
    expected = lstsq_residuals(y.astype(float), x.astype(float))
    assert_same_residuals(calc_residuals(y, x), expected)
    assert_same_residuals(calc_residuals(y.astype(float), wide[..., ::2]), expected)


def test_badly_scaled_regressors():
    rng = np.random.default_rng(11)
    t, n = 2, 300
    y = rng.normal(size=(t, n)) * 1e6
    x = np.stack([rng.normal(size=(t, n)) * 1e8, rng.normal(size=(t, n)) * 1e-6, np.ones((t, n))], axis=2)
    assert_same_residuals(calc_residuals(y, x), statsmodels_residuals(y, x), scale=1e6)


def test_result_does_not_depend_on_thread_count(monkeypatch):
    rng = np.random.default_rng(5)
    y, x = design(rng, 64, 300, 3, 8, True, 0.1)
    monkeypatch.setenv("ZARNIK_NUM_THREADS", "1")
    one = calc_residuals(y, x)
    monkeypatch.setenv("ZARNIK_NUM_THREADS", "4")
    np.testing.assert_array_equal(calc_residuals(y, x), one)


@pytest.mark.parametrize(
    "endog, exog, exc, match",
    [
        (np.zeros(3), np.zeros((1, 3, 1)), ValueError, "endog: expected a 2-D array"),
        (np.zeros((2, 3)), np.zeros((2, 3)), ValueError, "exog: expected a 3-D array"),
        (np.zeros((2, 3)), np.zeros((2, 4, 1)), ValueError, r"does not match endog shape \(2, 3\)"),
        (np.zeros((2, 3)), np.zeros((3, 3, 1)), ValueError, "does not match"),
        (np.array([["a", "b"]]), np.zeros((1, 2, 1)), TypeError, "endog: expected a real numeric array"),
        (np.zeros((1, 2)), np.zeros((1, 2, 1), dtype=complex), TypeError, "exog: expected a real numeric"),
        (np.zeros((1, 2)), [[[1.0], [None]]], TypeError, "exog"),
    ],
)
def test_invalid_inputs_raise_clear_errors(endog, exog, exc, match):
    with pytest.raises(exc, match=match):
        calc_residuals(endog, exog)


@pytest.mark.parametrize("shape", [(0, 5), (4, 0), (0, 0)])
def test_empty_inputs(shape):
    res = calc_residuals(np.zeros(shape), np.zeros(shape + (2,)))
    assert res.shape == shape


def test_core_entry_point_validates_too():
    from zarnik import _core

    with pytest.raises(ValueError, match="3-D"):
        _core.ols_residuals(np.zeros((2, 2)), np.zeros((2, 2)))
    with pytest.raises(TypeError, match="real numeric"):
        _core.ols_residuals(np.zeros((2, 2)), np.zeros((2, 2, 1), dtype=object))
