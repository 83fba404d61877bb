// Tree walkers: visitors over terms and formulas.
//
// Every walker is a `Visitor<R>`: one virtual operation per node class
// (sixteen: the twelve first-order classes and the four second-order
// quantifiers) and a virtual `visit` that dispatches on the node's exact
// class.  Walkers descend into a child by calling `visit(child)` on
// themselves, never an operation directly, so one override changes the walk
// at every depth.  Each level of a walk holds a RecursionGuard, so a tree too
// deep for the native stack raises RecursionDepthError; the guard also polls
// for interrupts, so a walk over a huge (heavily shared) tree stops on Ctrl-C.
//
// Formulas may share subterms (f = And(f, f) forty times is a small graph
// but a tree of 2^40 leaves).  The measures and the free-variable collector
// therefore compute each shared subtree once per walk when their operations
// are their own (no override), and a measure is exact at any size (Measure).
//
// Subclassing ASTTransformer (C++, also from another module)
// ----------------------------------------------------------
//   class Renamer : public core::ASTTransformer {
//    public:
//     core::NodePtr visit_variable(const core::NodeRef<core::Variable>& node) override {
//       return node->id() == 0 ? core::Variable::make(9) : node;
//     }
//   };
//   core::NodePtr result = Renamer().visit(formula);
//
// - Override any of the sixteen `visit_*` operations (or `visit`); inherited
//   operations rebuild a node only when a child came back as another object,
//   and hand back the very same node otherwise.
// - Recurse with `visit(child)`; call `ASTTransformer::visit_not(node)` and
//   the like to reuse the rebuilding of the base.
// - A null result stands for a value that is no node (a Python override may
//   return one): the rebuilding treats it as neither term nor formula.
// - The Python face of such a class is declared with the helpers of
//   python/core/visitor_bindings.hpp (trampoline, metaclass, dispatch table).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ast.hpp"
#include "core/exceptions.hpp"
#include "core/limits.hpp"
#include "core/parser.hpp"

namespace core {

template <typename T>
using NodeRef = std::shared_ptr<const T>;

// The sixteen operations in slot order, as (operation, node class); the node
// class names both the C++ type and its NodeKind.
#define CORE_VISIT_OPERATIONS(X)       \
  X(visit_variable, Variable)          \
  X(visit_constant, Constant)          \
  X(visit_function_app, FunctionApp)   \
  X(visit_predicate_app, PredicateApp) \
  X(visit_equality, Equality)          \
  X(visit_not, Not)                    \
  X(visit_and, And)                    \
  X(visit_or, Or)                      \
  X(visit_implies, Implies)            \
  X(visit_iff, Iff)                    \
  X(visit_forall, Forall)              \
  X(visit_exists, Exists)              \
  X(visit_forall_pred, ForallPred)     \
  X(visit_exists_pred, ExistsPred)     \
  X(visit_forall_func, ForallFunc)     \
  X(visit_exists_func, ExistsFunc)

// Declares the overrides of all sixteen operations in a (non-template)
// walker class, with the result type of its Visitor base.
#define CORE_DECLARE_VISIT_OPERATION(op, Class) Result op(const NodeRef<Class>& node) override;
#define CORE_DECLARE_VISIT_OPERATIONS CORE_VISIT_OPERATIONS(CORE_DECLARE_VISIT_OPERATION)

// "Unsupported AST node type: <name>", the error of a node no walker knows.
[[noreturn]] void unsupported_node(const std::string& class_name);

// Common root of every walker, whatever its result type.
class VisitorBase {
 public:
  virtual ~VisitorBase() = default;

  // True when the object runs exactly the operations of the walker class it
  // was built as although its dynamic type is a subclass (the bindings'
  // trampoline of a Python object that overrides nothing says so).
  virtual bool known_unmodified() const { return false; }

 protected:
  // Whether `self` runs the operations of `Walker` and no others: only then
  // may a walker take shortcuts that skip operations (one printer pass,
  // measuring a shared subtree once).
  template <class Walker>
  static bool runs_own_operations(const Walker& self) {
    return typeid(self) == typeid(Walker) || self.known_unmodified();
  }
};

// Remembers the results of shared subtrees (in the tree functions'
// SharedNodeMemo) during one walk, for a walker
// whose operations depend on the node alone.  A walk starts plain; only when
// it has taken more steps than a tree of its size usually needs does it start
// over remembering: a node is shared when more than one owner holds it (the
// walk reaches a node held once only through its one parent), and the result
// of each shared node is computed once.  The restart is invisible, since no
// override takes part in such a walk.  A walk whose every step builds a node
// (a transformer) instead goes on remembering from where it is, early: what
// it built so far is no less right, and starting over would build it again.
template <typename R>
class SharedSubtreeMemo {
 public:
  enum class WhenLong { StartOver, RememberOnward };
  explicit SharedSubtreeMemo(std::int64_t plain_steps = limits::kMemoPlainSteps,
                             WhenLong when_long = WhenLong::StartOver)
      : plain_steps_(plain_steps), when_long_(when_long) {}
  // The memo of a walk that builds nodes.
  static SharedSubtreeMemo building() {
    return SharedSubtreeMemo(limits::kMemoPlainBuildingSteps, WhenLong::RememberOnward);
  }

