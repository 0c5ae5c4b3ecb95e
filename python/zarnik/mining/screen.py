"""Screening a batch of formulas: evaluate in batches, analyse each factor, one summary row each.

A batch of formulas is evaluated in one engine call (every field loaded once per process, shared
subtrees once per batch), each factor runs through the analysis steps against returns loaded once,
and its row and a fixed sample of its preprocessed values (for correlations between factors) go to
the factor store. Batches run in this process or as tasks on a Dask cluster; the batches are the
same either way, so the leaderboard is the same bit for bit.
"""

from __future__ import annotations

import json
import math
import os
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from .formulas import read_formulas
from .store import FactorStore, data_fingerprint, expression_key, summary_key, value_key

__all__ = ["mine", "default_steps", "COLUMNS"]

# Leaderboard columns, in order (the index is the formula's name).
COLUMNS = [
    "formula", "ic_mean", "ic_ir", "ic_t", "ic_positive", "n_dates", "decay_half_life",
    "top_minus_bottom_ann", "turnover", "coverage", "corr_kept", "corr_with", "kept", "cached", "error",
    "warnings",
]

# Cells of the fixed sample on which correlations between factors are estimated.
SAMPLE_CELLS = 20_000
_SAMPLE_SEED = 20_240_607
# Fewer common cells than this leave a correlation undefined.
_MIN_OVERLAP = 30


def default_steps() -> list[tuple[str, Any]]:
    """默认筛选流程：MAD 去极值、标准化、Rank IC（含 10 期衰减）、五分组收益。"""
    from zarnik.analysis import assayer as A

    return [
        ("winsorize", A.Winzorization(method="mad")),
        ("normalize", A.Normalization()),
        ("ic", A.ICAnalysis(rank_ic=True, max_decay=10)),
        ("quantile", A.QuantileReturnAnalysis(quantile=5)),
    ]


def _steps_list(steps: Any) -> list[tuple[str, Any]]:
    if steps is None:
        return default_steps()
    if callable(steps) and not isinstance(steps, (list, tuple)) and not hasattr(steps, "preprocess_pipelines"):
        steps = steps()
    if hasattr(steps, "preprocess_pipelines") and hasattr(steps, "analysis_pipelines"):
        steps = list(steps.preprocess_pipelines) + list(steps.analysis_pipelines.items())
    if not isinstance(steps, (list, tuple)) or not all(
            isinstance(s, tuple) and len(s) == 2 and isinstance(s[0], str) for s in steps):
        raise TypeError("steps: expected a list of (name, step) pairs, a FactorAssayer or a function "
                        "returning one, got {}".format(type(steps).__name__))
    return list(steps)


def _plain(v: Any) -> Any:
    if v is None or isinstance(v, (bool, int, float, str)):
        return v
    if isinstance(v, (list, tuple)):
        return [_plain(x) for x in v]
    if isinstance(v, dict):
        return {str(k): _plain(x) for k, x in v.items()}
    if callable(v):
        return getattr(v, "__qualname__", getattr(v, "__name__", type(v).__name__))
    text = repr(v)
    return type(v).__name__ if " at 0x" in text else text


def _describe_steps(steps: list[tuple[str, Any]]) -> list[Any]:
    """A stable description of the steps (class and settings), part of the summary key."""
    return [[name, "{}.{}".format(type(s).__module__, type(s).__qualname__),
             {k: _plain(v) for k, v in sorted(getattr(s, "__dict__", {}).items()) if k != "step_name"}]
            for name, s in steps]


@dataclass
class _Job:
    """What every batch needs; sent to Dask workers as it is."""

    ids: list[str]
    start: str
    end: str
    periods: list[int]
    period: int
    steps: Any
    market_path: str
    fingerprint: str
    fields: list[str]
    lookback: int
    ascending: bool = False
    sample_cells: int = SAMPLE_CELLS
    keep_values: bool = True
    steps_key: str = ""
    shards: int = 1

    def data_key(self) -> tuple:
        return (self.market_path, self.fingerprint, tuple(self.ids), self.start, self.end, tuple(self.periods),
                self.lookback, tuple(self.fields), self.steps_key, self.sample_cells)


# ---------------------------------------------------------------------------
# per-process state: fields, returns and the pipeline, built once per job
# ---------------------------------------------------------------------------
class _FieldCache:
    """Serves every batch's fields from one load over the longest look-back of the whole job.

    One load per set of instruments asked for: the whole universe, or each instrument shard
    evaluated in this process.
    """

    def __init__(self, job: _Job) -> None:
        self.job = job
        self.parts: dict[tuple[str, ...], tuple[pd.DatetimeIndex | None, dict[str, np.ndarray]]] = {}

    def _prime(self, ostrel: Any, ids: list[str]) -> tuple[pd.DatetimeIndex | None, dict[str, np.ndarray]]:
        from zarnik.engine import _extended_dates, _load_fields, _trading_dates
        from zarnik.leaves import Factor

        job = self.job
        dates = _trading_dates(ostrel, pd.Timestamp(job.start).date(), pd.Timestamp(job.end).date())
        try:
            ext = _extended_dates(ostrel, dates, job.lookback, pd.Timestamp(job.end), "the batch")
        except Exception:
            return None, {}  # the formulas that reach too far fail in their own batch, with their own message
        data: dict[str, np.ndarray] = {}
        if job.fields:
            leaves = {f: Factor(f) for f in job.fields}
            try:
                data = _load_fields(ostrel, list(job.fields), ids, ext, leaves)
            except Exception:
                return None, {}
        return ext, data

    def __call__(self, ostrel: Any, fields: list[str], ids: list[str], dates: pd.DatetimeIndex,
                 leaves: Any) -> dict[str, np.ndarray]:
        from zarnik.engine import _load_fields

        key = tuple(ids)
        if key not in self.parts:
            self.parts[key] = self._prime(ostrel, list(ids))
        have_dates, data = self.parts[key]
        n = len(dates)
        if (have_dates is None or any(f not in data for f in fields) or n > len(have_dates)
                or not have_dates[len(have_dates) - n:].equals(dates)):
            return _load_fields(ostrel, fields, ids, dates, leaves)
        out = {}
        for f in fields:
            arr = data[f]
            # a copy keeps the batch's fields contiguous (the engine reads them in their own layout)
            out[f] = arr if n == arr.shape[0] else np.array(arr[arr.shape[0] - n:], order="K")
        return out


