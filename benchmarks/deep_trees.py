"""Deep and long factor trees: build time, peak memory, walks and evaluation depth.

    PYTHONPATH=python python benchmarks/deep_trees.py            # chains of 100,000 operators
    PYTHONPATH=python python benchmarks/deep_trees.py --n 20000  # a quicker run

Every measurement runs in a child process of its own, so its peak RSS
(``ru_maxrss`` less the RSS before the measured step) is its own. Each is
printed next to a baseline measured in the same run:

* building ``f = f + 1`` n times, and ``sum()`` over 6,000 distinct leaves,
  against a plain Python list of n tuples ``(leaf, 1.0, "add")`` built in a
  loop (the least any tree of n nodes can hold) and against a chain of plain
  Python objects holding what a binary node and its constant hold;
* reading ``repr``, ``expr``, ``dependencies`` and ``shift`` of that chain,
  against building the tuple list;
* evaluating the chain with ``execute_factor`` at several depths, against the
  same number of ``x = x + 1.0`` steps on the numpy panel;
* 7,000 nested ``MA(f, 1)`` and ``DELAY(f, 1)``: walks and evaluation.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPEATS = 3  # build times are the best of this many runs (peak memory: the first run)


def _rss_mb() -> float:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def _peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def _market(n_dates: int = 250, n_ids: int = 50):
    sys.path.insert(0, HERE)
    from engine import install_market, make_panel  # the engine benchmark's in-memory market

    cal, ids, frames = make_panel(n_dates, n_ids)
    install_market(cal, ids, frames)
    return cal, ids, frames


def child(what: str, n: int) -> dict:
    import zarnik
    from zarnik import rolling as R
    from zarnik.interface import UserDefinedLeafFactor
    from zarnik.operators import DELAY

    f = zarnik.Factor("close")
    out: dict = {}
    before = _rss_mb()
    if what == "tuples":
        times = []
        for _ in range(REPEATS):
            t = time.perf_counter()
            items = []
            for _ in range(n):
                items.append((f, 1.0, "add"))
            times.append(time.perf_counter() - t)
            del items
        out["seconds"] = min(times)
    elif what == "pyclass":

        class Node:
            """A plain Python node holding what a binary node holds."""

            def __init__(self, func, arg1, arg2):
                self._func = func
                self._arg1 = arg1
                self._arg2 = arg2
                self._shift = 0
                self._repr_args = ("add", arg1, "1")

        times = []
        for _ in range(REPEATS):
            t = time.perf_counter()
            g = f
            for _ in range(n):
                g = Node(None, g, Node(None, 1.0, None))
            times.append(time.perf_counter() - t)
            del g
        out["seconds"] = min(times)
    elif what == "chain":
        times = []
        for r in range(REPEATS):
            t = time.perf_counter()
            g = f
            for _ in range(n):
                g = g + 1
            times.append(time.perf_counter() - t)
            if r == 0:
                out["build_mb"] = _peak_mb() - before
            if r < REPEATS - 1:
                del g
        out["seconds"] = min(times)
        for name, read in (("repr", repr), ("expr", lambda x: x.expr),
                           ("dependencies", lambda x: x.dependencies), ("shift", lambda x: x.shift)):
            t = time.perf_counter()
            value = read(g)
            out[name] = time.perf_counter() - t
            if name == "repr":
                out["repr_chars"] = len(value)
            del value
    elif what == "sum":
        leaves = [UserDefinedLeafFactor("u{}".format(i), len) for i in range(n)]
        before = _rss_mb()
        t = time.perf_counter()
        s = sum(leaves)
        out["seconds"] = time.perf_counter() - t
        out["build_mb"] = _peak_mb() - before
        t = time.perf_counter()
        deps = s.dependencies
        out["dependencies"] = time.perf_counter() - t
        assert len(deps) == n
    elif what == "eval":
        import numpy as np
        from zarnik.engine import execute_factor

        cal, ids, frames = _market()
        g = f
        for _ in range(n):
            g = g + 1.0
        t = time.perf_counter()
        got = execute_factor(g, ids, cal[0], cal[-1], progress=False)
        out["seconds"] = time.perf_counter() - t
        x = frames["close"].to_numpy()
        t = time.perf_counter()
        y = x
        for _ in range(n):
            y = y + 1.0
        out["numpy"] = time.perf_counter() - t
        assert np.allclose(got.to_numpy(), y, equal_nan=True)
    elif what in ("ma", "delay"):
        import numpy as np
        from zarnik.engine import execute_factor

        cal, ids, frames = _market(n + 100 if what == "delay" else 250)
        sys.setrecursionlimit(10_000)
        g = f
        t = time.perf_counter()
        for _ in range(n):
            g = R.MA(g, 1) if what == "ma" else DELAY(g, 1)
        out["build"] = time.perf_counter() - t
        t = time.perf_counter()
        shift = g.shift
        g.expr
        repr(g)
        out["walks"] = time.perf_counter() - t
        t = time.perf_counter()
        got = execute_factor(g, ids, cal[-20], cal[-1], progress=False)
        out["seconds"] = time.perf_counter() - t
        close = frames["close"].to_numpy()
        want = close[len(close) - 20 - (shift if what == "delay" else 0):][:20]
        assert np.allclose(got.to_numpy(), want, equal_nan=True)
    out["peak_mb"] = _peak_mb() - before
    return out


def run(what: str, n: int) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (os.path.join(HERE, "..", "python"), env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, __file__, "--child", what, "--n", str(n)],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit("{} (n={}) failed:\n{}".format(what, n, proc.stderr[-3000:]))
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=100_000, help="chain length (default 100000)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.n)))
        return

    n = args.n
    base = run("tuples", n)
    pyc = run("pyclass", n)
    chain = run("chain", n)
    print("== building f = f + 1, n = {:,} (best of {} runs)".format(n, REPEATS))
    print("  {:<44} {:>9} {:>11}".format("", "seconds", "peak MB"))
    print("  {:<44} {:>9.3f} {:>11.1f}".format("baseline: list of n tuples", base["seconds"], base["peak_mb"]))
    print("  {:<44} {:>9.3f} {:>11.1f}".format("baseline: chain of plain Python objects", pyc["seconds"],
                                               pyc["peak_mb"]))
    print("  {:<44} {:>9.3f} {:>11.1f}".format("chain of n operators", chain["seconds"], chain["build_mb"]))
    print("  chain / tuples: time {:.1f}x, memory {:.1f}x; chain / plain objects: time {:.1f}x, memory {:.1f}x"
          .format(chain["seconds"] / base["seconds"], chain["build_mb"] / max(base["peak_mb"], 1e-9),
                  chain["seconds"] / pyc["seconds"], chain["build_mb"] / max(pyc["peak_mb"], 1e-9)))
    print("  goal < 1 s and < 200 MB: {:.3f} s, {:.1f} MB".format(chain["seconds"], chain["build_mb"]))
    print("== walks of that chain (seconds; baseline builds the n tuples in {:.3f} s)".format(base["seconds"]))
    for name in ("repr", "expr", "dependencies", "shift"):
        print("  {:<14} {:>9.3f}   {:>6.1f}x baseline".format(name, chain[name], chain[name] / base["seconds"]))
    print("  repr text: {:,} characters; peak MB of build and walks: {:.1f}".format(chain["repr_chars"],
                                                                                 chain["peak_mb"]))

    m = min(n, 6000)
    s = run("sum", m)
    print("== sum() over {:,} distinct leaves: {:.3f} s, {:.1f} MB; dependencies in {:.3f} s".format(
        m, s["seconds"], s["build_mb"], s["dependencies"]))

    print("== execute_factor of the chain (250 dates x 50 instruments) vs the same steps in numpy")
    print("  {:>9} {:>11} {:>11} {:>8} {:>11}".format("depth", "engine s", "numpy s", "ratio", "peak MB"))
    for depth in sorted({1_000, 10_000, n}):
        e = run("eval", depth)
        print("  {:>9,} {:>11.3f} {:>11.3f} {:>7.1f}x {:>11.1f}".format(
            depth, e["seconds"], e["numpy"], e["seconds"] / e["numpy"], e["peak_mb"]))

    print("== 7,000 nested nodes, recursion limit 10,000 (last 20 dates evaluated)")
    for what, label in (("ma", "MA(f, 1)"), ("delay", "DELAY(f, 1)")):
        r = run(what, 7000)
        print("  {:<12} build {:.3f} s, shift + expr + repr {:.3f} s, execute_factor {:.3f} s, peak {:.1f} MB".format(
            label, r["build"], r["walks"], r["seconds"], r["peak_mb"]))


if __name__ == "__main__":
    main()
