"""Time the column batch of rolling kernels by memory layout.

    python benchmarks/tiles.py                      # the zarnik on sys.path
    python benchmarks/tiles.py OLD_DIR NEW_DIR ...  # builds alternated, each a directory holding zarnik/
    python benchmarks/tiles.py --kernels skew,kurt,zscore OLD_DIR NEW_DIR

For wma, ts_min, ts_rank, ema and skew (or the kernels given) on windows 5, 20 and 250, over a
2,700 x 3,000 float64 panel: the time of ``_apply_columns`` into a preallocated
output (no page faults of fresh results), with C-order input and output, C-order
input and F-order output, and F-order input and C-order output, best of the
repeats; and ``np.copyto`` of the panel as the yardstick (ratio = time / copy).
Also one float64 series of 250,000 values ("1-D", the kernel called on it; its
yardstick ``np.copyto`` of the series).
Given several builds, each round runs every build in its own process in turn
and the best over the rounds is kept; the last column is the first build's time
over each other build's.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time

import numpy as np

KERNELS = tuple(os.environ.get("ZARNIK_TILES_KERNELS", "wma,ts_min,ts_rank,ema,skew").split(","))
WINDOWS = (5, 20, 250)
LAYOUTS = ("C>C", "C>F", "F>C")
L, N, REPEATS, ROUNDS = 2700, 3000, 5, 2
SERIES = 250_000


def best(f, repeats=REPEATS):
    t = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        f()
        t = min(t, time.perf_counter() - t0)
    return t


def measure():
    import zarnik.rolling as R

    rng = np.random.default_rng(0)
    c = 100 + np.cumsum(rng.normal(size=(L, N)), axis=0)
    c[rng.random(c.shape) < 0.01] = np.nan
    f = np.asfortranarray(c)
    oc = np.empty_like(c)
    times = {"copyto": best(lambda: np.copyto(oc, c), 2 * REPEATS)}
    series = np.ascontiguousarray(c.T.ravel()[:SERIES])
    times["copyto 1-D"] = best(lambda: np.copyto(np.empty_like(series), series), 10 * REPEATS)
    for n in WINDOWS:
        oc, of = np.empty((L - n + 1, N)), np.empty((L - n + 1, N), order="F")
        for k in KERNELS:
            for lay in LAYOUTS:
                x = c if lay[0] == "C" else f
                o = oc if lay[2] == "C" else of
                R._apply_columns(k, n, x, out=o)
                times[f"{k} {n} {lay}"] = best(lambda: R._apply_columns(k, n, x, out=o))
            f1 = getattr(R, k)
            times[f"{k} {n} 1-D"] = best(lambda: f1(series, n), 10 * REPEATS)
    return times


def main(dirs):
    if not dirs:
        results = [measure()]
        names = ["this build"]
    else:
        results = [{} for _ in dirs]
        names = dirs
        for _ in range(ROUNDS):
            for i, d in enumerate(dirs):
                env = dict(os.environ, PYTHONPATH=d)
                out = subprocess.run([sys.executable, __file__, "--worker"], env=env, check=True,
                                     capture_output=True, text=True).stdout
                for key, t in json.loads(out).items():
                    results[i][key] = min(results[i].get(key, float("inf")), t)
    with open("/proc/loadavg") as fh:
        print("load average:", fh.read().strip())
    for i, name in enumerate(names):
        print(f"build {i}: {name}   np.copyto {results[i]['copyto'] * 1e3:.2f} ms, "
              f"of the series {results[i]['copyto 1-D'] * 1e3:.3f} ms")
    head = f"{'kernel':>8} {'n':>4} {'layout':>6}"
    for i in range(len(names)):
        head += f" {'ms ' + str(i):>8} {'/copy':>6}"
    for i in range(1, len(names)):
        head += f" {'0/' + str(i):>6}"
    print(head)
    for key in results[0]:
        if key.startswith("copyto"):
            continue
        k, n, lay = key.split()
        base = "copyto 1-D" if lay == "1-D" else "copyto"
        line = f"{k:>8} {n:>4} {lay:>6}"
        for r in results:
            line += f" {r[key] * 1e3:8.2f} {r[key] / r[base]:6.2f}"
        for r in results[1:]:
            line += f" {results[0][key] / r[key]:6.2f}"
        print(line)


if __name__ == "__main__":
    args = sys.argv[1:]
    if args[:1] == ["--kernels"]:
        os.environ["ZARNIK_TILES_KERNELS"] = args[1]  # read again by the worker processes
        KERNELS = tuple(args[1].split(","))
        args = args[2:]
    if args == ["--worker"]:
        print(json.dumps(measure()))
    else:
        main(args)
