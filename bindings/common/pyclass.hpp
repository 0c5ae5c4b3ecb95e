// Plain Python classes assembled from C++ callables.
//
// Classes users subclass must behave exactly like classes written in Python:
// `type(cls) is type`, instance attributes live in `__dict__`, a subclass may
// skip the base `__init__` and may override properties. pybind11's class_
// gives none of that, so each class is built at module init as
// `type(name, bases, namespace)` with C++ functions in the namespace:
//   * methods are cpp_functions wrapped in an instancemethod descriptor,
//   * properties are builtins.property(getter),
//   * static methods are builtins.staticmethod(fn).
// Method bodies read state through ordinary Python attribute lookup
// (self.attr("_factor")), so overrides in subclasses are always seen.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <utility>

#include "common/modules.hpp"

namespace zarnik_py {

namespace py = pybind11;

// The new reference a C API call returned, or its pending error raised.
inline py::object checked(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// The text signature and docstring of a bound callable: params as in
// "(self, other)", doc the text shown by help().
struct Signature {
    std::string params;
    std::string doc = "";
};

// "ma(x, window)\n--\n\n<doc>": a docstring that starts with the text
// signature, so that inspect.signature reports the parameters of a bound
// function. The name is the function's own (the part after the last dot).
inline std::string signed_doc(const char* name, const char* params, const char* doc = "") {
    const char* dot = std::strrchr(name, '.');
    return std::string(dot ? dot + 1 : name) + params + "\n--\n\n" + doc;
}

// A C++ callable whose docstring is exactly its text signature and `sig.doc`,
// whatever the calling module's signature options.
template <class F, class... Extra>
py::cpp_function signed_function(const char* name, const Signature& sig, F&& f, const Extra&... extra) {
    py::options options;
    options.disable_function_signatures();
    const std::string doc = signed_doc(name, sig.params.c_str(), sig.doc.c_str());
    return py::cpp_function(std::forward<F>(f), py::name(name), extra..., doc.c_str());
}

// A module-level function with a text signature:
// def(m, "f", {"(x, n=1)", "doc"}, f, py::arg("x"), py::arg("n") = 1).
template <class F, class... Extra>
void def(py::module_& m, const char* name, const Signature& sig, F&& f, const Extra&... extra) {
    m.add_object(name, signed_function(name, sig, std::forward<F>(f), py::scope(m), extra...), true);
}

// An instance-method descriptor around a C++ callable (first argument: the instance).
inline py::object as_method(const py::cpp_function& fn) { return checked(PyInstanceMethod_New(fn.ptr())); }

// An attribute of the builtins module (type, property, slice, ...).
inline py::object builtin(const char* name) {
    return py::module_::import("builtins").attr(name);
}

class ClassBuilder {
public:
    ClassBuilder(py::module_& module, const char* name, py::tuple bases = py::tuple(),
                 const char* doc = nullptr)
        : module_(module), name_(name), bases_(std::move(bases)) {
        ns_["__module__"] = module.attr("__name__");
        ns_["__qualname__"] = py::str(name);
        if (doc) ns_["__doc__"] = py::str(doc);
    }

    // An instance method with a text signature; `f` takes the instance as its
    // first argument: method("f", {"(self, x)", "doc"}, f, py::arg("self"), py::arg("x")).
    template <class F, class... Extra>
    ClassBuilder& method(const char* name, const Signature& sig, F&& f, const Extra&... extra) {
        ns_[name] = as_method(signed_function(name, sig, std::forward<F>(f), extra...));
        return *this;
    }

    // The class's __init__, named "<Class>.__init__" so argument errors read
    // like those of a Python class: init({"(self, value)"}, f, py::arg("self"), py::arg("value"));
    // inspect.signature(cls) then reports the same parameters without `self`
    // (zarnik.utils.InitSignature), for the class and subclasses that keep it.
    template <class F, class... Extra>
    ClassBuilder& init(const Signature& sig, F&& f, const Extra&... extra) {
        py::cpp_function fn = signed_function((name_ + ".__init__").c_str(), sig, std::forward<F>(f), extra...);
        ns_["__init__"] = as_method(fn);
        ns_["__signature__"] = package_module("utils").attr("InitSignature")(fn);
        return *this;
    }

    // Binds `alias` to the very descriptor stored under `name` (so that
    // Cls.alias is Cls.name).
    ClassBuilder& alias(const char* alias, const char* name) {
        ns_[alias] = ns_[name];
        return *this;
    }

    // A read-only property computed by getter(self); the getter's text
    // signature is "(self)".
    template <class F>
    ClassBuilder& property(const char* name, F&& getter, const char* doc = nullptr) {
        py::cpp_function fn = signed_function(name, {"(self)", doc ? doc : ""}, std::forward<F>(getter),
                                              py::arg("self"));
        ns_[name] = builtin("property")(fn, py::none(), py::none(),
                                        doc ? py::object(py::str(doc)) : py::object(py::none()));
        return *this;
    }

    // Any other class attribute (constants, None to disable __hash__, ...).
    ClassBuilder& attr(const char* name, py::object value) {
        ns_[name] = std::move(value);
        return *this;
    }

    // Creates the class, stores it in the module under its name and returns it.
    py::object build() {
        py::object cls = builtin("type")(py::str(name_), bases_, ns_);
        module_.attr(name_.c_str()) = cls;
        return cls;
    }

private:
    py::module_& module_;
    std::string name_;
    py::tuple bases_;
    py::dict ns_;
};

// Raises a Python exception of the given type; an empty message raises it
// without arguments (as a bare `raise AssertionError` or `assert x` does).
[[noreturn]] inline void raise(PyObject* type, const std::string& message = std::string()) {
    message.empty() ? PyErr_SetNone(type) : PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// Raises an instance of a Python exception class constructed with one message.
[[noreturn]] inline void raise_object(py::handle exc_type, py::handle message) {
    py::object exc = exc_type(message);
    PyErr_SetObject(exc_type.ptr(), exc.ptr());
    throw py::error_already_set();
}
[[noreturn]] inline void raise_object(py::handle exc_type, const std::string& message) {
    raise_object(exc_type, py::str(message));
}

// The answer of a C API predicate (1 true, 0 false), or its pending error raised.
inline bool checked_bool(int r) {
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// bool(obj), isinstance(obj, cls) and `a <op> b` (Py_LT, Py_GT ...); their errors propagate.
inline bool truthy(const py::handle& obj) { return checked_bool(PyObject_IsTrue(obj.ptr())); }
inline bool is_instance(py::handle obj, py::handle cls) { return checked_bool(PyObject_IsInstance(obj.ptr(), cls.ptr())); }
inline bool compare(py::handle a, py::handle b, int op) {
    return checked_bool(PyObject_RichCompareBool(a.ptr(), b.ptr(), op));
}

// True when assertion checks run (python without -O).
// The interpreter's optimisation level is fixed at start-up, so it is read once.
inline bool assertions_enabled() {
    static const bool enabled = py::module_::import("sys").attr("flags").attr("optimize").cast<int>() == 0;
    return enabled;
}

// An assertion check: `ok()` is not even evaluated when Python runs with -O.
template <class Ok>
void check(Ok&& ok, const char* message = "") {
    if (assertions_enabled() && !ok()) raise(PyExc_AssertionError, message);
}

// str.format on a template, for messages quoted verbatim; format_text keeps
// the result a Python string (the arguments may hold any text).
template <class... Args>
py::str format_text(const char* tmpl, Args&&... args) {
    return py::str(py::str(tmpl).attr("format")(std::forward<Args>(args)...));
}
template <class... Args>
std::string format(const char* tmpl, Args&&... args) {
    return format_text(tmpl, std::forward<Args>(args)...).template cast<std::string>();
}

}  // namespace zarnik_py
