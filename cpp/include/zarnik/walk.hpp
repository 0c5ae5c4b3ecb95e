// Walks of expression trees that keep their own stack, so that the depth of a
// tree costs heap memory only, never C stack.
//
// Both walks are generic over the node representation; the caller says how
// to list a node's operands, which operands to walk in place and how to
// combine results. Nothing here knows about Python.
#pragma once

#include <cstddef>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

namespace zarnik::walk {

// The node kinds of a factor expression tree: the operands each reads (one
// slot, two, or every element of a sequence slot), how its look-back follows
// from theirs (0; the operand's; plus its row count `n`; plus its window less
// one; stored by its constructor), and the number that ends its key and text.
enum class Kind { Leaf, Constant, Unary, Offset, Binary, Combined, Rolling, CombinedRolling };
enum class Shift { Zero, Operand, Offset, Window, Stored };
enum class Slot { None, Factor, Args, Arg1, Arg2, N, Window, Factors };
struct Rule {
    const char* name;
    Shift shift;
    Slot operands[2];
    bool sequence;
    Slot trailing;
};
inline constexpr Rule kRules[] = {
    {"leaf", Shift::Zero, {Slot::None, Slot::None}, false, Slot::None},
    {"constant", Shift::Zero, {Slot::None, Slot::None}, false, Slot::None},
    {"unary", Shift::Operand, {Slot::Factor, Slot::None}, false, Slot::None},
    {"offset", Shift::Offset, {Slot::Factor, Slot::None}, false, Slot::N},
    {"binary", Shift::Stored, {Slot::Arg1, Slot::Arg2}, false, Slot::None},
    {"combined", Shift::Stored, {Slot::Args, Slot::None}, true, Slot::None},
    {"rolling", Shift::Window, {Slot::Factor, Slot::None}, false, Slot::Window},
    {"combined_rolling", Shift::Stored, {Slot::Factors, Slot::None}, true, Slot::None},
};
inline const Rule& rule(Kind k) { return kRules[static_cast<int>(k)]; }

// The kind called `name`; false when no kind has that name.
inline bool find_kind(std::string_view name, Kind& out) {
    for (std::size_t i = 0; i < std::size(kRules); ++i) {
        if (name == kRules[i].name) {
            out = static_cast<Kind>(i);
            return true;
        }
    }
    return false;
}

// Bottom-up evaluation: every node's value is made from its operands' values.
//
//   open(node, operands)     appends the node's operands, in order
//   descend(operand, child)  true: walk `operand` in place as node `child`
//   leaf(operand)            the value of an operand that is not walked
//   combine(node, values)    the node's value from its operands' values
//   tick()                   called once per step (interrupt checks)
//
// Value and Operand are named by the caller: post_order<Value, Operand>(...).
template <class Value, class Operand, class Node, class Open, class Descend, class Leaf, class Combine,
          class Tick>
Value post_order(Node root, Open&& open, Descend&& descend, Leaf&& leaf, Combine&& combine, Tick&& tick) {
    struct Frame {
        Node node;
        std::vector<Operand> operands;
        std::size_t next = 0;
        std::vector<Value> values;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{std::move(root), {}, 0, {}});
    open(stack.back().node, stack.back().operands);
    while (true) {
        tick();
        Frame& top = stack.back();
        if (top.next < top.operands.size()) {
            Operand& operand = top.operands[top.next++];
            Node child{};
            if (descend(operand, child)) {
                stack.push_back(Frame{std::move(child), {}, 0, {}});  // `top` is stale from here on
                open(stack.back().node, stack.back().operands);
            } else {
                top.values.push_back(leaf(operand));
            }
            continue;
        }
        Value value = combine(top.node, top.values);
        stack.pop_back();
        if (stack.empty()) return value;
        stack.back().values.push_back(std::move(value));
    }
}

// Left-to-right emission: an item either expands into a sequence of items
// (which take its place, in order) or is emitted as it is.
//
//   expand(item, parts)  true: `item` is replaced by `parts`
//   emit(item)           receives every item that does not expand, in order
//   tick()               called once per step
template <class Item, class Expand, class Emit, class Tick>
void in_order(Item root, Expand&& expand, Emit&& emit, Tick&& tick) {
    std::vector<Item> todo;
    std::vector<Item> parts;
    todo.push_back(std::move(root));
    while (!todo.empty()) {
        tick();
        Item item = std::move(todo.back());
        todo.pop_back();
        parts.clear();
        if (!expand(item, parts)) {
            emit(item);
            continue;
        }
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) todo.push_back(std::move(*it));
    }
}

}  // namespace zarnik::walk
