// The trail unifier: unification, undo to a mark, occur check, matching,
// and bank work from eight threads at once.
#include <gtest/gtest.h>

#include <thread>

#include "core/ast.hpp"
#include "core/bank.hpp"
#include "core/unify.hpp"

namespace {

using namespace core;

// A small fixture: a bank with variables x, y, z, constants a, b and the
// symbols f/1, g/2 ready to use.
class UnifyTest : public ::testing::Test {
 protected:
  Bank bank;
  Unifier u{bank};
  TermId x = bank.variable(0), y = bank.variable(1), z = bank.variable(2);
  TermId a = bank.constant(bank.symbol("a", 0)), b = bank.constant(bank.symbol("b", 0));
  TermId f(TermId t) { return bank.function(bank.symbol("f", 1), std::vector<TermId>{t}); }
  TermId g(TermId s, TermId t) { return bank.function(bank.symbol("g", 2), std::vector<TermId>{s, t}); }
};

TEST_F(UnifyTest, UnifiesAndApplies) {
  // g(x, f(y)) = g(f(z), x): x -> f(z), then f(y) = f(z) gives y -> z.
  ASSERT_TRUE(u.unify(g(x, f(y)), g(f(z), x)));
  EXPECT_EQ(u.apply(x), f(z));
  EXPECT_EQ(u.apply(y), z);
  EXPECT_EQ(u.apply(g(x, f(y))), u.apply(g(f(z), x)));
  EXPECT_EQ(std::vector<TermId>(u.trail().begin(), u.trail().end()), (std::vector<TermId>{x, y}));
  // Triangular bindings are resolved by apply: x -> y, y -> f(a).
  Unifier v(bank);
  ASSERT_TRUE(v.unify(x, y));
  ASSERT_TRUE(v.unify(y, f(a)));
  EXPECT_EQ(v.binding(x), y);
  EXPECT_EQ(v.apply(g(x, y)), g(f(a), f(a)));
  EXPECT_EQ(v.substitute(g(x, y)), g(y, f(a)));
}

TEST_F(UnifyTest, FailuresLeaveBindingsAsTheyWereAndSayWhy) {
  ASSERT_TRUE(u.unify(z, b));
  SortPtr s = Sort::primitive("S");
  TermId xs = bank.variable(5, bank.sort(s));
  TermId as = bank.constant(bank.symbol("a", 0), bank.sort(s));
  TermId fs = bank.function(bank.symbol("f", 1), std::vector<TermId>{x}, bank.sort(s));
  struct Case {
    TermId left, right;
    Clash::Kind kind;
  };
  const std::vector<Case> cases = {
      {g(x, x), g(a, b), Clash::Kind::ConstantName},
      {g(y, f(y)), g(y, y), Clash::Kind::Occurs},
      {xs, a, Clash::Kind::VariableSort},
      {a, as, Clash::Kind::ConstantSort},
      {f(x), g(x, y), Clash::Kind::Symbol},
      {f(x), fs, Clash::Kind::ReturnSort},
      {a, f(x), Clash::Kind::Structure},
      {g(x, z), g(y, a), Clash::Kind::ConstantName},  // z is bound to b
  };
  for (const auto& c : cases) {
    Clash clash;
    Unifier::Mark before = u.mark();
    EXPECT_FALSE(u.unify(c.left, c.right, &clash));
    EXPECT_EQ(clash.kind, c.kind);
    EXPECT_EQ(u.mark(), before);
    EXPECT_FALSE(u.is_bound(x));
    EXPECT_FALSE(u.is_bound(y));
    EXPECT_EQ(u.binding(z), b);
  }
  // The occur check reports the term as the bindings made it.
  Clash clash;
  ASSERT_TRUE(u.unify(y, f(x)));
  EXPECT_FALSE(u.unify(x, g(a, y), &clash));
  EXPECT_EQ(clash.kind, Clash::Kind::Occurs);
  EXPECT_EQ(clash.left, x);
  EXPECT_EQ(clash.right, g(a, f(x)));
}

TEST_F(UnifyTest, UndoTakesBindingsBackToAMark) {
  ASSERT_TRUE(u.unify(x, a));
  Unifier::Mark mark = u.mark();
  ASSERT_TRUE(u.unify(g(y, z), g(f(x), b)));
  EXPECT_EQ(u.apply(y), f(a));
  u.undo(mark);
  EXPECT_FALSE(u.is_bound(y));
  EXPECT_FALSE(u.is_bound(z));
  EXPECT_EQ(u.binding(x), a);
  // Now y can take something else.
  ASSERT_TRUE(u.unify(y, b));
  u.undo(0);
  EXPECT_TRUE(u.trail().empty());
  EXPECT_EQ(u.apply(g(x, y)), g(x, y));
}

TEST_F(UnifyTest, MatchingBindsOnlyThePatternsVariables) {
  ASSERT_TRUE(u.match(g(x, f(x)), g(f(y), f(f(y)))));
  EXPECT_EQ(u.binding(x), f(y));
  EXPECT_FALSE(u.is_bound(y));
  u.undo(0);
  // The target's variables are rigid: g(a, y) is no instance of g(x, x)...
  EXPECT_FALSE(u.match(g(x, x), g(a, y)));
  EXPECT_TRUE(u.trail().empty());
  // ...and matching a variable against a constant does not go the other way.
  EXPECT_FALSE(u.match(a, x));
  // Shared variables: g(x, y) matched to g(y, a) is x -> y, y -> a at once.
  ASSERT_TRUE(u.match(g(x, y), g(y, a)));
  EXPECT_EQ(u.substitute(g(x, y)), g(y, a));
}

TEST_F(UnifyTest, DeepTermsUnifyWithoutRecursion) {
  constexpr int kDepth = 1'000'000;
  TermId left = x, right = a;
  for (int i = 0; i < kDepth; ++i) {
    left = f(left);
    right = f(right);
  }
  ASSERT_TRUE(u.unify(left, right));
  EXPECT_EQ(u.binding(x), a);
  EXPECT_EQ(u.apply(left), right);
  u.undo(0);
  EXPECT_FALSE(u.unify(y, g(y, left)));  // occur check through the deep term
  EXPECT_FALSE(u.unify(x, left));
}

// Eight threads, each with a bank and a unifier of its own, build terms over
// names no thread has used before (their string hashes are computed and
// cached at that moment), unify them and convert the unifiers to nodes.
TEST(UnifyThreads, EightThreadsBuildAndUnifyAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 300;
  std::vector<int> unified(kThreads, 0);
  std::vector<std::thread> workers;
  for (int w = 0; w < kThreads; ++w) {
    workers.emplace_back([w, &unified] {
      Bank bank;
      Unifier u(bank);
      for (int r = 0; r < kRounds; ++r) {
        // Half the names are shared by all threads, half are the thread's own.
        std::string shared = "shared_" + std::to_string(r), own = "own_" + std::to_string(w) + "_" + std::to_string(r);
        NodePtr x = Variable::make(r), y = Variable::make(r + 1);
        NodePtr left = FunctionApp::make(Symbol(shared), 2, {x, Constant::make(own)});
        NodePtr right = FunctionApp::make(Symbol(shared), 2, {FunctionApp::make(Symbol(own), 1, {y}), y});
        Unifier::Mark mark = u.mark();
        if (u.unify(bank.from_node(left), bank.from_node(right))) {
          NodePtr instance = bank.to_node(u.apply(bank.from_node(left)));
          if (equal(instance, bank.to_node(u.apply(bank.from_node(right))))) ++unified[w];
        }
        u.undo(mark);
      }
    });
  }
  for (auto& t : workers) t.join();
  for (int w = 0; w < kThreads; ++w) EXPECT_EQ(unified[w], kRounds);
}

}  // namespace
