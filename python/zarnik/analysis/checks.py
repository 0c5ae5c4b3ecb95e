"""The argument rules of the analysis steps, shared by every step.

* the numeric-dtype rule for values read from pandas (``numeric_columns``);
* the holding periods and count arguments (``parse_periods``,
  ``require_count``, ``group_count``): one parser for every analyser, so that
  the same argument means the same thing everywhere;
* the rule on a frame's axes: rows are dates in ascending order, each date
  once; columns are instruments, each once; and frames compared with each
  other agree on being timezone-aware or naive. Lagging, holding and
  compounding walk the rows in order, so a shuffled or repeated date would
  give plausible but wrong numbers; such frames are refused with a message
  naming the frame.

* the frames a pipeline accepts and the frequency of their dates
  (``validate_data_frame``, ``datetime_freq``, ``return_fields``), and the
  settings and the frame of a neutralization (``neutralization_settings``,
  ``neutralization_axes``, ``other_factor_frames``), the arguments of a style analysis
  (``style_arguments``), a pipeline step (``pipeline_step``), and the levels of a long (datetime,
  order_book_id) table (``long_table_codes``).

The C++ steps of ``zarnik.analysis.assayer`` call these (through
``bindings/common``) before converting their frames: they read only labels
and dtypes, never the values.
"""

from __future__ import annotations

from typing import Any

import importlib
import operator

import numpy as np
import pandas as pd

import zarnik.exception as exception

_NUMERIC_KINDS = ("floating", "integer", "mixed-integer-float", "boolean", "empty", "decimal")


def numeric_columns(data: Any, name: str) -> bool:
    """检查 DataFrame / Series 的值可读作 float64 数字，否则抛出以 name 开头的 ValueError。

    numpy 与可空的浮点、整数、布尔列，以及只含数字（或缺失值）的 object 列可读作数字；
    文本、日期、时间差、分类与复数被拒绝而非转换。全部列为普通 numpy 数值类型时返回 True
    （NaN 之外没有需要转换的缺失值标记）。
    """
    series = isinstance(data, pd.Series)
    dtypes = data.dtypes
    if not series and not hasattr(dtypes, "unique"):
        return False  # neither: left to to_numpy
    head = f"{name}: expected numeric values convertible to float64, "
    object_dtype = np.dtype("O")
    plain = True
    for dtype in [dtypes] if series else list(dtypes.unique()):
        if dtype == object_dtype:
            columns = [(data.name, data)] if series else data.select_dtypes(include=(object_dtype,)).items()
            for label, column in columns:
                kind = str(pd.api.types.infer_dtype(column, skipna=True))
                if kind not in _NUMERIC_KINDS:
                    raise ValueError(head + f"column {label!r} holds {kind} values")
            plain = False
            continue
        if not isinstance(dtype, np.dtype):
            plain = False
        if str(getattr(dtype, "kind", "?")) not in ("f", "i", "u", "b"):
            raise ValueError(head + "got a column of dtype " + str(dtype))
    return plain


def frame_values(data: Any, name: str, copy: bool) -> np.ndarray:
    """DataFrame / Series 的值（float64 ndarray；为单个 float64 块且 copy 为假时不复制），
    可空类型的缺失值读作 NaN；不可读作数字时抛出以 name 开头的 ValueError。"""
    plain = numeric_columns(data, name)
    try:
        if plain:  # NaN is the only missing marker: no translation pass
            return data.to_numpy(dtype=np.float64, copy=copy)
        return data.to_numpy(dtype=np.float64, na_value=np.nan, copy=copy)
    except (ValueError, TypeError) as e:
        raise ValueError(f"{name}: expected numeric values convertible to float64 ({e})") from None


def float_matrix(obj: Any, name: str) -> np.ndarray:
    """obj 读作二维 float64 数组；不可读作数字或维数不为 2 时抛出以 name 开头的 ValueError。"""
    try:
        arr = np.asarray(obj, dtype=np.float64)
    except (ValueError, TypeError) as e:
        raise ValueError(f"{name}: expected a 2-D array of numbers ({e})") from None
    if arr.ndim != 2:
        raise ValueError(f"{name}: expected a 2-D array, got ndim={arr.ndim}")
    return arr


def _count(obj: Any) -> int | None:
    """operator.index(obj) for an integer (bool excluded), else None."""
    if isinstance(obj, bool):
        return None
    try:
        return operator.index(obj)
    except TypeError:
        return None


