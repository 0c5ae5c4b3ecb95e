// Cross-sectional least-squares residuals, one regression per date.
//
// For date t the regression uses the instruments whose value and every
// regressor are finite ("complete rows"); their residuals are written, every
// other cell of the row stays NaN.
//
// The regressors of a factor neutralization are mostly industry dummies, so
// each date is solved in two stages (Frisch-Waugh-Lovell):
//   1. columns that are 0/1 indicators of disjoint row sets are found among
//      the complete rows; projecting on them is subtracting group means, done
//      exactly and cheaply;
//   2. the remaining ("dense") columns, demeaned within the same groups and
//      scaled to unit norm, are factored by Householder QR with column
//      pivoting; columns whose remaining norm falls below the rank tolerance
//      are left out, which yields the least-squares residuals for
//      rank-deficient designs (an all-zero dummy, a constant beside a full set
//      of dummies, duplicated or collinear regressors).
// span([D, Z]) = span(D) (+) span(M_D Z) orthogonally, so the residuals are
// those of the full regression whatever the rank.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "zarnik/parallel.hpp"

namespace zarnik::ols {

// Scratch space for one date; reused across the dates of one thread.
struct Workspace {
    std::vector<std::size_t> rows;    // complete rows of the date
    std::vector<double> flags;        // per column: not 0/1-valued, holds a 1
    std::vector<std::pair<std::size_t, std::size_t>> ones;  // (complete row, column) of every 1
    std::vector<std::int32_t> group_of_column;  // indicator columns numbered in order, else -1
    std::vector<std::int32_t> group;  // dummy group of each complete row, -1 if none
    std::vector<std::size_t> dense;   // indices of the dense columns
    std::vector<double> a;            // m x p dense block, column-major
    std::vector<double> r;            // m: the working residual
    std::vector<double> tau;          // Householder coefficients
    std::vector<double> gsum;         // per group means of one column
    std::vector<double> gcomp;        // per group sums of deviations from them
    std::vector<std::size_t> gcount;  // members per group
};

namespace detail {

inline double nan() { return std::numeric_limits<double>::quiet_NaN(); }

// Dot product with four independent partial sums (latency-bound otherwise).
inline double dot(const double* a, const double* b, std::size_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < n; ++i) s0 += a[i] * b[i];
    return (s0 + s1) + (s2 + s3);
}

// Euclidean norm of x[0..n) with scaling, safe from overflow/underflow.
inline double norm2(const double* x, std::size_t n) {
    double scale = 0.0;
    for (std::size_t i = 0; i < n; ++i) scale = std::max(scale, std::fabs(x[i]));
    if (scale == 0.0 || !std::isfinite(scale)) return scale;
    if (scale > 1e-100 && scale < 1e100) return std::sqrt(dot(x, x, n));
    double s = 0.0;
    const double inv = 1.0 / scale;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i] * inv;
        s += v * v;
    }
    return scale * std::sqrt(s);
}

}  // namespace detail

