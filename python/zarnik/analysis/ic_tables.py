"""The labels, arguments and result tables of the IC analysis (``ICAnalysis``).

The C++ methods of ``zarnik.analysis.assayer.ICAnalysis`` compute every
coefficient in the core (``zarnik/ic.hpp``) and call the functions here for
the pandas work around it: the constructor's arguments, the grid an analysis
computes on (common dates, positions, period lengths), the industry label of
each row of a long table and the columns the pooled table reads, the
assembly of the decay table and of the analysis result, the array arguments
of the decay curve. The correlation wrappers of ``_get_ic_func`` and the
p-values call scipy through here. Collaborators (``_get_ic_func``,
``_load_industry_data``, ``_get_return_fields``, the result class) are looked
up on the analysis module when called, so substituting them there changes
what every step sees.
"""

from __future__ import annotations

import importlib
from typing import Any

import numpy as np
import pandas as pd

from zarnik.analysis import checks

MAX_DECAY_ERROR = "max_decay: expect None or a non-negative integer, got {!r}"


def _collaborator(name: str, *fallback: Any) -> Any:
    """``zarnik.analysis.assayer.<name>``; ``fallback`` (if given) when the module does not define it."""
    module = checks.assayer_module()
    if hasattr(module, name):
        return getattr(module, name)
    if fallback:
        return fallback[0]
    raise RuntimeError(f"zarnik.analysis.assayer.{name} is not available")


def complete_pairs_correlation(fs: Any, rs: Any, rank: bool) -> Any:
    """scipy's spearmanr (rank) or pearsonr over the pairs where both are present; (0, 0) below two."""
    mask = ~(np.isnan(fs) | np.isnan(rs))
    if int(mask.sum()) > 1:
        import scipy.stats

        return (scipy.stats.spearmanr if rank else scipy.stats.pearsonr)(fs[mask], rs[mask])
    return (0, 0)


def tail_probabilities(rank: bool, a: np.ndarray, x: np.ndarray) -> np.ndarray:
    """The tail probability of each test statistic: Student's t distribution function stdtr(a, x) for
    a rank coefficient, the complemented beta integral betaincc(a, a, x) for a linear one."""
    import scipy.special

    return scipy.special.stdtr(a, x) if rank else scipy.special.betaincc(a, a, x)


def decay_lags(max_decay: Any) -> int:
    """The number of lags of the decay table (a non-negative integer), else ValueError."""
    return checks.require_count(max_decay, 0, MAX_DECAY_ERROR)


def init_step(step: Any, rank_ic: Any, industry: Any, max_decay: Any) -> None:
    """Checks the constructor's arguments and stores them (with the correlation function) on ``step``."""
    if industry is not None and not isinstance(industry, (str, dict, pd.Series)):
        raise ValueError("Unsupported industry_classification type, expect one of None/str/pd.Series/dict, "
                         f"got type={type(industry)}")
    if isinstance(industry, str):
        valid = _collaborator("VALID_INDUSTRY_SOURCE", ("citics_2019", "sws"))
        if industry not in valid:
            raise ValueError(f"industry_classification: expect one of {valid}, got {industry}")
    if max_decay is not None:
        decay_lags(max_decay)
    step.rank_ic = rank_ic
    step.ic_func = _collaborator("_get_ic_func")(rank_ic)
    step.industry = industry
    step.max_decay = max_decay


def return_fields(columns: Any) -> list:
    """The forward-return columns of a long table (``_get_return_fields``; "P_..." labels without it)."""
    fn = _collaborator("_get_return_fields", None)
    if fn is not None:
        return list(fn(columns))
    return [c for c in columns if isinstance(c, str) and c.startswith("P_")]


def industry_labels(step: Any, factor_data: pd.DataFrame) -> pd.Series:
    """The industry of each row of a long (datetime, order_book_id) table; "Unknown" where none."""
    industry = step.industry
    index = factor_data.index
    if isinstance(industry, str):
        load = _collaborator("_load_industry_data")
        return load(order_book_ids=index.get_level_values("order_book_id").unique(),
                    dates=index.get_level_values("datetime").unique(), source=industry)
    if isinstance(industry, dict):
        series = pd.Series(industry)
    elif isinstance(industry, pd.Series):
        series = industry.copy()
    else:
        raise RuntimeError(f"Invalid industry type, expect str/dict/pd.Series, go {type(industry)} ")
    # one label per instrument, spread over the rows through the index codes
    level = codes = None
    if isinstance(index, pd.MultiIndex):
        for i, name in enumerate(index.names):
            if name is not None and str(name) == "order_book_id":
                level, codes = index.levels[i], np.asarray(index.codes[i])
    if level is None or bool((codes < 0).any()):
        obids = index.get_level_values("order_book_id")
        level = obids.unique()
        codes = level.get_indexer(obids)
    # as objects first: a categorical or all-missing float mapping takes the text label too
    data = series.reindex(level).astype(object).fillna("Unknown").to_numpy(dtype="O").take(codes)
    return pd.Series(index=index, data=data, dtype="O")


