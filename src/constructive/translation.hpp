// The classical problem of an intuitionistic one, by the relational
// translation (constructive/resolution.hpp: translate_ipc_to_fol,
// frame_axioms): what a prover hands to the classical engine.
//
// A problem is assembled in two steps, so that a caller can register the
// problem's symbols between them (the relation "R" of arity 2, one
// predicate of arity 1 per atom name, the root world "w0"):
//   1. normalized_problem: the target and the premises normalised, and the
//      names of their atoms;
//   2. translate_problem: the target and each premise translated at the root
//      world (the world variables of each numbered from 1), and the frame
//      axioms of the names.
// The classical engine proves the translated target from the frame axioms
// followed by the translated premises (engine_premises).
#pragma once

#include <string>
#include <vector>

#include "core/ast.hpp"

namespace constructive {

struct TranslationProblem {
  core::NodePtr target_ipc;                 // the target, normalised
  std::vector<core::NodePtr> premises_ipc;  // the premises, normalised, in order
  std::vector<std::string> atom_names;      // of the target and the premises, distinct, ascending
  core::NodePtr target_fol;                 // the target translated at the root world
  std::vector<core::NodePtr> premises_fol;  // the premises translated at the root world, in order
  std::vector<core::NodePtr> frame_axioms;  // of "R" and of the atom names

  // What the engine proves the target from: the frame axioms, then the
  // translated premises.
  std::vector<core::NodePtr> engine_premises() const;
};

// The root world: the constant "w0" of sort Ind.
core::NodePtr root_world();

// Step 1: the normalised target and premises and their atom names.
TranslationProblem normalized_problem(const core::NodePtr& target, const std::vector<core::NodePtr>& premises);

// Step 2: the translations and the frame axioms.  Errors as translate_ipc_to_fol's.
void translate_problem(TranslationProblem& problem);

// Both steps.
TranslationProblem translation_problem(const core::NodePtr& target, const std::vector<core::NodePtr>& premises);

}  // namespace constructive
