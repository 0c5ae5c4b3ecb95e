// Winzorization and Normalization: cross-sectional preprocessing steps. The
// choice of a winsorization method is read in zarnik.analysis.pipeline_steps.
#include <pybind11/numpy.h>

#include "assayer/assayer.hpp"
#include "common/frames.hpp"
#include "common/pyclass.hpp"
#include "zarnik/normalize.hpp"

namespace zarnik_py {

namespace {

py::object normalization_process(py::object self, py::object factor_data) {
    require_frame(factor_data, "factor_data");
    DenseView dense = to_dense_view(factor_data, "factor_data");
    Matrix out({dense.rows(), dense.cols()});
    {
        const zarnik::rowwise::View in = dense.view();
        double* dst = out.mutable_data();
        py::gil_scoped_release release;
        zarnik::xsection::zscore(in, dst);
    }
    return to_frame(out, dense.index, dense.columns);
}

}  // namespace

void register_preprocess(py::module_& m) {
    py::module_ winsorize = package_module("analysis.winsorize");
    py::object batch = winsorize.attr("BATCH_WINSORIZE_METHODS");
    py::object rowwise = winsorize.attr("WINSORIZE_METHODS");
    m.attr("WINSORIZE_METHODS") = rowwise;
    m.attr("BATCH_WINSORIZE_METHODS") = batch;
    py::object chain = py::module_::import("collections").attr("ChainMap")(batch, rowwise);
    m.attr("VALID_WINSORIZE_METHODS") = builtin("set")(chain);

    py::object base = m.attr("FactorPreprocessor");
    ClassBuilder(m, "Winzorization", py::make_tuple(base),
                 "去极值：逐日对截面因子值去极值。\n\n"
                 ":param method: 去极值方法，\"mad\"（默认）、\"std\" 或 \"percentile\"")
        .init({"(self, method='mad')", "选择去极值方法：\"mad\"、\"std\" 或 \"percentile\"。"},
            [](py::object self, py::object method) { self.attr("method") = pipeline_step("winsorization_method")(method); },
            py::arg("self"), py::arg("method") = "mad")
        .method("process", {"(self, factor_data)", "对因子数据去极值，返回新的 DataFrame。"},
            [](py::object self, py::object factor_data) { return pipeline_step("winsorize")(self.attr("method"), factor_data); },
            py::arg("self"), py::arg("factor_data"))
        .build();
    ClassBuilder(m, "Normalization", py::make_tuple(base),
                 "标准化：逐日将截面因子值转换为 z 分数（减去均值，除以样本标准差）。\n\n"
                 "均值与标准差取自当日的有限值；无穷值标准化为 0，缺失值保持缺失。")
        .method("process", {"(self, factor_data)", "对因子数据标准化，返回新的 DataFrame。"},
            &normalization_process, py::arg("self"), py::arg("factor_data"))
        .build();
}

}  // namespace zarnik_py
