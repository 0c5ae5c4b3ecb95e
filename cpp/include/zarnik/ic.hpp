// The information coefficient of a factor panel against forward returns, as
// the IC analysis tables it: forward returns of each holding period, per-date
// coefficients, the decay over lags and the pooled coefficient per group.
//
// Matrices are row-major, dates x instruments; NaN is missing. The decay and
// group tables take a correlation kind: 0 Pearson, 1 Spearman, or -1 for the
// caller's own function fn(x, f) -> double, called once per cell with the
// complete pairs (x: returns, f: factor) on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "zarnik/checked.hpp"
#include "zarnik/correlation.hpp"
#include "zarnik/layout.hpp"
#include "zarnik/returns.hpp"

namespace zarnik::ic {

using corr::DecayTable;

// out[k] (t_count x cols) = the forward returns over lengths[k] (>= 1) rows
// of the daily returns r (rows x cols) from target row row_of[t], through the
// growth index carried forward over an undefined product.
inline void period_returns(const double* r, std::size_t rows, std::size_t cols, const std::int64_t* row_of,
                           std::size_t t_count, const std::int64_t* lengths, const std::vector<double*>& out) {
    std::vector<double> g(mul_size(rows, cols, "returns"));
    returns::growth_index_carried(r, rows, cols, g.data());
    for (std::size_t k = 0; k < out.size(); ++k)
        returns::forward_returns(g.data(), rows, cols, row_of, t_count, static_cast<std::size_t>(lengths[k]), out[k]);
}

// Row t of F against row t of every R[k] (rows x cols each), each over its
// own complete pairs: r_out and n_out are rows x K, as row_correlations.
inline void date_correlations(const double* F, const std::vector<const double*>& R, std::size_t rows,
                              std::size_t cols, bool rank, double* r_out, std::int64_t* n_out) {
    const std::size_t K = R.size();
    if (K == 0) return;
    corr::SortedRows fs;
    std::vector<corr::SortedRows> rs(K);
    std::vector<const corr::SortedRows*> rsp;
    if (rank) {
        fs = corr::sort_rows(F, rows, cols);
        for (std::size_t k = 0; k < K; ++k) rs[k] = corr::sort_rows(R[k], rows, cols);
    }
    for (auto& s : rs) rsp.push_back(&s);
    corr::row_correlations(F, fs, R, rsp, rows, cols, 0, rank, false, r_out, n_out);
}

// The decay rows of lags 1 .. lags - 1: row t of F against row t + lag of
// every R[k] over the columns where the factor and all K returns are present,
// date by date within each lag, for the (date, lag) pairs with any such
// column. kind 0 (Pearson) and 1 (Spearman) are corr::decay_correlations with
// each value as the built-in wrapper reports it; kind -1 calls fn instead.
template <class Fn>
DecayTable decay_table(const double* F, const std::vector<const double*>& R, std::size_t rows, std::size_t cols,
                       std::size_t lags, int kind, Fn&& fn) {
    DecayTable out;
    if (kind >= 0) {
        out = corr::decay_correlations(F, R, rows, cols, lags, kind == 1);
        for (std::size_t i = 0; i < out.r.size(); ++i) out.r[i] = corr::wrapper_value(out.r[i], out.n[i], kind == 1);
        return out;
    }
    if (R.empty()) return out;
    std::vector<double> f, x;
    for (std::size_t lag = 1; lag < lags; ++lag) {
        for (std::size_t t = 0; t + lag < rows; ++t) {
            const auto idx = layout::complete_columns(F, t, R, t + lag, cols);
            if (idx.empty()) continue;
            out.row.push_back(static_cast<std::int64_t>(t));
            out.lag.push_back(static_cast<std::int64_t>(lag));
            layout::pick(F, idx, t * cols, f);
            for (const double* r : R) {
                layout::pick(r, idx, (t + lag) * cols, x);
                out.r.push_back(fn(x, f));
            }
        }
    }
    return out;
}

// The pooled coefficient of every group of a long table (row i in group
// codes[i], -1: none) with each field R[k]: out is groups x K. kind 0 / 1:
// corr::cell_correlations with each value as the built-in wrapper reports
// it; kind -1: fn over each group's rows in table order.
template <class Fn>
void group_correlations(const double* f, const std::vector<const double*>& R, std::size_t rows,
                        const std::int64_t* codes, std::size_t groups, int kind, Fn&& fn, double* out) {
    const std::size_t K = R.size();
    if (kind >= 0) {
        std::vector<std::int64_t> pairs(mul_size(groups, K, "groups"));
        corr::cell_correlations(f, R, rows, codes, groups, kind == 1, out, pairs.data());
        for (std::size_t i = 0; i < pairs.size(); ++i) out[i] = corr::wrapper_value(out[i], pairs[i], kind == 1);
        return;
    }
    const auto members = layout::members(codes, rows, groups);
    std::vector<double> x, y;
    for (std::size_t g = 0; g < groups; ++g) {
        layout::pick(f, members[g], 0, y);
        for (std::size_t k = 0; k < K; ++k) {
            layout::pick(R[k], members[g], 0, x);
            out[g * K + k] = fn(x, y);
        }
    }
}

// The rank IC of the factor F (rows x cols, ranked here once) against a
// ranked forward-return panel `fwd` (r_out, n_out: one value per row, as
// date_correlations) and, for lags > 1, the decay rows of lags 1 .. lags - 1
// against the panel `decay` (values as the built-in wrapper reports them).
// With `sorted_out`, F's row orders (ascending, ties by position) are moved
// there for a caller that sorts the same rows again.
inline DecayTable ranked_ic(const double* F, std::size_t rows, std::size_t cols, const double* fwd,
                            const corr::RankedPanel& fwd_panel, const double* decay,
                            const corr::RankedPanel* decay_panel, std::size_t lags, double* r_out,
                            std::int64_t* n_out, corr::SortedRows* sorted_out = nullptr) {
    corr::RankedPanel fp = corr::rank_panel(F, rows, cols, false);
    corr::ranked_lag_correlations(F, fp, fwd, fwd_panel, {0}, r_out, n_out);
    DecayTable table;
    if (lags >= 2 && decay_panel) {
        std::vector<std::size_t> ls;
        for (std::size_t lag = 1; lag < lags; ++lag) ls.push_back(lag);
        std::vector<double> r(mul_size(rows, ls.size(), "decay"));
        std::vector<std::int64_t> n(r.size());
        corr::ranked_lag_correlations(F, fp, decay, *decay_panel, ls, r.data(), n.data());
        table = corr::decay_rows(r.data(), n.data(), rows, ls, true);
    }
    if (sorted_out) *sorted_out = std::move(fp.sorted);
    return table;
}

}  // namespace zarnik::ic
