#include "sol/substitutions_ext.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "core/exceptions.hpp"
#include "core/node_walk.hpp"
#include "core/substitutions.hpp"
#include "core/visitors.hpp"

namespace sol {

using namespace core;

// ---------------------------------------------------------------------------
// PredicateSubstitution
// ---------------------------------------------------------------------------
const PredicateLambda* PredicateSubstitution::find(const SymbolVariable& var) const {
  for (const auto& [key, value] : entries_)
    if (*key == var) return &value;
  return nullptr;
}

void PredicateSubstitution::set(SymbolVariablePtr var, PredicateLambda value) {
  for (auto& entry : entries_) {
    if (*entry.first == *var) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::move(var), std::move(value));
}

// ---------------------------------------------------------------------------
// Walk helpers
// ---------------------------------------------------------------------------
namespace {

// The symbol variable of an application, or null for a named symbol.
const SymbolVariable* symbol_variable(const Node& node) {
  const Application* app = as_application(node);
  return app && !app->symbol().is_name() ? app->symbol().variable().get() : nullptr;
}

bool same_variable_type(const Variable& a, const Variable& b) {
  return a.var_kind() == b.var_kind() && same_sort(a.sort(), b.sort());
}

}  // namespace

std::int64_t max_variable_id(const NodePtr& node) {
  std::int64_t largest = -1;
  core::for_each_distinct_node(*node, [&](const Node& n) {
    if (n.kind() == NodeKind::Variable) largest = std::max(largest, as<Variable>(n).id());
  });
  return largest;
}

// ---------------------------------------------------------------------------
// Pattern unification
// ---------------------------------------------------------------------------
namespace {

class PatternMatcher {
 public:
  explicit PatternMatcher(const VarSet& bound_vars) {
    for (const VariablePtr& v : bound_vars) binders_.emplace_back(v, v);
  }

  bool formulas(const NodePtr& p, const NodePtr& t);
  PredicateSubstitution solution;

 private:
  // Pairs of (pattern variable, target variable) bound around the current
  // position, innermost last; the same for predicate and function variables.
  std::vector<std::pair<VariablePtr, VariablePtr>> binders_;
  std::vector<std::pair<SymbolVariablePtr, SymbolVariablePtr>> symbol_binders_;

  static constexpr std::size_t kFree = static_cast<std::size_t>(-1);
  // The position of the innermost pair whose pattern (or target) side is `v`, or kFree.
  template <typename Pair, typename V>
  static std::size_t innermost(const std::vector<Pair>& pairs, bool pattern_side, const V& v);
  std::size_t pattern_binder(const Variable& v) const;
  std::size_t target_binder(const Variable& v) const;
  std::size_t pattern_symbol_binder(const SymbolVariable& v) const;
  std::size_t target_symbol_binder(const SymbolVariable& v) const;

  bool terms(const NodePtr& p, const NodePtr& t);
  bool symbols(const Symbol& p, const Symbol& t) const;
  bool arguments(const Application& p, const Application& t);
  bool flexible(const PredicateApp& p, const NodePtr& t);
  bool escapes(const NodePtr& t, const std::vector<std::size_t>& allowed) const;

