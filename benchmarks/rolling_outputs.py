"""Store or compare the outputs of every zarnik.rolling kernel on the benchmark panels.

    python benchmarks/rolling_outputs.py save  OUT.npz   # with the build to compare against
    python benchmarks/rolling_outputs.py check OUT.npz   # with the build under test

The inputs are the panels of benchmarks/rolling.py (a random walk around 100
with 1 % NaN, and a second series correlated with it) on fewer columns, in
float64, float32, int64 and bool, 1-D and through the column batch (C and
Fortran order, with and without ``last``), windows 1, 2, 5, 20, 60 and 250.
``check`` reports the largest difference per kernel and fails above 1e-12
(relative) or on any dtype, shape or NaN-position difference.
"""

from __future__ import annotations

import sys
import warnings

import numpy as np

import zarnik.rolling as R

PAIR = ("covariance", "correlation", "regression")
SINGLE = ("count", "ts_rank", "product", "zscore", "skew", "kurt", "avedev", "ts_argmax", "ts_argmin", "ma",
          "ema", "wma", "std", "var", "slope", "sum", "ts_min", "ts_max")
WINDOWS = (1, 2, 5, 20, 60, 250)


def inputs():
    rng = np.random.default_rng(0)
    L, N = 2500, 64
    panel = 100 + np.cumsum(rng.normal(size=(L, N)), axis=0)
    panel[rng.random(panel.shape) < 0.01] = np.nan
    other = 0.5 * panel + rng.normal(size=(L, N)) * 3
    ints = rng.integers(-3, 4, size=(L, N))
    return {
        "f64": (panel, other),
        "f32": (panel.astype(np.float32), other.astype(np.float32)),
        "i64": (ints, rng.integers(-3, 4, size=(L, N))),
        "bool": (ints > 0, ints < 0),
    }


def outputs():
    res = {}
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for tag, (a, b) in inputs().items():
            for name in SINGLE + PAIR:
                kern = getattr(R, name)
                for n in WINDOWS:
                    if name in PAIR:
                        res[f"{name}/{tag}/{n}/1d"] = kern(n, a[:, 0], b[:, 0])
                        res[f"{name}/{tag}/{n}/C"] = R._apply_columns(kern, n, a, b)
                        res[f"{name}/{tag}/{n}/F"] = R._apply_columns(name, n, np.asfortranarray(a),
                                                                      np.asfortranarray(b), last=12345)
                    else:
                        res[f"{name}/{tag}/{n}/1d"] = kern(a[:, 0], n)
                        res[f"{name}/{tag}/{n}/C"] = R._apply_columns(kern, n, a)
                        res[f"{name}/{tag}/{n}/F"] = R._apply_columns(name, n, np.asfortranarray(a), last=12345)
    return res


def main(argv):
    if len(argv) != 2 or argv[0] not in ("save", "check"):
        print(__doc__)
        return 2
    res = outputs()
    if argv[0] == "save":
        np.savez_compressed(argv[1], **{k.replace("/", "|"): v for k, v in res.items()})
        print(f"saved {len(res)} outputs to {argv[1]}")
        return 0
    ref = {k.replace("|", "/"): v for k, v in np.load(argv[1]).items()}
    worst: dict[str, float] = {}
    bad = []
    for key, want in ref.items():
        got = res[key]
        name = key.split("/")[0]
        if got.dtype != want.dtype or got.shape != want.shape:
            bad.append(f"{key}: {got.dtype}{got.shape} != {want.dtype}{want.shape}")
            continue
        if got.dtype.kind != "f":
            diff = float(np.any(got != want))
        else:
            g, w = got.astype(np.float64), want.astype(np.float64)
            if not np.array_equal(np.isnan(g), np.isnan(w)):
                bad.append(f"{key}: NaN positions differ")
                continue
            ok = np.isfinite(w)
            with np.errstate(all="ignore"):
                diff = np.abs(g[ok] - w[ok]) / np.maximum(1.0, np.abs(w[ok]))
                diff = float(np.nan_to_num(diff, nan=np.inf).max()) if diff.size else 0.0
            if not np.array_equal(g[np.isinf(w)], w[np.isinf(w)]) or not np.isfinite(g[ok]).all():
                diff = np.inf
        worst[name] = max(worst.get(name, 0.0), diff)
        if diff > 1e-12:
            bad.append(f"{key}: max relative difference {diff:.3g}")
    for name in SINGLE + PAIR:
        print(f"{name:<12} max relative difference {worst.get(name, 0.0):.3g}")
    print(f"{len(ref)} outputs compared; {len(bad)} differ")
    for line in bad[:40]:
        print("  " + line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
