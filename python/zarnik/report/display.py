"""Headline tables, figures and HTML for the analysis results.

Every function takes a result object of ``zarnik.analysis.analysis_result``
(or anything with the same attributes) and dispatches on what it holds:
``ic`` (IC analysis), ``quantile_returns`` (quantile returns),
``factor_returns`` (factor returns) or ``quantile_exposure`` (style exposure).
"""

from __future__ import annotations

import base64
import html
import io
import math
from typing import Any

import numpy as np
import pandas as pd

from zarnik.analysis import statistics as _stats
from zarnik.analysis.analysis_result import ResultDisplayMixin
from zarnik.analysis.coverage import has_no_data

__all__ = [
    "summary",
    "plot",
    "to_html",
    "figure_to_png",
    "result_kind",
    "ResultDisplayMixin",
    "TRADING_DAYS",
]

TRADING_DAYS = 252
ROLLING_IC_WINDOW = 20


def result_kind(result: Any) -> str:
    """"ic", "quantile", "factor_return" or "style"."""
    if hasattr(result, "ic") and hasattr(result, "ic_p_value"):
        return "ic"
    if hasattr(result, "quantile_returns"):
        return "quantile"
    if hasattr(result, "factor_returns"):
        return "factor_return"
    if hasattr(result, "quantile_exposure"):
        return "style"
    raise TypeError("not an analysis result: {}".format(type(result).__name__))


def _name(result: Any) -> str:
    n = getattr(result, "name", None)
    return str(n) if n is not None else type(result).__name__


# ---------------------------------------------------------------------------
# summaries
# ---------------------------------------------------------------------------
GROUP_ROW = "{} | {}"


def _ic_summary(r: Any) -> pd.DataFrame:
    """One row per period, then, when the analysis had an industry classification, one row per
    period and industry ("P_1 | 银行") with the same statistics of that industry's per-date IC."""
    table = _stats.ic_statistics(r.ic)
    by_date = getattr(r, "ic_by_industry", None)
    if by_date is not None and len(by_date):
        parts = []
        frame = pd.DataFrame(by_date)
        for group, part in frame.groupby(level="industry", sort=True):
            stats = _stats.ic_statistics(part.droplevel("industry"))
            stats.index = [GROUP_ROW.format(p, group) for p in stats.index]
            parts.append(stats)
        grouped = pd.concat(parts)
        order = {p: i for i, p in enumerate(table.index)}
        # period-major order, industries sorted within a period
        keys = [(order.get(k.split(" | ", 1)[0], len(order)), n) for n, k in enumerate(grouped.index)]
        grouped = grouped.iloc[[n for _, n in sorted(keys)]]
        table = pd.concat([table, grouped])
        table.index.name = "period"
    return _mark_no_data(table, table["n_dates"].to_numpy() == 0 if len(table) else [])


def _annualize_cumulative(cum: pd.Series) -> float:
    cum = pd.to_numeric(cum, errors="coerce").dropna()
    if cum.empty:
        return math.nan
    growth = 1.0 + float(cum.iloc[-1])
    n = len(cum)
    if growth <= 0:
        return -1.0
    return growth ** (TRADING_DAYS / n) - 1.0


NO_DATA = "no data"


def _mark_no_data(table: pd.DataFrame, empty: Any) -> pd.DataFrame:
    """Rows without any observation read "no data" in a ``note`` column, their figures NaN
    (never a 0.0 that looks like a result)."""
    empty = np.asarray(empty, dtype=bool)
    if not empty.any():
        return table
    table = table.copy()
    numeric = [c for c in table.columns if c != "n_dates" and pd.api.types.is_float_dtype(table[c])]
    table.loc[empty, numeric] = math.nan
    table["note"] = np.where(empty, NO_DATA, "")
    return table


