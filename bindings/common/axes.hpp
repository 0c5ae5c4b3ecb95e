// The one rule of the analysers on a frame's axes (ascending unique dates,
// unique instruments, one timezone for frames matched with each other),
// checked by zarnik.analysis.checks: label work on pandas indexes that reads
// and words better in Python than through py:: calls.
#pragma once

#include <pybind11/pybind11.h>

#include "common/modules.hpp"

namespace zarnik_py {

namespace py = pybind11;

// Everything an analyser needs of its factor and returns frames.
inline void require_analysis_axes(const py::handle& factor_data, const py::handle& returns) {
    analysis_check("require_analysis_axes")(factor_data, returns);
}

}  // namespace zarnik_py
