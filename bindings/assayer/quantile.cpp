// QuantileReturnAnalysis: groups of instruments by the previous date's factor
// value, held as equal-weighted portfolios over staggered rebalancing
// levels; group returns, turnover, long-short and (excess) annualized
// returns. Numerics run on dense matrices in zarnik/quantile.hpp; the
// arguments are read and the pandas results built by
// zarnik.analysis.quantile_tables.
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "assayer/assayer.hpp"
#include "common/axes.hpp"
#include "common/frames.hpp"
#include "common/periods.hpp"
#include "common/pyclass.hpp"
#include "zarnik/checked.hpp"
#include "zarnik/quantile.hpp"
#include "zarnik/returns.hpp"

namespace zarnik_py {

namespace {

py::object tables(const char* name) { return package_module("analysis.quantile_tables").attr(name); }

void warn(const py::object& message) {
    py::module_::import("warnings").attr("warn")(py::str(message), py::arg("stacklevel") = 2);
}

void qr_init(py::object self, py::object quantile, py::object benchmark, py::object bins) {
    self.attr("quantile") = quantile;
    self.attr("bins") = tables("checked_bins")(bins);
    self.attr("benchmark") = py::none();
    if (benchmark.is_none()) return;
    if (!truthy(market_data("is_index")(benchmark))) {
        return warn(format_text("Invalid benchmark: {} is not INDX order_book_id.", benchmark));
    }
    self.attr("benchmark") = benchmark;
}

py::object qr_load_benchmark(py::object self, py::object index) {
    py::object benchmark = self.attr("benchmark");
    if (benchmark.is_none()) return py::none();
    py::tuple span = tables("benchmark_span")(index);  // (frequency, field, first date, last date)
    py::object price = market_data("index_prices")(benchmark, span[2], span[3], span[0], span[1]);
    if (price.is_none()) {
        py::str tmpl = format_text("No price data for benchmark [{}] from %s to %s", benchmark);
        warn(tmpl.attr("__mod__")(py::make_tuple(span[2], span[3])));
        return py::none();
    }
    return market_data("benchmark_returns")(price, span[1], index, benchmark);
}

// Positions of `labels` in `index` (-1 where absent); raises ValueError when
// `index` has duplicate labels, as a reindex onto it would.
std::vector<std::int64_t> unique_positions(const py::object& index, const py::object& labels, const char* what) {
    if (!index.attr("is_unique").cast<bool>()) {
        raise(PyExc_ValueError, std::string(what) + ": cannot align on an axis with duplicate labels");
    }
    return positions(index, labels);
}

void require_frames(const py::object& factor_data, const py::object& returns) {
    for (auto [frame, name] : {std::pair{factor_data, "factor_data"}, std::pair{returns, "returns"}}) {
        if (!py::isinstance(frame, pandas().attr("DataFrame"))) {
            raise(PyExc_ValueError, format("{}: expected a pandas DataFrame, got type={}", name, py::type::of(frame)));
        }
    }
    require_analysis_axes(factor_data, returns);
}

// The growth index of the daily returns on the factor's dates and instruments
// (NaN where the returns have no row or column): what the group returns of
// every holding period are computed from. It does not depend on the factor.
Matrix factor_growth(const DenseFrame& fr, const DenseFrame& rr) {
    const std::size_t n = static_cast<std::size_t>(fr.rows()), S = static_cast<std::size_t>(fr.cols());
    auto rpos = unique_positions(rr.index, fr.index, "returns");
    auto cpos = unique_positions(rr.columns, fr.columns, "returns columns");
    Matrix cum({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(S)});
    double* out = cum.mutable_data();
    const double* R = rr.values.data();
    py::gil_scoped_release release;
    zarnik::returns::aligned_growth(R, static_cast<std::size_t>(rr.rows()), static_cast<std::size_t>(rr.cols()),
                                    rpos.data(), n, cpos.data(), S, out);
    return cum;
}

// Group edges of the step over `width` instruments: its bins, or quantile equal groups.
std::vector<double> group_fractions(const py::object& self, std::size_t width) {
    py::object edges = tables("group_edges")(self, width);
    if (py::isinstance<py::list>(edges)) return edges.cast<std::vector<double>>();
    return zarnik::quantile::equal_fractions(static_cast<int>(saturated(edges)));
}

// Group tables of K holding periods (row-major, one column per period):
// daily and turnover (q * n rows, group-major), cumulative (q * n rows) and
// long_short (n rows), from period_returns over the growth index `cum`; the
// group of each factor cell in `lab` (-1: none); the annualized return of
// each group (q rows, in the text order of the labels, `order`).
struct GroupTables {
    py::array_t<std::int32_t> lab;
    py::array_t<double> daily, turnover, cumret, ls, ann;
    std::vector<std::size_t> order;
};

GroupTables group_tables(const double* F, std::size_t n, std::size_t S, const std::vector<double>& fractions,
                         bool asc, const double* cum, const std::vector<std::size_t>& lengths,
                         const std::int32_t* sorted = nullptr, const std::int32_t* count = nullptr) {
    const std::size_t K = lengths.size(), Q = fractions.size() - 1;
    zarnik::mul_size(n, S, "factor_data");  // both sizes checked before any allocation
    std::vector<double> qret(zarnik::mul_size(K, Q, n, "group returns")), qturn(qret.size());
    GroupTables g{new_array<std::int32_t>(n, S), new_array(Q * n, K), new_array(Q * n, K), new_array(Q * n, K),
                  new_array(n, K), new_array(Q, K), zarnik::quantile::label_text_order(Q)};
    std::int32_t* lab = g.lab.mutable_data();
    {
        py::gil_scoped_release release;
        zarnik::quantile::group_returns_from_growth(F, n, S, fractions, asc, cum, lengths, lab, qret.data(),
                                                    qturn.data(), sorted, count);
    }
    zarnik::quantile::period_tables(qret.data(), qturn.data(), K, Q, n, g.daily.mutable_data(),
                                    g.turnover.mutable_data(), g.cumret.mutable_data(), g.ls.mutable_data());
    zarnik::quantile::annualized_groups(g.cumret.data(), Q, n, K, g.order, nullptr, g.ann.mutable_data());
    return g;
}

// The growth index analysis() groups the factor's returns from (n x S, the
// factor's dates and instruments): shared by every factor analysed over the
// same dates and instruments.
py::object qr_growth(py::object /*self*/, py::object factor_data, py::object returns) {
    require_frames(factor_data, returns);
    DenseFrame fr = to_dense(factor_data, "factor_data", false);
    DenseFrame rr = to_dense(returns, "returns", false);
    return factor_growth(fr, rr);
}

// The factor-dependent part of analysis() on plain matrices: the factor
// (n x S) grouped against `growth` (the result of _growth for its frame).
// Returns (quantile_turnover, quantile_returns, top_minus_bottom_returns) as
// arrays with one column per period, the rows of the tables analysis() builds.
using Int32Rows = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

// An integer array of `obj` as int32 with `ndim` dimensions, else ValueError naming `what`.
Int32Rows int32_rows(const py::handle& obj, int ndim, const char* what) {
    py::array a = py::cast<py::array>(numpy().attr("asarray")(obj));
    if (a.dtype().kind() != 'i' || a.ndim() != ndim) {
        raise(PyExc_ValueError, format("order: expected {} (an integer array of {} dimension(s)), got dtype {} "
                                       "with {} dimension(s)", what, ndim, a.dtype(), a.ndim()));
    }
    Int32Rows out = Int32Rows::ensure(a);
    if (!out) throw py::error_already_set();
    return out;
}

// With `order` (the fourth element _rank_ic_ranked returns with orders=True:
// each factor row's positions sorted ascending and their counts), the rows
// are labelled from that order instead of being sorted again; it must be the
// factor's own order (checked), else ValueError.
py::tuple qr_group_returns(py::object self, py::object factor, py::object growth, py::object periods,
                           py::object ascending, py::object order) {
    Matrix F = as_matrix(factor, "factor");
    Matrix G = as_matrix(growth, "growth");
    if (G.shape(0) != F.shape(0) || G.shape(1) != F.shape(1)) {
        raise(PyExc_ValueError, format("growth: expected shape ({}, {}), got {}", F.shape(0), F.shape(1),
                                       py::array(G).attr("shape")));
    }
    const std::size_t n = static_cast<std::size_t>(F.shape(0)), S = static_cast<std::size_t>(F.shape(1));
    Int32Rows pos, cnt;
    if (!order.is_none()) {
        if (!py::isinstance<py::tuple>(order) || py::len(order) != 2) {
            raise(PyExc_ValueError, "order: expected a (positions, counts) pair");
        }
        py::tuple pair(order);
        pos = int32_rows(pair[0], 2, "positions");
        cnt = int32_rows(pair[1], 1, "counts");
        if (static_cast<std::size_t>(pos.shape(0)) != n || static_cast<std::size_t>(pos.shape(1)) != S ||
            static_cast<std::size_t>(cnt.shape(0)) != n) {
            raise(PyExc_ValueError, format("order: expected positions of shape ({}, {}) and {} counts, got {} and {}",
                                           n, S, n, py::array(pos).attr("shape"), py::array(cnt).attr("shape")));
        }
        bool ok = true;
        {
            py::gil_scoped_release release;
            ok = zarnik::quantile::are_ascending_orders(F.data(), n, S, pos.data(), cnt.data());
        }
        if (!ok) raise(PyExc_ValueError, "order: not the ascending order of the factor's rows (ties by position)");
    }
    py::tuple kept = tables("holding_periods")(periods, n, false);
    const std::vector<double> fractions = group_fractions(self, S);
    GroupTables g = group_tables(F.data(), n, S, fractions, py::bool_(ascending), G.data(),
                                 kept[0].cast<std::vector<std::size_t>>(), order.is_none() ? nullptr : pos.data(),
                                 order.is_none() ? nullptr : cnt.data());
    return py::make_tuple(g.turnover, g.cumret, g.ls);
}

py::object qr_analysis(py::object self, py::object factor_data, py::object returns, py::object periods,
                       py::object ascending) {
    require_frames(factor_data, returns);
    const std::size_t n = static_cast<std::size_t>(py::len(factor_data));
    // holding periods must be shorter than the factor history: (lengths, column keys)
    py::tuple kept = tables("holding_periods")(periods, n, true);
    const std::vector<std::size_t> lengths = kept[0].cast<std::vector<std::size_t>>();
    const std::vector<double> fractions =
        group_fractions(self, static_cast<std::size_t>(py::len(factor_data.attr("columns"))));
    const bool asc = py::bool_(ascending);
    DenseFrame fr = to_dense(factor_data, "factor_data");
    DenseFrame rr = to_dense(returns, "returns");
    const std::size_t S = static_cast<std::size_t>(fr.cols()), K = lengths.size(), Q = fractions.size() - 1;
    GroupTables g = group_tables(fr.values.data(), n, S, fractions, asc, factor_growth(fr, rr).data(), lengths);
    // the groups' annualized excess over the benchmark
    py::object bench = self.attr("_load_benchmark_series")(fr.index);
    py::object excess = py::none();
    if (!bench.is_none()) {
        const Matrix b = tables("benchmark_values")(bench, n);  // n daily returns, one per factor date
        py::array_t<double> ex = new_array(Q, K);
        zarnik::quantile::annualized_groups(g.daily.data(), Q, n, K, g.order, b.data(), ex.mutable_data());
        excess = ex;
    }
    return tables("result")(self, factor_data, returns, kept[1], g.lab, g.turnover, g.cumret, g.ls, g.ann, excess,
                            bench, g.order);
}

}  // namespace

void register_quantile(py::module_& m) {
    py::object base = m.attr("FactorAnalyser");
    ClassBuilder(m, "QuantileReturnAnalysis", py::make_tuple(base),
                 "分组收益分析：按上一交易日因子值把股票分为 quantile 组，每组等权持有一个持有期，"
                 "多个错开的调仓批次取平均，计算分组收益、换手率、多空收益与（超额）年化收益。\n\n"
                 ":param quantile: 分组数，默认 5\n"
                 ":param benchmark: 基准指数的 order_book_id（须为 INDX 类型），None 表示不计算超额收益\n"
                 ":param bins: 自定义分组边界（[0, 1] 内严格递增的分位数序列，如 [0, 0.1, 0.5, 0.9, 1]），"
                 "给定时分为 len(bins) - 1 组并忽略 quantile；首个边界以下或末个边界以上的股票不分组")
        .init({"(self, quantile=5, benchmark=None, bins=None)", "创建分组收益分析步骤；参数见类说明。"},
            &qr_init, py::arg("self"), py::arg("quantile") = 5, py::arg("benchmark") = py::none(),
            py::arg("bins") = py::none())
        .method("analysis", {"(self, factor_data, returns, periods, ascending=True)",
                "计算分组收益、换手率、多空收益与年化收益。\n\n:param factor_data: 因子值（日期 x 股票）\n"
                ":param returns: 日收益率（日期 x 股票）\n:param periods: 持有期列表\n"
                ":param ascending: True 时因子值最小的股票为 q1\n:return: QuantileReturnAnalysisResult"},
            &qr_analysis, py::arg("self"), py::arg("factor_data"), py::arg("returns"), py::arg("periods"),
            py::arg("ascending") = true)
        .method("_load_benchmark_series", {"(self, index)", "基准指数在 index 各日期上的日收益率；未设置基准时返回 None。"},
            &qr_load_benchmark, py::arg("self"), py::arg("index"))
        .method("_growth", {"(self, factor_data, returns)",
                "analysis 计算分组收益所用的增长指数（日收益连乘，对齐到因子的日期 x 股票）；与因子值无关，"
                "同一日期与股票上的多个因子可共用。"},
            &qr_growth, py::arg("self"), py::arg("factor_data"), py::arg("returns"))
        .method("_group_returns", {"(self, factor, growth, periods, ascending=True, order=None)",
                "analysis 中依赖因子的部分：因子矩阵（日期 x 股票）对 _growth 结果分组，返回 (换手率, 累计收益, "
                "多空收益) 三个数组，每个持有期一列，行同 analysis 的对应表。order 为因子各行已排好的升序排列 "
                "(位置矩阵, 各行个数)（ICAnalysis._rank_ic_ranked 的 orders=True 结果），给出时不再排序；"
                "须与因子一致，否则 ValueError。结果不变。"},
            &qr_group_returns, py::arg("self"), py::arg("factor"), py::arg("growth"), py::arg("periods"),
            py::arg("ascending") = true, py::arg("order") = py::none())
        .build();
}

}  // namespace zarnik_py
