// The classical resolution engine: a given-clause saturation prover.
//
// The search refutes a set of first-order clauses.  Clauses live in the
// engine's compact form (atoms and terms as ids of the shared term bank,
// core/bank.hpp, unified with its trail unifier, core/unify.hpp; variables
// numbered 0, 1, ... per clause), so that the loop runs without touching the
// syntax tree or the interpreter:
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
// The engine's files, one concern each: engine_clauses.hpp (the bank view,
// literals, stored clauses, reading clauses from the syntax tree),
// engine_ordering.hpp (the term and literal ordering, eligibility),
// engine_index.hpp (keys, fingerprints and the indexes of active clauses),
// engine_subsumption.hpp (subsumption and its index of kept clauses),
// engine_loop.hpp (the search state, the given-clause loop and the
// inferences); this file's engine.cpp holds the entry points.
//
// `max_steps` counts given clauses.  The time limit holds for every phase:
// TheoremProver starts the clock when it is called, and clausification,
// taking in the clauses, saturation and reading the proof all poll it
// (core::ScopedDeadline); an interrupt from the host (core::InterruptPoller)
// stops any of them.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "core/ast.hpp"
#include "core/interrupt.hpp"
#include "core/signature.hpp"
#include "prover/clausifier.hpp"
#include "prover/proof.hpp"

namespace prover {

// No proof within the search's bounds.  The message says why.
class NoProofError : public std::runtime_error {
 public:
  // TooLarge: the problem's clauses cannot be built within the clausifier's limits.
  enum class Reason { Saturated, StepLimit, Timeout, TooLarge };
  NoProofError(Reason reason, const std::string& message) : std::runtime_error(message), reason(reason) {}
  Reason reason;
};

struct SearchLimits {
  std::int64_t max_steps = 1000;  // given-clause selections, at least 1
  double timeout_sec = 10.0;      // wall-clock seconds
};

// Runs `work` with the clock started at `start` (now by default): a deadline
// `timeout_sec` later that passes in any phase of `work` ends it with
// NoProofError (Timeout).
template <typename Work>
auto within_time_limit(double timeout_sec, Work&& work,
                       core::ScopedDeadline::Clock::time_point start = core::ScopedDeadline::Clock::now()) {
  try {
    core::ScopedDeadline deadline(core::ScopedDeadline::after(timeout_sec, start));
    return work();
  } catch (const core::DeadlineExceeded&) {
    throw NoProofError(NoProofError::Reason::Timeout, "no proof: the time limit is exceeded");
  }
}

// A clause handed to the search.
struct InputClause {
  // A premise's clause ("Axiom"), one of the negated target ("NegatedGoal"),
  // or one of the definition of a name that clausification introduced ("Definition").
  enum class Origin { Premise, NegatedGoal, Definition };
  Clause clause;
  Origin origin = Origin::Premise;
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
  // otherwise, core::Interrupted when the host asks to stop.  The time limit
  // counts from here, or from an enclosing deadline when that is earlier.
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

// Whether two clauses are equal up to a renaming of their variables.
bool same_up_to_renaming(const Clause& a, const Clause& b);

// The engine as provers use it: proves a target from premises by refuting
// the premises' clauses together with the clauses of the negated target,
// each formula clausified with definitions (to_definitional_cnf) under
// predicate names "_def<n>" that the problem does not use.  A problem whose
// clauses exceed the clausifier's limits even so raises NoProofError (TooLarge).
// Every formula is clausified on its own, so the variables bound in a
// formula are its own whatever their ids; the Skolem symbols of one problem
// are new: distinct from every symbol of every formula of the problem, from
// the signature's symbols and from one another.  They are registered in the
// signature (a clash there makes the Skolem symbol take the next name).
class TheoremProver {
 public:
  TheoremProver(std::shared_ptr<core::Signature> signature, config::SolverConfig config);

  // The clauses of the problem, loaded into `search`.
  void prepare(Refutation& search, const core::NodePtr& target, const std::vector<core::NodePtr>& premises) const;
  // Limits as used: at least one step and at least 0.1 seconds.
  static SearchLimits limits(std::int64_t max_steps, double timeout_sec);
  // prepare, run and proof in one call.
  ProofDAG prove(const core::NodePtr& target, const std::vector<core::NodePtr>& premises, std::int64_t max_steps,
                 double timeout_sec) const;

  const std::shared_ptr<core::Signature>& signature() const { return signature_; }
  const config::SolverConfig& config() const { return config_; }

 private:
  std::shared_ptr<core::Signature> signature_;  // may be null
  config::SolverConfig config_;
};

}  // namespace prover
