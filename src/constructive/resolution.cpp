#include "constructive/resolution.hpp"

#include <algorithm>
#include <deque>
#include <limits>
#include <stdexcept>
#include <numeric>

#include "constructive/common.hpp"
#include "core/exceptions.hpp"
#include "core/interrupt.hpp"
#include "core/limits.hpp"
#include "core/parser.hpp"
#include "core/release.hpp"
#include "core/sorts.hpp"

namespace constructive {

std::vector<PrefixedClause> clauses_of(const FormulaTree& tree) {
  // a leaf lies on many paths: its literal is made once, in a table all clauses share
  auto table = std::make_shared<LiteralTable>();
  std::vector<LiteralTable::Index> literal_at(tree.nodes().size());
  for (auto i : tree.leaves()) {
    const MatrixPosition& p = tree.node(i);
    literal_at[i] = table->add(p.prefix, p.polarity, p.formula);
  }
  table->seal();
  const std::shared_ptr<const LiteralTable> shared = std::move(table);
  std::vector<Path> paths = tree.paths();
  std::vector<PrefixedClause> out;
  out.reserve(paths.size());
  core::InterruptPoller poller;
  for (auto& path : paths) {
    poller.poll();
    std::vector<LiteralTable::Index> members;
    members.reserve(path.size());
    for (auto i : path) members.push_back(literal_at[i]);
    out.emplace_back(shared, std::move(members));
    Path().swap(path);  // the paths and the clauses are not held in full together
  }
  return out;
}
// ---------------------------------------------------------------------------
// Refutation search
// ---------------------------------------------------------------------------
namespace {

struct OutOfBudget {};

// What an abandoned search holds is let go of on a thread of its own past
// this many levels, so that an interrupt is answered at once however deep
// the search went.
constexpr std::size_t kLevelsWorthAThread = 256;

// The open clauses are kept in a doubly linked list threaded through two
// index arrays, in the order the search closes them: fewest complementary
// pairs first, ties in clause order.  A level unlinks the clauses that its
// substitution closes (a closed clause stays closed under every extension)
// and the clause it resolves on, and links them back in reverse order when
// it fails, so the whole search holds a few indices per clause however deep
// it goes.  The levels are frames of an explicit stack, each with the
// unifiers of the pair it tries.
class Search {
 public:
  Search(const std::vector<PrefixedClause>& clauses, const SymbolOrder& order, const SearchLimits& limits)
      : clauses_(clauses), order_(order), limits_(limits), head_(clauses.size()) {
    pair_begin_.reserve(clauses.size() + 1);
    pair_begin_.push_back(0);
    for (const auto& c : clauses) {
      poller_.poll();  // a million clauses take a while
      for_each_complementary_pair(c, [&](std::size_t positive, std::size_t negative) {
        pairs_.push_back(ClausePair{static_cast<std::uint32_t>(positive), static_cast<std::uint32_t>(negative)});
      });
      pair_begin_.push_back(pairs_.size());
      closed_alone_.push_back(closed_by_constant(c));
    }
    std::vector<std::size_t> open(clauses.size());
    std::iota(open.begin(), open.end(), 0);
    std::stable_sort(open.begin(), open.end(),
                     [&](std::size_t a, std::size_t b) { return pair_count(a) < pair_count(b); });
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
    bool refuted = false;
    try {
      refuted = explore();
    } catch (const OutOfBudget&) {
      abandon();
      return std::nullopt;
    } catch (...) {
      abandon();
      throw;
    }
    if (!refuted) return std::nullopt;
    let_go_of_levels();
    std::vector<SearchStep> steps;
    steps.reserve(clauses_.size() + steps_.size());
    for (std::size_t i = 0; i < clauses_.size(); ++i)
      steps.push_back(SearchStep{init_id(i), "initial", {}, clauses_[i], PrefixSubstitution(), std::nullopt});
    for (auto& step : steps_) steps.push_back(std::move(step));
    return Refutation{std::move(steps), steps_empty_id_, std::move(final_)};
  }

 private:
  // A complementary pair of a clause: the places of its literals at
  // polarity 1 and 0.  The pairs of all clauses lie in one array, clause
  // after clause.
  struct ClausePair {
    std::uint32_t positive, negative;
  };
  std::size_t pair_count(std::size_t clause) const { return pair_begin_[clause + 1] - pair_begin_[clause]; }
  const ClausePair& pair_of(std::size_t clause, std::size_t k) const { return pairs_[pair_begin_[clause] + k]; }
  const SymbolString& prefix_at(std::size_t clause, std::uint32_t place) const {
    const PrefixedClause& c = clauses_[clause];
    return c.table().prefix(c.member(place)).symbols();
  }

