"""Reports over analysis results: summary tables, figures, HTML tear sheets."""

from __future__ import annotations

import base64
import datetime as _dt
import html
import os
import re
from collections.abc import Iterable, Mapping
from typing import Any

import pandas as pd

from zarnik.analysis.coverage import has_no_data

from zarnik.analysis import statistics as _stats

from .display import ResultDisplayMixin, figure_to_png, plot, quantile_order_note, result_kind, summary, to_html
from .figures import coverage_figure, figures
from .fonts import WEB_FONT_FAMILY, configure_fonts, web_font_css

__all__ = ["tear_sheet", "summary", "summary_tables", "plot", "figures", "to_html", "ResultDisplayMixin",
           "result_kind", "configure_fonts"]

_CSS = """
body { font-family: -apple-system, 'Segoe UI', Helvetica, Arial, 'WEBFONT', sans-serif; margin: 2em auto;
       max-width: 1200px; color: #222; }
h1 { border-bottom: 2px solid #444; }
h2 { margin-top: 2em; border-bottom: 1px solid #bbb; }
table.zarnik-table { border-collapse: collapse; font-size: 13px; margin: 0.5em 0 1em 0; }
table.zarnik-table th, table.zarnik-table td { padding: 3px 10px; text-align: right;
       border-bottom: 1px solid #ddd; }
table.zarnik-table thead th { background: #f0f0f0; }
img { max-width: 100%; }
.scroll { overflow-x: auto; max-width: 100%; }
.figs { display: flex; flex-wrap: wrap; gap: 12px; }
.figs figure { margin: 0; flex: 1 1 520px; max-width: 100%; }
.figs figcaption { font-size: 12px; color: #555; }
h3 { font-size: 15px; margin-bottom: 0.2em; }
.meta { color: #666; font-size: 13px; }
.nodata { color: #a00; font-weight: bold; }
""".replace("WEBFONT", WEB_FONT_FAMILY)


def _items(results: Any) -> list[tuple[str, Any]]:
    if isinstance(results, Mapping):
        items = list(results.items())
    elif isinstance(results, Iterable) and not isinstance(results, (str, bytes)):
        items = [(getattr(r, "name", None) or type(r).__name__, r) for r in results]
    else:
        items = [(getattr(results, "name", None) or type(results).__name__, results)]
    out = []
    for name, r in items:
        if isinstance(r, pd.DataFrame):
            continue  # kept preprocessing frames are not shown
        result_kind(r)  # raises TypeError for anything that is not a result
        out.append((str(name), r))
    if not out:
        raise ValueError("tear_sheet: no analysis results to show")
    return out


def summary_tables(result: Any) -> list[tuple[str, pd.DataFrame]]:
    """某个分析结果的汇总表：主表（``summary()``）及补充统计表，(标题, DataFrame) 列表。"""
    kind = result_kind(result)
    main = summary(result)
    if kind == "ic":
        # the per-industry rows are shown as their own table below
        main = main[[" | " not in str(k) for k in main.index]]
    tables = [("Summary", main)]
    if kind == "ic":
        monthly = _stats.monthly_ic(result.ic)
        if len(monthly) and len(monthly.columns):
            first = monthly.columns[0]
            grid = pd.DataFrame({"year": monthly.index.year, "month": monthly.index.month,
                                 "ic": monthly[first].to_numpy()})
            grid = grid.pivot(index="year", columns="month", values="ic").reindex(columns=range(1, 13))
            grid.columns = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
            tables.append(("Monthly mean IC, {} (every period: result.ic_monthly)".format(first), grid))
        by_date = getattr(result, "ic_by_industry", None)
        if by_date is not None and len(by_date):
            table = _stats.industry_ic_summary(by_date)
            wide = table[["ic_mean", "t_stat"]].unstack(level="period")
            wide.columns = ["{} {}".format(p, "mean IC" if c == "ic_mean" else "t") for c, p in wide.columns]
            order = [c for p in dict.fromkeys(table.index.get_level_values("period"))
                     for c in ("{} mean IC".format(p), "{} t".format(p))]
            wide = wide[order]
            wide.insert(0, "dates", table["n_dates"].groupby(level="industry").max())
            tables.append(("Per-date IC within each industry: mean over dates and its t", wide))
    elif kind == "quantile":
        spread = _stats.top_minus_bottom_statistics(result)
        if len(spread):
            tables.append(("Top minus bottom: daily mean, standard error and alpha / beta", spread))
        turnover = _stats.mean_turnover(result)
        if len(turnover):
            tables.append(("Mean turnover of every quantile", turnover))
    return tables