  template <class Compute>
  R through(const NodePtr& node, bool enabled, const Compute& compute) {
    if (!enabled) return compute();
    if (depth_ == 0) return outermost(node, compute);
    Level level(*this);
    if (!remembering_) {
      if (++steps_ <= plain_steps_) return compute();
      if (when_long_ == WhenLong::StartOver) throw StartOver{};
      remembering_ = true;
    }
    return remembered(node, compute);
  }

  // No walk of this memo is under way.
  bool idle() const { return depth_ == 0; }

  // Runs `compute` without the results remembered so far and gives them back
  // afterwards: for a part of the walk whose results depend on more than the
  // node (the body of a binder that changes what the walk replaces).
  template <class Compute>
  R apart(const Compute& compute) {
    struct Restore {
      SharedSubtreeMemo& memo;
      std::optional<SharedNodeMemo<R>> outside;
      ~Restore() { memo.results_ = std::move(outside); }
    } restore{*this, std::exchange(results_, std::nullopt)};
    return compute();
  }

  // One visit of a walker.  The outermost visit of a walker that runs its own
  // operations first tries `quick`, a direct walk that may give up (an empty
  // optional), then walks remembering from the start; every other visit goes
  // through().
  template <class Quick, class Compute>
  R visit(const NodePtr& node, bool own, const Quick& quick, const Compute& compute) {
    if (!own || !idle()) return through(node, own, compute);
    if (auto fast = quick()) return std::move(*fast);
    return remembering(node, compute);
  }

  // An outermost walk that remembers from its first step (the caller has
  // already found a plain walk too long).
  template <class Compute>
  R remembering(const NodePtr& node, const Compute& compute) {
    Level level(*this);
    remembering_ = true;
    return remembered(node, compute);
  }

 private:
  struct StartOver {};

  template <class Compute>
  R outermost(const NodePtr& node, const Compute& compute) {
    try {
      Level level(*this);
      steps_ = 0;
      remembering_ = false;
      return compute();
    } catch (const StartOver&) {
    }
    return remembering(node, compute);
  }

  template <class Compute>
  R remembered(const NodePtr& node, const Compute& compute) {
    if (!node || node->kind() == NodeKind::Variable || node->kind() == NodeKind::Constant) return compute();
    if (!results_) results_.emplace();
    if (const R* known = results_->find(node)) return *known;
    R result = compute();
    if (node.use_count() > 1) results_->store(node, result);
    return result;
  }

  // The outermost level forgets everything when it ends.
  struct Level {
    explicit Level(SharedSubtreeMemo& m) : memo(m) { ++memo.depth_; }
    ~Level() {
      if (--memo.depth_ == 0) memo.results_.reset();
    }
    SharedSubtreeMemo& memo;
  };
  std::int64_t plain_steps_;
  WhenLong when_long_;
  int depth_ = 0;
  bool remembering_ = false;
  std::int64_t steps_ = 0;
  std::optional<SharedNodeMemo<R>> results_;  // nodes stay alive: the root holds them
};

template <typename R>
class Visitor : public VisitorBase {
 public:
  using Result = R;

  // Entry of every walk and of every descent into a child.
  virtual R visit(const NodePtr& node) { return dispatch(node); }

  virtual R visit_variable(const NodeRef<Variable>& node) = 0;
  virtual R visit_constant(const NodeRef<Constant>& node) = 0;
  virtual R visit_function_app(const NodeRef<FunctionApp>& node) = 0;
  virtual R visit_predicate_app(const NodeRef<PredicateApp>& node) = 0;
  virtual R visit_equality(const NodeRef<Equality>& node) = 0;
  virtual R visit_not(const NodeRef<Not>& node) = 0;
  virtual R visit_and(const NodeRef<And>& node) = 0;
  virtual R visit_or(const NodeRef<Or>& node) = 0;
  virtual R visit_implies(const NodeRef<Implies>& node) = 0;
  virtual R visit_iff(const NodeRef<Iff>& node) = 0;
  virtual R visit_forall(const NodeRef<Forall>& node) = 0;
  virtual R visit_exists(const NodeRef<Exists>& node) = 0;
  // The second-order operations are optional: by default they refuse.
  virtual R visit_forall_pred(const NodeRef<ForallPred>&) { throw NotImplementedError(""); }
  virtual R visit_exists_pred(const NodeRef<ExistsPred>&) { throw NotImplementedError(""); }
  virtual R visit_forall_func(const NodeRef<ForallFunc>&) { throw NotImplementedError(""); }
  virtual R visit_exists_func(const NodeRef<ExistsFunc>&) { throw NotImplementedError(""); }

