"""Compare two builds of zarnik.rolling bit for bit on the kernels built on block sums.

    python benchmarks/rolling_bits.py OLD_PYTHON_DIR NEW_PYTHON_DIR [--calls 20000] [--seed 1]
    python benchmarks/rolling_bits.py DIR DIR --no-avx2 second   # AVX2 against SSE2 paths

Each side runs in its own process with PYTHONPATH=<dir> (a package tree holding
the built modules, e.g. a copy of python/ with another build's .so files) and
makes the same calls: random series (normal values at scales 1e-200 .. 1e200,
offsets, ties, +-0, NaN, +-inf, values near the largest double) of length 1 to
3,000, windows 1 to 40, through the 1-D kernels and through _apply_columns on
one column with a `last` that moves the block grid. Every call's output is
hashed; the script prints how many calls were compared and which differ.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import warnings

import numpy as np

SINGLE = ("sum", "ma", "var", "std", "zscore", "skew", "kurt", "avedev", "ema", "wma", "slope")
PAIR = ("covariance", "correlation", "regression")


def series(rng, L):
    kind = rng.integers(7)
    scale = 10.0 ** float(rng.choice([-200, -100, -8, 0, 3, 100, 200]))
    x = rng.standard_normal(L) * scale
    if rng.random() < 0.3:
        x += scale * 1e6  # large offset, small spread
    if kind == 1:
        x = np.round(x / scale * 2) * scale  # ties
    if kind == 2:
        x[rng.random(L) < 0.2] = rng.choice([0.0, -0.0])
    if kind == 3:
        x[rng.random(L) < 0.05] = rng.choice([1.7e308, -1.7e308])
    if kind == 4:
        x[:] = x[0]  # constant
    if kind != 0:
        x[rng.random(L) < rng.random() * 0.1] = np.nan
        x[rng.random(L) < rng.random() * 0.05] = rng.choice([np.inf, -np.inf])
    return x


def worker(calls, seed):
    import zarnik.rolling as R

    rng = np.random.default_rng(seed)
    out = []
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        done = 0
        while done < calls:
            L = int(rng.integers(1, 3001 if rng.random() < 0.2 else 301))
            n = int(rng.integers(1, min(L, 40) + 1))
            a, b = series(rng, L), series(rng, L)
            last = int(rng.integers(-10**6, 10**6))
            for name in SINGLE + PAIR:
                args = (n, a, b) if name in PAIR else (a, n)
                cols = (a[:, None], b[:, None]) if name in PAIR else (a[:, None],)
                for r in (getattr(R, name)(*args), R._apply_columns(name, n, *cols, last=last)):
                    out.append(hashlib.blake2b(np.ascontiguousarray(r, dtype=np.float64).tobytes(),
                                               digest_size=12).hexdigest())
                    done += 1
    json.dump(out, sys.stdout)


def run_side(path, calls, seed, no_avx2):
    env = {k: v for k, v in os.environ.items() if k != "ZARNIK_NO_AVX2"}
    env["PYTHONPATH"] = os.path.abspath(path)
    if no_avx2:
        env["ZARNIK_NO_AVX2"] = "1"
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", str(calls), str(seed)],
                          env=env, capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def main(argv=None):
    if argv is None and len(sys.argv) == 4 and sys.argv[1] == "--worker":
        return worker(int(sys.argv[2]), int(sys.argv[3]))
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("first")
    p.add_argument("second")
    p.add_argument("--calls", type=int, default=20000)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--no-avx2", choices=("first", "second"), default=None,
                   help="run that side with ZARNIK_NO_AVX2=1")
    args = p.parse_args(argv)
    one = run_side(args.first, args.calls, args.seed, args.no_avx2 == "first")
    two = run_side(args.second, args.calls, args.seed, args.no_avx2 == "second")
    assert len(one) == len(two)
    diff = [i for i, (u, v) in enumerate(zip(one, two)) if u != v]
    print(f"{len(one)} calls compared ({', '.join(SINGLE + PAIR)}; 1-D and one column with last), "
          f"{len(diff)} differ" + (f": first at call {diff[0]}" if diff else ""))
    return 1 if diff else 0


if __name__ == "__main__":
    sys.exit(main())
