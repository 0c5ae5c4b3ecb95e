// zarnik._core.fused_elementwise: runs a register program of element-wise
// operations over panels (zarnik/elementwise.hpp), for the evaluation engine.
#include <pybind11/numpy.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/pyclass.hpp"
#include "core/core.hpp"
#include "zarnik/elementwise.hpp"

namespace zarnik_py {

namespace {

namespace ew = zarnik::elementwise;

struct Panel {
    const char* lo;  // first and one-past-last byte the panel spans
    const char* hi;
    const void* data;
    std::ptrdiff_t stride;  // between lines, in elements
};

// A 2-D array of `shape` whose lines (rows for layout C, columns for layout F)
// are contiguous; its extent and line stride.
Panel panel_of(const py::array& a, py::ssize_t rows, py::ssize_t cols, bool c_layout, const std::string& what) {
    if (a.ndim() != 2 || a.shape(0) != rows || a.shape(1) != cols) {
        raise(PyExc_ValueError, what + ": expected a 2-D array of shape (" + std::to_string(rows) + ", " +
                                    std::to_string(cols) + ")");
    }
    const py::ssize_t item = a.itemsize();
    const py::ssize_t inner = c_layout ? a.strides(1) : a.strides(0), outer = c_layout ? a.strides(0) : a.strides(1);
    const py::ssize_t length = c_layout ? cols : rows, lines = c_layout ? rows : cols;
    const bool empty = rows == 0 || cols == 0;  // nothing is read or written
    const bool ok = (inner == item || length <= 1) && outer >= 0 && outer % item == 0 &&
                    (lines <= 1 || outer >= length * item);
    if (!empty && !ok) {
        raise(PyExc_ValueError, what + ": its lines must be contiguous and must not overlap");
    }
    Panel p;
    p.data = a.data();
    p.stride = outer / item;
    p.lo = static_cast<const char*>(a.data());
    p.hi = p.lo + (empty ? 0 : (lines - 1) * outer + length * item);
    return p;
}

void fused_elementwise(const py::list& code, const py::list& inputs, py::ssize_t n_regs, const std::string& layout,
                       py::array out) {
    if (layout != "C" && layout != "F") raise(PyExc_ValueError, "layout: expected 'C' or 'F'");
    const bool c_layout = layout == "C";
    if (out.ndim() != 2) raise(PyExc_ValueError, "out: expected a 2-D array");
    const py::ssize_t rows = out.shape(0), cols = out.shape(1);
    const char okind = out.dtype().kind();
    if (!((okind == 'f' && out.itemsize() == 8) || okind == 'b')) {
        raise(PyExc_TypeError, "out: expected a float64 or bool array");
    }
    if (!out.writeable()) raise(PyExc_ValueError, "out: the array is read-only");
    const Panel op = panel_of(out, rows, cols, c_layout, "out");

    std::vector<ew::Instr> prog;
    for (py::handle h : code) {
        py::tuple t = py::reinterpret_borrow<py::object>(h).cast<py::tuple>();
        if (t.size() != 5) raise(PyExc_ValueError, "code: expected (op, dst, a, b, c) tuples");
        ew::Instr in;
        const int opc = t[0].cast<int>();
        if (opc < 0 || opc >= static_cast<int>(ew::Op::Count_)) raise(PyExc_ValueError, "code: unknown operation");
        in.op = static_cast<ew::Op>(opc);
        in.dst = t[1].cast<int>();
        in.a = t[2].cast<int>();
        in.b = t[3].cast<int>();
        in.c = t[4].cast<int>();
        prog.push_back(in);
    }
    std::vector<ew::Input> ins;
    std::vector<py::array> keep;  // the panels stay referenced while the GIL is released
    for (py::handle h : inputs) {
        ew::Input in;
        if (py::isinstance<py::array>(h)) {
            py::array a = py::reinterpret_borrow<py::array>(h);
            const char kind = a.dtype().kind();
            if (kind == 'f' && a.itemsize() == 8) {
                in.kind = ew::Input::Double;
            } else if (kind == 'b') {
                in.kind = ew::Input::Bool;
            } else {
                raise(PyExc_TypeError, "inputs: panels must be float64 or bool arrays");
            }
            const Panel p = panel_of(a, rows, cols, c_layout, "inputs");
            // the output may be a double input itself, but must not overlap one otherwise
            const bool same = in.kind == ew::Input::Double && okind == 'f' && p.data == op.data && p.stride == op.stride;
            if (!same && p.lo < op.hi && op.lo < p.hi) {
                raise(PyExc_ValueError, "out: overlaps an input");
            }
            in.data = p.data;
            in.stride = p.stride;
            keep.push_back(a);
        } else {
            in.kind = ew::Input::Scalar;
            in.value = py::reinterpret_borrow<py::object>(h).cast<double>();
        }
        ins.push_back(in);
    }
    if (n_regs < 0) raise(PyExc_ValueError, "n_regs: must be >= 0");
    try {
        ew::validate(prog, ins.size(), static_cast<std::size_t>(n_regs));
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, std::string("code: ") + e.what());
    }
    ew::Output o;
    o.boolean = okind == 'b';
    o.data = out.mutable_data();
    o.stride = op.stride;
    const std::size_t lines = static_cast<std::size_t>(c_layout ? rows : cols);
    const std::size_t length = static_cast<std::size_t>(c_layout ? cols : rows);
    const ew::ApplyFn apply = ew::pick_apply();  // reads the environment while the GIL is held
    py::gil_scoped_release release;
    ew::run(prog, ins, static_cast<std::size_t>(n_regs), lines, length, o, apply);
}

// Which loops fused_elementwise runs now: "avx2", "sse2" or "scalar".
std::string fused_elementwise_isa() {
#if ZARNIK_EW_AVX2
    if (ew::use_avx2()) return "avx2";
#endif
#if ZARNIK_EW_SSE2
    return "sse2";
#else
    return "scalar";
#endif
}

}  // namespace

void register_core_elementwise(py::module_& m) {
    py::options o;
    o.disable_function_signatures();
    m.def("fused_elementwise", &fused_elementwise, py::arg("code"), py::arg("inputs"), py::arg("n_regs"),
          py::arg("layout"), py::arg("out"),
          signed_doc("fused_elementwise", "(code, inputs, n_regs, layout, out)",
                     "Runs a register program of element-wise operations into `out`. `code` is a list of "
                     "(op, dst, a, b, c) integer tuples (operation codes of zarnik/elementwise.hpp); registers "
                     "0 .. len(inputs) - 1 are `inputs` (floats, or float64 / bool arrays shaped like `out` "
                     "whose rows (layout 'C') or columns (layout 'F') are contiguous), the others up to "
                     "n_regs temporaries. The result is the last instruction's register.")
              .c_str());
    m.def("_fused_elementwise_isa", &fused_elementwise_isa,
          "The instruction set of fused_elementwise's loops in this process now: 'avx2' (ZARNIK_NO_AVX2 unset "
          "and the processor has it), 'sse2' or 'scalar'.");
}

}  // namespace zarnik_py
