"""Evaluation engine: turns factor expression trees into FactorFrames.

The engine walks the expression keys of one or several roots, loads every
distinct leaf once over the requested trading dates extended backwards by the
largest look-back, evaluates every distinct subtree once on whole 2-D arrays
(dates x instruments) and frees intermediate arrays as soon as their last
consumer has run.

* numpy ufuncs and other callables receive the evaluated 2-D arrays (and
  literals) positionally;
* the rolling kernels of ``zarnik.rolling`` run column by column in C++
  through ``zarnik.rolling._apply_columns``;
* ``ShiftedFactor._shift`` drops leading rows (a view, no copy).

Every node value has the leaves' rows less the first ``shift`` of them, so the
last row is always the requested end date and the root covers exactly the
requested dates.

Depth. Nothing here recurses per tree level: the keys are walked with an
explicit stack, and the built-in nodes compute ``expr``, ``dependencies``,
``shift`` and their text without recursion, so trees of any depth evaluate
(a chain of 100,000 operators included; ``benchmarks/deep_trees.py``). One
limit remains: a node class whose members are written in Python (a user
subclass overriding ``expr``, say) is asked through Python, and a chain of
such nodes nests one C call per level; when that uses up the thread's stack
the walk stops with ``RecursionError`` naming how many such levels it met,
instead of crashing. Messages quote long node texts by their two ends.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Iterable, Mapping
from typing import Any, Callable

import numpy as np
import pandas as pd

from .exception import InvalidUserFactor, ZarnikError

__all__ = ["execute_factor", "execute_factors", "FactorEvaluationError", "describe_key"]

# Evaluations touching more cells than this show a progress bar by default.
_PROGRESS_CELLS = 20_000_000


class FactorEvaluationError(ZarnikError):
    """求值失败：消息中给出出错的节点。"""

    def __init__(self, message: str, node: str | None = None) -> None:
        super().__init__(message)
        self.node = node


# ---------------------------------------------------------------------------
# key helpers
# ---------------------------------------------------------------------------
def _is_application(key: Any) -> bool:
    return (
        type(key) is tuple and len(key) == 2 and callable(key[0]) and type(key[1]) is tuple
    )


def _is_leaf(key: Any) -> bool:
    from .interface import LeafFactor

    return isinstance(key, LeafFactor)


def _func_name(func: Any) -> str:
    if func is np.true_divide:
        return "true_divide"
    return getattr(func, "__name__", None) or type(func).__name__


def describe_key(key: Any, _depth: int = 0) -> str:
    """A readable one-line form of an expression key, for messages."""
    if _depth > 40:
        return "..."
    if _is_application(key):
        func, args = key
        if _is_shift(func):
            return "ShiftedFactor({}, {})".format(
                describe_key(args[0], _depth + 1), args[1] if len(args) > 1 else "?"
            )
        return "{}({})".format(_func_name(func), ", ".join(describe_key(a, _depth + 1) for a in args))
    if isinstance(key, np.ndarray):
        return "array(shape={})".format(key.shape)
    try:
        return repr(key)
    except Exception:  # a leaf whose repr fails still needs a name
        return "<{}>".format(type(key).__name__)


# Longest node text quoted in a message; deeper trees are shown by their two ends.
_BRIEF_CHARS = 240


def _brief(node: Any) -> str:
    """The representation of ``node`` for a message, shortened when long."""
    try:
        text = repr(node)
    except Exception:  # a node whose repr fails still needs a name
        return "<{}>".format(type(node).__name__)
    if len(text) <= _BRIEF_CHARS:
        return text
    half = _BRIEF_CHARS // 2
    return "{} ... {} ({:,} characters)".format(text[:half], text[-half:], len(text))


def _shift_function() -> Any:
    from . import interface

    return interface.ShiftedFactor._shift


def _is_shift(func: Any) -> bool:
    try:
        return func is _shift_function()
    except Exception:
        return False


def _rolling_kernels() -> dict[int, tuple[str, Any, int]]:
    """id(kernel) -> (name, kernel, series inputs) for the kernels of ``zarnik.rolling.KERNELS``.

    A kernel of one series takes (x, window), one of two series (window, a, b).
    """
    try:
        from . import rolling
    except ImportError:
        return {}
    table = {}
    for name, info in rolling.KERNELS.items():
        k = getattr(rolling, name)
        table[id(k)] = (name, k, info.inputs)
    return table


def _atom_canon(key: Any) -> Any:
    """Hashable identity of a leaf or literal key.

    Leaves and scalar literals keep their own equality (so equal keys built
    separately share one evaluation), except that -0.0 and 0.0 stay apart;
    objects that cannot be hashed (array literals, leaves whose hash raises)
    are identified by ``id``.
    """
    if _is_leaf(key):
        try:
            hash(key)
            return ("leaf", key)
        except Exception:
            return ("leaf-id", id(key))
    if isinstance(key, np.ndarray):
        return ("array", id(key))
    try:
        hash(key)
        if isinstance(key, (float, np.floating)) and key == 0:  # -0.0 == 0.0, but they differ in results
            return ("lit", type(key), key, bool(np.signbit(key)))
        return ("lit", type(key), key)
    except Exception:
        return ("obj", id(key))


def _func_canon(func: Any) -> Any:
    try:
        hash(func)
        return func
    except TypeError:
        return ("id", id(func))


class _Graph:
    """Distinct nodes of all roots, children before parents (hash-consed)."""

    def __init__(self) -> None:
        self.index: dict[Any, int] = {}
        self.keys: list[Any] = []
        self.children: list[list[int]] = []
        self.kind: list[str] = []  # "leaf" | "lit" | "app"
        self.refs: list[int] = []
        self._alive: list[Any] = []  # keeps walked key objects alive, so ids stay unique
        from .operators import cs_rank

        self._rank = cs_rank

    def _is_rank(self, i: int) -> bool:
        """Whether node ``i`` is the cross-sectional percentile rank of one value."""
        return self.kind[i] == "app" and len(self.children[i]) == 1 and self.keys[i][0] is self._rank

    def _lookup(self, canon: Any) -> int | None:
        try:
            return self.index.get(canon)
        except Exception:  # a leaf with an exotic __eq__
            return None

    def _store(self, canon: Any, i: int) -> None:
        try:
            self.index[canon] = i
        except Exception:
            pass

    def add(self, key: Any) -> int:
        """Add ``key`` and its sub-keys (iteratively: deep trees are fine)."""
        self._alive.append(key)
        done: dict[int, int] = {}
        stack: list[tuple[Any, bool]] = [(key, False)]
        while stack:
            k, expanded = stack.pop()
            if id(k) in done:
                continue
            app = _is_application(k)
            if app and not expanded:
                stack.append((k, True))
                for a in k[1]:
                    if id(a) not in done:
                        stack.append((a, False))
                continue
            if app:
                kids = [done[id(a)] for a in k[1]]
                if len(kids) == 1 and k[0] is self._rank and self._is_rank(kids[0]):
                    # a percentile rank is its own rank, bit for bit (same ties, same count,
                    # same NaN): RANK(RANK(x)) is evaluated as RANK(x)
                    done[id(k)] = kids[0]
                    continue
                canon: Any = ("app", _func_canon(k[0]), tuple(kids))
            else:
                kids = []
                canon = _atom_canon(k)
            found = self._lookup(canon)
            if found is not None:
                done[id(k)] = found
                continue
            i = len(self.keys)
            self.keys.append(k)
            self.refs.append(0)
            self.children.append(kids)
            for c in kids:
                self.refs[c] += 1
            self.kind.append("app" if app else ("leaf" if _is_leaf(k) else "lit"))
            self._store(canon, i)
            done[id(k)] = i
        return done[id(key)]


# ---------------------------------------------------------------------------
# inputs
# ---------------------------------------------------------------------------
def _normalize_ids(order_book_ids: Any) -> list[str]:
    if isinstance(order_book_ids, str):
        order_book_ids = [order_book_ids]
    if not isinstance(order_book_ids, Iterable):
        raise TypeError(
            "order_book_ids: expected a str or a list of str, got {}".format(type(order_book_ids).__name__)
        )
    try:
        ids = list(dict.fromkeys(order_book_ids))  # first occurrences, in order
    except TypeError:  # an unhashable element
        bad = next(x for x in order_book_ids if not isinstance(x, str))
        raise TypeError("order_book_ids: expected str elements, got {!r}".format(bad)) from None
    if not all(type(x) is str for x in ids):
        for x in ids:
            if not isinstance(x, str):
                raise TypeError("order_book_ids: expected str elements, got {!r}".format(x))
    if not ids:
        raise ValueError("order_book_ids: expected at least one instrument, got none")
    return ids


def _as_timestamp(d: Any, what: str) -> pd.Timestamp:
    try:
        ts = pd.Timestamp(d)
    except Exception as e:
        raise ValueError("{}: expected a date, got {!r}".format(what, d)) from e
    if ts is pd.NaT:
        raise ValueError("{}: expected a date, got {!r}".format(what, d))
    return ts.normalize()


def _trading_dates(ostrel: Any, start: Any, end: Any, infer_freq: bool = True) -> pd.DatetimeIndex:
    """The client's trading dates from ``start`` to ``end`` at midnight, without name.

    With ``infer_freq`` the index carries the frequency pandas infers from the dates (as
    ``DatetimeIndex.normalize`` sets it); without, none: inferring it costs more than the rest
    together, and only the requested dates, which become the results' index, need it.
    """
    raw = ostrel.get_trading_dates(start, end)
    if isinstance(raw, pd.DatetimeIndex) and raw.tz is None and len(raw):
        # What converting its elements one by one would give, without the per-element parse.
        values = raw.to_numpy()
        if not infer_freq and values.dtype.kind == "M" and bool((values == values.astype("M8[D]")).all()):
            return pd.DatetimeIndex(values)  # already at midnight (NaT is not equal to itself)
        dates = pd.DatetimeIndex(values)
    else:
        dates = pd.DatetimeIndex(pd.to_datetime(list(raw)))
    out = dates.normalize()
    return out if infer_freq else pd.DatetimeIndex(out.to_numpy())


def _extended_dates(
    ostrel: Any, dates: pd.DatetimeIndex, lookback: int, end: pd.Timestamp, deepest: Any
) -> pd.DatetimeIndex:
    """The requested dates preceded by ``lookback`` earlier trading dates."""
    if lookback == 0:
        return dates
    first = dates[0]
    problem = None
    try:
        ext_start = ostrel.get_previous_trading_date(first.date(), lookback)
    except Exception as e:  # the client refuses to go before its calendar
        ext_start, problem = None, e
    ext = None
    if ext_start is not None:
        ext = _trading_dates(ostrel, ext_start, end, infer_freq=False)
    if ext is None or len(ext) != len(dates) + lookback or not ext[-len(dates):].equals(dates):
        msg = (
            "{}: needs a look-back of {} trading dates before {}, which reaches before the "
            "start of the trading calendar".format(_brief(deepest), lookback, first.date())
        )
        raise FactorEvaluationError(msg, repr(deepest)) from problem
    return ext


def _calendar_position(ostrel: Any, date: pd.Timestamp) -> int | None:
    """Index of ``date`` in the client's trading calendar, or None if the client does not tell."""
    index_of = getattr(ostrel, "trading_date_index", None)
    if not callable(index_of):
        return None
    try:
        pos = index_of(date.date())
    except Exception:
        return None
    if isinstance(pos, (int, np.integer)) and not isinstance(pos, bool) and abs(int(pos)) < 2**62:
        return int(pos)
    return None


