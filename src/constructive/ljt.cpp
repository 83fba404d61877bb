#include "constructive/ljt.hpp"

#include <span>
#include <unordered_map>
#include <unordered_set>

#include "constructive/common.hpp"
#include "core/parser.hpp"

namespace constructive {

using core::as;
using core::BinaryFormula;
using core::Node;
using core::NodeKind;
using core::NodePtr;
using core::RecursionGuard;
namespace pyhash = core::pyhash;

namespace {

// The rule names, as proof nodes carry them.
constexpr const char* kRTop = "R_Top";
constexpr const char* kLBot = "L_Bot";
constexpr const char* kAx = "Ax";
constexpr const char* kRImp = "R_Imp";
constexpr const char* kRAnd = "R_And";
constexpr const char* kLAnd = "L_And";
constexpr const char* kLOr = "L_Or";
constexpr const char* kLImpAtom = "L_Imp_Atom";
constexpr const char* kLImpAnd = "L_Imp_And";
constexpr const char* kLImpOr = "L_Imp_Or";
constexpr const char* kROr1 = "R_Or1";
constexpr const char* kROr2 = "R_Or2";
constexpr const char* kLImpImp = "L_Imp_Imp";

bool is_axiom_rule(const std::string& rule) { return rule == kAx || rule == kLBot || rule == kRTop; }

const BinaryFormula* as_binary(const NodePtr& f, NodeKind kind) {
  return f->kind() == kind ? &as<BinaryFormula>(*f) : nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Sequents
// ---------------------------------------------------------------------------
Sequent::Sequent(std::vector<NodePtr> antecedents, NodePtr succedent)
    : antecedents_(std::move(antecedents)), succedent_(std::move(succedent)) {
  pyhash::TupleHasher members;
  for (const auto& a : antecedents_) members.add(a->hash());
  hash_ = pyhash::of_tuple({members.finish(), succedent_->hash()});
}

bool Sequent::operator==(const Sequent& other) const {
  if (this == &other) return true;
  if (hash_ != other.hash_ || antecedents_.size() != other.antecedents_.size()) return false;
  for (std::size_t i = 0; i < antecedents_.size(); ++i)
    if (!core::equal(antecedents_[i], other.antecedents_[i])) return false;
  return core::equal(succedent_, other.succedent_);
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
    out += member(antecedents_[i]);
  }
  out += latex ? " \\vdash " : " ==> ";
  out += member(succedent_);
  return out;
}

// ---------------------------------------------------------------------------
// Proof nodes
// ---------------------------------------------------------------------------
namespace {

// Proof nodes whose last owner is being destroyed further up the stack; a
// deep derivation is released by a loop instead of by nested destructors.
thread_local std::vector<LJTProofNodePtr>* t_pending_nodes = nullptr;

void release_premises(std::vector<LJTProofNodePtr>& premises) noexcept {
  std::vector<LJTProofNodePtr> pending;
  bool outermost = t_pending_nodes == nullptr;
  if (outermost) t_pending_nodes = &pending;
  for (auto& p : premises) {
    if (p && p.use_count() == 1) t_pending_nodes->push_back(std::move(p));
  }
  premises.clear();
  if (!outermost) return;
  while (!pending.empty()) {
    LJTProofNodePtr next = std::move(pending.back());
    pending.pop_back();
    next.reset();  // queues its own premises
  }
  t_pending_nodes = nullptr;
}

}  // namespace

LJTProofNode::LJTProofNode(SequentPtr sequent, std::string rule, std::vector<LJTProofNodePtr> premises)
    : sequent_(std::move(sequent)), rule_(std::move(rule)), premises_(std::move(premises)) {
  pyhash::TupleHasher subtree;
  for (const auto& p : premises_) subtree.add(p->hash());
  hash_ = pyhash::of_tuple({sequent_->hash(), pyhash::of_string(rule_), subtree.finish()});
}

LJTProofNode::~LJTProofNode() { release_premises(premises_); }

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

bool contains(const Formulas& formulas, const NodePtr& f) {
  for (const auto& g : formulas)
    if (core::equal(g, f)) return true;
  return false;
}

Formulas with(Formulas base, std::initializer_list<NodePtr> added) {
  base.insert(base.end(), added.begin(), added.end());
  return base;
}

Formulas without(const Formulas& formulas, std::size_t position) {
  Formulas rest;
  rest.reserve(formulas.size());
  for (std::size_t i = 0; i < formulas.size(); ++i)
    if (i != position) rest.push_back(formulas[i]);
  return rest;
}

// One proof node seen as an inference: its conclusion and premises.
class Inference {
 public:
  explicit Inference(const LJTProofNode& node)
      : node_(node), gamma_(node.sequent()->antecedents()), goal_(node.sequent()->succedent()) {}

