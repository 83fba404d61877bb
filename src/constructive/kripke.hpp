// Finite Kripke models of intuitionistic propositional logic.
//
// A model M = (W, <=, V) lists its worlds W, maps every world u to the set of
// worlds v with u <= v, and maps every world to the atoms true there.  The
// order is kept reflexive and transitive and the valuation monotone: every
// `add_relation` restores all three conditions over the whole model, and
// `add_valuation` pushes an atom to every world above.  `evaluate` is the
// forcing relation M, w |= A.
//
// All sets and maps keep insertion order, so walks over them (and the point
// where a forcing loop stops) are the same on every run.  The renderings sort
// names and formula texts and do not depend on that order at all.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/ordered.hpp"
#include "core/ast.hpp"

namespace constructive {

using core::OrderedMap;
using core::OrderedValueSet;

// A world of a model or of a tableau branch: an id and a display name.
struct World {
  std::int64_t id = 0;
  std::string name;

  bool operator==(const World& other) const { return id == other.id && name == other.name; }
  // "World(id=0, name=w0)"
  std::string repr() const;
};

struct WorldHash {
  std::size_t operator()(const World& w) const;
};

using WorldSet = OrderedValueSet<World, WorldHash>;
template <typename V>
using WorldMap = OrderedMap<World, V, WorldHash>;
// Formulas compared by value; the pointer and the cached hash settle almost
// every comparison before the structural walk.
struct FormulaEq {
  bool operator()(const core::NodePtr& a, const core::NodePtr& b) const {
    return a == b || (a->hash() == b->hash() && core::equal(*a, *b));
  }
};
using FormulaSet = OrderedValueSet<core::NodePtr, core::NodeHash, FormulaEq>;

// The model as plain values: world names, and per listed world the sorted
// names of its successors and the sorted texts of its formulas.
struct ModelDict {
  using Rows = std::vector<std::pair<std::string, std::vector<std::string>>>;
  std::vector<std::string> worlds;
  Rows relations;
  Rows valuations;
};

// The operations that other operations reach (and `evaluate`) are virtual,
// so that a derived model type that replaces one has its replacement used
// by the others; the model itself calls them through the object.
class KripkeModel {
 public:
  KripkeModel() = default;
  virtual ~KripkeModel() = default;
  KripkeModel(const KripkeModel&) = default;
  KripkeModel& operator=(const KripkeModel&) = default;
  // Takes the data as given: no reflexive pairs, no closure, no check that
  // the keys are listed.
  KripkeModel(std::vector<World> worlds, WorldMap<WorldSet> relations, WorldMap<FormulaSet> valuations);

  std::vector<World> worlds;             // W, in insertion order (repeats only from the constructor)
  WorldMap<WorldSet> relations;          // u -> {v : u <= v}
  WorldMap<FormulaSet> valuations;    // u -> formulas true at u

  // Lists the world (once) and gives it its reflexive pair and a valuation entry.
  virtual void add_world(const World& world);
  // Records source <= target, then restores reflexivity, transitivity and
  // monotonicity over the whole model.
  virtual void add_relation(const World& source, const World& target);
  // Makes the formula true at the world and at every world above it.
  virtual void add_valuation(const World& world, const core::NodePtr& formula);

  // True exactly when `source` has an entry that holds `target`.
  bool is_accessible(const World& source, const World& target) const;
  // The successors of the world; the world alone when it has no entry.
  virtual WorldSet accessible_worlds(const World& world) const;

  // Reflexive pairs for the listed worlds, then closure under transitivity.
  // Only listed worlds gain pairs; entries of unlisted keys are followed but
  // left as they are.
  virtual void compute_transitive_closure();
  // Pushes the formulas of every listed world to its successors until
  // nothing changes.  Unlisted successors receive formulas but pass none on.
  virtual void enforce_monotonicity();

  // Forcing.  Falsum is forced nowhere, verum everywhere, an atom where the
  // valuation holds it; negation and implication look at every successor.
  // A formula outside propositional logic (quantifier, equality, term)
  // raises TypeError naming its class.
  virtual bool evaluate(const core::NodePtr& formula, const World& world) const;

  ModelDict to_dict() const;
  std::string to_string() const;

 protected:
  // Whether a derived type replaces `evaluate`.  Forcing then reaches every
  // subformula through `evaluate`, one connective at a time, instead of
  // walking chains of one connective in a loop.
  virtual bool replaces_evaluate() const { return false; }

 private:
  struct ForcingMemo;
  bool is_listed(const World& world) const;
  bool forces(const core::NodePtr& formula, const World& world, ForcingMemo& memo) const;
  bool decide(const core::NodePtr& formula, const World& world, ForcingMemo& memo) const;
  bool forces_part(const core::NodePtr& formula, const World& world, ForcingMemo& memo) const;
  bool forces_iff(const core::BinaryFormula& iff, const World& world, ForcingMemo& memo) const;
  bool forces_chain(const core::NodePtr& formula, const World& world, ForcingMemo& memo) const;
  bool forces_everywhere_above(const core::NodePtr& left, const core::NodePtr& right, const World& world,
                               ForcingMemo& memo) const;
};

}  // namespace constructive
