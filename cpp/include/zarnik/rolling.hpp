// Rolling-window kernels over one instrument's series.
//
// Every kernel reads a contiguous series of length L and writes the L - n + 1
// values of its trailing windows of length n (output i belongs to input
// position i + n - 1). Callers validate 1 <= n <= L.
//
// Semantics are those of the plain window-matrix formulas (mean, std, sums of
// products along each window row): NaN anywhere in a window makes the
// arithmetic statistics NaN for that window only, infinities propagate the way
// IEEE arithmetic propagates them. Every kernel is O(L) (ts_rank O(L n), O(L log L)
// for long windows, avedev O(L n)), with no O(L n) temporaries:
//   * sums come from per-block prefix and suffix scans (see block_sums), so
//     each window's sums hold exactly its own values, round at most n times
//     and inherit no rounding from values that left the window;
//   * terms are taken about an anchor that is a value of the window, and a
//     window whose raw moments would cancel badly is recomputed about its
//     own mean in double-double arithmetic, so large offsets with tiny
//     spread stay accurate;
//   * windows holding an infinity are evaluated directly from their values;
//   * min / max / product / argmax / argmin fold prefix and suffix blocks.
// Nothing depends on the thread a series runs on: each kernel is a fixed
// sequence of operations on its own series. Nor does a window's value depend
// on how much history precedes it: the blocks are laid out from the end of the
// series (or from a position the caller fixes, see first_block), so dropping
// leading values leaves every remaining window's bits unchanged.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <type_traits>
#include <vector>

#include "zarnik/simd.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// AVX2 paths are compiled for x86-64 and taken when simd::avx2_allowed says so
// (the processor has AVX2, ZARNIK_NO_AVX2 is not set at run time); defining
// ZARNIK_NO_AVX2 at build time leaves them out. They give the same results.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
#include <immintrin.h>
#endif

namespace zarnik::rolling {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------
// double-double arithmetic (hi + lo, about 106 significant bits)
// ---------------------------------------------------------------------------
struct dd {
    double hi = 0.0, lo = 0.0;
};

inline dd two_sum(double a, double b) {
    double s = a + b;
    double bb = s - a;
    double e = (a - (s - bb)) + (b - bb);
    return {s, e};
}

inline dd fast_two_sum(double a, double b) {
    double s = a + b;
    return {s, b - (s - a)};
}

inline dd two_prod(double a, double b) {
    double p = a * b;
#if defined(__FMA__)
    return {p, std::fma(a, b, -p)};
#else
    constexpr double split = 134217729.0;  // 2^27 + 1
    double t = split * a;
    double ah = t - (t - a), al = a - ah;
    t = split * b;
    double bh = t - (t - b), bl = b - bh;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
#endif
}

inline dd operator-(dd a) { return {-a.hi, -a.lo}; }

inline dd operator+(dd a, dd b) {
    dd s = two_sum(a.hi, b.hi);
    dd t = two_sum(a.lo, b.lo);
    s = fast_two_sum(s.hi, s.lo + t.hi);
    return fast_two_sum(s.hi, s.lo + t.lo);
}
inline dd operator-(dd a, dd b) { return a + (-b); }

inline dd operator+(dd a, double b) {
    dd s = two_sum(a.hi, b);
    return fast_two_sum(s.hi, s.lo + a.lo);
}
inline dd operator-(dd a, double b) { return a + (-b); }

inline dd operator*(dd a, double b) {
    dd p = two_prod(a.hi, b);
    return fast_two_sum(p.hi, p.lo + a.lo * b);
}

inline dd operator*(dd a, dd b) {
    dd p = two_prod(a.hi, b.hi);
    return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

inline dd operator/(dd a, double b) {
    double q1 = a.hi / b;
    dd r = a - two_prod(q1, b);
    double q2 = r.hi / b;
    return fast_two_sum(q1, q2);
}

inline dd operator/(dd a, dd b) {
    double q1 = a.hi / b.hi;
    dd r = a - b * q1;
    double q2 = r.hi / b.hi;
    r = r - b * q2;
    double q3 = r.hi / b.hi;
    return fast_two_sum(q1, q2) + q3;
}

inline bool finite(dd a) { return std::isfinite(a.hi) && std::isfinite(a.lo); }

// Exact sum of a window (as double-double) and its rounded mean.
inline dd dd_sum(const double* w, std::size_t n) {
    dd s;
    for (std::size_t j = 0; j < n; ++j) s = s + w[j];
    return s;
}

template <class T>
inline bool is_nan(T v) {
    if constexpr (std::is_floating_point_v<T>) {
        return v != v;
    } else {
        return false;
    }
}

// ---------------------------------------------------------------------------
// Per-window exact evaluation of the floating-point statistics.
//
// A State evaluates one window i at a time:
//   rebuild(i)            recompute its sums for window i from the values
//   value(i)              the statistic of window i from those sums
//   naive(i)              the statistic straight from the documented formula
//                         (windows holding an infinity, overflow)
// The block engine below produces most windows; States serve the windows it
// hands back (ill-conditioned sums, non-finite values).
// ---------------------------------------------------------------------------

// ---- plain sums: sum, ma --------------------------------------------------
struct SumState {
    const double* x;
    std::size_t n;
    bool mean;
    double naive(std::size_t i) const {
        double t = 0.0;
        for (std::size_t j = 0; j < n; ++j) t += x[i + j];
        return mean ? t / double(n) : t;
    }
};

// ---- central moments: var, std, zscore, skew, kurt ------------------------
enum class MomentStat { var, std, zscore, skew, kurt };

template <int K>
struct Moments {
    double c = 0.0;  // anchor
    dd s[K];         // sums of (x - c)^k, k = 1..K

    void powers(double v, dd* p) const {
        p[0] = two_sum(v, -c);
        if constexpr (K >= 2) p[1] = p[0] * p[0];
        if constexpr (K >= 3) p[2] = p[1] * p[0];
        if constexpr (K >= 4) p[3] = p[1] * p[1];
    }
    void add(double v) {
        dd p[K];
        powers(v, p);
        for (int k = 0; k < K; ++k) s[k] = s[k] + p[k];
    }
    void rebuild(const double* w, std::size_t n) {
        c = (dd_sum(w, n) / double(n)).hi;
        for (int k = 0; k < K; ++k) s[k] = dd{};
        for (std::size_t j = 0; j < n; ++j) add(w[j]);
    }
    bool ok() const {
        for (int k = 0; k < K; ++k)
            if (!finite(s[k])) return false;
        return true;
    }
};

template <MomentStat S>
struct MomentState {
    static constexpr int K = S == MomentStat::skew ? 3 : S == MomentStat::kurt ? 4 : 2;
    const double* x;
    std::size_t n;
    Moments<K> mo;

    void rebuild(std::size_t i) { mo.rebuild(x + i, n); }
    bool ok() const { return mo.ok(); }

    double value(std::size_t i) const {
        const double nn = double(n);
        dd m1 = mo.s[0] / nn;
        dd r2 = mo.s[1] / nn;
        dd mu2 = r2 - m1 * m1;
        double var = mu2.hi > 0.0 ? mu2.hi : 0.0;
        if constexpr (S == MomentStat::var) {
            return var;
        } else if constexpr (S == MomentStat::std) {
            return std::sqrt(var);
        } else if constexpr (S == MomentStat::zscore) {
            double sd = std::sqrt(var);
            dd dev = two_sum(x[i + n - 1], -mo.c) - m1;
            return sd == 0.0 ? kNaN : dev.hi / sd;
        } else if constexpr (S == MomentStat::skew) {
            if (var == 0.0) return kNaN;
            dd r3 = mo.s[2] / nn;
            dd mu3 = r3 - (m1 * r2) * 3.0 + (m1 * m1 * m1) * 2.0;
            double res = mu3.hi / (var * std::sqrt(var));
            if (n > 2) res *= std::sqrt(nn * (nn - 1.0)) / (nn - 2.0);
            return res;
        } else {
            if (var == 0.0) return kNaN;
            dd r3 = mo.s[2] / nn;
            dd r4 = mo.s[3] / nn;
            dd m1sq = m1 * m1;
            dd mu4 = r4 - (m1 * r3) * 4.0 + (m1sq * r2) * 6.0 - (m1sq * m1sq) * 3.0;
            if (mu4.hi < 0.0) mu4 = dd{};
            dd ratio = mu4 / (mu2 * mu2);
            return 1.0 / ((nn - 2.0) * (nn - 3.0)) *
                   ((ratio * (nn * nn - 1.0)).hi - 3.0 * (nn - 1.0) * (nn - 1.0));
        }
    }

    // Windows holding an infinity: the deviations from an infinite (or NaN)
    // mean are NaN, so every one of these statistics is NaN.
    double naive(std::size_t i) const {
        const double* w = x + i;
        double mean = 0.0;
        for (std::size_t j = 0; j < n; ++j) mean += w[j];
        mean /= double(n);
        if (!std::isfinite(mean)) return kNaN;
        // Finite values whose squares overflow: evaluate the two-pass formula.
        double m2 = 0.0, m3 = 0.0, m4 = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            double d = w[j] - mean;
            m2 += d * d;
            m3 += d * d * d;
            m4 += d * d * d * d;
        }
        const double nn = double(n);
        m2 /= nn;
        m3 /= nn;
        m4 /= nn;
        if constexpr (S == MomentStat::var) return m2;
        if constexpr (S == MomentStat::std) return std::sqrt(m2);
        if constexpr (S == MomentStat::zscore) return (w[n - 1] - mean) / std::sqrt(m2);
        if constexpr (S == MomentStat::skew) {
            double res = m3 / (m2 * std::sqrt(m2));
            if (n > 2) res *= std::sqrt(nn * (nn - 1.0)) / (nn - 2.0);
            return res;
        }
        return 1.0 / ((nn - 2.0) * (nn - 3.0)) * ((nn * nn - 1.0) * m4 / (m2 * m2) - 3.0 * (nn - 1.0) * (nn - 1.0));
    }
};


// ---- mean absolute deviation ----------------------------------------------
// The window mean comes from a sliding double-double sum; the deviations are
// taken against that mean at double-double precision and summed directly
// (all terms are non-negative, so plain summation is accurate).
struct AvedevState {
    const double* x;
    std::size_t n;
    double naive(std::size_t i) const {
        const double* w = x + i;
        double mean = 0.0;
        for (std::size_t j = 0; j < n; ++j) mean += w[j];
        mean /= double(n);
        double acc = 0.0;
        for (std::size_t j = 0; j < n; ++j) acc += std::fabs(w[j] - mean);
        return acc / double(n);
    }
};


// ---- exponential moving average (weights alpha (1 - alpha)^(n - j)) -------
// The weights of window n and the factors of the block sums. Computing them
// costs n calls of pow (about 7 us at n = 250, more than the kernel on a short
// series), and a 2-D call computes the same ones for every column, so each
// thread keeps those of the last window it used.
struct EmaWeights {
    std::size_t n = 0;
    double alpha = 0.0, q = 0.0;
    double total = 0.0;                   // sum of the weights, 1 - q^n
    std::vector<double> weights;          // alpha q^(n - 1 - j), oldest first
    std::vector<double> up, wsuf, wpre;   // q^t; alpha q^t; alpha q^-t

    static const EmaWeights& of(std::size_t n) {
        thread_local EmaWeights w;
        if (w.n != n || w.weights.empty()) w.fill(n);
        return w;
    }

private:
    void fill(std::size_t n_) {
        n = 0;  // not valid until filled (an allocation below may throw)
        if (n_ == 0) return;
        alpha = 2.0 / (double(n_) + 1.0);
        q = 1.0 - alpha;
        weights.resize(n_);
        for (std::size_t j = 0; j < n_; ++j) weights[j] = alpha * std::pow(q, double(n_ - 1 - j));
        up.resize(n_);
        wsuf.resize(n_);
        wpre.resize(n_);
        up[0] = 1.0;
        double down = 1.0;
        wsuf[0] = wpre[0] = alpha;
        for (std::size_t t = 1; t < n_; ++t) {
            up[t] = up[t - 1] * q;
            down /= q;
            wsuf[t] = alpha * up[t];
            wpre[t] = alpha * down;
        }
        total = 0.0;
        for (std::size_t j = 0; j < n_; ++j) total += weights[j];
        n = n_;
    }
};

struct EmaState {
    const double* x;
    std::size_t n;
    const double* weights;
    double naive(std::size_t i) const {
        double t = 0.0;
        for (std::size_t j = 0; j < n; ++j) t += x[i + j] * weights[j];
        return t;
    }
};

// ---- linearly weighted average (weights 2j / (n (n + 1))) -----------------
struct WmaState {
    const double* x;
    std::size_t n;
    double naive(std::size_t i) const {
        const double nn = double(n);
        double t = 0.0;
        for (std::size_t j = 0; j < n; ++j) t += x[i + j] * (2.0 * double(j + 1) / (nn * (nn + 1.0)));
        return t;
    }
};


// ---- least-squares slope against time positions 0..n-1 ---------------------
// With d_j = x_j - c: slope = (S * sumx - n * T) / divisor, S = sum d_j,
// T = sum j d_j; the anchor c cancels exactly since sum (j - mean j) = 0.
struct SlopeState {
    const double* x;
    std::size_t n;
    double c = 0.0;
    dd s, t;
    double sumx, divisor;

