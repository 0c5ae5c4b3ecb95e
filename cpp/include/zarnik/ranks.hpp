// Ranks of the present values of a series: the sort order of a row without
// its missing values (NaN), average (1-based) ranks with ties sharing the
// mean of their positions, and percentile ranks (average rank / count, in
// (0, 1]). +inf and -inf are values, ordered above and below every number;
// -0.0 and +0.0 are equal.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "zarnik/parallel.hpp"
#include "zarnik/rowwise.hpp"

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

// Sorts (key, position) pairs by key, not stably: for ranks, where equal keys
// share one average rank and their order does not matter. A most-significant-
// digit bucket sort: the keys' range [lo, hi] is cut into about as many
// buckets as there are keys, and buckets of more than 16 keys are cut again
// over their own range (buckets of equal keys are left as they are); a final
// insertion sort orders the small buckets. Continuous values then need one distributing pass
// instead of the five or six a least-significant-digit sort makes over 64-bit
// keys. bucket_sort_into: `src` (n pairs, keys in [lo, hi]) is scratch; the
// result, its small buckets still unsorted, is in `dst`.
namespace detail {

inline void insertion_sort(std::pair<std::uint64_t, std::int32_t>* a, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i) {
        const auto x = a[i];
        std::size_t j = i;
        while (j > 0 && a[j - 1].first > x.first) {
            a[j] = a[j - 1];
            --j;
        }
        a[j] = x;
    }
}

inline void bucket_sort_into(std::pair<std::uint64_t, std::int32_t>* src, std::pair<std::uint64_t, std::int32_t>* dst,
                             std::size_t n, std::uint64_t lo, std::uint64_t hi, std::vector<std::uint32_t>& count) {
    const int bits = std::min(12, static_cast<int>(std::bit_width(n)));
    const int shift = std::max(0, static_cast<int>(std::bit_width(hi - lo)) - bits);
    const std::size_t nb = static_cast<std::size_t>((hi - lo) >> shift) + 1;
    // the counts of every level of the recursion share one vector (this level's at `base`)
    const std::size_t base = count.size();
    count.resize(base + nb + 1);
    std::uint32_t* c = count.data() + base;
    std::fill(c, c + nb + 1, 0u);
    for (std::size_t i = 0; i < n; ++i) ++c[((src[i].first - lo) >> shift) + 1];
    for (std::size_t b = 1; b <= nb; ++b) c[b] += c[b - 1];
    for (std::size_t i = 0; i < n; ++i) dst[c[(src[i].first - lo) >> shift]++] = src[i];
    // c[b] is now the end of bucket b
    std::size_t s = 0;
    for (std::size_t b = 0; b < nb; ++b) {
        const std::size_t e = count[base + b], k = e - s;
        if (k > 16) {
            std::uint64_t l = dst[s].first, h = l;
            for (std::size_t i = s + 1; i < e; ++i) {
                l = std::min(l, dst[i].first);
                h = std::max(h, dst[i].first);
            }
            if (l != h) {
                bucket_sort_into(dst + s, src + s, k, l, h, count);
                std::copy(src + s, src + e, dst + s);
            }
        }
        s = e;
    }
    count.resize(base);
}

}  // namespace detail

// Sorts `a` by key (not stably, see above); `tmp` and `count` are scratch.
inline void sort_by_key(KeyedPositions& a, KeyedPositions& tmp, std::vector<std::uint32_t>& count) {
    const std::size_t n = a.size();
    if (n < 2) return;
    std::uint64_t lo = a[0].first, hi = lo;
    for (const auto& e : a) {
        lo = std::min(lo, e.first);
        hi = std::max(hi, e.first);
    }
    if (lo == hi) return;
    if (n <= 16) {
        detail::insertion_sort(a.data(), n);
        return;
    }
    tmp.resize(n);
    count.clear();
    detail::bucket_sort_into(a.data(), tmp.data(), n, lo, hi, count);
    // the buckets of up to 16 keys are in place but unsorted: one insertion sort over the
    // whole array sorts them, its branches mostly predictable (keys rarely move)
    detail::insertion_sort(tmp.data(), n);
    a.swap(tmp);
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
    std::vector<std::uint32_t> count;
};

// Percentile ranks of one row: out[i] = average rank of v[i] / number of
// present values, NaN where v[i] is missing. `ascending` false ranks the
// largest value first.
inline void percentile_row(const double* v, std::size_t n, bool ascending, double* out, RowScratch& s) {
    s.buf.resize(n);
    std::size_t m = 0;
    const std::uint64_t flip = ascending ? 0 : ~std::uint64_t{0};
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(v[i])) {
            out[i] = kNaN;
            continue;
        }
        s.buf[m].first = sort_key(v[i]) ^ flip;
        s.buf[m].second = static_cast<std::int32_t>(i);
        ++m;
    }
    s.buf.resize(m);
    sort_by_key(s.buf, s.tmp, s.count);
    // equal keys are equal values (-0.0 and +0.0 share a key): one tie run each
    const double count = static_cast<double>(m);
    const auto* e = s.buf.data();
    std::size_t i = 0;
    while (i < m) {
        std::size_t j = i;
        while (j + 1 < m && e[j + 1].first == e[i].first) ++j;
        const double r = (0.5 * static_cast<double>(i + j) + 1.0) / count;
        for (std::size_t k = i; k <= j; ++k) out[e[k].second] = r;
        i = j + 1;
    }
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

// The same for a matrix of any layout; `out` is C order and does not overlap it.
inline void percentile_rows(const rowwise::View& in, bool ascending, double* out) {
    rowwise::for_each_row(in, out, [&] {
        return [&, s = RowScratch{}](std::size_t, const double* x, double* y) mutable {
            percentile_row(x, in.cols, ascending, y, s);
        };
    });
}

}  // namespace zarnik::ranks
