#include "constructive/tableau.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "constructive/common.hpp"
#include "core/interrupt.hpp"
#include "core/parser.hpp"

namespace constructive {

using core::NodeKind;
using core::NodePtr;

const char* sign_value(Sign sign) { return sign == Sign::True ? "T" : "F"; }

std::string SignedFormula::to_string(std::string_view notation) const {
  const bool latex = notation == "latex";
  std::string text;
  if (is_falsum(*formula)) {
    text = latex ? "\\bot" : "_bot";
  } else if (is_verum(*formula)) {
    text = latex ? "\\top" : "_top";
  } else {
    text = core::to_string(*formula, notation);
  }
  return std::string(sign_value(sign)) + "(" + text + ", " + world.name + ")";
}

bool SignedFormula::operator==(const SignedFormula& other) const {
  return sign == other.sign && world == other.world && FormulaEq{}(formula, other.formula);
}

// ---------------------------------------------------------------------------
// Derivation tree
// ---------------------------------------------------------------------------
// Searches make millions of nodes: keep each within a cache line.
static_assert(sizeof(TableauNode) <= 64, "a derivation-tree node must stay compact");

NodeIndex DerivationTree::add_node(std::int64_t id, const std::optional<SignedFormula>& signed_formula,
                                   std::string_view rule, const std::optional<World>& world) {
  if (nodes_.size() >= kNone) throw std::length_error("a derivation tree holds at most 2^32 - 1 nodes");
  TableauNode n;
  n.id = id;
  if (signed_formula) {
    n.formula = bank_.from_node(signed_formula->formula);
    n.formula_world = world_index(signed_formula->world);
    n.sign = signed_formula->sign;
  }
  if (world) n.world = world_index(*world);
  if (!rule.empty()) n.rule = text_index(rule);
  nodes_.push_back(n);
  return static_cast<NodeIndex>(nodes_.size() - 1);
}

void DerivationTree::add_child(NodeIndex parent, NodeIndex child) {
  TableauNode& p = nodes_[parent];
  if (p.last_child == kNone) {
    p.first_child = child;
  } else {
    nodes_[p.last_child].next_sibling = child;
  }
  p.last_child = child;
}

void DerivationTree::set_clash_details(NodeIndex node, const std::optional<std::string>& text) {
  nodes_[node].clash_details = text ? text_index(*text) : kNone;
}

std::optional<SignedFormula> DerivationTree::signed_formula(NodeIndex n) const {
  const TableauNode& node = nodes_[n];
  if (node.formula == core::kNoTerm) return std::nullopt;
  return SignedFormula{node.sign, bank_.to_node(node.formula), worlds_[node.formula_world]};
}

const std::string& DerivationTree::rule(NodeIndex n) const {
  static const std::string empty;
  return nodes_[n].rule == kNone ? empty : texts_[nodes_[n].rule];
}

std::optional<World> DerivationTree::world(NodeIndex n) const {
  if (nodes_[n].world == kNone) return std::nullopt;
  return worlds_[nodes_[n].world];
}

const std::string* DerivationTree::clash_details(NodeIndex n) const {
  return nodes_[n].clash_details == kNone ? nullptr : &texts_[nodes_[n].clash_details];
}

std::size_t DerivationTree::node_bytes() const {
  // The deque keeps its nodes in blocks and one pointer per block.
  constexpr std::size_t kBlockBytes = 512;
  const std::size_t per_block = std::max<std::size_t>(1, kBlockBytes / sizeof(TableauNode));
  const std::size_t blocks = (nodes_.size() + per_block - 1) / per_block;
  return blocks * (per_block * sizeof(TableauNode) + sizeof(void*));
}

namespace {

// The index of a value in a table of distinct values, added on first use.
template <typename Value, typename Key, typename Map>
std::uint32_t intern(std::vector<Value>& table, Map& indices, const Key& key) {
  auto [it, added] = indices.try_emplace(Value(key), static_cast<std::uint32_t>(table.size()));
  if (added) {
    try {
      table.emplace_back(key);
    } catch (...) {
      indices.erase(it);
      throw;
    }
  }
  return it->second;
}

}  // namespace

WorldIndex DerivationTree::world_index(const World& w) { return intern(worlds_, world_indices_, w); }

TextIndex DerivationTree::text_index(std::string_view text) { return intern(texts_, text_indices_, text); }

namespace {

void append_ascii(const DerivationTree& tree, NodeIndex index, const std::string& prefix, bool is_last,
                  std::string& out) {
  core::RecursionGuard guard;
  const TableauNode& node = tree.node(index);
  out += prefix;
  out += is_last ? "+-- " : "|-- ";
  out += tree.rule(index);
  if (auto sf = tree.signed_formula(index)) out += " : " + sf->to_string();
  out += node.is_closed ? " [CLOSED]" : " [OPEN]";
  if (const std::string* clash = tree.clash_details(index); clash && !clash->empty()) out += " (" + *clash + ")";
  const std::string child_prefix = prefix + (is_last ? "    " : "|   ");
  tree.for_each_child(index, [&](NodeIndex child) {
    out += "\n";
    append_ascii(tree, child, child_prefix, tree.node(child).next_sibling == kNone, out);
  });
}

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\n\r\f\v";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// One node of the forest: its content in braces, so that the brackets of
// the rule label do not end the node, then its children, then "]".
void append_latex(const DerivationTree& tree, NodeIndex index, const std::string& indent, std::string& out) {
  core::RecursionGuard guard;
  const TableauNode& node = tree.node(index);
  auto sf = tree.signed_formula(index);
  std::string label = sf ? sf->to_string("latex") : "";
  label += " \\; ";
  const std::string& rule = tree.rule(index);
  if (!rule.empty()) label += "[\\mbox{" + core::escape_latex_text(rule) + "}]";
  if (node.is_closed && node.is_leaf()) label += " \\times";
  out += indent + "[{" + trimmed(label) + "}\n";
  tree.for_each_child(index, [&](NodeIndex child) { append_latex(tree, child, indent + "  ", out); });
  out += indent + "]\n";
}

}  // namespace

std::string node_text(const DerivationTree& tree, NodeIndex node, const std::string& prefix, bool is_last) {
  std::string out;
  append_ascii(tree, node, prefix, is_last, out);
  return out;
}

namespace {

// The measures see a derivation tree through its child lists; no node has two parents.
auto children_in(const DerivationTree& tree) {
  return [&tree](NodeIndex node, auto visit) { tree.for_each_child(node, visit); };
}
const void* single_parent(NodeIndex) { return nullptr; }

}  // namespace

std::int64_t tree_depth(const DerivationTree& tree, NodeIndex root) {
  return derivation_depth(root, children_in(tree), single_parent);
}

std::int64_t tree_size(const DerivationTree& tree, NodeIndex root) {
  return derivation_size(root, children_in(tree), single_parent);
}

std::string tree_latex(const DerivationTree& tree, NodeIndex root) {
  std::string out = "\\begin{forest}\n  for tree={math content, parent anchor=south, child anchor=north}\n";
  append_latex(tree, root, "  ", out);
  out += "\\end{forest}";
  return out;
}

// ---------------------------------------------------------------------------
// Branch state
// ---------------------------------------------------------------------------
namespace {
constexpr const char* kRuleNames[] = {"T_And", "F_Or", "T_Not", "F_Imp", "F_Not",
                                      "F_And", "T_Or", "T_Imp", "T_Iff", "F_Iff"};
}

const char* rule_kind_name(RuleKind kind) { return kRuleNames[static_cast<int>(kind)]; }

bool rule_kind_from_name(std::string_view name, RuleKind& kind) {
  for (int i = 0; i < 10; ++i) {
    if (name == kRuleNames[i]) {
      kind = static_cast<RuleKind>(i);
      return true;
    }
  }
  return false;
}

bool RuleInstance::operator==(const RuleInstance& other) const {
  return rule == other.rule && world == other.world && successor == other.successor &&
         FormulaEq{}(formula, other.formula);
}

std::size_t RuleInstanceHash::operator()(const RuleInstance& r) const {
  std::size_t h = static_cast<std::size_t>(r.formula->hash());
  h = h * 1000003u ^ WorldHash{}(r.world);
  h = h * 1000003u ^ (r.successor ? WorldHash{}(*r.successor) : 0x9e3779b9u);
  return h * 31u + static_cast<std::size_t>(r.rule);
}

void BranchState::log(Change change, std::size_t slot) {
  if (recording_) trail_.push_back(Undo{change, static_cast<std::uint32_t>(slot)});
}

void BranchState::insert_formula(WorldMap<FormulaSet>& map, std::size_t slot, const NodePtr& formula,
                                 Change change) {
  if (map.value_at(slot).insert(formula)) log(change, slot);
}

void BranchState::add_world(const World& world) {
  if (std::find(worlds.begin(), worlds.end(), world) == worlds.end()) {
    worlds.push_back(world);
    log(Change::World);
  }
  if (!relations.contains(world)) {
    relations[world].insert(world);
    log(Change::RelationEntry);
  }
  if (!t_formulas.contains(world)) {
    t_formulas[world];
    log(Change::TEntry);
  }
  if (!f_formulas.contains(world)) {
    f_formulas[world];
    log(Change::FEntry);
  }
}

void BranchState::add_t_formula(const World& world, const NodePtr& formula) {
  add_world(world);
  insert_formula(t_formulas, t_formulas.index_of(world), formula, Change::TFormula);
  // Only T entries change below, so the successor set can be walked as it is.
  for (const World& w : *relations.find(world)) {
    if (!t_formulas.contains(w)) {
      t_formulas[w];
      log(Change::TEntry);
    }
    insert_formula(t_formulas, t_formulas.index_of(w), formula, Change::TFormula);
  }
}

void BranchState::add_f_formula(const World& world, const NodePtr& formula) {
  add_world(world);
  insert_formula(f_formulas, f_formulas.index_of(world), formula, Change::FFormula);
}

void BranchState::add_relation(const World& source, const World& target) {
  add_world(source);
  add_world(target);
  auto relate = [this](std::size_t slot, const World& w) {
    if (relations.value_at(slot).insert(w)) log(Change::Relation, slot);
  };
  relate(relations.index_of(source), target);
  // Everything at or above target becomes accessible from source and from
  // every world that reaches source.
  const std::vector<World> above_target = relations.find(target)->items();
  for (const World& w : worlds) {
    const std::size_t slot = relations.index_of(w);
    if (slot == relations.npos || !relations.value_at(slot).contains(source)) continue;
    for (const World& x : above_target) relate(slot, x);
  }
  // Every world at or above target receives the true formulas of the worlds
  // below it.
  for (const World& x : above_target) {
    if (!t_formulas.contains(x)) {
      t_formulas[x];
      log(Change::TEntry);
    }
    const std::size_t here = t_formulas.index_of(x);
    for (const World& w : worlds) {
      if (w == x) continue;
      const WorldSet* successors = relations.find(w);
      const FormulaSet* below = t_formulas.find(w);
      if (!successors || !below || !successors->contains(x)) continue;
      const std::vector<NodePtr> formulas = below->items();
      for (const auto& f : formulas) insert_formula(t_formulas, here, f, Change::TFormula);
    }
  }
}

void BranchState::add_rule(const RuleInstance& rule) {
  if (applied_rules.insert(rule)) log(Change::Rule);
}

BranchState BranchState::copy() const {
  BranchState out;
  out.worlds = worlds;
  out.relations = relations;
  out.t_formulas = t_formulas;
  out.f_formulas = f_formulas;
  out.applied_rules = applied_rules;
  return out;
}

void BranchState::undo_to(std::size_t mark) {
  while (trail_.size() > mark) {
    const Undo u = trail_.back();
    trail_.pop_back();
    switch (u.change) {
      case Change::World: worlds.pop_back(); break;
      case Change::RelationEntry: relations.pop_back(); break;
      case Change::Relation: relations.value_at(u.slot).pop_back(); break;
      case Change::TEntry: t_formulas.pop_back(); break;
      case Change::TFormula: t_formulas.value_at(u.slot).pop_back(); break;
      case Change::FEntry: f_formulas.pop_back(); break;
      case Change::FFormula: f_formulas.value_at(u.slot).pop_back(); break;
      case Change::Rule: applied_rules.pop_back(); break;
    }
  }
}

bool BranchState::operator==(const BranchState& other) const {
  return worlds == other.worlds && relations == other.relations && t_formulas == other.t_formulas &&
         f_formulas == other.f_formulas && applied_rules == other.applied_rules;
}

// ---------------------------------------------------------------------------
// Expansion
// ---------------------------------------------------------------------------
namespace {

// The operand of a negation: of a Not, or the antecedent of A -> falsum.
NodePtr negated_operand(const NodePtr& f) {
  if (f->kind() == NodeKind::Not) return core::as<core::Not>(*f).operand();
  if (const auto* imp = binary_of(f, NodeKind::Implies); imp && is_falsum(*imp->right())) return imp->left();
  return nullptr;
}

// An implication whose consequent is not falsum.
const core::BinaryFormula* proper_implication(const NodePtr& f) {
  const auto* imp = binary_of(f, NodeKind::Implies);
  return imp && !is_falsum(*imp->right()) ? imp : nullptr;
}

struct Found {
  NodePtr formula;
  World world;
  std::optional<World> successor;
};

// The first instance of `rule` not yet applied on the branch: worlds in list
// order, formulas of the T (or F) set in insertion order, and for rules that
// apply per accessible world the successors in insertion order.
template <typename Matches>
std::optional<Found> find_instance(const BranchState& s, RuleKind rule, Sign side, bool per_successor,
                                   Matches matches) {
  const auto& signed_sets = side == Sign::True ? s.t_formulas : s.f_formulas;
  for (const World& w : s.worlds) {
    const FormulaSet* formulas = signed_sets.find(w);
    if (!formulas) continue;
    for (const NodePtr& f : *formulas) {
      if (!matches(f)) continue;
      if (!per_successor) {
        if (!s.applied_rules.contains(RuleInstance{rule, f, w, std::nullopt})) return Found{f, w, std::nullopt};
        continue;
      }
      const WorldSet* successors = s.relations.find(w);
      if (!successors) continue;
      for (const World& v : *successors)
        if (!s.applied_rules.contains(RuleInstance{rule, f, w, v})) return Found{f, w, v};
    }
  }
  return std::nullopt;
}

World new_world_for(const BranchState& s) {
  const auto id = static_cast<std::int64_t>(s.worlds.size());
  return World{id, "w" + std::to_string(id)};
}

}  // namespace

// One side of a split: the formula it adds at the split's world, with its sign and label.
struct SplitSide {
  Sign sign;
  NodePtr part;
  std::string label;
};

struct TableauProver::Step {
  enum class Kind { Closed, Open, Continue, Split };
  Kind kind = Kind::Open;
  NodeIndex child = kNone;  // Continue
  World place;                   // Split: where both sides add their part
  std::optional<SplitSide> left, right;

