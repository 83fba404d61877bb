// The classical resolution engine: a given-clause saturation prover.
//
// The search refutes a set of first-order clauses.  Clauses live in the
// engine's own compact form (atoms and terms as dense ids of a hash-consed
// term table, variables numbered 0, 1, ... per clause), so that the loop
// runs without touching the syntax tree or the interpreter:
//
//   * calculus: ordered resolution with literal selection (a clause with a
//     negative literal selects one and may only be used through it; other
//     clauses use their maximal literals under a Knuth-Bendix ordering),
//     ordered factoring, and for equations superposition (paramodulation
//     into non-variable subterms), equality resolution and equality
//     factoring.  Selecting negative literals keeps axioms such as
//     transitivity from resolving with one another: they only fire once
//     positive facts for their selected literal exist.
//   * redundancy: tautologies are deleted; new clauses are checked against
//     every kept clause for subsumption (forward), and each given clause
//     deletes the kept clauses it subsumes (backward).
//   * indexing: eligible literals of active clauses are indexed by predicate,
//     sign and a fingerprint of their arguments; subterms and equation sides
//     by their top symbol; kept clauses by the predicate-and-sign keys of their
//     literals, with a bit mask and a length filter before any matching.
//   * selection of the given clause: by weight (symbol count), with every
//     fifth pick by age.
//
// `max_steps` counts given clauses; the time limit is read inside the loop;
// an interrupt from the host (core::InterruptPoller) stops the search.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "core/ast.hpp"
#include "prover/proof.hpp"

namespace prover {

// No proof within the search's bounds.  The message says why.
class NoProofError : public std::runtime_error {
 public:
  enum class Reason { Saturated, StepLimit, Timeout };
  NoProofError(Reason reason, const std::string& message) : std::runtime_error(message), reason(reason) {}
  Reason reason;
};

struct SearchLimits {
  std::int64_t max_steps = 1000;  // given-clause selections, at least 1
  double timeout_sec = 10.0;      // wall-clock seconds
};

// A clause handed to the search, in syntax-tree form.
struct InputClause {
  std::vector<ProofLiteral> literals;
  bool negated_goal = false;  // from the negated target ("NegatedGoal") or a premise ("Axiom")
  core::NodePtr source;       // the formula it comes from
};

struct SearchStats {
  std::int64_t given = 0;      // given-clause selections
  std::int64_t generated = 0;  // conclusions of inferences
  std::int64_t kept = 0;       // clauses that survived forward checks
};

// One refutation attempt.  load() and proof() build and read syntax-tree
// nodes; run() touches none, so a host may let other threads work while it
// runs.
class Refutation {
 public:
  Refutation();
  ~Refutation();
  Refutation(const Refutation&) = delete;
  Refutation& operator=(const Refutation&) = delete;

  // Converts the clauses into the engine's form.  Atoms named "_bot" and
  // "_top" (no arguments) are false and true.  Raises core::ValueError for a
  // literal the engine cannot represent (a second-order symbol).
  void load(const std::vector<InputClause>& clauses);
  // Saturates; returns when the empty clause is derived, throws NoProofError
  // otherwise, core::Interrupted when the host asks to stop.
  void run(const SearchLimits& limits);
  // The derivation found by run().
  ProofDAG proof() const;
  const SearchStats& stats() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Refutes the clauses at once (load, run, proof).
ProofDAG refute(const std::vector<InputClause>& clauses, const SearchLimits& limits, SearchStats* stats = nullptr);

}  // namespace prover
