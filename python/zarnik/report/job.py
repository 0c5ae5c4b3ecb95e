"""The research job: formulas -> FactorFrames -> analysis pipeline -> tear sheets."""

from __future__ import annotations

import math
import os
import re
import sys
from collections.abc import Mapping, Sequence
from typing import Any

import pandas as pd

__all__ = ["DEMO_FORMULAS", "build_assayer", "run_job", "headline", "store_has_styles"]

# Classic formulas; larger values are expected to earn more.
DEMO_FORMULAS: dict[str, str] = {
    "reversal_5d": "-(close / DELAY(close, 5) - 1)",
    "momentum_60_5": "DELAY(close, 5) / DELAY(close, 60) - 1",
    "low_volatility_20": "-STD(close / DELAY(close, 1) - 1, 20)",
    "volume_price_corr_10": "-CORR(close, volume, 10)",
    "volume_surge_5_60": "-(MA(volume, 5) / MA(volume, 60))",
    "alpha_rank_corr_6": "-CORR(RANK(DELTA(LOG(volume), 1)), RANK((close - open) / open), 6)",
    "alpha_stoch_10": "-((close - TS_MIN(low, 10)) / (TS_MAX(high, 10) - TS_MIN(low, 10)))",
}


def build_assayer(
    benchmark: str | None = "000300.XSHG",
    industry: str | None = "citics_2019",
    style_factors: Any = None,
    quantile: int = 5,
    max_decay: int = 10,
    styles: bool = True,
) -> Any:
    """The full pipeline: winsorize, neutralize, normalize; IC, quantiles, factor return, style.

    ``styles=False`` leaves out the steps that need style exposures (the style analysis and any
    style neutralization), for stores that hold none.
    """
    from zarnik.analysis import assayer as A

    if not styles:
        style_factors = None
    fa = A.FactorAssayer()
    fa.append(("winsorize", A.Winzorization(method="mad")))
    if industry is not None or style_factors is not None:
        fa.append(("neutralize", A.Neutralization(industry=industry, style_factors=style_factors)))
    fa.append(("normalize", A.Normalization()))
    fa.append(("ic", A.ICAnalysis(rank_ic=True, industry_classification=industry, max_decay=max_decay)))
    fa.append(("quantile", A.QuantileReturnAnalysis(quantile=quantile, benchmark=benchmark)))
    fa.append(("factor_return", A.FactorReturnAnalysis()))
    if styles:
        fa.append(("style", A.QuantileStyleAnalysis(quantile=quantile)))
    return fa


def store_has_styles(order_book_ids: Sequence[str], start_date: Any, end_date: Any) -> bool:
    """Whether the market data holds style exposures for some of the instruments in the range."""
    import ostrel

    ids = list(order_book_ids)
    probe = getattr(ostrel, "get_style_factor_exposure", None)
    if probe is None or not ids:
        return False
    # a few instruments over the whole range answer quickly and say whether the table is filled
    for chunk in (ids[:50], ids):
        if probe(chunk, start_date, end_date) is not None:
            return True
        if len(ids) <= 50:
            break
    return False


def headline(name: str, results: Mapping[str, Any], period: str | None = None) -> dict[str, Any]:
    """One summary row for a factor: IC, IR, t-stat, top-minus-bottom, factor-return Sharpe."""
    from .display import summary

    row: dict[str, Any] = {"factor": name}
    ic = results.get("ic")
    if ic is not None:
        s = summary(ic)
        p = period if period in s.index else s.index[0]
        row.update({"period": p, "ic_mean": s.loc[p, "ic_mean"], "ic_ir": s.loc[p, "ir"],
                    "ic_t": s.loc[p, "t_stat"], "ic_positive": s.loc[p, "positive_share"]})
    q = results.get("quantile")
    if q is not None:
        s = summary(q)
        p = row.get("period", s.index.get_level_values(0)[0])
        try:
            row["top_minus_bottom_ann"] = s.loc[(p, "top_minus_bottom"), "annualized_return"]
        except KeyError:
            row["top_minus_bottom_ann"] = math.nan
    fr = results.get("factor_return")
    if fr is not None:
        s = summary(fr)
        p = row.get("period", s.index[0])
        if p in s.index:
            row["factor_sharpe"] = s.loc[p, "sharpe"]
            row["factor_max_dd"] = s.loc[p, "max_drawdown"]
    return row


def _slug(name: str) -> str:
    return re.sub(r"[^A-Za-z0-9_.-]+", "_", name).strip("_") or "factor"


def run_job(
    formulas: Mapping[str, str],
    order_book_ids: Sequence[str],
    start_date: Any,
    end_date: Any,
    periods: Sequence[int] = (1, 5, 20),
    report_dir: str | None = "reports",
    report_paths: Mapping[str, str] | None = None,
    benchmark: str | None = "000300.XSHG",
    industry: str | None = "citics_2019",
    style_factors: Any = None,
    progress: bool = True,
) -> tuple[pd.DataFrame, dict[str, dict[str, Any]]]:
    """Evaluate formulas, run the pipeline on each, write tear sheets.

    Returns the summary table (one row per formula) and the results per formula.
    """
    from tqdm.auto import tqdm

    from zarnik.engine import execute_factors
    from zarnik.formula import parse

    from . import tear_sheet

    factors = {name: parse(text) for name, text in formulas.items()}
    frames = execute_factors(factors, list(order_book_ids), start_date, end_date, progress=progress)
    styles = store_has_styles(order_book_ids, start_date, end_date)
    if not styles:
        print("zarnik: the market data holds no style exposures for these instruments and dates; "
              "skipping the style analysis{}".format(" and style neutralization" if style_factors else ""),
              file=sys.stderr)
    fa = build_assayer(benchmark=benchmark, industry=industry, style_factors=style_factors, styles=styles)
    rows, all_results = [], {}
    bar = tqdm(frames.items(), desc="analysing", unit="factor", disable=not progress, leave=False)
    for name, frame in bar:
        results = fa.analysis(frame, "daily", ascending=False, periods=list(periods))
        all_results[name] = results
        rows.append(headline(name, results, period="P_{}".format(periods[0])))
        path = None
        if report_paths and name in report_paths:
            path = report_paths[name]
        elif report_dir is not None:
            path = os.path.join(report_dir, "{}.html".format(_slug(name)))
        if path is not None:
            tear_sheet(results, path, title="Factor tear sheet: {}".format(name), description=formulas[name])
    table = pd.DataFrame(rows).set_index("factor")
    return table, all_results
