#include "constructive/ljt.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <new>
#include <stdexcept>
#include <unordered_map>

#include "constructive/common.hpp"
#include "core/bank.hpp"
#include "core/interrupt.hpp"
#include "core/release.hpp"
#include "core/parser.hpp"

namespace constructive {

using core::RecursionGuard;
namespace pyhash = core::pyhash;

namespace {

// The rule names, as proof nodes carry them.
constexpr const char *kRTop = "R_Top", *kLBot = "L_Bot", *kAx = "Ax", *kRImp = "R_Imp", *kRAnd = "R_And",
                     *kLAnd = "L_And", *kLOr = "L_Or", *kLImpAtom = "L_Imp_Atom", *kLImpAnd = "L_Imp_And",
                     *kLImpOr = "L_Imp_Or", *kROr1 = "R_Or1", *kROr2 = "R_Or2", *kLImpImp = "L_Imp_Imp";

}  // namespace

// ---------------------------------------------------------------------------
// Sequents
// ---------------------------------------------------------------------------
FormulaPool::Id FormulaPool::add(NodePtr formula) {
  formulas_.push_back(std::move(formula));
  return static_cast<Id>(formulas_.size() - 1);
}

Sequent::Sequent(const std::vector<NodePtr>& antecedents, NodePtr succedent, std::shared_ptr<const void> origin)
    : origin_(std::move(origin)) {
  auto pool = std::make_shared<FormulaPool>();
  antecedents_.reserve(antecedents.size());
  for (const auto& a : antecedents) antecedents_.push_back(pool->add(a));
  succedent_ = pool->add(std::move(succedent));
  pool_ = std::move(pool);
}

Sequent::Sequent(FormulaPoolPtr pool, std::vector<Id> antecedents, Id succedent)
    : pool_(std::move(pool)), antecedents_(std::move(antecedents)), succedent_(succedent) {}

pyhash::hash_t Sequent::hash() const {
  pyhash::hash_t h = hash_.load(std::memory_order_relaxed);
  if (h != kNoHash) return h;
  pyhash::TupleHasher members;
  for (Id a : antecedents_) members.add((*pool_)[a]->hash());
  h = pyhash::of_tuple({members.finish(), succedent()->hash()});
  hash_.store(h, std::memory_order_relaxed);
  return h;
}

std::vector<NodePtr> Sequent::antecedents() const {
  std::vector<NodePtr> out;
  out.reserve(antecedents_.size());
  for (Id a : antecedents_) out.push_back((*pool_)[a]);
  return out;
}

bool Sequent::operator==(const Sequent& other) const {
  if (this == &other) return true;
  if (antecedents_.size() != other.antecedents_.size() || hash() != other.hash()) return false;
  auto same = [&](Id mine, Id theirs) {  // one index of a shared pool is one formula
    return (pool_ == other.pool_ && mine == theirs) || core::equal((*pool_)[mine], (*other.pool_)[theirs]);
  };
  for (std::size_t i = 0; i < antecedents_.size(); ++i)
    if (!same(antecedents_[i], other.antecedents_[i])) return false;
  return same(succedent_, other.succedent_);
}

std::string Sequent::to_string(std::string_view notation) const {
  const bool latex = notation == "latex";
  auto member = [&](const NodePtr& f) -> std::string {
    if (is_falsum(*f)) return latex ? "\\bot" : "_bot";
    if (is_verum(*f)) return latex ? "\\top" : "_top";
    return core::to_string(*f, notation);
  };
  std::string out;
  for (std::size_t i = 0; i < antecedents_.size(); ++i) {
    if (i) out += ", ";
    out += member(antecedent(i));
  }
  out += latex ? " \\vdash " : " ==> ";
  out += member(succedent());
  return out;
}

// ---------------------------------------------------------------------------
// Proof nodes
// ---------------------------------------------------------------------------
LJTProofNode::LJTProofNode(SequentPtr sequent, std::string rule, std::vector<LJTProofNodePtr> premises)
    : sequent_(std::move(sequent)), rule_(std::move(rule)), premises_(std::move(premises)) {}

pyhash::hash_t LJTProofNode::hash() const {
  pyhash::hash_t h = hash_.load(std::memory_order_relaxed);
  if (h != kNoHash) return h;
  RecursionGuard guard;
  pyhash::TupleHasher subtree;
  for (const auto& p : premises_) subtree.add(p->hash());
  h = pyhash::of_tuple({sequent_->hash(), pyhash::of_string(rule_), subtree.finish()});
  hash_.store(h, std::memory_order_relaxed);
  return h;
}

// A deep derivation is released by a loop instead of by nested destructors.
LJTProofNode::~LJTProofNode() { core::TreeRelease<LJTProofNode>::release_all(premises_); }

bool equal(const LJTProofNode& a, const LJTProofNode& b) {
  RecursionGuard guard;
  if (&a == &b) return true;
  if (a.hash() != b.hash() || a.rule() != b.rule() || a.premises().size() != b.premises().size() ||
      !(*a.sequent() == *b.sequent()))
    return false;
  for (std::size_t i = 0; i < a.premises().size(); ++i)
    if (!equal(*a.premises()[i], *b.premises()[i])) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Checking one inference
// ---------------------------------------------------------------------------
namespace {

using Formulas = std::vector<NodePtr>;

struct ByValue {
  std::size_t operator()(const Node* f) const { return static_cast<std::size_t>(f->hash()); }
  bool operator()(const Node* a, const Node* b) const { return core::equal(*a, *b); }
};

// Formulas that two multisets do not share: those only in the first (as
// often as they are more frequent there) and those only in the second.
struct Difference {
  Formulas only_first, only_second;
};

Difference difference(const Formulas& first, const Formulas& second) {
  std::unordered_map<const Node*, std::pair<NodePtr, std::int64_t>, ByValue, ByValue> counts;
  for (const auto& f : first) ++counts.try_emplace(f.get(), f, 0).first->second.second;
  for (const auto& f : second) --counts.try_emplace(f.get(), f, 0).first->second.second;
  Difference d;
  for (const auto& [key, entry] : counts) {
    for (std::int64_t k = 0; k < entry.second; ++k) d.only_first.push_back(entry.first);
    for (std::int64_t k = 0; k > entry.second; --k) d.only_second.push_back(entry.first);
  }
  return d;
}

// The antecedents of `first` that `second` lacks and the other way round.
// Sequents of one search share a pool, where one index is one formula: the
// indices are compared first, and only the few formulas left over by value.
Difference difference(const Sequent& first, const Sequent& second) {
  if (first.pool() != second.pool()) return difference(first.antecedents(), second.antecedents());
  thread_local std::vector<std::int64_t> counts;
  if (counts.size() < first.pool()->size()) counts.resize(first.pool()->size(), 0);
  for (Sequent::Id id : first.antecedent_ids()) ++counts[id];
  for (Sequent::Id id : second.antecedent_ids()) --counts[id];
  Formulas left_over_first, left_over_second;
  auto collect = [&](const Sequent& s) {
    for (Sequent::Id id : s.antecedent_ids()) {
      for (; counts[id] > 0; --counts[id]) left_over_first.push_back((*s.pool())[id]);
      for (; counts[id] < 0; ++counts[id]) left_over_second.push_back((*s.pool())[id]);
    }
  };
  try {
    collect(first);
    collect(second);
  } catch (...) {  // out of memory: leave the counts clean for the next call
    std::fill(counts.begin(), counts.end(), 0);
    throw;
  }
  return difference(left_over_first, left_over_second);
}

// Multiset equality of a few formulas.
bool same_multiset(const Formulas& a, const Formulas& b) {
  if (a.size() != b.size()) return false;
  std::vector<bool> used(b.size(), false);
  for (const auto& f : a) {
    bool matched = false;
    for (std::size_t j = 0; j < b.size() && !matched; ++j) {
      if (!used[j] && core::equal(f, b[j])) used[j] = matched = true;
    }
    if (!matched) return false;
  }
  return true;
}

// One proof node seen as an inference: its conclusion and premises.
class Inference {
 public:
  explicit Inference(const LJTProofNode& node)
      : node_(node), seq_(*node.sequent()), goal_(seq_.succedent()) {}

  bool correct() const {
    const std::string& rule = node_.rule();
    if (rule == kRTop) return arity(0) && is_verum(*goal_);
    if (rule == kLBot) return arity(0) && has_falsum();
    if (rule == kAx) return arity(0) && holds(goal_);
    if (rule == kRImp) return right_rule(NodeKind::Implies, 1, &Inference::right_implication);
    if (rule == kRAnd) return right_rule(NodeKind::And, 2, &Inference::right_conjunction);
    if (rule == kROr1) return right_rule(NodeKind::Or, 1, &Inference::left_disjunct);
    if (rule == kROr2) return right_rule(NodeKind::Or, 1, &Inference::right_disjunct);
    if (rule == kLAnd) return left_rule(NodeKind::And, 1, &Inference::split_conjunction);
    if (rule == kLOr) return left_rule(NodeKind::Or, 2, &Inference::split_disjunction);
    if (rule == kLImpAtom) return left_rule(NodeKind::Implies, 1, &Inference::modus_ponens);
    if (rule == kLImpAnd) return left_rule(NodeKind::Implies, 1, &Inference::curry);
    if (rule == kLImpOr) return left_rule(NodeKind::Implies, 1, &Inference::split_antecedent);
    if (rule == kLImpImp) return left_rule(NodeKind::Implies, 2, &Inference::nested_implication);
    return false;  // not a rule of the calculus
  }

 private:
  using RightCheck = bool (Inference::*)(const BinaryFormula& goal) const;
  // A left rule's check of its principal formula (the one antecedent that
  // the first premise lacks) and the formulas that premise adds.
  using LeftCheck = bool (Inference::*)(const NodePtr& principal, const BinaryFormula& p, const Formulas& added) const;

  bool arity(std::size_t n) const { return node_.premises().size() == n; }
  const Sequent& premise_sequent(std::size_t k) const { return *node_.premises()[k]->sequent(); }

  bool has_falsum() const {
    for (std::size_t i = 0; i < seq_.antecedent_count(); ++i)
      if (is_falsum(*seq_.antecedent(i))) return true;
    return false;
  }

  bool holds(const NodePtr& f) const {
    for (std::size_t i = 0; i < seq_.antecedent_count(); ++i)
      if (core::equal(seq_.antecedent(i), f)) return true;
    return false;
  }

  // Premise k is the conclusion's antecedents plus `added` (as multisets) ==> `goal`.
  bool premise_adds(std::size_t k, const Formulas& added, const NodePtr& goal) const {
    const Sequent& s = premise_sequent(k);
    if (!core::equal(s.succedent(), goal)) return false;
    Difference d = difference(seq_, s);
    return d.only_first.empty() && same_multiset(d.only_second, added);
  }

  bool right_rule(NodeKind kind, std::size_t n, RightCheck check) const {
    const BinaryFormula* g = binary_of(goal_, kind);
    return arity(n) && g && (this->*check)(*g);
  }

  // The first premise lacks exactly one antecedent, of the given kind: the
  // principal formula; the premise adds what the check expects of it.  The
  // premise's goal is checked by the rule (it is not always the conclusion's).
  bool left_rule(NodeKind kind, std::size_t n, LeftCheck check) const {
    if (!arity(n)) return false;
    Difference d = difference(seq_, premise_sequent(0));
    if (d.only_first.size() != 1) return false;
    const BinaryFormula* principal = binary_of(d.only_first[0], kind);
    return principal && (this->*check)(d.only_first[0], *principal, d.only_second);
  }

  // Premise k is the conclusion's antecedents without `principal`, plus `added`, ==> `goal`.
  bool premise_replaces(std::size_t k, const NodePtr& principal, const Formulas& added, const NodePtr& goal) const {
    const Sequent& s = premise_sequent(k);
    if (!core::equal(s.succedent(), goal)) return false;
    Difference d = difference(seq_, s);
    return d.only_first.size() == 1 && core::equal(d.only_first[0], principal) && same_multiset(d.only_second, added);
  }

  bool goal_kept(std::size_t k) const { return core::equal(premise_sequent(k).succedent(), goal_); }

  bool right_implication(const BinaryFormula& g) const { return premise_adds(0, {g.left()}, g.right()); }
  bool right_conjunction(const BinaryFormula& g) const {
    return premise_adds(0, {}, g.left()) && premise_adds(1, {}, g.right());
  }
  bool left_disjunct(const BinaryFormula& g) const { return premise_adds(0, {}, g.left()); }
  bool right_disjunct(const BinaryFormula& g) const { return premise_adds(0, {}, g.right()); }

  bool split_conjunction(const NodePtr&, const BinaryFormula& a, const Formulas& added) const {
    return goal_kept(0) && same_multiset(added, {a.left(), a.right()});
  }
  bool split_disjunction(const NodePtr& principal, const BinaryFormula& a, const Formulas& added) const {
    return goal_kept(0) && same_multiset(added, {a.left()}) && premise_replaces(1, principal, {a.right()}, goal_);
  }
  // A -> B with the atom A among the antecedents.
  bool modus_ponens(const NodePtr&, const BinaryFormula& imp, const Formulas& added) const {
    return is_atomic(*imp.left()) && holds(imp.left()) && goal_kept(0) &&
           same_multiset(added, {imp.right()});
  }
  // (E & F) -> B becomes E -> (F -> B).
  bool curry(const NodePtr&, const BinaryFormula& imp, const Formulas& added) const {
    const BinaryFormula* e_f = binary_of(imp.left(), NodeKind::And);
    if (!e_f || !goal_kept(0)) return false;
    return same_multiset(added, {core::make_implies(e_f->left(), core::make_implies(e_f->right(), imp.right()))});
  }
  // (E | F) -> B becomes E -> B and F -> B.
  bool split_antecedent(const NodePtr&, const BinaryFormula& imp, const Formulas& added) const {
    const BinaryFormula* e_f = binary_of(imp.left(), NodeKind::Or);
    if (!e_f || !goal_kept(0)) return false;
    return same_multiset(added, {core::make_implies(e_f->left(), imp.right()), core::make_implies(e_f->right(), imp.right())});
  }
  // (E -> F) -> B: F -> B, E ==> F and B ==> G.
  bool nested_implication(const NodePtr& principal, const BinaryFormula& imp, const Formulas& added) const {
    const BinaryFormula* e_f = binary_of(imp.left(), NodeKind::Implies);
    if (!e_f || !core::equal(premise_sequent(0).succedent(), e_f->right())) return false;
    return same_multiset(added, {core::make_implies(e_f->right(), imp.right()), e_f->left()}) &&
           premise_replaces(1, principal, {imp.right()}, goal_);
  }

  const LJTProofNode& node_;
  const Sequent& seq_;
  const NodePtr& goal_;
};

}  // namespace


bool is_correct_inference(const LJTProofNode& node) { return Inference(node).correct(); }

// ---------------------------------------------------------------------------
// Proof trees: measures, check and renderings
// ---------------------------------------------------------------------------
namespace {

// A derivation as the shared folds see it: a node is reached through its
// parent's handle to it, which also tells whether the node has other owners
// (then it is folded once, however often it is shared).
using Handle = const LJTProofNodePtr*;

constexpr auto for_each_premise = [](Handle node, const auto& visit) {
  for (const auto& p : (*node)->premises()) visit(&p);
};

const void* shared_key(Handle node) { return node->use_count() > 1 ? node->get() : nullptr; }

std::int64_t node_depth(const LJTProofNodePtr& root) {
  return derivation_depth(Handle{&root}, for_each_premise, shared_key);
}

std::int64_t node_size(const LJTProofNodePtr& root) {
  return derivation_size(Handle{&root}, for_each_premise, shared_key);
}

// (A correct inference without premises is an axiom, so every leaf of a
// valid tree is closed by one.)  The premises are examined in order, up to
// the first invalid one.
bool node_valid(const LJTProofNodePtr& root) {
  return fold_derivation<bool>(
      Handle{&root}, for_each_premise,
      [](Handle node) { return is_correct_inference(**node); },
      [](bool& valid, bool premise) {
        valid = valid && premise;
        return valid;
      },
      shared_key);
}

std::string node_text(const LJTProofNode& node) { return "[" + node.rule() + "] " + node.sequent()->to_string(); }

const char* inference_command(std::size_t premise_count) {
  switch (premise_count) {
    case 0:
    case 1: return "\\UnaryInfC";
    case 2: return "\\BinaryInfC";
    case 3: return "\\TrinaryInfC";
    default: return "\\QuaternaryInfC";
  }
}

void render_latex(const LJTProofNode& node, std::vector<std::string>& lines) {
  RecursionGuard guard;
  if (node.premises().empty()) lines.emplace_back("  \\AxiomC{}");
  for (const auto& p : node.premises()) render_latex(*p, lines);
  lines.push_back("  \\RightLabel{" + core::escape_latex_text(node.rule()) + "}");
  lines.push_back(std::string("  ") + inference_command(node.premises().size()) + "{$" +
                  node.sequent()->to_string("latex") + "$}");
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) out += '\n';
    out += lines[i];
  }
  return out;
}

}  // namespace

