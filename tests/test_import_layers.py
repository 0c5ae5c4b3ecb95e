"""The analysis package never imports the report package; the report package builds on it."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import zarnik


def _run(code: str) -> str:
    env = dict(os.environ)
    # the package these tests imported (the source tree after `make inplace`, else the installed one)
    env["PYTHONPATH"] = os.pathsep.join([str(Path(zarnik.__file__).resolve().parents[1]), env.get("PYTHONPATH", "")])
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


@pytest.mark.parametrize("module", ["zarnik.analysis.assayer", "zarnik.analysis.analysis_result"])
def test_loading_the_analysis_module_imports_no_report_code(module):
    loaded = _run(
        f"import sys, {module}\n"
        "print(sorted(m for m in sys.modules if m.startswith(('zarnik.report', 'matplotlib'))))"
    )
    assert loaded == "[]"


@pytest.mark.parametrize("first, second", [("zarnik.report", "zarnik.analysis.assayer"),
                                           ("zarnik.analysis.assayer", "zarnik.report")])
def test_results_reach_the_report_when_shown_in_either_import_order(first, second):
    code = f"""
import {first}, {second}
import numpy as np, pandas as pd
from zarnik.analysis.analysis_result import FactorReturnAnalysisResult, ResultDisplayMixin
import zarnik.report as report
assert report.ResultDisplayMixin is ResultDisplayMixin
dates = pd.date_range("2024-01-01", periods=30, freq="B")
r = FactorReturnAnalysisResult(factor_returns=pd.Series(np.linspace(-0.01, 0.01, 30), index=dates), name="fr")
assert r.summary().equals(report.summary(r))
print("ok")
"""
    assert _run(code) == "ok"
