"""Array helpers and argument rules shared by the rolling kernels, and the check of a user-defined leaf's data."""

from __future__ import annotations

import collections
import inspect
import operator
import types
import warnings
from typing import Any

import numpy as np
import pandas as pd
from numpy.lib.stride_tricks import as_strided

__all__ = ["rolling_window", "check_window", "check_user_leaf", "constant_value"]

# The rolling kernels in C++ raise exactly these errors for the same inputs.
WINDOW_TYPE_MESSAGE = "window must be an integer, got {}"
WINDOW_LOW_MESSAGE = "window must be at least 1, got {}"
WINDOW_HIGH_MESSAGE = "window {} is larger than the series length {}"
NDIM_MESSAGE = "expected a 1-D array, got {}-D"


def check_window(window: object, length: int) -> int:
    """Validate a rolling window against a series length and return it as int.

    Raises
    ------
    TypeError
        ``window`` is not an integer (``bool`` and floats are refused, even 5.0).
    ValueError
        ``window`` is below 1 or larger than ``length``.
    """
    if isinstance(window, (bool, np.bool_)):
        raise TypeError(WINDOW_TYPE_MESSAGE.format(type(window).__name__))
    try:
        w = operator.index(window)
    except TypeError:
        raise TypeError(WINDOW_TYPE_MESSAGE.format(type(window).__name__)) from None
    if w < 1:
        raise ValueError(WINDOW_LOW_MESSAGE.format(w))
    if w > length:
        raise ValueError(WINDOW_HIGH_MESSAGE.format(w, length))
    return w


def kernel_input(name: str, arr: np.ndarray, count: bool) -> tuple[np.ndarray, bool]:
    """Bring a kernel input of an unusual dtype to one the kernels compute on.

    Returns the converted array and whether it was float16 (computed as float32; results
    that keep the input type are cast back). ``count`` reads any input as booleans;
    object arrays become float64, floats wider than float64 become float64, and
    non-native byte order becomes native. Complex and non-numeric dtypes raise TypeError.
    """
    dt = arr.dtype
    half = False
    if count:
        if dt.kind != "b":
            arr = arr.astype(np.bool_)
    elif dt.kind == "O":
        try:
            arr = arr.astype(np.float64)
        except Exception as e:
            raise TypeError(f"{name}: expected numeric values, got an object array that cannot be "
                            f"converted to float ({e})") from None
    elif dt.kind == "c":
        raise TypeError(f"{name}: expected real numbers, got {dt}")
    elif dt.kind not in "biuf":
        raise TypeError(f"{name}: expected a numeric array, got dtype {dt}")
    elif dt.kind == "f" and dt.itemsize == 2:
        half = True
        arr = arr.astype(np.float32)
    elif dt.kind == "f" and dt.itemsize > 8:
        arr = arr.astype(np.float64)
    if not arr.dtype.isnative:
        arr = arr.astype(arr.dtype.newbyteorder("="))
    return arr, half


# The floating-point conditions a kernel run reports: numpy's error-state key, the text of
# its message and the flag passed to an error callback.
_CONDITIONS = (("divide", "divide by zero", 1), ("over", "overflow", 2), ("invalid", "invalid value", 8))


def check_last(last: object) -> int:
    """The position ``last`` of ``_apply_columns``: an integer (not a bool) within +-2**62."""
    if isinstance(last, bool) or not hasattr(type(last), "__index__"):
        raise TypeError(f"last must be an integer or None, got {type(last).__name__}")
    value = operator.index(last)
    if not -(1 << 62) <= value <= 1 << 62:
        raise ValueError(f"last must lie within +-2**62, got {value}")
    return value


def kernel_catalogue(module: str, rows: list) -> tuple:
    """The ``KernelInfo`` record type of the rolling module ``module`` and its read-only
    catalogue: name -> ``KernelInfo(name, inputs, params, result, operators)`` for each row."""
    info = collections.namedtuple("KernelInfo", ("name", "inputs", "params", "result", "operators"), module=module)
    info.__doc__ = (
        "滚动核函数的描述：名称、序列输入个数、参数顺序、结果类型规则与基于它的算子。\n\n"
        "result: 'int64' / 'float64' (fixed), 'input' (the input's dtype), 'total' (float input keeps\n"
        "its dtype, signed integers and booleans give int64, unsigned integers uint64).")
    return info, types.MappingProxyType({row[0]: info(*row) for row in rows})


