// Clause normal form of classical first-order formulas.
//
// Literal and Clause are the values every classical prover of the library
// shares.  Both are immutable and cheap to compare: each computes its hash
// once, on construction, and keeps the free variables of its atoms.  They
// hold the engine's shared formula nodes (core::NodePtr); nothing is copied.
//
// A clause keeps its literals in a fixed order: the order in which they were
// given, each literal once (a repeated literal keeps its first place).  Every
// loop over a clause follows that order, so every run is deterministic;
// equality, hashing and the text of a clause do not depend on it.
//
// The pipeline (to_cnf) runs seven steps, each a public function:
//   eliminate_implications  A => B  to  ~A | B,  A <=> B  to  (~A | B) & (~B | A)
//   to_nnf                  negations pushed down onto the atoms
//   standardize_variables   every quantifier gets a variable of its own
//   skolemize               existentials replaced by Skolem constants/functions
//   drop_universals         universal quantifiers removed (variables left free)
//   distribute_cnf          | distributed over &
//   formula_to_clauses      the conjuncts as clauses, tautologies dropped
//
// Skolem symbols are named "sk_c<n>" (constants) and "sk_f<n>" (functions)
// from two process-wide counters that persist between calls until
// reset_skolem_counters().  A counter value whose name the formula already
// uses, or that the signature holds, is skipped, so a Skolem symbol is
// always new.  The counters are atomic: concurrent Skolemizations never
// receive the same value.
//
// to_cnf reads the free variables of its formula as universally quantified
// (the universal closure), and negate_and_clausify negates that closure, so
// the clauses never say more than the formula.
//
// Distribution can grow exponentially; distribute_cnf (and so to_cnf) first
// counts the clauses and literal occurrences it will produce and raises
// ValueError (CnfTooLarge) beyond kMaxCnfClauses or kMaxCnfLiterals.  Steps
// that must unfold shared subformulas (renaming apart, Skolemization) refuse
// formulas whose tree exceeds kMaxTreeNodes.  to_definitional_cnf
// (definitional_cnf.hpp), for searches, names subformulas instead of
// distributing them.  Deep formulas raise RecursionDepthError.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ast.hpp"
#include "core/limits.hpp"
#include "core/ordered.hpp"
#include "core/signature.hpp"
#include "core/substitutions.hpp"

namespace prover {

using core::NodePtr;
using core::Substitution;

// ---------------------------------------------------------------------------
// Literal: an atom (PredicateApp or Equality) with a sign.
// ---------------------------------------------------------------------------
class Literal {
 public:
  // Any node is accepted as the atom (the pipeline only makes literals over
  // PredicateApp and Equality); `atom` must not be null.
  explicit Literal(NodePtr atom, bool positive = true);

  const NodePtr& atom() const { return atom_; }
  bool positive() const { return positive_; }
  core::pyhash::hash_t hash() const { return hash_; }
  // The free variables of the atom, computed once.
  const core::VarSetPtr& free_vars() const { return free_vars_; }

  // The complementary literal (same atom object, other sign).
  Literal negate() const;
  // An empty substitution gives a copy of this literal (the same atom
  // object); otherwise the atom goes through core::substitute_formula, whose
  // sort checks and errors pass through.  AssertionFailure when the result
  // is neither a PredicateApp nor an Equality.
  Literal substitute(const Substitution& subst) const;

  // "P(...)" / "¬P(...)" (the atom's record text), or for an equation
  // "s = t" / "s ≠ t" (the terms' record texts).
  std::string to_string() const;

  // Same sign and structurally equal atoms (hashes compared first).
  bool operator==(const Literal& other) const;

 private:
  NodePtr atom_;
  core::VarSetPtr free_vars_;
  core::pyhash::hash_t hash_;
  bool positive_;
};

struct LiteralHash {
  std::size_t operator()(const Literal& l) const { return static_cast<std::size_t>(l.hash()); }
};
using LiteralSet = core::OrderedValueSet<Literal, LiteralHash>;

// ---------------------------------------------------------------------------
// Clause: a set of literals, read as their disjunction.
// ---------------------------------------------------------------------------
class Clause {
 public:
  Clause();  // the empty clause
  // Repeated literals are kept once, at their first place.
  explicit Clause(const std::vector<Literal>& literals);
  explicit Clause(LiteralSet literals);