    SlopeState(const double* x_, std::size_t n_) : x(x_), n(n_) {
        const double nn = double(n);
        sumx = nn * (nn - 1.0) / 2.0;
        double sumxsqr = nn * (nn - 1.0) * (2.0 * nn - 1.0) / 6.0;
        divisor = sumx * sumx - nn * sumxsqr;
    }
    dd dev(double v) const { return two_sum(v, -c); }
    void rebuild(std::size_t i) {
        c = (dd_sum(x + i, n) / double(n)).hi;
        s = dd{};
        t = dd{};
        for (std::size_t j = 0; j < n; ++j) {
            dd d = dev(x[i + j]);
            s = s + d;
            t = t + d * double(j);
        }
    }
    bool ok() const { return finite(s) && finite(t); }
    double value(std::size_t) const {
        dd a = s * sumx;
        dd num = a - t * double(n);
        return num.hi / divisor;
    }
    double naive(std::size_t i) const {
        double sw = 0.0, swx = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            sw += x[i + j];
            swx += x[i + j] * double(j);
        }
        return (sw * sumx - double(n) * swx) / divisor;
    }
};


// ---- two series: covariance, correlation, regression slope -----------------
enum class PairStat { covariance, correlation, regression };

template <PairStat P>
struct PairState {
    const double* a;
    const double* b;
    std::size_t n;
    double ca = 0.0, cb = 0.0;
    dd sa, sb, saa, sbb, sab;

    void add(double u, double v, double sign) {
        dd du = two_sum(u, -ca), dv = two_sum(v, -cb);
        if (sign > 0) {
            sa = sa + du;
            sb = sb + dv;
            saa = saa + du * du;
            sbb = sbb + dv * dv;
            sab = sab + du * dv;
        } else {
            sa = sa - du;
            sb = sb - dv;
            saa = saa - du * du;
            sbb = sbb - dv * dv;
            sab = sab - du * dv;
        }
    }
    void rebuild(std::size_t i) {
        ca = (dd_sum(a + i, n) / double(n)).hi;
        cb = (dd_sum(b + i, n) / double(n)).hi;
        sa = sb = saa = sbb = sab = dd{};
        for (std::size_t j = 0; j < n; ++j) add(a[i + j], b[i + j], 1.0);
    }
    bool ok() const { return finite(sa) && finite(sb) && finite(saa) && finite(sbb) && finite(sab); }

    double value(std::size_t) const {
        const double nn = double(n);
        dd ma = sa / nn, mb = sb / nn;
        dd raa = saa / nn, rbb = sbb / nn;
        dd va = raa - ma * ma, vb = rbb - mb * mb;
        dd cov = sab / nn - ma * mb;
        double vah = va.hi > 0.0 ? va.hi : 0.0;
        double vbh = vb.hi > 0.0 ? vb.hi : 0.0;
        if constexpr (P == PairStat::covariance) {
            return cov.hi;
        } else if constexpr (P == PairStat::correlation) {
            if (vah == 0.0 || vbh == 0.0) return kNaN;
            return cov.hi / (std::sqrt(vah) * std::sqrt(vbh));
        } else {
            if (vah == 0.0) return kNaN;
            return (cov / va).hi;
        }
    }

    // Windows holding an infinity: the raw-moment formulas, evaluated
    // directly (means exact, so an exactly zero mean stays zero).
    double naive(std::size_t i) const {
        const double nn = double(n);
        double su = 0.0, sv = 0.0, pab = 0.0, paa = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            double u = a[i + j], v = b[i + j];
            su += u;
            sv += v;
            pab += u * v;
            paa += u * u;
        }
        double mu = su / nn, mv = sv / nn;
        if constexpr (P == PairStat::covariance) {
            return pab / nn - mu * mv;
        } else if constexpr (P == PairStat::correlation) {
            return kNaN;  // the standard deviation of a window with an infinity is NaN
        } else {
            return (pab - mu * mv * nn) / (paa - mu * mu * nn);
        }
    }
};


// The anchor of block [B, E]: x[E], or the nearest finite value of the
// block's windows when x[E] is not finite, else 0.
inline double block_anchor(const double* x, std::size_t L, std::size_t n, std::size_t B, std::size_t E) {
    if (std::isfinite(x[E])) return x[E];
    for (std::size_t k = E; k-- > B;)
        if (std::isfinite(x[k])) return x[k];
    const std::size_t end = std::min(L, E + n);
    for (std::size_t k = E + 1; k < end; ++k)
        if (std::isfinite(x[k])) return x[k];
    return 0.0;
}

#if defined(__GNUC__)
// Two doubles with elementwise arithmetic (GCC / Clang vector extension).
typedef double v2d __attribute__((vector_size(16)));
#endif

// ---------------------------------------------------------------------------
// The block grid. Windows are grouped into blocks of n consecutive windows
// [B, E] (E = B + n - 1, window indices; the window starting at position i
// is window i); each window of a block is a suffix [i, E] of the block plus a
// prefix [E + 1, i + n - 1] of what follows. Where a block boundary falls
// decides the last bits of a window's sums, so the grid is anchored on
// positions that do not move when history is added before the series: `last`
// is the position of the series' last value on a fixed scale (only its
// remainder modulo n matters), and a block starts at every window whose
// newest value sits at a multiple of n on that scale. The default, -1, counts
// positions back from the series' end, so the grid is fixed by the end of the
// series: kernel(x)[k:] equals kernel(x[k:]) bit for bit. The first block
// may start before window 0 (B0 <= 0); its windows from 0 on are produced.
// ---------------------------------------------------------------------------
inline std::ptrdiff_t first_block(std::size_t m, std::size_t n, std::int64_t last) {
    // newest value of window 0 on the fixed scale: last - (m - 1)
    const std::int64_t q0 = last - std::int64_t(m - 1);
    const std::int64_t nn = std::int64_t(n);
    const std::int64_t r = ((q0 % nn) + nn) % nn;
    return -std::ptrdiff_t(r);
}

// ---------------------------------------------------------------------------
// The block engine. One backward scan per block stores the suffix sums and
// one forward scan the prefix sums; a window's sums are suffix + prefix. The
// work is O(L) whatever n is, every window's sums hold exactly its own values
// (a NaN or inf only reaches the windows that contain it), and no rounding is
// inherited from values that left the window: each sum rounds at most n
// times. The terms are taken about the block's anchor, x[E] of each series,
// which lies in every window of the block, so they are deviations of the
// window's own scale and their sums carry no large offset.
//
// S series xs[0..S-1]; for each position the caller's
//   terms(d, rel, t)      the M terms from the deviations d[s] = x_s - c_s
//                         and rel = k - E (an integer, the same for every block)
//   finish(i, o, c, s)    window i = B + o from the anchors c[S] of its block
//                         and its M sums s
// terms is generic: it is called with doubles, and, where the compiler
// offers vector types, with pairs of doubles that carry two blocks at once
// (the same operations in the same order, so results are identical).
// ---------------------------------------------------------------------------

// One block [B, E] of block_sums on its own, scalar; B < 0 for a first block
// that starts before window 0. suf and pre hold M n doubles each.
template <int M, int S, class Terms, class Finish>
void block_sums_one(const double* const* xs, std::size_t L, std::size_t n, std::size_t m, std::ptrdiff_t B,
                    double* suf, double* pre, Terms& terms, Finish& finish) {
    const std::size_t E = std::size_t(B + std::ptrdiff_t(n) - 1);
    const std::size_t first = B < 0 ? 0 : std::size_t(B);
    const std::size_t o_first = std::size_t(std::ptrdiff_t(first) - B);  // offset of the first window
    const std::size_t o_last = std::size_t(std::ptrdiff_t(std::min(E, m - 1)) - B);
    double c[S], d[S];
    for (int q = 0; q < S; ++q) c[q] = block_anchor(xs[q], L, n, first, E);
    double hs[M], hp[M], t[M], u[M];
    for (int p = 0; p < M; ++p) hs[p] = hp[p] = 0.0;
    for (std::size_t o = 0; o + o_first < n; ++o) {  // suffix sums, back from E to `first`
        const std::size_t k = E - o;
        for (int q = 0; q < S; ++q) d[q] = xs[q][k] - c[q];
        terms(static_cast<const double*>(d), -std::ptrdiff_t(o), t);
        double* rs = suf + (n - 1 - o) * M;
        for (int p = 0; p < M; ++p) {
            hs[p] += t[p];
            rs[p] = hs[p];
        }
        if (o < o_last) {  // prefix sums for windows B + 1 .. B + o_last
            const std::size_t j = E + 1 + o;
            for (int q = 0; q < S; ++q) d[q] = xs[q][j] - c[q];
            terms(static_cast<const double*>(d), std::ptrdiff_t(o + 1), u);
            double* rp = pre + o * M;
            for (int p = 0; p < M; ++p) {
                hp[p] += u[p];
                rp[p] = hp[p];
            }
        }
    }
    for (std::size_t o = n - o_first; o < o_last; ++o) {  // the rest of the prefix sums
        const std::size_t j = E + 1 + o;
        for (int q = 0; q < S; ++q) d[q] = xs[q][j] - c[q];
        terms(static_cast<const double*>(d), std::ptrdiff_t(o + 1), u);
        double* rp = pre + o * M;
        for (int p = 0; p < M; ++p) {
            hp[p] += u[p];
            rp[p] = hp[p];
        }
    }
    for (std::size_t o = o_first; o <= o_last; ++o) {
        const double* rs = suf + o * M;
        if (o == 0) {
            for (int p = 0; p < M; ++p) t[p] = rs[p];
        } else {
            const double* rp = pre + (o - 1) * M;
            for (int p = 0; p < M; ++p) t[p] = rs[p] + rp[p];
        }
        finish(std::size_t(B + std::ptrdiff_t(o)), o, static_cast<const double*>(c),
               static_cast<const double*>(t));
    }
}

// ---- vector finish ------------------------------------------------------------
// A kernel may hand the engine, besides its per-window finish, a finish over
// vector lanes: lanes(i0, stride, s) takes the M sums s (vectors of W doubles)
// of the windows i0, i0 + stride, .., i0 + (W - 1) stride, writes the result
// of every lane it can decide and returns the bit mask of the lanes it left
// to the per-window finish. It must give those lanes the bits finish gives
// them (the same operations in the same order), so the results do not depend
// on which of the two produced them.
template <class Finish, class Lanes>
struct WithLanes {
    Finish finish;
    Lanes lanes;
    void operator()(std::size_t i, std::size_t o, const double* c, const double* s) { finish(i, o, c, s); }
};

template <class F>
struct has_lanes : std::false_type {};
template <class Finish, class Lanes>
struct has_lanes<WithLanes<Finish, Lanes>> : std::true_type {};

// The per-window finish of the lanes in `rest` (window i0 + l stride for lane
// l, anchors c[l]); out of line, as these are the exceptions.
template <int M, int S, class V, int W, class Finish>
__attribute__((noinline)) void finish_rest(Finish& finish, unsigned rest, std::size_t i0, std::size_t stride,
                                           std::size_t o, const double (*c)[S], const V* s) {
    for (int l = 0; l < W; ++l) {
        if (!(rest >> l & 1u)) continue;
        double sum[M];
        for (int p = 0; p < M; ++p) sum[p] = s[p][l];
        finish(i0 + std::size_t(l) * stride, o, static_cast<const double*>(c[l]), static_cast<const double*>(sum));
    }
}