def _load_fields(
    ostrel: Any, fields: list[str], ids: list[str], dates: pd.DatetimeIndex, leaves: Mapping[str, Any]
) -> dict[str, np.ndarray]:
    """Back-adjusted daily fields as (dates x ids) float64 arrays, in the client's layout
    (often a view of the client's frame: never to be written)."""
    start, end = dates[0].date(), dates[-1].date()
    get_panel = getattr(ostrel, "get_panel", None)
    try:
        if get_panel is not None:
            panel = get_panel(fields, ids, start, end, adjust_type="post")
        else:
            panel = _panel_from_get_price(ostrel, fields, ids, start, end)
    except Exception as e:
        store_error = getattr(getattr(ostrel, "store", None), "StoreError", None)
        if isinstance(store_error, type) and isinstance(e, store_error):
            raise  # the store itself cannot be used: no field is to blame
        # find the field the client refused, to name its leaf
        for f in fields:
            try:
                (get_panel([f], ids[:1], start, end, adjust_type="post") if get_panel is not None
                 else _panel_from_get_price(ostrel, [f], ids[:1], start, end))
            except Exception as e1:
                raise FactorEvaluationError(
                    "{!r}: unknown field {!r}: {}".format(leaves[f], f, e1), repr(leaves[f])
                ) from e
        raise
    out: dict[str, np.ndarray] = {}
    columns = pd.Index(ids)
    for f in fields:
        frame = panel.get(f) if isinstance(panel, Mapping) else None
        if frame is None:
            raise FactorEvaluationError(
                "{!r}: unknown field {!r}: the market data has no such daily field".format(leaves[f], f),
                repr(leaves[f]),
            )
        if not (frame.index.equals(dates) and frame.columns.equals(columns)):  # else: already aligned
            idx = pd.DatetimeIndex(pd.to_datetime(frame.index)).normalize()
            if not (idx.equals(dates) and frame.columns.equals(columns)):
                frame = frame.copy(deep=False)
                frame.index = idx
                frame = frame.reindex(index=dates, columns=ids)
        out[f] = frame.to_numpy(dtype=np.float64)
    if fields:
        _warn_missing_instruments(out[fields[0]], ids, dates)
    return out


def _warn_missing_instruments(values: np.ndarray, ids: list[str], dates: pd.DatetimeIndex) -> None:
    """Warns about requested instruments without a single bar over the loaded dates (an unknown id,
    or one not trading then): their factor columns can only be missing."""
    if not values.size:
        return
    # only columns missing on the first and the last date can be missing throughout; on
    # column-major data a row is read one memory page per element, so the first row is read
    # only where the last one is missing
    maybe = np.flatnonzero(np.isnan(values[-1]))
    if maybe.size:
        maybe = maybe[np.isnan(values[0, maybe])]
    absent = maybe[np.isnan(values[:, maybe]).all(axis=0)] if maybe.size else maybe
    if absent.size:
        from .exception import warn_coverage

        shown = ", ".join(ids[i] for i in absent[:5]) + (", ..." if absent.size > 5 else "")
        warn_coverage(
            "no market data for {} of {} requested instruments from {} to {} ({}): unknown ids, or not "
            "trading in that range; their factor values are all missing".format(
                absent.size, len(ids), dates[0].date(), dates[-1].date(), shown))


# Columns per block when changing a column-major array to row-major: a block's
# rows stay in cache while its columns are streamed.
_TRANSPOSE_BLOCK = 64


def _c_float64(values: np.ndarray) -> tuple[np.ndarray, bool]:
    """``values`` as a C-ordered float64 array, and whether that is a fresh copy."""
    if values.dtype == np.float64 and values.flags.c_contiguous:
        return values, False
    out = np.empty(values.shape, dtype=np.float64)
    if values.ndim == 2 and abs(values.strides[0]) < abs(values.strides[1]):
        # column-major (pandas' own layout): copying column blocks is about twice
        # as fast as a plain transposing copy
        for c in range(0, values.shape[1], _TRANSPOSE_BLOCK):
            out[:, c:c + _TRANSPOSE_BLOCK] = values[:, c:c + _TRANSPOSE_BLOCK]
    else:
        out[...] = values
    return out, True


def _panel_from_get_price(ostrel: Any, fields: list[str], ids: list[str], start: Any, end: Any) -> dict:
    df = ostrel.get_price(
        order_book_ids=ids, start_date=start, end_date=end, fields=fields, adjust_type="post", expect_df=True
    )
    if df is None:
        return {f: pd.DataFrame(columns=ids, dtype=float) for f in fields}
    return {f: df[f].unstack(level=0) for f in fields if f in df.columns}


