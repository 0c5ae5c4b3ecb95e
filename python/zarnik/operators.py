"""Operators beyond the rolling catalogue: lags, cross-sectional and group operators, IF.

Their functions receive the engine's evaluated values: 2-D arrays of
(dates x instruments), oldest date first, or scalars.
"""

from __future__ import annotations

import math
import operator
from typing import Any

import numpy as np

from .interface import AbstractFactor, BinaryCombinedFactor, CombinedFactor, UnaryCombinedFactor
from .interface import _node_members

__all__ = [
    "DELAY", "REF", "DELTA", "RANK", "IF", "ABS", "LOG", "SIGN", "MAX", "MIN", "LagFactor",
    "SCALE", "SIGNEDPOWER", "CS_ZSCORE", "QUANTILE_BUCKET", "GROUP_DEMEAN", "INDNEUTRALIZE",
    "GROUP_RANK", "GROUP_ZSCORE", "ADV",
]


def lag(x: Any, n: int) -> Any:
    """Value ``n`` dates earlier: drops the last ``n`` rows (axis 0)."""
    arr = np.asarray(x)
    if arr.ndim == 0 or n == 0:
        return arr
    return arr[: arr.shape[0] - n]


def _cross_section(x: Any, op: str, groups: Any = None, param: float = 0.0) -> np.ndarray:
    """Runs one per-date operator of ``zarnik._core`` over a (dates x instruments) value.

    A 1-D value is one date; a scalar is one date holding one instrument.
    """
    from . import _core

    arr = np.asarray(x)
    if arr.dtype == object:
        arr = arr.astype(np.float64)
    ndim = arr.ndim
    if ndim > 2:
        raise ValueError("expected a 2-D value (dates x instruments), got {} dimensions".format(ndim))
    arr2 = arr.reshape((1,) * (2 - ndim) + arr.shape)
    g = None
    if groups is not None:
        g = np.asarray(groups)
        if g.dtype == object:
            g = g.astype(np.float64)
        if g.ndim > 2:
            raise ValueError("groups: expected a 2-D value (dates x instruments), got {} dimensions".format(g.ndim))
        g = np.broadcast_to(g.reshape((1,) * (2 - g.ndim) + g.shape), arr2.shape)
    out = _core.cross_section(arr2, op, g, float(param))
    if ndim == 2:
        return out
    return out.reshape(arr.shape) if ndim == 1 else out[0, 0]


def cs_rank(x: Any) -> np.ndarray:
    """Cross-sectional percentile rank per date, in (0, 1]: average ranks of tied values
    divided by the date's count of non-missing values. NaN is missing and stays NaN;
    +inf and -inf rank above and below every number."""
    from . import _core

    arr = np.asarray(x)
    if arr.dtype == object:
        arr = arr.astype(np.float64)
    if arr.ndim > 2:
        raise ValueError("expected a 2-D value (dates x instruments), got {} dimensions".format(arr.ndim))
    out = _core.percentile_rank(arr.reshape((1,) * (2 - arr.ndim) + arr.shape))
    if arr.ndim == 2:
        return out
    return out.reshape(arr.shape) if arr.ndim == 1 else out[0, 0]


def cs_zscore(x: Any) -> np.ndarray:
    """Per date: (x - mean) / std, mean and sample std (divisor n - 1) over the date's finite
    values. NaN stays NaN, +-inf give +-inf; a date with fewer than two finite values or a
    zero std is NaN throughout."""
    return _cross_section(x, "zscore")


def cs_scale(x: Any, a: Any = 1.0) -> np.ndarray:
    """Per date: a * x / sum(|x|) over the date's non-missing values, so the absolute values
    sum to a. An infinite value makes the sum infinite (finite values become 0, infinite ones
    NaN); a date whose values are all 0 is NaN."""
    if np.ndim(a) == 0:
        return _cross_section(x, "scale", param=float(a))
    return _cross_section(x, "scale", param=1.0) * np.asarray(a, dtype=np.float64)


def quantile_bucket(x: Any, n: Any) -> np.ndarray:
    """Per date: bucket 1..n of each value by its rank (ceil(rank * n)); equal values share a
    bucket; NaN stays NaN."""
    return _cross_section(x, "bucket", param=_bucket_count(n))