_STATE: dict[str, Any] = {}


def _state(job: _Job) -> dict[str, Any]:
    key = job.data_key()
    if _STATE.get("key") == key:
        return _STATE
    import ostrel
    from ostrel import store as market

    from zarnik.analysis import assayer as A

    if os.fspath(market._configured_path()) != job.market_path:
        ostrel.init(job.market_path)
    _STATE.clear()
    cache = _FieldCache(job)
    dates = pd.DatetimeIndex(pd.to_datetime(list(ostrel.get_trading_dates(job.start, job.end)))).normalize()
    shape = pd.DataFrame(index=pd.DatetimeIndex(dates, name="datetime"),
                         columns=pd.Index(job.ids, name="order_book_id"), dtype=float)
    steps = _steps_list(job.steps)
    fa = A.FactorAssayer()
    for step in steps:
        fa.append(step)
    pre = [name for name, s in steps if isinstance(s, A.FactorPreprocessor)]
    _STATE.update(key=key, fields=cache, dates=dates, assayer=fa, pre=pre, returns=None, returns_error=None)
    try:
        _STATE["returns"] = A._load_daily_returns(shape, list(job.periods))
    except Exception as e:  # every formula reports it
        _STATE["returns_error"] = "returns: {}".format(e)
    _STATE["shared"] = _shared_analysis(fa, _STATE["returns"], dates, job) if _STATE["returns"] is not None else None
    T, N = len(dates), len(job.ids)
    m = min(T * N, job.sample_cells)
    flat = np.sort(np.random.default_rng(_SAMPLE_SEED).choice(T * N, size=m, replace=False)) if m else np.empty(0, int)
    _STATE["sample_at"] = (flat // max(N, 1), flat % max(N, 1))
    return _STATE


# ---------------------------------------------------------------------------
# the analysis of a batch: what every formula shares, computed once per job
# ---------------------------------------------------------------------------
@dataclass
class _Shared:
    """Per-job pieces of the analysis that do not depend on the factor.

    ``forward``: the forward returns of each period on the analysis dates (``index``) and the
    returns' instruments (``columns``), exactly as the IC analysis computes them; ``decay_returns``:
    those of the screened period, missing wherever any period's is missing (the IC decay pairs a
    factor value with all periods' returns at once, so this one column gives the same pairs);
    ``long_index``: the (date, instrument) index of the IC analysis' long table. For a rank IC,
    ``ranked`` and ``ranked_decay`` hold those returns with each date's values sorted once for the
    whole job, instruments in the long table's order (``order`` picks them from ``columns``; ranks do
    not depend on the instruments' order; ``order_is_identity``: ``order`` keeps them as they are). ``growth``: the quantile analysis' growth index of the
    returns on the job's dates (``growth_index``) and instruments (``growth_columns``), the part of its
    group returns that does not depend on the factor; None when the step has a benchmark (each factor
    then runs the whole quantile analysis, whose benchmark loading may warn).
    """

    ic: Any
    quantile: Any
    pre: list[tuple[str, Any]]
    label: str
    index: pd.DatetimeIndex
    columns: pd.Index
    forward: dict[str, np.ndarray]
    decay_returns: np.ndarray | None
    long_index: pd.MultiIndex | None
    ranked: Any = None
    ranked_decay: Any = None
    order: np.ndarray | None = None
    growth: np.ndarray | None = None
    growth_columns: pd.Index | None = None
    growth_index: pd.DatetimeIndex | None = None
    same_grid: bool = False
    order_is_identity: bool = False


def _shared_analysis(fa: Any, returns: pd.DataFrame, dates: pd.DatetimeIndex, job: _Job) -> _Shared | None:
    """The shared pieces when the steps are preprocessors, at most one plain IC analysis (no industry
    classification) and at most one plain quantile analysis; None otherwise (every formula then runs
    the whole pipeline)."""
    from zarnik.analysis import assayer as A

    analysers = list(fa.analysis_pipelines.values())
    ics = [a for a in analysers if type(a) is A.ICAnalysis]
    qs = [a for a in analysers if type(a) is A.QuantileReturnAnalysis]
    if len(ics) + len(qs) != len(analysers) or len(ics) > 1 or len(qs) > 1:
        return None
    ic = ics[0] if ics else None
    if ic is not None and getattr(ic, "industry", None) is not None:
        return None
    # every period must fit the factor history (otherwise the quantile analysis drops some, with a warning)
    if len(dates) <= max(job.periods) or not dates.is_monotonic_increasing or not dates.is_unique:
        return None
    if not returns.index.is_monotonic_increasing or not returns.columns.is_unique:
        return None
    label = "P_{}".format(job.period)
    index = pd.DatetimeIndex(dates, name="datetime").intersection(returns.index).rename("datetime")
    columns = returns.columns
    forward: dict[str, np.ndarray] = {}
    decay_returns = long_index = None
    if ic is not None:
        shape = pd.DataFrame(0.0, index=pd.DatetimeIndex(dates, name="datetime"), columns=pd.Index(job.ids))
        try:
            forward = {str(k): np.asarray(v) for k, v in
                       ic._forward_returns(shape, returns, list(job.periods), ascending=job.ascending).items()}
        except Exception:
            return None
        if label not in forward or forward[label].shape != (len(index), len(columns)):
            return None
        if ic.max_decay:
            present = np.ones(forward[label].shape, dtype=bool)
            for v in forward.values():
                present &= ~np.isnan(v)
            decay_returns = np.where(present, forward[label], np.nan).reshape(-1)
            long_index = pd.MultiIndex.from_product([index, columns], names=("datetime", "order_book_id"))
    ranked = ranked_decay = order = None
    if ic is not None and bool(ic.rank_ic):
        # the long table's instruments are its sorted level; the decay is computed in that order
        level = pd.MultiIndex.from_product([index[:1], columns]).levels[1]
        order = columns.get_indexer(level)
        if len(order) != len(columns) or (order < 0).any():
            return None
        ranked = ic._rank_rows(forward[label][:, order])
        if decay_returns is not None:
            ranked_decay = ic._rank_rows(decay_returns.reshape(len(index), len(columns))[:, order])
    growth = growth_columns = None
    quantile = qs[0] if qs else None
    if quantile is not None and getattr(quantile, "benchmark", None) is None:
        # the returns' growth index on the factor's dates and instruments, for every factor of the job
        ids = pd.Index(job.ids, name="order_book_id")
        shape = pd.DataFrame(0.0, index=pd.DatetimeIndex(dates, name="datetime"), columns=ids)
        try:
            growth = np.asarray(quantile._growth(shape, returns))
            growth_columns = ids
        except Exception:
            growth = None  # each factor then runs the whole quantile analysis
    pre = list(fa.preprocess_pipelines)
    growth_index = pd.DatetimeIndex(dates)
    # the rank IC's factor matrix is the quantile analysis' one (same dates, instruments in the same
    # order): the IC's row sorts then serve the quantile labels too
    same_grid = bool(ranked is not None and growth is not None and index.equals(growth_index)
                     and columns.take(order).equals(growth_columns))
    return _Shared(ic=ic, quantile=quantile, pre=pre, label=label, index=index, columns=columns,
                   forward=forward, decay_returns=decay_returns, long_index=long_index, ranked=ranked,
                   ranked_decay=ranked_decay, order=order, growth=growth, growth_columns=growth_columns,
                   growth_index=growth_index, same_grid=same_grid,
                   order_is_identity=order is not None and bool(np.array_equal(order, np.arange(len(order)))))


def _shared_fits(sh: _Shared, frame: pd.DataFrame, dates: pd.DatetimeIndex) -> bool:
    idx = frame.index
    return (len(frame) > 0 and frame.shape[1] > 0 and isinstance(idx, pd.DatetimeIndex) and idx.tz is None
            and idx.equals(dates) and frame.columns.is_unique)


def _screen_shared(sh: _Shared, frame: pd.DataFrame, job: _Job) -> tuple[dict[str, Any], pd.DataFrame]:
    """The screening row of one factor from the shared pieces: the same steps as the pipeline, each
    analysis only for the screened period (the IC of a period and the quantile tables of a period do
    not depend on the other periods) and without the tables a screen does not read."""
    from zarnik.analysis.coverage import CoverageAccount
    from zarnik.report.display import _annualize_cumulative, _ic_summary

    frame.index.name = "datetime"
    frame.columns.name = "order_book_id"
    coverage = CoverageAccount(frame)
    data = frame
    for name, step in sh.pre:
        data = step.process(data)
        coverage.step(name, data)
    row: dict[str, Any] = {}
    label = sh.label
    grouped = (sh.quantile is not None and sh.growth is not None and data.columns.equals(sh.growth_columns)
               and data.index.equals(sh.growth_index))
    # the quantile labels read the rank IC's row sorts (the same matrix, sorted ascending)
    shared_sort = grouped and sh.same_grid and not job.ascending
    sorted_rows = group_input = None
    if sh.ic is not None:
        ic = sh.ic
        if data.index.equals(sh.index) and data.columns.equals(sh.columns):
            fa = data.to_numpy(dtype=np.float64, copy=True)  # the labels already line up: no reindexing
        else:
            fa = data.reindex(index=sh.index, columns=sh.columns).to_numpy(dtype=np.float64, copy=True)
        if bool(ic.rank_ic) and job.ascending:
            fa = fa * -1.0
        decay_rows = None
        if sh.ranked is not None:
            # p-values are not part of the row
            # the long table's instruments are usually already in the frame's order: no second copy then
            fo = fa if sh.order_is_identity else fa[:, sh.order]
            if shared_sort:
                values, _, decay_rows, sorted_rows = ic._rank_ic_ranked(fo, sh.ranked, sh.ranked_decay,
                                                                        p_values=False, orders=True)
                group_input = fo
            else:
                values, _, decay_rows = ic._rank_ic_ranked(fo, sh.ranked, sh.ranked_decay, p_values=False)
            row.update(_ic_row(values[:, 0]))
            ic_frame = None
        else:
            values, _ = ic._calc_ic(fa, {label: sh.forward[label]}, [label])
            ic_frame = pd.DataFrame(values, index=sh.index, columns=[label])
            s = _ic_summary(_ICView(ic_frame))
            row.update(ic_mean=float(s.loc[label, "ic_mean"]), ic_ir=float(s.loc[label, "ir"]),
                       ic_t=float(s.loc[label, "t_stat"]), ic_positive=float(s.loc[label, "positive_share"]),
                       n_dates=int(s.loc[label, "n_dates"]))
        if decay_rows is not None:
            if len(values) + len(decay_rows[0]):
                row["decay_half_life"] = _half_life(_decay_curve(ic, values[:, 0], decay_rows, sh.index, label))
        elif sh.decay_returns is not None:
            if ic_frame is None:
                ic_frame = pd.DataFrame(values, index=sh.index, columns=[label])
            long = pd.DataFrame({"factor": fa.reshape(-1), label: sh.decay_returns}, index=sh.long_index)
            decay = ic._calc_ic_decay(long, ic_frame)
            if decay is not None and len(decay):
                curve = pd.DataFrame(decay).groupby(level="decay").mean()[label].sort_index()
                row["decay_half_life"] = _half_life(curve.to_numpy())
    if grouped:
        # the tables analysis() builds, from the job's growth index: the first and last groups' turnover
        # and the long-short cumulative return
        n = len(data)
        if group_input is None:
            group_input = data.to_numpy(dtype=np.float64)
        turnover, _, ls = sh.quantile._group_returns(group_input, sh.growth, [job.period], job.ascending,
                                                     order=sorted_rows)
        row["top_minus_bottom_ann"] = _annualize_cumulative(pd.Series(ls[:, 0]))
        groups = turnover.shape[0] // max(n, 1)
        if groups:
            ends = [float(pd.Series(turnover[g * n:(g + 1) * n, 0]).mean()) for g in (0, groups - 1)]
            row["turnover"] = float(np.mean(ends))
    elif sh.quantile is not None:
        res = sh.quantile.analysis(data, _STATE["returns"], [job.period], ascending=job.ascending)
        tmb = res.top_minus_bottom_returns
        if label in tmb.columns:
            row["top_minus_bottom_ann"] = _annualize_cumulative(tmb[label])
        turnover = res.quantile_turnover
        if label in turnover.columns:
            tags = list(dict.fromkeys(turnover.index.get_level_values(0)))
            if tags:
                ends = [float(turnover[label].xs(t, level=0).mean()) for t in (tags[0], tags[-1])]
                row["turnover"] = float(np.mean(ends))
    return row, data


def _decay_curve(ic: Any, values: np.ndarray, rows: tuple, index: pd.DatetimeIndex, label: str) -> np.ndarray:
    """The mean IC of each lag of the decay table the IC analysis builds (lag 0: the per-date IC
    ``values``; lags 1 ..: the (date positions, lags, values) ``rows``), as the summary computes it: a
    grouped mean of the table sorted by date and lag.

    Where a lag other than 0 has a row before the last date, the table's lags are not in ascending
    order and pandas takes a compensated sum per lag, which ``_decay_curve`` computes without the
    table; otherwise (one lag, or rows on the last date only) pandas sums each lag's run of rows
    another way, so the table is built."""
    at, lags, vals = rows
    if len(values) and bool((np.asarray(at) != len(values) - 1).any()):
        return ic._decay_curve(values, rows)[1]
    ic_frame = pd.DataFrame(np.asarray(values, dtype=np.float64).reshape(-1, 1), index=index, columns=[label])
    lag0 = ic_frame.copy()
    lag0["decay"] = 0
    rest = pd.DataFrame(np.asarray(vals).reshape(-1, 1), columns=[label], index=pd.MultiIndex.from_arrays(
        [index.take(at), lags], names=("datetime", "decay")))
    decay = pd.concat([lag0.set_index("decay", append=True), rest]).sort_index()
    return decay.groupby(level="decay").mean()[label].sort_index().to_numpy()


def _ic_row(ic: np.ndarray) -> dict[str, Any]:
    """The leaderboard's IC columns from one period's per-date IC: the figures the IC summary gives
    (mean, IR, t-statistic, share positive and count over the dates with a value), computed the same
    way without the statistics a row does not show."""
    x = np.asarray(ic, dtype=np.float64)
    x = x[~np.isnan(x)]
    n = int(x.size)
    mean = float(x.mean()) if n else math.nan
    std = float(x.std(ddof=1)) if n > 1 else math.nan
    ir = mean / std if n > 1 and std > 0 else math.nan
    t = ir * math.sqrt(n) if not math.isnan(ir) else math.nan
    return {"ic_mean": mean, "ic_ir": ir, "ic_t": t, "ic_positive": float((x > 0).mean()) if n else math.nan,
            "n_dates": n}


@dataclass
class _ICView:
    ic: pd.DataFrame
    ic_by_industry: Any = None


# ---------------------------------------------------------------------------
# one batch
# ---------------------------------------------------------------------------
def _error_text(e: BaseException) -> str:
    return "{}: {}".format(type(e).__name__, e)


def _half_life(curve: np.ndarray) -> float:
    """Lags until |IC| first falls to half its lag-0 value (linear between lags); NaN if never."""
    a = np.abs(np.asarray(curve, dtype=float))
    if a.size == 0 or not np.isfinite(a[0]) or a[0] == 0:
        return math.nan
    half = a[0] / 2
    for k in range(1, a.size):
        if np.isfinite(a[k]) and a[k] <= half:
            prev = a[k - 1]
            return float(k - 1 + (prev - half) / (prev - a[k])) if prev != a[k] else float(k)
    return math.nan


def _summarise(results: dict[str, Any], period: int) -> dict[str, Any]:
    from zarnik.report.display import _annualize_cumulative, result_kind, summary

    row: dict[str, Any] = {}
    label = "P_{}".format(period)
    for res in results.values():
        try:
            kind = result_kind(res)
        except TypeError:
            continue
        if kind == "ic" and "ic_mean" not in row:
            s = summary(res)
            if label in s.index:
                row.update(ic_mean=float(s.loc[label, "ic_mean"]), ic_ir=float(s.loc[label, "ir"]),
                           ic_t=float(s.loc[label, "t_stat"]), ic_positive=float(s.loc[label, "positive_share"]),
                           n_dates=int(s.loc[label, "n_dates"]))
            decay = getattr(res, "ic_decay", None)
            if decay is not None and len(decay) and label in decay.columns:
                curve = pd.DataFrame(decay).groupby(level="decay").mean()[label].sort_index()
                row["decay_half_life"] = _half_life(curve.to_numpy())
        elif kind == "quantile" and "top_minus_bottom_ann" not in row:
            # read from the result's own tables: its summary() adds statistics a screen does not show
            tmb = getattr(res, "top_minus_bottom_returns", None)
            if tmb is not None and label in getattr(tmb, "columns", []):
                row["top_minus_bottom_ann"] = _annualize_cumulative(tmb[label])
            turnover = getattr(res, "quantile_turnover", None)
            if turnover is not None and label in getattr(turnover, "columns", []):
                tags = list(dict.fromkeys(turnover.index.get_level_values(0)))
                if tags:
                    ends = [float(turnover[label].xs(t, level=0).mean()) for t in (tags[0], tags[-1])]
                    row["turnover"] = float(np.mean(ends))
    return row


Evaluated = tuple[dict[str, pd.DataFrame], dict[str, str]]


def _evaluate_batch(job: _Job, batch: list[tuple[str, str, Any]], ids: list[str] | None = None) -> Evaluated:
    """Evaluates one batch over ``ids`` (default: the whole universe): frames and error texts by name."""
    from zarnik.engine import _evaluate

    st = _state(job)
    ids = job.ids if ids is None else ids
    roots = {name: node for name, _, node in batch}
    errors: dict[str, str] = {}
    frames: dict[str, pd.DataFrame] = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            frames = _evaluate(roots, ids, job.start, job.end, False, load_fields=st["fields"])
        except Exception:
            # find the formulas that fail; the others are evaluated on their own
            for name, node in roots.items():
                try:
                    frames[name] = _evaluate({name: node}, ids, job.start, job.end, False,
                                             load_fields=st["fields"])[name]
                except Exception as e:
                    errors[name] = _error_text(e)
    return frames, errors


def _join_shards(batch: list[tuple[str, str, Any]], parts: list[Evaluated]) -> Evaluated:
    """The whole-universe frames of a batch evaluated shard by shard (columns in shard order)."""
    errors: dict[str, str] = {}
    for _, errs in parts:
        for name, text in errs.items():
            errors.setdefault(name, text)
    frames = {}
    for name, _, _ in batch:
        if name in errors:
            continue
        pieces = [frames_of[name] for frames_of, _ in parts]
        first = pieces[0]
        values = np.hstack([p.to_numpy(dtype=np.float64, copy=False) for p in pieces])
        columns = pd.Index([c for p in pieces for c in p.columns], dtype=first.columns.dtype, name=first.columns.name)
        frames[name] = pd.DataFrame(values, index=first.index, columns=columns, copy=False)
    return frames, errors


def shards_of(ids: list[str], shards: int) -> list[list[str]]:
    """``ids`` cut into ``shards`` contiguous pieces of nearly equal size (none empty)."""
    k = max(1, min(int(shards), len(ids)))
    bounds = [round(i * len(ids) / k) for i in range(k + 1)]
    return [ids[bounds[i]:bounds[i + 1]] for i in range(k)]


def column_wise(node: Any) -> bool:
    """True when each instrument's values depend on that instrument's own data only.

    That holds for built-in fields, constants, numpy ufuncs, lags, IF, SIGNEDPOWER and the rolling
    kernels; cross-sectional and group operators, user-defined leaves and any other function make a
    formula depend on the whole universe. Column-wise formulas evaluated over instrument shards give
    the same values, bit for bit, as over the whole universe.
    """
    from zarnik import operators as ops
    from zarnik.engine import _Graph, _is_shift, _rolling_kernels
    from zarnik.leaves import Factor

    kernels = _rolling_kernels()
    per_instrument = {id(ops.lag), id(ops.where), id(ops.signed_power)}
    graph = _Graph()
    try:
        graph.add(node.expr)
    except Exception:
        return False
    for key, kind in zip(graph.keys, graph.kind):
        if kind == "leaf":
            if not isinstance(key, Factor):
                return False
        elif kind == "app":
            func = key[0]
            if not (isinstance(func, np.ufunc) or id(func) in kernels or id(func) in per_instrument
                    or _is_shift(func)):
                return False
    return True


def _sharded(job: _Job, batch: list[tuple[str, str, Any]]) -> bool:
    return job.shards > 1 and len(job.ids) > 1 and all(column_wise(node) for _, _, node in batch)


def _run_batch(job: _Job, batch: list[tuple[str, str, Any]]) -> list[dict[str, Any]]:
    """Evaluates and analyses one batch; returns a record per formula (row, sample, values)."""
    if _sharded(job, batch):
        evaluated = _join_shards(batch, [_evaluate_batch(job, batch, ids) for ids in shards_of(job.ids, job.shards)])
    else:
        evaluated = _evaluate_batch(job, batch)
    return _analyse_batch(job, batch, evaluated)


def _analyse_shards(job: _Job, batch: list[tuple[str, str, Any]], parts: list[Evaluated]) -> list[dict[str, Any]]:
    return _analyse_batch(job, batch, _join_shards(batch, parts))


def _analyse_batch(job: _Job, batch: list[tuple[str, str, Any]], evaluated: Evaluated) -> list[dict[str, Any]]:
    """Analyses one evaluated batch; returns a record per formula (row, sample, values)."""
    st = _state(job)
    frames, errors = evaluated
    out = []
    rows_at, cols_at = st["sample_at"]
    for name, formula, _node in batch:
        rec: dict[str, Any] = {"name": name, "row": {"formula": formula}, "sample": None, "values": None}
        out.append(rec)
        if name in errors:
            rec["row"]["error"] = errors[name]
            continue
        frame = frames.pop(name)
        values = frame.to_numpy(dtype=np.float64)
        # the share of finite cells (a count over the size: the same number as the mean of the mask)
        rec["row"]["coverage"] = np.count_nonzero(np.isfinite(values)) / values.size if values.size else math.nan
        if job.keep_values:
            rec["values"] = frame
        if st["returns_error"]:
            rec["row"]["error"] = st["returns_error"]
            continue
        shared = st["shared"]
        final = None
        if shared is not None and _shared_fits(shared, frame, st["dates"]):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                try:
                    with np.errstate(all="ignore"):
                        summary_row, final = _screen_shared(shared, frame, job)
                except Exception:
                    final = None  # the whole pipeline below reports the error in its own words
            if final is not None:
                if caught:
                    rec["row"]["warnings"] = "; ".join(dict.fromkeys(str(w.message) for w in caught))
                rec["row"].update(summary_row)
        if final is None:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                try:
                    with np.errstate(all="ignore"):
                        results = st["assayer"].analysis(frame, st["returns"], ascending=job.ascending,
                                                         periods=list(job.periods), keep_preprocess_result=True)
                except Exception as e:
                    rec["row"]["error"] = _error_text(e)
                    continue
            if caught:
                rec["row"]["warnings"] = "; ".join(dict.fromkeys(str(w.message) for w in caught))
            rec["row"].update(_summarise(results, job.period))
            final = results.get(st["pre"][-1]) if st["pre"] else frame
        final_values = np.asarray(pd.DataFrame(final).to_numpy(dtype=np.float64))
        if final_values.shape == values.shape and rows_at.size:
            rec["sample"] = final_values[rows_at, cols_at]
    return out


# ---------------------------------------------------------------------------
# correlation-aware ranking
# ---------------------------------------------------------------------------
def _rank_and_select(table: pd.DataFrame, samples: dict[str, np.ndarray], max_corr: float | None,
                     rank_by: str = "ic_ir") -> pd.DataFrame:
    """Orders by the absolute value of ``rank_by`` (ties: input order) and walks down the list: a factor's ``corr_kept`` is its
    largest absolute correlation with the factors kept above it; with ``max_corr`` a factor is kept
    only when that stays below the threshold (greedy by IR)."""
    order = table.assign(_abs=pd.to_numeric(table[rank_by], errors="coerce").abs(), _pos=np.arange(len(table)))
    order = order.sort_values(["_abs", "_pos"], ascending=[False, True], na_position="last")
    names = list(order.index)
    corr_kept = np.full(len(names), np.nan)
    corr_with: list[str | None] = [None] * len(names)
    kept = np.zeros(len(names), dtype=bool)
    width = max((len(v) for v in samples.values()), default=0)
    # the factors that take part, in ranking order, and their centred samples (0 where missing)
    eligible = [i for i, name in enumerate(names) if samples.get(name) is not None
                and len(samples[name]) == width and order.at[name, "error"] is None]
    V = np.zeros((len(eligible), width))
    M = np.zeros((len(eligible), width))  # 1 where present
    for e, i in enumerate(eligible):
        s = samples[names[i]]
        m = np.isfinite(s)
        V[e] = np.where(m, s - (s[m].mean() if m.any() else 0.0), 0.0)
        M[e] = m
    # every pair's correlation over the cells both have, in one pass of matrix products: for factors
    # a (row) and b (column), the products of the centred values, each one's squares over the other's
    # cells, and the number of common cells
    V2 = V * V
    num = V @ V.T
    sq = M @ V2.T  # sq[a, b]: b's squares over a's cells
    overlap = M @ M.T
    with np.errstate(all="ignore"):
        R = num / np.sqrt(sq.T * sq)
    R[(overlap < _MIN_OVERLAP) | ~np.isfinite(R)] = np.nan
    del V, M, V2, num, sq, overlap
    kept_rows: list[int] = []  # rows of R of the kept factors, in ranking order
    for e, i in enumerate(eligible):
        if kept_rows:
            r = R[e, kept_rows]
            if np.isfinite(r).any():
                j = int(np.nanargmax(np.abs(r)))
                corr_kept[i], corr_with[i] = float(r[j]), names[eligible[kept_rows[j]]]
        if max_corr is None or not (abs(corr_kept[i]) >= max_corr):
            kept[i] = True
            kept_rows.append(e)
    order = order.drop(columns=["_abs", "_pos"])
    order["corr_kept"] = corr_kept
    order["corr_with"] = corr_with
    order["kept"] = kept
    return order


# ---------------------------------------------------------------------------
# the batch loop
# ---------------------------------------------------------------------------
def _dask_client(workers: int | None, scheduler: str | None) -> tuple[Any, Any]:
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise ImportError("mining on Dask needs dask.distributed: pip install 'zarnik[dask]'") from None
    if scheduler:
        return Client(scheduler), None
    env_before = os.environ.get("ZARNIK_NUM_THREADS")
    if env_before is None:  # the workers share the machine's cores
        os.environ["ZARNIK_NUM_THREADS"] = str(max(1, (os.cpu_count() or 1) // max(1, workers or 1)))
    try:
        # No dashboard; the scheduler's HTTP endpoint takes a free port rather than 8787, which
        # another cluster on the machine may hold.
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                               scheduler_kwargs={"dashboard_address": ":0"}, silence_logs=40)
    finally:
        if env_before is None:
            os.environ.pop("ZARNIK_NUM_THREADS", None)
    return Client(cluster), cluster


def _parse_all(formulas: dict[str, Any]) -> tuple[list[tuple[str, str, Any]], dict[str, dict[str, Any]]]:
    from zarnik.formula import parse
    from zarnik.interface import AbstractFactor

    parsed, failed = [], {}
    for name, f in formulas.items():
        text = f if isinstance(f, str) else repr(f)
        try:
            node = parse(f) if isinstance(f, str) else f
            if not isinstance(node, AbstractFactor):
                raise TypeError("expected a formula string or a zarnik factor, got {}".format(type(f).__name__))
            node.shift  # noqa: B018 -- a bad look-back fails here, not inside a batch
        except Exception as e:
            failed[name] = {"formula": text, "error": _error_text(e)}
            continue
        parsed.append((name, text, node))
    return parsed, failed


def _leaf_fields(node: Any) -> tuple[list[str], bool]:
    """Market fields the formula reads, and whether it has user-defined leaves (never cached;
    industry classifications come from the market data and are cached like fields)."""
    from zarnik.leaves import Factor, IndustryFactor

    names, user = [], False
    for leaf in node.dependencies:
        if isinstance(leaf, Factor):
            names.append(leaf.name)
        elif type(leaf) is not IndustryFactor:
            user = True
    return names, user


def mine(
    formulas: Any,
    universe: Any = None,
    start: Any = None,
    end: Any = None,
    periods: Sequence[int] = (1, 5, 20),
    steps: Any = None,
    *,
    period: int | None = None,
    max_corr: float | None = None,
    batch_size: int | None = None,
    workers: int | None = None,
    scheduler: str | None = None,
    factor_store: Any = None,
    keep_values: bool = True,
    sample_cells: int = SAMPLE_CELLS,
    ascending: bool = False,
    rank_by: str = "ic_ir",
    instrument_shards: int = 1,
    progress: bool = True,
) -> pd.DataFrame:
    """批量计算并筛选因子公式，返回排行榜 DataFrame（每个公式一行，默认按 |IC IR| 降序）。

    Parameters
    ----------
    formulas : dict, str or iterable
        名称 -> 公式（字符串或因子表达式）；公式文件路径；或生成器等可迭代对象，见 ``read_formulas``。
    universe : list of str, optional
        标的代码；默认行情库中的全部股票。
    start, end : date-like
        因子计算区间（含两端）；``end`` 之后须有最长持有期的交易日。
    periods : sequence of int
        持有期；排行榜统计取 ``period``（默认第一个持有期）。
    steps : list, FactorAssayer or callable, optional
        分析流程，(名称, 步骤) 列表、FactorAssayer 或返回它们的函数；默认 ``default_steps()``。
        在 Dask 上运行时须可序列化（可传入模块级函数）。
    max_corr : float, optional
        给定时按 |IR| 贪心保留：与已保留因子的最大绝对相关系数不低于该值的公式 ``kept`` 为 False。
    batch_size : int, optional
        每批公式数（共享子表达式与数据的范围）；默认按面板大小限制内存。
    workers, scheduler : optional
        ``workers=N`` 启动 N 个进程的本地 Dask 集群；``scheduler`` 为已有集群的地址。
    factor_store : path, FactorStore or False, optional
        因子库位置（默认行情库旁的 ``<库名>.factors`` 或 ``$ZARNIK_FACTOR_STORE``）；False 不读不写。
    keep_values : bool
        是否把因子值写入因子库（可用 ``load_factor`` 读回）。
    sample_cells : int
        估计因子间相关系数所用的固定样本单元数。
    rank_by : str
        排序（及贪心保留）所依据的列，取绝对值；默认 "ic_ir"，也可用 "ic_t" 等数值列。
    instrument_shards : int
        大于 1 时，逐标的计算的公式（不含截面 / 分组算子与自定义叶子，见 ``column_wise``）按标的
        切成这么多片分别计算再拼接（在 Dask 上各片是独立任务），结果逐位相同；用于很宽的股票池。

    Returns
    -------
    pandas.DataFrame
        索引为公式名称，列见 ``COLUMNS``：IC 均值 / IR / t 值 / 正比例、衰减半衰期、多空年化收益、
        换手率、覆盖率（有值单元格占比）、与已保留因子的相关系数、是否保留、是否来自因子库、错误信息。
        出错的公式记录错误，其余公式照常计算。
    """
    import ostrel
    from ostrel import store as market
    from tqdm.auto import tqdm

    from zarnik.engine import _normalize_ids

    if start is None or end is None:
        raise ValueError("mine: start and end are required")
    if workers is not None and scheduler is not None:
        raise ValueError("mine: give workers (a local cluster) or scheduler (an existing one), not both")
    if workers is not None and (not isinstance(workers, int) or workers < 1):
        raise ValueError("mine: workers must be a positive integer, got {!r}".format(workers))
    if isinstance(instrument_shards, bool) or not isinstance(instrument_shards, int) or instrument_shards < 1:
        raise ValueError("mine: instrument_shards must be a positive integer, got {!r}".format(instrument_shards))
    if max_corr is not None and not (0 < float(max_corr) <= 1):
        raise ValueError("mine: max_corr must be in (0, 1], got {!r}".format(max_corr))
    periods = [int(p) for p in (periods if isinstance(periods, (list, tuple)) else [periods])]
    if not periods or any(p < 1 for p in periods):
        raise ValueError("mine: periods must be positive integers, got {!r}".format(periods))
    period = periods[0] if period is None else int(period)
    if rank_by not in ("ic_mean", "ic_ir", "ic_t", "ic_positive", "top_minus_bottom_ann", "coverage"):
        raise ValueError("mine: rank_by must be one of ic_mean, ic_ir, ic_t, ic_positive, top_minus_bottom_ann, "
                         "coverage; got {!r}".format(rank_by))
    if period not in periods:
        raise ValueError("mine: period {} is not one of periods {}".format(period, periods))

    table_formulas = read_formulas(formulas)
    if universe is None:
        universe = sorted(ostrel.all_instruments(type="CS")["order_book_id"].tolist())
    ids = _normalize_ids(universe)
    start_s, end_s = str(pd.Timestamp(start).date()), str(pd.Timestamp(end).date())
    steps_list = _steps_list(steps)
    config = {"periods": periods, "period": period, "steps": _describe_steps(steps_list), "ascending": bool(ascending),
              "sample": [int(sample_cells), _SAMPLE_SEED]}
    fingerprint = data_fingerprint()
    store = None
    if factor_store is not False:
        store = factor_store if isinstance(factor_store, FactorStore) else FactorStore(factor_store)

    parsed, failed = _parse_all(table_formulas)
    rows: dict[str, dict[str, Any]] = {name: dict(rec) for name, rec in failed.items()}
    samples: dict[str, np.ndarray] = {}
    todo, keys, all_fields, lookback = [], {}, [], 0
    for name, text, node in parsed:
        fields_of, user = _leaf_fields(node)
        for f in fields_of:
            if f not in all_fields:
                all_fields.append(f)
        lookback = max(lookback, int(node.shift))
        expr = expression_key(node) if store is not None and not user else None
        if expr is not None:
            vkey = value_key(expr, ids, start_s, end_s, fingerprint)
            skey = summary_key(vkey, config)
            keys[name] = (vkey, skey)
            hit = store.get_summary(skey)
            if hit is not None:
                row, sample = hit
                row.update(formula=text, cached=True)
                rows[name] = row
                if sample is not None:
                    samples[name] = sample
                continue
        todo.append((name, text, node))

    T = len(ostrel.get_trading_dates(start_s, end_s))
    if batch_size is None:
        batch_size = max(1, min(32, int(1.2e9 // max(1, T * len(ids) * 8))))
    if instrument_shards > 1:
        # column-wise formulas together, so their batches can be sharded
        todo = [t for t in todo if column_wise(t[2])] + [t for t in todo if not column_wise(t[2])]
    batches = [todo[i:i + batch_size] for i in range(0, len(todo), batch_size)]
    job = _Job(ids=ids, start=start_s, end=end_s, periods=periods, period=period, steps=steps,
               market_path=os.fspath(market._configured_path()), fingerprint=fingerprint, fields=all_fields,
               lookback=lookback, ascending=bool(ascending), sample_cells=int(sample_cells),
               keep_values=bool(keep_values and store is not None),
               steps_key=json.dumps(config["steps"], sort_keys=True, default=str), shards=int(instrument_shards))

    bar = tqdm(total=len(table_formulas), desc="mining", unit="formula", disable=not progress)
    bar.update(len(table_formulas) - len(todo))

    def take(records: list[dict[str, Any]]) -> None:
        for rec in records:
            name, row = rec["name"], rec["row"]
            row["cached"] = False
            rows[name] = row
            if rec["sample"] is not None:
                samples[name] = rec["sample"]
            if store is not None and name in keys and "error" not in row:
                vkey, skey = keys[name]
                if rec["values"] is not None:
                    store.put_values(vkey, rec["values"], formula=row["formula"])
                store.put_summary(skey, row, rec["sample"])
        bar.update(len(records))

    try:
        if batches and (workers is not None or scheduler is not None):
            _run_on_dask(job, batches, workers, scheduler, take)
        else:
            for batch in batches:
                take(_run_batch(job, batch))
    finally:
        bar.close()

    table = pd.DataFrame.from_dict({name: rows[name] for name in table_formulas}, orient="index")
    for col in COLUMNS:
        if col not in table.columns:
            table[col] = np.nan if col not in ("error", "warnings", "corr_with") else None
    for col in ("error", "warnings", "corr_with"):
        table[col] = table[col].astype(object).where(table[col].notna(), None)
    table = _rank_and_select(table[COLUMNS], samples, max_corr, rank_by)
    table["cached"] = table["cached"].fillna(False).astype(bool)
    table.index.name = "name"
    return table


def _run_on_dask(job: _Job, batches: list[list[tuple[str, str, Any]]], workers: int | None,
                 scheduler: str | None, take: Callable[[list[dict[str, Any]]], None]) -> None:
    client, cluster = _dask_client(workers, scheduler)
    try:
        from distributed import as_completed

        try:
            import cloudpickle

            cloudpickle.dumps(job.steps)
        except Exception as e:
            raise TypeError("steps: cannot be sent to Dask workers ({}); pass a module-level function that "
                            "builds the steps instead".format(e)) from None
        futures = []
        for batch in batches:
            if _sharded(job, batch):
                # each shard is evaluated where the scheduler puts it; the analysis needs the whole universe
                parts = [client.submit(_evaluate_batch, job, batch, ids, pure=False)
                         for ids in shards_of(job.ids, job.shards)]
                futures.append(client.submit(_analyse_shards, job, batch, parts, pure=False))
            else:
                futures.append(client.submit(_run_batch, job, batch, pure=False))
        for fut in as_completed(futures):
            take(fut.result())
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
