// Cross-sectional correlation: Pearson and Spearman (average ranks for ties)
// over the complete pairs of two series, and the statistics their two-sided
// p-values are computed from.
//
// Conventions match scipy.stats.pearsonr / spearmanr on the complete pairs:
//   * a constant input (all values equal) gives NaN;
//   * the coefficient is clipped to [-1, 1];
//   * Pearson over a non-finite value gives NaN; Spearman ranks infinities.
// Fewer than two pairs is left to the caller (the value is NaN here).
#pragma once

#include <algorithm>
#include <cstring>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "zarnik/parallel.hpp"
#include "zarnik/ranks.hpp"
#include "zarnik/row_sort.hpp"

namespace zarnik::corr {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Two-pass Pearson coefficient of x[i], y[i], i < n (no NaN inside).
inline double pearson_dense(const double* x, const double* y, std::size_t n) {
    if (n < 2) return kNaN;
    bool cx = true, cy = true, finite = true;
    for (std::size_t i = 0; i < n; ++i) {
        cx = cx && (x[i] == x[0]);
        cy = cy && (y[i] == y[0]);
        finite = finite && std::isfinite(x[i]) && std::isfinite(y[i]);
    }
    if (cx || cy || !finite) return kNaN;
    double mx = 0.0, my = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= static_cast<double>(n);
    my /= static_cast<double>(n);
    double sxx = 0.0, syy = 0.0, sxy = 0.0;
    auto moments = [&](double fx, double fy) {
        sxx = syy = sxy = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double dx = (x[i] - mx) * fx, dy = (y[i] - my) * fy;
            sxx += dx * dx;
            syy += dy * dy;
            sxy += dx * dy;
        }
    };
    moments(1.0, 1.0);
    // Squares of very small (or very large) deviations underflow (overflow):
    // redo the sums with each series' deviations scaled by a power of two
    // (exact) that brings the largest near 1; r does not depend on the scale.
    constexpr double lo = 1e-280, hi = 1e280;
    if (!(sxx > lo && sxx < hi && syy > lo && syy < hi)) {
        double bx = 0.0, by = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            bx = std::max(bx, std::fabs(x[i] - mx));
            by = std::max(by, std::fabs(y[i] - my));
        }
        if (!(bx > 0.0) || !(by > 0.0) || !std::isfinite(bx) || !std::isfinite(by)) return kNaN;
        int ex = 0, ey = 0;
        std::frexp(bx, &ex);
        std::frexp(by, &ey);
        moments(std::ldexp(1.0, -ex), std::ldexp(1.0, -ey));
    }
    if (!(sxx > 0.0) || !(syy > 0.0)) return kNaN;
    double r = sxy / std::sqrt(sxx) / std::sqrt(syy);
    if (std::isnan(r)) return r;
    return std::clamp(r, -1.0, 1.0);
}

// Pearson coefficient of two rank vectors, evaluated as numpy's corrcoef
// does: covariances scaled by 1/(n-1), divided by each standard deviation in
// turn. Ranks are multiples of 1/2, so every sum here is exact and the
// result is the same double whatever the summation order.
inline double rank_pearson(const double* x, const double* y, std::size_t n) {
    double mx = 0.0, my = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= static_cast<double>(n);
    my /= static_cast<double>(n);
    double sxx = 0.0, syy = 0.0, sxy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = x[i] - mx, dy = y[i] - my;
        sxx += dx * dx;
        syy += dy * dy;
        sxy += dx * dy;
    }
    const double f = 1.0 / static_cast<double>(n - 1);
    const double r = sxy * f / std::sqrt(sxx * f) / std::sqrt(syy * f);
    if (std::isnan(r)) return r;
    return std::clamp(r, -1.0, 1.0);
}

using ranks::average_ranks_sorted;
using ranks::sorted_present;

// Scratch space of one worker.
struct Workspace {
    std::vector<double> rx, ry;            // ranks by position
    std::vector<std::int32_t> sx, sy;      // masked positions in value order
    std::vector<double> px, py;            // gathered pair values
    ranks::KeyedPositions buf, tmp;
    void reserve(std::size_t n) {
        rx.resize(n);
        ry.resize(n);
        sx.resize(n);
        sy.resize(n);
        px.resize(n);
        py.resize(n);
    }
};