def _labelled_groups(r: Any) -> set[str] | None:
    """Labels that hold at least one instrument on some date, or None when unknown."""
    detail = getattr(r, "quantile_detail", None)
    if detail is None:
        return None
    values = np.asarray(getattr(detail, "values", detail), dtype=object).ravel()
    present = pd.unique(values[pd.notna(values)])
    return {str(v) for v in present}


def quantile_order_note(r: Any) -> str | None:
    """Which end of the factor q1 holds, when the pipeline recorded the ranking direction."""
    ascending = getattr(r, "ascending", None)
    if ascending is None:
        return None
    first, last = ("smallest", "largest") if ascending else ("largest", "smallest")
    return ("q1 holds the {} factor values and the last group the {} (ascending={}); "
            "top_minus_bottom is q1 minus the last group".format(first, last, bool(ascending)))


def _quantile_summary(r: Any) -> pd.DataFrame:
    ann = pd.DataFrame(r.quantile_annualized_returns)
    excess = getattr(r, "quantile_excess_annulized_returns", None)
    turnover = getattr(r, "quantile_turnover", None)
    tmb = getattr(r, "top_minus_bottom_returns", None)
    rows = []
    for period in ann.columns:
        for tag in ann.index:
            row = {"period": period, "group": str(tag), "annualized_return": float(ann.loc[tag, period])}
            if excess is not None and period in excess.columns and tag in excess.index:
                row["excess_annualized_return"] = float(excess.loc[tag, period])
            if turnover is not None and period in turnover.columns:
                try:
                    row["mean_turnover"] = float(turnover[period].xs(tag, level=0).mean())
                except KeyError:
                    row["mean_turnover"] = math.nan
            rows.append(row)
        if tmb is not None and period in getattr(tmb, "columns", []):
            rows.append({"period": period, "group": "top_minus_bottom",
                         "annualized_return": _annualize_cumulative(tmb[period])})
    table = pd.DataFrame(rows).set_index(["period", "group"])
    if not len(table):
        return table
    table = _add_quantile_statistics(r, table)
    ascending = getattr(r, "ascending", None)
    if ascending is not None and len(ann.index):
        tags = [str(t) for t in ann.index]
        first, last = "q1", max(tags, key=lambda t: int(t[1:]) if t[1:].isdigit() else -1)
        ends = {first: "smallest" if ascending else "largest", last: "largest" if ascending else "smallest"}
        if first != last:
            ends["top_minus_bottom"] = "{} - {}".format(first, last)
        table["holds"] = [ends.get(g, "") for g in table.index.get_level_values("group")]
    present = _labelled_groups(r)
    groups = table.index.get_level_values("group")
    if has_no_data(r) or present is not None and not present:
        empty = np.ones(len(table), dtype=bool)
    elif present is not None:
        tags = [str(t) for t in ann.index]
        ends_missing = bool(tags) and ("q1" not in present or max(
            tags, key=lambda t: int(t[1:]) if t[1:].isdigit() else -1) not in present)
        empty = np.array([(g == "top_minus_bottom" and ends_missing) or (g != "top_minus_bottom" and g not in present)
                          for g in groups])
    else:
        empty = np.zeros(len(table), dtype=bool)
    return _mark_no_data(table, empty)


