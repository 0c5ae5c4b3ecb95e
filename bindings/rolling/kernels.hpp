// zarnik.rolling: the numeric kernels as module functions, the private
// column-batch entry point used by the evaluation engine, and the catalogue.
#pragma once

#include <pybind11/pybind11.h>

namespace zarnik_py {
namespace py = pybind11;

// Defines the kernel `name` (a row of the catalogue, zarnik/kernels.hpp) on the module.
void def_rolling_kernel(py::module_& m, const char* name);

// Defines `_apply_columns(kernel, window, *arrays, last=None)`; call after every kernel.
void def_apply_columns(py::module_& m);

// Defines `KERNELS` (read-only mapping name -> KernelInfo) and `KernelInfo`.
void def_catalogue(py::module_& m);
}  // namespace zarnik_py