  // One level: the clause it closes, the pair of it that it tries and the
  // unifiers of that pair.
  struct Frame {
    std::int64_t counter;  // the last step number handed out at this level
    std::size_t mark;      // the unlinked clauses when the level began
    std::size_t target;
    std::size_t pair = 0;  // the next pair to try
    std::vector<PrefixSubstitution> unifiers;
    std::size_t next = 0;  // the next unifier to try
  };

  enum class Entered { Refuted, Dead, Opened };

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

  // The substitution of the level at `depth`: the unifier its parent tries.
  const PrefixSubstitution& subst_at(std::size_t depth) const {
    if (depth == 0) return root_;
    const Frame& parent = frames_[depth - 1];
    return parent.unifiers[parent.next - 1];
  }

  // Depth first over the levels; true when every clause is closed.
  bool explore() {
    Entered first = enter(root_, static_cast<std::int64_t>(clauses_.size()));
    if (first != Entered::Opened) return first == Entered::Refuted;
    while (!frames_.empty()) {
      const std::size_t depth = frames_.size() - 1;
      Frame& frame = frames_.back();
      if (frame.next == frame.unifiers.size()) {
        if (frame.pair == pair_count(frame.target)) {  // every choice of this level failed
          relink_down_to(frame.mark);
          frames_.pop_back();
          if (!frames_.empty()) steps_.pop_back();  // the step that led to it
          continue;
        }
        const ClausePair& pair = pair_of(frame.target, frame.pair++);
        const PrefixedClause& target = clauses_[frame.target];
        choice_poller_.poll();
        frame.unifiers = unify_prefixes(target.table().prefix(target.member(pair.positive)),
                                        target.table().prefix(target.member(pair.negative)), subst_at(depth));
        frame.next = 0;
        continue;
      }
      const PrefixSubstitution& unifier = frame.unifiers[frame.next++];
      spend(1);
      choice_poller_.poll();
      if (!is_admissible(order_, unifier)) continue;
      const std::int64_t counter = ++frame.counter;
      const ClausePair& pair = pair_of(frame.target, frame.pair - 1);
      const PrefixedClause& target = clauses_[frame.target];
      steps_.push_back(SearchStep{numbered("s", counter), "resolution", {init_id(frame.target)}, PrefixedClause(),
                                  unifier, LiteralPair{target.literal(pair.positive), target.literal(pair.negative)}});
      Entered below = enter(unifier, counter);  // may grow frames_: `frame` is not used after
      if (below == Entered::Refuted) return true;
      if (below == Entered::Dead) steps_.pop_back();
    }
    return false;
  }

  // The start of a level under `subst`: drops the clauses it closes, then
  // writes the refutation, or fails, or opens a frame for the first open clause.
  Entered enter(const PrefixSubstitution& subst, std::int64_t counter) {
    spend(1);
    const std::size_t mark = unlinked_.size();
    for (std::size_t i = next_[head_]; i != head_; i = next_[i]) {
      spend(1 + pair_count(i));
      if (closed_alone_[i] || closes_a_pair(i, subst)) unlink(i);
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
        return Entered::Refuted;
      }
      relink_down_to(mark);
      return Entered::Dead;
    }
    const std::size_t target = next_[head_];
    unlink(target);
    frames_.push_back(Frame{counter, mark, target, 0, {}, 0});
    return Entered::Opened;
  }

  bool closes_a_pair(std::size_t clause, const PrefixSubstitution& subst) const {
    for (std::size_t k = 0; k < pair_count(clause); ++k) {
      const ClausePair& pair = pair_of(clause, k);
      if (subst.same_instances(prefix_at(clause, pair.positive), prefix_at(clause, pair.negative))) return true;
    }
    return false;
  }

  // A deep search lets go of its levels and steps on a thread of its own
  // when it is abandoned, of its levels alone after a refutation (whose
  // steps it returns).
  void abandon() noexcept {
    if (frames_.size() < kLevelsWorthAThread) return;
    core::release_in_background(std::make_pair(std::move(frames_), std::move(steps_)));
  }
  void let_go_of_levels() noexcept {
    if (frames_.size() >= kLevelsWorthAThread) core::release_in_background(std::move(frames_));
    frames_.clear();
  }

