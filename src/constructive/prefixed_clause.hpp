// Prefixed literals and clauses of the matrix method, on a term bank.
//
// A prefixed literal is a signed atom under a world prefix; a prefixed
// clause is a set of them, one path of the formula tree.  Both are read
// through a LiteralTable that holds each literal once: its atom, its prefix
// and the literal itself are ids of the table's bank, so atoms and literals
// compare as integers.  A clause keeps its literals sorted by their text
// (ties in order of first appearance), without repetitions; every loop over
// the literals of a clause follows that order, so pairs, unifiers,
// derivations and step numbers are the same in every run, whatever the
// interpreter's hash seed.  Texts are written only when asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "constructive/prefix.hpp"
#include "core/ast.hpp"
#include "core/bank.hpp"

namespace constructive {

// The polarity of a prefixed literal: 0 for the goal side, 1 for the
// premise side wherever the system makes one.  A caller may give any
// integer; it is kept exactly, one outside 64 bits as its decimal text.
class Polarity {
 public:
  Polarity(std::int64_t value = 0) : small_(value) {}  // NOLINT: a polarity is its number
  // From a decimal text ("-" and digits, no leading zeros); it is kept as a
  // 64-bit number when it fits.
  static Polarity from_decimal(const std::string& text);
  // Whether the polarity fits in 64 bits, and its value when it does.
  bool is_small() const { return !wide_; }
  std::int64_t small() const { return small_; }
  std::string to_string() const { return wide_ ? *wide_ : std::to_string(small_); }
  // 1 - polarity: the other side.
  Polarity complement() const;
  bool operator==(const Polarity& o) const {
    return wide_ ? (o.wide_ && *wide_ == *o.wide_) : (!o.wide_ && small_ == o.small_);
  }
  bool operator==(std::int64_t v) const { return !wide_ && small_ == v; }

 private:
  std::int64_t small_;
  std::shared_ptr<const std::string> wide_;  // set when the value needs more than 64 bits
};

// The literals of some prefixed clauses, on a term bank.  Each literal is
// added once (a leaf of the formula tree, say) and keeps its own prefix,
// polarity and atom node; in the table's bank its atom, its prefix and the
// literal itself are ids, equal where their values are equal, so that atoms
// and literals compare as integers and equal literals of a clause meet by
// their bank id.  A prefix symbol is a bank constant whose symbol has the
// symbol's name and arity 0 (a constant) or 1 (a variable); a prefix is an
// application of "." to its symbols; a literal is an application of its
// polarity's decimal text to the prefix and the atom.
//
// A table is filled and then sealed.  Sealing ranks the literals by their
// texts (equal texts share a rank) without writing any text: a literal's
// text is compared piece by piece (atom text, "^", polarity, ":", the symbol
// names joined by "."), and only the distinct atoms are printed, once.  A
// sealed table never changes, so the clauses and literals that share it may
// be read from any thread.
class LiteralTable {
 public:
  using Index = std::uint32_t;

  // The index of a new literal (literals are never merged: each keeps its own atom node).
  Index add(const Prefix& prefix, const Polarity& polarity, const core::NodePtr& atom);
  // Ranks the literals; nothing may be added afterwards.
  void seal();

  std::size_t size() const { return entries_.size(); }
  const Prefix& prefix(Index l) const { return prefixes_[entries_[l].prefix]; }
  const Polarity& polarity(Index l) const { return entries_[l].polarity; }
  const core::NodePtr& atom(Index l) const { return entries_[l].atom_node; }
  // Equal within the table exactly when the atoms are equal.
  core::TermId atom_id(Index l) const { return entries_[l].atom; }
  // Equal within the table exactly when the literals are equal.
  core::TermId literal_id(Index l) const { return entries_[l].literal; }
  // The place of the literal's text among the table's texts (after seal).
  std::uint32_t rank(Index l) const { return entries_[l].rank; }
  // Falsum at polarity 1 or verum at polarity 0: closed under every substitution.
  bool closes_alone(Index l) const { return entries_[l].closes_alone; }
  // "P^1:c0.V1"; falsum writes "_bot".
  std::string text(Index l) const;

 private:
  struct Entry {
    core::TermId atom;
    core::TermId literal;
    std::uint32_t prefix;  // into prefixes_
    std::uint32_t rank = 0;
    bool closes_alone;
    Polarity polarity;
    core::NodePtr atom_node;
  };
  core::TermId prefix_term(const Prefix& prefix, std::uint32_t& slot);
  core::TermId polarity_term(core::TermId prefix, core::TermId atom, const Polarity& polarity);