std::int64_t LJTProofTree::depth() const { return node_depth(root); }
std::int64_t LJTProofTree::size() const { return node_size(root); }
bool LJTProofTree::is_valid() const { return node_valid(root); }

std::string LJTProofTree::to_ascii() const {
  std::string out = node_text(*root);
  draw_children(Handle{&root}, "", "`-- ", for_each_premise, [](Handle node) { return node_text(**node); }, out);
  return out;
}

std::string LJTProofTree::to_latex() const {
  std::vector<std::string> lines{"\\begin{prooftree}"};
  render_latex(*root, lines);
  lines.emplace_back("\\end{prooftree}");
  return join_lines(lines);
}

// ---------------------------------------------------------------------------
// The search
// ---------------------------------------------------------------------------
namespace {

using Id = std::uint32_t;
constexpr Id kNoId = static_cast<Id>(-1);

// The classes the rules distinguish.
enum class Shape : std::uint8_t { Other, And, Or, Implies };

Shape shape_of(const Node& f) {
  switch (f.kind()) {
    case NodeKind::And: return Shape::And;
    case NodeKind::Or: return Shape::Or;
    case NodeKind::Implies: return Shape::Implies;
    default: return Shape::Other;
  }
}

// A well-spread 64-bit key for a value number.
std::uint64_t spread(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// The left rule that takes an antecedent apart; None for those that only
// the axioms use (atoms, falsum, verum, implications that no rule opens).
enum class LeftRule : std::uint8_t { None, And, Or, ImpAtom, ImpAnd, ImpOr, ImpImp };
constexpr std::size_t kLeftRules = 7;

// What the rules ask of a formula, worked out once per proof.
struct FormulaInfo {
  Shape shape;
  LeftRule left_rule;
  bool falsum, verum, atomic;
  // Whether the rules treat the formula as the logic does (see decided and
  // decided_as_condition below); the decider relies on it.
  bool decided, decided_as_condition;
  Id value;        // the same for equal formulas: what the equality tests compare
  std::uint64_t key;  // spread(value), for keys of sets and multisets of formulas
  Id left, right;  // the sides of And, Or and Implies
  // For an implication with a compound left side: the implications that its
  // left rule adds, once built (kNoId before).
  Id added_first = kNoId, added_second = kNoId;
};

// The formulas of one proof.  Each formula object gets an id of its own, so
// that the sequents of the derivation hold the very objects they were given
// and their subformulas; equal formulas share a value number, so that
// formula equality inside the search is equality of small integers.  The
// pool is shared with the sequents of the derivation.
class FormulaTable {
 public:
  Id intern(const NodePtr& f) {
    if (auto it = ids_.find(f.get()); it != ids_.end()) return it->second;
    RecursionGuard guard;
    FormulaInfo info{shape_of(*f), LeftRule::None, is_falsum(*f), is_verum(*f), is_atomic(*f), true, false, 0, 0, 0, 0};
    if (info.shape != Shape::Other) {
      const auto& b = as<BinaryFormula>(*f);
      info.left = intern(b.left());
      info.right = intern(b.right());
    }
    info.left_rule = left_rule_of(info);
    mark_decided(info);
    info.value = value_of(f, info);
    info.key = spread(info.value);
    Id id = pool_->add(f);
    infos_.push_back(info);
    ids_.emplace(f.get(), id);
    return id;
  }

  // The implication left -> right, built once per proof.
  Id implies(Id left, Id right) {
    std::uint64_t key = (static_cast<std::uint64_t>(left) << 32) | right;
    if (auto it = implications_.find(key); it != implications_.end()) return it->second;
    Id id = intern(core::make_implies((*pool_)[left], (*pool_)[right]));
    implications_.emplace(key, id);
    return id;
  }

  // The implications that the left rule of the implication `principal` adds
  // (second kNoId for one): for (E & F) -> B, E -> (F -> B); for
  // (E | F) -> B, E -> B and F -> B; for (E -> F) -> B, F -> B.
  std::pair<Id, Id> added_implications(Id principal) {
    if (infos_[principal].added_first == kNoId) {
      const Id b = infos_[principal].right, e = infos_[infos_[principal].left].left,
               f = infos_[infos_[principal].left].right;
      std::pair<Id, Id> added{kNoId, kNoId};
      switch (infos_[principal].left_rule) {
        case LeftRule::ImpAnd: added.first = implies(e, implies(f, b)); break;
        case LeftRule::ImpOr: added = {implies(e, b), implies(f, b)}; break;
        default: added.first = implies(f, b);
      }
      infos_[principal].added_first = added.first;
      infos_[principal].added_second = added.second;
    }
    return {infos_[principal].added_first, infos_[principal].added_second};
  }

  const FormulaInfo& operator[](Id id) const { return infos_[id]; }
  const std::shared_ptr<FormulaPool>& pool() const { return pool_; }

  // Whether the search decides provability exactly on a sequent built of
  // `id` and formulas like it.  It does when the rules see only connectives
  // and atoms: every formula is decided, which asks of the left side of
  // every implication, and of every left side that a left rule makes of its
  // parts, that it be decomposable or an atom other than verum.  An
  // implication from verum, a negation or a quantified formula can only be
  // closed by an equal goal, where the logic could use it.
  bool decided(Id id) const { return infos_[id].decided; }
  std::size_t value_count() const { return values_.size(); }  // value numbers are below it

 private:
  LeftRule left_rule_of(const FormulaInfo& info) const {
    switch (info.shape) {
      case Shape::And: return LeftRule::And;
      case Shape::Or: return LeftRule::Or;
      case Shape::Implies: {
        const FormulaInfo& left = infos_[info.left];
        switch (left.shape) {
          case Shape::And: return LeftRule::ImpAnd;
          case Shape::Or: return LeftRule::ImpOr;
          case Shape::Implies: return LeftRule::ImpImp;
          case Shape::Other: return left.atomic ? LeftRule::ImpAtom : LeftRule::None;
        }
        return LeftRule::None;
      }
      case Shape::Other: return LeftRule::None;
    }
    return LeftRule::None;
  }

  // The curried and split forms of a left side (E & F, E | F) put E and F
  // to the left of implications, and (E -> F) -> B puts F there.
  void mark_decided(FormulaInfo& info) const {
    switch (info.shape) {
      case Shape::Other: info.decided_as_condition = info.atomic && !info.verum; return;
      case Shape::And:
      case Shape::Or:
        info.decided = infos_[info.left].decided && infos_[info.right].decided;
        info.decided_as_condition = infos_[info.left].decided_as_condition && infos_[info.right].decided_as_condition;
        return;
      case Shape::Implies:
        info.decided =
            infos_[info.left].decided && infos_[info.right].decided && infos_[info.left].decided_as_condition;
        info.decided_as_condition = infos_[info.right].decided_as_condition;
        return;
    }
  }

  // The value number of `f`: its id in the bank, where equal formulas share
  // one.  A connective's is made from its sides' numbers, without a walk.
  Id value_of(const NodePtr& f, const FormulaInfo& info) {
    if (info.shape == Shape::Other) return values_.from_node(f);
    return values_.binary(f->kind(), infos_[info.left].value, infos_[info.right].value);
  }

  std::shared_ptr<FormulaPool> pool_ = std::make_shared<FormulaPool>();
  std::vector<FormulaInfo> infos_;
  std::unordered_map<const Node*, Id> ids_;                          // by object; keys live in the pool
  core::Bank values_;  // the value numbers
  std::unordered_map<std::uint64_t, Id> implications_;
};

// The outcome of the rules on one sequent: the rule that derived it and the
// derivations of its premises.
struct Derivation {
  const char* rule = nullptr;
  std::vector<LJTProofNodePtr> premises;
};

// ---------------------------------------------------------------------------
// What one proof remembers
// ---------------------------------------------------------------------------

// The bytes that the memory of one proof may hold: an eighth of the
// machine's memory, or of the process's address-space or data limit where
// that is lower.
std::size_t memory_budget() {
  std::uint64_t total = 1ULL << 32;
  long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0) total = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
  for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    rlimit limit{};
    if (getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
      total = std::min<std::uint64_t>(total, limit.rlim_cur);
  }
  return static_cast<std::size_t>(total / 8);
}

// Everything the memory holds is dropped when its bytes pass the budget, or
// when memory runs out while something is being remembered.
class Budget {
 public:
  // A `share`-th of the budget of one proof.
  explicit Budget(std::size_t share) : limit_(memory_budget() / share) {}

