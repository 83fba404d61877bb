// A bank of interned terms and formulas, for the provers' hot loops.
//
// Every term and formula that enters a bank gets a dense 32-bit id; equal
// structure gives the equal id (hash-consing), so equality of terms is
// equality of integers and a set of formulas is a set of integers.  Per id
// the bank keeps flat arrays: the kind (the syntax-tree classes of
// core/ast.hpp), the symbol, the sort (of a term), the children (a slice of
// one shared array), whether the term is ground and its weight.  Symbols are
// interned by name and arity, so "R"/1 and "R"/2 are two symbols; sorts are
// interned by value.
//
// A bank holds no global state and is not shared between threads: make one
// per proof run or per caller.  Ids only grow; nothing is ever removed.
// Syntax-tree nodes meet the bank only at the boundary (from_node, to_node);
// both walk iteratively, so a term nested a million deep converts without
// exhausting the stack.
//
// What the children of an id are, by kind:
//   Variable, Constant                   none
//   FunctionApp, PredicateApp            the arguments
//   Equality, And, Or, Implies, Iff      left, right
//   Not                                  operand
//   Forall, Exists                       the variable, the body
//   ForallPred ... ExistsFunc            the body (the symbol is the bound symbol variable)
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/ast.hpp"
#include "core/sorts.hpp"

namespace core {

using TermId = std::uint32_t;    // a term or formula of one bank
using SymbolId = std::uint32_t;  // a symbol of one bank
using SortId = std::uint32_t;    // a sort of one bank

inline constexpr TermId kNoTerm = static_cast<TermId>(-1);
inline constexpr SymbolId kNoSymbol = static_cast<SymbolId>(-1);
inline constexpr SortId kNoSort = static_cast<SortId>(-1);
inline constexpr SortId kIndSort = 0;  // every bank interns Ind first

// An open-addressing hash index over the dense numbers 0, 1, 2, ... of some
// table kept elsewhere (terms, symbols, sorts): it stores each number's hash
// and finds a number by hash and an equality test on the number.
class DenseIndex {
 public:
  static constexpr std::uint32_t kMissing = static_cast<std::uint32_t>(-1);

  DenseIndex() = default;  // allocates on the first add
  std::size_t size() const { return hashes_.size(); }
  std::uint64_t hash(std::uint32_t i) const { return hashes_[i]; }

  template <typename Same>
  std::uint32_t find(std::uint64_t hash, Same&& same) const {
    if (slots_.empty()) return kMissing;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i] != 0; i = (i + 1) & mask) {
      std::uint32_t n = slots_[i] - 1;
      if (hashes_[n] == hash && same(n)) return n;
    }
    return kMissing;
  }
  // Enters the number size() with this hash (after find missed).
  void add(std::uint64_t hash);
  // Forgets every number, keeping the memory.
  void clear();
  // Forgets every number and lets go of the memory.
  void release() noexcept;
  // The bytes an index holds per number, at most (slots at most a quarter full after growing).
  static constexpr std::size_t kBytesPerNumber = sizeof(std::uint64_t) + 4 * sizeof(std::uint32_t);

 private:
  void place(std::uint32_t n);
  std::vector<std::uint32_t> slots_;  // number + 1; 0 is empty
  std::vector<std::uint64_t> hashes_;
};

class Bank {
 public:
  Bank();
  Bank(const Bank&) = delete;
  Bank& operator=(const Bank&) = delete;
  Bank(Bank&&) noexcept = default;
  Bank& operator=(Bank&&) noexcept = default;
  ~Bank();

  // Forgets every term, symbol and sort (and lets go of the nodes it holds),
  // keeping its memory for the next use: a bank made afresh for each small
  // task would spend more time allocating than working.
  void clear();

  // --- Symbols ---------------------------------------------------------
  // The symbol with this name and arity, added on first use.
  SymbolId symbol(std::string_view name, std::uint32_t arity);
  // The symbol of a second-order symbol variable applied to `arity`
  // arguments (kept apart from names).
  SymbolId symbol(const SymbolVariablePtr& variable, std::uint32_t arity);
  // The symbol with this name and arity, or kNoSymbol when there is none.
  SymbolId find_symbol(std::string_view name, std::uint32_t arity) const;
  const std::string& symbol_name(SymbolId s) const { return symbols_[s].symbol.name(); }
  std::uint32_t symbol_arity(SymbolId s) const { return symbols_[s].arity; }

  // --- Sorts -----------------------------------------------------------
  SortId sort(const SortPtr& sort);
  const SortPtr& sort_value(SortId s) const { return sorts_[s]; }

  // --- Building (each returns the id of the equal term if there is one) --
  TermId variable(std::int64_t id, SortId sort = kIndSort, VariableKind kind = VariableKind::INDIVIDUAL);
  TermId constant(SymbolId name, SortId sort = kIndSort);
  TermId function(SymbolId f, std::span<const TermId> args, SortId return_sort = kIndSort);
  TermId predicate(SymbolId p, std::span<const TermId> args);
  TermId equality(TermId left, TermId right);
  TermId negation(TermId operand);
  // And, Or, Implies or Iff.
  TermId binary(NodeKind kind, TermId left, TermId right);
  // Forall or Exists; `variable` must be a Variable id.
  TermId quantifier(NodeKind kind, TermId variable, TermId body);
  // ForallPred, ExistsPred, ForallFunc or ExistsFunc over a symbol variable.
  TermId second_order(NodeKind kind, SymbolId variable, TermId body);
  // A term of the same kind, symbol and sort as `like` with other children
  // (the rebuilding step of substitution walks).
  TermId rebuild(TermId like, std::span<const TermId> children);

