#include "prover/definitional_cnf.hpp"

#include <array>
#include <cstdint>
#include <unordered_map>
#include <utility>

#include "core/interrupt.hpp"
#include "core/limits.hpp"
#include "core/release.hpp"
#include "core/visitors.hpp"
#include "prover/formula_shape.hpp"

namespace prover {

using core::NodeKind;
using namespace shape;

namespace {

// The clauses that a subformula contributes where it occurs positively and
// where it occurs negatively, counted as the pipeline's distribution makes
// them (saturating).
struct ClauseCounts {
  std::uint64_t pos = 1, neg = 1;
};

// The clauses needed at a polarity: +1 positive, -1 negative, 0 both (the
// side of an equivalence).
std::uint64_t clauses_at(const ClauseCounts& c, int polarity) {
  return polarity > 0 ? c.pos : polarity < 0 ? c.neg : add_sat(c.pos, c.neg);
}

// The counts of a binary connective from those of its sides, as
// eliminate_implications and to_nnf rewrite it.
ClauseCounts combine(NodeKind kind, const ClauseCounts& a, const ClauseCounts& b) {
  switch (kind) {
    case NodeKind::And: return {add_sat(a.pos, b.pos), mul_sat(a.neg, b.neg)};
    case NodeKind::Or: return {mul_sat(a.pos, b.pos), add_sat(a.neg, b.neg)};
    case NodeKind::Implies: return {mul_sat(a.neg, b.pos), add_sat(a.pos, b.neg)};
    default:  // Iff: (~A | B) & (~B | A), its negation (A & ~B) | (B & ~A)
      return {add_sat(mul_sat(a.neg, b.pos), mul_sat(b.neg, a.pos)), mul_sat(add_sat(a.pos, b.neg), add_sat(b.pos, a.neg))};
  }
}

// The polarity of a side of a binary connective at `polarity`.
int side_polarity(NodeKind kind, bool left, int polarity) {
  if (kind == NodeKind::Iff) return 0;
  if (kind == NodeKind::Implies && left) return -polarity;
  return polarity;
}

// A subformula as the naming pass rewrote it, with its clause counts and
// its size as a tree.
struct Rewritten {
  NodePtr formula;
  ClauseCounts counts;
  std::uint64_t nodes = 1;
};

class SubformulaNamer {
 public:
  explicit SubformulaNamer(const NewPredicateName& new_name) : new_name_(new_name) {}

  Rewritten walk(const NodePtr& f, int polarity) {
    auto& memo = rewritten_[polarity + 1];
    if (const Rewritten* done = memo.find(f)) {
      // A subformula met again is written out once: later occurrences name it.
      if (done->nodes > core::limits::kCnfSharedSizeToName) return {name(f, done->formula, polarity), {}, 1};
      return *done;
    }
    core::RecursionGuard guard;
    const core::Node& n = *f;
    if (is_atom(n)) return {f, {}, 1};
    const bool shared = f.use_count() > 1;  // before the result holds it too
    Rewritten out;
    switch (n.kind()) {
      case NodeKind::Not: {
        Rewritten a = walk(operand_of(n), -polarity);
        out = {a.formula == operand_of(n) ? f : std::make_shared<const core::Not>(a.formula),
               {a.counts.neg, a.counts.pos}, add_sat(a.nodes, 1)};
        break;
      }
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Implies:
      case NodeKind::Iff: out = binary(f, polarity); break;
      case NodeKind::Forall:
      case NodeKind::Exists: {
        const auto& q = quantifier_of(n);
        Rewritten body = walk(q.body(), polarity);
        out = {body.formula == q.body() ? f : make_quantifier(n.kind(), q.variable(), body.formula), body.counts,
               add_sat(body.nodes, 1)};
        break;
      }
      default: refuse("Unsupported formula node: ", n);
    }
    if (!shared) return out;
    return memo.store(f, std::move(out));
  }

  std::vector<NodePtr> take_definitions() { return std::move(definitions_); }

 private:
  struct Name {
    NodePtr original;  // keeps the key's node alive
    std::vector<core::VariablePtr> variables;
    NodePtr atom;
    bool implies_body = false, implied_by_body = false;
  };


