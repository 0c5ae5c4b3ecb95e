// zarnik._core.ols_residuals: per-date least-squares residuals over dense
// float64 arrays (the Python wrapper zarnik.analysis.ols converts inputs).
#include <pybind11/numpy.h>

#include <string>

#include "common/aligned.hpp"
#include "common/pyclass.hpp"
#include "core/core.hpp"
#include "zarnik/ols.hpp"

namespace zarnik_py {

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

Array as_float_array(const py::handle& obj, const char* name) {
    py::array raw = py::array::ensure(obj);
    if (!raw) {
        PyErr_Clear();
        raise(PyExc_TypeError, std::string(name) + ": expected an array of numbers");
    }
    const char kind = raw.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
        raise(PyExc_TypeError, std::string(name) + ": expected a real numeric array, got dtype " +
                                   py::str(raw.dtype()).cast<std::string>());
    }
    return aligned_c_double(raw);
}

py::array ols_residuals(const py::object& endog_obj, const py::object& exog_obj) {
    Array endog = as_float_array(endog_obj, "endog");
    Array exog = as_float_array(exog_obj, "exog");
    if (endog.ndim() != 2) {
        raise(PyExc_ValueError,
              format("endog: expected a 2-D array (dates x instruments), got {} dimension(s)", endog.ndim()));
    }
    if (exog.ndim() != 3) {
        raise(PyExc_ValueError,
              format("exog: expected a 3-D array (dates x instruments x regressors), got {} dimension(s)",
                     exog.ndim()));
    }
    const py::ssize_t t = endog.shape(0), n = endog.shape(1), k = exog.shape(2);
    if (exog.shape(0) != t || exog.shape(1) != n) {
        raise(PyExc_ValueError, format("exog: shape {} does not match endog shape {}: expected ({}, {}, K)",
                                       py::make_tuple(exog.shape(0), exog.shape(1), k), py::make_tuple(t, n), t, n));
    }
    py::array_t<double> out({t, n});
    const double* y = endog.data();
    const double* x = exog.data();
    double* o = out.mutable_data();
    {
        py::gil_scoped_release release;
        zarnik::ols::residuals(y, x, static_cast<std::size_t>(t), static_cast<std::size_t>(n),
                               static_cast<std::size_t>(k), o);
    }
    return out;
}

}  // namespace

void register_core_ols(py::module_& m) {
    m.def("ols_residuals", &ols_residuals, py::arg("endog"), py::arg("exog"),
          "Per-date least-squares residuals: endog T x N, exog T x N x K -> T x N (NaN outside "
          "the complete rows of each date).");
}

}  // namespace zarnik_py
