#include "prover/rules.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "core/bank.hpp"
#include "core/exceptions.hpp"
#include "core/limits.hpp"
#include "core/ordered.hpp"
#include "core/unify.hpp"
#include "core/unify_workspace.hpp"
#include "core/visitors.hpp"
#include "sol/kb_ext.hpp"
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

// Whether two atoms, or two terms, differ at the top in a way no unifier
// mends: another kind of atom or node, another predicate or function symbol,
// another constant.  A variable on either side clashes with nothing.
bool heads_clash(const Node& a, const Node& b) {
  if (a.kind() == NodeKind::Variable || b.kind() == NodeKind::Variable) return false;
  if (a.kind() != b.kind()) return true;
  switch (a.kind()) {
    case NodeKind::Constant: return !core::equal(a, b);
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp: {
      const core::Application& x = *core::as_application(a);
      const core::Application& y = *core::as_application(b);
      return !(x.symbol() == y.symbol()) || x.args().size() != y.args().size();
    }
    default: return false;
  }
}

// The unification work of one rule call.  The atoms of the clauses enter the
// workspace's term bank once; each candidate pair is unified on the trail (a
// failure costs no exception and leaves no binding) and undone afterwards.
// Only a pair that unifies is read back: its unifier as the substitution
// core::unify_formulas returns, its conclusion from the instantiated atoms,
// which the bank builds once each.  The workspace is borrowed when the first
// candidate pair needs it (a call whose pairs all fail the head test takes none).
using core::UnifierWorkspace;

UnifierWorkspace& workspace_of(std::optional<UnifierWorkspace>& slot) {
  if (!slot) slot.emplace();
  return *slot;
}

std::vector<core::TermId> atom_ids(UnifierWorkspace& ws, const Clause& c) {
  std::vector<core::TermId> ids;
  ids.reserve(c.size());
  for (const Literal& literal : c.literals()) ids.push_back(ws.id(literal.atom()));
  return ids;
}

// Two predicate applications of one symbol or two equations, argument by
// argument (side by side); false for anything else.
bool unify_atoms(UnifierWorkspace& ws, core::TermId a, core::TermId b) {
  const core::Bank& bank = ws.bank();
  NodeKind kind = bank.kind(a);
  if (kind != bank.kind(b)) return false;
  if (kind == NodeKind::PredicateApp ? bank.symbol_of(a) != bank.symbol_of(b) : kind != NodeKind::Equality)
    return false;
  return ws.unifier().unify_all(bank.children(a), bank.children(b));
}

