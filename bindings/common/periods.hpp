// Holding periods as the analysis steps read them: one parser for every
// analyser, so that the same `periods` argument means the same thing
// everywhere.
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

// Raises zarnik.exception.InvalidPeriodType (a TypeError and a ValueError).
[[noreturn]] inline void raise_period_type(const std::string& message) {
    raise_object(package_module("exception").attr("InvalidPeriodType"), message);
}

// A count argument (max_decay, quantile, a period) as a long long,
// saturating at LLONG_MAX / LLONG_MIN; `ok` false when it is not an integer
// (bool included). `value_out`, when given, receives operator.index(obj).
inline long long read_count(const py::handle& obj, bool& ok, py::object* value_out = nullptr) {
    ok = false;
    if (py::isinstance(obj, builtin("bool"))) return 0;
    py::object value;
    try {
        value = py::module_::import("operator").attr("index")(obj);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        return 0;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    ok = true;
    if (value_out) *value_out = value;
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    return v;
}

// Positive integer periods, duplicates merged (first occurrence kept, so
// every column key appears once). A bare integer, or a list, tuple or other
// iterable of integers. Wrong types raise
// InvalidPeriodType, an empty selection or a period below 1 ValueError.
// Periods too large for a 64-bit integer are kept under their own key and
// behave like any period longer than the data.
inline std::vector<HoldingPeriod> parse_periods(const py::handle& periods) {
    const bool is_bool = py::isinstance(periods, builtin("bool"));
    py::object items = py::reinterpret_borrow<py::object>(periods);
    if (!is_bool && !py::isinstance<py::str>(periods) && !py::isinstance<py::bytes>(periods) &&
        py::hasattr(periods, "__index__") && !py::hasattr(periods, "__iter__")) {
        items = py::make_tuple(periods);
    } else if (is_bool || py::isinstance<py::str>(periods) || py::isinstance<py::bytes>(periods) ||
               py::isinstance<py::dict>(periods) || !py::hasattr(periods, "__iter__")) {
        raise_period_type(format("periods: expect a list or tuple of positive integers, got {}",
                                 py::type::of(periods)));
    }
    std::vector<HoldingPeriod> out;
    std::unordered_set<std::string> seen;
    for (py::handle p : items) {
        bool ok = false;
        py::object value;
        const long long v = read_count(p, ok, &value);
        if (!ok) raise_period_type(format("periods: expect positive integers, got {!r}", p));
        if (v < 1) raise(PyExc_ValueError, format("periods: expect positive integers, got {!r}", p));
        std::string key = "P_" + py::str(value).cast<std::string>();
        if (seen.insert(key).second) out.push_back(HoldingPeriod{v, std::move(key)});
    }
    if (out.empty()) {
        raise(PyExc_ValueError, format("periods: expect at least one positive integer holding period, got {!r}",
                                       periods));
    }
    return out;
}

// A count argument that must be an integer of at least `least`: its value,
// else ValueError format(message, obj).
inline long long require_count(const py::handle& obj, long long least, const std::string& message) {
    bool ok = false;
    const long long v = read_count(obj, ok);
    if (!ok || v < least) raise(PyExc_ValueError, format(message.c_str(), obj));
    return v;
}

// A number of quantile groups over `width` instruments: an integer from 1 to
// max(width, 100). More groups than instruments only add empty groups; the
// bound keeps the group tables within the size of the data. `verb` ("expect"
// or "expected") is the word of the step's messages.
inline long long group_count(const py::handle& obj, long long width, const char* verb) {
    const std::string head = std::string("quantile: ") + verb;
    const long long q = require_count(obj, 1, head + " a positive integer, got {!r}");
    const long long most = std::max<long long>(width, 100);
    if (q > most) {
        raise(PyExc_ValueError,
              format((head + " at most max(number of instruments, 100) = {} groups, got {}").c_str(), most, obj));
    }
    return q;
}

}  // namespace zarnik_py