def parse_periods(periods: Any) -> list[tuple[int, str]]:
    """持有期参数：正整数，或正整数的列表、元组等可迭代对象；返回 (持有期, 列名 "P_n") 列表。

    重复的持有期合并（保留首次出现）。类型错误抛出 InvalidPeriodType，空选择或小于 1
    的持有期抛出 ValueError。
    """
    text = isinstance(periods, (bool, str, bytes))
    items = periods
    if not text and hasattr(periods, "__index__") and not hasattr(periods, "__iter__"):
        items = (periods,)
    elif text or isinstance(periods, dict) or not hasattr(periods, "__iter__"):
        raise exception.InvalidPeriodType(
            f"periods: expect a list or tuple of positive integers, got {type(periods)}")
    out: list[tuple[int, str]] = []
    seen: set[str] = set()
    for p in items:
        value = _count(p)
        if value is None:
            raise exception.InvalidPeriodType(f"periods: expect positive integers, got {p!r}")
        if value < 1:
            raise ValueError(f"periods: expect positive integers, got {p!r}")
        key = "P_" + str(value)
        if key not in seen:
            seen.add(key)
            out.append((value, key))
    if not out:
        raise ValueError(f"periods: expect at least one positive integer holding period, got {periods!r}")
    return out


def require_count(obj: Any, least: int, message: str) -> int:
    """整数且不小于 least 的计数参数（max_decay、分组数…），否则抛出 ValueError(message.format(obj))。"""
    value = _count(obj)
    if value is None or value < least:
        raise ValueError(message.format(obj))
    return value


def group_count(obj: Any, width: int, verb: str) -> int:
    """width 个标的上的分组数：1 至 max(width, 100) 的整数。

    多于标的数的分组只增加空组；上界使分组表不超过数据的规模。verb（"expect" 或
    "expected"）为该步骤消息所用的词。
    """
    head = f"quantile: {verb}"
    q = require_count(obj, 1, head + " a positive integer, got {!r}")
    most = max(width, 100)
    if q > most:
        raise ValueError((head + " at most max(number of instruments, 100) = {} groups, got {}").format(most, obj))
    return q


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


def require_frame(obj: Any, name: str) -> None:
    """检查 obj 为 pandas DataFrame，否则抛出以 name 开头的 ValueError。"""
    if not isinstance(obj, pd.DataFrame):
        raise ValueError(f"{name}: expect pd.DataFrame, got {type(obj)}")


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


def style_arguments(step: Any, factor_data: Any, ascending: Any) -> tuple:
    """分组风格分析的参数：因子数据的坐标轴、分组数 step.quantile 与排序方向。

    :return: ``(quantile, ascending, dates)``：分组数、bool(ascending) 与去掉时区的日期
    """
    require_frame(factor_data, "factor_data")
    require_ascending_dates(factor_data, "factor_data")
    require_unique_columns(factor_data, "factor_data")
    quantile = group_count(step.quantile, len(factor_data.columns), "expect")
    index = factor_data.index
    return quantile, bool(ascending), (index if getattr(index, "tz", None) is None else index.tz_localize(None))


def validate_data_frame(df: Any, name: Any) -> None:
    """检查 df 为 DatetimeIndex 索引的非空 DataFrame，否则抛出 ValueError。"""
    if not isinstance(df, pd.DataFrame):
        raise ValueError(f"{name}: expect pd.DataFrame, got {type(df)}")
    if not isinstance(df.index, pd.DatetimeIndex):
        raise ValueError(f"{name}: expect index type=pd.DatetimeIndex, got {type(df.index)}")
    if bool(df.empty):
        raise ValueError("Empty factor data source!")


def datetime_freq(index: Any) -> str:
    """时间索引的频率："tick"（有非零秒）、"1m"（有非零分钟）或 "1d"（全部为零点），其余抛出 ValueError。"""
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(f"index: expect pd.DatetimeIndex, got {type(index)}")

    def zero(field: str) -> bool:
        return bool(np.all(np.asarray(getattr(index, field)).__eq__(0)))

    if not zero("second"):
        return "tick"
    if not zero("minute"):
        return "1m"
    # time of day 00:00:00 (datetime.time carries microseconds, not nanoseconds)
    if zero("hour") and zero("microsecond"):
        return "1d"
    raise ValueError(f"Unknown datetime index: {index!r}")


def return_fields(columns: Any) -> list[str]:
    """以 "P_" 开头的列名（保持原顺序）；非 str 的列名抛出 TypeError。"""
    out = []
    for c in columns:
        if not isinstance(c, str):
            raise TypeError(f"columns: expect str column names, got {c!r} of {type(c)}")
        if bool(c.startswith("P_")):
            out.append(c)
    return out