  // Runs `store`, which returns the bytes it added; calls `forget` (which
  // must not throw) when they pass the budget or when memory runs out.
  template <typename Store, typename Forget>
  void charge(Store&& store, Forget&& forget) {
    try {
      used_ += store();
      if (used_ <= limit_) return;
    } catch (const std::bad_alloc&) {
    }
    forget();
    used_ = 0;
  }

 private:
  std::size_t limit_;
  std::size_t used_ = 0;
};

template <typename Container>
void release(Container& c) noexcept {
  Container().swap(c);
}

constexpr std::uint32_t kNoEntry = core::DenseIndex::kMissing;

// Marks on value numbers: a value is marked when its mark is the current round.
class Marks {
 public:
  void next_round(std::size_t values) {
    if (++round_ == 0) {  // the counter wrapped: old marks could look current
      std::fill(marks_.begin(), marks_.end(), 0);
      round_ = 1;
    }
    if (marks_.size() < values) marks_.resize(values, 0);
  }
  // Marks `v`; true when it was not marked yet in this round.
  bool mark(Id v) {
    if (marks_[v] == round_) return false;
    marks_[v] = round_;
    return true;
  }
  bool marked(Id v) const { return marks_[v] == round_; }

 private:
  std::vector<std::uint32_t> marks_;
  std::uint32_t round_ = 0;
};

// What one pass over the antecedents finds: where the first antecedent of
// each kind that the rules look for stands and the key of the sequent for
// the proof memory.  The pass marks the values of the antecedents, for
// membership tests until the next pass.
struct Scan {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  bool falsum = false, goal = false;
  std::size_t first_and = kNone, first_or = kNone, first_imp_and = kNone, first_imp_or = kNone;
  std::uint64_t order_key = 0;  // of the values in order
};

// Watches the failures of a search for repeats: where the same sequents
// (as multisets of antecedents, with their goal) fail again and again,
// deciding them once pays.  A failure is noted in a small table of recent keys; over
// each window of failures, the work of those found in the table is
// compared with the work of all of them.
class RepeatWatch {
 public:
  // One more failed sequent with `key`, whose search took `cost`; true
  // when repeats made up a large enough share of the work of the window.
  bool failed(std::uint64_t key, std::uint32_t cost) {
    if (slots_.empty()) slots_.assign(kSlots, 0);
    std::uint64_t& slot = slots_[key & (kSlots - 1)];
    if (slot == key) repeated_ += cost;
    slot = key;
    total_ += cost;
    if (++seen_ < kWindow) return false;
    const bool repeats = repeated_ * kShare >= total_;
    seen_ = repeated_ = total_ = 0;
    return repeats;
  }

