// The one rule of the analysers on a frame's axes (ascending unique dates,
// unique instruments, one timezone for frames matched with each other),
// checked by zarnik.analysis.checks: label work on pandas indexes that reads
// and words better in Python than through py:: calls.
#pragma once

#include <pybind11/pybind11.h>

#include "common/modules.hpp"

namespace zarnik_py {

namespace py = pybind11;

// Rows of `frame` must be ascending unique dates (no missing date).
inline void require_ascending_dates(const py::handle& frame, const char* name) {
    analysis_check("require_ascending_dates")(frame, name);
}

// Columns of `frame` must be unique instrument ids.
inline void require_unique_columns(const py::handle& frame, const char* name) {
    analysis_check("require_unique_columns")(frame, name);
}

// The timezone of a frame's index (None when naive or not a date index).
inline py::object index_tz(const py::handle& frame) { return py::getattr(frame.attr("index"), "tz", py::none()); }

// Everything an analyser needs of its factor and returns frames.
inline void require_analysis_axes(const py::handle& factor_data, const py::handle& returns) {
    analysis_check("require_analysis_axes")(factor_data, returns);
}

}  // namespace zarnik_py
