// The proof record of the classical resolution engine.
//
// A ProofDAG is the derivation of the empty clause: its steps in an order
// where every step comes after its parents, each naming its clause, the rule
// that produced it and the indices of its parent steps.  Only the steps the
// refutation uses are kept.  The rules are
//   "Axiom"              a clause of a premise,
//   "NegatedGoal"        a clause of the negated target,
//   "BinaryResolution"   two parents,
//   "Factoring"          one parent,
//   "Paramodulation"     two parents: the one holding the equation first,
//   "EqualityResolution" one parent: a negative equation whose sides unify is dropped,
//   "EqualityFactoring"  one parent: two positive equations with unifiable left sides.
//
// check_derivation re-derives every inference step from its parents by the
// named rule and reports the first step that does not follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ast.hpp"

namespace prover {

struct ProofLiteral {
  core::NodePtr atom;  // a PredicateApp or an Equality
  bool positive = true;
};

struct ProofStep {
  std::vector<ProofLiteral> literals;  // empty for the empty clause
  std::string rule;
  std::vector<std::size_t> parents;  // indices of earlier steps
  // For "Axiom" and "NegatedGoal": the formula the clause comes from.
  core::NodePtr source;
};

struct ProofDAG {
  std::vector<ProofStep> steps;
};

// Empty when every step follows from its parents by its rule and the last
// step is the empty clause; otherwise the reason for the first fault found.
std::string check_derivation(const ProofDAG& proof);

}  // namespace prover