def _load_user_leaf(leaf: Any, ids: list[str], dates: pd.DatetimeIndex) -> np.ndarray:
    start, end = dates[0].date(), dates[-1].date()
    name = describe_key(leaf)
    try:
        ret = leaf.execute(ids, start, end)
    except InvalidUserFactor:
        raise
    except Exception as e:
        raise FactorEvaluationError(
            "{}: the user function failed: {}: {}".format(name, type(e).__name__, e), name
        ) from e
    if not isinstance(ret, pd.DataFrame):
        raise FactorEvaluationError(
            "{}: execute returned {}, expected a pandas DataFrame".format(name, type(ret).__name__), name
        )
    try:
        idx = pd.DatetimeIndex(ret.index).normalize()
    except Exception as e:
        raise FactorEvaluationError("{}: the returned DataFrame is not indexed by dates".format(name), name) from e
    have = set(ret.columns)
    missing_cols = [c for c in ids if c not in have]
    if missing_cols or not idx.equals(dates):
        raise FactorEvaluationError(
            "{}: the returned DataFrame must cover the trading dates {} to {} and the columns {}".format(
                name, start, end, "the requested order_book_ids"
            ),
            name,
        )
    frame = ret.loc[:, ids]
    try:
        values = np.array(frame.to_numpy(dtype=np.float64), dtype=np.float64, order="C", copy=True)
    except (TypeError, ValueError) as e:
        raise FactorEvaluationError("{}: the returned values are not numeric".format(name), name) from e
    return values


# ---------------------------------------------------------------------------
# evaluation
# ---------------------------------------------------------------------------
def _rows_of(args: list[Any]) -> int | None:
    for a in args:
        if isinstance(a, np.ndarray) and a.ndim == 2:
            return a.shape[0]
    return None


def _as_panel(a: Any, ncols: int, rows: int) -> np.ndarray:
    arr = np.asarray(a)
    if arr.ndim == 2:
        return arr
    return np.broadcast_to(arr.astype(np.float64, copy=False), (rows, ncols))


def _check_result(out: Any, key: Any, ncols: int) -> Any:
    if isinstance(out, np.ndarray) and out.ndim == 2:
        if out.shape[1] != ncols:
            name = describe_key(key)
            raise FactorEvaluationError(
                "{}: returned an array of shape {}, expected (rows, {})".format(name, out.shape, ncols), name
            )
        return out
    if isinstance(out, (np.ndarray, np.generic, int, float, bool)) and np.ndim(out) == 0:
        return out
    name = describe_key(key)
    raise FactorEvaluationError(
        "{}: returned {} (shape {}); expected a (dates x instruments) array".format(
            name, type(out).__name__, getattr(out, "shape", None)
        ),
        name,
    )


# Freed float64 buffers kept for reuse by later nodes (element-wise, rolling
# kernels, per-date operators). Writing into memory already touched saves the
# page faults and page clearing of a fresh array, which cost a large panel's
# kernel more than its arithmetic. A pool of 8 catches nearly every
# intermediate of the 101 alphas evaluated together (only the returned values
# stay fresh) and raised their peak memory by 2 %; buffers of different row
# counts (look-back trimming) are why a pool of 2 missed about half.
_POOL_SIZE = 8


def _weak_dtype(a: Any) -> Any:
    """The operand type ``ufunc.resolve_dtypes`` expects, or None if unknown."""
    if type(a) is np.ndarray:
        return a.dtype
    if type(a) in (float, int, bool):
        return type(a) if type(a) is not bool else np.dtype(bool)
    if isinstance(a, np.generic):
        return a.dtype
    return None


class _Storage:
    """Which node values live on the float64 buffers the engine allocated.

    A buffer the engine allocated itself (a kernel's or ufunc's output, a copied
    leaf) is *owned*. Every node value that is, or may be, a view of an owned
    buffer is attached to it; the buffer is free once no live value is attached.
    An element-wise ufunc writes its result into the buffer of an argument for
    which it is the last consumer, or into a freed buffer, instead of allocating.
    Buffers handed to callables the engine does not know (user functions) are
    pinned: such a function may keep a reference, so they are never reused.
    """

    def __init__(self) -> None:
        self.base: dict[int, np.ndarray] = {}  # id -> the owned buffer
        self.live: dict[int, int] = {}  # id -> number of live values attached
        self.pinned: set[int] = set()
        self.pool: list[int] = []  # ids of free buffers
        self._next = 0

    def own(self, arr: Any) -> list[int]:
        """Register a freshly allocated array; returns the value's attachments."""
        if (
            type(arr) is np.ndarray
            and arr.dtype == np.float64
            and arr.ndim == 2
            and arr.base is None
            and (arr.flags.c_contiguous or arr.flags.f_contiguous)
            and arr.flags.writeable
        ):
            sid = self._next
            self._next += 1
            self.base[sid] = arr
            self.live[sid] = 1
            return [sid]
        return []

    def attach(self, value: Any, candidates: Iterable[int] | None = None) -> list[int]:
        """Attach a value to every live buffer it may share memory with."""
        if not isinstance(value, np.ndarray):
            return []
        sids = []
        for sid in (self.live if candidates is None else candidates):
            if self.live.get(sid, 0) > 0 and sid not in sids and np.may_share_memory(value, self.base[sid]):
                sids.append(sid)
        for sid in sids:
            self.live[sid] += 1
        return sids

    def release(self, sids: list[int]) -> None:
        for sid in sids:
            self.live[sid] -= 1
            if self.live[sid] == 0:
                del self.live[sid]
                if sid not in self.pinned and len(self.pool) < _POOL_SIZE:
                    self.pool.append(sid)
                else:
                    del self.base[sid]

    def take(self, shape: tuple[int, int], order: str) -> tuple[np.ndarray, list[int]] | None:
        """A free buffer viewed as ``shape`` in ``order`` (the smallest that is large enough)."""
        need = shape[0] * shape[1]
        fits = [sid for sid in self.pool if self.base[sid].size >= need]
        if not fits:
            return None
        sid = min(fits, key=lambda k: self.base[k].size)
        self.pool.remove(sid)
        self.live[sid] = 1
        flat = self.base[sid].reshape(-1, order="A")[:need]
        view = flat.reshape(shape) if order == "C" else flat.reshape(shape[::-1]).T
        return view, [sid]

    def clear_pool(self) -> None:
        for sid in self.pool:
            del self.base[sid]
        self.pool.clear()


# A node whose rows are not limited (its consumer is a callable the engine does not know).
_ALL_ROWS = 1 << 62


def _rows_plan(graph: _Graph, roots: Iterable[int], n_dates: int) -> tuple[list[int], list[int | None]]:
    """How many trailing rows of each node's value its consumers read, and how many
    rows of its children each node reads (None: whole values).

    Values are aligned on their last row (the end date). The requested factors
    need the requested dates; a row-local node (element-wise, per date) needs
    what its consumers need, a kernel of window w and a lag or shift of n need
    w - 1 or n rows more. Several factors evaluated together load the fields
    over the longest look-back among them, so without this every node of a
    short formula would be computed over rows no result reads. Dropping leading
    rows leaves every remaining row's bits unchanged (kernels lay their block
    grid from the end or on the calendar). Callables the engine does not know
    get whole values.
    """
    kernels = _rolling_kernels()
    shift = _shift_function()
    from . import operators as ops

    local = (ops.cs_rank, ops.where, ops.cs_zscore, ops.cs_scale, ops.quantile_bucket, ops.group_demean,
             ops.group_rank, ops.group_zscore, ops.signed_power)
    n = len(graph.keys)
    need = [0] * n
    takes: list[int | None] = [None] * n
    for r in roots:
        need[r] = max(need[r], n_dates)

    def count(c: int) -> int | None:
        v = graph.keys[c] if graph.kind[c] == "lit" else None
        if isinstance(v, (int, np.integer)) and not isinstance(v, bool) and 0 <= v < _ALL_ROWS:
            return int(v)
        return None

    for i in reversed(range(n)):  # consumers come first
        if graph.kind[i] != "app":
            continue
        func, kids = graph.keys[i][0], graph.children[i]
        extra: int | None = None
        hit = kernels.get(id(func))
        if func is shift or func is ops.lag:
            k = count(kids[1]) if len(kids) == 2 else None
            extra = k
        elif hit is not None and hit[1] is func:
            w = count(kids[0] if hit[2] == 2 else kids[1]) if len(kids) == hit[2] + 1 else None
            extra = None if w is None or w < 1 else w - 1
        elif (isinstance(func, np.ufunc) and func.nout == 1) or any(func is f for f in local):
            extra = 0
        take = _ALL_ROWS if extra is None or need[i] >= _ALL_ROWS else min(_ALL_ROWS, need[i] + extra)
        takes[i] = None if take >= _ALL_ROWS else take
        for c in kids:
            need[c] = max(need[c], take)
    return need, takes


