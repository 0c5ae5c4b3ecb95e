// zarnik._core.percentile_rank and zarnik._core.cell_correlations: percentile
// ranks of every date and correlations within (date, group) cells, both from
// the core's one rank routine.
#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

#include "common/aligned.hpp"
#include "common/frames.hpp"
#include "common/pyclass.hpp"
#include "core/core.hpp"
#include "zarnik/correlation.hpp"
#include "zarnik/ranks.hpp"

namespace zarnik_py {

namespace {

using F64 = py::array_t<double, py::array::c_style | py::array::forcecast>;
using I64 = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

F64 float_array(const py::object& values, const char* name, int ndim) {
    return aligned_c_double(checked_array(values, name, ndim));
}

py::array percentile_rank(const py::object& values, bool ascending, const py::object& given) {
    // any layout is read in place (column-major frames a few dates at a time), not copied to C order first
    py::array in = readable_array(checked_array(values, "values", 2));
    const py::ssize_t rows = in.shape(0), cols = in.shape(1);
    if (static_cast<std::size_t>(cols) > 0x7FFFFFFFu) raise(PyExc_ValueError, "values: too many instruments");
    py::array out = given.is_none() ? py::array(py::array_t<double>({rows, cols}))
                                    : checked_out(given, rows, cols, py::dtype::of<double>(), true, {&in});
    const zarnik::rowwise::View view = view_of(in);
    double* dst = static_cast<double*>(out.mutable_data());
    py::gil_scoped_release release;
    zarnik::ranks::percentile_rows(view, ascending, dst);
    return out;
}

py::tuple cell_correlations(const py::object& factor, const py::list& returns, const py::object& cells,
                            long long n_cells, bool rank) {
    F64 f = float_array(factor, "factor", 1);
    I64 c = I64::ensure(numpy().attr("asarray")(cells));
    if (!c || c.ndim() != 1 || c.shape(0) != f.shape(0)) {
        raise(PyExc_ValueError, "cells: expected one integer cell code per factor value");
    }
    const std::size_t rows = static_cast<std::size_t>(f.shape(0));
    if (rows > 0x7FFFFFFFu) raise(PyExc_ValueError, "factor: too many rows");
    for (std::size_t i = 0; i < rows; ++i) {
        if (c.data()[i] >= n_cells) raise(PyExc_ValueError, format("cells: codes must be below n_cells = {}", n_cells));
    }
    std::vector<F64> rs;
    std::vector<const double*> rp;
    for (py::handle r : returns) {
        rs.push_back(float_array(py::reinterpret_borrow<py::object>(r), "returns", 1));
        if (rs.back().shape(0) != f.shape(0)) raise(PyExc_ValueError, "returns: expected one value per factor value");
        rp.push_back(rs.back().data());
    }
    const std::size_t G = n_cells < 0 ? 0 : static_cast<std::size_t>(n_cells), K = rp.size();
    py::array_t<double> r = new_array(G, K);
    py::array_t<std::int64_t> n = new_array<std::int64_t>(G, K);
    {
        double* pr = r.mutable_data();
        std::int64_t* pn = n.mutable_data();
        py::gil_scoped_release release;
        zarnik::corr::cell_correlations(f.data(), rp, rows, c.data(), G, rank, pr, pn);
    }
    return py::make_tuple(r, n);
}

}  // namespace

void register_core_ranks(py::module_& m) {
    def(m, "percentile_rank", {"(values, ascending=True, out=None)",
            "Percentile rank of every value within its row of a dates x instruments array: the "
            "average rank of tied values divided by the row's count of non-missing values, in (0, 1]. "
            "NaN is missing and stays NaN; +-inf rank above and below every number. The result is a "
            "new C-order float64 array, or `out` filled (an aligned, writeable C-order float64 array "
            "of the same shape, not sharing memory with `values`)."},
        &percentile_rank, py::arg("values"), py::arg("ascending") = true, py::arg("out") = py::none());
    def(m, "cell_correlations", {"(factor, returns, cells, n_cells, rank=True)",
            "Correlation (Spearman with rank, else Pearson) of each 1-D array of `returns` with "
            "`factor` within every cell c < n_cells, over the rows with cells == c where both are "
            "present. Returns (r, n): n_cells x len(returns) coefficients (NaN below two rows or "
            "without spread) and pair counts."},
        &cell_correlations, py::arg("factor"), py::arg("returns"), py::arg("cells"), py::arg("n_cells"),
        py::arg("rank") = true);
}

}  // namespace zarnik_py
