#include "assayer/assayer.hpp"

PYBIND11_MODULE(assayer, m) {
    using namespace zarnik_py;
    m.doc() = "因子分析流水线：预处理（去极值、中性化、标准化）与分析（IC、分组收益、因子收益、分组风格暴露）。";
    register_pipeline(m);
    register_preprocess(m);
    register_neutralize(m);
    register_ic(m);
    register_quantile(m);
    register_factor_return(m);
    register_style(m);
    py::list all;
    for (const char* name : {"Winzorization", "Normalization", "Neutralization", "ICAnalysis",
                             "QuantileReturnAnalysis", "FactorReturnAnalysis", "QuantileStyleAnalysis",
                             "FactorAssayer"}) {
        all.append(py::str(name));
    }
    m.attr("__all__") = all;
}
