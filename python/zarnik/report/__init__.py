"""Reports over analysis results: summary tables, figures, HTML tear sheets."""

from __future__ import annotations

import base64
import datetime as _dt
import html
import os
from collections.abc import Iterable, Mapping
from typing import Any

import pandas as pd

from zarnik.analysis.coverage import has_no_data

from .display import ResultDisplayMixin, figure_to_png, plot, quantile_order_note, result_kind, summary, to_html

__all__ = ["tear_sheet", "summary", "plot", "to_html", "ResultDisplayMixin", "result_kind"]

_CSS = """
body { font-family: -apple-system, 'Segoe UI', Helvetica, Arial, sans-serif; margin: 2em auto;
       max-width: 1200px; color: #222; }
h1 { border-bottom: 2px solid #444; }
h2 { margin-top: 2em; border-bottom: 1px solid #bbb; }
table.zarnik-table { border-collapse: collapse; font-size: 13px; margin: 0.5em 0 1em 0; }
table.zarnik-table th, table.zarnik-table td { padding: 3px 10px; text-align: right;
       border-bottom: 1px solid #ddd; }
table.zarnik-table thead th { background: #f0f0f0; }
img { max-width: 100%; }
.meta { color: #666; font-size: 13px; }
.nodata { color: #a00; font-weight: bold; }
"""


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


def tear_sheet(
    results: Any,
    path: str | os.PathLike[str],
    title: str = "Factor tear sheet",
    description: str | None = None,
    dpi: int = 80,
) -> str:
    """把分析结果写成一个自包含的 HTML 文件（内嵌 PNG 图与表格）。

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
    for name, r in items:
        body.append("<h2>{}</h2>".format(html.escape(name)))
        if has_no_data(r):
            body.append('<p class="nodata">no data: the factor frame reaching this step held no value '
                        '(see the warnings of the pipeline run)</p>')
        note = quantile_order_note(r) if result_kind(r) in ("quantile", "style") else None
        if note:
            body.append('<p class="meta">{}</p>'.format(html.escape(note)))
        body.append(summary(r).to_html(float_format=lambda v: "{:.4f}".format(v), na_rep="-", border=0,
                                       classes="zarnik-table"))
        png = figure_to_png(plot(r), dpi=dpi)
        body.append('<img alt="{}" src="data:image/png;base64,{}"/>'.format(
            html.escape(name), base64.b64encode(png).decode("ascii")))
    doc = (
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>{}</title><style>{}</style>"
        "</head><body>\n{}\n</body></html>\n".format(html.escape(title), _CSS, "\n".join(body))
    )
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as fh:
        fh.write(doc)
    os.replace(tmp, path)
    return path
