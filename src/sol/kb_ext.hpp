// The induction schema over the natural numbers built from a zero and a
// successor of sort Ind:
//
//   forall P. (P(zero) and forall x. (P(x) -> P(succ(x)))) -> forall x. P(x)
//
// `zero` is the constant named "zero" and `succ` the one-argument function
// named "succ", both of sort Ind.
#pragma once

#include "core/ast.hpp"

namespace sol {

// The constant zero and the term succ(term).
core::NodePtr induction_zero();
core::NodePtr induction_successor(const core::NodePtr& term);

// The instance of the schema for the property `body` of `variable`:
//   (body[variable := zero] and forall variable. (body -> body[variable := succ(variable)]))
//     -> forall variable. body
// Raises the substitution's SortMismatchError when `variable` is not of a
// sort that zero and succ fit.
core::NodePtr instantiate_induction(const core::NodePtr& body, const core::VariablePtr& variable);

// Whether `formula` is the schema itself, up to the names of its bound
// variables and of its predicate variable.
bool is_induction_schema(const core::Node& formula);

}  // namespace sol
