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

// Places the rows of a long table keyed by (date level, instrument level) on
// a dates x instruments grid: out[t * n + i] is the table row whose date code
// is date_of[t] and whose instrument code is inst_of[i] (-1: none; -1 in
// date_of / inst_of / the codes means absent). Several grid dates may share
// one level date. Returns -1, or the first table row that repeats an earlier
// row's (date, instrument) pair among those the grid uses.
inline std::int64_t place_table_rows(const std::int64_t* date_of, std::size_t t_count, const std::int64_t* inst_of,
                                     std::size_t n, const std::int64_t* date_codes, const std::int64_t* inst_codes,
                                     std::size_t rows, std::size_t n_date_levels, std::size_t n_inst_levels,
                                     std::int64_t* out) {
    // compact slots for the level values that the grid uses
    std::vector<std::int64_t> dslot(n_date_levels, -1), islot(n_inst_levels, -1);
    std::size_t n_dslots = 0, n_islots = 0;
    for (std::size_t t = 0; t < t_count; ++t) {
        const std::int64_t d = date_of[t];
        if (d >= 0 && dslot[static_cast<std::size_t>(d)] < 0) dslot[static_cast<std::size_t>(d)] = static_cast<std::int64_t>(n_dslots++);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t u = inst_of[i];
        if (u >= 0 && islot[static_cast<std::size_t>(u)] < 0) islot[static_cast<std::size_t>(u)] = static_cast<std::int64_t>(n_islots++);
    }
    std::vector<std::int64_t> table(mul_size(n_dslots, n_islots, "table slots"), -1);
    for (std::size_t r = 0; r < rows; ++r) {
        if (date_codes[r] < 0 || inst_codes[r] < 0) continue;
        const std::int64_t ds = dslot[static_cast<std::size_t>(date_codes[r])];
        const std::int64_t is = islot[static_cast<std::size_t>(inst_codes[r])];
        if (ds < 0 || is < 0) continue;
        std::int64_t& cell = table[static_cast<std::size_t>(ds) * n_islots + static_cast<std::size_t>(is)];
        if (cell >= 0) return static_cast<std::int64_t>(r);
        cell = static_cast<std::int64_t>(r);
    }
    for (std::size_t t = 0; t < t_count; ++t) {
        for (std::size_t i = 0; i < n; ++i) {
            const bool known = date_of[t] >= 0 && inst_of[i] >= 0;
            out[t * n + i] = known ? table[static_cast<std::size_t>(dslot[static_cast<std::size_t>(date_of[t])]) * n_islots +
                                           static_cast<std::size_t>(islot[static_cast<std::size_t>(inst_of[i])])]
                                   : -1;
        }
    }
    return -1;
}

// Industry code of each (date, instrument) from a code table (rows: change
// dates, `width` columns: instruments): row row_of[t], column col_of[i]; -1
// where either is -1 or the code is NaN or negative. `max_code` receives the
// largest code (-1 if none). Returns false, with `bad` set, at the first code
// that is not a whole number up to 1e6.
inline bool industry_codes(const double* table, std::size_t width, const std::int64_t* row_of, std::size_t t_count,
                           const std::int64_t* col_of, std::size_t n, std::int64_t* out, std::int64_t& max_code,
                           double& bad) {
    max_code = -1;
    for (std::size_t t = 0; t < t_count; ++t) {
        for (std::size_t i = 0; i < n; ++i) {
            std::int64_t& o = out[t * n + i];
            o = -1;
            if (row_of[t] < 0 || col_of[i] < 0) continue;
            const double v = table[static_cast<std::size_t>(row_of[t]) * width + static_cast<std::size_t>(col_of[i])];
            if (!(v >= 0.0)) continue;  // NaN and negative codes: no industry
            if (v > 1e6 || v != static_cast<double>(static_cast<std::int64_t>(v))) {
                bad = v;
                return false;
            }
            o = static_cast<std::int64_t>(v);
            max_code = std::max(max_code, o);
        }
    }
    return true;
}

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
