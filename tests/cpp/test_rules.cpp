// Second-order template instantiation from C++, with the engine's own
// pattern unification, substitution and clausifier.
#include <gtest/gtest.h>

#include "core/ast.hpp"
#include "prover/rules.hpp"

using namespace core;

namespace {

const SymbolVariablePtr kP = std::make_shared<const SymbolVariable>(SymbolVariable::Kind::Predicate, 0, 1, "P");

NodePtr app(Symbol symbol, NodePtr arg) { return PredicateApp::make(std::move(symbol), 1, {std::move(arg)}); }
NodePtr p_of(NodePtr arg) { return app(Symbol(kP), std::move(arg)); }
NodePtr forall(std::int64_t id, NodePtr body) { return Quantifier::make(NodeKind::Forall, Variable::make(id), std::move(body)); }
NodePtr forall_p(NodePtr body) { return SecondOrderQuantifier::make(NodeKind::ForallPred, kP, std::move(body)); }

}  // namespace

TEST(InstantiateTemplate, ThePredicateEntersPremiseAndConclusion) {
  // forall P (P(a) -> forall x P(x)) for the goal forall y Q(y): {~Q(a), Q(w)}.
  NodePtr a = Constant::make("a");
  NodePtr axiom = forall_p(make_implies(p_of(a), forall(1, p_of(Variable::make(1)))));
  std::vector<prover::Clause> clauses = prover::instantiate_template(axiom, forall(2, app("Q", Variable::make(2))));
  ASSERT_EQ(clauses.size(), 1u);
  ASSERT_EQ(clauses[0].size(), 2u);
  int negative_at_a = 0, positive = 0;
  for (const prover::Literal& l : clauses[0].literals()) {
    const auto& atom = as<PredicateApp>(*l.atom());
    EXPECT_EQ(atom.pred().name(), "Q");
    if (!l.positive() && equal(*atom.args()[0], *a)) ++negative_at_a;
    if (l.positive() && atom.args()[0]->kind() == NodeKind::Variable) ++positive;
  }
  EXPECT_EQ(negative_at_a, 1);
  EXPECT_EQ(positive, 1);
}

TEST(InstantiateTemplate, NothingAppliesGivesNoClauses) {
  NodePtr axiom = forall_p(forall(1, p_of(FunctionApp::make("f", 1, {Variable::make(1)}))));
  EXPECT_TRUE(prover::instantiate_template(axiom, forall(2, app("Q", Variable::make(2)))).empty());
  EXPECT_TRUE(prover::instantiate_template(app("P", Constant::make("a")), app("Q", Constant::make("b"))).empty());
}