#if defined(__GNUC__)
// Lane-wise square root, correctly rounded as std::sqrt is (SSE2 sqrtpd on
// each pair of lanes where available).
// In place: a 4-lane vector is not passed by value outside AVX2 code.
template <class V>
inline __attribute__((always_inline)) void lanes_sqrt(V& v) {
#if defined(__SSE2__)
    if constexpr (sizeof(V) == 16) {
        v = V(_mm_sqrt_pd(__m128d(v)));
    } else {
        static_assert(sizeof(V) == 32);
        const __m128d lo = _mm_sqrt_pd(__m128d{v[0], v[1]}), hi = _mm_sqrt_pd(__m128d{v[2], v[3]});
        v = V{lo[0], lo[1], hi[0], hi[1]};
    }
#else
    for (std::size_t l = 0; l < sizeof(V) / sizeof(double); ++l) v[l] = std::sqrt(v[l]);
#endif
}
#endif

// ---- short windows -----------------------------------------------------------
// For n up to kShortBlock<M> the per-block bookkeeping (anchor, buffers, loop
// control) outweighs the arithmetic, so full blocks go W at a time, one per
// vector lane, with n fixed at compile time: the scans are unrolled and the
// suffix and prefix sums stay in registers. Each lane performs block_sums_one's
// operations for its block in the same order (first term added to 0, suffix +
// prefix), so the results are the same bits whatever the width. Windows up
// to 12 for kernels of one or two sums, up to 8 for more (longer unrolled
// blocks of several sums gain nothing and lengthen the build).
template <int M>
inline constexpr std::size_t kShortBlock = M <= 2 ? 12 : 8;

#if defined(__GNUC__)
template <class V, int W, std::size_t N>
inline __attribute__((always_inline)) void strided_lanes(V& v, const double* p) {  // p[0], p[N], .., p[(W-1) N]
    static_assert(W == 2 || W == 4);
    if constexpr (W == 2) {
        v = V{p[0], p[N]};
    } else {
        v = V{p[0], p[N], p[2 * N], p[3 * N]};
    }
}

#if defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
typedef double v4d __attribute__((vector_size(32)));
#endif

// Whether every lane of v is finite: x - x is 0 for finite x, NaN otherwise,
// and the sum of the lanes' zeros is NaN when one of them is.
template <class V, int W>
inline __attribute__((always_inline)) bool lanes_finite(const V& v) {
    const V z = v - v;
    double a = z[0];
    for (int l = 1; l < W; ++l) a += z[l];
    return a == 0.0;
}

// Full blocks B, B + N, ... while W of them fit before window m; returns the
// first block not done. V holds W doubles (lane l: the block at B + l N).
template <std::size_t N, class V, int W, int M, int S, class Terms, class Finish>
inline __attribute__((always_inline)) std::size_t short_blocks(const double* const* xs, std::size_t L,
                                                               std::size_t m, std::size_t B, Terms& terms,
                                                               Finish& finish) {
    for (; B + W * N <= m; B += W * N) {
        const std::size_t E = B + N - 1;
        double c[W][S];
        V C[S] = {}, d[S] = {};
        for (int q = 0; q < S; ++q) {
            // the anchors are the blocks' last windows' first values x[E] when all are finite
            strided_lanes<V, W, N>(C[q], xs[q] + E);
            if (lanes_finite<V, W>(C[q])) {
                for (int l = 0; l < W; ++l) c[l][q] = C[q][l];
            } else {
                for (int l = 0; l < W; ++l) c[l][q] = block_anchor(xs[q], L, N, B + l * N, E + l * N);
                strided_lanes<V, W, S>(C[q], &c[0][q]);
            }
        }
        V hs[M], hp[M], t[M], u[M], suf[N][M], pre[N][M];
        for (int p = 0; p < M; ++p) hs[p] = hp[p] = V{};
#pragma GCC unroll 16
        for (std::size_t o = 0; o < N; ++o) {
            const std::size_t k = E - o;
            for (int q = 0; q < S; ++q) {
                strided_lanes<V, W, N>(d[q], xs[q] + k);
                d[q] -= C[q];
            }
            terms(static_cast<const V*>(d), -std::ptrdiff_t(o), t);
            for (int p = 0; p < M; ++p) {
                hs[p] += t[p];
                suf[N - 1 - o][p] = hs[p];
            }
            if (o + 1 < N) {
                const std::size_t j = E + 1 + o;
                for (int q = 0; q < S; ++q) {
                    strided_lanes<V, W, N>(d[q], xs[q] + j);
                    d[q] -= C[q];
                }
                terms(static_cast<const V*>(d), std::ptrdiff_t(o + 1), u);
                for (int p = 0; p < M; ++p) {
                    hp[p] += u[p];
                    pre[o][p] = hp[p];
                }
            }
        }
#pragma GCC unroll 16
        for (std::size_t o = 1; o < N; ++o)
            for (int p = 0; p < M; ++p) suf[o][p] += pre[o - 1][p];
        if constexpr (has_lanes<Finish>::value) {
            for (std::size_t o = 0; o < N; ++o) {
                const unsigned rest = finish.lanes(B + o, N, static_cast<const V*>(suf[o]));
                if (rest) finish_rest<M, S, V, W>(finish, rest, B + o, N, o, c, static_cast<const V*>(suf[o]));
            }
        } else {
            for (int l = 0; l < W; ++l) {
#pragma GCC unroll 16
                for (std::size_t o = 0; o < N; ++o) {
                    double sum[M];
                    for (int p = 0; p < M; ++p) sum[p] = suf[o][p][l];
                    finish(B + l * N + o, o, static_cast<const double*>(c[l]), static_cast<const double*>(sum));
                }
            }
        }
    }
    return B;
}

// flatten: terms and finish inlined in every unrolled step.
template <std::size_t N, int M, int S, class Terms, class Finish>
__attribute__((flatten)) std::size_t short_blocks_sse2(const double* const* xs, std::size_t L, std::size_t m,
                                                       std::size_t B, Terms& terms, Finish& finish) {
    return short_blocks<N, v2d, 2, M, S>(xs, L, m, B, terms, finish);
}

#if defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
template <std::size_t N, int M, int S, class Terms, class Finish>
__attribute__((target("avx2"), flatten)) std::size_t short_blocks_avx2(const double* const* xs, std::size_t L,
                                                                       std::size_t m, std::size_t B, Terms& terms,
                                                                       Finish& finish) {
    B = short_blocks<N, v4d, 4, M, S>(xs, L, m, B, terms, finish);
    return short_blocks<N, v2d, 2, M, S>(xs, L, m, B, terms, finish);
}
#endif

template <std::size_t N, int M, int S, class Terms, class Finish>
std::size_t short_blocks_run(const double* const* xs, std::size_t L, std::size_t m, std::size_t B, Terms& terms,
                             Finish& finish) {
#if defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
    if (simd::avx2_allowed()) return short_blocks_avx2<N, M, S>(xs, L, m, B, terms, finish);
#endif
    return short_blocks_sse2<N, M, S>(xs, L, m, B, terms, finish);
}

// short_blocks_run for a run-time n in 2..kShortBlock<M>. Kept out of
// block_sums, whose own loops are compiled as well without it inlined.
template <int M, int S, class Terms, class Finish>
__attribute__((noinline)) std::size_t short_blocks_any(const double* const* xs, std::size_t L, std::size_t n,
                                                       std::size_t m, std::size_t B, Terms& terms, Finish& finish) {
    switch (n) {
        case 2: return short_blocks_run<2, M, S>(xs, L, m, B, terms, finish);
        case 3: return short_blocks_run<3, M, S>(xs, L, m, B, terms, finish);
        case 4: return short_blocks_run<4, M, S>(xs, L, m, B, terms, finish);
        case 5: return short_blocks_run<5, M, S>(xs, L, m, B, terms, finish);
        case 6: return short_blocks_run<6, M, S>(xs, L, m, B, terms, finish);
        case 7: return short_blocks_run<7, M, S>(xs, L, m, B, terms, finish);
        case 8: return short_blocks_run<8, M, S>(xs, L, m, B, terms, finish);
        default: break;
    }
    if constexpr (kShortBlock<M> >= 12) {
        switch (n) {
            case 9: return short_blocks_run<9, M, S>(xs, L, m, B, terms, finish);
            case 10: return short_blocks_run<10, M, S>(xs, L, m, B, terms, finish);
            case 11: return short_blocks_run<11, M, S>(xs, L, m, B, terms, finish);
            case 12: return short_blocks_run<12, M, S>(xs, L, m, B, terms, finish);
            default: break;
        }
    }
    return B;
}
#endif

template <int M, int S, class Terms, class Finish>
inline __attribute__((always_inline)) void block_sums_body(const double* const* xs, std::size_t L, std::size_t n,
                                                           Terms& terms, Finish& finish, std::int64_t last) {
    const std::size_t m = L - n + 1;
    if (n == 1) {
        // Each window is a block of its own: block_sums_one's operations
        // without its loops (anchor x[i] if finite, else 0; one term added to 0).
        for (std::size_t i = 0; i < m; ++i) {
            double c[S], d[S], t[M], sum[M];
            for (int q = 0; q < S; ++q) {
                c[q] = std::isfinite(xs[q][i]) ? xs[q][i] : 0.0;
                d[q] = xs[q][i] - c[q];
            }
            terms(static_cast<const double*>(d), std::ptrdiff_t(0), t);
            for (int p = 0; p < M; ++p) sum[p] = 0.0 + t[p];
            finish(i, std::size_t(0), static_cast<const double*>(c), static_cast<const double*>(sum));
        }
        return;
    }
    if (m == 1) {
        // One window, the only window of the block [-r, n - 1 - r]:
        // block_sums_one's sums for it without storing the other windows'.
        // Its suffix runs back from E to 0, its prefix on from E + 1.
        const std::size_t r = std::size_t(-first_block(m, n, last)), E = n - 1 - r;
        double c[S], d[S], hs[M], hp[M], t[M];
        for (int q = 0; q < S; ++q) c[q] = block_anchor(xs[q], L, n, 0, E);
        for (int p = 0; p < M; ++p) hs[p] = hp[p] = 0.0;
        for (std::size_t o = 0; o <= E; ++o) {
            for (int q = 0; q < S; ++q) d[q] = xs[q][E - o] - c[q];
            terms(static_cast<const double*>(d), -std::ptrdiff_t(o), t);
            for (int p = 0; p < M; ++p) hs[p] += t[p];
        }
        for (std::size_t o = 0; o < r; ++o) {
            for (int q = 0; q < S; ++q) d[q] = xs[q][E + 1 + o] - c[q];
            terms(static_cast<const double*>(d), std::ptrdiff_t(o + 1), t);
            for (int p = 0; p < M; ++p) hp[p] += t[p];
        }
        for (int p = 0; p < M; ++p) t[p] = r == 0 ? hs[p] : hs[p] + hp[p];
        finish(std::size_t(0), r, static_cast<const double*>(c), static_cast<const double*>(t));
        return;
    }
    // Blocks are written whole before they are read: no initial values needed.
    std::unique_ptr<double[]> buf(new double[2 * std::size_t(M) * n]);
    double* suf = buf.get();                 // suf[o]: suffix [B + o, E]
    double* pre = suf + std::size_t(M) * n;  // pre[o]: prefix [E + 1, E + 1 + o]
    std::ptrdiff_t Bs = first_block(m, n, last);
    if (Bs < 0) {
        block_sums_one<M, S>(xs, L, n, m, Bs, suf, pre, terms, finish);
        Bs += std::ptrdiff_t(n);
    }
    std::size_t B = std::size_t(Bs);
#if defined(__GNUC__)
    if (n <= kShortBlock<M>) {
        // copies, so that terms and finish themselves do not escape (the loops
        // below keep what they hold in registers)
        Terms t = terms;
        Finish f = finish;
        B = short_blocks_any<M, S>(xs, L, n, m, B, t, f);
    }
    if (n >= 2 && B + 2 * n <= m) {
        // Two full blocks per step, one per vector lane.
        std::vector<v2d> vbuf(2 * std::size_t(M) * n);
        v2d* vsuf = vbuf.data();
        v2d* vpre = vsuf + std::size_t(M) * n;
        for (; B + 2 * n <= m; B += 2 * n) {
            const std::size_t E = B + n - 1;
            double c0[S], c1[S];
            v2d C[S], d[S];
            for (int q = 0; q < S; ++q) {
                c0[q] = block_anchor(xs[q], L, n, B, E);
                c1[q] = block_anchor(xs[q], L, n, B + n, E + n);
                C[q] = v2d{c0[q], c1[q]};
            }
            v2d hs[M], hp[M], t[M], u[M];
            for (int p = 0; p < M; ++p) hs[p] = hp[p] = v2d{0.0, 0.0};
            for (std::size_t o = 0; o < n; ++o) {
                const std::size_t k = E - o;
                for (int q = 0; q < S; ++q) d[q] = v2d{xs[q][k], xs[q][k + n]} - C[q];
                terms(static_cast<const v2d*>(d), -std::ptrdiff_t(o), t);
                v2d* rs = vsuf + (n - 1 - o) * M;
                for (int p = 0; p < M; ++p) {
                    hs[p] += t[p];
                    rs[p] = hs[p];
                }
                if (o + 1 < n) {
                    const std::size_t j = E + 1 + o;
                    for (int q = 0; q < S; ++q) d[q] = v2d{xs[q][j], xs[q][j + n]} - C[q];
                    terms(static_cast<const v2d*>(d), std::ptrdiff_t(o + 1), u);
                    v2d* rp = vpre + o * M;
                    for (int p = 0; p < M; ++p) {
                        hp[p] += u[p];
                        rp[p] = hp[p];
                    }
                }
            }
            if constexpr (has_lanes<Finish>::value) {
                double c[2][S];
                for (int q = 0; q < S; ++q) c[0][q] = c0[q], c[1][q] = c1[q];
                for (std::size_t o = 0; o < n; ++o) {
                    v2d sum[M];
                    if (o == 0) {
                        for (int p = 0; p < M; ++p) sum[p] = vsuf[p];
                    } else {
                        for (int p = 0; p < M; ++p) sum[p] = vsuf[o * M + p] + vpre[(o - 1) * M + p];
                    }
                    const unsigned rest = finish.lanes(B + o, n, static_cast<const v2d*>(sum));
                    if (rest)
                        finish_rest<M, S, v2d, 2>(finish, rest, B + o, n, o, c, static_cast<const v2d*>(sum));
                }
                continue;
            }
            for (int lane = 0; lane < 2; ++lane) {
                const double* c = lane ? c1 : c0;
                const std::size_t Bl = B + std::size_t(lane) * n;
                double sum[M];
                for (int p = 0; p < M; ++p) sum[p] = vsuf[p][lane];
                finish(Bl, std::size_t(0), c, static_cast<const double*>(sum));
                for (std::size_t o = 1; o < n; ++o) {
                    const v2d* rs = vsuf + o * M;
                    const v2d* rp = vpre + (o - 1) * M;
                    for (int p = 0; p < M; ++p) sum[p] = rs[p][lane] + rp[p][lane];
                    finish(Bl + o, o, c, static_cast<const double*>(sum));
                }
            }
        }
    }
#endif
    // The remaining blocks one at a time.
    for (; B < m; B += n) block_sums_one<M, S>(xs, L, n, m, std::ptrdiff_t(B), suf, pre, terms, finish);
}

