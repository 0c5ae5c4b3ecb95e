"""Exception classes of the zarnik package."""

from __future__ import annotations

__all__ = ["ZarnikError", "ZarnikUserException", "InvalidUserFactor"]


class ZarnikError(Exception):
    """zarnik 所有异常的基类。"""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class ZarnikUserException(ZarnikError):
    """用户使用方式错误（例如把因子当作布尔值使用）。"""


class InvalidUserFactor(ZarnikError):
    """用户自定义因子返回的数据不符合约定。"""