def _trailing(v: Any, rows: int) -> Any:
    """The last ``rows`` rows of a 2-D array (a view), anything else as it is."""
    if type(v) is np.ndarray and v.ndim == 2 and v.shape[0] > rows:
        return v[v.shape[0] - rows:]
    return v


def _layout_plan(graph: _Graph) -> tuple[set[int], list[bool]]:
    """Which element-wise nodes run on column-major data; which values must be row-major.

    Market data usually arrives column-major (pandas' own layout). Rolling
    kernels read either layout and return their result in the layout of their
    operands (column-major ones fastest), and an element-wise node is fastest
    when all its operands share one layout. So an element-wise node whose
    operands are all leaves, lags of leaves, kernels of such values or such
    nodes runs on the loaded column-major data, unless one of its consumers is
    a row-major element-wise node or another callable; a leaf is copied
    row-major only when something needs it row-major, and a kernel whose value
    is needed row-major reads row-major operands where they exist (else its
    result is copied row-major).
    """
    kernels = _rolling_kernels()
    shift = _shift_function()
    from .operators import lag

    n = len(graph.keys)
    kinds = []
    for i in range(n):
        if graph.kind[i] != "app":
            kinds.append(graph.kind[i])
            continue
        func = graph.keys[i][0]
        hit = kernels.get(id(func))
        if func is shift or func is lag:
            kinds.append("view")
        elif hit is not None and hit[1] is func:
            kinds.append("kernel")
        elif isinstance(func, np.ufunc) and func.nout == 1:
            kinds.append("ufunc")
        else:
            kinds.append("call")
    column_ready = [False] * n  # can be had column-major without a copy
    for i in range(n):  # children come first
        k = kinds[i]
        if k in ("leaf", "lit"):
            column_ready[i] = True
        elif k == "view":
            column_ready[i] = column_ready[graph.children[i][0]]
        elif k in ("ufunc", "kernel"):
            column_ready[i] = all(column_ready[c] for c in graph.children[i])
    row_major = [False] * n
    columnwise: set[int] = set()
    for i in reversed(range(n)):  # consumers come first
        k, kids = kinds[i], graph.children[i]
        if k == "ufunc" and column_ready[i] and not row_major[i]:
            columnwise.add(i)
        elif k == "view":
            row_major[kids[0]] = row_major[kids[0]] or row_major[i]
        elif k in ("ufunc", "call"):
            for c in kids:
                row_major[c] = True
    return columnwise, row_major



# ---------------------------------------------------------------------------
# fused element-wise subtrees
# ---------------------------------------------------------------------------
# Set to False to evaluate every element-wise node as its own numpy call.
_FUSE = True
# Set to False to evaluate every node over all loaded rows (see _rows_plan).
_TRIM = True

# Operation codes of zarnik._core.fused_elementwise, and the numpy ufuncs they
# reproduce exactly on float64 operands. fmax / fmin are left out (numpy's loops
# do not return the same zero for -0 / +0 throughout), and so are the ufuncs
# whose numpy loops may round differently (power, log, exp, tanh, ...); a power
# whose exponent is the literal 0.5 runs as sqrt (see _power_as_sqrt).
_ARITH = {"add": 0, "subtract": 1, "multiply": 2, "true_divide": 3, "negative": 4, "absolute": 5, "sqrt": 6,
          "maximum": 13, "minimum": 14, "sign": 15}
_LOGIC = {"less": 7, "less_equal": 8, "greater": 9, "greater_equal": 10, "equal": 11, "not_equal": 12,
          "logical_and": 16, "logical_or": 17, "logical_xor": 18, "logical_not": 19}
_WHERE_OP = 20
_F8 = np.dtype(np.float64)
_BOOL = np.dtype(bool)


def _fused_ops() -> dict[Any, tuple[int, bool]]:
    """ufunc -> (operation code, whether its output is boolean)."""
    table: dict[Any, tuple[int, bool]] = {}
    for names, logic in ((_ARITH, False), (_LOGIC, True)):
        for name, code in names.items():
            table[getattr(np, name)] = (code, logic)
    return table


_FUSED_OPS = _fused_ops()

# x ** 0.5 runs as the fused sqrt when numpy's power loop returns exactly what its
# sqrt loop returns; that is checked once, the first time such a node is planned.
_POWER_AS_SQRT: bool | None = None


def _half_power_is_sqrt(power: Callable[..., Any] = np.power, sqrt: Callable[..., Any] = np.sqrt) -> bool:
    """Whether ``power(x, 0.5)`` has the bits of ``sqrt(x)`` on IEEE corner cases and a random sample."""
    tiny = np.nextafter(0.0, 1.0)
    special = np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -1.0, tiny, -tiny, 2.2250738585072014e-308,
                        np.finfo(np.float64).max, 0.25, 2.0, 4.0, 1e-300, 1e300])
    rng = np.random.default_rng(20240613)
    sample = np.concatenate([
        special,
        rng.random(50_000),
        np.exp(rng.uniform(-700.0, 700.0, 50_000)),
        rng.integers(0, 2**62, 20_000).astype(np.float64),
        rng.integers(0, 2**63 - 1, 20_000, dtype=np.int64).view(np.float64),  # any bit pattern: subnormals too
        -rng.random(1_000),
    ])
    try:
        with np.errstate(all="ignore"):
            got = np.asarray(power(sample, 0.5))
            want = np.asarray(sqrt(sample))
    except Exception:
        return False
    if got.dtype != _F8 or want.dtype != _F8 or got.shape != want.shape:
        return False
    return bool(np.array_equal(got.view(np.int64), want.view(np.int64)))


def _power_as_sqrt() -> bool:
    global _POWER_AS_SQRT
    if _POWER_AS_SQRT is None:
        _POWER_AS_SQRT = _half_power_is_sqrt()
    return _POWER_AS_SQRT


def _is_half(v: Any) -> bool:
    """Whether a literal is the float 0.5 (an exponent the fused sqrt reproduces)."""
    return isinstance(v, (float, np.floating)) and not isinstance(v, np.longdouble) and float(v) == 0.5

# Largest number of nodes evaluated in one fused program: bounds the scratch
# memory a program needs per thread (about 2 KiB per register).
_FUSE_MAX_NODES = 64


def _fusion_plan(graph: _Graph, where: Any) -> dict[int, list[int]]:
    """Groups of element-wise nodes to evaluate in one pass: group root -> members (children first).

    A member other than the root has all its consumers in the group and is not a
    requested factor; only groups of two or more nodes are returned.
    """
    n = len(graph.keys)
    fusable = [False] * n
    for i in range(n):
        if graph.kind[i] != "app":
            continue
        func, nargs = graph.keys[i][0], len(graph.children[i])
        if func is where:
            fusable[i] = nargs == 3
        elif func is np.power:
            e = graph.children[i][1] if nargs == 2 else -1
            fusable[i] = e >= 0 and graph.kind[e] == "lit" and _is_half(graph.keys[e]) and _power_as_sqrt()
        elif isinstance(func, np.ufunc):
            try:
                known = func in _FUSED_OPS
            except TypeError:
                known = False
            fusable[i] = known and func.nin == nargs and func.nout == 1
    consumers: list[list[int]] = [[] for _ in range(n)]
    for i in range(n):
        for c in graph.children[i]:
            consumers[c].append(i)
    group = [-1] * n
    size: dict[int, int] = {}
    for i in reversed(range(n)):  # consumers come first
        if not fusable[i]:
            continue
        cons = consumers[i]
        g = group[cons[0]] if cons else -1
        if (
            g >= 0
            and graph.refs[i] == len(cons)  # not a requested factor
            and all(group[j] == g for j in cons)
            and size[g] < _FUSE_MAX_NODES
        ):
            group[i] = g
            size[g] += 1
        else:
            group[i] = i
            size[i] = 1
    members: dict[int, list[int]] = {}
    for i in range(n):
        if group[i] >= 0 and size[group[i]] > 1:
            members.setdefault(group[i], []).append(i)
    return members