// Kernels of several sums have large finish steps that the compiler would
// call rather than inline once the short-window paths use them too: there,
// everything is inlined (flatten). One sum: as it comes.
template <int M, int S, class Terms, class Finish>
__attribute__((flatten)) void block_sums_flat(const double* const* xs, std::size_t L, std::size_t n, Terms& terms,
                                              Finish& finish, std::int64_t last) {
    block_sums_body<M, S>(xs, L, n, terms, finish, last);
}

template <int M, int S, class Terms, class Finish>
void block_sums(const double* const* xs, std::size_t L, std::size_t n, Terms terms, Finish finish,
                std::int64_t last = -1) {
    if constexpr (M == 1) {
        block_sums_body<M, S>(xs, L, n, terms, finish, last);
    } else {
        block_sums_flat<M, S>(xs, L, n, terms, finish, last);
    }
}

// Largest magnitude among the values that are not NaN (inf if any is
// infinite, 0 if none), and whether a series holds a NaN. Compilers do not
// vectorise these reductions by themselves (NaN ordering), so on x86-64 they
// use the baseline SSE2 instructions.
inline double max_abs(const double* x, std::size_t L) {
    std::size_t k = 0;
    double a = 0.0;
#if defined(__SSE2__)
    const __m128d sign = _mm_set1_pd(-0.0);
    __m128d a0 = _mm_setzero_pd(), a1 = _mm_setzero_pd();
    for (; k + 4 <= L; k += 4) {
        // maxpd returns its second operand when either is NaN: NaNs are skipped
        a0 = _mm_max_pd(_mm_andnot_pd(sign, _mm_loadu_pd(x + k)), a0);
        a1 = _mm_max_pd(_mm_andnot_pd(sign, _mm_loadu_pd(x + k + 2)), a1);
    }
    a0 = _mm_max_pd(a0, a1);
    a = std::max(_mm_cvtsd_f64(a0), _mm_cvtsd_f64(_mm_unpackhi_pd(a0, a0)));
#endif
    for (; k < L; ++k) {
        const double v = std::fabs(x[k]);
        a = a < v ? v : a;
    }
    return a;
}

inline bool any_nan(const double* x, std::size_t L) {
    std::size_t k = 0;
#if defined(__SSE2__)
    __m128d u0 = _mm_setzero_pd(), u1 = _mm_setzero_pd();
    for (; k + 4 <= L; k += 4) {
        const __m128d v0 = _mm_loadu_pd(x + k), v1 = _mm_loadu_pd(x + k + 2);
        u0 = _mm_or_pd(u0, _mm_cmpunord_pd(v0, v0));
        u1 = _mm_or_pd(u1, _mm_cmpunord_pd(v1, v1));
    }
    if (_mm_movemask_pd(_mm_or_pd(u0, u1))) return true;
#endif
    bool any = false;
    for (; k < L; ++k) any |= x[k] != x[k];
    return any;
}

// The first position from i on whose value is not finite (m if none): eight
// values a time, then one at a time from the group that holds one (|v| < inf
// fails for inf and NaN alike).
inline std::size_t finite_run(const double* v, std::size_t i, std::size_t m) {
#if defined(__SSE2__)
    const __m128d sign = _mm_set1_pd(-0.0), inf = _mm_set1_pd(HUGE_VAL);
    for (; i + 8 <= m; i += 8) {
        const __m128d a = _mm_cmpnlt_pd(_mm_andnot_pd(sign, _mm_loadu_pd(v + i)), inf);
        const __m128d b = _mm_cmpnlt_pd(_mm_andnot_pd(sign, _mm_loadu_pd(v + i + 2)), inf);
        const __m128d c = _mm_cmpnlt_pd(_mm_andnot_pd(sign, _mm_loadu_pd(v + i + 4)), inf);
        const __m128d d = _mm_cmpnlt_pd(_mm_andnot_pd(sign, _mm_loadu_pd(v + i + 6)), inf);
        if (_mm_movemask_pd(_mm_or_pd(_mm_or_pd(a, b), _mm_or_pd(c, d)))) break;
    }
#endif
    while (i < m && std::isfinite(v[i])) ++i;
    return i;
}

#if defined(__GNUC__) && defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
// finite_run's groups of sixteen with AVX2, from 0; returns the start of the
// first group that holds a value that is not finite, or of the unscanned tail.
__attribute__((target("avx2"))) inline std::size_t finite_run_avx2(const double* v, std::size_t m) {
    const __m256d sign = _mm256_set1_pd(-0.0), inf = _mm256_set1_pd(HUGE_VAL);
    std::size_t i = 0;
    for (; i + 16 <= m; i += 16) {
        const __m256d a = _mm256_cmp_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(v + i)), inf, _CMP_NLT_UQ);
        const __m256d b = _mm256_cmp_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(v + i + 4)), inf, _CMP_NLT_UQ);
        const __m256d c = _mm256_cmp_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(v + i + 8)), inf, _CMP_NLT_UQ);
        const __m256d d = _mm256_cmp_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(v + i + 12)), inf, _CMP_NLT_UQ);
        if (_mm256_movemask_pd(_mm256_or_pd(_mm256_or_pd(a, b), _mm256_or_pd(c, d)))) break;
    }
    return i;
}
#endif

// Windows whose fast result is not finite (a NaN or inf in the window, or an
// overflow): NaN if the window holds a NaN, otherwise `slow(i)`. The fast
// paths give a non-finite result for every window that holds a NaN or an
// infinity, so finite results are final; and when every value is below
// `safe` in magnitude (no infinity, no overflow possible in the kernel's
// sums) a non-finite result can only come from a NaN, and is NaN already.
// safe <= 0 sends every non-finite window without a NaN to `slow`, for
// kernels whose overflowed windows are not final whatever the magnitudes.
template <class Slow>
void fix_nonfinite(const double* const* xs, int k, std::size_t L, std::size_t n, double* out, double safe,
                   Slow slow) {
    const std::size_t m = L - n + 1;
    std::size_t i = 0;
#if defined(__GNUC__) && defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
    if (m >= 64 && simd::avx2_allowed()) i = finite_run_avx2(out, m);
#endif
    i = finite_run(out, i, m);
    if (i == m) return;
    bool small = safe > 0.0;
    for (int s = 0; s < k; ++s) small = small && max_abs(xs[s], L) < safe;
    if (small) return;
    // after_nan: one past the latest NaN position scanned so far (0: none)
    std::size_t scanned = 0, after_nan = 0;
    for (; i < m; ++i) {
        if (std::isfinite(out[i])) continue;
        for (; scanned < i + n; ++scanned)
            for (int s = 0; s < k; ++s)
                if (xs[s][scanned] != xs[s][scanned]) after_nan = scanned + 1;
        out[i] = after_nan > i ? kNaN : slow(i);
    }
}

// Magnitudes below which the sums of up to 2^32 terms of the given power of
// deviations (weighted by at most 2^32 for position sums) cannot overflow.
inline constexpr double kSafe1 = 1e280;
inline constexpr double kSafe2 = 1e135;
inline constexpr double kSafe3 = 1e90;
inline constexpr double kSafe4 = 1e67;

// ---- sum, ma ----------------------------------------------------------------
template <bool Mean>
void plain_sum(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last) {
    const double nn = double(n), inv = 1.0 / nn;
    block_sums<1, 1>(
        &x, L, n, [](const auto* d, std::ptrdiff_t, auto* t) { t[0] = d[0]; },
        [&](std::size_t i, std::size_t, const double* c, const double* s) {
            if constexpr (Mean) {
                out[i] = c[0] + s[0] * inv;
            } else {
                out[i] = c[0] * nn + s[0];
            }
        },
        last);
    SumState st{x, n, Mean};
    fix_nonfinite(&x, 1, L, n, out, kSafe1, [&](std::size_t i) { return st.naive(i); });
}

inline void sum(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    plain_sum<false>(x, L, n, out, last);
}
inline void ma(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    plain_sum<true>(x, L, n, out, last);
}

// ---- var, std, zscore, skew, kurt ---------------------------------------------
// Central moments from the anchored power sums in double precision. Their
// rounding error relative to sigma^k grows with the condition number
// kappa = (raw second moment about the anchor) / (central one); windows above
// the limit for the statistic are recomputed about their own mean in
// double-double arithmetic.
template <MomentStat S>
void moment_stat(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last) {
    constexpr int K = MomentState<S>::K;
    constexpr double limit = S == MomentStat::kurt ? 30.0 : S == MomentStat::skew ? 100.0 : 1000.0;
    MomentState<S> st{x, n, {}};
    auto exact = [&](std::size_t i) {
        st.rebuild(i);
        double r = st.value(i);
        return st.ok() ? r : st.naive(i);
    };
    const double nn = double(n), inv = 1.0 / nn;
    const double adj = n > 2 ? std::sqrt(nn * (nn - 1.0)) / (nn - 2.0) : 1.0;
    const double kurt_a = 1.0 / ((nn - 2.0) * (nn - 3.0)), kurt_b = nn * nn - 1.0, kurt_c = 3.0 * (nn - 1.0) * (nn - 1.0);
    block_sums<K, 1>(
        &x, L, n,
        [](const auto* dv, std::ptrdiff_t, auto* t) {
            const auto d = dv[0];
            t[0] = d;
            if constexpr (K >= 2) t[1] = d * d;
            if constexpr (K >= 3) t[2] = t[1] * d;
            if constexpr (K >= 4) t[3] = t[1] * t[1];
        },
        [&](std::size_t i, std::size_t, const double* cs, const double* s) {
            const double c = cs[0];
            const double m1 = s[0] * inv, r2 = s[1] * inv;
            const double mu2 = r2 - m1 * m1;
            if (!(mu2 * limit >= r2) || !std::isfinite(r2)) {
                if (r2 == 0.0) {  // every value equals the anchor
                    out[i] = (S == MomentStat::var || S == MomentStat::std) ? 0.0 : kNaN;
                } else {
                    out[i] = std::isfinite(r2) ? exact(i) : kNaN;  // non-finite: fixed below
                }
                return;
            }
            if constexpr (S == MomentStat::var) {
                out[i] = mu2;
            } else if constexpr (S == MomentStat::std) {
                out[i] = std::sqrt(mu2);
            } else if constexpr (S == MomentStat::zscore) {
                out[i] = ((x[i + n - 1] - c) - m1) / std::sqrt(mu2);
            } else if constexpr (S == MomentStat::skew) {
                const double r3 = s[2] * inv;
                const double mu3 = r3 - 3.0 * m1 * r2 + 2.0 * m1 * m1 * m1;
                out[i] = mu3 / (mu2 * std::sqrt(mu2)) * adj;
            } else {
                const double r3 = s[2] * inv, r4 = s[3] * inv;
                const double m1sq = m1 * m1;
                const double mu4 = r4 - 4.0 * m1 * r3 + 6.0 * m1sq * r2 - 3.0 * m1sq * m1sq;
                out[i] = kurt_a * (kurt_b * (mu4 / (mu2 * mu2)) - kurt_c);
            }
        },
        last);
    constexpr double safe = K == 2 ? kSafe2 : K == 3 ? kSafe3 : kSafe4;
    fix_nonfinite(&x, 1, L, n, out, safe, [&](std::size_t i) {
        double r = st.naive(i);
        return std::isfinite(r) ? exact(i) : r;
    });
}

