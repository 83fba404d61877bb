#include "constructive/resolution.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <numeric>

#include "constructive/common.hpp"
#include "core/exceptions.hpp"
#include "core/interrupt.hpp"
#include "core/parser.hpp"
#include "core/sorts.hpp"

namespace constructive {

// ---------------------------------------------------------------------------
// Literals and clauses
// ---------------------------------------------------------------------------
// The printer writes falsum as "_bot", the name a literal's text gives it.
PrefixedLiteral::PrefixedLiteral(Prefix prefix, std::int64_t polarity, core::NodePtr atom)
    : prefix_(std::move(prefix)), polarity_(polarity), atom_(std::move(atom)), atom_text_(core::to_string(*atom_)) {}

std::string PrefixedLiteral::to_string() const {
  return atom_text_ + "^" + std::to_string(polarity_) + ":" + prefix_.to_string();
}

bool PrefixedLiteral::operator==(const PrefixedLiteral& o) const {
  return prefix_ == o.prefix_ && polarity_ == o.polarity_ && core::equal(atom_, o.atom_);
}

PrefixedClause::PrefixedClause(std::vector<PrefixedLiteral> literals) {
  std::vector<PrefixedLiteral> unique;
  for (auto& l : literals)
    if (std::find(unique.begin(), unique.end(), l) == unique.end()) unique.push_back(std::move(l));
  std::vector<std::string> texts;
  for (const auto& l : unique) texts.push_back(l.to_string());
  std::vector<std::size_t> order(unique.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return texts[a] < texts[b]; });
  for (auto i : order) {
    literals_.push_back(unique[i]);
    texts_.push_back(texts[i]);
  }
}

PrefixedClause PrefixedClause::substitute(const PrefixSubstitution& s) const {
  std::vector<PrefixedLiteral> out;
  out.reserve(literals_.size());
  for (const auto& l : literals_) out.push_back(l.substitute(s));
  return PrefixedClause(std::move(out));
}

SymbolSet PrefixedClause::variables() const {
  SymbolSet out;
  for (const auto& l : literals_) out.insert_all(l.prefix().variables());
  return out;
}

SymbolSet PrefixedClause::constants() const {
  SymbolSet out;
  for (const auto& l : literals_) out.insert_all(l.prefix().constants());
  return out;
}

std::string PrefixedClause::to_string() const {
  if (literals_.empty()) return "[]";
  std::string out = "[ ";
  for (std::size_t i = 0; i < texts_.size(); ++i) {
    if (i) out += ", ";
    out += texts_[i];
  }
  return out + " ]";
}

bool PrefixedClause::operator==(const PrefixedClause& o) const {
  if (literals_.size() != o.literals_.size()) return false;
  for (const auto& l : literals_)
    if (std::find(o.literals_.begin(), o.literals_.end(), l) == o.literals_.end()) return false;
  return true;
}

std::vector<LiteralPair> complementary_pairs(const PrefixedClause& clause) {
  std::vector<LiteralPair> out;
  const auto& lits = clause.literals();
  for (std::size_t i = 0; i < lits.size(); ++i)
    for (std::size_t j = i + 1; j < lits.size(); ++j) {
      if (lits[i].polarity() == lits[j].polarity() || !core::equal(lits[i].atom(), lits[j].atom())) continue;
      if (lits[i].polarity() == 1)
        out.emplace_back(lits[i], lits[j]);
      else
        out.emplace_back(lits[j], lits[i]);
    }
  return out;
}

bool closed_by_constant(const PrefixedClause& clause) {
  // falsum assumed, or verum as a goal: the path is closed at once
  return std::any_of(clause.literals().begin(), clause.literals().end(), [](const PrefixedLiteral& l) {
    return (l.polarity() == 1 && is_falsum(*l.atom())) || (l.polarity() == 0 && is_verum(*l.atom()));
  });
}

bool closes_a_pair(const std::vector<LiteralPair>& pairs, const PrefixSubstitution& subst) {
  return std::any_of(pairs.begin(), pairs.end(), [&](const LiteralPair& pair) {
    return subst.apply(pair.first.prefix()) == subst.apply(pair.second.prefix());
  });
}

bool is_closed(const PrefixedClause& clause, const PrefixSubstitution& subst) {
  return closed_by_constant(clause) || closes_a_pair(complementary_pairs(clause), subst);
}

