#include "constructive/resolution.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <stdexcept>
#include <numeric>

#include "constructive/common.hpp"
#include "core/exceptions.hpp"
#include "core/interrupt.hpp"
#include "core/limits.hpp"
#include "core/parser.hpp"
#include "core/sorts.hpp"

namespace constructive {

// ---------------------------------------------------------------------------
// Literals and clauses
// ---------------------------------------------------------------------------
// The printer writes falsum as "_bot", the name a literal's text gives it.
Polarity Polarity::from_decimal(const std::string& text) {
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc() && end == text.data() + text.size()) return Polarity(value);
  Polarity out;
  out.wide_ = std::make_shared<const std::string>(text);
  return out;
}

namespace {

// The digits of a magnitude (no sign, no leading zeros) plus or minus one.
std::string digits_plus_one(std::string digits) {
  std::size_t i = digits.size();
  while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
  if (i == 0) return "1" + digits;
  ++digits[i - 1];
  return digits;
}

std::string digits_minus_one(std::string digits) {  // digits > 0
  std::size_t i = digits.size();
  while (digits[i - 1] == '0') digits[--i] = '9';
  --digits[i - 1];
  if (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
  return digits;
}

}  // namespace

Polarity Polarity::complement() const {
  if (!wide_) {
    // 1 - p stays within 64 bits unless p is one of the two smallest values
    if (small_ > std::numeric_limits<std::int64_t>::min() + 1) return Polarity(1 - small_);
    return from_decimal(digits_plus_one(std::to_string(small_).substr(1)));
  }
  // 1 - p is -(p - 1) for p > 0 and |p| + 1 for p < 0
  const std::string& text = *wide_;
  if (text[0] == '-') return from_decimal(digits_plus_one(text.substr(1)));
  return from_decimal("-" + digits_minus_one(text));
}

PrefixedLiteral::PrefixedLiteral(Prefix prefix, Polarity polarity, core::NodePtr atom)
    : prefix_(std::move(prefix)),
      polarity_(std::move(polarity)),
      atom_(std::move(atom)),
      atom_text_(core::to_string(*atom_)) {}

std::string PrefixedLiteral::to_string() const {
  return atom_text_ + "^" + polarity_.to_string() + ":" + prefix_.to_string();
}

bool PrefixedLiteral::operator==(const PrefixedLiteral& o) const {
  return prefix_ == o.prefix_ && polarity_ == o.polarity_ && core::equal(atom_, o.atom_);
}

PrefixedClause::PrefixedClause(std::vector<PrefixedLiteral> literals) {
  std::vector<std::string> texts;
  texts.reserve(literals.size());
  for (const auto& l : literals) texts.push_back(l.to_string());
  adopt(std::move(literals), std::move(texts));
}

PrefixedClause::PrefixedClause(std::vector<PrefixedLiteral> literals, std::vector<std::string> texts) {
  adopt(std::move(literals), std::move(texts));
}

// Sorts the literals by their texts (ties in the order given) and keeps the
// first of equal literals; equal literals write equal texts, so they meet in
// one run of equal texts.
void PrefixedClause::adopt(std::vector<PrefixedLiteral> literals, std::vector<std::string> texts) {
  std::vector<std::size_t> order(literals.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return texts[a] < texts[b]; });
  literals_.reserve(literals.size());
  texts_.reserve(literals.size());
  std::size_t run = 0;  // where the run of texts equal to the current one starts in literals_
  for (auto i : order) {
    if (texts_.empty() || texts_.back() != texts[i]) run = literals_.size();
    bool repeated = std::find(literals_.begin() + static_cast<std::ptrdiff_t>(run), literals_.end(), literals[i]) !=
                    literals_.end();
    if (repeated) continue;
    literals_.push_back(std::move(literals[i]));
    texts_.push_back(std::move(texts[i]));
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

std::vector<std::pair<std::size_t, std::size_t>> complementary_pair_positions(const PrefixedClause& clause) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  const auto& lits = clause.literals();
  for (std::size_t i = 0; i < lits.size(); ++i)
    for (std::size_t j = i + 1; j < lits.size(); ++j) {
      if (lits[i].polarity() == lits[j].polarity() || !core::equal(lits[i].atom(), lits[j].atom())) continue;
      if (lits[i].polarity() == 1)
        out.emplace_back(i, j);
      else
        out.emplace_back(j, i);
    }
  return out;
}

std::vector<LiteralPair> complementary_pairs(const PrefixedClause& clause) {
  std::vector<LiteralPair> out;
  for (auto [first, second] : complementary_pair_positions(clause))
    out.emplace_back(clause.literals()[first], clause.literals()[second]);
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
  // a leaf lies on many paths: its literal and text are made once
  std::vector<std::optional<PrefixedLiteral>> literal_at(tree.nodes().size());
  std::vector<std::string> text_at(tree.nodes().size());
  std::vector<PrefixedClause> out;
  core::InterruptPoller poller;
  for (const auto& path : tree.paths()) {
    poller.poll();
    std::vector<PrefixedLiteral> lits;
    std::vector<std::string> texts;
    lits.reserve(path.size());
    texts.reserve(path.size());
    for (auto i : path) {
      if (!literal_at[i]) {
        const MatrixPosition& p = tree.node(i);
        literal_at[i].emplace(p.prefix, p.polarity, p.formula);
        text_at[i] = literal_at[i]->to_string();
      }
      lits.push_back(*literal_at[i]);
      texts.push_back(text_at[i]);
    }
    out.emplace_back(std::move(lits), std::move(texts));
  }
  return out;
}

// ---------------------------------------------------------------------------
// Refutation search
// ---------------------------------------------------------------------------
namespace {

struct OutOfBudget {};

// The open clauses are kept in a doubly linked list threaded through two
// index arrays, in the order the search closes them: fewest complementary
// pairs first, ties in clause order.  A level unlinks the clauses that its
// substitution closes (a closed clause stays closed under every extension)
// and the clause it resolves on, and links them back in reverse order when
// it fails, so the whole search holds a few indices per clause however deep
// it goes.
class Search {
 public:
  Search(const std::vector<PrefixedClause>& clauses, const SymbolOrder& order, const SearchLimits& limits)
      : clauses_(clauses), order_(order), limits_(limits), head_(clauses.size()) {
    pairs_.reserve(clauses.size());
    for (const auto& c : clauses) {
      auto& pairs = pairs_.emplace_back();
      for (auto [first, second] : complementary_pair_positions(c))
        pairs.push_back(PairRef{&c.literals()[first], &c.literals()[second]});
      closed_alone_.push_back(closed_by_constant(c));
    }
    std::vector<std::size_t> open(clauses.size());
    std::iota(open.begin(), open.end(), 0);
    std::stable_sort(open.begin(), open.end(),
                     [&](std::size_t a, std::size_t b) { return pairs_[a].size() < pairs_[b].size(); });
    next_.resize(clauses.size() + 1);
    prev_.resize(clauses.size() + 1);
    std::size_t last = head_;
    for (auto i : open) {
      next_[last] = i;
      prev_[i] = last;
      last = i;
    }
    next_[last] = head_;
    prev_[head_] = last;
  }

