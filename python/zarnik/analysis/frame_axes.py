"""The one rule of the analysers on a frame's axes.

Rows are dates in ascending order, each date once; columns are instruments,
each once; and frames compared with each other agree on being timezone-aware
or naive. Lagging, holding and compounding walk the rows in order, so a
shuffled or repeated date would give plausible but wrong numbers; such frames
are refused with a message naming the frame. The analysis steps of
``zarnik.analysis.assayer`` call these checks before converting a frame.
"""

from __future__ import annotations

from typing import Any

import numpy as np


def _label_text(label: Any) -> str:
    """A date label as text: the calendar date alone when it is midnight."""
    try:
        if hasattr(label, "normalize") and bool(label.normalize().__eq__(label)) and getattr(label, "tz", None) is None:
            return str(label.date())
    except Exception:
        pass
    return str(label)


def _first_repeated(labels: Any) -> str:
    where = np.flatnonzero(labels.duplicated())
    return _label_text(labels[where[0]]) if len(where) else "?"


def require_ascending_dates(frame: Any, name: str) -> None:
    """检查 frame 的行索引为升序且不重复的日期（无缺失日期），否则抛出 ValueError。"""
    index = frame.index
    head = f"{name}: expected ascending unique dates in the index, "
    if bool(getattr(index, "hasnans", False)):
        raise ValueError(head + "found a missing date (NaT)")
    if not bool(index.is_unique):
        raise ValueError(head + f"found duplicate date {_first_repeated(index)} (drop the repeated rows first)")
    try:
        ascending = bool(index.is_monotonic_increasing)
    except TypeError:  # labels that cannot be compared
        ascending = False
    if ascending:
        return
    where = ""
    try:
        values = index.to_numpy()
        bad = np.flatnonzero(values[1:].__le__(values[:-1]))
        if len(bad) > 0:
            i = int(bad[0])
            where = f": {_label_text(index[i + 1])} comes after {_label_text(index[i])}"
    except Exception:
        where = ""
    raise ValueError(head + "the dates are out of order" + where + " (sort it with sort_index())")


def require_unique_columns(frame: Any, name: str) -> None:
    """检查 frame 的列为不重复的标的代码，否则抛出 ValueError。"""
    if not bool(frame.columns.is_unique):
        raise ValueError(f"{name}: expected unique instrument columns, found duplicate column "
                         + _first_repeated(frame.columns))


def require_same_timezone(a: Any, a_name: str, b: Any, b_name: str) -> None:
    """两个逐日对齐的 frame 的日期须同为无时区，或处于同一时区，否则抛出 ValueError。"""
    ta, tb = getattr(a.index, "tz", None), getattr(b.index, "tz", None)
    if ta is None and tb is None:
        return

    def describe(tz: Any) -> str:
        return "timezone-naive" if tz is None else f"in timezone {tz}"

    if (ta is None) != (tb is None) or str(ta) != str(tb):
        raise ValueError(f"{b_name}: expected dates in the same timezone as {a_name}'s ({describe(ta)}), "
                         f"got dates {describe(tb)}")


def require_analysis_axes(factor_data: Any, returns: Any) -> None:
    """分析步骤对因子数据与收益率数据坐标轴的全部要求。"""
    for frame, name in ((factor_data, "factor_data"), (returns, "returns")):
        require_ascending_dates(frame, name)
        require_unique_columns(frame, name)
    require_same_timezone(factor_data, "factor_data", returns, "returns")