  bool correct() const {
    const std::string& rule = node_.rule();
    if (rule == kRTop) return arity(0) && is_verum(*goal_);
    if (rule == kLBot) return arity(0) && any_antecedent([](const NodePtr& f) { return is_falsum(*f); });
    if (rule == kAx) return arity(0) && contains(gamma_, goal_);
    if (rule == kRImp) return right_rule(NodeKind::Implies, 1, [&](const BinaryFormula& g) {
             return premise(0, with(gamma_, {g.left()}), g.right());
           });
    if (rule == kRAnd) return right_rule(NodeKind::And, 2, [&](const BinaryFormula& g) {
             return premise(0, gamma_, g.left()) && premise(1, gamma_, g.right());
           });
    if (rule == kROr1) return right_rule(NodeKind::Or, 1, [&](const BinaryFormula& g) {
             return premise(0, gamma_, g.left());
           });
    if (rule == kROr2) return right_rule(NodeKind::Or, 1, [&](const BinaryFormula& g) {
             return premise(0, gamma_, g.right());
           });
    if (rule == kLAnd) return left_rule(NodeKind::And, 1, [&](const Formulas& rest, const BinaryFormula& a) {
             return premise(0, with(rest, {a.left(), a.right()}), goal_);
           });
    if (rule == kLOr) return left_rule(NodeKind::Or, 2, [&](const Formulas& rest, const BinaryFormula& a) {
             return premise(0, with(rest, {a.left()}), goal_) && premise(1, with(rest, {a.right()}), goal_);
           });
    if (rule == kLImpAtom) return left_rule(NodeKind::Implies, 1, [&](const Formulas& rest, const BinaryFormula& a) {
             return is_atomic(*a.left()) && contains(gamma_, a.left()) && premise(0, with(rest, {a.right()}), goal_);
           });
    if (rule == kLImpAnd) return left_implication(NodeKind::And, 1, [&](const Formulas& rest, const BinaryFormula& e_f,
                                                                        const NodePtr& b) {
             NodePtr curried = core::make_implies(e_f.left(), core::make_implies(e_f.right(), b));
             return premise(0, with(rest, {curried}), goal_);
           });
    if (rule == kLImpOr) return left_implication(NodeKind::Or, 1, [&](const Formulas& rest, const BinaryFormula& e_f,
                                                                      const NodePtr& b) {
             return premise(0, with(rest, {core::make_implies(e_f.left(), b), core::make_implies(e_f.right(), b)}),
                            goal_);
           });
    if (rule == kLImpImp) return left_implication(NodeKind::Implies, 2, [&](const Formulas& rest,
                                                                            const BinaryFormula& e_f, const NodePtr& b) {
             return premise(0, with(rest, {core::make_implies(e_f.right(), b), e_f.left()}), e_f.right()) &&
                    premise(1, with(rest, {b}), goal_);
           });
    return false;  // not a rule of the calculus
  }

 private:
  bool arity(std::size_t n) const { return node_.premises().size() == n; }

  template <typename Pred>
  bool any_antecedent(Pred pred) const {
    for (const auto& f : gamma_)
      if (pred(f)) return true;
    return false;
  }

  bool premise(std::size_t k, const Formulas& antecedents, const NodePtr& goal) const {
    const Sequent& s = *node_.premises()[k]->sequent();
    return core::equal(s.succedent(), goal) && same_multiset(s.antecedents(), antecedents);
  }