def neutralization_settings(step: Any, industry: Any, style_factors: Any, other_factors: Any, add_const: Any,
                            valid_sources: Any) -> None:
    """检查中性化的参数并保存到 step：industry、style_neutralize、style_factors、other_factors、add_const。"""
    if industry and not valid_sources.__contains__(industry):
        raise ValueError(f"industry: expect one of {valid_sources}, got {industry}")
    if industry is None and style_factors is None and other_factors is None:
        raise ValueError("Expect at least one of [industry, style_factors, other_factors] not None, but get both None.")
    step.industry = industry
    step.style_neutralize = bool(style_factors)
    step.style_factors = None if isinstance(style_factors, str) and style_factors == "all" else style_factors
    step.other_factors = other_factors
    step.add_const = int(industry is None if add_const is None else bool(add_const))


def neutralization_axes(df: Any) -> tuple:
    """中性化的因子数据：须为非空、标的不重复的 DataFrame（日期可为任意顺序，可重复）。

    :return: ``(dates, order_book_ids)``：去掉时区的日期（市场数据不带时区，按当地日期与时间匹配）与标的列表
    """
    require_frame(df, "factor_data")
    index = df.index
    order_book_ids = df.columns.tolist()
    if len(index) == 0 or len(order_book_ids) == 0:
        raise ValueError("Empty factor data source!")
    require_unique_columns(df, "factor_data")
    return (index if getattr(index, "tz", None) is None else index.tz_localize(None)), order_book_ids


def other_factor_frames(other_factors: Any, index: Any, order_book_ids: Any) -> list[pd.DataFrame]:
    """用户回归因子对齐到因子数据的行列；None 与空表跳过，非 DataFrame 抛出 TypeError。"""
    frames = []
    for f in [] if other_factors is None else other_factors:
        if f is None:
            continue
        if not isinstance(f, pd.DataFrame):
            raise TypeError(f"other_factors: expected a list of DataFrames, got an element of {type(f)}")
        if len(f) == 0:
            continue
        frames.append(f.reindex(index=index, columns=order_book_ids))
    return frames


def long_table_codes(table: Any) -> tuple:
    """长表（以 (datetime, order_book_id) 为索引）的日期层、两层的代码、日期层的排序与标的个数。

    :return: ``(date_level, date_codes, instrument_codes, date_order, n_instruments)``
    """
    if not isinstance(table, pd.DataFrame):
        raise ValueError(f"factor_data: expected a pandas DataFrame, got type={type(table)}")
    mi = table.index
    wrong = "factor_data: expected a long table indexed by (datetime, order_book_id)"
    if not isinstance(mi, pd.MultiIndex):
        raise ValueError(wrong)
    names = list(mi.names)
    di = oi = -1
    for i, name in enumerate(names):
        if name is not None and str(name) == "datetime":
            di = i
        if name is not None and str(name) == "order_book_id":
            oi = i
    if di < 0 or oi < 0 or len(names) != 2:
        raise ValueError(wrong)
    level = mi.levels[di]
    return (level, np.asarray(mi.codes[di], dtype=np.int64), np.asarray(mi.codes[oi], dtype=np.int64),
            np.asarray(level.argsort(), dtype=np.int64), len(mi.levels[oi]))


def assayer_module() -> Any:
    """The analysis extension module, imported when a rule needs it (it imports these modules itself)."""
    return importlib.import_module("zarnik.analysis.assayer")


def long_table_column(table: pd.DataFrame, label: Any) -> np.ndarray:
    """长表中标签为 label 的一列（float64，缺失为 NaN）；标签重复（多于一列）时报错。"""
    values = table[label].to_numpy(dtype=np.float64, na_value=np.nan)
    if values.ndim != 1:
        raise ValueError(f"factor_data: expected one column labelled {label!r}, got {values.shape[1]}")
    return values


def pipeline_step(step: Any, owner: Any, names_attr: str) -> tuple:
    """流水线步骤 (名称, 处理器)：须为二元 tuple，名称不在 owner 的已有步骤名称（属性 names_attr）中；返回该 tuple。"""
    if type(step) is not tuple:
        raise TypeError(f"step: expected type tuple, got {type(step)}")
    if len(step) != 2:
        raise ValueError(f"step: expected a (name, processor) pair, got a tuple of length {len(step)}")
    if step[0] in getattr(owner, names_attr):
        raise RuntimeError(f"pipeline step name={step[0]} already exists, please use another name.")
    return step
