// Dense float64 input arrays the C++ core can read as doubles.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
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

// The first and one-past-last byte an array spans (any strides; empty: lo == hi).
inline std::pair<const char*, const char*> extent(const py::array& x) {
    const char* lo = static_cast<const char*>(x.data());
    const char* hi = lo + x.itemsize();
    for (py::ssize_t d = 0; d < x.ndim(); ++d) {
        if (x.shape(d) == 0) return {lo, lo};
        const py::ssize_t reach = (x.shape(d) - 1) * x.strides(d);
        (reach < 0 ? lo : hi) += reach;
    }
    return {lo, hi};
}

// A caller's `out` argument for a rows x cols result of dtype `dt`: a numpy
// array of that exact shape and type, writeable, aligned, C-contiguous (or
// F-contiguous unless `c_only`), not sharing memory with an input (kernels
// read their inputs after writing earlier results). Else TypeError or
// ValueError naming `out`.
inline py::array checked_out(const py::handle& given, py::ssize_t rows, py::ssize_t cols, const py::dtype& dt,
                             bool c_only, std::initializer_list<const py::array*> inputs) {
    if (!py::isinstance<py::array>(given))
        raise(PyExc_TypeError, format("out: expected a numpy array, got {}", py::type::of(given).attr("__name__")));
    py::array out = py::reinterpret_borrow<py::array>(given);
    if (out.ndim() != 2 || out.shape(0) != rows || out.shape(1) != cols)
        raise(PyExc_ValueError, format("out: expected an array of shape ({}, {}), got {}", rows, cols, out.attr("shape")));
    const py::dtype got = out.dtype();
    if (got.kind() != dt.kind() || got.itemsize() != dt.itemsize() || got.byteorder() == '>')
        raise(PyExc_TypeError, format("out: expected dtype {}, got {}", dt, got));
    using api = py::detail::npy_api;
    const int flags = py::detail::array_proxy(out.ptr())->flags;
    if (!(flags & api::NPY_ARRAY_WRITEABLE_)) raise(PyExc_ValueError, "out: the array is read-only");
    const int layouts = api::NPY_ARRAY_C_CONTIGUOUS_ | (c_only ? 0 : api::NPY_ARRAY_F_CONTIGUOUS_);
    if (!(flags & api::NPY_ARRAY_ALIGNED_) || !(flags & layouts))
        raise(PyExc_ValueError, c_only ? "out: expected an aligned C-contiguous array"
                                       : "out: expected an aligned C- or F-contiguous array");
    const auto [lo, hi] = extent(out);
    for (const py::array* in : inputs) {
        const auto [a, b] = extent(*in);
        if (a < hi && lo < b) raise(PyExc_ValueError, "out: shares memory with an input");
    }
    return out;
}

}  // namespace zarnik_py
