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

// A function of zarnik.analysis.market_data, the one layer through which the
// extension modules call the market-data client `ostrel`.
inline py::object market_data(const char* name) { return package_module("analysis.market_data").attr(name); }

// A reshaping rule of the pure-pandas zarnik.analysis.market_tables (the labels of market tables).
inline py::object market_table(const char* name) { return package_module("analysis.market_tables").attr(name); }

}  // namespace zarnik_py
