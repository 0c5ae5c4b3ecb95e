// The one rule of the analysers on a frame's axes: rows are dates in
// ascending order, each date once; columns are instruments, each once; and
// frames compared with each other agree on being timezone-aware or naive.
// Lagging, holding and compounding walk the rows in order, so a shuffled or
// repeated date would give plausible but wrong numbers; such frames are
// refused with a message naming the frame.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "common/pyclass.hpp"

namespace zarnik_py {

namespace py = pybind11;

namespace axes_detail {

// A date label as text: the calendar date alone when it is midnight.
inline std::string label_text(const py::object& label) {
    try {
        if (py::hasattr(label, "normalize") && py::bool_(label.attr("normalize")().attr("__eq__")(label)) &&
            py::getattr(label, "tz", py::none()).is_none()) {
            return py::str(label.attr("date")()).cast<std::string>();
        }
    } catch (py::error_already_set&) {
    }
    return py::str(label).cast<std::string>();
}

inline std::string first_repeated(const py::object& labels) {
    py::object dup = labels.attr("duplicated")();
    py::object where = py::module_::import("numpy").attr("flatnonzero")(dup);
    if (py::len(where) == 0) return "?";
    return label_text(labels[where[py::int_(0)]]);
}

}  // namespace axes_detail

// Rows of `frame` must be ascending unique dates (no missing date).
inline void require_ascending_dates(const py::handle& frame, const char* name) {
    py::object index = frame.attr("index");
    if (py::bool_(py::getattr(index, "hasnans", py::bool_(false)))) {
        raise(PyExc_ValueError, std::string(name) +
                                    ": expected ascending unique dates in the index, found a missing date (NaT)");
    }
    const bool unique = py::bool_(index.attr("is_unique"));
    if (!unique) {
        raise(PyExc_ValueError, std::string(name) + ": expected ascending unique dates in the index, found duplicate date " +
                                    axes_detail::first_repeated(index) + " (drop the repeated rows first)");
    }
    bool ascending = false;
    try {
        ascending = py::bool_(index.attr("is_monotonic_increasing"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;  // labels that cannot be compared
    }
    if (!ascending) {
        py::object np = py::module_::import("numpy");
        std::string where;
        try {
            py::object values = index.attr("to_numpy")();
            py::object slice = py::module_::import("builtins").attr("slice");
            py::object later = values.attr("__getitem__")(slice(1, py::none()));
            py::object earlier = values.attr("__getitem__")(slice(py::none(), -1));
            py::object bad = np.attr("flatnonzero")(later.attr("__le__")(earlier));
            if (py::len(bad) > 0) {
                py::int_ i(bad[py::int_(0)]);
                where = ": " + axes_detail::label_text(index[py::int_(i.cast<long long>() + 1)]) + " comes after " +
                        axes_detail::label_text(index[i]);
            }
        } catch (py::error_already_set&) {
            where.clear();
        }
        raise(PyExc_ValueError, std::string(name) + ": expected ascending unique dates in the index, the dates are out of order" +
                                    where + " (sort it with sort_index())");
    }
}

// Columns of `frame` must be unique instrument ids.
inline void require_unique_columns(const py::handle& frame, const char* name) {
    py::object columns = frame.attr("columns");
    if (!py::bool_(columns.attr("is_unique"))) {
        raise(PyExc_ValueError, std::string(name) + ": expected unique instrument columns, found duplicate column " +
                                    axes_detail::first_repeated(columns));
    }
}

// The timezone of a frame's index (None when naive or not a date index).
inline py::object index_tz(const py::handle& frame) {
    return py::getattr(frame.attr("index"), "tz", py::none());
}

// Two frames whose dates are matched with each other: both naive or both in
// the same timezone.
inline void require_same_timezone(const py::handle& a, const char* a_name, const py::handle& b, const char* b_name) {
    py::object ta = index_tz(a), tb = index_tz(b);
    if (ta.is_none() && tb.is_none()) return;
    auto describe = [](const py::object& tz) {
        return tz.is_none() ? std::string("timezone-naive") : "in timezone " + py::str(tz).cast<std::string>();
    };
    if (ta.is_none() != tb.is_none() || !py::str(ta).equal(py::str(tb))) {
        raise(PyExc_ValueError, std::string(b_name) + ": expected dates in the same timezone as " + a_name + "'s (" +
                                    describe(ta) + "), got dates " + describe(tb));
    }
}

// Everything an analyser needs of its factor and returns frames.
inline void require_analysis_axes(const py::handle& factor_data, const py::handle& returns) {
    require_ascending_dates(factor_data, "factor_data");
    require_unique_columns(factor_data, "factor_data");
    require_ascending_dates(returns, "returns");
    require_unique_columns(returns, "returns");
    require_same_timezone(factor_data, "factor_data", returns, "returns");
}

}  // namespace zarnik_py