  // The derivation starts with one "initial" step per clause; those steps
  // are written once a refutation is found.
  std::optional<Refutation> run() {
    try {
      if (!backtrack(PrefixSubstitution(), static_cast<std::int64_t>(clauses_.size()))) return std::nullopt;
    } catch (const OutOfBudget&) {
      return std::nullopt;
    }
    std::vector<SearchStep> steps;
    steps.reserve(clauses_.size() + steps_.size());
    for (std::size_t i = 0; i < clauses_.size(); ++i)
      steps.push_back(SearchStep{init_id(i), "initial", {}, clauses_[i], PrefixSubstitution(), std::nullopt});
    for (auto& step : steps_) steps.push_back(std::move(step));
    return Refutation{std::move(steps), steps_empty_id_, std::move(final_)};
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
    if (limits_.deadline && ++calls_ % core::limits::kSearchChargesPerClockRead == 0 &&
        std::chrono::steady_clock::now() > *limits_.deadline)
      throw OutOfBudget{};
  }

  // Unlinking leaves the clause's own links as they were, so a walk that
  // stands on it goes on, and relinking in reverse order restores the list.
  void unlink(std::size_t i) {
    next_[prev_[i]] = next_[i];
    prev_[next_[i]] = prev_[i];
    unlinked_.push_back(i);
  }
  void relink_down_to(std::size_t mark) {
    while (unlinked_.size() > mark) {
      std::size_t i = unlinked_.back();
      unlinked_.pop_back();
      next_[prev_[i]] = i;
      prev_[next_[i]] = i;
    }
  }

