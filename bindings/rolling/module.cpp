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

// The node classes. expr, dependencies, shift and the representation walk
// the tree iteratively, shared with the interface classes (_node_members).
void build_rolling(py::module_& m, py::object abstract, py::object node_members) {
    ClassBuilder rolling(m, "RollingWindowFactor", py::make_tuple(abstract), kRollingDoc);
    rolling.init(
        {"(self, func, window, factor)"},
        [abstract](py::object self, py::object func, py::object window, py::object factor) {
            check([&] { return is_instance(factor, abstract); });
            self.attr("_func") = func;
            self.attr("_factor") = factor;
            self.attr("_window") = window;
        },
        py::arg("self"), py::arg("func"), py::arg("window"), py::arg("factor"));
    py::dict members = node_members("rolling");
    for (const char* n : {"dependencies", "expr", "shift", "__repr__"}) rolling.attr(n, members[n]);
    rolling.build();
}

void build_combined(py::module_& m, py::object abstract, py::object line_up, py::object node_members) {
    ClassBuilder combined(m, "CombinedRollingWindowFactor", py::make_tuple(abstract), kCombinedDoc);
    combined.init(
        {"(self, func, window, *args)"},
        [abstract, line_up](py::object self, py::object func, py::object window, py::args args) {
            for (py::handle a : args) check([&] { return is_instance(a, abstract); });
            // Every input is shifted to the longest look-back among them.
            py::tuple lined = line_up(*args);
            self.attr("_func") = func;
            self.attr("_window") = window;
            self.attr("_factors") = lined[1];
            py::object last = checked(PyNumber_Add(py::object(lined[0]).ptr(), window.ptr()));
            self.attr("_shift") = checked(PyNumber_Subtract(last.ptr(), py::int_(1).ptr()));
        },
        py::arg("self"), py::arg("func"), py::arg("window"));
    py::dict members = node_members("combined_rolling");
    for (const char* n : {"expr", "shift", "dependencies", "__repr__"}) combined.attr(n, members[n]);
    combined.build();
}

const char* kFactorType = "zarnik.interface.AbstractFactor";

// An operator with its numpydoc docstring (Chinese) after the text signature:
// `params` are its parameter names (the last one the window).
template <class F, class... Args>
void def_operator(py::module_& m, const char* op, std::initializer_list<const char*> params, const char* title,
                  const char* returns, const char* returns_text, const char* see_also, F&& body,
                  const Args&... args) {
    std::string sig, doc;
    std::size_t i = 0;
    for (const char* name : params) {
        const bool window = ++i == params.size();
        sig += std::string(i > 1 ? ", " : "") + name;
        doc += std::string(name) + " : " + (window ? "int\n    窗口大小\n" : kFactorType + std::string("\n    输入因子\n"));
    }
    doc = std::string(op) + "(" + sig + ")\n--\n\n" + title + "\n\nParameters\n----------\n" + doc +
          "\nReturns\n-------\n" + returns + "\n    " + returns_text + "\n";
    if (see_also) doc += std::string("\nSee Also\n--------\n") + see_also + "\n";
    m.def(op, std::forward<F>(body), args..., doc.c_str());
}