def _add_quantile_statistics(r: Any, table: pd.DataFrame) -> pd.DataFrame:
    """Mean daily return and its standard error per group; for the top-minus-bottom rows also the
    annualized alpha, beta and the alpha's t-statistic; the factor's mean rank autocorrelation per period."""
    try:
        means = _stats.quantile_mean_returns(r)
    except (KeyError, ValueError, TypeError):
        means = None
    extra = {c: np.full(len(table), math.nan) for c in ("mean_return", "mean_return_se")}
    keys = list(table.index)
    if means is not None and len(means):
        lookup = {(str(p), str(g)): row for (p, g), row in zip(means.index, means.to_dict("records"))}
        for i, (p, g) in enumerate(keys):
            row = lookup.get((str(p), str(g)))
            if row is not None:
                extra["mean_return"][i] = row["mean_return"]
                extra["mean_return_se"][i] = row["mean_return_se"]
    try:
        spread = _stats.top_minus_bottom_statistics(r)
    except (KeyError, ValueError, TypeError):
        spread = pd.DataFrame()
    for col in ("alpha_annualized", "beta", "alpha_t"):
        if col in spread.columns:
            extra[col] = np.full(len(table), math.nan)
    for i, (p, g) in enumerate(keys):
        if g == "top_minus_bottom" and p in spread.index:
            extra["mean_return"][i] = spread.loc[p, "mean_return"]
            extra["mean_return_se"][i] = spread.loc[p, "mean_return_se"]
            for col in ("alpha_annualized", "beta", "alpha_t"):
                if col in extra:
                    extra[col][i] = spread.loc[p, col]
    ac = getattr(r, "factor_rank_autocorrelation", None)
    if ac is not None and len(getattr(ac, "columns", [])):
        means_ac = pd.DataFrame(ac).apply(pd.to_numeric, errors="coerce").mean()
        extra["rank_autocorrelation"] = np.array([means_ac.get(p, math.nan) for p, _ in keys], dtype=float)
    table = table.copy()
    for col, values in extra.items():
        table[col] = values
    return table


def _perf(cum: pd.Series) -> dict[str, float]:
    cum = pd.to_numeric(cum, errors="coerce").dropna()
    if cum.empty:
        return {"annualized_return": math.nan, "volatility": math.nan, "sharpe": math.nan,
                "max_drawdown": math.nan}
    wealth = 1.0 + cum.to_numpy(dtype=float)
    prev = np.concatenate([[1.0], wealth[:-1]])
    with np.errstate(divide="ignore", invalid="ignore"):
        daily = wealth / prev - 1.0
    daily = daily[np.isfinite(daily)]
    ann = _annualize_cumulative(cum)
    vol = float(np.std(daily, ddof=1) * math.sqrt(TRADING_DAYS)) if daily.size > 1 else math.nan
    sharpe = float(np.mean(daily) * TRADING_DAYS / vol) if vol and vol > 0 else math.nan
    peak = np.maximum.accumulate(np.concatenate([[1.0], wealth]))[1:]
    mdd = float(np.min(wealth / peak - 1.0))
    return {"annualized_return": ann, "volatility": vol, "sharpe": sharpe, "max_drawdown": mdd}


def _factor_return_summary(r: Any) -> pd.DataFrame:
    fr = pd.DataFrame(r.factor_returns)
    rows = [{"period": c, **_perf(fr[c])} for c in fr.columns]
    table = pd.DataFrame(rows).set_index("period")
    return _mark_no_data(table, np.full(len(table), has_no_data(r)))


def _style_summary(r: Any) -> pd.DataFrame:
    exp = pd.DataFrame(r.quantile_exposure)
    level = "quantile" if "quantile" in (exp.index.names or []) else exp.index.nlevels - 1
    out = exp.groupby(level=level, observed=False).mean()
    out.index = out.index.astype(str)
    out.index.name = "group"
    return out


def summary(result: Any) -> pd.DataFrame:
    """Headline figures of one analysis result as a tidy DataFrame."""
    kind = result_kind(result)
    return {
        "ic": _ic_summary,
        "quantile": _quantile_summary,
        "factor_return": _factor_return_summary,
        "style": _style_summary,
    }[kind](result)


# ---------------------------------------------------------------------------
# figures
# ---------------------------------------------------------------------------
def _pyplot():
    # Figures are built without pyplot, so no GUI backend is touched and they
    # render through the Agg canvas wherever they are saved.
    from matplotlib.figure import Figure

    from .fonts import configure_fonts

    configure_fonts()
    return Figure


def _empty(ax: Any, text: str) -> None:
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes, color="gray")
    ax.set_xticks([])
    ax.set_yticks([])


