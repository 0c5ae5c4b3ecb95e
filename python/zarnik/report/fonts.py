"""CJK-capable fonts for the report figures.

Industry names and docstring-derived titles are Chinese; matplotlib's default font (DejaVu Sans)
has no CJK glyphs and draws them as empty boxes. zarnik depends on the package
``noto-cjk-sans-otc``, which ships the Noto Sans CJK collection (SIL Open Font License). At import
of ``zarnik.report`` that collection is registered with matplotlib and its Simplified Chinese face
is appended to ``font.family``: matplotlib falls back to it glyph by glyph, so Latin text keeps the
user's font and only characters missing there come from Noto Sans CJK.

Without the package (a source checkout, a trimmed install) fonts with CJK glyphs that the system
already has (Debian's ``fonts-noto-cjk``, WenQuanYi, Microsoft YaHei, PingFang ...) are used instead.
"""

from __future__ import annotations

import os
import warnings
from typing import Any

__all__ = ["CJK_FAMILIES", "configure_fonts", "cjk_font_path", "cjk_family", "web_font_css", "WEB_FONT_FAMILY"]

# Families tried, best first: the bundled face, then common system CJK fonts.
CJK_FAMILIES = (
    "Noto Sans CJK SC",
    "Noto Sans SC",
    "Source Han Sans SC",
    "Source Han Sans CN",
    "WenQuanYi Zen Hei",
    "WenQuanYi Micro Hei",
    "Microsoft YaHei",
    "PingFang SC",
    "Hiragino Sans GB",
    "SimHei",
    "Arial Unicode MS",
)

_state: dict[str, Any] = {"done": False, "family": None, "path": None}


def cjk_font_path() -> str | None:
    """The Noto Sans CJK collection of the ``noto-cjk-sans-otc`` package, or None without it."""
    try:
        import noto_cjk_sans_otc  # type: ignore[import-not-found]
    except ImportError:
        return None
    path = os.fspath(noto_cjk_sans_otc.FONT_PATH)
    return path if os.path.isfile(path) else None


def configure_fonts() -> str | None:
    """注册 CJK 字体并加入 matplotlib 的无衬线字体回退列表；返回所用字体族名（找不到时为 None）。

    Idempotent; called once when ``zarnik.report`` is imported. The user's own font choices stay
    first: the CJK family is appended, so it only supplies glyphs the earlier fonts lack.
    """
    if _state["done"]:
        return _state["family"]
    import matplotlib
    from matplotlib import font_manager

    path = cjk_font_path()
    if path is not None:
        try:
            font_manager.fontManager.addfont(path)
            _state["path"] = path
        except (OSError, RuntimeError, ValueError) as exc:  # an unreadable font file must not break imports
            warnings.warn("zarnik.report: could not load the CJK font {} ({}); Chinese labels may show "
                          "as boxes".format(path, exc), RuntimeWarning, stacklevel=2)
    known = {f.name for f in font_manager.fontManager.ttflist}
    family = next((name for name in CJK_FAMILIES if name in known), None)
    if family is not None:
        # matplotlib falls back glyph by glyph over the entries of font.family (a generic entry such as
        # "sans-serif" resolves to one font), so the CJK family goes after the user's own entries
        families = list(matplotlib.rcParams["font.family"])
        if family not in families:
            matplotlib.rcParams["font.family"] = families + [family]
        sans = list(matplotlib.rcParams["font.sans-serif"])
        if family not in sans:
            matplotlib.rcParams["font.sans-serif"] = sans + [family]
    _state.update(done=True, family=family)
    return family


def cjk_family() -> str | None:
    """The CJK family that figures fall back to (None when no CJK font was found)."""
    return configure_fonts()


# ---------------------------------------------------------------------------
# the same glyphs for the HTML text of a tear sheet
# ---------------------------------------------------------------------------
WEB_FONT_FAMILY = "zarnik-cjk"
_SC_FACE = "Noto Sans CJK SC"
_web_cache: dict[frozenset[str], str | None] = {}


def _cjk_chars(text: str) -> frozenset[str]:
    """Characters of CJK blocks (radicals, punctuation, kana, ideographs, full-width forms)."""
    return frozenset(ch for ch in text if ord(ch) >= 0x2E80 and not 0xD800 <= ord(ch) <= 0xDFFF)


def web_font_css(text: str) -> str:
    """An ``@font-face`` rule embedding the Noto Sans CJK SC glyphs that ``text`` uses (a WOFF subset of
    a few kB as a data URL), so the page shows Chinese text offline on machines without CJK fonts.
    Empty when the text has no CJK character or the font (or fontTools) is not available."""
    chars = _cjk_chars(text)
    if not chars:
        return ""
    if chars not in _web_cache:
        _web_cache[chars] = _subset_woff(chars)
    data = _web_cache[chars]
    if not data:
        return ""
    return ("@font-face {{ font-family: '{}'; src: url(data:font/woff;base64,{}) format('woff'); "
            "font-display: block; }}\n".format(WEB_FONT_FAMILY, data))


def _subset_woff(chars: frozenset[str]) -> str | None:
    path = cjk_font_path()
    if path is None:
        return None
    try:
        import base64
        import io

        from fontTools import subset
        from fontTools.ttLib import TTCollection, TTFont

        names = [f["name"].getDebugName(1) for f in TTCollection(path, lazy=True).fonts]
        index = names.index(_SC_FACE) if _SC_FACE in names else 0
        font = TTFont(path, fontNumber=index, lazy=True)
        options = subset.Options()
        options.flavor = "woff"
        options.hinting = False
        subsetter = subset.Subsetter(options)
        subsetter.populate(text="".join(sorted(chars)))
        subsetter.subset(font)
        buf = io.BytesIO()
        font.save(buf)
        return base64.b64encode(buf.getvalue()).decode("ascii")
    except Exception as exc:  # noqa: BLE001 - the page still works with the browser's own fonts
        warnings.warn("zarnik.report: could not embed the CJK font in the page ({}); Chinese text uses the "
                      "browser's fonts".format(exc), RuntimeWarning, stacklevel=3)
        return None