// Residuals of one date. y: N values; x: N x K regressors, row-major with
// row stride `x_stride` (>= K); out: N residuals (written for every instrument).
inline void residuals_one(const double* y, const double* x, std::size_t n, std::size_t k,
                          std::size_t x_stride, double* out, Workspace& ws) {
    using detail::nan;
    for (std::size_t i = 0; i < n; ++i) out[i] = nan();

    // Complete rows; which columns hold only 0/1 values on them; where the
    // ones are.
    ws.rows.clear();
    ws.ones.clear();
    ws.flags.assign(2 * k, 0.0);
    // not_indicator[j] > 0: column j has a value other than 0 and 1;
    // has_one[j] > 0: column j has a 1.
    double* __restrict not_indicator = ws.flags.data();
    double* __restrict has_one = ws.flags.data() + k;
    for (std::size_t i = 0; i < n; ++i) {
        const double* xi = x + i * x_stride;
        // v * 0 is 0 for finite v and NaN otherwise.
        double p0 = y[i] * 0.0, p1 = 0.0, p2 = 0.0, p3 = 0.0;
        std::size_t j0 = 0;
        for (; j0 + 4 <= k; j0 += 4) {
            p0 += xi[j0] * 0.0;
            p1 += xi[j0 + 1] * 0.0;
            p2 += xi[j0 + 2] * 0.0;
            p3 += xi[j0 + 3] * 0.0;
        }
        for (; j0 < k; ++j0) p0 += xi[j0] * 0.0;
        if ((p0 + p1) + (p2 + p3) != 0.0) continue;
        const std::size_t r = ws.rows.size();
        ws.rows.push_back(i);
        for (std::size_t j = 0; j < k; ++j) {
            const double v = xi[j];
            not_indicator[j] += std::fabs(v * (v - 1.0));  // 0 exactly for v in {0, 1}
            has_one[j] += v == 1.0 ? 1.0 : 0.0;
        }
        // Where the ones are: usually one per row (its industry), found
        // without branching; rows with several are listed one by one.
        std::size_t count = 0, last = 0;
        for (std::size_t j = 0; j < k; ++j) {
            const bool one = xi[j] == 1.0;
            count += one;
            last = one ? j : last;
        }
        if (count == 1) {
            ws.ones.emplace_back(r, last);
        } else if (count > 1) {
            for (std::size_t j = 0; j < k; ++j) {
                if (xi[j] == 1.0) ws.ones.emplace_back(r, j);
            }
        }
    }
    const std::size_t m = ws.rows.size();
    if (m == 0) return;
    auto value = [&](std::size_t r, std::size_t j) { return x[ws.rows[r] * x_stride + j]; };

    // Disjoint 0/1 indicator columns become groups (in column order, a
    // column overlapping an earlier group stays dense); all-zero columns drop
    // out; everything else is dense.
    ws.group.assign(m, -1);
    ws.group_of_column.assign(k, -1);
    std::int32_t n_indicators = 0;
    for (std::size_t j = 0; j < k; ++j) {
        if (not_indicator[j] == 0.0 && has_one[j] > 0.0) ws.group_of_column[j] = n_indicators++;
    }
    bool overlap = false;
    for (const auto& [r, j] : ws.ones) {
        const std::int32_t g = ws.group_of_column[j];
        if (g < 0) continue;
        if (ws.group[r] >= 0) {
            overlap = true;
            break;
        }
        ws.group[r] = g;
    }
    ws.dense.clear();
    std::int32_t n_groups = 0;
    if (!overlap) {
        n_groups = n_indicators;
        for (std::size_t j = 0; j < k; ++j) {
            if (not_indicator[j] > 0.0) ws.dense.push_back(j);
        }
    } else {
        ws.group.assign(m, -1);
        for (std::size_t j = 0; j < k; ++j) {
            if (not_indicator[j] > 0.0) {
                ws.dense.push_back(j);
                continue;
            }
            if (has_one[j] == 0.0) continue;  // all zero
            bool disjoint = true;
            for (std::size_t r = 0; r < m && disjoint; ++r) disjoint = !(value(r, j) == 1.0 && ws.group[r] >= 0);
            if (!disjoint) {
                ws.dense.push_back(j);
                continue;
            }
            for (std::size_t r = 0; r < m; ++r) {
                if (value(r, j) == 1.0) ws.group[r] = n_groups;
            }
            ++n_groups;
        }
    }
    const std::size_t p = ws.dense.size();

    // The dense columns scaled to unit norm (over the complete rows, before
    // the group projection), and the values.
    ws.a.resize(m * p);
    ws.r.resize(m);
    for (std::size_t r = 0; r < m; ++r) {
        const double* xr = x + ws.rows[r] * x_stride;
        for (std::size_t c = 0; c < p; ++c) ws.a[c * m + r] = xr[ws.dense[c]];
        ws.r[r] = y[ws.rows[r]];
    }
    std::size_t pk = 0;
    for (std::size_t c = 0; c < p; ++c) {
        double* src = ws.a.data() + c * m;
        const double nrm = detail::norm2(src, m);
        if (!(nrm > 0.0) || !std::isfinite(nrm)) continue;
        const double inv = 1.0 / nrm;
        double* dst = ws.a.data() + pk * m;
        for (std::size_t r = 0; r < m; ++r) dst[r] = src[r] * inv;
        ++pk;
    }

    // Stage 1: subtract group means from the values and from every dense
    // column (two-pass mean: the mean of the deviations corrects the first).
    if (n_groups > 0) {
        const std::size_t gs = static_cast<std::size_t>(n_groups);
        ws.gcount.assign(gs, 0);
        for (std::size_t r = 0; r < m; ++r) {
            if (ws.group[r] >= 0) ++ws.gcount[static_cast<std::size_t>(ws.group[r])];
        }
        ws.gsum.resize(gs);
        ws.gcomp.resize(gs);
        for (std::size_t c = 0; c <= pk; ++c) {
            double* col = c < pk ? ws.a.data() + c * m : ws.r.data();
            std::fill(ws.gsum.begin(), ws.gsum.end(), 0.0);
            std::fill(ws.gcomp.begin(), ws.gcomp.end(), 0.0);
            for (std::size_t r = 0; r < m; ++r) {
                const std::int32_t g = ws.group[r];
                if (g >= 0) ws.gsum[static_cast<std::size_t>(g)] += col[r];
            }
            for (std::size_t g = 0; g < gs; ++g) ws.gsum[g] /= static_cast<double>(ws.gcount[g]);
            for (std::size_t r = 0; r < m; ++r) {
                const std::int32_t g = ws.group[r];
                if (g >= 0) ws.gcomp[static_cast<std::size_t>(g)] += col[r] - ws.gsum[static_cast<std::size_t>(g)];
            }
            for (std::size_t g = 0; g < gs; ++g) ws.gsum[g] += ws.gcomp[g] / static_cast<double>(ws.gcount[g]);
            for (std::size_t r = 0; r < m; ++r) {
                const std::int32_t g = ws.group[r];
                if (g >= 0) col[r] -= ws.gsum[static_cast<std::size_t>(g)];
            }
        }
    }

    // Stage 2: pivoted Householder QR of the dense block; columns left with
    // a norm at or below `tol` (relative to their unit raw norm) are
    // considered explained by the others.
    const double tol = 16.0 * std::numeric_limits<double>::epsilon() *
                       static_cast<double>(std::max<std::size_t>(m, std::max<std::size_t>(pk, 1)));
    const std::size_t steps = std::min(m, pk);
    ws.tau.assign(steps, 0.0);
    std::size_t rank = 0;
    for (std::size_t kk = 0; kk < steps; ++kk) {
        std::size_t best = kk;
        double best_norm = -1.0;
        for (std::size_t c = kk; c < pk; ++c) {
            const double nv = std::sqrt(detail::dot(ws.a.data() + c * m + kk, ws.a.data() + c * m + kk, m - kk));
            if (nv > best_norm) {
                best_norm = nv;
                best = c;
            }
        }
        if (!(best_norm > tol)) break;
        if (best != kk) {
            std::swap_ranges(ws.a.data() + best * m, ws.a.data() + best * m + m, ws.a.data() + kk * m);
        }
        double* v = ws.a.data() + kk * m + kk;
        const std::size_t len = m - kk;
        const double alpha = v[0] >= 0.0 ? -best_norm : best_norm;
        v[0] -= alpha;  // v = x - alpha e1, |v0| = |x0| + norm (no cancellation)
        const double vv = detail::dot(v, v, len);
        const double tau = vv > 0.0 ? 2.0 / vv : 0.0;
        ws.tau[kk] = tau;
        for (std::size_t c = kk + 1; c < pk; ++c) {
            double* col = ws.a.data() + c * m + kk;
            const double d = tau * detail::dot(v, col, len);
            for (std::size_t i = 0; i < len; ++i) col[i] -= d * v[i];
        }
        rank = kk + 1;
    }

    // r <- Q' r; drop the components in span(Q); r <- Q r.
    auto reflect = [&](std::size_t kk) {
        const double* v = ws.a.data() + kk * m + kk;
        double* rv = ws.r.data() + kk;
        const std::size_t len = m - kk;
        const double d = ws.tau[kk] * detail::dot(v, rv, len);
        for (std::size_t i = 0; i < len; ++i) rv[i] -= d * v[i];
    };
    for (std::size_t kk = 0; kk < rank; ++kk) reflect(kk);
    for (std::size_t kk = 0; kk < rank; ++kk) ws.r[kk] = 0.0;
    for (std::size_t kk = rank; kk-- > 0;) reflect(kk);

    for (std::size_t r = 0; r < m; ++r) out[ws.rows[r]] = ws.r[r];
}

// Residuals of every date. endog: T x N (row-major); exog: T x N x K
// (C order); out: T x N. Dates are spread over threads.
inline void residuals(const double* endog, const double* exog, std::size_t t_count, std::size_t n,
                      std::size_t k, double* out) {
    const std::size_t work_per_date = std::max<std::size_t>(1, n * (k + 1));
    const std::size_t min_dates = std::max<std::size_t>(1, 200000 / work_per_date);
    parallel_for(
        t_count,
        [&](std::size_t begin, std::size_t end) {
            Workspace ws;
            for (std::size_t t = begin; t < end; ++t) {
                residuals_one(endog + t * n, exog + t * n * k, n, k, k, out + t * n, ws);
            }
        },
        min_dates);
}

}  // namespace zarnik::ols
