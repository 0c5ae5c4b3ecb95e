"""Inputs that once killed the interpreter, each run in a child process.

Every reproducer must end with a Python result or a Python exception: a child that dies from a
signal (segfault, abort, "terminate called ...") or hangs fails the test. Under `make sanitize`
the children inherit the sanitizer runtime, so an out-of-bounds access fails them too.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

SANITIZED = bool(os.environ.get("ZARNIK_SANITIZED"))
TIMEOUT = 600 if SANITIZED else 180

PRELUDE = """
import json, os, sys
import numpy as np
import pandas as pd
from zarnik.analysis import assayer

def frames(t, n, seed=0):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2022-01-03", periods=t, name="datetime")
    ids = pd.Index([f"S{i:03d}" for i in range(n)], name="order_book_id")
    factor = pd.DataFrame(rng.normal(size=(t, n)), index=dates, columns=ids)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(t, n)), index=dates, columns=ids)
    return factor, returns

def report(**kwargs):
    print("RESULT " + json.dumps(kwargs))
"""


def run_child(body: str, **env: str) -> dict:
    """Runs PRELUDE + body in a fresh interpreter; returns what it reported."""
    code = PRELUDE + textwrap.dedent(body)
    child_env = dict(os.environ, **env)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=TIMEOUT,
                          env=child_env)
    assert proc.returncode >= 0, f"child killed by signal {-proc.returncode}:\n{proc.stderr[-3000:]}"
    assert proc.returncode == 0, f"child failed (exit {proc.returncode}):\n{proc.stderr[-3000:]}"
    lines = [line for line in proc.stdout.splitlines() if line.startswith("RESULT ")]
    assert lines, f"child reported nothing:\n{proc.stdout[-2000:]}\n{proc.stderr[-2000:]}"
    return json.loads(lines[-1][len("RESULT "):])


@pytest.mark.parametrize("threads", ["1", "4"])
@pytest.mark.parametrize("t", [10, 40])
def test_factor_return_huge_period(threads, t):
    out = run_child(f"""
        factor, returns = frames({t}, 8)
        res = assayer.FactorReturnAnalysis().analysis(factor, returns, [1, 2**62]).factor_returns
        one = assayer.FactorReturnAnalysis().analysis(factor, returns, [1]).factor_returns
        report(columns=list(res.columns), finite=bool(np.isfinite(res.to_numpy()).all()),
               same_p1=bool(res["P_1"].equals(one["P_1"])), rows=len(res))
    """, ZARNIK_NUM_THREADS=threads)
    assert out == {"columns": ["P_1", "P_4611686018427387904"], "finite": True, "same_p1": True, "rows": t}


def test_factor_return_long_period_memory_stays_with_the_data():
    """periods=[1, 10**6] on 250 dates used to take 8 x dates x period bytes (2 GB)."""
    out = run_child("""
        import resource
        factor, returns = frames(250, 30)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        res = assayer.FactorReturnAnalysis().analysis(factor, returns, [1, 10**6]).factor_returns
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        report(grown_mb=(after - before) / 1024, columns=list(res.columns))
    """, ZARNIK_NUM_THREADS="2")
    assert out["columns"] == ["P_1", "P_1000000"]
    assert out["grown_mb"] < 100


# Thread creation fails once the address space is capped just above what the process already
# maps: each worker needs its own stack. The result must be that of an unconstrained run.
@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves its shadow memory outside any cap")
@pytest.mark.parametrize("headroom_mb", [4, 24])
def test_thread_creation_failure_falls_back_to_the_calling_thread(headroom_mb):
    out = run_child(f"""
        import re, resource
        factor, returns = frames(3000, 8)
        step = assayer.FactorReturnAnalysis()
        want = step.analysis(factor, returns, [1, 5]).factor_returns
        qwant = assayer.QuantileReturnAnalysis(quantile=3).analysis(factor, returns, [1, 5]).quantile_returns
        vm = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1)) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + {headroom_mb} * 2**20, resource.RLIM_INFINITY))
        got = step.analysis(factor, returns, [1, 5]).factor_returns
        qgot = assayer.QuantileReturnAnalysis(quantile=3).analysis(factor, returns, [1, 5]).quantile_returns
        import threading, time
        failed, started = 0, []
        for _ in range(16):  # the cap does stop new threads
            th = threading.Thread(target=time.sleep, args=(0.5,))
            try:
                th.start()
                started.append(th)
            except RuntimeError:
                failed += 1
        for th in started:
            th.join()
        report(same=bool(got.equals(want)), qsame=bool(qgot.equals(qwant)), refused=failed > 0)
    """, ZARNIK_NUM_THREADS="16")
    assert out == {"same": True, "qsame": True, "refused": True}


def test_ic_max_decay_far_beyond_the_dates():
    """ICAnalysis(max_decay=10**6) on 21 dates used to run for minutes."""
    out = run_child("""
        import time
        factor, returns = frames(21, 10)
        start = time.perf_counter()
        big = assayer.ICAnalysis(max_decay=10**6).analysis(factor, returns, [1, 5]).ic_decay
        seconds = time.perf_counter() - start
        small = assayer.ICAnalysis(max_decay=21).analysis(factor, returns, [1, 5]).ic_decay
        report(same=bool(big.equals(small)), seconds=seconds)
    """)
    assert out["same"]
    assert out["seconds"] < 60


@pytest.mark.parametrize("quantile", [10**5, 10**6, 2**64])
def test_quantile_style_huge_quantile_is_refused(quantile):
    out = run_child(f"""
        factor, _ = frames(10, 5)
        try:
            assayer.QuantileStyleAnalysis(quantile={quantile}).analysis(factor, None, [1])
        except ValueError as e:
            report(error=str(e))
    """)
    assert out["error"].startswith("quantile: expect at most max(number of instruments, 100) = 100 groups")


@pytest.mark.parametrize("kind", ["FactorReturnAnalysis()", "QuantileReturnAnalysis()", "ICAnalysis()"])
@pytest.mark.parametrize("periods", ["[]", "[1, 1]", "[2**64]"])
def test_degenerate_periods_end_in_a_result_or_an_exception(kind, periods):
    out = run_child(f"""
        import warnings
        warnings.simplefilter("ignore")
        factor, returns = frames(12, 4)
        try:
            res = assayer.{kind}.analysis(factor, returns, {periods})
            report(summary_rows=len(res.summary()))
        except ValueError as e:
            report(error=str(e))
    """)
    if periods == "[]":
        assert out["error"].startswith("periods: expect at least one positive integer holding period")
    elif periods == "[2**64]" and kind == "QuantileReturnAnalysis()":
        assert out["error"] == "Invalid periods, must be less than 12"
    else:
        assert out["summary_rows"] > 0


def test_shuffled_dates_are_refused_not_miscounted():
    out = run_child("""
        factor, returns = frames(40, 6)
        order = np.random.default_rng(2).permutation(40)
        messages = []
        for step in (assayer.FactorReturnAnalysis(), assayer.QuantileReturnAnalysis(), assayer.ICAnalysis()):
            try:
                step.analysis(factor.iloc[order], returns.iloc[order], [1, 5])
            except ValueError as e:
                messages.append(str(e).split(":")[0])
        report(messages=messages)
    """)
    assert out["messages"] == ["factor_data"] * 3
