// Python entry points of the rolling kernels: argument checks, dtype
// normalisation, the output array, and one call into the core runner
// (zarnik/columns.hpp) without the GIL. The kernels themselves, their
// argument order and result types come from the catalogue (zarnik/kernels.hpp).
#include "rolling/kernels.hpp"

#include <pybind11/numpy.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/aligned.hpp"
#include "common/modules.hpp"
#include "common/pyclass.hpp"
#include "zarnik/columns.hpp"
#include "zarnik/kernels.hpp"

namespace zarnik_py {
namespace {

namespace zr = zarnik::rolling;
namespace zc = zarnik::columns;
using zr::Kernel;
using zr::KernelInfo;
using zr::kKernels;
using zr::kNumKernels;
using zc::ElemType;

// The kernel function objects, for identifying a kernel passed to
// _apply_columns.
PyObject* g_kernel_objects[kNumKernels] = {};

// numpy, imported once (kept for the life of the interpreter).
const py::module_& np() {
    static const py::module_* mod = new py::module_(py::module_::import("numpy"));
    return *mod;
}

// ---------------------------------------------------------------------------
// argument checks (the rule of zarnik.utils.check_window)
// ---------------------------------------------------------------------------
py::array as_array(py::handle x, int ndim) {
    py::array arr = py::isinstance<py::array>(x) ? py::reinterpret_borrow<py::array>(x)
                                                  : py::array(np().attr("asarray")(x));
    if (arr.ndim() != ndim) raise(PyExc_ValueError, format("expected a {}-D array, got {}-D", ndim, arr.ndim()));
    return arr;
}

// Positions and counts are held in 32 bits inside the core.
constexpr py::ssize_t kMaxLength = 0xFFFFFFF0;

std::size_t check_window(py::handle window, py::ssize_t length) {
    if (length > kMaxLength)
        raise(PyExc_ValueError, format("series of more than {} values are not supported, got {}", kMaxLength, length));
    if (PyLong_CheckExact(window.ptr())) {  // the common case, without Python calls
        int overflow = 0;
        long long w = PyLong_AsLongLongAndOverflow(window.ptr(), &overflow);
        if (!overflow && w >= 1 && w <= length) return std::size_t(w);
    }
    // Anything else: the rule (and messages) of zarnik.utils.check_window.
    return package_module("utils").attr("check_window")(window, length).cast<std::size_t>();
}

// Brings an input to a dtype the core handles: booleans, fixed-size integers,
// float32 or float64, native byte order. float16 is computed as float32 (and
// reductions that keep the input type cast back); wider floats as float64.
struct Input {
    py::array arr;
    bool half = false;
};

// Booleans, fixed-size integers and native float32 / float64 are handled as
// they are; anything else is converted by zarnik.utils.kernel_input.
Input normalize(Kernel k, py::array arr) {
    const py::dtype dt = arr.dtype();
    const char kind = dt.kind();
    const int size = int(dt.itemsize());
    const bool native = dt.byteorder() != (std::endian::native == std::endian::little ? '>' : '<');
    if (native && (kind == 'b' || kind == 'i' || kind == 'u' || (kind == 'f' && (size == 4 || size == 8))))
        return Input{arr};
    py::tuple r = package_module("utils").attr("kernel_input")(zr::info(k).name, arr, k == Kernel::count);
    return Input{py::array(r[0]), r[1].cast<bool>()};
}

// The element type of a normalised input; integers of 1, 2, 4 and 8 bytes
// follow each other in ElemType.
ElemType elem_type(const py::array& arr) {
    const char kind = arr.dtype().kind();
    const int width = std::countr_zero(unsigned(arr.dtype().itemsize()));
    if (kind == 'b') return ElemType::b;
    if (kind == 'i' || kind == 'u') return ElemType(int(kind == 'i' ? ElemType::i8 : ElemType::u8) + width);
    return width == 2 ? ElemType::f32 : ElemType::f64;
}

// The result dtype of the kernel on this input type (the catalogue's rule).
py::dtype out_dtype(Kernel k, ElemType t, const py::array& arr) {
    switch (zr::info(k).result) {
        case zr::Result::int64: return py::dtype::of<std::int64_t>();
        case zr::Result::input: return arr.dtype();
        case zr::Result::total:
            if (t == ElemType::f32 || t == ElemType::f64) return arr.dtype();
            if (t >= ElemType::u8 && t <= ElemType::u64) return py::dtype::of<std::uint64_t>();
            return py::dtype::of<std::int64_t>();
        case zr::Result::float64: break;
    }
    return py::dtype::of<double>();
}

// Series shorter than this (in values, all columns together) run with the
// GIL held: they take a few microseconds, less than handing the GIL over and
// taking it back costs when other threads wait for it.
constexpr std::size_t kReleaseGil = 1 << 14;

// Runs the job (without the GIL unless it is small), then reports its
// floating-point conditions as numpy's error state asks
// (zarnik.utils.report_conditions).
void run_job(const zc::Job& job) {
    unsigned flags;
    if (job.L * job.N < kReleaseGil) {
        flags = zc::run(job);
    } else {
        py::gil_scoped_release release;
        flags = zc::run(job);
    }
    if (flags == 0) return;
    package_module("utils").attr("report_conditions")(zr::info(job.kern).name, bool(flags & zc::divide),
                                                      bool(flags & zc::overflow), bool(flags & zc::invalid));
}

// Whether the dates of a 2-D operand are adjacent in memory and its
// instruments are not (a column-major layout, or a slice of one).
bool dates_adjacent(const py::array& x) {
    const py::ssize_t item = x.itemsize();
    return x.strides(0) == item && x.strides(1) != item;
}

// Runs kernel `k` over one series per input (1-D arrays) or over every column
// of 2-D (dates x instruments) arrays; `last` places the block grid (see
// parse_last), `out` (2-D only; None for a new array) receives the result.
// The inputs are checked together, then normalised. They stay on the stack:
// calls on short series are common, so the fixed cost counts.
py::object run_kernel(Kernel k, py::handle window, std::initializer_list<py::array> inputs, std::int64_t last = -1,
                      py::handle given = py::handle()) {
    const KernelInfo& s = zr::info(k);
    const py::array* raw = inputs.begin();
    const bool pair = inputs.size() == 2, columns = raw[0].ndim() == 2;
    if (pair && !columns && raw[0].shape(0) != raw[1].shape(0))
        raise(PyExc_ValueError, format("{} and {} must have the same length, got {} and {}", s.params[1],
                                       s.params[2], raw[0].shape(0), raw[1].shape(0)));
    if (pair && columns && (raw[0].shape(0) != raw[1].shape(0) || raw[0].shape(1) != raw[1].shape(1)))
        raise(PyExc_ValueError, format("{} and {} must have the same shape, got {} and {}", s.params[1],
                                       s.params[2], raw[0].attr("shape"), raw[1].attr("shape")));
    const std::size_t n = check_window(window, raw[0].shape(0));
    Input first = normalize(k, raw[0]);
    Input second = pair ? normalize(k, raw[1]) : first;
    // Two-series kernels compute in float64 whatever the inputs are, so both
    // series share one element type.
    for (Input* in : {&first, &second})
        if (pair && elem_type(in->arr) != ElemType::f64) in->arr = in->arr.attr("astype")(np().attr("float64"));
    const py::array &a = first.arr, &b = second.arr;
    const std::size_t L = std::size_t(a.shape(0)), N = columns ? std::size_t(a.shape(1)) : 1, m = L - n + 1;
    const ElemType t = elem_type(a);
    py::dtype odt = out_dtype(k, t, a);
    // Operands whose dates are adjacent (column-major) give a column-major
    // result, as numpy's order="K" does: each column is then read and written
    // as one contiguous series.
    const bool by_columns = columns && N > 1 && m > 1 && dates_adjacent(a) && (!pair || dates_adjacent(b));
    // The output array straight from numpy, shape and strides on the stack
    // (row-major strides as pybind11's array constructor computes them).
    const py::ssize_t item = odt.itemsize();
    Py_intptr_t shape[2] = {Py_intptr_t(m), Py_intptr_t(N)};
    Py_intptr_t strides[2] = {columns ? Py_intptr_t(item) * shape[1] : Py_intptr_t(item), Py_intptr_t(item)};
    if (by_columns) strides[0] = item, strides[1] = item * Py_intptr_t(m);
    py::array out;
    if (given && !given.is_none()) {
        if (first.half) raise(PyExc_TypeError, "out: not supported for float16 inputs");
        out = checked_out(given, shape[0], shape[1], odt, false, {&a, &b});
    } else {
        auto& api = py::detail::npy_api::get();
        out = py::reinterpret_steal<py::array>(api.PyArray_NewFromDescr_(
            api.PyArray_Type_, odt.release().ptr(), columns ? 2 : 1, shape, strides, nullptr, 0, nullptr));
        if (!out) throw py::error_already_set();
    }
    // byte stride along instruments (none for one series)
    auto across = [columns](const py::array& x) { return columns ? x.strides(1) : py::ssize_t(0); };
    zc::Job job{k, t, {static_cast<const char*>(a.data()), pair ? static_cast<const char*>(b.data()) : nullptr},
                {a.strides(0), pair ? b.strides(0) : 0}, {across(a), pair ? across(b) : 0}, L, n, N,
                static_cast<char*>(out.mutable_data()), out.strides(0), across(out)};
    job.out_size = std::size_t(out.itemsize());
    job.last = last;
    run_job(job);
    // float16 inputs ran as float32; results of the input's type go back to float16
    if (first.half && s.result != zr::Result::float64 && k != Kernel::count)
        return out.attr("astype")(np().attr("float16"));
    return out;
}

// ---------------------------------------------------------------------------
// column batch: every column of 2-D (dates x instruments) arrays at once
// ---------------------------------------------------------------------------
Kernel resolve_kernel(py::handle kernel) {
    for (std::size_t i = 0; i < kNumKernels; ++i)
        if (kernel.ptr() == g_kernel_objects[i]) return kKernels[i].id;
    if (py::isinstance<py::str>(kernel)) {
        if (const KernelInfo* s = zr::find(kernel.cast<std::string>().c_str())) return s->id;
    }
    raise(PyExc_TypeError,
          format("kernel must be a rolling kernel of zarnik.rolling or its name, got {!r}", kernel));
}

// `last`: the position of the arrays' last row on a fixed scale (for example
// its index in the trading calendar); the block grid of the kernels is laid on
// that scale, so a date's value does not depend on where the arrays start or
// end. None: positions counted back from the last row. Values other than None
// are read by zarnik.utils.check_last. `out`: an array for the result (see
// check_out), or None.
std::int64_t parse_keywords(const py::kwargs& kw, py::handle& out) {
    std::int64_t last = -1;
    for (auto item : kw) {
        std::string key = py::str(item.first);
        if (key == "out") {
            out = item.second;
            continue;
        }
        if (key != "last") raise(PyExc_TypeError, format("_apply_columns() got an unexpected keyword argument {!r}", key));
        if (!item.second.is_none()) last = package_module("utils").attr("check_last")(item.second).cast<std::int64_t>();
    }
    return last;
}

py::object apply_columns(py::handle kernel, py::handle window, py::args arrays, py::kwargs kw) {
    py::handle out;
    const std::int64_t last = parse_keywords(kw, out);
    Kernel k = resolve_kernel(kernel);
    const KernelInfo& s = zr::info(k);
    const std::size_t want = std::size_t(s.inputs);
    if (arrays.size() != want)
        raise(PyExc_TypeError, format("{} takes {} array(s), got {}", s.name, want, arrays.size()));
    if (want == 2) return run_kernel(k, window, {as_array(arrays[0], 2), as_array(arrays[1], 2)}, last, out);
    return run_kernel(k, window, {as_array(arrays[0], 2)}, last, out);
}

// The kernels are plain built-in functions (no bound self), so that they show
// as <built-in function ma> inside expression keys. Each parses its two or
// three arguments, positional or by keyword, and runs the shared entry point.
PyMethodDef g_kernel_defs[kNumKernels] = {};
std::string g_kernel_docs[kNumKernels];

template <std::size_t I>
PyObject* kernel_run(PyObject* a0, PyObject* a1, PyObject* a2) {
    const KernelInfo& s = kKernels[I];
    const bool pair = s.inputs == 2;
    try {
        py::object r = pair ? run_kernel(s.id, a0, {as_array(a1, 1), as_array(a2, 1)})
                            : run_kernel(s.id, a1, {as_array(a0, 1)});
        return r.release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// Any other way of passing the arguments: they are parsed as a tuple and a
// dict by the interpreter's own rules (and messages).
template <std::size_t I>
PyObject* kernel_parse(PyObject* args, PyObject* kwargs) {
    const KernelInfo& s = kKernels[I];
    char* names[] = {const_cast<char*>(s.params[0]), const_cast<char*>(s.params[1]),
                     const_cast<char*>(s.params[2]), nullptr};
    PyObject *a0 = nullptr, *a1 = nullptr, *a2 = nullptr;
    static const std::string fmt = std::string(s.inputs == 2 ? "OOO:" : "OO:") + s.name;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt.c_str(), names, &a0, &a1, &a2)) return nullptr;
    return kernel_run<I>(a0, a1, a2);
}

// The common call, every argument by position, goes straight to the kernel
// without building an argument tuple.
template <std::size_t I>
PyObject* kernel_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t want = kKernels[I].inputs + 1;
    if (!kwnames && nargs == want) return kernel_run<I>(args[0], args[1], want == 3 ? args[2] : nullptr);
    py::tuple pos = py::reinterpret_steal<py::tuple>(PyTuple_New(nargs));
    if (!pos) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(pos.ptr(), i, args[i]);
    }
    py::object kw;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        kw = py::reinterpret_steal<py::object>(PyDict_New());
        if (!kw) return nullptr;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j)
            if (PyDict_SetItem(kw.ptr(), PyTuple_GET_ITEM(kwnames, j), args[nargs + j]) < 0) return nullptr;
    }
    return kernel_parse<I>(pos.ptr(), kw.ptr());
}