// Correlation of x[i], y[i] over positions i with mask[i] != 0 (both values
// present there). For Spearman, xorder/yorder (length xcount/ycount) list the
// present positions of x and y in ascending value order (see
// sorted_present); the masked subsets are ranked by walking them, O(n).
// `pairs` receives the number of masked positions.
inline double masked_corr(const double* x, const std::int32_t* xorder, std::size_t xcount,
                          const double* y, const std::int32_t* yorder, std::size_t ycount,
                          const std::uint8_t* mask, std::size_t n, bool rank, Workspace& ws,
                          std::size_t& pairs) {
    ws.reserve(n);
    std::size_t m = 0;
    if (!rank) {
        for (std::size_t i = 0; i < n; ++i) {
            if (mask[i]) {
                ws.px[m] = x[i];
                ws.py[m] = y[i];
                ++m;
            }
        }
        pairs = m;
        return m < 2 ? kNaN : pearson_dense(ws.px.data(), ws.py.data(), m);
    }
    std::size_t mx = 0, my = 0;
    for (std::size_t k = 0; k < xcount; ++k)
        if (mask[xorder[k]]) ws.sx[mx++] = xorder[k];
    for (std::size_t k = 0; k < ycount; ++k)
        if (mask[yorder[k]]) ws.sy[my++] = yorder[k];
    pairs = mx;
    if (mx != my || mx < 2) return kNaN;  // mx != my only when the mask is inconsistent
    if (x[ws.sx[0]] == x[ws.sx[mx - 1]] || y[ws.sy[0]] == y[ws.sy[my - 1]]) return kNaN;
    average_ranks_sorted(x, ws.sx.data(), mx, ws.rx.data());
    average_ranks_sorted(y, ws.sy.data(), my, ws.ry.data());
    for (std::size_t k = 0; k < mx; ++k) {
        const std::int32_t i = ws.sx[k];
        ws.px[k] = ws.rx[i];
        ws.py[k] = ws.ry[i];
    }
    return rank_pearson(ws.px.data(), ws.py.data(), mx);
}

// The t statistic of a Spearman coefficient with `dof` degrees of freedom,
// as r * sqrt(dof / ((r + 1)(1 - r))) with the ratio clipped below at 0.
inline double spearman_t(double r, double dof) {
    double q = dof / ((r + 1.0) * (1.0 - r));
    if (q < 0.0) q = 0.0;
    return r * std::sqrt(q);
}

// What a correlation function reporting (coefficient, p-value) over complete
// pairs gives for a coefficient over `pairs` pairs: 0 below two pairs;
// Pearson over exactly two pairs is +-1 exactly.
inline double wrapper_value(double r, std::int64_t pairs, bool rank) {
    if (pairs < 2) return 0.0;
    if (pairs == 2 && !rank && !std::isnan(r)) return std::round(r);
    return r;
}

// Two-sided p-values as scipy's pearsonr / spearmanr give them, in two steps
// around the tail probability (computed by the caller):
//   * tail_arguments: Spearman: dof = n - 2 and x = -|t|, for the Student t
//     distribution function stdtr(dof, x); Pearson: a = n / 2 - 1 and
//     x = (|r| + 1) / 2, for the complemented beta integral betaincc(a, a, x);
//     NaN where n < 3 or r is NaN;
//   * finish_p_values: p = 2 * tail for n >= 3; below two pairs r and p are
//     NaN; over two pairs Pearson's r is rounded to +-1 with p = 1 and
//     Spearman's p is NaN.
inline void tail_arguments(bool rank, const double* r, const std::int64_t* n, std::size_t size, double* a,
                           double* x) {
    for (std::size_t i = 0; i < size; ++i) {
        if (n[i] < 3 || std::isnan(r[i])) {
            a[i] = kNaN;
            x[i] = kNaN;
        } else if (rank) {
            const double dof = static_cast<double>(n[i] - 2);
            a[i] = dof;
            x[i] = -std::fabs(spearman_t(r[i], dof));
        } else {
            a[i] = static_cast<double>(n[i]) / 2.0 - 1.0;
            x[i] = (std::fabs(r[i]) + 1.0) / 2.0;
        }
    }
}

