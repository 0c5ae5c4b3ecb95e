// zarnik.analysis.assayer: each source file of this folder registers one
// group of names into the module, in the order module.cpp calls them.
#pragma once

#include <pybind11/pybind11.h>

#include "common/modules.hpp"

namespace zarnik_py {
namespace py = pybind11;

// The module itself, for the collaborators its steps look up at call time.
inline py::module_ assayer_module() { return package_module("analysis.assayer"); }

// A function of zarnik.analysis.pipeline_steps (the pipeline's run and its step rules).
inline py::object pipeline_step(const char* name) { return package_module("analysis.pipeline_steps").attr(name); }

void register_pipeline(py::module_& m);      // validation helpers, step bases, loaders, FactorAssayer
void register_preprocess(py::module_& m);    // Winzorization, Normalization
void register_neutralize(py::module_& m);    // Neutralization
void register_ic(py::module_& m);            // ICAnalysis, _get_ic_func
void register_quantile(py::module_& m);      // QuantileReturnAnalysis
void register_factor_return(py::module_& m); // FactorReturnAnalysis
void register_style(py::module_& m);         // QuantileStyleAnalysis
}  // namespace zarnik_py
