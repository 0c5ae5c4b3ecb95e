"""Command line: ``zarnik demo``, ``zarnik analyze FORMULA``, ``zarnik mine FORMULAS_FILE`` and
``zarnik alphas list|show``."""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import traceback
from collections.abc import Sequence
from typing import Any

DEMO_INSTRUMENTS = 300
DEMO_START = "2019-01-01"
DEMO_END = "2023-12-31"
DEMO_SEED = 7
BENCHMARK = "000300.XSHG"


def _default_store() -> str:
    """Store location: OSTREL_DATA, else the client's own default, else a per-user data dir."""
    env = os.environ.get("OSTREL_DATA")
    if env:
        return env
    import ostrel

    for attr in ("default_data_path", "default_path", "DEFAULT_PATH"):
        v = getattr(ostrel, attr, None)
        if v is not None:
            try:
                return os.fspath(v() if callable(v) else v)
            except Exception:
                pass
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "ostrel", "market.duckdb")


def _ensure_store(path: str, instruments: int, start: str, end: str, seed: int, quiet: bool) -> None:
    """Generate the synthetic demo market into ``path`` when it does not exist yet."""
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(os.path.abspath(path)) or ".", exist_ok=True)
        print("creating the demo market at {} ({} instruments, {} to {}) ...".format(path, instruments, start, end),
              file=sys.stderr)
        cmd = [sys.executable, "-m", "ostrel", "generate", "--out", path, "--instruments", str(instruments),
               "--start", start, "--end", end, "--seed", str(seed)]
        proc = subprocess.run(cmd, stdout=subprocess.DEVNULL if quiet else None)
        if proc.returncode != 0 or not os.path.exists(path):
            raise SystemExit("zarnik: generating the demo market failed (exit code {})".format(proc.returncode))
    import ostrel

    ostrel.init(path)


def _universe(start: str, end: str, spec: str | None) -> list[str]:
    """Instrument ids: a comma list, a file with one id per line, or all stocks of the store."""
    if spec:
        if os.path.exists(spec):
            with open(spec, encoding="utf-8") as fh:
                ids = [line.strip() for line in fh if line.strip() and not line.startswith("#")]
        else:
            ids = [s.strip() for s in spec.split(",") if s.strip()]
        if not ids:
            raise SystemExit("zarnik: --universe names no instruments")
        return ids
    import ostrel

    lister = getattr(ostrel, "all_instruments", None)
    if lister is None:
        raise SystemExit("zarnik: the market-data client cannot list instruments; pass --universe")
    df = lister(type="CS") if _accepts(lister, "type") else lister()
    if hasattr(df, "columns") and "type" in df.columns:
        df = df[df["type"] == "CS"]
    ids = list(df["order_book_id"]) if hasattr(df, "columns") else [getattr(i, "order_book_id", i) for i in df]
    if not ids:
        raise SystemExit("zarnik: the store holds no stocks")
    return sorted(ids)


def _accepts(fn: Any, name: str) -> bool:
    import inspect

    try:
        return name in inspect.signature(fn).parameters
    except (TypeError, ValueError):
        return False


