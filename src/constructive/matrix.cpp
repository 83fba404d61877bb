#include "constructive/matrix.hpp"

#include <array>
#include <string>

#include "constructive/common.hpp"

namespace constructive {

namespace {

using paths_detail::sat_add;
using paths_detail::sat_mul;

// The connectives the matrix decomposes; every other formula is a leaf.
bool decomposes(core::NodeKind kind) {
  return kind == core::NodeKind::And || kind == core::NodeKind::Or || kind == core::NodeKind::Implies;
}

// The number of positions that decomposing a formula at a polarity makes
// (saturating), each shared subformula counted once per polarity.
class PositionCount {
 public:
  explicit PositionCount(std::int64_t multiplicity) : multiplicity_(static_cast<std::uint64_t>(multiplicity)) {}

  std::uint64_t of(const core::NodePtr& f, std::int64_t polarity) {
    core::RecursionGuard guard;
    auto& memo = memo_[polarity == 0 ? 0 : 1];
    if (const std::uint64_t* known = memo.find(f)) return *known;
    return memo.store(f, count(f, polarity == 0 ? 0 : 1));
  }

 private:
  std::uint64_t count(const core::NodePtr& f, std::int64_t polarity) {
    const core::NodeKind kind = f->kind();
    if (!decomposes(kind)) return 1;
    const auto& bin = core::as<core::BinaryFormula>(*f);
    if (kind != core::NodeKind::Implies) return sat_add(1, sat_add(of(bin.left(), polarity), of(bin.right(), polarity)));
    if (polarity == 0) return sat_add(1, sat_add(of(bin.left(), 1), of(bin.right(), 0)));
    return sat_add(1, sat_mul(multiplicity_, sat_add(of(bin.left(), 0), of(bin.right(), 1))));
  }