  const std::vector<PrefixedClause>& clauses_;
  const SymbolOrder& order_;
  SearchLimits limits_;
  const PrefixSubstitution root_;
  std::deque<ClausePair> pairs_;  // grows without moving what it holds: hundreds of megabytes at times
  std::vector<std::size_t> pair_begin_;  // by clause: where its pairs start, and one past the last
  std::vector<bool> closed_alone_;
  const std::size_t head_;  // the list's sentinel
  std::vector<std::size_t> next_, prev_, unlinked_;
  std::vector<Frame> frames_;
  std::vector<SearchStep> steps_;
  std::string steps_empty_id_;
  PrefixSubstitution final_;
  std::uint64_t work_ = 0;
  std::uint64_t calls_ = 0;
  // Every unit of work polls `poller_`; the unifications and admissibility
  // tests, which cost far more than a closure test and whose cost grows with
  // the substitution, also poll a poller of their own, so that a run of them
  // after a long run of cheap tests is not left unchecked for a stride that
  // the cheap tests set.
  core::InterruptPoller poller_;
  core::InterruptPoller choice_poller_;
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


// What an attempt holds: the trees and the clauses of the level at hand.
// Whatever ends a level or the attempt, a large one is let go of on a
// thread of its own.
struct Attempt {
  std::optional<FormulaTree> base, larger;
  std::vector<PrefixedClause> clauses;

  static constexpr std::size_t kWorthAThread = core::limits::kPrefixedReleaseInBackground;

  // Lets go of the level at hand, a large one on a thread of its own, so
  // that neither the next level nor the caller waits for its memory.
  void let_go_of_level() noexcept {
    if ((larger ? larger->nodes().size() : 0) + clauses.size() >= kWorthAThread)
      core::release_in_background(std::make_pair(std::move(larger), std::move(clauses)));
    larger.reset();
    clauses.clear();
  }
  void let_go() noexcept {
    let_go_of_level();
    if (base && base->nodes().size() >= kWorthAThread) core::release_in_background(std::move(base));
    base.reset();
  }
};

std::optional<PrefixedProof> run_levels(Attempt& held, const core::NodePtr& target,
                                        const std::vector<core::NodePtr>& premises, std::int64_t max_multiplicity,
                                        const SearchLimits& per_level) {
  try {
    held.base.emplace(target, premises, 1);
  } catch (const core::ValueError&) {
    return std::nullopt;  // too large at every level
  }
  const FormulaTree& base = *held.base;
  const bool copies = has_copies(base);
  for (std::int64_t m = 1; m <= max_multiplicity; ++m) {
    if (m > 1 && !copies) break;  // every higher level is the same tree
    held.let_go_of_level();
    if (!within_caps(base, m, target, premises, held.larger)) break;  // higher levels are larger still
    const FormulaTree& tree = held.larger ? *held.larger : base;
    held.clauses = clauses_of(tree);
    if (held.clauses.empty()) continue;
    if (auto found = search_refutation(held.clauses, tree.tree_order(), per_level))
      return PrefixedProof{std::move(*found), m};
  }
  return std::nullopt;
}

}  // namespace

std::optional<PrefixedProof> prove_prefixed(const core::NodePtr& target, const std::vector<core::NodePtr>& premises,
                                            std::int64_t max_multiplicity, const SearchLimits& per_level) {
  if (max_multiplicity < 1) return std::nullopt;
  Attempt held;
  try {
    auto found = run_levels(held, target, premises, max_multiplicity, per_level);
    held.let_go();
    return found;
  } catch (...) {
    held.let_go();
    throw;
  }
}

// ---------------------------------------------------------------------------
// Resolution and factoring of single clauses
// ---------------------------------------------------------------------------
namespace {

PrefixedClause instance_without(const std::vector<PrefixedLiteral>& lits, const std::vector<const PrefixedLiteral*>& drop,
                                const PrefixSubstitution& u) {
  std::vector<PrefixedLiteral> kept;
  for (const auto& l : lits) {
    bool dropped = std::any_of(drop.begin(), drop.end(), [&](const PrefixedLiteral* d) { return *d == l; });
    if (!dropped) kept.push_back(l);
  }
  return PrefixedClause::of(kept, &u);
}

}  // namespace

std::vector<Inference> resolve_clauses(const PrefixedClause& c1, const PrefixedClause& c2,
                                       const PrefixSubstitution& start, const SymbolOrder* order) {
  std::vector<Inference> out;
  const auto lits1 = c1.literals(), lits2 = c2.literals();
  for (const auto& l1 : lits1)
    for (const auto& l2 : lits2) {
      if (!l1.same_atom(l2) || l1.polarity() == l2.polarity()) continue;
      for (auto& u : unify_prefixes(l1.prefix(), l2.prefix(), start)) {
        if (order && !is_admissible(*order, u)) continue;
        std::vector<PrefixedLiteral> combined;
        for (const auto& l : lits1)
          if (!(l == l1)) combined.push_back(l);
        for (const auto& l : lits2)
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
  const auto lits = clause.literals();
  for (std::size_t i = 0; i < lits.size(); ++i)
    for (std::size_t j = i + 1; j < lits.size(); ++j) {
      const auto &l1 = lits[i], &l2 = lits[j];
      if (!l1.same_atom(l2) || !(l1.polarity() == l2.polarity())) continue;
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