// The literal over the atom `atom` (an id of the workspace's bank) under the bindings.
Literal instance(UnifierWorkspace& ws, core::TermId atom, bool positive) { return Literal(ws.instance(atom), positive); }

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
// Binary resolution
// ---------------------------------------------------------------------------
std::vector<Resolvent> resolve_clauses(const Clause& c1, const Clause& c2, core::InterruptPoller* poller) {
  std::optional<Clause> storage;
  const Clause& c2_std = renamed(c2, renaming_apart(c1, c2), storage);
  std::vector<Resolvent> results;
  ClauseSet seen;
  std::optional<UnifierWorkspace> slot;
  std::vector<core::TermId> atoms1, atoms2;
  const auto& lits1 = c1.literals();
  const auto& lits2 = c2_std.literals();
  for (std::size_t i = 0; i < lits1.size(); ++i) {
    for (std::size_t j = 0; j < lits2.size(); ++j) {
      poll(poller);
      if (lits1[i].positive() == lits2[j].positive() || heads_clash(*lits1[i].atom(), *lits2[j].atom())) continue;
      UnifierWorkspace& ws = workspace_of(slot);
      if (atoms1.empty()) {
        atoms1 = atom_ids(ws, c1);
        atoms2 = atom_ids(ws, c2_std);
      }
      if (!unify_atoms(ws, atoms1[i], atoms2[j])) continue;
      // sigma((c1 - {l1}) | (c2' - {l2})), the union taken in this order.
      LiteralSet literals;
      for (std::size_t k = 0; k < lits1.size(); ++k)
        if (k != i) literals.insert(instance(ws, atoms1[k], lits1[k].positive()));
      for (std::size_t k = 0; k < lits2.size(); ++k)
        if (k != j) literals.insert(instance(ws, atoms2[k], lits2[k].positive()));
      Clause resolvent(std::move(literals));
      if (seen.insert(resolvent)) results.push_back({std::move(resolvent), ws.bindings(), lits1[i], lits2[j]});
      ws.unifier().undo(0);
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
  std::optional<UnifierWorkspace> slot;
  std::vector<core::TermId> atoms;
  const auto& lits = c.literals();
  for (std::size_t i = 0; i < lits.size(); ++i) {
    for (std::size_t j = i + 1; j < lits.size(); ++j) {
      poll(poller);
      if (lits[i].positive() != lits[j].positive() || heads_clash(*lits[i].atom(), *lits[j].atom())) continue;
      UnifierWorkspace& ws = workspace_of(slot);
      if (atoms.empty()) atoms = atom_ids(ws, c);
      if (!unify_atoms(ws, atoms[i], atoms[j])) continue;
      LiteralSet literals;
      for (std::size_t k = 0; k < lits.size(); ++k) literals.insert(instance(ws, atoms[k], lits[k].positive()));
      Clause factored(std::move(literals));
      if (factored.size() < c.size() && seen.insert(factored)) results.push_back({std::move(factored), ws.bindings()});
      ws.unifier().undo(0);
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
  std::uint64_t count = 0;
  std::vector<const Node*> pending{term.get()};
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    if (++count > core::limits::kPlainOccurrenceWalk) return shared_occurrence_count(term);
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

void replace_into(const NodePtr& term, const NodePtr& target, const NodePtr& replacement, std::vector<NodePtr>& out,
                  BuildBudget& budget);

// Appends to `out` one copy of the application `app` per occurrence of
// `target` in its arguments, first argument first; `make` builds a copy from
// its new arguments.
template <typename Make>
void replace_in_arguments(const core::Application& app, const NodePtr& target, const NodePtr& replacement,
                          std::vector<NodePtr>& out, BuildBudget& budget, Make make) {
  std::vector<NodePtr> inner;
  for (std::size_t i = 0; i < app.args().size(); ++i) {
    inner.clear();
    replace_into(app.args()[i], target, replacement, inner, budget);
    for (NodePtr& r : inner) {
      budget.spend();
      std::vector<NodePtr> args = app.args();
      args[i] = std::move(r);
      out.push_back(make(std::move(args)));
    }
  }
}

// Appends to `out` one term per occurrence of `target` in `term`.
void replace_into(const NodePtr& term, const NodePtr& target, const NodePtr& replacement, std::vector<NodePtr>& out,
                  BuildBudget& budget) {
  core::RecursionGuard guard;
  if (core::equal(*term, *target)) out.push_back(replacement);
  if (term->kind() != NodeKind::FunctionApp) return;
  const auto& app = as<core::FunctionApp>(*term);
  replace_in_arguments(app, target, replacement, out, budget, [&](std::vector<NodePtr> args) -> NodePtr {
    return core::FunctionApp::make(app.func(), app.arity(), std::move(args), app.return_sort());
  });
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
    replace_in_arguments(app, target, replacement, out, budget, [&](std::vector<NodePtr> args) -> NodePtr {
      return core::PredicateApp::make(app.pred(), app.arity(), std::move(args));
    });
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
  std::optional<UnifierWorkspace> slot;
  core::InterruptPoller* poller = nullptr;

  struct Orientation {
    const NodePtr& lhs;  // unified with the subterm
    const NodePtr& rhs;  // put in its place
  };

  // One direction: the rewriting clause `a`, the target `b` renamed apart
  // from it, and the bank ids of their atoms (filled when first needed).
  struct Direction {
    const Clause& a;
    const Clause& b;
    std::vector<core::TermId> atoms_a, atoms_b;
  };

  // The positive equations of `rewriting` rewrite the literals of `target`.
  void rewrite(const Clause& rewriting, const Clause& target) {
    std::optional<Clause> storage;
    Direction d{rewriting, renamed(target, renaming_apart(rewriting, target), storage), {}, {}};
    const auto& eqs = rewriting.literals();
    for (std::size_t e = 0; e < eqs.size(); ++e) {
      if (!eqs[e].positive() || eqs[e].atom()->kind() != NodeKind::Equality) continue;
      const auto& eq = as<core::Equality>(*eqs[e].atom());
      const Orientation sides[] = {{eq.left(), eq.right()}, {eq.right(), eq.left()}};
      for (const Orientation& side : sides)
        for (std::size_t l = 0; l < d.b.size(); ++l) rewrite_literal(d, e, side, l);
    }
  }

  void rewrite_literal(Direction& d, std::size_t e, const Orientation& side, std::size_t l) {
    const Literal& target = d.b.literals()[l];
    core::NodeSet tried;
    for (const NodePtr& s : extract_atom_subterms(target.atom())) {
      poll(poller);
      // A subterm met again yields only what its first occurrence gave.
      if (s->kind() == NodeKind::Variable || heads_clash(*s, *side.lhs) || !tried.insert(s)) continue;
      UnifierWorkspace& ws = workspace_of(slot);
      if (d.atoms_a.empty()) {
        d.atoms_a = atom_ids(ws, d.a);
        d.atoms_b = atom_ids(ws, d.b);
      }
      if (!ws.unifier().unify(ws.id(s), ws.id(side.lhs))) continue;
      auto sigma = std::make_shared<const Substitution>(ws.bindings());
      for (NodePtr& atom : replace_atom_subterm(target.atom(), s, side.rhs)) {
        // sigma((a - {e}) | (b - {target}) | {target with this occurrence replaced})
        LiteralSet literals;
        for (std::size_t k = 0; k < d.a.size(); ++k)
          if (k != e) literals.insert(instance(ws, d.atoms_a[k], d.a.literals()[k].positive()));
        for (std::size_t k = 0; k < d.b.size(); ++k)
          if (k != l) literals.insert(instance(ws, d.atoms_b[k], d.b.literals()[k].positive()));
        literals.insert(instance(ws, ws.id(atom), target.positive()));
        Clause p(std::move(literals));
        if (seen.insert(p)) results.push_back({std::move(p), sigma});
      }
      ws.unifier().undo(0);
    }
  }
};

}  // namespace

std::vector<Paramodulant> paramodulate(const Clause& c1, const Clause& c2, core::InterruptPoller* poller) {
  ParamodulationRun run;
  run.poller = poller;
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

namespace {

// The engine's operations for instantiate_template.
struct NativeTemplateHost {
  using Formula = NodePtr;
  using Match = std::optional<sol::PredicateSubstitution>;
  using Predicate = sol::PredicateLambda;

  core::SymbolRegistry* registry;

  std::vector<Clause> no_clauses() const { return {}; }
  bool is_template(const NodePtr& f) const { return f->kind() == NodeKind::ForallPred; }
  core::SymbolVariablePtr template_variable(const NodePtr& f) const {
    return as<core::SecondOrderQuantifier>(*f).variable();
  }
  NodePtr template_body(const NodePtr& f) const { return as<core::SecondOrderQuantifier>(*f).body(); }
  bool is_implication(const NodePtr& f) const { return f->kind() == NodeKind::Implies; }
  NodePtr consequent(const NodePtr& f) const { return as<core::BinaryFormula>(*f).right(); }
  bool is_universal(const NodePtr& f) const { return f->kind() == NodeKind::Forall; }
  const core::Quantifier& quantifier(const NodePtr& f) const { return as<core::Quantifier>(*f); }
  Match match(const NodePtr& pattern, const NodePtr& target) const { return sol::ho_pattern_unify(pattern, target); }
  Match match_under(const NodePtr& pattern, const NodePtr& target, const VariablePtr& bound) const {
    core::VarSet bound_vars;
    bound_vars.insert(bound);
    return sol::ho_pattern_unify(pattern, target, bound_vars);
  }
  bool solves(const Match& m, const core::SymbolVariablePtr& var) const { return m && m->find(*var); }
  Predicate solution(const Match& m, const core::SymbolVariablePtr& var) const { return *m->find(*var); }
  Predicate solution_under(const Match& m, const core::SymbolVariablePtr& var, const VariablePtr&) const {
    return solution(m, var);  // the unifier's predicate already has the bound variable as its parameter
  }
  NodePtr substitute(const NodePtr& body, const core::SymbolVariablePtr& var, const Predicate& predicate) const {
    sol::PredicateSubstitution mapping;
    mapping.set(var, predicate);
    return sol::substitute_predicate(body, mapping);
  }
  bool is_induction_schema(const NodePtr& f) const { return sol::is_induction_schema(*f); }
  NodePtr induction_instance(const NodePtr& goal) const {
    const auto& q = as<core::Quantifier>(*goal);
    return sol::instantiate_induction(q.body(), q.variable());
  }
  void clausify(const NodePtr& f, std::vector<Clause>& out) const {
    for (Clause& c : to_cnf(f, registry)) out.push_back(std::move(c));
  }
};

}  // namespace

std::vector<Clause> instantiate_template(const NodePtr& axiom, const NodePtr& goal, core::SymbolRegistry* registry) {
  NativeTemplateHost host{registry};
  return instantiate_template(host, axiom, goal);
}

}  // namespace prover
