// Factor-portfolio returns: a long-short portfolio with weights proportional
// to the previous date's cross-sectionally demeaned factor, rebalanced every
// `period` rows, averaged over the `period` phase-shifted copies.
//
// Matrices are row-major, dates x instruments; NaN is missing.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "zarnik/checked.hpp"
#include "zarnik/parallel.hpp"
#include "zarnik/returns.hpp"

namespace zarnik::factor_return {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// w[t] = demeaned f[t-1] divided by the sum of its absolute values (NaN
// skipped in the mean and the sum); row 0 is NaN. Negated when `negate`.
inline void lagged_weights(const double* f, std::size_t t_count, std::size_t n, bool negate, double* w) {
    for (std::size_t i = 0; i < n && t_count > 0; ++i) w[i] = kNaN;
    if (t_count < 2) return;
    parallel_for(
        t_count - 1,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                const double* src = f + r * n;
                double* dst = w + (r + 1) * n;
                double sum = 0.0;
                std::size_t count = 0;
                for (std::size_t i = 0; i < n; ++i) {
                    if (!std::isnan(src[i])) {
                        sum += src[i];
                        ++count;
                    }
                }
                const double mean = count ? sum / static_cast<double>(count) : kNaN;
                double abs_sum = 0.0;
                for (std::size_t i = 0; i < n; ++i) {
                    const double d = src[i] - mean;
                    dst[i] = d;
                    if (!std::isnan(d)) abs_sum += std::fabs(d);
                }
                for (std::size_t i = 0; i < n; ++i) {
                    const double v = dst[i] / abs_sum;
                    dst[i] = negate ? -v : v;
                }
            }
        },
        64);
}

// Daily return of the factor portfolio for one period, averaged over the
// phases lv = 1..period (phase lv rebalances on rows lv, lv+period, ...).
// Each rebalancing row's weights and growth bases are held, as they are,
// until the next rebalancing row: an instrument missing on the rebalancing
// row is not held in that interval.
//
// A phase whose first rebalancing row lies beyond the data (lv >= t_count)
// holds nothing: its daily return is 0 on every row but the first, and it
// still counts in the average. Such phases are not materialized, so the
// work and memory depend on the data's length, not on the period.
inline void period_returns(const double* w, const double* growth, std::size_t t_count, std::size_t n,
                           std::size_t period, double* out) {
    if (t_count == 0) return;
    if (period == 0) throw std::invalid_argument("period_returns: the period must be positive");
    const std::size_t active = std::min(period, t_count - 1);  // phases with a rebalancing row
    const std::size_t idle = period - active;
    // Phases are processed in blocks so that the buffer of cumulative
    // returns stays near kBlockCells values whatever the period.
    constexpr std::size_t kBlockCells = std::size_t{1} << 20;
    const std::size_t block = std::max<std::size_t>(1, std::min(active, kBlockCells / t_count));
    std::vector<double> wr(active == 0 ? 0 : mul_size(block, t_count, "phase returns"));
    std::vector<double> sum(t_count, 0.0);
    std::vector<std::size_t> count(t_count, 0);
    for (std::size_t first = 1; first <= active; first += block) {
        const std::size_t last_lv = std::min(active, first + block - 1);
        // wr[(lv-first)][t]: cumulative return of phase lv's portfolio since
        // its last rebalancing (0 before its first one).
        std::fill(wr.begin(), wr.end(), 0.0);
        parallel_for(
            t_count,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t t = begin; t < end; ++t) {
                    const double* g = growth + t * n;
                    for (std::size_t lv = first; lv <= last_lv && lv <= t; ++lv) {
                        const std::size_t reb = lv + ((t - lv) / period) * period;
                        const double* wt = w + reb * n;
                        const double* base = growth + (reb - 1) * n;
                        double s = 0.0;
                        for (std::size_t i = 0; i < n; ++i) {
                            const double term = wt[i] * (g[i] / base[i] - 1.0);
                            if (!std::isnan(term)) s += term;
                        }
                        wr[(lv - first) * t_count + t] = s;
                    }
                }
            },
            8);
        for (std::size_t lv = first; lv <= last_lv; ++lv) {
            const double* x = wr.data() + (lv - first) * t_count;
            double last = kNaN;  // forward-filled value of 1 + wr
            for (std::size_t t = 0; t < t_count; ++t) {
                const double v = x[t] + 1.0;
                const double prev = last;
                if (!std::isnan(v)) last = v;
                double change = t == 0 ? kNaN : last / prev - 1.0;
                if (t >= lv && (t - lv) % period == 0) change = x[t];
                if (!std::isnan(change)) {
                    sum[t] += change;
                    ++count[t];
                }
            }
        }
    }
    if (idle > 0) {
        for (std::size_t t = 1; t < t_count; ++t) {
            sum[t] += 0.0;
            count[t] += idle;
        }
    }
    for (std::size_t t = 0; t < t_count; ++t) out[t] = count[t] ? sum[t] / static_cast<double>(count[t]) : kNaN;
}

// Cumulative factor returns of every holding period: the factor `f`
// (t_count x n, negated when `negate`) against daily returns `r` (rows x
// cols) placed on the factor's dates and instruments by `row_of` / `col_of`
// (-1: absent). Column c of `out` (t_count x n_periods, row-major) compounds
// the daily portfolio returns of periods[c].
inline void cumulative_returns(const double* f, std::size_t t_count, std::size_t n, bool negate, const double* r,
                               std::size_t rows, std::size_t cols, const std::int64_t* row_of,
                               const std::int64_t* col_of, const std::size_t* periods, std::size_t n_periods,
                               double* out) {
    const std::size_t cells = mul_size(t_count, n, "factor_data");
    std::vector<double> weights(cells), growth(cells), daily(t_count);
    lagged_weights(f, t_count, n, negate, weights.data());
    returns::aligned_growth(r, rows, cols, row_of, t_count, col_of, n, growth.data());
    for (std::size_t c = 0; c < n_periods; ++c) {
        period_returns(weights.data(), growth.data(), t_count, n, periods[c], daily.data());
        returns::compound(daily.data(), t_count, 1, daily.data());
        for (std::size_t t = 0; t < t_count; ++t) out[t * n_periods + c] = daily[t];
    }
}

}  // namespace zarnik::factor_return
