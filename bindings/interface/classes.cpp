// zarnik.interface: the node classes of factor expression trees.
//
// Nothing here computes factor values. Each operation on a node builds a new
// node; a finished tree reports its expression key (`expr`), the leaves it
// needs (`dependencies`) and its look-back in trading dates (`shift`), which an
// evaluation engine walks. The nine classes are assembled as plain Python
// classes in the order in which users see them in the module.
#include <pybind11/pybind11.h>

#include <vector>

#include "common/modules.hpp"
#include "interface/nodes.hpp"

namespace zarnik_interface {

namespace {

using zarnik_py::check;
using zarnik_py::ClassBuilder;

const char* const kConstantDoc =
    "常量因子类\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "value : number_like, int, float, str, object\n"
    "    常量值。pandas DataFrame / Series 保存其 values 数组（丢弃行列标签），\n"
    "    numpy 数组原样保存，其余对象转换为 float（可解析数字字符串）。\n";

const char* const kUnaryDoc =
    "单元组合因子类\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "func : function\n"
    "    组合函数，以因子的计算结果及额外参数为位置参数调用。\n"
    "factor : zarnik.interface.AbstractFactor\n"
    "    因子。\n"
    "args : object\n"
    "    函数的其他参数，原样传给 func。\n";

const char* const kShiftedDoc =
    "移动因子类\n"
    "\n"
    "丢弃因子计算结果的前 n 行，使其与回看期更长的兄弟节点逐行对齐。\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "factor : zarnik.interface.AbstractFactor\n"
    "    因子。\n"
    "n : int\n"
    "    丢弃的行数（交易日数）。\n";

const char* const kBinaryDoc =
    "二元组合因子类\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "func : function\n"
    "    组合函数。\n"
    "arg1 : float or zarnik.interface.AbstractFactor\n"
    "    第一个参数。\n"
    "arg2 : float or zarnik.interface.AbstractFactor\n"
    "    第二个参数。\n"
    "\n"
    "Notes\n"
    "-----\n"
    "arg1 与 arg2 中至少有一个是 zarnik.interface.AbstractFactor。\n";

const char* const kLeafDoc =
    "叶子节点基础抽象类\n"
    "\n"
    "叶子节点是数据来源；子类需提供自己的 __hash__ 与表示。\n";

const char* const kUserLeafDoc =
    "用户自定义叶子节点因子类\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "name : str\n"
    "    因子名称。\n"
    "func : function\n"
    "    用户自定义算子，以 (order_book_ids, start_date, end_date) 调用；\n"
    "    返回对象必须是 pandas DataFrame，其 index 为交易日序列，columns 为股票列表。\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> def get_turnover_rate_weekly(order_book_ids, start_date, end_date):\n"
    "...     df = ostrel.get_turnover_rate(order_book_ids, start_date, end_date,\n"
    "...                                   fields='week', expect_df=True)\n"
    "...     return df['week'].unstack('order_book_id')\n"
    ">>> f = UserDefinedLeafFactor('turnover_rate_weekly', get_turnover_rate_weekly)\n"
    ">>> f\n"
    "UFactor(turnover_rate_weekly)\n";

const char* const kCombinedDoc =
    "组合因子类\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "func : function\n"
    "    组合函数。\n"
    "args : object\n"
    "    一个或多个对象，其中至少一个应为 zarnik.interface.AbstractFactor。\n";

[[noreturn]] void not_implemented() { zarnik_py::raise(PyExc_NotImplementedError); }

py::handle cls(PyObject* p) { return py::handle(p); }

// ConstantFactor.__init__: stores the normalised value. Numbers (operands
// written in a formula) are converted here; anything else by
// zarnik.utils.constant_value.
void init_constant(py::object self, py::object value) {
    if (PyFloat_CheckExact(value.ptr())) return set(self, nValue, value);
    set(self, nValue, PyLong_CheckExact(value.ptr()) ? zarnik_py::checked(PyNumber_Float(value.ptr()))
                                                     : zarnik_py::package_module("utils").attr("constant_value")(value));
}

// ConstantFactor(value), without a trip through the type's call machinery.
py::object make_constant(py::handle value) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(state().constant_factor);
    static PyObject* const no_args = PyTuple_New(0);
    py::object self = zarnik_py::checked(type->tp_new(type, no_args, nullptr));
    init_constant(self, py::reinterpret_borrow<py::object>(value));
    return self;
}

// Lines the operands of a combining node up on one look-back: each node is
// shifted to the longest look-back among them, every other operand becomes a
// ConstantFactor (with `nodes`, every operand's `shift` is read instead).
// Returns that look-back (null when no operand is a node).
py::object line_up(std::vector<py::object>& operands, bool nodes = false) {
    std::vector<py::object> shifts(operands.size());
    py::object longest;
    for (std::size_t i = 0; i < operands.size(); ++i) {
        if (!nodes && !is_factor(operands[i])) continue;
        shifts[i] = lookback(operands[i]);
        if (!longest || zarnik_py::compare(shifts[i], longest, Py_GT)) longest = shifts[i];
    }
    for (std::size_t i = 0; longest && i < operands.size(); ++i) {
        if (!shifts[i]) {
            operands[i] = make_constant(operands[i]);
        } else if (zarnik_py::compare(shifts[i], longest, Py_LT)) {
            operands[i] = cls(state().shifted_factor)(operands[i], subtract(longest, shifts[i]));
        }
    }
    return longest;
}

std::vector<py::object> vector_of(py::args args) {
    std::vector<py::object> out;
    for (py::handle a : args) out.push_back(py::reinterpret_borrow<py::object>(a));
    return out;
}

py::list list_of(const std::vector<py::object>& items) {
    py::list out;
    for (const py::object& a : items) out.append(a);
    return out;
}

// Installs the walked members of one node kind (see walk.cpp): expr,
// dependencies, shift, then `_repr` and __repr__ where the kind has them.
ClassBuilder& install(ClassBuilder& b, const char* kind, py::object func = py::none(), py::object shown = py::none()) {
    for (auto item : node_members(kind, std::move(func), std::move(shown))) {
        b.attr(py::str(item.first).cast<std::string>().c_str(), py::reinterpret_borrow<py::object>(item.second));
    }
    return b;
}

// The operators: numpy function, and whether the node is unary, binary or
// reflected (other op self). An alias binds the previous operator's method.
struct Operator {
    const char* name;
    const char* ufunc;
    enum Form { Unary, Binary, Reflected, Alias } form;
};

const Operator kOperators[] = {
    {"__abs__", "abs", Operator::Unary},
    {"__add__", "add", Operator::Binary},           {"__radd__", "__add__", Operator::Alias},
    {"__sub__", "subtract", Operator::Binary},      {"__rsub__", "subtract", Operator::Reflected},
    {"__mul__", "multiply", Operator::Binary},      {"__rmul__", "__mul__", Operator::Alias},
    {"__truediv__", "true_divide", Operator::Binary}, {"__rtruediv__", "true_divide", Operator::Reflected},
    {"__floordiv__", "floor_divide", Operator::Binary}, {"__rfloordiv__", "floor_divide", Operator::Reflected},
    {"__mod__", "mod", Operator::Binary},           {"__rmod__", "mod", Operator::Reflected},
    {"__pow__", "power", Operator::Binary},         {"__rpow__", "power", Operator::Reflected},
    {"__neg__", "negative", Operator::Unary},
    {"__lt__", "less", Operator::Binary},           {"__le__", "less_equal", Operator::Binary},
    {"__gt__", "greater", Operator::Binary},        {"__ge__", "greater_equal", Operator::Binary},
    {"__ne__", "not_equal", Operator::Binary},
    {"__and__", "logical_and", Operator::Binary},   {"__or__", "logical_or", Operator::Binary},
    {"__xor__", "logical_xor", Operator::Binary},
    {"__invert__", "logical_not", Operator::Unary},
};

py::object build_abstract(py::module_& m) {
    ClassBuilder b(m, "AbstractFactor", py::make_tuple(zarnik_py::builtin("object")));
    for (Name p : {kExpr, kDeps, kShift}) {
        b.property(kNameText[p], [](py::object) -> py::object { not_implemented(); }, kMemberDoc[p]);
    }
    // The numpy function is looked up on every call, so that it can be substituted.
    for (const Operator& op : kOperators) {
        const char* ufunc = op.ufunc;
        const std::string made = std::string("返回 ") + (op.form == Operator::Unary ? "Unary" : "Binary") +
                                 "CombinedFactor(numpy." + ufunc;
        const bool reflected = op.form == Operator::Reflected;
        if (op.form == Operator::Alias) {
            b.alias(op.name, op.ufunc);
        } else if (op.form == Operator::Unary) {
            b.method(op.name, {"(self)", made + ", self)。"},
                     [ufunc](py::object self) { return cls(state().unary_factor)(global("np").attr(ufunc), self); },
                     py::arg("self"));
        } else {
            b.method(op.name, {"(self, other)", made + (reflected ? ", other, self)。" : ", self, other)。")},
                     [ufunc, reflected](py::object self, py::object other) {
                         return cls(state().binary_factor)(global("np").attr(ufunc), reflected ? other : self,
                                                           reflected ? self : other);
                     },
                     py::arg("self"), py::arg("other"));
        }
    }
    b.method("__pos__", {"(self)", "返回节点本身。"}, [](py::object self) { return self; }, py::arg("self"));
    b.method(
        "__bool__", {"(self)", "节点没有真值：抛出 ZarnikUserException（请使用 IF）。"},
        [](py::object) -> py::object { zarnik_py::raise_object(global("ZarnikUserException"), "please use IF instead"); },
        py::arg("self"));
    return b.build();
}

// ShiftedFactor._shift: drops the first n rows of an evaluated value; a pandas
// object gives its value array without the labels, anything else is sliced.
py::object drop_rows(py::object series, py::object n) {
    py::slice tail(n, py::none(), py::none());
    PyObject* values = PyObject_GetAttrString(series.ptr(), "values");
    if (values) return py::reinterpret_steal<py::object>(values)[tail];
    // Any failure of the lookup counts as "no values attribute"; only
    // exceptions that are not errors (KeyboardInterrupt...) propagate.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
    return series[tail];
}

void init_binary(py::object self, py::object func, py::object arg1, py::object arg2) {
    const bool node1 = is_factor(arg1), node2 = is_factor(arg2);
    check([&] { return node1 || node2; });
    set(self, nFunc, func);
    // The text is built on demand (`_repr`) from the name and the operands as
    // passed; an operand that is not a node keeps the text it shows now.
    PyObject* shown = zarnik_py::checked(PyObject_Format(function_name(func).ptr(), py::str("").ptr())).release().ptr();
    PyUnicode_InternInPlace(&shown);
    set(self, nReprArgs,
        py::make_tuple(py::reinterpret_steal<py::object>(shown), node1 ? arg1 : py::object(py::repr(arg1)),
                       node2 ? arg2 : py::object(py::repr(arg2))));
    std::vector<py::object> operands{arg1, arg2};
    py::object shift = line_up(operands);
    // Only under -O with neither operand a node: reading arg2.shift reports it.
    if (!shift) {
        operands[0] = make_constant(arg1);
        shift = lookback(arg2);
    }
    set(self, nArg1, operands[0]);
    set(self, nArg2, operands[1]);
    set(self, nShift, shift);
}

// The user's function, its result checked by zarnik.utils.check_user_leaf.
py::object execute_user_leaf(py::object self, py::object order_book_ids, py::object start_date,
                             py::object end_date) {
    py::object ret = self.attr("_func")(order_book_ids, start_date, end_date);
    return zarnik_py::package_module("utils").attr("check_user_leaf")(
        self.attr("_name"), ret, order_book_ids, start_date, end_date,
        global("ostrel").attr("get_trading_dates"), global("InvalidUserFactor"));
}

void init_combined(py::object self, py::object func, py::args args) {
    set(self, nFunc, func);
    std::vector<py::object> operands = vector_of(args);
    py::object shift = line_up(operands);
    if (!shift) {
        check([] { return false; });
        zarnik_py::raise(PyExc_ValueError, "CombinedFactor needs at least one factor argument");
    }
    set(self, nShift, shift);
    set(self, nArgs, list_of(operands));
}

// _line_up(operands): the rolling nodes' line-up, every operand a node.
py::tuple line_up_nodes(py::args args) {
    std::vector<py::object> operands = vector_of(args);
    if (operands.empty()) zarnik_py::builtin("max")(py::list());  // raises as max() of nothing does
    py::object longest = line_up(operands, true);
    return py::make_tuple(longest, list_of(operands));
}

}  // namespace
}  // namespace zarnik_interface

