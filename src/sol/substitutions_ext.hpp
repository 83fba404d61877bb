// Higher-order pattern unification and predicate substitution.
//
// A pattern is a formula in which predicate variables stand for unknown
// predicates.  An application P(x1, ..., xn) of a predicate variable P that no
// quantifier of the pattern binds is flexible; it is a pattern in the
// higher-order sense when its arguments are distinct variables bound around
// it (by a quantifier of the pattern, or by the caller through `bound_vars`).
// Matching such an application against a formula T solves P as the predicate
// lambda (x1, ..., xn). T, provided T mentions no bound variable of the
// target other than the counterparts of x1, ..., xn (nothing may escape its
// binder).  Everything else is matched rigidly: same node classes, same
// symbols, terms equal up to the renaming of bound variables that the
// quantifiers pair off.  A predicate variable met twice must receive the same
// predicate both times (compared up to renaming of bound variables).
//
// Substituting a predicate replaces every application of the predicate
// variable by the lambda's body with the arguments put in for the
// parameters; a quantifier that would catch a free variable of that body is
// renamed to a fresh variable first, and a second-order quantifier that binds
// the predicate variable again hides it below.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "core/ast.hpp"

namespace sol {

// What a predicate variable stands for: lambda params. body.
struct PredicateLambda {
  std::vector<core::VariablePtr> params;
  core::NodePtr body;
};

// An insertion-ordered map from predicate variables (compared by value) to
// the predicates they stand for.
class PredicateSubstitution {
 public:
  using Entry = std::pair<core::SymbolVariablePtr, PredicateLambda>;

  const PredicateLambda* find(const core::SymbolVariable& var) const;
  // Inserts, or replaces the value of an equal key in place.
  void set(core::SymbolVariablePtr var, PredicateLambda value);
  const std::vector<Entry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

 private:
  std::vector<Entry> entries_;
};

// The predicates that make `pattern` equal to `target` up to renaming of
// bound variables, or nothing when no such predicates exist within the
// pattern fragment.  The variables of `bound_vars` count as bound around both
// formulas (each one its own counterpart).  A match that needs no predicate
// gives an empty substitution.
std::optional<PredicateSubstitution> ho_pattern_unify(const core::NodePtr& pattern, const core::NodePtr& target,
                                                      const core::VarSet& bound_vars = {});

// `formula` with each predicate of `mapping` put in for its variable.
// Raises ValueError when an application's argument count differs from the
// lambda's parameter count, and the substitution's SortMismatchError when an
// argument's sort does not fit its parameter.
core::NodePtr substitute_predicate(const core::NodePtr& formula, const PredicateSubstitution& mapping);

// The largest id of any variable occurring in `node` (bound ones included),
// or -1 when there is none.
std::int64_t max_variable_id(const core::NodePtr& node);

}  // namespace sol
