// The engine's indexes over active clauses, and the keys and fingerprints
// that index and filter literals.
//
// A literal's key is its predicate (or the equality symbol) and its sign;
// key_bit spreads a key over the 64 bits of a clause's key mask, so that
// `(d.key_mask & ~c.key_mask) != 0` proves that d has a key c lacks.  A
// fingerprint samples the top symbols at six fixed positions of an atom;
// two atoms whose fingerprints disagree at a position where both have a
// symbol cannot unify (may_unify is a sound filter, never a test).
//
// ActiveIndex holds, for the eligible literals of active clauses only:
//   * by key: the literals that are not equations, each with its
//     fingerprint; resolution looks a literal's partners up under the
//     complementary key (complement_key);
//   * by top symbol: the non-variable subterms paramodulation may rewrite
//     (into), addressed by their pre-order position in the atom;
//   * by top symbol of the side: the positive equations of clauses without a
//     selected literal, in each orientation that may rewrite (from); sides
//     that are variables in a list of their own, since they unify with
//     anything.
// Entries are only added (when a clause is activated) and never removed: a
// reader skips those whose clause is no longer active.  One index per
// search, on the search's thread.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/hash_mix.hpp"
#include "core/interrupt.hpp"
#include "prover/engine_clauses.hpp"
#include "prover/engine_ordering.hpp"

namespace prover::engine_parts {

inline std::uint64_t lit_key(const Terms& terms, const Lit& l) {
  return (static_cast<std::uint64_t>(terms.sym(l.atom)) << 1) | (l.positive ? 1u : 0u);
}
// The key of the literals that resolve with `l`: its predicate, the other sign.
inline std::uint64_t complement_key(const Terms& terms, const Lit& l) {
  return (static_cast<std::uint64_t>(terms.sym(l.atom)) << 1) | (l.positive ? 0u : 1u);
}
inline std::uint64_t key_bit(std::uint64_t key) { return 1ull << (core::hash_of(key) >> 58); }

// Top symbols at a few argument positions of an atom: 0 a variable at the
// position, 1 below a variable, 2 no such position, otherwise the symbol plus 3.
struct Fingerprint {
  static constexpr int kSize = 6;
  std::uint32_t at[kSize];
};

Fingerprint fingerprint(const Terms& terms, TermId atom);

inline bool may_unify(const Fingerprint& a, const Fingerprint& b) {
  for (int k = 0; k < Fingerprint::kSize; ++k) {
    std::uint32_t x = a.at[k], y = b.at[k];
    if (x <= 1 || y <= 1) continue;
    if (x != y) return false;
  }
  return true;
}

struct LitRef {
  std::uint32_t clause;
  std::uint32_t lit;
  Fingerprint fp;
};
struct SubtermRef {
  std::uint32_t clause;
  std::uint32_t lit;
  std::uint32_t position;  // pre-order index inside the atom (the atom is 0)
  TermId term;
};
struct SideRef {
  std::uint32_t clause;
  std::uint32_t lit;
  std::uint32_t side;  // 0: left side rewrites to the right one; 1: the reverse
};

// The number of subterms of t, t itself and its variables included.
std::uint32_t subterm_count(const Terms& terms, TermId t);

// Calls f(position, subterm) for every non-variable subterm of t, numbering
// positions in pre-order from `counter` on.
template <typename F>
void walk_subterms(const Terms& terms, TermId t, std::uint32_t& counter, F& f) {
  core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
  std::uint32_t here = counter++;
  if (terms.is_var(t)) return;
  f(here, t);
  for (std::uint32_t i = 0, n = terms.arity(t); i < n; ++i) walk_subterms(terms, terms.arg(t, i), counter, f);
}

// Calls f(position, subterm) for every non-variable subterm of a literal
// that paramodulation may rewrite: below the atom, and in an equation only
// in a side not smaller than the other.
template <typename F>
void for_each_rewritable(const Terms& terms, Ordering& ordering, const Lit& l, F&& f) {
  std::uint32_t counter = 1;
  if (is_equation(terms, l)) {
    TermId s = terms.arg(l.atom, 0), t = terms.arg(l.atom, 1);
    Order o = ordering.compare(s, t);
    std::uint32_t start_t = counter + subterm_count(terms, s);
    if (o != Order::Less) walk_subterms(terms, s, counter, f);
    counter = start_t;
    if (o != Order::Greater) walk_subterms(terms, t, counter, f);
  } else {
    for (std::uint32_t i = 0, n = terms.arity(l.atom); i < n; ++i)
      walk_subterms(terms, terms.arg(l.atom, i), counter, f);
  }
}

class ActiveIndex {
 public:
  ActiveIndex(const Terms& terms, Ordering& ordering) : terms_(terms), ordering_(ordering) {}

  // Indexes the eligible literals of the clause `id` (eligibility marked);
  // the paramodulation indexes only when the problem has equations.
  void insert(std::uint32_t id, const StoredClause& c, bool with_equality);

  // The literals that may resolve with `l` (null when there are none).
  const std::vector<LitRef>* resolution_partners(const Lit& l) const;
  // The rewritable subterms whose top symbol is `top` (null when none).
  const std::vector<SubtermRef>* subterms_with_top(SymId top) const;
  // Every rewritable subterm: what a variable side may rewrite.
  std::vector<SubtermRef> all_subterms() const;
  // The equation sides that may rewrite `t`: variable sides first, then
  // those with t's top symbol.
  std::vector<SideRef> sides_that_may_rewrite(TermId t) const;

 private:
  void insert_sides(std::uint32_t id, std::uint32_t lit, TermId equation);

  const Terms& terms_;
  Ordering& ordering_;
  std::unordered_map<std::uint64_t, std::vector<LitRef>> resolution_;
  std::unordered_map<SymId, std::vector<SubtermRef>> into_;
  std::unordered_map<SymId, std::vector<SideRef>> from_;
  std::vector<SideRef> from_variable_sides_;
};

}  // namespace prover::engine_parts
