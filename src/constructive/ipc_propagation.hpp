// The flat clauses of the intuitionistic procedure (ipc_sat.hpp), with a
// solve that settles most of its small questions without the SAT solver.
//
// The procedure asks hundreds of questions of a few dozen atoms each, and
// on problems that small a general solver call costs far more than the
// question needs: most are settled by unit propagation from the
// assumptions (no model), or by completing the propagated assignment with
// every open atom false, each choice propagated and flipped once where it
// clashes (a model).  solve() does just that and answers Unknown when it
// meets a clash it cannot mend so; the caller then asks the solver, which
// holds the same clauses.  Both answers are exact, so the procedure's
// results do not depend on who gave them, only the models it meets do.
//
// A binary clause is read from the lists of its two literals, a longer one
// is watched by two of its literals; every solve starts from the empty
// assignment (the units first), so nothing is undone between calls.  The
// reasons of the assignment give the core of a No: the positive
// assumptions that the clash depends on.
//
// Literals are as in DIMACS: atom x is x, its negation -x, atoms from 1.
// Threading: an object belongs to the thread that uses it.  Running out of
// memory throws std::bad_alloc, after which the object must not be used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace constructive {

class FlatPropagation {
 public:
  using Literal = int;
  enum class Result { Model, NoModel, Unknown };

  // Adds the clause: the disjunction of `literals` (at least one).
  void add(std::span<const Literal> literals);

  // The clauses added from a mark on can be dropped again, leaving the
  // object as it was at the mark (the values completion tries first too).
  struct Mark {
    std::size_t literals, units;
    std::vector<std::uint8_t> saved;
  };
  Mark mark() const { return {literals_.size(), units_.size(), saved_}; }
  void drop_since(const Mark& mark);

  // Calls f with the literals of each clause kept (repeats and tautologies
  // dropped), in the order they were added.
  template <typename F>
  void for_each_clause(F&& f) const {
    for (std::size_t at = 0; at < literals_.size(); at += static_cast<std::size_t>(literals_[at]) + 1)
      f(std::span<const Literal>(&literals_[at + 1], static_cast<std::size_t>(literals_[at])));
  }

  // Looks for an assignment of the atoms 1 .. atoms that makes every clause,
  // every atom of `assumptions` and the negation of `goal` true.
  Result solve(std::span<const int> assumptions, int goal, int atoms);

  // After Model: whether the atom is true.
  bool value(int atom) const { return values_[static_cast<std::size_t>(atom)] > 0; }
  // After NoModel: whether the assumed atom is among those the clash needs.
  bool failed(int atom) const { return failed_[static_cast<std::size_t>(atom)] != 0; }

 private:
  static constexpr std::uint32_t kAssumed = UINT32_MAX, kChosen = UINT32_MAX - 1;
  static constexpr std::uint32_t kNoConflict = UINT32_MAX;

  static std::size_t atom_of(Literal lit) { return static_cast<std::size_t>(lit > 0 ? lit : -lit); }
  static std::size_t code(Literal lit) { return 2 * atom_of(lit) + (lit < 0); }
  int value_of(Literal lit) const {
    const int v = values_[atom_of(lit)];
    return lit > 0 ? v : -v;
  }
  void grow(int atoms);
  void assign(Literal lit, std::uint32_t reason);
  void undo_to(std::size_t mark);
  std::uint32_t propagate();
  // Puts the assumptions behind the clause `clause` (or, with kNoConflict,
  // behind the value of `atom`) into failed_.
  void explain(std::uint32_t clause, int atom);
  bool complete(int atoms);

  // The clauses of each literal, all in one pool: the list of the
  // literal with code k is pool_[begin, begin + size) of lists_[k], with
  // room up to begin + capacity.  A list that outgrows its room moves to
  // the end of the pool with twice the room; the room it leaves is not
  // used again, so the pool is less than twice the lists' room.  So making
  // a problem's clauses allocates a few times in all, not once a literal,
  // and a list is still read in order from one block.
  struct WatchList {
    std::uint32_t begin = 0, size = 0, capacity = 0;
  };
  // A clause in the list of one of its literals.  A binary clause carries
  // its other literal, which it forces when the first is false, so that
  // propagation need not visit the clause (most of the clauses that define
  // the formulas are binary); a longer clause (other 0) is watched by its
  // first two literals.  Both kinds share one list per literal, in the
  // order they were added, so that propagation meets them in that order.
  struct Watch {
    std::uint32_t clause;
    Literal other;
  };
  void watch(std::size_t lit_code, Watch watch);
  void relocate(WatchList& list, std::size_t capacity);

  // Clause c is literals_[c + 1 .. c + 1 + literals_[c]); the first two of a
  // longer one are watched.
  std::vector<Literal> literals_;
  std::vector<WatchList> lists_;  // by literal code
  std::vector<Watch> pool_;
  std::vector<Literal> units_;
  std::vector<std::uint32_t> unit_clauses_;  // where each unit stands in literals_
  std::vector<std::int8_t> values_;          // by atom: 1 true, -1 false, 0 open
  std::vector<std::uint32_t> reasons_;       // by atom: the clause that forced it, or kAssumed / kChosen
  std::vector<Literal> trail_;
  std::size_t propagated_ = 0;  // trail_[0 .. propagated_) have had their clauses visited
  std::vector<std::uint8_t> failed_, seen_;
  std::vector<std::uint8_t> saved_;  // by atom: its last value, tried first by complete
};

}  // namespace constructive
