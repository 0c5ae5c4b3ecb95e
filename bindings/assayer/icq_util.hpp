// Small helpers shared by the analysis steps of this module.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "assayer/assayer.hpp"
#include "common/frames.hpp"
#include "common/pyclass.hpp"

namespace zarnik_py::assayer_detail {

namespace py = pybind11;

// A collaborator looked up on the module at call time (so tests and users can
// substitute it); `fallback` when the module does not define it.
inline py::object module_attr(const char* name, py::object fallback = py::object()) {
    py::module_ m = assayer_module();
    if (py::hasattr(m, name)) return m.attr(name);
    if (fallback) return fallback;
    raise(PyExc_RuntimeError, std::string("zarnik.analysis.assayer.") + name + " is not available");
}

// A result class: the module's own name first, else the sibling module.
inline py::object result_class(const char* name) {
    py::module_ m = assayer_module();
    if (py::hasattr(m, name)) return m.attr(name);
    return package_module("analysis.analysis_result").attr(name);
}

inline void require_dataframe(const py::handle& obj, const char* name) {
    if (!py::isinstance(obj, pandas().attr("DataFrame"))) {
        raise(PyExc_ValueError, format("{}: expected a pandas DataFrame, got type={}", name,
                                       py::type::of(obj)));
    }
}

// Positions of `labels` in `index` (-1 where absent); raises ValueError when
// `index` has duplicate labels, as a reindex onto it would.
inline std::vector<std::int64_t> unique_positions(const py::object& index, const py::object& labels, const char* what) {
    if (!index.attr("is_unique").cast<bool>()) {
        raise(PyExc_ValueError, std::string(what) + ": cannot align on an axis with duplicate labels");
    }
    return positions(index, labels);
}

}  // namespace zarnik_py::assayer_detail
