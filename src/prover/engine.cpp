#include "prover/engine.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <queue>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/exceptions.hpp"
#include "core/bank.hpp"
#include "core/interrupt.hpp"
#include "core/unify.hpp"

namespace prover {
namespace {

using TermId = std::uint32_t;
using SymId = std::uint32_t;
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Variables of a stored clause are numbered from 0; the given clause is
// renamed into the range from kShift on, so that it shares no variable with
// any partner.
constexpr std::uint32_t kShift = 1u << 24;
// Derived clauses heavier than this are not kept (their terms grow without
// bound on some problems); the search then no longer claims saturation.
constexpr std::uint32_t kMaxClauseWeight = 4000;

// ---------------------------------------------------------------------------
// Terms and atoms live in the shared bank (core/bank.hpp): equal structure
// gives equal ids, so term equality is id equality, and each id carries its
// weight (number of symbol and variable occurrences) and groundness.  This
// view adds what the loop reads: a top symbol per atom or term, with one
// reserved value for equations.  Unification and matching are the bank's
// trail unifier (core/unify.hpp).
// ---------------------------------------------------------------------------
class Terms {
 public:
  static constexpr SymId kEquality = kNone - 1;

  core::Bank& bank() { return bank_; }
  const core::Bank& bank() const { return bank_; }
  SymId equality() const { return kEquality; }

  bool is_var(TermId t) const { return bank_.is_variable(t); }
  std::uint32_t var_index(TermId t) const { return static_cast<std::uint32_t>(bank_.variable_id(t)); }
  std::uint32_t var_sort(TermId t) const { return bank_.sort_of(t); }
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

// ---------------------------------------------------------------------------
// Knuth-Bendix ordering: every symbol and variable weighs 1; precedence by
// arity, then by the order symbols were first seen; predicates above
// functions.
// ---------------------------------------------------------------------------
enum class Order { Greater, Less, Equal, Incomparable };

class Kbo {
 public:
  explicit Kbo(const Terms& terms) : terms_(terms) {}

  Order compare(TermId s, TermId t) {
    core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
    if (s == t) return Order::Equal;
    if (terms_.is_var(s)) return occurs(s, t) ? Order::Less : Order::Incomparable;
    if (terms_.is_var(t)) return occurs(t, s) ? Order::Greater : Order::Incomparable;
    balance_.clear();
    count_vars(s, 1);
    count_vars(t, -1);
    bool s_more = false, t_more = false;
    for (auto& [v, c] : balance_) {
      if (c > 0) s_more = true;
      if (c < 0) t_more = true;
    }
    auto greater = [&] { return t_more ? Order::Incomparable : Order::Greater; };
    auto less = [&] { return s_more ? Order::Incomparable : Order::Less; };
    std::uint32_t ws = terms_.weight(s), wt = terms_.weight(t);
    if (ws > wt) return greater();
    if (ws < wt) return less();
    auto ps = precedence(s), pt = precedence(t);
    if (ps > pt) return greater();
    if (ps < pt) return less();
    for (std::uint32_t i = 0, n = terms_.arity(s); i < n; ++i) {
      Order o = compare(terms_.arg(s, i), terms_.arg(t, i));
      if (o == Order::Equal) continue;
      if (o == Order::Greater) return greater();
      if (o == Order::Less) return less();
      return Order::Incomparable;
    }
    return Order::Equal;
  }

  bool greater(TermId s, TermId t) { return compare(s, t) == Order::Greater; }

 private:
  std::uint64_t precedence(TermId t) const {
    return (static_cast<std::uint64_t>(terms_.is_predicate(t)) << 62) |
           (static_cast<std::uint64_t>(terms_.arity(t)) << 32) | terms_.sym(t);
  }
  bool occurs(TermId v, TermId t) const {
    core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
    if (t == v) return true;
    if (terms_.is_var(t) || terms_.ground(t)) return false;
    for (std::uint32_t i = 0, n = terms_.arity(t); i < n; ++i)
      if (occurs(v, terms_.arg(t, i))) return true;
    return false;
  }
  void count_vars(TermId t, int delta) {
    core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
    if (terms_.is_var(t)) {
      for (auto& entry : balance_)
        if (entry.first == t) {
          entry.second += delta;
          return;
        }
      balance_.emplace_back(t, delta);
      return;
    }
    if (terms_.ground(t)) return;
    for (std::uint32_t i = 0, n = terms_.arity(t); i < n; ++i) count_vars(terms_.arg(t, i), delta);
  }

