#include "prover/engine_loop.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "core/limits.hpp"

namespace prover {

using namespace engine_parts;

namespace {

using core::limits::kMaxClauseWeight;

bool tautology(const Terms& terms, const std::vector<Lit>& lits) {
  for (std::size_t i = 0; i < lits.size(); ++i) {
    const Lit& l = lits[i];
    if (l.positive && is_equation(terms, l) && terms.arg(l.atom, 0) == terms.arg(l.atom, 1)) return true;
    for (std::size_t j = i + 1; j < lits.size(); ++j)
      if (lits[j].atom == l.atom && lits[j].positive != l.positive) return true;
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// The given-clause loop
// ---------------------------------------------------------------------------

// Pick the lightest passive clause (every fifth time the oldest) as the
// given clause, delete the kept clauses it subsumes, make it active, and
// draw every inference between it and the active clauses.  Each conclusion
// is simplified and checked as it is made (finish_conclusion merges
// duplicate literals; add_to_passive drops tautologies and subsumed clauses)
// and joins the passive clauses.
void Refutation::State::run(const SearchLimits& limits) {
  std::int64_t max_steps = std::max<std::int64_t>(limits.max_steps, 1);
  while (!refuted()) {
    check_limits();
    if (stats.given >= max_steps)
      throw NoProofError(NoProofError::Reason::StepLimit,
                         "no proof: the step limit of " + std::to_string(max_steps) + " given clauses is exhausted");
    std::uint32_t given = pick_given();
    if (given == kNone) {
      if (dropped)
        throw NoProofError(NoProofError::Reason::Saturated,
                           "no proof: no clause is left to select (some clauses were too large to keep)");
      throw NoProofError(NoProofError::Reason::Saturated, "no proof: the clause set is saturated");
    }
    ++stats.given;
    kept.delete_subsumed_by(given);
    activate(given);
    generate_inferences(given);
  }
}

void Refutation::State::check_limits() {
  poller.poll();
  core::ScopedDeadline::check();
}

std::uint32_t Refutation::State::pick_given() {
  ++picks;
  if (picks % 5 == 0) {
    std::uint32_t oldest = oldest_passive();
    if (oldest != kNone) return oldest;
  }
  while (!by_weight.empty()) {
    std::uint32_t id = by_weight.top().second;
    by_weight.pop();
    if (clauses[id].state == ClauseState::Passive) return id;
  }
  return oldest_passive();
}

std::uint32_t Refutation::State::oldest_passive() {
  while (age_cursor < clauses.size()) {
    std::uint32_t id = age_cursor++;
    if (clauses[id].state == ClauseState::Passive) return id;
  }
  return kNone;
}

void Refutation::State::activate(std::uint32_t id) {
  StoredClause& c = clauses[id];
  c.state = ClauseState::Active;
  ordering.mark_eligible(c);
  active.insert(id, c, has_equality());
}

void Refutation::State::generate_inferences(std::uint32_t gid) {
  // Inferences may add clauses (and so move the vector); copy what is read.
  const std::vector<bool> eligible = clauses[gid].eligible;
  const bool selection = clauses[gid].has_selection;
  const std::vector<Lit> own = clauses[gid].lits;
  const std::vector<Lit> g = shifted_literals(own);  // shares no variable with a partner
  for (std::uint32_t i = 0; i < g.size() && !refuted(); ++i) {
    if (!eligible[i]) continue;
    const Lit& l = g[i];
    const bool equation = is_equation(terms, l);
    if (!equation) resolve_with_active(gid, g, i);
    if (equation && !l.positive) equality_resolution(gid, own, i);
    if (!selection && l.positive) {
      if (equation)
        equality_factoring(gid, own, i);
      else
        factoring(gid, own, i, eligible);
    }
    if (has_equality()) {
      paramodulate_into_given(gid, g, i);
      if (l.positive && equation && !selection) paramodulate_from_given(gid, g, i);
    }
  }
}

// A new clause joins the passive ones unless it is a tautology, too heavy
// (a derived clause only) or subsumed by a kept clause.
void Refutation::State::add_to_passive(std::vector<Lit> lits, Rule rule, std::uint32_t p1, std::uint32_t p2) {
  if (refuted()) return;
  if (tautology(terms, lits)) return;
  std::uint64_t weight = 0;
  for (const Lit& l : lits) weight += terms.weight(l.atom);
  if (weight > kMaxClauseWeight && p1 != kNone) {
    dropped = true;
    return;
  }
  StoredClause c;
  c.lits = std::move(lits);
  c.weight = static_cast<std::uint32_t>(weight);
  c.parents[0] = p1;
  c.parents[1] = p2;
  c.rule = rule;
  for (const Lit& l : c.lits) c.key_mask |= key_bit(lit_key(terms, l));
  if (!c.lits.empty() && kept.subsumes_new(c)) return;
  std::uint32_t id = static_cast<std::uint32_t>(clauses.size());
  clauses.push_back(std::move(c));
  ++stats.kept;
  if (clauses[id].lits.empty()) {
    empty_clause = id;
    return;
  }
  kept.insert(id);
  by_weight.emplace(clauses[id].weight, id);
}

// ---------------------------------------------------------------------------
// Building conclusions
// ---------------------------------------------------------------------------

// Unifies two terms, or two atoms argument by argument.
bool Refutation::State::unify(TermId a, TermId b) {
  if (terms.bank().is_term(a)) return unifier.unify(a, b);
  if (terms.sym(a) != terms.sym(b) || terms.arity(a) != terms.arity(b)) return false;
  return unifier.unify_all(terms.bank().children(a), terms.bank().children(b));
}

// Copies a term with the bindings applied and the variables renumbered
// from 0 in order of first occurrence.
TermId Refutation::State::build(TermId t) {
  core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
  t = unifier.resolve(t);
  if (terms.is_var(t)) {
    std::uint32_t v = terms.var_index(t);
    auto& a = v < kShift ? rename_low : rename_high;
    std::uint32_t i = v < kShift ? v : v - kShift;
    if (i >= a.size()) a.resize(std::max<std::size_t>(i + 1, a.size() * 2), kNone);
    if (a[i] == kNone) {
      a[i] = next_var++;
      renamed_vars.push_back(v);
    }
    return terms.var(a[i], terms.sort_of(t));
  }
  if (terms.ground(t)) return t;
  std::uint32_t n = terms.arity(t);
  std::size_t base = args_scratch.size();
  for (std::uint32_t i = 0; i < n; ++i) {
    TermId a = build(terms.arg(t, i));
    args_scratch.push_back(a);
  }
  TermId out = terms.rebuild(t, args_scratch.data() + base, n);
  args_scratch.resize(base);
  return out;
}

void Refutation::State::begin_conclusion() {
  conclusion.clear();
  for (std::uint32_t v : renamed_vars) (v < kShift ? rename_low[v] : rename_high[v - kShift]) = kNone;
  renamed_vars.clear();
  next_var = 0;
}

void Refutation::State::add_literals_except(const std::vector<Lit>& lits, std::uint32_t left_out) {
  for (std::uint32_t k = 0; k < lits.size(); ++k)
    if (k != left_out) add_literal(lits[k].atom, lits[k].positive);
}

// Undoes the inference's bindings (back to `mark`), removes duplicate
// literals and keeps the conclusion (unless redundant).
void Refutation::State::finish_conclusion(Rule rule, std::uint32_t p1, std::uint32_t p2, std::size_t mark) {
  unifier.undo(mark);
  ++stats.generated;
  std::vector<Lit> lits;
  lits.reserve(conclusion.size());
  for (const Lit& l : conclusion)
    if (std::find(lits.begin(), lits.end(), l) == lits.end()) lits.push_back(l);
  add_to_passive(std::move(lits), rule, p1, p2);
  if (++emitted_since_clock >= core::limits::kConclusionsPerLimitCheck) {
    emitted_since_clock = 0;
    check_limits();
  }
}

// The atom with the subterm at pre-order position `target` replaced.
TermId Refutation::State::replace_at(TermId t, std::uint32_t& counter, std::uint32_t target, TermId replacement) {
  core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
  if (counter == target) {
    ++counter;
    return replacement;
  }
  ++counter;
  if (terms.is_var(t)) return t;
  std::uint32_t n = terms.arity(t);
  std::vector<TermId> args(n);
  bool changed = false;
  for (std::uint32_t i = 0; i < n; ++i) {
    TermId a = terms.arg(t, i);
    if (!changed) {
      std::uint32_t before = counter;
      args[i] = replace_at(a, counter, target, replacement);
      changed = args[i] != a || (before <= target && target < counter);
    } else {
      args[i] = a;
    }
  }
  return terms.rebuild(t, args.data(), n);
}

// The literals with their variables moved to the range from kShift on.
std::vector<Lit> Refutation::State::shifted_literals(const std::vector<Lit>& lits) {
  std::vector<Lit> shifted;
  for (const Lit& l : lits) shifted.push_back({shift_term(l.atom), l.positive});
  return shifted;
}

TermId Refutation::State::shift_term(TermId t) {
  core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
  if (terms.ground(t)) return t;
  if (terms.is_var(t)) return terms.var(terms.var_index(t) + kShift, terms.sort_of(t));
  std::uint32_t n = terms.arity(t);
  std::vector<TermId> args(n);
  for (std::uint32_t i = 0; i < n; ++i) args[i] = shift_term(terms.arg(t, i));
  return terms.rebuild(t, args.data(), n);
}

// ---------------------------------------------------------------------------
// The inferences with the given clause: `g` is the given clause renamed
// apart, `own` (or `c`) the same with its own variables, for inferences
// within the clause.
// ---------------------------------------------------------------------------

// σ((G \ {L}) ∪ (D \ {M})) with σ = mgu(L, M), M of the other sign, for every
// active partner D.
void Refutation::State::resolve_with_active(std::uint32_t gid, const std::vector<Lit>& g, std::uint32_t i) {
  const Lit& l = g[i];
  const std::vector<LitRef>* partners = active.resolution_partners(l);
  if (!partners) return;
  Fingerprint fp = fingerprint(terms, l.atom);
  // Conclusions enter no active index, so the partners stay as they are.
  std::size_t count = partners->size();
  for (std::size_t k = 0; k < count && !refuted(); ++k) {
    poller.poll();
    LitRef ref = (*partners)[k];
    if (clauses[ref.clause].state != ClauseState::Active || !may_unify(fp, ref.fp)) continue;
    TermId other = clauses[ref.clause].lits[ref.lit].atom;
    std::size_t mark = unifier.mark();
    if (!unify(l.atom, other)) continue;
    begin_conclusion();
    add_literals_except(g, i);
    add_literals_except(clauses[ref.clause].lits, ref.lit);
    finish_conclusion(Rule::Resolution, gid, ref.clause, mark);
  }
}

// σ(C \ {L_j}) with σ = mgu(L_i, L_j), two positive literals of one predicate.
void Refutation::State::factoring(std::uint32_t gid, const std::vector<Lit>& c, std::uint32_t i,
                                  const std::vector<bool>& eligible) {
  for (std::uint32_t j = 0; j < c.size() && !refuted(); ++j) {
    if (j == i || !c[j].positive || is_equation(terms, c[j]) || terms.sym(c[j].atom) != terms.sym(c[i].atom)) continue;
    if (eligible[j] && j < i) continue;  // the pair was tried from j
    std::size_t mark = unifier.mark();
    if (!unify(c[i].atom, c[j].atom)) continue;
    begin_conclusion();
    add_literals_except(c, j);
    finish_conclusion(Rule::Factoring, gid, kNone, mark);
  }
}

// σ(C \ {s ≠ t}) with σ = mgu(s, t).
void Refutation::State::equality_resolution(std::uint32_t gid, const std::vector<Lit>& c, std::uint32_t i) {
  std::size_t mark = unifier.mark();
  if (!unify(terms.arg(c[i].atom, 0), terms.arg(c[i].atom, 1))) return;
  begin_conclusion();
  add_literals_except(c, i);
  finish_conclusion(Rule::EqualityResolution, gid, kNone, mark);
}

// From s = t ∨ u = v ∨ C with σ = mgu(s, u): (t ≠ v ∨ u = v ∨ C)σ.
void Refutation::State::equality_factoring(std::uint32_t gid, const std::vector<Lit>& c, std::uint32_t i) {
  for_each_usable_side(c[i].atom, [&](std::uint32_t, TermId lhs, TermId rhs) {
    for (std::uint32_t j = 0; j < c.size() && !refuted(); ++j) {
      if (j == i || !c[j].positive || !is_equation(terms, c[j])) continue;
      for (std::uint32_t u = 0; u < 2; ++u) {
        TermId ul = terms.arg(c[j].atom, u), ur = terms.arg(c[j].atom, 1 - u);
        std::size_t mark = unifier.mark();
        if (!unify(lhs, ul)) continue;
        begin_conclusion();
        add_literal(terms.equation(rhs, ur), false);
        add_literals_except(c, i);
        finish_conclusion(Rule::EqualityFactoring, gid, kNone, mark);
      }
    }
  });
}

// σ((from \ {l = r}) ∪ (into \ {L}) ∪ {L[p := r]}) with σ = mgu(l, L|p).
void Refutation::State::emit_paramodulant(const std::vector<Lit>& from, std::uint32_t eq_lit, std::uint32_t side,
                                          const std::vector<Lit>& into, std::uint32_t into_lit,
                                          std::uint32_t position, std::uint32_t from_id, std::uint32_t into_id,
                                          std::size_t mark) {
  TermId rhs = terms.arg(from[eq_lit].atom, 1 - side);
  begin_conclusion();
  add_literals_except(from, eq_lit);
  for (std::uint32_t k = 0; k < into.size(); ++k) {
    if (k != into_lit) {
      add_literal(into[k].atom, into[k].positive);
      continue;
    }
    std::uint32_t counter = 0;
    add_literal(replace_at(into[k].atom, counter, position, rhs), into[k].positive);
  }
  finish_conclusion(Rule::Paramodulation, from_id, into_id, mark);
}

// The given clause's equation g[i] rewrites subterms of active clauses.
void Refutation::State::paramodulate_from_given(std::uint32_t gid, const std::vector<Lit>& g, std::uint32_t i) {
  for_each_usable_side(g[i].atom, [&](std::uint32_t s, TermId lhs, TermId) {
    std::vector<SubtermRef> refs;
    if (terms.is_var(lhs)) {
      refs = active.all_subterms();
    } else if (const std::vector<SubtermRef>* with_top = active.subterms_with_top(terms.sym(lhs))) {
      refs = *with_top;
    } else {
      return;
    }
    for (const SubtermRef& ref : refs) {
      if (refuted()) return;
      poller.poll();
      if (clauses[ref.clause].state != ClauseState::Active) continue;
      std::size_t mark = unifier.mark();
      if (!unify(lhs, ref.term)) continue;
      const std::vector<Lit> into = clauses[ref.clause].lits;
      emit_paramodulant(g, i, s, into, ref.lit, ref.position, gid, ref.clause, mark);
    }
  });
}

// Equations of active clauses rewrite subterms of the given clause's g[i].
void Refutation::State::paramodulate_into_given(std::uint32_t gid, const std::vector<Lit>& g, std::uint32_t i) {
  std::vector<std::pair<std::uint32_t, TermId>> positions;
  for_each_rewritable(terms, ordering, g[i], [&](std::uint32_t pos, TermId t) { positions.emplace_back(pos, t); });
  for (auto [pos, t] : positions) {
    for (const SideRef& ref : active.sides_that_may_rewrite(t)) {
      if (refuted()) return;
      poller.poll();
      if (clauses[ref.clause].state != ClauseState::Active) continue;
      const std::vector<Lit> from = clauses[ref.clause].lits;
      std::size_t mark = unifier.mark();
      if (!unify(terms.arg(from[ref.lit].atom, ref.side), t)) continue;
      emit_paramodulant(from, ref.lit, ref.side, g, i, pos, ref.clause, gid, mark);
    }
  }
}

// ---------------------------------------------------------------------------
// Reading the input and the proof
// ---------------------------------------------------------------------------

void Refutation::State::load(const std::vector<InputClause>& input) {
  for (const InputClause& ic : input) {
    poller.poll();
    ClauseReader::VarMap vars;
    std::vector<Lit> lits;
    bool true_clause = false;
    for (const Literal& pl : ic.clause.literals()) {
      int truth;
      TermId atom = reader.atom_of(pl.atom(), vars, &truth);
      if (atom == kNone) {
        if ((truth == 1) == pl.positive()) true_clause = true;  // _top, or ¬_bot
        continue;                                               // _bot, or ¬_top: a false literal
      }
      Lit l{atom, pl.positive()};
      if (std::find(lits.begin(), lits.end(), l) == lits.end()) lits.push_back(l);
    }
    if (true_clause) continue;
    add_to_passive(std::move(lits), input_rule(ic.origin), kNone, kNone);
    if (refuted()) return;
  }
}

// The clauses the empty clause was derived from, in the order they were
// kept, each step naming its parents by their place in the proof.
ProofDAG Refutation::State::proof() {
  ProofDAG dag;
  if (!refuted()) return dag;
  std::vector<std::uint32_t> used;
  std::vector<std::uint32_t> stack{empty_clause};
  std::vector<bool> seen(clauses.size(), false);
  while (!stack.empty()) {
    poller.poll();
    std::uint32_t id = stack.back();
    stack.pop_back();
    if (seen[id]) continue;
    seen[id] = true;
    used.push_back(id);
    for (std::uint32_t p : clauses[id].parents)
      if (p != kNone) stack.push_back(p);
  }
  std::sort(used.begin(), used.end());
  std::unordered_map<std::uint32_t, std::size_t> step_of;
  for (std::uint32_t id : used) {
    poller.poll();
    const StoredClause& c = clauses[id];
    ProofStep step;
    step.rule = rule_name(c.rule);
    std::vector<Literal> lits;
    for (const Lit& l : c.lits) lits.emplace_back(terms.bank().to_node(l.atom), l.positive);
    step.clause = Clause(lits);
    for (std::uint32_t p : c.parents)
      if (p != kNone) step.parents.push_back(static_cast<std::int64_t>(step_of.at(p)));
    step_of.emplace(id, dag.steps.size());
    dag.steps.push_back(std::move(step));
  }
  return dag;
}

}  // namespace prover
