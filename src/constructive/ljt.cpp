#include "constructive/ljt.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <stdexcept>
#include <unordered_map>

#include "constructive/common.hpp"
#include "core/interrupt.hpp"
#include "core/release.hpp"
#include "core/parser.hpp"

namespace constructive {

using core::RecursionGuard;
namespace pyhash = core::pyhash;

using namespace rule_name;

// ---------------------------------------------------------------------------
// Sequents
// ---------------------------------------------------------------------------
FormulaPool::Id FormulaPool::add(NodePtr formula) {
  formulas_.push_back(std::move(formula));
  return static_cast<Id>(formulas_.size() - 1);
}

// Copies `ids` into memory of memory_, two bytes an index where they all fit.
void Sequent::keep_ids(std::span<const Id> ids) {
  if (ids.empty()) return;
  if (ids.size() >= (std::size_t{1} << 31)) throw std::length_error("too many antecedents");
  const bool narrow = std::all_of(ids.begin(), ids.end(), [](Id id) { return id <= 0xFFFF; });
  void* out = memory_->allocate(ids.size() * (narrow ? sizeof(std::uint16_t) : sizeof(Id)), alignof(Id));
  if (narrow)
    std::transform(ids.begin(), ids.end(), static_cast<std::uint16_t*>(out),
                   [](Id id) { return static_cast<std::uint16_t>(id); });
  else
    std::copy(ids.begin(), ids.end(), static_cast<Id*>(out));
  antecedents_ = out;
  count_ = static_cast<std::uint32_t>(ids.size());
  narrow_ = narrow;
}

Sequent::Sequent(const std::vector<NodePtr>& antecedents, NodePtr succedent, std::shared_ptr<const void> origin)
    : memory_(std::pmr::new_delete_resource()) {
  auto pool = std::make_shared<FormulaPool>();
  std::vector<Id> ids;
  ids.reserve(antecedents.size());
  for (const auto& a : antecedents) ids.push_back(pool->add(a));
  succedent_ = pool->add(std::move(succedent));
  pool_ = std::move(pool);
  if (origin) origin_ = std::make_unique<const std::shared_ptr<const void>>(std::move(origin));
  keep_ids(ids);
}

Sequent::Sequent(FormulaPoolPtr pool, std::span<const Id> antecedents, Id succedent, std::pmr::memory_resource* memory)
    : pool_(std::move(pool)), memory_(memory), succedent_(succedent) {
  keep_ids(antecedents);
}

Sequent::~Sequent() {
  if (antecedents_) memory_->deallocate(const_cast<void*>(antecedents_), id_bytes(), alignof(Id));
}

const std::shared_ptr<const void>& Sequent::origin() const {
  static const std::shared_ptr<const void> kNone;
  return origin_ ? *origin_ : kNone;
}

pyhash::hash_t Sequent::hash() const {
  pyhash::hash_t h = hash_.load(std::memory_order_relaxed);
  if (h != kNoHash) return h;
  pyhash::TupleHasher members;
  for (std::size_t i = 0; i < count_; ++i) members.add(antecedent(i)->hash());
  h = pyhash::of_tuple({members.finish(), succedent()->hash()});
  hash_.store(h, std::memory_order_relaxed);
  return h;
}

std::vector<NodePtr> Sequent::antecedents() const {
  std::vector<NodePtr> out;
  out.reserve(count_);
  for (std::size_t i = 0; i < count_; ++i) out.push_back(antecedent(i));
  return out;
}

bool Sequent::operator==(const Sequent& other) const {
  if (this == &other) return true;
  if (count_ != other.count_ || hash() != other.hash()) return false;
  auto same = [&](Id mine, Id theirs) {  // one index of a shared pool is one formula
    return (pool_ == other.pool_ && mine == theirs) || core::equal((*pool_)[mine], (*other.pool_)[theirs]);
  };
  for (std::size_t i = 0; i < count_; ++i)
    if (!same(antecedent_id(i), other.antecedent_id(i))) return false;
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
  for (std::size_t i = 0; i < count_; ++i) {
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
namespace {
// The name of one of the calculus's rules, kept once for every node; null
// for any other name.  The search passes the rule_name constants
// themselves, which are found by address.
const std::string* calculus_rule(std::string_view name) {
  static constexpr std::array<const char*, 13> kNames{kRTop,     kLBot,     kAx,        kRImp,     kRAnd,
                                                      kLAnd,     kLOr,      kLImpAtom,  kLImpAnd,  kLImpOr,
                                                      kROr1,     kROr2,     kLImpImp};
  static const std::array<std::string, 13> kTexts = [] {
    std::array<std::string, 13> texts;
    for (std::size_t i = 0; i < kNames.size(); ++i) texts[i] = kNames[i];
    return texts;
  }();
  for (std::size_t i = 0; i < kNames.size(); ++i)
    if (name.data() == kNames[i]) return &kTexts[i];
  for (const std::string& text : kTexts)
    if (text == name) return &text;
  return nullptr;
}
}  // namespace

LJTProofNode::LJTProofNode(SequentPtr sequent, std::string_view rule, std::span<LJTProofNodePtr> premises)
    : sequent_(std::move(sequent)), rule_(calculus_rule(rule)) {
  if (!rule_) {
    own_rule_ = std::make_unique<const std::string>(rule);
    rule_ = own_rule_.get();
  }
  if (premises.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many premises");
  if (premises.size() > std::size(few_premises_)) more_premises_ = std::make_unique<LJTProofNodePtr[]>(premises.size());
  premise_count_ = static_cast<std::uint32_t>(premises.size());
  std::move(premises.begin(), premises.end(), own_premises().begin());
}

pyhash::hash_t LJTProofNode::hash() const {
  pyhash::hash_t h = hash_.load(std::memory_order_relaxed);
  if (h != kNoHash) return h;
  RecursionGuard guard;
  pyhash::TupleHasher subtree;
  for (const auto& p : premises()) subtree.add(p->hash());
  h = pyhash::of_tuple({sequent_->hash(), pyhash::of_string(*rule_), subtree.finish()});
  hash_.store(h, std::memory_order_relaxed);
  return h;
}

// A deep derivation is released by a loop instead of by nested destructors.
LJTProofNode::~LJTProofNode() {
  std::span<LJTProofNodePtr> premises = own_premises();
  core::TreeRelease<LJTProofNode>::release_all(premises);
}

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
// sorted indices are compared first, and only the few formulas left over by
// value.
Difference difference(const Sequent& first, const Sequent& second) {
  if (first.pool() != second.pool()) return difference(first.antecedents(), second.antecedents());
  auto ids_of = [](const Sequent& s) {
    std::vector<Sequent::Id> ids(s.antecedent_count());
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = s.antecedent_id(i);
    return ids;
  };
  std::vector<Sequent::Id> a = ids_of(first), b = ids_of(second);
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  Formulas left_over_first, left_over_second;
  std::size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    if (j == b.size() || (i < a.size() && a[i] < b[j])) {
      left_over_first.push_back((*first.pool())[a[i++]]);
    } else if (i == a.size() || b[j] < a[i]) {
      left_over_second.push_back((*second.pool())[b[j++]]);
    } else {
      ++i, ++j;
    }
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


}  // namespace constructive