inline void var(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    moment_stat<MomentStat::var>(x, L, n, out, last);
}
inline void std_(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    moment_stat<MomentStat::std>(x, L, n, out, last);
}
inline void zscore(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    moment_stat<MomentStat::zscore>(x, L, n, out, last);
}
inline void skew(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    moment_stat<MomentStat::skew>(x, L, n, out, last);
}

// Excess kurtosis; windows of 1 to 3 values give the fixed values -3, -2, -1.5.
inline void kurt(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    const std::size_t m = L - n + 1;
    if (n <= 3) {
        double v = n == 1 ? -3.0 : n == 2 ? -2.0 : -1.5;
        std::fill(out, out + m, v);
        return;
    }
    moment_stat<MomentStat::kurt>(x, L, n, out, last);
}

// ---- mean absolute deviation -----------------------------------------------------
// Everything is taken about the block anchor c (a value of the window): the
// mean deviation md = mean(x - c) from the block sums, then the absolute
// deviations |(x - c) - md|, non-negative terms summed in four accumulators.
// Working with deviations from c keeps the digits a mean of large magnitude
// would round away.
// Sum of |w[j] - md| over j < n, in four interleaved partial sums (the
// same order with or without SSE2).
inline double abs_dev_sum(const double* w, std::size_t n, double md) {
    std::size_t j = 0;
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
#if defined(__SSE2__)
    const __m128d m = _mm_set1_pd(md), sign = _mm_set1_pd(-0.0);
    __m128d s01 = _mm_setzero_pd(), s23 = _mm_setzero_pd();
    for (; j + 4 <= n; j += 4) {
        s01 = _mm_add_pd(s01, _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(w + j), m)));
        s23 = _mm_add_pd(s23, _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(w + j + 2), m)));
    }
    _mm_storeu_pd(acc, s01);
    _mm_storeu_pd(acc + 2, s23);
#else
    for (; j + 4 <= n; j += 4)
        for (int u = 0; u < 4; ++u) acc[u] += std::fabs(w[j + u] - md);
#endif
    for (; j < n; ++j) acc[0] += std::fabs(w[j] - md);
    return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

// abs_dev_sum for the four windows starting at w, w + 1, w + 2, w + 3 with
// means md[0..3], one window per vector lane: the load of w + j holds
// element j of all four windows. Each lane keeps the four partial sums of
// abs_dev_sum, so results are bit-identical to it.
inline void abs_dev_sum4(const double* w, std::size_t n, const double* md, double* res) {
#if defined(__SSE2__)
    const __m128d sign = _mm_set1_pd(-0.0);
    for (int h = 0; h < 4; h += 2) {
        const double* v = w + h;
        const __m128d m = _mm_loadu_pd(md + h);
        __m128d a0 = _mm_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
        std::size_t j = 0;
        for (; j + 4 <= n; j += 4) {
            a0 = _mm_add_pd(a0, _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(v + j), m)));
            a1 = _mm_add_pd(a1, _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(v + j + 1), m)));
            a2 = _mm_add_pd(a2, _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(v + j + 2), m)));
            a3 = _mm_add_pd(a3, _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(v + j + 3), m)));
        }
        for (; j < n; ++j) a0 = _mm_add_pd(a0, _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(v + j), m)));
        _mm_storeu_pd(res + h, _mm_add_pd(_mm_add_pd(a0, a1), _mm_add_pd(a2, a3)));
    }
#else
    for (int k = 0; k < 4; ++k) res[k] = abs_dev_sum(w + k, n, md[k]);
#endif
}

#if defined(__GNUC__) && defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
// The same with 4-wide AVX2 vectors, for processors that have them; chosen
// at run time, so the build itself stays baseline x86-64.
__attribute__((target("avx2"))) inline void abs_dev_sum4_avx2(const double* w, std::size_t n, const double* md,
                                                               double* res) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d m = _mm256_loadu_pd(md);
    __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        a0 = _mm256_add_pd(a0, _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(w + j), m)));
        a1 = _mm256_add_pd(a1, _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(w + j + 1), m)));
        a2 = _mm256_add_pd(a2, _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(w + j + 2), m)));
        a3 = _mm256_add_pd(a3, _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(w + j + 3), m)));
    }
    for (; j < n; ++j) a0 = _mm256_add_pd(a0, _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(w + j), m)));
    _mm256_storeu_pd(res, _mm256_add_pd(_mm256_add_pd(a0, a1), _mm256_add_pd(a2, a3)));
}

inline bool have_avx2() { return simd::avx2_allowed(); }
#else
inline void abs_dev_sum4_avx2(const double* w, std::size_t n, const double* md, double* res) {
    abs_dev_sum4(w, n, md, res);
}
inline bool have_avx2() { return false; }
#endif

inline void avedev(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    const std::size_t m = L - n + 1;
    const double nn = double(n), inv = 1.0 / nn;
    // First the mean deviation from the anchor of every window (into out) ...
    const std::ptrdiff_t B0 = first_block(m, n, last);
    std::vector<double> anchors((m + n - 1) / n + 1);  // per block, from the block at B0
    block_sums<1, 1>(
        &x, L, n, [](const auto* d, std::ptrdiff_t, auto* t) { t[0] = d[0]; },
        [&](std::size_t i, std::size_t o, const double* c, const double* s) {
            anchors[std::size_t(std::ptrdiff_t(i - o) - B0) / n] = c[0];
            out[i] = s[0] * inv;
        },
        last);
    // ... then the absolute deviations, four windows at a time. A window
    // holding a NaN or inf has a non-finite mean and result, decided below.
    const bool avx2 = have_avx2();
    std::vector<double> dev(2 * n);  // x - c over the positions of the block's windows
    for (std::ptrdiff_t Bs = B0; Bs < std::ptrdiff_t(m); Bs += std::ptrdiff_t(n)) {
        const double c = anchors[std::size_t(Bs - B0) / n];
        const std::size_t B = Bs < 0 ? 0 : std::size_t(Bs);  // first window of the block
        const std::size_t end = std::min<std::size_t>(L, std::size_t(Bs + 2 * std::ptrdiff_t(n) - 1));
        for (std::size_t k = B; k < end; ++k) dev[k - B] = x[k] - c;
        const std::size_t cnt = std::min<std::size_t>(std::size_t(Bs + std::ptrdiff_t(n)), m) - B;
        std::size_t o = 0;
        double res[4];
        for (; o + 4 <= cnt; o += 4) {
            if (avx2) {
                abs_dev_sum4_avx2(dev.data() + o, n, out + B + o, res);
            } else {
                abs_dev_sum4(dev.data() + o, n, out + B + o, res);
            }
            for (int k = 0; k < 4; ++k) out[B + o + k] = res[k] * inv;
        }
        for (; o < cnt; ++o) out[B + o] = abs_dev_sum(dev.data() + o, n, out[B + o]) * inv;
    }
    AvedevState st{x, n};
    fix_nonfinite(&x, 1, L, n, out, kSafe1, [&](std::size_t i) { return st.naive(i); });
}

// ---- exponential moving average ------------------------------------------------
// Window ending at j: sum_k alpha q^(j-k) x_k = q^(j-E) * sum_k alpha q^(E-k) x_k,
// with q^(E-k) above 1 for the prefix part (at most q^-(n-1), about e^2).
// About an anchor c: ema = c (1 - q^n) + the same sum over x_k - c.
inline void ema(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    // weight of position k of block [B, E]: alpha q^(E-k) (k <= E) or alpha q^-(k-E)
    const EmaWeights& w = EmaWeights::of(n);
    const double total = w.total;
    const double* ws = w.wsuf.data();
    const double* wp = w.wpre.data();
    const double* up = w.up.data();
    block_sums<1, 1>(
        &x, L, n,
        [ws, wp](const auto* d, std::ptrdiff_t rel, auto* t) {
            t[0] = (rel <= 0 ? ws[-rel] : wp[rel]) * d[0];
        },
        [&](std::size_t i, std::size_t o, const double* c, const double* s) {
            out[i] = c[0] * total + up[o] * s[0];
        },
        last);
    EmaState st{x, n, w.weights.data()};
    fix_nonfinite(&x, 1, L, n, out, kSafe1, [&](std::size_t i) { return st.naive(i); });
}

// ---- wma and slope: position-weighted sums ----------------------------------------
// (zarnik/columns.hpp streams wma's sums and finishing formula over the rows of a
// panel; a change here goes there too)
// For window i in block [B, E] and d_k = x_k - c: A = sum d_k and
// P = sum (k - i) d_k = (E - i) A + T, with T = sum (k - E) d_k.
template <class Finish>
void position_sums(const double* x, std::size_t L, std::size_t n, Finish finish, std::int64_t last) {
    block_sums<2, 1>(
        &x, L, n,
        [](const auto* d, std::ptrdiff_t rel, auto* t) {
            t[0] = d[0];
            t[1] = double(rel) * d[0];
        },
        [&](std::size_t i, std::size_t o, const double* c, const double* s) {
            const double a = s[0], off = double(std::int64_t(n - 1 - o)) * a, t = s[1];
            finish(i, c[0], a, off + t, std::fabs(off) + std::fabs(t));
        },
        last);
}

inline void wma(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    const double nn = double(n), scale = 2.0 / (nn * (nn + 1.0));
    position_sums(x, L, n, [&](std::size_t i, double c, double a, double p, double) {
        out[i] = c + (p + a) * scale;  // weights j + 1 = (k - i) + 1
    }, last);
    WmaState st{x, n};
    fix_nonfinite(&x, 1, L, n, out, kSafe1, [&](std::size_t i) { return st.naive(i); });
}

inline void slope(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    const std::size_t m = L - n + 1;
    if (n == 1) {  // 0 / 0 for every window
        std::fill(out, out + m, kNaN);
        return;
    }
    SlopeState st(x, n);
    const double nn = double(n), half = (nn - 1.0) / 2.0, scale = nn / st.divisor;
    position_sums(x, L, n, [&](std::size_t i, double, double a, double p, double mag) {
        // slope = (sumW sumx - n sum W x) / divisor = n (half A - P) / divisor
        const double num = half * a - p;
        if (!std::isfinite(num)) {
            out[i] = kNaN;  // fixed below
        } else if (!(std::fabs(num) * 1e3 >= mag + half * std::fabs(a))) {
            st.rebuild(i);  // cancellation: recompute about the window mean
            out[i] = st.ok() ? st.value(i) : st.naive(i);
        } else {
            out[i] = num * scale;
        }
    }, last);
    fix_nonfinite(&x, 1, L, n, out, kSafe1, [&](std::size_t i) { return st.naive(i); });
}