inline void finish_p_values(bool rank, double* r, const std::int64_t* n, std::size_t size, const double* tail,
                            double* p) {
    for (std::size_t i = 0; i < size; ++i) {
        if (n[i] < 2) {
            r[i] = kNaN;
            p[i] = kNaN;
        } else if (n[i] == 2) {
            if (!rank && !std::isnan(r[i])) r[i] = std::round(r[i]);
            p[i] = (rank || std::isnan(r[i])) ? kNaN : 1.0;
        } else {
            p[i] = std::isnan(r[i]) ? kNaN : 2.0 * tail[i];
        }
    }
}

// The coefficients as finish_p_values leaves them, without the p-values:
// NaN below two pairs, Pearson's rounded to +-1 over two.
inline void finish_coefficients(bool rank, double* r, const std::int64_t* n, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (n[i] < 2) {
            r[i] = kNaN;
        } else if (n[i] == 2 && !rank && !std::isnan(r[i])) {
            r[i] = std::round(r[i]);
        }
    }
}

// Per-row ascending orders of the present values of a rows x cols matrix.
struct SortedRows {
    std::size_t cols = 0;
    std::vector<std::int32_t> order;  // rows x cols, first count[r] entries used
    std::vector<std::int32_t> count;
    const std::int32_t* row(std::size_t r) const { return order.data() + r * cols; }
};

inline SortedRows sort_rows(const double* m, std::size_t rows, std::size_t cols) {
    SortedRows s;
    s.cols = cols;
    s.order.resize(rows * cols);
    s.count.resize(rows);
    zarnik::parallel_for(rows, [&](std::size_t b, std::size_t e) {
        rowsort::Scratch scratch;
        for (std::size_t r = b; r < e; ++r)
            s.count[r] = static_cast<std::int32_t>(
                rowsort::sorted_present(m + r * cols, cols, s.order.data() + r * cols, scratch));
    }, 16);
    return s;
}

// Per-date correlations of a factor matrix F (rows x cols) with K return
// matrices R[k] of the same shape. Row t of F is paired with row t + lag of
// every R[k]. With `joint`, a position counts only when the factor and the
// returns of all K matrices are present (one sample shared by all K);
// otherwise each k uses the positions where F and R[k] are present.
// r_out and n_out are rows x K (row-major); rows without a row t + lag get
// n = 0 and r = NaN. Orders: sort_rows of F (fs) and of each R[k] (rs[k]),
// only read when rank is true.
inline void row_correlations(const double* F, const SortedRows& fs, const std::vector<const double*>& R,
                             const std::vector<const SortedRows*>& rs, std::size_t rows,
                             std::size_t cols, std::size_t lag, bool rank, bool joint, double* r_out,
                             std::int64_t* n_out) {
    const std::size_t K = R.size();
    zarnik::parallel_for(rows, [&](std::size_t b, std::size_t e) {
        Workspace ws;
        ws.reserve(cols);
        std::vector<std::uint8_t> mask(cols);
        for (std::size_t t = b; t < e; ++t) {
            if (t + lag >= rows) {
                for (std::size_t k = 0; k < K; ++k) {
                    r_out[t * K + k] = kNaN;
                    n_out[t * K + k] = 0;
                }
                continue;
            }
            const double* f = F + t * cols;
            const std::size_t tr = t + lag;
            if (joint) {
                for (std::size_t i = 0; i < cols; ++i) {
                    bool ok = !std::isnan(f[i]);
                    for (std::size_t k = 0; ok && k < K; ++k) ok = !std::isnan(R[k][tr * cols + i]);
                    mask[i] = ok;
                }
            }
            if (joint && rank) {
                // one sample for every k: rank the factor once
                std::size_t mx = 0;
                const std::int32_t* fo = fs.row(t);
                for (std::size_t j = 0, c = static_cast<std::size_t>(fs.count[t]); j < c; ++j)
                    if (mask[fo[j]]) ws.sx[mx++] = fo[j];
                const bool fconst = mx < 2 || f[ws.sx[0]] == f[ws.sx[mx - 1]];
                if (!fconst) average_ranks_sorted(f, ws.sx.data(), mx, ws.rx.data());
                for (std::size_t k = 0; k < K; ++k) {
                    n_out[t * K + k] = static_cast<std::int64_t>(mx);
                    const double* r = R[k] + tr * cols;
                    std::size_t my = 0;
                    const std::int32_t* ro = rs[k]->row(tr);
                    for (std::size_t j = 0, c = static_cast<std::size_t>(rs[k]->count[tr]); j < c; ++j)
                        if (mask[ro[j]]) ws.sy[my++] = ro[j];
                    if (fconst || my != mx || r[ws.sy[0]] == r[ws.sy[my - 1]]) {
                        r_out[t * K + k] = kNaN;
                        continue;
                    }
                    average_ranks_sorted(r, ws.sy.data(), my, ws.ry.data());
                    for (std::size_t j = 0; j < mx; ++j) {
                        const std::int32_t i = ws.sx[j];
                        ws.px[j] = ws.rx[i];
                        ws.py[j] = ws.ry[i];
                    }
                    r_out[t * K + k] = rank_pearson(ws.px.data(), ws.py.data(), mx);
                }
                continue;
            }
            for (std::size_t k = 0; k < K; ++k) {
                const double* r = R[k] + tr * cols;
                if (!joint)
                    for (std::size_t i = 0; i < cols; ++i) mask[i] = !std::isnan(f[i]) && !std::isnan(r[i]);
                std::size_t pairs = 0;
                const std::int32_t* fo = rank ? fs.row(t) : nullptr;
                const std::int32_t* ro = rank ? rs[k]->row(tr) : nullptr;
                const std::size_t fc = rank ? static_cast<std::size_t>(fs.count[t]) : 0;
                const std::size_t rc = rank ? static_cast<std::size_t>(rs[k]->count[tr]) : 0;
                r_out[t * K + k] = masked_corr(f, fo, fc, r, ro, rc, mask.data(), cols, rank, ws, pairs);
                n_out[t * K + k] = static_cast<std::int64_t>(pairs);
            }
        }
    }, 4);
}

