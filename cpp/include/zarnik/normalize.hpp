// Cross-sectional z-scores and simple returns of dates x instruments matrices.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

#include "zarnik/parallel.hpp"
#include "zarnik/rowwise.hpp"
#include "zarnik/winsorize.hpp"

namespace zarnik::xsection {

// Each row becomes (x - mean) / std, with mean and sample std (divisor n - 1)
// taken over the row's finite values. NaN stays NaN; a result of +-inf
// (an infinite input, or a finite value over a zero std) becomes 0; a row
// with fewer than two finite values is NaN wherever it is finite or missing.
// `out` is C order; it may be the input itself when the input rows are contiguous.
inline void zscore(const rowwise::View& in, double* out) {
    rowwise::for_each_row(in, out, [cols = in.cols] {
        return [cols](std::size_t, const double* x, double* y) {
            double mean, sd;
            winsorize::finite_mean_sd(x, cols, mean, sd);
            constexpr double inf = std::numeric_limits<double>::infinity();
            for (std::size_t j = 0; j < cols; ++j) {
                const double z = (x[j] - mean) / sd;
                y[j] = std::fabs(z) == inf ? 0.0 : z;
            }
        };
    });
}

// Simple returns down each column: a missing price (NaN) is replaced by the
// last earlier price first, so out[i] = p[i] / p[i-1] - 1 over the filled
// prices; NaN before a column's first price. Row 0 has no return: out holds
// the rows - 1 returns of rows 1 .. rows - 1.
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
                    if (r > 0) out[(r - 1) * cols + c] = v / prev - 1.0;
                    prev = v;
                }
            }
        },
        64);
}

}  // namespace zarnik::xsection
