"""Command line: ``python -m ostrel generate --out PATH``, ``python -m ostrel import KIND FILE``
and ``python -m ostrel info``."""

from __future__ import annotations

import argparse
import sys
import traceback


def main(argv: list[str] | None = None) -> int:
    """Runs one command; an error prints one line ``ostrel CMD: message`` and gives exit code 2
    (``--verbose`` prints the traceback as well)."""
    args = _parser().parse_args(argv)
    try:
        return _run(args)
    except KeyboardInterrupt:
        print("ostrel: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # noqa: BLE001 - the command line reports every failure in one line
        if args.verbose:
            traceback.print_exc()
        text = " ".join((str(exc).strip() or type(exc).__name__).split())
        hint = "" if args.verbose else " (run with --verbose for the traceback)"
        print("ostrel {}: {}{}".format(args.cmd, text, hint), file=sys.stderr)
        return 2


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m ostrel", description="embedded market-data store")
    sub = parser.add_subparsers(dest="cmd", required=True)
    g = sub.add_parser("generate", help="fill a new store with a synthetic A-share market")
    g.add_argument("--out", required=True)
    g.add_argument("--instruments", type=int, default=500)
    g.add_argument("--start", default="2016-01-01")
    g.add_argument("--end", default="2024-12-31")
    g.add_argument("--seed", type=int, default=0)
    m = sub.add_parser("import", help="load your own data (CSV or Parquet) into a store, validated and atomic")
    m.add_argument("kind", choices=["bars", "instruments", "industry", "styles", "calendar"])
    m.add_argument("file")
    m.add_argument("--path", default=None, help="store file (default: $OSTREL_DATA or the per-user store); "
                                                  "created if missing")
    m.add_argument("--source", choices=["citics_2019", "sws"], default=None,
                   help="industry classification of the file (default: sws if it has a version column)")
    m.add_argument("--quiet", action="store_true", help="no progress bar")
    i = sub.add_parser("info", help="print what the store holds")
    i.add_argument("--path", default=None)
    for sp in (g, m, i):
        sp.add_argument("--verbose", action="store_true", help="print the traceback of an error")
    return parser


def _run(args: argparse.Namespace) -> int:
    if args.cmd == "import":
        return _import(args)
    if args.cmd == "generate":
        from .generate import generate
        from .store import StoreError

        try:
            generate(args.out, args.instruments, args.start, args.end, args.seed)
        except (ValueError, StoreError) as e:
            print("ostrel generate: {}".format(e), file=sys.stderr)
            return 2
        print("wrote {}".format(args.out))
        return 0
    from . import store

    try:
        store.init(args.path)
        counts = store.verify()  # reads the whole file: damage anywhere is reported here
        lo, hi = store.connection().execute("SELECT min(date), max(date) FROM calendar").fetchone()
    except (store.StoreError, FileNotFoundError) as e:
        print("ostrel info: {}".format(e), file=sys.stderr)
        return 2
    print("store            {}".format(store._configured_path()))
    for table in ("calendar", "instruments", "bars", "styles", "industry_citics", "industry_sws"):
        print("{:16s} {:>12,d} rows".format(table, counts[table]))
    print("dates            {} to {}".format(lo, hi))
    return 0


def _import(args: argparse.Namespace) -> int:
    from .importers import InvalidImportFile, StoreError, import_file

    if args.source is not None and args.kind != "industry":
        print("ostrel import: --source applies to industry files only", file=sys.stderr)
        return 2
    try:
        report = import_file(args.kind, args.file, store=args.path, source=args.source, progress=not args.quiet)
    except (InvalidImportFile, StoreError, FileNotFoundError, ValueError) as e:
        print("ostrel import: {}".format(e), file=sys.stderr)
        return 2
    print(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
