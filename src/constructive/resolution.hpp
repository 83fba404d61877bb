// Intuitionistic resolution: prefixed clauses over the paths of the formula
// tree and their refutation search, resolution and factoring of single
// prefixed clauses, and the relational translation of IPC into classical
// first-order logic with its frame axioms.
//
// The prefixed literals and clauses are those of constructive/prefixed_clause.hpp.
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
#include <string>
#include <utility>
#include <vector>

#include "constructive/matrix.hpp"
#include "constructive/prefix.hpp"
#include "constructive/prefixed_clause.hpp"
#include "core/ast.hpp"
#include "core/limits.hpp"

namespace constructive {

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
