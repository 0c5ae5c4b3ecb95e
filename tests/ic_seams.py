"""Shared pieces of the tests that compare the IC analysis' seams (forward returns computed once,
returns ranked once, the rank IC against them) with what ``ICAnalysis.analysis`` computes itself."""
from __future__ import annotations

import warnings

import numpy as np
import pandas as pd

from zarnik.analysis import assayer


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    """Same shape, same dtype and the same bits (NaN in the same places), whatever the memory layout."""
    a, b = np.asarray(a), np.asarray(b)
    return (a.shape == b.shape and a.dtype == b.dtype
            and np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes())


class RecordingIC(assayer.ICAnalysis):
    """Keeps what analysis() hands to its IC and IC-decay steps and what they give back:
    ``seen_ic`` (factor matrix, returns by field, fields), ``ic_out`` (IC, p-values),
    ``seen_long`` (the long table of the decay) and ``decay_out`` (the decay table)."""

    def _calc_ic(self, factor, ret_table, ret_fields):
        self.seen_ic = (np.array(factor, copy=True), {k: np.array(ret_table[k], copy=True) for k in ret_fields},
                        list(ret_fields))
        self.ic_out = super()._calc_ic(factor, ret_table, ret_fields)
        return self.ic_out

    def _calc_ic_decay(self, factor_data, ic):
        self.seen_long = factor_data.copy()
        self.decay_out = super()._calc_ic_decay(factor_data, ic)
        return self.decay_out


def recorded_analysis(factor: pd.DataFrame, returns: pd.DataFrame, periods, *, ascending: bool,
                      rank_ic: bool = True, max_decay=None) -> RecordingIC:
    """A recording IC step after one analysis of ``factor`` (warnings of the analysis silenced)."""
    step = RecordingIC(rank_ic=rank_ic, max_decay=max_decay)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        step.analysis(factor, returns, periods, ascending=ascending)
    return step


def decay_rows_match(decay: tuple, dates: pd.DatetimeIndex, table: pd.DataFrame, field: str) -> bool:
    """Whether the (date positions, lags, values) rows of ``_rank_ic_ranked`` are the rows of lag >= 1
    of the analysis' decay table for ``field``: the same (date, lag) pairs and the same bits."""
    at, lags, vals = decay
    got = pd.Series(vals, index=pd.MultiIndex.from_arrays([dates.take(at), lags]), dtype=float).sort_index()
    want = table[field][table.index.get_level_values("decay") > 0]
    return list(got.index) == list(want.index) and same_bits(got.to_numpy(), want.to_numpy())