 private:
  static constexpr std::size_t kSlots = 1 << 12, kWindow = 64;
  static constexpr std::uint64_t kShare = 4;
  std::vector<std::uint64_t> slots_;
  std::uint64_t seen_ = 0, repeated_ = 0, total_ = 0;
};

// The proved sequents of one proof, found again by goal and antecedents in
// order: the search is deterministic, so the same sequent gets the same
// derivation, and the earlier node is shared.
class ProofMemo {
 public:
  explicit ProofMemo(const FormulaTable& table) : table_(table) {}

  // The node of the sequent, or null.
  LJTProofNodePtr proved(std::uint64_t key, Id goal, const std::vector<Id>& gamma) const {
    const std::uint32_t at =
        index_.find(key, [&](std::uint32_t e) { return same_sequent(*nodes_[e]->sequent(), goal, gamma); });
    return at == kNoEntry ? nullptr : nodes_[at];
  }

  // Remembers a node; the bytes added.
  std::size_t remember(std::uint64_t key, const LJTProofNodePtr& node) {
    nodes_.push_back(node);
    index_.add(key);
    return sizeof(LJTProofNodePtr) + core::DenseIndex::kBytesPerNumber + sizeof(LJTProofNode) + sizeof(Sequent) +
           node->sequent()->antecedent_count() * sizeof(Id);
  }

