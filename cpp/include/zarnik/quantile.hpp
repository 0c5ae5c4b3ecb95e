// Quantile (group) portfolios over a dates x instruments panel: per-date group
// labels from ranks, staggered rebalancing levels, equal-weighted
// buy-and-hold group returns and turnover averaged over the levels.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "zarnik/checked.hpp"
#include "zarnik/ranks.hpp"
#include "zarnik/returns.hpp"
#include "zarnik/row_sort.hpp"
#include "zarnik/parallel.hpp"

namespace zarnik::quantile {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The fractions 0, 1/q, ..., 1 of q equal groups.
inline std::vector<double> equal_fractions(int q) {
    std::vector<double> f(static_cast<std::size_t>(q) + 1);
    const double step = 1.0 / static_cast<double>(q);
    for (int k = 0; k <= q; ++k) f[static_cast<std::size_t>(k)] = (k == q) ? 1.0 : static_cast<double>(k) * step;
    return f;
}

// Cut points over the ranks 1..m at the given fractions (ascending, in
// [0, 1]): linear interpolation between neighbouring sorted ranks.
inline std::vector<double> rank_cuts(std::size_t m, const std::vector<double>& fractions) {
    std::vector<double> cuts(fractions.size());
    for (std::size_t k = 0; k < fractions.size(); ++k) {
        const double idx = fractions[k] * static_cast<double>(m - 1);
        const double frac = std::fmod(idx, 1.0);
        const std::size_t pos = static_cast<std::size_t>(idx);
        const double a = static_cast<double>(pos + 1);
        const double b = (pos + 1 < m) ? static_cast<double>(pos + 2) : 1.0;  // only read with frac == 0
        cuts[k] = a + (b - a) * frac;
    }
    return cuts;
}

// Group labels 0..G-1 (-1: missing or outside the cuts) of one row from its
// m present values in sort order (`order`: positions, ties by position):
// values are ranked 1..m in that order; rank v goes to group 0 when
// cut[0] <= v <= cut[1] and to group k when cut[k] < v <= cut[k + 1].
inline void label_sorted(const std::int32_t* order, std::size_t m, std::size_t S, const std::vector<double>& fractions,
                         std::int32_t* out) {
    for (std::size_t s = 0; s < S; ++s) out[s] = -1;
    if (m == 0) return;
    const std::vector<double> cuts = rank_cuts(m, fractions);
    std::size_t g = 1;  // smallest g >= 1 with cuts[g] >= rank, found by walking
    for (std::size_t i = 0; i < m; ++i) {
        const double rank = static_cast<double>(i + 1);
        while (g < cuts.size() && cuts[g] < rank) ++g;
        if (rank >= cuts[0] && g < cuts.size()) out[order[i]] = static_cast<std::int32_t>(g) - 1;
    }
}

// The same from the row's values: they are sorted ascending (descending
// with `ascending` false), ties by position.
inline void label_row(const double* v, std::size_t S, const std::vector<double>& fractions, bool ascending,
                      std::int32_t* out, std::vector<std::int32_t>& order, zarnik::rowsort::Scratch& scratch) {
    order.resize(S);
    const std::size_t m = zarnik::rowsort::sorted_present(v, S, order.data(), scratch, !ascending);
    label_sorted(order.data(), m, S, fractions, out);
}

// The descending order, ties by position, of the m values v[asc[0..m)]
// given in ascending order, ties by position: the runs of equal values
// (-0.0 and +0.0 equal) taken last to first, each in its own order.
inline void descending_from_ascending(const double* v, const std::int32_t* asc, std::size_t m, std::int32_t* out) {
    std::size_t w = 0, j = m;
    while (j > 0) {
        std::size_t i = j - 1;
        const double x = v[asc[i]];
        while (i > 0 && v[asc[i - 1]] == x) --i;
        for (std::size_t k = i; k < j; ++k) out[w++] = asc[k];
        j = i;
    }
}

// True when asc[0..m) is the ascending order of the present values of
// v[0..S), ties by position: every position in range and present, the
// (value key, position) pairs strictly increasing, m the count of present
// values.
inline bool is_ascending_order(const double* v, std::size_t S, const std::int32_t* asc, std::size_t m) {
    std::size_t present = 0;
    for (std::size_t s = 0; s < S; ++s) present += !std::isnan(v[s]);
    if (present != m) return false;
    std::uint64_t prev_key = 0;
    std::int64_t prev_pos = -1;
    for (std::size_t k = 0; k < m; ++k) {
        const std::int32_t p = asc[k];
        if (p < 0 || static_cast<std::size_t>(p) >= S || std::isnan(v[p])) return false;
        const std::uint64_t key = ranks::sort_key(v[p]);
        if (k > 0 && (key < prev_key || (key == prev_key && p <= prev_pos))) return false;
        prev_key = key;
        prev_pos = p;
    }
    return true;
}

// True when every row r of F (n x S) has count[r] present values whose
// ascending order, ties by position, is asc[r * S .. r * S + count[r]).
inline bool are_ascending_orders(const double* F, std::size_t n, std::size_t S, const std::int32_t* asc,
                                 const std::int32_t* count) {
    for (std::size_t r = 0; r < n; ++r)
        if (count[r] < 0 || static_cast<std::size_t>(count[r]) > S) return false;
    std::vector<std::uint8_t> ok(n, 1);
    zarnik::parallel_for(n, [&](std::size_t b, std::size_t e) {
        for (std::size_t r = b; r < e; ++r)
            ok[r] = is_ascending_order(F + r * S, S, asc + r * S, static_cast<std::size_t>(count[r]));
    }, 16);
    return std::all_of(ok.begin(), ok.end(), [](std::uint8_t x) { return x != 0; });
}

// Labels of every date from the previous date's values: row t of `out` is
// labelled from row t - 1 of F; row 0 is all missing. With `asc` (n x S) and
// `count` (n), each row's present values already sorted ascending, ties by
// position (is_ascending_order), the rows are not sorted again.
inline void lagged_labels(const double* F, std::size_t n, std::size_t S, const std::vector<double>& fractions,
                          bool ascending, std::int32_t* out, const std::int32_t* asc = nullptr,
                          const std::int32_t* count = nullptr) {
    for (std::size_t s = 0; s < S && n > 0; ++s) out[s] = -1;
    zarnik::parallel_for(n > 0 ? n - 1 : 0, [&](std::size_t b, std::size_t e) {
        zarnik::rowsort::Scratch scratch;
        std::vector<std::int32_t> order;
        for (std::size_t t = b + 1; t < e + 1; ++t) {
            if (!asc) {
                label_row(F + (t - 1) * S, S, fractions, ascending, out + t * S, order, scratch);
                continue;
            }
            const std::int32_t* row = asc + (t - 1) * S;
            const std::size_t m = static_cast<std::size_t>(count[t - 1]);
            if (!ascending) {
                order.resize(m);
                descending_from_ascending(F + (t - 1) * S, row, m, order.data());
                row = order.data();
            }
            label_sorted(row, m, S, fractions, out + t * S);
        }
    }, 16);
}

// Group returns and turnover of holding period P, averaged over its P
// staggered levels. Level lv (1..P) rebalances on rows lv, lv + P, ...; on
// row t >= lv it holds the groups of its latest rebalancing row r, each
// instrument valued by its growth since row r - 1 (cum[t] / cum[r - 1]).
//
// Per level, on the rows where it holds anything: the group value is the
// mean of its members' growth (missing values skipped); the daily return is
// value / previous value - 1 with missing values carried forward, except on
// every P-th of those rows starting with the first, where it is value - 1.
// Turnover is the share of a group's members that were not members on the
// previous row holding that group (0 on the group's first row).
//
// qret and qturn are q x n (group-major): the mean over the levels that give
// a value, NaN where none does.
inline void period_returns(const std::int32_t* lab, const double* cum, std::size_t n, std::size_t S, int q,
                           std::size_t P, double* qret, double* qturn) {
    const std::size_t Q = static_cast<std::size_t>(q);
    const std::size_t cells = mul_size(Q, n, "group returns");
    std::vector<double> rsum(cells, 0.0), tsum(cells, 0.0);
    std::vector<std::int32_t> rcnt(cells, 0), tcnt(cells, 0);
    std::vector<double> V(cells);
    std::vector<std::int32_t> mem(cells);
    for (std::size_t lv = 1; lv <= P && lv < n; ++lv) {
        auto block_of = [&](std::size_t t) { return lv + P * ((t - lv) / P); };
        zarnik::parallel_for(n - lv, [&](std::size_t b, std::size_t e) {
            std::vector<double> sum(Q);
            std::vector<std::int32_t> cnt(Q), mc(Q);
            for (std::size_t t = lv + b; t < lv + e; ++t) {
                std::fill(sum.begin(), sum.end(), 0.0);
                std::fill(cnt.begin(), cnt.end(), 0);
                std::fill(mc.begin(), mc.end(), 0);
                const std::size_t r = block_of(t);
                const std::int32_t* lr = lab + r * S;
                const double* base = cum + (r - 1) * S;
                const double* cur = cum + t * S;
                for (std::size_t s = 0; s < S; ++s) {
                    const std::int32_t k = lr[s];
                    if (k < 0) continue;
                    ++mc[k];
                    const double g = cur[s] / base[s];
                    if (!std::isnan(g)) {
                        sum[k] += g;
                        ++cnt[k];
                    }
                }
                for (std::size_t k = 0; k < Q; ++k) {
                    mem[t * Q + k] = mc[k];
                    V[t * Q + k] = cnt[k] > 0 ? sum[k] / cnt[k] : kNaN;
                }
            }
        }, 8);
        std::vector<double> ff(Q, kNaN);
        std::vector<std::int64_t> last_block(Q, -1);
        std::vector<std::size_t> fresh(Q);
        std::vector<std::uint8_t> pending(Q), want(Q);
        std::size_t i = 0;  // position among the rows where the level holds anything
        for (std::size_t t = lv; t < n; ++t) {
            bool any = false;
            for (std::size_t k = 0; k < Q; ++k) any = any || mem[t * Q + k] > 0;
            if (!any) continue;
            const std::size_t r = block_of(t);
            // members new to each group rebalanced on this row, counted in one pass over the row per
            // distinct previous row (one for all groups unless some group was empty in between)
            std::fill(fresh.begin(), fresh.end(), 0);
            std::fill(pending.begin(), pending.end(), 0);
            std::size_t waiting = 0;
            for (std::size_t k = 0; k < Q; ++k) {
                if (mem[t * Q + k] > 0 && last_block[k] >= 0 && r == t && static_cast<std::size_t>(last_block[k]) != r) {
                    pending[k] = 1;
                    ++waiting;
                }
            }
            const std::int32_t* now = lab + r * S;
            while (waiting > 0) {
                std::size_t k0 = 0;
                while (!pending[k0]) ++k0;
                const std::int64_t prev = last_block[k0];
                for (std::size_t k = 0; k < Q; ++k) want[k] = pending[k] && last_block[k] == prev ? 1 : 0;
                const std::int32_t* before = lab + static_cast<std::size_t>(prev) * S;
                for (std::size_t s = 0; s < S; ++s) {
                    const std::int32_t g = now[s];
                    if (g >= 0 && want[static_cast<std::size_t>(g)] && before[s] != g) ++fresh[static_cast<std::size_t>(g)];
                }
                for (std::size_t k = 0; k < Q; ++k) {
                    if (want[k]) {
                        pending[k] = 0;
                        --waiting;
                    }
                }
            }
            for (std::size_t k = 0; k < Q; ++k) {
                const double v = mem[t * Q + k] > 0 ? V[t * Q + k] : kNaN;
                const double ffv = std::isnan(v) ? ff[k] : v;
                const double pct = (i % P == 0) ? v - 1.0 : ffv / ff[k] - 1.0;
                ff[k] = ffv;
                if (!std::isnan(pct)) {
                    rsum[k * n + t] += pct;
                    ++rcnt[k * n + t];
                }
                if (mem[t * Q + k] == 0) continue;
                double turn = 0.0;
                if (last_block[k] >= 0 && r == t && static_cast<std::size_t>(last_block[k]) != r)
                    turn = static_cast<double>(fresh[k]) / static_cast<double>(mem[t * Q + k]);
                last_block[k] = static_cast<std::int64_t>(r);
                tsum[k * n + t] += turn;
                ++tcnt[k * n + t];
            }
            ++i;
        }
    }
    for (std::size_t j = 0; j < Q * n; ++j) {
        qret[j] = rcnt[j] > 0 ? rsum[j] / rcnt[j] : kNaN;
        qturn[j] = tcnt[j] > 0 ? tsum[j] / tcnt[j] : kNaN;
    }
}

// Labels and group returns of K holding periods against a growth index `cum`
// (n x S, on the factor's dates and instruments: aligned_growth of the daily
// returns). The growth index does not depend on the factor: a caller grouping
// many factors over the same dates and instruments computes it once.
// `asc` / `count`: optional row orders of F, as lagged_labels takes them.
inline void group_returns_from_growth(const double* F, std::size_t n, std::size_t S,
                                      const std::vector<double>& fractions, bool ascending, const double* cum,
                                      const std::vector<std::size_t>& periods, std::int32_t* lab, double* qret,
                                      double* qturn, const std::int32_t* asc = nullptr,
                                      const std::int32_t* count = nullptr) {
    const int q = static_cast<int>(fractions.size()) - 1;
    const std::size_t block = static_cast<std::size_t>(q) * n;
    lagged_labels(F, n, S, fractions, ascending, lab, asc, count);
    for (std::size_t k = 0; k < periods.size(); ++k) {
        period_returns(lab, cum, n, S, q, periods[k], qret + k * block, qturn + k * block);
    }
}

// Labels and group returns of K holding periods in one pass: `lab` (n x S)
// gets the lagged labels of the factor F (n x S) cut at `fractions`; the
// daily returns R (rows x cols), placed on the factor's dates and instruments
// by `row_of` / `col_of` (-1: absent), give the growth index each period's
// blocks of `qret` / `qturn` (K blocks of q x n) are computed from.
inline void group_returns(const double* F, std::size_t n, std::size_t S, const std::vector<double>& fractions,
                          bool ascending, const double* R, std::size_t rows, std::size_t cols,
                          const std::int64_t* row_of, const std::int64_t* col_of,
                          const std::vector<std::size_t>& periods, std::int32_t* lab, double* qret, double* qturn) {
    std::vector<double> cum(mul_size(n, S, "factor_data"));
    returns::aligned_growth(R, rows, cols, row_of, n, col_of, S, cum.data());
    group_returns_from_growth(F, n, S, fractions, ascending, cum.data(), periods, lab, qret, qturn);
}

// The result tables of K holding periods from their period_returns blocks
// (qret / qturn: K blocks of q x n, group-major). Outputs are row-major with
// one column per period: daily and turnover (q * n rows, group-major, a
// missing daily return as 0), cumulative (q * n rows: compounded daily) and
// long_short (n rows: first group minus last group, compounded).
inline void period_tables(const double* qret, const double* qturn, std::size_t K, std::size_t Q, std::size_t n,
                          double* daily, double* turnover, double* cumulative, double* long_short) {
    for (std::size_t k = 0; k < K; ++k) {
        for (std::size_t j = 0; j < Q * n; ++j) {
            const double v = qret[k * Q * n + j];
            daily[j * K + k] = std::isnan(v) ? 0.0 : v;
            turnover[j * K + k] = qturn[k * Q * n + j];
        }
    }
    for (std::size_t k = 0; k < K; ++k) {
        returns::compound_spread(daily + k, daily + (Q - 1) * n * K + k, n, K, long_short + k);
        for (std::size_t g = 0; g < Q; ++g) returns::compound(daily + g * n * K + k, n, K, cumulative + g * n * K + k);
    }
}

// The groups 0 .. Q-1 in the order their labels "q1" .. "qQ" sort as text
// (q1, q10, q11, ..., q2, ...): the row order of tables grouped by label.
inline std::vector<std::size_t> label_text_order(std::size_t Q) {
    std::vector<std::size_t> order(Q);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [](std::size_t a, std::size_t b) { return std::to_string(a + 1) < std::to_string(b + 1); });
    return order;
}

// Annualized return per group and period (Q x K, groups in `order`): from the
// last row of the cumulative table over n dates, or, with `bench` (n daily
// benchmark returns), the excess of the daily table over the benchmark.
inline void annualized_groups(const double* table, std::size_t Q, std::size_t n, std::size_t K,
                              const std::vector<std::size_t>& order, const double* bench, double* out) {
    for (std::size_t i = 0; i < Q; ++i) {
        const std::size_t g = order[i];
        for (std::size_t k = 0; k < K; ++k) {
            out[i * K + k] = bench ? returns::annualized_excess(table + g * n * K + k, K, bench, n)
                                   : returns::annualize(table[(g * n + n - 1) * K + k], static_cast<double>(n));
        }
    }
}

}  // namespace zarnik::quantile
