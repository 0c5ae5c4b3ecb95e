// The analysis pipeline: frame validation, date-time index classification,
// the step bases, the market-data loaders (daily returns, industries) and
// FactorAssayer itself, whose steps are run by zarnik.analysis.pipeline_steps.
#include <pybind11/numpy.h>

#include <cstddef>

#include "assayer/assayer.hpp"
#include "common/frames.hpp"
#include "common/pyclass.hpp"
#include "zarnik/normalize.hpp"

namespace zarnik_py {

namespace {

// ---------------------------------------------------------------- loaders

py::object field_of(const py::object& source) { return assayer_module().attr("FIELD_MAPPING")[source]; }

py::object all_industry_data(py::object source) {
    py::tuple choice = pipeline_step("industry_source")(source);  // (Shenwan?, field of the industry name)
    return market_data("industry_history")(choice[0], choice[1]);
}

py::object all_industry_category(py::object source) {
    py::object history = assayer_module().attr("get_all_industry_data")(source);
    return market_data("industry_codes")(history, field_of(source));
}

// Industry name of each (date, instrument): the assignment with the latest
// start date on or before the date; before an instrument's first record, its
// first assignment. Instruments without records are absent.
py::object load_industry_data(py::object order_book_ids, py::object dates, py::object source) {
    py::object history = assayer_module().attr("get_all_industry_data")(source);
    return market_data("industry_on_dates")(history, field_of(source), order_book_ids, dates);
}

// ---------------------------------------------------------------- returns

py::object load_daily_returns(const py::object& factor_data, const py::object& periods) {
    // (last factor date, first factor date, longest holding period)
    py::tuple span = pipeline_step("daily_return_span")(factor_data, periods);
    py::object close = market_data("close_prices")(factor_data.attr("columns"), span[1], span[0], span[2]);
    DenseFrame dense = to_dense(close, "close", false);
    const py::ssize_t rows = dense.rows(), first = rows > 0 ? 1 : 0;  // row 0 has no return
    Matrix out({rows - first, dense.cols()});
    {
        const double* src = dense.values.data();
        double* dst = out.mutable_data();
        py::gil_scoped_release release;
        zarnik::xsection::simple_returns(src, dst, static_cast<std::size_t>(rows), static_cast<std::size_t>(dense.cols()));
    }
    return to_frame(out, dense.index[builtin("slice")(first, py::none())], dense.columns);
}

}  // namespace

void register_pipeline(py::module_& m) {
    py::options options;  // docstrings carry hand-written text signatures (signed_doc)
    options.disable_function_signatures();
    m.attr("ostrel") = market_data("client")();
    m.attr("ttl_cache") = market_data("ttl_cache")();
    py::object industry_cache = market_data("industry_cache");
    py::module_ results = package_module("analysis.analysis_result");
    for (py::handle name : results.attr("__all__")) m.attr(name) = results.attr(name);

    m.attr("VALID_INDUSTRY_SOURCE") = py::make_tuple("citics_2019", "sws");
    m.attr("FIELD_MAPPING") = py::dict(py::arg("citics_2019") = "first_industry_name", py::arg("sws") = "index_name");

    def(m, "_validate_data_frame", {"(df, name)", "检查 df 为 DatetimeIndex 索引的非空 DataFrame，否则抛出 ValueError。"},
        [](py::object df, py::object name) { analysis_check("validate_data_frame")(df, name); }, py::arg("df"),
        py::arg("name"));
    def(m, "_get_datetime_freq", {"(index)", "判断时间索引的频率：\"tick\"、\"1m\" 或 \"1d\"；整点但非零点时抛出 ValueError。"},
        [](py::object index) { return analysis_check("datetime_freq")(index); }, py::arg("index"));
    def(m, "_is_date_frequency_index", {"(index)", "时间索引是否为日频（全部为零点）。"},
        [](py::object index) { return assayer_module().attr("_get_datetime_freq")(index).equal(py::str("1d")); },
        py::arg("index"));
    def(m, "_get_return_fields", {"(columns)", "返回以 \"P_\" 开头的列名，保持原顺序。"},
        [](py::object columns) { return analysis_check("return_fields")(columns); }, py::arg("columns"));

    // The loaders before caching: _fetch_industry_data and
    // _build_industry_category (a fresh cache can be wrapped around them).
    m.attr("_fetch_industry_data") = py::cpp_function(&all_industry_data, py::name("get_all_industry_data"), py::arg("source") = "citics_2019");
    m.attr("_build_industry_category") = py::cpp_function(&all_industry_category, py::name("get_all_industry_category"), py::arg("source") = "citics_2019");
    m.attr("get_all_industry_data") = industry_cache(py::cpp_function(
        &all_industry_data, py::name("get_all_industry_data"), py::arg("source") = "citics_2019",
        "获取行业分类全部历史。\n\n:param source: 行业分类来源，\"citics_2019\" 或 \"sws\"\n"
        ":return: DataFrame，列为 [行业名称, order_book_id, start_date]，按 order_book_id、start_date 升序"));
    m.attr("get_all_industry_category") = industry_cache(py::cpp_function(
        &all_industry_category, py::name("get_all_industry_category"), py::arg("source") = "citics_2019",
        "获取行业代码表。\n\n:param source: 行业分类来源，\"citics_2019\" 或 \"sws\"\n"
        ":return: DataFrame，行为变更日期，列为 order_book_id，值为行业代码（行业名称升序编号）"));
    def(m, "_load_industry_data", {"(order_book_ids, dates, source='citics_2019')",
            "各日期各标的所属行业：取不晚于该日期的最近一次行业变更；早于首条记录的日期取首条记录的行业。\n\n"
            ":return: 以 (日期, order_book_id) 为索引的行业名称 Series，无行业的组合不出现"},
        &load_industry_data, py::arg("order_book_ids"), py::arg("dates"), py::arg("source") = "citics_2019");
    def(m, "_load_daily_returns", {"(factor_data, periods)", "加载因子日期及其后 max(periods) 个交易日的日收益率（后复权收盘价）。"},
        &load_daily_returns, py::arg("factor_data"), py::arg("periods"));

    ClassBuilder(m, "FactorPreprocessor", py::tuple(), "因子数据预处理基础类。")
        .method("process", {"(self, factor_data)",
                "处理因子数据，返回新的因子数据（行为日期，列为标的）；子类必须实现。\n\n"
                ":param factor_data: 因子数据 DataFrame\n:return: 处理后的新 DataFrame，不修改输入"},
            [](py::object self, py::object factor_data) -> py::object { raise(PyExc_NotImplementedError, "Need implement FactorPreprocessor.process"); },
            py::arg("self"), py::arg("factor_data"))
        .build();
    ClassBuilder(m, "FactorAnalyser", py::tuple(), "因子分析步骤基础类。")
        .attr("step_name", py::str("FactorAnalysisStep"))
        .method("analysis", {"(self, factor_data, returns, periods, ascending=True)",
                "分析因子数据，返回分析结果对象；子类必须实现。\n\n"
                ":param factor_data: 预处理后的因子数据（行为日期，列为标的）\n"
                ":param returns: 日收益率数据（行为日期，列为标的）\n"
                ":param periods: 持有期，int 或 int 的列表/元组\n"
                ":param ascending: 排序方向\n:return: 分析结果对象"},
            [](py::object self, py::object factor_data, py::object returns, py::object periods, py::object ascending) -> py::object { raise(PyExc_NotImplementedError, "Need implement FactorAnalyser.analysis"); },
            py::arg("self"), py::arg("factor_data"), py::arg("returns"), py::arg("periods"),
            py::arg("ascending") = true)
        .build();
    ClassBuilder(m, "FactorAssayer", py::tuple(),
                 "因子分析流水线：按添加顺序执行预处理步骤，再以预处理后的因子数据执行各分析步骤。")
        .init({"(self)", "创建空的因子分析流水线。"},
            [](py::object self) { pipeline_step("init")(self); }, py::arg("self"))
        .method("append", {"(self, step)", "添加一个步骤。\n\n:param step: (名称, 处理器) 元组；名称在预处理与分析步骤间唯一"},
            [](py::object self, py::object step) { pipeline_step("append")(self, step); }, py::arg("self"), py::arg("step"))
        .method("analysis", {"(self, factor_data, returns, ascending=False, periods=1, keep_preprocess_result=False)",
                "执行流水线。\n\n:param factor_data: 因子值 DataFrame（行为交易日，列为标的）\n"
                ":param returns: \"daily\"（从行情客户端加载日收益率）或日收益率 DataFrame\n"
                ":param ascending: 分析步骤排序方向，默认降序\n"
                ":param periods: 持有期，int 或 int 的 tuple/list，默认 1\n"
                ":param keep_preprocess_result: 是否在结果中保留每个预处理步骤后的因子数据副本\n"
                ":return: 步骤名称到结果的 dict；流水线为空时返回 None"},
            [](py::object self, py::object factor_data, py::object returns, py::object ascending, py::object periods,
               py::object keep) { return pipeline_step("run")(self, factor_data, returns, ascending, periods, keep); },
            py::arg("self"), py::arg("factor_data"), py::arg("returns"),
            py::arg("ascending") = false, py::arg("periods") = 1, py::arg("keep_preprocess_result") = false)
        .build();
}

}  // namespace zarnik_py
