"""From a formula string to an HTML tear sheet.

    zarnik demo --quiet            # once: builds the demo market
    python examples/formula_to_tear_sheet.py
"""

import ostrel
import zarnik
from zarnik.report import tear_sheet
from zarnik.report.job import build_assayer

FORMULA = "-(close / DELAY(close, 5) - 1)"  # short-term reversal

from zarnik.cli import _default_store, _universe

ostrel.init(_default_store())
ids = _universe("2020-01-01", "2021-12-31", None)[:200]
values = zarnik.execute_factor(zarnik.parse(FORMULA), ids, "2020-01-01", "2021-12-31")

fa = build_assayer(benchmark="000300.XSHG", industry="citics_2019")
results = fa.analysis(values, "daily", ascending=False, periods=[1, 5, 20])
print(results["ic"].summary())
print(results["quantile"].summary())
print("written", tear_sheet(results, "reports/example_reversal.html", description=FORMULA))