std::vector<PrefixedClause> clauses_of(const FormulaTree& tree) {
  std::vector<PrefixedClause> out;
  for (const auto& path : tree.paths()) {
    std::vector<PrefixedLiteral> lits;
    for (auto i : path) {
      const MatrixPosition& p = tree.node(i);
      lits.emplace_back(p.prefix, p.polarity, p.formula);
    }
    out.emplace_back(std::move(lits));
  }
  return out;
}

// ---------------------------------------------------------------------------
// Refutation search
// ---------------------------------------------------------------------------
namespace {

struct OutOfBudget {};

class Search {
 public:
  Search(const std::vector<PrefixedClause>& clauses, const SymbolOrder& order, const SearchLimits& limits)
      : clauses_(clauses), order_(order), limits_(limits) {
    for (const auto& c : clauses) {
      pairs_.push_back(complementary_pairs(c));
      closed_alone_.push_back(closed_by_constant(c));
    }
  }

  std::optional<Refutation> run() {
    std::vector<std::size_t> all(clauses_.size());
    std::iota(all.begin(), all.end(), 0);
    for (std::size_t i = 0; i < clauses_.size(); ++i)
      steps_.push_back(SearchStep{init_id(i), "initial", {}, clauses_[i], PrefixSubstitution(), std::nullopt});
    try {
      if (backtrack(all, PrefixSubstitution(), static_cast<std::int64_t>(clauses_.size())))
        return Refutation{std::move(steps_), steps_empty_id_, std::move(final_)};
    } catch (const OutOfBudget&) {
    }
    return std::nullopt;
  }

 private:
  static std::string init_id(std::size_t i) { return numbered("init_", static_cast<std::int64_t>(i + 1)); }
  static std::string numbered(const char* head, std::int64_t n) {
    std::string out = head;
    out += std::to_string(n);
    return out;
  }

  // `units` more search work; OutOfBudget past the budget or the deadline.
  void spend(std::uint64_t units) {
    poller_.poll();
    work_ = paths_detail::sat_add(work_, units);
    if (work_ > limits_.max_work) throw OutOfBudget{};
    if (limits_.deadline && (++calls_ & 15) == 0 && std::chrono::steady_clock::now() > *limits_.deadline)
      throw OutOfBudget{};
  }

  bool backtrack(const std::vector<std::size_t>& remaining, const PrefixSubstitution& subst, std::int64_t counter) {
    core::RecursionGuard guard;
    spend(1);
    std::vector<std::size_t> unclosed;
    for (auto i : remaining) {
      spend(1 + pairs_[i].size());
      if (!closed_alone_[i] && !closes_a_pair(pairs_[i], subst)) unclosed.push_back(i);
    }
    if (unclosed.empty()) {
      if (!is_admissible(order_, subst)) return false;
      std::vector<std::string> premises;
      for (std::size_t k = steps_.size() >= 2 ? steps_.size() - 2 : 0; k < steps_.size(); ++k)
        premises.push_back(steps_[k].id);
      steps_empty_id_ = numbered("s", counter + 1);
      steps_.push_back(SearchStep{steps_empty_id_, "empty_clause", premises, PrefixedClause(), subst, std::nullopt});
      final_ = subst;
      return true;
    }
    std::stable_sort(unclosed.begin(), unclosed.end(),
                     [&](std::size_t a, std::size_t b) { return pairs_[a].size() < pairs_[b].size(); });
    const std::size_t target = unclosed.front();
    std::vector<std::size_t> rest(unclosed.begin() + 1, unclosed.end());
    for (const auto& pair : pairs_[target]) {
      for (auto& unifier : unify_prefixes(pair.first.prefix(), pair.second.prefix(), subst)) {
        spend(1);
        if (!is_admissible(order_, unifier)) continue;
        ++counter;
        steps_.push_back(SearchStep{numbered("s", counter), "resolution", {init_id(target)}, PrefixedClause(),
                                    unifier, pair});
        if (backtrack(rest, unifier, counter)) return true;
        steps_.pop_back();
      }
    }
    return false;
  }

  const std::vector<PrefixedClause>& clauses_;
  const SymbolOrder& order_;
  SearchLimits limits_;
  std::vector<std::vector<LiteralPair>> pairs_;
  std::vector<bool> closed_alone_;
  std::vector<SearchStep> steps_;
  std::string steps_empty_id_;
  PrefixSubstitution final_;
  std::uint64_t work_ = 0;
  std::uint64_t calls_ = 0;
  core::InterruptPoller poller_;
};

}  // namespace