def _lines_contiguous(a: np.ndarray, layout: str) -> bool:
    """Whether the rows (layout C) or columns (layout F) of 2-D ``a`` are contiguous and disjoint."""
    rows, cols = a.shape
    item = a.itemsize
    if layout == "C":
        inner, outer, length, lines = a.strides[1], a.strides[0], cols, rows
    else:
        inner, outer, length, lines = a.strides[0], a.strides[1], rows, cols
    return (inner == item or length <= 1) and outer >= 0 and outer % item == 0 and (
        lines <= 1 or outer >= length * item)


def _fused_scalar(v: Any) -> float | None:
    """A literal's float64 value in a float64 loop, or None when that conversion may not be exact."""
    if isinstance(v, (bool, np.bool_, float, np.floating)):
        return float(v)
    if isinstance(v, (int, np.integer)):
        return float(v) if abs(int(v)) <= 2**53 else None
    return None


# ufuncs whose loops cost far more than reading and writing the memory (powers, logarithms,
# exponentials, trigonometric functions). On large panels they run over blocks of lines on
# several threads, numpy's own loop on each block (it releases the GIL): every element is
# computed by the same loop as in one call over the whole panel, so the bits are the same.
_SLOW_UFUNCS = frozenset(
    getattr(np, name) for name in (
        "power", "float_power", "log", "log2", "log10", "log1p", "exp", "exp2", "expm1", "tanh", "sinh",
        "cosh", "arcsinh", "arccosh", "arctanh", "sin", "cos", "tan", "arcsin", "arccos", "arctan",
        "arctan2", "cbrt", "hypot", "fmod", "remainder", "logaddexp", "logaddexp2",
    ) if isinstance(getattr(np, name, None), np.ufunc)
)
# Fewest cells a block worth a thread holds.
_SPLIT_CELLS = 1 << 17
_POOL: list[Any] = [None, 0, 0]  # the executor, its process id, its worker count


def _thread_count() -> int:
    """Threads to use: ZARNIK_NUM_THREADS when a positive integer, else the processor count."""
    import os

    raw = os.environ.get("ZARNIK_NUM_THREADS")
    if raw:
        try:
            n = int(raw.strip())
        except ValueError:
            n = 0
        if n > 0:
            return min(n, 256)
    return os.cpu_count() or 1


def _executor(workers: int) -> Any:
    """A thread pool of ``workers`` threads, made again in a forked child (whose copy has no threads)."""
    import os
    from concurrent.futures import ThreadPoolExecutor

    pool, pid, size = _POOL
    if pool is None or pid != os.getpid() or size != workers:
        pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="zarnik-ufunc")
        _POOL[:] = [pool, os.getpid(), workers]
    return pool