// ---- covariance, correlation, regression --------------------------------------------
template <PairStat P>
void pair_stat(const double* a, const double* b, std::size_t L, std::size_t n, double* out, std::int64_t last) {
    PairState<P> st{a, b, n, 0.0, 0.0, {}, {}, {}, {}, {}};
    auto exact = [&](std::size_t i) {
        st.rebuild(i);
        return st.ok() ? st.value(i) : st.naive(i);
    };
    constexpr double limit = 1000.0;
    const double inv = 1.0 / double(n);
    const double* xs[2] = {a, b};
    auto terms = [](const auto* d, std::ptrdiff_t, auto* t) {
        const auto u = d[0], v = d[1];
        t[0] = u;
        t[1] = v;
        t[2] = u * u;
        t[3] = v * v;
        t[4] = u * v;
    };
    auto finish = [&](std::size_t i, std::size_t, const double*, const double* s) {
        const double ma = s[0] * inv, mb = s[1] * inv, raa = s[2] * inv, rbb = s[3] * inv;
        if (!std::isfinite(raa + rbb + s[4])) {
            out[i] = kNaN;  // fixed below
            return;
        }
        const double va = raa - ma * ma, vb = rbb - mb * mb;
        const bool a_const = raa == 0.0, b_const = rbb == 0.0;
        if ((!a_const && !(va * limit >= raa)) || (!b_const && !(vb * limit >= rbb))) {
            out[i] = exact(i);
            return;
        }
        const double cov = s[4] * inv - ma * mb;
        if constexpr (P == PairStat::covariance) {
            out[i] = a_const || b_const ? 0.0 : cov;
        } else if constexpr (P == PairStat::correlation) {
            out[i] = a_const || b_const ? kNaN : cov / (std::sqrt(va) * std::sqrt(vb));
        } else {
            out[i] = a_const ? kNaN : cov / va;
        }
    };
#if defined(__GNUC__)
    // finish over vector lanes for the common windows (finite sums, neither
    // series constant, both well conditioned; the same operations as finish)
    // and for those whose sums are not finite (NaN, as finish gives them).
    auto lanes = [out, inv](std::size_t i0, std::size_t stride, const auto* s) -> unsigned {
        using V = std::remove_cv_t<std::remove_reference_t<decltype(s[0])>>;
        constexpr int W = int(sizeof(V) / sizeof(double));
        const V raa = s[2] * inv, rbb = s[3] * inv;
        const V all = raa + rbb + s[4];
        const auto fin = all - all == 0.0;
        bool any_fin = false;
        for (int l = 0; l < W; ++l) any_fin = any_fin || fin[l];
        if (!any_fin) {  // every lane holds a NaN (long windows with NaN, mostly)
            for (int l = 0; l < W; ++l) out[i0 + std::size_t(l) * stride] = kNaN;
            return 0;
        }
        const V ma = s[0] * inv, mb = s[1] * inv;
        const V va = raa - ma * ma, vb = rbb - mb * mb;
        const V cov = s[4] * inv - ma * mb;
        const auto ok = fin & (raa != 0.0) & (rbb != 0.0) & (va * limit >= raa) & (vb * limit >= rbb);
        V r = cov;
        if constexpr (P != PairStat::covariance) {
            // the square roots and the division only where a lane takes them
            bool any = false;
            for (int l = 0; l < W; ++l) any = any || ok[l];
            if (any) {
                if constexpr (P == PairStat::correlation) {
                    V sa = va, sb = vb;
                    lanes_sqrt(sa);
                    lanes_sqrt(sb);
                    r = cov / (sa * sb);
                } else {
                    r = cov / va;
                }
            }
        }
        unsigned rest = 0;
        for (int l = 0; l < W; ++l) {
            if (ok[l]) {
                out[i0 + std::size_t(l) * stride] = r[l];
            } else if (!fin[l]) {
                out[i0 + std::size_t(l) * stride] = kNaN;  // as finish: fixed below
            } else {
                rest |= 1u << l;
            }
        }
        return rest;
    };
    block_sums<5, 2>(xs, L, n, terms, WithLanes<decltype(finish), decltype(lanes)>{finish, lanes}, last);
#else
    block_sums<5, 2>(xs, L, n, terms, finish, last);
#endif
    // Windows with a non-finite result: NaN, infinities, or overflow.
    fix_nonfinite(xs, 2, L, n, out, kSafe2, [&](std::size_t i) {
        for (std::size_t j = i; j < i + n; ++j)
            if (std::isinf(a[j]) || std::isinf(b[j])) return st.naive(i);
        return exact(i);
    });
}

inline void covariance(const double* a, const double* b, std::size_t L, std::size_t n, double* out,
                 std::int64_t last = -1) {
    pair_stat<PairStat::covariance>(a, b, L, n, out, last);
}
inline void correlation(const double* a, const double* b, std::size_t L, std::size_t n, double* out,
                 std::int64_t last = -1) {
    pair_stat<PairStat::correlation>(a, b, L, n, out, last);
}
inline void regression(const double* x, const double* y, std::size_t L, std::size_t n, double* out,
                       std::int64_t last = -1) {
    pair_stat<PairStat::regression>(x, y, L, n, out, last);
}

// ---------------------------------------------------------------------------
// Associative window reductions (min, max, product, argmax, argmin) in O(L):
// a window [i, i + n - 1] whose first element lies in block [B, E] is
// op(suffix fold of [i, E], prefix fold of [E + 1, i + n - 1]). One backward
// scan per block stores the suffix folds; the prefix fold runs forward.
// op(older, newer) must be associative.
// ---------------------------------------------------------------------------
template <class V, class Op>
void block_fold(const V* x, std::size_t L, std::size_t n, V* out, Op op, std::int64_t last = -1) {
    const std::size_t m = L - n + 1;
    constexpr std::size_t kStack = 128;
    V stack_buf[2 * kStack];
    std::vector<V> heap_buf;
    V* suf = stack_buf;
    if (n > kStack) {
        heap_buf.resize(2 * n);
        suf = heap_buf.data();
    }
    V* pre = suf + n;  // pre[o]: fold of [E + 1, E + 1 + o]
    // A first block that starts before window 0 (see first_block): its
    // windows 0 .. min(E, m - 1).
    std::size_t B = 0;
    if (const std::ptrdiff_t B0 = first_block(m, n, last); B0 < 0) {
        const std::size_t E = std::size_t(B0 + std::ptrdiff_t(n) - 1);
        const std::size_t o_first = std::size_t(-B0), o_last = std::size_t(std::ptrdiff_t(std::min(E, m - 1)) - B0);
        V sacc = x[E];
        suf[n - 1] = sacc;
        for (std::size_t o = 1; o + o_first < n; ++o) {
            sacc = op(x[E - o], sacc);
            suf[n - 1 - o] = sacc;
        }
        if (o_last > 0) {
            V pacc = x[E + 1];
            pre[0] = pacc;
            for (std::size_t o = 1; o < o_last; ++o) {
                pacc = op(pacc, x[E + 1 + o]);
                pre[o] = pacc;
            }
        }
        for (std::size_t o = o_first; o <= o_last; ++o) out[std::size_t(B0 + std::ptrdiff_t(o))] = op(suf[o], pre[o - 1]);
        B = std::size_t(B0 + std::ptrdiff_t(n));
    }
    for (; B < m; B += n) {
        const std::size_t E = B + n - 1;
        const std::size_t plen = std::min(E, m - 1) - B;  // windows B + 1 .. B + plen
        // The backward and forward folds are independent chains, run in one
        // loop so that they overlap.
        V sacc = x[E];
        suf[n - 1] = sacc;
        std::size_t o = 1;
        if (plen > 0) {
            V pacc = x[E + 1];
            pre[0] = pacc;
            for (; o < plen; ++o) {
                sacc = op(x[E - o], sacc);
                suf[n - 1 - o] = sacc;
                pacc = op(pacc, x[E + 1 + o]);
                pre[o] = pacc;
            }
        }
        for (; o < n; ++o) {
            sacc = op(x[E - o], sacc);
            suf[n - 1 - o] = sacc;
        }
        out[B] = sacc;
        for (o = 1; o <= plen; ++o) out[B + o] = op(suf[o], pre[o - 1]);
    }
}

// Positions of the NaNs of a floating-point series (empty for integers or
// when there is none).
template <class T>
std::vector<std::uint32_t> nan_positions(const T* x, std::size_t L) {
    std::vector<std::uint32_t> pos;
    if constexpr (std::is_floating_point_v<T>) {
        std::size_t k = 0;
#if defined(__SSE2__)
        if constexpr (std::is_same_v<T, double>) {
            for (; k + 4 <= L; k += 4) {
                const __m128d v0 = _mm_loadu_pd(x + k), v1 = _mm_loadu_pd(x + k + 2);
                const int mask = _mm_movemask_pd(_mm_cmpunord_pd(v0, v0)) | (_mm_movemask_pd(_mm_cmpunord_pd(v1, v1)) << 2);
                if (mask)
                    for (int j = 0; j < 4; ++j)
                        if (mask & (1 << j)) pos.push_back(std::uint32_t(k + j));
            }
        }
#endif
        for (; k < L; ++k)
            if (x[k] != x[k]) pos.push_back(std::uint32_t(k));
    }
    return pos;
}

// Minimum / maximum; a NaN in the window makes it NaN.
template <class T, bool Max>
void ts_extreme(const T* x, std::size_t L, std::size_t n, T* out, std::int64_t last) {
    const std::size_t m = L - n + 1;
    const std::vector<std::uint32_t> nans = nan_positions(x, L);
    // Windows holding a NaN: the NaN at p reaches windows p - n + 1 .. p. Where
    // they are every window (a single window with a NaN, say), no fold is run.
    std::size_t reach = 0;  // windows below it hold a NaN
    for (std::uint32_t p : nans) {
        const std::size_t lo = p + 1 >= n ? p + 1 - n : 0;
        if (lo > reach || reach >= m) break;
        reach = std::size_t(p) + 1;
    }
    if (reach < m)
        block_fold(x, L, n, out, [](T a, T b) {
            if constexpr (Max) {
                return a < b ? b : a;
            } else {
                return b < a ? b : a;
            }
        }, last);
    std::size_t filled = 0;  // windows below this are done
    for (std::uint32_t p : nans) {
        std::size_t lo = p + 1 >= n ? p + 1 - n : 0;
        const std::size_t hi = std::min<std::size_t>(p, m - 1);
        for (lo = std::max(lo, filled); lo <= hi; ++lo) out[lo] = x[p];
        filled = std::max(filled, hi + 1);
    }
}

template <class T>
void ts_min(const T* x, std::size_t L, std::size_t n, T* out, std::int64_t last = -1) {
    ts_extreme<T, false>(x, L, n, out, last);
}
template <class T>
void ts_max(const T* x, std::size_t L, std::size_t n, T* out, std::int64_t last = -1) {
    ts_extreme<T, true>(x, L, n, out, last);
}

#if defined(__SSE2__)
// ts_arg over the two full blocks [B, B + n) and [B + n, B + 2n) at once, one
// block per vector lane, positions carried as doubles (exact). Same folds and
// tie rules as the scalar loop below; windows holding a NaN are fixed after.
// buf holds 4 n vectors.
template <bool Max>
void ts_arg_block_pair(const double* x, std::size_t n, std::size_t B, double* out, __m128d* buf) {
    auto better = [](__m128d a, __m128d b) {  // a strictly better than b
        if constexpr (Max) {
            return _mm_cmpgt_pd(a, b);
        } else {
            return _mm_cmplt_pd(a, b);
        }
    };
    auto pick = [](__m128d a, __m128d b) {  // a if strictly better, else b
        if constexpr (Max) {
            return _mm_max_pd(a, b);
        } else {
            return _mm_min_pd(a, b);
        }
    };
    auto blend = [](__m128d mask, __m128d a, __m128d b) {
        return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
    };
    __m128d* sv = buf;
    __m128d* si = buf + n;
    __m128d* pv = buf + 2 * n;
    __m128d* pi = buf + 3 * n;
    const std::size_t E0 = B + n - 1, E1 = E0 + n;
    const __m128d one = _mm_set1_pd(1.0);
    __m128d kv = _mm_set_pd(double(E1), double(E0));
    __m128d jv = _mm_add_pd(kv, one);
    __m128d sval = _mm_set_pd(x[E1], x[E0]), sidx = kv;
    __m128d pval = _mm_set_pd(x[E1 + 1], x[E0 + 1]), pidx = jv;
    sv[n - 1] = sval;
    si[n - 1] = sidx;
    pv[0] = pval;
    pi[0] = pidx;
    for (std::size_t o = 1; o < n; ++o) {
        // suffix [E - o, E]: the older value wins ties
        kv = _mm_sub_pd(kv, one);
        const __m128d xs = _mm_set_pd(x[E1 - o], x[E0 - o]);
        const __m128d keep = better(sval, xs);
        sval = pick(sval, xs);
        sidx = blend(keep, sidx, kv);
        sv[n - 1 - o] = sval;
        si[n - 1 - o] = sidx;
        if (o + 1 < n) {  // prefix [E + 1, E + 1 + o]: the newer must be strictly better
            jv = _mm_add_pd(jv, one);
            const __m128d xp = _mm_set_pd(x[E1 + 1 + o], x[E0 + 1 + o]);
            const __m128d up = better(xp, pval);
            pval = pick(xp, pval);
            pidx = blend(up, jv, pidx);
            pv[o] = pval;
            pi[o] = pidx;
        }
    }
    __m128d start = _mm_set_pd(double(B + n), double(B));
    __m128d r = _mm_sub_pd(si[0], start);
    _mm_storel_pd(out + B, r);
    _mm_storeh_pd(out + B + n, r);
    for (std::size_t o = 1; o < n; ++o) {
        start = _mm_add_pd(start, one);
        r = _mm_sub_pd(blend(better(pv[o - 1], sv[o]), pi[o - 1], si[o]), start);
        _mm_storel_pd(out + B + o, r);
        _mm_storeh_pd(out + B + n + o, r);
    }
}
#endif

