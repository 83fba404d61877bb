// Functions of whole syntax trees: free and bound variables, depth and
// size, and the canonical renaming of bound variables.  Every walk here
// visits each distinct shared subterm once, so a heavily shared formula
// costs its number of distinct nodes, and none fails for the depth of a
// formula beyond the recursion guard's limit.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "core/ast.hpp"
#include "core/big_int.hpp"

namespace core {

// ---------------------------------------------------------------------------
// Tree functions
// ---------------------------------------------------------------------------
// What a walk computed for the children that it may reach more than once.
// A formula may share subterms (f = And(f, f) repeated is small in memory
// and huge as a tree); a walk that keeps its result for every child with
// more than one owner walks each distinct subterm once.  A child with a
// single owner can only be reached through its parent, so it is not kept,
// and plain trees cost what they did.  Pass children as the very pointers
// stored in their parents (a copy would count as an owner).  A remembered
// node is kept alive by the memo: a node that the walk built and dropped
// cannot hand its address on to another node while its result is kept.
template <typename T>
class SharedNodeMemo {
 public:
  template <typename Ptr>
  const T* find(const Ptr& n) const {
    if (n.use_count() <= 1 || map_.empty()) return nullptr;
    auto it = map_.find(n.get());
    return it == map_.end() ? nullptr : &it->second.value;
  }
  // Keeps the value when the child is shared; returns it either way (the
  // reference stays valid until the next store).
  template <typename Ptr>
  const T& store(const Ptr& n, T value) {
    if (owners(n, value) <= 1) return last_ = std::move(value);
    return map_.insert_or_assign(n.get(), Kept{n, std::move(value)}).first->second.value;
  }

 private:
  struct Kept {
    NodePtr node;
    T value;
  };
  // The owners of `n` besides the value: a walk that leaves a node as it
  // was returns the node itself, which is no second parent.
  template <typename Ptr>
  static long owners(const Ptr& n, const T& value) {
    if constexpr (std::is_same_v<T, NodePtr>) return n.use_count() - (value.get() == n.get() ? 1 : 0);
    return n.use_count();
  }
  std::unordered_map<const Node*, Kept> map_;
  T last_{};
};

// A count of tree nodes, exact however large: a formula with shared
// subterms can count far beyond 64 bits.
using NodeCount = BigInt;

// The free variables of terms and formulas, in order of first free
// occurrence.  Applications and equalities keep their sets (free_vars());
// a walk remembers the sets of the compound formulas it meets shared, so
// that each distinct shared subformula is walked once.  Made with
// Remember::EveryFormula, it remembers the set of every compound formula it
// has walked until forget(): for a caller that asks about the subformulas of
// one formula one after another (the substitution, at each quantifier).
class FreeVariableWalk {
 public:
  enum class Remember { SharedChildren, EveryFormula };
  explicit FreeVariableWalk(Remember remember = Remember::SharedChildren) : remember_(remember) {}

  // The set, shared with the node or with the walk where it can be.
  VarSetPtr of(const NodePtr& node);
  // Adds the free variables of `node` to `out`.
  void collect(const NodePtr& node, VarSet& out);
  void forget() { memo_.clear(); }

 private:
  VarSetPtr of_formula(const NodePtr& formula);
  void child(const NodePtr& c, VarSet& out);
  bool remembers(const NodePtr& n) const {
    return n->kind() > NodeKind::Equality && (remember_ == Remember::EveryFormula || n.use_count() > 1);
  }

  Remember remember_;
  std::unordered_map<NodePtr, VarSetPtr> memo_;  // keyed by node identity
};

// The walks visit each distinct shared subterm once.
VarSet free_variables(const NodePtr& n);
VarSet bound_variables(const Node& n);
std::int64_t formula_depth(const Node& n);  // InvalidFormulaError "Expected Formula, got <class>"
NodeCount formula_size_exact(const Node& n);
NodeCount node_size_exact(const Node& n);  // a term or a formula, as an unfolded tree
std::int64_t formula_size(const Node& n);  // std::overflow_error beyond 64 bits
NodePtr canonicalize_bound_variables(const NodePtr& formula);

}  // namespace core
