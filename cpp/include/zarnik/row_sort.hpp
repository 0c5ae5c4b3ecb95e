// Sorting one row of doubles: the positions of its present (non-NaN) values
// in ascending (or descending) value order, equal values in position order:
// the order of ranks::sorted_present, bit for bit, computed faster for the
// rows of a panel (hundreds to thousands of values, sorted row after row).
//
// Each value's order-preserving 64-bit key is cut in two: its upper 32 bits
// and the position are packed into one 64-bit word, sorted by a stable
// radix sort over the upper half (four 8-bit or three 11-bit passes, one
// counting pass for all of them); runs of words whose upper halves are equal
// (ties, or values that differ only in their low bits) are then ordered by the
// lower half of the key, positions breaking ties.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "zarnik/ranks.hpp"

namespace zarnik::rowsort {

// Scratch space of one worker sorting rows.
struct Scratch {
    std::vector<std::uint64_t> a, b;
    std::vector<std::uint32_t> hist;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> run;
};

namespace detail {

inline std::uint64_t key_of(double v, bool descending) {
    const std::uint64_t k = ranks::sort_key(v);
    return descending ? ~k : k;
}

// Stable sort of the words by their upper 32 bits (positions, the lower
// bits, ascending within equal upper halves as they come in).
inline void radix_upper(std::vector<std::uint64_t>& a, std::vector<std::uint64_t>& b,
                        std::vector<std::uint32_t>& hist) {
    const std::size_t n = a.size();
    if (n < 256) {
        // the words are distinct (positions differ): their order is the stable one
        std::sort(a.begin(), a.end());
        return;
    }
    // four 8-bit digits for rows of up to a few thousand values (small counting
    // tables), three of 11, 11 and 10 bits for longer ones
    const bool narrow = n < 4096;
    const int digits = narrow ? 4 : 3;
    const int shifts[4] = {32, narrow ? 40 : 43, narrow ? 48 : 54, 56};
    const int widths[4] = {narrow ? 8 : 11, narrow ? 8 : 11, narrow ? 8 : 10, 8};
    std::size_t offset[5] = {0};
    for (int d = 0; d < digits; ++d) offset[d + 1] = offset[d] + (std::size_t{1} << widths[d]);
    hist.assign(offset[digits], 0);
    std::uint32_t* h = hist.data();
    if (narrow) {
        for (const std::uint64_t w : a) {
            ++h[(w >> 32) & 255];
            ++h[256 + ((w >> 40) & 255)];
            ++h[512 + ((w >> 48) & 255)];
            ++h[768 + (w >> 56)];
        }
    } else {
        for (const std::uint64_t w : a) {
            ++h[(w >> 32) & 2047];
            ++h[2048 + ((w >> 43) & 2047)];
            ++h[4096 + (w >> 54)];
        }
    }
    b.resize(n);
    for (int d = 0; d < digits; ++d) {
        const std::uint64_t mask = (std::uint64_t{1} << widths[d]) - 1;
        const int shift = shifts[d];
        std::uint32_t* c = h + offset[d];
        if (c[(a[0] >> shift) & mask] == n) continue;  // every word shares this digit
        std::uint32_t sum = 0;
        for (std::size_t k = 0; k <= mask; ++k) {
            const std::uint32_t t = c[k];
            c[k] = sum;
            sum += t;
        }
        for (const std::uint64_t w : a) b[c[(w >> shift) & mask]++] = w;
        a.swap(b);
    }
}

}  // namespace detail

// Writes the positions of the non-NaN values of v[0..n) to order[0..count)
// sorted ascending by value (descending with `descending`), equal values in
// position order, and returns count. -0.0 and +0.0 are equal; infinities are
// ordered beyond every number.
inline std::size_t sorted_present(const double* v, std::size_t n, std::int32_t* order, Scratch& s,
                                  bool descending = false) {
    std::vector<std::uint64_t>& a = s.a;
    a.clear();
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(v[i])) continue;
        a.push_back((detail::key_of(v[i], descending) & 0xffffffff00000000ull) | static_cast<std::uint64_t>(i));
    }
    detail::radix_upper(a, s.b, s.hist);
    const std::size_t m = a.size();
    std::size_t i = 0;
    while (i < m) {
        std::size_t j = i + 1;
        const std::uint64_t upper = a[i] >> 32;
        while (j < m && (a[j] >> 32) == upper) ++j;
        if (j - i > 1) {
            // equal upper halves: order by the lower half of the key, then by position
            s.run.clear();
            for (std::size_t k = i; k < j; ++k) {
                const std::uint32_t pos = static_cast<std::uint32_t>(a[k]);
                s.run.emplace_back(static_cast<std::uint32_t>(detail::key_of(v[pos], descending)), pos);
            }
            bool sorted = true;
            for (std::size_t k = 1; k < s.run.size() && sorted; ++k) sorted = !(s.run[k] < s.run[k - 1]);
            if (!sorted) std::sort(s.run.begin(), s.run.end());
            for (std::size_t k = i; k < j; ++k) order[k] = static_cast<std::int32_t>(s.run[k - i].second);
        } else {
            order[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(a[i]));
        }
        i = j;
    }
    return m;
}

}  // namespace zarnik::rowsort
