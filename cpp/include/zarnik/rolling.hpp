// Rolling-window kernels over one instrument's series.
//
// Every kernel reads a contiguous series of length L and writes the L - n + 1
// values of its trailing windows of length n (output i belongs to input
// position i + n - 1). Callers validate 1 <= n <= L.
//
// Semantics are those of the plain window-matrix formulas (mean, std, sums of
// products along each window row): NaN anywhere in a window makes the
// arithmetic statistics NaN for that window only, infinities propagate the way
// IEEE arithmetic propagates them. The implementations are O(L) (or
// O(L log L)) online updates wherever that keeps full accuracy:
//   * sums are carried in double-double arithmetic, so windows never inherit
//     rounding from values that already left them;
//   * central moments are accumulated about an anchor near the data and
//     re-anchored (recomputed from the window) whenever the raw moments would
//     cancel badly, so large offsets with tiny spread stay accurate;
//   * non-finite values are counted instead of entering the sums, so an inf
//     or NaN affects exactly the windows that contain it; windows holding an
//     infinity are evaluated directly from their values.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <type_traits>
#include <vector>

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
// The sliding driver for the floating-point statistics.
//
// A State holds online sums over the finite values of the current window and
// provides:
//   rebuild(i)            recompute the sums for window i from its values
//   slide(i)              move from window i - 1 to window i
//   value(i, fresh, &re)  the statistic of window i; sets re when the sums
//                         are too ill-conditioned and a rebuild is wanted
//   naive(i)              the statistic computed directly from window i's
//                         values (windows holding an infinity, overflow)
//   ok()                  the sums are finite
// ---------------------------------------------------------------------------
struct NonFinite {
    std::size_t nan = 0, inf = 0;
    void add(double v) {
        if (v != v) {
            ++nan;
        } else if (std::isinf(v)) {
            ++inf;
        }
    }
    void remove(double v) {
        if (v != v) {
            --nan;
        } else if (std::isinf(v)) {
            --inf;
        }
    }
};

template <class State>
void drive(State& st, const double* const* xs, int k, std::size_t L, std::size_t n, double* out) {
    const std::size_t m = L - n + 1;
    NonFinite cnt;
    for (int s = 0; s < k; ++s)
        for (std::size_t j = 0; j < n; ++j) cnt.add(xs[s][j]);
    bool dirty = true;
    for (std::size_t i = 0; i < m; ++i) {
        if (i > 0) {
            for (int s = 0; s < k; ++s) {
                cnt.remove(xs[s][i - 1]);
                cnt.add(xs[s][i + n - 1]);
            }
            if (!dirty) st.slide(i);
        }
        if (cnt.nan) {
            out[i] = kNaN;
            continue;
        }
        if (cnt.inf) {
            out[i] = st.naive(i);
            continue;
        }
        bool fresh = false;
        if (dirty || !st.ok()) {
            st.rebuild(i);
            dirty = false;
            fresh = true;
        }
        bool retry = false;
        double r = st.value(i, fresh, retry);
        if (retry && !fresh) {
            st.rebuild(i);
            r = st.value(i, true, retry);
        }
        if (!st.ok()) {
            r = st.naive(i);
            dirty = true;
        }
        out[i] = r;
    }
}

// Condition limit: sums about an anchor are recomputed about the window mean
// once the raw second moment exceeds the central one by this factor (the
// double-double sums then still give ~1e-15 relative accuracy even for the
// fourth moment).
inline constexpr double kCondition = 1e8;

// ---- plain sums: sum, ma --------------------------------------------------
struct SumState {
    const double* x;
    std::size_t n;
    bool mean;
    dd s;
    void rebuild(std::size_t i) { s = dd_sum(x + i, n); }
    void slide(std::size_t i) {
        double o = x[i - 1], v = x[i + n - 1];
        if (std::isfinite(o)) s = s - o;
        if (std::isfinite(v)) s = s + v;
    }
    bool ok() const { return finite(s); }
    double value(std::size_t, bool, bool&) const { return mean ? (s / double(n)).hi : s.hi; }
    double naive(std::size_t i) const {
        double t = 0.0;
        for (std::size_t j = 0; j < n; ++j) t += x[i + j];
        return mean ? t / double(n) : t;
    }
};

inline void sum(const double* x, std::size_t L, std::size_t n, double* out) {
    SumState st{x, n, false, {}};
    drive(st, &x, 1, L, n, out);
}