def _visible_text(markup: str) -> str:
    """The page's text without the embedded images (whose base64 holds no CJK character anyway)."""
    return html.unescape(re.sub(r'src="data:[^"]*"', "", markup))


def _coverage(items: list[tuple[str, Any]]) -> pd.DataFrame | None:
    for _, r in items:
        table = getattr(r, "coverage", None)
        if isinstance(table, pd.DataFrame) and len(table):
            return table
    return None


def _img(fig: Any, alt: str, dpi: int) -> str:
    png = figure_to_png(fig, dpi=dpi)
    return '<img alt="{}" src="data:image/png;base64,{}"/>'.format(
        html.escape(alt), base64.b64encode(png).decode("ascii"))


def _number(v: float) -> str:
    """Four decimals, or three significant digits for small magnitudes (daily returns, their errors)."""
    if v != v:
        return "-"
    if v == 0 or abs(v) >= 0.01:
        return "{:.4f}".format(v)
    return "{:.3g}".format(v)


def _table_html(df: pd.DataFrame) -> str:
    return '<div class="scroll">{}</div>'.format(
        df.to_html(float_format=_number, na_rep="-", border=0, classes="zarnik-table"))


def tear_sheet(
    results: Any,
    path: str | os.PathLike[str],
    title: str = "Factor tear sheet",
    description: str | None = None,
    dpi: int = 80,
) -> str:
    """把分析结果写成一个自包含的 HTML 文件（内嵌 PNG 图与表格，离线可打开）。

    The page holds, per result: its summary tables and its figures (IC series with monthly mean,
    IC histogram and Q-Q plot, monthly IC heatmap, IC decay, IC by industry; mean return by
    quantile as bars with standard errors and as violins, cumulative returns by quantile,
    top-minus-bottom with its error band, turnover and rank autocorrelation; factor returns;
    style exposure heatmap), and once the coverage of every pipeline stage.

    Parameters
    ----------
    results : dict or list
        ``FactorAssayer.analysis`` 的返回值（步骤名 -> 结果），或结果对象的列表。
    path : str or path-like
        输出文件路径；所在目录不存在时自动创建。
    title : str
        页面标题。
    description : str, optional
        标题下的说明文字（例如因子公式）。
    dpi : int
        图片分辨率。

    Returns
    -------
    str
        写出的文件路径。
    """
    items = _items(results)
    body = ["<h1>{}</h1>".format(html.escape(title))]
    meta = "generated {} UTC".format(_dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%d %H:%M"))
    if description:
        body.append('<p class="meta"><code>{}</code></p>'.format(html.escape(description)))
    body.append('<p class="meta">{}</p>'.format(meta))
    coverage = _coverage(items)
    if coverage is not None:
        body.append("<h2>Coverage per pipeline stage</h2>")
        body.append('<p class="meta">cells of the factor frame holding a value after each stage, the cells '
                    'each stage turned missing, and the dates it left without any value</p>')
        body.append(_table_html(coverage))
        fig = coverage_figure(coverage)
        if fig is not None:
            body.append('<div class="figs"><figure>{}</figure></div>'.format(_img(fig, "coverage per stage", dpi)))
    for name, r in items:
        body.append("<h2>{}</h2>".format(html.escape(name)))
        if has_no_data(r):
            body.append('<p class="nodata">no data: the factor frame reaching this step held no value '
                        '(see the warnings of the pipeline run)</p>')
        note = quantile_order_note(r) if result_kind(r) in ("quantile", "style") else None
        if note:
            body.append('<p class="meta">{}</p>'.format(html.escape(note)))
        for caption, table in summary_tables(r):
            body.append("<h3>{}</h3>".format(html.escape(caption)))
            body.append(_table_html(table))
        body.append('<div class="figs">')
        for caption, fig in figures(r):
            body.append('<figure>{}<figcaption>{}</figcaption></figure>'.format(
                _img(fig, "{}: {}".format(name, caption), dpi), html.escape(caption)))
        body.append("</div>")
    text = "\n".join(body)
    css = web_font_css(title + _visible_text(text)) + _CSS
    doc = (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>{}</title>"
        "<link rel=\"icon\" href=\"data:,\"><style>{}</style>"
        "</head><body>\n{}\n</body></html>\n".format(html.escape(title), css, text)
    )
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as fh:
        fh.write(doc)
    os.replace(tmp, path)
    return path
