// Dense float64 input arrays the C++ core can read as doubles.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <vector>

#include "common/pyclass.hpp"

namespace zarnik_py {

namespace py = pybind11;

using CDoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A C-contiguous, aligned float64 array of `obj`. pybind11's ensure() keeps an
// unaligned buffer (a view at an odd byte offset) as it is, and reading it as
// doubles is undefined behaviour: such a buffer is copied.
inline CDoubleArray aligned_c_double(const py::handle& obj) {
    CDoubleArray a = CDoubleArray::ensure(obj);
    if (!a) throw py::error_already_set();
    if (!(py::detail::array_proxy(a.ptr())->flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_)) {
        py::object copy = py::module_::import("numpy").attr("array")(a, py::arg("dtype") = "float64",
                                                                      py::arg("order") = "C", py::arg("copy") = true);
        a = CDoubleArray::ensure(copy);
        if (!a) throw py::error_already_set();
    }
    return a;
}

// A new C-order rows x cols array (uninitialised), sized as the core counts.
template <class T = double>
py::array_t<T> new_array(std::size_t rows, std::size_t cols) {
    return py::array_t<T>({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
}

// A new 1-D array holding a copy of `values`.
template <class T>
py::array_t<T> array_of(const std::vector<T>& values) {
    return py::array_t<T>(static_cast<py::ssize_t>(values.size()), values.data());
}

// The one dtype check of the array entry points: `obj` as a numpy array of
// real numbers (float, integer or boolean dtype), else TypeError naming it.
// A failed conversion propagates its own error, or with `wrap` becomes a
// TypeError "<name>: expected an array of numbers".
inline py::array real_array(const py::handle& obj, const char* name, bool wrap = false) {
    py::array arr = wrap ? py::array::ensure(obj) : py::cast<py::array>(py::module_::import("numpy").attr("asarray")(obj));
    if (!arr) raise(PyExc_TypeError, std::string(name) + ": expected an array of numbers");
    const char kind = arr.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
        raise(PyExc_TypeError, format("{}: expected a real numeric array, got dtype {}", name, arr.dtype()));
    }
    return arr;
}

// `arr` must have `ndim` dimensions; `layout` ("dates x instruments") is named
// in the message when given.
inline void require_ndim(const py::array& arr, const char* name, int ndim, const char* layout = nullptr) {
    if (arr.ndim() == ndim) return;
    const std::string shown = layout ? format(" ({})", layout) : std::string();
    raise(PyExc_ValueError, format("{}: expected a {}-D array{}, got {} dimension(s)", name, ndim, shown, arr.ndim()));
}

// real_array(obj, name) with `ndim` dimensions (require_ndim).
inline py::array checked_array(const py::handle& obj, const char* name, int ndim, const char* layout = nullptr) {
    py::array arr = real_array(obj, name);
    require_ndim(arr, name, ndim, layout);
    return arr;
}

}  // namespace zarnik_py
