// Dense float64 input arrays the C++ core can read as doubles.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

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

}  // namespace zarnik_py