  template <typename Check>
  bool right_rule(NodeKind kind, std::size_t n, Check check) const {
    const BinaryFormula* g = as_binary(goal_, kind);
    return arity(n) && g && check(*g);
  }

  // Some antecedent of the given kind is the principal formula.
  template <typename Check>
  bool left_rule(NodeKind kind, std::size_t n, Check check) const {
    if (!arity(n)) return false;
    for (std::size_t i = 0; i < gamma_.size(); ++i) {
      const BinaryFormula* a = as_binary(gamma_[i], kind);
      if (a && check(without(gamma_, i), *a)) return true;
    }
    return false;
  }

  // Some implication whose left side is of the given kind is principal.
  template <typename Check>
  bool left_implication(NodeKind left_kind, std::size_t n, Check check) const {
    return left_rule(NodeKind::Implies, n, [&](const Formulas& rest, const BinaryFormula& imp) {
      const BinaryFormula* e_f = as_binary(imp.left(), left_kind);
      return e_f && check(rest, *e_f, imp.right());
    });
  }

  const LJTProofNode& node_;
  const Formulas& gamma_;
  const NodePtr& goal_;
};

}  // namespace

bool is_correct_inference(const LJTProofNode& node) { return Inference(node).correct(); }

// ---------------------------------------------------------------------------
// Proof trees: measures, check and renderings
// ---------------------------------------------------------------------------
namespace {

std::int64_t node_depth(const LJTProofNode& node) {
  RecursionGuard guard;
  std::int64_t deepest = 0;
  for (const auto& p : node.premises()) deepest = std::max(deepest, node_depth(*p));
  return deepest + 1;
}

std::int64_t node_size(const LJTProofNode& node) {
  RecursionGuard guard;
  std::int64_t total = 1;
  for (const auto& p : node.premises()) total += node_size(*p);
  return total;
}

bool node_valid(const LJTProofNode& node) {
  RecursionGuard guard;
  if (node.premises().empty() && !is_axiom_rule(node.rule())) return false;
  if (!is_correct_inference(node)) return false;
  for (const auto& p : node.premises())
    if (!node_valid(*p)) return false;
  return true;
}

std::string node_text(const LJTProofNode& node) { return "[" + node.rule() + "] " + node.sequent()->to_string(); }

void render_ascii(const LJTProofNode& node, const std::string& prefix, bool is_last, std::vector<std::string>& lines) {
  RecursionGuard guard;
  lines.push_back(prefix + (is_last ? "`-- " : "|-- ") + node_text(node));
  const std::string child_prefix = prefix + (is_last ? "    " : "|   ");
  const auto& premises = node.premises();
  for (std::size_t i = 0; i < premises.size(); ++i)
    render_ascii(*premises[i], child_prefix, i + 1 == premises.size(), lines);
}

// Text-mode LaTeX for a rule label: the characters that LaTeX treats
// specially are escaped ("L_Imp_Imp" becomes "L\_Imp\_Imp").
std::string latex_text(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '_': case '&': case '%': case '$': case '#': case '{': case '}': out += '\\'; out += c; break;
      case '\\': out += "\\textbackslash{}"; break;
      case '^': out += "\\textasciicircum{}"; break;
      case '~': out += "\\textasciitilde{}"; break;
      default: out += c;
    }
  }
  return out;
}

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
  lines.push_back("  \\RightLabel{" + latex_text(node.rule()) + "}");
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

std::int64_t LJTProofTree::depth() const { return node_depth(*root); }
std::int64_t LJTProofTree::size() const { return node_size(*root); }
bool LJTProofTree::is_valid() const { return node_valid(*root); }

