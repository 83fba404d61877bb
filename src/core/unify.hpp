// Unification and matching of bank terms, with bindings on a trail.
//
// The bindings live beside the bank, one slot per term id: binding a
// variable writes its slot and pushes the variable on the trail; `undo`
// takes the trail back to a mark and clears the slots of the variables
// bound since.  Bindings are triangular (a variable may be bound to a term
// whose variables are bound in turn), so a unification costs time linear in
// the terms it walks, never a rewrite of earlier bindings; `apply` builds
// the fully instantiated term in the bank when a caller needs one.
//
// Sorts are checked as the syntax tree's unification does: a variable takes
// only a term of its own sort, two constants or two applications of one
// symbol unify only when their sorts are the same.  Every walk is iterative.
// A failed unify or match leaves the bindings exactly as they were.
//
// One Unifier per thread and bank; the bank may grow while bindings are in
// place (new ids start unbound).
#pragma once

#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "core/bank.hpp"

namespace core {

// Why a unification failed, with the two terms (after resolving bindings)
// at which it did.
struct Clash {
  enum class Kind : std::uint8_t {
    None,
    Occurs,         // `left` is a variable that occurs in `right`
    VariableSort,   // `left` is a variable whose sort differs from `right`'s
    ConstantName,   // two constants of different names
    ConstantSort,   // two constants of one name and different sorts
    Symbol,         // two applications of different symbols (name or arity)
    ReturnSort,     // two applications of one symbol and different return sorts
    Structure,      // anything else: a constant against an application, a formula, ...
    BindingRefused  // a binding was needed while bindings were refused (see refuse_bindings)
  };
  Kind kind = Kind::None;
  TermId left = kNoTerm;
  TermId right = kNoTerm;
};

class Unifier {
 public:
  using Mark = std::size_t;

  explicit Unifier(Bank& bank);

  Bank& bank() { return bank_; }

  // The trail: variables in the order they were bound.
  Mark mark() const { return trail_.size(); }
  void undo(Mark mark);
  std::span<const TermId> trail() const { return trail_; }

  bool is_bound(TermId var) const { return var < binding_.size() && binding_[var] != kNoTerm; }
  TermId binding(TermId var) const { return is_bound(var) ? binding_[var] : kNoTerm; }
  // Binds an unbound variable without any check (the caller has made them).
  void bind(TermId var, TermId term);
  // Follows the bindings of variables from `t` to an unbound variable or a
  // term that is not a variable.
  TermId resolve(TermId t) const {
    while (bank_.is_variable(t) && is_bound(t)) t = binding_[t];
    return t;
  }

  // Whether the unbound variable `var` occurs in `t` under the bindings.
  bool occurs(TermId var, TermId t);

  // Extends the bindings to a most general unifier of `a` and `b`; false,
  // with the bindings unchanged and the reason in `clash` (if given), when
  // there is none.
  bool unify(TermId a, TermId b, Clash* clash = nullptr);
  // The same for pairs taken in order (the arguments of two atoms, say).
  bool unify_all(std::span<const TermId> left, std::span<const TermId> right, Clash* clash = nullptr);

  // One-way matching: extends the bindings so that `pattern` instantiated by
  // them is `target`.  Only variables of `pattern` are bound; the variables
  // of `target` are taken as they are, also when the two share variables.
  // Read the result with `substitute`.
  bool match(TermId pattern, TermId target);

  // `t` with every bound variable replaced, again and again, until no bound
  // variable is left (the instance under a unifier).
  TermId apply(TermId t);
  // `t` with each bound variable replaced once by its binding (the instance
  // under a matching).
  TermId substitute(TermId t);

  // While set, unify fails with Clash::BindingRefused where it would bind.
  void refuse_bindings(bool refuse) { refuse_bindings_ = refuse; }

  // Forgets every binding and the refusal, keeping the memory (for the next
  // task, also after the bank was cleared).
  void reset() {
    undo(0);
    refuse_bindings_ = false;
  }

 private:
  bool bind_checked(TermId var, TermId term, Clash* clash);
  bool fail(Clash::Kind kind, TermId left, TermId right, Clash* clash, Mark mark);
  void ensure_slots() {
    if (binding_.size() < bank_.size()) binding_.resize(bank_.size(), kNoTerm);
  }
  std::uint32_t next_epoch();
  TermId instantiate(TermId t, bool repeat);

  Bank& bank_;
  std::vector<TermId> binding_;  // by term id; kNoTerm when unbound
  std::vector<TermId> trail_;
  bool refuse_bindings_ = false;

  // Scratch of the walks, reused across calls.
  struct Frame {
    TermId t;
    std::uint32_t next;
    std::size_t base;
  };
  std::vector<Frame> frames_;
  std::vector<TermId> results_;
  std::vector<std::pair<TermId, TermId>> pairs_;
  std::unordered_set<std::uint64_t> taken_apart_;  // unify_all: pairs of applications already unified
  std::vector<TermId> stack_;
  std::vector<std::uint32_t> seen_;  // epoch stamps by term id
  std::vector<TermId> memo_;         // instantiate: results by term id
  std::uint32_t epoch_ = 0;
};

}  // namespace core
