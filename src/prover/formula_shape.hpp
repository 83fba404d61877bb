// Reading and building the connectives of a classical formula, and the
// saturating counts the clausifier estimates sizes with.
//
// These are the small pieces that the clause normal form (clausifier.cpp)
// and the clause normal form with definitions (definitional_cnf.cpp) share:
// the parts of a connective node, a connective rebuilt over new parts, the
// universal closure's variables, and counts that stop at 2^64 - 1 instead of
// wrapping (a saturated count is a lower bound).  Every function is pure and
// allocates only the nodes it returns, so any thread may call it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "core/ast.hpp"
#include "core/exceptions.hpp"
#include "core/visitors.hpp"

namespace prover::shape {

using core::NodeKind;
using core::NodePtr;

[[noreturn]] inline void refuse(const char* message, const core::Node& node) {
  throw core::ValueError(message + core::class_text(node.kind()));
}

inline bool is_atom(const core::Node& n) {
  return n.kind() == NodeKind::PredicateApp || n.kind() == NodeKind::Equality;
}

inline const NodePtr& left_of(const core::Node& n) { return core::as<core::BinaryFormula>(n).left(); }
inline const NodePtr& right_of(const core::Node& n) { return core::as<core::BinaryFormula>(n).right(); }
inline const NodePtr& operand_of(const core::Node& n) { return core::as<core::Not>(n).operand(); }
inline const core::Quantifier& quantifier_of(const core::Node& n) { return core::as<core::Quantifier>(n); }

// And, Or, Implies or Iff over the two parts.
inline NodePtr make_binary(NodeKind kind, NodePtr left, NodePtr right) {
  switch (kind) {
    case NodeKind::And: return std::make_shared<const core::And>(std::move(left), std::move(right));
    case NodeKind::Or: return std::make_shared<const core::Or>(std::move(left), std::move(right));
    case NodeKind::Implies: return std::make_shared<const core::Implies>(std::move(left), std::move(right));
    default: return std::make_shared<const core::Iff>(std::move(left), std::move(right));
  }
}

// Forall or Exists over the variable and body.
inline NodePtr make_quantifier(NodeKind kind, core::VariablePtr variable, NodePtr body) {
  if (kind == NodeKind::Forall) return std::make_shared<const core::Forall>(std::move(variable), std::move(body));
  return std::make_shared<const core::Exists>(std::move(variable), std::move(body));
}

// The free variables of a formula in increasing id (ties in order of
// occurrence): the universals of its closure, outermost first.
inline std::vector<core::VariablePtr> closure_variables(const NodePtr& formula) {
  core::VarSet free = core::free_variables(formula);
  std::vector<core::VariablePtr> vars(free.begin(), free.end());
  std::stable_sort(vars.begin(), vars.end(), [](const auto& a, const auto& b) { return a->id() < b->id(); });
  return vars;
}

// The universal closure of `formula`, its outermost quantifier binding the
// variable of lowest id.
inline NodePtr universal_closure(const NodePtr& formula) {
  NodePtr closed = formula;
  std::vector<core::VariablePtr> vars = closure_variables(formula);
  for (auto it = vars.rbegin(); it != vars.rend(); ++it) closed = make_quantifier(NodeKind::Forall, *it, closed);
  return closed;
}

// Saturating arithmetic for size estimates.
inline std::uint64_t add_sat(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}
inline std::uint64_t mul_sat(std::uint64_t a, std::uint64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > std::numeric_limits<std::uint64_t>::max() / b ? std::numeric_limits<std::uint64_t>::max() : a * b;
}

}  // namespace prover::shape
