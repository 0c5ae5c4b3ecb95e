#pragma once

#include <pybind11/pybind11.h>

namespace zarnik_py {
namespace py = pybind11;

void register_core_winsorize(py::module_& m);  // batch winsorization (mad, std, percentile)
void register_core_ols(py::module_& m);        // per-date least-squares residuals
void register_core_xsection(py::module_& m);   // cross-sectional helpers (ranks, correlations)
void register_core_ranks(py::module_& m);      // percentile ranks, correlations within cells
void register_core_elementwise(py::module_& m);  // fused element-wise programs
void register_core_presence(py::module_& m);     // present cells per row, constant rows
}  // namespace zarnik_py