 protected:
  // Calls the operation of the node's exact class, one guard per level.
  R dispatch(const NodePtr& node) {
    if (!node) unsupported_node("NoneType");
    RecursionGuard guard;
    switch (node->kind()) {
#define CORE_DISPATCH_CASE(op, Class) \
  case NodeKind::Class:               \
    return op(as_ptr<Class>(node));
      CORE_VISIT_OPERATIONS(CORE_DISPATCH_CASE)
#undef CORE_DISPATCH_CASE
    }
    unsupported_node(node->class_name());
  }
};

// ---------------------------------------------------------------------------
// Rebuilding transformer
// ---------------------------------------------------------------------------

// Transforms children first (through visit) and rebuilds a node only when a
// child came back as a different object; otherwise returns the node itself.
// Rebuilt negations, connectives, equalities and quantifiers check the class
// of their new children (AssertionFailure); a rebuilt application keeps only
// the new arguments that are terms, so a lost argument fails the arity check.
class ASTTransformer : public Visitor<NodePtr> {
 public:
  CORE_DECLARE_VISIT_OPERATIONS

 protected:
  NodePtr rebuild_binary(const NodeRef<BinaryFormula>& node);
  NodePtr rebuild_quantifier(const NodeRef<Quantifier>& node);
  NodePtr rebuild_second_order(const NodeRef<SecondOrderQuantifier>& node);
  // Visits every argument, first to last, into `new_args`; true when one
  // came back as another object.
  bool transform_arguments(const Application& app, std::vector<NodePtr>& new_args);
};

// The id after `id`, for a fresh variable; ValueError "No fresh <what>
// above <id>" when `id` is already the largest 64-bit value.
std::int64_t fresh_id_after(std::int64_t id, const char* what = "variable id");

// Raises AssertionFailure unless `node` is a term (resp. formula, variable);
// null counts as none of them.  The tests run only while rebuild assertions
// are enabled (the default); the host turns them off when its own
// assertions are off, and a rebuilt node is then left to the checks of its
// construction.
void require_term(const NodePtr& node);
void require_formula(const NodePtr& node);
void require_variable(const NodePtr& node);
void set_rebuild_assertions(bool enabled);

// ---------------------------------------------------------------------------
// Measures and free variables
// ---------------------------------------------------------------------------

class Measure;

// Arithmetic on a measure that the host language supplied (a Python object
// that an override returned, say a float): the walk never looks inside such
// a value and leaves every sum and comparison that involves one to it.
class HostMeasure {
 public:
  virtual ~HostMeasure() = default;
  virtual Measure plus(const Measure& a, const Measure& b) const = 0;
  // `candidate` when it is greater than `current`, else `current`.
  virtual Measure larger(const Measure& current, const Measure& candidate) const = 0;
};

// The result of a measuring walk: an exact integer of any size (the size of
// a heavily shared formula outgrows 64 bits), or a host value.
class Measure {
 public:
  Measure(std::int64_t value = 0) : small_(value) {}  // NOLINT: integers convert
  explicit Measure(std::shared_ptr<const HostMeasure> host)
      : extra_(std::make_shared<const Extra>(Extra{{}, std::move(host)})) {}
  // The integer `value`, small where it fits.
  static Measure of(BigInt value);

  bool is_small() const { return !extra_; }
  std::int64_t small() const { return small_; }
  // The integer when it lies outside the 64-bit range.
  const BigInt* wide() const { return extra_ && !extra_->host ? &extra_->wide : nullptr; }
  const HostMeasure* host() const { return extra_ ? extra_->host.get() : nullptr; }
  // The decimal digits of an integer measure.
  std::string to_string() const;