  // Whether the bodies of two quantifiers match, their variables paired in
  // `binders` meanwhile.
  template <typename Binders, typename Q>
  bool bodies(Binders& binders, const Q& pq, const Q& tq) {
    binders.emplace_back(pq.variable(), tq.variable());
    bool ok = formulas(pq.body(), tq.body());
    binders.pop_back();
    return ok;
  }
};

bool same(const Variable& a, const Variable& b) { return equal(a, b); }
bool same(const SymbolVariable& a, const SymbolVariable& b) { return a == b; }

template <typename Pair, typename V>
std::size_t PatternMatcher::innermost(const std::vector<Pair>& pairs, bool pattern_side, const V& v) {
  for (std::size_t i = pairs.size(); i-- > 0;)
    if (same(pattern_side ? *pairs[i].first : *pairs[i].second, v)) return i;
  return kFree;
}

std::size_t PatternMatcher::pattern_binder(const Variable& v) const { return innermost(binders_, true, v); }
std::size_t PatternMatcher::target_binder(const Variable& v) const { return innermost(binders_, false, v); }
std::size_t PatternMatcher::pattern_symbol_binder(const SymbolVariable& v) const {
  return innermost(symbol_binders_, true, v);
}
std::size_t PatternMatcher::target_symbol_binder(const SymbolVariable& v) const {
  return innermost(symbol_binders_, false, v);
}

// Two symbols agree when they are the same name, the same free symbol
// variable, or symbol variables paired by the same second-order quantifier.
bool PatternMatcher::symbols(const Symbol& p, const Symbol& t) const {
  if (p.is_name() || t.is_name()) return p == t;
  std::size_t bp = pattern_symbol_binder(*p.variable());
  std::size_t bt = target_symbol_binder(*t.variable());
  if (bp != bt) return false;
  return bp != kFree || *p.variable() == *t.variable();
}

bool PatternMatcher::arguments(const Application& p, const Application& t) {
  if (p.arity() != t.arity() || p.args().size() != t.args().size()) return false;
  for (std::size_t i = 0; i < p.args().size(); ++i)
    if (!terms(p.args()[i], t.args()[i])) return false;
  return true;
}

bool PatternMatcher::terms(const NodePtr& p, const NodePtr& t) {
  RecursionGuard guard;
  if (p->kind() != t->kind()) return false;
  switch (p->kind()) {
    case NodeKind::Variable: {
      std::size_t bp = pattern_binder(as<Variable>(*p));
      std::size_t bt = target_binder(as<Variable>(*t));
      if (bp != bt) return false;
      return bp != kFree || equal(*p, *t);
    }
    case NodeKind::FunctionApp: {
      const auto& fp = as<FunctionApp>(*p);
      const auto& ft = as<FunctionApp>(*t);
      return symbols(fp.func(), ft.func()) && same_sort(fp.return_sort(), ft.return_sort()) && arguments(fp, ft);
    }
    default:
      return equal(*p, *t);
  }
}

// Whether `t` mentions a bound variable of the target other than those bound
// at the positions `allowed`, or a symbol variable bound in the target: such
// a formula cannot be the body of a predicate lambda at this position.
bool PatternMatcher::escapes(const NodePtr& t, const std::vector<std::size_t>& allowed) const {
  for (const VariablePtr& v : free_variables(t)) {
    std::size_t b = target_binder(*v);
    if (b != kFree && std::find(allowed.begin(), allowed.end(), b) == allowed.end()) return true;
  }
  if (symbol_binders_.empty()) return false;
  bool bound_symbol = false;
  core::for_each_distinct_node(*t, [&](const Node& n) {
    const SymbolVariable* s = symbol_variable(n);
    if (s && target_symbol_binder(*s) != kFree) bound_symbol = true;
  });
  return bound_symbol;
}

// P(x1, ..., xn) against the formula `t`, with P a predicate variable that
// the pattern does not bind.
bool PatternMatcher::flexible(const PredicateApp& p, const NodePtr& t) {
  const SymbolVariablePtr& pred = p.pred().variable();
  if (const PredicateLambda* known = solution.find(*pred)) {
    // Already solved: the instance must be the target, up to bound renaming.
    if (known->params.size() != p.args().size()) return false;
    Substitution put_in;
    for (std::size_t i = 0; i < p.args().size(); ++i) {
      NodePtr arg = p.args()[i];
      if (arg->kind() == NodeKind::Variable) {
        std::size_t b = pattern_binder(as<Variable>(*arg));
        if (b != kFree) arg = binders_[b].second;
      }
      put_in.set(known->params[i], arg);
    }
    NodePtr instance = substitute_formula(known->body, put_in);
    return equal(canonicalize_bound_variables(instance), canonicalize_bound_variables(t));
  }
  // The pattern fragment: distinct bound variables as arguments.
  std::vector<std::size_t> positions;
  std::vector<VariablePtr> params;
  for (const NodePtr& arg : p.args()) {
    if (arg->kind() != NodeKind::Variable) return false;
    std::size_t b = pattern_binder(as<Variable>(*arg));
    if (b == kFree || std::find(positions.begin(), positions.end(), b) != positions.end()) return false;
    positions.push_back(b);
    params.push_back(binders_[b].first);
  }
  if (escapes(t, positions)) return false;
  // The body speaks of the target's variables; rename them to the pattern's
  // names, unless a pattern name is used freely in the target, in which case
  // fresh parameters keep the two apart.
  VarSet target_free = free_variables(t);
  bool clash = false;
  for (std::size_t i = 0; i < params.size(); ++i)
    if (!equal(*params[i], *binders_[positions[i]].second) && target_free.contains(params[i])) clash = true;
  if (clash) {
    std::int64_t next = max_variable_id(t);
    for (auto& param : params) {
      next = fresh_id_after(std::max(next, param->id()));
      param = Variable::make(next, param->var_kind(), param->sort());
    }
  }
  Substitution rename;
  for (std::size_t i = 0; i < params.size(); ++i) {
    const VariablePtr& target_var = binders_[positions[i]].second;
    if (!equal(*target_var, *params[i])) rename.set(target_var, params[i]);
  }
  solution.set(pred, PredicateLambda{std::move(params), substitute_formula(t, rename)});
  return true;
}

bool PatternMatcher::formulas(const NodePtr& p, const NodePtr& t) {
  RecursionGuard guard;
  if (p->kind() == NodeKind::PredicateApp) {
    const auto& pa = as<PredicateApp>(*p);
    const SymbolVariable* pred = symbol_variable(pa);
    if (pred && pattern_symbol_binder(*pred) == kFree) return t->is_formula() && flexible(pa, t);
  }
  if (p->kind() != t->kind()) return false;
  switch (p->kind()) {
    case NodeKind::PredicateApp: {
      const auto& pa = as<PredicateApp>(*p);
      const auto& ta = as<PredicateApp>(*t);
      return symbols(pa.pred(), ta.pred()) && arguments(pa, ta);
    }
    case NodeKind::Equality: {
      const auto& pe = as<Equality>(*p);
      const auto& te = as<Equality>(*t);
      return terms(pe.left(), te.left()) && terms(pe.right(), te.right());
    }
    case NodeKind::Not:
      return formulas(as<Not>(*p).operand(), as<Not>(*t).operand());
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
    case NodeKind::Iff: {
      const auto& pb = as<BinaryFormula>(*p);
      const auto& tb = as<BinaryFormula>(*t);
      return formulas(pb.left(), tb.left()) && formulas(pb.right(), tb.right());
    }
    case NodeKind::Forall:
    case NodeKind::Exists: {
      const auto& pq = as<Quantifier>(*p);
      const auto& tq = as<Quantifier>(*t);
      return same_variable_type(*pq.variable(), *tq.variable()) && bodies(binders_, pq, tq);
    }
    case NodeKind::ForallPred:
    case NodeKind::ExistsPred:
    case NodeKind::ForallFunc:
    case NodeKind::ExistsFunc: {
      const auto& pq = as<SecondOrderQuantifier>(*p);
      const auto& tq = as<SecondOrderQuantifier>(*t);
      return pq.variable()->arity() == tq.variable()->arity() && bodies(symbol_binders_, pq, tq);
    }
    default:
      return false;  // terms in formula position
  }
}

}  // namespace

std::optional<PredicateSubstitution> ho_pattern_unify(const NodePtr& pattern, const NodePtr& target,
                                                      const VarSet& bound_vars) {
  PatternMatcher matcher(bound_vars);
  if (!matcher.formulas(pattern, target)) return std::nullopt;
  return std::move(matcher.solution);
}

// ---------------------------------------------------------------------------
// Predicate substitution
// ---------------------------------------------------------------------------
namespace {

class PredicateInstantiator : public ASTTransformer {
 public:
  explicit PredicateInstantiator(const PredicateSubstitution& mapping) : mapping_(mapping) {
    for (const auto& [var, lambda] : mapping_.entries()) {
      VarSet body_free = free_variables(lambda.body);
      for (const VariablePtr& v : body_free) {
        bool is_param = std::any_of(lambda.params.begin(), lambda.params.end(),
                                    [&](const VariablePtr& p) { return equal(*p, *v); });
        if (!is_param) catchable_.insert(v);
      }
    }
  }