// Correlations within cells of a long table: row i belongs to cell cell[i]
// (-1: to none). For every cell c < cells and k < K, r_out[c * K + k] is the
// correlation of R[k] with f over the cell's rows where both are present (in
// row order) and n_out[c * K + k] the number of those rows; NaN below two rows
// or without spread. Cells are spread over threads.
inline void cell_correlations(const double* f, const std::vector<const double*>& R, std::size_t rows,
                              const std::int64_t* cell, std::size_t cells, bool rank, double* r_out,
                              std::int64_t* n_out) {
    const std::size_t K = R.size();
    // rows of each cell, in row order (a counting sort by cell)
    std::vector<std::size_t> start(cells + 1, 0);
    for (std::size_t i = 0; i < rows; ++i)
        if (cell[i] >= 0) ++start[static_cast<std::size_t>(cell[i]) + 1];
    for (std::size_t c = 0; c < cells; ++c) start[c + 1] += start[c];
    std::vector<std::size_t> members(start[cells]), fill(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < rows; ++i)
        if (cell[i] >= 0) members[fill[static_cast<std::size_t>(cell[i])]++] = i;
    parallel_for(cells, [&](std::size_t b, std::size_t e) {
        Workspace ws;
        std::vector<double> x, y;
        std::vector<std::uint8_t> mask;
        std::vector<std::int32_t> yo, xo;
        for (std::size_t c = b; c < e; ++c) {
            const std::size_t* rows_c = members.data() + start[c];
            const std::size_t m = start[c + 1] - start[c];
            y.resize(m);
            x.resize(m);
            mask.resize(m);
            yo.resize(m);
            xo.resize(m);
            for (std::size_t i = 0; i < m; ++i) y[i] = f[rows_c[i]];
            const std::size_t yc = rank ? sorted_present(y.data(), m, yo.data(), ws.buf, ws.tmp) : 0;
            for (std::size_t k = 0; k < K; ++k) {
                for (std::size_t i = 0; i < m; ++i) {
                    x[i] = R[k][rows_c[i]];
                    mask[i] = !std::isnan(x[i]) && !std::isnan(y[i]);
                }
                const std::size_t xc = rank ? sorted_present(x.data(), m, xo.data(), ws.buf, ws.tmp) : 0;
                std::size_t pairs = 0;
                r_out[c * K + k] = masked_corr(x.data(), xo.data(), xc, y.data(), yo.data(), yc, mask.data(), m,
                                               rank, ws, pairs);
                n_out[c * K + k] = static_cast<std::int64_t>(pairs);
            }
        }
    }, 1);
}