  std::uint64_t multiplicity_;
  std::array<core::SharedNodeMemo<std::uint64_t>, 2> memo_;
};

}  // namespace

const char* position_type_name(PositionType t) {
  switch (t) {
    case PositionType::ALPHA: return "ALPHA";
    case PositionType::BETA: return "BETA";
    case PositionType::PHI: return "PHI";
    case PositionType::PSI: return "PSI";
    case PositionType::ATOM: return "ATOM";
  }
  return "ATOM";
}

FormulaTree::FormulaTree(const core::NodePtr& target, const std::vector<core::NodePtr>& premises,
                         std::int64_t multiplicity)
    : target_(normalize_formula(target)), multiplicity_(multiplicity < 1 ? 1 : multiplicity) {
  for (const auto& p : premises) premises_.push_back(normalize_formula(p));
  Symbol c0 = Symbol::constant("c0");
  add_tree_symbol(c0);
  Prefix initial({c0});
  PositionCount count(multiplicity_);
  std::uint64_t needed = premises_.empty() ? 0 : 1;
  for (const auto& p : premises_) needed = sat_add(needed, count.of(p, 1));
  check_room(sat_add(needed, count.of(target_, 0)));
  if (premises_.empty()) {
    root_ = place(target_, 0, initial, MatrixPosition::npos);
    return;
  }
  std::vector<std::size_t> tops;
  for (const auto& p : premises_) tops.push_back(place(p, 1, initial, MatrixPosition::npos));
  tops.push_back(place(target_, 0, initial, MatrixPosition::npos));
  MatrixPosition root;
  root.id = next_id();
  root.formula = target_;
  root.polarity = 0;
  root.type = PositionType::BETA;
  root.prefix = initial;
  root.children = std::move(tops);
  root_ = add_node(std::move(root));
  positions_.push_back(root_);
}

std::int64_t FormulaTree::next_id() { return ++counter; }

namespace {
// "c1", "V2": a letter followed by the number, built by appending (the
// prepending `"c" + std::to_string(n)` draws a false -Wrestrict from GCC 12).
std::string numbered_name(char letter, std::int64_t number) {
  std::string name(1, letter);
  name += std::to_string(number);
  return name;
}
}  // namespace

Symbol FormulaTree::next_constant() {
  Symbol s = Symbol::constant(numbered_name('c', ++const_counter));
  add_tree_symbol(s);
  return s;
}

Symbol FormulaTree::next_variable() {
  Symbol s = Symbol::variable(numbered_name('V', ++var_counter));
  add_tree_symbol(s);
  return s;
}

void FormulaTree::add_tree_symbol(const Symbol& s) { tree_order_[s]; }

void FormulaTree::add_order_edge(const Symbol& parent, const Symbol& child) {
  add_tree_symbol(parent);
  add_tree_symbol(child);
  tree_order_[parent].insert(child);
  edge_log_.emplace_back(parent, child);
}

Prefix FormulaTree::attach(const Prefix& prefix, const Symbol& s) {
  if (!prefix.empty()) add_order_edge(prefix.symbols().back(), s);
  return prefix.append(s);
}

std::size_t FormulaTree::add_node(MatrixPosition p) {
  nodes_.push_back(std::move(p));
  return nodes_.size() - 1;
}

void FormulaTree::check_room(std::uint64_t more) const {
  if (sat_add(more, nodes_.size()) <= kMaxPositions) return;
  throw core::ValueError("the formula tree would have " +
                         (more == UINT64_MAX ? std::string("more than 2^64") : std::to_string(more)) +
                         " positions (shared subformulas unfold, implications of polarity 1 are copied " +
                         std::to_string(multiplicity_) + " times); the limit is " + std::to_string(kMaxPositions));
}

std::size_t FormulaTree::decompose(const core::NodePtr& f, std::int64_t polarity, const Prefix& prefix,
                                   std::size_t parent) {
  check_room(PositionCount(multiplicity_).of(f, polarity));
  return place(f, polarity, prefix, parent);
}

std::size_t FormulaTree::place(const core::NodePtr& f, std::int64_t polarity, const Prefix& prefix,
                               std::size_t parent) {
  core::RecursionGuard guard;
  poller_.poll();
  const std::int64_t id = next_id();
  const core::NodeKind kind = f->kind();
  if (!decomposes(kind)) {
    MatrixPosition leaf;
    leaf.id = id;
    leaf.formula = f;
    leaf.polarity = polarity;
    leaf.type = PositionType::ATOM;
    leaf.parent = parent;
    if (is_atomic(*f) && polarity == 1 && !is_falsum(*f) && !is_verum(*f)) {
      Symbol v = next_variable();
      leaf.prefix = attach(prefix, v);
      leaf.symbol = v;
    } else {
      leaf.prefix = prefix;
    }
    std::size_t index = add_node(std::move(leaf));
    positions_.push_back(index);
    leaves_.push_back(index);
    return index;
  }
  return inner(f, polarity, prefix, parent, id);
}

std::size_t FormulaTree::inner(const core::NodePtr& f, std::int64_t polarity, const Prefix& prefix, std::size_t parent,
                               std::int64_t id) {
  const auto& bin = core::as<core::BinaryFormula>(*f);
  const bool goal = polarity == 0;
  MatrixPosition p;
  p.id = id;
  p.formula = f;
  p.polarity = polarity;
  p.parent = parent;
  p.prefix = prefix;
  Prefix below = prefix;
  std::int64_t left_polarity = goal ? 0 : 1, right_polarity = left_polarity;
  switch (f->kind()) {
    case core::NodeKind::And: p.type = goal ? PositionType::ALPHA : PositionType::BETA; break;
    case core::NodeKind::Or: p.type = goal ? PositionType::BETA : PositionType::ALPHA; break;
    default:
      if (goal) {
        p.type = PositionType::PSI;
        Symbol c = next_constant();
        below = attach(prefix, c);
        p.prefix = below;
        p.symbol = c;
        left_polarity = 1;
        right_polarity = 0;
      } else {
        p.type = PositionType::PHI;
      }
  }
  std::size_t index = add_node(std::move(p));
  std::vector<std::size_t> children;
  if (nodes_[index].type == PositionType::PHI) {
    for (std::int64_t k = 0; k < multiplicity_; ++k) {
      Prefix copy = attach(prefix, next_variable());
      children.push_back(place(bin.left(), 0, copy, index));
      children.push_back(place(bin.right(), 1, copy, index));
    }
  } else {
    children.push_back(place(bin.left(), left_polarity, below, index));
    children.push_back(place(bin.right(), right_polarity, below, index));
  }
  nodes_[index].children = std::move(children);
  positions_.push_back(index);
  return index;
}

namespace {

struct EngineView {
  const FormulaTree& tree;
  std::optional<PositionType> type(std::size_t i) const { return tree.node(i).type; }
  std::size_t child_count(std::size_t i) const { return tree.node(i).children.size(); }
  std::size_t child(std::size_t i, std::size_t k) const { return tree.node(i).children[k]; }
};

}  // namespace

std::vector<Path> FormulaTree::paths() const { return collect_paths(EngineView{*this}, root_); }

}  // namespace constructive
