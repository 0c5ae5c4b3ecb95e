// The pandas bridge: FactorFrames in, dense float64 matrices plus labels out,
// and back. Every analysis step converts its frames here once, computes on
// the dense arrays in the C++ core, and builds its pandas results here once.
// The dtype rules and the conversion of pandas values to float64 are those of
// zarnik.analysis.checks (frame_values, float_matrix, long_table_codes).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "common/aligned.hpp"
#include "common/modules.hpp"
#include "common/pyclass.hpp"
#include "zarnik/layout.hpp"
#include "zarnik/rowwise.hpp"

namespace zarnik_py {

namespace py = pybind11;

using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A 2-D float64 array with whole-element strides as the core reads it.
inline zarnik::rowwise::View view_of(const py::array& a) {
    const auto stride = [&a](int d) { return static_cast<std::ptrdiff_t>(a.strides(d) / py::ssize_t(sizeof(double))); };
    return zarnik::rowwise::View{static_cast<const double*>(a.data()), static_cast<std::size_t>(a.shape(0)),
                                 static_cast<std::size_t>(a.shape(1)), stride(0), stride(1)};
}

// A frame's values with its labels: `Values` is a Matrix (C-contiguous; a
// private copy unless copy=false, see to_dense) or a py::array the core reads
// in place (2-D float64 with whole-element strides, see to_dense_view).
template <class Values>
struct Labeled {
    Values values;
    py::object index;    // the frame's row labels (pandas Index)
    py::object columns;  // the frame's column labels (pandas Index)