std::string LJTProofTree::to_ascii() const {
  std::vector<std::string> lines{node_text(*root)};
  const auto& premises = root->premises();
  for (std::size_t i = 0; i < premises.size(); ++i) render_ascii(*premises[i], "", i + 1 == premises.size(), lines);
  return join_lines(lines);
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

// What the rules ask of a formula, worked out once per proof.
struct FormulaInfo {
  NodePtr node;
  Shape shape;
  Shape left_shape;  // of the left side, for implications
  bool falsum, verum, atomic;
  Id left, right;  // the sides of And, Or and Implies
};

// The formulas of one proof, each structurally distinct formula once, so
// that formula equality inside the search is equality of ids.
class FormulaTable {
 public:
  Id intern(const NodePtr& f) {
    if (auto it = ids_.find(f); it != ids_.end()) return it->second;
    RecursionGuard guard;
    FormulaInfo info{f, shape_of(*f), Shape::Other, is_falsum(*f), is_verum(*f), is_atomic(*f), 0, 0};
    if (info.shape != Shape::Other) {
      const auto& b = as<BinaryFormula>(*f);
      info.left = intern(b.left());
      info.right = intern(b.right());
      info.left_shape = infos_[info.left].shape;
    }
    Id id = static_cast<Id>(infos_.size());
    infos_.push_back(std::move(info));
    ids_.emplace(f, id);
    return id;
  }

  // The implication left -> right, built once per proof.
  Id implies(Id left, Id right) {
    std::uint64_t key = (static_cast<std::uint64_t>(left) << 32) | right;
    if (auto it = implications_.find(key); it != implications_.end()) return it->second;
    Id id = intern(core::make_implies(infos_[left].node, infos_[right].node));
    implications_.emplace(key, id);
    return id;
  }

  const FormulaInfo& operator[](Id id) const { return infos_[id]; }

 private:
  std::vector<FormulaInfo> infos_;
  std::unordered_map<NodePtr, Id, core::NodeHash, core::NodeEq> ids_;
  std::unordered_map<std::uint64_t, Id> implications_;
};

// A sequent under search: its antecedents are `size` ids on the search's
// stack from `begin` on.
struct View {
  std::size_t begin, size;
  Id goal;
};

// Sequents already refused in this proof, keyed by [goal, antecedents...].
class FailedSequents {
 public:
  struct Key {
    Id goal;
    std::span<const Id> antecedents;
  };

  bool contains(const Key& key) const { return keys_.find(key) != keys_.end(); }

  void insert(const Key& key) {
    if (keys_.size() >= kCapacity) return;  // past this, forget rather than grow
    std::vector<Id> stored;
    stored.reserve(key.antecedents.size() + 1);
    stored.push_back(key.goal);
    stored.insert(stored.end(), key.antecedents.begin(), key.antecedents.end());
    keys_.insert(std::move(stored));
  }

 private:
  static constexpr std::size_t kCapacity = 1u << 18;

  static std::size_t mix(std::size_t h, Id x) { return (h ^ x) * 0x100000001b3ULL; }
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(const Key& k) const {
      std::size_t h = mix(0xcbf29ce484222325ULL, k.goal);
      for (Id x : k.antecedents) h = mix(h, x);
      return h;
    }
    std::size_t operator()(const std::vector<Id>& v) const {
      return (*this)(Key{v[0], std::span<const Id>(v).subspan(1)});
    }
  };
  struct Eq {
    using is_transparent = void;
    static Key key(const std::vector<Id>& v) { return Key{v[0], std::span<const Id>(v).subspan(1)}; }
    static Key key(const Key& k) { return k; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      Key x = key(a), y = key(b);
      return x.goal == y.goal && std::equal(x.antecedents.begin(), x.antecedents.end(), y.antecedents.begin(),
                                            y.antecedents.end());
    }
  };
  std::unordered_set<std::vector<Id>, Hash, Eq> keys_;
};

// The outcome of the rules on one sequent: the rule that derived it and the
// derivations of its premises.
struct Derivation {
  const char* rule = nullptr;
  std::vector<LJTProofNodePtr> premises;
};

// Where the first antecedent of each kind that the rules look for stands.
struct Antecedents {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  bool falsum = false, goal = false;
  std::size_t first_and = kNone, first_or = kNone, first_imp_and = kNone, first_imp_or = kNone;
};

// One proof: the formula table, the stack of antecedent ids and the sequents
// that failed.
class Search {
 public:
  explicit Search(const PremiseSearch& premise_search) : premise_search_(premise_search) {}

