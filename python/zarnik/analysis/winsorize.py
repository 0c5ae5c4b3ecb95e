"""Outlier rules for cross-sections of factor values (去极值).

Each rule works date by date across instruments and clips values to bounds
computed from that date's finite values:

- ``"mad"``: median ± 3 × 1.4826 × MAD, where MAD is the median of the absolute
  deviations from the median;
- ``"std"``: mean ± 3 × the sample standard deviation (divisor n − 1);
- ``"percentile"``: the 2.5 % and 97.5 % quantiles (numpy's linear
  interpolation).

NaN stays NaN; +inf / −inf count as outliers and are clipped to the bounds.
A bound that cannot be computed (no finite value, or a single one for
``"std"``) leaves the values unclipped.

``BATCH_WINSORIZE_METHODS`` maps each name to a function over a whole
FactorFrame (one C++ call); ``WINSORIZE_METHODS`` maps it to a function over one
date's row (a Series indexed by instrument id). Both give the same numbers.
"""

from __future__ import annotations

from typing import Callable

import pandas as pd

from zarnik import _core

__all__ = [
    "WINSORIZE_METHODS",
    "BATCH_WINSORIZE_METHODS",
    "mad",
    "std",
    "percentile",
    "batch_mad",
    "batch_std",
    "batch_percentile",
]


def _frame(factor_data: pd.DataFrame, method: str) -> pd.DataFrame:
    if not isinstance(factor_data, pd.DataFrame):
        raise TypeError(f"factor_data: expect pd.DataFrame, got {type(factor_data)}")
    out = _core.winsorize(_core.frame_values(factor_data, "factor_data"), method)
    return pd.DataFrame(out, index=factor_data.index.copy(), columns=factor_data.columns.copy(), copy=False)


def _row(row: pd.Series, method: str) -> pd.Series:
    if not isinstance(row, pd.Series):
        row = pd.Series(row)
    values = _core.frame_values(row, "row")
    out = _core.winsorize(values.reshape(1, -1), method)[0]
    return pd.Series(out, index=row.index, name=row.name, copy=False)


def batch_mad(factor_data: pd.DataFrame) -> pd.DataFrame:
    """中位数去极值（整表）：逐日截断到 median ± 3 × 1.4826 × MAD，NaN 保留。"""
    return _frame(factor_data, "mad")


def batch_std(factor_data: pd.DataFrame) -> pd.DataFrame:
    """标准差去极值（整表）：逐日截断到 mean ± 3 × std（样本标准差，除数 n−1），NaN 保留。"""
    return _frame(factor_data, "std")


def batch_percentile(factor_data: pd.DataFrame) -> pd.DataFrame:
    """分位数去极值（整表）：逐日截断到 2.5% 与 97.5% 分位数（线性插值），NaN 保留。"""
    return _frame(factor_data, "percentile")


def mad(row: pd.Series) -> pd.Series:
    """中位数去极值（单日截面）：截断到 median ± 3 × 1.4826 × MAD，NaN 保留。"""
    return _row(row, "mad")


def std(row: pd.Series) -> pd.Series:
    """标准差去极值（单日截面）：截断到 mean ± 3 × std（样本标准差，除数 n−1），NaN 保留。"""
    return _row(row, "std")


def percentile(row: pd.Series) -> pd.Series:
    """分位数去极值（单日截面）：截断到 2.5% 与 97.5% 分位数（线性插值），NaN 保留。"""
    return _row(row, "percentile")


WINSORIZE_METHODS: dict[str, Callable[[pd.Series], pd.Series]] = {
    "mad": mad,
    "std": std,
    "percentile": percentile,
}

BATCH_WINSORIZE_METHODS: dict[str, Callable[[pd.DataFrame], pd.DataFrame]] = {
    "mad": batch_mad,
    "std": batch_std,
    "percentile": batch_percentile,
}
