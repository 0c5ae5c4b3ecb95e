// Index arithmetic of tables: long tables (one row per (date, instrument)
// pair, given as integer codes into the two label levels) laid out as dense
// dates x instruments matrices, label positions composed through codes,
// distinct keys numbered in order of appearance, and the rows a Python
// callback is handed (complete pairs of a date, members of a group).
//
// Codes are int64 with -1 for "no label"; nothing here knows about Python.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <vector>

#include "zarnik/checked.hpp"
#include "zarnik/parallel.hpp"

namespace zarnik::layout {

// The dense row of each of `nd` date codes: the codes that occur among
// `codes`, numbered in the order `order` lists them (the level's codes sorted
// by label); -1 for codes that never occur. Returns the occurring codes in
// row order.
inline std::vector<std::int64_t> date_rows(const std::int64_t* codes, std::size_t rows, const std::int64_t* order,
                                           std::size_t nd, std::int64_t* row_of) {
    std::vector<std::uint8_t> used(nd, 0);
    for (std::size_t i = 0; i < rows; ++i)
        if (codes[i] >= 0 && static_cast<std::size_t>(codes[i]) < nd) used[static_cast<std::size_t>(codes[i])] = 1;
    std::vector<std::int64_t> kept;
    for (std::size_t k = 0; k < nd; ++k) row_of[k] = -1;
    for (std::size_t k = 0; k < nd; ++k) {
        const std::int64_t c = order[k];
        if (c < 0 || static_cast<std::size_t>(c) >= nd || !used[static_cast<std::size_t>(c)]) continue;
        row_of[c] = static_cast<std::int64_t>(kept.size());
        kept.push_back(c);
    }
    return kept;
}

// Scatters the columns `src` of a long table into dense matrices `dst`
// (T x N each, filled with NaN here): row i goes to cell
// (row_of[dcodes[i]], ocodes[i]), row_of holding nd entries; rows with a
// missing code are skipped.
// Returns false when two rows land on one cell.
inline bool scatter(const std::int64_t* dcodes, const std::int64_t* ocodes, std::size_t rows, const std::int64_t* row_of,
                    std::size_t nd, std::size_t T, std::size_t N, const std::vector<const double*>& src,
                    std::vector<std::vector<double>>& dst) {
    const std::size_t cells = mul_size(T, N, "long table");
    dst.assign(src.size(), std::vector<double>(cells, std::numeric_limits<double>::quiet_NaN()));
    std::vector<std::uint8_t> seen(cells, 0);
    for (std::size_t i = 0; i < rows; ++i) {
        if (dcodes[i] < 0 || ocodes[i] < 0 || static_cast<std::size_t>(dcodes[i]) >= nd ||
            static_cast<std::size_t>(ocodes[i]) >= N) {
            continue;
        }
        const std::int64_t r = row_of[dcodes[i]];
        if (r < 0) continue;
        const std::size_t cell = static_cast<std::size_t>(r) * N + static_cast<std::size_t>(ocodes[i]);
        if (seen[cell]) return false;
        seen[cell] = 1;
        for (std::size_t k = 0; k < src.size(); ++k) dst[k][cell] = src[k][i];
    }
    return true;
}

// codes[i] replaced by positions[codes[i]] (-1 stays -1): the position on a
// target axis of each row of a table whose labels are codes into a level.
inline void compose(std::int64_t* codes, std::size_t n, const std::int64_t* positions, std::size_t levels) {
    for (std::size_t i = 0; i < n; ++i)
        codes[i] = codes[i] < 0 || static_cast<std::size_t>(codes[i]) >= levels ? -1 : positions[codes[i]];
}

// Numbers the distinct keys of `keys` in order of first appearance: ids[i]
// is the number of keys[i]; returns the position of each key's first
// appearance.
template <class Key>
std::vector<std::int64_t> first_seen(const Key* keys, std::size_t n, std::int64_t* ids) {
    std::unordered_map<Key, std::int64_t> number;
    std::vector<std::int64_t> first;
    for (std::size_t i = 0; i < n; ++i) {
        auto [it, fresh] = number.emplace(keys[i], static_cast<std::int64_t>(first.size()));
        if (fresh) first.push_back(static_cast<std::int64_t>(i));
        ids[i] = it->second;
    }
    return first;
}

// out[i] = table[ids[i]].
inline void take(const std::int64_t* table, const std::int64_t* ids, std::size_t n, std::int64_t* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = table[ids[i]];
}

// The T x N matrix of `values` (rows of width `width`) at rows `row_pos` and
// columns `col_pos` (NaN where a column is -1), times -1 when `negate`.
inline void gather(const double* values, std::size_t width, const std::int64_t* row_pos, std::size_t T,
                   const std::int64_t* col_pos, std::size_t N, bool negate, double* out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    parallel_for(T, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const double* row = values + static_cast<std::size_t>(row_pos[i]) * width;
            for (std::size_t j = 0; j < N; ++j) {
                const double v = col_pos[j] < 0 ? nan : row[col_pos[j]];
                out[i * N + j] = negate ? v * -1.0 : v;
            }
        }
    }, 16);
}

// The columns i < N where row `t` of `first` and row `tr` of every matrix
// of `others` (all of width N) hold a number (not NaN).
inline std::vector<std::size_t> complete_columns(const double* first, std::size_t t,
                                                 const std::vector<const double*>& others, std::size_t tr,
                                                 std::size_t N) {
    std::vector<std::size_t> idx;
    for (std::size_t i = 0; i < N; ++i) {
        bool ok = !std::isnan(first[t * N + i]);
        for (std::size_t k = 0; ok && k < others.size(); ++k) ok = !std::isnan(others[k][tr * N + i]);
        if (ok) idx.push_back(i);
    }
    return idx;
}

// The rows of each of `groups` groups, in row order (codes -1 belong to none).
inline std::vector<std::vector<std::size_t>> members(const std::int64_t* codes, std::size_t rows, std::size_t groups) {
    std::vector<std::vector<std::size_t>> out(groups);
    for (std::size_t i = 0; i < rows; ++i)
        if (codes[i] >= 0 && static_cast<std::size_t>(codes[i]) < groups) out[static_cast<std::size_t>(codes[i])].push_back(i);
    return out;
}

// values[at[0]], values[at[1]], ... (with `offset` added to each position).
inline void pick(const double* values, const std::vector<std::size_t>& at, std::size_t offset, std::vector<double>& out) {
    out.clear();
    for (std::size_t i : at) out.push_back(values[offset + i]);
}

}  // namespace zarnik::layout
