// Shared state and helpers of the zarnik.interface module.
//
// The node classes are plain Python classes (see common/pyclass.hpp). Their
// C++ bodies only read and write Python attributes, so everything here works
// on py::object and goes through the ordinary Python protocols.
#pragma once

#include <pybind11/pybind11.h>

#include "common/pyclass.hpp"

namespace zarnik_interface {

namespace py = pybind11;

// Objects created at module init and kept for the life of the process (the
// module is never unloaded; the references are deliberately never released).
struct State {
    PyObject *module, *abstract_factor, *constant_factor, *unary_factor, *shifted_factor, *binary_factor;
};
inline State& state() {
    static State s{};
    return s;
}

// Module globals, looked up on every use so that they can be substituted.
inline py::object global(const char* name) { return py::handle(state().module).attr(name); }

inline bool is_factor(py::handle obj) { return zarnik_py::is_instance(obj, state().abstract_factor); }

// a - b, a + b through the Python protocols (look-backs may be any numbers).
inline py::object subtract(py::handle a, py::handle b) { return zarnik_py::checked(PyNumber_Subtract(a.ptr(), b.ptr())); }
inline py::object add(py::handle a, py::handle b) { return zarnik_py::checked(PyNumber_Add(a.ptr(), b.ptr())); }

// Attribute names, interned once. The first five are the walked members,
// the next seven the operand slots of zarnik::walk::Slot, in its order.
enum Name {
    kExpr, kDeps, kShift, kRepr, kText, kMembers = 5,
    nFactor = kMembers, nArgs, nArg1, nArg2, nN, nWindow, nFactors, nFunc, nShift, nValue, nReprArgs, nReprText,
    nName, kNames
};
extern const char* const kNameText[kNames];
PyObject* name(Name n);
inline py::object get(py::handle obj, Name n) { return zarnik_py::checked(PyObject_GetAttr(obj.ptr(), name(n))); }
inline void set(py::handle obj, Name n, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name(n), value.ptr()) < 0) throw py::error_already_set();
}

// The docstrings of expr, dependencies and shift.
extern const char* const kMemberDoc[3];

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
inline py::object function_name(py::handle func) {
    py::object numpy = global("np");
    if (py::hasattr(numpy, "true_divide") && func.is(numpy.attr("true_divide"))) return py::str("true_divide");
    return func.attr("__name__");
}

}  // namespace zarnik_interface
