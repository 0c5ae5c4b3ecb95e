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

import numpy as np
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


_NUMERIC_OBJECT_KINDS = {"floating", "integer", "mixed-integer-float", "boolean", "empty", "decimal"}


def _check_numeric(data: pd.DataFrame | pd.Series, name: str) -> bool:
    """Refuses text, dates, categoricals and complex values instead of coercing them.

    Returns True when every column has a plain numpy numeric dtype.
    """
    dtypes = data.dtypes.unique() if isinstance(data, pd.DataFrame) else [data.dtype]
    plain = True
    for dtype in dtypes:
        plain = plain and isinstance(dtype, np.dtype) and dtype != np.dtype(object)
        if dtype == np.dtype(object):
            cols = data.select_dtypes(include=[object]).items() if isinstance(data, pd.DataFrame) else [(data.name, data)]
            for label, col in cols:
                kind = pd.api.types.infer_dtype(col, skipna=True)
                if kind not in _NUMERIC_OBJECT_KINDS:
                    raise ValueError(
                        f"{name}: expected numeric values convertible to float64, column {label!r} holds {kind} values"
                    )
        elif getattr(dtype, "kind", "?") not in "fiub":
            raise ValueError(f"{name}: expected numeric values convertible to float64, got a column of dtype {dtype}")
    return plain


def _frame(factor_data: pd.DataFrame, method: str) -> pd.DataFrame:
    if not isinstance(factor_data, pd.DataFrame):
        raise TypeError(f"factor_data: expect pd.DataFrame, got {type(factor_data)}")
    plain = _check_numeric(factor_data, "factor_data")
    try:
        if plain:
            values = factor_data.to_numpy(dtype=np.float64)
        else:
            values = factor_data.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"factor_data: expected numeric values convertible to float64 ({exc})") from None
    out = _core.winsorize(values, method)
    return pd.DataFrame(out, index=factor_data.index.copy(), columns=factor_data.columns.copy(), copy=False)


def _row(row: pd.Series, method: str) -> pd.Series:
    if not isinstance(row, pd.Series):
        row = pd.Series(row)
    _check_numeric(row, "row")
    try:
        values = row.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"row: expected numeric values convertible to float64 ({exc})") from None
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