  void forget() noexcept {
    release(nodes_);
    index_.release();
  }

 private:
  Id value(Id id) const { return table_[id].value; }

  bool same_sequent(const Sequent& s, Id goal, const std::vector<Id>& gamma) const {
    if (s.antecedent_count() != gamma.size() || value(s.succedent_id()) != value(goal)) return false;
    const auto& ids = s.antecedent_ids();
    for (std::size_t i = 0; i < gamma.size(); ++i)
      if (value(ids[i]) != value(gamma[i])) return false;
    return true;
  }

  const FormulaTable& table_;
  std::vector<LJTProofNodePtr> nodes_;
  core::DenseIndex index_;  // entry numbers are those of nodes_
};

// The decision of provability, without proofs: by the rules of the search,
// on the set of the antecedents' values, so that a sequent and every
// reordering or repetition of its antecedents are one, and with the answers
// remembered by the goal and that set.  The answers are exact where the
// search decides provability exactly (FormulaTable::decided), which is the
// only place they are asked.  The antecedents are kept in one list per left
// rule, in the order of the search's antecedents, so that the rules find
// their formula at once and choose as the search does: the decider then
// explores the sequents that the search asks about.
class Decider {
 public:
  Decider(FormulaTable& table, core::InterruptPoller& poller, const core::StackLimit& stack)
      : table_(table), poller_(poller), stack_(stack) {}

  // Whether the sequent `gamma` ==> `goal` (ids of the table) is provable.
  bool provable(const std::vector<Id>& gamma, Id goal) {
    load(gamma);
    return decide(goal);
  }

 private:
  Id value(Id id) const { return table_[id].value; }
  std::vector<Id>& of_rule(const FormulaInfo& f) { return by_rule_[static_cast<std::size_t>(f.left_rule)]; }
  const std::vector<Id>& of_rule(LeftRule rule) const { return by_rule_[static_cast<std::size_t>(rule)]; }
  bool present(Id v) const { return v < present_.size() && present_[v]; }

  void count(const FormulaInfo& f, int sign) {
    present_[f.value] = sign > 0;
    set_key_ += sign > 0 ? f.key : -f.key;
    size_ += sign;
    falsa_ += f.falsum ? sign : 0;
  }

  // Appends the formula `id`; false when its value was present already.
  bool add(Id id) {
    const FormulaInfo& f = table_[id];
    if (present(f.value)) return false;
    if (f.value >= present_.size()) present_.resize(std::max<std::size_t>(table_.value_count(), f.value + 1), 0);
    of_rule(f).push_back(id);
    count(f, 1);
    return true;
  }

  // Removes the last formula of `id`'s kind, which is `id`.
  void pop(Id id) {
    const FormulaInfo& f = table_[id];
    of_rule(f).pop_back();
    count(f, -1);
  }

  // Takes out the formula `id` from where it stands in its list; where that was.
  std::size_t take(Id id) {
    const FormulaInfo& f = table_[id];
    auto& list = of_rule(f);
    const auto at = std::find(list.begin(), list.end(), id);
    const auto index = static_cast<std::size_t>(at - list.begin());
    list.erase(at);
    count(f, -1);
    return index;
  }

  void put_back(Id id, std::size_t index) {
    const FormulaInfo& f = table_[id];
    auto& list = of_rule(f);
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(index), id);
    count(f, 1);
  }

  void load(const std::vector<Id>& gamma) {
    for (auto& list : by_rule_) {
      for (Id id : list) present_[value(id)] = 0;
      list.clear();
    }
    set_key_ = 0;
    size_ = falsa_ = 0;
    for (Id id : gamma) add(id);
  }

