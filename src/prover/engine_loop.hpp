// The search state of one refutation: the clause store, the given-clause
// loop and the inferences it draws (engine_loop.cpp).
//
// Every clause the search keeps has an id, its place in `clauses`; a parent
// id is always smaller than its child's.  A clause enters as Passive (after
// the checks of `add_to_passive`: no tautology, not too heavy, not subsumed), turns
// Active when it is picked as the given clause, and Dead when a given clause
// subsumes it.  `empty_clause` is the id of the empty clause once derived;
// from then on nothing is kept and the loop ends.
//
// The state belongs to one Refutation and so to one thread; run() builds no
// syntax-tree node, load() and proof() do.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/unify.hpp"
#include "prover/engine.hpp"
#include "prover/engine_clauses.hpp"
#include "prover/engine_index.hpp"
#include "prover/engine_ordering.hpp"
#include "prover/engine_subsumption.hpp"

namespace prover {

struct Refutation::State {
  using Lit = engine_parts::Lit;
  using Rule = engine_parts::Rule;
  using TermId = engine_parts::TermId;

  void load(const std::vector<InputClause>& input);
  void run(const SearchLimits& limits);
  ProofDAG proof();
  bool refuted() const { return empty_clause != engine_parts::kNone; }

  SearchStats stats;

 private:
  engine_parts::Terms terms;
  core::Unifier unifier{terms.bank()};
  engine_parts::Ordering ordering{terms};
  engine_parts::ClauseReader reader{terms};
  std::vector<engine_parts::StoredClause> clauses;
  std::uint32_t empty_clause = engine_parts::kNone;
  bool dropped = false;  // a clause was too heavy to keep

  // Interrupts and the time limit (core::ScopedDeadline), polled in every
  // loop that may run long: loading, inferences, subsumption, the proof.
  core::InterruptPoller poller;
  std::uint32_t emitted_since_clock = 0;

  engine_parts::ActiveIndex active{terms, ordering};
  engine_parts::SubsumptionIndex kept{terms, unifier, clauses, poller};

  // Passive clauses by weight, lightest (then oldest) first; every fifth
  // pick takes the oldest passive clause instead.
  std::priority_queue<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::pair<std::uint32_t, std::uint32_t>>,
                      std::greater<>>
      by_weight;
  std::uint32_t age_cursor = 0;
  std::uint64_t picks = 0;

  // The conclusion being built, and the renaming of its variables.
  std::vector<Lit> conclusion;
  std::vector<std::uint32_t> rename_low, rename_high;
  std::vector<std::uint32_t> renamed_vars;
  std::uint32_t next_var = 0;
  std::vector<TermId> args_scratch;


  bool has_equality() const { return reader.saw_equality(); }
  // Calls visit(side, lhs, rhs) for each side of the equation that the
  // ordering lets rewrite: lhs is that side, rhs the other.
  template <typename Visit>
  void for_each_usable_side(TermId equation, Visit visit) {
    bool sides[2];
    ordering.usable_sides(equation, sides);
    for (std::uint32_t s = 0; s < 2; ++s)
      if (sides[s]) visit(s, terms.arg(equation, s), terms.arg(equation, 1 - s));
  }
  bool unify(TermId a, TermId b);
  void check_limits();

  // The loop.
  std::uint32_t pick_given();
  std::uint32_t oldest_passive();
  void activate(std::uint32_t id);
  void generate_inferences(std::uint32_t given);
  void add_to_passive(std::vector<Lit> lits, Rule rule, std::uint32_t p1, std::uint32_t p2);

  // Building conclusions.
  TermId build(TermId t);
  void begin_conclusion();
  void add_literal(TermId atom, bool positive) { conclusion.push_back({build(atom), positive}); }
  void add_literals_except(const std::vector<Lit>& lits, std::uint32_t left_out);
  void finish_conclusion(Rule rule, std::uint32_t p1, std::uint32_t p2, std::size_t mark);
  TermId replace_at(TermId t, std::uint32_t& counter, std::uint32_t target, TermId replacement);
  std::vector<Lit> shifted_literals(const std::vector<Lit>& lits);
  TermId shift_term(TermId t);

  // The inferences with the given clause.
  void resolve_with_active(std::uint32_t gid, const std::vector<Lit>& g, std::uint32_t i);
  void factoring(std::uint32_t gid, const std::vector<Lit>& c, std::uint32_t i, const std::vector<bool>& eligible);
  void equality_resolution(std::uint32_t gid, const std::vector<Lit>& c, std::uint32_t i);
  void equality_factoring(std::uint32_t gid, const std::vector<Lit>& c, std::uint32_t i);
  void emit_paramodulant(const std::vector<Lit>& from, std::uint32_t eq_lit, std::uint32_t side,
                         const std::vector<Lit>& into, std::uint32_t into_lit, std::uint32_t position,
                         std::uint32_t from_id, std::uint32_t into_id, std::size_t mark);
  void paramodulate_from_given(std::uint32_t gid, const std::vector<Lit>& g, std::uint32_t i);
  void paramodulate_into_given(std::uint32_t gid, const std::vector<Lit>& g, std::uint32_t i);
};

}  // namespace prover