#if defined(__GNUC__) && defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
// The same over four full blocks [B, B + 4n) with 4-wide AVX2 vectors, for
// processors that have them (chosen at run time). buf holds 4 n vectors.
template <bool Max>
__attribute__((target("avx2"))) void ts_arg_block_quad(const double* x, std::size_t n, std::size_t B, double* out,
                                                        __m256d* buf) {
    // BETTER(a, b): a strictly better than b; PICK(a, b): a if strictly better, else b
    constexpr int kBetter = Max ? _CMP_GT_OQ : _CMP_LT_OQ;
#define ZARNIK_BETTER(a, b) _mm256_cmp_pd((a), (b), kBetter)
#define ZARNIK_PICK(a, b) (Max ? _mm256_max_pd((a), (b)) : _mm256_min_pd((a), (b)))
    __m256d* sv = buf;
    __m256d* si = buf + n;
    __m256d* pv = buf + 2 * n;
    __m256d* pi = buf + 3 * n;
    const std::size_t E0 = B + n - 1, E1 = E0 + n, E2 = E1 + n, E3 = E2 + n;
    const __m256d one = _mm256_set1_pd(1.0);
    __m256d kv = _mm256_set_pd(double(E3), double(E2), double(E1), double(E0));
    __m256d jv = _mm256_add_pd(kv, one);
    __m256d sval = _mm256_set_pd(x[E3], x[E2], x[E1], x[E0]), sidx = kv;
    __m256d pval = _mm256_set_pd(x[E3 + 1], x[E2 + 1], x[E1 + 1], x[E0 + 1]), pidx = jv;
    sv[n - 1] = sval;
    si[n - 1] = sidx;
    pv[0] = pval;
    pi[0] = pidx;
    for (std::size_t o = 1; o < n; ++o) {
        kv = _mm256_sub_pd(kv, one);
        const __m256d xs = _mm256_set_pd(x[E3 - o], x[E2 - o], x[E1 - o], x[E0 - o]);
        const __m256d keep = ZARNIK_BETTER(sval, xs);
        sval = ZARNIK_PICK(sval, xs);
        sidx = _mm256_blendv_pd(kv, sidx, keep);
        sv[n - 1 - o] = sval;
        si[n - 1 - o] = sidx;
        if (o + 1 < n) {
            jv = _mm256_add_pd(jv, one);
            const __m256d xp = _mm256_set_pd(x[E3 + 1 + o], x[E2 + 1 + o], x[E1 + 1 + o], x[E0 + 1 + o]);
            const __m256d up = ZARNIK_BETTER(xp, pval);
            pval = ZARNIK_PICK(xp, pval);
            pidx = _mm256_blendv_pd(pidx, jv, up);
            pv[o] = pval;
            pi[o] = pidx;
        }
    }
    __m256d start = _mm256_set_pd(double(B + 3 * n), double(B + 2 * n), double(B + n), double(B));
    for (std::size_t o = 0; o < n; ++o) {
        const __m256d idx = o == 0 ? si[0] : _mm256_blendv_pd(si[o], pi[o - 1], ZARNIK_BETTER(pv[o - 1], sv[o]));
        const __m256d r = _mm256_sub_pd(idx, start);
        start = _mm256_add_pd(start, one);
        const __m128d lo = _mm256_castpd256_pd128(r), hi = _mm256_extractf128_pd(r, 1);
        _mm_storel_pd(out + B + o, lo);
        _mm_storeh_pd(out + B + n + o, lo);
        _mm_storel_pd(out + B + 2 * n + o, hi);
        _mm_storeh_pd(out + B + 3 * n + o, hi);
    }
}
#undef ZARNIK_BETTER
#undef ZARNIK_PICK

// Short windows (n <= kArgRescan) rescanned whole, eight windows per step in
// two 4-wide AVX2 vectors: each lane keeps its window's best value and the
// offset where it was first reached (a later value must be strictly better:
// the older position wins ties, as in the folds). The first m - m % 8
// windows are written; windows holding a NaN are fixed after.
inline constexpr std::size_t kArgRescan = 8;

template <bool Max>
__attribute__((target("avx2"))) std::size_t ts_arg_rescan(const double* x, std::size_t n, std::size_t m,
                                                          double* out) {
    constexpr int kBetter = Max ? _CMP_GT_OQ : _CMP_LT_OQ;
    const __m256d one = _mm256_set1_pd(1.0);
    std::size_t i = 0;
    for (; i + 8 <= m; i += 8) {
        __m256d b0 = _mm256_loadu_pd(x + i), b1 = _mm256_loadu_pd(x + i + 4);
        __m256d i0 = _mm256_setzero_pd(), i1 = i0, off = i0;
        for (std::size_t j = 1; j < n; ++j) {
            off = _mm256_add_pd(off, one);
            const __m256d v0 = _mm256_loadu_pd(x + i + j), v1 = _mm256_loadu_pd(x + i + 4 + j);
            i0 = _mm256_blendv_pd(i0, off, _mm256_cmp_pd(v0, b0, kBetter));
            i1 = _mm256_blendv_pd(i1, off, _mm256_cmp_pd(v1, b1, kBetter));
            // max / min return their second operand (the best so far) unless the first is strictly better
            b0 = Max ? _mm256_max_pd(v0, b0) : _mm256_min_pd(v0, b0);
            b1 = Max ? _mm256_max_pd(v1, b1) : _mm256_min_pd(v1, b1);
        }
        _mm256_storeu_pd(out + i, i0);
        _mm256_storeu_pd(out + i + 4, i1);
    }
    return i;
}
#endif

// ts_arg of a single window x[0, n): the position of its first NaN, else of
// the first value equal to its best one (the folds below give the older
// position on ties, and a position holds no rounding, so this is the same
// result). One pass finds the best value and whether a NaN is present, a
// second the position.
template <bool Max>
std::size_t ts_arg_single(const double* x, std::size_t n) {
    std::size_t k = 0;
    double best = x[0];
    bool nan = x[0] != x[0];
#if defined(__SSE2__)
    if (n >= 4) {
        __m128d b0 = _mm_loadu_pd(x), b1 = _mm_loadu_pd(x + 2);
        __m128d u = _mm_or_pd(_mm_cmpunord_pd(b0, b0), _mm_cmpunord_pd(b1, b1));
        for (k = 4; k + 4 <= n; k += 4) {
            const __m128d v0 = _mm_loadu_pd(x + k), v1 = _mm_loadu_pd(x + k + 2);
            u = _mm_or_pd(u, _mm_or_pd(_mm_cmpunord_pd(v0, v0), _mm_cmpunord_pd(v1, v1)));
            // a NaN met here is reported through u, whatever max / min make of it
            b0 = Max ? _mm_max_pd(v0, b0) : _mm_min_pd(v0, b0);
            b1 = Max ? _mm_max_pd(v1, b1) : _mm_min_pd(v1, b1);
        }
        b0 = Max ? _mm_max_pd(b0, b1) : _mm_min_pd(b0, b1);
        const double lo = _mm_cvtsd_f64(b0), hi = _mm_cvtsd_f64(_mm_unpackhi_pd(b0, b0));
        best = Max ? (hi > lo ? hi : lo) : (hi < lo ? hi : lo);
        nan = _mm_movemask_pd(u) != 0;
    }
#endif
    for (; k < n; ++k) {
        const double v = x[k];
        nan = nan || v != v;
        best = Max ? (v > best ? v : best) : (v < best ? v : best);
    }
    k = 0;
    if (nan) {
        while (x[k] == x[k]) ++k;
    } else {
        while (x[k] != best) ++k;
    }
    return k;
}

// Position (0 = oldest) of the first maximum / minimum; of the first NaN if
// the window holds one. The folds carry (value, position); on ties the older
// position wins.
template <class T, bool Max>
void ts_arg(const T* x, std::size_t L, std::size_t n, double* out) {
    if constexpr (std::is_same_v<T, double>) {
        if (L == n) {
            out[0] = double(ts_arg_single<Max>(x, n));
            return;
        }
    }
    struct VI {
        T v;
        std::uint32_t i;
    };
    // op(older, newer): the newer one must be strictly better to win.
    const std::size_t m = L - n + 1;
    constexpr std::size_t kStack = 128;
    VI stack_buf[2 * kStack];
    std::vector<VI> heap_buf;
    VI* suf = stack_buf;
    if (n > kStack) {
        heap_buf.resize(2 * n);
        suf = heap_buf.data();
    }
    VI* pre = suf + n;
    // Selections without branches: which of two random values is larger is
    // unpredictable.
    auto op = [](VI older, VI newer) {
        bool take;
        T v;
        if constexpr (Max) {
            take = newer.v > older.v;
            v = newer.v > older.v ? newer.v : older.v;
        } else {
            take = newer.v < older.v;
            v = newer.v < older.v ? newer.v : older.v;
        }
#if defined(__GNUC__)
        const std::uint32_t i = __builtin_expect_with_probability(take, 1, 0.5) ? newer.i : older.i;
#else
        const std::uint32_t i = take ? newer.i : older.i;
#endif
        return VI{v, i};
    };
    std::size_t B0 = 0;  // windows [0, B0) are done; blocks start anywhere (positions are exact)
    bool rescanned = false;
#if defined(__GNUC__) && defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
    if constexpr (std::is_same_v<T, double>) {
        if (n <= kArgRescan && have_avx2()) {
            B0 = ts_arg_rescan<Max>(x, n, m, out);
            rescanned = true;
        }
    }
#endif
#if defined(__SSE2__)
    if constexpr (std::is_same_v<T, double>) {
        if (!rescanned && n >= 2 && 2 * n <= m) {
            std::vector<double> raw(16 * n + 4);  // 4 n vectors of up to 4 lanes, 32-byte aligned
            const std::uintptr_t addr = (reinterpret_cast<std::uintptr_t>(raw.data()) + 31) & ~std::uintptr_t(31);
#if defined(__GNUC__) && defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
            if (have_avx2())
                for (; B0 + 4 * n <= m; B0 += 4 * n)
                    ts_arg_block_quad<Max>(x, n, B0, out, reinterpret_cast<__m256d*>(addr));
#endif
            for (; B0 + 2 * n <= m; B0 += 2 * n) ts_arg_block_pair<Max>(x, n, B0, out, reinterpret_cast<__m128d*>(addr));
        }
    }
#endif
    for (std::size_t B = B0; B < m; B += n) {
        const std::size_t E = B + n - 1;
        const std::size_t plen = std::min(E, m - 1) - B;
        VI sacc{x[E], std::uint32_t(E)};
        suf[n - 1] = sacc;
        std::size_t o = 1;
        if (plen > 0) {
            VI pacc{x[E + 1], std::uint32_t(E + 1)};
            pre[0] = pacc;
            for (; o < plen; ++o) {
                sacc = op(VI{x[E - o], std::uint32_t(E - o)}, sacc);
                suf[n - 1 - o] = sacc;
                pacc = op(pacc, VI{x[E + 1 + o], std::uint32_t(E + 1 + o)});
                pre[o] = pacc;
            }
        }
        for (; o < n; ++o) {
            sacc = op(VI{x[E - o], std::uint32_t(E - o)}, sacc);
            suf[n - 1 - o] = sacc;
        }
        out[B] = double(std::int64_t(sacc.i) - std::int64_t(B));
        for (o = 1; o <= plen; ++o) {
            const VI a = suf[o], b = pre[o - 1];
            bool take;  // the newer part wins only when strictly better
            if constexpr (Max) {
                take = b.v > a.v;
            } else {
                take = b.v < a.v;
            }
            const std::int64_t i = std::int64_t(a.i ^ ((a.i ^ b.i) & (0u - std::uint32_t(take))));
            out[B + o] = double(i - std::int64_t(B + o));
        }
    }
    // Windows holding a NaN: the position of their first NaN.
    // The first NaN of windows (previous NaN, p] that reach p is p.
    std::size_t from = 0;  // windows below this start at or before an earlier NaN
    for (std::uint32_t p : nan_positions(x, L)) {
        std::size_t lo = std::max<std::size_t>(from, p + 1 >= n ? p + 1 - n : 0);
        const std::size_t hi = std::min<std::size_t>(p, m - 1);
        for (; lo <= hi; ++lo) out[lo] = double(std::int64_t(p) - std::int64_t(lo));
        from = std::size_t(p) + 1;
    }
}