  // Runs `then` with `principal` (unless kNoId) taken out and `added` put
  // in, and puts the antecedents back as they were.
  template <typename Then>
  bool with(Id principal, std::initializer_list<Id> added, Then&& then) {
    const std::size_t index = principal != kNoId ? take(principal) : 0;
    std::array<Id, 2> fresh{};
    std::size_t fresh_count = 0;
    for (Id id : added)
      if (add(id)) fresh[fresh_count++] = id;
    const bool result = then();
    while (fresh_count > 0) pop(fresh[--fresh_count]);
    if (principal != kNoId) put_back(principal, index);
    return result;
  }

  bool decide(Id goal) {
    stack_.check();
    poller_.poll();
    const FormulaInfo& g = table_[goal];
    if (g.verum || falsa_ > 0 || present(g.value)) return true;
    const Id goal_value = g.value;
    const std::uint64_t key = spread(set_key_ ^ ~g.key);
    const std::uint32_t known = answers_.find(key, [&](std::uint32_t e) { return same_set(entries_[e], goal_value); });
    if (known != kNoEntry) return entries_[known].provable;
    const std::uint64_t first = ++work_;
    const bool answer = by_rules(goal);
    if (work_ - first >= kWorthRemembering) {
      budget_.charge([&] { return remember(key, goal_value, answer); }, [&]() noexcept { forget(); });
    }
    return answer;
  }

  // The sides of a binary formula, copied out of the table (which grows,
  // and so moves, while premises are decided).
  std::pair<Id, Id> sides(Id id) const { return {table_[id].left, table_[id].right}; }

  // The first implication A -> B among the antecedents whose atom A is one too.
  Id atom_implication() const {
    for (Id id : of_rule(LeftRule::ImpAtom))
      if (present(value(table_[id].left))) return id;
    return kNoId;
  }

  // The rules after the axioms, in the search's order.
  bool by_rules(Id goal) {
    const Shape goal_shape = table_[goal].shape;
    const auto [gl, gr] = sides(goal);
    auto then_goal = [&] { return decide(goal); };
    if (goal_shape == Shape::Implies) return with(kNoId, {gl}, [&] { return decide(gr); });
    if (goal_shape == Shape::And) return decide(gl) && decide(gr);
    if (!of_rule(LeftRule::And).empty()) {
      const Id a = of_rule(LeftRule::And).front();
      const auto [l, r] = sides(a);
      return with(a, {l, r}, then_goal);
    }
    if (!of_rule(LeftRule::Or).empty()) {
      const Id a = of_rule(LeftRule::Or).front();
      const auto [l, r] = sides(a);
      return with(a, {l}, then_goal) && with(a, {r}, then_goal);
    }
    if (const Id a = atom_implication(); a != kNoId) return with(a, {table_[a].right}, then_goal);
    if (!of_rule(LeftRule::ImpAnd).empty()) {
      const Id a = of_rule(LeftRule::ImpAnd).front();
      return with(a, {table_.added_implications(a).first}, then_goal);
    }
    if (!of_rule(LeftRule::ImpOr).empty()) {
      const Id a = of_rule(LeftRule::ImpOr).front();
      const auto [e_b, f_b] = table_.added_implications(a);
      return with(a, {e_b, f_b}, then_goal);
    }
    if (goal_shape == Shape::Or && (decide(gl) || decide(gr))) return true;
    // L_Imp_Imp on each antecedent (E -> F) -> B in turn: F -> B, E ==> F
    // and B ==> goal.  Each premise puts the list back as it was.
    for (std::size_t i = 0; i < of_rule(LeftRule::ImpImp).size(); ++i) {
      const Id a = of_rule(LeftRule::ImpImp)[i];
      const auto [e_f, b] = sides(a);
      const auto [e, f] = sides(e_f);
      const Id f_b = table_.added_implications(a).first;
      if (with(a, {f_b, e}, [&] { return decide(f); }) && with(a, {b}, then_goal)) return true;
    }
    return false;
  }

  struct Entry {
    Id goal;
    std::uint32_t first, size;  // the values: values_[first, first + size)
    bool provable;
  };

  bool same_set(const Entry& e, Id goal) const {
    if (e.goal != goal || e.size != size_) return false;
    for (std::uint32_t i = e.first; i < e.first + e.size; ++i)
      if (!present(values_[i])) return false;
    return true;
  }

  // Remembers the answer for the antecedents at hand; the bytes added.
  std::size_t remember(std::uint64_t key, Id goal, bool provable) {
    const Entry entry{goal, static_cast<std::uint32_t>(values_.size()), size_, provable};
    for (const auto& list : by_rule_)
      for (Id id : list) values_.push_back(value(id));
    entries_.push_back(entry);
    answers_.add(key);
    return sizeof(Entry) + core::DenseIndex::kBytesPerNumber + size_ * sizeof(Id);
  }

  void forget() noexcept {
    release(values_);
    release(entries_);
    answers_.release();
  }

  // A sequent decided in fewer steps costs less to decide again than to remember.
  static constexpr std::uint64_t kWorthRemembering = 4;

  FormulaTable& table_;
  core::InterruptPoller& poller_;
  const core::StackLimit& stack_;
  Budget budget_{2};
  std::array<std::vector<Id>, kLeftRules> by_rule_;  // the antecedents at hand, by their left rule
  std::vector<std::uint8_t> present_;            // by value
  std::uint64_t set_key_ = 0;  // a sum of one key per value: order and repetition do not count
  std::uint32_t size_ = 0, falsa_ = 0;  // values present; falsum among them
  std::uint64_t work_ = 0;              // decisions taken so far
  std::vector<Id> values_;
  std::vector<Entry> entries_;
  core::DenseIndex answers_;  // entry numbers are those of entries_
};

// One proof: the formula table, the antecedents of the sequent at hand and
// their marks, and what the proof has learnt.  The antecedents live in one
// list that each premise edits in place (the principal formula taken out,
// the new formulas appended) and restores when its search returns, so the
// memory of a search grows with the size of the sequent plus its depth, not
// with their product.
//
// Where the search decides provability exactly, the decider can take over
// the exploration.  The search runs alone while its failures seldom repeat:
// then it costs least, and most of its work goes into the proof.  Once they
// repeat (RepeatWatch), it asks the decider before it derives a sequent not
// yet known provable, and at each choice it takes the first alternative
// whose premises the decider proves, which is the one the search alone would
// have kept.  A sequent known provable passes that knowledge to the premises
// of its invertible rules.  From then on proof nodes are built only for the
// proof itself, and the failures are explored in the decider, on sets and
// remembered.
class Search {
 public:
  Search(const PremiseSearch& premise_search, LJTProver::Memory memory)
      : premise_search_(premise_search),
        remember_(memory != LJTProver::Memory::Off && !premise_search),
        from_start_(memory == LJTProver::Memory::FromStart) {}

