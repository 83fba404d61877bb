#include "constructive/kripke.hpp"

#include <algorithm>
#include <unordered_map>

#include "constructive/common.hpp"
#include "core/interrupt.hpp"
#include "core/parser.hpp"

namespace constructive {

std::string World::repr() const { return "World(id=" + std::to_string(id) + ", name=" + name + ")"; }

// Worlds that share an id almost always share their name too ("w" + id), so
// the id alone spreads them well; equality still compares both.
std::size_t WorldHash::operator()(const World& w) const { return std::hash<std::int64_t>{}(w.id); }

KripkeModel::KripkeModel(std::vector<World> worlds_, WorldMap<WorldSet> relations_,
                         WorldMap<FormulaSet> valuations_)
    : worlds(std::move(worlds_)), relations(std::move(relations_)), valuations(std::move(valuations_)) {}

bool KripkeModel::is_listed(const World& world) const {
  return std::find(worlds.begin(), worlds.end(), world) != worlds.end();
}

void KripkeModel::add_world(const World& world) {
  if (!is_listed(world)) worlds.push_back(world);
  relations[world].insert(world);
  valuations[world];
}

void KripkeModel::add_relation(const World& source, const World& target) {
  add_world(source);
  add_world(target);
  relations[source].insert(target);
  compute_transitive_closure();
  enforce_monotonicity();
}

void KripkeModel::add_valuation(const World& world, const core::NodePtr& formula) {
  add_world(world);
  valuations[world].insert(formula);
  for (const World& above : accessible_worlds(world)) valuations[above].insert(formula);
}

bool KripkeModel::is_accessible(const World& source, const World& target) const {
  const WorldSet* successors = relations.find(source);
  return successors && successors->contains(target);
}

WorldSet KripkeModel::accessible_worlds(const World& world) const {
  const WorldSet* successors = relations.find(world);
  return successors ? *successors : WorldSet{world};
}

// The fixpoint of "u gains the successors of each of its successors" is, for
// a listed u, the set of worlds reachable from u; a search from each listed
// world reaches it in one go.
void KripkeModel::compute_transitive_closure() {
  for (const World& w : worlds) relations[w].insert(w);
  core::InterruptPoller poller;
  for (const World& u : worlds) {
    WorldSet& reach = *relations.find(u);
    for (std::size_t i = 0; i < reach.size(); ++i) {
      poller.poll();
      const World v = reach.items()[i];
      const WorldSet* next = relations.find(v);
      if (!next || next == &reach) continue;
      for (const World& x : *next) reach.insert(x);
    }
  }
}

void KripkeModel::enforce_monotonicity() {
  bool changed = true;
  core::InterruptPoller poller;
  while (changed) {
    changed = false;
    for (const World& u : worlds) {
      poller.poll();
      const WorldSet* successors = relations.find(u);
      const FormulaSet* below = valuations.find(u);
      if (!successors || !below || below->empty()) continue;
      const std::vector<World> targets = successors->items();
      const std::vector<core::NodePtr> formulas = below->items();
      for (const World& v : targets) {
        if (v == u) continue;
        FormulaSet& above = valuations[v];
        for (const auto& a : formulas) changed |= above.insert(a);
      }
    }
  }
}

// What one forcing question has decided for shared subformulas, per world:
// a formula with shared subterms is decided once per distinct subformula
// and world instead of once per occurrence.
struct KripkeModel::ForcingMemo {
  struct Hash {
    std::size_t operator()(const std::pair<const core::Node*, World>& key) const {
      return std::hash<const core::Node*>()(key.first) * 1000003u ^ WorldHash()(key.second);
    }
  };
  std::unordered_map<std::pair<const core::Node*, World>, bool, Hash> decided;
};

bool KripkeModel::evaluate(const core::NodePtr& formula, const World& world) const {
  ForcingMemo memo;
  return forces(formula, world, memo);
}

// A subformula, through `evaluate` when a derived type replaces it.
bool KripkeModel::forces_part(const core::NodePtr& formula, const World& world, ForcingMemo& memo) const {
  return replaces_evaluate() ? evaluate(formula, world) : forces(formula, world, memo);
}

// Both implications; a replaced `evaluate` sees them as Implies nodes.
bool KripkeModel::forces_iff(const core::BinaryFormula& iff, const World& world, ForcingMemo& memo) const {
  if (replaces_evaluate())
    return evaluate(core::make_implies(iff.left(), iff.right()), world) &&
           evaluate(core::make_implies(iff.right(), iff.left()), world);
  return forces_everywhere_above(iff.left(), iff.right(), world, memo) &&
         forces_everywhere_above(iff.right(), iff.left(), world, memo);
}

// Whether every successor of `world` that forces `left` also forces `right`;
// a null `right` stands for falsum (the negation of `left`).
bool KripkeModel::forces_everywhere_above(const core::NodePtr& left, const core::NodePtr& right,
                                          const World& world, ForcingMemo& memo) const {
  for (const World& s : accessible_worlds(world)) {
    if (forces_part(left, s, memo) && (!right || !forces_part(right, s, memo))) return false;
  }
  return true;
}

// A conjunction or disjunction, with the members of a left-nested chain of
// the same connective taken in a loop, so that long chains do not nest the
// recursion.  Members are decided left to right and the loop stops at the
// first one that decides the whole.
bool KripkeModel::forces_chain(const core::NodePtr& f, const World& world, ForcingMemo& memo) const {
  const core::NodeKind kind = f->kind();
  const bool decisive = kind == core::NodeKind::Or;  // the member value that decides the chain
  if (replaces_evaluate()) {
    const auto& b = core::as<core::BinaryFormula>(*f);
    if (evaluate(b.left(), world) == decisive) return decisive;
    return evaluate(b.right(), world);
  }
  std::vector<const core::NodePtr*> members;
  const core::NodePtr* at = &f;
  while ((*at)->kind() == kind) {
    const auto& b = core::as<core::BinaryFormula>(**at);
    members.push_back(&b.right());
    at = &b.left();
  }
  members.push_back(at);
  for (auto it = members.rbegin(); it != members.rend(); ++it)
    if (forces(**it, world, memo) == decisive) return decisive;
  return !decisive;
}

bool KripkeModel::forces(const core::NodePtr& f, const World& world, ForcingMemo& memo) const {
  if (f.use_count() <= 1 || f->kind() == core::NodeKind::PredicateApp) return decide(f, world, memo);
  std::pair<const core::Node*, World> key{f.get(), world};
  if (auto it = memo.decided.find(key); it != memo.decided.end()) return it->second;
  const bool forced = decide(f, world, memo);
  memo.decided.emplace(std::move(key), forced);
  return forced;
}

bool KripkeModel::decide(const core::NodePtr& f, const World& world, ForcingMemo& memo) const {
  core::RecursionGuard guard;
  if (is_falsum(*f)) return false;
  if (is_verum(*f)) return true;
  switch (f->kind()) {
    case NodeKind::PredicateApp: {
      const FormulaSet* true_here = valuations.find(world);
      return true_here && true_here->contains(f);
    }
    case NodeKind::Not: return forces_everywhere_above(core::as<core::Not>(*f).operand(), nullptr, world, memo);
    case NodeKind::And:
    case NodeKind::Or: return forces_chain(f, world, memo);
    case NodeKind::Implies: {
      const auto& b = core::as<core::BinaryFormula>(*f);
      return forces_everywhere_above(b.left(), b.right(), world, memo);
    }
    case NodeKind::Iff: return forces_iff(core::as<core::BinaryFormula>(*f), world, memo);
    default:
      throw core::TypeError(std::string("Kripke models force propositional formulas only, got ") + f->class_name());
  }
}

namespace {

std::vector<std::string> sorted_names(const WorldSet* set) {
  std::vector<std::string> names;
  if (set)
    for (const World& w : *set) names.push_back(w.name);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> sorted_texts(const FormulaSet* set) {
  std::vector<std::string> texts;
  if (set)
    for (const auto& f : *set) texts.push_back(core::to_string(*f));
  std::sort(texts.begin(), texts.end());
  return texts;
}

std::string join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

}  // namespace

ModelDict KripkeModel::to_dict() const {
  ModelDict d;
  for (const World& w : worlds) d.worlds.push_back(w.name);
  for (const World& w : worlds) d.relations.emplace_back(w.name, sorted_names(relations.find(w)));
  for (const World& w : worlds) d.valuations.emplace_back(w.name, sorted_texts(valuations.find(w)));
  return d;
}

std::string KripkeModel::to_string() const {
  std::vector<std::string> names;
  for (const World& w : worlds) names.push_back(w.name);
  std::vector<std::string> lines{"Kripke Model (W, <=, V):",
                                 "  Worlds: " + (names.empty() ? std::string("empty") : join(names, ", ")),
                                 "  Accessibility Relation (<=):"};
  for (const World& w : worlds) lines.push_back("    " + w.name + " <= {" + join(sorted_names(relations.find(w)), ", ") + "}");
  lines.push_back("  Valuations V(w):");
  for (const World& w : worlds) {
    auto texts = sorted_texts(valuations.find(w));
    lines.push_back("    V(" + w.name + ") = {" + (texts.empty() ? std::string("empty") : join(texts, ", ")) + "}");
  }
  return join(lines, "\n");
}

}  // namespace constructive
