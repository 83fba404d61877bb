// World prefixes of the matrix method and their unification.
//
// A prefix names a Kripke world as a string of prefix symbols: constants
// (worlds that a proof introduces, "c0", "c1", ...) and variables (worlds
// still to be chosen, "V1", ...).  A prefix substitution maps variables to
// strings of symbols; a variable may stand for the empty string.
//
// Substitutions are idempotent (no bound variable occurs in any value) and
// keep their bindings in insertion order, so that reports list them in the
// order in which the proof made them.
//
// Unification solves one equation s = t between two strings under a given
// substitution and returns every most general extension that makes the two
// sides equal (see unify_prefixes below).  Admissibility checks that the
// reduction ordering (the tree order of the symbols together with the order
// that the substitution induces) has no cycle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/ordered.hpp"

namespace constructive {

// A prefix symbol.  The two Python classes PrefixConstant and PrefixVariable
// are the two C++ subclasses, so that a symbol arrives in Python as its own
// class.  Symbols are equal when kind and name agree.
class PrefixSymbol {
 public:
  enum class Kind : std::uint8_t { Constant, Variable };
  virtual ~PrefixSymbol() = default;
  Kind kind() const { return kind_; }
  bool is_variable() const { return kind_ == Kind::Variable; }
  const std::string& name() const { return name_; }
  std::int64_t hash() const { return static_cast<std::int64_t>(hash_ >> 1); }
  bool operator==(const PrefixSymbol& o) const { return kind_ == o.kind_ && name_ == o.name_; }

 protected:
  PrefixSymbol(Kind kind, std::string name);

 private:
  Kind kind_;
  std::string name_;
  std::size_t hash_;
};

class PrefixConstant final : public PrefixSymbol {
 public:
  explicit PrefixConstant(std::string name) : PrefixSymbol(Kind::Constant, std::move(name)) {}
};

class PrefixVariable final : public PrefixSymbol {
 public:
  explicit PrefixVariable(std::string name) : PrefixSymbol(Kind::Variable, std::move(name)) {}
};

// A shared symbol with value equality: the element type of prefixes, the key
// type of substitutions and orders.
class Symbol {
 public:
  Symbol() = default;
  explicit Symbol(std::shared_ptr<const PrefixSymbol> p) : p_(std::move(p)) {}
  static Symbol constant(std::string name);
  static Symbol variable(std::string name);

  const std::shared_ptr<const PrefixSymbol>& ptr() const { return p_; }
  bool is_variable() const { return p_->is_variable(); }
  const std::string& name() const { return p_->name(); }
  std::size_t hash() const { return p_->hash(); }
  bool operator==(const Symbol& o) const {
    return p_ == o.p_ || (p_->kind() == o.p_->kind() && p_->name() == o.p_->name());
  }

 private:
  std::shared_ptr<const PrefixSymbol> p_;
};

struct SymbolHash {
  std::size_t operator()(const Symbol& s) const { return s.hash(); }
};

using SymbolString = std::vector<Symbol>;
using SymbolSet = core::OrderedValueSet<Symbol, SymbolHash>;

// The symbol names joined by ".": "c0.c1.V1"; the empty string gives "".
std::string join_names(const SymbolString& symbols);

class Prefix {
 public:
  Prefix() = default;
  explicit Prefix(SymbolString symbols) : symbols_(std::move(symbols)) {}
  const SymbolString& symbols() const { return symbols_; }
  bool empty() const { return symbols_.empty(); }
  std::size_t size() const { return symbols_.size(); }
  Prefix append(const Symbol& s) const;
  SymbolSet variables() const;
  SymbolSet constants() const;
  std::string to_string() const { return join_names(symbols_); }
  std::size_t hash() const;
  bool operator==(const Prefix& o) const { return symbols_ == o.symbols_; }

 private:
  SymbolString symbols_;
};

// An idempotent substitution of symbol strings for prefix variables.
class PrefixSubstitution {
 public:
  using Map = core::OrderedMap<Symbol, SymbolString, SymbolHash>;

  const Map& mapping() const { return map_; }
  bool empty() const { return map_.empty(); }
  const SymbolString* find(const Symbol& variable) const { return map_.find(variable); }

  SymbolString apply(const SymbolString& symbols) const;
  Prefix apply(const Prefix& prefix) const { return Prefix(apply(prefix.symbols())); }
  // Whether the two strings have equal instances, apply(a) == apply(b),
  // read without building them.
  bool same_instances(const SymbolString& a, const SymbolString& b) const;

  // A new substitution with `variable` bound to the instance of `value`.
  // Raises ValueError when `variable` is not a variable, when it is already
  // bound to something else, or when it occurs in the instance of `value`
  // (the binding would not be idempotent).  Binding a variable to what it
  // is already bound to returns an equal copy.
  PrefixSubstitution bind(const Symbol& variable, const SymbolString& value) const;

  // In place, unchecked: `variable` must be unbound and must not occur in
  // `value`, which must already be an instance under this substitution.
  // Replaces the variable in every earlier value.
  void add(const Symbol& variable, SymbolString value);

  // Same bindings, whatever their order.
  bool operator==(const PrefixSubstitution& o) const { return map_ == o.map_; }

 private:
  Map map_;
};

// Every most general extension of `subst` that makes `left` and `right`
// equal, without duplicates, in a fixed order.  `subst` is not changed.
//
// The equation subst(left) = subst(right) is solved by transformations on
// its two ends: equal first (or last) symbols are dropped; a variable alone
// on one side that does not occur on the other is bound to the other side
// (one unifier; where it does occur, the other side's other symbols must be
// empty); otherwise the first symbols branch: a variable against a constant
// c is empty or c followed by a fresh variable, two variables X and Y give
// X empty, Y empty, X = Y X' and Y = X Y'.  Each branch is applied to the
// whole equation.  Fresh variables are named after the variable they split
// with primes ("V1'"), which no formula tree uses.
//
// When each variable occurs at most once in the equation (the case of two
// prefixes of one formula tree, whose common beginning is dropped first),
// every step shortens the equation, the search is finite and the result is
// a complete set of unifiers.  For other equations every step that would
// revisit an equation already seen on the same branch, or grow the equation
// beyond twice its first length, ends that branch, so the search always
// ends; solutions found are always correct.
std::vector<PrefixSubstitution> unify_prefixes(const Prefix& left, const Prefix& right,
                                               const PrefixSubstitution& subst);

// The tree order of the symbols of a formula tree: each symbol with the
// symbols introduced directly below it.
using SymbolOrder = core::OrderedMap<Symbol, SymbolSet, SymbolHash>;

// Whether the reduction ordering is acyclic: the edges of `order` together
// with, for every binding V := u of `subst`, an edge from each symbol of u
// to V (the worlds in V's value must exist before V is chosen).  A binding
// to the empty string adds no edge.
bool is_admissible(const SymbolOrder& order, const PrefixSubstitution& subst);

}  // namespace constructive
