#include "core/substitutions.hpp"

#include <optional>
#include <string>
#include <unordered_set>

#include "core/exceptions.hpp"
#include "core/sorts.hpp"

namespace core {

namespace {

// A non-owning handle on a mapping that outlives the transformer using it.
std::shared_ptr<const Substitution> borrow(const Substitution& mapping) {
  return std::shared_ptr<const Substitution>(std::shared_ptr<const Substitution>(), &mapping);
}

// Inserts `var` into `set` for the lifetime of the guard and takes it out
// again afterwards, unless the set already held it.  Restores the set also
// when the walk fails.
class ScopedMember {
 public:
  ScopedMember(VarSet& set, const VariablePtr& var) : set_(set), var_(var), added_(set.insert(var)) {}
  ~ScopedMember() {
    if (added_) set_.erase(var_);
  }
  ScopedMember(const ScopedMember&) = delete;
  ScopedMember& operator=(const ScopedMember&) = delete;

 private:
  VarSet& set_;
  VariablePtr var_;
  bool added_;
};

}  // namespace

// ---------------------------------------------------------------------------
// SubstitutionTransformer
// ---------------------------------------------------------------------------
SubstitutionTransformer::SubstitutionTransformer(std::shared_ptr<const Substitution> mapping)
    : mapping_(std::move(mapping)) {}

const NodePtr* SubstitutionTransformer::replacement(const VariablePtr& var) const {
  const NodePtr* term = mapping_->find(var);
  if (term && !shadowed_.empty() && shadowed_.contains(var)) return nullptr;
  return term;
}

VarSet SubstitutionTransformer::active_keys() const {
  VarSet keys;
  for (const auto& [var, term] : mapping_->entries())
    if (!shadowed_.contains(var)) keys.insert(var);
  return keys;
}

NodePtr SubstitutionTransformer::visit_constant(const NodeRef<Constant>& node) { return node; }

// Applications are always rebuilt, changed or not.  A Python override may
// return a value that is no node (null here): it is left out, so that the
// arity check of the new application refuses it.
std::vector<NodePtr> SubstitutionTransformer::visit_arguments(const Application& app) {
  std::vector<NodePtr> args;
  args.reserve(app.args().size());
  for (const auto& arg : app.args())
    if (NodePtr walked = visit(arg)) args.push_back(std::move(walked));
  return args;
}

NodePtr SubstitutionTransformer::visit_function_app(const NodeRef<FunctionApp>& node) {
  return FunctionApp::make(node->func(), node->arity(), visit_arguments(*node), node->return_sort());
}

NodePtr SubstitutionTransformer::visit_predicate_app(const NodeRef<PredicateApp>& node) {
  return PredicateApp::make(node->pred(), node->arity(), visit_arguments(*node));
}

NodePtr SubstitutionTransformer::visit_equality(const NodeRef<Equality>& node) {
  NodePtr left = visit(node->left());
  NodePtr right = visit(node->right());
  require_term(left);
  require_term(right);
  return Equality::make(std::move(left), std::move(right));
}

NodePtr SubstitutionTransformer::visit_forall(const NodeRef<Forall>& node) {
  return handle_quantifier(node->variable(), node->body(), NodeKind::Forall);
}

NodePtr SubstitutionTransformer::visit_exists(const NodeRef<Exists>& node) {
  return handle_quantifier(node->variable(), node->body(), NodeKind::Exists);
}

VarSetPtr SubstitutionTransformer::free_vars_of(const NodePtr& node) {
  switch (node->kind()) {
    case NodeKind::Variable: {
      auto single = std::make_shared<VarSet>();
      single->insert(as_ptr<Variable>(node));
      return single;
    }
    case NodeKind::Constant: return std::make_shared<const VarSet>();
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp: return as_application(*node)->free_vars();
    case NodeKind::Equality: return as<Equality>(*node).free_vars();
    default: break;
  }
  auto known = free_vars_memo_.find(node);
  if (known != free_vars_memo_.end()) return known->second;
  RecursionGuard guard;
  VarSetPtr result;
  if (node->kind() == NodeKind::Not) {
    result = free_vars_of(as<Not>(*node).operand());
  } else if (is_binary(node->kind())) {
    VarSetPtr left = free_vars_of(as<BinaryFormula>(*node).left());
    VarSetPtr right = free_vars_of(as<BinaryFormula>(*node).right());
    if (right->empty()) {
      result = left;
    } else if (left->empty()) {
      result = right;
    } else {
      auto both = std::make_shared<VarSet>(*left);
      both->insert_all(*right);
      result = both;
    }
  } else if (is_quantifier(node->kind())) {
    const auto& q = as<Quantifier>(*node);
    result = free_vars_of(q.body());
    if (result->contains(q.variable())) {
      auto without = std::make_shared<VarSet>(*result);
      without->erase(q.variable());
      result = without;
    }
  } else {
    result = free_vars_of(as<SecondOrderQuantifier>(*node).body());
  }
  free_vars_memo_.emplace(node, result);
  return result;
}

NodePtr SubstitutionTransformer::handle_quantifier(const VariablePtr& bound_var, const NodePtr& body,
                                                   NodeKind constructor) {
  // The remembered free-variable sets serve one outermost quantifier.
  ++open_quantifiers_;
  struct Close {
    SubstitutionTransformer& self;
    ~Close() {
      if (--self.open_quantifiers_ == 0) self.free_vars_memo_.clear();
    }
  } close{*this};

  // Hide the quantifier's own binding while its body is handled: the
  // occurrences of bound_var in the body are bound here, never replaced.
  std::optional<ScopedMember> shadow;
  if (replacement(bound_var)) shadow.emplace(shadowed_, bound_var);

  // The variables of the terms that the walk will put into the body.
  VarSetPtr body_free_vars = free_vars_of(body);
  const VarSet& body_free = *body_free_vars;
  VarSet replacement_vars;
  for (const auto& var : body_free)
    if (const NodePtr* term = replacement(var)) replacement_vars.insert_all(*free_vars_of(*term));

  VariablePtr var = bound_var;
  NodePtr target = body;
  if (replacement_vars.contains(bound_var)) {
    VarSet forbidden = body_free;
    forbidden.insert_all(replacement_vars);
    forbidden.insert_all(bound_variables(*body));
    forbidden.insert_all(scope_bound_vars_);
    forbidden.insert_all(active_keys());
    var = generate_fresh_variable(bound_var, forbidden);
    target = rename_bound_variable(body, bound_var, var);
  }

  NodePtr walked;
  {
    ScopedMember in_scope(scope_bound_vars_, var);
    walked = visit(target);
  }
  require_formula(walked);
  return Quantifier::make(constructor, var, walked);
}

VariablePtr SubstitutionTransformer::generate_fresh_variable(const VariablePtr& base_var, const VarSet& forbidden) {
  std::unordered_set<std::int64_t> taken;
  for (const auto& var : forbidden) taken.insert(var->id());
  std::int64_t candidate = base_var->id();
  while (taken.count(candidate)) candidate = fresh_id_after(candidate);
  return Variable::make(candidate, base_var->var_kind(), base_var->sort());
}

NodePtr SubstitutionTransformer::rename_bound_variable(const NodePtr& formula, const VariablePtr& old_var,
                                                       const VariablePtr& new_var) {
  NodePtr renamed = rename_free_variable(formula, old_var, new_var);
  require_formula(renamed);
  return renamed;
}

NodePtr rename_free_variable(const NodePtr& node, const VariablePtr& old_var, const VariablePtr& new_var) {
  SubstitutionTransformer renaming(std::make_shared<const Substitution>(Substitution{{old_var, new_var}}));
  return renaming.visit(node);
}

// ---------------------------------------------------------------------------
// Substitution functions
// ---------------------------------------------------------------------------
const SortPtr& sort_of_term(const Node& term) {
  if (!term.is_term()) throw TypeError(std::string("sort_of_term expects a term, got ") + term.class_name());
  return static_cast<const Term&>(term).sort();
}

void validate_mapping_sorts(const Substitution& mapping) {
  for (const auto& [var, term] : mapping.entries()) {
    const SortPtr& term_sort = sort_of_term(*term);
    if (!is_compatible(var->sort(), term_sort)) {
      throw SortMismatchError("Sort mismatch in substitution: variable v" + std::to_string(var->id()) +
                                  " has sort " + var->sort()->name() + ", but replacement term has sort " +
                                  term_sort->name() + ".",
                              var->sort(), term_sort);
    }
  }
}

namespace {

NodePtr substitute(const NodePtr& node, const Substitution& mapping, void (*check)(const NodePtr&)) {
  validate_mapping_sorts(mapping);
  if (mapping.empty()) return node;
  SubstitutionTransformer transformer(borrow(mapping));
  NodePtr result = transformer.visit(node);
  check(result);
  return result;
}

}  // namespace

NodePtr substitute_term(const NodePtr& term, const Substitution& mapping) {
  return substitute(term, mapping, &require_term);
}

NodePtr substitute_formula(const NodePtr& formula, const Substitution& mapping) {
  return substitute(formula, mapping, &require_formula);
}

NodePtr apply_substitution(const Substitution& subst, const NodePtr& term) { return substitute_term(term, subst); }

Substitution compose_substitutions(const Substitution& s1, const Substitution& s2) {
  validate_mapping_sorts(s1);
  validate_mapping_sorts(s2);
  Substitution result;
  for (const auto& [var, term] : s2.entries()) {
    NodePtr composed = substitute_term(term, s1);
    if (!equal(*var, *composed)) result.set(var, std::move(composed));
  }
  for (const auto& [var, term] : s1.entries()) {
    if (!s2.find(var) && !equal(*var, *term)) result.set(var, term);
  }
  return result;
}

// ---------------------------------------------------------------------------
// Unification
// ---------------------------------------------------------------------------
namespace {

std::string id_text(const Variable& var) { return "v" + std::to_string(var.id()); }

// Follows variable bindings from `t` to the first term that is not a bound
// variable.  A chain longer than the substitution has entries must revisit a
// variable: such a cycle is refused instead of followed forever.
NodePtr deref(NodePtr t, const Substitution& s) {
  std::size_t steps = 0;
  while (t->kind() == NodeKind::Variable) {
    const NodePtr* next = s.find(as_ptr<Variable>(t));
    if (!next) break;
    if (++steps > s.size())
      throw UnificationError("Cyclic substitution: variable " + id_text(as<Variable>(*t)) +
                             " is bound to itself through a chain of variables");
    t = *next;
  }
  return t;
}

void unify_into(NodePtr t1, NodePtr t2, Substitution& subst);

// Binds the unbound variable `var` to `term` (after the current bindings are
// applied to it) and rewrites the earlier values so that the substitution
// stays idempotent.
void bind_variable(const VariablePtr& var, NodePtr term, Substitution& subst) {
  term = substitute_term(term, subst);
  if (equal(*var, *term)) return;
  if (free_variables(term).contains(var))
    throw UnificationError("Occur-check failed: variable " + id_text(*var) + " occurs in " + repr(*term));
  const SortPtr& term_sort = sort_of_term(*term);
  if (!is_compatible(var->sort(), term_sort)) {
    throw SortMismatchError("Sort mismatch unifying " + id_text(*var) + " (" + var->sort()->name() +
                                ") with term (" + term_sort->name() + ")",
                            var->sort(), term_sort);
  }
  std::size_t earlier = subst.size();
  subst.set(var, term);
  Substitution single{{var, term}};
  for (std::size_t i = 0; i < earlier; ++i) {
    auto [key, value] = subst.entries()[i];
    // A value without `var` would come back equal; keep it as it is.
    if (free_variables(value).contains(var)) subst.set(key, substitute_term(value, single));
  }
}

void unify_constants(const Constant& c1, const Constant& c2) {
  if (c1.name() != c2.name())
    throw UnificationError("Constant mismatch: '" + c1.name() + "' vs '" + c2.name() + "'");
  // Constants unify only when they are equal, so sorts that are merely
  // compatible do not do.
  if (!is_compatible(c1.sort(), c2.sort()) || !same_sort(c1.sort(), c2.sort())) {
    throw SortMismatchError("Sort mismatch unifying constant '" + c1.name() + "' (" + c1.sort()->name() +
                                ") with (" + c2.sort()->name() + ")",
                            c1.sort(), c2.sort());
  }
}

void unify_arguments(const std::vector<NodePtr>& args1, const std::vector<NodePtr>& args2, Substitution& subst) {
  for (std::size_t i = 0; i < args1.size(); ++i) unify_into(args1[i], args2[i], subst);
}

void unify_functions(const FunctionApp& f1, const FunctionApp& f2, Substitution& subst) {
  if (!(f1.func() == f2.func()) || f1.arity() != f2.arity()) {
    throw UnificationError("Function symbol/arity mismatch: '" + f1.func().text() + "/" +
                           std::to_string(f1.arity()) + "' vs '" + f2.func().text() + "/" +
                           std::to_string(f2.arity()) + "'");
  }
  // As with constants: the two applications must end up equal, sorts included.
  if (!is_compatible(f1.return_sort(), f2.return_sort()) || !same_sort(f1.return_sort(), f2.return_sort())) {
    throw SortMismatchError("Return sort mismatch in function unification: " + f1.return_sort()->name() +
                                " vs " + f2.return_sort()->name(),
                            f1.return_sort(), f2.return_sort());
  }
  unify_arguments(f1.args(), f2.args(), subst);
}

// Unifies two terms into `subst`, which it extends.  On failure it raises and
// the caller drops `subst`, so no partial unifier escapes.
void unify_into(NodePtr t1, NodePtr t2, Substitution& subst) {
  RecursionGuard guard;
  t1 = deref(std::move(t1), subst);
  t2 = deref(std::move(t2), subst);
  if (equal(*t1, *t2)) return;
  if (t1->is_term() && t2->is_term()) {
    if (t1->kind() == NodeKind::Variable) return bind_variable(as_ptr<Variable>(t1), t2, subst);
    if (t2->kind() == NodeKind::Variable) return bind_variable(as_ptr<Variable>(t2), t1, subst);
    if (t1->kind() == NodeKind::Constant && t2->kind() == NodeKind::Constant)
      return unify_constants(as<Constant>(*t1), as<Constant>(*t2));
    if (t1->kind() == NodeKind::FunctionApp && t2->kind() == NodeKind::FunctionApp)
      return unify_functions(as<FunctionApp>(*t1), as<FunctionApp>(*t2), subst);
  }
  throw UnificationError(std::string("Cannot unify incompatible term structures: ") + t1->class_name() + " and " +
                         t2->class_name());
}

}  // namespace

Substitution unify_terms(const NodePtr& t1, const NodePtr& t2, const Substitution* subst) {
  Substitution working = subst ? *subst : Substitution();
  unify_into(t1, t2, working);
  return working;
}

Substitution unify_formulas(const NodePtr& f1, const NodePtr& f2) {
  Substitution subst;
  if (f1->kind() == NodeKind::PredicateApp && f2->kind() == NodeKind::PredicateApp) {
    const auto& p1 = as<PredicateApp>(*f1);
    const auto& p2 = as<PredicateApp>(*f2);
    if (!(p1.pred() == p2.pred()) || p1.arity() != p2.arity()) {
      throw UnificationError("Predicate symbol/arity mismatch: '" + p1.pred().text() + "/" +
                             std::to_string(p1.arity()) + "' vs '" + p2.pred().text() + "/" +
                             std::to_string(p2.arity()) + "'");
    }
    unify_arguments(p1.args(), p2.args(), subst);
    return subst;
  }
  if (f1->kind() == NodeKind::Equality && f2->kind() == NodeKind::Equality) {
    unify_into(as<Equality>(*f1).left(), as<Equality>(*f2).left(), subst);
    unify_into(as<Equality>(*f1).right(), as<Equality>(*f2).right(), subst);
    return subst;
  }
  throw UnificationError("Unification is strictly restricted to first-order atomic formulas.");
}

}  // namespace core
