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
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "zarnik/parallel.hpp"

namespace zarnik::winsorize {

enum class Method { mad, std_dev, percentile };

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kMadScale = 1.4826;
inline constexpr double kMultiplier = 3.0;

// The k-th and (k+1)-th smallest (0-based) of buf[0..n), k + 1 <= n; `second`
// is the k-th again when k + 1 == n. Reorders buf; `scratch` holds n values.
// Large rows first narrow the search to the values between two pivots taken
// from an evenly spaced sample (one pass), then select within that band;
// when the band misses rank k it falls back to selecting over the whole row.
inline void order_stats(std::vector<double>& buf, std::size_t n, std::size_t k, std::vector<double>& scratch,
                        double& first, double& second) {
    auto select = [](double* p, std::size_t len, std::size_t kk, double& a, double& b) {
        std::nth_element(p, p + kk, p + len);
        a = p[kk];
        b = kk + 1 < len ? *std::min_element(p + kk + 1, p + len) : a;
    };
    if (n >= 512) {
        constexpr std::size_t s = 128, margin = 12;
        double sample[s];
        for (std::size_t i = 0; i < s; ++i) sample[i] = buf[(i * n) / s + (n / s) / 2];
        std::sort(sample, sample + s);
        const std::size_t r = (k * s) / n;
        const double lo = r >= margin ? sample[r - margin] : -std::numeric_limits<double>::infinity();
        const double hi = r + margin + 1 < s ? sample[r + margin + 1] : std::numeric_limits<double>::infinity();
        std::size_t below = 0, mid = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = buf[i];
            below += v < lo;  // branch-free: the band test is unpredictable
            scratch[mid] = v;
            mid += static_cast<std::size_t>((v >= lo) & (v <= hi));
        }
        if (below <= k && k + 1 < below + mid) {
            select(scratch.data(), mid, k - below, first, second);
            return;
        }
        if (below <= k && k + 1 == n && k < below + mid) {
            select(scratch.data(), mid, k - below, first, second);
            return;
        }
    }
    select(buf.data(), n, k, first, second);
}

// Median of buf[0..n), n >= 1, the mean of the two middle values for even n.
inline double median(std::vector<double>& buf, std::size_t n, std::vector<double>& scratch) {
    double a, b;
    if (n % 2 == 1) {
        order_stats(buf, n, n / 2, scratch, a, b);
        return a;
    }
    order_stats(buf, n, n / 2 - 1, scratch, a, b);
    return (a + b) / 2.0;
}

// The q-quantile (0 <= q <= 1) of buf[0..n) with numpy's "linear" method,
// including its virtual-index and interpolation formulas.
inline double quantile_linear(std::vector<double>& buf, std::size_t n, double q, std::vector<double>& scratch) {
    const double nd = static_cast<double>(n);
    double virt = nd * q + (1.0 + q * (1.0 - 1.0 - 1.0)) - 1.0;
    double prev = std::floor(virt);
    double gamma = virt - prev;
    double last = nd - 1.0;
    if (prev < 0) prev = 0;
    if (prev > last) prev = last;
    if (virt < 0) gamma = 0;  // numpy clamps the index; the weight has no effect then
    double a, b;
    order_stats(buf, n, static_cast<std::size_t>(prev), scratch, a, b);
    double diff = b - a;
    return gamma >= 0.5 ? b - diff * (1.0 - gamma) : a + diff * gamma;
}

// Bounds [lo, hi] for one row's finite values buf[0..n); NaN = no bound.
inline void bounds(Method method, std::vector<double>& buf, std::size_t n, double& lo, double& hi,
                   std::vector<double>& scratch) {
    lo = hi = kNaN;
    if (n == 0) return;
    switch (method) {
        case Method::mad: {
            double med = median(buf, n, scratch);
            for (std::size_t i = 0; i < n; ++i) buf[i] = std::fabs(buf[i] - med);
            double mad = median(buf, n, scratch);
            lo = med - kMultiplier * kMadScale * mad;
            hi = med + kMultiplier * kMadScale * mad;
            break;
        }
        case Method::std_dev: {
            if (n < 2) return;
            double sum = 0.0, comp = 0.0;
            for (std::size_t i = 0; i < n; ++i) {  // Neumaier summation
                double t = sum + buf[i];
                comp += std::fabs(sum) >= std::fabs(buf[i]) ? (sum - t) + buf[i] : (buf[i] - t) + sum;
                sum = t;
            }
            double mean = (sum + comp) / static_cast<double>(n);
            double ss = 0.0, s1 = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                double d = buf[i] - mean;
                ss += d * d;
                s1 += d;
            }
            double var = (ss - s1 * s1 / static_cast<double>(n)) / static_cast<double>(n - 1);
            double sd = std::sqrt(std::max(var, 0.0));
            lo = mean - kMultiplier * sd;
            hi = mean + kMultiplier * sd;
            break;
        }
        case Method::percentile: {
            lo = quantile_linear(buf, n, 0.025, scratch);
            hi = quantile_linear(buf, n, 0.975, scratch);
            break;
        }
    }
}

// out may equal in. Both are rows x cols, C order.
inline void winsorize_rows(Method method, const double* in, double* out, std::size_t rows, std::size_t cols) {
    parallel_for(
        rows,
        [&](std::size_t b, std::size_t e) {
            std::vector<double> buf(cols), scratch(cols);
            for (std::size_t r = b; r < e; ++r) {
                const double* x = in + r * cols;
                double* y = out + r * cols;
                std::size_t n = 0;
                for (std::size_t j = 0; j < cols; ++j)
                    if (std::isfinite(x[j])) buf[n++] = x[j];
                double lo, hi;
                bounds(method, buf, n, lo, hi, scratch);
                for (std::size_t j = 0; j < cols; ++j) {
                    double v = x[j];
                    if (v < lo) v = lo;  // comparisons with NaN are false: no bound
                    if (v > hi) v = hi;
                    y[j] = v;
                }
            }
        },
        16);
}

inline Method parse_method(const std::string& name) {
    if (name == "mad") return Method::mad;
    if (name == "std") return Method::std_dev;
    if (name == "percentile") return Method::percentile;
    throw std::invalid_argument("unknown winsorize method: " + name);
}

}  // namespace zarnik::winsorize