  Rewritten binary(const NodePtr& f, int polarity) {
    const core::Node& n = *f;
    const NodeKind kind = n.kind();
    const int polarities[2] = {side_polarity(kind, true, polarity), side_polarity(kind, false, polarity)};
    const NodePtr* originals[2] = {&left_of(n), &right_of(n)};
    Rewritten sides[2] = {walk(left_of(n), polarities[0]), Rewritten{}};
    sides[1] = walk(right_of(n), polarities[1]);
    ClauseCounts counts = combine(kind, sides[0].counts, sides[1].counts);
    while (clauses_at(counts, polarity) > core::limits::kCnfProductToName) {
      // Name the side that costs more clauses, or else the other, if that saves clauses.
      int order[2] = {0, 1};
      if (clauses_at(sides[1].counts, polarities[1]) > clauses_at(sides[0].counts, polarities[0])) std::swap(order[0], order[1]);
      bool named = false;
      for (int i : order) {
        ClauseCounts as_atom[2] = {sides[0].counts, sides[1].counts};
        as_atom[i] = ClauseCounts{};
        ClauseCounts after = combine(kind, as_atom[0], as_atom[1]);
        std::uint64_t cost = add_sat(clauses_at(after, polarity), clauses_at(sides[i].counts, polarities[i]));
        if (cost >= clauses_at(counts, polarity)) continue;
        sides[i] = {name(*originals[i], sides[i].formula, polarities[i]), {}, 1};
        counts = after;
        named = true;
        break;
      }
      if (!named) break;
    }
    NodePtr formula = sides[0].formula == left_of(n) && sides[1].formula == right_of(n)
                          ? f
                          : make_binary(kind, sides[0].formula, sides[1].formula);
    return {std::move(formula), counts, add_sat(1, add_sat(sides[0].nodes, sides[1].nodes))};
  }

  // The atom naming `original` (rewritten as `body`) over its free
  // variables; the first use at a polarity adds the definition it needs.
  NodePtr name(const NodePtr& original, const NodePtr& body, int polarity) {
    auto [it, fresh] = names_.try_emplace(original.get());
    Name& entry = it->second;
    if (fresh) {
      entry.original = original;
      for (const auto& v : *free_vars_.of(original)) entry.variables.push_back(v);
      std::vector<NodePtr> args(entry.variables.begin(), entry.variables.end());
      entry.atom = core::PredicateApp::make(core::Symbol(new_name_()), static_cast<std::int64_t>(args.size()), args);
    }
    // Positive occurrences need name -> body, negative ones body -> name.
    if (polarity >= 0 && !entry.implies_body) {
      entry.implies_body = true;
      define(entry, make_binary(NodeKind::Implies, entry.atom, body));
    }
    if (polarity <= 0 && !entry.implied_by_body) {
      entry.implied_by_body = true;
      define(entry, make_binary(NodeKind::Implies, body, entry.atom));
    }
    return entry.atom;
  }

  // The definition, closed over the name's variables.
  void define(const Name& entry, NodePtr body) {
    for (auto v = entry.variables.rbegin(); v != entry.variables.rend(); ++v)
      body = make_quantifier(NodeKind::Forall, *v, std::move(body));
    definitions_.push_back(std::move(body));
  }

  const NewPredicateName& new_name_;
  std::array<core::SharedNodeMemo<Rewritten>, 3> rewritten_;  // by polarity + 1
  std::unordered_map<const core::Node*, Name> names_;
  core::FreeVariableWalk free_vars_;
  std::vector<NodePtr> definitions_;
};

}  // namespace

DefinitionalClauses to_definitional_cnf(const NodePtr& formula, bool negated, core::SymbolRegistry* registry,
                                        const NewPredicateName& new_name) {
  if (!formula->is_formula()) refuse("Unsupported formula node: ", *formula);
  // The universal closure, negated for a target.
  NodePtr closed = universal_closure(formula);
  if (negated) closed = std::make_shared<const core::Not>(std::move(closed));

  // What the call builds is large; an error (a deadline, an interrupt) leaves
  // it to be freed in the background.
  core::ReleaseOnUnwind<SubformulaNamer> namer(new_name);
  NodePtr named = namer->walk(closed, 1).formula;
  core::ReleaseOnUnwind<std::vector<NodePtr>> definitions(namer->take_definitions());
  core::ReleaseOnUnwind<DefinitionalClauses> out;
  out->clauses = to_cnf(named, registry);
  for (const NodePtr& d : *definitions)
    for (Clause& c : to_cnf(d, registry)) out->definitions.push_back(std::move(c));
  return std::move(*out);
}

}  // namespace prover
