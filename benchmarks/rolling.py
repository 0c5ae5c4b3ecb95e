"""Speed of the zarnik.rolling kernels against numpy, pandas and bottleneck.

For every kernel, prints the speed ratio (baseline time / zarnik time) against
  (a) the window-matrix formulation in numpy (rolling_window + reductions),
  (b) pandas rolling, where pandas has the statistic natively,
  (c) bottleneck move_*, where bottleneck has the statistic,
for a 1-D series of 2500 dates and a 2500 x 3000 (dates x instruments) panel,
windows 5, 20, 60 and 250, and the peak traced memory of one 2-D call.

In 2-D zarnik runs zarnik.rolling._apply_columns (all columns, threads);
pandas runs DataFrame.rolling and bottleneck move_*(axis=0) on the whole
panel; the numpy formulation is 1-D only, so it is timed on a subset of
columns and scaled to 3000 (marked with *).

    python benchmarks/rolling.py            # full run (a few minutes)
    python benchmarks/rolling.py --quick    # windows 20 and 250 only
    python benchmarks/rolling.py --windows 20 --no-2d   # 1-D at n = 20 only
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time
import tracemalloc
import warnings

import numpy as np
import pandas as pd

try:
    import bottleneck as bn
except ImportError:  # pragma: no cover
    bn = None

import zarnik.rolling as R
from zarnik.utils import rolling_window

warnings.filterwarnings("ignore")
np.seterr(all="ignore")

# ---------------------------------------------------------------------------
# the window-matrix formulations
# ---------------------------------------------------------------------------


def np_skew(s, n):
    s3 = s * s * s
    W, W3 = rolling_window(s, n), rolling_window(s3, n)
    u, us3, std = W.mean(axis=1), W3.mean(axis=1), W.std(axis=1, ddof=0)
    r = (us3 - 3 * u * std * std - u * u * u) / (std * std * std)
    return r * ((n * (n - 1)) ** 0.5 / (n - 2)) if n > 2 else r


def np_kurt(s, n):
    W = rolling_window(s, n)
    r = W - W.mean(axis=1)[:, None]
    r2 = r**2
    m2, m4 = np.sum(r2, axis=1) / n, np.sum(r2**2, axis=1) / n
    return 1.0 / ((n - 2) * (n - 3)) * ((n**2 - 1.0) * m4 / m2**2 - 3 * (n - 1) * (n - 1))


def np_slope(y, n):
    x = np.arange(n, dtype=float)
    sumx = x.sum()
    divisor = sumx * sumx - n * (n * (n - 1) * (2 * n - 1) / 6)
    W = rolling_window(y, n)
    return (W.sum(axis=1) * sumx - n * (W * x).sum(axis=1)) / divisor


def np_ema(x, n):
    alpha = 2.0 / (n + 1)
    weights = alpha * (1 - alpha) ** np.arange(n - 1, -1, -1.0)
    return (rolling_window(x, n) * weights).sum(axis=1)


def np_wma(x, n):
    weights = 2 * np.arange(1, n + 1) / (n * (n + 1))
    return (rolling_window(x, n) * weights).sum(axis=1)


def np_cov(n, a, b):
    ab = a * b
    return rolling_window(ab, n).mean(axis=1) - rolling_window(a, n).mean(axis=1) * rolling_window(b, n).mean(axis=1)


def np_corr(n, a, b):
    ra, rb = rolling_window(a, n), rolling_window(b, n)
    return (rolling_window(a * b, n).mean(axis=1) - ra.mean(axis=1) * rb.mean(axis=1)) / (
        ra.std(axis=1, ddof=0) * rb.std(axis=1, ddof=0)
    )


def np_regression(n, x, y):
    rx, ry = rolling_window(x, n), rolling_window(y, n)
    mx, my = rx.mean(axis=1), ry.mean(axis=1)
    num = rolling_window(x * y, n).sum(axis=1) - mx * my * n
    den = rolling_window(x * x, n).sum(axis=1) - mx * mx * n
    return num / den


NUMPY = {
    "count": lambda x, n: np.sum(rolling_window(x.astype(bool), n), axis=1),
    "ts_rank": lambda x, n: rolling_window(x, n).argsort(axis=-1).argsort(axis=-1)[:, -1] / n,
    "product": lambda x, n: np.prod(rolling_window(x, n), axis=1),
    "zscore": lambda s, n: (s[n - 1 :] - rolling_window(s, n).mean(axis=1)) / rolling_window(s, n).std(axis=1),
    "skew": np_skew,
    "kurt": np_kurt,
    "avedev": lambda s, n: np.abs(rolling_window(s, n).T - rolling_window(s, n).mean(axis=1)).T.mean(axis=1),
    "ts_argmax": lambda x, n: rolling_window(x, n).argmax(axis=-1).astype(float),
    "ts_argmin": lambda x, n: rolling_window(x, n).argmin(axis=-1).astype(float),
    "ma": lambda x, n: rolling_window(x, n).mean(axis=1),
    "ema": np_ema,
    "wma": np_wma,
    "std": lambda x, n: rolling_window(x, n).std(axis=1),
    "var": lambda x, n: rolling_window(x, n).var(axis=1),
    "slope": np_slope,
    "sum": lambda x, n: rolling_window(x, n).sum(axis=1),
    "ts_min": lambda x, n: rolling_window(x, n).min(axis=1),
    "ts_max": lambda x, n: rolling_window(x, n).max(axis=1),
    "covariance": np_cov,
    "correlation": np_corr,
    "regression": np_regression,
}

PAIR = {"covariance", "correlation", "regression"}

# pandas rolling equivalents (same statistic; NaN handling via min_periods = n)
PANDAS = {
    "count": lambda d, n, o: (d != 0).rolling(n).sum(),
    "ts_rank": lambda d, n, o: (d.rolling(n).rank(method="max") - 1) / n,
    "zscore": lambda d, n, o: (d - d.rolling(n).mean()) / d.rolling(n).std(ddof=0),
    "skew": lambda d, n, o: d.rolling(n).skew(),
    "kurt": lambda d, n, o: d.rolling(n).kurt(),
    "ma": lambda d, n, o: d.rolling(n).mean(),
    "std": lambda d, n, o: d.rolling(n).std(ddof=0),
    "var": lambda d, n, o: d.rolling(n).var(ddof=0),
    "sum": lambda d, n, o: d.rolling(n).sum(),
    "ts_min": lambda d, n, o: d.rolling(n).min(),
    "ts_max": lambda d, n, o: d.rolling(n).max(),
    "covariance": lambda d, n, o: d.rolling(n).cov(o, ddof=0),
    "correlation": lambda d, n, o: d.rolling(n).corr(o),
}

BOTTLENECK = {
    "ma": "move_mean",
    "std": "move_std",
    "var": "move_var",
    "sum": "move_sum",
    "ts_min": "move_min",
    "ts_max": "move_max",
    "ts_argmax": "move_argmax",
    "ts_argmin": "move_argmin",
    "ts_rank": "move_rank",
}


def best_time(fn, budget=0.25, max_repeat=5):
    """Best wall time of a few calls (at least one, about `budget` seconds in all)."""
    best = float("inf")
    spent = 0.0
    for _ in range(max_repeat):
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best = min(best, dt)
        spent += dt
        if spent > budget:
            break
    return best


def best_time_small(fn, repeat=9, target=0.003):
    """Best per-call time of short single-threaded calls: each of `repeat`
    rounds runs enough calls back to back to last about `target` seconds.

    Timed with the calling thread's CPU clock, so that time the thread spends
    descheduled on a shared machine does not count; every 1-D call here (numpy,
    pandas, bottleneck and zarnik alike) runs on the calling thread only."""
    clock = time.thread_time
    t0 = clock()
    fn()
    once = clock() - t0
    number = max(1, int(target / max(once, 1e-6)))
    best = float("inf")
    for _ in range(repeat):
        t0 = clock()
        for _ in range(number):
            fn()
        best = min(best, (clock() - t0) / number)
    return best


def peak_traced(fn):
    """Peak of the memory numpy/pandas/Python allocate during one call, in MB.

    tracemalloc sees every numpy array (zarnik's outputs included) but not the
    small scratch buffers of the C++ kernels (a few series per thread)."""
    gc.collect()
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1] / 2**20
    finally:
        tracemalloc.stop()


def fmt_ratio(r):
    return "   -  " if r is None else f"{r:6.1f}"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="windows 20 and 250 only")
    ap.add_argument("--columns", type=int, default=3000)
    ap.add_argument("--dates", type=int, default=2500)
    ap.add_argument("--windows", type=int, nargs="+", help="windows to time (default 5 20 60 250)")
    ap.add_argument("--kernels", nargs="+", choices=sorted(NUMPY), help="kernels to time (default all)")
    ap.add_argument("--no-2d", dest="two_d", action="store_false", help="time the 1-D series only")
    args = ap.parse_args(argv)
    windows = args.windows or ([20, 250] if args.quick else [5, 20, 60, 250])
    kernels = args.kernels or list(NUMPY)
    L, N = args.dates, args.columns

    rng = np.random.default_rng(0)
    cols_made = N if args.two_d else 1
    panel = 100 + np.cumsum(rng.normal(size=(L, cols_made)), axis=0)
    panel[rng.random(panel.shape) < 0.01] = np.nan
    other = 0.5 * panel + rng.normal(size=(L, cols_made)) * 3
    frame, frame_other = pd.DataFrame(panel), pd.DataFrame(other)
    x1, y1 = np.ascontiguousarray(panel[:, 0]), np.ascontiguousarray(other[:, 0])
    sub = 20  # columns timed for the 1-D numpy formulation in 2-D
    shape2 = f"2-D {L} x {N}" if args.two_d else "no 2-D"
    print(f"zarnik.rolling benchmark: 1-D L={L}; {shape2}; threads={os.environ.get('ZARNIK_NUM_THREADS', os.cpu_count())}")
    print("ratios = baseline time / zarnik time (higher is faster); * = numpy timed on "
          f"{sub} columns and scaled to {N}")
    print("floor = zarnik time of one call on a series of n + 4 values (the fixed cost of a call)\n")

    rows = []
    hdr = (f"{'kernel':<12}{'n':>4} | {'floor us':>8} {'1-D us':>8} {'x numpy':>7} {'x pandas':>8} {'x bn':>6}"
           + (f" | {'2-D ms':>8} {'x numpy*':>8} {'x pandas':>8} {'x bn':>6}" if args.two_d else ""))
    print(hdr)
    print("-" * len(hdr))
    for name in kernels:
        kern = getattr(R, name)
        pair = name in PAIR
        for n in windows:
            # 1-D
            tiny_x, tiny_y = x1[: n + 4].copy(), y1[: n + 4].copy()
            if pair:
                floor = best_time_small(lambda: kern(n, tiny_x, tiny_y))
                ours1 = best_time_small(lambda: kern(n, x1, y1))
                np1 = best_time_small(lambda: NUMPY[name](n, x1, y1))
            else:
                floor = best_time_small(lambda: kern(tiny_x, n))
                ours1 = best_time_small(lambda: kern(x1, n))
                np1 = best_time_small(lambda: NUMPY[name](x1, n))
            s1, o1 = pd.Series(x1), pd.Series(y1)
            pd1 = best_time_small(lambda: PANDAS[name](s1, n, o1)) if name in PANDAS else None
            bn1 = None
            if bn is not None and name in BOTTLENECK:
                f = getattr(bn, BOTTLENECK[name])
                bn1 = best_time_small(lambda: f(x1, n))
            r = dict(name=name, n=n, ours1=ours1, floor=floor,
                     np1=np1 / ours1, pd1=None if pd1 is None else pd1 / ours1, bn1=None if bn1 is None else bn1 / ours1,
                     np2=None, pd2=None, bn2=None)
            line = (f"{name:<12}{n:>4} | {floor * 1e6:8.2f} {ours1 * 1e6:8.1f} {fmt_ratio(r['np1']):>7}"
                    f" {fmt_ratio(r['pd1']):>8} {fmt_ratio(r['bn1']):>6}")
            if args.two_d:
                arrays = (panel, other) if pair else (panel,)
                ours2 = best_time(lambda: R._apply_columns(kern, n, *arrays), budget=0.5, max_repeat=3)
                cols = [np.ascontiguousarray(a[:, :sub]) for a in arrays]

                def numpy_cols():
                    for j in range(sub):
                        if pair:
                            NUMPY[name](n, cols[0][:, j], cols[1][:, j])
                        else:
                            NUMPY[name](cols[0][:, j], n)

                np2 = best_time(numpy_cols, budget=0.3, max_repeat=2) * N / sub
                pd2 = (best_time(lambda: PANDAS[name](frame, n, frame_other), budget=0.5, max_repeat=2)
                       if name in PANDAS else None)
                bn2 = None
                if bn is not None and name in BOTTLENECK:
                    f = getattr(bn, BOTTLENECK[name])
                    bn2 = best_time(lambda: f(panel, n, axis=0), budget=0.5, max_repeat=2)
                r.update(ours2=ours2, np2=np2 / ours2, pd2=None if pd2 is None else pd2 / ours2,
                         bn2=None if bn2 is None else bn2 / ours2)
                line += (f" | {ours2 * 1e3:8.1f} {fmt_ratio(r['np2']):>8} {fmt_ratio(r['pd2']):>8}"
                         f" {fmt_ratio(r['bn2']):>6}")
            rows.append(r)
            print(line, flush=True)

    if not args.two_d:
        print("\ntargets")
        bad = [f"{r['name']}@{r['n']} ({r['np1']:.1f}x)" for r in rows if r["n"] == 20 and r["np1"] < 10]
        print("  every kernel >= 10x numpy at n=20 (1-D):", "met" if not bad else "MISSED " + ", ".join(bad))
        return 0

    # peak memory of one 2-D call at n = 20
    print("\npeak traced memory of one 2-D call, n=20 (MB; the output array alone is "
          f"{(L - 19) * N * 8 / 2**20:.0f} MB); numpy: one 1-D column")
    print(f"{'kernel':<12} {'zarnik':>8} {'pandas':>8} {'numpy 1-D':>10}")
    for name in kernels:
        kern = getattr(R, name)
        arrays = (panel, other) if name in PAIR else (panel,)
        ours = peak_traced(lambda: R._apply_columns(kern, 20, *arrays))
        pdm = peak_traced(lambda: PANDAS[name](frame, 20, frame_other)) if name in PANDAS else float("nan")
        col = [np.ascontiguousarray(a[:, 0]) for a in arrays]
        npm = peak_traced(lambda: NUMPY[name](20, *col) if name in PAIR else NUMPY[name](col[0], 20))
        print(f"{name:<12} {ours:8.1f} {pdm:8.1f} {npm:10.2f}")

    # targets
    print("\ntargets")
    bad = [f"{r['name']}@{r['n']}" for r in rows if r["n"] == 20 and (r["np1"] < 10 or r["np2"] < 10)]
    print("  every kernel >= 10x numpy at n=20 (1-D and 2-D):", "met" if not bad else "MISSED " + ", ".join(bad))
    must = {"ma", "sum", "std", "var", "ts_min", "ts_max", "correlation"}
    bad = [f"{r['name']}@{r['n']} ({r['pd2']:.2f}x)" for r in rows
           if r["name"] in must and r["n"] in (20, 250) and r["pd2"] is not None and r["pd2"] < 1]
    print("  2-D ma/sum/std/var/ts_min/ts_max/correlation >= pandas at n=20, 250:", "met" if not bad else "MISSED " + ", ".join(bad))
    return 0


if __name__ == "__main__":
    sys.exit(main())
