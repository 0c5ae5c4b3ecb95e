// The analysis pipeline: frame validation, date-time index classification,
// the step bases, the market-data loaders (daily returns, industries) and
// FactorAssayer itself.
#include <pybind11/numpy.h>

#include <cstddef>
#include <string>

#include "assayer/assayer.hpp"
#include "common/market_data.hpp"
#include "common/frames.hpp"
#include "common/periods.hpp"
#include "common/pyclass.hpp"
#include "zarnik/normalize.hpp"

namespace zarnik_py {

namespace {

bool is_list_or_tuple(const py::handle& obj) { return py::isinstance<py::tuple>(obj) || py::isinstance<py::list>(obj); }

void validate_data_frame(const py::object& df, const py::object& name) { analysis_check("validate_data_frame")(df, name); }

// ---------------------------------------------------------------- loaders

const char* kSourceError = "source: invalid source={}, expect one of [sws, citics_2019]";

py::object field_of(const py::object& source) {
    return assayer_module().attr("FIELD_MAPPING")[source];
}

py::object all_industry_data(py::object source) {
    const bool citics = py::isinstance<py::str>(source) && source.cast<std::string>() == "citics_2019";
    const bool sws = py::isinstance<py::str>(source) && source.cast<std::string>() == "sws";
    if (!citics && !sws) raise(PyExc_ValueError, format(kSourceError, source));
    py::object field = sws ? py::object(py::str("index_name")) : assayer_module().attr("FIELD_MAPPING").attr("get")(source);
    return market::industry_history(sws, field);
}

py::object all_industry_category(py::object source) {
    py::object history = assayer_module().attr("get_all_industry_data")(source);
    return market::industry_codes(history, field_of(source));
}

// Industry name of each (date, instrument): the assignment with the latest
// start date on or before the date; before an instrument's first record, its
// first assignment. Instruments without records are absent.
py::object load_industry_data(py::object order_book_ids, py::object dates, py::object source) {
    py::object history = assayer_module().attr("get_all_industry_data")(source);
    return market::industry_on_dates(history, field_of(source), order_book_ids, dates);
}

// ---------------------------------------------------------------- returns

py::object load_daily_returns(const py::object& factor_data, const py::object& periods) {
    // the longest holding period, read as every analyser reads periods
    long long longest = 0;
    std::string longest_text;
    for (const HoldingPeriod& p : parse_periods(periods)) {
        if (p.value > longest) {
            longest = p.value;
            longest_text = p.key.substr(2);
        }
    }
    py::object p_max = builtin("int")(py::str(longest_text));
    py::object index = factor_data.attr("index");
    // first and last factor dates, whatever order the rows come in
    py::object end_date = market::next_trading_date(index.attr("max")(), p_max);
    py::object start = market::previous_trading_date(index.attr("min")());
    py::object close = market::close_table(factor_data.attr("columns"), start, end_date);
    if (close.is_none()) {
        raise(PyExc_ValueError, format("returns: no close prices from {} to {} for the factor's instruments", start, end_date));
    }
    DenseFrame dense = to_dense(close, "close", false);
    const auto rows = static_cast<std::size_t>(dense.rows()), cols = static_cast<std::size_t>(dense.cols());
    Matrix out({rows > 0 ? dense.rows() - 1 : 0, dense.cols()});
    {
        const double* src = dense.values.data();
        double* dst = out.mutable_data();
        py::gil_scoped_release release;
        zarnik::xsection::simple_returns(src, dst, rows, cols);
    }
    py::object slice = builtin("slice")(rows > 0 ? 1 : 0, py::none());
    return to_frame(out, dense.index[slice], dense.columns);
}

// ---------------------------------------------------------------- FactorAssayer

const char* kStepNames = "_FactorAssayer__exists_step_names";

void assayer_init(py::object self) {
    self.attr("preprocess_pipelines") = py::list();
    self.attr("analysis_pipelines") = py::dict();
    self.attr(kStepNames) = py::list();
}

void assayer_append(py::object self, py::object step) {
    py::tuple pair = analysis_check("pipeline_step")(step, self, kStepNames);
    py::object name = pair[0], processor = pair[1];
    py::list names = self.attr(kStepNames);
    names.append(name);
    py::module_ mod = assayer_module();
    if (py::isinstance(processor, mod.attr("FactorPreprocessor"))) {
        self.attr("preprocess_pipelines").attr("append")(step);
    } else if (py::isinstance(processor, mod.attr("FactorAnalyser"))) {
        processor.attr("step_name") = name;
        self.attr("analysis_pipelines")[name] = processor;
    } else {
        raise(PyExc_ValueError, format("Invalid step={}, unknown processor={}", name, processor));
    }
}

py::object assayer_analysis(py::object self, py::object factor_data, py::object returns, py::object ascending,
                            py::object periods, py::object keep_preprocess_result) {
    py::object preprocessors = self.attr("preprocess_pipelines");
    py::object analysers = self.attr("analysis_pipelines");
    if (!py::bool_(preprocessors) && !py::bool_(analysers)) {
        py::module_::import("warnings").attr("warn")("no pipelines to execute.", builtin("UserWarning"));
        return py::none();
    }
    if (assertions_enabled() && !is_list_or_tuple(periods) && !py::isinstance(periods, builtin("int"))) {
        raise(PyExc_AssertionError, format("periods must be tuple/list/int, but got {}", py::type::of(periods)));
    }
    validate_data_frame(factor_data, py::str("factor_data"));
    if (py::isinstance<py::str>(returns)) {
        if (returns.cast<std::string>() != "daily") {
            raise(PyExc_ValueError, format("returns: expect pd.DataFrame or \"daily\", got {}", returns));
        }
        returns = load_daily_returns(factor_data, periods);
    } else {
        validate_data_frame(returns, py::str("returns"));
    }
    if (!is_list_or_tuple(periods)) {
        py::list wrapped;
        wrapped.append(periods);
        periods = wrapped;
    }
    for (py::object frame : {factor_data, returns}) {
        frame.attr("index").attr("name") = py::str("datetime");
        frame.attr("columns").attr("name") = py::str("order_book_id");
    }
    py::dict result;
    const bool keep = py::bool_(keep_preprocess_result);
    // Cells with a value after each stage; a stage that empties whole dates warns.
    py::object coverage = package_module("analysis.coverage").attr("CoverageAccount")(factor_data);
    for (py::handle item : py::list(preprocessors)) {
        py::tuple pair(py::reinterpret_borrow<py::object>(item));
        factor_data = pair[1].attr("process")(factor_data);
        coverage.attr("step")(pair[0], factor_data);
        if (keep) result[pair[0]] = factor_data.attr("copy")();
    }
    py::object account = coverage.attr("to_frame")();
    for (py::handle item : analysers.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object out = pair[1].attr("analysis")(factor_data, returns, periods, py::arg("ascending") = ascending);
        // The account and the ranking direction travel with each result for its summary and report;
        // a result type that takes no attributes simply goes without.
        if (PyObject_SetAttrString(out.ptr(), "coverage", account.ptr()) != 0 ||
            PyObject_SetAttrString(out.ptr(), "ascending", ascending.ptr()) != 0) {
            PyErr_Clear();
        }
        result[pair[0]] = out;
    }
    return result;
}

}  // namespace

void register_pipeline(py::module_& m) {
    py::options options;  // docstrings carry hand-written text signatures (signed_doc)
    options.disable_function_signatures();
    m.attr("ostrel") = market::client();
    py::object ttl_cache = market::ttl_cache();
    m.attr("ttl_cache") = ttl_cache;
    py::module_ results = package_module("analysis.analysis_result");
    for (py::handle name : results.attr("__all__")) m.attr(name) = results.attr(name);

    py::dict field_mapping;
    field_mapping["citics_2019"] = "first_industry_name";
    field_mapping["sws"] = "index_name";
    m.attr("VALID_INDUSTRY_SOURCE") = py::make_tuple("citics_2019", "sws");
    m.attr("FIELD_MAPPING") = field_mapping;

    def(m, "_validate_data_frame", {"(df, name)", "检查 df 为 DatetimeIndex 索引的非空 DataFrame，否则抛出 ValueError。"},
        &validate_data_frame, py::arg("df"), py::arg("name"));
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
    m.attr("get_all_industry_data") = ttl_cache(10800)(py::cpp_function(
        &all_industry_data, py::name("get_all_industry_data"), py::arg("source") = "citics_2019",
        "获取行业分类全部历史。\n\n:param source: 行业分类来源，\"citics_2019\" 或 \"sws\"\n"
        ":return: DataFrame，列为 [行业名称, order_book_id, start_date]，按 order_book_id、start_date 升序"));
    m.attr("get_all_industry_category") = ttl_cache(10800)(py::cpp_function(
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
            &assayer_init, py::arg("self"))
        .method("append", {"(self, step)", "添加一个步骤。\n\n:param step: (名称, 处理器) 元组；名称在预处理与分析步骤间唯一"},
            &assayer_append, py::arg("self"), py::arg("step"))
        .method("analysis", {"(self, factor_data, returns, ascending=False, periods=1, keep_preprocess_result=False)",
                "执行流水线。\n\n:param factor_data: 因子值 DataFrame（行为交易日，列为标的）\n"
                ":param returns: \"daily\"（从行情客户端加载日收益率）或日收益率 DataFrame\n"
                ":param ascending: 分析步骤排序方向，默认降序\n"
                ":param periods: 持有期，int 或 int 的 tuple/list，默认 1\n"
                ":param keep_preprocess_result: 是否在结果中保留每个预处理步骤后的因子数据副本\n"
                ":return: 步骤名称到结果的 dict；流水线为空时返回 None"},
            &assayer_analysis, py::arg("self"), py::arg("factor_data"), py::arg("returns"),
            py::arg("ascending") = false, py::arg("periods") = 1, py::arg("keep_preprocess_result") = false)
        .build();
}

}  // namespace zarnik_py
