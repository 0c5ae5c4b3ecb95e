"""The demo job end to end over a generated store."""

import base64
import re

from zarnik.cli import main


def test_demo_job_over_generated_store(small_store, tmp_path, capsys):
    out = tmp_path / "reports"
    rc = main(["demo", "--data", str(small_store), "--out", str(out), "--start", "2021-03-01",
               "--end", "2022-06-30", "--periods", "1,5", "--quiet"])
    assert rc == 0
    printed = capsys.readouterr().out
    row = next(line for line in printed.splitlines() if line.startswith("reversal_5d") and "P_1" in line)
    ic_mean = float(row.split()[2])
    assert ic_mean > 0.0, row  # the planted short-term reversal shows up
    pages = list(out.glob("*.html"))
    assert pages
    html = pages[0].read_text(encoding="utf-8")
    images = re.findall(r"data:image/png;base64,([A-Za-z0-9+/=]+)", html)
    assert images and all(base64.b64decode(img).startswith(b"\x89PNG") for img in images)
