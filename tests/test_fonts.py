"""Chinese labels render with real glyphs (no empty boxes) in the report figures."""

from __future__ import annotations

import io
import warnings

import numpy as np
import pandas as pd
import pytest

from zarnik.report import configure_fonts, figures, plot
from zarnik.report.display import figure_to_png
from zarnik.report.fonts import cjk_font_path

LABELS = ["银行", "非银金融", "电子", "医药生物", "食品饮料", "交通运输", "电力设备及新能源"]


def _missing_glyph_warnings(record) -> list[str]:
    return [str(w.message) for w in record if "missing from" in str(w.message) or "Glyph" in str(w.message)]


def test_the_bundled_cjk_font_is_found_and_used():
    assert cjk_font_path() is not None, "the noto-cjk-sans-otc dependency is not installed"
    family = configure_fonts()
    assert family == "Noto Sans CJK SC"
    from matplotlib import font_manager, rcParams

    assert family in rcParams["font.family"]
    # the font matplotlib resolves for the CJK family really has the glyphs
    from matplotlib.ft2font import FT2Font

    path = font_manager.findfont(font_manager.FontProperties(family=family), fallback_to_default=False)
    font = FT2Font(path)
    assert all(font.get_char_index(ord(ch)) for ch in "".join(LABELS))


@pytest.mark.parametrize("where", ["title", "ticks", "legend"])
def test_rendering_chinese_labels_finds_every_glyph(where):
    configure_fonts()
    from matplotlib.figure import Figure

    fig = Figure(figsize=(5, 3))
    ax = fig.subplots()
    if where == "title":
        ax.set_title("因子分析：" + "、".join(LABELS))
        ax.set_xlabel("日期")
    elif where == "ticks":
        ax.barh(range(len(LABELS)), np.arange(len(LABELS)))
        ax.set_yticks(range(len(LABELS)))
        ax.set_yticklabels(LABELS)
    else:
        for name in LABELS[:3]:
            ax.plot([0, 1], [0, 1], label=name)
        ax.legend()
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        fig.savefig(io.BytesIO(), format="png")
    assert _missing_glyph_warnings(record) == []


def test_industry_figure_with_chinese_names_has_no_missing_glyph():
    from types import SimpleNamespace as NS

    dates = pd.bdate_range("2022-01-03", periods=40, name="datetime")
    ic = pd.DataFrame({"P_1": np.linspace(-0.1, 0.1, 40)}, index=dates)
    ind = pd.DataFrame({"P_1": np.linspace(-0.05, 0.05, len(LABELS))}, index=LABELS)
    r = NS(ic=ic, ic_p_value=ic.abs(), ic_decay=None, ic_industry_distribute=ind, name="因子")
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        figure_to_png(plot(r))
        for _, fig in figures(r):
            figure_to_png(fig)
    assert _missing_glyph_warnings(record) == []