def report_conditions(name: str, divide: bool, overflow: bool, invalid: bool) -> None:
    """Act on a kernel's floating-point conditions as numpy's error state asks.

    Category by category (``np.geterr()``): ignore, warn (RuntimeWarning), raise
    (FloatingPointError), call / log (``np.geterrcall()``) or print.
    """
    err = np.geterr()
    for (key, text, flag), seen in zip(_CONDITIONS, (divide, overflow, invalid)):
        if not seen:
            continue
        mode, msg = err[key], f"{text} encountered in {name}"
        if mode == "warn":
            warnings.warn(msg, RuntimeWarning, stacklevel=2)
        elif mode == "raise":
            raise FloatingPointError(msg)
        elif mode == "call":
            np.geterrcall()(text, flag)
        elif mode == "log":
            np.geterrcall().write("Warning: " + msg + "\n")
        elif mode == "print":
            print("Warning: " + msg)


def constant_value(value: object) -> object:
    """The value a constant node stores: a pandas object's values array (labels dropped), a
    numpy array as it is, anything else as float (numeric strings parse)."""
    if isinstance(value, (pd.DataFrame, pd.Series)):
        return value.values
    if isinstance(value, np.ndarray):
        return value
    try:
        return float(value)  # type: ignore[arg-type]
    except ValueError:
        raise ValueError(f"invalid constant value {value}")


def check_user_leaf(name: object, frame: object, order_book_ids: object, start_date: object,
                    end_date: object, trading_dates: Any, error: type[Exception]) -> object:
    """Validate what a user-defined leaf returned and return it unchanged.

    ``frame`` must be a non-empty DataFrame whose index is exactly the trading dates
    ``trading_dates(start_date, end_date)`` (a DatetimeIndex) and whose columns are the set of
    ``order_book_ids``; otherwise ``error`` is raised with a message naming the leaf.
    """
    if not isinstance(frame, pd.DataFrame):
        raise error(f"UFactor({name}): pd.DataFrame expected, got {type(frame)}.")
    if frame.empty:
        raise error(f"UFactor({name}): the returned DataFrame is empty.")
    index = frame.index
    if not isinstance(index, pd.DatetimeIndex):
        raise error(f"UFactor({name}): the index of the returned DataFrame is not a pd.DatetimeIndex.")
    dates = pd.to_datetime(trading_dates(start_date, end_date))
    if dates.shape != index.shape or np.any(dates != index):
        raise error(f"UFactor({name}):the index of returned DataFrame does not match, "
                    f"expect trading dates from {start_date} to {end_date}")
    if set(frame.columns.tolist()) != set(order_book_ids):
        raise error(f"UFactor({name}): the columns of returned DataFrame does not match, "
                    "expect exact order_book_ids")
    return frame


def rolling_window(array: np.ndarray, window: int) -> np.ndarray:
    """滑动窗口视图。

    Parameters
    ----------
    array : numpy.ndarray
        一维数组（一个标的按交易日排列的序列，最早的在前）。
    window : int
        窗口长度，1 <= window <= len(array)。

    Returns
    -------
    numpy.ndarray
        形状为 (len(array) - window + 1, window) 的只读跨步视图，第 i 行为
        ``array[i:i + window]``，不复制数据。

    Raises
    ------
    TypeError
        window 不是整数（包括 bool 与浮点数）。
    ValueError
        array 不是一维数组；window 小于 1 或大于序列长度。
    """
    arr = np.asarray(array)
    if arr.ndim != 1:
        raise ValueError(NDIM_MESSAGE.format(arr.ndim))
    w = check_window(window, arr.shape[0])
    stride = arr.strides[0]
    return as_strided(arr, shape=(arr.shape[0] - w + 1, w), strides=(stride, stride), writeable=False)


class InitSignature:
    """The ``__signature__`` of a class whose ``__init__`` is a C++ callable.

    Read on the class (or a subclass that keeps this ``__init__``) it is that
    callable's signature without ``self``, so that ``inspect.signature(cls)``
    reads as for a Python class; for any other class, and on instances, it is
    None and inspect carries on as usual.
    """

    __slots__ = ("init",)

    def __init__(self, init: Any) -> None:
        self.init = init

    def __get__(self, instance: Any, owner: Any = None) -> Any:
        if instance is not None or owner is None or owner.__init__ is not self.init:
            return None
        sig = inspect.signature(self.init)
        return sig.replace(parameters=list(sig.parameters.values())[1:])
