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
// renamed to a fresh variable first.
//
// Unification is Robinson's, with an occur check and sort checks; the
// unifiers it returns are idempotent whenever the starting substitution was.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ast.hpp"

namespace core {

// An insertion-ordered mapping from variables to terms.  Keys compare by
// value (id, kind and sort).  Entries are never removed: a binding is either
// added as the new last entry or has its value replaced in place.
class Substitution {
 public:
  using Entry = std::pair<VariablePtr, NodePtr>;

  Substitution() = default;
  Substitution(std::initializer_list<Entry> entries);

  // The term bound to `var`, or nullptr when `var` is not bound.
  const NodePtr* find(const VariablePtr& var) const;
  bool contains(const VariablePtr& var) const { return find(var) != nullptr; }

  // Binds `var` to `term`: replaces the value in place when `var` is already
  // bound, else appends a new last entry.
  void bind(const VariablePtr& var, NodePtr term);
  // Replaces the value of the entry at `index` (in insertion order).
  void set_value(std::size_t index, NodePtr term) { entries_[index].second = std::move(term); }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const std::vector<Entry>& entries() const { return entries_; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

  // Same bindings in the same order.
  bool operator==(const Substitution& other) const;

 private:
  static constexpr std::size_t kScanLimit = 8;
  struct KeyHash {
    std::size_t operator()(const VariablePtr& v) const { return static_cast<std::size_t>(v->hash()); }
  };
  struct KeyEq {
    bool operator()(const VariablePtr& a, const VariablePtr& b) const { return equal(*a, *b); }
  };
  std::optional<std::size_t> position(const VariablePtr& var) const;

  std::vector<Entry> entries_;
  std::unordered_map<VariablePtr, std::size_t, KeyHash, KeyEq> index_;  // filled past kScanLimit entries
};

// Stand-in for the rebuilding transformer of the tree walkers until that
// lands: exact-kind dispatch and the rebuilding of connectives and
// second-order quantifiers.
class ASTTransformerStandIn {
 public:
  virtual ~ASTTransformerStandIn() = default;
  virtual NodePtr visit(const NodePtr& node);
  virtual NodePtr visit_variable(const NodePtr& node) { return node; }
  virtual NodePtr visit_constant(const NodePtr& node) { return node; }
  virtual NodePtr visit_function_app(const NodePtr& node) = 0;
  virtual NodePtr visit_predicate_app(const NodePtr& node) = 0;
  virtual NodePtr visit_equality(const NodePtr& node) = 0;
  virtual NodePtr visit_connective(const NodePtr& node);
  virtual NodePtr visit_forall(const NodePtr& node) = 0;
  virtual NodePtr visit_exists(const NodePtr& node) = 0;
  virtual NodePtr visit_second_order(const NodePtr& node);
};

// Applies a substitution to a term or formula without capture.  It does no
// sort checking (substitute_term and substitute_formula check first).
//
// While a quantifier's body is walked, the binding of the quantifier's
// variable is hidden (shadowed), so that its occurrences, which the
// quantifier binds, are never replaced; the mapping itself is never modified.
class SubstitutionTransformer : public ASTTransformerStandIn {
 public:
  explicit SubstitutionTransformer(std::shared_ptr<const Substitution> mapping);

  NodePtr visit_variable(const NodePtr& node) override;
  NodePtr visit_constant(const NodePtr& node) override;
  NodePtr visit_function_app(const NodePtr& node) override;
  NodePtr visit_predicate_app(const NodePtr& node) override;
  NodePtr visit_equality(const NodePtr& node) override;
  NodePtr visit_forall(const NodePtr& node) override;
  NodePtr visit_exists(const NodePtr& node) override;

  // The shared step of both quantifiers: renames `bound_var` when a
  // replacement term would be caught, then substitutes into the body.
  virtual NodePtr handle_quantifier(const VariablePtr& bound_var, const NodePtr& body, NodeKind constructor);
  // The variable with the smallest id at or above the id of `base_var` that
  // no variable of `forbidden` carries, with the sort and kind of `base_var`.
  virtual VariablePtr generate_fresh_variable(const VariablePtr& base_var, const VarSet& forbidden);
  // `formula` with the free occurrences of `old_var` renamed to `new_var`.
  virtual NodePtr rename_bound_variable(const NodePtr& formula, const VariablePtr& old_var,
                                        const VariablePtr& new_var);

  const Substitution& mapping() const { return *mapping_; }
  // Replaces the mapping between walks.
  void set_mapping(std::shared_ptr<const Substitution> mapping) { mapping_ = std::move(mapping); }
  // Variables of the quantifiers whose bodies are being walked (after renaming).
  const VarSet& scope_bound_vars() const { return scope_bound_vars_; }

 private:
  // The term that `var` is replaced by at this point of the walk, or nullptr.
  const NodePtr* replacement(const VariablePtr& var) const;
  // The variables that the mapping binds at this point of the walk.
  VarSet active_keys() const;
  std::vector<NodePtr> visit_arguments(const Application& app);

  std::shared_ptr<const Substitution> mapping_;
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

// The substitution that applies `s2` first and then `s1`.
Substitution compose_substitutions(const Substitution& s1, const Substitution& s2);

// A most general unifier of two terms that extends `subst` (empty when
// null).  Raises UnificationError or SortMismatchError; `subst` is never
// modified.
Substitution unify_terms(const NodePtr& t1, const NodePtr& t2, const Substitution* subst = nullptr);

// A most general unifier of two predicate applications or two equalities.
Substitution unify_formulas(const NodePtr& f1, const NodePtr& f2);

}  // namespace core