template <class T>
void ts_argmax(const T* x, std::size_t L, std::size_t n, double* out) { ts_arg<T, true>(x, L, n, out); }
template <class T>
void ts_argmin(const T* x, std::size_t L, std::size_t n, double* out) { ts_arg<T, false>(x, L, n, out); }

// Product of floating-point windows. Windows with a NaN or an infinity are
// decided from their values, so the outcome does not depend on the order of
// multiplication (0 * inf is NaN, inf times non-zero values a signed inf).
// So are windows of finite values whose folded product overflowed: in the
// grouping of the block grid a partial product may reach inf and meet a zero
// (NaN) or a partial product that underflowed, while the true product is 0,
// finite, or an overflow. They get the product of their mantissas with the
// exponents summed apart, which no grouping changes. Every non-finite window
// is decided from its own values whatever else the series holds, so its
// value does not depend on the rows around it.
inline void product(const double* x, std::size_t L, std::size_t n, double* out, std::int64_t last = -1) {
    block_fold(x, L, n, out, [](double a, double b) { return a * b; }, last);
    fix_nonfinite(&x, 1, L, n, out, 0.0, [&](std::size_t i) {
        bool inf = false, zero = false;
        unsigned neg = 0;
        for (std::size_t j = i; j < i + n; ++j) {
            inf |= std::isinf(x[j]);
            zero |= x[j] == 0.0;
            neg += std::signbit(x[j]);
        }
        if (inf) {
            if (zero) return kNaN;
            return (neg & 1u) ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        }
        // finite values: mantissas in [0.5, 1) multiply without overflow or
        // underflow, the exponents add up exactly; a zero keeps the sign of
        // the product
        double mant = 1.0;
        std::int64_t ex = 0;
        for (std::size_t j = i; j < i + n; ++j) {
            int e;
            mant *= std::frexp(x[j], &e);
            ex += e;
            mant = std::frexp(mant, &e);
            ex += e;
        }
        if (mant == 0.0) return mant;
        const std::int64_t lim = 4096;  // beyond any double's range either way
        return std::ldexp(mant, int(std::clamp(ex, -lim, lim)));
    });
}

// Integer sum and product wrap modulo 2^64, as numpy's int64/uint64
// accumulators do; unsigned arithmetic makes the wrap well defined.
inline void sum_wrap(const std::uint64_t* x, std::size_t L, std::size_t n, std::uint64_t* out) {
    std::uint64_t s = 0;
    for (std::size_t j = 0; j < n; ++j) s += x[j];
    out[0] = s;
    for (std::size_t i = 1; i + n <= L; ++i) {
        s += x[i + n - 1] - x[i - 1];
        out[i] = s;
    }
}

inline void product_wrap(const std::uint64_t* x, std::size_t L, std::size_t n, std::uint64_t* out) {
    block_fold(x, L, n, out, [](std::uint64_t a, std::uint64_t b) { return a * b; });
}

// Number of non-zero values (NaN counts as non-zero).
template <class T>
void count(const T* x, std::size_t L, std::size_t n, std::int64_t* out) {
    std::int64_t c = 0;
    for (std::size_t j = 0; j < n; ++j) c += x[j] != T(0);
    out[0] = c;
    for (std::size_t i = 1; i + n <= L; ++i) {
        c += std::int64_t(x[i + n - 1] != T(0)) - std::int64_t(x[i - 1] != T(0));
        out[i] = c;
    }
}

// Rank of the newest value in its window over the window length. Equal
// values keep their time order (the newest ranks highest) and NaN sorts
// above every number, so the rank is the number of older values that are
// not greater than the newest one (a NaN newest value: all n - 1 of them).
//
// The counts are taken lag by lag: for a lag k, the windows of neighbouring
// outputs compare x[i + n - 1 - k] with x[i + n - 1] side by side, so a run of
// outputs is one compare per value and lag, vectorised over the outputs. That
// is O(n) per output with a small constant; longer windows than pay off take
// the O(log L) order-statistics tree instead (limits measured per path).
inline constexpr std::size_t kRankCountAvx2 = 640;   // float64 with AVX2
inline constexpr std::size_t kRankCountNarrow = 256; // 1- to 4-byte values
inline constexpr std::size_t kRankScanWide = 32;     // 8-byte values otherwise

// Counts for outputs [i, i1), one window at a time.
template <class T>
void ts_rank_scan(const T* x, std::size_t n, std::size_t i, std::size_t i1, double* out) {
    const double nn = double(n);
    for (; i < i1; ++i) {
        const T* w = x + i;
        const T v = w[n - 1];
        std::size_t c = 0;
        if (is_nan(v)) {
            c = n - 1;
        } else {
            for (std::size_t j = 0; j + 1 < n; ++j) c += (w[j] <= v);
        }
        out[i] = double(c) / nn;
    }
}

// Counts for outputs [i, i1) of a series, in plain loops the compiler
// vectorises; runs of 256 outputs keep the counts in cache.
template <class T>
void ts_rank_count(const T* x, std::size_t n, std::size_t i, std::size_t i1, double* out) {
    using C = std::conditional_t<(sizeof(T) >= 8), std::uint64_t, std::uint32_t>;
    constexpr std::size_t R = 256;
    const double nn = double(n), full = double(n - 1) / nn;
    C cnt[R];
    for (; i < i1; i += R) {
        const std::size_t len = std::min(R, i1 - i);
        const T* nw = x + i + n - 1;
        for (std::size_t j = 0; j < len; ++j) cnt[j] = 0;
        for (std::size_t k = 1; k < n; ++k) {
            const T* old = nw - k;
            for (std::size_t j = 0; j < len; ++j) cnt[j] += C(old[j] <= nw[j]);
        }
        for (std::size_t j = 0; j < len; ++j) out[i + j] = is_nan(nw[j]) ? full : double(cnt[j]) / nn;
    }
}

#if defined(__GNUC__) && defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
// The counts of four outputs (the lanes of c, as 64-bit integers) to their
// ranks, stored at o: v holds the four newest values.
__attribute__((target("avx2"))) inline void ts_rank_store4(__m256i c, __m256d v, __m256d nn, __m256d full,
                                                            double* o) {
    // counts are far below 2^52: or-ing in the exponent of 2^52 and taking
    // 2^52 away converts them exactly
    const __m256i magic = _mm256_set1_epi64x(0x4330000000000000LL);
    const __m256d two52 = _mm256_set1_pd(4503599627370496.0);
    __m256d d = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(c, magic)), two52);
    d = _mm256_blendv_pd(d, full, _mm256_cmp_pd(v, v, _CMP_UNORD_Q));
    _mm256_storeu_pd(o, _mm256_div_pd(d, nn));
}

// Float64 counts with AVX2: 16 outputs at a time held in registers, one
// compare per lag and four outputs (quiet compares: a NaN on either side is
// not "not greater"). Returns how many outputs were done (a multiple of 4).
__attribute__((target("avx2"))) inline std::size_t ts_rank_count_avx2(const double* x, std::size_t n, std::size_t m,
                                                                       double* out) {
    const __m256d nn = _mm256_set1_pd(double(n)), full = _mm256_set1_pd(double(n - 1));
    std::size_t i = 0;
    for (; i + 16 <= m; i += 16) {
        const double* nw = x + i + n - 1;
        const __m256d v0 = _mm256_loadu_pd(nw), v1 = _mm256_loadu_pd(nw + 4), v2 = _mm256_loadu_pd(nw + 8),
                      v3 = _mm256_loadu_pd(nw + 12);
        __m256i c0 = _mm256_setzero_si256(), c1 = c0, c2 = c0, c3 = c0;
        for (std::size_t k = 1; k < n; ++k) {
            const double* o = nw - k;
            c0 = _mm256_sub_epi64(c0, _mm256_castpd_si256(_mm256_cmp_pd(_mm256_loadu_pd(o), v0, _CMP_LE_OQ)));
            c1 = _mm256_sub_epi64(c1, _mm256_castpd_si256(_mm256_cmp_pd(_mm256_loadu_pd(o + 4), v1, _CMP_LE_OQ)));
            c2 = _mm256_sub_epi64(c2, _mm256_castpd_si256(_mm256_cmp_pd(_mm256_loadu_pd(o + 8), v2, _CMP_LE_OQ)));
            c3 = _mm256_sub_epi64(c3, _mm256_castpd_si256(_mm256_cmp_pd(_mm256_loadu_pd(o + 12), v3, _CMP_LE_OQ)));
        }
        ts_rank_store4(c0, v0, nn, full, out + i);
        ts_rank_store4(c1, v1, nn, full, out + i + 4);
        ts_rank_store4(c2, v2, nn, full, out + i + 8);
        ts_rank_store4(c3, v3, nn, full, out + i + 12);
    }
    for (; i + 4 <= m; i += 4) {
        const double* nw = x + i + n - 1;
        const __m256d v0 = _mm256_loadu_pd(nw);
        __m256i c0 = _mm256_setzero_si256();
        for (std::size_t k = 1; k < n; ++k)
            c0 = _mm256_sub_epi64(c0, _mm256_castpd_si256(_mm256_cmp_pd(_mm256_loadu_pd(nw - k), v0, _CMP_LE_OQ)));
        ts_rank_store4(c0, v0, nn, full, out + i);
    }
    return i;
}
#endif

// Long windows: ranks of the values in the whole series, and a Fenwick tree
// counting the window's values per rank.
template <class T>
void ts_rank_tree(const T* x, std::size_t L, std::size_t n, double* out) {
    const std::size_t m = L - n + 1;
    const double nn = double(n);
    std::vector<std::uint32_t> order(L);
    std::iota(order.begin(), order.end(), 0u);
    auto less = [x](std::uint32_t a, std::uint32_t b) {
        T va = x[a], vb = x[b];
        if (is_nan(vb)) return !is_nan(va);
        if (is_nan(va)) return false;
        return va < vb;
    };
    std::sort(order.begin(), order.end(), less);
    std::vector<std::uint32_t> rank(L);
    std::uint32_t r = 0;
    for (std::size_t k = 0; k < L; ++k) {
        if (k > 0 && less(order[k - 1], order[k])) ++r;
        rank[order[k]] = r + 1;  // 1-based for the tree
    }
    const std::size_t size = std::size_t(r) + 1;
    std::vector<std::int32_t> tree(size + 1, 0);
    auto update = [&](std::uint32_t pos, std::int32_t d) {
        for (std::size_t p = pos; p <= size; p += p & (~p + 1)) tree[p] += d;
    };
    auto prefix = [&](std::uint32_t pos) {
        std::int64_t s = 0;
        for (std::size_t p = pos; p > 0; p -= p & (~p + 1)) s += tree[p];
        return s;
    };
    for (std::size_t j = 0; j < n; ++j) update(rank[j], 1);
    for (std::size_t i = 0; i < m; ++i) {
        if (i > 0) {
            update(rank[i - 1], -1);
            update(rank[i + n - 1], 1);
        }
        out[i] = double(prefix(rank[i + n - 1]) - 1) / nn;
    }
}

template <class T>
void ts_rank(const T* x, std::size_t L, std::size_t n, double* out) {
    const std::size_t m = L - n + 1;
#if defined(__GNUC__) && defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
    if constexpr (std::is_same_v<T, double>) {
        if (n <= kRankCountAvx2 && have_avx2()) {
            const std::size_t i = ts_rank_count_avx2(x, n, m, out);
            return ts_rank_scan(x, n, i, m, out);
        }
    }
#endif
    if constexpr (sizeof(T) <= 4) {
        if (n <= kRankCountNarrow) return ts_rank_count(x, n, 0, m, out);
    } else {
        // without 64-bit vector compares, one window at a time is faster
        if (n <= kRankScanWide) return ts_rank_scan(x, n, 0, m, out);
    }
    ts_rank_tree(x, L, n, out);
}

}  // namespace zarnik::rolling
