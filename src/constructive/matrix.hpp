// The polar formula tree of the matrix method.
//
// A problem (a target with premises) decomposes into positions: each holds a
// subformula, its polarity (0: goal side, 1: premise side), its type and the
// world prefix at which it holds.  Conjunctions and disjunctions split
// (ALPHA) or join (BETA) the paths; an implication of polarity 0 (PSI) opens
// a new world named by a fresh prefix constant; an implication of polarity 1
// (PHI) is copied `multiplicity` times, each copy under a fresh prefix
// variable; atoms of polarity 1 end their prefix with a variable of their own.
//
// Positions live in one vector and link to each other by index, so a tree
// has no pointer cycles.  `tree_order` records which symbol was introduced
// directly below which, in order of creation: the order that admissibility
// of a prefix substitution is checked against.
//
// A path is the list of leaves that lie together on one branch; the paths
// are produced in a fixed lexicographic order (earlier children and copies
// vary slowest).  Their number is computed first, and a matrix with more
// than kMaxPaths paths (or more than kMaxPathLeaves leaves on all paths
// together) is refused with a ValueError instead of filling the memory.
// Likewise a tree whose positions would number more than kMaxPositions (a
// formula with shared subformulas unfolds into a tree, and every PHI copy
// multiplies what lies below it) is refused before any is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "constructive/prefix.hpp"
#include "core/ast.hpp"
#include "core/exceptions.hpp"
#include "core/interrupt.hpp"
#include "core/limits.hpp"

namespace constructive {

enum class PositionType : std::uint8_t { ALPHA, BETA, PHI, PSI, ATOM };
const char* position_type_name(PositionType t);

struct MatrixPosition {
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  std::int64_t id = 0;
  core::NodePtr formula;
  std::int64_t polarity = 0;
  PositionType type = PositionType::ATOM;
  Prefix prefix;
  std::size_t parent = npos;
  std::vector<std::size_t> children;
  std::optional<Symbol> symbol;

  bool is_leaf() const { return type == PositionType::ATOM; }
};

using Path = std::vector<std::size_t>;

using core::limits::kMaxPathLeaves;
using core::limits::kMaxPaths;
using core::limits::kMaxPositions;

class FormulaTree {
 public:
  // Normalises the target and the premises and builds the whole tree; a
  // multiplicity below 1 counts as 1.
  FormulaTree(const core::NodePtr& target, const std::vector<core::NodePtr>& premises, std::int64_t multiplicity);

  const core::NodePtr& target() const { return target_; }
  const std::vector<core::NodePtr>& premises() const { return premises_; }
  std::int64_t multiplicity() const { return multiplicity_; }
  // Every position, indexed in order of creation (the order of ids).
  const std::vector<MatrixPosition>& nodes() const { return nodes_; }
  const MatrixPosition& node(std::size_t i) const { return nodes_[i]; }
  // Indices in post-order, resp. the leaves in left-to-right order.
  const std::vector<std::size_t>& positions() const { return positions_; }
  const std::vector<std::size_t>& leaves() const { return leaves_; }
  const SymbolOrder& tree_order() const { return tree_order_; }
  // Every edge added to the tree order, in order (a repeated edge again).
  const std::vector<std::pair<Symbol, Symbol>>& edge_log() const { return edge_log_; }
  std::size_t root() const { return root_; }

  // The counters, readable and settable as on the Python face.
  std::int64_t counter = 0;
  std::int64_t const_counter = 0;
  std::int64_t var_counter = 0;

  std::int64_t next_id();
  Symbol next_constant();
  Symbol next_variable();
  void add_tree_symbol(const Symbol& s);
  void add_order_edge(const Symbol& parent, const Symbol& child);
  // Decomposes `f` below the position `parent` (npos for none) and returns
  // the index of its position; ValueError when the tree would grow beyond
  // kMaxPositions positions.
  std::size_t decompose(const core::NodePtr& f, std::int64_t polarity, const Prefix& prefix, std::size_t parent);

  // The paths through the matrix from `root()`.
  std::vector<Path> paths() const;

 private:
  Prefix attach(const Prefix& prefix, const Symbol& s);
  std::size_t add_node(MatrixPosition p);
  // Throws ValueError when `more` positions would take the tree past kMaxPositions.
  void check_room(std::uint64_t more) const;
  // The recursive body of decompose, one guarded level per connective.
  std::size_t place(const core::NodePtr& f, std::int64_t polarity, const Prefix& prefix, std::size_t parent);
  std::size_t inner(const core::NodePtr& f, std::int64_t polarity, const Prefix& prefix, std::size_t parent,
                    std::int64_t id);