template <std::size_t... I>
std::array<PyCFunction, sizeof...(I)> entries(std::index_sequence<I...>) {
    return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&kernel_entry<I>))...};
}

const char* kResultNames[] = {"int64", "float64", "input", "total"};

}  // namespace

void def_rolling_kernel(py::module_& m, const char* name) {
    static const auto table = entries(std::make_index_sequence<kNumKernels>{});
    const KernelInfo* s = zr::find(name);
    if (!s) throw std::logic_error(std::string("unknown rolling kernel ") + name);
    const std::size_t i = std::size_t(s - kKernels);
    // The docstring holds only the text signature, so __doc__ is None and
    // inspect.signature reports the parameter names.
    g_kernel_docs[i] = s->inputs == 2 ? format("{}({}, {}, {})\n--\n\n", s->name, s->params[0], s->params[1], s->params[2])
                                      : format("{}({}, {})\n--\n\n", s->name, s->params[0], s->params[1]);
    g_kernel_defs[i] = PyMethodDef{s->name, table[i], METH_FASTCALL | METH_KEYWORDS, g_kernel_docs[i].c_str()};
    py::object modname = m.attr("__name__");
    PyObject* fn = PyCFunction_NewEx(&g_kernel_defs[i], nullptr, modname.ptr());
    if (!fn) throw py::error_already_set();
    m.attr(s->name) = py::reinterpret_steal<py::object>(fn);
    g_kernel_objects[i] = fn;  // the module keeps it alive
}

