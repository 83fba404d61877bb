// Backward proof search in the contraction-free sequent calculus LJT (G4ip)
// for intuitionistic propositional logic.
//
// A sequent is an ordered tuple of antecedent formulas and one goal.  The
// search tries its rules in one fixed order; the invertible rules commit to
// the first that applies, and only the two real choices are backtracked:
// which disjunct of a disjunctive goal to prove, and which antecedent of the
// shape (E -> F) -> B to use.  Every premise is smaller than its conclusion in
// the multiset ordering of formula weights, so the search always ends.
//
// Inside the search formulas are interned into a per-proof table: every
// formula object gets an index and equal formulas a shared value number, so
// equality of formulas is an integer comparison while the sequents keep the
// very objects they were given.  The antecedents of the sequent at hand are
// one list of indices that each premise edits in place and restores, so a
// premise costs no allocation and memory stays linear in the depth.  Proof
// nodes and their sequents are built only for derivations that succeed;
// their sequents share the table's formulas and hold indices.
//
// A proved sequent (antecedents in order) keeps its node within one proof,
// and a later occurrence of the same sequent shares it: the search is
// deterministic, so it would derive the same tree again, and the derivation
// becomes a graph of shared immutable nodes whose memory follows the
// distinct nodes.
//
// Provability itself is decided by the procedure of constructive/ipc_sat.hpp
// where the rules decide it as the logic does (see ljt_search.cpp): a
// sequent it refutes has no derivation, and at each choice the search takes
// the first alternative that the procedure proves, which is the one the
// search alone would have kept after undoing the others.  So the search
// builds only its own derivation and never explores a branch that fails.
// Small problems are searched alone first, which costs less than the
// procedure's set-up and gives the same result.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/ast.hpp"

namespace constructive {

// The host never hashes a value to -1, so it marks a hash not yet computed.
constexpr core::pyhash::hash_t kNoHash = -1;

// The rule names, as proof nodes carry them.
namespace rule_name {
inline constexpr const char *kRTop = "R_Top", *kLBot = "L_Bot", *kAx = "Ax", *kRImp = "R_Imp", *kRAnd = "R_And",
                            *kLAnd = "L_And", *kLOr = "L_Or", *kLImpAtom = "L_Imp_Atom", *kLImpAnd = "L_Imp_And",
                            *kLImpOr = "L_Imp_Or", *kROr1 = "R_Or1", *kROr2 = "R_Or2", *kLImpImp = "L_Imp_Imp";
}  // namespace rule_name

// ---------------------------------------------------------------------------
// Sequents
// ---------------------------------------------------------------------------

// The formulas that sequents refer to by index.  All the sequents of one
// proof share one pool, so that a sequent costs an array of small integers
// and no reference counting; a sequent built from a list of formulas has a
// pool of its own.  A pool only grows, and its formulas never move.
class FormulaPool {
 public:
  using Id = std::uint32_t;
  Id add(core::NodePtr formula);
  const core::NodePtr& operator[](Id id) const { return formulas_[id]; }
  std::size_t size() const { return formulas_.size(); }

 private:
  std::deque<core::NodePtr> formulas_;
};
using FormulaPoolPtr = std::shared_ptr<const FormulaPool>;

class Sequent {
 public:
  using Id = FormulaPool::Id;
  // `origin` is an opaque value that the caller keeps with the sequent (the
  // Python face keeps the caller's own tuple of antecedents there).
  Sequent(const std::vector<core::NodePtr>& antecedents, core::NodePtr succedent,
          std::shared_ptr<const void> origin = nullptr);
  // Formulas given by their index in `pool`, which several sequents may
  // share; equal formulas may stand at several indices.  The indices are
  // kept in `memory` (the search keeps a large proof's in an arena).
  Sequent(FormulaPoolPtr pool, std::span<const Id> antecedents, Id succedent,
          std::pmr::memory_resource* memory = std::pmr::new_delete_resource());
  ~Sequent();
  Sequent(const Sequent&) = delete;
  Sequent& operator=(const Sequent&) = delete;

