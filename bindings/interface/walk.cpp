// Iterative walks of factor trees.
//
// `expr`, `dependencies`, `shift` and the text representation of a node are
// defined by its operands' values of the same member. Computed by recursion,
// a tree a few thousand levels deep exhausts the C stack; here every walk
// keeps its own explicit stack instead, so depth costs heap memory only.
//
// A child is expanded in place when the member its class resolves to is one
// of the members created below (the built-in node kinds, the rolling nodes
// and the lag node register theirs). Any other child -- a user subclass that
// overrides the member, a user leaf -- is asked through ordinary Python
// attribute lookup, so overrides are always seen. Such a call may come back
// here; every entry checks the shared stack guard first.
#include <pybind11/pybind11.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/stack_guard.hpp"
#include "interface/nodes.hpp"

namespace zarnik_interface {

namespace {

enum class Kind { Leaf, Constant, Unary, Offset, Binary, Combined, Rolling, CombinedRolling };
enum Prop { kExpr = 0, kDeps, kShift, kRepr, kText, kProps };

// Offset nodes (ShiftedFactor, the lag node) carry the row function of their
// key and the name their representation shows.
struct KindInfo {
    Kind kind = Kind::Leaf;
    PyObject* func = nullptr;
    PyObject* name = nullptr;
};

struct Registry {
    // member descriptor -> kind, per member; the descriptors are kept alive
    // for the life of the process, so an address is never reused.
    std::unordered_map<PyObject*, KindInfo> by_desc[kProps];
    PyObject* names[kProps] = {};
    PyObject* s_factor = nullptr;
    PyObject* s_args = nullptr;
    PyObject* s_arg1 = nullptr;
    PyObject* s_arg2 = nullptr;
    PyObject* s_func = nullptr;
    PyObject* s_n = nullptr;
    PyObject* s_window = nullptr;
    PyObject* s_factors = nullptr;
    PyObject* s_shift = nullptr;
    PyObject* s_value = nullptr;
    PyObject* s_repr_args = nullptr;
    PyObject* s_name = nullptr;
};

PyObject* intern(const char* s) {
    PyObject* p = PyUnicode_InternFromString(s);
    if (!p) throw py::error_already_set();
    return p;
}

Registry& registry() {
    static Registry* r = [] {
        auto* reg = new Registry();
        reg->names[kExpr] = intern("expr");
        reg->names[kDeps] = intern("dependencies");
        reg->names[kShift] = intern("shift");
        reg->names[kRepr] = intern("__repr__");
        reg->names[kText] = intern("_repr");
        reg->s_factor = intern("_factor");
        reg->s_args = intern("_args");
        reg->s_arg1 = intern("_arg1");
        reg->s_arg2 = intern("_arg2");
        reg->s_func = intern("_func");
        reg->s_n = intern("_n");
        reg->s_window = intern("_window");
        reg->s_factors = intern("_factors");
        reg->s_shift = intern("_shift");
        reg->s_value = intern("_value");
        reg->s_repr_args = intern("_repr_args");
        reg->s_name = intern("__name__");
        return reg;
    }();
    return *r;
}

py::object get(py::handle obj, PyObject* name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// The kind whose member `p` the object's class resolves to, if it is ours.
bool kind_of(py::handle obj, Prop p, KindInfo& out) {
    PyTypeObject* t = Py_TYPE(obj.ptr());
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;  // custom lookup: ask it
    Registry& reg = registry();
    PyObject* d = _PyType_Lookup(t, reg.names[p]);
    if (!d) return false;
    auto it = reg.by_desc[p].find(d);
    if (it == reg.by_desc[p].end()) return false;
    if (p == kRepr && it->second.kind == Kind::Binary) {
        // A binary node shows its `_repr`; expand only when that is ours too.
        PyObject* text = _PyType_Lookup(t, reg.names[kText]);
        if (!text || reg.by_desc[kText].find(text) == reg.by_desc[kText].end()) return false;
    }
    out = it->second;
    return true;
}

void check_signals(std::size_t& steps) {
    if ((++steps & 0xFFFF) == 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// Walks nested on this thread: each is entered again through a member
// defined in Python (an override, a user node) that reads a member of ours.
thread_local int nested_walks = 0;

struct Nesting {
    Nesting() { ++nested_walks; }
    ~Nesting() { --nested_walks; }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;
};

void guard() {
    if (!zarnik_py::stack_low()) return;
    std::string msg = "factor tree too deep to walk: " + std::to_string(nested_walks) +
                      " levels of node members defined in Python (overrides or user node classes) "
                      "nested in one another used up this thread's stack; built-in nodes are walked "
                      "without recursion at any depth";
    PyErr_SetString(PyExc_RecursionError, msg.c_str());
    throw py::error_already_set();
}

// ---------------------------------------------------------------------------
// expr, dependencies, shift: post-order over an explicit stack
// ---------------------------------------------------------------------------

struct Frame {
    py::object node;
    KindInfo info;
    std::vector<py::object> kids;
    std::size_t next = 0;
    std::vector<py::object> res;
    std::vector<char> fresh;  // res[i] is a list this walk made (free to extend)
    py::object lead;          // rolling shift: window - 1, read before the operand
};

void enter(Frame& f, Prop p) {
    Registry& reg = registry();
    switch (f.info.kind) {
        case Kind::Leaf:
        case Kind::Constant:
            return;
        case Kind::Unary:
        case Kind::Offset:
            f.kids.push_back(get(f.node, reg.s_factor));
            return;
        case Kind::Rolling:
            if (p == kShift) f.lead = subtract(get(f.node, reg.s_window), py::int_(1));
            f.kids.push_back(get(f.node, reg.s_factor));
            return;
        case Kind::Binary:
            if (p == kShift) return;
            f.kids.push_back(get(f.node, reg.s_arg1));
            f.kids.push_back(get(f.node, reg.s_arg2));
            return;
        case Kind::Combined:
        case Kind::CombinedRolling:
            if (p == kShift) return;
            for (py::handle a : get(f.node, f.info.kind == Kind::Combined ? reg.s_args : reg.s_factors)) {
                f.kids.push_back(py::reinterpret_borrow<py::object>(a));
            }
            return;
    }
}

// One new list holding every operand's dependencies in order; the first list
// is reused when this walk made it (nobody else can see it yet).
py::object merge(Frame& f, bool& fresh) {
    fresh = true;
    std::size_t start = 0;
    py::list out;
    if (!f.res.empty() && f.fresh[0] && PyList_CheckExact(f.res[0].ptr())) {
        out = py::reinterpret_borrow<py::list>(f.res[0]);
        start = 1;
    }
    for (std::size_t i = start; i < f.res.size(); ++i) extend(out, f.res[i]);
    return out;
}

py::object assemble(Frame& f, Prop p, bool& fresh) {
    Registry& reg = registry();
    fresh = false;
    const Kind k = f.info.kind;
    if (p == kExpr) {
        switch (k) {
            case Kind::Leaf:
                return f.node;
            case Kind::Constant:
                return get(f.node, reg.s_value);
            case Kind::Unary: {
                py::list keys;
                keys.append(f.res[0]);
                extend(keys, get(f.node, reg.s_args));
                return py::make_tuple(get(f.node, reg.s_func), py::tuple(keys));
            }
            case Kind::Offset:
                return py::make_tuple(py::handle(f.info.func), py::make_tuple(f.res[0], get(f.node, reg.s_n)));
            case Kind::Binary:
                return py::make_tuple(get(f.node, reg.s_func), py::make_tuple(f.res[0], f.res[1]));
            case Kind::Combined: {
                py::tuple keys(f.res.size());
                for (std::size_t i = 0; i < f.res.size(); ++i) keys[i] = f.res[i];
                return py::make_tuple(get(f.node, reg.s_func), keys);
            }
            case Kind::Rolling:
                return py::make_tuple(get(f.node, reg.s_func), py::make_tuple(f.res[0], get(f.node, reg.s_window)));
            case Kind::CombinedRolling: {
                py::tuple keys(f.res.size() + 1);
                keys[0] = get(f.node, reg.s_window);
                for (std::size_t i = 0; i < f.res.size(); ++i) keys[i + 1] = f.res[i];
                return py::make_tuple(get(f.node, reg.s_func), keys);
            }
        }
    } else if (p == kDeps) {
        switch (k) {
            case Kind::Leaf: {
                py::list out;
                out.append(f.node);
                fresh = true;
                return out;
            }
            case Kind::Constant:
                fresh = true;
                return py::list();
            case Kind::Unary:
            case Kind::Offset:
            case Kind::Rolling:
                fresh = f.fresh[0];  // the operand's own list, passed on
                return f.res[0];
            case Kind::Binary:
            case Kind::Combined:
            case Kind::CombinedRolling:
                return merge(f, fresh);
        }
    } else {  // kShift
        switch (k) {
            case Kind::Leaf:
            case Kind::Constant:
                return py::int_(0);
            case Kind::Unary:
                return f.res[0];
            case Kind::Offset:
                return add(f.res[0], get(f.node, reg.s_n));
            case Kind::Rolling:
                return add(f.lead, f.res[0]);
            case Kind::Binary:
            case Kind::Combined:
            case Kind::CombinedRolling:
                return get(f.node, reg.s_shift);
        }
    }
    throw std::logic_error("unknown node kind");
}

py::object walk(py::handle root, const KindInfo& info, Prop p) {
    guard();
    Nesting nesting;
    Registry& reg = registry();
    std::vector<Frame> stack;
    {
        Frame f;
        f.node = py::reinterpret_borrow<py::object>(root);
        f.info = info;
        enter(f, p);
        stack.push_back(std::move(f));
    }
    std::size_t steps = 0;
    while (true) {
        check_signals(steps);
        Frame& top = stack.back();
        if (top.next < top.kids.size()) {
            py::object child = top.kids[top.next++];
            KindInfo ci;
            if (kind_of(child, p, ci)) {
                Frame f;
                f.node = std::move(child);
                f.info = ci;
                enter(f, p);
                stack.push_back(std::move(f));  // `top` is not used past this point
            } else {
                top.res.push_back(get(child, reg.names[p]));
                top.fresh.push_back(0);
            }
            continue;
        }
        bool fresh = false;
        py::object value = assemble(top, p, fresh);
        stack.pop_back();
        if (stack.empty()) return value;
        stack.back().res.push_back(std::move(value));
        stack.back().fresh.push_back(fresh);
    }
}

// ---------------------------------------------------------------------------
// Representation: the text is emitted piece by piece, left to right, and
// joined once, so a chain of N nodes costs O(total length), not O(N^2).
// ---------------------------------------------------------------------------

struct Item {
    py::object obj;
    bool text;
};

py::str fmt(py::handle value) {
    static PyObject* empty = intern("");
    PyObject* r = PyObject_Format(value.ptr(), empty);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

py::str cat(std::initializer_list<py::handle> parts) {
    py::list items;
    for (py::handle h : parts) items.append(h);
    PyObject* r = PyUnicode_Join(py::str("").ptr(), items.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

// Pushes the pieces of one node's text, in reverse, onto `todo`.
void expand(py::handle node, const KindInfo& info, std::vector<Item>& todo) {
    Registry& reg = registry();
    std::vector<Item> parts;
    auto text = [&](py::object s) { parts.push_back({std::move(s), true}); };
    auto child = [&](py::object c) { parts.push_back({std::move(c), false}); };
    auto joined = [&](py::handle operands) {
        bool first = true;
        for (py::handle a : operands) {
            if (!first) text(py::str(", "));
            first = false;
            child(py::reinterpret_borrow<py::object>(a));
        }
    };
    switch (info.kind) {
        case Kind::Unary:
            text(cat({fmt(function_name(get(node, reg.s_func))), py::str("(")}));
            child(get(node, reg.s_factor));
            text(py::str(")"));
            break;
        case Kind::Offset: {
            py::object inner = get(node, reg.s_factor);
            text(cat({py::handle(info.name), py::str("(")}));
            child(std::move(inner));
            text(cat({py::str(", "), fmt(get(node, reg.s_n)), py::str(")")}));
            break;
        }
        case Kind::Binary: {
            // (name, first operand, second operand) as passed; an operand that
            // was not a node is kept as the text it showed at construction.
            py::tuple stored = py::reinterpret_borrow<py::tuple>(get(node, reg.s_repr_args));
            if (!PyTuple_Check(stored.ptr()) || stored.size() != 3) {
                zarnik_py::raise(PyExc_TypeError, "BinaryCombinedFactor._repr_args: expected (name, arg1, arg2)");
            }
            text(cat({fmt(stored[0]), py::str("(")}));
            for (int i = 1; i <= 2; ++i) {
                py::object a = stored[i];
                if (PyUnicode_Check(a.ptr())) {
                    text(std::move(a));
                } else {
                    child(std::move(a));
                }
                text(py::str(i == 1 ? ", " : ")"));
            }
            break;
        }
        case Kind::Combined:
            text(cat({fmt(function_name(get(node, reg.s_func))), py::str("(")}));
            joined(get(node, reg.s_args));
            text(py::str(")"));
            break;
        case Kind::Rolling: {
            py::str name = fmt(get(get(node, reg.s_func), reg.s_name));
            py::object inner = get(node, reg.s_factor);
            py::object window = get(node, reg.s_window);
            text(cat({name, py::str("(")}));
            child(std::move(inner));
            text(cat({py::str(", "), fmt(window), py::str(")")}));
            break;
        }
        case Kind::CombinedRolling: {
            py::object factors = get(node, reg.s_factors);
            text(cat({fmt(get(get(node, reg.s_func), reg.s_name)), py::str("(")}));
            joined(factors);
            text(py::str(")"));
            break;
        }
        case Kind::Leaf:
        case Kind::Constant: {
            PyObject* r = PyObject_Repr(node.ptr());
            if (!r) throw py::error_already_set();
            text(py::reinterpret_steal<py::object>(r));
            break;
        }
    }
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) todo.push_back(std::move(*it));
}

py::object walk_repr(py::handle root, const KindInfo& info) {
    guard();
    Nesting nesting;
    std::vector<Item> todo;
    py::list pieces;
    expand(root, info, todo);
    std::size_t steps = 0;
    while (!todo.empty()) {
        check_signals(steps);
        Item item = std::move(todo.back());
        todo.pop_back();
        if (item.text) {
            pieces.append(item.obj);
            continue;
        }
        KindInfo ci;
        if (kind_of(item.obj, kRepr, ci)) {
            expand(item.obj, ci, todo);
        } else {
            PyObject* r = PyObject_Repr(item.obj.ptr());
            if (!r) throw py::error_already_set();
            pieces.append(py::reinterpret_steal<py::object>(r));
        }
    }
    return py::str("").attr("join")(pieces);
}

Kind parse_kind(const std::string& name) {
    static const std::pair<const char*, Kind> table[] = {
        {"leaf", Kind::Leaf},         {"constant", Kind::Constant}, {"unary", Kind::Unary},
        {"offset", Kind::Offset},     {"binary", Kind::Binary},     {"combined", Kind::Combined},
        {"rolling", Kind::Rolling},   {"combined_rolling", Kind::CombinedRolling},
    };
    for (auto& [n, k] : table) {
        if (name == n) return k;
    }
    zarnik_py::raise(PyExc_ValueError, "unknown node kind " + name);
}

void remember(Prop p, py::handle descriptor, const KindInfo& info) {
    registry().by_desc[p][descriptor.inc_ref().ptr()] = info;
}

}  // namespace

py::dict node_members(const std::string& kind_name, py::object func, py::object name) {
    KindInfo info;
    info.kind = parse_kind(kind_name);
    if (info.kind == Kind::Offset) {
        if (func.is_none() || !PyUnicode_Check(name.ptr())) {
            zarnik_py::raise(PyExc_TypeError, "an offset node needs its row function and a str name");
        }
        info.func = func.inc_ref().ptr();
        info.name = name.inc_ref().ptr();
    }
    py::object property = py::module_::import("builtins").attr("property");
    py::dict out;
    static const char* const prop_names[] = {"expr", "dependencies", "shift"};
    for (int p = kExpr; p <= kShift; ++p) {
        py::cpp_function getter(
            [info, p](py::object self) -> py::object {
                // Look-backs stored at construction, and the fixed ones, need no walk.
                if (p == kShift) {
                    switch (info.kind) {
                        case Kind::Binary:
                        case Kind::Combined:
                        case Kind::CombinedRolling:
                            return get(self, registry().s_shift);
                        case Kind::Leaf:
                        case Kind::Constant:
                            return py::int_(0);
                        default:
                            break;
                    }
                }
                return walk(self, info, static_cast<Prop>(p));
            },
            py::name(prop_names[p]), py::arg("self"));
        py::object descriptor = property(getter);
        remember(static_cast<Prop>(p), descriptor, info);
        out[prop_names[p]] = descriptor;
    }
    if (info.kind == Kind::Leaf || info.kind == Kind::Constant) return out;
    if (info.kind == Kind::Binary) {
        py::cpp_function text([info](py::object self) { return walk_repr(self, info); }, py::name("_repr"),
                              py::arg("self"));
        py::object descriptor = property(text);
        remember(kText, descriptor, info);
        out["_repr"] = descriptor;
        // The representation is the `_repr` text, looked up so that it can be overridden.
        py::cpp_function method([](py::object self) { return get(self, registry().names[kText]); },
                                py::name("__repr__"), py::arg("self"));
        py::object descr = py::reinterpret_steal<py::object>(PyInstanceMethod_New(method.ptr()));
        remember(kRepr, descr, info);
        out["__repr__"] = descr;
        return out;
    }
    py::cpp_function method([info](py::object self) { return walk_repr(self, info); }, py::name("__repr__"),
                            py::arg("self"));
    py::object descr = py::reinterpret_steal<py::object>(PyInstanceMethod_New(method.ptr()));
    remember(kRepr, descr, info);
    out["__repr__"] = descr;
    return out;
}

}  // namespace zarnik_interface