    zarnik::rowwise::View view() const { return view_of(values); }
    py::ssize_t rows() const { return values.shape(0); }
    py::ssize_t cols() const { return values.shape(1); }
};
using DenseFrame = Labeled<Matrix>;
using DenseView = Labeled<py::array>;

inline py::module_ pandas() { return py::module_::import("pandas"); }
inline py::module_ numpy() { return py::module_::import("numpy"); }

// `obj` must be a pandas DataFrame (ValueError naming it otherwise).
inline void require_frame(const py::handle& obj, const char* name) { analysis_check("require_frame")(obj, name); }

// The values of a frame (or series) as a float64 numpy array, without copying
// when they are one float64 block (pandas usually keeps that block
// column-major); missing values of nullable dtypes become NaN; anything but
// numbers raises a ValueError naming the data.
inline py::object frame_values(const py::handle& frame, const char* name, bool copy) {
    return analysis_check("frame_values")(frame, name, copy);
}

// A 2-D native float64 array, aligned, with whole-element strides: the C++
// core can read it in place through a zarnik::rowwise::View.
inline bool readable_float64(const py::array& a) {
    constexpr auto item = static_cast<py::ssize_t>(sizeof(double));
    return a.ndim() == 2 && py::isinstance<py::array_t<double>>(a) &&
           (py::detail::array_proxy(a.ptr())->flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) &&
           a.strides(0) % item == 0 && a.strides(1) % item == 0;
}

// `arr` as an array the core reads in place: itself when readable_float64,
// else an aligned C-order float64 copy.
inline py::array readable_array(const py::handle& arr) {
    py::array a = py::array::ensure(arr);
    if (!a || !readable_float64(a)) a = aligned_c_double(arr);
    return a;
}

// With copy=false the matrix may be a read-only view of the frame's own
// float64 block: for callers that only read it.
inline DenseFrame to_dense(const py::handle& frame, const char* name = "factor_data", bool copy = true) {
    // Taken without a copy first: a column-major block is then transposed once
    // (cache-blocked, in C++, without the GIL) instead of copied and transposed again.
    py::object arr = frame_values(frame, name, false);
    py::array a = py::array::ensure(arr);
    Matrix values;
    if (a && readable_float64(a) && !(a.flags() & py::array::c_style)) {
        values = Matrix({a.shape(0), a.shape(1)});
        const zarnik::rowwise::View v = view_of(a);
        double* dst = values.mutable_data();
        py::gil_scoped_release release;
        zarnik::rowwise::copy_to_c_order(v, dst);
    } else {
        values = aligned_c_double(arr);
        if (copy && values.ptr() == arr.ptr()) values = aligned_c_double(values.attr("copy")());  // may be a view
    }
    return DenseFrame{values, frame.attr("index"), frame.attr("columns")};
}

// The frame's values as an array the C++ core reads in place (no copy for a
// single float64 block, whatever its layout), for callers that only read.
inline DenseView to_dense_view(const py::handle& frame, const char* name = "factor_data") {
    return DenseView{readable_array(frame_values(frame, name, false)), frame.attr("index"), frame.attr("columns")};
}

// Builds a DataFrame over `values` (taken without copying) with fresh label
// objects carrying the given names; the caller's Index objects are never
// renamed in place.
inline py::object to_frame(const py::array& values, const py::object& index, const py::object& columns,
                           const py::object& index_name = py::none(),
                           const py::object& columns_name = py::none()) {
    py::object pd = pandas();
    py::object idx = pd.attr("Index")(index);
    py::object cols = pd.attr("Index")(columns);
    if (!index_name.is_none()) idx = idx.attr("rename")(index_name);
    if (!columns_name.is_none()) cols = cols.attr("rename")(columns_name);
    return pd.attr("DataFrame")(values, py::arg("index") = idx, py::arg("columns") = cols,
                                py::arg("copy") = false);
}

// A result DataFrame over `values` (pandas' own constructor, labels as given).
inline py::object dataframe(const py::object& values, const py::object& index, const py::object& columns) {
    return pandas().attr("DataFrame")(values, py::arg("index") = index, py::arg("columns") = columns);
}

using LongIndexArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// The integers of an array-like (codes, positions) as a C-order int64 array,
// without a copy when they are one already.
inline LongIndexArray int64_array(const py::handle& obj) {
    LongIndexArray arr = LongIndexArray::ensure(obj);
    if (!arr) throw py::error_already_set();
    return arr;
}

// The same as a vector of its own (for callers that rewrite the values).
inline std::vector<std::int64_t> int64_values(const py::handle& obj) {
    LongIndexArray arr = int64_array(obj);
    return std::vector<std::int64_t>(arr.data(), arr.data() + arr.size());
}

// Position of each of `target` in `labels` (-1 where absent): Index.get_indexer,
// with `method` ("ffill", ...) when given.
inline std::vector<std::int64_t> positions(const py::object& labels, const py::object& target,
                                           const py::object& method = py::none()) {
    return int64_values(method.is_none() ? labels.attr("get_indexer")(target)
                                         : labels.attr("get_indexer")(target, py::arg("method") = method));
}

// ---------------------------------------------------------------------------
// Long tables and label arrays (the IC analysis): a 2-D numeric value, a long
// table indexed by (datetime, order_book_id) scattered into dense matrices,
// and group codes of a label array in sorted label order.

inline Matrix as_matrix(const py::handle& obj, const char* name) {
    return aligned_c_double(analysis_check("float_matrix")(obj, name));
}

// A long table (rows indexed by (datetime, order_book_id)) scattered back
// into dense dates x instruments matrices, dates ascending.
struct DenseLong {
    py::object dates;                   // the used date labels, ascending
    std::size_t T = 0, N = 0;
    std::vector<std::vector<double>> m; // one T x N matrix per requested column
};

// The labels are read by zarnik.analysis.checks.long_table_codes.
inline DenseLong long_to_dense(const py::object& table, const std::vector<py::object>& cols) {
    py::tuple levels = analysis_check("long_table_codes")(table);
    py::object dlevel = levels[0];
    const LongIndexArray dcodes = int64_array(levels[1]), ocodes = int64_array(levels[2]);
    const LongIndexArray dorder = int64_array(levels[3]);
    const std::size_t rows = static_cast<std::size_t>(dcodes.size());
    const std::size_t nd = static_cast<std::size_t>(py::len(dlevel));
    std::vector<std::int64_t> row_of(nd);
    std::vector<std::int64_t> used = zarnik::layout::date_rows(dcodes.data(), rows, dorder.data(), nd, row_of.data());
    DenseLong out;
    out.T = used.size();
    out.N = levels[4].cast<std::size_t>();
    out.dates = dlevel.attr("take")(array_of(used)).attr("rename")("datetime");
    std::vector<Matrix> src;
    std::vector<const double*> srcp;
    for (const auto& c : cols) {
        src.push_back(aligned_c_double(analysis_check("long_table_column")(table, c)));
        srcp.push_back(src.back().data());
    }
    if (!zarnik::layout::scatter(dcodes.data(), ocodes.data(), rows, row_of.data(), nd, out.T, out.N, srcp, out.m)) {
        raise(PyExc_ValueError, "factor_data: index contains duplicate entries");
    }
    return out;
}

// Group codes of a label array in sorted label order (-1: missing label) and
// the sorted labels. Object arrays are first reduced to their distinct
// objects (labels are usually a few shared objects), then factorized.
inline std::pair<std::vector<std::int64_t>, py::object> factorize_sorted(const py::object& key) {
    py::object np = numpy(), pd = pandas();
    py::object arr = np.attr("asarray")(key);
    if (py::isinstance<py::array>(arr) && py::cast<py::array>(arr).dtype().kind() == 'O' &&
        py::cast<py::array>(arr).ndim() == 1) {
        py::array a = np.attr("ascontiguousarray")(arr);
        const std::size_t n = static_cast<std::size_t>(a.size());
        std::vector<std::int64_t> ids(n), codes(n);
        std::vector<std::int64_t> first =
            zarnik::layout::first_seen(static_cast<PyObject* const*>(a.data()), n, ids.data());
        py::tuple fz = pd.attr("factorize")(a[array_of(first)], py::arg("sort") = true);
        LongIndexArray small = LongIndexArray::ensure(fz[0]);
        zarnik::layout::take(small.data(), ids.data(), n, codes.data());
        return {std::move(codes), fz[1]};
    }
    py::tuple fz = pd.attr("factorize")(key, py::arg("sort") = true);
    return {int64_values(fz[0]), fz[1]};
}

}  // namespace zarnik_py