  bool backtrack(const PrefixSubstitution& subst, std::int64_t counter) {
    core::RecursionGuard guard;
    spend(1);
    const std::size_t mark = unlinked_.size();
    for (std::size_t i = next_[head_]; i != head_; i = next_[i]) {
      spend(1 + pairs_[i].size());
      if (closed_alone_[i] || closes_a_pair(pairs_[i], subst)) unlink(i);
    }
    if (next_[head_] == head_) {
      if (is_admissible(order_, subst)) {
        // the last two steps of the derivation, initial steps included
        std::vector<std::string> premises;
        const std::size_t written = clauses_.size() + steps_.size();
        for (std::size_t k = written >= 2 ? written - 2 : 0; k < written; ++k)
          premises.push_back(k < clauses_.size() ? init_id(k) : steps_[k - clauses_.size()].id);
        steps_empty_id_ = numbered("s", counter + 1);
        steps_.push_back(SearchStep{steps_empty_id_, "empty_clause", premises, PrefixedClause(), subst, std::nullopt});
        final_ = subst;
        return true;
      }
      relink_down_to(mark);
      return false;
    }
    const std::size_t target = next_[head_];
    unlink(target);
    for (const auto& pair : pairs_[target]) {
      for (auto& unifier : unify_prefixes(pair.positive->prefix(), pair.negative->prefix(), subst)) {
        spend(1);
        if (!is_admissible(order_, unifier)) continue;
        ++counter;
        steps_.push_back(SearchStep{numbered("s", counter), "resolution", {init_id(target)}, PrefixedClause(),
                                    unifier, LiteralPair{*pair.positive, *pair.negative}});
        if (backtrack(unifier, counter)) return true;
        steps_.pop_back();
      }
    }
    relink_down_to(mark);
    return false;
  }

  // A complementary pair of a clause: its literals at polarity 1 and 0.
  struct PairRef {
    const PrefixedLiteral* positive;
    const PrefixedLiteral* negative;
  };
  static bool closes_a_pair(const std::vector<PairRef>& pairs, const PrefixSubstitution& subst) {
    return std::any_of(pairs.begin(), pairs.end(), [&](const PairRef& pair) {
      return subst.apply(pair.positive->prefix()) == subst.apply(pair.negative->prefix());
    });
  }

  const std::vector<PrefixedClause>& clauses_;
  const SymbolOrder& order_;
  SearchLimits limits_;
  std::vector<std::vector<PairRef>> pairs_;
  std::vector<bool> closed_alone_;
  const std::size_t head_;  // the list's sentinel
  std::vector<std::size_t> next_, prev_, unlinked_;
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

// Whether the problem's matrix at multiplicity m can be listed: within the
// path and leaf caps, and a tree within its position cap.
bool within_caps(const FormulaTree& base, std::int64_t m, const core::NodePtr& target,
                 const std::vector<core::NodePtr>& premises, std::optional<FormulaTree>& tree) {
  paths_detail::Count size = paths_at_multiplicity(base, m);
  if (size.paths > kMaxPaths || size.leaves > kMaxPathLeaves) return false;
  if (m == 1) return true;
  try {
    tree.emplace(target, premises, m);
    return true;
  } catch (const core::ValueError&) {  // the tree's only ValueError: too many positions
    return false;
  }
}

}  // namespace

std::optional<PrefixedProof> prove_prefixed(const core::NodePtr& target, const std::vector<core::NodePtr>& premises,
                                            std::int64_t max_multiplicity, const SearchLimits& per_level) {
  if (max_multiplicity < 1) return std::nullopt;
  std::optional<FormulaTree> built;
  try {
    built.emplace(target, premises, 1);
  } catch (const core::ValueError&) {
    return std::nullopt;  // too large at every level
  }
  const FormulaTree& base = *built;
  const bool copies = has_copies(base);
  for (std::int64_t m = 1; m <= max_multiplicity; ++m) {
    if (m > 1 && !copies) break;  // every higher level is the same tree
    std::optional<FormulaTree> larger;
    if (!within_caps(base, m, target, premises, larger)) break;  // higher levels are larger still
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
      if (!core::equal(l1.atom(), l2.atom()) || !(l1.polarity() == l2.polarity())) continue;
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
