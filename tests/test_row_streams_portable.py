"""The portable scalar row stream (built where SSE2 is missing) against the 1-D kernel.

The extension on x86-64 always runs the vector streams, so the scalar one is compiled here
from the same headers with ``__SSE2__`` undefined, and tests/cpp/row_streams.cpp checks every
streamed kernel's columns bit for bit, with their conditions, against single columns
(ill-conditioned, overflowing, constant and infinite columns among them).
"""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
COMPILER = shutil.which("g++") or shutil.which("c++")


@pytest.mark.skipif(COMPILER is None, reason="no C++ compiler on this machine")
def test_scalar_row_stream_gives_the_bits_of_single_columns(tmp_path):
    exe = tmp_path / "row_streams"
    # -O0 keeps the build short; the arithmetic is IEEE double either way (no contraction)
    build = subprocess.run([COMPILER, "-std=c++20", "-O0", "-ffp-contract=off", "-pthread", "-U__SSE2__",
                            f"-I{ROOT / 'cpp' / 'include'}", str(ROOT / "tests" / "cpp" / "row_streams.cpp"),
                            "-o", str(exe)], capture_output=True, text=True)
    assert build.returncode == 0, build.stderr[-3000:]
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout[-3000:]
    assert run.stdout.strip().endswith("600 panels, 0 mismatches"), run.stdout
