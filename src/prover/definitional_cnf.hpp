// Clause normal form with definitions, for a refutation search.
//
// Distribution multiplies clauses: a disjunction of two conjunctions of m
// and n clauses gives m * n.  Where that product would exceed a small
// bound, the larger factor G (a subformula with free variables x1 ... xk)
// is named instead: it is replaced by a new atom d(x1, ..., xk), and a
// definition says what the occurrence needs, d -> G where G occurs
// positively, G -> d where it occurs negatively, both where it is a side of
// an equivalence.  A subformula of some size that occurs more than once
// (shared) is written out once and named at its other occurrences.  The
// rest is the pipeline of to_cnf, run on the formula and on each definition.
// The clauses are satisfiable exactly when the formula is; each name is new
// (`new_name` gives it), so a refutation never depends on what it stands for.
//
// The naming pass rewrites each shared subformula once per polarity (it
// remembers shared nodes only); the clauses themselves come from the
// clausifier's pipeline (to_cnf), so its limits, errors and Skolem symbols
// hold here too.  A call owns all its state: threads may clausify different
// formulas at once (the name source `new_name` is the caller's to share).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/ast.hpp"
#include "core/signature.hpp"
#include "prover/clausifier.hpp"

namespace prover {

struct DefinitionalClauses {
  std::vector<Clause> clauses;      // of the formula, with the names in place
  std::vector<Clause> definitions;  // of the definitions, in the order the names were made
};
// A predicate name that no symbol of the problem uses and no earlier call gave.
using NewPredicateName = std::function<std::string()>;
// Of the universal closure of `formula`, or of its negation when `negated`.
// Errors as to_cnf's (CnfTooLarge where a piece still exceeds the limits).
DefinitionalClauses to_definitional_cnf(const NodePtr& formula, bool negated, core::SymbolRegistry* registry,
                                        const NewPredicateName& new_name);

}  // namespace prover
