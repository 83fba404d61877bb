// Vocabulary shared by the intuitionistic provers.
//
// Falsum and verum are the nullary predicates "_bot" and "_top".  The
// normalisation removes the connectives that the provers have no rules for
// (negation becomes implication into falsum, an equivalence the conjunction
// of both implications) and simplifies verum away inside a formula, so that
// no prover needs a verum rule; the result is intuitionistically equivalent
// to the argument.
#pragma once

#include <cstdint>

#include "core/ast.hpp"

namespace constructive {

const core::NodePtr& falsum();
const core::NodePtr& verum();

bool is_falsum(const core::Node& f);
bool is_verum(const core::Node& f);
// Predicate applications (falsum and verum included).
bool is_atomic(const core::Node& f);
// The formula as a binary connective of this kind, or null when it is not one.
const core::BinaryFormula* binary_of(const core::NodePtr& f, core::NodeKind kind);

core::NodePtr normalize_formula(const core::NodePtr& f);

// A size measure: atoms weigh 1, each connective adds 1 and an equivalence
// counts both its sides twice (it stands for two implications).
std::int64_t formula_weight(const core::Node& f);

}  // namespace constructive