void def_apply_columns(py::module_& m) {
    m.def("_apply_columns", &apply_columns, py::arg("kernel"), py::arg("window"),
          "_apply_columns(kernel, window, *arrays, last=None, out=None)\n--\n\n"
          "Runs a rolling kernel over every column of 2-D (dates x instruments) arrays.\n\n"
          "last: the position of the arrays' last row on a fixed scale (e.g. its index in the\n"
          "trading calendar); values then depend only on each window and its position, not on\n"
          "how many rows precede or follow it. None: positions counted from the last row.\n"
          "out: an aligned, writeable C- or F-contiguous array of the result's shape and dtype,\n"
          "not sharing memory with the inputs, that receives the result and is returned.\n"
          "None: a new array (column-major for column-major inputs).");
    m.def("_columns_isa", [] { return std::string(zc::stream_isa()); },
          "The instruction set of _apply_columns' streamed running sums in this process now: 'avx512', "
          "'avx2' (ZARNIK_NO_AVX512 / ZARNIK_NO_AVX2 set switch them off), 'sse2' or 'scalar'.");
}

// The rows of the catalogue as tuples; zarnik.utils.kernel_catalogue makes
// them the module's KernelInfo records.
void def_catalogue(py::module_& m) {
    py::list rows;
    for (const KernelInfo& s : kKernels) {
        py::list params, ops;
        for (int p = 0; p < s.inputs + 1; ++p) params.append(s.params[p]);
        ops.append(s.op);
        for (const char* a : s.aliases)
            if (a) ops.append(a);
        if (s.derived) ops.append(s.derived);
        rows.append(py::make_tuple(s.name, s.inputs, py::tuple(params), kResultNames[int(s.result)], py::tuple(ops)));
    }
    py::tuple catalogue = package_module("utils").attr("kernel_catalogue")(m.attr("__name__"), rows);
    m.attr("KernelInfo") = catalogue[0];
    m.attr("KERNELS") = catalogue[1];
}

}  // namespace zarnik_py
