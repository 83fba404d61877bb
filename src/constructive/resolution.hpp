// Intuitionistic resolution: prefixed clauses over the paths of the formula
// tree and their refutation search, resolution and factoring of single
// prefixed clauses, and the relational translation of IPC into classical
// first-order logic with its frame axioms.
//
// A prefixed clause keeps its literals sorted by their text (ties in order
// of first appearance), without repetitions.  Every loop over the literals
// of a clause follows that order, so pairs, unifiers, derivations and step
// numbers are the same in every run, whatever the interpreter's hash seed.
//
// The refutation search looks for one prefix substitution under which every
// clause is closed: it holds falsum at polarity 1, verum at polarity 0, or
// two literals with the same atom, different polarities and prefixes made
// equal.  It is depth first, closes the clause with the fewest complementary
// pairs first, and accepts only admissible substitutions.  It is bounded by an
// amount of work and, optionally, a deadline; reaching either bound ends the
// search without a refutation.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "constructive/matrix.hpp"
#include "constructive/prefix.hpp"
#include "core/ast.hpp"
#include "core/limits.hpp"

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

class PrefixedLiteral {
 public:
  PrefixedLiteral(Prefix prefix, Polarity polarity, core::NodePtr atom);
  const Prefix& prefix() const { return prefix_; }
  const Polarity& polarity() const { return polarity_; }
  const core::NodePtr& atom() const { return atom_; }
  // "P^1:c0.V1"; falsum writes "_bot".
  std::string to_string() const;
  PrefixedLiteral negate() const { return {prefix_, polarity_.complement(), atom_, atom_text_}; }
  PrefixedLiteral substitute(const PrefixSubstitution& s) const { return {s.apply(prefix_), polarity_, atom_, atom_text_}; }
  bool operator==(const PrefixedLiteral& o) const;

 private:
  PrefixedLiteral(Prefix prefix, Polarity polarity, core::NodePtr atom, std::string atom_text)
      : prefix_(std::move(prefix)), polarity_(polarity), atom_(std::move(atom)), atom_text_(std::move(atom_text)) {}
  Prefix prefix_;
  Polarity polarity_;
  core::NodePtr atom_;
  std::string atom_text_;
};

class PrefixedClause {
 public:
  PrefixedClause() = default;
  explicit PrefixedClause(std::vector<PrefixedLiteral> literals);
  // The same, with the literals' texts already written (texts[i] is
  // literals[i].to_string()).
  PrefixedClause(std::vector<PrefixedLiteral> literals, std::vector<std::string> texts);
  const std::vector<PrefixedLiteral>& literals() const { return literals_; }
  bool empty() const { return literals_.empty(); }
  std::size_t size() const { return literals_.size(); }
  PrefixedClause substitute(const PrefixSubstitution& s) const;
  SymbolSet variables() const;
  SymbolSet constants() const;
  // "[]" or "[ P^1:c0, Q^0:c0.c1 ]".
  std::string to_string() const;
  // The same literals, whatever their order.
  bool operator==(const PrefixedClause& o) const;

 private:
  void adopt(std::vector<PrefixedLiteral> literals, std::vector<std::string> texts);
  std::vector<PrefixedLiteral> literals_;
  std::vector<std::string> texts_;  // parallel to literals_
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

// One clause per path of the tree, in path order.
std::vector<PrefixedClause> clauses_of(const FormulaTree& tree);

struct SearchStep {
  std::string id;
  std::string rule;
  std::vector<std::string> premise_ids;
  PrefixedClause clause;
  PrefixSubstitution subst;
  std::optional<LiteralPair> parents;
};

// The work of a search: one unit for each step into the backtracking
// search, for each clause it tests for closure there and each complementary
// pair of that clause, and for each unifier it tries.
// A search ends without a refutation after kMaxSearchWork units; the bound
// does not depend on any setting.
using core::limits::kMaxSearchWork;
struct SearchLimits {
  std::uint64_t max_work = kMaxSearchWork;
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

struct Refutation {
  std::vector<SearchStep> steps;
  std::string empty_clause_id;
  PrefixSubstitution subst;
};

// The refutation of the clauses, or none when there is none within the limits.
std::optional<Refutation> search_refutation(const std::vector<PrefixedClause>& clauses, const SymbolOrder& order,
                                            const SearchLimits& limits);

// The paths, and leaves on them, of the tree that the problem of `base` has at
// multiplicity m, counted from `base` without building that tree: the copies
// of a PHI position are alike, so its pair of sides counts m times.
// Saturates at 2^64 - 1.
paths_detail::Count paths_at_multiplicity(const FormulaTree& base, std::int64_t m);

// The leaves of the formula trees of the target and the premises at
// multiplicity 1 (a shared subformula counted at every occurrence; saturates).
std::uint64_t leaf_count(const core::NodePtr& target, const std::vector<core::NodePtr>& premises);

// Whether the tree has a PHI position: without one, every multiplicity gives
// the same tree.
bool has_copies(const FormulaTree& tree);

// Prefixed resolution of a normalised problem: the multiplicities 1, 2, ...
// up to `max_multiplicity`, each searched within `per_level`, until one
// gives a refutation.  The levels end early only where memory ends them:
// when raising the multiplicity cannot add a copy, and at the first level
// whose matrix is too large to hold (more than kMaxPaths paths or
// kMaxPathLeaves leaves, or a tree of more than kMaxPositions positions),
// which is never built.
struct PrefixedProof {
  Refutation refutation;
  std::int64_t multiplicity;
};
std::optional<PrefixedProof> prove_prefixed(const core::NodePtr& target, const std::vector<core::NodePtr>& premises,
                                            std::int64_t max_multiplicity, const SearchLimits& per_level);

// Resolvents and factors: (clause, unifier, first literal, second literal).
struct Inference {
  PrefixedClause clause;
  PrefixSubstitution unifier;
  PrefixedLiteral first, second;
};
std::vector<Inference> resolve_clauses(const PrefixedClause& c1, const PrefixedClause& c2,
                                       const PrefixSubstitution& start, const SymbolOrder* order);
std::vector<Inference> factor_clause(const PrefixedClause& clause, const PrefixSubstitution& start,
                                     const SymbolOrder* order);

// ---------------------------------------------------------------------------
// Relational translation
// ---------------------------------------------------------------------------
// tau(f, world): atoms become one-place atoms at the world, implications and
// negations quantify over the worlds that "R" reaches.  `counter` is the id
// of the next world variable and is raised for each one made (also when a
// later step fails).  A formula that is not propositional (an atom with
// arguments, an equality, a quantifier) raises ValueError naming its class:
// reading it classically would drop what it says.
// A formula of more than kMaxTranslatedNodes nodes as a tree (shared
// subformulas counted at every occurrence, as the translation writes them)
// raises ValueError.
using core::limits::kMaxTranslatedNodes;
core::NodePtr translate_ipc_to_fol(const core::NodePtr& f, const core::NodePtr& world, std::int64_t& counter);

// The names of the atoms of a formula, in order of first appearance, without
// falsum's and verum's names; quantifiers and equalities are not looked into.
std::vector<std::string> predicate_names(const core::NodePtr& f);

// Reflexivity and transitivity of "R", then one monotonicity axiom per
// distinct name (sorted), skipping "R", "_bot" and "_top".
std::vector<core::NodePtr> frame_axioms(std::vector<std::string> names);

}  // namespace constructive
