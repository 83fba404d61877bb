// Substitution and unification of sorted first-order terms.
//
// A substitution maps variables to terms and keeps its entries in insertion
// order; that order decides which ill-sorted binding is reported first and
// the order of the entries of composed substitutions and unifiers, so every
// run is deterministic.
//
// Substitution is simultaneous and capture-avoiding: every free occurrence of
// a bound variable is replaced in one pass (a term put in is not substituted
// again), a quantifier's own variable is never replaced inside its body, and
// a quantifier whose variable would catch a variable of a replacement term is
// renamed to a fresh variable first.  Second-order quantifiers are renamed
// the same way where their predicate or function variable occurs in a
// replacement that enters their body (CaptureAvoidingSubstitution).
//
// Engine code substitutes through substitute_term / substitute_formula (or
// builds a SubstitutionTransformer over a mapping it keeps alive and calls
// visit), and renames one variable without capture with rename_free_variable.
//
// Unification is Robinson's, with an occur check and sort checks, run by the
// trail unifier of core/unify.hpp on a bank of its own; the unifiers it
// returns are idempotent whenever the starting substitution was.
#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include "core/ast.hpp"
#include "core/visitors.hpp"

namespace core {

// A substitution: the insertion-ordered mapping from variables (compared by
// value) to terms of the tree walkers.  A binding is either added as the new
// last entry or has its value replaced in place; entries are never removed.
using Substitution = VariableMapping;

// Applies a substitution to a term or formula without capture.  It does no
// sort checking (substitute_term and substitute_formula check first).
//
// While a quantifier's body is walked, the binding of the quantifier's
// variable is hidden (shadowed), so that its occurrences, which the
// quantifier binds, are never replaced; the mapping itself is never modified.
class SubstitutionTransformer : public CaptureAvoidingSubstitution {
 public:
  explicit SubstitutionTransformer(std::shared_ptr<const Substitution> mapping = std::make_shared<Substitution>());

  NodePtr visit(const NodePtr& node) override;

  NodePtr visit_constant(const NodeRef<Constant>& node) override;
  NodePtr visit_function_app(const NodeRef<FunctionApp>& node) override;
  NodePtr visit_predicate_app(const NodeRef<PredicateApp>& node) override;
  NodePtr visit_equality(const NodeRef<Equality>& node) override;
  NodePtr visit_forall(const NodeRef<Forall>& node) override;
  NodePtr visit_exists(const NodeRef<Exists>& node) override;

  // The three steps of a quantifier are virtual so that a subclass (also
  // one written in Python) can replace each of them.
  //
  // The shared step of both quantifiers: renames `bound_var` when a
  // replacement term would be caught, then substitutes into the body.
  virtual NodePtr handle_quantifier(const VariablePtr& bound_var, const NodePtr& body, NodeKind constructor);
  // The variable with the smallest id at or above the id of `base_var` that
  // no variable of `forbidden` carries, with the sort and kind of `base_var`.
  virtual VariablePtr generate_fresh_variable(const VariablePtr& base_var, const VarSet& forbidden);
  // `formula` with the free occurrences of `old_var` renamed to `new_var`.
  virtual NodePtr rename_bound_variable(const NodePtr& formula, const VariablePtr& old_var, const VariablePtr& new_var);

  const Substitution& mapping() const { return *mapping_; }
  // Replaces the mapping (the Python face reloads it from its dictionary).
  void set_mapping(std::shared_ptr<const Substitution> mapping) { mapping_ = std::move(mapping); }
  // Variables of the quantifiers whose bodies are being walked (after renaming).
  const VarSet& scope_bound_vars() const { return scope_bound_vars_; }

 protected:
  // The term that `var` is replaced by at this point of the walk, or nullptr.
  const NodePtr* replacement(const VariablePtr& var) const override;
  VarSet free_variables_of(const NodePtr& node) override { return *free_vars_.of(node); }

 private:
  // The variables that the mapping binds at this point of the walk.
  VarSet active_keys() const;
  std::vector<NodePtr> visit_arguments(const Application& app);

  std::shared_ptr<const Substitution> mapping_;
  // Free variables of subformulas, remembered while quantifiers are being
  // walked: nested quantifiers then share the work instead of walking their
  // bodies again, which would cost quadratic time in the nesting depth.
  FreeVariableWalk free_vars_{FreeVariableWalk::Remember::EveryFormula};
  int open_quantifiers_ = 0;
  VarSet shadowed_;          // quantifier variables whose bindings are hidden
  VarSet scope_bound_vars_;  // see scope_bound_vars()
};

// The sort of a term (a variable's or constant's sort, an application's
// return sort).  Raises TypeError for a node that is not a term.
const SortPtr& sort_of_term(const Node& term);

// Returns when every binding is sort-correct; otherwise raises
// SortMismatchError for the first binding that is not, in insertion order.
void validate_mapping_sorts(const Substitution& mapping);

// The term (formula) with the substitution applied.  Checks the sorts of the
// whole mapping first; an empty mapping returns the argument itself.
NodePtr substitute_term(const NodePtr& term, const Substitution& mapping);
NodePtr substitute_formula(const NodePtr& formula, const Substitution& mapping);
NodePtr apply_substitution(const Substitution& subst, const NodePtr& term);

// `node` with the free occurrences of `old_var` replaced by `new_var`, by a
// capture-avoiding walk (an inner quantifier over `old_var` keeps its own).
NodePtr rename_free_variable(const NodePtr& node, const VariablePtr& old_var, const VariablePtr& new_var);

// The substitution that applies `s2` first and then `s1`.
Substitution compose_substitutions(const Substitution& s1, const Substitution& s2);

// A most general unifier of two terms that extends `subst` (empty when
// null).  Raises UnificationError or SortMismatchError (itself a kind of
// UnificationError); `subst` is never modified.  Two constants, or two
// applications of one symbol, unify only into equal terms: sorts that are
// merely compatible are a mismatch.  A starting substitution whose variable
// bindings form a cycle raises UnificationError.
Substitution unify_terms(const NodePtr& t1, const NodePtr& t2, const Substitution* subst = nullptr);

// A most general unifier of two predicate applications or two equalities.
Substitution unify_formulas(const NodePtr& f1, const NodePtr& f2);

// unify_terms computed as an explicit substitution that every binding
// rewrites (quadratic in the number of bindings); unify_terms takes this way
// by itself for a starting substitution that is not idempotent.  The same
// results and errors as unify_terms otherwise; kept public so that
// benchmarks can set the trail unifier against it.
Substitution unify_terms_explicit(const NodePtr& t1, const NodePtr& t2, const Substitution* subst = nullptr);

}  // namespace core