  core::NodePtr target_;
  std::vector<core::NodePtr> premises_;
  std::int64_t multiplicity_ = 1;
  std::vector<MatrixPosition> nodes_;
  std::vector<std::size_t> positions_;
  std::vector<std::size_t> leaves_;
  SymbolOrder tree_order_;
  std::vector<std::pair<Symbol, Symbol>> edge_log_;
  std::size_t root_ = 0;
  core::InterruptPoller poller_;
};

// ---------------------------------------------------------------------------
// Paths over any position graph
// ---------------------------------------------------------------------------
// `View` offers, for a position handle P: `PositionType type(P)` (nullopt for
// a type that is none of the five), `std::size_t child_count(P)` and
// `P child(P, i)`.  Leaves are the positions of type ATOM.
namespace paths_detail {

// Saturating arithmetic for the path counts.
inline std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }
inline std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// Number of paths and of leaf entries on all paths together.
struct Count {
  std::uint64_t paths = 1;
  std::uint64_t leaves = 0;
};

// The paths of alternatives (ALPHA children, the two sides of a PHI copy).
inline Count sum(Count a, Count b) { return {sat_add(a.paths, b.paths), sat_add(a.leaves, b.leaves)}; }
// Paths joined from both parts: each part's leaves appear once for every path of the other.
inline Count product(Count a, Count b) {
  return {sat_mul(a.paths, b.paths), sat_add(sat_mul(a.leaves, b.paths), sat_mul(b.leaves, a.paths))};
}

template <typename View, typename P>
Count count(const View& view, const P& p) {
  core::RecursionGuard guard;
  auto type = view.type(p);
  if (type == PositionType::ATOM) return {1, 1};
  std::size_t n = view.child_count(p);
  if (type == PositionType::ALPHA) {
    if (n == 0) return {1, 0};
    Count out{0, 0};
    for (std::size_t i = 0; i < n; ++i) out = sum(out, count(view, view.child(p, i)));
    return out;
  }
  Count out{1, 0};
  if (type == PositionType::BETA || type == PositionType::PSI) {
    for (std::size_t i = 0; i < n; ++i) out = product(out, count(view, view.child(p, i)));
  } else if (type == PositionType::PHI) {
    for (std::size_t i = 0; i + 1 < n; i += 2)
      out = product(out, sum(count(view, view.child(p, i)), count(view, view.child(p, i + 1))));
  }
  return out;
}

template <typename P>
using PathsOf = std::vector<std::vector<P>>;

template <typename P>
PathsOf<P> cross(const PathsOf<P>& a, const PathsOf<P>& b) {
  PathsOf<P> out;
  out.reserve(a.size() * b.size());
  core::InterruptPoller poller;  // a product may hold a million paths
  for (const auto& x : a)
    for (const auto& y : b) {
      poller.poll();
      std::vector<P> path = x;
      path.insert(path.end(), y.begin(), y.end());
      out.push_back(std::move(path));
    }
  return out;
}

template <typename View, typename P>
PathsOf<P> collect(const View& view, const P& p) {
  core::RecursionGuard guard;
  auto type = view.type(p);
  if (type == PositionType::ATOM) return {{p}};
  std::size_t n = view.child_count(p);
  PathsOf<P> out;
  if (type == PositionType::ALPHA) {
    for (std::size_t i = 0; i < n; ++i) {
      auto part = collect(view, view.child(p, i));
      out.insert(out.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
    }
    if (out.empty()) out.emplace_back();
  } else if (type == PositionType::BETA || type == PositionType::PSI) {
    out.emplace_back();
    for (std::size_t i = 0; i < n; ++i) out = cross(out, collect(view, view.child(p, i)));
  } else if (type == PositionType::PHI) {
    out.emplace_back();
    for (std::size_t i = 0; i + 1 < n; i += 2) {
      auto branch = collect(view, view.child(p, i));
      auto right = collect(view, view.child(p, i + 1));
      branch.insert(branch.end(), std::make_move_iterator(right.begin()), std::make_move_iterator(right.end()));
      out = cross(out, branch);
    }
  } else {
    out.emplace_back();
  }
  return out;
}

}  // namespace paths_detail

// The paths below `root`, after checking their number against the limits.
// ValueError when a matrix of that many paths and leaves is too large to list.
inline void check_path_limits(const paths_detail::Count& c) {
  if (c.paths > kMaxPaths || c.leaves > kMaxPathLeaves)
    throw core::ValueError("the matrix has too many paths to list (" +
                           (c.paths == UINT64_MAX ? std::string("more than 2^64") : std::to_string(c.paths)) +
                           " paths with " + (c.leaves == UINT64_MAX ? std::string("more than 2^64") : std::to_string(c.leaves)) +
                           " leaves in all; the limit is " +
                           std::to_string(kMaxPaths) + " paths and " + std::to_string(kMaxPathLeaves) + " leaves)");
}

template <typename View, typename P>
std::vector<std::vector<P>> collect_paths(const View& view, const P& root) {
  check_path_limits(paths_detail::count(view, root));
  return paths_detail::collect(view, root);
}

}  // namespace constructive
