"""Market-data store benchmark.

Prints the generation time of a synthetic market and the time to load one
daily field for every instrument and date through ``get_price`` (long form,
against pandas reading the same bars from Parquet into a sorted (id, date)
index) and ``get_panel`` (wide form, against read_parquet + pivot), as ratios
measured in the same run.

    PYTHONPATH=python python benchmarks/market_store.py [--instruments 3000 --years 10]
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

import pandas as pd

import ostrel
from ostrel import store
from ostrel.generate import generate


def timed(fn, repeats=3):
    best = float("inf")
    out = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--instruments", type=int, default=3000)
    ap.add_argument("--years", type=int, default=10)
    args = ap.parse_args()
    start, end = "2014-01-01", "{}-12-31".format(2014 + args.years - 1)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.duckdb")
        t0 = time.perf_counter()
        generate(path, args.instruments, start, end, seed=1, progress=False)
        gen = time.perf_counter() - t0
        print("generate {} instruments x {} years: {:.1f} s".format(args.instruments, args.years, gen))
        ostrel.init(path)
        ids = list(ostrel.all_instruments("CS")["order_book_id"])
        dates = ostrel.get_trading_dates(start, end)
        parquet = os.path.join(tmp, "close.parquet")
        store.connection().execute(
            "COPY (SELECT order_book_id, date, close * adj_factor AS close FROM bars) TO '{}' (FORMAT PARQUET)"
            .format(parquet))

        def long_from_parquet():
            df = pd.read_parquet(parquet)
            return df.set_index(["order_book_id", "date"]).sort_index()

        def from_parquet():
            df = pd.read_parquet(parquet)
            return df.pivot(index="date", columns="order_book_id", values="close")

        t_pq_long, _ = timed(long_from_parquet)
        t_pq, _ = timed(from_parquet)
        t_price, _ = timed(lambda: ostrel.get_price(ids, start, end, fields="close", adjust_type="post"))
        t_panel, _ = timed(lambda: ostrel.get_panel(["close"], ids, start, end))
        print("load close, {} instruments x {} dates".format(len(ids), len(dates)))
        print("  pandas read_parquet + sorted (id, date) index  {:7.3f} s".format(t_pq_long))
        print("  pandas read_parquet + pivot                    {:7.3f} s".format(t_pq))
        print("  ostrel.get_price (long)      {:7.3f} s   ratio parquet/ours {:5.2f}".format(
            t_price, t_pq_long / t_price))
        print("  ostrel.get_panel (wide)      {:7.3f} s   ratio parquet/ours {:5.2f}".format(t_panel, t_pq / t_panel))
        store.close()


if __name__ == "__main__":
    main()
