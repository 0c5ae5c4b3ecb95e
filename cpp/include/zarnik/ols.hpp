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
#include <vector>

#include "zarnik/parallel.hpp"

namespace zarnik::ols {

// Scratch space for one date; reused across the dates of one thread.
struct Workspace {
    std::vector<std::size_t> rows;       // complete rows of the date
    std::vector<std::int32_t> group;     // dummy group of each complete row, -1 if none
    std::vector<std::size_t> dense;      // indices of the dense columns
    std::vector<double> a;               // m x p, column-major
    std::vector<double> r;               // m: the working residual
    std::vector<double> tau;             // Householder coefficients
    std::vector<double> gsum;            // per group sums (p + 1 per group)
    std::vector<double> gcomp;           // compensation terms of those sums
    std::vector<std::size_t> gcount;     // members per group
    std::vector<double> norms;           // trailing column norms
};

namespace detail {

inline double nan() { return std::numeric_limits<double>::quiet_NaN(); }

// Euclidean norm of x[0..n) with scaling, safe from overflow/underflow.
inline double norm2(const double* x, std::size_t n) {
    double scale = 0.0;
    for (std::size_t i = 0; i < n; ++i) scale = std::max(scale, std::fabs(x[i]));
    if (scale == 0.0 || !std::isfinite(scale)) return scale;
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

    // Complete rows.
    ws.rows.clear();
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(y[i])) continue;
        const double* xi = x + i * x_stride;
        bool ok = true;
        for (std::size_t j = 0; j < k; ++j) {
            if (!std::isfinite(xi[j])) {
                ok = false;
                break;
            }
        }
        if (ok) ws.rows.push_back(i);
    }
    const std::size_t m = ws.rows.size();
    if (m == 0) return;

    // Disjoint 0/1 indicator columns become groups; all-zero columns drop
    // out; everything else is dense.
    ws.group.assign(m, -1);
    ws.dense.clear();
    std::int32_t n_groups = 0;
    for (std::size_t j = 0; j < k; ++j) {
        bool indicator = true, any_one = false, disjoint = true;
        for (std::size_t r = 0; r < m; ++r) {
            const double v = x[ws.rows[r] * x_stride + j];
            if (v == 1.0) {
                any_one = true;
                if (ws.group[r] >= 0) disjoint = false;
            } else if (v != 0.0) {
                indicator = false;
                break;
            }
        }
        if (indicator && !any_one) continue;  // all zero: contributes nothing
        if (indicator && disjoint) {
            for (std::size_t r = 0; r < m; ++r) {
                if (x[ws.rows[r] * x_stride + j] == 1.0) ws.group[r] = n_groups;
            }
            ++n_groups;
        } else {
            ws.dense.push_back(j);
        }
    }
    const std::size_t p = ws.dense.size();

    // Gather the dense columns scaled to unit norm (over the complete rows,
    // before the group projection) and the values.
    ws.a.resize(m * p);
    ws.r.resize(m);
    std::size_t kept = 0;
    for (std::size_t c = 0; c < p; ++c) {
        double* col = ws.a.data() + kept * m;
        const std::size_t j = ws.dense[c];
        for (std::size_t r = 0; r < m; ++r) col[r] = x[ws.rows[r] * x_stride + j];
        const double nrm = detail::norm2(col, m);
        if (!(nrm > 0.0) || !std::isfinite(nrm)) continue;
        const double inv = 1.0 / nrm;
        for (std::size_t r = 0; r < m; ++r) col[r] *= inv;
        ++kept;
    }
    const std::size_t pk = kept;
    for (std::size_t r = 0; r < m; ++r) ws.r[r] = y[ws.rows[r]];

    // Stage 1: subtract group means (compensated sums), from the values and
    // from every dense column.
    if (n_groups > 0) {
        const std::size_t w = pk + 1;
        ws.gsum.assign(static_cast<std::size_t>(n_groups) * w, 0.0);
        ws.gcomp.assign(static_cast<std::size_t>(n_groups) * w, 0.0);
        ws.gcount.assign(static_cast<std::size_t>(n_groups), 0);
        auto column = [&](std::size_t c) -> double* {
            return c < pk ? ws.a.data() + c * m : ws.r.data();
        };
        for (std::size_t r = 0; r < m; ++r) {
            if (ws.group[r] >= 0) ++ws.gcount[static_cast<std::size_t>(ws.group[r])];
        }
        for (std::size_t c = 0; c < w; ++c) {
            double* col = column(c);
            for (std::size_t r = 0; r < m; ++r) {
                const std::int32_t g = ws.group[r];
                if (g < 0) continue;
                // Neumaier summation.
                double& s = ws.gsum[static_cast<std::size_t>(g) * w + c];
                double& comp = ws.gcomp[static_cast<std::size_t>(g) * w + c];
                const double v = col[r];
                const double t = s + v;
                if (std::fabs(s) >= std::fabs(v)) {
                    comp += (s - t) + v;
                } else {
                    comp += (v - t) + s;
                }
                s = t;
            }
        }
        for (std::size_t c = 0; c < w; ++c) {
            double* col = column(c);
            for (std::size_t r = 0; r < m; ++r) {
                const std::int32_t g = ws.group[r];
                if (g < 0) continue;
                const std::size_t gi = static_cast<std::size_t>(g);
                const double mean = (ws.gsum[gi * w + c] + ws.gcomp[gi * w + c]) /
                                    static_cast<double>(ws.gcount[gi]);
                col[r] -= mean;
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
    ws.norms.resize(pk);
    std::size_t rank = 0;
    for (std::size_t kk = 0; kk < steps; ++kk) {
        std::size_t best = kk;
        double best_norm = -1.0;
        for (std::size_t c = kk; c < pk; ++c) {
            const double nv = detail::norm2(ws.a.data() + c * m + kk, m - kk);
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
        double vv = 0.0;
        for (std::size_t i = 0; i < len; ++i) vv += v[i] * v[i];
        const double tau = vv > 0.0 ? 2.0 / vv : 0.0;
        ws.tau[kk] = tau;
        for (std::size_t c = kk + 1; c < pk; ++c) {
            double* col = ws.a.data() + c * m + kk;
            double d = 0.0;
            for (std::size_t i = 0; i < len; ++i) d += v[i] * col[i];
            d *= tau;
            for (std::size_t i = 0; i < len; ++i) col[i] -= d * v[i];
        }
        rank = kk + 1;
    }

    // r <- Q' r; drop the components in span(Q); r <- Q r.
    auto reflect = [&](std::size_t kk) {
        const double* v = ws.a.data() + kk * m + kk;
        double* rv = ws.r.data() + kk;
        const std::size_t len = m - kk;
        double d = 0.0;
        for (std::size_t i = 0; i < len; ++i) d += v[i] * rv[i];
        d *= ws.tau[kk];
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