inline void ma(const double* x, std::size_t L, std::size_t n, double* out) {
    SumState st{x, n, true, {}};
    drive(st, &x, 1, L, n, out);
}

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
    void remove(double v) {
        dd p[K];
        powers(v, p);
        for (int k = 0; k < K; ++k) s[k] = s[k] - p[k];
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
    void slide(std::size_t i) {
        double o = x[i - 1], v = x[i + n - 1];
        if (std::isfinite(o)) mo.remove(o);
        if (std::isfinite(v)) mo.add(v);
    }
    bool ok() const { return mo.ok(); }

    double value(std::size_t i, bool fresh, bool& retry) const {
        const double nn = double(n);
        dd m1 = mo.s[0] / nn;
        dd r2 = mo.s[1] / nn;
        dd mu2 = r2 - m1 * m1;
        if (r2.hi != 0.0 && !(mu2.hi * kCondition > r2.hi) && !fresh) {
            retry = true;
            return 0.0;
        }
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

template <MomentStat S>
void moment_stat(const double* x, std::size_t L, std::size_t n, double* out) {
    MomentState<S> st{x, n, {}};
    drive(st, &x, 1, L, n, out);
}

inline void var(const double* x, std::size_t L, std::size_t n, double* out) { moment_stat<MomentStat::var>(x, L, n, out); }
inline void std_(const double* x, std::size_t L, std::size_t n, double* out) { moment_stat<MomentStat::std>(x, L, n, out); }
inline void zscore(const double* x, std::size_t L, std::size_t n, double* out) { moment_stat<MomentStat::zscore>(x, L, n, out); }
inline void skew(const double* x, std::size_t L, std::size_t n, double* out) { moment_stat<MomentStat::skew>(x, L, n, out); }

// Excess kurtosis; windows of 1 to 3 values give the fixed values -3, -2, -1.5.
inline void kurt(const double* x, std::size_t L, std::size_t n, double* out) {
    const std::size_t m = L - n + 1;
    if (n <= 3) {
        double v = n == 1 ? -3.0 : n == 2 ? -2.0 : -1.5;
        std::fill(out, out + m, v);
        return;
    }
    moment_stat<MomentStat::kurt>(x, L, n, out);
}

// ---- mean absolute deviation ----------------------------------------------
// The window mean comes from a sliding double-double sum; the deviations are
// taken against that mean at double-double precision and summed directly
// (all terms are non-negative, so plain summation is accurate).
struct AvedevState {
    const double* x;
    std::size_t n;
    dd s;
    void rebuild(std::size_t i) { s = dd_sum(x + i, n); }
    void slide(std::size_t i) {
        double o = x[i - 1], v = x[i + n - 1];
        if (std::isfinite(o)) s = s - o;
        if (std::isfinite(v)) s = s + v;
    }
    bool ok() const { return finite(s); }
    double value(std::size_t i, bool, bool&) const {
        dd mean = s / double(n);
        const double* w = x + i;
        double acc = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            dd d = two_sum(w[j], -mean.hi);
            acc += std::fabs(d.hi + (d.lo - mean.lo));
        }
        return acc / double(n);
    }
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

inline void avedev(const double* x, std::size_t L, std::size_t n, double* out) {
    AvedevState st{x, n, {}};
    drive(st, &x, 1, L, n, out);
}

// ---- exponential moving average (weights alpha (1 - alpha)^(n - j)) -------
struct EmaState {
    const double* x;
    std::size_t n;
    double alpha, q;
    dd tail;  // alpha * q^n: the weight of a value as it leaves the window
    std::vector<double> weights;
    dd e;

    EmaState(const double* x_, std::size_t n_) : x(x_), n(n_) {
        alpha = 2.0 / (double(n) + 1.0);
        q = 1.0 - alpha;
        dd qn{1.0, 0.0};
        for (std::size_t j = 0; j < n; ++j) qn = qn * q;
        tail = qn * alpha;
        weights.resize(n);
        for (std::size_t j = 0; j < n; ++j) weights[j] = alpha * std::pow(q, double(n - 1 - j));
    }
    void rebuild(std::size_t i) {
        e = dd{};
        for (std::size_t j = 0; j < n; ++j) {
            e = e * q;
            double v = x[i + j];
            if (std::isfinite(v)) e = e + two_prod(alpha, v);
        }
    }
    void slide(std::size_t i) {
        double o = x[i - 1], v = x[i + n - 1];
        e = e * q;
        if (std::isfinite(v)) e = e + two_prod(alpha, v);
        if (std::isfinite(o)) e = e - tail * o;
    }
    bool ok() const { return finite(e); }
    double value(std::size_t, bool, bool&) const { return e.hi; }
    double naive(std::size_t i) const {
        double t = 0.0;
        for (std::size_t j = 0; j < n; ++j) t += x[i + j] * weights[j];
        return t;
    }
};

inline void ema(const double* x, std::size_t L, std::size_t n, double* out) {
    EmaState st(x, n);
    drive(st, &x, 1, L, n, out);
}

// ---- linearly weighted average (weights 2j / (n (n + 1))) -----------------
struct WmaState {
    const double* x;
    std::size_t n;
    dd u, s;  // sum of (j + 1) x_j and sum of x_j over the window
    void rebuild(std::size_t i) {
        u = dd{};
        s = dd{};
        for (std::size_t j = 0; j < n; ++j) {
            double v = x[i + j];
            if (!std::isfinite(v)) continue;
            u = u + two_prod(double(j + 1), v);
            s = s + v;
        }
    }
    void slide(std::size_t i) {
        double o = x[i - 1], v = x[i + n - 1];
        u = u - s;
        if (std::isfinite(v)) u = u + two_prod(double(n), v);
        if (std::isfinite(o)) s = s - o;
        if (std::isfinite(v)) s = s + v;
    }
    bool ok() const { return finite(u) && finite(s); }
    double value(std::size_t, bool, bool&) const {
        const double nn = double(n);
        return (u * 2.0 / (nn * (nn + 1.0))).hi;
    }
    double naive(std::size_t i) const {
        const double nn = double(n);
        double t = 0.0;
        for (std::size_t j = 0; j < n; ++j) t += x[i + j] * (2.0 * double(j + 1) / (nn * (nn + 1.0)));
        return t;
    }
};

inline void wma(const double* x, std::size_t L, std::size_t n, double* out) {
    WmaState st{x, n, {}, {}};
    drive(st, &x, 1, L, n, out);
}

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
    void slide(std::size_t i) {
        double o = x[i - 1], v = x[i + n - 1];
        t = t - s;
        if (std::isfinite(o)) {
            dd d = dev(o);
            t = t + d;
            s = s - d;
        }
        if (std::isfinite(v)) {
            dd d = dev(v);
            t = t + d * double(n - 1);
            s = s + d;
        }
    }
    bool ok() const { return finite(s) && finite(t); }
    double value(std::size_t, bool fresh, bool& retry) const {
        dd a = s * sumx;
        dd num = a - t * double(n);
        if (!fresh && a.hi != 0.0 && !(std::fabs(num.hi) * kCondition > std::fabs(a.hi))) {
            retry = true;
            return 0.0;
        }
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

inline void slope(const double* x, std::size_t L, std::size_t n, double* out) {
    const std::size_t m = L - n + 1;
    if (n == 1) {  // 0 / 0 for every window
        std::fill(out, out + m, kNaN);
        return;
    }
    SlopeState st(x, n);
    drive(st, &x, 1, L, n, out);
}

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
    void slide(std::size_t i) {
        double ao = a[i - 1], bo = b[i - 1], an = a[i + n - 1], bn = b[i + n - 1];
        if (std::isfinite(ao) && std::isfinite(bo)) add(ao, bo, -1.0);
        if (std::isfinite(an) && std::isfinite(bn)) add(an, bn, 1.0);
    }
    bool ok() const { return finite(sa) && finite(sb) && finite(saa) && finite(sbb) && finite(sab); }

    double value(std::size_t, bool fresh, bool& retry) const {
        const double nn = double(n);
        dd ma = sa / nn, mb = sb / nn;
        dd raa = saa / nn, rbb = sbb / nn;
        dd va = raa - ma * ma, vb = rbb - mb * mb;
        if (!fresh && ((raa.hi != 0.0 && !(va.hi * kCondition > raa.hi)) ||
                       (rbb.hi != 0.0 && !(vb.hi * kCondition > rbb.hi)))) {
            retry = true;
            return 0.0;
        }
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

template <PairStat P>
void pair_stat(const double* a, const double* b, std::size_t L, std::size_t n, double* out) {
    PairState<P> st{a, b, n, 0.0, 0.0, {}, {}, {}, {}, {}};
    const double* xs[2] = {a, b};
    drive(st, xs, 2, L, n, out);
}

inline void covariance(const double* a, const double* b, std::size_t L, std::size_t n, double* out) {
    pair_stat<PairStat::covariance>(a, b, L, n, out);
}
inline void correlation(const double* a, const double* b, std::size_t L, std::size_t n, double* out) {
    pair_stat<PairStat::correlation>(a, b, L, n, out);
}
inline void regression(const double* x, const double* y, std::size_t L, std::size_t n, double* out) {
    pair_stat<PairStat::regression>(x, y, L, n, out);
}

// ---------------------------------------------------------------------------
// Associative window reductions (min, max, product, argmax, argmin) in O(L):
// each block of n positions gets prefix and suffix folds; a window spans at
// most two blocks, so it is op(suffix of its first block, prefix of the next).
// op(older, newer) must be associative.
// ---------------------------------------------------------------------------
template <class V, class Op>
void block_fold(const V* x, std::size_t L, std::size_t n, V* out, Op op) {
    std::vector<V> pre(L), suf(L);
    for (std::size_t b = 0; b < L; b += n) {
        std::size_t e = std::min(b + n, L);
        pre[b] = x[b];
        for (std::size_t k = b + 1; k < e; ++k) pre[k] = op(pre[k - 1], x[k]);
        suf[e - 1] = x[e - 1];
        for (std::size_t k = e - 1; k > b; --k) suf[k - 1] = op(x[k - 1], suf[k]);
    }
    const std::size_t m = L - n + 1;
    for (std::size_t i = 0; i < m; ++i) {
        std::size_t j = i + n - 1;
        out[i] = (i % n == 0) ? pre[j] : op(suf[i], pre[j]);
    }
}

// Minimum / maximum; for floating point a NaN in the window wins.
template <class T>
void ts_min(const T* x, std::size_t L, std::size_t n, T* out) {
    block_fold(x, L, n, out, [](T a, T b) {
        if (is_nan(a)) return a;
        if (is_nan(b)) return b;
        return b < a ? b : a;
    });
}

template <class T>
void ts_max(const T* x, std::size_t L, std::size_t n, T* out) {
    block_fold(x, L, n, out, [](T a, T b) {
        if (is_nan(a)) return a;
        if (is_nan(b)) return b;
        return b > a ? b : a;
    });
}

// Position (0 = oldest) of the first maximum / minimum; of the first NaN if
// the window holds one.
template <class T, bool Max>
void ts_arg(const T* x, std::size_t L, std::size_t n, double* out) {
    const std::size_t m = L - n + 1;
    std::vector<std::size_t> idx(L), res(m);
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    block_fold(idx.data(), L, n, res.data(), [x](std::size_t a, std::size_t b) {
        T va = x[a], vb = x[b];
        if (is_nan(va)) return a;
        if (is_nan(vb)) return b;
        if constexpr (Max) {
            return vb > va ? b : a;
        } else {
            return vb < va ? b : a;
        }
    });
    for (std::size_t i = 0; i < m; ++i) out[i] = double(res[i] - i);
}

template <class T>
void ts_argmax(const T* x, std::size_t L, std::size_t n, double* out) { ts_arg<T, true>(x, L, n, out); }
template <class T>
void ts_argmin(const T* x, std::size_t L, std::size_t n, double* out) { ts_arg<T, false>(x, L, n, out); }

// Product of floating-point windows.
inline void product(const double* x, std::size_t L, std::size_t n, double* out) {
    block_fold(x, L, n, out, [](double a, double b) { return a * b; });
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

// Number of non-zero values.
inline void count(const std::uint8_t* x, std::size_t L, std::size_t n, std::int64_t* out) {
    std::int64_t c = 0;
    for (std::size_t j = 0; j < n; ++j) c += x[j] != 0;
    out[0] = c;
    for (std::size_t i = 1; i + n <= L; ++i) {
        c += std::int64_t(x[i + n - 1] != 0) - std::int64_t(x[i - 1] != 0);
        out[i] = c;
    }
}

// Rank of the newest value in its window over the window length. Equal
// values keep their time order (the newest ranks highest) and NaN sorts
// above every number, so the rank is the number of older values that are
// not greater than the newest one.
template <class T>
void ts_rank(const T* x, std::size_t L, std::size_t n, double* out) {
    const std::size_t m = L - n + 1;
    const double nn = double(n);
    if (n <= 64) {
        for (std::size_t i = 0; i < m; ++i) {
            const T* w = x + i;
            T v = w[n - 1];
            std::size_t c = 0;
            if (is_nan(v)) {
                c = n - 1;
            } else {
                for (std::size_t j = 0; j + 1 < n; ++j) c += (w[j] <= v);
            }
            out[i] = double(c) / nn;
        }
        return;
    }
    // Long windows: ranks of the values in the whole series, and a Fenwick
    // tree counting the window's values per rank.
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

}  // namespace zarnik::rolling