def _plot_ic(r: Any) -> Any:
    Figure = _pyplot()
    fig = Figure(figsize=(12, 8))
    axes = fig.subplots(2, 2)
    ic = pd.DataFrame(r.ic)
    first = ic.columns[0] if len(ic.columns) else None
    ax = axes[0, 0]
    if first is not None and ic[first].notna().any():
        s = ic[first]
        ax.plot(s.index, s.to_numpy(dtype=float), lw=0.6, alpha=0.6, label="IC {}".format(first))
        ax.plot(s.index, s.rolling(ROLLING_IC_WINDOW, min_periods=1).mean().to_numpy(dtype=float),
                lw=1.6, label="{}-date mean".format(ROLLING_IC_WINDOW))
        ax.axhline(0, color="black", lw=0.5)
        ax.legend(loc="upper left", fontsize=8)
    else:
        _empty(ax, "no IC")
    ax.set_title("IC series")
    ax.set_xlabel("date")
    ax.set_ylabel("IC (correlation)")
    ax = axes[0, 1]
    vals = [pd.to_numeric(ic[c], errors="coerce").dropna().to_numpy() for c in ic.columns]
    if any(v.size for v in vals):
        for c, v in zip(ic.columns, vals):
            if v.size:
                ax.hist(v, bins=40, alpha=0.5, label=str(c))
        ax.legend(fontsize=8)
    else:
        _empty(ax, "no IC")
    ax.set_title("IC distribution")
    ax.set_xlabel("IC (correlation)")
    ax.set_ylabel("number of dates")
    ax = axes[1, 0]
    decay = getattr(r, "ic_decay", None)
    if decay is not None and len(decay):
        mean_decay = pd.DataFrame(decay).groupby(level="decay").mean()
        width = 0.8 / max(1, len(mean_decay.columns))
        x = np.arange(len(mean_decay.index))
        for j, c in enumerate(mean_decay.columns):
            ax.bar(x + j * width, mean_decay[c].to_numpy(dtype=float), width=width, label=str(c))
        ax.set_xticks(x + width * (len(mean_decay.columns) - 1) / 2)
        ax.set_xticklabels([str(i) for i in mean_decay.index], fontsize=7)
        ax.set_xlabel("lag (dates)")
        ax.legend(fontsize=8)
    else:
        _empty(ax, "no decay table")
    ax.set_title("mean IC by lag")
    ax.set_ylabel("mean IC")
    ax = axes[1, 1]
    ind = getattr(r, "ic_industry_distribute", None)
    if ind is not None and len(ind) and len(getattr(ind, "columns", [])):
        col = ind.columns[0]
        s = pd.to_numeric(ind[col], errors="coerce").sort_values()
        ax.barh([str(i) for i in s.index], s.to_numpy(dtype=float),
                color=["tab:red" if v < 0 else "tab:blue" for v in s.to_numpy()])
        ax.tick_params(axis="y", labelsize=6)
        ax.set_title("IC by industry ({})".format(col))
        ax.set_xlabel("IC (correlation)")
    else:
        _empty(ax, "no industry breakdown")
        ax.set_title("IC by industry")
    fig.suptitle("IC analysis: {}".format(_name(r)))
    fig.tight_layout()
    return fig


