// The engine's term ordering and what the calculus reads from it.
//
// Terms are compared by a Knuth-Bendix ordering: every symbol and variable
// weighs 1 (the bank's weight of a term), precedence by arity, then by the
// order the bank first saw a symbol, predicates above functions; a variable
// is below every term that contains it and incomparable to the rest.  The
// ordering is total on ground terms and stable under substitution, so a
// literal maximal after an inference was eligible before it.
//
// Literals are compared as multisets of terms (P(..) is {P(..)}, ¬P(..) is
// {P(..), P(..)}, s = t is {s, t}, s ≠ t is {s, s, t, t}) under the
// multiset extension.  On top of that sit the two choices the calculus
// makes per clause: which literals are eligible (mark_eligible) and which
// orientations of an equation may rewrite (usable_sides).
//
// An Ordering reads the search's Terms and keeps scratch space: one per
// search, on the search's thread.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "prover/engine_clauses.hpp"

namespace prover::engine_parts {

enum class Order { Greater, Less, Equal, Incomparable };

class Ordering {
 public:
  explicit Ordering(const Terms& terms) : terms_(terms) {}

  Order compare(TermId s, TermId t);
  bool greater(TermId s, TermId t) { return compare(s, t) == Order::Greater; }
  bool literal_greater(const Lit& a, const Lit& b);

  // Selects one negative literal (the heaviest), or else marks the literals
  // that no other literal of the clause exceeds.
  void mark_eligible(StoredClause& c);
  // The orientations of an equation that may rewrite: side 0 rewrites left
  // to right, side 1 right to left; a side never rewrites into a larger one.
  void usable_sides(TermId equation, bool out[2]);

 private:
  std::uint64_t precedence(TermId t) const;
  bool occurs(TermId v, TermId t) const;
  void count_vars(TermId t, int delta);
  void literal_multiset(const Lit& l, std::vector<TermId>& out) const;
  bool multiset_greater(std::vector<TermId> a, std::vector<TermId> b);

  const Terms& terms_;
  std::vector<std::pair<TermId, int>> balance_;  // occurrences of each variable in s minus those in t
};

}  // namespace prover::engine_parts
