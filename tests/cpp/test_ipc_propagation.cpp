// The propagation that settles the intuitionistic procedure's questions
// before the solver (constructive/ipc_propagation.hpp), against every
// assignment of small clause sets, and the procedure on top of it.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "constructive/ipc_propagation.hpp"
#include "constructive/ipc_sat.hpp"

namespace {

using constructive::FlatPropagation;
using Clause = std::vector<int>;

bool holds(int lit, std::uint32_t assignment) {
  const bool value = (assignment >> (std::abs(lit) - 1)) & 1;
  return lit > 0 ? value : !value;
}

// Whether the assignment makes every clause true.
bool satisfies(const std::vector<Clause>& clauses, std::uint32_t assignment) {
  for (const Clause& clause : clauses) {
    bool some = false;
    for (int lit : clause) some = some || holds(lit, assignment);
    if (!some) return false;
  }
  return true;
}

// Whether some assignment of atoms 1..atoms makes every clause, every atom
// of `assumed` and not-goal true.
bool has_model(const std::vector<Clause>& clauses, const std::vector<int>& assumed, int goal, int atoms) {
  for (std::uint32_t assignment = 0; assignment < (1u << atoms); ++assignment) {
    bool ok = !holds(goal, assignment);
    for (int a : assumed) ok = ok && holds(a, assignment);
    if (ok && satisfies(clauses, assignment)) return true;
  }
  return false;
}

// Random clause sets of up to 8 atoms, with repeated literals, tautologies
// and units, asked under random assumptions, one object per set so that
// later questions meet the watches and the assignment the earlier ones
// left: each question's assumptions often begin with some of the last
// one's, and clauses are added between questions.  A model must satisfy
// everything, a core must have no model, and an Unknown must be a
// question that has a model but not one the greedy completion finds.
TEST(FlatPropagation, AgreesWithEveryAssignment) {
  std::mt19937 rng(2026);
  int models = 0, refutations = 0;
  for (int round = 0; round < 400; ++round) {
    const int atoms = 2 + static_cast<int>(rng() % 7);
    auto literal = [&] { return (static_cast<int>(rng() % atoms) + 1) * (rng() % 2 ? 1 : -1); };
    std::vector<Clause> clauses;
    FlatPropagation flat;
    auto add_clause = [&] {
      Clause clause(1 + rng() % 4);
      for (int& lit : clause) lit = literal();
      clauses.push_back(clause);
      flat.add(clause);
    };
    const int clause_count = static_cast<int>(rng() % (3 * atoms));
    for (int c = 0; c < clause_count; ++c) add_clause();
    std::vector<int> assumed;
    for (int question = 0; question < 12; ++question) {
      assumed.resize(rng() % 2 ? rng() % (assumed.size() + 1) : 0);
      for (std::size_t extra = rng() % 4; extra > 0; --extra) assumed.push_back(static_cast<int>(rng() % atoms) + 1);
      const int goal = static_cast<int>(rng() % atoms) + 1;
      switch (flat.solve(assumed, goal, atoms)) {
        case FlatPropagation::Result::Model: {
          ++models;
          std::uint32_t assignment = 0;
          for (int x = 1; x <= atoms; ++x)
            if (flat.value(x)) assignment |= 1u << (x - 1);
          ASSERT_FALSE(holds(goal, assignment));
          for (int a : assumed) ASSERT_TRUE(holds(a, assignment));
          ASSERT_TRUE(satisfies(clauses, assignment)) << "round " << round << " question " << question;
          break;
        }
        case FlatPropagation::Result::NoModel: {
          ++refutations;
          std::vector<int> core;
          for (int a : assumed)
            if (flat.failed(a)) core.push_back(a);
          ASSERT_FALSE(has_model(clauses, core, goal, atoms)) << "round " << round << " question " << question;
          break;
        }
        case FlatPropagation::Result::Unknown:
          ASSERT_TRUE(has_model(clauses, assumed, goal, atoms)) << "round " << round << " question " << question;
          break;
      }
      if (rng() % 3 == 0) add_clause();
    }
  }
  // The table exercises both answers.
  EXPECT_GT(models, 100);
  EXPECT_GT(refutations, 100);
}

// Where both values of a choice clash only through a later one, the
// completion gives up rather than search: 3 and 4 in every combination
// force 5, which the completion tries false first.
TEST(FlatPropagation, GivesUpWhereOnlySearchFindsTheModel) {
  FlatPropagation flat;
  for (int a : {3, -3})
    for (int b : {4, -4}) flat.add(std::vector<int>{a, b, 5});
  EXPECT_EQ(flat.solve({}, 1, 5), FlatPropagation::Result::Unknown);
  // With 5 assumed, the completion finds a model at once.
  const std::vector<int> assumed{5};
  ASSERT_EQ(flat.solve(assumed, 1, 5), FlatPropagation::Result::Model);
  EXPECT_TRUE(flat.value(5));
}

// Clashes before any choice: between two units, between an assumption and
// the goal, and between an assumption and what the others force.
TEST(FlatPropagation, CoresOfClashesBeforeAnyChoice) {
  {
    FlatPropagation flat;
    flat.add(std::vector<int>{1});
    flat.add(std::vector<int>{-1});
    const std::vector<int> assumed{2};
    EXPECT_EQ(flat.solve(assumed, 3, 3), FlatPropagation::Result::NoModel);
    EXPECT_FALSE(flat.failed(2));  // the units alone clash
  }
  {
    FlatPropagation flat;
    const std::vector<int> assumed{1, 2};
    EXPECT_EQ(flat.solve(assumed, 2, 2), FlatPropagation::Result::NoModel);
    EXPECT_TRUE(flat.failed(2));
    EXPECT_FALSE(flat.failed(1));
  }
  {
    FlatPropagation flat;
    flat.add(std::vector<int>{-1, -2, -3});  // 1 and 2 exclude 3
    const std::vector<int> assumed{4, 1, 2, 3};
    EXPECT_EQ(flat.solve(assumed, 5, 5), FlatPropagation::Result::NoModel);
    EXPECT_TRUE(flat.failed(1) && flat.failed(2) && flat.failed(3));
    EXPECT_FALSE(flat.failed(4));
  }
}

// Clauses added after a mark and dropped again leave no trace: the answers
// are those of the clauses before the mark.  Here 1 | 2 with the dropped
// units -1 and -2 would have no model at all.
TEST(FlatPropagation, DroppedClausesLeaveNoTrace) {
  FlatPropagation flat;
  flat.add(std::vector<int>{1, 2});
  flat.add(std::vector<int>{-3, 1});
  const FlatPropagation::Mark mark = flat.mark();
  flat.add(std::vector<int>{-1});
  flat.add(std::vector<int>{-2, 4});
  flat.add(std::vector<int>{-4});
  EXPECT_EQ(flat.solve({}, 5, 5), FlatPropagation::Result::NoModel);
  flat.drop_since(mark);
  const std::vector<int> assumed{3};
  ASSERT_EQ(flat.solve(assumed, 2, 5), FlatPropagation::Result::Model);
  EXPECT_TRUE(flat.value(1));
  EXPECT_EQ(flat.solve({}, 1, 5), FlatPropagation::Result::Model);
  EXPECT_TRUE(flat.value(2));
}

// The classical check refutes what fails classically and nothing else, and
// its clauses a | c do not stay: p | ~p holds classically but is not
// proved after the check, and p -> q is refuted at once.
TEST(IpcSat, ClassicalCheckIsSoundAndLeavesNoClauses) {
  constructive::IpcSat sat;
  const int p = sat.fresh(), q = sat.fresh(), not_p = sat.fresh(), excluded_middle = sat.fresh(), pq = sat.fresh();
  sat.define_implication(not_p, p, sat.falsum());
  sat.define_disjunction(excluded_middle, p, not_p);
  sat.define_implication(pq, p, q);
  EXPECT_FALSE(sat.refuted_classically({}, excluded_middle));
  EXPECT_TRUE(sat.refuted_classically({}, pq));
  const std::vector<int> assumed{q};
  EXPECT_FALSE(sat.refuted_classically(assumed, pq));
  EXPECT_FALSE(sat.prove({}, excluded_middle));
  EXPECT_TRUE(sat.prove(assumed, pq));
}

// The procedure on top of the propagation: p -> q, q -> r |- p -> r holds,
// and ((p -> q) -> p) -> p (Peirce) does not, with questions the solver
// was not asked.
TEST(IpcSat, AnswersWithPropagationAndSolver) {
  constructive::IpcSat sat;
  const int p = sat.fresh(), q = sat.fresh(), r = sat.fresh();
  const int pq = sat.fresh(), qr = sat.fresh(), pr = sat.fresh();
  sat.define_implication(pq, p, q);
  sat.define_implication(qr, q, r);
  sat.define_implication(pr, p, r);
  const std::vector<int> premises{pq, qr};
  EXPECT_TRUE(sat.prove(premises, pr));
  const int pq_p = sat.fresh(), peirce = sat.fresh();
  sat.define_implication(pq_p, pq, p);
  sat.define_implication(peirce, pq_p, p);
  EXPECT_FALSE(sat.prove({}, peirce));
  EXPECT_LT(sat.solver_calls(), sat.questions());
}

}  // namespace