def _plot_quantile(r: Any) -> Any:
    Figure = _pyplot()
    fig = Figure(figsize=(12, 9))
    axes = fig.subplots(3, 1)
    qr = pd.DataFrame(r.quantile_returns)
    period = qr.columns[0] if len(qr.columns) else None
    ax = axes[0]
    if period is not None:
        wide = qr[period].unstack(level=0)
        for tag in wide.columns:
            ax.plot(wide.index, wide[tag].to_numpy(dtype=float), lw=1, label=str(tag))
        bench = getattr(r, "benchmark_return", None)
        if bench is not None and len(bench):
            b = pd.Series(bench).reindex(wide.index)
            ax.plot(b.index, b.to_numpy(dtype=float), color="black", lw=1.2, ls="--", label="benchmark")
        ax.legend(fontsize=8, ncol=6)
        ax.set_title("cumulative group returns ({})".format(period))
        ax.set_ylabel("cumulative return")
    else:
        _empty(ax, "no groups")
    ax = axes[1]
    tmb = getattr(r, "top_minus_bottom_returns", None)
    if tmb is not None and len(tmb):
        for c in tmb.columns:
            ax.plot(tmb.index, tmb[c].to_numpy(dtype=float), lw=1, label=str(c))
        ax.axhline(0, color="black", lw=0.5)
        ax.legend(fontsize=8)
    else:
        _empty(ax, "no top-minus-bottom")
    ax.set_title("top minus bottom, cumulative")
    ax.set_ylabel("cumulative return")
    ax = axes[2]
    tv = getattr(r, "quantile_turnover", None)
    if tv is not None and period is not None and period in tv.columns:
        wide = tv[period].unstack(level=0)
        for tag in wide.columns:
            ax.plot(wide.index, wide[tag].rolling(ROLLING_IC_WINDOW, min_periods=1).mean().to_numpy(dtype=float),
                    lw=1, label=str(tag))
        ax.legend(fontsize=8, ncol=6)
    else:
        _empty(ax, "no turnover")
    ax.set_title("turnover ({}-date mean)".format(ROLLING_IC_WINDOW))
    ax.set_xlabel("date")
    ax.set_ylabel("share of new members")
    fig.suptitle("Quantile returns: {}".format(_name(r)))
    fig.tight_layout()
    return fig


def _plot_factor_return(r: Any) -> Any:
    Figure = _pyplot()
    fig = Figure(figsize=(12, 4))
    ax = fig.subplots(1, 1)
    fr = pd.DataFrame(r.factor_returns)
    if len(fr.columns) and len(fr):
        for c in fr.columns:
            ax.plot(fr.index, fr[c].to_numpy(dtype=float), lw=1, label=str(c))
        ax.axhline(0, color="black", lw=0.5)
        ax.legend(fontsize=8)
    else:
        _empty(ax, "no factor returns")
    ax.set_title("Factor return, cumulative: {}".format(_name(r)))
    ax.set_xlabel("date")
    ax.set_ylabel("cumulative return")
    fig.tight_layout()
    return fig


def _plot_style(r: Any) -> Any:
    # the tear sheet's heatmap, titled with the result's name
    from .figures import style_figures

    fig = style_figures(r)[0][1]
    fig.axes[0].set_title("Mean active style exposure: {}".format(_name(r)), fontsize=11)
    return fig


def plot(result: Any) -> Any:
    """A matplotlib Figure (Agg canvas) of one analysis result."""
    kind = result_kind(result)
    return {
        "ic": _plot_ic,
        "quantile": _plot_quantile,
        "factor_return": _plot_factor_return,
        "style": _plot_style,
    }[kind](result)


def figure_to_png(fig: Any, dpi: int = 80) -> bytes:
    """PNG bytes of a Figure."""
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=dpi)
    return buf.getvalue()


def _format_table(df: pd.DataFrame) -> str:
    return df.to_html(float_format=lambda v: "{:.4f}".format(v), na_rep="-", border=0,
                      classes="zarnik-table")


def to_html(result: Any, title: str | None = None, image: bool = True) -> str:
    """HTML fragment: heading, summary table and (optionally) the embedded figure."""
    parts = ["<h3>{}</h3>".format(html.escape(title or _name(result)))]
    parts.append(_format_table(summary(result)))
    if image:
        png = figure_to_png(plot(result))
        parts.append('<img alt="{}" src="data:image/png;base64,{}"/>'.format(
            html.escape(_name(result)), base64.b64encode(png).decode("ascii")))
    return "\n".join(parts)
