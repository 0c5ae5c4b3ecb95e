"""Exception classes of the zarnik package."""

from __future__ import annotations

import os
import sys
import warnings

__all__ = [
    "ZarnikError",
    "ZarnikUserException",
    "InvalidUserFactor",
    "InvalidPeriodType",
    "DataCoverageWarning",
    "warn_coverage",
]


class ZarnikError(Exception):
    """zarnik 所有异常的基类。"""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class ZarnikUserException(ZarnikError):
    """用户使用方式错误（例如把因子当作布尔值使用）。"""


class InvalidUserFactor(ZarnikError):
    """用户自定义因子返回的数据不符合约定。"""


class InvalidPeriodType(TypeError, ValueError):
    """持有期参数类型错误（非整数、布尔值或不是序列）。

    同时是 TypeError 与 ValueError：按类型或按取值捕获持有期错误的代码都能捕获它。
    """


class DataCoverageWarning(UserWarning):
    """数据覆盖告警：某一步骤使整个交易日（或全部数据）变为缺失，或请求的标的没有行情数据。"""


_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep


def warn_coverage(message: str) -> None:
    """Issues a DataCoverageWarning attributed to the first caller outside the zarnik package."""
    level, frame = 2, sys._getframe(1)
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(_PACKAGE_DIR):
        frame, level = frame.f_back, level + 1
    warnings.warn(message, DataCoverageWarning, stacklevel=level)
