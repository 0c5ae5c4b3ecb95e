// Holding periods and count arguments as the analysis steps read them: one
// parser for every analyser (zarnik.analysis.checks), so that the same
// `periods` argument means the same thing everywhere.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/modules.hpp"
#include "common/pyclass.hpp"

namespace zarnik_py {

namespace py = pybind11;

struct HoldingPeriod {
    long long value;  // the period in rows; LLONG_MAX stands for any longer one
    std::string key;  // its column key "P_{}"
};

// A Python int as a long long, saturating at LLONG_MAX / LLONG_MIN.
inline long long saturated(const py::handle& value) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : v;
}

// Positive integer periods, duplicates merged (first occurrence kept, so
// every column key appears once): a bare integer, or a list, tuple or other
// iterable of integers. Wrong types raise InvalidPeriodType, an empty
// selection or a period below 1 ValueError. Periods too large for a 64-bit
// integer are kept under their own key and behave like any period longer
// than the data.
inline std::vector<HoldingPeriod> parse_periods(const py::handle& periods) {
    std::vector<HoldingPeriod> out;
    for (py::handle p : analysis_check("parse_periods")(periods)) {
        py::tuple t = py::reinterpret_borrow<py::tuple>(p);
        out.push_back(HoldingPeriod{saturated(t[0]), t[1].cast<std::string>()});
    }
    return out;
}

// A count argument that must be an integer of at least `least`: its value,
// else ValueError format(message, obj).
inline long long require_count(const py::handle& obj, long long least, const std::string& message) {
    return saturated(analysis_check("require_count")(obj, least, message));
}

// A number of quantile groups over `width` instruments: an integer from 1 to
// max(width, 100). `verb` ("expect" or "expected") is the word of the step's messages.
inline long long group_count(const py::handle& obj, long long width, const char* verb) {
    return saturated(analysis_check("group_count")(obj, width, verb));
}

}  // namespace zarnik_py
