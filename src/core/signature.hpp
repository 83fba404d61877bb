// A signature: the predicate, constant and function symbols a problem uses,
// with their argument sorts and (for constants and functions) result sorts.
//
// Symbols are keyed by name and arity, so "R"/1 and "R"/2 are two symbols
// and live side by side.  Registering a symbol again with the same kind and
// the same sorts changes nothing; registering a (name, arity) pair that is
// already held as another kind of symbol or with other sorts raises
// SymbolClashError and leaves the signature as it was.  Symbols are kept in
// registration order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/exceptions.hpp"
#include "core/hash_mix.hpp"
#include "core/sorts.hpp"

namespace core {

// A registration that contradicts a symbol the signature already holds.
// Python's ValueError (the bindings give it the subclass SymbolClashError).
class SymbolClashError : public ValueError {
 public:
  using ValueError::ValueError;
};

enum class SymbolKind : std::uint8_t { Predicate, Constant, Function };
const char* symbol_kind_name(SymbolKind kind);  // "predicate", "constant", "function"

struct SymbolEntry {
  std::string name;
  SymbolKind kind;
  std::int64_t arity;
  std::vector<SortPtr> argument_sorts;  // `arity` of them
  SortPtr return_sort;                  // null for predicates
};

// What Skolemization (and any other producer of new symbols) needs of a
// signature: whether a name is in use, and registration that raises
// SymbolClashError when the name is taken.
class SymbolRegistry {
 public:
  virtual ~SymbolRegistry() = default;
  // Whether any symbol of this name is held, whatever its kind and arity.
  virtual bool holds_name(std::string_view name) const = 0;
  virtual void register_constant(const std::string& name, const SortPtr& sort) = 0;
  virtual void register_function(const std::string& name, std::int64_t arity,
                                 const std::vector<SortPtr>& argument_sorts, const SortPtr& return_sort) = 0;
};

class Signature final : public SymbolRegistry {
 public:
  // Each raises ValueError for an empty name, a negative arity or an arity
  // that differs from the number of argument sorts, and SymbolClashError as
  // described above.
  void register_predicate(const std::string& name, std::int64_t arity, const std::vector<SortPtr>& argument_sorts);
  void register_constant(const std::string& name, const SortPtr& sort) override;
  void register_function(const std::string& name, std::int64_t arity, const std::vector<SortPtr>& argument_sorts,
                         const SortPtr& return_sort) override;

  bool holds_name(std::string_view name) const override;
  // The symbol of this name and arity, or null.
  const SymbolEntry* find(std::string_view name, std::int64_t arity) const;
  // Every symbol, in registration order.
  const std::vector<SymbolEntry>& symbols() const { return symbols_; }

 private:
  void add(SymbolEntry entry);

  struct KeyHash {
    std::size_t operator()(const std::pair<std::string, std::int64_t>& key) const {
      return hash_finish(hash_mix(std::hash<std::string>()(key.first), static_cast<std::uint64_t>(key.second)));
    }
  };
  std::vector<SymbolEntry> symbols_;
  std::unordered_map<std::pair<std::string, std::int64_t>, std::size_t, KeyHash> index_;
  std::unordered_set<std::string> names_;
};

// "name/arity: predicate(Ind, Ind)", "c/0: constant -> Ind",
// "f/1: function(Ind) -> Nat".
std::string describe(const SymbolEntry& entry);

}  // namespace core
