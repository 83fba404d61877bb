// The formulas of one LJT proof, as the search and the decision procedure
// see them (used by ljt_search.cpp alone).
//
// Each formula object gets an id of its own, so that the sequents of the
// derivation hold the very objects they were given and their subformulas;
// equal formulas share a value number, so that formula equality inside the
// search is equality of small integers.  What the rules ask of a formula
// (its shape, the left rule that takes it apart, whether it is falsum, verum
// or atomic) is worked out once, when it is interned.  The pool of formulas
// is shared with the sequents of the derivation.  A table belongs to one
// proof and one thread; ids only grow.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "constructive/common.hpp"
#include "constructive/ljt.hpp"
#include "core/bank.hpp"
#include "core/hash_mix.hpp"

namespace constructive::ljt_detail {

using Id = std::uint32_t;
constexpr Id kNoId = static_cast<Id>(-1);

// The classes the rules distinguish.
enum class Shape : std::uint8_t { Other, And, Or, Implies };

inline Shape shape_of(const Node& f) {
  switch (f.kind()) {
    case NodeKind::And: return Shape::And;
    case NodeKind::Or: return Shape::Or;
    case NodeKind::Implies: return Shape::Implies;
    default: return Shape::Other;
  }
}

// The left rule that takes an antecedent apart; None for those that only
// the axioms use (atoms, falsum, verum, implications that no rule opens).
enum class LeftRule : std::uint8_t { None, And, Or, ImpAtom, ImpAnd, ImpOr, ImpImp };
constexpr std::size_t kLeftRules = 7;

// What the rules ask of a formula, worked out once per proof.
struct FormulaInfo {
  Shape shape;
  LeftRule left_rule;
  bool falsum, verum, atomic;
  // Whether the rules treat the formula as the logic does (see decided and
  // decided_as_condition below); the decider relies on it.
  bool decided, decided_as_condition;
  Id value;        // the same for equal formulas: what the equality tests compare
  std::uint64_t key;  // core::hash_of(value), for keys of sets and multisets of formulas
  Id left, right;  // the sides of And, Or and Implies
  // For an implication with a compound left side: the implications that its
  // left rule adds, once built (kNoId before).
  Id added_first = kNoId, added_second = kNoId;
};

// The formulas of one proof.  Each formula object gets an id of its own, so
// that the sequents of the derivation hold the very objects they were given
// and their subformulas; equal formulas share a value number, so that
// formula equality inside the search is equality of small integers.  The
// pool is shared with the sequents of the derivation.
class FormulaTable {
 public:
  Id intern(const NodePtr& f) {
    if (auto it = ids_.find(f.get()); it != ids_.end()) return it->second;
    core::RecursionGuard guard;
    FormulaInfo info{shape_of(*f), LeftRule::None, is_falsum(*f), is_verum(*f), is_atomic(*f), true, false, 0, 0, 0, 0};
    if (info.shape != Shape::Other) {
      const auto& b = as<BinaryFormula>(*f);
      info.left = intern(b.left());
      info.right = intern(b.right());
    }
    info.left_rule = left_rule_of(info);
    mark_decided(info);
    info.value = value_of(f, info);
    info.key = core::hash_of(info.value);
    Id id = pool_->add(f);
    infos_.push_back(info);
    ids_.emplace(f.get(), id);
    return id;
  }

  // The implication left -> right, built once per proof.
  Id implies(Id left, Id right) {
    std::uint64_t key = (static_cast<std::uint64_t>(left) << 32) | right;
    if (auto it = implications_.find(key); it != implications_.end()) return it->second;
    Id id = intern(core::make_implies((*pool_)[left], (*pool_)[right]));
    implications_.emplace(key, id);
    return id;
  }