  NodePtr visit_predicate_app(const NodeRef<PredicateApp>& node) override {
    const PredicateLambda* lambda = active(*node);
    if (!lambda) return ASTTransformer::visit_predicate_app(node);
    if (lambda->params.size() != node->args().size()) {
      throw ValueError("Predicate variable " + node->pred().text() + " stands for a predicate of " +
                       std::to_string(lambda->params.size()) + " arguments but is applied to " +
                       std::to_string(node->args().size()));
    }
    Substitution put_in;
    for (std::size_t i = 0; i < lambda->params.size(); ++i) put_in.set(lambda->params[i], node->args()[i]);
    return substitute_formula(lambda->body, put_in);
  }

  // A shared subformula is instantiated once: its result depends on the node
  // alone while the same second-order binders are hidden.
  NodePtr visit(const NodePtr& node) override {
    if (const NodePtr* known = memo_.find(node)) return *known;
    return memo_.store(node, ASTTransformer::visit(node));
  }

  NodePtr visit_forall(const NodeRef<Forall>& node) override { return quantifier(node); }
  NodePtr visit_exists(const NodeRef<Exists>& node) override { return quantifier(node); }
  NodePtr visit_forall_pred(const NodeRef<ForallPred>& node) override { return second_order(node); }
  NodePtr visit_exists_pred(const NodeRef<ExistsPred>& node) override { return second_order(node); }

