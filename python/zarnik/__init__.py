"""zarnik: factor research toolkit for equity markets.

Factor formulas are expression trees (``zarnik.interface``, ``zarnik.rolling``)
evaluated over a dates x instruments panel by ``zarnik.engine``;
``zarnik.analysis.assayer`` runs the analysis pipeline over the resulting
FactorFrames and ``zarnik.report`` turns its results into tables, figures and
HTML tear sheets.
"""

from __future__ import annotations

from typing import Any

from .exception import InvalidUserFactor, ZarnikUserException

__version__ = "0.1.0"

__all__ = [
    "Factor",
    "parse",
    "execute_factor",
    "execute_factors",
    "mine",
    "load_factor",
    "fields",
    "alphas",
    "InvalidUserFactor",
    "ZarnikUserException",
    "__version__",
]

# Loaded on first use so that ``import zarnik`` stays cheap.
_LAZY = {
    "Factor": ("zarnik.leaves", "Factor"),
    "parse": ("zarnik.formula", "parse"),
    "execute_factor": ("zarnik.engine", "execute_factor"),
    "execute_factors": ("zarnik.engine", "execute_factors"),
    "mine": ("zarnik.mining", "mine"),
    "load_factor": ("zarnik.mining", "load_factor"),
    "fields": ("zarnik.leaves", "fields"),
    "alphas": ("zarnik.alphas", None),
}


def __getattr__(name: str) -> Any:
    target = _LAZY.get(name)
    if target is None:
        raise AttributeError("module 'zarnik' has no attribute {!r}".format(name))
    import importlib

    module = importlib.import_module(target[0])
    value = module if target[1] is None else getattr(module, target[1])
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
