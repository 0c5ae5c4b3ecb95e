// Batch winsorization for zarnik.analysis.winsorize: one call per frame.
#include <pybind11/numpy.h>

#include <string>

#include "common/aligned.hpp"
#include "common/frames.hpp"
#include "common/pyclass.hpp"
#include "core/core.hpp"
#include "zarnik/winsorize.hpp"

namespace zarnik_py {

namespace {

py::array_t<double> winsorize_matrix(const py::object& values, const std::string& method) {
    zarnik::winsorize::Method m;
    try {
        m = zarnik::winsorize::parse_method(method);
    } catch (const std::invalid_argument&) {
        raise(PyExc_ValueError, format("method: expect one of ['mad', 'std', 'percentile'], got {!r}", method));
    }
    // Read in place whatever the layout (a frame's block is usually column-major).
    py::array in = readable_array(checked_array(values, "values", 2, "dates x instruments"));
    py::array_t<double> out({in.shape(0), in.shape(1)});
    const zarnik::rowwise::View view = view_of(in);
    double* dst = out.mutable_data();
    {
        py::gil_scoped_release release;
        zarnik::winsorize::winsorize(m, view, dst);
    }
    return out;
}

}  // namespace

void register_core_winsorize(py::module_& m) {
    m.def(
        "frame_values",
        [](const py::object& data, const std::string& name) { return frame_values(data, name.c_str(), false); },
        py::arg("data"), py::arg("name"),
        "The values of a DataFrame or Series as float64 (a view when already one float64 block); non-numeric "
        "data raises ValueError naming `name`.");
    m.def("winsorize", &winsorize_matrix, py::arg("values"), py::arg("method"),
          "Row-wise winsorization of a 2-D float array; returns a new array.");
}

}  // namespace zarnik_py