  const Terms& terms_;
  std::vector<std::pair<TermId, int>> balance_;
};

// ---------------------------------------------------------------------------
// Clauses
// ---------------------------------------------------------------------------
struct Lit {
  TermId atom;
  bool positive;
  bool operator==(const Lit& o) const { return atom == o.atom && positive == o.positive; }
};

enum class Rule : std::uint8_t {
  Axiom, NegatedGoal, Definition, Resolution, Factoring, Paramodulation, EqualityResolution, EqualityFactoring
};

Rule input_rule(InputClause::Origin origin) {
  switch (origin) {
    case InputClause::Origin::NegatedGoal: return Rule::NegatedGoal;
    case InputClause::Origin::Definition: return Rule::Definition;
    default: return Rule::Axiom;
  }
}

const char* rule_name(Rule r) {
  switch (r) {
    case Rule::Axiom: return "Axiom";
    case Rule::NegatedGoal: return "NegatedGoal";
    case Rule::Definition: return "Definition";
    case Rule::Resolution: return "BinaryResolution";
    case Rule::Factoring: return "Factoring";
    case Rule::Paramodulation: return "Paramodulation";
    case Rule::EqualityResolution: return "EqualityResolution";
    case Rule::EqualityFactoring: return "EqualityFactoring";
  }
  return "";
}

enum class ClauseState : std::uint8_t { Passive, Active, Dead };

struct StoredClause {
  std::vector<Lit> lits;
  std::uint32_t weight = 0;
  std::uint32_t parents[2] = {kNone, kNone};
  Rule rule = Rule::Axiom;
  ClauseState state = ClauseState::Passive;
  std::uint64_t key_mask = 0;    // bloom filter of the literals' predicate-and-sign keys
  std::vector<bool> eligible;    // filled when the clause becomes active
  bool has_selection = false;
};

std::uint64_t lit_key(const Terms& terms, const Lit& l) {
  return (static_cast<std::uint64_t>(terms.sym(l.atom)) << 1) | (l.positive ? 1u : 0u);
}
std::uint64_t key_bit(std::uint64_t key) { return 1ull << ((key * 0x9e3779b97f4a7c15ull) >> 58); }

// Top symbols at a few argument positions of an atom, for a quick test that
// two atoms might unify: 0 a variable at the position, 1 below a variable,
// 2 no such position, otherwise the symbol plus 3.
struct Fingerprint {
  static constexpr int kSize = 6;
  std::uint32_t at[kSize];
};

Fingerprint fingerprint(const Terms& terms, TermId atom) {
  static constexpr int kPaths[Fingerprint::kSize][2] = {{0, -1}, {1, -1}, {2, -1}, {0, 0}, {1, 0}, {0, 1}};
  Fingerprint fp;
  for (int k = 0; k < Fingerprint::kSize; ++k) {
    TermId t = atom;
    std::uint32_t value = 0;
    bool done = false;
    for (int step = 0; step < 2 && !done; ++step) {
      int i = kPaths[k][step];
      if (i < 0) break;
      if (terms.is_var(t)) {
        value = 1;
        done = true;
      } else if (static_cast<std::uint32_t>(i) >= terms.arity(t)) {
        value = 2;
        done = true;
      } else {
        t = terms.arg(t, static_cast<std::uint32_t>(i));
      }
    }
    if (!done) value = terms.is_var(t) ? 0 : terms.sym(t) + 3;
    fp.at[k] = value;
  }
  return fp;
}

bool may_unify(const Fingerprint& a, const Fingerprint& b) {
  for (int k = 0; k < Fingerprint::kSize; ++k) {
    std::uint32_t x = a.at[k], y = b.at[k];
    if (x <= 1 || y <= 1) continue;
    if (x != y) return false;
  }
  return true;
}

struct LitRef {
  std::uint32_t clause;
  std::uint32_t lit;
  Fingerprint fp;
};
struct SubtermRef {
  std::uint32_t clause;
  std::uint32_t lit;
  std::uint32_t position;  // pre-order index inside the atom (the atom is 0)
  TermId term;
};
struct SideRef {
  std::uint32_t clause;
  std::uint32_t lit;
  std::uint32_t side;  // 0: left side rewrites to the right one; 1: the reverse
};

}  // namespace

// ---------------------------------------------------------------------------
// The search state
// ---------------------------------------------------------------------------
struct Refutation::State {
  Terms terms;
  core::Unifier unifier{terms.bank()};

  // Unifies two terms, or two atoms argument by argument.
  bool unify(TermId a, TermId b) {
    if (terms.bank().is_term(a)) return unifier.unify(a, b);
    if (terms.sym(a) != terms.sym(b) || terms.arity(a) != terms.arity(b)) return false;
    return unifier.unify_all(terms.bank().children(a), terms.bank().children(b));
  }
  Kbo kbo{terms};
  std::vector<StoredClause> clauses;
  SearchStats stats;
  std::uint32_t empty_clause = kNone;
  bool has_equality = false;
  bool dropped = false;  // a clause was too heavy to keep

  // Indexes over active clauses.
  std::unordered_map<std::uint64_t, std::vector<LitRef>> resolution_index;
  std::unordered_map<SymId, std::vector<SubtermRef>> into_index;
  std::unordered_map<SymId, std::vector<SideRef>> from_index;
  std::vector<SideRef> from_variable_sides;
  // Indexes over kept clauses (passive and active), for subsumption.
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> by_one_key;   // under one key each
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> by_every_key; // under each of its keys
  std::vector<std::uint32_t> empty_keyed;  // kept clauses without literals (never: the empty clause ends the search)

  // Selection queues.
  std::priority_queue<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::pair<std::uint32_t, std::uint32_t>>,
                      std::greater<>>
      by_weight;
  std::uint32_t age_cursor = 0;
  std::uint64_t picks = 0;

  // Scratch space.
  std::vector<Lit> scratch;
  std::vector<Lit> shifted;
  std::vector<std::uint32_t> rename_low, rename_high;
  std::vector<std::uint32_t> renamed_vars;
  std::uint32_t next_var = 0;
  std::vector<TermId> args_scratch;

  // Interrupts and the time limit (core::ScopedDeadline), polled in every
  // loop that may run long: loading, inferences, subsumption, the proof.
  core::InterruptPoller poller;
  std::uint32_t emitted_since_clock = 0;

  // ---- conversion from the syntax tree ----
  std::uint32_t sort_id(const core::SortPtr& sort) { return terms.bank().sort(sort); }