def _call_ufunc(func: np.ufunc, args: list[Any], out: np.ndarray | None = None) -> Any:
    """``func(*args)`` (into ``out`` when given); an expensive ufunc over a large panel runs over
    blocks of lines on threads, with the result numpy's single call gives."""
    whole = (lambda: func(*args)) if out is None else (lambda: func(*args, out=out))
    try:
        slow = func in _SLOW_UFUNCS
    except TypeError:
        slow = False
    if not slow or func.nout != 1:
        return whole()
    panels = [a for a in args if type(a) is np.ndarray and a.ndim == 2]
    if not panels or any(type(a) is np.ndarray and a.ndim not in (0, 2) for a in args):
        return whole()
    shape = panels[0].shape
    if any(a.shape != shape for a in panels) or shape[0] * shape[1] < 2 * _SPLIT_CELLS:
        return whole()
    threads = min(_thread_count(), shape[0] * shape[1] // _SPLIT_CELLS)
    if threads < 2:
        return whole()
    # blocks of columns when the panels are column-major, else of rows
    by_columns = all(a.strides[0] < a.strides[1] for a in panels)
    axis = 1 if by_columns else 0
    if shape[axis] < threads:
        return whole()
    if out is None:
        dtypes = [_weak_dtype(a) for a in args]
        if any(t is None for t in dtypes):
            return whole()
        try:
            resolved = func.resolve_dtypes(tuple(dtypes) + (None,))
        except Exception:
            return whole()
        result = np.empty(shape, dtype=resolved[-1], order="F" if by_columns else "C")
    else:
        if out.shape != shape:
            return whole()
        result = out
    cuts = [shape[axis] * k // threads for k in range(threads + 1)]

    def block(k: int, err: dict[str, str]) -> None:
        sl = (slice(None), slice(cuts[k], cuts[k + 1])) if by_columns else (slice(cuts[k], cuts[k + 1]),)
        part = [a[sl] if type(a) is np.ndarray and a.ndim == 2 else a for a in args]
        with np.errstate(**err):  # the caller's floating-point error handling, in this thread too
            func(*part, out=result[sl])

    from concurrent.futures import wait

    err = np.geterr()
    futures = [_executor(threads - 1).submit(block, k, err) for k in range(1, threads)]
    try:
        block(0, err)
    finally:
        wait(futures)  # no block outlives the call, even when one fails
    for f in futures:
        f.result()  # a worker's failure, if any
    return result


class _Evaluator:
    """Evaluates the nodes of a graph in order, freeing values after their last use."""

    def __init__(self, graph: _Graph, ncols: int, last: int | None = None,
                 rows: tuple[list[int], list[int | None]] | None = None) -> None:
        self.graph = graph
        self.ncols = ncols
        # rows of each node's value its consumers read, and of its children each node
        # reads (_rows_plan); None: whole values
        self.need, self.takes = rows if rows is not None else (None, None)
        self.trims: dict[int, int] = {}
        self.args_alt: list[Any] = []
        self.fuse_views: dict[Any, Any] = {}
        self.fuse_take: int | None = None
        # index of the last row's date in the trading calendar: rolling kernels lay
        # their block grid on the calendar, so a date's value does not depend on the
        # requested span (None: the grid is counted back from the last row)
        self.last = last
        self.values: list[Any] = [None] * len(graph.keys)
        self.attached: list[list[int]] = [[] for _ in graph.keys]
        # the column-major data a row-major leaf was copied from (and its lags):
        # rolling kernels read that layout faster
        self.alt: list[Any] = [None] * len(graph.keys)
        self.columnwise, self.row_major = _layout_plan(graph)
        self.storage = _Storage()
        self.kernels = _rolling_kernels()
        self.shift = _shift_function()
        from . import operators as ops

        self.lag = ops.lag
        # our own operators: they return fresh arrays and keep no reference
        self.fresh = (ops.cs_rank, ops.where, ops.cs_zscore, ops.cs_scale, ops.quantile_bucket, ops.group_demean,
                      ops.group_rank, ops.group_zscore, ops.signed_power)
        self.where = ops.where
        self.groups = _fusion_plan(graph, ops.where) if _FUSE else {}
        # members evaluated with their group's root
        self.deferred = {m for root, ms in self.groups.items() for m in ms if m != root}

    def set_leaf(self, i: int, arr: np.ndarray, owned: bool, alt: np.ndarray | None = None) -> None:
        self.values[i] = arr
        if alt is not None and arr.ndim == 2 and abs(alt.strides[0]) < abs(alt.strides[1]):
            self.alt[i] = alt
        self.attached[i] = self.storage.own(arr) if owned else []

    def run_node(self, i: int) -> None:
        g = self.graph
        key = g.keys[i]
        func = key[0]
        kids = g.children[i]
        args = [self.values[c] for c in kids]
        alts = [self.alt[c] for c in kids]
        self.trims = {}
        take = self._take(i, func, kids)
        if take is not None:
            for k, c in enumerate(kids):
                a = _trailing(args[k], take)
                if a is not args[k]:
                    self.trims[id(a)] = c
                    args[k] = a
                    alts[k] = _trailing(alts[k], take)
        self.args_alt = alts
        try:
            out, attached = self._apply(i, func, kids, args)
        except FactorEvaluationError:
            raise
        except Exception as e:
            name = describe_key(key)
            raise FactorEvaluationError(
                "{}: evaluation failed: {}: {}".format(name, type(e).__name__, e), name
            ) from e
        try:
            self.values[i] = _check_result(out, key, self.ncols)
        except FactorEvaluationError:
            self.storage.release(attached)
            raise
        self.attached[i] = attached
        if (func is self.shift or func is self.lag) and alts[0] is not None:
            x = alts[0]
            self.alt[i] = x[int(args[1]):] if func is self.shift else func(x, args[1])
        for c in kids:
            g.refs[c] -= 1
            if g.refs[c] == 0 and g.kind[c] != "lit":
                self.storage.release(self.attached[c])
                self.attached[c] = []
                self.values[c] = None
                self.alt[c] = None

    def _take(self, i: int, func: Any, kids: list[int]) -> int | None:
        """Rows of its children node ``i`` reads, or None for whole values."""
        return None if self.takes is None else self.takes[i]

    def step(self, i: int) -> None:
        """Evaluates node ``i``, or its whole fused group when ``i`` is a group's root."""
        if i in self.deferred:
            return
        members = self.groups.get(i)
        if members is None:
            self.run_node(i)
        elif not self._run_fused(i, members):
            for m in members:  # the same nodes one by one
                self.run_node(m)

    def _fv(self, c: int, alt: bool = False) -> Any:
        """The value (or column-major stand-in) of child ``c`` trimmed to the rows the fused group reads;
        the same view object on every call for one group."""
        key = (c, alt)
        hit = self.fuse_views.get(key)
        if hit is None:
            v = self.alt[c] if alt else self.values[c]
            hit = v if self.fuse_take is None else _trailing(v, self.fuse_take)
            self.fuse_views[key] = hit
        return hit

    def _fused_inputs(self, members: list[int]) -> Any:
        """The program, inputs and result type of a group, or None when it cannot run fused
        with exactly the numpy results (other dtypes, broadcasting, unknown values)."""
        g = self.graph
        inside = set(members)
        reg: dict[int, int] = {}  # external child -> input register
        inputs: list[Any] = []
        scalars: dict[Any, int] = {}
        dtype: dict[int, np.dtype] = {}
        panels: list[int] = []
        shape = None
        for m in members:
            for c in g.children[m]:
                if c in inside or c in reg:
                    continue
                v = self._fv(c)
                if type(v) is np.ndarray and v.ndim == 2:
                    if v.dtype.kind not in "biuf":
                        return None
                    if shape is None:
                        shape = v.shape
                    elif v.shape != shape:
                        return None
                    reg[c] = len(inputs)
                    inputs.append(v)
                    panels.append(c)
                else:
                    if type(v) is np.ndarray and v.ndim != 0:
                        return None
                    x = _fused_scalar(v)
                    if x is None:
                        return None
                    key = x.hex()  # equal values share a register (-0.0 and 0.0 do not)
                    if key not in scalars:
                        scalars[key] = len(inputs)
                        inputs.append(x)
                    reg[c] = scalars[key]
        if shape is None or shape[1] != self.ncols:
            return None
        # types, node by node, as numpy resolves them
        convert: set[int] = set()  # panels a float64 loop reads that are neither float64 nor bool
        ops: list[tuple[int, int, list[int]]] = []  # (code, node, operand nodes)
        for m in members:
            func, kids = g.keys[m][0], g.children[m]
            if func is self.where:
                for pos, c in enumerate(kids):
                    if c in inside:
                        continue
                    v = self._fv(c)
                    if type(v) is np.ndarray and v.ndim == 2:
                        if pos > 0 and v.dtype not in (_F8, _BOOL):
                            return None
                        if v.dtype not in (_F8, _BOOL):
                            convert.add(c)
                    elif pos > 0 and type(v) is np.ndarray and v.dtype.kind not in "biuf":
                        return None
                dtype[m] = _F8
                ops.append((_WHERE_OP, m, kids))
                continue
            if func is np.power:  # x ** 0.5, planned only where it equals sqrt(x)
                if not _is_half(self.values[kids[1]]):
                    return None
                code, logic = _FUSED_OPS[np.sqrt]
            else:
                code, logic = _FUSED_OPS[func]
            types = []
            for c in kids:
                t = dtype[c] if c in inside else _weak_dtype(self._fv(c))
                if t is None:
                    return None
                types.append(t)
            try:
                resolved = func.resolve_dtypes(tuple(types) + (None,))
            except Exception:
                return None
            ins, out = resolved[:-1], resolved[-1]
            if logic:
                if out != _BOOL or not (all(t == _F8 for t in ins) or all(t == _BOOL for t in ins)):
                    return None
            elif out != _F8 or any(t != _F8 for t in ins):
                return None
            for c, t in zip(kids, ins):
                if c not in inside:
                    v = self._fv(c)
                    if type(v) is np.ndarray and v.ndim == 2 and v.dtype not in (_F8, _BOOL):
                        convert.add(c)
            dtype[m] = out
            ops.append((code, m, kids[:1] if func is np.power else kids))
        # registers: a temporary is reused once its last reader has run
        last_use: dict[int, int] = {}
        for k, (_, _, kids) in enumerate(ops):
            for c in kids:
                if c in inside:
                    last_use[c] = k
        free: list[int] = []
        n_regs = len(inputs)
        code = []
        for k, (op, m, kids) in enumerate(ops):
            srcs = [reg[c] for c in kids] + [0] * (3 - len(kids))
            for c in set(kids):
                if c in inside and last_use.get(c) == k:
                    free.append(reg[c])
            if free:
                reg[m] = free.pop()
            else:
                reg[m] = n_regs
                n_regs += 1
            code.append((op, reg[m], srcs[0], srcs[1], srcs[2]))
        return code, inputs, n_regs, panels, convert, dtype[members[-1]], shape

    def _run_fused(self, root: int, members: list[int]) -> bool:
        """Evaluates a group of element-wise nodes in one pass; False when it has to run node by node."""
        self.fuse_views = {}
        self.fuse_take = None if self.need is None or self.need[root] >= _ALL_ROWS else self.need[root]
        plan = self._fused_inputs(members)
        if plan is None:
            return False
        code, inputs, n_regs, panels, convert, out_dtype, shape = plan
        g, st = self.graph, self.storage
        # the layout: the engine's plan for the root, else whichever every panel has
        prefer = ["F", "C"] if root in self.columnwise else ["C", "F"]
        chosen = None
        for layout in prefer:
            pick = []
            for c in panels:
                v = self._fv(c)
                options = [v] if self.alt[c] is None else [v, self._fv(c, alt=True)]
                hit = next((a for a in options if _lines_contiguous(a, layout)), None)
                if hit is None and c in convert:
                    hit = v  # converted below into the layout
                if hit is None:
                    break
                pick.append(hit)
            else:
                chosen = layout, pick
                break
        if chosen is None:
            return False
        layout, pick = chosen
        panel_value = {}
        for c, a in zip(panels, pick):
            if c in convert:
                a = a.astype(np.float64, order=layout)
            panel_value[c] = a
        # registers of the panels are the order they were met in
        p = 0
        for k, x in enumerate(inputs):
            if isinstance(x, np.ndarray):
                inputs[k] = panel_value[panels[p]]
                p += 1
        # edges from the group to each external child: a child read only here dies here
        uses: dict[int, int] = {}
        inside = set(members)
        for m in members:
            for c in g.children[m]:
                if c not in inside:
                    uses[c] = uses.get(c, 0) + 1
        out = None
        attached: list[int] = []
        if out_dtype == _F8:
            for c in panels:
                a = self._fv(c)
                if (
                    panel_value[c] is a
                    and a.dtype == np.float64
                    and a.flags.writeable
                    and len(self.attached[c]) == 1
                ):
                    sid = self.attached[c][0]
                    if sid not in st.pinned and st.live.get(sid) == 1 and g.refs[c] == uses[c]:
                        st.live[sid] += 1
                        out, attached = a, [sid]
                        break
            if out is None:
                taken = st.take(shape, layout)
                if taken is not None:
                    out, attached = taken
        if out is None:
            out = np.empty(shape, dtype=out_dtype, order=layout)
            attached = st.own(out)
        from . import _core

        try:
            _core.fused_elementwise(code, inputs, n_regs, layout, out)
        except Exception as e:
            st.release(attached)
            name = describe_key(g.keys[root])
            raise FactorEvaluationError(
                "{}: evaluation failed: {}: {}".format(name, type(e).__name__, e), name
            ) from e
        self.values[root] = out
        self.attached[root] = attached
        for m in members:
            for c in g.children[m]:
                g.refs[c] -= 1
                if c not in inside and g.refs[c] == 0 and g.kind[c] != "lit":
                    self.storage.release(self.attached[c])
                    self.attached[c] = []
                    self.values[c] = None
                    self.alt[c] = None
        return True

    def _apply(self, i: int, func: Any, kids: list[int], args: list[Any]) -> tuple[Any, list[int]]:
        st = self.storage
        if func is self.shift or func is self.lag:
            x, n = args[0], args[1]
            if func is self.shift:
                out = x[int(n):] if isinstance(x, np.ndarray) and x.ndim == 2 else x
            else:
                out = func(x, n)
            # a view of the argument: attached to the same buffers
            return out, st.attach(out, self.attached[kids[0]])
        hit = self.kernels.get(id(func))
        if hit is not None and hit[1] is func:
            from . import rolling

            if hit[2] == 2:
                window, arrays, sources = args[0], args[1:], kids[1:]
            else:
                window, arrays, sources = args[1], args[:1], kids[:1]
            # column-major operands give a column-major result: a value needed
            # row-major reads the row-major operands where there are any
            rows_wanted = self.row_major[i]
            if not rows_wanted:
                alts = self.args_alt[1:] if hit[2] == 2 else self.args_alt[:1]
                arrays = [a if x is None else x for a, x in zip(arrays, alts)]
            rows = _rows_of(list(arrays)) or 1
            arrays = [_as_panel(a, self.ncols, rows) for a in arrays]
            buf = self._kernel_buffer(hit[0], window, arrays, rows_wanted)
            if buf is None:
                out = rolling._apply_columns(func, window, *arrays, last=self.last)
                if rows_wanted and out.ndim == 2 and not out.flags.c_contiguous:
                    out = _c_float64(out)[0] if out.dtype == np.float64 else np.ascontiguousarray(out)
                return out, st.own(out)
            out, attached = buf
            try:
                rolling._apply_columns(func, window, *arrays, last=self.last, out=out)
            except Exception:
                st.release(attached)
                raise
            return out, attached
        if isinstance(func, np.ufunc) and func.nout == 1:
            if i in self.columnwise:
                args = [a if x is None else x for a, x in zip(args, self.args_alt)]
            out_buf = self._output_buffer(func, kids, args)
            if out_buf is not None:
                buf, attached = out_buf
                try:
                    out = _call_ufunc(func, args, buf)
                except Exception:
                    st.release(attached)
                    raise
                return out, attached
            out = _call_ufunc(func, args)
            return out, st.own(out)
        if any(func is f for f in self.fresh):
            write = self._writer(func, args)
            if write is not None:
                out, attached = st.take(args[0].shape, "C") or self._new_buffer(args[0].shape)
                try:
                    write(out)
                except Exception:
                    st.release(attached)
                    raise
                return out, attached
            out = func(*args)
            return out, st.own(out)
        # any other callable: it may keep or return its arguments
        for c in kids:
            st.pinned.update(self.attached[c])
        out = func(*args)
        if isinstance(out, (pd.DataFrame, pd.Series)):
            out = out.to_numpy()
        return out, st.attach(out)

    def _new_buffer(self, shape: tuple[int, int], order: str = "C") -> tuple[np.ndarray, list[int]]:
        out = np.empty(shape, order=order)
        return out, self.storage.own(out)

    def _writer(self, func: Any, args: list[Any]) -> Callable[[np.ndarray], Any] | None:
        """How a per-date operator writes its result for a float64 panel into a given
        C-order buffer, with the operator's own routine and arguments (so the same bits);
        None where the operator must run as it is (other inputs, or arguments it will
        refuse with its own message)."""
        from . import _core
        from . import operators as ops

        x = args[0] if args else None
        if not (type(x) is np.ndarray and x.ndim == 2 and x.dtype == np.float64):
            return None
        rest = args[1:]
        if func is ops.cs_rank and not rest:
            return lambda out: _core.percentile_rank(x, out=out)
        if func is ops.cs_zscore and not rest:
            return lambda out: _core.cross_section(x, "zscore", out=out)
        if func is ops.cs_scale and len(rest) <= 1:
            a = rest[0] if rest else 1.0
            if np.ndim(a) != 0 or isinstance(a, (str, bytes)):
                return None
            try:
                param = float(a)
            except (TypeError, ValueError):
                return None
            return lambda out: _core.cross_section(x, "scale", param=param, out=out)
        if func is ops.quantile_bucket and len(rest) == 1:
            try:
                n = ops._bucket_count(rest[0])
            except (TypeError, ValueError):
                return None
            return lambda out: _core.cross_section(x, "bucket", param=n, out=out)
        grouped = {ops.group_demean: "demean", ops.group_rank: "rank", ops.group_zscore: "zscore"}
        for f, op in grouped.items():
            if func is f and len(rest) == 1:
                g = rest[0]
                if type(g) is np.ndarray and g.shape == x.shape and g.dtype.kind in "fiub":
                    return lambda out: _core.cross_section(x, op, g, out=out)
        return None

    def _kernel_buffer(
        self, name: str, window: Any, arrays: list[np.ndarray], rows_wanted: bool
    ) -> tuple[np.ndarray, list[int]] | None:
        """Where a rolling kernel writes its float64 result over float64 panels: a freed
        buffer, else a new one, laid out as the kernel would lay its own result (column-major
        for column-major operands) unless the value is needed row-major. Writing into memory
        already touched saves the page faults of a fresh array, and writing a row-major
        result directly saves a transposing copy. None: the kernel makes its own result
        (other dtypes, or a window the kernel will refuse with its own message)."""
        from . import rolling

        if rolling.KERNELS[name].result == "int64":
            return None
        if not all(type(a) is np.ndarray and a.dtype == np.float64 and a.ndim == 2 for a in arrays):
            return None
        if not isinstance(window, (int, np.integer)) or isinstance(window, (bool, np.bool_)):
            return None
        rows, cols = arrays[0].shape
        if not 1 <= window <= rows or any(a.shape != (rows, cols) for a in arrays):
            return None
        shape = (rows - int(window) + 1, cols)
        by_columns = cols > 1 and shape[0] > 1 and all(a.strides[0] == 8 and a.strides[1] != 8 for a in arrays)
        order = "F" if by_columns and not rows_wanted else "C"
        st = self.storage
        return st.take(shape, order) or self._new_buffer(shape, order)

    def _output_buffer(self, func: np.ufunc, kids: list[int], args: list[Any]) -> tuple[np.ndarray, list[int]] | None:
        """Where a ufunc may write its float64 result: a dying argument or a freed buffer."""
        shape = None
        for a in args:
            if type(a) is np.ndarray and a.ndim == 2:
                shape = a.shape
                break
        if shape is None or shape[1] != self.ncols:
            return None
        dtypes = []
        for a in args:
            if type(a) is np.ndarray and a.ndim == 2 and a.shape != shape:
                return None  # broadcasting between panels: let numpy report it
            t = _weak_dtype(a)
            if t is None:
                return None
            dtypes.append(t)
        try:
            resolved = func.resolve_dtypes(tuple(dtypes) + (None,))
        except Exception:
            return None
        if resolved[-1] != np.float64:
            return None
        panels = [a for a in args if type(a) is np.ndarray and a.ndim == 2]
        if all(a.flags.c_contiguous for a in panels):
            order = "C"
        elif all(a.flags.f_contiguous for a in panels):
            order = "F"
        else:
            return None
        g, st = self.graph, self.storage
        for c, a in zip(kids, args):
            if (
                (a is self.values[c] or self.trims.get(id(a)) == c)  # not a column-major stand-in
                and type(a) is np.ndarray
                and a.dtype == np.float64
                and a.shape == shape
                and (a.flags.c_contiguous if order == "C" else a.flags.f_contiguous)
                and a.flags.writeable
                and len(self.attached[c]) == 1
            ):
                sid = self.attached[c][0]
                # the argument dies here and nothing else lives on its buffer
                if sid not in st.pinned and st.live.get(sid) == 1 and g.refs[c] == kids.count(c):
                    st.live[sid] += 1
                    return a, [sid]
        return st.take(shape, order)


def _evaluate(
    roots: Mapping[str, Any],
    ids: list[str],
    start_date: Any,
    end_date: Any,
    progress: bool | None,
    load_fields: Callable[..., dict[str, np.ndarray]] | None = None,
) -> dict[str, pd.DataFrame]:
    """``load_fields`` replaces ``_load_fields`` (same arguments and result): batch callers use it to
    serve every batch from fields loaded once."""
    import ostrel

    from .interface import AbstractFactor
    from .leaves import Factor

    if not isinstance(roots, Mapping) or not roots:
        raise ValueError("factors: expected a non-empty dict of name -> factor")
    shifts: dict[str, int] = {}
    keys: dict[str, Any] = {}
    for name, f in roots.items():
        if not isinstance(f, AbstractFactor):
            raise TypeError("factor {!r}: expected a zarnik factor, got {}".format(name, type(f).__name__))
        s = f.shift
        if not isinstance(s, (int, np.integer)) or isinstance(s, bool) or s < 0:
            raise FactorEvaluationError("{}: invalid look-back {!r}".format(_brief(f), s), repr(f))
        shifts[name] = int(s)
        keys[name] = f.expr

    start = _as_timestamp(start_date, "start_date")
    end = _as_timestamp(end_date, "end_date")
    if start > end:
        raise ValueError("start_date {} is after end_date {}".format(start.date(), end.date()))
    dates = _trading_dates(ostrel, start.date(), end.date())
    if len(dates) == 0:
        raise ValueError("no trading dates between {} and {}".format(start.date(), end.date()))
    lookback = max(shifts.values())
    deepest = next(roots[n] for n in roots if shifts[n] == lookback)
    ext = _extended_dates(ostrel, dates, lookback, end, deepest)
    L, N = len(ext), len(ids)

    graph = _Graph()
    root_index = {name: graph.add(k) for name, k in keys.items()}
    for i in root_index.values():
        graph.refs[i] += 1  # roots are kept until the end

    # load leaves: market fields in one request, user leaves one by one
    fields: dict[str, Any] = {}
    for i, k in enumerate(graph.keys):
        if graph.kind[i] == "leaf" and isinstance(k, Factor):
            fields.setdefault(k.name, k)
    field_data = (load_fields or _load_fields)(ostrel, list(fields), ids, ext, fields) if fields else {}

    n_apps = sum(1 for k in graph.kind if k == "app")
    show = progress if progress is not None else n_apps * L * N >= _PROGRESS_CELLS
    bar = None
    if show:
        from tqdm.auto import tqdm

        bar = tqdm(total=n_apps, desc="evaluating factors", unit="node", leave=False)

    ev = _Evaluator(graph, N, _calendar_position(ostrel, dates[-1]),
                    _rows_plan(graph, root_index.values(), len(dates)) if _TRIM else None)
    try:
        with np.errstate(all="ignore"):
            for i, k in enumerate(graph.keys):
                kind = graph.kind[i]
                if kind == "lit":
                    ev.values[i] = k
                elif kind == "leaf":
                    if isinstance(k, Factor):
                        raw = field_data.pop(k.name)
                        if not ev.row_major[i]:
                            ev.set_leaf(i, raw, False)
                        else:
                            ev.set_leaf(i, *_c_float64(raw), alt=raw)
                    elif hasattr(k, "execute"):
                        ev.set_leaf(i, _load_user_leaf(k, ids, ext), True)
                    else:
                        name = describe_key(k)
                        raise FactorEvaluationError(
                            "{}: cannot load this leaf: it is neither a zarnik.Factor nor a "
                            "user-defined leaf with execute()".format(name),
                            name,
                        )
                else:
                    ev.step(i)
                    if bar is not None:
                        bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    ev.storage.clear_pool()

    index = pd.DatetimeIndex(dates, name="datetime")
    columns = pd.Index(ids, name="order_book_id", dtype=object)
    result: dict[str, pd.DataFrame] = {}
    handed_out: set[int] = set()
    st = ev.storage
    for name, i in root_index.items():
        v = ev.values[i]
        expect = L - shifts[name]
        if isinstance(v, np.ndarray) and v.ndim == 2:
            # Rows trimmed to what the consumers read (_rows_plan) leave a root with at least the
            # requested dates: more when another root's subtree reads further back through it.
            trimmed = ev.need is not None and len(dates) <= v.shape[0] <= expect
            if v.shape[0] != expect and not trimmed:
                raise FactorEvaluationError(
                    "{}: evaluated to {} rows, expected {} (look-back {} over {} loaded dates)".format(
                        _brief(roots[name]), v.shape[0], expect, shifts[name], L
                    ),
                    repr(roots[name]),
                )
            block = v if v.shape[0] == len(dates) else v[v.shape[0] - len(dates):]
        else:  # a constant formula
            block = np.broadcast_to(np.asarray(v, dtype=np.float64), (len(dates), N))
        # A buffer the engine allocated becomes the frame's storage as it is (a
        # view keeps at most the look-back rows of its base alive); anything that
        # may alias client data, a user function's data or another result is copied.
        sids = ev.attached[i]
        reuse = (
            isinstance(block, np.ndarray)
            and block.dtype == np.float64
            and len(sids) == 1
            and sids[0] not in st.pinned
            and sids[0] not in handed_out
            and block.flags.writeable
        )
        try:
            data = block if reuse else np.array(block, dtype=np.float64, copy=True)
        except (TypeError, ValueError) as e:
            raise FactorEvaluationError(
                "{}: the result is not numeric ({})".format(_brief(roots[name]), e), repr(roots[name])
            ) from e
        handed_out.update(sids)
        result[name] = pd.DataFrame(data, index=index, columns=columns, copy=False)
    return result


def execute_factors(
    factors: Mapping[str, Any],
    order_book_ids: Any,
    start_date: Any,
    end_date: Any,
    progress: bool | None = None,
) -> dict[str, pd.DataFrame]:
    """计算多个因子，共享叶子数据与公共子表达式。

    Parameters
    ----------
    factors : dict
        因子名 -> 因子表达式。
    order_book_ids : str or list of str
        标的代码。
    start_date, end_date : date-like
        计算区间（含两端）；叶子数据会按最大回看期向前扩展。
    progress : bool, optional
        是否显示进度条；默认在计算量较大时显示。

    Returns
    -------
    dict
        因子名 -> FactorFrame（行：交易日，索引名 "datetime"；列：标的，列名 "order_book_id"）。
    """
    ids = _normalize_ids(order_book_ids)
    return _evaluate(factors, ids, start_date, end_date, progress)


def execute_factor(
    factor: Any,
    order_book_ids: Any,
    start_date: Any,
    end_date: Any,
    progress: bool | None = None,
) -> pd.DataFrame:
    """计算一个因子，返回 FactorFrame（行：交易日；列：标的）。

    Parameters
    ----------
    factor : zarnik.interface.AbstractFactor
        因子表达式。
    order_book_ids : str or list of str
        标的代码。
    start_date, end_date : date-like
        计算区间（含两端）。
    progress : bool, optional
        是否显示进度条。
    """
    ids = _normalize_ids(order_book_ids)
    return _evaluate({"factor": factor}, ids, start_date, end_date, progress)["factor"]
