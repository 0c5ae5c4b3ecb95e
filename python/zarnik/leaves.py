"""Built-in leaves: daily market-data fields read through ``ostrel``."""

from __future__ import annotations

from typing import Any

from .interface import LeafFactor

__all__ = ["Factor", "FIELDS"]

# Daily fields every store offers; prices are back-adjusted when loaded.
FIELDS: tuple[str, ...] = ("open", "high", "low", "close", "volume", "total_turnover")


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
