"""The result table of a quantile style analysis, built from the core's group means.

The C++ step ``QuantileStyleAnalysis`` places the exposures and computes the
active exposure of every group in the core; what it hands over here is the
dense block of group means and the labels to put on it.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

__all__ = ["quantile_exposure", "style_result"]


def quantile_exposure(index: pd.Index, kept: np.ndarray, values: np.ndarray, columns: Any, groups: int) -> pd.DataFrame:
    """Active exposures indexed by (date, quantile).

    :param index: the factor's dates; ``kept`` are the positions of the dates that have exposures
    :param values: ``len(kept) * groups`` rows (groups ``q1`` .. ``q<groups>`` of each date) x style factors
    :param columns: the style factor names
    """
    tags = [f"q{g}" for g in range(1, groups + 1)]
    quantiles = pd.CategoricalIndex(tags, dtype=pd.CategoricalDtype(tags))
    rows = pd.MultiIndex.from_product((index.take(kept), quantiles), names=("date", "quantile"))
    return pd.DataFrame(values, index=rows, columns=columns)


def style_result(step: Any, index: pd.Index, kept: np.ndarray, values: np.ndarray, columns: Any, groups: int) -> Any:
    """The step's ``QuantileStyleAnalysisResult`` over :func:`quantile_exposure`, named ``step.step_name``."""
    from zarnik.analysis import analysis_result

    frame = quantile_exposure(index, kept, values, columns, groups)
    return analysis_result.QuantileStyleAnalysisResult(quantile_exposure=frame, name=step.step_name)