def _bucket_count(n: Any) -> int:
    if isinstance(n, bool) or not isinstance(n, (int, float, np.integer, np.floating)):
        raise TypeError("QUANTILE_BUCKET: n must be a whole number, got {}".format(type(n).__name__))
    if not float(n).is_integer() or not 1 <= n <= 10**9:
        raise ValueError("QUANTILE_BUCKET: n must be a whole number >= 1, got {}".format(n))
    return int(n)


def group_demean(x: Any, groups: Any) -> np.ndarray:
    """Per date and group: x minus the group's mean over its non-missing values. A missing
    value or group code gives NaN; a single-member group gives 0."""
    return _cross_section(x, "demean", groups)


def group_rank(x: Any, groups: Any) -> np.ndarray:
    """Per date and group: percentile rank in (0, 1] within the group (as ``cs_rank``)."""
    return _cross_section(x, "rank", groups)


def group_zscore(x: Any, groups: Any) -> np.ndarray:
    """Per date and group: z-score within the group (as ``cs_zscore``)."""
    return _cross_section(x, "zscore", groups)


def signed_power(x: Any, e: Any) -> np.ndarray:
    """sign(x) * |x| ** e, element by element."""
    xa = np.asarray(x, dtype=np.float64)
    with np.errstate(all="ignore"):
        return np.sign(xa) * np.power(np.abs(xa), np.asarray(e, dtype=np.float64))


def where(cond: Any, a: Any, b: Any) -> np.ndarray:
    """``a`` where ``cond`` is true (non-zero), else ``b``; NaN where ``cond`` is NaN."""
    c = np.asarray(cond)
    if c.dtype == bool:
        return np.where(c, a, b).astype(np.float64)
    c = c.astype(np.float64)
    out = np.where(c != 0, a, b).astype(np.float64)
    return np.where(np.isnan(c), np.nan, out)


class FlooredWindow(int):
    """向下取整的窗口（公式中写成小数的窗口）

    A window written as a fractional number of dates: its value is the floor, and its
    representation keeps the written number, so keys and reprs show what was asked for.

    ``FlooredWindow(9.5) == 9`` and it prints as ``floor(9.5)``.
    """

    def __new__(cls, written: float) -> "FlooredWindow":
        written = float(written)
        if not math.isfinite(written):
            raise ValueError("window: expected a finite number, got {}".format(written))
        obj = super().__new__(cls, math.floor(written))
        obj.written = written
        return obj

    def __repr__(self) -> str:
        return "floor({!r})".format(self.written)

    __str__ = __repr__

    def __format__(self, spec: str) -> str:
        return repr(self) if not spec else int(self).__format__(spec)

    def __reduce__(self):
        return (FlooredWindow, (self.written,))


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
            n = n if isinstance(n, FlooredWindow) else operator.index(n)
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
    """截面百分位排名（每个交易日内，0 < rank <= 1；并列取平均名次；NaN 为缺失值并保持缺失，
    +inf/-inf 作为最大/最小的值参与排名）"""
    return UnaryCombinedFactor(cs_rank, factor)


def _need_factor(op: str, x: Any, what: str = "factor") -> None:
    if not isinstance(x, AbstractFactor):
        raise TypeError("{}: {} must be a factor, got {}".format(op, what, type(x).__name__))


def _need_number(op: str, x: Any, what: str) -> None:
    if isinstance(x, AbstractFactor):
        return
    if isinstance(x, bool) or not isinstance(x, (int, float, np.integer, np.floating)):
        raise TypeError("{}: {} must be a number or a factor, got {}".format(op, what, type(x).__name__))
    if not np.isfinite(x):
        raise ValueError("{}: {} must be finite, got {}".format(op, what, x))


def SCALE(factor: AbstractFactor, a: Any = 1) -> BinaryCombinedFactor:
    """截面缩放：每个交易日内把因子值按比例缩放，使绝对值之和等于 a

    Parameters
    ----------
    factor : zarnik.interface.AbstractFactor
    a : float or zarnik.interface.AbstractFactor, 默认 1

    Returns
    -------
    zarnik.interface.BinaryCombinedFactor
    """
    _need_factor("SCALE", factor)
    _need_number("SCALE", a, "a")
    return BinaryCombinedFactor(cs_scale, factor, a)


def SIGNEDPOWER(factor: AbstractFactor, e: Any) -> BinaryCombinedFactor:
    """带符号的幂：sign(x) * |x| ** e

    Parameters
    ----------
    factor : zarnik.interface.AbstractFactor
    e : float or zarnik.interface.AbstractFactor
        指数

    Returns
    -------
    zarnik.interface.BinaryCombinedFactor
    """
    _need_factor("SIGNEDPOWER", factor)
    _need_number("SIGNEDPOWER", e, "e")
    return BinaryCombinedFactor(signed_power, factor, e)


