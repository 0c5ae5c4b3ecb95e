// Node members computed by walking the tree: expr, dependencies, shift and
// the text representation.
//
// Each is defined by the operands' values of the same member. Computed by
// recursion, a tree a few thousand levels deep exhausts the C stack, so the
// walks (zarnik/walk.hpp) keep their own stack and depth costs heap only.
//
// An operand is walked in place when the member its class resolves to is one
// created here (the built-in node kinds, the rolling nodes and the lag node
// register theirs). Any other operand -- a user subclass that overrides the
// member, a user leaf -- is asked through ordinary attribute lookup, so
// overrides are always seen. Such a call may come back here; every entry
// checks the shared stack guard first.
#include <pybind11/pybind11.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/stack_guard.hpp"
#include "interface/nodes.hpp"
#include "zarnik/walk.hpp"

namespace zarnik_interface {

const char* const kNameText[kNames] = {
    "expr", "dependencies", "shift", "__repr__", "_repr", "_factor", "_args", "_arg1", "_arg2", "_n",
    "_window", "_factors", "_func", "_shift", "_value", "_repr_args", "_repr_text", "__name__"};
const char* const kMemberDoc[3] = {"表达式键：叶子节点、字面量，或 (函数, 参数键元组)。",
                                   "依赖的叶子节点列表（按操作数顺序深度优先，保留重复）。",
                                   "回看期：计算消耗的叶子数据前导交易日行数。"};

PyObject* name(Name n) {
    static PyObject** const names = [] {
        auto* out = new PyObject*[kNames];
        for (int i = 0; i < kNames; ++i) out[i] = zarnik_py::checked(PyUnicode_InternFromString(kNameText[i])).release().ptr();
        return out;
    }();
    return names[n];
}

namespace {

py::object borrow(py::handle h) { return py::reinterpret_borrow<py::object>(h); }

// Appends every element of `items` (any iterable) to `out`.
void extend(py::list& out, py::handle items) { zarnik_py::checked(PyNumber_InPlaceAdd(out.ptr(), items.ptr())); }

using zarnik::walk::Kind;
using zarnik::walk::Rule;
using zarnik::walk::Shift;
using zarnik::walk::Slot;

static_assert(nFactors - nFactor == static_cast<int>(Slot::Factors) - 1, "Name lists the slots in Slot's order");
Name slot_name(Slot s) { return static_cast<Name>(nFactor + static_cast<int>(s) - 1); }

// A node kind; offset nodes (ShiftedFactor, the lag node) also carry the row
// function of their key and the name their representation shows.
struct KindInfo {
    Kind kind = Kind::Leaf;
    PyObject* func = nullptr;
    PyObject* name = nullptr;
    const Rule& rule() const { return zarnik::walk::rule(kind); }
};

// Member descriptor -> kind, per member. The descriptors live as long as the
// process, so an address is never reused.
std::unordered_map<PyObject*, KindInfo>& registry(int member) {
    static auto* maps = new std::unordered_map<PyObject*, KindInfo>[kMembers];
    return maps[member];
}

// Whether the object's class resolves member `p` to one of ours, and its kind.
bool kind_of(py::handle obj, Name p, KindInfo& out) {
    PyTypeObject* t = Py_TYPE(obj.ptr());
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;  // custom lookup: ask it
    PyObject* d = _PyType_Lookup(t, name(p));
    auto it = d ? registry(p).find(d) : registry(p).end();
    if (it == registry(p).end()) return false;
    if (p == kRepr && it->second.kind == Kind::Binary) {
        // A binary node shows its `_repr`; expand only when that is ours too.
        PyObject* text = _PyType_Lookup(t, name(kText));
        if (!text || !registry(kText).count(text)) return false;
    }
    out = it->second;
    return true;
}

// The operands of a node, in order.
template <class Out>
void operands(py::handle node, const Rule& r, Out&& out) {
    if (r.sequence) {
        for (py::handle a : get(node, slot_name(r.operands[0]))) out(borrow(a));
        return;
    }
    for (Slot s : r.operands) {
        if (s != Slot::None) out(get(node, slot_name(s)));
    }
}

// Walks nested on this thread: each is entered again through a member
// defined in Python (an override, a user node) that reads a member of ours.
thread_local int nested_walks = 0;

struct Nesting {
    Nesting() {
        if (zarnik_py::stack_low()) {
            std::string msg = "factor tree too deep to walk: " + std::to_string(nested_walks) +
                              " levels of node members defined in Python (overrides or user node classes) "
                              "nested in one another used up this thread's stack; built-in nodes are walked "
                              "without recursion at any depth";
            zarnik_py::raise(PyExc_RecursionError, msg);
        }
        ++nested_walks;
    }
    ~Nesting() { --nested_walks; }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;
};

// Checks for signals (Ctrl-C) every 65536 steps of a walk.
auto ticker() {
    return [steps = std::size_t(0)]() mutable {
        if ((++steps & 0xFFFF) == 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
    };
}

// ---------------------------------------------------------------------------
// expr, dependencies, shift: bottom-up
// ---------------------------------------------------------------------------

struct Node {
    py::object obj;
    KindInfo info;
    py::object lead;  // rolling shift: window - 1, read before the operand's
};

struct Value {
    py::object obj;
    bool fresh = false;  // a list this walk made (free to extend)
};

Value combine(const Node& n, std::vector<Value>& values, Name p) {
    const Kind k = n.info.kind;
    const Rule& r = n.info.rule();
    py::handle node = n.obj;
    if (p == kShift) {
        switch (r.shift) {
            case Shift::Zero: return {py::int_(0)};
            case Shift::Operand: return {values[0].obj};
            case Shift::Offset: return {add(values[0].obj, get(node, nN))};
            case Shift::Window: return {add(n.lead, values[0].obj)};
            case Shift::Stored: break;
        }
        return {get(node, nShift)};
    }
    if (p == kDeps) {
        if (k == Kind::Leaf) return {py::list(py::make_tuple(node)), true};
        // A single operand's list is passed on as it is.
        if (r.operands[0] == Slot::Factor) return values[0];
        // One new list of every operand's dependencies in order; the first is
        // reused when this walk made it (nobody else can see it yet).
        py::list out;
        std::size_t start = 0;
        if (!values.empty() && values[0].fresh && PyList_CheckExact(values[0].obj.ptr())) {
            out = py::reinterpret_borrow<py::list>(values[0].obj);
            start = 1;
        }
        for (std::size_t i = start; i < values.size(); ++i) extend(out, values[i].obj);
        return {out, true};
    }
    // expr: (func, argument keys)
    if (k == Kind::Leaf) return {borrow(node)};
    if (k == Kind::Constant) return {get(node, nValue)};
    py::list keys;
    if (k == Kind::CombinedRolling) keys.append(get(node, nWindow));
    for (Value& v : values) keys.append(v.obj);
    if (k == Kind::Unary) extend(keys, get(node, nArgs));
    if (r.trailing != Slot::None) keys.append(get(node, slot_name(r.trailing)));
    py::object func = k == Kind::Offset ? borrow(n.info.func) : get(node, nFunc);
    return {py::make_tuple(func, py::tuple(keys))};
}

py::object member(py::handle root, const KindInfo& info, Name p) {
    if (p == kShift && info.rule().shift == Shift::Zero) return py::int_(0);
    if (p == kShift && info.rule().shift == Shift::Stored) return get(root, nShift);
    Nesting nesting;
    return zarnik::walk::post_order<Value, py::object>(
               Node{borrow(root), info, {}},
               [p](Node& n, std::vector<py::object>& out) {
                   if (p == kShift && n.info.rule().shift == Shift::Stored) return;
                   if (p == kShift && n.info.kind == Kind::Rolling) n.lead = subtract(get(n.obj, nWindow), py::int_(1));
                   operands(n.obj, n.info.rule(), [&out](py::object a) { out.push_back(std::move(a)); });
               },
               [p](py::object& operand, Node& child) {
                   if (!kind_of(operand, p, child.info)) return false;
                   child.obj = std::move(operand);
                   return true;
               },
               [p](py::object& operand) { return Value{get(operand, p)}; },
               [p](Node& n, std::vector<Value>& values) { return combine(n, values, p); },
               ticker())
        .obj;
}

// ---------------------------------------------------------------------------
// Representation: the text is emitted piece by piece, left to right, and
// joined once, so a chain of N nodes costs O(total length), not O(N^2).
// ---------------------------------------------------------------------------

struct Item {
    enum What { Text, Operand, Walked } what;
    py::object obj;
    KindInfo info;  // for Walked
};

py::object fmt(py::handle value) { return zarnik_py::checked(PyObject_Format(value.ptr(), py::str("").ptr())); }
py::object cat(py::handle a, py::handle b) { return zarnik_py::checked(PyUnicode_Concat(a.ptr(), b.ptr())); }

py::object repr_of(py::handle obj) { return zarnik_py::checked(PyObject_Repr(obj.ptr())); }

// The pieces of one node's text: "name(operand, ..., trailing)". A binary node
// shows a text set on the instance (by a subclass that builds its own state)
// as it is; otherwise its name and operands as passed, an operand that was not
// a node kept as the text it showed at construction. Without them (a subclass
// that skipped the base initialiser) the stored operands are shown.
void pieces(py::handle node, const KindInfo& info, std::vector<Item>& parts) {
    const Kind k = info.kind;
    auto text = [&](py::object s) { parts.push_back({Item::Text, std::move(s), {}}); };
    auto operand = [&](py::object a) {
        parts.push_back({k == Kind::Binary && PyUnicode_Check(a.ptr()) ? Item::Text : Item::Operand, std::move(a), {}});
    };
    if (k == Kind::Leaf || k == Kind::Constant) return text(repr_of(node));
    std::vector<py::object> ops;
    py::object shown;
    if (k == Kind::Binary) {
        PyObject* own = nullptr;
        if (_PyObject_LookupAttr(node.ptr(), name(nReprText), &own) < 0) throw py::error_already_set();
        if (own) return text(py::reinterpret_steal<py::object>(own));
        py::object stored = PyObject_HasAttr(node.ptr(), name(nReprArgs))
                                ? get(node, nReprArgs)
                                : py::make_tuple(fmt(function_name(get(node, nFunc))), get(node, nArg1), get(node, nArg2));
        if (!PyTuple_Check(stored.ptr()) || PyTuple_GET_SIZE(stored.ptr()) != 3) {
            zarnik_py::raise(PyExc_TypeError, "BinaryCombinedFactor._repr_args: expected (name, arg1, arg2)");
        }
        shown = fmt(py::tuple(stored)[0]);
        ops = {py::tuple(stored)[1], py::tuple(stored)[2]};
    } else {
        if (k == Kind::Offset) {
            shown = borrow(info.name);
        } else {
            py::object func = get(node, nFunc);
            shown = fmt(k == Kind::Rolling || k == Kind::CombinedRolling ? get(func, nName) : function_name(func));
        }
        operands(node, info.rule(), [&ops](py::object a) { ops.push_back(std::move(a)); });
    }
    text(cat(shown, py::str("(")));
    for (std::size_t i = 0; i < ops.size(); ++i) {
        if (i) text(py::str(", "));
        operand(std::move(ops[i]));
    }
    if (info.rule().trailing != Slot::None) {
        return text(cat(cat(py::str(", "), fmt(get(node, slot_name(info.rule().trailing)))), py::str(")")));
    }
    text(py::str(")"));
}

py::object walk_repr(py::handle root, const KindInfo& info) {
    Nesting nesting;
    py::list out;
    zarnik::walk::in_order(
        Item{Item::Walked, borrow(root), info},
        [](Item& item, std::vector<Item>& parts) {
            if (item.what == Item::Text) return false;
            if (item.what == Item::Operand && !kind_of(item.obj, kRepr, item.info)) return false;
            pieces(item.obj, item.info, parts);
            return true;
        },
        [&out](Item& item) { out.append(item.what == Item::Text ? item.obj : repr_of(item.obj)); }, ticker());
    return py::str("").attr("join")(out);
}

// Stores `descriptor` under `key` in `out` and remembers it as ours.
void install(py::dict& out, Name key, py::object descriptor, const KindInfo& info) {
    registry(key)[descriptor.inc_ref().ptr()] = info;
    out[kNameText[key]] = descriptor;
}

}  // namespace

py::object lookback(py::handle node) {
    KindInfo info;
    return kind_of(node, kShift, info) ? member(node, info, kShift) : get(node, kShift);
}

py::dict node_members(const std::string& kind, py::object func, py::object shown) {
    using zarnik_py::signed_function;
    KindInfo info;
    if (!zarnik::walk::find_kind(kind, info.kind)) zarnik_py::raise(PyExc_ValueError, "unknown node kind " + kind);
    if (info.kind == Kind::Offset) {
        if (func.is_none() || !PyUnicode_Check(shown.ptr())) {
            zarnik_py::raise(PyExc_TypeError, "an offset node needs its row function and a str name");
        }
        info.func = func.inc_ref().ptr();
        info.name = shown.inc_ref().ptr();
    }
    py::object property = zarnik_py::builtin("property");
    py::dict out;
    for (Name p : {kExpr, kDeps, kShift}) {
        py::cpp_function getter = signed_function(
            kNameText[p], {"(self)", kMemberDoc[p]}, [info, p](py::object self) { return member(self, info, p); },
            py::arg("self"));
        install(out, p, property(getter), info);
    }
    if (info.rule().shift == Shift::Zero) return out;
    py::cpp_function text = signed_function(
        info.kind == Kind::Binary ? "_repr" : "__repr__", {"(self)", info.kind == Kind::Binary ? "节点的文本表示。" : ""},
        [info](py::object self) { return walk_repr(self, info); }, py::arg("self"));
    if (info.kind != Kind::Binary) {
        install(out, kRepr, zarnik_py::as_method(text), info);
        return out;
    }
    // A binary node's text is its `_repr`, settable for subclasses that build
    // their own state: the value is kept as `_repr_text` and shown instead.
    py::cpp_function set_text = signed_function(
        "_repr", {"(self, value)"}, [](py::object self, py::object value) { set(self, nReprText, value); },
        py::arg("self"), py::arg("value"));
    install(out, kText, property(text, set_text), info);
    // The representation is the `_repr` text, looked up so that it can be overridden.
    install(out, kRepr,
            zarnik_py::as_method(signed_function("__repr__", {"(self)"}, [](py::object self) { return get(self, kText); },
                                   py::arg("self"))),
            info);
    return out;
}

}  // namespace zarnik_interface
