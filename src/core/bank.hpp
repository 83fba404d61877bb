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
#include <unordered_map>
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

class Bank {
 public:
  Bank();
  Bank(const Bank&) = delete;
  Bank& operator=(const Bank&) = delete;
  Bank(Bank&&) noexcept = default;
  Bank& operator=(Bank&&) noexcept = default;
  ~Bank();

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
  bool is_symbol_variable(SymbolId s) const { return !symbols_[s].symbol.is_name(); }
  const Symbol& symbol_value(SymbolId s) const { return symbols_[s].symbol; }
  std::size_t symbol_count() const { return symbols_.size(); }

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
  std::size_t size() const { return kinds_.size(); }
  NodeKind kind(TermId t) const { return kinds_[t]; }
  bool is_term(TermId t) const { return kinds_[t] <= NodeKind::FunctionApp; }
  bool is_variable(TermId t) const { return kinds_[t] == NodeKind::Variable; }
  // No Variable node occurs in it (bound or free).
  bool is_ground(TermId t) const { return (flags_[t] & kGround) != 0; }
  // Constants, applications and second-order quantifiers: their symbol.
  SymbolId symbol_of(TermId t) const { return kinds_[t] == NodeKind::Variable ? kNoSymbol : symbol_[t]; }
  std::span<const TermId> children(TermId t) const { return {children_.data() + first_[t], count_[t]}; }
  std::uint32_t arity(TermId t) const { return count_[t]; }
  // The sort of a term (the return sort of an application); kNoSort for formulas.
  SortId sort_of(TermId t) const { return sort_[t]; }
  // A Variable's id and kind.
  std::int64_t variable_id(TermId t) const { return variables_[symbol_[t]].id; }
  VariableKind variable_kind(TermId t) const { return variables_[symbol_[t]].kind; }
  // The number of nodes of the tree (shared subterms counted each time), at
  // most 2^32 - 1.
  std::uint32_t weight(TermId t) const { return weight_[t]; }

  // --- The syntax-tree boundary ---------------------------------------
  // The id of a node; raises TypeError for a null node.  Node objects seen
  // here are kept alive by the bank, so converting the same object again is
  // one lookup.
  TermId from_node(const NodePtr& node);
  // The node of an id, built once and then shared.
  NodePtr to_node(TermId t);

 private:
  static constexpr std::uint8_t kGround = 1;

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
  void grow_table();
  TermId from_children(const Node& node, std::span<const TermId> children);
  TermId leaf(const NodePtr& node);
  void remember(TermId id, const NodePtr& node);
  NodePtr node_from_children(TermId t, const std::vector<NodePtr>& children);

  // Per id.
  std::vector<NodeKind> kinds_;
  std::vector<std::uint8_t> flags_;
  std::vector<std::uint32_t> symbol_;  // SymbolId, or the index into variables_ for a Variable
  std::vector<SortId> sort_;
  std::vector<std::uint32_t> first_;
  std::vector<std::uint32_t> count_;
  std::vector<std::uint32_t> weight_;
  std::vector<std::uint64_t> hash_;
  std::vector<TermId> children_;

  // Hash-consing: open addressing, slots hold id + 1 (0 is empty).
  std::vector<TermId> table_;

  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::vector<SymbolEntry> symbols_;
  // Every arity of a name; looked up by string_view.
  std::unordered_map<std::string, std::vector<SymbolId>, NameHash, std::equal_to<>> symbols_by_name_;
  std::unordered_map<std::string, std::vector<SymbolId>> symbol_variables_by_name_;

  std::vector<SortPtr> sorts_;
  std::unordered_map<pyhash::hash_t, std::vector<SortId>> sorts_by_hash_;
  SortPtr last_sort_;  // the sort asked for last, which the next term most likely shares
  SortId last_sort_id_ = kIndSort;

  std::vector<VariableEntry> variables_;
  std::unordered_map<std::int64_t, std::vector<std::uint32_t>> variables_by_id_;

  // The boundary: nodes built or seen, by id and by object.
  std::vector<NodePtr> nodes_;
  std::unordered_map<const Node*, TermId> ids_of_nodes_;
  std::vector<NodePtr> seen_nodes_;  // keeps the keys of ids_of_nodes_ alive
};

}  // namespace core
