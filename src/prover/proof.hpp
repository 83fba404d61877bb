// The proof record of the classical resolution engine.
//
// A ProofDAG is the derivation of the empty clause: its steps in an order
// where every step comes after its parents, each naming its clause, the rule
// that produced it and the indices of its parent steps.  Only the steps the
// refutation uses are kept.  The rules are
//   "Axiom"              a clause of a premise,
//   "NegatedGoal"        a clause of the negated target,
//   "Definition"         a clause of the definition of a new predicate that
//                        names a subformula of a premise or of the target,
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

#include "prover/clausifier.hpp"

namespace prover {

struct ProofStep {
  Clause clause;  // the empty clause ends a refutation
  std::string rule;
  std::vector<std::int64_t> parents;  // indices of earlier steps
  bool operator==(const ProofStep& o) const { return rule == o.rule && parents == o.parents && clause == o.clause; }
};

struct ProofDAG {
  std::vector<ProofStep> steps;
  bool operator==(const ProofDAG& o) const { return steps == o.steps; }
};

// Empty when every step follows from its parents by its rule and the last
// step is the empty clause; otherwise the reason for the first fault found.
std::string check_derivation(const ProofDAG& proof);

}  // namespace prover
