#include "sol/kb_ext.hpp"

#include "core/substitutions.hpp"

namespace sol {

using namespace core;

namespace {
constexpr const char* kZero = "zero";
constexpr const char* kSuccessor = "succ";
}  // namespace

NodePtr induction_zero() { return Constant::make(kZero); }

NodePtr induction_successor(const NodePtr& term) { return FunctionApp::make(kSuccessor, 1, {term}); }

NodePtr instantiate_induction(const NodePtr& body, const VariablePtr& variable) {
  NodePtr base = substitute_formula(body, Substitution{{variable, induction_zero()}});
  NodePtr next = substitute_formula(body, Substitution{{variable, induction_successor(variable)}});
  NodePtr step = Quantifier::make(NodeKind::Forall, variable, make_implies(body, next));
  NodePtr conclusion = Quantifier::make(NodeKind::Forall, variable, body);
  return make_implies(make_and(base, step), conclusion);
}

namespace {

// P(t) for the predicate variable P: the argument t, or null.
const NodePtr* argument_of(const Node& node, const SymbolVariable& pred) {
  if (node.kind() != NodeKind::PredicateApp) return nullptr;
  const auto& app = as<PredicateApp>(node);
  if (app.pred().is_name() || !(*app.pred().variable() == pred) || app.args().size() != 1) return nullptr;
  return &app.args()[0];
}

bool is_individual(const Node& node) {
  return node.kind() == NodeKind::Variable && as<Variable>(node).var_kind() == VariableKind::INDIVIDUAL &&
         same_sort(as<Variable>(node).sort(), ind_sort());
}

// P(v) for the variable bound by `q` (a Forall whose body `inner` is read).
bool applies_to_bound(const Node& node, const SymbolVariable& pred, const Quantifier& q) {
  const NodePtr* arg = argument_of(node, pred);
  return arg && equal(**arg, *q.variable());
}

bool is_forall(const Node& node) { return node.kind() == NodeKind::Forall && is_individual(*as<Quantifier>(node).variable()); }

}  // namespace

bool is_induction_schema(const Node& formula) {
  if (formula.kind() != NodeKind::ForallPred) return false;
  const auto& schema = as<SecondOrderQuantifier>(formula);
  const SymbolVariable& pred = *schema.variable();
  if (schema.body()->kind() != NodeKind::Implies) return false;
  const auto& implication = as<BinaryFormula>(*schema.body());
  if (implication.left()->kind() != NodeKind::And || !is_forall(*implication.right())) return false;
  const auto& conclusion = as<Quantifier>(*implication.right());
  if (!applies_to_bound(*conclusion.body(), pred, conclusion)) return false;

  const auto& premises = as<BinaryFormula>(*implication.left());
  const NodePtr* base_arg = argument_of(*premises.left(), pred);
  if (!base_arg || !equal(**base_arg, *induction_zero())) return false;
  if (!is_forall(*premises.right())) return false;
  const auto& step = as<Quantifier>(*premises.right());
  if (step.body()->kind() != NodeKind::Implies) return false;
  const auto& step_body = as<BinaryFormula>(*step.body());
  const NodePtr* next_arg = argument_of(*step_body.right(), pred);
  return applies_to_bound(*step_body.left(), pred, step) && next_arg &&
         equal(**next_arg, *induction_successor(step.variable()));
}

}  // namespace sol
