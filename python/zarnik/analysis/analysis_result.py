"""Result objects returned by the analysis steps of ``zarnik.analysis.assayer``.

Every result class is built with keyword arguments only and keeps each of them
as an attribute of the same name. ``FIELDS`` lists them in construction order;
subclasses (or later additions such as summaries and figures) read the values
through those attributes.
"""

from __future__ import annotations

from typing import Any, ClassVar

from zarnik.analysis import statistics as _stats

__all__ = [
    "Deferred",
    "ResultDisplayMixin",
    "AnalysisResult",
    "ICAnalysisResult",
    "QuantileReturnAnalysisResult",
    "FactorReturnAnalysisResult",
    "QuantileStyleAnalysisResult",
]


def _describe(value: Any) -> str:
    """A one-line description of a field value for ``repr``."""
    if value is None:
        return "None"
    shape = getattr(value, "shape", None)
    if shape is not None and hasattr(value, "index"):
        kind = type(value).__name__
        dims = " x ".join(str(int(s)) for s in shape)
        cols = getattr(value, "columns", None)
        if cols is not None and len(cols) <= 6:
            return f"{kind}[{dims}] columns={list(cols)!r}"
        return f"{kind}[{dims}]"
    if isinstance(value, dict):
        return f"dict[{len(value)}] keys={list(value)[:6]!r}"
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


class Deferred:
    """An attribute computed when first read, from inputs an analysis left on the instance.

    ``defer(obj, name, func)`` stores ``func`` (a picklable callable without arguments); the first
    read calls it and keeps the value. Assigning the attribute replaces any pending computation;
    an attribute with neither a value nor a pending computation reads as None.
    """

    def __init__(self, doc: str) -> None:
        self.__doc__ = doc
        self.name = ""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    def __get__(self, obj: Any, owner: type | None = None) -> Any:
        if obj is None:
            return self
        values = obj.__dict__
        if self.name not in values:
            pending = values.get("_pending")
            if not pending or self.name not in pending:
                return None
            values[self.name] = pending.pop(self.name)()
        return values[self.name]

    def __set__(self, obj: Any, value: Any) -> None:
        obj.__dict__.get("_pending", {}).pop(self.name, None)
        obj.__dict__[self.name] = value

    @staticmethod
    def defer(obj: Any, name: str, func: Any) -> None:
        obj.__dict__.pop(name, None)
        obj.__dict__.setdefault("_pending", {})[name] = func


class ResultDisplayMixin:
    """为结果类提供 summary()、plot() 与 _repr_html_（由 zarnik.report 绘制）。

    The report package depends on the analysis package, never the reverse:
    zarnik.report is imported when a result is first shown, not when the
    analysis module loads, so running an analysis never pulls in the report
    code (nor matplotlib) and the two packages import in either order.
    """

    def summary(self) -> Any:
        """主要指标汇总表（pandas DataFrame）。"""
        from zarnik.report import display

        return display.summary(self)

    def plot(self) -> Any:
        """结果图（matplotlib Figure）。"""
        from zarnik.report import display

        return display.plot(self)

    def _repr_html_(self) -> str:
        from zarnik.report import display

        return display.to_html(self)


class AnalysisResult(ResultDisplayMixin):
    """分析结果基础类：以关键字参数构造，每个参数保存为同名属性。"""

    FIELDS: ClassVar[tuple[str, ...]] = ("name",)

    def __init__(self, **kwargs: Any) -> None:
        unknown = [k for k in kwargs if k not in self.FIELDS]
        if unknown:
            raise TypeError(
                f"{type(self).__name__}: unexpected keyword argument(s) {unknown}, expected {list(self.FIELDS)}"
            )
        missing = [k for k in self.FIELDS if k not in kwargs]
        if missing:
            raise TypeError(f"{type(self).__name__}: missing keyword argument(s) {missing}")
        for key in self.FIELDS:
            setattr(self, key, kwargs[key])

    def to_dict(self) -> dict[str, Any]:
        """按构造顺序返回全部字段。"""
        return {key: getattr(self, key) for key in self.FIELDS}

    def __repr__(self) -> str:
        lines = [f"{type(self).__name__}(name={getattr(self, 'name', None)!r})"]
        for key in self.FIELDS:
            if key != "name":
                lines.append(f"  {key}: {_describe(getattr(self, key, None))}")
        return "\n".join(lines)


