#include "core/substitutions.hpp"

#include <exception>
#include <optional>
#include <string>
#include <unordered_set>

#include "core/exceptions.hpp"
#include "core/sorts.hpp"
#include "core/unify.hpp"
#include "core/unify_workspace.hpp"

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

NodePtr SubstitutionTransformer::visit(const NodePtr& node) {
  return remembering_visit(node, runs_own_operations(*this));
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

NodePtr SubstitutionTransformer::handle_quantifier(const VariablePtr& bound_var, const NodePtr& body,
                                                   NodeKind constructor) {
  // The remembered free-variable sets serve one outermost quantifier.
  ++open_quantifiers_;
  struct Close {
    SubstitutionTransformer& self;
    ~Close() {
      if (--self.open_quantifiers_ == 0) self.free_vars_.forget();
    }
  } close{*this};

  // Hide the quantifier's own binding while its body is handled: the
  // occurrences of bound_var in the body are bound here, never replaced.
  std::optional<ScopedMember> shadow;
  if (replacement(bound_var)) shadow.emplace(shadowed_, bound_var);

  // The variables of the terms that the walk will put into the body.
  VarSetPtr body_free_vars = free_vars_.of(body);
  const VarSet& body_free = *body_free_vars;
  VarSet replacement_vars;
  for (const auto& var : body_free)
    if (const NodePtr* term = replacement(var)) replacement_vars.insert_all(*free_vars_.of(*term));

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
    walked = shared_.apart([&] { return visit(target); });
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
// Two terms (and an idempotent starting substitution) are unified in a bank
// of their own by the trail unifier, which binds each variable once; the
// unifier is then read back in the order the variables were bound.  A
// starting substitution that is not idempotent (a chain of variables, say)
// is extended as an explicit substitution, rewriting earlier values at every
// binding, since its entries keep the exact form that such rewriting gives.
namespace {

std::string id_text(const Variable& var) { return "v" + std::to_string(var.id()); }

// The errors, shared by both ways of unifying.
UnificationError occur_check_error(const Variable& var, const Node& term) {
  std::string where = printable(term) ? repr(term) : "a term of " + node_size_exact(term).decimal() + " nodes";
  return UnificationError("Occur-check failed: variable " + id_text(var) + " occurs in " + where);
}

SortMismatchError variable_sort_error(const Variable& var, const SortPtr& term_sort) {
  return SortMismatchError("Sort mismatch unifying " + id_text(var) + " (" + var.sort()->name() + ") with term (" +
                               term_sort->name() + ")",
                           var.sort(), term_sort);
}

UnificationError constant_name_error(const Constant& c1, const Constant& c2) {
  return UnificationError("Constant mismatch: '" + c1.name() + "' vs '" + c2.name() + "'");
}

SortMismatchError constant_sort_error(const Constant& c1, const Constant& c2) {
  return SortMismatchError("Sort mismatch unifying constant '" + c1.name() + "' (" + c1.sort()->name() + ") with (" +
                               c2.sort()->name() + ")",
                           c1.sort(), c2.sort());
}

UnificationError symbol_error(const char* what, const Application& a1, const Application& a2) {
  return UnificationError(std::string(what) + " symbol/arity mismatch: '" + a1.symbol().text() + "/" +
                          std::to_string(a1.arity()) + "' vs '" + a2.symbol().text() + "/" +
                          std::to_string(a2.arity()) + "'");
}

SortMismatchError return_sort_error(const FunctionApp& f1, const FunctionApp& f2) {
  return SortMismatchError("Return sort mismatch in function unification: " + f1.return_sort()->name() + " vs " +
                               f2.return_sort()->name(),
                           f1.return_sort(), f2.return_sort());
}

UnificationError structure_error(const Node& t1, const Node& t2) {
  return UnificationError(std::string("Cannot unify incompatible term structures: ") + t1.class_name() + " and " +
                          t2.class_name());
}

bool same_constant(const Constant& c1, const Constant& c2) {
  return is_compatible(c1.sort(), c2.sort()) && same_sort(c1.sort(), c2.sort());
}

bool same_return_sort(const FunctionApp& f1, const FunctionApp& f2) {
  return is_compatible(f1.return_sort(), f2.return_sort()) && same_sort(f1.return_sort(), f2.return_sort());
}

// --- The explicit substitution, for starts that are not idempotent -------

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
// applied to it) and rewrites the earlier values so that the bindings of
// `var` are carried into them.
void bind_variable(const VariablePtr& var, NodePtr term, Substitution& subst) {
  term = substitute_term(term, subst);
  if (equal(*var, *term)) return;
  if (free_variables(term).contains(var)) throw occur_check_error(*var, *term);
  const SortPtr& term_sort = sort_of_term(*term);
  if (!is_compatible(var->sort(), term_sort)) throw variable_sort_error(*var, term_sort);
  std::size_t earlier = subst.size();
  subst.set(var, term);
  Substitution single{{var, term}};
  for (std::size_t i = 0; i < earlier; ++i) {
    auto [key, value] = subst.entries()[i];
    // A value without `var` would come back equal; keep it as it is.
    if (free_variables(value).contains(var)) subst.set(key, substitute_term(value, single));
  }
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
    if (t1->kind() == NodeKind::Constant && t2->kind() == NodeKind::Constant) {
      const auto& c1 = as<Constant>(*t1);
      const auto& c2 = as<Constant>(*t2);
      if (c1.name() != c2.name()) throw constant_name_error(c1, c2);
      // Constants unify only when they are equal, so sorts that are merely
      // compatible do not do.
      if (!same_constant(c1, c2)) throw constant_sort_error(c1, c2);
      return;
    }
    if (t1->kind() == NodeKind::FunctionApp && t2->kind() == NodeKind::FunctionApp) {
      const auto& f1 = as<FunctionApp>(*t1);
      const auto& f2 = as<FunctionApp>(*t2);
      if (!(f1.func() == f2.func()) || f1.arity() != f2.arity()) throw symbol_error("Function", f1, f2);
      // As with constants: the two applications must end up equal, sorts included.
      if (!same_return_sort(f1, f2)) throw return_sort_error(f1, f2);
      for (std::size_t i = 0; i < f1.args().size(); ++i) unify_into(f1.args()[i], f2.args()[i], subst);
      return;
    }
  }
  throw structure_error(*t1, *t2);
}

// --- The trail unifier -----------------------------------------------------

// Raises the error of a failed trail unification, in the words of the
// explicit one.  `refused` is the sort error of an ill-sorted starting
// substitution, which the explicit way raises at its first binding.
[[noreturn]] void raise_clash(Bank& bank, const Clash& clash, const std::exception_ptr& refused) {
  if (clash.kind == Clash::Kind::BindingRefused) std::rethrow_exception(refused);
  NodePtr left = bank.to_node(clash.left);
  NodePtr right = bank.to_node(clash.right);
  switch (clash.kind) {
    case Clash::Kind::Occurs: throw occur_check_error(as<Variable>(*left), *right);
    case Clash::Kind::VariableSort: throw variable_sort_error(as<Variable>(*left), sort_of_term(*right));
    case Clash::Kind::ConstantName: throw constant_name_error(as<Constant>(*left), as<Constant>(*right));
    case Clash::Kind::ConstantSort: throw constant_sort_error(as<Constant>(*left), as<Constant>(*right));
    case Clash::Kind::Symbol: throw symbol_error("Function", as<FunctionApp>(*left), as<FunctionApp>(*right));
    case Clash::Kind::ReturnSort: throw return_sort_error(as<FunctionApp>(*left), as<FunctionApp>(*right));
    default: throw structure_error(*left, *right);
  }
}

// Whether the trail can take `start`: every value a term in which no bound
// variable occurs (an idempotent substitution).
bool trail_can_take(Bank& bank, const std::vector<std::pair<TermId, TermId>>& entries) {
  if (entries.empty()) return true;
  std::vector<char> is_key(bank.size(), 0), seen(bank.size(), 0);
  for (auto [key, value] : entries) is_key[key] = 1;
  std::vector<TermId> stack;
  for (auto [key, value] : entries) {
    if (!bank.is_term(value)) return false;
    stack.push_back(value);
    while (!stack.empty()) {
      TermId t = stack.back();
      stack.pop_back();
      if (is_key[t]) return false;
      if (bank.is_ground(t) || seen[t]) continue;
      seen[t] = 1;
      for (TermId c : bank.children(t)) stack.push_back(c);
    }
  }
  return true;
}

// Unifies the pairs left[i], right[i] in order, extending `subst`.
Substitution unify_pairs(const std::vector<NodePtr>& left, const std::vector<NodePtr>& right,
                         const Substitution* subst) {
  UnifierWorkspace workspace;
  Bank& bank = workspace.bank();
  std::vector<std::pair<TermId, TermId>> start;
  if (subst)
    for (const auto& [var, value] : subst->entries()) start.emplace_back(bank.from_node(var), bank.from_node(value));
  if (!trail_can_take(bank, start)) {
    Substitution working = *subst;
    for (std::size_t i = 0; i < left.size(); ++i) unify_into(left[i], right[i], working);
    return working;
  }
  Unifier& unifier = workspace.unifier();
  std::exception_ptr refused;
  if (subst) {
    try {
      validate_mapping_sorts(*subst);
    } catch (const SortMismatchError&) {
      refused = std::current_exception();
      unifier.refuse_bindings(true);
    }
  }
  for (auto [var, value] : start) unifier.bind(var, value);
  std::vector<TermId> a, b;
  for (const auto& n : left) a.push_back(bank.from_node(n));
  for (const auto& n : right) b.push_back(bank.from_node(n));
  Clash clash;
  if (!unifier.unify_all(a, b, &clash)) raise_clash(bank, clash, refused);
  return workspace.bindings();
}

}  // namespace

Substitution unify_terms_explicit(const NodePtr& t1, const NodePtr& t2, const Substitution* subst) {
  Substitution working = subst ? *subst : Substitution();
  unify_into(t1, t2, working);
  return working;
}

Substitution unify_terms(const NodePtr& t1, const NodePtr& t2, const Substitution* subst) {
  if (!subst && t1 && t2 && equal(*t1, *t2)) return {};  // nothing to bind, whatever the nodes are
  return unify_pairs({t1}, {t2}, subst);
}

Substitution unify_formulas(const NodePtr& f1, const NodePtr& f2) {
  if (f1->kind() == NodeKind::PredicateApp && f2->kind() == NodeKind::PredicateApp) {
    const auto& p1 = as<PredicateApp>(*f1);
    const auto& p2 = as<PredicateApp>(*f2);
    if (!(p1.pred() == p2.pred()) || p1.arity() != p2.arity()) throw symbol_error("Predicate", p1, p2);
    return unify_pairs(p1.args(), p2.args(), nullptr);
  }
  if (f1->kind() == NodeKind::Equality && f2->kind() == NodeKind::Equality) {
    const auto& e1 = as<Equality>(*f1);
    const auto& e2 = as<Equality>(*f2);
    return unify_pairs({e1.left(), e1.right()}, {e2.left(), e2.right()}, nullptr);
  }
  throw UnificationError("Unification is strictly restricted to first-order atomic formulas.");
}

}  // namespace core