std::optional<Refutation> search_refutation(const std::vector<PrefixedClause>& clauses, const SymbolOrder& order,
                                            const SearchLimits& limits) {
  return Search(clauses, order, limits).run();
}

// ---------------------------------------------------------------------------
// Rising multiplicity
// ---------------------------------------------------------------------------
namespace {

// c multiplied with itself m times (m >= 1), by squaring.
paths_detail::Count power(paths_detail::Count c, std::int64_t m) {
  paths_detail::Count out = c;
  for (--m; m > 0; m >>= 1) {
    if (m & 1) out = paths_detail::product(out, c);
    c = paths_detail::product(c, c);
  }
  return out;
}

}  // namespace

paths_detail::Count paths_at_multiplicity(const FormulaTree& base, std::int64_t m) {
  using paths_detail::Count;
  m = std::max<std::int64_t>(m, 1);
  std::vector<Count> counts(base.nodes().size());
  for (auto i : base.positions()) {  // post-order: children first
    const MatrixPosition& p = base.node(i);
    Count c{1, 0};
    switch (p.type) {
      case PositionType::ATOM: c = {1, 1}; break;
      case PositionType::ALPHA:
        if (!p.children.empty()) c = {0, 0};
        for (auto k : p.children) c = paths_detail::sum(c, counts[k]);
        break;
      case PositionType::BETA:
      case PositionType::PSI:
        for (auto k : p.children) c = paths_detail::product(c, counts[k]);
        break;
      case PositionType::PHI:
        if (p.children.size() >= 2) c = power(paths_detail::sum(counts[p.children[0]], counts[p.children[1]]), m);
        break;
    }
    counts[i] = c;
  }
  return counts[base.root()];
}

std::uint64_t leaf_count(const core::NodePtr& f) {
  core::SharedNodeMemo<std::uint64_t> memo;
  auto walk = [&](auto& self, const core::NodePtr& n) -> std::uint64_t {
    core::RecursionGuard guard;
    const auto kind = n->kind();
    if (kind != core::NodeKind::And && kind != core::NodeKind::Or && kind != core::NodeKind::Implies) return 1;
    if (const std::uint64_t* known = memo.find(n)) return *known;
    const auto& bin = core::as<core::BinaryFormula>(*n);
    return memo.store(n, paths_detail::sat_add(self(self, bin.left()), self(self, bin.right())));
  };
  return walk(walk, f);
}

std::uint64_t leaf_count(const core::NodePtr& target, const std::vector<core::NodePtr>& premises) {
  std::uint64_t out = leaf_count(target);
  for (const auto& p : premises) out = paths_detail::sat_add(out, leaf_count(p));
  return out;
}

bool has_copies(const FormulaTree& tree) {
  return std::any_of(tree.nodes().begin(), tree.nodes().end(),
                     [](const MatrixPosition& p) { return p.type == PositionType::PHI; });
}

namespace {

// Builds the tree of the problem at multiplicity m in `slot`; false when the
// tree refuses to grow that large (its only ValueError), so that level and
// every higher one are not tried.
bool build_tree(std::optional<FormulaTree>& slot, const core::NodePtr& target, const std::vector<core::NodePtr>& premises,
                std::int64_t m) {
  try {
    slot.emplace(target, premises, m);
    return true;
  } catch (const core::ValueError&) {
    return false;
  }
}

}  // namespace

