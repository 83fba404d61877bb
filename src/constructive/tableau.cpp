#include "constructive/tableau.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "constructive/common.hpp"
#include "core/hash_mix.hpp"
#include "core/interrupt.hpp"
#include "core/parser.hpp"

namespace constructive {

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

DerivationTree::DerivationTree(std::shared_ptr<core::Bank> bank) : bank_(std::move(bank)) {}

NodeIndex DerivationTree::add_node(std::int64_t id, const std::optional<SignedFormula>& signed_formula,
                                   std::string_view rule, const std::optional<World>& world) {
  TableauNode n;
  n.id = id;
  if (signed_formula) {
    n.formula = bank_->from_node(signed_formula->formula);
    n.formula_world = world_index(signed_formula->world);
    n.sign = signed_formula->sign;
  }
  if (world) n.world = world_index(*world);
  return push_node(n, rule);
}

NodeIndex DerivationTree::add_node(std::int64_t id, Sign sign, core::TermId formula, core::Bank& bank,
                                   const World& formula_world, std::string_view rule, const World& world) {
  TableauNode n;
  n.id = id;
  n.formula = &bank == bank_.get() ? formula : bank_->from_node(bank.to_node(formula));
  n.formula_world = world_index(formula_world);
  n.sign = sign;
  n.world = world_index(world);
  return push_node(n, rule);
}

NodeIndex DerivationTree::push_node(TableauNode n, std::string_view rule) {
  if (nodes_.size() >= kNone) throw std::length_error("a derivation tree holds at most 2^32 - 1 nodes");
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
  return SignedFormula{node.sign, bank_->to_node(node.formula), worlds_[node.formula_world]};
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

// One node's line: its rule, signed formula, status and clash.
std::string node_label(const DerivationTree& tree, NodeIndex index) {
  std::string out = tree.rule(index);
  if (auto sf = tree.signed_formula(index)) out += " : " + sf->to_string();
  out += tree.node(index).is_closed ? " [CLOSED]" : " [OPEN]";
  if (const std::string* clash = tree.clash_details(index); clash && !clash->empty()) out += " (" + *clash + ")";
  return out;
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
  draw_branches(
      node, prefix, is_last, "+-- ", [&tree](NodeIndex n, auto visit) { tree.for_each_child(n, visit); },
      [&tree](NodeIndex n) { return node_label(tree, n); }, out);
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

std::size_t RuleInstanceHash::operator()(const RuleInstance& r) const {
  std::uint64_t h = core::hash_mix(std::uint64_t{r.formula} << 32 | r.world,
                                   std::uint64_t{r.successor} << 8 | static_cast<std::uint64_t>(r.rule));
  return static_cast<std::size_t>(core::hash_finish(h));
}

BranchState::BranchState(std::shared_ptr<core::Bank> bank)
    : bank_(std::move(bank)), falsum_(bank_->from_node(falsum())), verum_(bank_->from_node(verum())) {}

WorldIndex BranchState::world_index(const World& world) { return intern(world_values_, world_indices_, world); }

void BranchState::log(Change change, std::uint32_t slot) {
  if (recording_) trail_.push_back(Undo{change, slot});
}

// The slot of the world's entry, made (and logged as `made`) when missing.
std::uint32_t BranchState::entry_of(WorldEntries<IdSet>& entries, WorldIndex world, Change made) {
  std::uint32_t slot = entries.slot(world);
  if (slot != kNone) return slot;
  slot = entries.add(world);
  log(made);
  return slot;
}

void BranchState::insert(WorldEntries<IdSet>& entries, std::uint32_t slot, std::uint32_t member, Change change) {
  if (entries.value_at(slot).insert(member)) log(change, slot);
}

void BranchState::add_world(WorldIndex world) {
  if (std::find(worlds.begin(), worlds.end(), world) == worlds.end()) {
    worlds.push_back(world);
    log(Change::World);
  }
  if (!relations.contains(world)) {
    relations.value_at(relations.add(world)).insert(world);
    log(Change::RelationEntry);
  }
  entry_of(t_formulas, world, Change::TEntry);
  entry_of(f_formulas, world, Change::FEntry);
}

void BranchState::add_t_formula(WorldIndex world, core::TermId formula) {
  add_world(world);
  insert(t_formulas, t_formulas.slot(world), formula, Change::TFormula);
  // Only T entries change below, so the successor set can be walked as it is.
  for (WorldIndex w : *relations.find(world))
    insert(t_formulas, entry_of(t_formulas, w, Change::TEntry), formula, Change::TFormula);
}

void BranchState::add_f_formula(WorldIndex world, core::TermId formula) {
  add_world(world);
  insert(f_formulas, f_formulas.slot(world), formula, Change::FFormula);
}

void BranchState::add_relation(WorldIndex source, WorldIndex target) {
  add_world(source);
  add_world(target);
  insert(relations, relations.slot(source), target, Change::Relation);
  // Everything at or above target becomes accessible from source and from
  // every world that reaches source.
  const std::vector<WorldIndex> above_target = relations.find(target)->items();
  for (WorldIndex w : worlds) {
    const std::uint32_t slot = relations.slot(w);
    if (slot == kNone || !relations.value_at(slot).contains(source)) continue;
    for (WorldIndex x : above_target) insert(relations, slot, x, Change::Relation);
  }
  // Every world at or above target receives the true formulas of the worlds
  // below it.
  for (WorldIndex x : above_target) {
    const std::uint32_t here = entry_of(t_formulas, x, Change::TEntry);
    for (WorldIndex w : worlds) {
      if (w == x) continue;
      const IdSet* successors = relations.find(w);
      const IdSet* below = t_formulas.find(w);
      if (!successors || !below || !successors->contains(x)) continue;
      // `below` is another entry than `here`: it does not change meanwhile.
      for (core::TermId f : *below) insert(t_formulas, here, f, Change::TFormula);
    }
  }
}

void BranchState::add_rule(const RuleInstance& rule) {
  if (applied_rules.insert(rule)) log(Change::Rule);
}

BranchState BranchState::copy() const {
  BranchState out(*this);
  out.recording_ = false;
  out.trail_.clear();
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

// ---------------------------------------------------------------------------
// Expansion
// ---------------------------------------------------------------------------
namespace {

// The operand of a negation: of a Not, or the antecedent of A -> falsum;
// kNoTerm when the formula is no negation.
core::TermId negated_operand(const BranchState& s, core::TermId f) {
  const core::Bank& bank = s.bank();
  if (bank.kind(f) == NodeKind::Not) return bank.children(f)[0];
  if (bank.kind(f) == NodeKind::Implies && bank.children(f)[1] == s.falsum_id()) return bank.children(f)[0];
  return core::kNoTerm;
}

// An implication whose consequent is not falsum.
bool is_proper_implication(const BranchState& s, core::TermId f) {
  return s.bank().kind(f) == NodeKind::Implies && s.bank().children(f)[1] != s.falsum_id();
}

core::TermId left_of(const BranchState& s, core::TermId f) { return s.bank().children(f)[0]; }
core::TermId right_of(const BranchState& s, core::TermId f) { return s.bank().children(f)[1]; }

struct Found {
  core::TermId formula;
  WorldIndex world;
  WorldIndex successor;  // kNone unless the rule applies per accessible world
};

// The first instance of `rule` not yet applied on the branch: worlds in list
// order, formulas of the T (or F) set in insertion order, and for rules that
// apply per accessible world the successors in insertion order.
template <typename Matches>
std::optional<Found> find_instance(const BranchState& s, RuleKind rule, Sign side, bool per_successor,
                                   Matches matches) {
  const auto& signed_sets = side == Sign::True ? s.t_formulas : s.f_formulas;
  for (WorldIndex w : s.worlds) {
    const IdSet* formulas = signed_sets.find(w);
    if (!formulas) continue;
    for (core::TermId f : *formulas) {
      if (!matches(f)) continue;
      if (!per_successor) {
        if (!s.applied_rules.contains(RuleInstance{rule, f, w, kNone})) return Found{f, w, kNone};
        continue;
      }
      const IdSet* successors = s.relations.find(w);
      if (!successors) continue;
      for (WorldIndex v : *successors)
        if (!s.applied_rules.contains(RuleInstance{rule, f, w, v})) return Found{f, w, v};
    }
  }
  return std::nullopt;
}

WorldIndex new_world_for(BranchState& s) {
  const auto id = static_cast<std::int64_t>(s.worlds.size());
  return s.world_index(World{id, "w" + std::to_string(id)});
}

}  // namespace

// One side of a split: the formula it adds at the split's world, with its sign and label.
struct SplitSide {
  Sign sign;
  core::TermId part;
  std::string label;
};

struct TableauProver::Step {
  enum class Kind { Closed, Open, Continue, Split };
  Kind kind = Kind::Open;
  NodeIndex child = kNone;  // Continue
  WorldIndex place = kNone;  // Split: where both sides add their part
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
  static Step split(WorldIndex place, SplitSide left, SplitSide right) {
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
  for (WorldIndex w : state.worlds) {
    const IdSet* t = state.t_formulas.find(w);
    const IdSet* f = state.f_formulas.find(w);
    const World& world = state.world(w);
    if (t && t->contains(state.falsum_id()))
      return Clash{world, state.formula(state.falsum_id()), "Falsum bot asserted TRUE at " + world.name};
    if (f && f->contains(state.verum_id()))
      return Clash{world, state.formula(state.verum_id()), "Verum top asserted FALSE at " + world.name};
    if (t && f)
      for (core::TermId a : *t)
        if (f->contains(a)) {
          NodePtr formula = state.formula(a);
          return Clash{world, formula, "Complementary clash on " + core::to_string(*formula) + " at " + world.name};
        }
  }
  return std::nullopt;
}

namespace {

// Makes a node and appends it to the children of `parent`.
NodeIndex add_child_node(TableauProver& prover, DerivationTree& tree, NodeIndex parent, const BranchState& s,
                         Sign sign, core::TermId formula, WorldIndex at, std::string_view rule, WorldIndex node_world) {
  NodeIndex child =
      tree.add_node(prover.next_node_id(), sign, formula, s.bank(), s.world(at), rule, s.world(node_world));
  tree.add_child(parent, child);
  return child;
}

void add_signed(BranchState& s, Sign sign, WorldIndex w, core::TermId f) {
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
  auto continue_with = [&](RuleKind rule, const Found& at, Sign sign, std::string_view label, WorldIndex node_world,
                           auto change) {
    s.add_rule(RuleInstance{rule, at.formula, at.world, at.successor});
    change();
    return Step::next(add_child_node(*this, tree, node, s, sign, at.formula, at.world, label, node_world));
  };
  auto split = [&](RuleKind rule, const Found& at, WorldIndex place, SplitSide left, SplitSide right) {
    s.add_rule(RuleInstance{rule, at.formula, at.world, at.successor});
    return Step::split(place, std::move(left), std::move(right));
  };
  auto any = [&s](NodeKind kind) { return [&s, kind](core::TermId f) { return s.bank().kind(f) == kind; }; };
  auto is_negation = [&s](core::TermId f) { return negated_operand(s, f) != core::kNoTerm; };
  auto is_implication = [&s](core::TermId f) { return is_proper_implication(s, f); };
  auto implication = [&s](core::TermId from, core::TermId to) { return s.bank().binary(NodeKind::Implies, from, to); };
  auto left = [&s](const Found& at) { return left_of(s, at.formula); };
  auto right = [&s](const Found& at) { return right_of(s, at.formula); };

  if (auto at = find_instance(s, RuleKind::T_And, Sign::True, false, any(NodeKind::And))) {
    return continue_with(RuleKind::T_And, *at, Sign::True, "T_And", at->world, [&] {
      s.add_t_formula(at->world, left(*at));
      s.add_t_formula(at->world, right(*at));
    });
  }
  if (auto at = find_instance(s, RuleKind::F_Or, Sign::False, false, any(NodeKind::Or))) {
    return continue_with(RuleKind::F_Or, *at, Sign::False, "F_Or", at->world, [&] {
      s.add_f_formula(at->world, left(*at));
      s.add_f_formula(at->world, right(*at));
    });
  }
  if (auto at = find_instance(s, RuleKind::T_Not, Sign::True, true, is_negation)) {
    return continue_with(RuleKind::T_Not, *at, Sign::True, "T_Not", at->successor,
                         [&] { s.add_f_formula(at->successor, negated_operand(s, at->formula)); });
  }
  if (world_count < max_worlds_) {
    // F_Imp and F_Not: a new world above the formula's world.
    auto open_world = [&](const Found& at, const char* rule_label, core::TermId true_part, core::TermId false_part,
                          RuleKind rule) {
      const WorldIndex fresh = new_world_for(s);
      const std::string label =
          std::string(rule_label) + " (" + s.world(at.world).name + " <= " + s.world(fresh).name + ")";
      return continue_with(rule, at, Sign::False, label, fresh, [&] {
        s.add_world(fresh);
        s.add_relation(at.world, fresh);
        s.add_t_formula(fresh, true_part);
        s.add_f_formula(fresh, false_part);
      });
    };
    if (auto at = find_instance(s, RuleKind::F_Imp, Sign::False, false, is_implication))
      return open_world(*at, "F_Imp", left(*at), right(*at), RuleKind::F_Imp);
    if (auto at = find_instance(s, RuleKind::F_Not, Sign::False, false, is_negation))
      return open_world(*at, "F_Not", negated_operand(s, at->formula), s.falsum_id(), RuleKind::F_Not);
  }
  if (auto at = find_instance(s, RuleKind::F_And, Sign::False, false, any(NodeKind::And)))
    return split(RuleKind::F_And, *at, at->world, {Sign::False, left(*at), "F_And_L"},
                 {Sign::False, right(*at), "F_And_R"});
  if (auto at = find_instance(s, RuleKind::T_Or, Sign::True, false, any(NodeKind::Or)))
    return split(RuleKind::T_Or, *at, at->world, {Sign::True, left(*at), "T_Or_L"}, {Sign::True, right(*at), "T_Or_R"});
  if (auto at = find_instance(s, RuleKind::T_Imp, Sign::True, true, is_implication)) {
    const WorldIndex v = at->successor;
    const std::string& name = s.world(v).name;
    return split(RuleKind::T_Imp, *at, v, {Sign::False, left(*at), "T_Imp_F (" + name + ")"},
                 {Sign::True, right(*at), "T_Imp_T (" + name + ")"});
  }
  if (auto at = find_instance(s, RuleKind::T_Iff, Sign::True, false, any(NodeKind::Iff))) {
    return continue_with(RuleKind::T_Iff, *at, Sign::True, "T_Iff", at->world, [&] {
      s.add_t_formula(at->world, implication(left(*at), right(*at)));
      s.add_t_formula(at->world, implication(right(*at), left(*at)));
    });
  }
  if (auto at = find_instance(s, RuleKind::F_Iff, Sign::False, false, any(NodeKind::Iff)))
    return split(RuleKind::F_Iff, *at, at->world, {Sign::False, implication(left(*at), right(*at)), "F_Iff_L"},
                 {Sign::False, implication(right(*at), left(*at)), "F_Iff_R"});
  tree.node(node).is_closed = false;
  return Step::of(Step::Kind::Open);
}

// A split whose right side is still to be explored: the node that split,
// the undo mark right after the split's rule instance was recorded (the
// state every side starts from) and the right side's part.
struct TableauProver::Pending {
  NodeIndex parent;
  std::size_t mark;
  WorldIndex place;
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

  auto start_side = [&](NodeIndex parent, WorldIndex place, const SplitSide& side, std::int64_t child_depth) {
    add_signed(state, side.sign, place, side.part);
    at = add_child_node(*this, tree, parent, state, side.sign, side.part, place, side.label, place);
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
  for (WorldIndex w : state.worlds) model->add_world(state.world(w));
  // The pairs go in as a batch and the frame conditions are restored once:
  // the same model as closing after every pair.
  for (WorldIndex u : state.worlds)
    if (const IdSet* successors = state.relations.find(u))
      for (WorldIndex v : *successors) model->relations[state.world(u)].insert(state.world(v));
  model->compute_transitive_closure();
  model->enforce_monotonicity();
  const core::Bank& bank = state.bank();
  for (WorldIndex w : state.worlds)
    if (const IdSet* formulas = state.t_formulas.find(w))
      for (core::TermId f : *formulas)
        if (bank.kind(f) == NodeKind::PredicateApp && f != state.falsum_id() && f != state.verum_id())
          model->add_valuation(state.world(w), state.formula(f));
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
  auto tree = std::make_shared<DerivationTree>();
  BranchState state(tree->bank());
  const WorldIndex root_index = state.world_index(root_world);
  state.add_world(root_index);
  for (const NodePtr& premise : premises) state.add_t_formula(root_index, state.formula_id(premise));
  state.add_f_formula(root_index, state.formula_id(target));
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
