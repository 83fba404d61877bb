// Labelled semantic tableau for intuitionistic propositional logic.
//
// A proof signs the premises true (T) and the target false (F) at the root
// world w0 and expands one rule instance at a time, depth first and left
// first, in a fixed order of ten rules:
//
//   T_And, F_Or, T_Not, F_Imp, F_Not   (the branch stays whole)
//   F_And, T_Or, T_Imp, T_Iff, F_Iff   (the branch splits, except T_Iff)
//
// F_Imp and F_Not create a new world above the world of the formula; T_Not
// and T_Imp apply once for every world accessible from it.  A branch closes
// on a true falsum, a false verum or a formula both true and false at one
// world; it stays open when it is saturated or reaches the depth or world
// limit.  The first open branch becomes a Kripke countermodel, which the
// prover keeps only after checking it by forcing: a branch cut by a limit is
// not a refutation, and the verdict is then unknown.
//
// Every set of a branch keeps insertion order, so that which instance is
// applied first, and with it the tree, its node numbers and the reported
// branch, are the same on every run.
//
// The search is iterative: its nesting is bounded by the heap, not by the
// native stack, so any depth limit is honoured.  The renderings of a tree
// recurse once per level under a RecursionGuard.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "constructive/kripke.hpp"
#include "core/ast.hpp"
#include "core/bank.hpp"
#include "core/ordered.hpp"

namespace constructive {

using core::OrderedMap;
using core::OrderedValueSet;

enum class Sign : std::uint8_t { True, False };
const char* sign_value(Sign sign);  // "T" or "F"

// A formula asserted forced (T) or not forced (F) at a world.
struct SignedFormula {
  Sign sign = Sign::True;
  core::NodePtr formula;
  World world;

  // "T(P, w0)"; falsum and verum print as _bot and _top (\bot and \top in
  // the notation "latex"), every other formula through the printer.
  std::string to_string(std::string_view notation = "infix") const;
  bool operator==(const SignedFormula& other) const;
};

// A derivation tree is an arena of compact nodes.  Searches build trees of
// millions of nodes, so a node holds only small indices: its formula is an
// id of the tree's own term bank, its worlds index the tree's world table,
// its rule label and clash text index the tree's table of distinct texts,
// and its children form a list through the arena.  A node takes 48 bytes.
using NodeIndex = std::uint32_t;
using WorldIndex = std::uint32_t;
using TextIndex = std::uint32_t;
inline constexpr std::uint32_t kNone = static_cast<std::uint32_t>(-1);

struct TableauNode {
  std::int64_t id = 0;
  core::TermId formula = core::kNoTerm;  // kNoTerm: the node has no signed formula
  WorldIndex formula_world = kNone;      // the signed formula's world
  WorldIndex world = kNone;              // the node's own world; kNone: none
  TextIndex rule = kNone;                // kNone: the empty rule
  TextIndex clash_details = kNone;       // kNone: none
  NodeIndex first_child = kNone;
  NodeIndex last_child = kNone;
  NodeIndex next_sibling = kNone;
  Sign sign = Sign::True;
  bool is_closed = false;

  bool is_leaf() const { return first_child == kNone; }
};

class DerivationTree {
 public:
  // The tree's formulas are ids of `bank`, which a branch state may share.
  explicit DerivationTree(std::shared_ptr<core::Bank> bank = std::make_shared<core::Bank>());
  DerivationTree(const DerivationTree&) = delete;
  DerivationTree& operator=(const DerivationTree&) = delete;

  // A new node without parent (the first one made is the root).
  NodeIndex add_node(std::int64_t id, const std::optional<SignedFormula>& signed_formula, std::string_view rule,
                     const std::optional<World>& world);
  // The same for a formula given as an id of `bank` (the tree's own, or another).
  NodeIndex add_node(std::int64_t id, Sign sign, core::TermId formula, core::Bank& bank,
                     const World& formula_world, std::string_view rule, const World& world);
  // Appends `child` to the children of `parent`.
  void add_child(NodeIndex parent, NodeIndex child);
  void set_clash_details(NodeIndex node, const std::optional<std::string>& text);

  static constexpr NodeIndex root() { return 0; }
  std::size_t node_count() const { return nodes_.size(); }
  TableauNode& node(NodeIndex n) { return nodes_[n]; }
  const TableauNode& node(NodeIndex n) const { return nodes_[n]; }

  std::optional<SignedFormula> signed_formula(NodeIndex n) const;
  const std::string& rule(NodeIndex n) const;
  std::optional<World> world(NodeIndex n) const;
  const std::string* clash_details(NodeIndex n) const;  // null when none

  // Calls visit(child) for each child of n, in order.
  template <typename Visit>
  void for_each_child(NodeIndex n, Visit visit) const {
    for (NodeIndex c = nodes_[n].first_child; c != kNone; c = nodes_[c].next_sibling) visit(c);
  }

  // The memory of the node arena, in bytes (the benchmark reports it per node).
  std::size_t node_bytes() const;
  const std::shared_ptr<core::Bank>& bank() const { return bank_; }