class ICAnalysisResult(AnalysisResult):
    """IC 分析结果：逐日 IC 及其 p 值、IC 衰减、分行业 IC。"""

    FIELDS = ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute", "name")

    #: per-date IC within each industry, indexed by (datetime, industry); set by ICAnalysis
    ic_by_industry: Any = None

    @property
    def ic_statistics(self) -> Any:
        """每个持有期的 IC 统计：均值、标准差、IR、t 值、Newey–West t 值、偏度、峰度、正 IC 占比。"""
        return _stats.ic_statistics(self.ic)

    @property
    def ic_skew(self) -> Any:
        """各持有期 IC 的偏度。"""
        return self.ic_statistics["ic_skew"]

    @property
    def ic_kurtosis(self) -> Any:
        """各持有期 IC 的超额峰度。"""
        return self.ic_statistics["ic_kurtosis"]

    @property
    def ic_t_stat(self) -> Any:
        """各持有期 IC 均值的 t 值。"""
        return self.ic_statistics["t_stat"]

    @property
    def ic_t_stat_nw(self) -> Any:
        """各持有期 IC 均值的 Newey–West（HAC）t 值。"""
        return self.ic_statistics["t_stat_nw"]

    @property
    def ic_monthly(self) -> Any:
        """按月平均 IC（索引为月份）。"""
        return _stats.monthly_ic(self.ic)

    @property
    def ic_industry_summary(self) -> Any:
        """各行业逐日 IC 的均值、标准差与 t 值；没有行业分类时为 None。"""
        if self.ic_by_industry is None:
            return None
        return _stats.industry_ic_summary(self.ic_by_industry)


class QuantileReturnAnalysisResult(AnalysisResult):
    """分组收益分析结果：换手率、分组收益、分组明细、基准收益、多空收益、年化收益与年化超额收益。"""

    FIELDS = (
        "quantile_turnover",
        "quantile_returns",
        "quantile_detail",
        "benchmark_return",
        "top_minus_bottom_returns",
        "quantile_annualized_returns",
        "quantile_excess_annulized_returns",
        "name",
    )

    factor_rank_autocorrelation = Deferred(
        "因子秩自相关：每日截面排名与持有期前截面排名的相关系数（日期 x 持有期）；首次读取时计算。")
    universe_return = Deferred("分组内全部股票（有分组标签者）的等权日均收益；首次读取时计算。")

    @property
    def quantile_daily_returns(self) -> Any:
        """各组日收益率，索引 (tag, datetime)。"""
        return _stats.quantile_daily_returns(self)

    @property
    def quantile_mean_returns(self) -> Any:
        """各组日均收益及其标准误。"""
        return _stats.quantile_mean_returns(self)

    @property
    def quantile_mean_turnover(self) -> Any:
        """各组平均换手率（组 x 持有期）。"""
        return _stats.mean_turnover(self)

    @property
    def top_minus_bottom_statistics(self) -> Any:
        """多空日收益的均值、标准误、t 值与 alpha / beta（相对基准或全市场等权平均）。"""
        return _stats.top_minus_bottom_statistics(self)


class FactorReturnAnalysisResult(AnalysisResult):
    """因子收益分析结果：各持有期的因子收益。"""

    FIELDS = ("factor_returns", "name")


class QuantileStyleAnalysisResult(AnalysisResult):
    """分组风格暴露分析结果：各分组的风格因子暴露。"""

    FIELDS = ("quantile_exposure", "name")