  static Step of(Kind kind) {
    Step step;
    step.kind = kind;
    return step;
  }
  static Step next(NodeIndex child) {
    Step step = of(Kind::Continue);
    step.child = child;
    return step;
  }
  static Step split(const World& place, SplitSide left, SplitSide right) {
    Step step = of(Kind::Split);
    step.place = place;
    step.left = std::move(left);
    step.right = std::move(right);
    return step;
  }
};

TableauProver::TableauProver(std::int64_t max_depth, std::int64_t max_worlds)
    : max_depth_(std::max<std::int64_t>(max_depth, 1)), max_worlds_(std::max<std::int64_t>(max_worlds, 1)) {}

std::int64_t TableauProver::next_node_id() {
  if (node_counter == std::numeric_limits<std::int64_t>::max())
    throw std::overflow_error("_node_counter is at the 64-bit maximum; no further node id can be handed out");
  return ++node_counter;
}

std::optional<Clash> TableauProver::check_clash(const BranchState& state) const {
  for (const World& w : state.worlds) {
    const FormulaSet* t = state.t_formulas.find(w);
    const FormulaSet* f = state.f_formulas.find(w);
    if (t)
      for (const NodePtr& a : *t)
        if (is_falsum(*a)) return Clash{w, a, "Falsum bot asserted TRUE at " + w.name};
    if (f)
      for (const NodePtr& a : *f)
        if (is_verum(*a)) return Clash{w, a, "Verum top asserted FALSE at " + w.name};
    if (t && f)
      for (const NodePtr& a : *t)
        if (f->contains(a))
          return Clash{w, a, "Complementary clash on " + core::to_string(*a) + " at " + w.name};
  }
  return std::nullopt;
}

namespace {

// Makes a node and appends it to the children of `parent`.
NodeIndex add_child_node(TableauProver& prover, DerivationTree& tree, NodeIndex parent, Sign sign,
                         const NodePtr& formula, const World& at, std::string_view rule, const World& node_world) {
  NodeIndex child = tree.add_node(prover.next_node_id(), SignedFormula{sign, formula, at}, rule, node_world);
  tree.add_child(parent, child);
  return child;
}

void add_signed(BranchState& s, Sign sign, const World& w, const NodePtr& f) {
  if (sign == Sign::True) {
    s.add_t_formula(w, f);
  } else {
    s.add_f_formula(w, f);
  }
}

}  // namespace

TableauProver::Step TableauProver::expand_once(BranchState& s, DerivationTree& tree, NodeIndex node,
                                               std::int64_t depth) {
  if (auto clash = check_clash(s)) {
    tree.node(node).is_closed = true;
    tree.set_clash_details(node, clash->message);
    return Step::of(Step::Kind::Closed);
  }
  const auto world_count = static_cast<std::int64_t>(s.worlds.size());
  if (depth >= max_depth_ || world_count > max_worlds_) {
    tree.node(node).is_closed = false;
    return Step::of(Step::Kind::Open);
  }

  // Applies a rule that keeps the branch whole: records the instance, makes
  // the child showing the decomposed formula, then lets `change` extend s.
  auto continue_with = [&](RuleKind rule, const Found& at, Sign sign, std::string label, const World& node_world,
                           auto change) {
    s.add_rule(RuleInstance{rule, at.formula, at.world, at.successor});
    change();
    return Step::next(add_child_node(*this, tree, node, sign, at.formula, at.world, label, node_world));
  };
  auto split = [&](RuleKind rule, const Found& at, const World& place, SplitSide left, SplitSide right) {
    s.add_rule(RuleInstance{rule, at.formula, at.world, at.successor});
    return Step::split(place, std::move(left), std::move(right));
  };
  auto any = [](NodeKind kind) { return [kind](const NodePtr& f) { return f->kind() == kind; }; };
  auto is_negation = [](const NodePtr& f) { return negated_operand(f) != nullptr; };
  auto is_proper_implication = [](const NodePtr& f) { return proper_implication(f) != nullptr; };

  if (auto at = find_instance(s, RuleKind::T_And, Sign::True, false, any(NodeKind::And))) {
    const auto& b = core::as<core::BinaryFormula>(*at->formula);
    return continue_with(RuleKind::T_And, *at, Sign::True, "T_And", at->world, [&] {
      s.add_t_formula(at->world, b.left());
      s.add_t_formula(at->world, b.right());
    });
  }
  if (auto at = find_instance(s, RuleKind::F_Or, Sign::False, false, any(NodeKind::Or))) {
    const auto& b = core::as<core::BinaryFormula>(*at->formula);
    return continue_with(RuleKind::F_Or, *at, Sign::False, "F_Or", at->world, [&] {
      s.add_f_formula(at->world, b.left());
      s.add_f_formula(at->world, b.right());
    });
  }
  if (auto at = find_instance(s, RuleKind::T_Not, Sign::True, true, is_negation)) {
    return continue_with(RuleKind::T_Not, *at, Sign::True, "T_Not", *at->successor,
                         [&] { s.add_f_formula(*at->successor, negated_operand(at->formula)); });
  }
  if (world_count < max_worlds_) {
    // F_Imp and F_Not: a new world above the formula's world.
    auto open_world = [&](const Found& at, const char* rule_label, const NodePtr& true_part,
                          const NodePtr& false_part, RuleKind rule) {
      const World fresh = new_world_for(s);
      std::string label = std::string(rule_label) + " (" + at.world.name + " <= " + fresh.name + ")";
      return continue_with(rule, at, Sign::False, std::move(label), fresh, [&] {
        s.add_world(fresh);
        s.add_relation(at.world, fresh);
        s.add_t_formula(fresh, true_part);
        s.add_f_formula(fresh, false_part);
      });
    };
    if (auto at = find_instance(s, RuleKind::F_Imp, Sign::False, false, is_proper_implication)) {
      const auto& b = core::as<core::BinaryFormula>(*at->formula);
      return open_world(*at, "F_Imp", b.left(), b.right(), RuleKind::F_Imp);
    }
    if (auto at = find_instance(s, RuleKind::F_Not, Sign::False, false, is_negation)) {
      return open_world(*at, "F_Not", negated_operand(at->formula), falsum(), RuleKind::F_Not);
    }
  }
  if (auto at = find_instance(s, RuleKind::F_And, Sign::False, false, any(NodeKind::And))) {
    const auto& b = core::as<core::BinaryFormula>(*at->formula);
    return split(RuleKind::F_And, *at, at->world, {Sign::False, b.left(), "F_And_L"},
                 {Sign::False, b.right(), "F_And_R"});
  }
  if (auto at = find_instance(s, RuleKind::T_Or, Sign::True, false, any(NodeKind::Or))) {
    const auto& b = core::as<core::BinaryFormula>(*at->formula);
    return split(RuleKind::T_Or, *at, at->world, {Sign::True, b.left(), "T_Or_L"},
                 {Sign::True, b.right(), "T_Or_R"});
  }
  if (auto at = find_instance(s, RuleKind::T_Imp, Sign::True, true, is_proper_implication)) {
    const auto& b = core::as<core::BinaryFormula>(*at->formula);
    const World& v = *at->successor;
    return split(RuleKind::T_Imp, *at, v, {Sign::False, b.left(), "T_Imp_F (" + v.name + ")"},
                 {Sign::True, b.right(), "T_Imp_T (" + v.name + ")"});
  }
  if (auto at = find_instance(s, RuleKind::T_Iff, Sign::True, false, any(NodeKind::Iff))) {
    const auto& b = core::as<core::BinaryFormula>(*at->formula);
    return continue_with(RuleKind::T_Iff, *at, Sign::True, "T_Iff", at->world, [&] {
      s.add_t_formula(at->world, core::make_implies(b.left(), b.right()));
      s.add_t_formula(at->world, core::make_implies(b.right(), b.left()));
    });
  }
  if (auto at = find_instance(s, RuleKind::F_Iff, Sign::False, false, any(NodeKind::Iff))) {
    const auto& b = core::as<core::BinaryFormula>(*at->formula);
    return split(RuleKind::F_Iff, *at, at->world, {Sign::False, core::make_implies(b.left(), b.right()), "F_Iff_L"},
                 {Sign::False, core::make_implies(b.right(), b.left()), "F_Iff_R"});
  }
  tree.node(node).is_closed = false;
  return Step::of(Step::Kind::Open);
}

// A split whose right side is still to be explored: the node that split,
// the undo mark right after the split's rule instance was recorded (the
// state every side starts from) and the right side's part.
struct TableauProver::Pending {
  NodeIndex parent;
  std::size_t mark;
  World place;
  SplitSide right;
  std::int64_t depth;  // depth of the children
};

namespace {

// Turns the undo log of a state on for the length of one expansion and
// leaves the state's log as it found it, also when the expansion throws.
class Recording {
 public:
  explicit Recording(BranchState& state) : state_(state), was_on_(state.recording()), base_(state.mark()) {
    state_.set_recording(true);
  }
  ~Recording() {
    state_.set_recording(was_on_);
    if (!was_on_) state_.forget_log(base_);
  }