def industry_inputs(step: Any, factor_data: Any) -> tuple | None:
    """What the pooled industry table is computed from: None without a classification, else
    (label of each row, the labels' name, the correlation function, the return fields, the factor
    column, the return columns) with the columns as float64 arrays."""
    if step.industry is None:
        return None
    if not isinstance(factor_data, pd.DataFrame):
        raise ValueError(f"factor_data: expected a pandas DataFrame, got type={type(factor_data)}")
    key = step._get_industry_data(factor_data)
    ic_func = step.ic_func
    fields = return_fields(factor_data.columns)
    name = None
    if isinstance(key, pd.Series):
        name = key.name
        if key.index is not factor_data.index and not key.index.equals(factor_data.index):
            key = key.reindex(factor_data.index)
        key = key.to_numpy()
    return (key, name, ic_func, fields, checks.long_table_column(factor_data, "factor"),
            [checks.long_table_column(factor_data, f) for f in fields])


def analysis_grid(step: Any, factor_data: Any, returns: Any, periods: Any, ascending: Any) -> tuple:
    """The labels an analysis computes on, after the argument rules: (the dates both frames cover,
    the returns' instruments, the period keys, the periods in rows, the positions of the dates in
    factor_data and in returns, the positions of the instruments among factor_data's columns,
    whether the factor is negated: a rank IC of a factor sorted ascending)."""
    for frame, name in ((factor_data, "factor_data"), (returns, "returns")):
        if not isinstance(frame, pd.DataFrame):
            raise ValueError(f"{name}: expected a pandas DataFrame, got type={type(frame)}")
    checks.require_analysis_axes(factor_data, returns)
    periods = checks.parse_periods(periods)
    dates = factor_data.index.intersection(returns.index).rename("datetime")
    # a period longer than any table stands at the largest 64-bit length
    lengths = np.array([min(p, np.iinfo(np.int64).max) for p, _ in periods], dtype=np.int64)
    return (dates, returns.columns, [key for _, key in periods], lengths, factor_data.index.get_indexer(dates),
            returns.index.get_indexer(dates), factor_data.columns.get_indexer(returns.columns),
            bool(step.rank_ic) and bool(ascending))


def decay_table(ic: Any, fields: list, rows: tuple | None) -> pd.DataFrame:
    """The IC decay table: ``ic`` as lag 0 and the rows of the other lags, given as (the table's
    dates, date positions, lags, the values of every field row after row)."""
    lag0 = ic.copy()
    lag0["decay"] = 0
    parts = [lag0.set_index("decay", append=True)]
    if rows is not None:
        dates, at, lags, values = rows
        index = pd.MultiIndex.from_arrays((dates.take(at), lags), names=("datetime", "decay"))
        parts.append(pd.DataFrame(values.reshape(len(at), len(fields)), index=index, columns=fields))
    return pd.concat(parts).sort_index()


def analysis_result(step: Any, dates: Any, columns: Any, factor: np.ndarray, forward: dict) -> Any:
    """The ICAnalysisResult of one analysis from its dense inputs (the factor on the dates x
    instruments grid and the forward returns of each period), through the step's own methods."""
    fields = list(forward)
    data = {"factor": factor.reshape(-1)}
    data.update((key, values.reshape(-1)) for key, values in forward.items())
    long_index = pd.MultiIndex.from_product((dates, columns), names=("datetime", "order_book_id"))
    long_table = pd.DataFrame(data, index=long_index)
    values = tuple(step._calc_ic(factor, forward, fields))
    ic = pd.DataFrame(values[0], index=dates, columns=fields)
    ic_p = pd.DataFrame(values[1], index=dates, columns=fields)
    ic_decay = step._calc_ic_decay(long_table, ic)
    industry = step._calc_ic_industry_distribute(long_table)
    if industry is not None:
        object.__setattr__(industry, "industry", step.industry)
    module = checks.assayer_module()  # its own result class first, else the result module's
    if hasattr(module, "ICAnalysisResult"):
        result = module.ICAnalysisResult
    else:
        result = importlib.import_module("zarnik.analysis.analysis_result").ICAnalysisResult
    out = result(ic=ic, ic_p_value=ic_p, ic_decay=ic_decay, ic_industry_distribute=industry, name=step.step_name)
    # per-date IC within each industry, kept on the result beside the pooled table
    importlib.import_module("zarnik.analysis.statistics").attach_ic_statistics(out, step, long_table)
    return out


def _as_array(values: Any, dtype: Any) -> np.ndarray | None:
    """``values`` as an aligned C-order ndarray of ``dtype`` (an unsafe cast, as ``astype``); None when
    they cannot be read so."""
    try:
        return np.require(np.asarray(values, dtype=dtype, order="C"), requirements=("C", "A"))
    except Exception:
        return None


def curve_inputs(ic: Any, rows: Any) -> tuple:
    """The arrays of a decay curve: the lag-0 IC of every date (flattened, float64) and the (date
    positions, lags, values) rows as int64, int64 and float64 arrays of one length."""
    flat = _as_array(np.ravel(ic), np.float64)
    if flat is None:
        raise TypeError("ic: expected an array of numbers")
    if not isinstance(rows, tuple) or len(rows) != 3:
        raise ValueError(f"rows: expected (date positions, lags, values), got {rows!r}")
    parts = (_as_array(rows[0], np.int64), _as_array(rows[1], np.int64), _as_array(rows[2], np.float64))
    if any(p is None or p.ndim != 1 or len(p) != len(parts[0]) for p in parts):
        raise ValueError("rows: expected three one-dimensional arrays of one length")
    return (flat,) + parts


def field_returns(ret_table: Any, field: Any) -> Any:
    """``ret_table[field]``; ValueError naming the field when the table has no such key."""
    try:
        return ret_table[field]
    except KeyError:
        raise ValueError(f"ret_table: no returns for field {field!r}") from None
