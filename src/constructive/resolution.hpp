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
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "constructive/matrix.hpp"
#include "constructive/prefix.hpp"
#include "core/ast.hpp"

namespace constructive {

class PrefixedLiteral {
 public:
  PrefixedLiteral(Prefix prefix, std::int64_t polarity, core::NodePtr atom);
  const Prefix& prefix() const { return prefix_; }
  std::int64_t polarity() const { return polarity_; }
  const core::NodePtr& atom() const { return atom_; }
  // "P^1:c0.V1"; falsum writes "_bot".
  std::string to_string() const;
  PrefixedLiteral negate() const { return PrefixedLiteral(prefix_, 1 - polarity_, atom_); }
  PrefixedLiteral substitute(const PrefixSubstitution& s) const { return {s.apply(prefix_), polarity_, atom_, atom_text_}; }
  bool operator==(const PrefixedLiteral& o) const;

 private:
  PrefixedLiteral(Prefix prefix, std::int64_t polarity, core::NodePtr atom, std::string atom_text)
      : prefix_(std::move(prefix)), polarity_(polarity), atom_(std::move(atom)), atom_text_(std::move(atom_text)) {}
  Prefix prefix_;
  std::int64_t polarity_;
  core::NodePtr atom_;
  std::string atom_text_;
};

class PrefixedClause {
 public:
  PrefixedClause() = default;
  explicit PrefixedClause(std::vector<PrefixedLiteral> literals);
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
  std::vector<PrefixedLiteral> literals_;
  std::vector<std::string> texts_;  // parallel to literals_
};

// The literal pairs of a clause with equal atoms and different polarities,
// each as (positive, negative), in the order of the clause's literals.
using LiteralPair = std::pair<PrefixedLiteral, PrefixedLiteral>;
std::vector<LiteralPair> complementary_pairs(const PrefixedClause& clause);

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

// The prover refutes matrices of at most this many paths; a larger one ends
// its attempt (every clause has to be closed, and higher multiplicities only
// make more).
inline constexpr std::uint64_t kMaxSearchClauses = 1u << 14;

// The work of a search: one unit for each step into the backtracking
// search, for each clause it tests for closure there and each complementary
// pair of that clause, and for each unifier it tries.
struct SearchLimits {
  std::uint64_t max_work = UINT64_MAX;
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
// up to `max_multiplicity`, each with its own work budget, until one gives a
// refutation.  The levels also end when raising the multiplicity cannot add
// a copy, when the next matrix has more than kMaxSearchClauses paths (or
// more leaves than kMaxPathLeaves), and at the deadline; a problem whose
// tree has more than kMaxPathLeaves leaves is not tried at all.
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
inline constexpr std::int64_t kMaxTranslatedNodes = std::int64_t{1} << 24;
core::NodePtr translate_ipc_to_fol(const core::NodePtr& f, const core::NodePtr& world, std::int64_t& counter);

// The names of the atoms of a formula, in order of first appearance, without
// falsum's and verum's names; quantifiers and equalities are not looked into.
std::vector<std::string> predicate_names(const core::NodePtr& f);

// Reflexivity and transitivity of "R", then one monotonicity axiom per
// distinct name (sorted), skipping "R", "_bot" and "_top".
std::vector<core::NodePtr> frame_axioms(std::vector<std::string> names);

}  // namespace constructive
