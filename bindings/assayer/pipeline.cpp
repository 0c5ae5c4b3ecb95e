#include "assayer/assayer.hpp"
#include "common/pyclass.hpp"

namespace zarnik_py {

void register_pipeline(py::module_& m) {
    ClassBuilder(m, "FactorPreprocessor", py::tuple(), "因子数据预处理基础类。")
        .method("process",
                [](py::object self, py::object factor_data) -> py::object {
                    raise(PyExc_NotImplementedError, "Need implement FactorPreprocessor.process");
                },
                py::arg("self"), py::arg("factor_data"))
        .build();
    ClassBuilder(m, "FactorAnalyser", py::tuple(), "因子分析步骤基础类。")
        .attr("step_name", py::str("FactorAnalysisStep"))
        .method("analysis",
                [](py::object self, py::object factor_data, py::object returns, py::object periods,
                   py::object ascending) -> py::object {
                    raise(PyExc_NotImplementedError, "Need implement FactorAnalyser.analysis");
                },
                py::arg("self"), py::arg("factor_data"), py::arg("returns"), py::arg("periods"),
                py::arg("ascending") = true)
        .build();
}

}  // namespace zarnik_py
