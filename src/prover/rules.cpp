#include "prover/rules.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "core/exceptions.hpp"
#include "core/ordered.hpp"
#include "core/visitors.hpp"
#include "sol/substitutions_ext.hpp"

namespace prover {

using core::as;
using core::Node;
using core::NodeKind;
using core::NodePtr;
using core::Substitution;
using core::Variable;
using core::VariablePtr;

namespace {

// Clauses already derived in one call, in the order found.
using ClauseSet = core::OrderedValueSet<Clause, ClauseHash>;

void poll(core::InterruptPoller* poller) {
  if (poller) poller->poll();
}

std::int64_t max_id(const core::VarSet& vars) {
  std::int64_t top = -1;
  for (const VariablePtr& v : vars) top = std::max(top, v->id());
  return top;
}

// `c` when `renaming` is empty, else its renamed copy kept in `storage`.
const Clause& renamed(const Clause& c, const Substitution& renaming, std::optional<Clause>& storage) {
  if (renaming.empty()) return c;
  storage.emplace(c.substitute(renaming));
  return *storage;
}

// The clause of `literals` with `subst` applied: the same as building the
// clause and substituting it, without building the intermediate clause.
Clause instantiate(const std::vector<Literal>& literals, const Substitution& subst) {
  LiteralSet out;
  for (const Literal& literal : literals) out.insert(literal.substitute(subst));
  return Clause(std::move(out));
}

// The literals of `c` other than the one at `skip`, appended to `out`.
void append_except(const Clause& c, std::size_t skip, std::vector<Literal>& out) {
  const auto& lits = c.literals();
  for (std::size_t i = 0; i < lits.size(); ++i)
    if (i != skip) out.push_back(lits[i]);
}

}  // namespace

// ---------------------------------------------------------------------------
// Standardising apart
// ---------------------------------------------------------------------------
Substitution renaming_apart(const Clause& c1, const Clause& c2) {
  const core::VarSet& c1_vars = *c1.free_vars();
  const core::VarSet& c2_vars = *c2.free_vars();
  Substitution renaming;
  if (c1_vars.empty() || c2_vars.empty()) return renaming;
  std::int64_t max1 = max_id(c1_vars);
  std::int64_t max2 = max_id(c2_vars);
  std::int64_t offset = core::fresh_id_after(std::max(max1, max2));
  for (const VariablePtr& v : c2_vars) {
    if (v->id() > std::numeric_limits<std::int64_t>::max() - offset)
      throw core::ValueError("No fresh variable id above " + std::to_string(v->id()));
    renaming.set(v, Variable::make(v->id() + offset, v->var_kind(), v->sort()));
  }
  return renaming;
}

StandardizedClause standardize_clause_variables(const Clause& c1, const Clause& c2) {
  Substitution renaming = renaming_apart(c1, c2);
  if (renaming.empty()) return {c2, std::move(renaming)};
  Clause clause = c2.substitute(renaming);
  return {std::move(clause), std::move(renaming)};
}

// ---------------------------------------------------------------------------
// Structural pre-test
// ---------------------------------------------------------------------------
bool symbols_clash(const Node& a, const Node& b) {
  std::vector<std::pair<const Node*, const Node*>> pending{{&a, &b}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (x->kind() == NodeKind::Variable || y->kind() == NodeKind::Variable) continue;
    if (x->kind() != y->kind()) return true;
    switch (x->kind()) {
      case NodeKind::Constant:
        if (!core::equal(*x, *y)) return true;
        break;
      case NodeKind::FunctionApp:
      case NodeKind::PredicateApp: {
        const core::Application& fx = *core::as_application(*x);
        const core::Application& fy = *core::as_application(*y);
        if (!(fx.symbol() == fy.symbol()) || fx.arity() != fy.arity() || fx.args().size() != fy.args().size())
          return true;
        if (x->kind() == NodeKind::FunctionApp &&
            !core::same_sort(as<core::FunctionApp>(*x).return_sort(), as<core::FunctionApp>(*y).return_sort()))
          return true;
        for (std::size_t i = 0; i < fx.args().size(); ++i) pending.emplace_back(fx.args()[i].get(), fy.args()[i].get());
        break;
      }
      case NodeKind::Equality: {
        const auto& ex = as<core::Equality>(*x);
        const auto& ey = as<core::Equality>(*y);
        pending.emplace_back(ex.left().get(), ey.left().get());
        pending.emplace_back(ex.right().get(), ey.right().get());
        break;
      }
      default:
        return true;  // not an atom: the unifier refuses it
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// Binary resolution
// ---------------------------------------------------------------------------
std::vector<Resolvent> resolve_clauses(const Clause& c1, const Clause& c2, core::InterruptPoller* poller) {
  std::optional<Clause> storage;
  const Clause& c2_std = renamed(c2, renaming_apart(c1, c2), storage);
  std::vector<Resolvent> results;
  ClauseSet seen;
  const auto& lits1 = c1.literals();
  const auto& lits2 = c2_std.literals();
  std::vector<Literal> remainder;
  for (std::size_t i = 0; i < lits1.size(); ++i) {
    for (std::size_t j = 0; j < lits2.size(); ++j) {
      poll(poller);
      const Literal& l1 = lits1[i];
      const Literal& l2 = lits2[j];
      if (l1.positive() == l2.positive() || symbols_clash(*l1.atom(), *l2.atom())) continue;
      try {
        Substitution mgu = core::unify_formulas(l1.atom(), l2.atom());
        remainder.clear();
        append_except(c1, i, remainder);
        append_except(c2_std, j, remainder);
        Clause resolvent = instantiate(remainder, mgu);
        if (seen.insert(resolvent)) results.push_back({std::move(resolvent), std::move(mgu), l1, l2});
      } catch (const core::UnificationError&) {
        // no unifier (a sort clash included): the pair adds nothing
      }
    }
  }
  return results;
}

// ---------------------------------------------------------------------------
// Factoring
// ---------------------------------------------------------------------------
std::vector<Factor> factor_clause(const Clause& c, core::InterruptPoller* poller) {
  std::vector<Factor> results;
  ClauseSet seen;
  const auto& lits = c.literals();
  for (std::size_t i = 0; i < lits.size(); ++i) {
    for (std::size_t j = i + 1; j < lits.size(); ++j) {
      poll(poller);
      if (lits[i].positive() != lits[j].positive() || symbols_clash(*lits[i].atom(), *lits[j].atom())) continue;
      try {
        Substitution mgu = core::unify_formulas(lits[i].atom(), lits[j].atom());
        Clause factored = c.substitute(mgu);
        if (factored.size() < c.size() && seen.insert(factored)) results.push_back({std::move(factored), std::move(mgu)});
      } catch (const core::UnificationError&) {
      }
    }
  }
  return results;
}

// ---------------------------------------------------------------------------
// Subterm positions
// ---------------------------------------------------------------------------
namespace {

// A term with shared subterms can have exponentially many occurrences.
// Enumerating them, or building the rewritten terms, is refused beyond
// kMaxTreeNodes instead of exhausting memory.
[[noreturn]] void refuse_occurrences() {
  throw core::ValueError("The term has more than " + std::to_string(kMaxTreeNodes) +
                         " subterm occurrences once its shared subterms are unfolded.");
}

std::uint64_t add_saturated(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// The number of subterm occurrences of `term` as a tree, computed over its
// distinct nodes.
std::uint64_t shared_occurrence_count(const NodePtr& term) {
  std::unordered_map<const Node*, std::uint64_t> counted;
  std::vector<std::pair<const Node*, bool>> pending{{term.get(), false}};
  while (!pending.empty()) {
    auto [node, args_counted] = pending.back();
    pending.pop_back();
    if (counted.count(node)) continue;
    if (node->kind() != NodeKind::FunctionApp) {
      counted.emplace(node, 1);
      continue;
    }
    const auto& args = as<core::FunctionApp>(*node).args();
    if (!args_counted) {
      pending.emplace_back(node, true);
      for (const NodePtr& arg : args) pending.emplace_back(arg.get(), false);
      continue;
    }
    std::uint64_t total = 1;
    for (const NodePtr& arg : args) total = add_saturated(total, counted.at(arg.get()));
    counted.emplace(node, total);
  }
  return counted.at(term.get());
}

// The same; small terms, the usual case, are counted by a plain walk.
std::uint64_t occurrence_count(const NodePtr& term) {
  constexpr std::uint64_t kPlainWalk = 4096;
  std::uint64_t count = 0;
  std::vector<const Node*> pending{term.get()};
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    if (++count > kPlainWalk) return shared_occurrence_count(term);
    if (node->kind() == NodeKind::FunctionApp)
      for (const NodePtr& arg : as<core::FunctionApp>(*node).args()) pending.push_back(arg.get());
  }
  return count;
}

// The terms of an atom: the arguments of a PredicateApp, the two sides of
// an Equality, none for anything else.
std::vector<const NodePtr*> atom_terms(const Node& atom) {
  std::vector<const NodePtr*> terms;
  if (atom.kind() == NodeKind::PredicateApp) {
    for (const NodePtr& arg : as<core::PredicateApp>(atom).args()) terms.push_back(&arg);
  } else if (atom.kind() == NodeKind::Equality) {
    terms.push_back(&as<core::Equality>(atom).left());
    terms.push_back(&as<core::Equality>(atom).right());
  }
  return terms;
}

// The number of occurrences in all of `terms`, refused beyond the limit.
std::uint64_t checked_occurrences(const std::vector<const NodePtr*>& terms) {
  std::uint64_t total = 0;
  for (const NodePtr* t : terms) total = add_saturated(total, occurrence_count(*t));
  if (total > kMaxTreeNodes) refuse_occurrences();
  return total;
}

// The occurrences of the terms of `terms` in pre-order, one term after the other.
std::vector<NodePtr> occurrences(const std::vector<const NodePtr*>& terms) {
  std::vector<NodePtr> out;
  out.reserve(checked_occurrences(terms));
  std::vector<const NodePtr*> pending;
  for (const NodePtr* t : terms) {
    pending.push_back(t);
    while (!pending.empty()) {
      const NodePtr& n = *pending.back();
      pending.pop_back();
      out.push_back(n);
      if (n->kind() != NodeKind::FunctionApp) continue;
      const auto& args = as<core::FunctionApp>(*n).args();
      for (auto it = args.rbegin(); it != args.rend(); ++it) pending.push_back(&*it);
    }
  }
  return out;
}

// Counts the nodes that one replacement builds.
class BuildBudget {
 public:
  void spend() {
    if (++built_ > kMaxTreeNodes) refuse_occurrences();
  }

 private:
  std::uint64_t built_ = 0;
};

// Appends to `out` one term per occurrence of `target` in `term`.
void replace_into(const NodePtr& term, const NodePtr& target, const NodePtr& replacement, std::vector<NodePtr>& out,
                  BuildBudget& budget) {
  core::RecursionGuard guard;
  if (core::equal(*term, *target)) out.push_back(replacement);
  if (term->kind() != NodeKind::FunctionApp) return;
  const auto& app = as<core::FunctionApp>(*term);
  std::vector<NodePtr> inner;
  for (std::size_t i = 0; i < app.args().size(); ++i) {
    inner.clear();
    replace_into(app.args()[i], target, replacement, inner, budget);
    for (NodePtr& r : inner) {
      budget.spend();
      std::vector<NodePtr> args = app.args();
      args[i] = std::move(r);
      out.push_back(core::FunctionApp::make(app.func(), app.arity(), std::move(args), app.return_sort()));
    }
  }
}

}  // namespace

std::vector<NodePtr> extract_subterms(const NodePtr& term) { return occurrences({&term}); }

std::vector<NodePtr> replace_subterm(const NodePtr& term, const NodePtr& target, const NodePtr& replacement) {
  checked_occurrences({&term});
  std::vector<NodePtr> out;
  BuildBudget budget;
  replace_into(term, target, replacement, out, budget);
  return out;
}

std::vector<NodePtr> extract_atom_subterms(const NodePtr& atom) { return occurrences(atom_terms(*atom)); }

std::vector<NodePtr> replace_atom_subterm(const NodePtr& atom, const NodePtr& target, const NodePtr& replacement) {
  checked_occurrences(atom_terms(*atom));
  std::vector<NodePtr> out;
  std::vector<NodePtr> inner;
  BuildBudget budget;
  if (atom->kind() == NodeKind::PredicateApp) {
    const auto& app = as<core::PredicateApp>(*atom);
    for (std::size_t i = 0; i < app.args().size(); ++i) {
      inner.clear();
      replace_into(app.args()[i], target, replacement, inner, budget);
      for (NodePtr& r : inner) {
        budget.spend();
        std::vector<NodePtr> args = app.args();
        args[i] = std::move(r);
        out.push_back(core::PredicateApp::make(app.pred(), app.arity(), std::move(args)));
      }
    }
  } else if (atom->kind() == NodeKind::Equality) {
    const auto& eq = as<core::Equality>(*atom);
    replace_into(eq.left(), target, replacement, inner, budget);
    for (NodePtr& r : inner) out.push_back(core::Equality::make(std::move(r), eq.right()));
    inner.clear();
    replace_into(eq.right(), target, replacement, inner, budget);
    for (NodePtr& r : inner) out.push_back(core::Equality::make(eq.left(), std::move(r)));
  }
  return out;
}

// ---------------------------------------------------------------------------
// Paramodulation
// ---------------------------------------------------------------------------
namespace {

struct ParamodulationRun {
  std::vector<Paramodulant> results;
  ClauseSet seen;
  core::InterruptPoller* poller;

  // The positive equations of `rewriting` rewrite the literals of `target`.
  void rewrite(const Clause& rewriting, const Clause& target) {
    std::optional<Clause> storage;
    const Clause& b = renamed(target, renaming_apart(rewriting, target), storage);
    const auto& eqs = rewriting.literals();
    for (std::size_t e = 0; e < eqs.size(); ++e) {
      if (!eqs[e].positive() || eqs[e].atom()->kind() != NodeKind::Equality) continue;
      const auto& eq = as<core::Equality>(*eqs[e].atom());
      orientation(rewriting, e, eq.left(), eq.right(), b);
      orientation(rewriting, e, eq.right(), eq.left(), b);
    }
  }

  void orientation(const Clause& a, std::size_t e, const NodePtr& lhs, const NodePtr& rhs, const Clause& b) {
    const auto& lits = b.literals();
    for (std::size_t l = 0; l < lits.size(); ++l) {
      core::NodeSet tried;
      for (const NodePtr& s : extract_atom_subterms(lits[l].atom())) {
        poll(poller);
        if (s->kind() == NodeKind::Variable || symbols_clash(*s, *lhs)) continue;
        // A subterm met again in the same literal yields only what its first
        // occurrence already gave (the same unifier, the same occurrences).
        if (!tried.insert(s)) continue;
        try {
          subterm(a, e, b, l, s, lhs, rhs);
        } catch (const core::UnificationError&) {
          // no unifier for this subterm (a sort clash included): go on with the next
        }
      }
    }
  }

  void subterm(const Clause& a, std::size_t e, const Clause& b, std::size_t l, const NodePtr& s, const NodePtr& lhs,
               const NodePtr& rhs) {
    auto sigma = std::make_shared<const Substitution>(core::unify_terms(s, lhs));
    const Literal& target = b.literals()[l];
    std::vector<Literal> literals;
    for (NodePtr& atom : replace_atom_subterm(target.atom(), s, rhs)) {
      literals.clear();
      append_except(a, e, literals);
      append_except(b, l, literals);
      literals.emplace_back(std::move(atom), target.positive());
      Clause p = instantiate(literals, *sigma);
      if (seen.insert(p)) results.push_back({std::move(p), sigma});
    }
  }
};

}  // namespace

std::vector<Paramodulant> paramodulate(const Clause& c1, const Clause& c2, core::InterruptPoller* poller) {
  ParamodulationRun run{{}, {}, poller};
  run.rewrite(c1, c2);
  run.rewrite(c2, c1);
  return std::move(run.results);
}

// ---------------------------------------------------------------------------
// Second-order templates
// ---------------------------------------------------------------------------
std::optional<AlignedBinders> align_bound_variables(const core::Quantifier& conclusion, const core::Quantifier& goal) {
  const VariablePtr& x = conclusion.variable();
  const VariablePtr& y = goal.variable();
  if (x->var_kind() != y->var_kind() || !core::same_sort(x->sort(), y->sort())) return std::nullopt;
  if (core::equal(*x, *y)) return AlignedBinders{x, conclusion.body(), goal.body()};
  if (!core::free_variables(goal.body()).contains(x))
    return AlignedBinders{x, conclusion.body(), core::substitute_formula(goal.body(), Substitution{{y, x}})};
  // The goal uses the template's variable freely: both move to a fresh one.
  std::int64_t top = std::max(sol::max_variable_id(conclusion.body()), sol::max_variable_id(goal.body()));
  VariablePtr z = Variable::make(core::fresh_id_after(std::max({top, x->id(), y->id()})), x->var_kind(), x->sort());
  return AlignedBinders{z, core::substitute_formula(conclusion.body(), Substitution{{x, z}}),
                        core::substitute_formula(goal.body(), Substitution{{y, z}})};
}

}  // namespace prover