std::optional<PrefixedProof> prove_prefixed(const core::NodePtr& target, const std::vector<core::NodePtr>& premises,
                                            std::int64_t max_multiplicity, const SearchLimits& per_level) {
  auto past_deadline = [&] { return per_level.deadline && std::chrono::steady_clock::now() > *per_level.deadline; };
  std::optional<FormulaTree> built;
  if (!build_tree(built, target, premises, 1)) return std::nullopt;  // too large at every level
  const FormulaTree& base = *built;
  const bool copies = has_copies(base);
  for (std::int64_t m = 1; m <= max_multiplicity; ++m) {
    if (m > 1 && (!copies || past_deadline())) break;
    paths_detail::Count size = paths_at_multiplicity(base, m);
    // higher levels are larger still
    if (size.paths > kMaxSearchClauses || size.leaves > kMaxPathLeaves) break;
    std::optional<FormulaTree> larger;
    if (m > 1 && !build_tree(larger, target, premises, m)) break;
    const FormulaTree& tree = larger ? *larger : base;
    std::vector<PrefixedClause> clauses = clauses_of(tree);
    if (clauses.empty()) continue;
    if (auto found = search_refutation(clauses, tree.tree_order(), per_level))
      return PrefixedProof{std::move(*found), m};
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Resolution and factoring of single clauses
// ---------------------------------------------------------------------------
namespace {

PrefixedClause instance_without(const std::vector<PrefixedLiteral>& lits, const std::vector<const PrefixedLiteral*>& drop,
                                const PrefixSubstitution& u) {
  std::vector<PrefixedLiteral> out;
  for (const auto& l : lits) {
    bool dropped = std::any_of(drop.begin(), drop.end(), [&](const PrefixedLiteral* d) { return *d == l; });
    if (!dropped) out.push_back(l.substitute(u));
  }
  return PrefixedClause(std::move(out));
}

}  // namespace

std::vector<Inference> resolve_clauses(const PrefixedClause& c1, const PrefixedClause& c2,
                                       const PrefixSubstitution& start, const SymbolOrder* order) {
  std::vector<Inference> out;
  for (const auto& l1 : c1.literals())
    for (const auto& l2 : c2.literals()) {
      if (!core::equal(l1.atom(), l2.atom()) || l1.polarity() == l2.polarity()) continue;
      for (auto& u : unify_prefixes(l1.prefix(), l2.prefix(), start)) {
        if (order && !is_admissible(*order, u)) continue;
        std::vector<PrefixedLiteral> combined;
        for (const auto& l : c1.literals())
          if (!(l == l1)) combined.push_back(l);
        for (const auto& l : c2.literals())
          if (!(l == l2)) combined.push_back(l);
        PrefixedClause clause = instance_without(combined, {}, u);
        out.push_back(Inference{std::move(clause), std::move(u), l1, l2});
      }
    }
  return out;
}

std::vector<Inference> factor_clause(const PrefixedClause& clause, const PrefixSubstitution& start,
                                     const SymbolOrder* order) {
  std::vector<Inference> out;
  const auto& lits = clause.literals();
  for (std::size_t i = 0; i < lits.size(); ++i)
    for (std::size_t j = i + 1; j < lits.size(); ++j) {
      const auto &l1 = lits[i], &l2 = lits[j];
      if (!core::equal(l1.atom(), l2.atom()) || l1.polarity() != l2.polarity()) continue;
      for (auto& u : unify_prefixes(l1.prefix(), l2.prefix(), start)) {
        if (order && !is_admissible(*order, u)) continue;
        PrefixedClause factor = instance_without(lits, {&l2}, u);
        out.push_back(Inference{std::move(factor), std::move(u), l1, l2});
      }
    }
  return out;
}

// ---------------------------------------------------------------------------
// Relational translation
// ---------------------------------------------------------------------------
namespace {

core::NodePtr atom_at(const std::string& name, const core::NodePtr& world) {
  return core::PredicateApp::make(core::Symbol(name), 1, {world});
}

core::NodePtr relation(const core::NodePtr& from, const core::NodePtr& to) {
  return core::PredicateApp::make(core::Symbol("R"), 2, {from, to});
}

core::NodePtr forall(const core::NodePtr& v, const core::NodePtr& body) {
  return core::Quantifier::make(core::NodeKind::Forall, v, body);
}

[[noreturn]] void refuse(const core::Node& f) {
  throw core::ValueError(std::string("the relational translation covers propositional formulas only; got ") +
                         (f.kind() == core::NodeKind::PredicateApp ? "a PredicateApp with arguments"
                                                                   : std::string("a ") + f.class_name()) +
                         ": " + core::to_string(f));
}

}  // namespace

namespace {

core::NodePtr translate(const core::NodePtr& f, const core::NodePtr& world, std::int64_t& counter);

}  // namespace

core::NodePtr translate_ipc_to_fol(const core::NodePtr& f, const core::NodePtr& world, std::int64_t& counter) {
  // The translation writes out every occurrence of a shared subformula (each
  // implication below takes a world variable of its own).
  core::NodeCount size = core::formula_size_exact(*f);
  if (!size.fits_int64() || size.to_int64() > kMaxTranslatedNodes)
    throw core::ValueError("the formula is too large for the relational translation: " + size.decimal() +
                           " nodes as a tree, more than " + std::to_string(kMaxTranslatedNodes));
  return translate(f, world, counter);
}

namespace {

core::NodePtr translate(const core::NodePtr& f, const core::NodePtr& world, std::int64_t& counter) {
  core::RecursionGuard guard;
  if (is_falsum(*f)) return falsum();
  if (is_verum(*f)) return verum();
  switch (f->kind()) {
    case core::NodeKind::PredicateApp: {
      const auto& app = core::as<core::PredicateApp>(*f);
      if (app.arity() != 0 || !app.args().empty() || !app.pred().is_name()) refuse(*f);
      return atom_at(app.pred().name(), world);
    }
    case core::NodeKind::Not:
    case core::NodeKind::Implies: {
      core::NodePtr u = core::Variable::make(counter, core::VariableKind::INDIVIDUAL, core::ind_sort());
      if (counter == std::numeric_limits<std::int64_t>::max())
        throw std::overflow_error("the world variable counter runs past 64 bits");
      ++counter;
      core::NodePtr access = relation(world, u);
      if (f->kind() == core::NodeKind::Not) {
        core::NodePtr inner = translate(core::as<core::Not>(*f).operand(), u, counter);
        return forall(u, core::make_implies(access, core::make_not(inner)));
      }
      const auto& imp = core::as<core::BinaryFormula>(*f);
      core::NodePtr left = translate(imp.left(), u, counter);
      core::NodePtr right = translate(imp.right(), u, counter);
      return forall(u, core::make_implies(core::make_and(access, left), right));
    }
    case core::NodeKind::And:
    case core::NodeKind::Or: {
      const auto& bin = core::as<core::BinaryFormula>(*f);
      core::NodePtr left = translate(bin.left(), world, counter);
      core::NodePtr right = translate(bin.right(), world, counter);
      return core::BinaryFormula::make(f->kind(), left, right);
    }
    case core::NodeKind::Iff:
      return translate(normalize_formula(f), world, counter);
    default:
      refuse(*f);
  }
}

// Adds the names below f to `out`; a shared subformula is walked once.
void collect_names(const core::NodePtr& f, std::vector<std::string>& out, core::SharedNodeMemo<bool>& seen) {
  core::RecursionGuard guard;
  if (seen.find(f)) return;
  switch (f->kind()) {
    case core::NodeKind::PredicateApp: {
      const std::string& name = core::as<core::PredicateApp>(*f).pred().name();
      if (name != "_bot" && name != "_top" && std::find(out.begin(), out.end(), name) == out.end())
        out.push_back(name);
      break;
    }
    case core::NodeKind::Not: collect_names(core::as<core::Not>(*f).operand(), out, seen); break;
    case core::NodeKind::And:
    case core::NodeKind::Or:
    case core::NodeKind::Implies:
    case core::NodeKind::Iff: {
      const auto& bin = core::as<core::BinaryFormula>(*f);
      collect_names(bin.left(), out, seen);
      collect_names(bin.right(), out, seen);
      break;
    }
    default: break;
  }
  seen.store(f, true);
}

}  // namespace

std::vector<std::string> predicate_names(const core::NodePtr& f) {
  std::vector<std::string> out;
  core::SharedNodeMemo<bool> seen;
  collect_names(f, out, seen);
  return out;
}

std::vector<core::NodePtr> frame_axioms(std::vector<std::string> names) {
  core::NodePtr x = core::Variable::make(1, core::VariableKind::INDIVIDUAL, core::ind_sort());
  core::NodePtr y = core::Variable::make(2, core::VariableKind::INDIVIDUAL, core::ind_sort());
  core::NodePtr z = core::Variable::make(3, core::VariableKind::INDIVIDUAL, core::ind_sort());
  std::vector<core::NodePtr> out;
  out.push_back(forall(x, relation(x, x)));
  core::NodePtr rxy = relation(x, y), ryz = relation(y, z), rxz = relation(x, z);
  out.push_back(forall(x, forall(y, forall(z, core::make_implies(core::make_and(rxy, ryz), rxz)))));
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (const auto& name : names) {
    if (name == "R" || name == "_bot" || name == "_top") continue;
    core::NodePtr px = atom_at(name, x), py = atom_at(name, y);
    out.push_back(forall(x, forall(y, core::make_implies(core::make_and(px, rxy), py))));
  }
  return out;
}

}  // namespace constructive
