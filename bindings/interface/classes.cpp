// The nine node classes, assembled as plain Python classes in the order in
// which users see them in the module.
#include <pybind11/pybind11.h>

#include <vector>

#include "interface/nodes.hpp"

namespace zarnik_interface {

namespace {

using zarnik_py::ClassBuilder;
using zarnik_py::raise;

// str.format kept as a Python string (names may hold any text).
template <class... Args>
py::str pyformat(const char* tmpl, Args&&... args) {
    return py::str(py::str(tmpl).attr("format")(std::forward<Args>(args)...));
}

using zarnik_py::init_method;

// An attribute name created once (interned), for the constructors called most.
#define ZARNIK_NAME(text)                                         \
    ([]() -> PyObject* {                                          \
        static PyObject* const interned = PyUnicode_InternFromString(text); \
        return interned;                                          \
    }())

void set_attr(py::handle obj, PyObject* name, py::handle value) {
    if (!name || PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

py::object get_attr(py::handle obj, PyObject* name) {
    PyObject* r = name ? PyObject_GetAttr(obj.ptr(), name) : nullptr;
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// Raises exc_type(message).
[[noreturn]] void raise_with(py::handle exc_type, const py::str& message) {
    py::object exc = exc_type(message);
    PyErr_SetObject(exc_type.ptr(), exc.ptr());
    throw py::error_already_set();
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

// An assertion check: skipped when Python runs with -O.
void check(bool ok, const char* message = "") {
    if (!ok) raise(PyExc_AssertionError, message);
}

void init_constant(py::object self, py::object value);

py::object make_shifted(py::handle factor, py::handle n) {
    return cls(state().shifted_factor)(factor, n);
}

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

// Nodes built by the operators; the numpy function is looked up each time.
py::object binary(const char* ufunc, py::handle first, py::handle second) {
    py::object func = global("np").attr(ufunc);
    return cls(state().binary_factor)(func, first, second);
}

py::object unary(const char* ufunc, py::handle factor) {
    py::object func = global("np").attr(ufunc);
    return cls(state().unary_factor)(func, factor);
}

// Installs the walked members of one node kind (see walk.cpp), in the order given.
void install(ClassBuilder& b, const py::dict& members, std::initializer_list<const char*> names) {
    for (const char* n : names) b.attr(n, py::reinterpret_borrow<py::object>(members[n]));
}

py::dict members(const char* kind, py::object func = py::none(), py::object name = py::none()) {
    return node_members(kind, std::move(func), std::move(name));
}

// ---------------------------------------------------------------------------
// AbstractFactor
// ---------------------------------------------------------------------------

py::object build_abstract(py::module_& m) {
    ClassBuilder b(m, "AbstractFactor", py::make_tuple(py::module_::import("builtins").attr("object")));
    b.property("expr", [](py::object) -> py::object { not_implemented(); },
               "表达式键：叶子节点、字面量，或 (函数, 参数键元组)。");
    b.property("dependencies", [](py::object) -> py::object { not_implemented(); },
               "依赖的叶子节点列表（按操作数顺序深度优先，保留重复）。");
    b.property("shift", [](py::object) -> py::object { not_implemented(); },
               "回看期：计算消耗的叶子数据前导交易日行数。");

#define ZARNIK_BINARY(NAME, UFUNC)                                                         \
    b.method(NAME, [](py::object self, py::object other) { return binary(UFUNC, self, other); }, \
             py::arg("self"), py::arg("other"))
#define ZARNIK_RBINARY(NAME, UFUNC)                                                        \
    b.method(NAME, [](py::object self, py::object other) { return binary(UFUNC, other, self); }, \
             py::arg("self"), py::arg("other"))
#define ZARNIK_UNARY(NAME, UFUNC) \
    b.method(NAME, [](py::object self) { return unary(UFUNC, self); }, py::arg("self"))

    ZARNIK_UNARY("__abs__", "abs");
    ZARNIK_BINARY("__add__", "add");
    b.alias("__radd__", "__add__");
    ZARNIK_BINARY("__sub__", "subtract");
    ZARNIK_RBINARY("__rsub__", "subtract");
    ZARNIK_BINARY("__mul__", "multiply");
    b.alias("__rmul__", "__mul__");
    ZARNIK_BINARY("__truediv__", "true_divide");
    ZARNIK_RBINARY("__rtruediv__", "true_divide");
    ZARNIK_BINARY("__floordiv__", "floor_divide");
    ZARNIK_RBINARY("__rfloordiv__", "floor_divide");
    ZARNIK_BINARY("__mod__", "mod");
    ZARNIK_RBINARY("__rmod__", "mod");
    ZARNIK_BINARY("__pow__", "power");
    ZARNIK_RBINARY("__rpow__", "power");
    b.method("__pos__", [](py::object self) { return self; }, py::arg("self"));
    ZARNIK_UNARY("__neg__", "negative");
    ZARNIK_BINARY("__lt__", "less");
    ZARNIK_BINARY("__le__", "less_equal");
    ZARNIK_BINARY("__gt__", "greater");
    ZARNIK_BINARY("__ge__", "greater_equal");
    ZARNIK_BINARY("__ne__", "not_equal");
    ZARNIK_BINARY("__and__", "logical_and");
    ZARNIK_BINARY("__or__", "logical_or");
    ZARNIK_BINARY("__xor__", "logical_xor");
    ZARNIK_UNARY("__invert__", "logical_not");

#undef ZARNIK_BINARY
#undef ZARNIK_RBINARY
#undef ZARNIK_UNARY

    b.method(
        "__bool__",
        [](py::object) -> py::object {
            raise_with(global("ZarnikUserException"), py::str("please use IF instead"));
        },
        py::arg("self"));
    return b.build();
}

// ---------------------------------------------------------------------------
// ConstantFactor
// ---------------------------------------------------------------------------

// ConstantFactor.__init__: stores the normalised value.
void init_constant(py::object self, py::object value) {
            py::object stored;
            if (PyFloat_CheckExact(value.ptr())) {
                // The common case (operands written as numbers): stored unchanged.
                set_attr(self, ZARNIK_NAME("_value"), value);
                return;
            }
            // A plain int is neither a pandas object nor an array.
            const bool plain = PyLong_CheckExact(value.ptr());
            py::object pd = plain ? py::object() : global("pd");
            if (!plain && (py::isinstance(value, pd.attr("DataFrame")) || py::isinstance(value, pd.attr("Series")))) {
                stored = value.attr("values");
            } else if (!plain && py::isinstance(value, global("np").attr("ndarray"))) {
                stored = value;
            } else {
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
                    py::object original = py::reinterpret_steal<py::object>(error);
                    py::object exc = py::handle(PyExc_ValueError)(pyformat("invalid constant value {}", value));
                    PyException_SetContext(exc.ptr(), original.release().ptr());
                    PyErr_SetObject(PyExc_ValueError, exc.ptr());
                    throw py::error_already_set();
                }
                stored = py::reinterpret_steal<py::object>(f);
            }
            self.attr("_value") = stored;
        }

py::object build_constant(py::module_& m, py::handle base) {
    ClassBuilder b(m, "ConstantFactor", py::make_tuple(base), kConstantDoc);
    b.attr("__init__", init_method("ConstantFactor.__init__", &init_constant, py::arg("self"), py::arg("value")));
    install(b, members("constant"), {"expr", "dependencies", "shift"});
    return b.build();
}

// ---------------------------------------------------------------------------
// UnaryCombinedFactor
// ---------------------------------------------------------------------------

py::object build_unary(py::module_& m, py::handle base) {
    ClassBuilder b(m, "UnaryCombinedFactor", py::make_tuple(base), kUnaryDoc);
    b.attr("__init__", init_method(
        "UnaryCombinedFactor.__init__",
        [](py::object self, py::object func, py::object factor, py::args args) {
            if (zarnik_py::assertions_enabled()) check(is_factor(factor), "factor expected");
            self.attr("_func") = func;
            self.attr("_factor") = factor;
            self.attr("_args") = args;
        },
        py::arg("self"), py::arg("func"), py::arg("factor")));
    install(b, members("unary"), {"expr", "dependencies", "shift", "__repr__"});
    return b.build();
}

// ---------------------------------------------------------------------------
// ShiftedFactor
// ---------------------------------------------------------------------------

py::object build_shifted(py::module_& m, py::handle base) {
    ClassBuilder b(m, "ShiftedFactor", py::make_tuple(base), kShiftedDoc);
    b.attr("__init__", init_method(
        "ShiftedFactor.__init__",
        [](py::object self, py::object factor, py::object n) {
            if (zarnik_py::assertions_enabled()) check(is_factor(factor));
            self.attr("_factor") = factor;
            self.attr("_n") = n;
        },
        py::arg("self"), py::arg("factor"), py::arg("n")));
    // Drops the first n rows of an evaluated value: a pandas object gives its
    // value array without the labels, anything else is sliced directly.
    py::cpp_function shift_fn(
        [](py::object series, py::object n) -> py::object {
            py::slice tail(n, py::none(), py::none());
            PyObject* values = PyObject_GetAttrString(series.ptr(), "values");
            if (values) {
                return py::reinterpret_steal<py::object>(values)[tail];
            }
            // Any failure of the lookup counts as "no values attribute"; only
            // exceptions that are not errors (KeyboardInterrupt...) propagate.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
            PyErr_Clear();
            return series[tail];
        },
        py::name("_shift"), py::arg("series"), py::arg("n"));
    try {
        shift_fn.attr("__qualname__") = py::str("ShiftedFactor._shift");
    } catch (py::error_already_set&) {
        PyErr_Clear();
    }
    install(b, members("offset", shift_fn, py::str("shift")), {"expr", "dependencies", "shift", "__repr__"});
    b.attr("_shift", py::module_::import("builtins").attr("staticmethod")(shift_fn));
    py::object klass = b.build();
    state().shift_function = py::object(klass.attr("_shift")).release().ptr();
    return klass;
}

// ---------------------------------------------------------------------------
// BinaryCombinedFactor
// ---------------------------------------------------------------------------

py::object build_binary(py::module_& m, py::handle base) {
    ClassBuilder b(m, "BinaryCombinedFactor", py::make_tuple(base), kBinaryDoc);
    b.attr("__init__", init_method(
        "BinaryCombinedFactor.__init__",
        [](py::object self, py::object func, py::object arg1, py::object arg2) {
            bool node1 = is_factor(arg1);
            bool node2 = is_factor(arg2);
            if (zarnik_py::assertions_enabled()) check(node1 || node2);
            set_attr(self, ZARNIK_NAME("_func"), func);
            // The text is built on demand (`_repr`) from the name and the
            // operands as passed; an operand that is not a node keeps the
            // text it shows now.
            PyObject* name = PyObject_Format(function_name(func).ptr(), py::str("").ptr());
            if (!name) throw py::error_already_set();
            PyUnicode_InternInPlace(&name);
            py::object shown_name = py::reinterpret_steal<py::object>(name);
            set_attr(self, ZARNIK_NAME("_repr_args"), py::make_tuple(shown_name, node1 ? arg1 : py::object(py::repr(arg1)),
                                                     node2 ? arg2 : py::object(py::repr(arg2))));
            if (node1 && node2) {
                py::object s1 = lookback(arg1);
                py::object s2 = lookback(arg2);
                if (greater(s1, s2)) {
                    set_attr(self, ZARNIK_NAME("_arg2"), make_shifted(arg2, subtract(s1, s2)));
                    set_attr(self, ZARNIK_NAME("_arg1"), arg1);
                    set_attr(self, ZARNIK_NAME("_shift"), s1);
                } else if (less(s1, s2)) {
                    set_attr(self, ZARNIK_NAME("_arg1"), make_shifted(arg1, subtract(s2, s1)));
                    set_attr(self, ZARNIK_NAME("_arg2"), arg2);
                    set_attr(self, ZARNIK_NAME("_shift"), s2);
                } else {
                    set_attr(self, ZARNIK_NAME("_arg1"), arg1);
                    set_attr(self, ZARNIK_NAME("_arg2"), arg2);
                    set_attr(self, ZARNIK_NAME("_shift"), s1);
                }
            } else if (node1) {
                set_attr(self, ZARNIK_NAME("_arg1"), arg1);
                set_attr(self, ZARNIK_NAME("_arg2"), make_constant(arg2));
                set_attr(self, ZARNIK_NAME("_shift"), lookback(arg1));
            } else {
                // Only reached with arg2 a node, or under -O with neither: then
                // reading arg2.shift reports the non-node operand.
                set_attr(self, ZARNIK_NAME("_arg2"), arg2);
                set_attr(self, ZARNIK_NAME("_arg1"), make_constant(arg1));
                set_attr(self, ZARNIK_NAME("_shift"), lookback(arg2));
            }
        },
        py::arg("self"), py::arg("func"), py::arg("arg1"), py::arg("arg2")));
    install(b, members("binary"), {"expr", "dependencies", "shift", "_repr", "__repr__"});
    return b.build();
}

// ---------------------------------------------------------------------------
// LeafFactor, AbstractUserDefinedLeafFactor, UserDefinedLeafFactor
// ---------------------------------------------------------------------------

py::object build_leaf(py::module_& m, py::handle base) {
    ClassBuilder b(m, "LeafFactor", py::make_tuple(base), kLeafDoc);
    install(b, members("leaf"), {"expr", "dependencies", "shift"});
    b.method("__hash__", [](py::object) -> py::object { not_implemented(); }, py::arg("self"));
    return b.build();
}

py::object build_abstract_user_leaf(py::module_& m, py::handle base) {
    ClassBuilder b(m, "AbstractUserDefinedLeafFactor", py::make_tuple(base));
    b.method(
        "execute", [](py::object, py::object, py::object, py::object) -> py::object { not_implemented(); },
        py::arg("self"), py::arg("order_book_ids"), py::arg("start_date"), py::arg("end_date"));
    return b.build();
}

py::object execute_user_leaf(py::object self, py::object order_book_ids, py::object start_date,
                             py::object end_date) {
    py::object fail = global("InvalidUserFactor");
    py::object ret = self.attr("_func")(order_book_ids, start_date, end_date);
    py::object pd = global("pd");
    if (!py::isinstance(ret, pd.attr("DataFrame"))) {
        raise_with(fail, pyformat("UFactor({}): pd.DataFrame expected, got {}.", self.attr("_name"),
                                  py::type::handle_of(ret)));
    }
    if (py::bool_(ret.attr("empty"))) {
        raise_with(fail, pyformat("UFactor({}): the returned DataFrame is empty.", self.attr("_name")));
    }
    py::object index = ret.attr("index");
    if (!py::isinstance(index, pd.attr("DatetimeIndex"))) {
        raise_with(fail, pyformat("UFactor({}): the index of the returned DataFrame is not a pd.DatetimeIndex.",
                                  self.attr("_name")));
    }
    py::object tds = global("ostrel").attr("get_trading_dates")(start_date, end_date);
    py::object date_index = pd.attr("to_datetime")(tds);
    bool mismatch = !date_index.attr("shape").equal(index.attr("shape"));
    if (!mismatch) {
        PyObject* ne = PyObject_RichCompare(date_index.ptr(), index.ptr(), Py_NE);
        if (!ne) throw py::error_already_set();
        py::object differs = global("np").attr("any")(py::reinterpret_steal<py::object>(ne));
        mismatch = py::bool_(differs);
    }
    if (mismatch) {
        raise_with(fail, pyformat("UFactor({}):the index of returned DataFrame does not match, "
                                  "expect trading dates from {} to {}",
                                  self.attr("_name"), start_date, end_date));
    }
    py::object builtins = py::module_::import("builtins");
    py::object columns = builtins.attr("set")(ret.attr("columns").attr("tolist")());
    py::object requested = builtins.attr("set")(order_book_ids);
    if (columns.not_equal(requested)) {
        raise_with(fail, pyformat("UFactor({}): the columns of returned DataFrame does not match, "
                                  "expect exact order_book_ids",
                                  self.attr("_name")));
    }
    return ret;
}

py::object build_user_leaf(py::module_& m, py::handle base) {
    ClassBuilder b(m, "UserDefinedLeafFactor", py::make_tuple(base), kUserLeafDoc);
    b.attr("__init__", init_method(
        "UserDefinedLeafFactor.__init__",
        [](py::object self, py::object name, py::object func) {
            self.attr("_name") = name;
            self.attr("_func") = func;
        },
        py::arg("self"), py::arg("name"), py::arg("func")));
    b.property("name", [](py::object self) { return self.attr("_name"); }, "因子名称。");
    b.method("execute", &execute_user_leaf, py::arg("self"), py::arg("order_book_ids"), py::arg("start_date"),
             py::arg("end_date"),
             "调用用户函数并校验其结果：非空 DataFrame，index 为 start_date 至 end_date 的交易日（升序），\n"
             "columns 与 order_book_ids 集合相同。校验失败抛出 InvalidUserFactor。");
    b.method(
        "__hash__",
        [](py::object self) {
            // id() of the user function.
            py::object func = self.attr("_func");
            return py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(func.ptr()));
        },
        py::arg("self"));
    b.method("__repr__", [](py::object self) { return pyformat("UFactor({})", self.attr("_name")); },
             py::arg("self"));
    return b.build();
}

// ---------------------------------------------------------------------------
// CombinedFactor
// ---------------------------------------------------------------------------

py::object build_combined(py::module_& m, py::handle base) {
    ClassBuilder b(m, "CombinedFactor", py::make_tuple(base), kCombinedDoc);
    b.attr("__init__", init_method(
        "CombinedFactor.__init__",
        [](py::object self, py::object func, py::args args) {
            self.attr("_func") = func;
            std::vector<py::object> shifts(args.size());
            py::object largest;
            for (size_t i = 0; i < args.size(); ++i) {
                if (!is_factor(args[i])) continue;
                shifts[i] = args[i].attr("shift");
                if (!largest || greater(shifts[i], largest)) largest = shifts[i];
            }
            if (!largest) {
                if (zarnik_py::assertions_enabled()) check(false);
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
        },
        py::arg("self"), py::arg("func")));
    install(b, members("combined"), {"expr", "dependencies", "shift", "__repr__"});
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
    py::object abstract_user = build_abstract_user_leaf(m, leaf);
    build_user_leaf(m, abstract_user);
    build_combined(m, abstract);
}

}  // namespace zarnik_interface
