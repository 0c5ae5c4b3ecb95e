"""Command line: ``python -m ostrel generate --out PATH`` and ``python -m ostrel info``."""

from __future__ import annotations

import argparse
import sys


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m ostrel", description="embedded market-data store")
    sub = parser.add_subparsers(dest="cmd", required=True)
    g = sub.add_parser("generate", help="fill a new store with a synthetic A-share market")
    g.add_argument("--out", required=True)
    g.add_argument("--instruments", type=int, default=500)
    g.add_argument("--start", default="2016-01-01")
    g.add_argument("--end", default="2024-12-31")
    g.add_argument("--seed", type=int, default=0)
    i = sub.add_parser("info", help="print what the store holds")
    i.add_argument("--path", default=None)
    args = parser.parse_args(argv)
    if args.cmd == "generate":
        from .generate import generate

        try:
            generate(args.out, args.instruments, args.start, args.end, args.seed)
        except ValueError as e:
            print("ostrel generate: {}".format(e), file=sys.stderr)
            return 2
        print("wrote {}".format(args.out))
        return 0
    from . import store

    try:
        store.init(args.path)
        con = store.connection()
    except FileNotFoundError as e:
        print(e, file=sys.stderr)
        return 2
    for table in ("calendar", "instruments", "bars", "styles", "industry_citics", "industry_sws"):
        n = con.execute("SELECT count(*) FROM {}".format(table)).fetchone()[0]
        print("{:16s} {:>12,d} rows".format(table, n))
    lo, hi = con.execute("SELECT min(date), max(date) FROM calendar").fetchone()
    print("dates            {} to {}".format(lo, hi))
    return 0


if __name__ == "__main__":
    sys.exit(main())
