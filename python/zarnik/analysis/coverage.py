"""Coverage account of the analysis pipeline: how many cells of the factor frame hold a value
after each stage, and which stage turned whole dates (or everything) missing.

``FactorAssayer.analysis`` keeps one account per run. A stage that leaves a date that had values
with none, or leaves no value at all, raises a ``DataCoverageWarning`` naming the stage and what
it dropped; the account itself is attached to every analysis result as ``result.coverage``
(a DataFrame, one row per stage), so reports can show where data went missing.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from zarnik import _core
from zarnik.exception import DataCoverageWarning, warn_coverage

__all__ = ["CoverageAccount", "has_no_data", "DataCoverageWarning"]

_COLUMNS = ("cells", "share", "lost", "dates_with_values", "dates_emptied")
_F64 = np.dtype(np.float64)


def _float_values(frame: Any) -> np.ndarray | None:
    """The frame's values as a float64 2-D array when that needs no conversion (a float frame or
    array), else None."""
    if isinstance(frame, pd.DataFrame):
        # the identity test settles the usual case (numpy's float64 dtype is one object) without an
        # equality call per column
        if frame.shape[1] == 0 or not all(d is _F64 or d == _F64 for d in frame.dtypes.to_numpy()):
            return None
        values = frame.to_numpy()
    else:
        values = np.asarray(frame)
    if values.ndim != 2 or values.dtype != np.float64:
        return None
    return values


def _counts(frame: Any, values: np.ndarray | None = None) -> np.ndarray:
    """Cells holding a value (not NaN / None; ±inf counts as a value) on each row."""
    if values is not None:
        return np.count_nonzero(~np.isnan(values), axis=1).astype(np.int64, copy=False)
    if isinstance(frame, pd.DataFrame):
        return frame.count(axis=1).to_numpy(dtype=np.int64)
    arr = np.asarray(frame)
    if arr.ndim != 2:
        raise ValueError("coverage: expected a 2-D frame, got {} dimension(s)".format(arr.ndim))
    return np.asarray(pd.DataFrame(arr).count(axis=1), dtype=np.int64)


def _constant_rows(frame: Any, counts: np.ndarray, values: np.ndarray | None = None) -> np.ndarray:
    """Rows with at least two values, all equal (no cross-sectional spread left)."""
    if values is None:
        try:
            values = np.asarray(frame.to_numpy() if isinstance(frame, pd.DataFrame) else frame, dtype=np.float64)
        except (TypeError, ValueError):
            return np.zeros(counts.shape, dtype=bool)
    if values.ndim != 2 or values.shape[0] != counts.shape[0] or values.shape[1] == 0:
        return np.zeros(counts.shape, dtype=bool)
    with np.errstate(invalid="ignore"):
        # fmax / fmin skip NaN without copying; an all-NaN row gives NaN, never a zero spread
        spread = np.fmax.reduce(values, axis=1) - np.fmin.reduce(values, axis=1)
    return (counts >= 2) & (spread == 0)


def _presence(frame: Any, values: np.ndarray | None,
              column_counts: bool = False) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
    """``_counts``, ``_constant_rows`` and (with ``column_counts``) the cells holding a value in each
    column; one pass in C++ over a float64 array, else the separate helpers."""
    if values is not None:
        counts, constant, per_column = _core.row_presence(values, column_counts)
        return counts, constant, per_column
    counts = _counts(frame)
    per_column = None
    if column_counts and isinstance(frame, pd.DataFrame):
        per_column = frame.count(axis=0).to_numpy()
    return counts, _constant_rows(frame, counts), per_column


def _plural(n: int, word: str) -> str:
    return "{:,} {}{}".format(n, word, "" if n == 1 else "s")


class CoverageAccount:
    """逐步骤的数据覆盖记录：每一步之后有值的单元格数、丢失的单元格数、变为全缺失的交易日数。"""

    def __init__(self, factor_data: Any, stage: str = "input", warn: bool = True) -> None:
        self._rows: list[dict[str, Any]] = []
        self._index: Any = getattr(factor_data, "index", None)
        values = _float_values(factor_data)
        self._last, self._last_constant, per_column = _presence(
            factor_data, values, column_counts=warn and isinstance(factor_data, pd.DataFrame))
        shape = np.shape(factor_data)
        self._size = int(shape[0]) * int(shape[1]) if len(shape) == 2 else int(self._last.size)
        self._record(stage, self._last, lost=0, emptied=0)
        if warn:
            self._warn_input(stage, factor_data, per_column)

    def _record(self, stage: Any, counts: np.ndarray, lost: int, emptied: int) -> None:
        cells = int(counts.sum())
        self._rows.append({
            "stage": stage,
            "cells": cells,
            "share": cells / self._size if self._size else np.nan,
            "lost": lost,
            "dates_with_values": int(np.count_nonzero(counts)),
            "dates_emptied": emptied,
        })

    def _warn_input(self, stage: Any, frame: Any, per_column: np.ndarray | None = None) -> None:
        total = int(self._last.sum())
        if total == 0:
            warn_coverage("{}: the factor data holds no value on any date; every analysis will report "
                          "no data".format(stage))
            return
        if isinstance(frame, pd.DataFrame):
            if per_column is None:
                per_column = frame.count(axis=0).to_numpy()
            empty = frame.columns[per_column == 0]
            if len(empty):
                shown = ", ".join(map(str, empty[:5])) + (", ..." if len(empty) > 5 else "")
                warn_coverage("{}: {} of {} have no value on any date ({})".format(
                    stage, len(empty), _plural(frame.shape[1], "instrument"), shown))

    def step(self, stage: Any, frame: Any, warn: bool = True) -> None:
        """记录一个步骤之后的数据；该步骤使整日或全部数据缺失时发出 DataCoverageWarning。"""
        counts, constant, _ = _presence(frame, _float_values(frame))
        before = int(self._last.sum())
        after = int(counts.sum())
        same_rows = counts.shape == self._last.shape and (
            self._index is None or getattr(frame, "index", None) is None or frame.index.equals(self._index))
        if same_rows:
            emptied = int(np.count_nonzero((self._last > 0) & (counts == 0)))
            lost = int(np.maximum(self._last - counts, 0).sum())
        else:  # the step changed the dates: compare totals only
            emptied = max(int(np.count_nonzero(self._last)) - int(np.count_nonzero(counts)), 0)
            lost = max(before - after, 0)
            self._index = getattr(frame, "index", None)
        collapsed = int(np.count_nonzero(constant & ~self._last_constant)) if same_rows else 0
        self._record(stage, counts, lost=lost, emptied=emptied)
        self._last, self._last_constant = counts, constant
        if not warn or before == 0:
            return
        if collapsed and after:
            warn_coverage("{}: left {} of {} with one value for every instrument (no spread left; a later "
                          "standardizing step will turn them missing)".format(
                              stage, "{:,}".format(collapsed), _plural(int(np.count_nonzero(counts)), "date")))
        if after == 0:
            warn_coverage("{}: turned every value missing ({} of {} with a value before); every analysis "
                          "will report no data".format(stage, "{:,}".format(lost), _plural(before, "cell")))
        elif emptied:
            dates_before = self._rows[-2]["dates_with_values"]
            warn_coverage("{}: left {} of {} with no value ({} of {} dropped)".format(
                stage, "{:,}".format(emptied), _plural(dates_before, "date"), "{:,}".format(lost),
                _plural(before, "cell")))

    @property
    def final_cells(self) -> int:
        """最后一步之后有值的单元格数。"""
        return int(self._rows[-1]["cells"])

    def to_frame(self) -> pd.DataFrame:
        """每个步骤一行：cells（有值单元格数）、share（占比）、lost（本步丢失）、dates_with_values、dates_emptied。"""
        table = pd.DataFrame(self._rows, columns=("stage",) + _COLUMNS)
        return table.set_index("stage")


def has_no_data(result: Any) -> bool:
    """Whether the pipeline that produced ``result`` handed it a factor frame without any value."""
    table = getattr(result, "coverage", None)
    if isinstance(table, pd.DataFrame) and len(table) and "cells" in table.columns:
        return int(table["cells"].iloc[-1]) == 0
    return False
