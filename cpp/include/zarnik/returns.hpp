// Returns over a dates x instruments panel of daily returns: growth indices,
// forward returns over a holding period, compounding and annualization.
//
// Matrices are row-major, dates x instruments; NaN is missing.
//
// Two growth indices are in use, differing only once the running product
// itself becomes undefined (for instance a return of -1 followed by +inf):
//   * growth_index: the running product of (1 + r) over the present returns;
//     an undefined product stays undefined from then on;
//   * growth_index_carried: the same product, carried forward over dates on
//     which it is undefined (the last defined value stands in).
// On both, a date whose own return is missing is NaN and the product goes on
// past it unchanged.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "zarnik/checked.hpp"
#include "zarnik/parallel.hpp"

namespace zarnik::returns {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// out[t, j] = prod_{s <= t, r[s, j] present} (1 + r[s, j]); NaN where r[t, j] is missing.
inline void growth_index(const double* r, std::size_t rows, std::size_t cols, double* out) {
    parallel_for(
        cols,
        [&](std::size_t begin, std::size_t end) {
            std::vector<double> acc(end - begin, 1.0);
            for (std::size_t t = 0; t < rows; ++t) {
                const double* src = r + t * cols;
                double* dst = out + t * cols;
                for (std::size_t j = begin; j < end; ++j) {
                    const double v = src[j];
                    if (std::isnan(v)) {
                        dst[j] = kNaN;
                    } else {
                        acc[j - begin] *= v + 1.0;
                        dst[j] = acc[j - begin];
                    }
                }
            }
        },
        64);
}

// As growth_index, except that a date on which the running product is
// undefined carries the last defined product forward (NaN before the first).
inline void growth_index_carried(const double* r, std::size_t rows, std::size_t cols, double* out) {
    parallel_for(
        cols,
        [&](std::size_t begin, std::size_t end) {
            std::vector<double> acc(end - begin, 1.0), last(end - begin, kNaN);
            for (std::size_t t = 0; t < rows; ++t) {
                const double* src = r + t * cols;
                double* dst = out + t * cols;
                for (std::size_t j = begin; j < end; ++j) {
                    const double x = src[j];
                    double& a = acc[j - begin];
                    a *= (std::isnan(x) ? 0.0 : x) + 1.0;
                    if (!std::isnan(a)) last[j - begin] = a;
                    dst[j] = std::isnan(x) ? kNaN : last[j - begin];
                }
            }
        },
        64);
}

// growth_index of r (rows x cols), placed on target rows row_of[t] (t < t_count)
// and columns col_of[i] (i < n); -1 marks a target without a source (NaN).
inline void aligned_growth(const double* r, std::size_t rows, std::size_t cols, const std::int64_t* row_of,
                           std::size_t t_count, const std::int64_t* col_of, std::size_t n, double* out) {
    std::vector<double> growth(mul_size(rows, cols, "growth index"));
    growth_index(r, rows, cols, growth.data());
    parallel_for(
        t_count,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) {
                double* dst = out + t * n;
                if (row_of[t] < 0) {
                    for (std::size_t i = 0; i < n; ++i) dst[i] = kNaN;
                    continue;
                }
                const double* src = growth.data() + static_cast<std::size_t>(row_of[t]) * cols;
                for (std::size_t i = 0; i < n; ++i) dst[i] = col_of[i] < 0 ? kNaN : src[col_of[i]];
            }
        },
        64);
}

// Forward returns over `period` rows of a growth index g (rows x cols):
// out[t, j] = g[s + period, j] / g[s, j] - 1 with s = row_of[t] (t < t_count),
// NaN throughout row t when there is no row s + period.
inline void forward_returns(const double* g, std::size_t rows, std::size_t cols, const std::int64_t* row_of,
                            std::size_t t_count, std::size_t period, double* out) {
    parallel_for(
        t_count,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) {
                double* dst = out + t * cols;
                const std::size_t s = static_cast<std::size_t>(row_of[t]);
                if (period >= rows || s >= rows - period) {
                    for (std::size_t j = 0; j < cols; ++j) dst[j] = kNaN;
                    continue;
                }
                const double* a = g + s * cols;
                const double* b = g + (s + period) * cols;
                for (std::size_t j = 0; j < cols; ++j) dst[j] = b[j] / a[j] - 1.0;
            }
        },
        16);
}

// Cumulative return of daily returns x[t * stride], t < n, written to
// out[t * stride] (out may be x): prod (1 + x) - 1, a missing day counting as 0.
inline void compound(const double* x, std::size_t n, std::size_t stride, double* out) {
    double acc = 1.0;
    for (std::size_t t = 0; t < n; ++t) {
        const double v = x[t * stride];
        acc *= (std::isnan(v) ? 0.0 : v) + 1.0;
        out[t * stride] = acc - 1.0;
    }
}

// Cumulative return of the daily differences a - b of two return series
// without missing days (an undefined difference leaves the rest undefined).
inline void compound_spread(const double* a, const double* b, std::size_t n, std::size_t stride, double* out) {
    double acc = 1.0;
    for (std::size_t t = 0; t < n; ++t) {
        acc *= (a[t * stride] - b[t * stride]) + 1.0;
        out[t * stride] = acc - 1.0;
    }
}

// Annualized return of a cumulative return over `days` trading days, with
// `days_per_year` days a year: (1 + cumulative) ^ (days_per_year / days) - 1.
inline double annualize(double cumulative, double days, double days_per_year = 252.0) {
    return std::pow(cumulative + 1.0, days_per_year / days) - 1.0;
}

// Annualized excess return of daily returns x[t * stride] over a benchmark's
// daily returns bench[t], t < n: the product of (1 + x - bench) annualized.
inline double annualized_excess(const double* x, std::size_t stride, const double* bench, std::size_t n,
                                double days_per_year = 252.0) {
    double prod = 1.0;
    for (std::size_t t = 0; t < n; ++t) prod *= (x[t * stride] - bench[t]) + 1.0;
    return std::pow(prod, days_per_year / static_cast<double>(n)) - 1.0;
}

}  // namespace zarnik::returns