  // The variables of one clause in order of first occurrence, and the terms
  // of its shared subterms (each converted once, whatever its occurrences).
  struct VarMap {
    std::vector<core::VariablePtr> vars;
    core::SharedNodeMemo<TermId> shared;
    std::uint32_t index_of(const core::VariablePtr& v) {
      for (std::uint32_t i = 0; i < vars.size(); ++i)
        if (core::equal(*vars[i], *v)) return i;
      vars.push_back(v);
      return static_cast<std::uint32_t>(vars.size() - 1);
    }
  };

  TermId term_of(const core::NodePtr& n, VarMap& vars) {
    if (const TermId* known = vars.shared.find(n)) return *known;
    return vars.shared.store(n, new_term_of(n, vars));
  }

  TermId new_term_of(const core::NodePtr& n, VarMap& vars) {
    core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
    using core::NodeKind;
    switch (n->kind()) {
      case NodeKind::Variable: {
        auto v = core::as_ptr<core::Variable>(n);
        if (v->var_kind() != core::VariableKind::INDIVIDUAL)
          throw core::ValueError("the resolution engine handles first-order clauses only");
        return terms.var(vars.index_of(v), sort_id(v->sort()));
      }
      case NodeKind::Constant: {
        const auto& c = core::as<core::Constant>(*n);
        return terms.bank().constant(terms.bank().symbol(c.name(), 0), sort_id(c.sort()));
      }
      case NodeKind::FunctionApp: {
        const auto& f = core::as<core::FunctionApp>(*n);
        if (!f.func().is_name()) throw core::ValueError("the resolution engine handles first-order clauses only");
        std::vector<TermId> args;
        for (const auto& a : f.args()) args.push_back(term_of(a, vars));
        SymId s = terms.bank().symbol(f.func().name(), static_cast<std::uint32_t>(args.size()));
        return terms.bank().function(s, args, sort_id(f.return_sort()));
      }
      default:
        throw core::ValueError(std::string("a term of the resolution engine cannot be a ") + n->class_name());
    }
  }

  // The atom of a literal, or kNone for _bot / _top (*truth set to their value).
  TermId atom_of(const core::NodePtr& atom, VarMap& vars, int* truth) {
    *truth = -1;
    if (atom->kind() == core::NodeKind::PredicateApp) {
      const auto& p = core::as<core::PredicateApp>(*atom);
      if (p.args().empty() && p.pred().is_name() && (p.pred().name() == "_bot" || p.pred().name() == "_top")) {
        *truth = p.pred().name() == "_top";
        return kNone;
      }
    }
    return plain_atom(atom, vars);
  }

  // The atom as it stands (falsum and verum as ordinary atoms).
  TermId plain_atom(const core::NodePtr& atom, VarMap& vars) {
    if (atom->kind() == core::NodeKind::Equality) {
      const auto& e = core::as<core::Equality>(*atom);
      TermId sides[2] = {term_of(e.left(), vars), term_of(e.right(), vars)};
      if (terms.sort_of(sides[0]) != terms.sort_of(sides[1]))
        throw core::ValueError("the two sides of an equation have different sorts");
      has_equality = true;
      return terms.equation(sides[0], sides[1]);
    }
    if (atom->kind() != core::NodeKind::PredicateApp)
      throw core::ValueError(std::string("a literal of the resolution engine cannot hold a ") + atom->class_name());
    const auto& p = core::as<core::PredicateApp>(*atom);
    if (!p.pred().is_name()) throw core::ValueError("the resolution engine handles first-order clauses only");
    std::vector<TermId> args;
    for (const auto& a : p.args()) args.push_back(term_of(a, vars));
    SymId s = terms.bank().symbol(p.pred().name(), static_cast<std::uint32_t>(args.size()));
    return terms.bank().predicate(s, args);
  }

