"""Built-in leaves: daily market-data fields read through ``ostrel``, industry
classifications as group codes, and the average daily traded value ``adv{d}``."""

from __future__ import annotations

import operator
import re
from typing import Any

import numpy as np
import pandas as pd

from .interface import LeafFactor

__all__ = ["Factor", "IndustryFactor", "FIELDS", "GROUP_FIELDS", "fields", "adv", "builtin_leaf"]

# name -> what it holds; prices (and vwap) are back-adjusted when loaded.
_FIELD_DOCS: dict[str, str] = {
    "open": "开盘价（后复权）/ opening price, back-adjusted",
    "high": "最高价（后复权）/ high price, back-adjusted",
    "low": "最低价（后复权）/ low price, back-adjusted",
    "close": "收盘价（后复权）/ closing price, back-adjusted",
    "volume": "成交量（股）/ traded volume in shares",
    "total_turnover": "成交额 / traded value",
    "vwap": "成交量加权均价 = 成交额 / 成交量，与 open/high/low/close 同样后复权；成交量为 0 时为 NaN "
            "/ volume-weighted average price, back-adjusted like close",
    "returns": "日收益率 = close / 前一交易日 close - 1（后复权，含分红送转）；任一日无行情时为 NaN "
               "/ daily simple return of the back-adjusted close",
    "cap": "总市值 = 不复权收盘价 x 总股本 / market capitalisation (raw close x shares outstanding)",
    "turnover_rate": "换手率 = 成交量 / 总股本 / turnover rate (volume over shares outstanding)",
}

# Fields every store offers, read through ``ostrel.get_panel``.
FIELDS: tuple[str, ...] = tuple(_FIELD_DOCS)

_GROUP_DOCS: dict[str, str] = {
    "industry": "中信一级行业代码（citics_2019），用于 INDNEUTRALIZE / GROUP_* 算子 "
                "/ CITICS first-level industry codes",
    "industry_sws": "申万一级行业代码（sws） / Shenwan first-level industry codes",
}
GROUP_FIELDS: dict[str, str] = {"industry": "citics_2019", "industry_sws": "sws"}

_ADV_DOC = ("d 日平均成交额 = MA(total_turnover, d)，如 adv20；也可写作 ADV(d) "
            "/ average daily traded value over d dates")

_ADV_NAME = re.compile(r"adv([1-9][0-9]{0,5})")


def fields() -> dict[str, str]:
    """内置字段及其说明。

    Returns
    -------
    dict
        字段名 -> 说明：行情字段（``zarnik.Factor``）、行业代码字段（``industry``、
        ``industry_sws``）以及 ``adv{d}``（d 日平均成交额）。
    """
    out = dict(_FIELD_DOCS)
    out.update(_GROUP_DOCS)
    out["adv{d}"] = _ADV_DOC
    return out


def adv(d: Any) -> Any:
    """d 日平均成交额：MA(total_turnover, d)。"""
    if isinstance(d, bool):
        raise TypeError("ADV: d must be a whole number of dates, got bool")
    if isinstance(d, (float, np.floating)) and float(d).is_integer():
        d = int(d)
    try:
        d = operator.index(d)
    except TypeError:
        raise TypeError("ADV: d must be a whole number of dates, got {!r}".format(d)) from None
    if d < 1:
        raise ValueError("ADV: d must be >= 1, got {}".format(d))
    from .rolling import MA

    return MA(Factor("total_turnover"), d)


def builtin_leaf(name: str) -> Any:
    """The node a built-in name stands for beyond the market fields (industry codes, adv{d}), or None."""
    source = GROUP_FIELDS.get(name)
    if source is not None:
        return IndustryFactor(source)
    m = _ADV_NAME.fullmatch(name)
    if m is not None:
        return adv(int(m.group(1)))
    return None


class Factor(LeafFactor):
    """行情字段叶子因子

    Parameters
    ----------
    name : str
        日线行情字段名，如 "open"、"high"、"low"、"close"、"volume"、
        "total_turnover"；价格为后复权价格。

    Notes
    -----
    两个同名的 ``Factor`` 哈希相同且相等，求值时只读取一次数据。
    """

    def __init__(self, name: str) -> None:
        if not isinstance(name, str):
            raise TypeError("Factor name must be a str, got {}".format(type(name).__name__))
        if not name or not name.isidentifier():
            raise ValueError("Factor name must be a field name such as 'close', got {!r}".format(name))
        self._name = name

    @property
    def name(self) -> str:
        return self._name

    def __hash__(self) -> int:
        return hash(("zarnik.Factor", self._name))

    def __eq__(self, other: Any) -> bool:  # type: ignore[override]
        if isinstance(other, Factor):
            return self._name == other._name
        return self is other

    def __repr__(self) -> str:
        return "Factor({})".format(self._name)

    def __reduce__(self):
        return (Factor, (self._name,))


# industry levels of the literature; the store holds first-level classifications only
_LEVELS = {"citics_2019": "citics_2019", "sws": "sws", "sector": "citics_2019", "industry": "citics_2019",
           "subindustry": "citics_2019"}


class IndustryFactor(LeafFactor):
    """行业代码叶子因子

    Parameters
    ----------
    source : str
        行业分类："citics_2019"（中信）或 "sws"（申万）；"sector"、"industry"、
        "subindustry" 都对应 "citics_2019"（行情库只有一级行业）。

    Notes
    -----
    每个交易日的值是当日生效的一级行业代码（该分类全部行业名称按字母序排列后的位置，
    0..K-1）；标的首次归类之前的日期取其首个行业；没有行业记录的标的为 NaN。
    """

    def __init__(self, source: str = "citics_2019") -> None:
        if not isinstance(source, str):
            raise TypeError("industry source must be a str, got {}".format(type(source).__name__))
        if source not in _LEVELS:
            raise ValueError("industry source: expected one of {}, got {!r}".format(sorted(_LEVELS), source))
        self._name = _LEVELS[source]

    @property
    def name(self) -> str:
        return self._name

    def __hash__(self) -> int:
        return hash(("zarnik.IndustryFactor", self._name))

    def __eq__(self, other: Any) -> bool:  # type: ignore[override]
        if isinstance(other, IndustryFactor):
            return self._name == other._name
        return self is other

    def __repr__(self) -> str:
        return "Industry({})".format(self._name)

    def __reduce__(self):
        return (IndustryFactor, (self._name,))

    def execute(self, order_book_ids: Any, start_date: Any, end_date: Any) -> pd.DataFrame:
        """Industry codes in force on each trading date from start_date to end_date."""
        import ostrel

        from .analysis import assayer

        ids = list(order_book_ids)
        dates = pd.DatetimeIndex(pd.to_datetime(list(ostrel.get_trading_dates(start_date, end_date)))).normalize()
        table = assayer.get_all_industry_category(self._name)
        values = np.full((len(dates), len(ids)), np.nan)
        if len(table.index) and len(dates):
            changes = pd.DatetimeIndex(pd.to_datetime(table.index)).normalize()
            codes = table.reindex(columns=ids).to_numpy(dtype=np.float64)
            # the assignment in force: the latest change on or before the date; the first one before that
            row = np.clip(np.searchsorted(changes.values, dates.values, side="right") - 1, 0, None)
            values = codes[row]
            values[values < 0] = np.nan  # a record without an industry name
        return pd.DataFrame(values, index=dates, columns=ids)