// Decayed correlations: row t of F paired with row t + lag of every R[k]
// (rows x cols each, row-major), for lag = 1 .. lags - 1, over the columns
// where the factor and all K returns are present. Only (date, lag) pairs with
// at least one such column are kept, lag by lag and dates ascending: their
// row and lag go to `row`/`lag`, the K correlations and pair counts to
// `r`/`n` (K values per kept pair).
struct DecayTable {
    std::vector<std::int64_t> row, lag, n;
    std::vector<double> r;
};

// The same with the row orders given: fs = sort_rows(F) and rs[k] =
// sort_rows(R[k]), read only when rank is true (a caller correlating many
// factors with the same returns sorts the returns once).
inline DecayTable decay_correlations(const double* F, const SortedRows& fs, const std::vector<const double*>& R,
                                     const std::vector<const SortedRows*>& rs, std::size_t rows,
                                     std::size_t cols, std::size_t lags, bool rank) {
    const std::size_t K = R.size();
    DecayTable out;
    if (K == 0) return out;
    std::vector<double> r(rows * K);
    std::vector<std::int64_t> n(rows * K);
    for (std::size_t lag = 1; lag < lags; ++lag) {
        row_correlations(F, fs, R, rs, rows, cols, lag, rank, true, r.data(), n.data());
        for (std::size_t t = 0; t < rows; ++t) {
            if (n[t * K] < 1) continue;
            out.row.push_back(static_cast<std::int64_t>(t));
            out.lag.push_back(static_cast<std::int64_t>(lag));
            out.r.insert(out.r.end(), r.begin() + static_cast<std::ptrdiff_t>(t * K),
                         r.begin() + static_cast<std::ptrdiff_t>((t + 1) * K));
            out.n.insert(out.n.end(), n.begin() + static_cast<std::ptrdiff_t>(t * K),
                         n.begin() + static_cast<std::ptrdiff_t>((t + 1) * K));
        }
    }
    return out;
}

inline DecayTable decay_correlations(const double* F, const std::vector<const double*>& R, std::size_t rows,
                                     std::size_t cols, std::size_t lags, bool rank) {
    const std::size_t K = R.size();
    if (K == 0) return {};
    SortedRows fs;
    std::vector<SortedRows> rs(K);
    std::vector<const SortedRows*> rsp;
    if (rank) {
        fs = sort_rows(F, rows, cols);
        for (std::size_t k = 0; k < K; ++k) rs[k] = sort_rows(R[k], rows, cols);
    }
    for (auto& x : rs) rsp.push_back(&x);
    return decay_correlations(F, fs, R, rsp, rows, cols, lags, rank);
}


// Rows ranked once for rank correlations against many factors: the sorted
// order of each row's present values (`sorted`), the average ranks by
// position (0 where the value is missing: ranks are >= 1), each row's sum of
// squared ranks and, with runs, the runs of two or more equal values of each
// row as (first, last) sorted slots: runs[run_at[r] .. run_at[r + 1]).
struct RankedPanel {
    std::size_t rows = 0, cols = 0;
    SortedRows sorted;
    std::vector<double> rank;                                   // rows x cols
    std::vector<double> sum_sq;                                 // rows
    std::vector<std::pair<std::int32_t, std::int32_t>> runs;    // tied runs, row after row
    std::vector<std::size_t> run_at;                            // rows + 1
    const double* rank_row(std::size_t r) const { return rank.data() + r * cols; }
};

