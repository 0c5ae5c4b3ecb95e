// Neutralization: residuals of each date's factor cross-section regressed on
// style exposures, industry dummies, user factors and (optionally) a constant.
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
#include "common/native.hpp"
#include "common/pyclass.hpp"
#include "zarnik/checked.hpp"
#include "zarnik/neutralize.hpp"

namespace zarnik_py {

namespace {

struct StyleTable {
    py::array values;                  // rows of the client's table x style factors (float64, any strides)
    std::vector<std::int64_t> row_of;  // dates x instruments -> table row, -1 if none
};

// Places the client's (order_book_id, date) table onto the frame's dates and
// instruments: each date takes the exposures dated on it (intraday stamps the
// exposures of their calendar date), each instrument its own column. The
// label positions come from zarnik.analysis.market_tables.exposure_positions.
StyleTable place_style_exposures(const py::object& style_df, const py::object& index,
                                 const py::list& order_book_ids, bool daily) {
    py::tuple p = market::tables("exposure_positions")(style_df, index, order_book_ids, daily);
    const LongIndexArray date_pos = int64_array(p[0]), inst_pos = int64_array(p[1]);
    const LongIndexArray dcodes = int64_array(p[2]), icodes = int64_array(p[3]);
    const auto t_count = static_cast<std::size_t>(date_pos.size()), n = static_cast<std::size_t>(inst_pos.size());
    StyleTable out{to_dense_view(style_df, "style exposure").values, {}};
    out.row_of.assign(zarnik::mul_size(t_count, n, "style exposures"), -1);
    if (zarnik::neutralize::place_table_rows(date_pos.data(), t_count, inst_pos.data(), n, dcodes.data(), icodes.data(),
                                             static_cast<std::size_t>(dcodes.size()), p[4].cast<std::size_t>(),
                                             p[5].cast<std::size_t>(), out.row_of.data()) >= 0) {
        raise(PyExc_ValueError,
              "get_style_factor_exposure: Index contains duplicate entries, cannot reshape "
              "(one (order_book_id, date) pair appears twice)");
    }
    return out;
}

// Industry code in force on each (date, instrument): the row of the latest
// change date not after the date; dates before the first change date and
// instruments absent from the table get -1.
std::vector<std::int64_t> industry_codes(const py::object& cat, const py::object& index,
                                         const py::list& order_book_ids, std::int64_t& max_code) {
    py::object pd = pandas();
    if (!py::isinstance(cat, pd.attr("DataFrame"))) {
        raise(PyExc_TypeError,
              format("get_all_industry_category: expected a DataFrame, got {}", py::type::of(cat)));
    }
    std::vector<std::int64_t> row_pos = positions(as_datetime_index(cat.attr("index")), index, py::str("ffill"));
    std::vector<std::int64_t> col_pos = positions(cat.attr("columns"), order_book_ids);
    DenseFrame codes = to_dense(cat, "industry category");
    std::vector<std::int64_t> out(zarnik::mul_size(row_pos.size(), col_pos.size(), "industry codes"), -1);
    double bad = 0.0;
    if (!zarnik::neutralize::industry_codes(codes.values.data(), static_cast<std::size_t>(codes.cols()),
                                            row_pos.data(), row_pos.size(), col_pos.data(), col_pos.size(),
                                            out.data(), max_code, bad)) {
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
    py::object pd = pandas();
    require_frame(df, "factor_data");
    py::object index = df.attr("index");
    py::list order_book_ids = df.attr("columns").attr("tolist")();
    const std::size_t t_count = static_cast<std::size_t>(py::len(index));
    const std::size_t n = static_cast<std::size_t>(py::len(order_book_ids));
    if (t_count == 0 || n == 0) raise(PyExc_ValueError, "Empty factor data source!");
    // Each date is regressed on its own, so any order of dates (and a date
    // given twice) is fine; an instrument given twice would enter one
    // cross-section twice.
    require_unique_columns(df, "factor_data");
    // Market data is dated without a timezone: a timezone-aware index is
    // matched on its local dates and times.
    py::object local = index;
    if (!index_tz(df).is_none()) local = index.attr("tz_localize")(py::none());

    zarnik::neutralize::DesignSources src;
    src.dates = t_count;
    src.instruments = n;

    StyleTable style;
    if (truthy(self.attr("style_neutralize"))) {
        py::object style_df = market::style_exposure(order_book_ids, local.attr("min")(), local.attr("max")(),
                                                     self.attr("style_factors"));
        const bool daily = truthy(mod.attr("_is_date_frequency_index")(local));
        style = place_style_exposures(style_df, local, order_book_ids, daily);
        src.n_style = static_cast<std::size_t>(style.values.shape(1));
        src.style_values = static_cast<const double*>(style.values.data());
        src.style_row_stride = style.values.strides(0) / static_cast<py::ssize_t>(sizeof(double));
        src.style_col_stride = style.values.strides(1) / static_cast<py::ssize_t>(sizeof(double));
        src.style_row = style.row_of.data();
    }

    std::vector<std::int64_t> codes;
    py::object industry = self.attr("industry");
    if (truthy(industry)) {
        py::object cat = mod.attr("get_all_industry_category")(industry);
        std::int64_t max_code = -1;
        codes = industry_codes(cat, local, order_book_ids, max_code);
        src.n_industries = static_cast<std::size_t>(max_code + 1);
        src.codes = codes.data();
    }

    std::vector<DenseFrame> others;
    for (py::handle f : analysis_check("other_factor_frames")(self.attr("other_factors"), index, order_book_ids)) {
        others.push_back(to_dense(f, "other_factors"));
    }
    for (const DenseFrame& f : others) src.others.push_back(f.values.data());
    src.add_const = truthy(self.attr("add_const"));

    DenseFrame endog = to_dense(df, "factor_data");
    py::object calc_residuals = mod.attr("calc_residuals");
    py::object residuals;
    if (native_tag(calc_residuals) == native::ols_residuals) {
        // The package's own regression: solve date by date on regressors
        // built in cache, without materializing the T x N x K cube.
        Matrix out = nan_matrix(static_cast<py::ssize_t>(t_count), static_cast<py::ssize_t>(n));
        const double* y = endog.values.data();
        double* o = out.mutable_data();
        {
            py::gil_scoped_release release;
            zarnik::neutralize::residuals_fused(src, y, o);
        }
        residuals = out;
    } else {
        const std::size_t k = src.width();
        py::array_t<double> exog({static_cast<py::ssize_t>(t_count), static_cast<py::ssize_t>(n),
                                  static_cast<py::ssize_t>(k)});
        {
            double* out = exog.mutable_data();
            py::gil_scoped_release release;
            zarnik::neutralize::build_design(src, out);
        }
        residuals = calc_residuals(endog.values, exog);
    }
    py::object result = pd.attr("DataFrame")(py::arg("data") = residuals, py::arg("index") = index,
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
