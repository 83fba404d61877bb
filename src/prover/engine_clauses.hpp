// The engine's clauses: literals over the shared term bank, the clauses the
// search stores, and their reading from the syntax tree.
//
// Terms and atoms live in one core::Bank (core/bank.hpp): equal structure
// gives equal ids, so term equality is id equality, and each id carries its
// weight (number of symbol and variable occurrences) and groundness.  Terms
// adds what the search reads: a top symbol per atom or term, with one
// reserved value (Terms::kEquality) for equations.  Unification and
// matching are the bank's trail unifier (core/unify.hpp).
//
// Invariants of a stored clause: its variables are numbered 0, 1, ... in
// order of first occurrence; a literal occurs in it at most once; its
// weight is the sum of its atoms' weights.  The given clause is renamed
// into the variables from kShift on, so that it shares none with a partner.
//
// Everything here belongs to one search, and a search to one thread.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/ast.hpp"
#include "core/bank.hpp"
#include "core/visitors.hpp"
#include "prover/engine.hpp"

namespace prover::engine_parts {

using TermId = std::uint32_t;
using SymId = std::uint32_t;
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Variables of a stored clause are numbered from 0; the given clause is
// renamed into the range from kShift on.
constexpr std::uint32_t kShift = 1u << 24;

class Terms {
 public:
  static constexpr SymId kEquality = kNone - 1;

  core::Bank& bank() { return bank_; }
  const core::Bank& bank() const { return bank_; }
  SymId equality() const { return kEquality; }

  bool is_var(TermId t) const { return bank_.is_variable(t); }
  std::uint32_t var_index(TermId t) const { return static_cast<std::uint32_t>(bank_.variable_id(t)); }
  SymId sym(TermId t) const { return bank_.kind(t) == core::NodeKind::Equality ? kEquality : bank_.symbol_of(t); }
  bool is_predicate(TermId t) const { return bank_.kind(t) == core::NodeKind::PredicateApp; }
  std::uint32_t arity(TermId t) const { return bank_.is_variable(t) ? 0 : bank_.arity(t); }
  TermId arg(TermId t, std::uint32_t i) const { return bank_.children(t)[i]; }
  std::uint32_t weight(TermId t) const { return bank_.weight(t); }
  bool ground(TermId t) const { return bank_.is_ground(t); }
  std::uint32_t sort_of(TermId t) const { return bank_.sort_of(t); }

  TermId var(std::uint32_t index, std::uint32_t sort) { return bank_.variable(index, sort); }
  // A term like `like` (kind, symbol, sort) with other arguments.
  TermId rebuild(TermId like, const TermId* args, std::uint32_t n) {
    return bank_.rebuild(like, std::span<const TermId>(args, n));
  }
  TermId equation(TermId left, TermId right) { return bank_.equality(left, right); }

 private:
  core::Bank bank_;
};

struct Lit {
  TermId atom;
  bool positive;
  bool operator==(const Lit& o) const { return atom == o.atom && positive == o.positive; }
};

inline bool is_equation(const Terms& terms, const Lit& l) { return terms.sym(l.atom) == terms.equality(); }

// How a clause came about: the input's origins, then the inferences.
enum class Rule : std::uint8_t {
  Axiom, NegatedGoal, Definition, Resolution, Factoring, Paramodulation, EqualityResolution, EqualityFactoring
};
Rule input_rule(InputClause::Origin origin);
// The rule's name in a proof ("BinaryResolution", ...).
const char* rule_name(Rule rule);

// Passive clauses wait for selection; active ones are indexed as partners;
// dead ones were subsumed and take part in nothing.
enum class ClauseState : std::uint8_t { Passive, Active, Dead };

struct StoredClause {
  std::vector<Lit> lits;
  std::uint32_t weight = 0;
  std::uint32_t parents[2] = {kNone, kNone};
  Rule rule = Rule::Axiom;
  ClauseState state = ClauseState::Passive;
  std::uint64_t key_mask = 0;  // bloom filter of the literals' predicate-and-sign keys
  std::vector<bool> eligible;  // filled when the clause becomes active
  bool has_selection = false;  // a negative literal is selected (the one eligible)
};

// Reads the literals of syntax-tree clauses into bank atoms.  Each clause
// numbers its own variables (a VarMap per clause).
class ClauseReader {
 public:
  explicit ClauseReader(Terms& terms) : terms_(terms) {}

  // The variables of one clause in order of first occurrence, and the terms
  // of its shared subterms (each converted once, whatever its occurrences).
  struct VarMap {
    std::vector<core::VariablePtr> vars;
    core::SharedNodeMemo<TermId> shared;
    std::uint32_t index_of(const core::VariablePtr& v);
  };

  // The atom of a literal, or kNone for _bot / _top (*truth set to their value).
  TermId atom_of(const core::NodePtr& atom, VarMap& vars, int* truth);
  // The atom as it stands (falsum and verum as ordinary atoms).
  TermId plain_atom(const core::NodePtr& atom, VarMap& vars);
  // Whether an equation was read.
  bool saw_equality() const { return saw_equality_; }

 private:
  TermId term_of(const core::NodePtr& n, VarMap& vars);
  TermId new_term_of(const core::NodePtr& n, VarMap& vars);
  std::uint32_t sort_id(const core::SortPtr& sort) { return terms_.bank().sort(sort); }

  Terms& terms_;
  bool saw_equality_ = false;
};

}  // namespace prover::engine_parts
