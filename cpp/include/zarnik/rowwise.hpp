// Row-by-row work over a dates x instruments matrix of any memory layout.
//
// pandas keeps a float64 frame as one block that is usually column-major
// (instrument by instrument), while cross-sectional rules work date by date.
// Instead of transposing the whole matrix first, the rows are gathered a few
// at a time into a small per-thread buffer: each instrument contributes a short
// contiguous run of dates, so every cache line read is used in full.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "zarnik/parallel.hpp"

namespace zarnik::rowwise {

// A read-only rows x cols matrix; element (r, c) is data[r * row_stride + c * col_stride].
// Strides are counted in elements and may be negative or zero.
struct View {
    const double* data = nullptr;
    std::size_t rows = 0, cols = 0;
    std::ptrdiff_t row_stride = 0, col_stride = 1;

    static View c_order(const double* data, std::size_t rows, std::size_t cols) {
        return View{data, rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
    }
    bool rows_contiguous() const { return col_stride == 1 || cols <= 1; }
};

// Rows gathered per block from a layout whose rows are not contiguous.
inline constexpr std::size_t kBlockRows = 16;

// Copies rows r0 .. r0 + nr of `in` into g, C order (row i at g + i * cols).
inline void gather_rows(const View& in, std::size_t r0, std::size_t nr, double* g) {
    const std::size_t cols = in.cols;
    const double* base = in.data + static_cast<std::ptrdiff_t>(r0) * in.row_stride;
    if (in.row_stride == 1 && nr == kBlockRows) {  // column-major: a run of dates per instrument
        std::size_t j = 0;
        for (; j + 2 <= cols; j += 2) {  // two instruments at a time: paired stores
            const double* p = base + static_cast<std::ptrdiff_t>(j) * in.col_stride;
            const double* q = p + in.col_stride;
            for (std::size_t i = 0; i < kBlockRows; ++i) {
                g[i * cols + j] = p[i];
                g[i * cols + j + 1] = q[i];
            }
        }
        for (; j < cols; ++j) {
            const double* p = base + static_cast<std::ptrdiff_t>(j) * in.col_stride;
            for (std::size_t i = 0; i < kBlockRows; ++i) g[i * cols + j] = p[i];
        }
        return;
    }
    for (std::size_t j = 0; j < cols; ++j) {
        const double* p = base + static_cast<std::ptrdiff_t>(j) * in.col_stride;
        for (std::size_t i = 0; i < nr; ++i) g[i * cols + j] = p[static_cast<std::ptrdiff_t>(i) * in.row_stride];
    }
}

// Calls fn(r, x, y) for every row r, where x points at the row's cols values
// (contiguous, read-only) and y = out + r * cols is the row of a C-order output
// matrix. `make` is called once per worker thread and returns that thread's
// row function, so per-thread scratch buffers live inside it. `out` may be the
// input itself only when its rows are contiguous. Rows are independent, so the
// result does not depend on the number of threads.
template <class MakeRowFn>
void for_each_row(const View& in, double* out, MakeRowFn&& make, std::size_t min_rows_per_thread = 16) {
    const std::size_t rows = in.rows, cols = in.cols;
    if (rows == 0) return;
    const std::size_t blocks = (rows + kBlockRows - 1) / kBlockRows;
    const std::size_t min_blocks = std::max<std::size_t>(1, min_rows_per_thread / kBlockRows);
    const bool direct = in.rows_contiguous();
    parallel_for(
        blocks,
        [&](std::size_t b, std::size_t e) {
            auto fn = make();
            std::vector<double> gathered(direct ? 0 : kBlockRows * cols);
            for (std::size_t blk = b; blk < e; ++blk) {
                const std::size_t r0 = blk * kBlockRows, nr = std::min(kBlockRows, rows - r0);
                if (direct) {
                    for (std::size_t i = 0; i < nr; ++i) {
                        const std::size_t r = r0 + i;
                        fn(r, in.data + static_cast<std::ptrdiff_t>(r) * in.row_stride, out + r * cols);
                    }
                    continue;
                }
                double* g = gathered.data();
                gather_rows(in, r0, nr, g);
                for (std::size_t i = 0; i < nr; ++i) fn(r0 + i, g + i * cols, out + (r0 + i) * cols);
            }
        },
        min_blocks);
}

// Copies any layout into a C-order rows x cols matrix (out must not overlap in).
inline void copy_to_c_order(const View& in, double* out) {
    const std::size_t rows = in.rows, cols = in.cols;
    if (rows == 0 || cols == 0) return;
    const std::size_t blocks = (rows + kBlockRows - 1) / kBlockRows;
    parallel_for(
        blocks,
        [&](std::size_t b, std::size_t e) {
            for (std::size_t blk = b; blk < e; ++blk) {
                const std::size_t r0 = blk * kBlockRows, nr = std::min(kBlockRows, rows - r0);
                const double* base = in.data + static_cast<std::ptrdiff_t>(r0) * in.row_stride;
                double* g = out + r0 * cols;
                if (in.rows_contiguous()) {
                    for (std::size_t i = 0; i < nr; ++i)
                        std::memcpy(g + i * cols, base + static_cast<std::ptrdiff_t>(i) * in.row_stride, cols * sizeof(double));
                    continue;
                }
                gather_rows(in, r0, nr, g);
            }
        },
        8);
}

}  // namespace zarnik::rowwise
