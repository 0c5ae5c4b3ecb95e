"""Reading a batch of formulas: a mapping, a file, or any iterable."""

from __future__ import annotations

import json
import os
import re
from collections.abc import Iterable, Mapping
from typing import Any

__all__ = ["read_formulas"]

# "name = formula" (a lone "=", not "==", "<=", ">=" or "!=") or "name: formula"
_NAMED = re.compile(r"^\s*([A-Za-z_][\w.\-]*)\s*(?:=(?!=)|:)\s*(.+?)\s*$")


def _from_text(text: str, where: str) -> list[tuple[str, Any]]:
    out = []
    for lineno, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        m = _NAMED.match(line)
        if m:
            out.append((m.group(1), m.group(2)))
        else:
            out.append((line, line))
        if not out[-1][1]:
            raise ValueError("{} line {}: empty formula".format(where, lineno))
    return out


def _from_json(data: Any, where: str) -> list[tuple[str, Any]]:
    if isinstance(data, Mapping):
        return [(str(k), v) for k, v in data.items()]
    if isinstance(data, list):
        return _from_iterable(data, where)
    raise ValueError("{}: expected a JSON object name -> formula or a list of formulas".format(where))


def _from_iterable(items: Iterable[Any], where: str) -> list[tuple[str, Any]]:
    from zarnik.interface import AbstractFactor

    out = []
    for i, item in enumerate(items):
        if isinstance(item, (tuple, list)) and len(item) == 2 and isinstance(item[0], str):
            out.append((item[0], item[1]))
        elif isinstance(item, str):
            out.append((item.strip(), item))
        elif isinstance(item, AbstractFactor):
            out.append((repr(item), item))
        else:
            raise TypeError("{} item {}: expected a formula string, a zarnik factor or a (name, formula) "
                            "pair, got {}".format(where, i, type(item).__name__))
    return out


def read_formulas(source: Any) -> dict[str, Any]:
    """读取一批因子公式，返回 名称 -> 公式字符串或因子表达式。

    ``source`` 可以是：名称 -> 公式 的映射；文件路径（每行 ``name = formula`` 或只写公式，
    ``#`` 开头为注释；``.json`` 文件为对象或列表）；或任意可迭代对象（公式字符串、因子表达式或
    (名称, 公式) 二元组，例如生成器）。只写公式时以公式文本为名称。名称重复时报错。
    """
    if isinstance(source, Mapping):
        items = [(str(k), v) for k, v in source.items()]
    elif isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if not os.path.isfile(path):
            raise FileNotFoundError(
                "formulas: no such file: {} (pass a dict name -> formula for formulas written in code)".format(path))
        with open(path, encoding="utf-8") as fh:
            text = fh.read()
        if path.lower().endswith(".json"):
            try:
                data = json.loads(text)
            except json.JSONDecodeError as e:
                raise ValueError("formulas: {} is not valid JSON: {}".format(path, e)) from None
            items = _from_json(data, path)
        else:
            items = _from_text(text, path)
    elif isinstance(source, Iterable):
        items = _from_iterable(source, "formulas")
    else:
        raise TypeError("formulas: expected a dict name -> formula, a file path or an iterable of formulas, "
                        "got {}".format(type(source).__name__))
    out: dict[str, Any] = {}
    for name, formula in items:
        if name in out:
            raise ValueError("formulas: the name {!r} is used twice".format(name))
        out[name] = formula
    if not out:
        raise ValueError("formulas: no formulas given")
    return out
