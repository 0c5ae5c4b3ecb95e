// FactorReturnAnalysis: cumulative return of the factor's long-short
// portfolio per holding period, computed over dense arrays.
#include <pybind11/numpy.h>

#include <cstdint>
#include <string>
#include <vector>

#include "assayer/assayer.hpp"
#include "common/axes.hpp"
#include "common/frames.hpp"
#include "common/modules.hpp"
#include "common/periods.hpp"
#include "common/pyclass.hpp"
#include "zarnik/factor_return.hpp"

namespace zarnik_py {

namespace {

py::object factor_return_analysis(py::object self, py::object factor_data, py::object returns, py::object periods,
                                  py::object ascending) {
    require_frame(factor_data, "factor_data");
    require_frame(returns, "returns");
    require_analysis_axes(factor_data, returns);
    const std::vector<HoldingPeriod> ps = parse_periods(periods);
    const bool asc = truthy(ascending);

    DenseFrame factor = to_dense(factor_data, "factor_data");
    DenseFrame rets = to_dense(returns, "returns");
    std::vector<std::int64_t> row_of = positions(rets.index, factor.index);
    std::vector<std::int64_t> col_of = positions(rets.columns, factor.columns);

    const std::size_t t_count = static_cast<std::size_t>(factor.rows());
    std::vector<std::size_t> lengths;
    for (const HoldingPeriod& p : ps) lengths.push_back(static_cast<std::size_t>(p.value));
    Matrix result({static_cast<py::ssize_t>(t_count), static_cast<py::ssize_t>(ps.size())});
    {
        const double* f = factor.values.data();
        const double* r = rets.values.data();
        double* res = result.mutable_data();
        py::gil_scoped_release release;
        zarnik::factor_return::cumulative_returns(f, t_count, static_cast<std::size_t>(factor.cols()), asc, r,
                                                  static_cast<std::size_t>(rets.rows()),
                                                  static_cast<std::size_t>(rets.cols()), row_of.data(),
                                                  col_of.data(), lengths.data(), lengths.size(), res);
    }
    py::list columns;
    for (const HoldingPeriod& p : ps) columns.append(py::str(p.key));
    py::object frame = to_frame(result, factor.index, columns, py::str("datetime"));
    py::object result_cls = package_module("analysis.analysis_result").attr("FactorReturnAnalysisResult");
    return result_cls(py::arg("factor_returns") = frame, py::arg("name") = self.attr("step_name"));
}

}  // namespace

void register_factor_return(py::module_& m) {
    ClassBuilder(m, "FactorReturnAnalysis", py::make_tuple(m.attr("FactorAnalyser")),
                 "因子收益测试：按前一日去均值因子值构建多空组合（权重绝对值之和为 1），"
                 "每 period 个交易日调仓，对 period 个错开调仓日的组合取平均日收益，并复利累计。")
        .method("analysis", {"(self, factor_data, returns, periods, ascending=True)",
                "计算各持有期的因子收益。\n\n"
                ":param factor_data: 因子数据，行为日期，列为标的\n"
                ":param returns: 日收益率数据，行为日期，列为标的\n"
                ":param periods: 持有期（交易日数）列表\n"
                ":param ascending: 为真时因子值越小权重越大（权重取反）\n"
                ":return: FactorReturnAnalysisResult，factor_returns 每列为一个持有期（P_1、P_5 …）的累计收益"},
            &factor_return_analysis, py::arg("self"), py::arg("factor_data"), py::arg("returns"), py::arg("periods"),
            py::arg("ascending") = true)
        .build();
}

}  // namespace zarnik_py
