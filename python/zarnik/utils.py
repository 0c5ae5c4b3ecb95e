"""Array helpers shared by the rolling kernels."""

from __future__ import annotations

import operator

import numpy as np
from numpy.lib.stride_tricks import as_strided

__all__ = ["rolling_window", "check_window"]

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