  LJTProofNodePtr run(const SequentPtr& seq) {
    const Id goal = table_.intern(seq->succedent());
    for (std::size_t i = 0; i < seq->antecedent_count(); ++i) gamma_.push_back(table_.intern(seq->antecedent(i)));
    for (Id id : gamma_) gamma_key_ += info(id).key;
    guided_ = remember_ && table_.decided(goal) &&
              std::all_of(gamma_.begin(), gamma_.end(), [&](Id id) { return table_.decided(id); });
    asking_ = guided_ && from_start_;
    return prove(goal, &seq, false);
  }

 private:
  // Searches the current antecedents with the goal `goal`; `known` when the
  // decider has found the sequent provable.  The node carries `given` when
  // set, else a sequent built from them.  The recursion runs through prove,
  // derive and premise; what they rarely need lives in functions of its
  // own, which keeps each level's stack frames small.  Only premises are
  // looked up: the given sequent is the first of the search, and every
  // premise is smaller than it.
  LJTProofNodePtr prove(Id goal, const SequentPtr* given, bool known) {
    stack_.check();
    poller_.poll();
    const std::uint64_t first = ++searched_;
    const Scan scan = scan_sequent(goal);
    // A sequent that an axiom closes is derived at once, without the memory.
    const bool remembered = remember_ && !given && !(scan.falsum || scan.goal || info(goal).verum);
    if (remembered) {
      if (LJTProofNodePtr known_node = proofs_.proved(proof_key(goal, scan), goal, gamma_)) return known_node;
    }
    Derivation d;
    if (!derive(goal, scan, d, known)) {
      if (guided_ && !asking_ && worth_watching(first)) watch_failure(goal, cost_since(first));
      return nullptr;
    }
    LJTProofNodePtr node = conclude(goal, given, d);
    if (remembered && searched_ - first >= kShared) remember_proof(proof_key(goal, scan), node);
    return node;
  }

