"""User errors of the command lines print one clear line and exit 2; --verbose adds the traceback."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    from ostrel.generate import generate

    path = tmp_path_factory.mktemp("cli") / "small.duckdb"
    generate(str(path), instruments=20, start="2021-01-01", end="2021-12-31", seed=3, progress=False)
    return path


def _env() -> dict:
    env = dict(os.environ)
    # the package these tests imported (the source tree after `make inplace`, else the installed one)
    import zarnik

    here = str(Path(zarnik.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join([here, env.get("PYTHONPATH", "")])
    env.pop("OSTREL_DATA", None)
    return env


def _run(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=_env(), cwd=cwd,
                          timeout=300)


def _analyze(formula: str, store: Path, report: Path, *extra: str) -> subprocess.CompletedProcess:
    return _run("-m", "zarnik", "analyze", formula, "--start", "2021-03-01", "--end", "2021-10-01", "--periods",
                "1", "--data", str(store), "--report", str(report), "--quiet", *extra)


def _one_clean_line(proc: subprocess.CompletedProcess, prog: str, *words: str) -> None:
    assert proc.returncode == 2, (proc.returncode, proc.stderr)
    assert "Traceback" not in proc.stderr
    lines = [line for line in proc.stderr.splitlines() if line.strip()]
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith(prog + ":") or lines[0].startswith(prog + " "), lines[0]
    for w in words:
        assert w in lines[0], lines[0]


@pytest.mark.parametrize("formula,words", [
    ("close +", ["formula", "syntax"]),
    ("MA(close, close)", ["MA()", "window", "close"]),
    ("foo(close)", ["foo()", "not an allowed operator"]),
    ("DELAY(close, 100000)", ["100000", "look-back"]),
    ("__import__('os')", ["formula"]),
])
def test_bad_formulas(store, tmp_path, formula, words):
    _one_clean_line(_analyze(formula, store, tmp_path / "r.html"), "zarnik", *words)
    assert not (tmp_path / "r.html").exists()


def test_missing_corrupt_and_busy_store(store, tmp_path):
    _one_clean_line(_analyze("close", tmp_path / "absent.duckdb", tmp_path / "r.html"), "zarnik", "no market data")
    corrupt = tmp_path / "corrupt.duckdb"
    corrupt.write_bytes(os.urandom(4096))
    _one_clean_line(_analyze("close", corrupt, tmp_path / "r.html"), "zarnik", "corrupt.duckdb")
    _one_clean_line(_run("-m", "ostrel", "info", "--path", str(corrupt)), "ostrel", "corrupt.duckdb")
    _one_clean_line(_run("-m", "ostrel", "info", "--path", str(tmp_path / "absent.duckdb")), "ostrel", "absent")
    busy = tmp_path / "busy.duckdb"
    busy.write_bytes(store.read_bytes())
    holder = subprocess.Popen([sys.executable, "-c", "import duckdb, sys, time; c = duckdb.connect(sys.argv[1]); "
                               "print('held', flush=True); time.sleep(60)", str(busy)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "held"
        _one_clean_line(_analyze("close", busy, tmp_path / "r.html"), "zarnik", "busy")
    finally:
        holder.kill()
        holder.wait()


def test_unwritable_report_path(store, tmp_path):
    folder = tmp_path / "a_folder"
    folder.mkdir()
    _one_clean_line(_analyze("close", store, folder), "zarnik", "is a folder")
    blocker = tmp_path / "file"
    blocker.write_text("x")
    _one_clean_line(_analyze("close", store, blocker / "r.html"), "zarnik", "not a folder")
    _one_clean_line(_run("-m", "zarnik", "demo", "--data", str(store), "--out", str(blocker), "--quiet"), "zarnik",
                    "not a folder")


def test_bad_dates_and_verbose_traceback(store, tmp_path):
    proc = _run("-m", "zarnik", "analyze", "close", "--start", "2021-13-01", "--end", "2021-10-01",
                "--data", str(store), "--report", str(tmp_path / "r.html"), "--quiet")
    _one_clean_line(proc, "zarnik", "2021-13-01")
    proc = _run("-m", "zarnik", "analyze", "close", "--start", "2021-13-01", "--end", "2021-10-01",
                "--data", str(store), "--report", str(tmp_path / "r.html"), "--quiet", "--verbose")
    assert proc.returncode == 2 and "Traceback" in proc.stderr and "2021-13-01" in proc.stderr


def test_a_good_run_still_writes_its_report(store, tmp_path):
    proc = _analyze("-(close / DELAY(close, 5) - 1)", store, tmp_path / "out" / "r.html", "--benchmark", "")
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "out" / "r.html").stat().st_size > 10_000