// The panel of a rows x cols matrix (row-major); `with_runs` false leaves
// the runs empty (only a panel walked in sorted order needs them).
inline RankedPanel rank_panel(const double* m, std::size_t rows, std::size_t cols, bool with_runs = true) {
    RankedPanel p;
    p.rows = rows;
    p.cols = cols;
    p.sorted = sort_rows(m, rows, cols);
    p.rank.assign(rows * cols, 0.0);
    p.sum_sq.assign(rows, 0.0);
    std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>> row_runs(with_runs ? rows : 0);
    parallel_for(rows, [&](std::size_t b, std::size_t e) {
        for (std::size_t r = b; r < e; ++r) {
            const double* v = m + r * cols;
            const std::int32_t* o = p.sorted.row(r);
            double* rk = p.rank.data() + r * cols;
            double sq = 0.0;
            ranks::for_each_tie_run(v, o, static_cast<std::size_t>(p.sorted.count[r]),
                                    [&](std::size_t i, std::size_t j, double avg) {
                for (std::size_t k = i; k <= j; ++k) rk[o[k]] = avg;
                sq += static_cast<double>(j - i + 1) * (avg * avg);
                if (with_runs && j > i)
                    row_runs[r].emplace_back(static_cast<std::int32_t>(i), static_cast<std::int32_t>(j));
            });
            p.sum_sq[r] = sq;
        }
    }, 16);
    if (with_runs) {
        p.run_at.assign(rows + 1, 0);
        for (std::size_t r = 0; r < rows; ++r) p.run_at[r + 1] = p.run_at[r] + row_runs[r].size();
        p.runs.reserve(p.run_at[rows]);
        for (auto& rr : row_runs) p.runs.insert(p.runs.end(), rr.begin(), rr.end());
    }
    return p;
}

// Widest rows the exact rank sums below serve: every sum of products of
// ranks (multiples of 1/4 below cols^3) stays exact in a double.
inline constexpr std::size_t kExactRankCols = 100000;

// The Spearman coefficient rank_pearson gives over m pairs from the exact
// sums of the ranks' squares and products (ranks over the m pairs, mean
// (m + 1) / 2 each): the same double, since rank_pearson's sums are exact
// too. NaN below two pairs or when either side is constant.
inline double rank_pearson_from_sums(double sum_xy, double sum_xx, double sum_yy, std::size_t m) {
    if (m < 2) return kNaN;
    const double n = static_cast<double>(m), mean = (n + 1.0) / 2.0;
    const double sxx = sum_xx - n * (mean * mean), syy = sum_yy - n * (mean * mean);
    if (!(sxx > 0.0) || !(syy > 0.0)) return kNaN;
    const double sxy = sum_xy - n * (mean * mean);
    const double f = 1.0 / (n - 1.0);
    const double r = sxy * f / std::sqrt(sxx * f) / std::sqrt(syy * f);
    if (std::isnan(r)) return r;
    return std::clamp(r, -1.0, 1.0);
}

// The returns' side of a rank correlation over the pairs where a factor row
// is present: walks one returns row in its sorted order (`order`, `count`
// present values; `runs`: its tied runs, `nruns` of them) and gives the
// number of pairs m, the sum of the products of the factor's ranks `f` (0
// where missing) with the returns' ranks over those pairs, and the sum of the
// returns' squared ranks over them. `seen` (count entries) is scratch.
// Every term and partial sum is a multiple of 1/4 below 2^51
// (kExactRankCols), so the sums are exact whatever their order.
struct RankSums {
    std::size_t m = 0;
    double xy = 0.0, yy = 0.0;
};

