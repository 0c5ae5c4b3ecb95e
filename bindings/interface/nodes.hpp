// Shared state and helpers of the zarnik.interface module.
//
// The node classes are plain Python classes (see common/pyclass.hpp). Their
// C++ bodies only read and write Python attributes, so everything here works
// on py::object and goes through the ordinary Python protocols.
#pragma once

#include <pthread.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>

#include "common/pyclass.hpp"

namespace zarnik_interface {

namespace py = pybind11;

// Objects created at module init and kept for the life of the process
// (the module is never unloaded; the references are deliberately not
// released, so no destructor runs after the interpreter shuts down).
struct State {
    PyObject* module = nullptr;          // zarnik.interface itself
    PyObject* abstract_factor = nullptr;
    PyObject* constant_factor = nullptr;
    PyObject* unary_factor = nullptr;
    PyObject* shifted_factor = nullptr;
    PyObject* binary_factor = nullptr;
    PyObject* shift_function = nullptr;  // the function behind ShiftedFactor._shift
};

State& state();

inline py::handle cls(PyObject* p) { return py::handle(p); }

// Module globals, looked up on every use so that they can be substituted.
inline py::object global(const char* name) {
    return py::reinterpret_borrow<py::object>(state().module).attr(name);
}

inline bool is_factor(py::handle obj) {
    int r = PyObject_IsInstance(obj.ptr(), state().abstract_factor);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// a > b, a < b through Python comparison (look-backs may be any numbers).
inline bool greater(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}
inline bool less(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}
inline py::object subtract(py::handle a, py::handle b) {
    PyObject* r = PyNumber_Subtract(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}
inline py::object add(py::handle a, py::handle b) {
    PyObject* r = PyNumber_Add(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// Appends every element of `items` (any iterable) to `out`.
inline void extend(py::list& out, py::handle items) {
    PyObject* r = PyNumber_InPlaceAdd(out.ptr(), items.ptr());
    if (!r) throw py::error_already_set();
    Py_DECREF(r);
}

// Walking a tree recurses once per level through C. Python's recursion
// limit bounds that only as long as nobody raises it far beyond what the
// thread's stack holds, so the walk also stops, with RecursionError, when
// less than a safety margin of this thread's stack is left.
inline void check_stack() {
    // The margin leaves room for the Python calls made between two checks and
    // for raising the error; small thread stacks keep three quarters usable.
    constexpr std::size_t kMargin = 512 * 1024;
    thread_local const char* limit = nullptr;
    thread_local bool known = false;
    if (!known) {
        known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr) {
                limit = static_cast<const char*>(addr) + std::min(kMargin, size / 4);
            }
            pthread_attr_destroy(&attr);
        }
    }
    char here = 0;
    if (limit && reinterpret_cast<const char*>(&here) < limit) {
        zarnik_py::raise(PyExc_RecursionError, "factor tree too deep to walk on this thread's stack");
    }
}

// The name a function node shows: numpy's true_divide is the same object as
// divide and reports "divide" as its __name__, but division nodes read better
// (and match the operator they come from) as "true_divide".
py::object function_name(py::handle func);

void register_classes(py::module_& m);

}  // namespace zarnik_interface