PYBIND11_MODULE(interface, m) {
    using namespace zarnik_interface;
    // Every docstring starts with its own text signature (inspect.signature).
    py::options options;
    options.disable_function_signatures();

    // Collaborators, bound as module globals and looked up at call time.
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("ostrel") = zarnik_py::market_data("client")();
    py::module_ exceptions = zarnik_py::package_module("exception");
    m.attr("ZarnikUserException") = exceptions.attr("ZarnikUserException");
    m.attr("InvalidUserFactor") = exceptions.attr("InvalidUserFactor");

    m.doc() = "因子表达式树的节点类：叶子、常量、运算符组合、移动与用户自定义叶子因子。";

    state().module = m.inc_ref().ptr();
    // Private: the walked members of a node kind, for the node classes of the
    // sibling modules (rolling nodes, the lag node), and their line-up.
    zarnik_py::def(m, "_node_members", {"(kind, func=None, name=None)", "expr、dependencies、shift 与 __repr__ 描述符（按节点种类）。"},
                   &node_members, py::arg("kind"), py::arg("func") = py::none(), py::arg("name") = py::none());
    zarnik_py::def(m, "_line_up", {"(*operands)", "节点操作数按最长回看期对齐：返回 (回看期, 对齐后的操作数列表)。"},
                   &line_up_nodes);

    // The classes in the order users see them in the module.
    State& s = state();
    s.abstract_factor = build_abstract(m).release().ptr();
    py::tuple base = py::make_tuple(py::handle(s.abstract_factor));

    ClassBuilder constant(m, "ConstantFactor", base, kConstantDoc);
    constant.init({"(self, value)"}, &init_constant, py::arg("self"), py::arg("value"));
    s.constant_factor = install(constant, "constant").build().release().ptr();

    ClassBuilder unary(m, "UnaryCombinedFactor", base, kUnaryDoc);
    unary.init(
        {"(self, func, factor, *args)"},
        [](py::object self, py::object func, py::object factor, py::args args) {
            check([&] { return is_factor(factor); }, "factor expected");
            set(self, nFunc, func);
            set(self, nFactor, factor);
            set(self, nArgs, args);
        },
        py::arg("self"), py::arg("func"), py::arg("factor"));
    s.unary_factor = install(unary, "unary").build().release().ptr();

    ClassBuilder shifted(m, "ShiftedFactor", base, kShiftedDoc);
    shifted.init(
        {"(self, factor, n)"},
        [](py::object self, py::object factor, py::object n) {
            check([&] { return is_factor(factor); });
            set(self, nFactor, factor);
            set(self, nN, n);
        },
        py::arg("self"), py::arg("factor"), py::arg("n"));
    py::cpp_function shift_fn = zarnik_py::signed_function(
        "_shift", {"(series, n)", "丢弃计算结果的前 n 行（pandas 对象取其 values）。"}, &drop_rows,
        py::arg("series"), py::arg("n"));
    install(shifted, "offset", shift_fn, py::str("shift"));
    s.shifted_factor = shifted.attr("_shift", zarnik_py::builtin("staticmethod")(shift_fn)).build().release().ptr();

    ClassBuilder binary(m, "BinaryCombinedFactor", base, kBinaryDoc);
    binary.init({"(self, func, arg1, arg2)"}, &init_binary, py::arg("self"), py::arg("func"), py::arg("arg1"),
                py::arg("arg2"));
    s.binary_factor = install(binary, "binary").build().release().ptr();

    ClassBuilder leaf(m, "LeafFactor", base, kLeafDoc);
    install(leaf, "leaf")
        .method("__hash__", {"(self)", "子类必须实现。"}, [](py::object) -> py::object { not_implemented(); },
                py::arg("self"));
    py::object abstract_user = ClassBuilder(m, "AbstractUserDefinedLeafFactor", py::make_tuple(leaf.build()))
        .method("execute", {"(self, order_book_ids, start_date, end_date)", "子类必须实现：返回叶子数据。"},
                [](py::object, py::object, py::object, py::object) -> py::object { not_implemented(); },
                py::arg("self"), py::arg("order_book_ids"), py::arg("start_date"), py::arg("end_date"))
        .build();

    ClassBuilder(m, "UserDefinedLeafFactor", py::make_tuple(abstract_user), kUserLeafDoc)
        .init(
            {"(self, name, func)"},
            [](py::object self, py::object name, py::object func) {
                self.attr("_name") = name;
                set(self, nFunc, func);
            },
            py::arg("self"), py::arg("name"), py::arg("func"))
        .property("name", [](py::object self) { return self.attr("_name"); }, "因子名称。")
        .method("execute",
                {"(self, order_book_ids, start_date, end_date)",
                 "调用用户函数并校验其结果：非空 DataFrame，index 为 start_date 至 end_date 的交易日（升序），\n"
                 "columns 与 order_book_ids 集合相同。校验失败抛出 InvalidUserFactor。"},
                &execute_user_leaf, py::arg("self"), py::arg("order_book_ids"), py::arg("start_date"),
                py::arg("end_date"))
        .method("__hash__", {"(self)", "用户函数的 id()。"},
                [](py::object self) { return zarnik_py::checked(PyLong_FromVoidPtr(get(self, nFunc).ptr())); },
                py::arg("self"))
        .method("__repr__", {"(self)"},
                [](py::object self) { return zarnik_py::format_text("UFactor({})", self.attr("_name")); },
                py::arg("self"))
        .build();

    ClassBuilder combined(m, "CombinedFactor", base, kCombinedDoc);
    combined.init({"(self, func, *args)"}, &init_combined, py::arg("self"), py::arg("func"));
    install(combined, "combined").build();

    m.attr("__all__") = py::list(py::make_tuple("AbstractFactor", "ConstantFactor", "UnaryCombinedFactor",
                                                "ShiftedFactor", "BinaryCombinedFactor", "LeafFactor",
                                                "AbstractUserDefinedLeafFactor", "UserDefinedLeafFactor",
                                                "CombinedFactor"));
}