inline RankSums walk_ranked(const double* f, const std::int32_t* order, std::size_t count,
                            const std::pair<std::int32_t, std::int32_t>* runs, std::size_t nruns,
                            std::int32_t* seen) {
    // ordinal ranks first: the k-th pair in the returns' order has rank k
    // (four partial sums); seen[k]: pairs up to and including slot k
    std::size_t m = 0, k = 0;
    double xy0 = 0.0, xy1 = 0.0, xy2 = 0.0, xy3 = 0.0;
    for (; k + 4 <= count; k += 4) {
        const double v0 = f[order[k]], v1 = f[order[k + 1]], v2 = f[order[k + 2]], v3 = f[order[k + 3]];
        const std::size_t m0 = m + (v0 != 0.0), m1 = m0 + (v1 != 0.0), m2 = m1 + (v2 != 0.0);
        m = m2 + (v3 != 0.0);
        seen[k] = static_cast<std::int32_t>(m0);
        seen[k + 1] = static_cast<std::int32_t>(m1);
        seen[k + 2] = static_cast<std::int32_t>(m2);
        seen[k + 3] = static_cast<std::int32_t>(m);
        xy0 += v0 * static_cast<double>(m0);
        xy1 += v1 * static_cast<double>(m1);
        xy2 += v2 * static_cast<double>(m2);
        xy3 += v3 * static_cast<double>(m);
    }
    for (; k < count; ++k) {
        const double v = f[order[k]];
        m += v != 0.0;
        seen[k] = static_cast<std::int32_t>(m);
        xy0 += v * static_cast<double>(m);
    }
    const double n = static_cast<double>(m);
    double xy = (xy0 + xy1) + (xy2 + xy3);
    double yy = n * (n + 1.0) * (2.0 * n + 1.0) / 6.0;
    // then each run of equal returns: its c pairs share their average rank
    for (std::size_t q = 0; q < nruns; ++q) {
        const std::size_t i = static_cast<std::size_t>(runs[q].first), j = static_cast<std::size_t>(runs[q].second);
        const double before = i > 0 ? static_cast<double>(seen[i - 1]) : 0.0;
        const double c = static_cast<double>(seen[j]) - before;
        if (c < 2.0) continue;
        const double avg = before + (c + 1.0) / 2.0;
        double ordinal = 0.0, sum = 0.0;
        for (std::size_t s = i; s <= j; ++s) {
            const double v = f[order[s]];
            ordinal += v * static_cast<double>(seen[s]);
            sum += v;
        }
        xy += avg * sum - ordinal;
        // sum of (before + 1)^2 .. (before + c)^2 replaced by c * avg^2
        const double hi = before + c;
        const double squares = (hi * (hi + 1.0) * (2.0 * hi + 1.0) - before * (before + 1.0) * (2.0 * before + 1.0)) / 6.0;
        yy += c * (avg * avg) - squares;
    }
    RankSums out;
    out.m = m;
    out.xy = xy;
    out.yy = yy;
    return out;
}

// Rank correlations of factor row t (values F, panel fp; its runs are not
// read) with row t + lag of the returns (values R, panel rp), for every lag
// in `lags`, over the columns where both are present: what row_correlations
// gives (rank, one return matrix) for each lag, bit for bit. r_out and n_out
// are rows x lags.size(); rows without a row t + lag get n = 0 and r = NaN.
//
// Where every present value of the factor row has a return (the usual case)
// the factor's ranks over the pairs are its own, the returns' are counted on
// a walk of their sorted row, and the coefficient follows from exact sums;
// any other pair is computed by masked_corr. Rows are spread over threads.
inline void ranked_lag_correlations(const double* F, const RankedPanel& fp, const double* R, const RankedPanel& rp,
                                    const std::vector<std::size_t>& lags, double* r_out, std::int64_t* n_out) {
    const std::size_t rows = fp.rows, cols = fp.cols, L = lags.size();
    if (L == 0) return;
    const bool exact = cols <= kExactRankCols;
    parallel_for(rows, [&](std::size_t b, std::size_t e) {
        Workspace ws;
        std::vector<std::uint8_t> mask;
        std::vector<std::int32_t> seen(cols);
        for (std::size_t t = b; t < e; ++t) {
            const std::size_t fc = static_cast<std::size_t>(fp.sorted.count[t]);
            for (std::size_t l = 0; l < L; ++l) {
                double& r_cell = r_out[t * L + l];
                std::int64_t& n_cell = n_out[t * L + l];
                const std::size_t u = t + lags[l];
                if (u >= rp.rows) {
                    r_cell = kNaN;
                    n_cell = 0;
                    continue;
                }
                const std::int32_t* ro = rp.sorted.row(u);
                const std::size_t rc = static_cast<std::size_t>(rp.sorted.count[u]);
                if (exact) {
                    const std::size_t r0 = rp.run_at[u];
                    const RankSums s = walk_ranked(fp.rank_row(t), ro, rc, rp.runs.data() + r0,
                                                   rp.run_at[u + 1] - r0, seen.data());
                    if (s.m == fc) {
                        n_cell = static_cast<std::int64_t>(fc);
                        r_cell = rank_pearson_from_sums(s.xy, fp.sum_sq[t], s.yy, fc);
                        continue;
                    }
                }
                const double* f = F + t * cols;
                const double* r = R + u * cols;
                mask.resize(cols);
                for (std::size_t i = 0; i < cols; ++i) mask[i] = !std::isnan(f[i]) && !std::isnan(r[i]);
                std::size_t pairs = 0;
                r_cell = masked_corr(f, fp.sorted.row(t), fc, r, ro, rc, mask.data(), cols, true, ws, pairs);
                n_cell = static_cast<std::int64_t>(pairs);
            }
        }
    }, 4);
}

