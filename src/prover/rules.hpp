// Clause-level inference rules of classical first-order logic.
//
//   standardize_clause_variables   the second clause renamed apart from the first
//   resolve_clauses                binary resolution
//   factor_clause                  factoring
//   paramodulate                   paramodulation by the positive equations of either clause
//   extract_subterms, replace_subterm, extract_atom_subterms, replace_atom_subterm
//                                  subterm occurrences in pre-order, and their replacement
//   instantiate_template           the clauses of a second-order template's instance for a goal
//
// The rules work on the clause values of the clausifier (prover::Clause,
// prover::Literal).  Each call unifies on one term bank with the trail
// unifier (core/bank.hpp, core/unify.hpp); every unifier it returns is the
// substitution that core::unify_formulas (core::unify_terms for
// paramodulation) gives for the same pair.
// Every rule returns each distinct derived clause once, in the order found:
// the loops follow the fixed literal order of the clauses, so results are
// deterministic.  A pair of literals (or a subterm and an equation side) that
// does not unify, a sort clash included (SortMismatchError is a kind of
// UnificationError), is skipped; every other error ends the call.
//
// The loops are meant for the inner loop of a saturation prover: the atoms
// enter the bank once per call, a failed unification costs no exception and
// no allocation, and derived clauses are built only after a unification
// succeeds, from instantiated atoms that the bank builds once each.  A caller that wants
// to be interruptible passes its core::InterruptPoller, polled once per
// literal pair (per subterm for paramodulation).
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "core/ast.hpp"
#include "core/interrupt.hpp"
#include "core/substitutions.hpp"
#include "prover/clausifier.hpp"

