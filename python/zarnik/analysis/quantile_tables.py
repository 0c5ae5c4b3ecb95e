"""Arguments and result tables of the quantile-return step (``QuantileReturnAnalysis``).

The step's C++ methods group the factor, hold the groups and compound their
returns in the core (``zarnik/quantile.hpp``). What is here is the label work
around that: reading the group edges and holding periods, the dates of the
benchmark request, and turning the core's arrays (one column per holding
period) into the result's pandas tables. Nothing here loops over dates or
instruments.
"""

from __future__ import annotations

import importlib
import warnings
from typing import Any

import numpy as np
import pandas as pd

from zarnik.analysis import checks


def checked_bins(bins: Any) -> list[float] | None:
    """分组边界：None，或 [0, 1] 内严格递增、至少两个的分位数序列（返回 float 列表）；否则抛出 ValueError。"""
    if bins is None:
        return None

    def refused() -> ValueError:
        return ValueError("bins: expected None or a strictly increasing sequence of at least two quantile "
                          f"edges in [0, 1], got {bins!r}")

    if isinstance(bins, str) or not hasattr(bins, "__iter__"):
        raise refused()
    edges: list[float] = []
    for e in bins:
        if isinstance(e, bool) or not (isinstance(e, float) or hasattr(e, "__index__") or isinstance(e, np.floating)):
            raise refused()
        v = float(e)
        if not (0.0 <= v <= 1.0) or (edges and not v > edges[-1]):
            raise refused()
        edges.append(v)
    if len(edges) < 2:
        raise refused()
    return edges


def group_edges(step: Any, width: int) -> list[float] | int:
    """步骤在 width 个标的上的分组：自定义边界（float 列表），否则为等分的组数（int）。"""
    quantile = step.quantile
    bins = checked_bins(getattr(step, "bins", None))
    if bins is not None:
        return bins
    return checks.group_count(quantile, width, "expected")


def holding_periods(periods: Any, n: int, drop: bool) -> tuple[list[int], list[str]]:
    """短于 n 个因子日期的持有期：(持有期列表, 列名 "P_k" 列表)。

    不短于 n 的持有期抛出 ValueError；drop 为真时改为略去并警告，全部略去时仍抛出 ValueError。
    """
    kept: list[tuple[int, str]] = []
    dropped: list[int] = []
    for value, key in checks.parse_periods(periods):
        if value < n:
            kept.append((value, key))
        elif drop:
            dropped.append(value)
        else:
            raise ValueError(f"Invalid periods, must be less than {n}")
    if dropped:
        if not kept:
            raise ValueError(f"Invalid periods, must be less than {n}")
        # two frames above the caller of the step's method: as the step itself warned before
        warnings.warn(f"Invalid periods found: {dropped}, will ignore.", stacklevel=3)
    return [value for value, _ in kept], [key for _, key in kept]


def benchmark_span(index: Any) -> tuple[Any, str, Any, Any]:
    """基准指数行情的请求参数：(频率, 价格字段, 首日, 末日)；index 须为非空 DatetimeIndex。"""
    if not isinstance(index, pd.DatetimeIndex) or len(index) == 0:
        raise ValueError(f"index: expected a non-empty DatetimeIndex, got {index!r}")
    module = checks.assayer_module()
    if not hasattr(module, "_get_datetime_freq"):
        raise RuntimeError("zarnik.analysis.assayer._get_datetime_freq is not available")
    freq = module._get_datetime_freq(index)
    return freq, "last" if str(freq) == "tick" else "close", index[0].date(), index[-1].date()


def benchmark_values(benchmark: Any, n: int) -> np.ndarray:
    """基准日收益率的 float64 数组（C 连续），须为 n 个值、每个因子日期一个，否则抛出 ValueError。"""
    values = np.ascontiguousarray(np.asarray(benchmark.values, dtype=np.float64))
    if values.ndim != 1 or len(values) != n:
        raise ValueError(f"benchmark returns: expected {n} values, one per factor date")
    return values


def result(step: Any, factor_data: pd.DataFrame, returns: pd.DataFrame, keys: list[str], labels: np.ndarray,
           turnover: np.ndarray, cumulative: np.ndarray, long_short: np.ndarray, annualized: np.ndarray,
           excess: np.ndarray | None, benchmark: pd.Series | None, order: list[int]) -> Any:
    """分组收益分析的结果对象，由核心计算的数组构建。

    :param keys: 持有期列名；数组每列为一个持有期
    :param labels: 各日期各标的的组号（日期 x 标的，-1 为不分组）
    :param turnover: 换手率与 cumulative 累计收益（组 x 日期 行，组优先）；long_short 多空收益（日期 行）
    :param annualized: 年化收益与 excess 超额年化收益（None：无基准），行按 order 排列的各组
    :param benchmark: 基准日收益率（None：无基准）
    :param order: 各组标签 "q1" … 按文本排序后的组号
    """
    index = factor_data.index
    tags = [f"q{g + 1}" for g in range(len(order))]
    text_tags = [tags[g] for g in order]
    tag_index = pd.MultiIndex.from_product((tags, index), names=("tag", "datetime"))
    # labels stay Python objects (str, or NaN for no group); pandas would otherwise convert them to its string dtype
    names = np.empty(len(tags) + 1, dtype=object)
    names[:-1] = tags
    names[-1] = float("nan")
    # the module's own name first (it may be substituted), else the result module's
    module = checks.assayer_module()
    if not hasattr(module, "QuantileReturnAnalysisResult"):
        module = importlib.import_module("zarnik.analysis.analysis_result")
    out = module.QuantileReturnAnalysisResult(
        quantile_turnover=pd.DataFrame(turnover, index=tag_index.copy(), columns=keys),
        quantile_returns=pd.DataFrame(cumulative, index=tag_index, columns=keys),
        quantile_detail=pd.DataFrame(names[labels], index=index, columns=factor_data.columns, dtype="object"),
        benchmark_return=None if benchmark is None else benchmark.add(1).cumprod().sub(1),
        top_minus_bottom_returns=pd.DataFrame(long_short, index=pd.Index(index).rename("datetime"), columns=keys),
        quantile_annualized_returns=pd.DataFrame(annualized, index=pd.Index(text_tags, name="tag"), columns=keys),
        quantile_excess_annulized_returns=None if excess is None else pd.DataFrame(
            excess, index=pd.Index(text_tags, name="tag"), columns=keys),
        name=step.step_name)
    # rank autocorrelation of the factor and the universe's mean daily return, kept on the result
    importlib.import_module("zarnik.analysis.statistics").attach_quantile_statistics(out, factor_data, returns)
    return out