  std::size_t antecedent_count() const { return count_; }
  // The index into the pool of the i-th antecedent, for the search that
  // built the sequent.
  Id antecedent_id(std::size_t i) const {
    return narrow_ ? static_cast<const std::uint16_t*>(antecedents_)[i] : static_cast<const Id*>(antecedents_)[i];
  }
  Id succedent_id() const { return succedent_; }
  const FormulaPoolPtr& pool() const { return pool_; }
  const std::shared_ptr<const void>& origin() const;
  const core::NodePtr& antecedent(std::size_t i) const { return (*pool_)[antecedent_id(i)]; }
  std::vector<core::NodePtr> antecedents() const;
  const core::NodePtr& succedent() const { return (*pool_)[succedent_]; }

  // The host's hash of the tuple (antecedents, succedent), worked out on the
  // first request: most sequents of a search are never hashed.
  core::pyhash::hash_t hash() const;
  bool operator==(const Sequent& other) const;

  // "A, B ==> C"; with the notation "latex" "A, B \vdash C".  Falsum and verum
  // members are written "_bot" and "_top" ("\bot", "\top" in LaTeX); every
  // other member goes to the printer with the notation unchanged.
  std::string to_string(std::string_view notation = "infix") const;

 private:
  void keep_ids(std::span<const Id> ids);
  std::size_t id_bytes() const { return count_ * (narrow_ ? sizeof(std::uint16_t) : sizeof(Id)); }

  FormulaPoolPtr pool_;
  // The indices, in memory of `memory_`: a search keeps millions of
  // sequents, so the list is a pointer and a count, not a container, and
  // its indices take two bytes each where they all fit (most pools are
  // small).
  const void* antecedents_ = nullptr;
  std::pmr::memory_resource* memory_;
  std::uint32_t count_ : 31 = 0;
  std::uint32_t narrow_ : 1 = 0;
  Id succedent_;
  std::unique_ptr<const std::shared_ptr<const void>> origin_;  // null for none, which most sequents have
  mutable std::atomic<core::pyhash::hash_t> hash_{kNoHash};
};
using SequentPtr = std::shared_ptr<const Sequent>;

// ---------------------------------------------------------------------------
// Proof nodes and proof trees
// ---------------------------------------------------------------------------
class LJTProofNode;
using LJTProofNodePtr = std::shared_ptr<const LJTProofNode>;

// One inference: the sequent it establishes, the name of the rule and the
// derivations of the rule's premises, in the rule's order.  The record takes
// any rule name; only the proof tree's check judges it.  A search keeps
// millions of nodes, so a node is small: the names of the calculus's rules
// are shared by all nodes (another name is a copy of the node's own), and up
// to two premises are held in the node itself.
class LJTProofNode {
 public:
  LJTProofNode(SequentPtr sequent, std::string_view rule, std::span<LJTProofNodePtr> premises);  // moved from
  LJTProofNode(SequentPtr sequent, const std::string& rule, std::vector<LJTProofNodePtr> premises = {})
      : LJTProofNode(std::move(sequent), std::string_view(rule), std::span<LJTProofNodePtr>(premises)) {}
  ~LJTProofNode();
  LJTProofNode(const LJTProofNode&) = delete;
  LJTProofNode& operator=(const LJTProofNode&) = delete;

  const SequentPtr& sequent() const { return sequent_; }
  const std::string& rule() const { return *rule_; }
  std::span<const LJTProofNodePtr> premises() const {
    return {more_premises_ ? more_premises_.get() : few_premises_, premise_count_};
  }

  // The host's hash of (sequent, rule, premises), hence of the whole
  // subtree; worked out on the first request.
  core::pyhash::hash_t hash() const;