def _periods(text: str) -> list[int]:
    try:
        out = [int(x) for x in text.split(",") if x.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError("periods: expected comma-separated integers such as 1,5,20") from None
    if not out or any(p < 1 for p in out):
        raise argparse.ArgumentTypeError("periods: expected positive integers such as 1,5,20")
    return out


def _print_table(table: Any) -> None:
    import pandas as pd

    with pd.option_context("display.width", 160, "display.max_columns", 20, "display.float_format",
                           "{:.4f}".format):
        print(table)


def cmd_demo(args: argparse.Namespace) -> int:
    from .report.job import DEMO_FORMULAS, run_job

    _check_writable(args.out, "folder")
    path = args.data or _default_store()
    _ensure_store(path, args.instruments, args.start, args.end, args.seed, args.quiet)
    ids = _universe(args.start, args.end, args.universe)
    import ostrel

    dates = ostrel.get_trading_dates(args.start, args.end)
    # leave room for the longest look-back and the longest holding period
    start = dates[min(80, len(dates) // 4)]
    end = dates[max(len(dates) - 1 - max(args.periods), len(dates) // 2)]
    print("evaluating {} formulas over {} instruments, {} to {}".format(len(DEMO_FORMULAS), len(ids), start, end),
          file=sys.stderr)
    table, _ = run_job(DEMO_FORMULAS, ids, start, end, periods=args.periods, report_dir=args.out,
                       benchmark=BENCHMARK, progress=not args.quiet)
    _print_table(table)
    print("tear sheets written to {}".format(os.path.abspath(args.out)))
    return 0


def cmd_analyze(args: argparse.Namespace) -> int:
    from .formula import FormulaError, parse
    from .report.job import run_job

    try:
        parse(args.formula)
    except FormulaError as e:
        raise SystemExit("zarnik: {}".format(e)) from None
    _check_writable(args.report, "file")
    path = args.data or _default_store()
    if not os.path.exists(path):
        raise SystemExit("zarnik: no market data at {} (run `zarnik demo` or pass --data)".format(path))
    import ostrel

    ostrel.init(path)
    ids = _universe(args.start, args.end, args.universe)
    name = args.name or "factor"
    table, _ = run_job({name: args.formula}, ids, args.start, args.end, periods=args.periods, report_dir=None,
                       report_paths={name: args.report}, benchmark=args.benchmark or None,
                       progress=not args.quiet)
    _print_table(table)
    print("tear sheet written to {}".format(os.path.abspath(args.report)))
    return 0


def cmd_mine(args: argparse.Namespace) -> int:
    from .mining import FactorStore, mine, read_formulas

    try:
        formulas = read_formulas(args.formulas)
    except (OSError, ValueError, TypeError) as e:
        raise SystemExit("zarnik: {}".format(e)) from None
    path = args.data or _default_store()
    if not os.path.exists(path):
        raise SystemExit("zarnik: no market data at {} (run `zarnik demo` or pass --data)".format(path))
    import ostrel

    ostrel.init(path)
    ids = _universe(args.start, args.end, args.universe)
    store: Any = False if args.no_store else (FactorStore(args.factor_store) if args.factor_store else None)
    try:
        table = mine(formulas, ids, args.start, args.end, periods=args.periods, max_corr=args.max_corr,
                     batch_size=args.batch_size, workers=args.workers, scheduler=args.scheduler,
                     factor_store=store, keep_values=not args.no_values, rank_by=args.rank_by,
                     instrument_shards=args.shards,
                     progress=not args.quiet)
    except (ValueError, TypeError, ImportError, OSError) as e:
        raise SystemExit("zarnik: {}".format(e)) from None
    out = args.out
    os.makedirs(os.path.dirname(os.path.abspath(out)) or ".", exist_ok=True)
    if out.lower().endswith(".parquet"):
        table.to_parquet(out)
    else:
        table.to_csv(out)
    failed = int(table["error"].notna().sum())
    shown = table.drop(columns=["formula", "warnings", "error"]).head(args.top)
    _print_table(shown)
    print("{} formulas, {} failed, {} read from the factor store; leaderboard written to {}".format(
        len(table), failed, int(table["cached"].sum()), os.path.abspath(out)))


def cmd_alphas(args: argparse.Namespace) -> int:
    from . import alphas

    if args.action == "list":
        try:
            chosen = alphas.names(args.family)
        except ValueError as e:
            raise SystemExit("zarnik: {}".format(e)) from None
        width = max(len(n) for n in chosen)
        fam = max(len(alphas.get(n).family) for n in chosen)
        for n in chosen:
            a = alphas.get(n)
            print("{:<{w}}  {:<{f}}  {}".format(n, a.family, a.formula, w=width, f=fam))
        print("{} formulas; families: {}".format(len(chosen), ", ".join(alphas.families())), file=sys.stderr)
        return 0
    if not args.names:
        raise SystemExit("zarnik: alphas show needs at least one name, e.g. zarnik alphas show alpha001")
    for n in args.names:
        try:
            a = alphas.get(n)
        except KeyError as e:
            raise SystemExit("zarnik: {}".format(e.args[0])) from None
        print("{} ({})".format(a.name, a.family))
        if a.description:
            print("  {}".format(a.description))
        print("  paper:   {}".format(a.paper))
        print("  formula: {}".format(a.formula))
    return 0


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="zarnik", description="Factor research: formulas, analysis, tear sheets.")
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser("demo", help="build the demo market if needed, analyse classic factors, write reports")
    d.add_argument("--data", help="market store path (default: $OSTREL_DATA or the per-user data dir)")
    d.add_argument("--out", default="reports", help="folder for the tear sheets (default: reports)")
    d.add_argument("--instruments", type=int, default=DEMO_INSTRUMENTS)
    d.add_argument("--start", default=DEMO_START)
    d.add_argument("--end", default=DEMO_END)
    d.add_argument("--seed", type=int, default=DEMO_SEED)
    d.add_argument("--universe", help="comma-separated ids or a file with one id per line (default: all stocks)")
    d.add_argument("--periods", type=_periods, default=[1, 5, 20])
    d.add_argument("--quiet", action="store_true", help="no progress bars")
    d.add_argument("--verbose", action="store_true", help="print the traceback of an error")
    d.set_defaults(func=cmd_demo)
    a = sub.add_parser("analyze", help="analyse one formula and write its tear sheet")
    a.add_argument("formula", help='e.g. "-(close / DELAY(close, 5) - 1)"')
    a.add_argument("--start", required=True)
    a.add_argument("--end", required=True)
    a.add_argument("--universe", help="comma-separated ids or a file with one id per line (default: all stocks)")
    a.add_argument("--periods", type=_periods, default=[1, 5, 20])
    a.add_argument("--report", default="reports/factor.html", help="output HTML path")
    a.add_argument("--benchmark", default=BENCHMARK, help="index id for excess returns ('' for none)")
    a.add_argument("--name", help="factor name shown in the report")
    a.add_argument("--data", help="market store path")
    a.add_argument("--quiet", action="store_true", help="no progress bars")
    a.add_argument("--verbose", action="store_true", help="print the traceback of an error")
    a.set_defaults(func=cmd_analyze)
    m = sub.add_parser("mine", help="screen a file of formulas into a leaderboard (one row per formula)")
    m.add_argument("formulas", help="file with one formula per line (`name = formula` or just the formula; "
                                    "# comments) or a .json object name -> formula")
    m.add_argument("--start", required=True)
    m.add_argument("--end", required=True)
    m.add_argument("--periods", type=_periods, default=[1, 5, 20])
    m.add_argument("--universe", help="comma-separated ids or a file with one id per line (default: all stocks)")
    m.add_argument("--out", default="leaderboard.csv", help="leaderboard file, .csv or .parquet "
                                                             "(default: leaderboard.csv)")
    where = m.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, help="run on a local Dask cluster of N worker processes")
    where.add_argument("--scheduler", help="run on an existing Dask cluster, e.g. tcp://host:8786")
    m.add_argument("--max-corr", type=float, help="keep only factors whose correlation with the kept ones "
                                                  "stays below this (greedy by IC IR)")
    m.add_argument("--rank-by", default="ic_ir", help="leaderboard order, by absolute value (default: ic_ir; "
                                                      "or ic_t, ic_mean, top_minus_bottom_ann)")
    m.add_argument("--batch-size", type=int, help="formulas evaluated together (default: by panel size)")
    m.add_argument("--shards", type=int, default=1, help="evaluate column-wise formulas over this many "
                                                         "instrument shards (very wide universes; default: 1)")
    m.add_argument("--factor-store", help="factor store folder (default: beside the market store, "
                                          "or $ZARNIK_FACTOR_STORE)")
    m.add_argument("--no-store", action="store_true", help="neither read nor write the factor store")
    m.add_argument("--no-values", action="store_true", help="store summaries only, not factor values")
    m.add_argument("--top", type=int, default=20, help="rows of the leaderboard to print (default: 20)")
    m.add_argument("--data", help="market store path")
    m.add_argument("--quiet", action="store_true")
    m.add_argument("--verbose", action="store_true", help="print the traceback of an error")
    m.set_defaults(func=cmd_mine)
    al = sub.add_parser("alphas", help="list or show the shipped formula library (101 alphas, classic factors)")
    al.add_argument("action", choices=["list", "show"])
    al.add_argument("names", nargs="*", help="names for show, e.g. alpha001 momentum_20")
    al.add_argument("--family", help="only this family for list (alpha101, momentum, reversal, ...)")
    al.add_argument("--verbose", action="store_true", help="print the traceback of an error")
    al.set_defaults(func=cmd_alphas)
    return p


def _check_writable(path: str, what: str) -> None:
    """Fail before the long evaluation when ``path`` (a file, or a folder with is_dir) cannot be written."""
    target = os.path.abspath(path)
    folder = target if what == "folder" else os.path.dirname(target)
    probe = folder
    while probe and not os.path.exists(probe):
        parent = os.path.dirname(probe)
        if parent == probe:
            break
        probe = parent
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise SystemExit("zarnik: cannot write to {}: {} is not a folder".format(path, folder))
    if what == "file" and os.path.isdir(target):
        raise SystemExit("zarnik: cannot write the report to {}: it is a folder".format(path))
    if not os.path.isdir(probe) or not os.access(probe, os.W_OK | os.X_OK):
        raise SystemExit("zarnik: cannot write to {}: {} is not writable".format(path, probe))


# Errors a user's input can cause (a formula, a store, a path, dates); anything else is reported as
# unexpected. Both print one line; --verbose adds the traceback.
_USER_ERRORS: tuple[type[BaseException], ...] = (ValueError, TypeError, LookupError, OSError, AssertionError,
                                                 RuntimeError, ArithmeticError)


def _user_error_types() -> tuple[type[BaseException], ...]:
    extra: list[type[BaseException]] = []
    try:
        from .exception import ZarnikError

        extra.append(ZarnikError)
    except ImportError:  # pragma: no cover
        pass
    try:
        import duckdb

        extra.append(duckdb.Error)
    except ImportError:  # pragma: no cover
        pass
    return _USER_ERRORS + tuple(extra)


def _message(exc: BaseException) -> str:
    text = str(exc).strip() or type(exc).__name__
    if "Could not set lock on file" in text:
        text = "the market-data store is busy: another process has it open for writing ({})".format(text)
    return " ".join(text.split()) if len(text) < 2000 else text[:2000] + " ..."


def run_command(prog: str, func: Any, args: Any, verbose: bool) -> int:
    """Runs one command: a user error prints one line ``prog: message`` and gives exit code 2
    (``--verbose`` prints the traceback as well); Ctrl-C gives 130."""
    try:
        return int(func(args) or 0)
    except SystemExit as exc:
        if exc.code is None or isinstance(exc.code, int):
            return int(exc.code or 0)
        print(str(exc.code), file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("{}: interrupted".format(prog), file=sys.stderr)
        return 130
    except Exception as exc:  # noqa: BLE001 - the command line reports every failure in one line
        if verbose:
            traceback.print_exc()
        known = isinstance(exc, _user_error_types()) or type(exc).__name__ == "FormulaError"
        kind = "" if known else "unexpected error ({}): ".format(type(exc).__name__)
        hint = "" if verbose else " (run with --verbose for the traceback)"
        print("{}: {}{}{}".format(prog, kind, _message(exc), hint), file=sys.stderr)
        return 2


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    return run_command("zarnik", args.func, args, bool(getattr(args, "verbose", False)))


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
