#include "prover/proof.hpp"

#include <functional>
#include <optional>

#include "core/exceptions.hpp"
#include "core/substitutions.hpp"
#include "prover/engine.hpp"
#include "prover/rules.hpp"

namespace prover {
namespace {

using Conclusions = std::vector<Clause>;

bool is_equation(const Literal& l) { return l.atom()->kind() == core::NodeKind::Equality; }
const core::Equality& equation(const Literal& l) { return core::as<core::Equality>(*l.atom()); }

// The clause without its literal at `skip`, plus `extra`.
Clause without(const Clause& c, std::size_t skip, const std::optional<Literal>& extra = std::nullopt) {
  std::vector<Literal> lits;
  for (std::size_t i = 0; i < c.literals().size(); ++i)
    if (i != skip) lits.push_back(c.literals()[i]);
  if (extra) lits.push_back(*extra);
  return Clause(lits);
}

// From C ∨ s ≠ t with σ = mgu(s, t): Cσ.
Conclusions equality_resolvents(const Clause& c) {
  Conclusions out;
  for (std::size_t i = 0; i < c.literals().size(); ++i) {
    const Literal& l = c.literals()[i];
    if (l.positive() || !is_equation(l)) continue;
    try {
      core::Substitution sigma = core::unify_terms(equation(l).left(), equation(l).right());
      out.push_back(without(c, i).substitute(sigma));
    } catch (const core::UnificationError&) {
    }
  }
  return out;
}

// From C ∨ s = t ∨ u = v with σ = mgu(s, u): (C ∨ t ≠ v ∨ u = v)σ, each
// equation taken both ways round.
Conclusions equality_factors(const Clause& c) {
  Conclusions out;
  const auto& lits = c.literals();
  for (std::size_t i = 0; i < lits.size(); ++i) {
    if (!lits[i].positive() || !is_equation(lits[i])) continue;
    for (std::size_t j = 0; j < lits.size(); ++j) {
      if (j == i || !lits[j].positive() || !is_equation(lits[j])) continue;
      const auto& first = equation(lits[i]);
      const auto& second = equation(lits[j]);
      for (int si = 0; si < 2; ++si) {
        for (int sj = 0; sj < 2; ++sj) {
          const core::NodePtr& s = si ? first.right() : first.left();
          const core::NodePtr& t = si ? first.left() : first.right();
          const core::NodePtr& u = sj ? second.right() : second.left();
          const core::NodePtr& v = sj ? second.left() : second.right();
          try {
            core::Substitution sigma = core::unify_terms(s, u);
            out.push_back(without(c, i, Literal(core::Equality::make(t, v), false)).substitute(sigma));
          } catch (const core::UnificationError&) {
          }
        }
      }
    }
  }
  return out;
}

// What the rule derives from the parents, or nullopt for an unknown rule.
std::optional<Conclusions> conclusions(const std::string& rule, const std::vector<const Clause*>& parents) {
  Conclusions out;
  if (rule == "BinaryResolution") {
    for (auto& r : resolve_clauses(*parents[0], *parents[1])) out.push_back(std::move(r.clause));
  } else if (rule == "Factoring") {
    for (auto& r : factor_clause(*parents[0])) out.push_back(std::move(r.clause));
  } else if (rule == "Paramodulation") {
    for (auto& r : paramodulate(*parents[0], *parents[1])) out.push_back(std::move(r.clause));
  } else if (rule == "EqualityResolution") {
    out = equality_resolvents(*parents[0]);
  } else if (rule == "EqualityFactoring") {
    out = equality_factors(*parents[0]);
  } else {
    return std::nullopt;
  }
  return out;
}

int parent_count(const std::string& rule) {
  if (rule == "Axiom" || rule == "NegatedGoal" || rule == "Definition") return 0;
  if (rule == "BinaryResolution" || rule == "Paramodulation") return 2;
  if (rule == "Factoring" || rule == "EqualityResolution" || rule == "EqualityFactoring") return 1;
  return -1;
}

}  // namespace

std::string check_derivation(const ProofDAG& proof) {
  if (proof.steps.empty()) return "the derivation has no steps";
  for (std::size_t i = 0; i < proof.steps.size(); ++i) {
    const ProofStep& step = proof.steps[i];
    std::string where = "step " + std::to_string(i) + " (" + step.rule + ")";
    int expected = parent_count(step.rule);
    if (expected < 0) return where + ": unknown rule";
    if (static_cast<int>(step.parents.size()) != expected)
      return where + ": takes " + std::to_string(expected) + " parent(s), has " + std::to_string(step.parents.size());
    std::vector<const Clause*> parents;
    for (std::int64_t p : step.parents) {
      if (p < 0 || static_cast<std::size_t>(p) >= i)
        return where + ": parent " + std::to_string(p) + " is not an earlier step";
      parents.push_back(&proof.steps[static_cast<std::size_t>(p)].clause);
    }
    if (expected == 0) continue;
    std::optional<Conclusions> derived = conclusions(step.rule, parents);
    bool found = false;
    for (const Clause& d : *derived)
      if (same_up_to_renaming(d, step.clause)) {
        found = true;
        break;
      }
    if (!found) return where + ": " + step.clause.to_string() + " does not follow from its parents";
  }
  if (!proof.steps.back().clause.is_empty()) return "the derivation does not end in the empty clause";
  return {};
}

}  // namespace prover
