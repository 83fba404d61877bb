// Subsumption between the engine's clauses, and its index over kept clauses.
//
// A clause C subsumes D when one matching substitution maps the literals of
// C injectively onto literals of D (equations match up to symmetry); D is
// then redundant.  Matching binds C's variables only: D's stay as they are.
// subsumes() leaves the unifier's bindings as it found them.
//
// SubsumptionIndex keeps every clause the search kept (passive and active)
// under the keys of its literals (engine_index.hpp):
//   * for forward subsumption (is a new clause subsumed?) each clause under
//     the key of its heaviest literal: a subsumer's heaviest literal must
//     match some literal of the new clause, so the new clause's keys find it;
//   * for backward subsumption (which kept clauses does the given clause
//     subsume?) each clause under every key it has: a subsumed clause has
//     all the given clause's keys, so the smallest of those buckets holds it.
// Before any matching, candidates pass the length, key mask and weight
// filters.  Subsumed clauses are marked Dead, never erased; dead clauses are
// skipped.  One index per search, on the search's thread.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/interrupt.hpp"
#include "core/unify.hpp"
#include "prover/engine_clauses.hpp"

namespace prover::engine_parts {

// Whether `general` subsumes `specific`.
bool subsumes(const Terms& terms, core::Unifier& unifier, const std::vector<Lit>& general,
              const std::vector<Lit>& specific);

class SubsumptionIndex {
 public:
  SubsumptionIndex(const Terms& terms, core::Unifier& unifier, std::vector<StoredClause>& clauses,
                   core::InterruptPoller& poller)
      : terms_(terms), unifier_(unifier), clauses_(clauses), poller_(poller) {}

  // Files the kept clause `id` (not empty).
  void insert(std::uint32_t id);
  // Whether a kept clause that is not dead subsumes `c`.
  bool subsumes_new(const StoredClause& c);
  // Marks Dead every kept clause other than `given` that `given` subsumes.
  void delete_subsumed_by(std::uint32_t given);

 private:
  const Terms& terms_;
  core::Unifier& unifier_;
  std::vector<StoredClause>& clauses_;
  core::InterruptPoller& poller_;
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> by_heaviest_key_;
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> by_every_key_;
};

}  // namespace prover::engine_parts
