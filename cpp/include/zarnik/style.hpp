// Style exposure of factor quantile groups: previous-date percentile ranks,
// group assignment by bin edges, and per (date, group) mean exposures
// relative to the date's mean exposure.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "zarnik/checked.hpp"
#include "zarnik/parallel.hpp"
#include "zarnik/ranks.hpp"

namespace zarnik::style {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// out[t, i] = percentile rank of f[t-1, i] within row t-1: average rank of
// ties divided by the number of non-missing values; missing stays NaN; row 0
// is NaN. `ascending` false ranks the largest value first.
inline void lagged_pct_ranks(const double* f, std::size_t t_count, std::size_t n, bool ascending, double* out) {
    for (std::size_t i = 0; i < n && t_count > 0; ++i) out[i] = kNaN;
    if (t_count < 2) return;
    ranks::percentile_rows(f, t_count - 1, n, ascending, out + n);
}

// Group number of a rank: the number of bin edges strictly below it
// (edges ascending), i.e. edge[g-1] < rank <= edge[g].
inline std::size_t group_of(double rank, const double* edges, std::size_t n_edges) {
    return static_cast<std::size_t>(std::lower_bound(edges, edges + n_edges, rank) - edges);
}

// Neumaier-compensated running sum.
struct Sum {
    double s = 0.0, c = 0.0;
    std::size_t n = 0;
    void add(double v) {
        const double t = s + v;
        if (std::fabs(s) >= std::fabs(v)) {
            c += (s - t) + v;
        } else {
            c += (v - t) + s;
        }
        s = t;
        ++n;
    }
    double mean() const { return n ? (s + c) / static_cast<double>(n) : kNaN; }
};

struct ActiveExposure {
    std::vector<std::size_t> dates;  // dates (row positions) that have ranked exposures, ascending
    std::vector<double> values;      // dates.size() * groups rows x n_factors, row-major
};

// Exposure rows are (date position, instrument position, values); rows with
// a negative position or without a rank are left out. Every kept date yields
// `groups` rows (group 1..groups); a group without members gives NaN.
inline ActiveExposure active_exposure(const double* ranks, std::size_t t_count, std::size_t n,
                                      const std::int64_t* row_date, const std::int64_t* row_inst,
                                      const double* exposure, std::size_t rows, std::size_t n_factors,
                                      const double* edges, std::size_t groups) {
    const std::size_t n_edges = groups + 1;
    std::vector<Sum> group_sums(mul_size(t_count, groups, n_factors, "group exposures")),
        date_sums(mul_size(t_count, n_factors, "date exposures"));
    std::vector<char> seen(t_count, 0);
    for (std::size_t k = 0; k < rows; ++k) {
        const std::int64_t t = row_date[k], i = row_inst[k];
        if (t < 0 || i < 0) continue;
        const double rank = ranks[static_cast<std::size_t>(t) * n + static_cast<std::size_t>(i)];
        if (std::isnan(rank)) continue;
        std::size_t g = group_of(rank, edges, n_edges);
        g = std::clamp<std::size_t>(g, 1, groups) - 1;
        const std::size_t tt = static_cast<std::size_t>(t);
        seen[tt] = 1;
        const double* x = exposure + k * n_factors;
        Sum* gs = group_sums.data() + (tt * groups + g) * n_factors;
        Sum* ds = date_sums.data() + tt * n_factors;
        for (std::size_t s = 0; s < n_factors; ++s) {
            if (std::isnan(x[s])) continue;
            gs[s].add(x[s]);
            ds[s].add(x[s]);
        }
    }
    ActiveExposure out;
    for (std::size_t t = 0; t < t_count; ++t)
        if (seen[t]) out.dates.push_back(t);
    out.values.resize(mul_size(out.dates.size(), groups, n_factors, "group exposures"));
    for (std::size_t d = 0; d < out.dates.size(); ++d) {
        const std::size_t t = out.dates[d];
        for (std::size_t g = 0; g < groups; ++g) {
            for (std::size_t s = 0; s < n_factors; ++s) {
                out.values[(d * groups + g) * n_factors + s] =
                    group_sums[(t * groups + g) * n_factors + s].mean() - date_sums[t * n_factors + s].mean();
            }
        }
    }
    return out;
}

}  // namespace zarnik::style