 private:
  const PredicateSubstitution& mapping_;
  VarSet catchable_;  // free variables of the lambda bodies, parameters aside
  std::vector<SymbolVariablePtr> hidden_;
  SharedNodeMemo<NodePtr> memo_;  // results of shared nodes under the current hidden_
  std::vector<NodePtr> renamed_;  // the renamed bodies walked so far

  const PredicateLambda* active(const PredicateApp& app) const {
    const SymbolVariable* pred = symbol_variable(app);
    if (!pred) return nullptr;
    for (const auto& h : hidden_)
      if (*h == *pred) return nullptr;
    return mapping_.find(*pred);
  }

  bool mentions_mapped(const NodePtr& formula) const {
    bool found = false;
    core::for_each_distinct_node(*formula, [&](const Node& n) {
      if (n.kind() == NodeKind::PredicateApp && active(as<PredicateApp>(n))) found = true;
    });
    return found;
  }

  // A quantifier whose variable would catch a free variable of a body put in
  // below it is renamed first.
  NodePtr quantifier(const NodeRef<Quantifier>& node) {
    if (!catchable_.contains(node->variable()) || !mentions_mapped(node->body())) return rebuild_quantifier(node);
    std::int64_t top = max_variable_id(node);
    for (const auto& [var, lambda] : mapping_.entries()) top = std::max(top, max_variable_id(lambda.body));
    const VariablePtr& old_var = node->variable();
    VariablePtr fresh = Variable::make(fresh_id_after(top), old_var->var_kind(), old_var->sort());
    NodePtr renamed = substitute_formula(node->body(), Substitution{{old_var, fresh}});
    renamed_.push_back(renamed);  // memo_ keys must not be freed and reused during the walk
    NodePtr body = visit(renamed);
    require_formula(body);
    return Quantifier::make(node->kind(), fresh, body);
  }

  NodePtr second_order(const NodeRef<SecondOrderQuantifier>& node) {
    if (!mapping_.find(*node->variable())) return rebuild_second_order(node);
    hidden_.push_back(node->variable());
    SharedNodeMemo<NodePtr> outer = std::exchange(memo_, {});
    NodePtr result;
    try {
      result = rebuild_second_order(node);
    } catch (...) {
      hidden_.pop_back();
      memo_ = std::move(outer);
      throw;
    }
    hidden_.pop_back();
    memo_ = std::move(outer);
    return result;
  }
};

}  // namespace

NodePtr substitute_predicate(const NodePtr& formula, const PredicateSubstitution& mapping) {
  if (mapping.empty()) return formula;
  PredicateInstantiator instantiator(mapping);
  return instantiator.visit(formula);
}

}  // namespace sol