  // The literals in the clause's fixed order.
  const std::vector<Literal>& literals() const { return literals_.items(); }
  const LiteralSet& literal_set() const { return literals_; }
  std::size_t size() const { return literals_.size(); }
  bool is_empty() const { return literals_.empty(); }
  bool is_unit() const { return literals_.size() == 1; }
  // Some atom occurs both positively and negatively (atoms compared as nodes).
  bool is_tautology() const { return is_tautology_; }
  bool contains(const Literal& literal) const { return literals_.contains(literal); }
  core::pyhash::hash_t hash() const { return hash_; }
  // The free variables of all literals, in literal order.
  const core::VarSetPtr& free_vars() const { return free_vars_; }

  // An empty substitution gives a copy of this clause; otherwise every
  // literal is substituted (in order) and equal results merge.
  Clause substitute(const Substitution& subst) const;

  // "□" for the empty clause; otherwise the literal texts sorted by code
  // point and joined by " ∨ ".
  std::string to_string() const;

  // The same literals, whatever their order.
  bool operator==(const Clause& other) const;

 private:
  void finish();  // hash, tautology flag, free variables

  LiteralSet literals_;
  core::VarSetPtr free_vars_;
  core::pyhash::hash_t hash_ = 0;
  bool is_tautology_ = false;
};

struct ClauseHash {
  std::size_t operator()(const Clause& c) const { return static_cast<std::size_t>(c.hash()); }
};

// ---------------------------------------------------------------------------
// Limits
// ---------------------------------------------------------------------------
using core::limits::kMaxCnfClauses;
using core::limits::kMaxCnfLiterals;
using core::limits::kMaxTreeNodes;

// The formula is beyond one of these limits (ValueError to the host).  A
// count that exceeds 64 bits is written "more than 2^64".
class CnfTooLarge : public core::ValueError {
 public:
  using ValueError::ValueError;
};

// ---------------------------------------------------------------------------
// The seven steps.  Every step refuses a node it does not accept with
// core::ValueError, the step's message followed by the node's class text
// ("<class 'core.ast.Implies'>"); atoms come back as the very nodes given.
// ---------------------------------------------------------------------------

// "Unsupported formula node: "
NodePtr eliminate_implications(const NodePtr& formula);
// "Unsupported formula node: ", or for a negated operand
// "Unsupported negated formula operand: ".
NodePtr to_nnf(const NodePtr& formula);
// "Unsupported formula: ".  Fresh ids start above every id in the formula.
NodePtr standardize_variables(const NodePtr& formula);

// Skolemization.  `registry` (may be null) receives every new symbol, in
// the order they are made; a registration that raises SymbolClashError
// makes the symbol take the next counter value, any other engine error
// (std::runtime_error) of the registry is ignored; core::Interrupted,
// std::bad_alloc and other exceptions pass.  Variables free in the formula are left in place
// (they are not arguments of Skolem functions).  The formula must be in
// negation normal form: a quantifier under a negation raises ValueError.
// Other nodes: "Unsupported formula in skolemization: ".
NodePtr skolemize(const NodePtr& formula, core::SymbolRegistry* registry = nullptr);
// Both counters start again at 0.
void reset_skolem_counters();
// The values that the next Skolem constant and function would draw.
std::uint64_t skolem_constant_counter();
std::uint64_t skolem_function_counter();

// "Unsupported formula: "; a quantifier under a negation raises ValueError.
NodePtr drop_universals(const NodePtr& formula);
// "Unsupported formula in CNF distribution: "; ValueError beyond the limits.
NodePtr distribute_cnf(const NodePtr& formula);
// "Unexpected formula inside clause: "; AssertionFailure for a negation of
// a non-atom.  The clauses of the conjuncts, left to right, tautologies left out.
std::vector<Clause> formula_to_clauses(const NodePtr& formula);

// The pipeline, on the universal closure of `formula`.
std::vector<Clause> to_cnf(const NodePtr& formula, core::SymbolRegistry* registry = nullptr);
// to_cnf of the negation of the universal closure of `formula`.
std::vector<Clause> negate_and_clausify(const NodePtr& formula, core::SymbolRegistry* registry = nullptr);

}  // namespace prover