  // ---- building conclusions ----
  // Copies a term with the bindings applied and the variables renumbered
  // from 0 in order of first occurrence.
  TermId build(TermId t) {
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
      return terms.var(a[i], terms.var_sort(t));
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

  void begin_conclusion() {
    scratch.clear();
    for (std::uint32_t v : renamed_vars) (v < kShift ? rename_low[v] : rename_high[v - kShift]) = kNone;
    renamed_vars.clear();
    next_var = 0;
  }
  void add_literal(TermId atom, bool positive) { scratch.push_back({build(atom), positive}); }

  // The atom with the subterm at pre-order position `target` replaced.
  TermId replace_at(TermId t, std::uint32_t& counter, std::uint32_t target, TermId replacement) {
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

  static bool complementary_or_trivial(const Terms& terms, const std::vector<Lit>& lits) {
    for (std::size_t i = 0; i < lits.size(); ++i) {
      const Lit& l = lits[i];
      if (l.positive && terms.sym(l.atom) == terms.equality() && terms.arg(l.atom, 0) == terms.arg(l.atom, 1))
        return true;
      for (std::size_t j = i + 1; j < lits.size(); ++j)
        if (lits[j].atom == l.atom && lits[j].positive != l.positive) return true;
    }
    return false;
  }

  // Undoes the inference's bindings (back to `mark`), removes duplicate
  // literals, drops tautologies and subsumed clauses, keeps the rest.
  void finish_conclusion(Rule rule, std::uint32_t p1, std::uint32_t p2, std::size_t mark) {
    unifier.undo(mark);
    ++stats.generated;
    std::vector<Lit> lits;
    lits.reserve(scratch.size());
    for (const Lit& l : scratch)
      if (std::find(lits.begin(), lits.end(), l) == lits.end()) lits.push_back(l);
    keep(std::move(lits), rule, p1, p2);
    if (++emitted_since_clock >= 64) {
      emitted_since_clock = 0;
      check_limits();
    }
  }

  void keep(std::vector<Lit> lits, Rule rule, std::uint32_t p1, std::uint32_t p2) {
    if (empty_clause != kNone) return;
    if (complementary_or_trivial(terms, lits)) return;
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
    if (!c.lits.empty() && forward_subsumed(c)) return;
    std::uint32_t id = static_cast<std::uint32_t>(clauses.size());
    clauses.push_back(std::move(c));
    ++stats.kept;
    if (clauses[id].lits.empty()) {
      empty_clause = id;
      return;
    }
    index_for_subsumption(id);
    by_weight.emplace(clauses[id].weight, id);
  }

  // ---- subsumption ----
  void index_for_subsumption(std::uint32_t id) {
    const StoredClause& c = clauses[id];
    std::size_t heaviest = 0;
    for (std::size_t i = 1; i < c.lits.size(); ++i)
      if (terms.weight(c.lits[i].atom) > terms.weight(c.lits[heaviest].atom)) heaviest = i;
    by_one_key[lit_key(terms, c.lits[heaviest])].push_back(id);
    std::vector<std::uint64_t> seen;
    for (const Lit& l : c.lits) {
      std::uint64_t k = lit_key(terms, l);
      if (std::find(seen.begin(), seen.end(), k) != seen.end()) continue;
      seen.push_back(k);
      by_every_key[k].push_back(id);
    }
  }

  // Whether the literals of `general` map injectively onto literals of
  // `specific` under one matching substitution.
  bool subsumes(const std::vector<Lit>& general, const std::vector<Lit>& specific) {
    if (general.size() > specific.size()) return false;
    std::size_t mark = unifier.mark();
    std::vector<bool> used(specific.size(), false);
    bool ok = subsume_from(general, 0, specific, used);
    unifier.undo(mark);
    return ok;
  }

  bool match_literal(const Lit& g, const Lit& s) {
    if (g.positive != s.positive || terms.sym(g.atom) != terms.sym(s.atom)) return false;
    if (unifier.match(g.atom, s.atom)) return true;
    if (terms.sym(g.atom) != terms.equality()) return false;
    // Equations match up to symmetry.
    std::size_t mark = unifier.mark();
    if (unifier.match(terms.arg(g.atom, 0), terms.arg(s.atom, 1))) {
      if (unifier.match(terms.arg(g.atom, 1), terms.arg(s.atom, 0))) return true;
      unifier.undo(mark);
    }
    return false;
  }

  bool subsume_from(const std::vector<Lit>& general, std::size_t i, const std::vector<Lit>& specific,
                    std::vector<bool>& used) {
    if (i == general.size()) return true;
    for (std::size_t j = 0; j < specific.size(); ++j) {
      if (used[j]) continue;
      std::size_t mark = unifier.mark();
      if (!match_literal(general[i], specific[j])) continue;
      used[j] = true;
      if (subsume_from(general, i + 1, specific, used)) return true;
      used[j] = false;
      unifier.undo(mark);
    }
    return false;
  }

  bool forward_subsumed(const StoredClause& c) {
    std::vector<std::uint64_t> keys;
    for (const Lit& l : c.lits) {
      std::uint64_t k = lit_key(terms, l);
      if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
    }
    for (std::uint64_t k : keys) {
      auto it = by_one_key.find(k);
      if (it == by_one_key.end()) continue;
      for (std::uint32_t id : it->second) {
        poller.poll();
        const StoredClause& d = clauses[id];
        if (d.state == ClauseState::Dead || d.lits.size() > c.lits.size()) continue;
        if ((d.key_mask & ~c.key_mask) != 0) continue;
        if (d.weight > c.weight) continue;
        if (subsumes(d.lits, c.lits)) return true;
      }
    }
    return false;
  }

  void backward_subsume(std::uint32_t given) {
    const StoredClause& g = clauses[given];
    const std::vector<std::uint32_t>* smallest = nullptr;
    for (const Lit& l : g.lits) {
      auto it = by_every_key.find(lit_key(terms, l));
      if (it == by_every_key.end()) return;  // no kept clause has this literal's key
      if (!smallest || it->second.size() < smallest->size()) smallest = &it->second;
    }
    if (!smallest) return;
    for (std::uint32_t id : *smallest) {
      poller.poll();
      if (id == given) continue;
      StoredClause& d = clauses[id];
      if (d.state == ClauseState::Dead || d.lits.size() < g.lits.size()) continue;
      if ((g.key_mask & ~d.key_mask) != 0 || g.weight > d.weight) continue;
      if (subsumes(g.lits, d.lits)) d.state = ClauseState::Dead;
    }
  }

  // ---- literal ordering and selection ----
  // A literal as a multiset of terms: P(..) is {P(..)}, ¬P(..) is {P(..), P(..)},
  // s = t is {s, t}, s ≠ t is {s, s, t, t}.
  void literal_multiset(const Lit& l, std::vector<TermId>& out) {
    out.clear();
    if (terms.sym(l.atom) == terms.equality()) {
      int copies = l.positive ? 1 : 2;
      for (int k = 0; k < copies; ++k) {
        out.push_back(terms.arg(l.atom, 0));
        out.push_back(terms.arg(l.atom, 1));
      }
    } else {
      out.push_back(l.atom);
      if (!l.positive) out.push_back(l.atom);
    }
  }

  // Multiset extension of the term ordering: a > b.
  bool multiset_greater(std::vector<TermId> a, std::vector<TermId> b) {
    // Cancel common elements.
    for (std::size_t i = 0; i < a.size();) {
      auto it = std::find(b.begin(), b.end(), a[i]);
      if (it != b.end()) {
        b.erase(it);
        a.erase(a.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    if (a.empty()) return false;
    for (TermId y : b) {
      bool dominated = false;
      for (TermId x : a)
        if (kbo.greater(x, y)) {
          dominated = true;
          break;
        }
      if (!dominated) return false;
    }
    return true;
  }

  bool literal_greater(const Lit& a, const Lit& b) {
    std::vector<TermId> ma, mb;
    literal_multiset(a, ma);
    literal_multiset(b, mb);
    return multiset_greater(std::move(ma), std::move(mb));
  }

  // Selects one negative literal (the heaviest), or marks the literals that
  // no other literal of the clause exceeds.
  void compute_eligible(StoredClause& c) {
    std::size_t n = c.lits.size();
    c.eligible.assign(n, false);
    std::size_t best = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (c.lits[i].positive) continue;
      if (best == n || terms.weight(c.lits[i].atom) > terms.weight(c.lits[best].atom)) best = i;
    }
    if (best != n) {
      c.eligible[best] = true;
      c.has_selection = true;
      return;
    }
    c.has_selection = false;
    for (std::size_t i = 0; i < n; ++i) {
      bool dominated = false;
      for (std::size_t j = 0; j < n && !dominated; ++j)
        if (j != i && literal_greater(c.lits[j], c.lits[i])) dominated = true;
      c.eligible[i] = !dominated;
    }
  }

  bool is_equation(const Lit& l) const { return terms.sym(l.atom) == terms.equality(); }

  // The orientations of an equation that may rewrite: side 0 rewrites left
  // to right, side 1 right to left; a side never rewrites into a larger one.
  void usable_sides(TermId atom, bool out[2]) {
    TermId l = terms.arg(atom, 0), r = terms.arg(atom, 1);
    Order o = kbo.compare(l, r);
    out[0] = o != Order::Less;
    out[1] = o != Order::Greater && o != Order::Equal;
  }

  // Calls f(position, subterm) for every non-variable subterm of an
  // eligible literal that paramodulation may rewrite.
  template <typename F>
  void for_each_rewritable(const Lit& l, F&& f) {
    std::uint32_t counter = 1;
    if (is_equation(l)) {
      TermId s = terms.arg(l.atom, 0), t = terms.arg(l.atom, 1);
      Order o = kbo.compare(s, t);
      std::uint32_t start_t = counter + subterm_count(s);
      if (o != Order::Less) walk_subterms(s, counter, f);
      counter = start_t;
      if (o != Order::Greater) walk_subterms(t, counter, f);
    } else {
      for (std::uint32_t i = 0, n = terms.arity(l.atom); i < n; ++i) walk_subterms(terms.arg(l.atom, i), counter, f);
    }
  }
  std::uint32_t subterm_count(TermId t) const {
    core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
    if (terms.is_var(t)) return 1;
    std::uint32_t n = 1;
    for (std::uint32_t i = 0; i < terms.arity(t); ++i) n += subterm_count(terms.arg(t, i));
    return n;
  }
  template <typename F>
  void walk_subterms(TermId t, std::uint32_t& counter, F& f) {
    core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
    std::uint32_t here = counter++;
    if (terms.is_var(t)) return;
    f(here, t);
    for (std::uint32_t i = 0, n = terms.arity(t); i < n; ++i) walk_subterms(terms.arg(t, i), counter, f);
  }

  // ---- activation ----
  void activate(std::uint32_t id) {
    StoredClause& c = clauses[id];
    c.state = ClauseState::Active;
    compute_eligible(c);
    for (std::uint32_t i = 0; i < c.lits.size(); ++i) {
      if (!c.eligible[i]) continue;
      const Lit& l = c.lits[i];
      if (!is_equation(l)) resolution_index[lit_key(terms, l)].push_back({id, i, fingerprint(terms, l.atom)});
      if (!has_equality) continue;
      for_each_rewritable(l, [&](std::uint32_t pos, TermId t) { into_index[terms.sym(t)].push_back({id, i, pos, t}); });
      if (is_equation(l) && l.positive && !c.has_selection) {
        bool sides[2];
        usable_sides(l.atom, sides);
        for (std::uint32_t s = 0; s < 2; ++s) {
          if (!sides[s]) continue;
          TermId from = terms.arg(l.atom, s);
          if (terms.is_var(from))
            from_variable_sides.push_back({id, i, s});
          else
            from_index[terms.sym(from)].push_back({id, i, s});
        }
      }
    }
  }

  // The given clause with its variables moved to the range from kShift on.
  void shift_given(const StoredClause& g) {
    shifted.clear();
    for (const Lit& l : g.lits) shifted.push_back({shift_term(l.atom), l.positive});
  }
  TermId shift_term(TermId t) {
    core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
    if (terms.ground(t)) return t;
    if (terms.is_var(t)) return terms.var(terms.var_index(t) + kShift, terms.var_sort(t));
    std::uint32_t n = terms.arity(t);
    std::vector<TermId> args(n);
    for (std::uint32_t i = 0; i < n; ++i) args[i] = shift_term(terms.arg(t, i));
    return terms.rebuild(t, args.data(), n);
  }

  // ---- inferences with the given clause ----
  void infer(std::uint32_t gid) {
    // Inferences may add clauses (and so move the vector); copy what is read.
    const std::vector<bool> eligible = clauses[gid].eligible;
    const bool selection = clauses[gid].has_selection;
    const std::vector<Lit> own = clauses[gid].lits;
    shift_given(clauses[gid]);
    const std::vector<Lit> g = shifted;
    for (std::uint32_t i = 0; i < g.size() && empty_clause == kNone; ++i) {
      if (!eligible[i]) continue;
      const Lit& l = g[i];
      if (!is_equation(l)) resolve_with_active(gid, g, i);
      if (is_equation(l) && !l.positive) equality_resolution(gid, own, i);
      if (!selection && l.positive) {
        if (is_equation(l))
          equality_factoring(gid, own, i, eligible);
        else
          factoring(gid, own, i, eligible);
      }
      if (has_equality) {
        paramodulate_into_given(gid, g, i);
        if (l.positive && is_equation(l) && !selection) paramodulate_from_given(gid, g, i);
      }
    }
  }

  void resolve_with_active(std::uint32_t gid, const std::vector<Lit>& g, std::uint32_t i) {
    const Lit& l = g[i];
    std::uint64_t key = (static_cast<std::uint64_t>(terms.sym(l.atom)) << 1) | (l.positive ? 0u : 1u);
    auto it = resolution_index.find(key);
    if (it == resolution_index.end()) return;
    Fingerprint fp = fingerprint(terms, l.atom);
    // The bucket may grow while we iterate (the given clause resolving with
    // itself adds nothing to it, but conclusions never enter it either).
    std::size_t count = it->second.size();
    for (std::size_t k = 0; k < count && empty_clause == kNone; ++k) {
      poller.poll();
      LitRef ref = resolution_index[key][k];
      if (clauses[ref.clause].state != ClauseState::Active || !may_unify(fp, ref.fp)) continue;
      TermId other = clauses[ref.clause].lits[ref.lit].atom;
      std::size_t mark = unifier.mark();
      if (!unify(l.atom, other)) continue;
      begin_conclusion();
      for (std::uint32_t j = 0; j < g.size(); ++j)
        if (j != i) add_literal(g[j].atom, g[j].positive);
      const std::vector<Lit>& o = clauses[ref.clause].lits;
      for (std::uint32_t j = 0; j < o.size(); ++j)
        if (j != ref.lit) add_literal(o[j].atom, o[j].positive);
      finish_conclusion(Rule::Resolution, gid, ref.clause, mark);
    }
  }

  void factoring(std::uint32_t gid, const std::vector<Lit>& c, std::uint32_t i, const std::vector<bool>& eligible) {
    for (std::uint32_t j = 0; j < c.size() && empty_clause == kNone; ++j) {
      if (j == i || !c[j].positive || is_equation(c[j]) || terms.sym(c[j].atom) != terms.sym(c[i].atom)) continue;
      if (eligible[j] && j < i) continue;  // the pair was tried from j
      std::size_t mark = unifier.mark();
      if (!unify(c[i].atom, c[j].atom)) continue;
      begin_conclusion();
      for (std::uint32_t k = 0; k < c.size(); ++k)
        if (k != j) add_literal(c[k].atom, c[k].positive);
      finish_conclusion(Rule::Factoring, gid, kNone, mark);
    }
  }

  void equality_resolution(std::uint32_t gid, const std::vector<Lit>& c, std::uint32_t i) {
    std::size_t mark = unifier.mark();
    if (!unify(terms.arg(c[i].atom, 0), terms.arg(c[i].atom, 1))) return;
    begin_conclusion();
    for (std::uint32_t k = 0; k < c.size(); ++k)
      if (k != i) add_literal(c[k].atom, c[k].positive);
    finish_conclusion(Rule::EqualityResolution, gid, kNone, mark);
  }

  // From s = t ∨ u = v ∨ C with σ = mgu(s, u): (t ≠ v ∨ u = v ∨ C)σ.
  void equality_factoring(std::uint32_t gid, const std::vector<Lit>& c, std::uint32_t i,
                          const std::vector<bool>& eligible) {
    (void)eligible;
    bool sides[2];
    usable_sides(c[i].atom, sides);
    for (std::uint32_t s = 0; s < 2; ++s) {
      if (!sides[s]) continue;
      TermId lhs = terms.arg(c[i].atom, s), rhs = terms.arg(c[i].atom, 1 - s);
      for (std::uint32_t j = 0; j < c.size() && empty_clause == kNone; ++j) {
        if (j == i || !c[j].positive || !is_equation(c[j])) continue;
        for (std::uint32_t u = 0; u < 2; ++u) {
          TermId ul = terms.arg(c[j].atom, u), ur = terms.arg(c[j].atom, 1 - u);
          std::size_t mark = unifier.mark();
          if (!unify(lhs, ul)) continue;
          begin_conclusion();
          TermId pair[2] = {rhs, ur};
          add_literal(terms.equation(pair[0], pair[1]), false);
          for (std::uint32_t k = 0; k < c.size(); ++k)
            if (k != i) add_literal(c[k].atom, c[k].positive);
          finish_conclusion(Rule::EqualityFactoring, gid, kNone, mark);
        }
      }
    }
  }

  // σ((from \ {l = r}) ∪ (into \ {L}) ∪ {L[p := r]}) with σ = mgu(l, L|p).
  void emit_paramodulant(const std::vector<Lit>& from, std::uint32_t eq_lit, std::uint32_t side,
                         const std::vector<Lit>& into, std::uint32_t into_lit, std::uint32_t position,
                         std::uint32_t from_id, std::uint32_t into_id, std::size_t mark) {
    TermId rhs = terms.arg(from[eq_lit].atom, 1 - side);
    begin_conclusion();
    for (std::uint32_t k = 0; k < from.size(); ++k)
      if (k != eq_lit) add_literal(from[k].atom, from[k].positive);
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

  void paramodulate_from_given(std::uint32_t gid, const std::vector<Lit>& g, std::uint32_t i) {
    bool sides[2];
    usable_sides(g[i].atom, sides);
    for (std::uint32_t s = 0; s < 2; ++s) {
      if (!sides[s]) continue;
      TermId lhs = terms.arg(g[i].atom, s);
      auto visit = [&](const SubtermRef& ref) {
        poller.poll();
        if (clauses[ref.clause].state != ClauseState::Active) return;
        std::size_t mark = unifier.mark();
        if (!unify(lhs, ref.term)) return;
        const std::vector<Lit> into = clauses[ref.clause].lits;
        emit_paramodulant(g, i, s, into, ref.lit, ref.position, gid, ref.clause, mark);
      };
      if (terms.is_var(lhs)) {
        std::vector<SubtermRef> all;
        for (auto& [sym, refs] : into_index) all.insert(all.end(), refs.begin(), refs.end());
        for (const auto& ref : all) {
          if (empty_clause != kNone) return;
          visit(ref);
        }
      } else {
        auto it = into_index.find(terms.sym(lhs));
        if (it == into_index.end()) continue;
        std::vector<SubtermRef> refs = it->second;
        for (const auto& ref : refs) {
          if (empty_clause != kNone) return;
          visit(ref);
        }
      }
    }
  }

  void paramodulate_into_given(std::uint32_t gid, const std::vector<Lit>& g, std::uint32_t i) {
    std::vector<std::pair<std::uint32_t, TermId>> positions;
    for_each_rewritable(g[i], [&](std::uint32_t pos, TermId t) { positions.emplace_back(pos, t); });
    for (auto [pos, t] : positions) {
      std::vector<SideRef> refs = from_variable_sides;
      auto it = from_index.find(terms.sym(t));
      if (it != from_index.end()) refs.insert(refs.end(), it->second.begin(), it->second.end());
      for (const SideRef& ref : refs) {
        if (empty_clause != kNone) return;
        poller.poll();
        if (clauses[ref.clause].state != ClauseState::Active) continue;
        const std::vector<Lit> from = clauses[ref.clause].lits;
        std::size_t mark = unifier.mark();
        if (!unify(terms.arg(from[ref.lit].atom, ref.side), t)) continue;
        emit_paramodulant(from, ref.lit, ref.side, g, i, pos, ref.clause, gid, mark);
      }
    }
  }

  // ---- the loop ----
  void check_limits() {
    poller.poll();
    core::ScopedDeadline::check();
  }

  std::uint32_t pick_given() {
    ++picks;
    if (picks % 5 == 0) {
      while (age_cursor < clauses.size()) {
        std::uint32_t id = age_cursor++;
        if (clauses[id].state == ClauseState::Passive) return id;
      }
    }
    while (!by_weight.empty()) {
      std::uint32_t id = by_weight.top().second;
      by_weight.pop();
      if (clauses[id].state == ClauseState::Passive) return id;
    }
    while (age_cursor < clauses.size()) {
      std::uint32_t id = age_cursor++;
      if (clauses[id].state == ClauseState::Passive) return id;
    }
    return kNone;
  }

  void run(const SearchLimits& limits) {
    std::int64_t max_steps = std::max<std::int64_t>(limits.max_steps, 1);
    while (empty_clause == kNone) {
      check_limits();
      if (stats.given >= max_steps)
        throw NoProofError(NoProofError::Reason::StepLimit,
                           "no proof: the step limit of " + std::to_string(max_steps) + " given clauses is exhausted");
      std::uint32_t id = pick_given();
      if (id == kNone) {
        if (dropped)
          throw NoProofError(NoProofError::Reason::Saturated,
                             "no proof: no clause is left to select (some clauses were too large to keep)");
        throw NoProofError(NoProofError::Reason::Saturated, "no proof: the clause set is saturated");
      }
      ++stats.given;
      backward_subsume(id);
      activate(id);
      infer(id);
    }
  }

  // ---- the proof ----
  ProofDAG proof() {
    ProofDAG dag;
    if (empty_clause == kNone) return dag;
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

  void load(const std::vector<InputClause>& input) {
    for (const InputClause& ic : input) {
      poller.poll();
      VarMap vars;
      std::vector<Lit> lits;
      bool true_clause = false;
      for (const Literal& pl : ic.clause.literals()) {
        int truth;
        TermId atom = atom_of(pl.atom(), vars, &truth);
        if (atom == kNone) {
          if ((truth == 1) == pl.positive()) true_clause = true;  // _top, or ¬_bot
          continue;                                               // _bot, or ¬_top: a false literal
        }
        Lit l{atom, pl.positive()};
        if (std::find(lits.begin(), lits.end(), l) == lits.end()) lits.push_back(l);
      }
      if (true_clause) continue;
      keep(std::move(lits), input_rule(ic.origin), kNone, kNone);
      if (empty_clause != kNone) return;
    }
  }
};

Refutation::Refutation() : state_(std::make_unique<State>()) {}
Refutation::~Refutation() = default;

void Refutation::load(const std::vector<InputClause>& clauses) { state_->load(clauses); }

void Refutation::run(const SearchLimits& limits) {
  if (state_->empty_clause != kNone) return;
  within_time_limit(limits.timeout_sec, [&] { state_->run(limits); });
}

ProofDAG Refutation::proof() const { return state_->proof(); }
const SearchStats& Refutation::stats() const { return state_->stats; }

bool same_up_to_renaming(const Clause& a, const Clause& b) {
  if (a.size() != b.size()) return false;
  Refutation::State s;
  auto convert = [&](const Clause& c) {
    Refutation::State::VarMap vars;
    std::vector<Lit> lits;
    for (const Literal& l : c.literals()) lits.push_back({s.plain_atom(l.atom(), vars), l.positive()});
    return lits;
  };
  std::vector<Lit> la = convert(a), lb = convert(b);
  return s.subsumes(la, lb) && s.subsumes(lb, la);
}

namespace {

// The names that the engine's new symbols could take: Skolem symbols
// ("sk_...") and definitions ("_def...").  Only these are ever asked about.
bool may_clash(const std::string& name) { return name.rfind("sk_", 0) == 0 || name.rfind("_def", 0) == 0; }

// The names of the symbols of a formula (predicates, functions, constants)
// that may clash, each distinct node walked once.
void collect_names(const core::NodePtr& formula, std::unordered_set<std::string>& names) {
  core::InterruptPoller poller;
  std::vector<const core::NodePtr*> stack{&formula};
  std::unordered_set<const core::Node*> seen;  // nodes with several owners only
  auto note = [&](const std::string& name) {
    if (may_clash(name)) names.insert(name);
  };
  while (!stack.empty()) {
    poller.poll();
    const core::NodePtr& n = *stack.back();
    stack.pop_back();
    if (n.use_count() > 1 && !seen.insert(n.get()).second) continue;
    if (n->kind() == core::NodeKind::Variable) continue;
    if (n->kind() == core::NodeKind::Constant) note(core::as<core::Constant>(*n).name());
    if (const core::Application* a = core::as_application(*n)) note(a->symbol().name());
    core::for_each_child(*n, [&](const auto& child) {
      if constexpr (std::is_same_v<std::decay_t<decltype(child)>, core::NodePtr>) stack.push_back(&child);
    });
  }
}

// What Skolemization and the definitions ask of the problem: a name is
// taken when a formula of the problem or the signature uses it, or an
// earlier Skolem symbol took it.
class ProblemRegistry final : public core::SymbolRegistry {
 public:
  ProblemRegistry(core::Signature* signature, std::unordered_set<std::string> names)
      : signature_(signature), names_(std::move(names)) {}
  bool holds_name(std::string_view name) const override {
    return names_.count(std::string(name)) || (signature_ && signature_->holds_name(name));
  }
  void register_constant(const std::string& name, const core::SortPtr& sort) override {
    names_.insert(name);
    if (signature_) signature_->register_constant(name, sort);
  }
  void register_function(const std::string& name, std::int64_t arity, const std::vector<core::SortPtr>& argument_sorts,
                         const core::SortPtr& return_sort) override {
    names_.insert(name);
    if (signature_) signature_->register_function(name, arity, argument_sorts, return_sort);
  }

 private:
  core::Signature* signature_;
  std::unordered_set<std::string> names_;
};

}  // namespace

TheoremProver::TheoremProver(std::shared_ptr<core::Signature> signature, config::SolverConfig config)
    : signature_(std::move(signature)), config_(config) {}

SearchLimits TheoremProver::limits(std::int64_t max_steps, double timeout_sec) {
  SearchLimits l;
  l.max_steps = std::max<std::int64_t>(max_steps, 1);
  l.timeout_sec = timeout_sec > 0.1 ? timeout_sec : 0.1;  // NaN becomes 0.1 too
  return l;
}

void TheoremProver::prepare(Refutation& search, const core::NodePtr& target,
                            const std::vector<core::NodePtr>& premises) const {
  if (!target) throw core::TypeError("the target must be a formula, got None");
  std::unordered_set<std::string> names;
  collect_names(target, names);
  for (const auto& p : premises) {
    if (!p) throw core::TypeError("a premise must be a formula, got None");
    collect_names(p, names);
  }
  ProblemRegistry registry(signature_.get(), std::move(names));
  // Definitions name their subformulas "_def0", "_def1", ..., skipping the names in use.
  std::uint64_t definitions = 0;
  NewPredicateName new_name = [&] {
    for (;;) {
      std::string name = "_def" + std::to_string(definitions++);
      if (!registry.holds_name(name)) return name;
    }
  };
  std::vector<InputClause> clauses;
  auto clausify = [&](const core::NodePtr& formula, InputClause::Origin origin) {
    DefinitionalClauses cnf = to_definitional_cnf(formula, origin == InputClause::Origin::NegatedGoal, &registry, new_name);
    for (Clause& c : cnf.clauses) clauses.push_back({std::move(c), origin});
    for (Clause& c : cnf.definitions) clauses.push_back({std::move(c), InputClause::Origin::Definition});
  };
  try {
    for (const auto& p : premises) clausify(p, InputClause::Origin::Premise);
    clausify(target, InputClause::Origin::NegatedGoal);
  } catch (const CnfTooLarge& e) {
    throw NoProofError(NoProofError::Reason::TooLarge, std::string("no proof: the problem is too large to clausify: ") + e.what());
  }
  search.load(clauses);
}

ProofDAG TheoremProver::prove(const core::NodePtr& target, const std::vector<core::NodePtr>& premises,
                              std::int64_t max_steps, double timeout_sec) const {
  SearchLimits bounds = limits(max_steps, timeout_sec);
  return within_time_limit(bounds.timeout_sec, [&] {
    Refutation search;
    prepare(search, target, premises);
    search.run(bounds);
    return search.proof();
  });
}

ProofDAG refute(const std::vector<InputClause>& clauses, const SearchLimits& limits, SearchStats* stats) {
  Refutation r;
  r.load(clauses);
  r.run(limits);
  if (stats) *stats = r.stats();
  return r.proof();
}

}  // namespace prover
