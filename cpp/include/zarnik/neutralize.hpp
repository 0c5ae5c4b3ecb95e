// Assembly of the regressor cube of a factor neutralization.
//
// exog[t, i, :] is laid out as
//   style exposures (n_style) | industry dummies (n_industries) |
//   user factors (others.size()) | constant (0 or 1)
// and is written in one pass over (date, instrument) so every cell of the
// T x N x K cube is touched once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "zarnik/parallel.hpp"

namespace zarnik::neutralize {

struct DesignSources {
    std::size_t dates = 0, instruments = 0;
    // Style exposures: a table of `style_rows` x `n_style` values and, per
    // (date, instrument), the table row holding its exposures (-1: none).
    const double* style_values = nullptr;
    std::size_t n_style = 0;
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

inline void build_design(const DesignSources& s, double* exog) {
    const std::size_t k = s.width();
    const std::size_t n = s.instruments;
    if (k == 0) return;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    parallel_for(
        s.dates,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) {
                for (std::size_t i = 0; i < n; ++i) {
                    const std::size_t cell = t * n + i;
                    double* out = exog + cell * k;
                    std::size_t pos = 0;
                    if (s.n_style > 0) {
                        const std::int64_t row = s.style_row[cell];
                        if (row >= 0) {
                            const double* src = s.style_values + static_cast<std::size_t>(row) * s.n_style;
                            for (std::size_t j = 0; j < s.n_style; ++j) out[pos + j] = src[j];
                        } else {
                            for (std::size_t j = 0; j < s.n_style; ++j) out[pos + j] = nan;
                        }
                        pos += s.n_style;
                    }
                    if (s.n_industries > 0) {
                        for (std::size_t j = 0; j < s.n_industries; ++j) out[pos + j] = 0.0;
                        const std::int64_t code = s.codes[cell];
                        if (code >= 0 && static_cast<std::size_t>(code) < s.n_industries) {
                            out[pos + static_cast<std::size_t>(code)] = 1.0;
                        }
                        pos += s.n_industries;
                    }
                    for (const double* f : s.others) out[pos++] = f[cell];
                    if (s.add_const) out[pos++] = 1.0;
                }
            }
        },
        16);
}

}  // namespace zarnik::neutralize