  LJTProofNodePtr run(const SequentPtr& seq) {
    View root{0, seq->antecedents().size(), table_.intern(seq->succedent())};
    for (const auto& a : seq->antecedents()) stack_.push_back(table_.intern(a));
    return prove(root, seq);
  }

 private:
  // Searches the sequent `v`; the node carries `given` when set, else a
  // sequent built from `v`.
  LJTProofNodePtr prove(const View& v, SequentPtr given) {
    RecursionGuard guard;
    if (remembering() && failed_.contains({v.goal, antecedents(v)})) return nullptr;
    Derivation d;
    if (!derive(v, d)) {
      if (remembering()) failed_.insert({v.goal, antecedents(v)});
      return nullptr;
    }
    if (!given) given = make_sequent(v);
    return std::make_shared<const LJTProofNode>(std::move(given), d.rule, std::move(d.premises));
  }

  bool remembering() const { return !premise_search_; }

  std::span<const Id> antecedents(const View& v) const { return {stack_.data() + v.begin, v.size}; }
  Id at(const View& v, std::size_t i) const { return stack_[v.begin + i]; }
  const FormulaInfo& info(Id id) const { return table_[id]; }

  SequentPtr make_sequent(const View& v) const {
    std::vector<NodePtr> formulas;
    formulas.reserve(v.size);
    for (Id id : antecedents(v)) formulas.push_back(info(id).node);
    return std::make_shared<const Sequent>(std::move(formulas), info(v.goal).node);
  }

  Antecedents classify(const View& v) const {
    Antecedents a;
    for (std::size_t i = 0; i < v.size; ++i) {
      const Id id = at(v, i);
      const FormulaInfo& f = info(id);
      a.falsum |= f.falsum;
      a.goal |= id == v.goal;
      auto first = [i](std::size_t& slot) {
        if (slot == Antecedents::kNone) slot = i;
      };
      if (f.shape == Shape::And) first(a.first_and);
      if (f.shape == Shape::Or) first(a.first_or);
      if (f.shape == Shape::Implies && f.left_shape == Shape::And) first(a.first_imp_and);
      if (f.shape == Shape::Implies && f.left_shape == Shape::Or) first(a.first_imp_or);
    }
    return a;
  }

  bool has_antecedent(const View& v, Id id) const {
    for (Id x : antecedents(v))
      if (x == id) return true;
    return false;
  }

  // The first implication A -> B with A atomic and among the antecedents.
  std::size_t first_atom_implication(const View& v) const {
    for (std::size_t i = 0; i < v.size; ++i) {
      const FormulaInfo& f = info(at(v, i));
      if (f.shape == Shape::Implies && info(f.left).atomic && has_antecedent(v, f.left)) return i;
    }
    return Antecedents::kNone;
  }

  // Builds the premise with the antecedents of `v` (without the one at
  // `consumed`, unless it is kNone) followed by `added`, and searches it.
  LJTProofNodePtr premise(const View& v, std::size_t consumed, std::initializer_list<Id> added, Id goal) {
    const std::size_t begin = stack_.size();
    const std::size_t kept = v.size - (consumed == Antecedents::kNone ? 0 : 1);
    stack_.resize(begin + kept + added.size());
    Id* out = stack_.data() + begin;
    const Id* in = stack_.data() + v.begin;
    for (std::size_t i = 0; i < v.size; ++i)
      if (i != consumed) *out++ = in[i];
    for (Id id : added) *out++ = id;
    View child{begin, kept + added.size(), goal};
    LJTProofNodePtr node = premise_search_ ? premise_search_(make_sequent(child)) : prove(child, nullptr);
    stack_.resize(begin);
    return node;
  }

  static bool close(Derivation& d, const char* rule) {
    d.rule = rule;
    return true;
  }

