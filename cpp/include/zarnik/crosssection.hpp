// Cross-sectional and group operators of factor formulas: one date (row) of a
// dates x instruments matrix at a time, rows spread over threads.
//
// Conventions shared by every operator here:
// - NaN is a missing value: it takes no part in any statistic and stays NaN.
// - +inf and -inf are values: they are ordered above and below every number
//   for ranks, and enter sums and means with IEEE arithmetic.
// - A group code is any double; NaN as a code means "no group", which makes
//   the result NaN. Codes are compared exactly (1.0 and 1.0 are one group).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "zarnik/parallel.hpp"
#include "zarnik/ranks.hpp"
#include "zarnik/rowwise.hpp"

namespace zarnik::cs {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

enum class Op {
    rank,            // average rank / count, in (0, 1]
    bucket,          // 1..n by rank: ceil(rank * n / count)
    demean,          // x - mean
    zscore,          // (x - mean) / sample std
    scale,           // a * x / sum |x|
};

// Row scratch reused by one worker thread.
struct Scratch {
    ranks::KeyedPositions keyed, tmp;
    std::vector<std::int32_t> idx;
    std::vector<std::uint32_t> count;
};

// Mean of x over idx[0..m) with one correction pass (accurate when the values
// are large compared with their spread).
inline double mean_of(const double* x, const std::int32_t* idx, std::size_t m) {
    double s = 0.0;
    for (std::size_t k = 0; k < m; ++k) s += x[idx[k]];
    double mean = s / static_cast<double>(m);
    if (std::isinf(s)) {
        // an infinite sum of finite values overflowed: sum the values scaled down first
        bool finite = true;
        for (std::size_t k = 0; k < m && finite; ++k) finite = std::isfinite(x[idx[k]]);
        if (!finite) return mean;
        mean = 0.0;
        for (std::size_t k = 0; k < m; ++k) mean += x[idx[k]] / static_cast<double>(m);
    }
    if (!std::isfinite(mean)) return mean;
    double c = 0.0;
    for (std::size_t k = 0; k < m; ++k) c += x[idx[k]] - mean;
    return mean + c / static_cast<double>(m);
}

// Applies `op` to the members idx[0..m) of one group (or of the whole row).
// For rank and bucket the members are in ascending order of value.
inline void apply_group(const double* x, std::int32_t* idx, std::size_t m, double* y, Op op, double param) {
    if (m == 0) return;
    switch (op) {
        case Op::rank:
        case Op::bucket: {
            // tied values get the average of their 1-based positions
            const double count = static_cast<double>(m);
            ranks::for_each_tie_run(x, idx, m, [&](std::size_t i, std::size_t j, double r) {
                const double v = op == Op::rank ? r / count : std::ceil(r * param / count);
                for (std::size_t k = i; k <= j; ++k) y[idx[k]] = v;
            });
            return;
        }
        case Op::demean: {
            const double mean = mean_of(x, idx, m);
            for (std::size_t k = 0; k < m; ++k) y[idx[k]] = x[idx[k]] - mean;
            return;
        }
        case Op::zscore: {
            // mean and sample std over the finite members; +-inf members give +-inf
            std::size_t f = 0;
            for (std::size_t k = 0; k < m; ++k)
                if (std::isfinite(x[idx[k]])) std::swap(idx[f++], idx[k]);
            // Members all below 2^-900 in magnitude are scaled up by a power of two
            // first, the largest to about 2^-100 (exact, and the z-scores do not
            // change with the scale): near the subnormal range their mean and
            // deviations would lose their digits.
            double top = 0.0, scale = 1.0;
            for (std::size_t k = 0; k < f; ++k) top = std::max(top, std::fabs(x[idx[k]]));
            if (top > 0.0 && top < 0x1p-900) scale = std::ldexp(1.0, -std::ilogb(top) - 100);
            auto v = [&](std::size_t k) { return x[idx[k]] * scale; };
            double sd = 0.0, mean = 0.0;
            if (f >= 2) {
                if (scale == 1.0) {
                    mean = mean_of(x, idx, f);
                } else {
                    std::vector<double> scaled(f);
                    std::vector<std::int32_t> pos(f);
                    for (std::size_t k = 0; k < f; ++k) {
                        scaled[k] = v(k);
                        pos[k] = static_cast<std::int32_t>(k);
                    }
                    mean = mean_of(scaled.data(), pos.data(), f);
                }
                // deviations scaled by the largest one, so tiny values do not
                // underflow when squared (nor large ones overflow)
                double big = 0.0;
                for (std::size_t k = 0; k < f; ++k) big = std::max(big, std::fabs(v(k) - mean));
                double ss = 0.0;
                if (big > 0.0) {
                    for (std::size_t k = 0; k < f; ++k) {
                        const double d = (v(k) - mean) / big;
                        ss += d * d;
                    }
                }
                sd = big * std::sqrt(ss / static_cast<double>(f - 1));
            }
            const bool ok = f >= 2 && sd > 0.0 && std::isfinite(sd);
            for (std::size_t k = 0; k < m; ++k) y[idx[k]] = ok ? (x[idx[k]] * scale - mean) / sd : kNaN;
            return;
        }
        case Op::scale: {
            double s = 0.0;
            for (std::size_t k = 0; k < m; ++k) s += std::fabs(x[idx[k]]);
            for (std::size_t k = 0; k < m; ++k) y[idx[k]] = x[idx[k]] / s * param;
            return;
        }
    }
}

// One row: y[j] for every instrument j. `g` is the row of group codes, or null
// for one group holding the whole row. Members are the cells where x (and the
// code) is not NaN, kept in column order within a group unless sorted by value.
inline void row(const double* x, const double* g, std::size_t cols, double* y, Op op, double param, Scratch& s) {
    s.keyed.clear();
    for (std::size_t j = 0; j < cols; ++j) {
        y[j] = kNaN;
        if (!std::isnan(x[j]) && (g == nullptr || !std::isnan(g[j])))
            s.keyed.emplace_back(ranks::sort_key(x[j]), static_cast<std::int32_t>(j));
    }
    const std::size_t m = s.keyed.size();
    // ranks and buckets give tied values one result, so their order does not matter
    if (op == Op::rank || op == Op::bucket) ranks::sort_by_key(s.keyed, s.tmp, s.count);
    if (g != nullptr) {  // stable: keeps the value order (or the column order) within each group
        for (auto& e : s.keyed) e.first = ranks::sort_key(g[e.second]);
        ranks::radix_sort(s.keyed, s.tmp);
    }
    s.idx.resize(m);
    for (std::size_t k = 0; k < m; ++k) s.idx[k] = s.keyed[k].second;
    std::int32_t* idx = s.idx.data();
    if (g == nullptr) {
        apply_group(x, idx, m, y, op, param);
        return;
    }
    std::size_t i = 0;
    while (i < m) {
        std::size_t j = i + 1;
        while (j < m && g[idx[j]] == g[idx[i]]) ++j;
        apply_group(x, idx + i, j - i, y, op, param);
        i = j;
    }
}

// Applies `op` row by row. `in` may have any layout; `groups`, when given, is a
// C-order rows x cols matrix of codes. `out` is C order and must not overlap
// the inputs. Rows are independent: the result does not depend on the thread count.
inline void apply(const rowwise::View& in, const double* groups, double* out, Op op, double param) {
    if (in.cols > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return;
    rowwise::for_each_row(in, out, [&] {
        return [&, s = Scratch{}](std::size_t r, const double* x, double* y) mutable {
            row(x, groups == nullptr ? nullptr : groups + r * in.cols, in.cols, y, op, param, s);
        };
    }, 4);
}

}  // namespace zarnik::cs
