// The engine used from C++ alone, without the Python layer installed.
#include <gtest/gtest.h>

#include "constructive/common.hpp"
#include "core/ast.hpp"
#include "core/node_walk.hpp"
#include "core/parser.hpp"

using namespace core;

namespace {

NodePtr atom(const char* name) { return PredicateApp::atom(name); }

NodePtr deep_chain(int depth) {
  NodePtr f = atom("p");
  for (int i = 0; i < depth; ++i) f = make_not(f);
  return f;
}

}  // namespace

TEST(Ast, StructuralEqualityAndHash) {
  NodePtr a = make_and(atom("p"), atom("q"));
  NodePtr b = make_and(atom("p"), atom("q"));
  EXPECT_TRUE(equal(a, b));
  EXPECT_EQ(a->hash(), b->hash());
  EXPECT_FALSE(equal(a, make_or(atom("p"), atom("q"))));
  EXPECT_FALSE(equal(a, make_and(atom("q"), atom("p"))));
  NodeSet set;
  set.insert(a);
  EXPECT_FALSE(set.insert(b));
  EXPECT_EQ(set.size(), 1u);
}

TEST(Ast, ValidationMessages) {
  EXPECT_THROW(Variable::make(-1), InvalidFormulaError);
  EXPECT_THROW(Constant::make(""), InvalidFormulaError);
  try {
    FunctionApp::make(Symbol("f"), 2, {Variable::make(0)});
    FAIL();
  } catch (const InvalidFormulaError& e) {
    EXPECT_STREQ(e.what(), "FunctionApp 'f' expected arity 2, got 1 arguments.");
  }
  EXPECT_THROW(make_not(Variable::make(0)), TypeError);
}

TEST(Ast, FreeVariablesAreCachedAndShared) {
  auto x = Variable::make(0), y = Variable::make(1);
  auto inner = FunctionApp::make(Symbol("f"), 2, {y, x});
  auto outer = FunctionApp::make(Symbol("g"), 2, {x, inner});
  EXPECT_EQ(outer->free_vars()->size(), 2u);
  auto q = Quantifier::make(NodeKind::Forall, x, PredicateApp::make(Symbol("P"), 1, {outer}));
  VarSet free = free_variables(q);
  ASSERT_EQ(free.size(), 1u);
  EXPECT_TRUE(equal(*free.items()[0], *y));
}

TEST(Ast, DeepTreesAreComparedAndReleasedWithoutRecursion) {
  NodePtr a = deep_chain(200000), b = deep_chain(200000);
  EXPECT_TRUE(equal(a, b));
  EXPECT_THROW(formula_depth(*a), RecursionDepthError);
  a.reset();
  b.reset();
}

// The walk over distinct nodes: each node once, however deep the nesting
// or heavy the sharing, in pre-order, the bound variable of a quantifier
// among the children.
TEST(Ast, DistinctNodeWalk) {
  std::size_t visits = 0;
  for_each_distinct_node(*deep_chain(200000), [&](const Node&) { ++visits; });
  EXPECT_EQ(visits, 200001u);

  NodePtr shared = atom("p");
  for (int i = 0; i < 200; ++i) shared = make_and(shared, shared);  // 2^200 leaves as a tree
  visits = 0;
  for_each_distinct_node(*shared, [&](const Node&) { ++visits; });
  EXPECT_EQ(visits, 201u);

  auto x = Variable::make(7);
  auto q = Quantifier::make(NodeKind::Forall, x, make_or(atom("q"), PredicateApp::make(Symbol("P"), 1, {x})));
  std::vector<NodeKind> order;
  for_each_distinct_node(*q, [&](const Node& n) { order.push_back(n.kind()); });
  std::vector<NodeKind> expected{NodeKind::Forall, NodeKind::Variable, NodeKind::Or, NodeKind::PredicateApp,
                                 NodeKind::PredicateApp};
  EXPECT_EQ(order, expected);  // x inside P(x) is the node already met
}

TEST(Constructive, NormalisationRemovesNegationAndVerum) {
  using constructive::falsum;
  using constructive::normalize_formula;
  using constructive::verum;
  NodePtr f = make_implies(make_and(verum(), atom("p")), make_not(atom("q")));
  EXPECT_EQ(to_string(*normalize_formula(f)), "(p => (q => _bot))");
}
