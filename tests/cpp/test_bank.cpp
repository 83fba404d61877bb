// The term and formula bank: interning, ids, the symbol table, the boundary.
#include <gtest/gtest.h>

#include "core/ast.hpp"
#include "core/bank.hpp"

namespace {

using namespace core;

NodePtr var(std::int64_t id, SortPtr sort = ind_sort()) { return Variable::make(id, VariableKind::INDIVIDUAL, sort); }
NodePtr cst(const std::string& name, SortPtr sort = ind_sort()) { return Constant::make(name, sort); }
NodePtr fn(const std::string& name, std::vector<NodePtr> args) {
  auto arity = static_cast<std::int64_t>(args.size());
  return FunctionApp::make(Symbol(name), arity, std::move(args));
}
NodePtr pred(const std::string& name, std::vector<NodePtr> args) {
  auto arity = static_cast<std::int64_t>(args.size());
  return PredicateApp::make(Symbol(name), arity, std::move(args));
}

TEST(Bank, EqualStructureGetsEqualIdAndOnlyThen) {
  Bank bank;
  SortPtr s = Sort::primitive("S");
  // Built twice from separate objects: the same id.
  EXPECT_EQ(bank.from_node(fn("f", {var(0), cst("a")})), bank.from_node(fn("f", {var(0), cst("a")})));
  // Each pair differs in one respect: different ids.
  const std::vector<std::pair<NodePtr, NodePtr>> different = {
      {var(0), var(1)},
      {var(0), var(0, s)},
      {var(0), Variable::make(0, VariableKind::PREDICATE)},
      {cst("a"), cst("a", s)},
      {cst("a"), fn("a", {})},
      {fn("f", {var(0)}), fn("f", {var(0), var(0)})},
      {make_and(pred("P", {}), pred("Q", {})), make_or(pred("P", {}), pred("Q", {}))},
      {make_and(pred("P", {}), pred("Q", {})), make_and(pred("Q", {}), pred("P", {}))},
      {Quantifier::make(NodeKind::Forall, var(0), pred("P", {var(0)})),
       Quantifier::make(NodeKind::Exists, var(0), pred("P", {var(0)}))},
      {Quantifier::make(NodeKind::Forall, var(0), pred("P", {var(0)})),
       Quantifier::make(NodeKind::Forall, var(1), pred("P", {var(1)}))},
  };
  for (const auto& [a, b] : different) EXPECT_NE(bank.from_node(a), bank.from_node(b)) << repr(*a) << " / " << repr(*b);
}

TEST(Bank, IdsAreDenseAndChildrenComeFirst) {
  Bank bank;
  TermId t = bank.from_node(fn("g", {fn("f", {var(0)}), cst("a")}));
  EXPECT_EQ(bank.size(), 4u);  // v0, f(v0), a, g(...)
  EXPECT_EQ(t, 3u);
  for (TermId id = 0; id < bank.size(); ++id)
    for (TermId c : bank.children(id)) EXPECT_LT(c, id);
}

TEST(Bank, SymbolTableKeysByNameAndArity) {
  Bank bank;
  SymbolId r1 = bank.symbol("R", 1), r2 = bank.symbol("R", 2);
  EXPECT_NE(r1, r2);
  EXPECT_EQ(bank.symbol("R", 1), r1);
  EXPECT_EQ(bank.find_symbol("R", 2), r2);
  EXPECT_EQ(bank.find_symbol("R", 3), kNoSymbol);
  EXPECT_EQ(bank.find_symbol("Q", 0), kNoSymbol);
  EXPECT_EQ(bank.symbol_name(r2), "R");
  EXPECT_EQ(bank.symbol_arity(r2), 2u);
  // Atoms R(a) and R(a, a) use the two symbols.
  TermId a = bank.constant(bank.symbol("a", 0));
  TermId one = bank.from_node(pred("R", {cst("a")}));
  TermId two = bank.from_node(pred("R", {cst("a"), cst("a")}));
  EXPECT_EQ(bank.symbol_of(one), r1);
  EXPECT_EQ(bank.symbol_of(two), r2);
  const TermId args[] = {a};
  EXPECT_EQ(bank.predicate(r1, args), one);
}

TEST(Bank, PerIdFacts) {
  Bank bank;
  SortPtr s = Sort::primitive("S");
  TermId x = bank.variable(7, bank.sort(s));
  TermId a = bank.constant(bank.symbol("a", 0));
  const TermId args[] = {x, a};
  TermId fxa = bank.function(bank.symbol("f", 2), args);
  TermId fa = bank.rebuild(fxa, std::vector<TermId>{a, a});
  EXPECT_EQ(bank.kind(fxa), NodeKind::FunctionApp);
  EXPECT_TRUE(bank.is_term(fxa));
  EXPECT_TRUE(bank.is_variable(x));
  EXPECT_EQ(bank.variable_id(x), 7);
  EXPECT_EQ(bank.variable_kind(x), VariableKind::INDIVIDUAL);
  EXPECT_EQ(bank.sort_value(bank.sort_of(x))->name(), "S");
  EXPECT_EQ(bank.sort_of(fxa), kIndSort);
  EXPECT_FALSE(bank.is_ground(fxa));
  EXPECT_TRUE(bank.is_ground(fa));
  EXPECT_EQ(bank.weight(fxa), 3u);
  EXPECT_EQ(std::vector<TermId>(bank.children(fxa).begin(), bank.children(fxa).end()), (std::vector<TermId>{x, a}));
  TermId atom = bank.predicate(bank.symbol("P", 1), std::vector<TermId>{fa});
  TermId q = bank.quantifier(NodeKind::Forall, x, atom);
  EXPECT_FALSE(bank.is_term(q));
  EXPECT_EQ(bank.sort_of(q), kNoSort);
  EXPECT_FALSE(bank.is_ground(q));  // the bound variable occurs
  EXPECT_THROW(bank.quantifier(NodeKind::Forall, a, atom), TypeError);
  EXPECT_THROW(bank.variable(-1), InvalidFormulaError);
}

TEST(Bank, NodesConvertBackToEqualNodes) {
  Bank bank;
  SortPtr s = Sort::primitive("S");
  auto x = var(0, s);
  std::vector<NodePtr> nodes = {
      x,
      FunctionApp::make(Symbol("h"), 1, {x}, s),
      Equality::make(cst("a"), fn("f", {var(1)})),
      make_not(make_implies(pred("P", {}), make_iff(pred("Q", {var(2)}), pred("Q", {var(3)})))),
      Quantifier::make(NodeKind::Exists, x, pred("R", {x, cst("b", s)})),
      SecondOrderQuantifier::make(
          NodeKind::ForallPred, std::make_shared<const SymbolVariable>(SymbolVariable::Kind::Predicate, 0, 1, "X"),
          PredicateApp::make(Symbol(std::make_shared<const SymbolVariable>(SymbolVariable::Kind::Predicate, 0, 1, "X")),
                             1, {cst("a")})),
  };
  for (const auto& node : nodes) {
    TermId id = bank.from_node(node);
    EXPECT_EQ(bank.to_node(id), node);  // the caller's own object comes back
    Bank other;  // a bank that never saw the object builds an equal one
    NodePtr rebuilt = other.to_node(other.from_node(node));
    EXPECT_TRUE(equal(rebuilt, node)) << repr(*node) << " vs " << repr(*rebuilt);
    EXPECT_EQ(rebuilt->hash(), node->hash());
  }
  EXPECT_THROW(bank.to_node(static_cast<TermId>(bank.size())), TypeError);
  EXPECT_THROW(bank.from_node(nullptr), TypeError);
}

TEST(Bank, VeryDeepAndHeavilySharedTermsConvertWithoutRecursion) {
  constexpr int kDepth = 1'000'000;
  NodePtr deep = var(0);
  for (int i = 0; i < kDepth; ++i) deep = fn("f", {deep});
  Bank bank;
  TermId id = bank.from_node(deep);
  EXPECT_EQ(bank.weight(id), static_cast<std::uint32_t>(kDepth + 1));
  Bank other;
  EXPECT_TRUE(equal(other.to_node(other.from_node(deep)), deep));

  // g(t, t) nested 64 times: 2^64 nodes as a tree, 65 ids.
  NodePtr shared = cst("a");
  for (int i = 0; i < 64; ++i) shared = fn("g", {shared, shared});
  Bank third;
  TermId top = third.from_node(shared);
  EXPECT_EQ(third.size(), 65u);
  EXPECT_EQ(third.weight(top), 0xffffffffu);  // saturated
}

}  // namespace
