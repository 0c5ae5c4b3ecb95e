// Cross-sectional z-scores and simple returns of dates x instruments matrices.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

#include "zarnik/parallel.hpp"

namespace zarnik::xsection {

// Each row becomes (x - mean) / std, with mean and sample std (divisor n - 1)
// taken over the row's finite values. NaN stays NaN; a result of +-inf
// (an infinite input, or a finite value over a zero std) becomes 0; a row
// with fewer than two finite values is NaN wherever it is finite or missing.
inline void zscore_rows(const double* in, double* out, std::size_t rows, std::size_t cols) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    parallel_for(
        rows,
        [&](std::size_t b, std::size_t e) {
            for (std::size_t r = b; r < e; ++r) {
                const double* x = in + r * cols;
                double* y = out + r * cols;
                std::size_t n = 0;
                double sum = 0.0, comp = 0.0, lo = 0.0, hi = 0.0;
                for (std::size_t j = 0; j < cols; ++j) {
                    double v = x[j];
                    if (!std::isfinite(v)) continue;
                    if (n == 0 || v < lo) lo = v;
                    if (n == 0 || v > hi) hi = v;
                    ++n;
                    double t = sum + v;  // Neumaier summation
                    comp += std::fabs(sum) >= std::fabs(v) ? (sum - t) + v : (v - t) + sum;
                    sum = t;
                }
                // a row of equal values has exactly that mean (and std 0)
                double mean = n == 0 ? nan : lo == hi ? lo : (sum + comp) / static_cast<double>(n);
                double sd = nan;
                if (n >= 2) {
                    double ss = 0.0, s1 = 0.0;
                    for (std::size_t j = 0; j < cols; ++j) {
                        double v = x[j];
                        if (!std::isfinite(v)) continue;
                        double d = v - mean;
                        ss += d * d;
                        s1 += d;
                    }
                    double var = (ss - s1 * s1 / static_cast<double>(n)) / static_cast<double>(n - 1);
                    sd = std::sqrt(var > 0.0 ? var : 0.0);
                }
                for (std::size_t j = 0; j < cols; ++j) {
                    double z = (x[j] - mean) / sd;
                    y[j] = std::isinf(z) ? 0.0 : z;
                }
            }
        },
        16);
}

// Simple returns down each column: a missing price (NaN) is replaced by the
// last earlier price first, so out[i] = p[i] / p[i-1] - 1 over the filled
// prices; NaN before a column's first price. Row 0 of out is NaN.
inline void simple_returns(const double* in, double* out, std::size_t rows, std::size_t cols) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    parallel_for(
        cols,
        [&](std::size_t b, std::size_t e) {
            for (std::size_t c = b; c < e; ++c) {
                double prev = nan;
                for (std::size_t r = 0; r < rows; ++r) {
                    double v = in[r * cols + c];
                    if (std::isnan(v)) v = prev;
                    out[r * cols + c] = v / prev - 1.0;
                    prev = v;
                }
            }
        },
        64);
}

}  // namespace zarnik::xsection
