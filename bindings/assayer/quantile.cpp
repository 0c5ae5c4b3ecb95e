// QuantileReturnAnalysis: groups of instruments by the previous date's factor
// value, held as equal-weighted portfolios over staggered rebalancing
// levels; group returns, turnover, long-short and (excess) annualized
// returns. Numerics run on dense matrices in zarnik/quantile.hpp; the pandas
// results are assembled once at the end.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "assayer/assayer.hpp"
#include "assayer/icq_util.hpp"
#include "common/market_data.hpp"
#include "common/modules.hpp"
#include "common/axes.hpp"
#include "common/frames.hpp"
#include "common/periods.hpp"
#include "common/pyclass.hpp"
#include "zarnik/checked.hpp"
#include "zarnik/quantile.hpp"
#include "zarnik/returns.hpp"

namespace zarnik_py {

namespace {

using namespace assayer_detail;
using zarnik::quantile::kNaN;

void warn(const std::string& message) {
    py::module_::import("warnings").attr("warn")(py::str(message), py::arg("stacklevel") = 2);
}

// Quantile edges given as fractions in [0, 1], strictly increasing, at least two.
py::object checked_bins(const py::object& bins) {
    if (bins.is_none()) return bins;
    const char* expected = "bins: expected None or a strictly increasing sequence of at least two quantile "
                           "edges in [0, 1], got {!r}";
    if (py::isinstance<py::str>(bins) || !py::hasattr(bins, "__iter__")) raise(PyExc_ValueError, format(expected, bins));
    py::list edges;
    for (py::handle e : bins) {
        if (py::isinstance(e, builtin("bool")) || !(py::isinstance<py::float_>(e) || py::hasattr(e, "__index__") ||
                                                    py::isinstance(e, numpy().attr("floating")))) {
            raise(PyExc_ValueError, format(expected, bins));
        }
        const double v = py::float_(py::reinterpret_borrow<py::object>(e)).cast<double>();
        if (!(v >= 0.0 && v <= 1.0) || (py::len(edges) > 0 && !(v > edges[py::len(edges) - 1].cast<double>()))) {
            raise(PyExc_ValueError, format(expected, bins));
        }
        edges.append(py::float_(v));
    }
    if (py::len(edges) < 2) raise(PyExc_ValueError, format(expected, bins));
    return edges;
}

void qr_init(py::object self, py::object quantile, py::object benchmark, py::object bins) {
    self.attr("quantile") = quantile;
    self.attr("bins") = checked_bins(bins);
    self.attr("benchmark") = py::none();
    if (!benchmark.is_none()) {
        py::object inst = market::instrument(benchmark);
        bool index_like = false;
        if (!inst.is_none()) {
            py::object type = py::getattr(inst, "type", py::none());
            index_like = type.equal(py::str("INDX"));
        }
        if (!index_like) {
            warn(format("Invalid benchmark: {} is not INDX order_book_id.", benchmark));
        } else {
            self.attr("benchmark") = benchmark;
        }
    }
}

py::object qr_load_benchmark(py::object self, py::object index) {
    py::object benchmark = self.attr("benchmark");
    if (benchmark.is_none()) return py::none();
    py::module_ pd = py::module_::import("pandas");
    if (!py::isinstance(index, pd.attr("DatetimeIndex")) || py::len(index) == 0) {
        raise(PyExc_ValueError, format("index: expected a non-empty DatetimeIndex, got {!r}", index));
    }
    py::object freq = module_attr("_get_datetime_freq")(index);
    const char* field = py::str(freq).equal(py::str("tick")) ? "last" : "close";
    py::object first = index[py::int_(0)].attr("date")();
    py::object last = index[py::int_(-1)].attr("date")();
    py::object price = market::index_prices(benchmark, first, last, freq, field);
    if (price.is_none()) {
        py::str tmpl = py::str(format("No price data for benchmark [{}] from %s to %s", benchmark));
        warn(py::str(tmpl.attr("__mod__")(py::make_tuple(first, last))).cast<std::string>());
        return py::none();
    }
    return market::benchmark_returns(price, field, index, benchmark);
}

py::object object_matrix(const std::vector<std::int32_t>& lab, std::size_t n, std::size_t S,
                         const std::vector<py::object>& tags) {
    py::module_ np = py::module_::import("numpy");
    py::array out = np.attr("empty")(py::make_tuple(n, S), py::arg("dtype") = "O");
    PyObject** p = static_cast<PyObject**>(out.mutable_data());
    py::object nan = py::float_(kNaN);
    for (std::size_t i = 0; i < n * S; ++i) {
        PyObject* v = lab[i] < 0 ? nan.ptr() : tags[static_cast<std::size_t>(lab[i])].ptr();
        Py_INCREF(v);
        Py_XDECREF(p[i]);
        p[i] = v;
    }
    return out;
}

// The growth index of the daily returns on the factor's dates and instruments
// (NaN where the returns have no row or column): what the group returns of
// every holding period are computed from. It does not depend on the factor.
Matrix factor_growth(const DenseFrame& fr, const DenseFrame& rr) {
    const std::size_t n = static_cast<std::size_t>(fr.rows()), S = static_cast<std::size_t>(fr.cols());
    const std::size_t Tr = static_cast<std::size_t>(rr.rows()), Nr = static_cast<std::size_t>(rr.cols());
    auto rpos = unique_positions(rr.index, fr.index, "returns");
    auto cpos = unique_positions(rr.columns, fr.columns, "returns columns");
    Matrix cum({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(S)});
    double* out = cum.mutable_data();
    const double* R = rr.values.data();
    py::gil_scoped_release release;
    zarnik::returns::aligned_growth(R, Tr, Nr, rpos.data(), n, cpos.data(), S, out);
    return cum;
}

// Group edges of the step over `width` instruments: its bins, or quantile equal groups.
std::vector<double> group_fractions(const py::object& self, std::size_t width) {
    py::object qobj = self.attr("quantile");
    py::object bins = checked_bins(py::getattr(self, "bins", py::none()));
    std::vector<double> fractions;
    if (!bins.is_none()) {
        for (py::handle e : bins) fractions.push_back(e.cast<double>());
        return fractions;
    }
    const long long qv = group_count(qobj, static_cast<long long>(width), "expected");
    return zarnik::quantile::equal_fractions(static_cast<int>(qv));
}

// Group tables of K holding periods (row-major, one column per period):
// daily and turnover (q * n rows, group-major), cumulative (q * n rows) and
// long_short (n rows), from period_returns over the growth index `cum`.
struct GroupTables {
    std::vector<std::int32_t> lab;
    py::array_t<double> daily, turnover, cumret, ls;
};

GroupTables group_tables(const double* F, std::size_t n, std::size_t S, const std::vector<double>& fractions,
                         bool asc, const double* cum, const std::vector<std::size_t>& lengths) {
    const std::size_t K = lengths.size(), Q = fractions.size() - 1;
    GroupTables g;
    g.lab.resize(zarnik::mul_size(n, S, "factor_data"));
    std::vector<double> qret(zarnik::mul_size(K, Q, n, "group returns")), qturn(qret.size());
    {
        py::gil_scoped_release release;
        zarnik::quantile::group_returns_from_growth(F, n, S, fractions, asc, cum, lengths, g.lab.data(), qret.data(),
                                                    qturn.data());
    }
    g.daily = new_array(Q * n, K);
    g.turnover = new_array(Q * n, K);
    g.cumret = new_array(Q * n, K);
    g.ls = new_array(n, K);
    zarnik::quantile::period_tables(qret.data(), qturn.data(), K, Q, n, g.daily.mutable_data(),
                                    g.turnover.mutable_data(), g.cumret.mutable_data(), g.ls.mutable_data());
    return g;
}

// The growth index analysis() groups the factor's returns from (n x S, the
// factor's dates and instruments): shared by every factor analysed over the
// same dates and instruments.
py::object qr_growth(py::object /*self*/, py::object factor_data, py::object returns) {
    require_dataframe(factor_data, "factor_data");
    require_dataframe(returns, "returns");
    require_analysis_axes(factor_data, returns);
    DenseFrame fr = to_dense(factor_data, "factor_data", false);
    DenseFrame rr = to_dense(returns, "returns", false);
    return factor_growth(fr, rr);
}

// The factor-dependent part of analysis() on plain matrices: the factor
// (n x S) grouped against `growth` (the result of _growth for its frame).
// Returns (quantile_turnover, quantile_returns, top_minus_bottom_returns) as
// arrays with one column per period, the rows of the tables analysis() builds.
py::tuple qr_group_returns(py::object self, py::object factor, py::object growth, py::object periods,
                           py::object ascending) {
    Matrix F = as_matrix(factor, "factor");
    Matrix G = as_matrix(growth, "growth");
    if (G.shape(0) != F.shape(0) || G.shape(1) != F.shape(1)) {
        raise(PyExc_ValueError, format("growth: expected shape ({}, {}), got {}", F.shape(0), F.shape(1),
                                       py::array(G).attr("shape")));
    }
    const std::size_t n = static_cast<std::size_t>(F.shape(0)), S = static_cast<std::size_t>(F.shape(1));
    std::vector<std::size_t> lengths;
    for (const HoldingPeriod& p : parse_periods(periods)) {
        if (static_cast<unsigned long long>(p.value) >= n) {
            raise(PyExc_ValueError, format("Invalid periods, must be less than {}", n));
        }
        lengths.push_back(static_cast<std::size_t>(p.value));
    }
    const std::vector<double> fractions = group_fractions(self, S);
    GroupTables g = group_tables(F.data(), n, S, fractions, py::bool_(ascending), G.data(), lengths);
    return py::make_tuple(g.turnover, g.cumret, g.ls);
}

py::object qr_analysis(py::object self, py::object factor_data, py::object returns, py::object periods,
                       py::object ascending) {
    require_dataframe(factor_data, "factor_data");
    require_dataframe(returns, "returns");
    require_analysis_axes(factor_data, returns);
    py::module_ pd = py::module_::import("pandas");
    py::module_ np = py::module_::import("numpy");
    const std::vector<HoldingPeriod> ps = parse_periods(periods);
    const std::size_t n = static_cast<std::size_t>(py::len(factor_data));

    // holding periods must be shorter than the factor history
    std::vector<HoldingPeriod> kept;
    py::list dropped;
    for (const HoldingPeriod& p : ps) {
        if (static_cast<unsigned long long>(p.value) >= n) {
            dropped.append(py::int_(py::str(p.key.substr(2))));
        } else {
            kept.push_back(p);
        }
    }
    if (py::len(dropped) > 0) {
        if (kept.empty()) raise(PyExc_ValueError, format("Invalid periods, must be less than {}", n));
        warn(format("Invalid periods found: {}, will ignore.", dropped));
    }
    const std::vector<double> fractions =
        group_fractions(self, static_cast<std::size_t>(py::len(factor_data.attr("columns"))));
    const bool asc = py::bool_(ascending);
    DenseFrame fr = to_dense(factor_data, "factor_data");
    DenseFrame rr = to_dense(returns, "returns");
    const int q = static_cast<int>(fractions.size()) - 1;
    const std::size_t S = static_cast<std::size_t>(fr.cols());
    const std::size_t K = kept.size(), Q = static_cast<std::size_t>(q);
    std::vector<std::size_t> lengths;
    for (const HoldingPeriod& p : kept) lengths.push_back(static_cast<std::size_t>(p.value));
    const Matrix cum = factor_growth(fr, rr);
    GroupTables g = group_tables(fr.values.data(), n, S, fractions, asc, cum.data(), lengths);
    const std::vector<std::int32_t>& lab = g.lab;

    // labels, and their text order (the order of tables grouped by label)
    std::vector<py::object> tags;
    py::list tag_list;
    for (int i = 1; i <= q; ++i) {
        tags.push_back(py::str("q" + std::to_string(i)));
        tag_list.append(tags.back());
    }
    const std::vector<std::size_t> text_order = zarnik::quantile::label_text_order(Q);
    py::list text_tags, columns;
    for (std::size_t k : text_order) text_tags.append(tags[k]);
    for (const HoldingPeriod& p : kept) columns.append(py::str(p.key));

    // daily group returns (0 where no level holds anything), row (tag, date)
    py::array_t<double> daily = g.daily;
    py::array_t<double> turnover = g.turnover;
    py::array_t<double> cumret = g.cumret;
    py::array_t<double> ls = g.ls;
    const double* pd_ = daily.data();
    const double* pc = cumret.data();

    py::object bench = self.attr("_load_benchmark_series")(fr.index);
    py::object excess = py::none();
    if (!bench.is_none()) {
        py::array_t<double, py::array::c_style | py::array::forcecast> b =
            py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
                np.attr("asarray")(bench.attr("values"), py::arg("dtype") = np.attr("float64")));
        if (!b || b.ndim() != 1 || static_cast<std::size_t>(b.shape(0)) != n) {
            raise(PyExc_ValueError, format("benchmark returns: expected {} values, one per factor date", n));
        }
        py::array_t<double> ex = new_array(Q, K);
        zarnik::quantile::annualized_groups(pd_, Q, n, K, text_order, b.data(), ex.mutable_data());
        excess = dataframe(ex, pd.attr("Index")(text_tags, py::arg("name") = "tag"), columns);
    }
    // annualized group returns
    py::array_t<double> ann = new_array(Q, K);
    zarnik::quantile::annualized_groups(pc, Q, n, K, text_order, nullptr, ann.mutable_data());

