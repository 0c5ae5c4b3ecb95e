"""Importer benchmark: validated, transactional import against an unchecked bulk load.

Exports the bars of a synthetic market to CSV and Parquet, then times, in the
same run:
  - baseline: pandas reads the file and DuckDB copies the frame into a new table
    (no checks at all);
  - ``import_files`` of instruments + bars into a new store (full validation);
  - the same bars again into that store (every row replaced by the upsert).
Ratios are import time / baseline time.

    PYTHONPATH=python python benchmarks/ostrel_import.py [--instruments 1000 --years 4]
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

import duckdb
import pandas as pd

from ostrel import generate, importers


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--instruments", type=int, default=1000)
    ap.add_argument("--years", type=int, default=4)
    args = ap.parse_args()
    tables = generate.simulate(args.instruments, "2020-01-01", "{}-12-31".format(2019 + args.years), 0,
                               progress=False)
    n = len(tables["bars"])
    print("bars: {:,d} rows ({} instruments x {} years)".format(n, args.instruments, args.years))
    with tempfile.TemporaryDirectory() as d:
        for fmt in ("csv", "parquet"):
            bars, inst = os.path.join(d, "bars." + fmt), os.path.join(d, "instruments." + fmt)
            if fmt == "csv":
                tables["bars"].to_csv(bars, index=False)
                tables["instruments"].to_csv(inst, index=False)
            else:
                tables["bars"].to_parquet(bars, index=False)
                tables["instruments"].to_parquet(inst, index=False)

            def baseline():
                df = pd.read_csv(bars) if fmt == "csv" else pd.read_parquet(bars)
                con = duckdb.connect(os.path.join(d, "plain_{}.duckdb".format(fmt)))
                con.register("src", df)
                con.execute("CREATE OR REPLACE TABLE bars AS SELECT * FROM src")
                con.close()

            target = os.path.join(d, "store_{}.duckdb".format(fmt))
            base = timed(baseline)
            new = timed(lambda: importers.import_files([("instruments", inst), ("bars", bars)], store=target))
            again = timed(lambda: importers.import_file("bars", bars, store=target))
            print("{:8s} baseline {:6.2f} s | import into new store {:6.2f} s (x{:.2f}) | "
                  "upsert of every row {:6.2f} s (x{:.2f}) | {:,.0f} rows/s".format(
                      fmt, base, new, new / base, again, again / base, n / again))


if __name__ == "__main__":
    main()