  // Tries the premises of one rule in order, stopping at the first failure.
  template <typename... Attempts>
  static bool derive_by(Derivation& d, const char* rule, Attempts&&... attempts) {
    d.premises.clear();
    bool ok = ((d.premises.push_back(attempts()), d.premises.back() != nullptr) && ...);
    if (!ok) return false;
    d.rule = rule;
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
  // (E -> F) -> B are backtracked.
  bool derive(const View& v, Derivation& d) {
    constexpr std::size_t kAll = Antecedents::kNone;
    const Id g = v.goal;
    const Shape goal_shape = info(g).shape;
    const auto [gl, gr] = sides(g);
    if (info(g).verum) return close(d, kRTop);
    const Antecedents a = classify(v);
    if (a.falsum) return close(d, kLBot);
    if (a.goal) return close(d, kAx);
    if (goal_shape == Shape::Implies) return derive_by(d, kRImp, [&] { return premise(v, kAll, {gl}, gr); });
    if (goal_shape == Shape::And)
      return derive_by(d, kRAnd, [&] { return premise(v, kAll, {}, gl); }, [&] { return premise(v, kAll, {}, gr); });
    if (std::size_t i = a.first_and; i != kAll) {
      const auto [l, r] = sides(at(v, i));
      return derive_by(d, kLAnd, [&] { return premise(v, i, {l, r}, g); });
    }
    if (std::size_t i = a.first_or; i != kAll) {
      const auto [l, r] = sides(at(v, i));
      return derive_by(d, kLOr, [&] { return premise(v, i, {l}, g); }, [&] { return premise(v, i, {r}, g); });
    }
    if (std::size_t i = first_atom_implication(v); i != kAll) {
      const Id b = sides(at(v, i)).right;
      return derive_by(d, kLImpAtom, [&] { return premise(v, i, {b}, g); });
    }
    if (std::size_t i = a.first_imp_and; i != kAll) {
      const auto [e_f, b] = sides(at(v, i));
      const auto [e, f] = sides(e_f);
      const Id f_b = table_.implies(f, b);
      const Id curried = table_.implies(e, f_b);
      return derive_by(d, kLImpAnd, [&] { return premise(v, i, {curried}, g); });
    }
    if (std::size_t i = a.first_imp_or; i != kAll) {
      const auto [e_f, b] = sides(at(v, i));
      const auto [e, f] = sides(e_f);
      const Id e_b = table_.implies(e, b);
      const Id f_b = table_.implies(f, b);
      return derive_by(d, kLImpOr, [&] { return premise(v, i, {e_b, f_b}, g); });
    }
    if (goal_shape == Shape::Or) {
      if (derive_by(d, kROr1, [&] { return premise(v, kAll, {}, gl); })) return true;
      if (derive_by(d, kROr2, [&] { return premise(v, kAll, {}, gr); })) return true;
    }
    return derive_implication_of_implication(v, d);
  }

  // L_Imp_Imp: each antecedent (E -> F) -> B in turn, until one gives both
  // premises: F -> B, E |- F and B |- G.
  bool derive_implication_of_implication(const View& v, Derivation& d) {
    for (std::size_t i = 0; i < v.size; ++i) {
      if (info(at(v, i)).shape != Shape::Implies || info(at(v, i)).left_shape != Shape::Implies) continue;
      const auto [e_f, b] = sides(at(v, i));
      const auto [e, f] = sides(e_f);
      const Id f_b = table_.implies(f, b);
      if (derive_by(
              d, kLImpImp, [&] { return premise(v, i, {f_b, e}, f); }, [&] { return premise(v, i, {b}, v.goal); }))
        return true;
    }
    return false;
  }

  const PremiseSearch& premise_search_;
  FormulaTable table_;
  std::vector<Id> stack_;
  FailedSequents failed_;
};

}  // namespace

SequentPtr LJTProver::initial_sequent(const NodePtr& target, const std::vector<NodePtr>& premises) {
  NodePtr goal = normalize_formula(target);
  std::vector<NodePtr> antecedents;
  antecedents.reserve(premises.size());
  for (const auto& p : premises) antecedents.push_back(normalize_formula(p));
  return std::make_shared<const Sequent>(std::move(antecedents), std::move(goal));
}

LJTProofNodePtr LJTProver::search(const SequentPtr& seq, const PremiseSearch& premise_search) const {
  return Search(premise_search).run(seq);
}

LJTProofNodePtr LJTProver::prove(const NodePtr& target, const std::vector<NodePtr>& premises) const {
  return search(initial_sequent(target, premises));
}

}  // namespace constructive