    py::object tag_index = pd.attr("MultiIndex").attr("from_product")(
        py::make_tuple(tag_list, fr.index), py::arg("names") = py::make_tuple("tag", "datetime"));
    py::object quantile_returns = dataframe(cumret, tag_index, columns);
    py::object quantile_turnover = dataframe(turnover, tag_index.attr("copy")(), columns);
    py::object date_index = pd.attr("Index")(fr.index).attr("rename")("datetime");
    py::object top_minus_bottom = dataframe(ls, date_index, columns);
    py::object annualized = dataframe(ann, pd.attr("Index")(text_tags, py::arg("name") = "tag"), columns);
    // labels stay Python objects (str or None); pandas would otherwise convert them to its string dtype
    py::object detail = pd.attr("DataFrame")(object_matrix(lab, n, S, tags), py::arg("index") = fr.index,
                                             py::arg("columns") = fr.columns, py::arg("dtype") = "object");
    py::object bench_cum = py::none();
    if (!bench.is_none()) bench_cum = bench.attr("add")(1).attr("cumprod")().attr("sub")(1);
    py::object out = result_class("QuantileReturnAnalysisResult")(
        py::arg("quantile_turnover") = quantile_turnover, py::arg("quantile_returns") = quantile_returns,
        py::arg("quantile_detail") = detail, py::arg("benchmark_return") = bench_cum,
        py::arg("top_minus_bottom_returns") = top_minus_bottom,
        py::arg("quantile_annualized_returns") = annualized,
        py::arg("quantile_excess_annulized_returns") = excess, py::arg("name") = self.attr("step_name"));
    // rank autocorrelation of the factor and the universe's mean daily return, kept on the result
    package_module("analysis.statistics").attr("attach_quantile_statistics")(out, factor_data, returns);
    return out;
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
        .method("_group_returns", {"(self, factor, growth, periods, ascending=True)",
                "analysis 中依赖因子的部分：因子矩阵（日期 x 股票）对 _growth 结果分组，返回 (换手率, 累计收益, "
                "多空收益) 三个数组，每个持有期一列，行同 analysis 的对应表。"},
            &qr_group_returns, py::arg("self"), py::arg("factor"), py::arg("growth"), py::arg("periods"),
            py::arg("ascending") = true)
        .build();
}

}  // namespace zarnik_py