  // The implications that the left rule of the implication `principal` adds
  // (second kNoId for one): for (E & F) -> B, E -> (F -> B); for
  // (E | F) -> B, E -> B and F -> B; for (E -> F) -> B, F -> B.
  std::pair<Id, Id> added_implications(Id principal) {
    if (infos_[principal].added_first == kNoId) {
      const Id b = infos_[principal].right, e = infos_[infos_[principal].left].left,
               f = infos_[infos_[principal].left].right;
      std::pair<Id, Id> added{kNoId, kNoId};
      switch (infos_[principal].left_rule) {
        case LeftRule::ImpAnd: added.first = implies(e, implies(f, b)); break;
        case LeftRule::ImpOr: added = {implies(e, b), implies(f, b)}; break;
        default: added.first = implies(f, b);
      }
      infos_[principal].added_first = added.first;
      infos_[principal].added_second = added.second;
    }
    return {infos_[principal].added_first, infos_[principal].added_second};
  }

  const FormulaInfo& operator[](Id id) const { return infos_[id]; }
  const std::shared_ptr<FormulaPool>& pool() const { return pool_; }

  // Whether the search decides provability exactly on a sequent built of
  // `id` and formulas like it.  It does when the rules see only connectives
  // and atoms: every formula is decided, which asks of the left side of
  // every implication, and of every left side that a left rule makes of its
  // parts, that it be decomposable or an atom other than verum.  An
  // implication from verum, a negation or a quantified formula can only be
  // closed by an equal goal, where the logic could use it.
  bool decided(Id id) const { return infos_[id].decided; }
  std::size_t value_count() const { return values_.size(); }  // value numbers are below it

 private:
  LeftRule left_rule_of(const FormulaInfo& info) const {
    switch (info.shape) {
      case Shape::And: return LeftRule::And;
      case Shape::Or: return LeftRule::Or;
      case Shape::Implies: {
        const FormulaInfo& left = infos_[info.left];
        switch (left.shape) {
          case Shape::And: return LeftRule::ImpAnd;
          case Shape::Or: return LeftRule::ImpOr;
          case Shape::Implies: return LeftRule::ImpImp;
          case Shape::Other: return left.atomic ? LeftRule::ImpAtom : LeftRule::None;
        }
        return LeftRule::None;
      }
      case Shape::Other: return LeftRule::None;
    }
    return LeftRule::None;
  }

  // The curried and split forms of a left side (E & F, E | F) put E and F
  // to the left of implications, and (E -> F) -> B puts F there.
  void mark_decided(FormulaInfo& info) const {
    switch (info.shape) {
      case Shape::Other: info.decided_as_condition = info.atomic && !info.verum; return;
      case Shape::And:
      case Shape::Or:
        info.decided = infos_[info.left].decided && infos_[info.right].decided;
        info.decided_as_condition = infos_[info.left].decided_as_condition && infos_[info.right].decided_as_condition;
        return;
      case Shape::Implies:
        info.decided =
            infos_[info.left].decided && infos_[info.right].decided && infos_[info.left].decided_as_condition;
        info.decided_as_condition = infos_[info.right].decided_as_condition;
        return;
    }
  }

  // The value number of `f`: its id in the bank, where equal formulas share
  // one.  A connective's is made from its sides' numbers, without a walk.
  Id value_of(const NodePtr& f, const FormulaInfo& info) {
    if (info.shape == Shape::Other) return values_.from_node(f);
    return values_.binary(f->kind(), infos_[info.left].value, infos_[info.right].value);
  }

  std::shared_ptr<FormulaPool> pool_ = std::make_shared<FormulaPool>();
  std::vector<FormulaInfo> infos_;
  std::unordered_map<const Node*, Id> ids_;                          // by object; keys live in the pool
  core::Bank values_;  // the value numbers
  std::unordered_map<std::uint64_t, Id> implications_;
};

// The outcome of the rules on one sequent: the rule that derived it and the
// derivations of its premises (no rule has more than two).
struct Derivation {
  const char* rule = nullptr;
  std::array<LJTProofNodePtr, 2> premises;
  std::size_t count = 0;

  std::span<LJTProofNodePtr> taken() { return {premises.data(), count}; }
  void clear() noexcept {
    for (std::size_t i = 0; i < count; ++i) premises[i].reset();
    count = 0;
  }
};

}  // namespace constructive::ljt_detail
