// The nine node classes, assembled as plain Python classes in the order in
// which users see them in the module.
#include <pybind11/pybind11.h>

#include <vector>

#include "interface/nodes.hpp"

namespace zarnik_interface {

namespace {

using zarnik_py::ClassBuilder;
using zarnik_py::format_text;
using zarnik_py::raise;
using zarnik_py::raise_object;

// An attribute name created once (interned), for the constructors called most.
#define ZARNIK_NAME(text)                                                   \
    ([]() -> PyObject* {                                                    \
        static PyObject* const interned = PyUnicode_InternFromString(text); \
        return interned;                                                    \
    }())

void set_attr(py::handle obj, PyObject* name, py::handle value) {
    if (!name || PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

// ---------------------------------------------------------------------------
// Docstrings
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

[[noreturn]] void not_implemented() { raise(PyExc_NotImplementedError); }

// An assertion check: `ok()` is not even evaluated when Python runs with -O.
template <class Ok>
void check(Ok&& ok, const char* message = "") {
    if (zarnik_py::assertions_enabled() && !ok()) raise(PyExc_AssertionError, message);
}

void init_constant(py::object self, py::object value);

py::object make_shifted(py::handle factor, py::handle n) { return cls(state().shifted_factor)(factor, n); }

// ConstantFactor(value), without a trip through the type's call machinery.
py::object make_constant(py::handle value) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(state().constant_factor);
    static PyObject* const no_args = PyTuple_New(0);
    PyObject* obj = type->tp_new(type, no_args, nullptr);
    if (!obj) throw py::error_already_set();
    py::object self = py::reinterpret_steal<py::object>(obj);
    init_constant(self, py::reinterpret_borrow<py::object>(value));
    return self;
}

// Installs the walked members of one node kind (see walk.cpp), in the order given.
void install(ClassBuilder& b, const char* kind, std::initializer_list<const char*> names,
             py::object func = py::none(), py::object shown = py::none()) {
    py::dict members = node_members(kind, std::move(func), std::move(shown));
    for (const char* n : names) b.attr(n, py::reinterpret_borrow<py::object>(members[n]));
}

// ---------------------------------------------------------------------------
// AbstractFactor
// ---------------------------------------------------------------------------

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
    b.property("expr", [](py::object self) -> py::object { not_implemented(); },
               "表达式键：叶子节点、字面量，或 (函数, 参数键元组)。");
    b.property("dependencies", [](py::object self) -> py::object { not_implemented(); },
               "依赖的叶子节点列表（按操作数顺序深度优先，保留重复）。");
    b.property("shift", [](py::object self) -> py::object { not_implemented(); },
               "回看期：计算消耗的叶子数据前导交易日行数。");
    // The numpy function is looked up on every call, so that it can be substituted.
    for (const Operator& op : kOperators) {
        const char* ufunc = op.ufunc;
        switch (op.form) {
            case Operator::Unary:
                b.method(op.name, {"(self)", std::string("返回 UnaryCombinedFactor(numpy.") + ufunc + ", self)。"},
                         [ufunc](py::object self) { return cls(state().unary_factor)(global("np").attr(ufunc), self); },
                         py::arg("self"));
                break;
            case Operator::Binary:
            case Operator::Reflected: {
                const bool reflected = op.form == Operator::Reflected;
                b.method(op.name,
                         {"(self, other)", std::string("返回 BinaryCombinedFactor(numpy.") + ufunc +
                                               (reflected ? ", other, self)。" : ", self, other)。")},
                         [ufunc, reflected](py::object self, py::object other) {
                             return cls(state().binary_factor)(global("np").attr(ufunc), reflected ? other : self,
                                                               reflected ? self : other);
                         },
                         py::arg("self"), py::arg("other"));
                break;
            }
            case Operator::Alias:
                b.alias(op.name, op.ufunc);
                break;
        }
    }
    b.method("__pos__", {"(self)", "返回节点本身。"}, [](py::object self) { return self; }, py::arg("self"));
    b.method(
        "__bool__", {"(self)", "节点没有真值：抛出 ZarnikUserException（请使用 IF）。"},
        [](py::object) -> py::object { raise_object(global("ZarnikUserException"), "please use IF instead"); },
        py::arg("self"));
    return b.build();
}

// ---------------------------------------------------------------------------
// ConstantFactor
// ---------------------------------------------------------------------------

// ConstantFactor.__init__: stores the normalised value.
void init_constant(py::object self, py::object value) {
    if (PyFloat_CheckExact(value.ptr())) {
        // The common case (operands written as numbers): stored unchanged.
        return set_attr(self, ZARNIK_NAME("_value"), value);
    }
    // A plain int is neither a pandas object nor an array.
    const bool plain = PyLong_CheckExact(value.ptr());
    py::object pd = plain ? py::object() : global("pd");
    if (!plain && (py::isinstance(value, pd.attr("DataFrame")) || py::isinstance(value, pd.attr("Series")))) {
        return set_attr(self, ZARNIK_NAME("_value"), value.attr("values"));
    }
    if (!plain && py::isinstance(value, global("np").attr("ndarray"))) {
        return set_attr(self, ZARNIK_NAME("_value"), value);
    }
    PyObject* f = PyNumber_Float(value.ptr());
    if (!f) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
        // Replace the conversion's error, keeping it as the context.
        PyObject *type, *error, *trace;
        PyErr_Fetch(&type, &error, &trace);
        PyErr_NormalizeException(&type, &error, &trace);
        if (trace) PyException_SetTraceback(error, trace);
        Py_XDECREF(type);
        Py_XDECREF(trace);
        py::object exc = py::handle(PyExc_ValueError)(format_text("invalid constant value {}", value));
        PyException_SetContext(exc.ptr(), error);  // steals the reference
        PyErr_SetObject(PyExc_ValueError, exc.ptr());
        throw py::error_already_set();
    }
    set_attr(self, ZARNIK_NAME("_value"), py::reinterpret_steal<py::object>(f));
}

py::object build_constant(py::module_& m, py::handle base) {
    ClassBuilder b(m, "ConstantFactor", py::make_tuple(base), kConstantDoc);
    b.init({"(self, value)"}, &init_constant, py::arg("self"), py::arg("value"));
    install(b, "constant", {"expr", "dependencies", "shift"});
    return b.build();
}

// ---------------------------------------------------------------------------
// UnaryCombinedFactor, ShiftedFactor
// ---------------------------------------------------------------------------

py::object build_unary(py::module_& m, py::handle base) {
    ClassBuilder b(m, "UnaryCombinedFactor", py::make_tuple(base), kUnaryDoc);
    b.init(
        {"(self, func, factor, *args)"},
        [](py::object self, py::object func, py::object factor, py::args args) {
            check([&] { return is_factor(factor); }, "factor expected");
            self.attr("_func") = func;
            self.attr("_factor") = factor;
            self.attr("_args") = args;
        },
        py::arg("self"), py::arg("func"), py::arg("factor"));
    install(b, "unary", {"expr", "dependencies", "shift", "__repr__"});
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

py::object build_shifted(py::module_& m, py::handle base) {
    ClassBuilder b(m, "ShiftedFactor", py::make_tuple(base), kShiftedDoc);
    b.init(
        {"(self, factor, n)"},
        [](py::object self, py::object factor, py::object n) {
            check([&] { return is_factor(factor); });
            self.attr("_factor") = factor;
            self.attr("_n") = n;
        },
        py::arg("self"), py::arg("factor"), py::arg("n"));
    py::cpp_function shift_fn = zarnik_py::signed_function(
        "_shift", {"(series, n)", "丢弃计算结果的前 n 行（pandas 对象取其 values）。"}, &drop_rows,
        py::arg("series"), py::arg("n"));
    install(b, "offset", {"expr", "dependencies", "shift", "__repr__"}, shift_fn, py::str("shift"));
    b.attr("_shift", zarnik_py::builtin("staticmethod")(shift_fn));
    return b.build();
}

// ---------------------------------------------------------------------------
// BinaryCombinedFactor
// ---------------------------------------------------------------------------

void init_binary(py::object self, py::object func, py::object arg1, py::object arg2) {
    const bool node1 = is_factor(arg1);
    const bool node2 = is_factor(arg2);
    check([&] { return node1 || node2; });
    set_attr(self, ZARNIK_NAME("_func"), func);
    // The text is built on demand (`_repr`) from the name and the operands as
    // passed; an operand that is not a node keeps the text it shows now.
    PyObject* name = PyObject_Format(function_name(func).ptr(), py::str("").ptr());
    if (!name) throw py::error_already_set();
    PyUnicode_InternInPlace(&name);
    py::object shown_name = py::reinterpret_steal<py::object>(name);
    set_attr(self, ZARNIK_NAME("_repr_args"),
             py::make_tuple(shown_name, node1 ? arg1 : py::object(py::repr(arg1)),
                            node2 ? arg2 : py::object(py::repr(arg2))));
    // Both operands end up with the same look-back: the shorter one is shifted.
    py::object first = arg1, second = arg2, shift;
    if (node1 && node2) {
        py::object s1 = lookback(arg1);
        py::object s2 = lookback(arg2);
        shift = s1;
        if (greater(s1, s2)) {
            second = make_shifted(arg2, subtract(s1, s2));
        } else if (less(s1, s2)) {
            first = make_shifted(arg1, subtract(s2, s1));
            shift = s2;
        }
    } else if (node1) {
        second = make_constant(arg2);
        shift = lookback(arg1);
    } else {
        // Only reached with arg2 a node, or under -O with neither: then
        // reading arg2.shift reports the non-node operand.
        first = make_constant(arg1);
        shift = lookback(arg2);
    }
    set_attr(self, ZARNIK_NAME("_arg1"), first);
    set_attr(self, ZARNIK_NAME("_arg2"), second);
    set_attr(self, ZARNIK_NAME("_shift"), shift);
}

py::object build_binary(py::module_& m, py::handle base) {
    ClassBuilder b(m, "BinaryCombinedFactor", py::make_tuple(base), kBinaryDoc);
    b.init({"(self, func, arg1, arg2)"}, &init_binary, py::arg("self"), py::arg("func"), py::arg("arg1"),
           py::arg("arg2"));
    install(b, "binary", {"expr", "dependencies", "shift", "_repr", "__repr__"});
    return b.build();
}

// ---------------------------------------------------------------------------
// LeafFactor, AbstractUserDefinedLeafFactor, UserDefinedLeafFactor
// ---------------------------------------------------------------------------

py::object build_leaf(py::module_& m, py::handle base) {
    ClassBuilder b(m, "LeafFactor", py::make_tuple(base), kLeafDoc);
    install(b, "leaf", {"expr", "dependencies", "shift"});
    b.method("__hash__", {"(self)", "子类必须实现。"}, [](py::object) -> py::object { not_implemented(); },
             py::arg("self"));
    return b.build();
}

py::object build_abstract_user_leaf(py::module_& m, py::handle base) {
    ClassBuilder b(m, "AbstractUserDefinedLeafFactor", py::make_tuple(base));
    b.method("execute", {"(self, order_book_ids, start_date, end_date)", "子类必须实现：返回叶子数据。"},
             [](py::object, py::object, py::object, py::object) -> py::object { not_implemented(); },
             py::arg("self"), py::arg("order_book_ids"), py::arg("start_date"), py::arg("end_date"));
    return b.build();
}

py::object execute_user_leaf(py::object self, py::object order_book_ids, py::object start_date,
                             py::object end_date) {
    py::object fail = global("InvalidUserFactor");
    py::object ret = self.attr("_func")(order_book_ids, start_date, end_date);
    py::object pd = global("pd");
    if (!py::isinstance(ret, pd.attr("DataFrame"))) {
        raise_object(fail, format_text("UFactor({}): pd.DataFrame expected, got {}.", self.attr("_name"),
                                       py::type::handle_of(ret)));
    }
    if (py::bool_(ret.attr("empty"))) {
        raise_object(fail, format_text("UFactor({}): the returned DataFrame is empty.", self.attr("_name")));
    }
    py::object index = ret.attr("index");
    if (!py::isinstance(index, pd.attr("DatetimeIndex"))) {
        raise_object(fail, format_text("UFactor({}): the index of the returned DataFrame is not a pd.DatetimeIndex.",
                                       self.attr("_name")));
    }
    py::object tds = global("ostrel").attr("get_trading_dates")(start_date, end_date);
    py::object date_index = pd.attr("to_datetime")(tds);
    bool mismatch = !date_index.attr("shape").equal(index.attr("shape"));
    if (!mismatch) {
        PyObject* ne = PyObject_RichCompare(date_index.ptr(), index.ptr(), Py_NE);
        if (!ne) throw py::error_already_set();
        mismatch = py::bool_(global("np").attr("any")(py::reinterpret_steal<py::object>(ne)));
    }
    if (mismatch) {
        raise_object(fail, format_text("UFactor({}):the index of returned DataFrame does not match, "
                                       "expect trading dates from {} to {}",
                                       self.attr("_name"), start_date, end_date));
    }
    py::object set = zarnik_py::builtin("set");
    if (set(ret.attr("columns").attr("tolist")()).not_equal(set(order_book_ids))) {
        raise_object(fail, format_text("UFactor({}): the columns of returned DataFrame does not match, "
                                       "expect exact order_book_ids",
                                       self.attr("_name")));
    }
    return ret;
}

py::object build_user_leaf(py::module_& m, py::handle base) {
    ClassBuilder b(m, "UserDefinedLeafFactor", py::make_tuple(base), kUserLeafDoc);
    b.init(
        {"(self, name, func)"},
        [](py::object self, py::object name, py::object func) {
            self.attr("_name") = name;
            self.attr("_func") = func;
        },
        py::arg("self"), py::arg("name"), py::arg("func"));
    b.property("name", [](py::object self) { return self.attr("_name"); }, "因子名称。");
    b.method("execute",
             {"(self, order_book_ids, start_date, end_date)",
              "调用用户函数并校验其结果：非空 DataFrame，index 为 start_date 至 end_date 的交易日（升序），\n"
              "columns 与 order_book_ids 集合相同。校验失败抛出 InvalidUserFactor。"},
             &execute_user_leaf, py::arg("self"), py::arg("order_book_ids"), py::arg("start_date"),
             py::arg("end_date"));
    b.method(
        "__hash__", {"(self)", "用户函数的 id()。"},
        [](py::object self) {
            py::object func = self.attr("_func");
            return py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(func.ptr()));
        },
        py::arg("self"));
    b.method("__repr__", {"(self)"}, [](py::object self) { return format_text("UFactor({})", self.attr("_name")); },
             py::arg("self"));
    return b.build();
}

// ---------------------------------------------------------------------------
// CombinedFactor
// ---------------------------------------------------------------------------

void init_combined(py::object self, py::object func, py::args args) {
    self.attr("_func") = func;
    std::vector<py::object> shifts(args.size());
    py::object largest;
    for (size_t i = 0; i < args.size(); ++i) {
        if (!is_factor(args[i])) continue;
        shifts[i] = args[i].attr("shift");
        if (!largest || greater(shifts[i], largest)) largest = shifts[i];
    }
    if (!largest) {
        check([] { return false; });
        raise(PyExc_ValueError, "CombinedFactor needs at least one factor argument");
    }
    self.attr("_shift") = largest;
    py::list stored;
    for (size_t i = 0; i < args.size(); ++i) {
        if (!shifts[i]) {
            stored.append(make_constant(args[i]));
        } else if (less(shifts[i], largest)) {
            stored.append(make_shifted(args[i], subtract(largest, shifts[i])));
        } else {
            stored.append(args[i]);
        }
    }
    self.attr("_args") = stored;
}

py::object build_combined(py::module_& m, py::handle base) {
    ClassBuilder b(m, "CombinedFactor", py::make_tuple(base), kCombinedDoc);
    b.init({"(self, func, *args)"}, &init_combined, py::arg("self"), py::arg("func"));
    install(b, "combined", {"expr", "dependencies", "shift", "__repr__"});
    return b.build();
}

}  // namespace

void register_classes(py::module_& m) {
    State& s = state();
    py::object abstract = build_abstract(m);
    s.abstract_factor = abstract.inc_ref().ptr();
    s.constant_factor = build_constant(m, abstract).inc_ref().ptr();
    s.unary_factor = build_unary(m, abstract).inc_ref().ptr();
    s.shifted_factor = build_shifted(m, abstract).inc_ref().ptr();
    s.binary_factor = build_binary(m, abstract).inc_ref().ptr();
    py::object leaf = build_leaf(m, abstract);
    build_user_leaf(m, build_abstract_user_leaf(m, leaf));
    build_combined(m, abstract);
}

}  // namespace zarnik_interface
