"""Operators beyond the rolling catalogue: lags, cross-sectional rank, IF.

Their functions receive the engine's evaluated values: 2-D arrays of
(dates x instruments), oldest date first, or scalars.
"""

from __future__ import annotations

import operator
from typing import Any

import numpy as np

from .interface import AbstractFactor, BinaryCombinedFactor, CombinedFactor, UnaryCombinedFactor
from .interface import _node_members

__all__ = ["DELAY", "REF", "DELTA", "RANK", "IF", "ABS", "LOG", "SIGN", "MAX", "MIN", "LagFactor"]


def lag(x: Any, n: int) -> Any:
    """Value ``n`` dates earlier: drops the last ``n`` rows (axis 0)."""
    arr = np.asarray(x)
    if arr.ndim == 0 or n == 0:
        return arr
    return arr[: arr.shape[0] - n]


def cs_rank(x: Any) -> np.ndarray:
    """Cross-sectional percentile rank per date (average ties), NaN kept."""
    arr = np.asarray(x, dtype=np.float64)
    if arr.ndim == 1:
        arr = arr[None, :]
        return cs_rank(arr)[0]
    out = np.full(arr.shape, np.nan)
    valid = ~np.isnan(arr)
    counts = valid.sum(axis=1)
    filled = np.where(valid, arr, np.inf)
    order = np.argsort(filled, axis=1, kind="stable")
    srt = np.take_along_axis(filled, order, axis=1)
    n = arr.shape[1]
    pos = np.broadcast_to(np.arange(1, n + 1, dtype=np.float64), arr.shape)
    # average ranks over runs of equal values
    starts = np.ones(arr.shape, dtype=bool)
    starts[:, 1:] = srt[:, 1:] != srt[:, :-1]
    run_id = np.cumsum(starts, axis=1) - 1
    ranks_sorted = np.empty(arr.shape)
    for r in range(arr.shape[0]):
        ids = run_id[r]
        sums = np.bincount(ids, weights=pos[r])
        cnts = np.bincount(ids)
        ranks_sorted[r] = (sums / cnts)[ids]
    ranks = np.empty(arr.shape)
    np.put_along_axis(ranks, order, ranks_sorted, axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        out = np.where(valid, ranks / counts[:, None], np.nan)
    return out


def where(cond: Any, a: Any, b: Any) -> np.ndarray:
    """``a`` where ``cond`` is true (non-zero), else ``b``; NaN where ``cond`` is NaN."""
    c = np.asarray(cond)
    if c.dtype == bool:
        return np.where(c, a, b).astype(np.float64)
    c = c.astype(np.float64)
    out = np.where(c != 0, a, b).astype(np.float64)
    return np.where(np.isnan(c), np.nan, out)


class LagFactor(AbstractFactor):
    """滞后因子类

    Parameters
    ----------
    factor : zarnik.interface.AbstractFactor
        输入因子
    n : int
        滞后的交易日数，n >= 0
    """

    def __init__(self, factor: AbstractFactor, n: int) -> None:
        if not isinstance(factor, AbstractFactor):
            raise TypeError("DELAY: expected a factor, got {}".format(type(factor).__name__))
        if isinstance(n, bool):
            raise TypeError("DELAY: n must be an integer, got bool")
        try:
            n = operator.index(n)
        except TypeError:
            raise TypeError("DELAY: n must be an integer, got {}".format(type(n).__name__)) from None
        if n < 0:
            raise ValueError("DELAY: n must be >= 0, got {}".format(n))
        self._factor = factor
        self._n = n

    # expr, dependencies, shift and the representation walk the tree
    # iteratively (as every built-in node's do): deep lag chains are fine.
    _members = _node_members("offset", lag, "delay")
    expr = _members["expr"]
    dependencies = _members["dependencies"]
    shift = _members["shift"]
    __repr__ = _members["__repr__"]
    del _members


def DELAY(factor: AbstractFactor, n: int) -> LagFactor:
    """滞后 n 个交易日的因子值

    Parameters
    ----------
    factor : zarnik.interface.AbstractFactor
    n : int

    Returns
    -------
    zarnik.operators.LagFactor
    """
    return LagFactor(factor, n)


REF = DELAY


def DELTA(factor: AbstractFactor, n: int) -> AbstractFactor:
    """与 n 个交易日前的差值：factor - DELAY(factor, n)"""
    return factor - LagFactor(factor, n)


def RANK(factor: AbstractFactor) -> UnaryCombinedFactor:
    """截面百分位排名（每个交易日内，0 < rank <= 1，缺失值保持缺失）"""
    return UnaryCombinedFactor(cs_rank, factor)


def IF(cond: Any, a: Any, b: Any) -> CombinedFactor:
    """条件选择：cond 为真时取 a，否则取 b"""
    return CombinedFactor(where, cond, a, b)


def ABS(factor: AbstractFactor) -> AbstractFactor:
    """绝对值"""
    return abs(factor)


def LOG(factor: AbstractFactor) -> UnaryCombinedFactor:
    """自然对数"""
    return UnaryCombinedFactor(np.log, factor)


def SIGN(factor: AbstractFactor) -> UnaryCombinedFactor:
    """符号函数"""
    return UnaryCombinedFactor(np.sign, factor)


def MAX(a: Any, b: Any) -> BinaryCombinedFactor:
    """逐元素取较大值"""
    return BinaryCombinedFactor(np.maximum, a, b)


def MIN(a: Any, b: Any) -> BinaryCombinedFactor:
    """逐元素取较小值"""
    return BinaryCombinedFactor(np.minimum, a, b)
