// Cross-sectional winsorization of a dates x instruments matrix, row by row.
//
// Every rule takes its statistics over the finite values of a row; NaN stays
// NaN, and +-inf are clipped to the bounds like any other outlier. A bound
// that cannot be computed (too few finite values) leaves that side unclipped.
//   mad        : median +- 3 * 1.4826 * median(|x - median|)
//   std        : mean +- 3 * sample standard deviation (divisor n - 1)
//   percentile : the 2.5 % and 97.5 % quantiles, linear interpolation
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "zarnik/rowwise.hpp"

namespace zarnik::winsorize {

enum class Method { mad, std_dev, percentile };

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kMadScale = 1.4826;
inline constexpr double kMultiplier = 3.0;

// True for finite v: v - v is 0 for finite values and NaN for NaN and +-inf.
// Written this way so that loops over it vectorize.
inline bool is_finite(double v) { return (v - v) == 0.0; }

// Copies the finite values of x[0..cols) to buf (without branching on each
// value) and returns how many there are.
inline std::size_t compact_finite(const double* x, std::size_t cols, double* buf) {
    std::size_t n = 0;
    for (std::size_t j = 0; j < cols; ++j) {
        const double v = x[j];
        buf[n] = v;
        n += is_finite(v);
    }
    return n;
}

struct Identity {
    double operator()(double v) const { return v; }
};

// Distance from a centre, for the median of absolute deviations.
struct AbsDev {
    double centre;
    double operator()(double v) const { return std::fabs(v - centre); }
};

// The k-th smallest (0-based) of the n values t(src[i]) in `first` and, when
// k + 1 < n, the (k+1)-th in `second` (else `second` = `first`). src is only
// read; scratch must hold 2 * n values.
//
// Long inputs are narrowed first: bounds around rank k are read from an evenly
// spaced sample, and one branch-free pass keeps the values between them (and
// counts those below). When the kept band holds the wanted ranks the search
// continues inside it, otherwise over all values; either way the result is the
// exact order statistic.
template <class T>
void select_pair(const double* src, std::size_t n, std::size_t k, T t, double* scratch, double& first,
                 double& second) {
    constexpr std::size_t kSample = 128, kMinNarrow = 384;
    const std::size_t extra = k + 1 < n ? 1 : 0;  // rank k + 1 is wanted too
    double* p = nullptr;  // current candidates (already transformed), in scratch
    std::size_t len = n, kk = k;
    double* dst = scratch;  // the half of scratch not holding p
    const double* from = src;  // untransformed source while p == nullptr
    while (len >= kMinNarrow) {
        double sample[kSample];
        const std::size_t step = len / kSample, offset = step / 2;
        for (std::size_t i = 0; i < kSample; ++i) {
            const std::size_t at = i * step + offset;
            sample[i] = p ? p[at] : t(from[at]);
        }
        const double q = (static_cast<double>(kk) + 0.5) / static_cast<double>(len);
        const double spread = std::sqrt(static_cast<double>(kSample) * q * (1.0 - q));
        const auto margin = static_cast<std::size_t>(2.5 * spread) + 2;
        const auto r = static_cast<std::size_t>(q * kSample);
        const std::size_t hi_at = r + margin + extra, lo_at = r >= margin ? r - margin : kSample;
        double lo = -kInf, hi = kInf;
        if (hi_at < kSample) {
            std::nth_element(sample, sample + hi_at, sample + kSample);
            hi = sample[hi_at];
        }
        if (lo_at < kSample) {
            std::nth_element(sample, sample + lo_at, sample + std::min(hi_at, kSample));
            lo = sample[lo_at];
        }
        std::size_t below = 0, mid = 0;
        if (p) {
            for (std::size_t i = 0; i < len; ++i) {
                const double v = p[i];
                below += v < lo;
                dst[mid] = v;
                mid += static_cast<std::size_t>((v >= lo) & (v <= hi));
            }
        } else {
            for (std::size_t i = 0; i < len; ++i) {
                const double v = t(from[i]);
                below += v < lo;
                dst[mid] = v;
                mid += static_cast<std::size_t>((v >= lo) & (v <= hi));
            }
        }
        if (below > kk || kk + extra >= below + mid) break;  // the sample missed: search everything
        const bool shrank = mid * 4 < len * 3;
        p = dst;
        dst = p == scratch ? scratch + n : scratch;
        len = mid;
        kk -= below;
        if (!shrank) break;  // heavy ties: more narrowing would not help
    }
    if (!p) {
        p = scratch;
        for (std::size_t i = 0; i < n; ++i) p[i] = t(src[i]);
        len = n;
        kk = k;
    }
    std::nth_element(p, p + kk, p + len);
    first = p[kk];
    second = extra ? *std::min_element(p + kk + 1, p + len) : first;
}

// Median of the n >= 1 values t(src[i]), the mean of the two middle values for even n.
template <class T>
double median(const double* src, std::size_t n, T t, double* scratch) {
    double a, b;
    if (n % 2 == 1) {
        select_pair(src, n, n / 2, t, scratch, a, b);
        return a;
    }
    select_pair(src, n, n / 2 - 1, t, scratch, a, b);
    return (a + b) / 2.0;
}

// The q-quantile (0 <= q <= 1) of src[0..n), n >= 1, with numpy's "linear"
// method, including its virtual-index and interpolation formulas.
inline double quantile_linear(const double* src, std::size_t n, double q, double* scratch) {
    const double nd = static_cast<double>(n);
    double virt = nd * q + (1.0 + q * (1.0 - 1.0 - 1.0)) - 1.0;
    double prev = std::floor(virt);
    double gamma = virt - prev;
    double last = nd - 1.0;
    if (prev < 0) prev = 0;
    if (prev > last) prev = last;
    if (virt < 0) gamma = 0;  // numpy clamps the index; the weight has no effect then
    double a, b;
    select_pair(src, n, static_cast<std::size_t>(prev), Identity{}, scratch, a, b);
    double diff = b - a;
    return gamma >= 0.5 ? b - diff * (1.0 - gamma) : a + diff * gamma;
}

// Count, sum, smallest and largest of the finite values of x[0..cols). The sum
// is compensated (Neumaier) in four independent lanes held in one vector.
struct FiniteSum {
    std::size_t n = 0;
    double sum = 0.0, min = kInf, max = -kInf;
};

#if defined(__GNUC__)
// Two doubles: one SSE2 register on x86-64, one NEON register on arm64.
typedef double v2d __attribute__((vector_size(16)));
typedef long long v2i __attribute__((vector_size(16)));

inline v2d load2(const double* p) {
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline v2d abs2(v2d v) { return (v2d)((v2i)v & (v2i){~(1LL << 63), ~(1LL << 63)}); }
#endif

inline FiniteSum finite_sum(const double* x, std::size_t cols) {
    double cnt[4] = {}, s[4] = {}, c[4] = {}, mn[4] = {kInf, kInf, kInf, kInf}, mx[4] = {-kInf, -kInf, -kInf, -kInf};
    std::size_t j = 0;
#if defined(__GNUC__)
    {
        const v2d zero = {0, 0}, one = {1, 1}, inf = {kInf, kInf}, ninf = -inf;
        v2d vc[2] = {zero, zero}, vs[2] = {zero, zero}, vk[2] = {zero, zero}, vmn[2] = {inf, inf}, vmx[2] = {ninf, ninf};
        for (; j + 4 <= cols; j += 4) {
            for (int h = 0; h < 2; ++h) {
                const v2d v = load2(x + j + 2 * h);
                const v2i f = (v - v) == zero;
                const v2d w = f ? v : zero;
                vc[h] += f ? one : zero;
                const v2d t = vs[h] + w;
                vk[h] += abs2(vs[h]) >= abs2(w) ? (vs[h] - t) + w : (w - t) + vs[h];
                vs[h] = t;
                const v2d a = f ? v : inf, b = f ? v : ninf;
                vmn[h] = a < vmn[h] ? a : vmn[h];
                vmx[h] = b > vmx[h] ? b : vmx[h];
            }
        }
        for (int l = 0; l < 4; ++l) {
            const int h = l / 2, i = l % 2;
            cnt[l] = vc[h][i], s[l] = vs[h][i], c[l] = vk[h][i], mn[l] = vmn[h][i], mx[l] = vmx[h][i];
        }
    }
#endif
    for (std::size_t l = 0; j < cols; ++j, l = (l + 1) % 4) {
        const double v = x[j];
        if (!is_finite(v)) continue;
        cnt[l] += 1.0;
        const double t = s[l] + v;
        c[l] += std::fabs(s[l]) >= std::fabs(v) ? (s[l] - t) + v : (v - t) + s[l];
        s[l] = t;
        mn[l] = std::min(mn[l], v);
        mx[l] = std::max(mx[l], v);
    }
    FiniteSum out;
    double sum = 0.0, comp = 0.0, count = 0.0;
    for (std::size_t l = 0; l < 4; ++l) {
        const double t = sum + s[l];
        comp += std::fabs(sum) >= std::fabs(s[l]) ? (sum - t) + s[l] : (s[l] - t) + sum;
        sum = t;
        comp += c[l];
        count += cnt[l];
        out.min = std::min(out.min, mn[l]);
        out.max = std::max(out.max, mx[l]);
    }
    out.n = static_cast<std::size_t>(count);
    out.sum = sum + comp;
    return out;
}

// Mean and sample standard deviation (divisor n - 1) of the finite values of
// x[0..cols): a compensated sum for the mean, then the corrected two-pass sum
// of squares over the (cache-hot) row. A row of equal values gets exactly that
// mean and a deviation of 0. sd is NaN for fewer than two finite values, mean
// for none.
inline void finite_mean_sd(const double* x, std::size_t cols, double& mean, double& sd) {
    const FiniteSum fs = finite_sum(x, cols);
    const std::size_t n = fs.n;
    mean = n == 0 ? kNaN : fs.min == fs.max ? fs.min : fs.sum / static_cast<double>(n);
    sd = kNaN;
    if (n < 2) return;
    double ss[4] = {}, s1[4] = {};
    std::size_t j = 0;
#if defined(__GNUC__)
    {
        const v2d zero = {0, 0}, m = {mean, mean};
        v2d vss[2] = {zero, zero}, vs1[2] = {zero, zero};
        for (; j + 4 <= cols; j += 4) {
            for (int h = 0; h < 2; ++h) {
                const v2d v = load2(x + j + 2 * h);
                const v2d d = (v - v) == zero ? v - m : zero;
                vss[h] += d * d;
                vs1[h] += d;
            }
        }
        for (int l = 0; l < 4; ++l) ss[l] = vss[l / 2][l % 2], s1[l] = vs1[l / 2][l % 2];
    }
#endif
    for (std::size_t l = 0; j < cols; ++j, l = (l + 1) % 4) {
        const double d = is_finite(x[j]) ? x[j] - mean : 0.0;
        ss[l] += d * d;
        s1[l] += d;
    }
    const double sum_sq = (ss[0] + ss[1]) + (ss[2] + ss[3]), sum_d = (s1[0] + s1[1]) + (s1[2] + s1[3]);
    const double var = (sum_sq - sum_d * sum_d / static_cast<double>(n)) / static_cast<double>(n - 1);
    sd = std::sqrt(var > 0.0 ? var : 0.0);
}

// y = x clipped to [lo, hi]; a NaN bound clips nothing, NaN values stay NaN.
inline void clip_row(const double* x, double* y, std::size_t cols, double lo, double hi) {
    for (std::size_t j = 0; j < cols; ++j) {
        double v = x[j];
        v = v < lo ? lo : v;  // comparisons with NaN are false: no bound
        v = v > hi ? hi : v;
        y[j] = v;
    }
}

// One thread's row worker: its buffers are reused from row to row.
class RowWinsorizer {
public:
    RowWinsorizer(Method method, std::size_t cols) : method_(method), buf_(cols + 1), scratch_(2 * cols + 2) {}

    // Bounds [lo, hi] of the row x[0..cols); NaN = no bound.
    void bounds(const double* x, std::size_t cols, double& lo, double& hi) {
        lo = hi = kNaN;
        if (method_ == Method::std_dev) {
            double mean, sd;
            finite_mean_sd(x, cols, mean, sd);
            if (std::isnan(sd)) return;
            lo = mean - kMultiplier * sd;
            hi = mean + kMultiplier * sd;
            return;
        }
        double* buf = buf_.data();
        const std::size_t n = compact_finite(x, cols, buf);
        if (n == 0) return;
        if (method_ == Method::mad) {
            const double med = median(buf, n, Identity{}, scratch_.data());
            const double mad = median(buf, n, AbsDev{med}, scratch_.data());
            lo = med - kMultiplier * kMadScale * mad;
            hi = med + kMultiplier * kMadScale * mad;
        } else {
            lo = quantile_linear(buf, n, 0.025, scratch_.data());
            hi = quantile_linear(buf, n, 0.975, scratch_.data());
        }
    }

    void operator()(std::size_t, const double* x, double* y) {
        const std::size_t cols = buf_.size() - 1;
        double lo, hi;
        bounds(x, cols, lo, hi);
        clip_row(x, y, cols, lo, hi);
    }

private:
    Method method_;
    std::vector<double> buf_, scratch_;
};

// Winsorizes every row of `in` into the C-order rows x cols matrix `out`
// (which may be the input itself when its rows are contiguous).
inline void winsorize(Method method, const rowwise::View& in, double* out) {
    rowwise::for_each_row(in, out, [&] { return RowWinsorizer(method, in.cols); });
}

inline Method parse_method(const std::string& name) {
    if (name == "mad") return Method::mad;
    if (name == "std") return Method::std_dev;
    if (name == "percentile") return Method::percentile;
    throw std::invalid_argument("unknown winsorize method: " + name);
}

}  // namespace zarnik::winsorize
