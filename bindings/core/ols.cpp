// zarnik._core.ols_residuals: per-date least-squares residuals over dense
// float64 arrays (the Python wrapper zarnik.analysis.ols converts inputs).
#include <pybind11/numpy.h>

#include "common/aligned.hpp"
#include "common/pyclass.hpp"
#include "core/core.hpp"
#include "zarnik/ols.hpp"

namespace zarnik_py {

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::array ols_residuals(const py::object& endog_obj, const py::object& exog_obj) {
    py::array endog_in = real_array(endog_obj, "endog", true), exog_in = real_array(exog_obj, "exog", true);
    require_ndim(endog_in, "endog", 2, "dates x instruments");
    require_ndim(exog_in, "exog", 3, "dates x instruments x regressors");
    Array endog = aligned_c_double(endog_in), exog = aligned_c_double(exog_in);
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
