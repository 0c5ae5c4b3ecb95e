"""Benchmark driver for the analysis pipeline.

    PYTHONPATH=python python benchmarks/pipeline.py [--dates 2500] [--instruments 3000] [--only-own]

Times the preprocessing steps owned here against a plain pandas formulation of
the same steps on one synthetic panel (Student-t values, 5 % missing):

* Winzorization "mad", "std", "percentile" vs row-wise bounds from
  ``DataFrame.median`` / ``mean`` + ``std`` / ``quantile`` and ``clip``;
* Normalization vs ``df.sub(df.mean(1), axis=0).div(df.std(1), axis=0)``.

Each line prints both times (best of --repeat runs), the ratio pandas / zarnik
and the largest difference between the two results. Afterwards every sibling
script ``benchmarks/pipeline_*.py`` is run as a subprocess with the same
--dates / --instruments, so each step's benchmark lives in its own file.
"""

from __future__ import annotations

import argparse
import glob
import os
import subprocess
import sys
import time
from typing import Callable

import numpy as np
import pandas as pd

from zarnik.analysis import assayer

K_MAD = 3 * 1.4826


def pandas_mad(df: pd.DataFrame) -> pd.DataFrame:
    med = df.median(axis=1)
    mad = df.sub(med, axis=0).abs().median(axis=1)
    return df.clip(lower=med - K_MAD * mad, upper=med + K_MAD * mad, axis=0)


def pandas_std(df: pd.DataFrame) -> pd.DataFrame:
    mean, std = df.mean(axis=1), df.std(axis=1)
    return df.clip(lower=mean - 3 * std, upper=mean + 3 * std, axis=0)


def pandas_percentile(df: pd.DataFrame) -> pd.DataFrame:
    q = df.quantile([0.025, 0.975], axis=1)
    return df.clip(lower=q.iloc[0], upper=q.iloc[1], axis=0)


def pandas_normalize(df: pd.DataFrame) -> pd.DataFrame:
    out = df.sub(df.mean(axis=1), axis=0).div(df.std(axis=1), axis=0)
    return out.where(lambda x: ~np.isinf(x), 0)


def best_time(fn: Callable[[], pd.DataFrame], repeat: int) -> tuple[float, pd.DataFrame]:
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--instruments", type=int, default=3000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only-own", action="store_true", help="skip the sibling pipeline_*.py scripts")
    args = parser.parse_args()

    rng = np.random.default_rng(20240607)
    values = rng.standard_t(3, size=(args.dates, args.instruments))
    values[rng.random(values.shape) < 0.05] = np.nan
    df = pd.DataFrame(
        values,
        index=pd.bdate_range("2010-01-04", periods=args.dates, name="datetime"),
        columns=pd.Index([f"{i:06d}.XSHE" for i in range(args.instruments)], name="order_book_id"),
    )
    print(f"preprocessing, {args.dates} dates x {args.instruments} instruments, best of {args.repeat}")
    print(f"{'step':<24}{'pandas s':>10}{'zarnik s':>10}{'ratio':>8}{'max |diff|':>14}")
    cases = [
        ("winsorize mad", lambda: assayer.Winzorization("mad").process(df), lambda: pandas_mad(df)),
        ("winsorize std", lambda: assayer.Winzorization("std").process(df), lambda: pandas_std(df)),
        ("winsorize percentile", lambda: assayer.Winzorization("percentile").process(df), lambda: pandas_percentile(df)),
        ("normalize", lambda: assayer.Normalization().process(df), lambda: pandas_normalize(df)),
    ]
    ratios = []
    for name, ours, theirs in cases:
        t_ours, r_ours = best_time(ours, args.repeat)
        t_pd, r_pd = best_time(theirs, args.repeat)
        diff = np.nanmax(np.abs(r_ours.to_numpy() - r_pd.to_numpy()))
        same_nan = np.array_equal(np.isnan(r_ours.to_numpy()), np.isnan(r_pd.to_numpy()))
        ratios.append(t_pd / t_ours)
        note = "" if same_nan else "  (NaN positions differ!)"
        print(f"{name:<24}{t_pd:>10.3f}{t_ours:>10.3f}{t_pd / t_ours:>7.1f}x{diff:>14.2e}{note}")
    print(f"geometric mean ratio: {np.exp(np.mean(np.log(ratios))):.1f}x")
    sys.stdout.flush()

    if args.only_own:
        return 0
    here = os.path.dirname(os.path.abspath(__file__))
    status = 0
    for script in sorted(glob.glob(os.path.join(here, "pipeline_*.py"))):
        print(f"\n=== {os.path.basename(script)} ===", flush=True)
        cmd = [sys.executable, script, "--dates", str(args.dates), "--instruments", str(args.instruments)]
        rc = subprocess.call(cmd)
        if rc != 0:
            print(f"{os.path.basename(script)} exited with status {rc}")
            status = rc
    return status


if __name__ == "__main__":
    sys.exit(main())