  // The sequents searched since the one counted as `first`, itself included.
  std::uint32_t cost_since(std::uint64_t first) const {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(searched_ - first + 1, UINT32_MAX));
  }

  // A sequent that failed at once, with no rule to apply, tells nothing about repeats.
  bool worth_watching(std::uint64_t first) const { return searched_ > first; }
  // Proofs found in fewer sequents are not shared: searching them again
  // costs less than a memory that large proofs would fill with them, whose
  // every lookup then misses the cache.
  static constexpr std::uint64_t kShared = 256;

  std::uint64_t proof_key(Id goal, const Scan& scan) const { return scan.order_key ^ info(goal).key; }

  [[gnu::noinline]] void remember_proof(std::uint64_t key, const LJTProofNodePtr& node) {
    budget_.charge([&] { return proofs_.remember(key, node); }, [&]() noexcept { proofs_.forget(); });
  }

  [[gnu::noinline]] LJTProofNodePtr conclude(Id goal, const SequentPtr* given, Derivation& d) const {
    return std::make_shared<const LJTProofNode>(given ? *given : make_sequent(goal), d.rule, std::move(d.premises));
  }

  [[gnu::noinline]] LJTProofNodePtr ask_premise_search(Id goal) const { return premise_search_(make_sequent(goal)); }

  Id at(std::size_t i) const { return gamma_[i]; }
  const FormulaInfo& info(Id id) const { return table_[id]; }
  Id value(Id id) const { return table_[id].value; }

  SequentPtr make_sequent(Id goal) const { return std::make_shared<const Sequent>(table_.pool(), gamma_, goal); }

  // One pass over the antecedents: what the rules up to L_Imp_Or look for,
  // the key of the proof memory, and the marks of the antecedents' values.
  Scan scan_sequent(Id goal) {
    marks_.next_round(table_.value_count());
    Scan s;
    std::uint64_t order = gamma_.size();
    for (std::size_t i = 0; i < gamma_.size(); ++i) {
      const FormulaInfo& f = info(at(i));
      marks_.mark(f.value);
      order = order * 0x100000001b3ULL + f.value;
      s.falsum |= f.falsum;
      auto first = [i](std::size_t& slot) {
        if (slot == Scan::kNone) slot = i;
      };
      switch (f.left_rule) {
        case LeftRule::And: first(s.first_and); break;
        case LeftRule::Or: first(s.first_or); break;
        case LeftRule::ImpAnd: first(s.first_imp_and); break;
        case LeftRule::ImpOr: first(s.first_imp_or); break;
        default: break;
      }
    }
    s.order_key = spread(order);
    s.goal = marks_.marked(value(goal));
    return s;
  }

  // The first implication A -> B with A atomic and among the antecedents
  // (as marked by the last scan).
  std::size_t first_atom_implication() const {
    for (std::size_t i = 0; i < gamma_.size(); ++i) {
      const FormulaInfo& f = info(at(i));
      if (f.left_rule == LeftRule::ImpAtom && marks_.marked(value(f.left))) return i;
    }
    return Scan::kNone;
  }

  // Runs `then` on the antecedents edited for a premise: without the one at
  // `consumed` (unless it is kNone), followed by `added`.  The list is edited
  // in place and restored before returning; when `then` throws, the whole
  // search is abandoned with the list as it is.
  template <typename Then>
  auto with_premise(std::size_t consumed, std::initializer_list<Id> added, Then&& then) {
    const bool consumes = consumed != Scan::kNone;
    const Id principal = consumes ? gamma_[consumed] : kNoId;
    const std::uint64_t key_before = gamma_key_;
    if (consumes) {
      gamma_.erase(gamma_.begin() + static_cast<std::ptrdiff_t>(consumed));
      gamma_key_ -= info(principal).key;
    }
    gamma_.insert(gamma_.end(), added);
    for (Id id : added) gamma_key_ += info(id).key;
    auto result = then();
    gamma_.resize(gamma_.size() - added.size());
    if (consumes) gamma_.insert(gamma_.begin() + static_cast<std::ptrdiff_t>(consumed), principal);
    gamma_key_ = key_before;
    return result;
  }

  // Notes a failure of the search alone; when failures repeat, the decider
  // is asked from now on.
  [[gnu::noinline]] void watch_failure(Id goal, std::uint32_t cost) {
    if (watch_.failed(spread(gamma_key_ ^ ~info(goal).key), cost)) asking_ = true;
  }

  // Whether the decider proves the current antecedents ==> `goal`.
  [[gnu::noinline]] bool decides(Id goal) { return decider_.provable(gamma_, goal); }

  // Whether the decider proves the premise: the current antecedents edited
  // as with_premise says, ==> `goal`.
  [[gnu::noinline]] bool decides(std::size_t consumed, std::initializer_list<Id> added, Id goal) {
    return with_premise(consumed, added, [&] { return decides(goal); });
  }

  // Searches the premise: the current antecedents edited as with_premise
  // says, ==> `goal`; `known` when it is known provable.
  LJTProofNodePtr premise(std::size_t consumed, std::initializer_list<Id> added, Id goal, bool known) {
    return with_premise(consumed, added,
                        [&] { return premise_search_ ? ask_premise_search(goal) : prove(goal, nullptr, known); });
  }

  static bool close(Derivation& d, const char* rule) {
    d.rule = rule;
    return true;
  }

  // Tries the premises of one rule in order, stopping at the first failure.
  template <typename... Attempts>
  static bool derive_by(Derivation& d, const char* rule, Attempts&&... attempts) {
    d.premises.clear();
    if (!(keep(d, attempts()) && ...)) return false;
    d.rule = rule;
    return true;
  }

  // Adds a premise's derivation; false when the premise failed.
  [[gnu::noinline]] static bool keep(Derivation& d, LJTProofNodePtr premise) {
    if (!premise) return false;
    d.premises.push_back(std::move(premise));
    return true;
  }

  // The sides of a binary formula, copied out of the table (which grows, and
  // so moves, while premises are searched).
  struct Sides {
    Id left, right;
  };
  Sides sides(Id id) const { return {info(id).left, info(id).right}; }

  // The rules in their fixed order.  Steps up to L_Imp_Or commit to the
  // first rule that applies; the disjunctive goal and the implications
  // (E -> F) -> B are backtracked.  The premises of an invertible rule of a
  // provable sequent are provable.
  bool derive(Id g, const Scan& a, Derivation& d, bool known) {
    constexpr std::size_t kAll = Scan::kNone;
    const Shape goal_shape = info(g).shape;
    const auto [gl, gr] = sides(g);
    if (info(g).verum) return close(d, kRTop);
    if (a.falsum) return close(d, kLBot);
    if (a.goal) return close(d, kAx);
    if (!known && asking_) {
      if (!decides(g)) return false;
      known = true;
    }
    if (goal_shape == Shape::Implies) return derive_by(d, kRImp, [&] { return premise(kAll, {gl}, gr, known); });
    if (goal_shape == Shape::And)
      return derive_by(d, kRAnd, [&] { return premise(kAll, {}, gl, known); },
                       [&] { return premise(kAll, {}, gr, known); });
    if (std::size_t i = a.first_and; i != kAll) {
      const auto [l, r] = sides(at(i));
      return derive_by(d, kLAnd, [&] { return premise(i, {l, r}, g, known); });
    }
    if (std::size_t i = a.first_or; i != kAll) {
      const auto [l, r] = sides(at(i));
      return derive_by(d, kLOr, [&] { return premise(i, {l}, g, known); }, [&] { return premise(i, {r}, g, known); });
    }
    if (std::size_t i = first_atom_implication(); i != kAll) {
      const Id b = sides(at(i)).right;
      return derive_by(d, kLImpAtom, [&] { return premise(i, {b}, g, known); });
    }
    if (std::size_t i = a.first_imp_and; i != kAll) {
      const Id curried = table_.added_implications(at(i)).first;
      return derive_by(d, kLImpAnd, [&] { return premise(i, {curried}, g, known); });
    }
    if (std::size_t i = a.first_imp_or; i != kAll) {
      const auto [e_b, f_b] = table_.added_implications(at(i));
      return derive_by(d, kLImpOr, [&] { return premise(i, {e_b, f_b}, g, known); });
    }
    return derive_by_choice(g, d, goal_shape == Shape::Or, known);
  }

  // The two rules that may have to be undone: a disjunct of the goal, then
  // each implication (E -> F) -> B in turn, until one gives both premises:
  // F -> B, E |- F and B |- G.  Once the decider is asked, only an
  // alternative whose premises it proves is derived.
  bool derive_by_choice(Id g, Derivation& d, bool disjunctive_goal, bool known) {
    if (!known && asking_) {
      if (!decides(g)) return false;
      known = true;
    }
    auto viable = [&](std::size_t consumed, std::initializer_list<Id> added, Id goal) {
      return !known || decides(consumed, added, goal);
    };
    if (disjunctive_goal) {
      const auto [gl, gr] = sides(g);
      if (viable(Scan::kNone, {}, gl) && derive_by(d, kROr1, [&] { return premise(Scan::kNone, {}, gl, known); }))
        return true;
      if (viable(Scan::kNone, {}, gr) && derive_by(d, kROr2, [&] { return premise(Scan::kNone, {}, gr, known); }))
        return true;
    }
    for (std::size_t i = 0; i < gamma_.size(); ++i) {
      if (info(at(i)).left_rule != LeftRule::ImpImp) continue;
      const auto [e_f, b] = sides(at(i));
      const auto [e, f] = sides(e_f);
      const Id f_b = table_.added_implications(at(i)).first;
      if (viable(i, {f_b, e}, f) && viable(i, {b}, g) &&
          derive_by(d, kLImpImp, [&] { return premise(i, {f_b, e}, f, known); },
                    [&] { return premise(i, {b}, g, known); }))
        return true;
    }
    return false;
  }

  const PremiseSearch& premise_search_;
  const bool remember_;
  const bool from_start_;  // whether the decider is asked from the first sequent on
  bool guided_ = false;  // whether the decider serves: the search decides provability exactly in this proof
  bool asking_ = false;  // whether the decider is asked now: failures repeated, or from the start
  FormulaTable table_;
  core::InterruptPoller poller_;
  core::StackLimit stack_;
  Budget budget_{2};
  ProofMemo proofs_{table_};
  Decider decider_{table_, poller_, stack_};
  RepeatWatch watch_;
  std::uint64_t searched_ = 0;  // sequents searched so far
  std::vector<Id> gamma_;       // the antecedents of the sequent at hand
  std::uint64_t gamma_key_ = 0;  // a sum of their keys: order does not count
  Marks marks_;                 // of the values of the antecedents at the last scan
};

}  // namespace

SequentPtr LJTProver::initial_sequent(const NodePtr& target, const std::vector<NodePtr>& premises) {
  NodePtr goal = normalize_formula(target);
  std::vector<NodePtr> antecedents;
  antecedents.reserve(premises.size());
  for (const auto& p : premises) antecedents.push_back(normalize_formula(p));
  return std::make_shared<const Sequent>(std::move(antecedents), std::move(goal));
}

LJTProofNodePtr LJTProver::search(const SequentPtr& seq, const PremiseSearch& premise_search, Memory memory) const {
  return Search(premise_search, memory).run(seq);
}

LJTProofNodePtr LJTProver::prove(const NodePtr& target, const std::vector<NodePtr>& premises) const {
  return search(initial_sequent(target, premises));
}

}  // namespace constructive