def CS_ZSCORE(factor: AbstractFactor) -> UnaryCombinedFactor:
    """截面标准化：每个交易日内 (x - 均值) / 样本标准差（只用有限值计算）

    Parameters
    ----------
    factor : zarnik.interface.AbstractFactor

    Returns
    -------
    zarnik.interface.UnaryCombinedFactor
    """
    _need_factor("CS_ZSCORE", factor)
    return UnaryCombinedFactor(cs_zscore, factor)


def QUANTILE_BUCKET(factor: AbstractFactor, n: int) -> BinaryCombinedFactor:
    """截面分组：每个交易日内按排名把因子值分为 1..n 组（值越大组号越大，并列同组）

    Parameters
    ----------
    factor : zarnik.interface.AbstractFactor
    n : int
        组数

    Returns
    -------
    zarnik.interface.BinaryCombinedFactor
    """
    _need_factor("QUANTILE_BUCKET", factor)
    n = _bucket_count(n)
    return BinaryCombinedFactor(quantile_bucket, factor, n)


def _group_operand(op: str, groups: Any) -> AbstractFactor:
    if isinstance(groups, str):
        from .leaves import IndustryFactor

        return IndustryFactor(groups)
    if not isinstance(groups, AbstractFactor):
        raise TypeError("{}: groups must be a factor of group codes or an industry classification name, got {}"
                        .format(op, type(groups).__name__))
    return groups


def GROUP_DEMEAN(factor: AbstractFactor, groups: Any) -> BinaryCombinedFactor:
    """组内去均值：每个交易日内，因子值减去所在组的均值

    Parameters
    ----------
    factor : zarnik.interface.AbstractFactor
    groups : zarnik.interface.AbstractFactor or str
        组代码因子（如 ``industry``），或行业分类名称（"citics_2019"、"sws"）

    Returns
    -------
    zarnik.interface.BinaryCombinedFactor
    """
    _need_factor("GROUP_DEMEAN", factor)
    return BinaryCombinedFactor(group_demean, factor, _group_operand("GROUP_DEMEAN", groups))


def INDNEUTRALIZE(factor: AbstractFactor, level: Any = "citics_2019") -> BinaryCombinedFactor:
    """行业中性化：每个交易日内，因子值减去所在行业的均值

    Parameters
    ----------
    factor : zarnik.interface.AbstractFactor
    level : str or zarnik.interface.AbstractFactor, 默认 "citics_2019"
        行业分类："citics_2019"、"sws"，或 "sector"/"industry"/"subindustry"
        （行情库只有一级行业，三者都使用默认分类）；也可以是组代码因子。

    Returns
    -------
    zarnik.interface.BinaryCombinedFactor
    """
    _need_factor("INDNEUTRALIZE", factor)
    return BinaryCombinedFactor(group_demean, factor, _group_operand("INDNEUTRALIZE", level))


def GROUP_RANK(factor: AbstractFactor, groups: Any) -> BinaryCombinedFactor:
    """组内百分位排名：每个交易日内在所在组中排名，0 < rank <= 1

    Parameters
    ----------
    factor : zarnik.interface.AbstractFactor
    groups : zarnik.interface.AbstractFactor or str

    Returns
    -------
    zarnik.interface.BinaryCombinedFactor
    """
    _need_factor("GROUP_RANK", factor)
    return BinaryCombinedFactor(group_rank, factor, _group_operand("GROUP_RANK", groups))


def GROUP_ZSCORE(factor: AbstractFactor, groups: Any) -> BinaryCombinedFactor:
    """组内标准化：每个交易日内 (x - 组均值) / 组样本标准差

    Parameters
    ----------
    factor : zarnik.interface.AbstractFactor
    groups : zarnik.interface.AbstractFactor or str

    Returns
    -------
    zarnik.interface.BinaryCombinedFactor
    """
    _need_factor("GROUP_ZSCORE", factor)
    return BinaryCombinedFactor(group_zscore, factor, _group_operand("GROUP_ZSCORE", groups))


def ADV(d: int) -> AbstractFactor:
    """d 日平均成交额：MA(total_turnover, d)

    Parameters
    ----------
    d : int
        窗口（交易日数）

    Returns
    -------
    zarnik.rolling.RollingWindowFactor
    """
    from .leaves import adv

    return adv(d)


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