 private:
  std::span<LJTProofNodePtr> own_premises() {
    return {more_premises_ ? more_premises_.get() : few_premises_, premise_count_};
  }

  SequentPtr sequent_;
  const std::string* rule_;                      // a rule of the calculus's, or *own_rule_
  std::unique_ptr<const std::string> own_rule_;  // any other name
  std::uint32_t premise_count_ = 0;
  LJTProofNodePtr few_premises_[2];                   // up to two premises
  std::unique_ptr<LJTProofNodePtr[]> more_premises_;  // more than two
  mutable std::atomic<core::pyhash::hash_t> hash_{kNoHash};
};

// Structural equality of whole subtrees.
bool equal(const LJTProofNode& a, const LJTProofNode& b);
inline bool operator==(const LJTProofNode& a, const LJTProofNode& b) { return equal(a, b); }

// Whether the node is a correct application of its rule: its sequent is the
// conclusion of an instance of the named rule whose premises are exactly the
// sequents of the node's premises (antecedents compared as multisets).  The
// premises' own inferences are not examined.
bool is_correct_inference(const LJTProofNode& node);

// A derivation with its root, the node of the sequent that was proved.
struct LJTProofTree {
  LJTProofNodePtr root;

  std::int64_t depth() const;  // a leaf has depth 1
  std::int64_t size() const;   // every occurrence of a node counts
  // Every inference is correct and every leaf is closed by an axiom
  // ("Ax", "L_Bot", "R_Top").
  bool is_valid() const;
  // One node a line, root first: "[rule] sequent" with "|-- " and "`-- "
  // connectors.
  std::string to_ascii() const;
  // A bussproofs prooftree environment, leaves first.  Sequents are set in
  // math mode and rule labels are escaped, so the text compiles as it is.
  std::string to_latex() const;
};

// ---------------------------------------------------------------------------
// The prover
// ---------------------------------------------------------------------------

// Stands in for the recursive call on a premise.  The Python face installs
// one when a subclass replaces the search, so that its replacement is used
// for every premise; the engine's own search recurses directly.
using PremiseSearch = std::function<LJTProofNodePtr(const SequentPtr&)>;

class LJTProver {
 public:
  // The derivation of `target` from `premises` (both normalised first), or
  // null when there is none.
  LJTProofNodePtr prove(const core::NodePtr& target, const std::vector<core::NodePtr>& premises) const;

  // The first sequent of a proof: the normalised premises in order and the
  // normalised target (the target is normalised first).
  static SequentPtr initial_sequent(const core::NodePtr& target, const std::vector<core::NodePtr>& premises);

  // Whether `target` follows from `premises` (both normalised first): the
  // answer of prove, without building the derivation.
  bool provable(const core::NodePtr& target, const std::vector<core::NodePtr>& premises) const;

  // How a search runs.  Every way gives the same result: Plain is the search
  // alone, without memory or procedure; Guided asks the procedure from the
  // first sequent on, where Adaptive first tries the search alone for a few
  // steps.  Plain and Guided are kept to check the others against.
  enum class Memory { Plain, Adaptive, Guided };

  // Backward search of one sequent.  The root of the derivation carries
  // `seq` itself.  With `premise_search` set, each premise is handed to it
  // instead of being searched here (and nothing is remembered or decided).
  LJTProofNodePtr search(const SequentPtr& seq, const PremiseSearch& premise_search = nullptr,
                         Memory memory = Memory::Adaptive) const;

  // Whether the search derives `seq`.
  bool decides(const SequentPtr& seq, Memory memory = Memory::Adaptive) const;

  // The clauses that the procedure learns while it decides `seq`, as
  // sequents of the formulas behind their atoms: each must be provable.
  // Empty where the procedure does not decide the sequent.
  static std::vector<std::pair<std::vector<core::NodePtr>, core::NodePtr>> learned_clauses(const SequentPtr& seq);
};

}  // namespace constructive
