// Shared state and helpers of the zarnik.interface module.
//
// The node classes are plain Python classes (see common/pyclass.hpp). Their
// C++ bodies only read and write Python attributes, so everything here works
// on py::object and goes through the ordinary Python protocols.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

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
};

State& state();

inline py::handle cls(PyObject* p) { return py::handle(p); }

// Module globals, looked up on every use so that they can be substituted.
inline py::object global(const char* name) {
    return py::reinterpret_borrow<py::object>(state().module).attr(name);
}

inline bool is_factor(py::handle obj) { return zarnik_py::is_instance(obj, state().abstract_factor); }

// a - b, a + b through the Python protocols (look-backs may be any numbers).
inline py::object subtract(py::handle a, py::handle b) { return zarnik_py::checked(PyNumber_Subtract(a.ptr(), b.ptr())); }
inline py::object add(py::handle a, py::handle b) { return zarnik_py::checked(PyNumber_Add(a.ptr(), b.ptr())); }

// The members (expr, dependencies, shift properties and __repr__; `_repr`
// for binary nodes) of one node kind, computed by iterative walks (walk.cpp).
// kind: leaf, constant, unary, offset, binary, combined, rolling,
// combined_rolling; an offset node also names its row function and the name
// its representation shows.
py::dict node_members(const std::string& kind, py::object func, py::object name);

// node.shift, read without a Python call when the node's class uses one of
// the walked members.
py::object lookback(py::handle node);

// The name a function node shows: numpy's true_divide is the same object as
// divide and reports "divide" as its __name__, but division nodes read better
// (and match the operator they come from) as "true_divide".
py::object function_name(py::handle func);

void register_classes(py::module_& m);

}  // namespace zarnik_interface
