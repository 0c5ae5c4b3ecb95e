// QuantileStyleAnalysis: active style exposure of each factor quantile group.
// Arguments and the result table are read and built in Python
// (zarnik.analysis.checks.style_arguments, zarnik.analysis.exposure_tables);
// the placement of the exposures, the ranks and the group means run in the core.
#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

#include "assayer/assayer.hpp"
#include "common/frames.hpp"
#include "common/pyclass.hpp"
#include "zarnik/checked.hpp"
#include "zarnik/layout.hpp"
#include "zarnik/style.hpp"

namespace zarnik_py {

namespace {

// Position of each table row's label on the target labels (-1 if absent).
std::vector<std::int64_t> row_positions(const py::handle& level_pos, const py::handle& codes) {
    const LongIndexArray pos = int64_array(level_pos);
    std::vector<std::int64_t> c = int64_values(codes);
    zarnik::layout::compose(c.data(), c.size(), pos.data(), static_cast<std::size_t>(pos.size()));
    return c;
}

void style_init(py::object self, py::object quantile) {
    self.attr("quantile") = quantile;
}

py::object style_analysis(py::object self, py::object factor_data, py::object returns, py::object periods,
                          py::object ascending) {
    // (groups, ascending, the dates without their timezone: the store dates its exposures without one)
    py::tuple args = analysis_check("style_arguments")(self, factor_data, ascending);
    const long long q = args[0].cast<long long>();
    const bool asc = args[1].cast<bool>();
    py::object dates_local = args[2];

    DenseFrame factor = to_dense(factor_data, "factor_data");
    const std::size_t t_count = static_cast<std::size_t>(factor.rows());
    const std::size_t n = static_cast<std::size_t>(factor.cols());
    if (t_count == 0 || n == 0) raise(PyExc_ValueError, "Empty factor data source!");

    py::object exposure = market_data("style_exposure")(factor.columns, dates_local[py::int_(0)], dates_local[py::int_(-1)]);
    py::tuple placed = market_table("exposure_rows")(exposure, dates_local, factor.index, factor.columns);
    exposure = placed[0];
    std::vector<std::int64_t> row_date = row_positions(placed[1], placed[2]);
    std::vector<std::int64_t> row_inst = row_positions(placed[3], placed[4]);
    DenseFrame values = to_dense(exposure, "style exposure");
    const std::size_t rows = static_cast<std::size_t>(values.rows());
    const std::size_t n_factors = static_cast<std::size_t>(values.cols());
    const Matrix edges = Matrix::ensure(numpy().attr("linspace")(0, 1, q + 1));

    zarnik::style::ActiveExposure active;
    {
        const double* f = factor.values.data();
        const double* x = values.values.data();
        const double* e = edges.data();
        py::gil_scoped_release release;
        std::vector<double> ranks(zarnik::mul_size(t_count, n, "factor_data"));
        zarnik::style::lagged_pct_ranks(f, t_count, n, asc, ranks.data());
        active = zarnik::style::active_exposure(ranks.data(), t_count, n, row_date.data(), row_inst.data(), x, rows,
                                                n_factors, e, static_cast<std::size_t>(q));
    }
    std::vector<std::int64_t> kept(active.dates.begin(), active.dates.end());
    py::array_t<double> data({static_cast<py::ssize_t>(kept.size()) * static_cast<py::ssize_t>(q), static_cast<py::ssize_t>(n_factors)},
                             active.values.data());
    return package_module("analysis.exposure_tables")
        .attr("style_result")(self, factor.index, array_of(kept), data, exposure.attr("columns"), q);
}

}  // namespace

void register_style(py::module_& m) {
    ClassBuilder(m, "QuantileStyleAnalysis", py::make_tuple(m.attr("FactorAnalyser")),
                 "分组风格分析：按前一日因子值分位将标的分为 quantile 组，计算各组风格因子暴露均值"
                 "相对当日全部标的均值的主动暴露。\n\n"
                 ":param quantile: 分组数，默认 5")
        .init({"(self, quantile=5)", "设置分组数。"},
            &style_init, py::arg("self"), py::arg("quantile") = 5)
        .method("analysis", {"(self, factor_data, returns, periods, ascending=True)",
                "计算各分组的风格因子主动暴露。\n\n"
                ":param factor_data: 因子数据，行为日期，列为标的\n"
                ":param returns: 未使用\n"
                ":param periods: 未使用\n"
                ":param ascending: 排序方向；为真时 q1 为因子值最小的一组\n"
                ":return: QuantileStyleAnalysisResult，quantile_exposure 以 (date, quantile) 为行索引，"
                "每列为一个风格因子"},
            &style_analysis, py::arg("self"), py::arg("factor_data"), py::arg("returns"), py::arg("periods"),
            py::arg("ascending") = true)
        .build();
}

}  // namespace zarnik_py