namespace prover {

// ---------------------------------------------------------------------------
// Standardising apart
// ---------------------------------------------------------------------------

// The renaming that takes every variable of `c2` to a variable with the same
// sort and kind and an id above every id of both clauses (offset by the
// larger maximum id plus one).  Empty when either clause is ground: then
// nothing needs renaming.  ValueError when a new id would pass the 64-bit
// range.
core::Substitution renaming_apart(const Clause& c1, const Clause& c2);

struct StandardizedClause {
  Clause clause;             // c2 renamed apart from c1 (a copy of c2 when nothing was renamed)
  core::Substitution renaming;  // the variables of c2 to their new variables; empty when not renamed
  bool renamed() const { return !renaming.empty(); }
};
StandardizedClause standardize_clause_variables(const Clause& c1, const Clause& c2);

// ---------------------------------------------------------------------------
// Binary resolution, factoring, paramodulation
// ---------------------------------------------------------------------------

struct Resolvent {
  Clause clause;
  core::Substitution unifier;  // over the variables of c1 and of the renamed c2
  Literal left;                // the literal of c1 resolved upon
  Literal right;               // the literal of the renamed c2 resolved upon
};

// Every distinct resolvent sigma((c1 - {l1}) | (c2' - {l2})) of a literal l1
// of c1 and a literal l2 of opposite sign of c2' (c2 renamed apart from c1)
// whose atoms unify with mgu sigma.  Tautologies and the empty clause are kept.
std::vector<Resolvent> resolve_clauses(const Clause& c1, const Clause& c2, core::InterruptPoller* poller = nullptr);

struct Factor {
  Clause clause;
  core::Substitution unifier;
};

// Every distinct factor sigma(c) of two literals of one sign whose atoms
// unify with mgu sigma, when sigma merges literals (the factor is smaller).
std::vector<Factor> factor_clause(const Clause& c, core::InterruptPoller* poller = nullptr);

struct Paramodulant {
  Clause clause;
  // Shared by all paramodulants of one subterm.
  std::shared_ptr<const core::Substitution> unifier;
};

// Every distinct paramodulant of c1 into c2 and then of c2 into c1: for a
// positive equation l = r of the rewriting clause (both orientations), a
// literal L of the target clause (renamed apart from the rewriting clause)
// and a non-variable subterm s of L whose unification with l gives sigma,
// sigma((rewriting - {l = r}) | (target - {L}) | {L with one occurrence of s
// replaced by r}), one per occurrence.
std::vector<Paramodulant> paramodulate(const Clause& c1, const Clause& c2, core::InterruptPoller* poller = nullptr);

// ---------------------------------------------------------------------------
// Subterm positions (pre-order: a node before its arguments, arguments left
// to right).  Only FunctionApp has positions below itself; the positions of
// a PredicateApp are those of its arguments, of an Equality those of its
// left side and then of its right side; other formulas have none.
// A term whose shared subterms unfold to more than kMaxTreeNodes
// occurrences is refused with ValueError (also by paramodulation).
// ---------------------------------------------------------------------------

// Every subterm occurrence of `term`, `term` first.
std::vector<core::NodePtr> extract_subterms(const core::NodePtr& term);
// One term per occurrence of `target` in `term` (pre-order), with that
// occurrence replaced by `replacement`; unchanged arguments are shared.
std::vector<core::NodePtr> replace_subterm(const core::NodePtr& term, const core::NodePtr& target,
                                           const core::NodePtr& replacement);
std::vector<core::NodePtr> extract_atom_subterms(const core::NodePtr& atom);
std::vector<core::NodePtr> replace_atom_subterm(const core::NodePtr& atom, const core::NodePtr& target,
                                                const core::NodePtr& replacement);

// ---------------------------------------------------------------------------
// Second-order templates
// ---------------------------------------------------------------------------

// The conclusion of a template and a goal, both universal quantifications,
// rewritten so that they bind one and the same variable: the template's,
// when the goal's body does not use it freely, else a fresh one.  Nothing
// when the two bound variables differ in sort or kind.
struct AlignedBinders {
  core::VariablePtr variable;        // the variable both now bind
  core::NodePtr conclusion_body;     // the template conclusion's body over `variable`
  core::NodePtr goal_body;           // the goal's body over `variable`
};
std::optional<AlignedBinders> align_bound_variables(const core::Quantifier& conclusion, const core::Quantifier& goal);

// The clauses of the instance of a second-order template `axiom` (a
// universal quantification over a predicate variable P, body B) for `goal`:
//   1. when B's conclusion C (B's consequent when B is an implication, else
//      B) and the goal are both universal, C's body is matched against the
//      goal's body with both binders aligned (align_bound_variables) and the
//      aligned variable bound; a match that solves P puts its predicate into
//      the whole of B, and the instance's clauses are the answer;
//   2. else C is matched against the whole goal; a match that solves P
//      gives the instance the same way;
//   3. else, when the axiom is the induction schema itself and the goal is
//      universal, the clauses of the goal's induction instance.
// Nothing applies: no clauses.  At most one instance is clausified.
//
// The steps are written once over a host that performs the operations; its
// Formula, Match and Predicate types are its own (the engine's are nodes
// and sol's substitutions, see instantiate_template below; the Python
// bindings use the callables that the modules hold when a call starts).
// A host provides:
//   Clauses no_clauses();                                   the empty result
//   bool is_template(const Formula&);                      a ForallPred
//   auto template_variable(const Formula&); Formula template_body(const Formula&);
//   bool is_implication(const Formula&); Formula consequent(const Formula&);
//   bool is_universal(const Formula&);                     a Forall (a node)
//   const core::Quantifier& quantifier(const Formula&);    of a universal formula
//   Match match(const Formula& pattern, const Formula& target);
//   Match match_under(const core::NodePtr& pattern, const core::NodePtr& target, const core::VariablePtr& bound);
//   bool solves(const Match&, const auto& variable);
//   Predicate solution(const Match&, const auto& variable);            as the match gives it
//   Predicate solution_under(const Match&, const auto& variable, const core::VariablePtr& bound);
//                                                          with `bound` as its parameter
//   Formula substitute(const Formula& body, const auto& variable, const Predicate&);
//   bool is_induction_schema(const Formula&);
//   Formula induction_instance(const Formula& goal);       of a universal goal
//   void clausify(const Formula&, Clauses& out);           appends the clauses
template <typename Host>
auto instantiate_template(Host& host, const typename Host::Formula& axiom, const typename Host::Formula& goal) {
  auto clauses = host.no_clauses();
  if (host.is_template(axiom)) {
    const auto variable = host.template_variable(axiom);
    const typename Host::Formula body = host.template_body(axiom);
    const typename Host::Formula conclusion = host.is_implication(body) ? host.consequent(body) : body;
    if (host.is_universal(conclusion) && host.is_universal(goal)) {
      if (auto aligned = align_bound_variables(host.quantifier(conclusion), host.quantifier(goal))) {
        auto match = host.match_under(aligned->conclusion_body, aligned->goal_body, aligned->variable);
        if (host.solves(match, variable)) {
          host.clausify(host.substitute(body, variable, host.solution_under(match, variable, aligned->variable)),
                        clauses);
          return clauses;
        }
      }
    }
    auto match = host.match(conclusion, goal);
    if (host.solves(match, variable)) {
      host.clausify(host.substitute(body, variable, host.solution(match, variable)), clauses);
      return clauses;
    }
  }
  if (host.is_induction_schema(axiom) && host.is_universal(goal)) host.clausify(host.induction_instance(goal), clauses);
  return clauses;
}

// The same with the engine's own operations: sol's pattern unification,
// predicate substitution and induction schema, and to_cnf, which registers
// its Skolem symbols with `registry` (when given).
std::vector<Clause> instantiate_template(const core::NodePtr& axiom, const core::NodePtr& goal,
                                         core::SymbolRegistry* registry = nullptr);

}  // namespace prover
