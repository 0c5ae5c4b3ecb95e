// zarnik.rolling: the numeric kernels as module functions, and the private
// column-batch entry point used by the evaluation engine.
#pragma once

#include <pybind11/pybind11.h>

namespace zarnik_py {
namespace py = pybind11;

// Defines the kernel `name` (one of the 21 lower-case kernels) on the module.
void def_rolling_kernel(py::module_& m, const char* name);

// Defines `_apply_columns(kernel, window, *arrays)`; call after every kernel.
void def_apply_columns(py::module_& m);
}  // namespace zarnik_py