  // --- Reading ---------------------------------------------------------
  std::size_t size() const { return entries_.size(); }
  NodeKind kind(TermId t) const { return entries_[t].kind; }
  bool is_term(TermId t) const { return entries_[t].kind <= NodeKind::FunctionApp; }
  bool is_variable(TermId t) const { return entries_[t].kind == NodeKind::Variable; }
  // No Variable node occurs in it (bound or free).
  bool is_ground(TermId t) const { return (entries_[t].flags & kGround) != 0; }
  // Constants, applications and second-order quantifiers: their symbol.
  SymbolId symbol_of(TermId t) const { return entries_[t].kind == NodeKind::Variable ? kNoSymbol : entries_[t].symbol; }
  std::span<const TermId> children(TermId t) const { return {children_.data() + entries_[t].first, entries_[t].count}; }
  std::uint32_t arity(TermId t) const { return entries_[t].count; }
  // The sort of a term (the return sort of an application); kNoSort for formulas.
  SortId sort_of(TermId t) const { return entries_[t].sort; }
  // A Variable's id and kind.
  std::int64_t variable_id(TermId t) const {
    std::uint32_t v = entries_[t].symbol;
    return (v & kBigVariable) ? variables_[v & ~kBigVariable].id : static_cast<std::int64_t>(v >> 2);
  }
  VariableKind variable_kind(TermId t) const {
    std::uint32_t v = entries_[t].symbol;
    return (v & kBigVariable) ? variables_[v & ~kBigVariable].kind : static_cast<VariableKind>(v & 3);
  }
  // The number of nodes of the tree (shared subterms counted each time), at
  // most 2^32 - 1.
  std::uint32_t weight(TermId t) const { return entries_[t].weight; }

  // --- The syntax-tree boundary ---------------------------------------
  // The id of a node; raises TypeError for a null node.  Node objects seen
  // here are kept alive by the bank, so converting the same object again is
  // one lookup.
  TermId from_node(const NodePtr& node);
  // The node of an id, built once and then shared.
  NodePtr to_node(TermId t);

 private:
  static constexpr std::uint8_t kGround = 1;
  // A Variable's symbol slot holds (id << 2 | kind) for ids below 2^29, and
  // kBigVariable | the index into variables_ for larger ones.
  static constexpr std::uint32_t kBigVariable = 0x80000000u;

  struct SymbolEntry {
    Symbol symbol;
    std::uint32_t arity;
  };
  struct VariableEntry {
    std::int64_t id;
    VariableKind kind;
  };

  TermId intern(NodeKind kind, std::uint32_t symbol, SortId sort, std::span<const TermId> children);
  bool same_key(TermId t, NodeKind kind, std::uint32_t symbol, SortId sort, std::span<const TermId> children) const;
  std::uint64_t hash_key(NodeKind kind, std::uint32_t symbol, SortId sort, std::span<const TermId> children) const;
  TermId from_children(const Node& node, std::span<const TermId> children);
  TermId leaf(const NodePtr& node);
  SymbolId symbol(std::string_view name, std::uint32_t arity, const Symbol* known);
  void remember(TermId id, const NodePtr& node);
  TermId seen_id(const Node* node) const;
  void remember_seen(const NodePtr& node, TermId id);
  NodePtr node_from_children(TermId t, const std::vector<NodePtr>& children);

  // Every member below is emptied by clear().
  // Per id, one entry (what the hot loops read of a term sits together).
  struct Entry {
    NodeKind kind;
    std::uint8_t flags;
    std::uint32_t symbol;  // SymbolId, or the encoded variable (see kBigVariable)
    SortId sort;
    std::uint32_t first;  // the children: children_[first .. first + count)
    std::uint32_t count;
    std::uint32_t weight;
  };
  std::vector<Entry> entries_;
  std::vector<TermId> children_;
  DenseIndex terms_;  // hash-consing

  std::vector<SymbolEntry> symbols_;
  DenseIndex symbol_index_;  // by (name, arity) or (symbol variable, arity)

  std::vector<SortPtr> sorts_;
  DenseIndex sort_index_;
  SortPtr last_sort_;  // the sort asked for last, which the next term most likely shares
  SortId last_sort_id_ = kIndSort;

  std::vector<VariableEntry> variables_;  // the variables with ids of 2^29 and more
  DenseIndex variable_index_;

  // The boundary: nodes built or seen, by id and by object.
  std::vector<NodePtr> nodes_;
  std::vector<const Node*> seen_objects_;  // inner nodes that from_node has walked
  std::vector<TermId> seen_ids_;
  DenseIndex seen_index_;
  std::vector<NodePtr> kept_alive_;  // seen objects that nodes_ does not hold

  // Scratch of the boundary walks, reused across calls.
  struct WalkFrame {
    const NodePtr* node;
    std::size_t next;
    std::size_t count;
    std::size_t results_base;
  };
  std::vector<WalkFrame> walk_frames_;
  std::vector<TermId> walk_results_;
  std::vector<std::pair<TermId, std::uint32_t>> build_frames_;
  std::vector<NodePtr> build_kids_;
};

}  // namespace core
