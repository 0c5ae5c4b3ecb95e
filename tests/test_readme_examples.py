"""The README's Python examples run as written against a generated store.

Every ```python block of README.md runs, in order and in one namespace, in a fresh interpreter
whose home directory holds the demo store where `zarnik demo` puts it (so the `~` in the
example's path must be expanded) and whose working directory holds the same store as
`market.duckdb`. A block fenced as ```python no-run is shown but not run. Coverage warnings are
errors here: an example that silently analyses nothing fails.
"""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
_BLOCK = re.compile(r"^```python([^\n]*)\n(.*?)^```", re.S | re.M)


def _blocks() -> list[str]:
    return [body for info, body in _BLOCK.findall(README.read_text(encoding="utf-8"))
            if "no-run" not in info]


@pytest.fixture(scope="module")
def demo_home(tmp_path_factory):
    from ostrel.generate import generate

    home = tmp_path_factory.mktemp("home")
    store = home / ".local" / "share" / "ostrel" / "market.duckdb"
    store.parent.mkdir(parents=True)
    # the demo market's shape (zarnik demo's defaults), so the README's figures apply
    generate(str(store), instruments=300, start="2019-01-01", end="2023-12-31", seed=7, progress=False)
    work = home / "work"
    work.mkdir()
    (work / "market.duckdb").symlink_to(store)
    return home, work


def test_readme_has_examples():
    assert len(_blocks()) >= 2


def test_readme_examples_run_and_find_the_signal(demo_home):
    home, work = demo_home
    script = textwrap.dedent("""
        import warnings
        from zarnik.exception import DataCoverageWarning
        warnings.simplefilter("error", DataCoverageWarning)
        ns = {"__name__": "__readme__"}
        for i, block in enumerate(BLOCKS):
            try:
                exec(compile(block, "README block %d" % (i + 1), "exec"), ns)
            except Exception as e:
                raise SystemExit("README block %d failed: %s: %s" % (i + 1, type(e).__name__, e))
        first = ns["first_results"]
        ic = first["ic"].summary()
        assert ic.loc["P_1", "n_dates"] > 200, ic
        assert ic.loc["P_1", "ic_mean"] > 0.005 and ic.loc["P_1", "t_stat"] > 3, ic
        q = first["quantile"].summary()
        assert "note" not in q.columns, q
        print("ok", ic.loc["P_1", "ic_mean"])
    """)
    blocks = _blocks()
    # keep the first example's results apart from the later blocks, which reuse the name
    blocks.insert(1, "first_results = results\n")
    env = {k: v for k, v in os.environ.items() if k not in ("OSTREL_DATA", "XDG_DATA_HOME")}
    env["HOME"] = str(home)
    env["MPLBACKEND"] = "Agg"
    # the child runs elsewhere: relative import paths (PYTHONPATH=python in development) made absolute
    paths = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    if paths:
        env["PYTHONPATH"] = os.pathsep.join(paths)
    proc = subprocess.run([sys.executable, "-c", "BLOCKS = %r\n%s" % (blocks, script)], cwd=work, env=env,
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.strip().splitlines()[-1].startswith("ok"), proc.stdout
    assert (work / "reports" / "reversal.html").exists()
