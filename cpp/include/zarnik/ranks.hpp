// Ranks of the present values of a series: the sort order of a row without
// its missing values (NaN), average (1-based) ranks with ties sharing the
// mean of their positions, and percentile ranks (average rank / count, in
// (0, 1]). +inf and -inf are values, ordered above and below every number;
// -0.0 and +0.0 are equal.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "zarnik/parallel.hpp"

namespace zarnik::ranks {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using KeyedPositions = std::vector<std::pair<std::uint64_t, std::int32_t>>;

// Order-preserving unsigned key of a double (-0.0 and +0.0 share a key).
inline std::uint64_t sort_key(double v) {
    if (v == 0.0) v = 0.0;
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return (u & 0x8000000000000000ull) ? ~u : (u | 0x8000000000000000ull);
}

// Stable LSD radix sort of (key, position) pairs by key, 11 or 16 bits a pass;
// digits that every key shares are skipped (most of them for group codes and
// other values of a narrow range).
inline void radix_sort(KeyedPositions& a, KeyedPositions& tmp) {
    const std::size_t n = a.size();
    if (n < 2) return;
    if (n < 64) {
        std::stable_sort(a.begin(), a.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
        return;
    }
    std::uint64_t all_or = 0, all_and = ~std::uint64_t{0};
    for (const auto& e : a) {
        all_or |= e.first;
        all_and &= e.first;
    }
    const std::uint64_t varying = all_or ^ all_and;
    tmp.resize(n);
    // wider digits (fewer passes) once the data outweighs the histogram
    const int bits = n > (std::size_t{1} << 16) ? 16 : 11;
    const std::size_t buckets = std::size_t{1} << bits;
    const std::uint64_t mask = buckets - 1;
    std::vector<std::size_t> count(buckets);
    for (int shift = 0; shift < 64; shift += bits) {
        if (((varying >> shift) & mask) == 0) continue;
        std::fill(count.begin(), count.end(), 0);
        for (const auto& e : a) ++count[(e.first >> shift) & mask];
        std::size_t sum = 0;
        for (auto& c : count) {
            const std::size_t t = c;
            c = sum;
            sum += t;
        }
        for (const auto& e : a) tmp[count[(e.first >> shift) & mask]++] = e;
        a.swap(tmp);
    }
}

// Calls f(i, j, rank) for each run order[i..j] (inclusive) of equal values
// among `count` values visited in sort order (order[k] is the position of the
// k-th value in `v`); rank is the run's average 1-based rank.
template <class Index, class F>
inline void for_each_tie_run(const double* v, const Index* order, std::size_t count, F&& f) {
    std::size_t i = 0;
    while (i < count) {
        std::size_t j = i;
        const double vi = v[order[i]];
        while (j + 1 < count && v[order[j + 1]] == vi) ++j;
        f(i, j, 0.5 * static_cast<double>(i + j) + 1.0);
        i = j + 1;
    }
}

// Positions of the non-NaN values of v[0..n) sorted ascending by value
// (descending with `descending`); equal values keep their position order.
// Returns their count.
inline std::size_t sorted_present(const double* v, std::size_t n, std::int32_t* order, KeyedPositions& buf,
                                  KeyedPositions& tmp, bool descending = false) {
    buf.clear();
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(v[i])) continue;
        const std::uint64_t k = sort_key(v[i]);
        buf.emplace_back(descending ? ~k : k, static_cast<std::int32_t>(i));
    }
    radix_sort(buf, tmp);
    for (std::size_t k = 0; k < buf.size(); ++k) order[k] = buf[k].second;
    return buf.size();
}

// Average ranks (1-based) of `count` values visited in sort order: order[k]
// is the position of the k-th value in `v`; equal values share the mean of
// their positions. Writes rank[order[k]].
inline void average_ranks_sorted(const double* v, const std::int32_t* order, std::size_t count, double* rank) {
    for_each_tie_run(v, order, count, [&](std::size_t i, std::size_t j, double avg) {
        for (std::size_t k = i; k <= j; ++k) rank[order[k]] = avg;
    });
}

// Scratch space of one worker ranking rows.
struct RowScratch {
    std::vector<std::int32_t> order;
    KeyedPositions buf, tmp;
};

// Percentile ranks of one row: out[i] = average rank of v[i] / number of
// present values, NaN where v[i] is missing. `ascending` false ranks the
// largest value first.
inline void percentile_row(const double* v, std::size_t n, bool ascending, double* out, RowScratch& s) {
    s.order.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = kNaN;
    const std::size_t m = sorted_present(v, n, s.order.data(), s.buf, s.tmp, !ascending);
    const double count = static_cast<double>(m);
    for_each_tie_run(v, s.order.data(), m, [&](std::size_t i, std::size_t j, double avg) {
        for (std::size_t k = i; k <= j; ++k) out[s.order[k]] = avg / count;
    });
}

// Percentile ranks of every row of a rows x cols matrix (row-major), rows
// spread over threads; the result does not depend on the thread count.
inline void percentile_rows(const double* m, std::size_t rows, std::size_t cols, bool ascending, double* out) {
    parallel_for(
        rows,
        [&](std::size_t begin, std::size_t end) {
            RowScratch s;
            for (std::size_t r = begin; r < end; ++r) percentile_row(m + r * cols, cols, ascending, out + r * cols, s);
        },
        16);
}

}  // namespace zarnik::ranks
