// QuantileStyleAnalysis: active style exposure of each factor quantile group.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "assayer/assayer.hpp"
#include "common/market_data.hpp"
#include "common/axes.hpp"
#include "common/frames.hpp"
#include "common/periods.hpp"
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
    py::object pd = pandas();
    require_frame(factor_data, "factor_data");
    require_ascending_dates(factor_data, "factor_data");
    require_unique_columns(factor_data, "factor_data");
    py::object q_obj = self.attr("quantile");
    const long long q = group_count(q_obj, py::len(factor_data.attr("columns")), "expect");
    const bool asc = truthy(ascending);

    DenseFrame factor = to_dense(factor_data, "factor_data");
    const std::size_t t_count = static_cast<std::size_t>(factor.rows());
    const std::size_t n = static_cast<std::size_t>(factor.cols());
    if (t_count == 0 || n == 0) raise(PyExc_ValueError, "Empty factor data source!");

    // The store dates its exposures without a timezone: a timezone-aware
    // index is matched on its local calendar dates.
    py::object dates_local = factor.index;
    if (!index_tz(factor_data).is_none()) dates_local = factor.index.attr("tz_localize")(py::none());
    py::object exposure = market::style_exposure(factor.columns, dates_local[py::int_(0)], dates_local[py::int_(-1)]);
    py::tuple placed = market::tables("exposure_rows")(exposure, dates_local, factor.index, factor.columns);
    exposure = placed[0];
    std::vector<std::int64_t> row_date = row_positions(placed[1], placed[2]);
    std::vector<std::int64_t> row_inst = row_positions(placed[3], placed[4]);
    DenseFrame values = to_dense(exposure, "style exposure");
    const std::size_t rows = static_cast<std::size_t>(values.rows());
    const std::size_t n_factors = static_cast<std::size_t>(values.cols());
    py::array_t<double> edges_arr = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        numpy().attr("linspace")(0, 1, q + 1));
    std::vector<double> edges(edges_arr.data(), edges_arr.data() + edges_arr.size());

    zarnik::style::ActiveExposure active;
    {
        const double* f = factor.values.data();
        const double* x = values.values.data();
        py::gil_scoped_release release;
        std::vector<double> ranks(zarnik::mul_size(t_count, n, "factor_data"));
        zarnik::style::lagged_pct_ranks(f, t_count, n, asc, ranks.data());
        active = zarnik::style::active_exposure(ranks.data(), t_count, n, row_date.data(), row_inst.data(), x, rows,
                                                n_factors, edges.data(), static_cast<std::size_t>(q));
    }

    py::list tags;
    for (long long g = 1; g <= q; ++g) tags.append(py::str("q{}").attr("format")(g));
    py::object dtype = pd.attr("CategoricalDtype")(tags);
    std::vector<std::int64_t> kept(active.dates.begin(), active.dates.end());
    py::object dates = factor.index.attr("take")(array_of(kept));
    py::object row_index = pd.attr("MultiIndex").attr("from_product")(
        py::make_tuple(dates, pd.attr("CategoricalIndex")(tags, py::arg("dtype") = dtype)),
        py::arg("names") = py::make_tuple("date", "quantile"));
    py::array_t<double> data = new_array(active.dates.size() * static_cast<std::size_t>(q), n_factors);
    std::copy(active.values.begin(), active.values.end(), data.mutable_data());
    py::object frame = dataframe(data, row_index, exposure.attr("columns"));
    py::object result_cls = package_module("analysis.analysis_result").attr("QuantileStyleAnalysisResult");
    return result_cls(py::arg("quantile_exposure") = frame, py::arg("name") = self.attr("step_name"));
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
