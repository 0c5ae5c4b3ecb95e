"""The tear-sheet panels: one small matplotlib Figure per view of a result.

``figures(result)`` returns a list of (title, Figure) pairs. Every figure carries a title, axis
labels with units, and a legend where it draws several series; a panel without data says so in
its axes instead of staying empty. Figures are built without pyplot (Agg canvas), so no GUI
backend is touched.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

from zarnik.analysis import statistics as st

from .fonts import configure_fonts

__all__ = ["figures", "coverage_figure", "ROLLING_WINDOW"]

ROLLING_WINDOW = 20
_MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def _figure(width: float = 7.5, height: float = 3.6) -> tuple[Any, Any]:
    configure_fonts()
    from matplotlib.figure import Figure

    fig = Figure(figsize=(width, height))
    return fig, fig.subplots(1, 1)


def _percent(ax: Any, axis: str = "y") -> None:
    from matplotlib.ticker import PercentFormatter

    (ax.yaxis if axis == "y" else ax.xaxis).set_major_formatter(PercentFormatter(1.0, decimals=None))


def _empty(ax: Any, text: str) -> None:
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes, color="gray", fontsize=12)
    ax.set_xticks([])
    ax.set_yticks([])


def _done(fig: Any, ax: Any, title: str, xlabel: str, ylabel: str) -> Any:
    ax.set_title(title, fontsize=11)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    fig.tight_layout()
    return fig


def _numeric(frame: Any) -> pd.DataFrame:
    return pd.DataFrame(frame).apply(pd.to_numeric, errors="coerce")


# ---------------------------------------------------------------------------
# IC
# ---------------------------------------------------------------------------
def _ic_series(r: Any, col: Any) -> Any:
    fig, ax = _figure(9, 3.6)
    s = _numeric(r.ic)[col]
    if s.notna().any():
        ax.plot(s.index, s.to_numpy(), lw=0.6, alpha=0.55, color="tab:blue", label="daily IC")
        monthly = s.groupby(s.index.to_period("M")).transform("mean") if isinstance(s.index, pd.DatetimeIndex) \
            else s.rolling(ROLLING_WINDOW, min_periods=1).mean()
        ax.plot(s.index, monthly.to_numpy(), lw=1.8, color="tab:orange", drawstyle="steps-mid",
                label="monthly mean")
        ax.axhline(float(s.mean()), color="tab:red", lw=0.9, ls="--", label="mean {:.4f}".format(s.mean()))
        ax.axhline(0, color="black", lw=0.5)
        ax.legend(loc="upper left", fontsize=8, ncol=3)
    else:
        _empty(ax, "no IC")
    return _done(fig, ax, "IC series, {}".format(col), "date", "IC (correlation)")


def _ic_hist(r: Any) -> Any:
    fig, ax = _figure(6, 3.6)
    frame = _numeric(r.ic)
    drawn = False
    for col in frame.columns:
        v = frame[col].dropna().to_numpy()
        if v.size:
            ax.hist(v, bins=40, alpha=0.5, label="{} (mean {:.3f}, std {:.3f})".format(col, v.mean(), v.std()))
            drawn = True
    if drawn:
        ax.axvline(0, color="black", lw=0.5)
        ax.legend(fontsize=8)
    else:
        _empty(ax, "no IC")
    return _done(fig, ax, "IC distribution", "IC (correlation)", "number of dates")


def _ic_qq(r: Any) -> Any:
    from scipy import stats

    fig, ax = _figure(6, 3.6)
    frame = _numeric(r.ic)
    drawn = False
    for col in frame.columns:
        v = np.sort(frame[col].dropna().to_numpy())
        if v.size > 2 and v.std() > 0:
            q = stats.norm.ppf((np.arange(1, v.size + 1) - 0.5) / v.size)
            ax.plot(q, v, ".", ms=3, alpha=0.7, label=str(col))
            drawn = True
    if drawn:
        lim = ax.get_xlim()
        allv = frame.stack().dropna().to_numpy()
        ax.plot(lim, [allv.mean() + allv.std() * lim[0], allv.mean() + allv.std() * lim[1]], color="black",
                lw=0.8, ls="--", label="normal")
        ax.legend(fontsize=8)
    else:
        _empty(ax, "no IC")
    return _done(fig, ax, "IC quantiles against the normal distribution", "normal quantile",
                 "observed IC quantile")


def _ic_heatmap(r: Any, col: Any) -> Any:
    monthly = st.monthly_ic(r.ic)
    fig, ax = _figure(8, 0.45 * max(1, len(set(getattr(monthly.index, "year", [])))) + 2.2)
    if col in monthly.columns and monthly[col].notna().any():
        s = monthly[col]
        years = sorted(set(s.index.year))
        grid = np.full((len(years), 12), np.nan)
        for p, v in s.items():
            grid[years.index(p.year), p.month - 1] = v
        lim = float(np.nanmax(np.abs(grid))) or 1.0
        im = ax.imshow(grid, cmap="RdYlGn", vmin=-lim, vmax=lim, aspect="auto")
        for (i, j), v in np.ndenumerate(grid):
            if np.isfinite(v):
                ax.text(j, i, "{:.3f}".format(v), ha="center", va="center", fontsize=7)
        ax.set_xticks(range(12))
        ax.set_xticklabels(_MONTHS, fontsize=8)
        ax.set_yticks(range(len(years)))
        ax.set_yticklabels([str(y) for y in years])
        fig.colorbar(im, ax=ax, label="mean IC")
    else:
        _empty(ax, "no IC")
    return _done(fig, ax, "Monthly mean IC, {}".format(col), "month", "year")


def _ic_decay(r: Any) -> Any:
    fig, ax = _figure(8, 3.6)
    decay = getattr(r, "ic_decay", None)
    if decay is not None and len(decay):
        mean_decay = _numeric(decay).groupby(level="decay").mean()
        width = 0.8 / max(1, len(mean_decay.columns))
        x = np.arange(len(mean_decay.index))
        for j, c in enumerate(mean_decay.columns):
            ax.bar(x + j * width, mean_decay[c].to_numpy(dtype=float), width=width, label=str(c))
        ax.set_xticks(x + width * (len(mean_decay.columns) - 1) / 2)
        ax.set_xticklabels([str(i) for i in mean_decay.index], fontsize=7)
        ax.axhline(0, color="black", lw=0.5)
        ax.legend(fontsize=8)
    else:
        _empty(ax, "no decay table (max_decay not set)")
    return _done(fig, ax, "IC decay: mean IC of the factor against returns starting d dates later",
                 "lag d (trading dates)", "mean IC")


def _ic_industry(r: Any, col: Any) -> Any:
    pooled = getattr(r, "ic_industry_distribute", None)
    by_date = getattr(r, "ic_by_industry", None)
    n = len(pooled) if pooled is not None else 0
    fig, ax = _figure(8, max(3.0, 0.22 * n + 1.5))
    if pooled is not None and n and col in getattr(pooled, "columns", []):
        s = pd.to_numeric(pooled[col], errors="coerce").sort_values()
        y = np.arange(len(s))
        ax.barh(y - 0.2, s.to_numpy(dtype=float), height=0.4, label="pooled over all dates", color="tab:blue")
        if by_date is not None and len(by_date) and col in by_date.columns:
            table = st.industry_ic_summary(by_date)
            if col in table.index.get_level_values("period"):
                part = table.xs(col, level="period")
                part.index = part.index.astype(str)
                part = part.reindex([str(i) for i in s.index])
                se = part["ic_std"] / np.sqrt(part["n_dates"].where(part["n_dates"] > 0))
                ax.barh(y + 0.2, part["ic_mean"].to_numpy(dtype=float), height=0.4, color="tab:gray",
                        xerr=se.to_numpy(dtype=float), error_kw={"lw": 0.7}, label="mean of per-date IC ± 1 SE")
        ax.set_yticks(y)
        ax.set_yticklabels([str(i) for i in s.index], fontsize=7)
        ax.axvline(0, color="black", lw=0.5)
        ax.legend(fontsize=8, loc="lower right")
    else:
        _empty(ax, "no industry breakdown (industry_classification not set)")
    return _done(fig, ax, "IC by industry, {}".format(col), "IC (correlation)", "industry")


def ic_figures(r: Any) -> list[tuple[str, Any]]:
    ic = pd.DataFrame(r.ic)
    first = ic.columns[0] if len(ic.columns) else "IC"
    return [
        ("IC series with monthly mean", _ic_series(r, first) if len(ic.columns) else _missing("IC series")),
        ("IC histogram", _ic_hist(r)),
        ("IC Q-Q plot", _ic_qq(r)),
        ("Monthly IC heatmap", _ic_heatmap(r, first)),
        ("IC decay", _ic_decay(r)),
        ("IC by industry", _ic_industry(r, first)),
    ]


def _missing(title: str) -> Any:
    fig, ax = _figure()
    _empty(ax, "no data")
    return _done(fig, ax, title, "", "")


# ---------------------------------------------------------------------------
# quantile returns
# ---------------------------------------------------------------------------
def _tags(frame: pd.DataFrame) -> list[str]:
    tags = [str(t) for t in frame.index.get_level_values("tag").unique()]
    return sorted(tags, key=lambda t: (int(t[1:]) if t[1:].isdigit() else 10 ** 9, t))


def _quantile_bars(r: Any) -> Any:
    fig, ax = _figure(7, 3.6)
    table = st.quantile_mean_returns(r)
    if len(table) and table["mean_return"].notna().any():
        periods = list(dict.fromkeys(table.index.get_level_values("period")))
        groups = sorted(set(table.index.get_level_values("group")),
                        key=lambda t: int(t[1:]) if t[1:].isdigit() else 10 ** 9)
        width = 0.8 / len(periods)
        x = np.arange(len(groups))
        for j, p in enumerate(periods):
            part = table.xs(p, level="period").reindex(groups)
            ax.bar(x + j * width, part["mean_return"].to_numpy(dtype=float), width=width,
                   yerr=part["mean_return_se"].to_numpy(dtype=float), capsize=3, label=str(p))
        ax.set_xticks(x + width * (len(periods) - 1) / 2)
        ax.set_xticklabels(groups)
        ax.axhline(0, color="black", lw=0.5)
        _percent(ax)
        ax.legend(fontsize=8, title="error bars: ±1 SE", title_fontsize=7)
    else:
        _empty(ax, "no quantile returns")
    return _done(fig, ax, "Mean daily return by quantile", "quantile group", "mean daily return")


def _quantile_violin(r: Any) -> Any:
    fig, ax = _figure(7, 3.6)
    daily = st.quantile_daily_returns(r)
    col = daily.columns[0] if len(daily.columns) else None
    data, labels = [], []
    if col is not None:
        for tag in _tags(daily):
            s = daily[col].xs(tag, level="tag")
            held = st.quantile_held_dates(r, s.index)
            v = s.to_numpy(dtype=float)[held]
            v = v[np.isfinite(v)]
            if v.size > 1:
                data.append(v)
                labels.append(tag)
    if data:
        parts = ax.violinplot(data, showmeans=True, showextrema=False)
        for body in parts["bodies"]:
            body.set_alpha(0.6)
        ax.set_xticks(range(1, len(labels) + 1))
        ax.set_xticklabels(labels)
        ax.axhline(0, color="black", lw=0.5)
        _percent(ax)
    else:
        _empty(ax, "no quantile returns")
    return _done(fig, ax, "Distribution of daily returns by quantile ({})".format(col), "quantile group",
                 "daily return")


def _quantile_cumulative(r: Any) -> Any:
    fig, ax = _figure(9, 3.8)
    qr = _numeric(r.quantile_returns)
    col = qr.columns[0] if len(qr.columns) else None
    if col is not None and len(qr):
        wide = qr[col].unstack(level=0)
        cmap = _cmap(len(wide.columns))
        for i, tag in enumerate(sorted(wide.columns, key=lambda t: int(str(t)[1:]) if str(t)[1:].isdigit() else 0)):
            ax.plot(wide.index, wide[tag].to_numpy(dtype=float), lw=1.1, color=cmap[i], label=str(tag))
        bench = getattr(r, "benchmark_return", None)
        if bench is not None and len(bench):
            b = pd.Series(bench).reindex(wide.index)
            ax.plot(b.index, b.to_numpy(dtype=float), color="black", lw=1.2, ls="--", label="benchmark")
        ax.axhline(0, color="black", lw=0.5)
        _percent(ax)
        ax.legend(fontsize=8, ncol=6)
    else:
        _empty(ax, "no quantile returns")
    return _done(fig, ax, "Cumulative return by quantile ({})".format(col), "date", "cumulative return")


def _cmap(n: int) -> list[Any]:
    from matplotlib import colormaps

    cm = colormaps["viridis"]
    return [cm(i / max(1, n - 1)) for i in range(n)]


def _spread(r: Any) -> Any:
    configure_fonts()
    from matplotlib.figure import Figure

    fig = Figure(figsize=(9, 5.2))
    ax1, ax2 = fig.subplots(2, 1, sharex=True)
    daily = st.top_minus_bottom_daily(r)
    col = daily.columns[0] if len(daily.columns) else None
    if col is not None and len(daily):
        s = daily[col]
        held = st.quantile_held_dates(r, s.index)
        s = s.where(held)
        mean = s.rolling(ROLLING_WINDOW, min_periods=2).mean()
        se = s.rolling(ROLLING_WINDOW, min_periods=2).std() / math.sqrt(ROLLING_WINDOW)
        ax1.plot(s.index, s.to_numpy(dtype=float), lw=0.5, alpha=0.5, color="tab:blue", label="daily")
        ax1.plot(mean.index, mean.to_numpy(dtype=float), lw=1.4, color="tab:orange",
                 label="{}-date mean".format(ROLLING_WINDOW))
        ax1.fill_between(mean.index, (mean - 1.96 * se).to_numpy(dtype=float),
                         (mean + 1.96 * se).to_numpy(dtype=float), color="tab:orange", alpha=0.25,
                         label="±1.96 SE")
        ax1.axhline(0, color="black", lw=0.5)
        _percent(ax1)
        ax1.legend(fontsize=8, ncol=3, loc="upper left")
        cum = pd.DataFrame(getattr(r, "top_minus_bottom_returns", None) if getattr(
            r, "top_minus_bottom_returns", None) is not None else (1 + daily).cumprod() - 1)
        for c in cum.columns:
            ax2.plot(cum.index, pd.to_numeric(cum[c], errors="coerce").to_numpy(dtype=float), lw=1.1, label=str(c))
        ax2.axhline(0, color="black", lw=0.5)
        _percent(ax2)
        ax2.legend(fontsize=8)
    else:
        _empty(ax1, "no top-minus-bottom returns")
        _empty(ax2, "no top-minus-bottom returns")
    ax1.set_title("Top minus bottom ({}): daily spread with its standard-error band".format(col), fontsize=11)
    ax1.set_ylabel("daily return")
    ax2.set_title("Top minus bottom, cumulative", fontsize=11)
    ax2.set_ylabel("cumulative return")
    ax2.set_xlabel("date")
    fig.tight_layout()
    return fig


def _turnover(r: Any) -> Any:
    fig, ax = _figure(9, 3.6)
    tv = getattr(r, "quantile_turnover", None)
    col = None if tv is None or not len(getattr(tv, "columns", [])) else tv.columns[0]
    if col is not None and len(tv):
        wide = _numeric(tv)[col].unstack(level=0)
        cmap = _cmap(len(wide.columns))
        for i, tag in enumerate(sorted(wide.columns, key=lambda t: int(str(t)[1:]) if str(t)[1:].isdigit() else 0)):
            ax.plot(wide.index, wide[tag].rolling(ROLLING_WINDOW, min_periods=1).mean().to_numpy(dtype=float),
                    lw=1, color=cmap[i], label=str(tag))
        _percent(ax)
        ax.legend(fontsize=8, ncol=6)
    else:
        _empty(ax, "no turnover")
    return _done(fig, ax, "Turnover of every quantile ({}, {}-date mean)".format(col, ROLLING_WINDOW), "date",
                 "share of new members")


def _rank_autocorrelation(r: Any) -> Any:
    fig, ax = _figure(9, 3.2)
    ac = getattr(r, "factor_rank_autocorrelation", None)
    if ac is not None and len(ac) and _numeric(ac).notna().any().any():
        for c in ac.columns:
            s = pd.to_numeric(ac[c], errors="coerce")
            ax.plot(s.index, s.to_numpy(dtype=float), lw=1, label="{} (mean {:.3f})".format(c, s.mean()))
        ax.legend(fontsize=8)
    else:
        _empty(ax, "no rank autocorrelation")
    return _done(fig, ax, "Factor rank autocorrelation (rank today vs rank p dates earlier)", "date",
                 "correlation of ranks")


def quantile_figures(r: Any) -> list[tuple[str, Any]]:
    return [
        ("Mean return by quantile", _quantile_bars(r)),
        ("Daily return distribution by quantile", _quantile_violin(r)),
        ("Cumulative return by quantile", _quantile_cumulative(r)),
        ("Top minus bottom", _spread(r)),
        ("Turnover", _turnover(r)),
        ("Rank autocorrelation", _rank_autocorrelation(r)),
    ]


# ---------------------------------------------------------------------------
# factor returns, style exposure, coverage
# ---------------------------------------------------------------------------
def factor_return_figures(r: Any) -> list[tuple[str, Any]]:
    fig, ax = _figure(9, 3.6)
    fr = _numeric(r.factor_returns)
    if len(fr.columns) and len(fr) and fr.notna().any().any():
        for c in fr.columns:
            ax.plot(fr.index, fr[c].to_numpy(dtype=float), lw=1, label=str(c))
        ax.axhline(0, color="black", lw=0.5)
        _percent(ax)
        ax.legend(fontsize=8)
    else:
        _empty(ax, "no factor returns")
    return [("Factor return", _done(fig, ax, "Factor return, cumulative", "date", "cumulative return"))]


def style_figures(r: Any) -> list[tuple[str, Any]]:
    exp = pd.DataFrame(r.quantile_exposure)
    level = "quantile" if "quantile" in (exp.index.names or []) else exp.index.nlevels - 1
    table = exp.groupby(level=level, observed=False).mean() if len(exp) else exp
    fig, ax = _figure(max(6, 0.9 * len(table.columns) + 3), 0.5 * len(table.index) + 2.5)
    if table.size and np.isfinite(table.to_numpy(dtype=float)).any():
        data = table.to_numpy(dtype=float)
        lim = float(np.nanmax(np.abs(data))) or 1.0
        im = ax.imshow(data, cmap="RdBu_r", vmin=-lim, vmax=lim, aspect="auto")
        ax.set_xticks(range(len(table.columns)))
        ax.set_xticklabels([str(c) for c in table.columns], rotation=45, ha="right", fontsize=8)
        ax.set_yticks(range(len(table.index)))
        ax.set_yticklabels([str(i) for i in table.index])
        for (i, j), v in np.ndenumerate(data):
            if np.isfinite(v):
                ax.text(j, i, "{:.2f}".format(v), ha="center", va="center", fontsize=7)
        fig.colorbar(im, ax=ax, label="mean exposure (style units)")
    else:
        _empty(ax, "no exposure")
    return [("Style exposure", _done(fig, ax, "Mean active style exposure by quantile", "style factor",
                                     "quantile group"))]


def coverage_figure(table: Any) -> Any | None:
    """Cells holding a value after every pipeline stage, with the cells each stage turned missing."""
    if not isinstance(table, pd.DataFrame) or not len(table) or "cells" not in table.columns:
        return None
    fig, ax = _figure(8, max(2.4, 0.45 * len(table) + 1.4))
    stages = [str(s) for s in table.index]
    y = np.arange(len(stages))[::-1]
    cells = table["cells"].to_numpy(dtype=float)
    lost = table["lost"].to_numpy(dtype=float) if "lost" in table.columns else np.zeros(len(stages))
    ax.barh(y, cells, color="tab:blue", label="cells with a value")
    ax.barh(y, lost, left=cells, color="tab:red", label="turned missing by this stage")
    share = table["share"].to_numpy(dtype=float) if "share" in table.columns else [math.nan] * len(stages)
    for yi, c, s in zip(y, cells, share):
        ax.text(c, yi, " {:,.0f} ({:.1%})".format(c, s) if np.isfinite(s) else " {:,.0f}".format(c),
                va="center", fontsize=8)
    ax.set_yticks(y)
    ax.set_yticklabels(stages)
    ax.set_xlim(0, max(1.0, float(np.nanmax(cells + lost)) * 1.3))
    ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.28), ncol=2, frameon=False)
    return _done(fig, ax, "Coverage per pipeline stage", "cells (dates × instruments)", "stage")


def figures(result: Any) -> list[tuple[str, Any]]:
    """某个分析结果的全部图（(标题, Figure) 列表），用于 tear sheet。"""
    from .display import result_kind

    kind = result_kind(result)
    return {
        "ic": ic_figures,
        "quantile": quantile_figures,
        "factor_return": factor_return_figures,
        "style": style_figures,
    }[kind](result)
