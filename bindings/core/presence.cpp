// Per-row counts of present cells and constant rows, for the coverage account.
#include <pybind11/numpy.h>

#include <cstdint>

#include "common/aligned.hpp"
#include "common/frames.hpp"
#include "common/pyclass.hpp"
#include "core/core.hpp"
#include "zarnik/presence.hpp"

namespace zarnik_py {

namespace {

py::tuple row_presence(const py::object& values, bool column_counts) {
    py::array in = readable_array(checked_array(values, "values", 2, "dates x instruments"));
    const zarnik::rowwise::View view = view_of(in);
    py::array_t<std::int64_t> counts(static_cast<py::ssize_t>(view.rows));
    py::array_t<bool> constant(static_cast<py::ssize_t>(view.rows));
    py::object per_column = py::none();
    std::int64_t* col = nullptr;
    if (column_counts) {
        py::array_t<std::int64_t> c(static_cast<py::ssize_t>(view.cols));
        col = c.mutable_data();
        per_column = c;
    }
    std::int64_t* cnt = counts.mutable_data();
    auto* flag = reinterpret_cast<std::uint8_t*>(constant.mutable_data());
    {
        py::gil_scoped_release release;
        zarnik::presence::row_presence(view, cnt, flag, col);
    }
    return py::make_tuple(counts, constant, per_column);
}

}  // namespace

void register_core_presence(py::module_& m) {
    m.def("row_presence", &row_presence, py::arg("values"), py::arg("column_counts") = false,
          "(counts, constant, column_counts) of a 2-D float array: the non-NaN cells of each row, whether "
          "each row has at least two values all equal, and (with column_counts) the non-NaN cells of each "
          "column (else None).");
}

}  // namespace zarnik_py
