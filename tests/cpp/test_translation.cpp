// The classical problem of an intuitionistic one, assembled from C++.
#include <gtest/gtest.h>

#include "constructive/translation.hpp"
#include "core/ast.hpp"
#include "core/parser.hpp"

using namespace core;

TEST(TranslationProblem, NamesTranslationsAndTheEnginesPremises) {
  NodePtr p = PredicateApp::atom("p"), q = PredicateApp::atom("q");
  constructive::TranslationProblem problem =
      constructive::translation_problem(make_implies(q, p), {make_and(p, q), q});
  EXPECT_EQ(problem.atom_names, (std::vector<std::string>{"p", "q"}));
  ASSERT_EQ(problem.premises_fol.size(), 2u);
  // Reflexivity, transitivity, then monotonicity of p and of q.
  ASSERT_EQ(problem.frame_axioms.size(), 4u);
  std::vector<NodePtr> handed = problem.engine_premises();
  ASSERT_EQ(handed.size(), 6u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_TRUE(equal(handed[i], problem.frame_axioms[i]));
  EXPECT_TRUE(equal(handed[4], problem.premises_fol[0]));
  EXPECT_TRUE(equal(handed[5], problem.premises_fol[1]));
  // An atom is translated at the root world; an implication quantifies over
  // the worlds that "R" reaches, numbered afresh from 1 in each formula.
  EXPECT_EQ(to_string(*problem.premises_fol[1]), to_string(*PredicateApp::make("q", 1, {constructive::root_world()})));
  EXPECT_EQ(problem.target_fol->kind(), NodeKind::Forall);
  EXPECT_EQ(as<Quantifier>(*problem.target_fol).variable()->id(), 1);
}