// The operators of one catalogue row (its own, its aliases, the one derived
// from it); returns how many names they add.
std::size_t def_operators(py::module_& m, const zarnik::rolling::KernelInfo& k, py::object binary, py::object np) {
    namespace zr = zarnik::rolling;
    py::object kern = m.attr(k.name);
    if (k.inputs == 2) {
        py::object cls = m.attr("CombinedRollingWindowFactor");
        const bool swap = k.swap;
        const char *p1 = k.op_factors[0], *p2 = k.op_factors[1];
        def_operator(
            m, k.op, {p1, p2, "window"}, k.title, "zarnik.rolling.CombinedRollingWindowFactor", "组合滑动因子", nullptr,
            [cls, kern, swap](py::object a, py::object b, py::object window) {
                return swap ? cls(kern, window, b, a) : cls(kern, window, a, b);
            },
            py::arg(p1), py::arg(p2), py::arg("window"));
    } else {
        py::object cls = m.attr("RollingWindowFactor");
        const char* see_also = k.id == zr::Kernel::ts_argmax   ? "TS_ARGMIN : 滚动窗口内最小值的位置"
                               : k.id == zr::Kernel::ts_argmin ? "TS_ARGMAX : 滚动窗口内最大值的位置"
                                                               : nullptr;
        def_operator(
            m, k.op, {"factor", k.op_window}, k.title, "zarnik.rolling.RollingWindowFactor", "滑动窗口因子", see_also,
            [cls, kern](py::object factor, py::object window) { return cls(kern, window, factor); },
            py::arg("factor"), py::arg(k.op_window));
    }
    std::size_t count = 1;
    for (const char* alias : k.aliases) {
        if (!alias) continue;
        m.attr(alias) = m.attr(k.op);
        ++count;
    }
    if (k.derived) {  // EVERY: the window's count of true values equals the window
        py::object count_op = m.attr(k.op), equal = np.attr("equal");
        def_operator(
            m, k.derived, {"factor", "window"}, "滚动判断窗口内的值是否全部为真", "zarnik.interface.BinaryCombinedFactor",
            "比较因子：窗口内真值个数等于窗口大小", nullptr,
            [count_op, equal, binary](py::object factor, py::object window) {
                return binary(equal, count_op(factor, window), window);
            },
            py::arg("factor"), py::arg("window"));
        ++count;
    }
    return count;
}

}  // namespace
}  // namespace zarnik_py

PYBIND11_MODULE(rolling, m) {
    using namespace zarnik_py;
    py::options options;
    options.disable_function_signatures();
    m.doc() = kModuleDoc;

    // Collaborators bound as module globals.
    py::module_ interface = package_module("interface");
    for (const char* name : {"AbstractFactor", "ShiftedFactor", "BinaryCombinedFactor"}) m.attr(name) = interface.attr(name);
    m.attr("chain") = py::module_::import("itertools").attr("chain");
    m.attr("np") = py::module_::import("numpy");
    m.attr("rolling_window") = package_module("utils").attr("rolling_window");

    // The operators in the order users know them; every one is checked
    // against the catalogue below.
    py::list all;
    for (const char* name : {"COUNT", "TS_RANK", "EVERY", "PRODUCT", "COV", "COVARIANCE", "TS_REGRESSION",
                             "TS_ZSCORE", "TS_SKEW", "TS_KURT", "AVEDEV", "TS_ARGMAX", "TS_ARGMIN", "CORR",
                             "CORRELATION", "MA", "EMA", "WMA", "SMA", "STD", "STDDEV", "VAR", "DECAY_LINEAR",
                             "SLOPE", "SUM", "TS_MIN", "TS_MAX", "HHV", "LLV"})
        all.append(name);
    m.attr("__all__") = all;

    py::object abstract = m.attr("AbstractFactor"), members = interface.attr("_node_members");
    build_rolling(m, abstract, members);
    std::size_t operators = 0;
    for (const zarnik::rolling::KernelInfo& k : zarnik::rolling::kKernels) {
        // the combined node class just before the first operator that builds it
        if (k.inputs == 2 && !py::hasattr(m, "CombinedRollingWindowFactor")) {
            build_combined(m, abstract, interface.attr("_line_up"), members);
        }
        def_rolling_kernel(m, k.name);
        operators += def_operators(m, k, m.attr("BinaryCombinedFactor"), m.attr("np"));
    }
    if (operators != py::len(all)) throw std::logic_error("zarnik.rolling.__all__ and the kernel catalogue differ");
    for (py::handle name : all)
        if (!py::hasattr(m, name)) throw std::logic_error("zarnik.rolling.__all__ names an undefined operator");

    def_apply_columns(m);
    def_catalogue(m);
}
