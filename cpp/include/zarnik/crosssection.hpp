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
#include <numeric>
#include <vector>

#include "zarnik/parallel.hpp"
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

// One member of a row: its group code, value and column.
struct Entry {
    double g;
    double x;
    std::uint32_t j;
};

// Row scratch reused by one worker thread.
struct Scratch {
    std::vector<Entry> e;
};

// Mean of the values of e[0..m) with one correction pass (accurate when the
// values are large compared with their spread).
inline double mean_of(const Entry* e, std::size_t m) {
    double s = 0.0;
    for (std::size_t k = 0; k < m; ++k) s += e[k].x;
    double mean = s / static_cast<double>(m);
    if (std::isinf(s)) {
        // an infinite sum of finite values overflowed: sum the values scaled down first
        bool finite = true;
        for (std::size_t k = 0; k < m && finite; ++k) finite = std::isfinite(e[k].x);
        if (!finite) return mean;
        mean = 0.0;
        for (std::size_t k = 0; k < m; ++k) mean += e[k].x / static_cast<double>(m);
    }
    if (!std::isfinite(mean)) return mean;
    double c = 0.0;
    for (std::size_t k = 0; k < m; ++k) c += e[k].x - mean;
    return mean + c / static_cast<double>(m);
}

// Applies `op` to the members e[0..m) of one group (or of the whole row).
// For rank and bucket the members are sorted by value.
inline void apply_group(Entry* e, std::size_t m, double* y, Op op, double param) {
    if (m == 0) return;
    switch (op) {
        case Op::rank:
        case Op::bucket: {
            // tied values get the average of their 1-based positions
            const double count = static_cast<double>(m);
            std::size_t i = 0;
            while (i < m) {
                std::size_t j = i + 1;
                while (j < m && e[j].x == e[i].x) ++j;
                const double r = 0.5 * static_cast<double>(i + 1 + j);
                const double v = op == Op::rank ? r / count : std::ceil(r * param / count);
                for (std::size_t k = i; k < j; ++k) y[e[k].j] = v;
                i = j;
            }
            return;
        }
        case Op::demean: {
            const double mean = mean_of(e, m);
            for (std::size_t k = 0; k < m; ++k) y[e[k].j] = e[k].x - mean;
            return;
        }
        case Op::zscore: {
            // mean and sample std over the finite members; +-inf members give +-inf
            std::size_t f = 0;
            for (std::size_t k = 0; k < m; ++k)
                if (std::isfinite(e[k].x)) std::swap(e[f++], e[k]);
            double sd = 0.0, mean = 0.0;
            if (f >= 2) {
                mean = mean_of(e, f);
                double ss = 0.0;
                for (std::size_t k = 0; k < f; ++k) {
                    const double d = e[k].x - mean;
                    ss += d * d;
                }
                sd = std::sqrt(ss / static_cast<double>(f - 1));
            }
            const bool ok = f >= 2 && sd > 0.0 && std::isfinite(sd);
            for (std::size_t k = 0; k < m; ++k) y[e[k].j] = ok ? (e[k].x - mean) / sd : kNaN;
            return;
        }
        case Op::scale: {
            double s = 0.0;
            for (std::size_t k = 0; k < m; ++k) s += std::fabs(e[k].x);
            for (std::size_t k = 0; k < m; ++k) y[e[k].j] = e[k].x / s * param;
            return;
        }
    }
}

// One row: y[j] for every instrument j. `g` is the row of group codes, or null
// for one group holding the whole row. Members are the cells where x (and the
// code) is not NaN.
inline void row(const double* x, const double* g, std::size_t cols, double* y, Op op, double param, Scratch& s) {
    s.e.clear();
    for (std::size_t j = 0; j < cols; ++j) {
        y[j] = kNaN;
        const double gj = g == nullptr ? 0.0 : g[j];
        if (!std::isnan(x[j]) && !std::isnan(gj)) s.e.push_back(Entry{gj, x[j], static_cast<std::uint32_t>(j)});
    }
    Entry* e = s.e.data();
    const std::size_t m = s.e.size();
    const bool by_value = op == Op::rank || op == Op::bucket;
    if (by_value && g == nullptr) {
        // tied values all get the same rank, so their order does not matter
        std::sort(e, e + m, [](const Entry& a, const Entry& b) { return a.x < b.x; });
    } else if (by_value) {
        std::sort(e, e + m, [](const Entry& a, const Entry& b) { return a.g < b.g || (a.g == b.g && a.x < b.x); });
    } else if (g != nullptr) {
        std::sort(e, e + m, [](const Entry& a, const Entry& b) { return a.g < b.g || (a.g == b.g && a.j < b.j); });
    }
    // each group is one run of equal codes
    std::size_t i = 0;
    while (i < m) {
        std::size_t j = i + 1;
        while (j < m && e[j].g == e[i].g) ++j;
        apply_group(e + i, j - i, y, op, param);
        i = j;
    }
}

// Applies `op` row by row. `in` may have any layout; `groups`, when given, is a
// C-order rows x cols matrix of codes. `out` is C order and must not overlap
// the inputs. Rows are independent: the result does not depend on the thread count.
inline void apply(const rowwise::View& in, const double* groups, double* out, Op op, double param) {
    if (in.cols > std::numeric_limits<std::uint32_t>::max()) return;
    rowwise::for_each_row(in, out, [&] {
        return [&, s = Scratch{}](std::size_t r, const double* x, double* y) mutable {
            row(x, groups == nullptr ? nullptr : groups + r * in.cols, in.cols, y, op, param, s);
        };
    }, 4);
}

}  // namespace zarnik::cs