 private:
  WorldIndex world_index(const World& w);
  TextIndex text_index(std::string_view text);

  NodeIndex push_node(TableauNode n, std::string_view rule);

  std::deque<TableauNode> nodes_;
  std::shared_ptr<core::Bank> bank_;  // reading a formula back builds its node once
  std::vector<World> worlds_;
  std::unordered_map<World, WorldIndex, WorldHash> world_indices_;
  std::vector<std::string> texts_;
  std::unordered_map<std::string, TextIndex> text_indices_;
};

// The ASCII tree of a node and its subtree.
std::string node_text(const DerivationTree& tree, NodeIndex node, const std::string& prefix = "", bool is_last = true);
// Measures and LaTeX (forest package) markup of the subtree of a node.
std::int64_t tree_depth(const DerivationTree& tree, NodeIndex node = DerivationTree::root());
std::int64_t tree_size(const DerivationTree& tree, NodeIndex node = DerivationTree::root());
std::string tree_latex(const DerivationTree& tree, NodeIndex node = DerivationTree::root());

// ---------------------------------------------------------------------------
// Branch state
// ---------------------------------------------------------------------------
enum class RuleKind : std::uint8_t { T_And, F_Or, T_Not, F_Imp, F_Not, F_And, T_Or, T_Imp, T_Iff, F_Iff };
const char* rule_kind_name(RuleKind kind);  // "T_And", ...
// The kind of a rule name; false when the name is not one of the ten.
bool rule_kind_from_name(std::string_view name, RuleKind& kind);

// The per-world entries of a branch: world index -> value, in the order the
// entries were made.  A world may have no entry at all (a state read from
// Python need not give every world one); `pop_back` takes back the entry
// made last.
template <typename V>
class WorldEntries {
 public:
  bool contains(WorldIndex w) const { return slot(w) != kNone; }
  // The position of the world's entry in entry order, or kNone.
  std::uint32_t slot(WorldIndex w) const { return w < slots_.size() ? slots_[w] : kNone; }
  const V* find(WorldIndex w) const {
    const std::uint32_t i = slot(w);
    return i == kNone ? nullptr : &entries_[i].second;
  }
  V& value_at(std::uint32_t i) { return entries_[i].second; }
  const V& value_at(std::uint32_t i) const { return entries_[i].second; }
  // Makes an empty entry for a world that has none; returns its slot.
  std::uint32_t add(WorldIndex w) {
    if (slots_.size() <= w) slots_.resize(static_cast<std::size_t>(w) + 1, kNone);
    entries_.emplace_back(w, V{});
    return slots_[w] = static_cast<std::uint32_t>(entries_.size() - 1);
  }
  void pop_back() {
    slots_[entries_.back().first] = kNone;
    entries_.pop_back();
  }
  std::size_t size() const { return entries_.size(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  std::vector<std::pair<WorldIndex, V>> entries_;
  std::vector<std::uint32_t> slots_;  // world index -> slot, or kNone
};

// World indices or formula ids, in insertion order.
using IdSet = OrderedValueSet<std::uint32_t>;

// A rule instance: the rule, the formula it decomposes (an id of the
// branch's bank), the world of that formula and, for T_Not and T_Imp, the
// accessible world it is applied at (else kNone).
struct RuleInstance {
  RuleKind rule;
  core::TermId formula;
  WorldIndex world;
  WorldIndex successor = kNone;

  bool operator==(const RuleInstance& other) const = default;
};
struct RuleInstanceHash {
  std::size_t operator()(const RuleInstance& r) const;
};

// The state of one branch: its worlds in order of creation, the order among
// them, the formulas signed T and F at each world and the rule instances
// already applied.  Formulas are ids of a term bank, which the state shares
// with its copies (and, during a proof, with the derivation tree), and
// worlds are indices of the state's table of worlds, so every set of the
// branch is a set of integers.  The prover explores a split by extending one
// state in place and taking the extension back (an undo log) instead of
// copying it.
class BranchState {
 public:
  explicit BranchState(std::shared_ptr<core::Bank> bank = std::make_shared<core::Bank>());

  // The index of a world value, added to the table (not to the branch) on first use.
  WorldIndex world_index(const World& world);
  const World& world(WorldIndex w) const { return world_values_[w]; }
  core::TermId formula_id(const core::NodePtr& formula) { return bank_->from_node(formula); }
  core::NodePtr formula(core::TermId f) const { return bank_->to_node(f); }
  core::Bank& bank() const { return *bank_; }
  core::TermId falsum_id() const { return falsum_; }
  core::TermId verum_id() const { return verum_; }

  std::vector<WorldIndex> worlds;  // the branch's worlds, in order
  WorldEntries<IdSet> relations;   // u -> {v : u <= v}
  WorldEntries<IdSet> t_formulas;
  WorldEntries<IdSet> f_formulas;
  OrderedValueSet<RuleInstance, RuleInstanceHash> applied_rules;

  // Registers a world (once) with its reflexive pair and empty T and F sets.
  void add_world(WorldIndex world);
  // Adds a true formula at the world and at every world above it.
  void add_t_formula(WorldIndex world, core::TermId formula);
  // Adds a false formula at the world only.
  void add_f_formula(WorldIndex world, core::TermId formula);
  // Records source <= target: target and its successors become accessible
  // from source and from every world below source, and each of them receives
  // the true formulas of every world that now reaches it.  The order stays
  // transitive and the T sets monotone.
  void add_relation(WorldIndex source, WorldIndex target);
  void add_rule(const RuleInstance& rule);
  // An independent copy that shares the bank; the undo log is not copied.
  BranchState copy() const;

  // Undo log.  While recording, every insertion is logged; undo_to(mark)
  // takes back everything inserted since mark() returned it, so the state
  // is again exactly what it was then, insertion order included.
  void set_recording(bool on) { recording_ = on; }
  bool recording() const { return recording_; }
  std::size_t mark() const { return trail_.size(); }
  void undo_to(std::size_t mark);
  void forget_log(std::size_t mark) { trail_.resize(mark); }

 private:
  enum class Change : std::uint8_t { World, RelationEntry, Relation, TEntry, TFormula, FEntry, FFormula, Rule };
  struct Undo {
    Change change;
    std::uint32_t slot;  // the entry that gained a member
  };
  void log(Change change, std::uint32_t slot = 0);
  std::uint32_t entry_of(WorldEntries<IdSet>& entries, WorldIndex world, Change made);
  void insert(WorldEntries<IdSet>& entries, std::uint32_t slot, std::uint32_t member, Change change);

  std::shared_ptr<core::Bank> bank_;
  core::TermId falsum_, verum_;
  std::vector<World> world_values_;
  std::unordered_map<World, WorldIndex, WorldHash> world_indices_;
  bool recording_ = false;
  std::vector<Undo> trail_;
};

// ---------------------------------------------------------------------------
// Prover
// ---------------------------------------------------------------------------
struct Clash {
  World world;
  core::NodePtr formula;
  std::string message;
};

// What an expansion returns: closed, or the state of the first open branch.
// `open_state` points at the state passed in when the open branch never
// split from it, else at `owned_open`, a copy.
struct ExpandResult {
  bool closed = false;
  BranchState* open_state = nullptr;
  std::unique_ptr<BranchState> owned_open;
};

struct TableauResult {
  bool is_valid = false;
  std::shared_ptr<DerivationTree> tree;  // its root is the target's node
  std::shared_ptr<KripkeModel> countermodel;  // null when none
  core::NodePtr target;                       // null when none
  std::vector<core::NodePtr> premises;
};

// The text report of a result; `tree` may be null, and `countermodel_text`
// (the countermodel's text) is absent when there is no countermodel.
std::string result_report(bool is_valid, const DerivationTree* tree, const std::optional<std::string>& countermodel_text,
                          const core::NodePtr& target, const std::vector<core::NodePtr>& premises);

class TableauProver {
 public:
  // Limits below 1 become 1.
  explicit TableauProver(std::int64_t max_depth = 100, std::int64_t max_worlds = 50);

  std::int64_t max_depth() const { return max_depth_; }
  std::int64_t max_worlds() const { return max_worlds_; }
  // The limits as plain settings: stored as given, read at every step.
  void set_max_depth(std::int64_t limit) { max_depth_ = limit; }
  void set_max_worlds(std::int64_t limit) { max_worlds_ = limit; }
  std::int64_t node_counter = 0;  // the last node id handed out in this proof
  // Raises std::overflow_error when the counter is at the 64-bit maximum.
  std::int64_t next_node_id();

  std::optional<Clash> check_clash(const BranchState& state) const;
  // The model of an open branch: its worlds, its order and the atoms signed
  // true.  Not checked against the target.
  std::shared_ptr<KripkeModel> extract_countermodel(const BranchState& state) const;
  // Whether the model refutes the sequent at w0: every premise forced, the
  // target not.  False when a formula is not propositional (forcing cannot
  // decide it), so that such a branch is reported without a countermodel.
  static bool refutes(const KripkeModel& model, const core::NodePtr& target,
                      const std::vector<core::NodePtr>& premises);

  TableauResult prove(const core::NodePtr& target, const std::vector<core::NodePtr>& premises = {});
  // Expands the branch below `node` of `tree` (at depth `depth`, the root
  // being 1), appending children and setting their closed flags.
  ExpandResult expand_branch(BranchState& state, DerivationTree& tree, NodeIndex node, std::int64_t depth);

  bool is_valid(const core::NodePtr& target, const std::vector<core::NodePtr>& premises = {});
  std::shared_ptr<KripkeModel> countermodel(const core::NodePtr& target,
                                            const std::vector<core::NodePtr>& premises = {});

 private:
  struct Step;
  struct Pending;
  Step expand_once(BranchState& state, DerivationTree& tree, NodeIndex node, std::int64_t depth);

  std::int64_t max_depth_;
  std::int64_t max_worlds_;
};

TableauResult prove_tableau(const core::NodePtr& formula, const std::vector<core::NodePtr>& premises = {},
                            std::int64_t max_depth = 100, std::int64_t max_worlds = 50);

}  // namespace constructive
