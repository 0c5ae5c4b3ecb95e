"""Cross-sectional least-squares residuals (the regression behind neutralization)."""

from __future__ import annotations

import numpy as np

from zarnik import _core

__all__ = ["calc_residuals"]


def _as_float(value: object, name: str, ndim: int, shape_hint: str) -> np.ndarray:
    arr = np.asarray(value)
    if arr.dtype.kind not in "fiub":
        raise TypeError(f"{name}: expected a real numeric array, got dtype {arr.dtype}")
    if arr.ndim != ndim:
        raise ValueError(f"{name}: expected a {ndim}-D array ({shape_hint}), got {arr.ndim} dimension(s)")
    return np.ascontiguousarray(arr, dtype=np.float64)


def calc_residuals(endog: object, exog: object) -> np.ndarray:
    """逐日截面最小二乘回归残差。

    :param endog: T x N 因子值（日期 x 标的），NaN 表示缺失
    :param exog: T x N x K 回归变量，NaN 表示缺失
    :return: T x N 残差数组；第 t 行为第 t 日的截面回归残差。
        每日只使用因子值与全部回归变量都有限（非 NaN、非无穷）的标的，其余位置为 NaN；
        回归变量秩亏（全零哑变量、常数项与完整行业哑变量并存、共线变量）时给出最小二乘残差。
    """
    y = _as_float(endog, "endog", 2, "dates x instruments")
    x = _as_float(exog, "exog", 3, "dates x instruments x regressors")
    if x.shape[:2] != y.shape:
        raise ValueError(
            f"exog: shape {x.shape} does not match endog shape {y.shape}: expected ({y.shape[0]}, {y.shape[1]}, K)"
        )
    return _core.ols_residuals(y, x)
