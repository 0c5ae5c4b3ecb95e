"""A tear sheet opened in headless Chromium: it loads offline without console errors, and every
image decodes to a picture with content (not a blank canvas)."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import warnings
from types import SimpleNamespace as NS

import numpy as np
import pandas as pd
import pytest

from zarnik.analysis import assayer
from zarnik.report import tear_sheet

BROWSER = next((shutil.which(b) for b in ("chromium", "chromium-browser", "google-chrome") if shutil.which(b)), None)
pytestmark = pytest.mark.skipif(BROWSER is None, reason="no headless Chromium on this machine (Debian package chromium)")

PROBE = """<script>
window.__errors = [];
window.addEventListener('error', function (e) {
  var t = e.target || {};
  window.__errors.push('error: ' + (e.message || t.src || t.href || 'resource failed'));
}, true);
var __ce = console.error;
console.error = function () { window.__errors.push('console.error: ' + Array.prototype.join.call(arguments, ' ')); };
window.addEventListener('load', function () {
  void document.body.offsetHeight;  // lay the page out: the fonts its text needs start loading
  document.fonts.ready.then(__report);
});
function __report() {
  var out = [];
  for (var k = 0; k < document.images.length; k++) {
    var img = document.images[k];
    var r = {alt: img.alt, complete: img.complete, w: img.naturalWidth, h: img.naturalHeight, distinct: 0, ink: 0};
    try {
      var c = document.createElement('canvas'); c.width = img.naturalWidth; c.height = img.naturalHeight;
      var ctx = c.getContext('2d'); ctx.drawImage(img, 0, 0);
      var d = ctx.getImageData(0, 0, c.width, c.height).data, seen = {}, n = 0, ink = 0;
      for (var i = 0; i < d.length; i += 4) {
        var v = (d[i] << 16) | (d[i + 1] << 8) | d[i + 2];
        if (!seen[v]) { seen[v] = 1; n++; }
        if (d[i] < 200 || d[i + 1] < 200 || d[i + 2] < 200) ink++;
      }
      r.distinct = n; r.ink = ink / (c.width * c.height);
    } catch (e) { r.error = String(e); }
    out.push(r);
  }
  var fonts = [];
  document.fonts.forEach(function (f) { fonts.push({family: f.family, status: f.status}); });
  var pre = document.createElement('pre'); pre.id = 'probe';
  pre.textContent = JSON.stringify({images: out, errors: window.__errors, fonts: fonts,
                                    cjk: document.fonts.check('16px zarnik-cjk', '银行电子')});
  document.body.appendChild(pre);
}
</script>"""


def _chromium(url: str, profile: str, dump: bool) -> subprocess.CompletedProcess:
    cmd = [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
           "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0", "--virtual-time-budget=20000"]
    cmd += ["--dump-dom"] if dump else ["--screenshot=" + os.path.join(profile, "shot.png"),
                                         "--window-size=1280,4000"]
    return subprocess.run(cmd + [url], capture_output=True, text=True, timeout=180)


def _console_lines(stderr: str) -> list[str]:
    return [line for line in stderr.splitlines() if "CONSOLE" in line]


def _probe(path: str, tmp_path) -> dict:
    with open(path, encoding="utf-8") as fh:
        page = fh.read()
    probe = tmp_path / "probe.html"
    probe.write_text(page.replace("<head>", "<head>" + PROBE, 1), encoding="utf-8")
    proc = _chromium(probe.as_uri(), str(tmp_path / "profile-probe"), dump=True)
    m = re.search(r'<pre id="probe">(.*?)</pre>', proc.stdout, re.S)
    assert m, "the page did not finish loading in Chromium:\n" + proc.stderr[-2000:]
    import html

    return json.loads(html.unescape(m.group(1)))


def _results():
    rng = np.random.default_rng(11)
    n, s = 140, 60
    dates = pd.bdate_range("2021-01-04", periods=n, name="datetime")
    cols = pd.Index(["S{:03d}".format(i) for i in range(s)], name="order_book_id")
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(n, s)), index=dates, columns=cols)
    factor = pd.DataFrame(rng.normal(size=(n, s)) + 2 * returns.shift(-1).fillna(0).values, index=dates, columns=cols)
    industry = {c: ["银行", "电子", "医药生物", "食品饮料", "有色金属"][i % 5] for i, c in enumerate(cols)}
    pipeline = assayer.FactorAssayer()
    pipeline.append(("winsorize", assayer.Winzorization(method="mad")))
    pipeline.append(("ic", assayer.ICAnalysis(rank_ic=True, industry_classification=industry, max_decay=6)))
    pipeline.append(("quantile", assayer.QuantileReturnAnalysis(quantile=5)))
    pipeline.append(("factor_return", assayer.FactorReturnAnalysis()))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = pipeline.analysis(factor, returns, periods=[1, 5], ascending=False)
    tags = ["q1", "q2", "q3", "q4", "q5"]
    idx = pd.MultiIndex.from_product([dates, pd.CategoricalIndex(tags, dtype=pd.CategoricalDtype(tags))],
                                     names=["date", "quantile"])
    out["style"] = NS(quantile_exposure=pd.DataFrame(rng.normal(size=(len(idx), 3)), index=idx,
                                                     columns=["beta", "size", "momentum"]), name="style")
    return out


@pytest.fixture(scope="module")
def sheet(tmp_path_factory):
    path = tmp_path_factory.mktemp("sheet") / "factor.html"
    tear_sheet(_results(), path, title="动量因子 tear sheet", description="-(close / DELAY(close, 5) - 1)")
    return str(path)


def test_tear_sheet_loads_without_console_errors(sheet, tmp_path):
    proc = _chromium("file://" + sheet, str(tmp_path / "profile"), dump=True)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert "</html>" in proc.stdout or "</body>" in proc.stdout
    assert _console_lines(proc.stderr) == []
    result = _probe(sheet, tmp_path)
    assert result["errors"] == []


def test_chinese_text_of_the_page_uses_the_embedded_font(sheet, tmp_path):
    result = _probe(sheet, tmp_path)
    assert {"family": "zarnik-cjk", "status": "loaded"} in [
        {"family": f["family"].strip("'\""), "status": f["status"]} for f in result["fonts"]]
    assert result["cjk"] is True


def test_every_image_is_decoded_and_not_blank(sheet, tmp_path):
    result = _probe(sheet, tmp_path)
    images = result["images"]
    # coverage, six IC panels, six quantile panels, factor return, style exposure
    assert len(images) == 15
    for img in images:
        assert "error" not in img, img
        assert img["complete"] and img["w"] > 100 and img["h"] > 100, img
        assert img["distinct"] > 8, img  # axes, text and data, not a flat canvas
        assert img["ink"] > 0.002, img


def test_the_checks_catch_a_broken_page(tmp_path):
    """The probe reports a missing image, a blank image and a script error, so the tests above can fail."""
    import base64
    import io

    from matplotlib.figure import Figure

    buf = io.BytesIO()
    Figure(figsize=(3, 2)).savefig(buf, format="png")  # a blank white picture
    blank = base64.b64encode(buf.getvalue()).decode()
    page = tmp_path / "broken.html"
    page.write_text('<!DOCTYPE html><html><head><meta charset="utf-8"><link rel="icon" href="data:,"></head><body>'
                    '<img alt="missing" src="nowhere.png"/><img alt="blank" src="data:image/png;base64,{}"/>'
                    "<script>console.error('boom')</script></body></html>".format(blank), encoding="utf-8")
    proc = _chromium(page.as_uri(), str(tmp_path / "profile"), dump=True)
    assert _console_lines(proc.stderr)
    result = _probe(str(page), tmp_path)
    assert any("nowhere.png" in e for e in result["errors"])
    assert any("boom" in e for e in result["errors"])
    by_alt = {i["alt"]: i for i in result["images"]}
    assert by_alt["missing"]["w"] == 0
    assert by_alt["blank"]["distinct"] <= 2