  friend Measure operator+(const Measure& a, const Measure& b) {
    std::int64_t sum;
    if (a.is_small() && b.is_small() && !__builtin_add_overflow(a.small_, b.small_, &sum)) return sum;
    return add_slowly(a, b);
  }
  // `candidate` when it is greater than `current`, else `current` (the rule of max()).
  static Measure larger(const Measure& current, const Measure& candidate) {
    if (current.is_small() && candidate.is_small()) return candidate.small_ > current.small_ ? candidate : current;
    return larger_slowly(current, candidate);
  }
  // Integer measures compare by value; a host value equals only itself.
  friend bool operator==(const Measure& a, const Measure& b);

 private:
  static Measure add_slowly(const Measure& a, const Measure& b);
  static Measure larger_slowly(const Measure& current, const Measure& candidate);

  // What a small integer does not hold: a wide integer, or a host value.
  // The integer as a BigInt.
  BigInt integer() const { return is_small() ? BigInt(small_) : *wide(); }

  struct Extra {
    BigInt wide;
    std::shared_ptr<const HostMeasure> host;
  };
  std::int64_t small_ = 0;
  std::shared_ptr<const Extra> extra_;
};

// Height of the tree: nodes on the longest downward path, both ends counted;
// a quantifier's bound variable is no child.
class DepthVisitor : public Visitor<Measure> {
 public:
  Measure visit(const NodePtr& node) override;
  CORE_DECLARE_VISIT_OPERATIONS

 private:
  SharedSubtreeMemo<Measure> memo_;
  Measure deepest_argument(const Application& app);
  Measure deeper_side(const NodePtr& left, const NodePtr& right);
};

// Number of node occurrences; the bound variable of a first-order quantifier
// counts, the variable of a second-order quantifier does not.
class SizeVisitor : public Visitor<Measure> {
 public:
  Measure visit(const NodePtr& node) override;
  CORE_DECLARE_VISIT_OPERATIONS

 private:
  SharedSubtreeMemo<Measure> memo_;
  Measure argument_sizes(const Application& app);
  Measure both_sides(const NodePtr& left, const NodePtr& right);
};

class FreeVariables;

// Set operations on a collector result that the host language supplied (a
// Python object that an override returned, say a list): the collector leaves
// every union and removal that involves one to it.
class HostVariables {
 public:
  virtual ~HostVariables() = default;
  // A new set of the members of `a`, then of `b`.
  virtual FreeVariables unite(const FreeVariables& a, const FreeVariables& b) const = 0;
  // A new set of the members of `a` less `var`.
  virtual FreeVariables without(const FreeVariables& a, const VariablePtr& var) const = 0;
};

// The result of the free-variable collector: a set of variables, or a host value.
class FreeVariables {
 public:
  FreeVariables() = default;
  FreeVariables(VarSet vars) : vars_(std::move(vars)) {}  // NOLINT: a set converts
  explicit FreeVariables(std::shared_ptr<const HostVariables> host) : host_(std::move(host)) {}

  const HostVariables* host() const { return host_.get(); }
  // The variables (empty for a host value: callers that may meet one test host() first).
  const VarSet& vars() const { return vars_; }
  VarSet&& take_vars() && { return std::move(vars_); }

  static FreeVariables unite(FreeVariables a, const FreeVariables& b);
  static FreeVariables without(FreeVariables a, const VariablePtr& var);

 private:
  VarSet vars_;
  std::shared_ptr<const HostVariables> host_;
};

// The free Variable nodes of a term or formula, as a new set per visit.
// Symbols of applications and second-order binders are not variables here.
class FreeVariableCollector : public Visitor<FreeVariables> {
 public:
  FreeVariables visit(const NodePtr& node) override;
  // The free variables of a node, for C++ callers (no override can take part).
  static VarSet of(const NodePtr& node) { return FreeVariableCollector().visit(node).take_vars(); }
  CORE_DECLARE_VISIT_OPERATIONS

 private:
  SharedSubtreeMemo<FreeVariables> memo_;
  FreeVariables union_of(const NodePtr& left, const NodePtr& right);
  FreeVariables of_arguments(const Application& app);
  FreeVariables without_bound(const Quantifier& q);
};

// ---------------------------------------------------------------------------
// Text export
// ---------------------------------------------------------------------------

// Text of a term or formula in "infix", "prefix" or "latex" notation.  The
// constructor refuses any other notation (ValueError); `notation` stays a
// plain field, and a value assigned later other than "prefix" and "latex"
// gives the infix forms (the Python face keeps any object assigned to its
// attribute and hands the field "infix" for anything else).  An exact ExportVisitor renders a whole tree in one
// pass of the printer; a subclass goes through its operations node by node.
class ExportVisitor : public Visitor<std::string> {
 public:
  explicit ExportVisitor(std::string notation = "infix");
  std::string notation;

  std::string visit(const NodePtr& node) override;
  CORE_DECLARE_VISIT_OPERATIONS

