// Neutralization: residuals of each date's factor cross-section regressed on
// style exposures, industry dummies, user factors and (optionally) a constant.
// The labels of the market tables are matched in zarnik.analysis.market_tables;
// the placement of their rows and the regressions run in the core.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "assayer/assayer.hpp"
#include "common/frames.hpp"
#include "common/native.hpp"
#include "common/pyclass.hpp"
#include "zarnik/checked.hpp"
#include "zarnik/neutralize.hpp"

namespace zarnik_py {

namespace {

// Places the client's (order_book_id, date) table onto the frame's dates and
// instruments: each date takes the exposures dated on it (intraday stamps the
// exposures of their calendar date), each instrument its own column.
// `row_of` receives, per (date, instrument), the table row (-1: none).
py::array place_style_exposures(const py::object& style_df, const py::object& index, const py::list& order_book_ids,
                                bool daily, std::vector<std::int64_t>& row_of) {
    py::tuple p = market_table("exposure_positions")(style_df, index, order_book_ids, daily);
    const LongIndexArray date_pos = int64_array(p[0]), inst_pos = int64_array(p[1]);
    const LongIndexArray dcodes = int64_array(p[2]), icodes = int64_array(p[3]);
    const auto t_count = static_cast<std::size_t>(date_pos.size()), n = static_cast<std::size_t>(inst_pos.size());
    py::array values = to_dense_view(style_df, "style exposure").values;
    row_of.assign(zarnik::mul_size(t_count, n, "style exposures"), -1);
    if (zarnik::neutralize::place_table_rows(date_pos.data(), t_count, inst_pos.data(), n, dcodes.data(), icodes.data(),
                                             static_cast<std::size_t>(dcodes.size()), p[4].cast<std::size_t>(),
                                             p[5].cast<std::size_t>(), row_of.data()) >= 0) {
        raise(PyExc_ValueError,
              "get_style_factor_exposure: Index contains duplicate entries, cannot reshape "
              "(one (order_book_id, date) pair appears twice)");
    }
    return values;
}

// Industry code in force on each (date, instrument): the row of the latest
// change date not after the date; dates before the first change date and
// instruments absent from the table get -1.
std::vector<std::int64_t> industry_codes(const py::object& cat, const py::object& index,
                                         const py::list& order_book_ids, std::int64_t& max_code) {
    py::tuple p = market_table("industry_positions")(cat, index, order_book_ids);
    const LongIndexArray row_pos = int64_array(p[0]), col_pos = int64_array(p[1]);
    const auto t_count = static_cast<std::size_t>(row_pos.size()), n = static_cast<std::size_t>(col_pos.size());
    DenseFrame codes = to_dense(cat, "industry category");
    std::vector<std::int64_t> out(zarnik::mul_size(t_count, n, "industry codes"), -1);
    double bad = 0.0;
    if (!zarnik::neutralize::industry_codes(codes.values.data(), static_cast<std::size_t>(codes.cols()),
                                            row_pos.data(), t_count, col_pos.data(), n, out.data(), max_code, bad)) {
        raise(PyExc_ValueError, format("get_all_industry_category: expected integer industry codes, got {}", bad));
    }
    return out;
}

// The settings, checked and stored by zarnik.analysis.checks.neutralization_settings.
void neutralization_init(py::object self, py::object industry, py::object style_factors, py::object other_factors,
                         py::object add_const) {
    analysis_check("neutralization_settings")(self, industry, style_factors, other_factors, add_const,
                                              assayer_module().attr("VALID_INDUSTRY_SOURCE"));
}

py::object neutralization_process(py::object self, py::object df) {
    py::module_ mod = assayer_module();
    // (dates without their timezone, instruments as a list), checked
    py::tuple axes = analysis_check("neutralization_axes")(df);
    py::object local = axes[0];
    py::list order_book_ids = axes[1];
    zarnik::neutralize::DesignSources src;
    src.dates = static_cast<std::size_t>(py::len(local));
    src.instruments = static_cast<std::size_t>(py::len(order_book_ids));

    std::vector<std::int64_t> style_row, codes;
    py::array style;
    if (truthy(self.attr("style_neutralize"))) {
        py::object style_df = market_data("style_exposure")(order_book_ids, local.attr("min")(), local.attr("max")(),
                                                         self.attr("style_factors"));
        const bool daily = truthy(mod.attr("_is_date_frequency_index")(local));
        style = place_style_exposures(style_df, local, order_book_ids, daily, style_row);
        const zarnik::rowwise::View v = view_of(style);
        src.n_style = v.cols;
        src.style_values = v.data;
        src.style_row_stride = v.row_stride;
        src.style_col_stride = v.col_stride;
        src.style_row = style_row.data();
    }
    py::object industry = self.attr("industry");
    if (truthy(industry)) {
        std::int64_t max_code = -1;
        codes = industry_codes(mod.attr("get_all_industry_category")(industry), local, order_book_ids, max_code);
        src.n_industries = static_cast<std::size_t>(max_code + 1);
        src.codes = codes.data();
    }
    std::vector<DenseFrame> others;
    py::object index = df.attr("index");
    for (py::handle f : analysis_check("other_factor_frames")(self.attr("other_factors"), index, order_book_ids)) {
        others.push_back(to_dense(f, "other_factors"));
        src.others.push_back(others.back().values.data());
    }
    src.add_const = truthy(self.attr("add_const"));

    DenseFrame endog = to_dense(df, "factor_data");
    py::object calc_residuals = mod.attr("calc_residuals");
    py::object residuals;
    const auto rows = static_cast<py::ssize_t>(src.dates), cols = static_cast<py::ssize_t>(src.instruments);
    if (native_tag(calc_residuals) == native::ols_residuals) {
        // The package's own regression: solve date by date on regressors
        // built in cache, without materializing the T x N x K cube.
        Matrix out({rows, cols});
        const double* y = endog.values.data();
        double* o = out.mutable_data();
        {
            py::gil_scoped_release release;
            std::fill_n(o, src.dates * src.instruments, std::numeric_limits<double>::quiet_NaN());
            zarnik::neutralize::residuals_fused(src, y, o);
        }
        residuals = out;
    } else {
        py::array_t<double> exog({rows, cols, static_cast<py::ssize_t>(src.width())});
        {
            double* out = exog.mutable_data();
            py::gil_scoped_release release;
            zarnik::neutralize::build_design(src, out);
        }
        residuals = calc_residuals(endog.values, exog);
    }
    py::object result = pandas().attr("DataFrame")(py::arg("data") = residuals, py::arg("index") = index,
                                                   py::arg("columns") = order_book_ids);
    result.attr("columns").attr("name") = py::str("order_book_id");
    return result;
}

}  // namespace

void register_neutralize(py::module_& m) {
    py::object ols_fn = package_module("analysis.ols").attr("calc_residuals");
    register_native(ols_fn, native::ols_residuals);
    if (!py::hasattr(m, "calc_residuals")) m.attr("calc_residuals") = ols_fn;
    py::tuple bases = py::make_tuple(m.attr("FactorPreprocessor"));
    ClassBuilder(m, "Neutralization", bases,
                 "中性化：逐日将因子截面对风格因子暴露、行业哑变量、用户因子（及常数项）做回归，"
                 "以残差替换因子值。\n\n"
                 ":param industry: 行业分类来源（\"citics_2019\" 或 \"sws\"），None 表示不做行业中性化\n"
                 ":param style_factors: \"all\" 表示全部风格因子，None 表示不做风格中性化，"
                 "或风格因子名称的选择\n"
                 ":param other_factors: 用户提供的回归因子（DataFrame 列表），None 与空表跳过\n"
                 ":param add_const: 是否加入常数项；None 表示仅在 industry 为 None 时加入")
        .init({"(self, industry='citics_2019', style_factors='all', other_factors=None, add_const=None)",
                "设置中性化所用的行业分类、风格因子、用户因子与常数项。"},
            &neutralization_init, py::arg("self"), py::arg("industry") = "citics_2019",
            py::arg("style_factors") = "all", py::arg("other_factors") = py::none(),
            py::arg("add_const") = py::none())
        .method("process", {"(self, df)",
                "对因子数据做中性化。\n\n"
                ":param factor_data: 因子数据，行为日期，列为标的\n"
                ":return: 残差构成的新因子数据，行列与输入一致，列名为 order_book_id"},
            &neutralization_process, py::arg("self"), py::arg("df"))
        .build();
}

}  // namespace zarnik_py