  core::Bank bank_;
  std::vector<Entry> entries_;
  std::vector<Prefix> prefixes_;           // the distinct prefixes
  std::vector<std::uint32_t> prefix_slot_;  // by bank id: the prefix's place in prefixes_ + 1, or 0
};

class PrefixedLiteral {
 public:
  PrefixedLiteral(Prefix prefix, Polarity polarity, core::NodePtr atom);
  // The literal `index` of a sealed table.
  PrefixedLiteral(std::shared_ptr<const LiteralTable> table, LiteralTable::Index index)
      : table_(std::move(table)), index_(index) {}
  const Prefix& prefix() const { return table_->prefix(index_); }
  const Polarity& polarity() const { return table_->polarity(index_); }
  const core::NodePtr& atom() const { return table_->atom(index_); }
  // "P^1:c0.V1"; falsum writes "_bot".
  std::string to_string() const { return table_->text(index_); }
  PrefixedLiteral negate() const { return {prefix(), polarity().complement(), atom()}; }
  PrefixedLiteral substitute(const PrefixSubstitution& s) const { return {s.apply(prefix()), polarity(), atom()}; }
  // Atoms equal (by id when both literals share a table).
  bool same_atom(const PrefixedLiteral& o) const;
  bool operator==(const PrefixedLiteral& o) const;

 private:
  std::shared_ptr<const LiteralTable> table_;
  LiteralTable::Index index_ = 0;
};

// A clause keeps its literals as indices into one sealed table, sorted by
// their texts (ties in the order given), each literal once.
class PrefixedClause {
 public:
  PrefixedClause() = default;
  explicit PrefixedClause(const std::vector<PrefixedLiteral>& literals);
  // The literals `members` of a sealed table, given in any order, repeats allowed.
  PrefixedClause(std::shared_ptr<const LiteralTable> table, std::vector<LiteralTable::Index> members);
  // The clause of the literals, each substituted by `subst` when one is given.
  static PrefixedClause of(const std::vector<PrefixedLiteral>& literals, const PrefixSubstitution* subst);
  bool empty() const { return members_.empty(); }
  std::size_t size() const { return members_.size(); }
  PrefixedLiteral literal(std::size_t i) const { return {table_, members_[i]}; }
  std::vector<PrefixedLiteral> literals() const;
  // What the literal at place i is in the table (the hot loops read these).
  const LiteralTable& table() const { return *table_; }
  LiteralTable::Index member(std::size_t i) const { return members_[i]; }
  PrefixedClause substitute(const PrefixSubstitution& s) const;
  SymbolSet variables() const;
  SymbolSet constants() const;
  // "[]" or "[ P^1:c0, Q^0:c0.c1 ]".
  std::string to_string() const;
  // The same literals, whatever their order.
  bool operator==(const PrefixedClause& o) const;

 private:
  std::shared_ptr<const LiteralTable> table_;
  std::vector<LiteralTable::Index> members_;
};

// The literal pairs of a clause with equal atoms and different polarities,
// each as (positive, negative), in the order of the clause's literals.
using LiteralPair = std::pair<PrefixedLiteral, PrefixedLiteral>;
std::vector<LiteralPair> complementary_pairs(const PrefixedClause& clause);
// The same pairs as positions in the clause's literals.
std::vector<std::pair<std::size_t, std::size_t>> complementary_pair_positions(const PrefixedClause& clause);

// Whether the clause is closed under the substitution: it holds falsum at
// polarity 1 or verum at polarity 0 (closed_by_constant, under every
// substitution), or a complementary pair whose prefixes the substitution
// makes equal (closes_a_pair).
bool is_closed(const PrefixedClause& clause, const PrefixSubstitution& subst);
bool closed_by_constant(const PrefixedClause& clause);
bool closes_a_pair(const std::vector<LiteralPair>& pairs, const PrefixSubstitution& subst);

// Calls `f(positive, negative)` with the places of the literals of each
// complementary pair of the clause, in the order of its literals.
template <typename F>
void for_each_complementary_pair(const PrefixedClause& clause, F&& f) {
  if (clause.empty()) return;
  const LiteralTable& t = clause.table();
  for (std::size_t i = 0; i < clause.size(); ++i)
    for (std::size_t j = i + 1; j < clause.size(); ++j) {
      const auto a = clause.member(i), b = clause.member(j);
      if (t.atom_id(a) != t.atom_id(b) || t.polarity(a) == t.polarity(b)) continue;
      if (t.polarity(a) == 1)
        f(i, j);
      else
        f(j, i);
    }
}

}  // namespace constructive