// The decay table's rows of lags >= 1 from ranked_lag_correlations' output
// (rows x lags.size(), cell [t, l] for lag lags[l]): the cells with at least
// one pair, lag by lag and dates ascending, each value as the wrapper gives it.
inline DecayTable decay_rows(const double* r, const std::int64_t* n, std::size_t rows,
                             const std::vector<std::size_t>& lags, bool rank) {
    DecayTable table;
    const std::size_t L = lags.size();
    for (std::size_t l = 0; l < L; ++l) {
        for (std::size_t t = 0; t < rows; ++t) {
            if (n[t * L + l] < 1) continue;
            table.row.push_back(static_cast<std::int64_t>(t));
            table.lag.push_back(static_cast<std::int64_t>(lags[l]));
            table.r.push_back(wrapper_value(r[t * L + l], n[t * L + l], rank));
            table.n.push_back(n[t * L + l]);
        }
    }
    return table;
}

// The mean IC of each lag of a decay table: lag 0 over `ic0` (one value per
// date, in date order), every other lag over its rows (date positions `row`,
// lags `lag`, values `v`), taken in date order. The lags that have any row,
// ascending; a lag whose values are all missing has a NaN mean. Each mean is a
// compensated (Kahan) sum of the present values divided by their count, with
// the compensation reset where an infinity makes it undefined: the grouped
// mean pandas computes for a table sorted by (date, lag) and grouped by lag,
// bit for bit.
struct LagMeans {
    std::vector<std::int64_t> lag;
    std::vector<double> mean;
};

inline LagMeans lag_means(const double* ic0, std::size_t dates, const std::int64_t* row, const std::int64_t* lag,
                          const double* v, std::size_t rows) {
    // entries: the dates' lag-0 values first, then the rows, ordered by (lag, date) with ties in that order
    const std::size_t total = dates + rows;
    auto lag_of = [&](std::size_t e) { return e < dates ? std::int64_t{0} : lag[e - dates]; };
    auto date_of = [&](std::size_t e) { return e < dates ? static_cast<std::int64_t>(e) : row[e - dates]; };
    auto value_of = [&](std::size_t e) { return e < dates ? ic0[e] : v[e - dates]; };
    std::vector<std::size_t> at(total);
    std::iota(at.begin(), at.end(), std::size_t{0});
    std::stable_sort(at.begin(), at.end(), [&](std::size_t a, std::size_t b) {
        const std::int64_t la = lag_of(a), lb = lag_of(b);
        return la != lb ? la < lb : date_of(a) < date_of(b);
    });
    LagMeans out;
    for (std::size_t i = 0; i < total;) {
        const std::int64_t l = lag_of(at[i]);
        double sum = 0.0, comp = 0.0;
        std::int64_t count = 0;
        for (; i < total && lag_of(at[i]) == l; ++i) {
            const double x = value_of(at[i]);
            if (std::isnan(x)) continue;
            ++count;
            const double y = x - comp;
            const double t = sum + y;
            comp = t - sum - y;
            if (std::isnan(comp)) comp = 0.0;  // an infinity: keep the sum infinite rather than NaN
            sum = t;
        }
        out.lag.push_back(l);
        out.mean.push_back(count == 0 ? kNaN : sum / static_cast<double>(count));
    }
    return out;
}

}  // namespace zarnik::corr
