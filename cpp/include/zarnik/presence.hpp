// Where a dates x instruments matrix holds values: per row, the number of
// cells that are not NaN (+-inf count as values) and whether those values are
// all equal; optionally per column, the number of cells that are not NaN.
// One pass over the matrix in its own memory layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "zarnik/rowwise.hpp"

namespace zarnik::presence {

// counts[r]: non-NaN cells of row r. constant[r]: 1 when row r has at least
// two non-NaN values and its largest minus its smallest is 0 (a row of +inf
// only gives inf - inf = NaN, so it is not constant). col_counts, when not
// null, gets the non-NaN cells of each column.
inline void row_presence(const rowwise::View& in, std::int64_t* counts, std::uint8_t* constant,
                         std::int64_t* col_counts) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::size_t rows = in.rows, cols = in.cols;
    std::vector<double> lo(rows, kInf), hi(rows, -kInf);
    for (std::size_t r = 0; r < rows; ++r) counts[r] = 0;
    if (col_counts)
        for (std::size_t c = 0; c < cols; ++c) col_counts[c] = 0;
    const auto at = [&in](std::size_t r, std::size_t c) {
        return in.data + static_cast<std::ptrdiff_t>(r) * in.row_stride + static_cast<std::ptrdiff_t>(c) * in.col_stride;
    };
    // NaN compares false everywhere: it is neither counted nor taken as a bound
    // column-major: each column is a contiguous run of dates; the row accumulators vectorize
    const auto by_columns = [&] {
        for (std::size_t c = 0; c < cols; ++c) {
            const double* x = at(0, c);
            std::int64_t n = 0;
            for (std::size_t r = 0; r < rows; ++r) {
                const double v = x[r];
                const std::int64_t present = v == v;
                counts[r] += present;
                n += present;
                lo[r] = v < lo[r] ? v : lo[r];
                hi[r] = v > hi[r] ? v : hi[r];
            }
            if (col_counts) col_counts[c] = n;
        }
    };
    // row by row, four independent lanes per row
    const auto by_rows = [&](auto with_columns) {
        constexpr bool kColumns = decltype(with_columns)::value;
        constexpr std::size_t kLanes = 4;
        std::vector<double> row(in.col_stride == 1 ? 0 : cols);
        for (std::size_t r = 0; r < rows; ++r) {
            const double* x = at(r, 0);
            if (in.col_stride != 1) {
                for (std::size_t c = 0; c < cols; ++c) row[c] = x[static_cast<std::ptrdiff_t>(c) * in.col_stride];
                x = row.data();
            }
            std::int64_t n[kLanes] = {};
            double l[kLanes] = {kInf, kInf, kInf, kInf}, h[kLanes] = {-kInf, -kInf, -kInf, -kInf};
            std::size_t c = 0;
            for (; c + kLanes <= cols; c += kLanes) {
                for (std::size_t k = 0; k < kLanes; ++k) {
                    const double v = x[c + k];
                    n[k] += v == v;
                    if constexpr (kColumns) col_counts[c + k] += v == v;
                    l[k] = v < l[k] ? v : l[k];
                    h[k] = v > h[k] ? v : h[k];
                }
            }
            for (; c < cols; ++c) {
                const double v = x[c];
                n[0] += v == v;
                if constexpr (kColumns) col_counts[c] += v == v;
                l[0] = v < l[0] ? v : l[0];
                h[0] = v > h[0] ? v : h[0];
            }
            counts[r] = n[0] + n[1] + n[2] + n[3];
            double lr = l[0], hr = h[0];
            for (std::size_t k = 1; k < kLanes; ++k) {
                lr = l[k] < lr ? l[k] : lr;
                hr = h[k] > hr ? h[k] : hr;
            }
            lo[r] = lr;
            hi[r] = hr;
        }
    };
    if (in.row_stride == 1 && in.col_stride != 1) {
        by_columns();
    } else if (col_counts) {
        by_rows(std::true_type{});
    } else {
        by_rows(std::false_type{});
    }
    for (std::size_t r = 0; r < rows; ++r) constant[r] = counts[r] >= 2 && hi[r] - lo[r] == 0.0;
}

}  // namespace zarnik::presence
