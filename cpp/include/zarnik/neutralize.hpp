// Regressors of a factor neutralization, and the fused per-date solve.
//
// exog[t, i, :] is laid out as
//   style exposures (n_style) | industry dummies (n_industries) |
//   user factors (others.size()) | constant (0 or 1).
// build_design writes the whole T x N x K cube (one pass, every cell once);
// residuals_fused builds one date's N x K slab at a time in a per-thread
// buffer and solves it at once, so the cube never exists in memory. Both
// give the same regressors, so the residuals are identical.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "zarnik/checked.hpp"
#include "zarnik/ols.hpp"
#include "zarnik/parallel.hpp"

namespace zarnik::neutralize {

struct DesignSources {
    std::size_t dates = 0, instruments = 0;
    // Style exposures: a table of n_style values per row, element (row, j)
    // at style_values[row * style_row_stride + j * style_col_stride], and,
    // per (date, instrument), the table row holding its exposures (-1: none).
    const double* style_values = nullptr;
    std::size_t n_style = 0;
    std::ptrdiff_t style_row_stride = 0, style_col_stride = 1;
    const std::int64_t* style_row = nullptr;  // dates x instruments
    // Industry codes per (date, instrument); codes outside 0..n_industries-1
    // (e.g. -1) give 0 in every dummy.
    const std::int64_t* codes = nullptr;  // dates x instruments, or null
    std::size_t n_industries = 0;
    // User regressors, each dates x instruments.
    std::vector<const double*> others;
    bool add_const = false;

    std::size_t width() const { return n_style + n_industries + others.size() + (add_const ? 1 : 0); }
};

// Writes the N x K regressors of date t to `out` (row-major).
inline void fill_date(const DesignSources& s, std::size_t t, double* out) {
    const std::size_t k = s.width();
    const std::size_t n = s.instruments;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t cell = t * n + i;
        double* o = out + i * k;
        std::size_t pos = 0;
        if (s.n_style > 0) {
            const std::int64_t row = s.style_row[cell];
            if (row >= 0) {
                const double* src = s.style_values + row * s.style_row_stride;
                for (std::size_t j = 0; j < s.n_style; ++j) {
                    o[pos + j] = src[static_cast<std::ptrdiff_t>(j) * s.style_col_stride];
                }
            } else {
                for (std::size_t j = 0; j < s.n_style; ++j) o[pos + j] = nan;
            }
            pos += s.n_style;
        }
        if (s.n_industries > 0) {
            for (std::size_t j = 0; j < s.n_industries; ++j) o[pos + j] = 0.0;
            const std::int64_t code = s.codes[cell];
            if (code >= 0 && static_cast<std::size_t>(code) < s.n_industries) {
                o[pos + static_cast<std::size_t>(code)] = 1.0;
            }
            pos += s.n_industries;
        }
        for (const double* f : s.others) o[pos++] = f[cell];
        if (s.add_const) o[pos++] = 1.0;
    }
}

// The whole T x N x K cube.
inline void build_design(const DesignSources& s, double* exog) {
    const std::size_t k = s.width();
    if (k == 0) return;
    parallel_for(
        s.dates,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) fill_date(s, t, exog + t * s.instruments * k);
        },
        16);
}

// Residuals of every date, regressors built date by date (see above).
inline void residuals_fused(const DesignSources& s, const double* endog, double* out) {
    const std::size_t k = s.width();
    const std::size_t n = s.instruments;
    const std::size_t min_dates = std::max<std::size_t>(1, 200000 / std::max<std::size_t>(1, n * (k + 1)));
    parallel_for(
        s.dates,
        [&](std::size_t begin, std::size_t end) {
            std::vector<double> slab(mul_size(n, k, "design slab"));
            ols::Workspace ws;
            for (std::size_t t = begin; t < end; ++t) {
                fill_date(s, t, slab.data());
                ols::residuals_one(endog + t * n, slab.data(), n, k, k, out + t * n, ws);
            }
        },
        min_dates);
}

}  // namespace zarnik::neutralize
