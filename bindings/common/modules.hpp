// The package's own Python modules as seen from C++: looked up by their name
// under "zarnik." at the moment they are needed (sys.modules after the first
// import), so a module replaced in sys.modules is the one used.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zarnik_py {

namespace py = pybind11;

// zarnik.<name>, e.g. package_module("analysis.analysis_result").
inline py::module_ package_module(const char* name) {
    return py::module_::import((std::string("zarnik.") + name).c_str());
}

// A rule of zarnik.analysis.checks (the argument rules of the analysis steps:
// numeric dtypes, periods and counts, frame axes), looked up when called.
inline py::object analysis_check(const char* name) { return package_module("analysis.checks").attr(name); }

}  // namespace zarnik_py