 private:
  Notation current_notation() const;
  // One node's own syntax, each child rendered through visit.
  std::string render_one(const Node& node);
};

// ---------------------------------------------------------------------------
// Light substitution
// ---------------------------------------------------------------------------

// An insertion-ordered map from variables (compared by value) to nodes.
using VariableMapping = OrderedMap<VariablePtr, NodePtr, NodeHash, NodeEq>;

// ---------------------------------------------------------------------------
// Capture-avoiding substitution
// ---------------------------------------------------------------------------

// The skeleton shared by the substitution transformers (the light one below
// and core::SubstitutionTransformer of core/substitutions.hpp, through which
// the clausifier and the inference rules substitute): a variable is replaced
// by the term that `replacement` names at this point of the walk, and a
// second-order quantifier whose predicate or function variable occurs in a
// replacement that enters its body is renamed to a fresh symbol variable
// first, so that the binder cannot capture it.  Each subclass decides how
// first-order quantifiers shadow and rename (visit_forall, visit_exists).
//
// C++ entry points built on it, for code that substitutes in the engine:
//   core::substitute_term, core::substitute_formula (sort check, then a walk
//     of core::SubstitutionTransformer; core/substitutions.hpp),
//   core::rename_free_variable (one variable renamed without capture),
//   core::rename_symbol_variable and core::fresh_symbol_variable (below).
class CaptureAvoidingSubstitution : public ASTTransformer {
 public:
  NodePtr visit_variable(const NodeRef<Variable>& node) override;
  NodePtr visit_forall_pred(const NodeRef<ForallPred>& node) override;
  NodePtr visit_exists_pred(const NodeRef<ExistsPred>& node) override;
  NodePtr visit_forall_func(const NodeRef<ForallFunc>& node) override;
  NodePtr visit_exists_func(const NodeRef<ExistsFunc>& node) override;

 protected:
  // The term that replaces `var` at this point of the walk, or null.
  virtual const NodePtr* replacement(const VariablePtr& var) const = 0;
  // The free variables of a node, as the subclass computes them.
  virtual VarSet free_variables_of(const NodePtr& node) = 0;

  // Substitutes into the body of a second-order quantifier, renaming its
  // symbol variable first where a replacement entering the body mentions it.
  NodePtr substitute_second_order(const NodeRef<SecondOrderQuantifier>& node);

  // One visit, through `shared_` when `own` (the walker runs the operations
  // of its class): a heavily shared input is then walked once per distinct
  // node and scope, and its result shares the same way.
  NodePtr remembering_visit(const NodePtr& node, bool own) {
    return shared_.through(node, own, [&] { return dispatch(node); });
  }
  // Results of shared subtrees for the walk's current scope; a subclass
  // walks a binder's body apart() when the body changes what is replaced.
  SharedSubtreeMemo<NodePtr> shared_ = SharedSubtreeMemo<NodePtr>::building();
};

// `node` with the free occurrences of the symbol variable `from` (as the
// symbol of an application) replaced by `to`; an inner quantifier over
// `from` keeps its own.
NodePtr rename_symbol_variable(const NodePtr& node, const SymbolVariablePtr& from, const SymbolVariablePtr& to);

// A symbol variable of the kind and arity of `bound` whose index lies above
// every symbol variable of that kind in `in_sight` (and above `bound`'s).
SymbolVariablePtr fresh_symbol_variable(const SymbolVariable& bound, const std::vector<NodePtr>& in_sight);

// Replaces free variables by the nodes the mapping gives, simultaneously and
// without capture: a first-order quantifier whose variable occurs in a
// replacement is renamed to a fresh variable (one above every id in sight),
// and second-order quantifiers as CaptureAvoidingSubstitution says.  Checks
// no sorts.  Known in Python as core.visitors.SubstitutionTransformer.
class LightSubstitutionTransformer : public CaptureAvoidingSubstitution {
 public:
  explicit LightSubstitutionTransformer(VariableMapping mapping = {}) : mapping(std::move(mapping)) {}
  VariableMapping mapping;

  NodePtr visit(const NodePtr& node) override { return remembering_visit(node, runs_own_operations(*this)); }

  NodePtr visit_forall(const NodeRef<Forall>& node) override;
  NodePtr visit_exists(const NodeRef<Exists>& node) override;

 protected:
  const NodePtr* replacement(const VariablePtr& var) const override { return mapping.find(var); }
  VarSet free_variables_of(const NodePtr& node) override { return FreeVariableCollector::of(node); }

 private:
  NodePtr substitute_quantifier(const NodeRef<Quantifier>& node);
};

}  // namespace core
