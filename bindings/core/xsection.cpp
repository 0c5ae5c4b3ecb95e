// zarnik._core.cross_section: the per-date operators of factor formulas
// (ranks, buckets, demeaning, z-scores, scaling; whole dates or groups).
#include <pybind11/numpy.h>

#include <string>

#include "common/aligned.hpp"
#include "common/frames.hpp"
#include "common/pyclass.hpp"
#include "core/core.hpp"
#include "zarnik/crosssection.hpp"

namespace zarnik_py {

namespace {

py::array cross_section(const py::object& values, const std::string& op, const py::object& groups, double param,
                        const py::object& given) {
    zarnik::cs::Op o;
    if (op == "rank") o = zarnik::cs::Op::rank;
    else if (op == "bucket") o = zarnik::cs::Op::bucket;
    else if (op == "demean") o = zarnik::cs::Op::demean;
    else if (op == "zscore") o = zarnik::cs::Op::zscore;
    else if (op == "scale") o = zarnik::cs::Op::scale;
    else raise(PyExc_ValueError, format("op: expect one of ['rank', 'bucket', 'demean', 'zscore', 'scale'], got {!r}", op));
    if (o == zarnik::cs::Op::bucket && !(param >= 1.0 && param <= 1e9 && param == static_cast<double>(static_cast<long long>(param)))) {
        raise(PyExc_ValueError, format("n: expected a whole number of buckets >= 1, got {}", param));
    }
    py::array in = readable_array(checked_array(values, "values", 2, "dates x instruments"));
    const py::ssize_t rows = in.shape(0), cols = in.shape(1);
    if (cols > static_cast<py::ssize_t>(0x7FFFFFFF)) raise(PyExc_ValueError, "values: too many instruments");
    py::array_t<double, py::array::c_style | py::array::forcecast> g;
    const double* gp = nullptr;
    if (!groups.is_none()) {
        g = aligned_c_double(checked_array(groups, "groups", 2, "dates x instruments"));
        if (g.shape(0) != rows || g.shape(1) != cols) {
            raise(PyExc_ValueError, format("groups: shape ({}, {}) does not match the values' shape ({}, {})",
                                           g.shape(0), g.shape(1), rows, cols));
        }
        gp = g.data();
    }
    py::array out = given.is_none() ? py::array(py::array_t<double>({rows, cols}))
                                    : checked_out(given, rows, cols, py::dtype::of<double>(), true, {&in, &g});
    const zarnik::rowwise::View view = view_of(in);
    double* dst = static_cast<double*>(out.mutable_data());
    {
        py::gil_scoped_release release;
        zarnik::cs::apply(view, gp, dst, o, param);
    }
    return out;
}

}  // namespace

void register_core_xsection(py::module_& m) {
    m.def("cross_section", &cross_section, py::arg("values"), py::arg("op"), py::arg("groups") = py::none(),
          py::arg("param") = 0.0, py::arg("out") = py::none(),
          "Per-date operator over a dates x instruments array: op is 'rank' (average ranks / count, in (0, 1]), "
          "'bucket' (1..param by rank), 'demean', 'zscore' (sample std over finite values) or 'scale' "
          "(param * x / sum |x|); within each group of `groups` (same shape, codes; NaN = no group) when given. "
          "NaN is missing and stays NaN; +-inf are ordered values. Returns a new C-order float64 array, or fills and "
          "returns `out` (an aligned, writeable C-order float64 array of the same shape, not sharing memory with "
          "the inputs).");
}

}  // namespace zarnik_py