 private:
  BranchState& state_;
  bool was_on_;
  std::size_t base_;
};

}  // namespace

// Depth first and left first.  Every side of a split extends `state` in
// place; a closed side is taken back to the split's mark before the next side
// starts, which leaves exactly the copy of the state at the split that each
// side would otherwise get.  Once the search is over, the caller's state is
// what it was at the first split (or at the open leaf if nothing split), and
// an open branch that lies beyond a split is handed back as a copy.
ExpandResult TableauProver::expand_branch(BranchState& state, DerivationTree& tree, NodeIndex node,
                                          std::int64_t depth) {
  Recording recording(state);
  std::vector<Pending> pending;
  std::optional<std::size_t> first_split;
  // The nodes made here follow one another in the arena, parents first.
  const std::size_t first_made = tree.node_count();
  NodeIndex at = node;

  auto start_side = [&](NodeIndex parent, const World& place, const SplitSide& side, std::int64_t child_depth) {
    add_signed(state, side.sign, place, side.part);
    at = add_child_node(*this, tree, parent, side.sign, side.part, place, side.label, place);
    depth = child_depth;
  };

  ExpandResult result;
  core::InterruptPoller poller;
  for (;;) {
    poller.poll();
    Step step = expand_once(state, tree, at, depth);
    if (step.kind == Step::Kind::Continue) {
      at = step.child;
      ++depth;
    } else if (step.kind == Step::Kind::Split) {
      if (!first_split) first_split = state.mark();
      pending.push_back(Pending{at, state.mark(), step.place, std::move(*step.right), depth + 1});
      start_side(at, step.place, *step.left, depth + 1);
    } else if (step.kind == Step::Kind::Open) {
      result.closed = false;
      if (first_split) {
        result.owned_open = std::make_unique<BranchState>(state.copy());
        result.open_state = result.owned_open.get();
      } else {
        result.open_state = &state;
      }
      break;
    } else if (pending.empty()) {
      result.closed = true;
      break;
    } else {
      // Closed leaf: the deepest split still waiting explores its right side.
      Pending p = std::move(pending.back());
      pending.pop_back();
      state.undo_to(p.mark);
      start_side(p.parent, p.place, p.right, p.depth);
    }
  }
  if (first_split) state.undo_to(*first_split);

  // A node is closed when every child is; leaves were set by the expansion.
  for (std::size_t i = tree.node_count(); i-- > first_made;) {
    poller.poll();
    TableauNode& n = tree.node(static_cast<NodeIndex>(i));
    if (n.is_leaf()) continue;
    bool all_closed = true;
    tree.for_each_child(static_cast<NodeIndex>(i), [&](NodeIndex c) { all_closed = all_closed && tree.node(c).is_closed; });
    n.is_closed = all_closed;
  }
  tree.node(node).is_closed = result.closed;
  return result;
}

std::shared_ptr<KripkeModel> TableauProver::extract_countermodel(const BranchState& state) const {
  auto model = std::make_shared<KripkeModel>();
  for (const World& w : state.worlds) model->add_world(w);
  // The pairs go in as a batch and the frame conditions are restored once:
  // the same model as closing after every pair.
  for (const World& u : state.worlds)
    if (const WorldSet* successors = state.relations.find(u))
      for (const World& v : *successors) model->relations[u].insert(v);
  model->compute_transitive_closure();
  model->enforce_monotonicity();
  for (const World& w : state.worlds)
    if (const FormulaSet* formulas = state.t_formulas.find(w))
      for (const NodePtr& f : *formulas)
        if (is_atomic(*f) && !is_falsum(*f) && !is_verum(*f)) model->add_valuation(w, f);
  return model;
}

bool TableauProver::refutes(const KripkeModel& model, const NodePtr& target, const std::vector<NodePtr>& premises) {
  const World root{0, "w0"};
  try {
    for (const NodePtr& premise : premises)
      if (!model.evaluate(premise, root)) return false;
    return !model.evaluate(target, root);
  } catch (const core::TypeError&) {
    // A quantifier or an equality is beyond propositional forcing: the model
    // cannot be checked, so it is not reported as a refutation.
    return false;
  }
}

TableauResult TableauProver::prove(const NodePtr& target, const std::vector<NodePtr>& premises) {
  node_counter = 0;
  const World root_world{0, "w0"};
  BranchState state;
  state.add_world(root_world);
  for (const NodePtr& premise : premises) state.add_t_formula(root_world, premise);
  state.add_f_formula(root_world, target);
  auto tree = std::make_shared<DerivationTree>();
  const NodeIndex root =
      tree->add_node(next_node_id(), SignedFormula{Sign::False, target, root_world}, "Target", root_world);
  ExpandResult expanded = expand_branch(state, *tree, root, 1);
  tree->node(root).is_closed = expanded.closed;

  TableauResult result{expanded.closed, tree, nullptr, target, premises};
  if (!expanded.closed && expanded.open_state) {
    auto model = extract_countermodel(*expanded.open_state);
    // A branch cut by a limit need not describe a model of the sequent; only
    // a model that really refutes it is reported.
    if (refutes(*model, target, premises)) result.countermodel = std::move(model);
  }
  return result;
}

bool TableauProver::is_valid(const NodePtr& target, const std::vector<NodePtr>& premises) {
  return prove(target, premises).is_valid;
}

std::shared_ptr<KripkeModel> TableauProver::countermodel(const NodePtr& target, const std::vector<NodePtr>& premises) {
  return prove(target, premises).countermodel;
}

TableauResult prove_tableau(const NodePtr& formula, const std::vector<NodePtr>& premises, std::int64_t max_depth,
                            std::int64_t max_worlds) {
  return TableauProver(max_depth, max_worlds).prove(formula, premises);
}

// ---------------------------------------------------------------------------
// Report
// ---------------------------------------------------------------------------
std::string result_report(bool is_valid, const DerivationTree* tree, const std::optional<std::string>& countermodel_text,
                          const NodePtr& target, const std::vector<NodePtr>& premises) {
  std::string out = "=== Intuitionistic Kripke Tableau Proof (IPC) ===";
  if (target) out += "\nTarget: " + core::to_string(*target);
  if (!premises.empty()) {
    out += "\nPremises: ";
    for (std::size_t i = 0; i < premises.size(); ++i) out += (i ? ", " : "") + core::to_string(*premises[i]);
  }
  out += "\nStatus: ";
  out += is_valid ? "VALID (Intuitionistically Proven)"
                  : countermodel_text ? "UNPROVABLE (Countermodel Found)" : "UNKNOWN (Search Limit Reached)";
  if (tree) {
    out += "\nTree Size: " + std::to_string(tree_size(*tree)) + " nodes, Depth: " + std::to_string(tree_depth(*tree));
    out += "\n\n--- Derivation Tree ---\n" + node_text(*tree, DerivationTree::root());
  }
  if (countermodel_text) out += "\n\n--- Falsifying Kripke Countermodel ---\n" + *countermodel_text;
  return out;
}

}  // namespace constructive
