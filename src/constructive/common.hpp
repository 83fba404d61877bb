// Vocabulary shared by the intuitionistic provers.
//
// Falsum and verum are the nullary predicates "_bot" and "_top".  The
// normalisation removes the connectives that the provers have no rules for
// (negation becomes implication into falsum, an equivalence the conjunction
// of both implications) and simplifies verum away inside a formula, so that
// no prover needs a verum rule; the result is intuitionistically equivalent
// to the argument.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/ast.hpp"
#include "core/interrupt.hpp"

namespace constructive {

// The engine's formula names, used unqualified throughout the provers.
using core::as;
using core::BinaryFormula;
using core::Node;
using core::NodeKind;
using core::NodePtr;

const core::NodePtr& falsum();
const core::NodePtr& verum();

bool is_falsum(const core::Node& f);
bool is_verum(const core::Node& f);
// Predicate applications (falsum and verum included).
bool is_atomic(const core::Node& f);
// The formula as a binary connective of this kind, or null when it is not one.
const core::BinaryFormula* binary_of(const core::NodePtr& f, core::NodeKind kind);

core::NodePtr normalize_formula(const core::NodePtr& f);

// A size measure: atoms weigh 1, each connective adds 1 and an equivalence
// counts both its sides twice (it stands for two implications).
std::int64_t formula_weight(const core::Node& f);

// ---------------------------------------------------------------------------
// Folds over derivations
// ---------------------------------------------------------------------------
// A derivation is a tree or a DAG of nodes reached through handles (an
// index, a pointer or a small struct), with three callables:
//
//   for_each_child(node, visit)  calls visit(child) for each child, in order;
//   start(node)                  the node's value before its children;
//   add(value, child_value)      folds one child's value into its parent's
//                                and returns false to skip the remaining
//                                children of that parent;
//   shared_key(node)             a key (not null) for a node that several
//                                parents may share, null for one that has a
//                                single parent.
//
// The fold runs bottom-up without recursion, so any depth is fine, and folds
// a node with a key once, handing its value to every later parent: the walk
// is linear in the distinct nodes however much they are shared, and gives
// exactly the value of the fully unfolded tree.  It polls for interrupts.
template <typename Value, typename Node, typename ForEachChild, typename Start, typename Add, typename SharedKey>
Value fold_derivation(const Node& root, ForEachChild for_each_child, Start start, Add add, SharedKey shared_key) {
  struct Frame {
    Node node;
    const void* key;
    std::size_t first;  // the node's children: children[first .. end)
    std::size_t next;   // the next child to fold
    std::size_t end;
    Value value;
  };
  std::vector<Node> children;  // the children of every open frame, frame after frame
  std::vector<Frame> stack;
  std::unordered_map<const void*, Value> folded;  // values of shared nodes
  auto open = [&](const Node& node, const void* key) {
    const std::size_t first = children.size();
    for_each_child(node, [&](const Node& child) { children.push_back(child); });
    stack.push_back(Frame{node, key, first, first, children.size(), start(node)});
  };
  core::InterruptPoller poller;
  open(root, nullptr);
  for (;;) {
    poller.poll();
    Frame& top = stack.back();
    if (top.next < top.end) {
      const Node child = children[top.next++];
      const void* key = shared_key(child);
      if (key) {
        if (auto known = folded.find(key); known != folded.end()) {
          if (!add(top.value, known->second)) top.next = top.end;
          continue;
        }
      }
      open(child, key);
      continue;
    }
    Frame done = std::move(top);
    stack.pop_back();
    children.resize(done.first);
    if (stack.empty()) return std::move(done.value);
    if (done.key) folded.emplace(done.key, done.value);
    Frame& parent = stack.back();
    if (!add(parent.value, done.value)) parent.next = parent.end;
  }
}

// The number of nodes on the longest path from the root down (a leaf alone: 1).
template <typename Node, typename ForEachChild, typename SharedKey>
std::int64_t derivation_depth(const Node& root, ForEachChild for_each_child, SharedKey shared_key) {
  return fold_derivation<std::int64_t>(
      root, for_each_child, [](const Node&) { return std::int64_t{1}; },
      [](std::int64_t& depth, std::int64_t child) {
        depth = std::max(depth, child + 1);
        return true;
      },
      shared_key);
}

// The number of nodes of the unfolded tree: a shared node counts once per
// path to it.  Raises std::overflow_error beyond the 64-bit range.
template <typename Node, typename ForEachChild, typename SharedKey>
std::int64_t derivation_size(const Node& root, ForEachChild for_each_child, SharedKey shared_key) {
  return fold_derivation<std::int64_t>(
      root, for_each_child, [](const Node&) { return std::int64_t{1}; },
      [](std::int64_t& size, std::int64_t child) {
        if (__builtin_add_overflow(size, child, &size))
          throw std::overflow_error("the derivation has more nodes than a 64-bit integer holds");
        return true;
      },
      shared_key);
}

// ---------------------------------------------------------------------------
// Derivations as text
// ---------------------------------------------------------------------------
template <typename Node, typename ForEachChild, typename Label>
void draw_children(const Node& node, const std::string& prefix, const char* last_connector,
                   const ForEachChild& for_each_child, const Label& label, std::string& out);

// Appends a node and, below it, its children as lines of branches: the node's
// line is `prefix`, a connector ("|-- ", or `last_connector` for a parent's
// last child) and label(node); its children's lines continue the prefix with
// "|   " (or "    " below a last child).  for_each_child is as for the folds.
template <typename Node, typename ForEachChild, typename Label>
void draw_branches(const Node& node, const std::string& prefix, bool is_last, const char* last_connector,
                   const ForEachChild& for_each_child, const Label& label, std::string& out) {
  core::RecursionGuard guard;
  out += prefix;
  out += is_last ? last_connector : "|-- ";
  out += label(node);
  draw_children(node, prefix + (is_last ? "    " : "|   "), last_connector, for_each_child, label, out);
}

// The children of `node` as branches under it, each on a new line.
template <typename Node, typename ForEachChild, typename Label>
void draw_children(const Node& node, const std::string& prefix, const char* last_connector,
                   const ForEachChild& for_each_child, const Label& label, std::string& out) {
  std::vector<Node> children;
  for_each_child(node, [&](const Node& child) { children.push_back(child); });
  for (std::size_t i = 0; i < children.size(); ++i) {
    out += '\n';
    draw_branches(children[i], prefix, i + 1 == children.size(), last_connector, for_each_child, label, out);
  }
}

}  // namespace constructive
