// zarnik.rolling: rolling-window factor nodes, their kernels and the
// upper-case operator functions that build the nodes.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/modules.hpp"
#include "common/pyclass.hpp"
#include "rolling/kernels.hpp"
#include "zarnik/kernels.hpp"

namespace zarnik_py {
namespace {

const char* kModuleDoc =
    "滚动窗口算子：滑动窗口因子节点、滚动统计核函数与大写算子函数。\n"
    "\n"
    "The lower-case kernels (``ma``, ``ts_rank``, ``covariance`` ...) take one\n"
    "instrument's 1-D series, oldest first, and return the L - n + 1 values of\n"
    "its trailing windows of length n.\n"
    "\n"
    "Column batch (private, used by the evaluation engine)::\n"
    "\n"
    "    _apply_columns(kernel, window, *arrays)\n"
    "\n"
    "runs ``kernel`` (a kernel function of this module or its name) over every\n"
    "column of 2-D (dates x instruments) arrays -- one array for the\n"
    "single-series kernels, two for ``covariance``, ``correlation`` and\n"
    "``regression`` -- and returns an (L - n + 1) x N array. Column j equals the\n"
    "1-D kernel applied to column j. The work runs without the GIL, spread over\n"
    "threads by column (ZARNIK_NUM_THREADS caps the thread count).";

const char* kRollingDoc =
    "滑动窗口因子类\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "func : function\n"
    "    滚动计算函数，接受 (输入序列, 窗口)\n"
    "window : int\n"
    "    窗口大小\n"
    "factor : zarnik.interface.AbstractFactor\n"
    "    输入因子\n";

const char* kCombinedDoc =
    "组合滑动因子类\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "func : function\n"
    "    滚动计算函数，接受 (窗口, 输入序列1, ..., 输入序列k)\n"
    "window : int\n"
    "    窗口大小\n"
    "args : zarnik.interface.AbstractFactor\n"
    "    输入因子\n"
    "\n"
    "Notes\n"
    "-----\n"
    "args 中的每个元素都必须是 AbstractFactor 子类的实例。\n";

struct Imports {
    py::object abstract_factor, shifted_factor, binary_combined, chain, np, node_members;
};

void check_factor(const Imports& im, py::handle obj) {
    if (!assertions_enabled()) return;
    int ok = PyObject_IsInstance(obj.ptr(), im.abstract_factor.ptr());
    if (ok < 0) throw py::error_already_set();
    if (!ok) raise(PyExc_AssertionError);
}

py::object number_op(PyObject* (*op)(PyObject*, PyObject*), py::handle a, py::handle b) {
    PyObject* r = op(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object build_rolling(py::module_& m, const Imports& im) {
    ClassBuilder cb(m, "RollingWindowFactor", py::make_tuple(im.abstract_factor), kRollingDoc);
    cb.init(
        {"(self, func, window, factor)"},
        [im](py::object self, py::object func, py::object window, py::object factor) {
            check_factor(im, factor);
            self.attr("_func") = func;
            self.attr("_factor") = factor;
            self.attr("_window") = window;
        },
        py::arg("self"), py::arg("func"), py::arg("window"), py::arg("factor"));
    // expr, dependencies, shift and the representation walk the tree
    // iteratively, shared with the interface classes.
    py::dict members = im.node_members("rolling");
    for (const char* n : {"dependencies", "expr", "shift", "__repr__"}) cb.attr(n, members[n]);
    return cb.build();
}

py::object build_combined(py::module_& m, const Imports& im) {
    ClassBuilder cb(m, "CombinedRollingWindowFactor", py::make_tuple(im.abstract_factor), kCombinedDoc);
    cb.init(
        {"(self, func, window, *args)"},
        [im](py::object self, py::object func, py::object window, py::args args) {
            for (py::handle a : args) check_factor(im, a);
            py::list shifts;
            for (py::handle a : args) shifts.append(a.attr("shift"));
            py::object max_shift = builtin("max")(shifts);
            py::list factors;
            for (py::handle a : args) {
                py::object s = a.attr("shift");
                int less = PyObject_RichCompareBool(s.ptr(), max_shift.ptr(), Py_LT);
                if (less < 0) throw py::error_already_set();
                if (less) {
                    factors.append(im.shifted_factor(a, number_op(PyNumber_Subtract, max_shift, s)));
                } else {
                    factors.append(a);
                }
            }
            py::object shift = number_op(PyNumber_Subtract, number_op(PyNumber_Add, max_shift, window), py::int_(1));
            self.attr("_func") = func;
            self.attr("_window") = window;
            self.attr("_factors") = factors;
            self.attr("_shift") = shift;
        },
        py::arg("self"), py::arg("func"), py::arg("window"));
    py::dict members = im.node_members("combined_rolling");
    for (const char* n : {"expr", "shift", "dependencies", "__repr__"}) cb.attr(n, members[n]);
    return cb.build();
}

// Numpydoc docstring (Chinese) of an operator, preceded by its text signature
// so that inspect.signature reports the parameter names.
std::string op_doc(const std::string& sig, const char* title, const std::vector<std::pair<std::string, std::string>>& params,
                   const char* returns, const char* returns_text, const char* see_also = nullptr) {
    std::string d = sig + "\n--\n\n" + title + "\n\nParameters\n----------\n";
    for (auto& [name, type] : params) {
        d += name + " : " + type + "\n";
        d += type == "int" ? "    窗口大小\n" : "    输入因子\n";
    }
    d += std::string("\nReturns\n-------\n") + returns + "\n    " + returns_text + "\n";
    if (see_also) d += std::string("\nSee Also\n--------\n") + see_also + "\n";
    return d;
}

const char* kFactorType = "zarnik.interface.AbstractFactor";

void def_single(py::module_& m, const char* op, const char* kernel, const char* wname, const char* title,
                const char* see_also = nullptr) {
    py::object cls = m.attr("RollingWindowFactor");
    py::object kern = m.attr(kernel);
    std::string sig = std::string(op) + "(factor, " + wname + ")";
    std::string doc = op_doc(sig, title, {{"factor", kFactorType}, {wname, "int"}},
                             "zarnik.rolling.RollingWindowFactor", "滑动窗口因子", see_also);
    m.def(
        op, [cls, kern](py::object factor, py::object window) { return cls(kern, window, factor); },
        py::arg("factor"), py::arg(wname), doc.c_str());
}

// Two-input operators: `swap` hands the inputs to the node in reverse order.
void def_pair(py::module_& m, const char* op, const char* kernel, const char* p1, const char* p2, bool swap,
              const char* title) {
    py::object cls = m.attr("CombinedRollingWindowFactor");
    py::object kern = m.attr(kernel);
    std::string sig = std::string(op) + "(" + p1 + ", " + p2 + ", window)";
    std::string doc = op_doc(sig, title, {{p1, kFactorType}, {p2, kFactorType}, {"window", "int"}},
                             "zarnik.rolling.CombinedRollingWindowFactor", "组合滑动因子");
    m.def(
        op,
        [cls, kern, swap](py::object a, py::object b, py::object window) {
            return swap ? cls(kern, window, b, a) : cls(kern, window, a, b);
        },
        py::arg(p1), py::arg(p2), py::arg("window"), doc.c_str());
}

}  // namespace
}  // namespace zarnik_py

PYBIND11_MODULE(rolling, m) {
    using namespace zarnik_py;
    py::options options;
    options.disable_function_signatures();
    m.doc() = kModuleDoc;

    Imports im;
    im.chain = py::module_::import("itertools").attr("chain");
    im.np = py::module_::import("numpy");
    py::module_ interface = zarnik_py::package_module("interface");
    im.abstract_factor = interface.attr("AbstractFactor");
    im.shifted_factor = interface.attr("ShiftedFactor");
    im.binary_combined = interface.attr("BinaryCombinedFactor");
    im.node_members = interface.attr("_node_members");
    py::object rolling_window = zarnik_py::package_module("utils").attr("rolling_window");
    m.attr("chain") = im.chain;
    m.attr("np") = im.np;
    m.attr("AbstractFactor") = im.abstract_factor;
    m.attr("ShiftedFactor") = im.shifted_factor;
    m.attr("BinaryCombinedFactor") = im.binary_combined;
    m.attr("rolling_window") = rolling_window;

    // The operators in the order users know them; every one is checked
    // against the catalogue below.
    py::list all;
    for (const char* name : {"COUNT", "TS_RANK", "EVERY", "PRODUCT", "COV", "COVARIANCE", "TS_REGRESSION",
                             "TS_ZSCORE", "TS_SKEW", "TS_KURT", "AVEDEV", "TS_ARGMAX", "TS_ARGMIN", "CORR",
                             "CORRELATION", "MA", "EMA", "WMA", "SMA", "STD", "STDDEV", "VAR", "DECAY_LINEAR",
                             "SLOPE", "SUM", "TS_MIN", "TS_MAX", "HHV", "LLV"})
        all.append(name);
    m.attr("__all__") = all;

    build_rolling(m, im);
    bool combined = false;
    std::size_t operators = 0;
    for (const zarnik::rolling::KernelInfo& k : zarnik::rolling::kKernels) {
        if (k.inputs == 2 && !combined) {
            build_combined(m, im);
            combined = true;
        }
        def_rolling_kernel(m, k.name);
        if (k.inputs == 2) {
            def_pair(m, k.op, k.name, k.op_factors[0], k.op_factors[1], k.swap, k.title);
        } else {
            const char* see_also = k.id == zarnik::rolling::Kernel::ts_argmax   ? "TS_ARGMIN : 滚动窗口内最小值的位置"
                                   : k.id == zarnik::rolling::Kernel::ts_argmin ? "TS_ARGMAX : 滚动窗口内最大值的位置"
                                                                                : nullptr;
            def_single(m, k.op, k.name, k.op_window, k.title, see_also);
        }
        ++operators;
        for (const char* alias : k.aliases) {
            if (!alias) continue;
            m.attr(alias) = m.attr(k.op);
            ++operators;
        }
        if (k.derived) {  // EVERY: the window's count of true values equals the window
            py::object count_op = m.attr(k.op);
            py::object equal = im.np.attr("equal");
            py::object binary = im.binary_combined;
            std::string doc = op_doc(std::string(k.derived) + "(factor, window)", "滚动判断窗口内的值是否全部为真",
                                     {{"factor", kFactorType}, {"window", "int"}},
                                     "zarnik.interface.BinaryCombinedFactor", "比较因子：窗口内真值个数等于窗口大小");
            m.def(
                k.derived,
                [count_op, equal, binary](py::object factor, py::object window) {
                    return binary(equal, count_op(factor, window), window);
                },
                py::arg("factor"), py::arg("window"), doc.c_str());
            ++operators;
        }
    }
    if (operators != py::len(all)) throw std::logic_error("zarnik.rolling.__all__ and the kernel catalogue differ");
    for (py::handle name : all)
        if (!py::hasattr(m, name)) throw std::logic_error("zarnik.rolling.__all__ names an undefined operator");

    def_apply_columns(m);
    def_catalogue(m);
}
