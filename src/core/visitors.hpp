// Tree walkers: visitors over terms and formulas.
//
// Every walker is a `Visitor<R>`: one virtual operation per node class
// (sixteen: the twelve first-order classes and the four second-order
// quantifiers) and a virtual `visit` that dispatches on the node's exact
// class.  Walkers descend into a child by calling `visit(child)` on
// themselves, never an operation directly, so one override changes the walk
// at every depth.  Each level of a walk holds a RecursionGuard, so a tree too
// deep for the native stack raises RecursionDepthError.
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
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ast.hpp"
#include "core/exceptions.hpp"
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

// "Unsupported AST node type: <name>", the error of a node no walker knows.
[[noreturn]] void unsupported_node(const std::string& class_name);

// Common root of every walker, whatever its result type.
class VisitorBase {
 public:
  virtual ~VisitorBase() = default;
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
  NodePtr visit_variable(const NodeRef<Variable>& node) override;
  NodePtr visit_constant(const NodeRef<Constant>& node) override;
  NodePtr visit_function_app(const NodeRef<FunctionApp>& node) override;
  NodePtr visit_predicate_app(const NodeRef<PredicateApp>& node) override;
  NodePtr visit_equality(const NodeRef<Equality>& node) override;
  NodePtr visit_not(const NodeRef<Not>& node) override;
  NodePtr visit_and(const NodeRef<And>& node) override;
  NodePtr visit_or(const NodeRef<Or>& node) override;
  NodePtr visit_implies(const NodeRef<Implies>& node) override;
  NodePtr visit_iff(const NodeRef<Iff>& node) override;
  NodePtr visit_forall(const NodeRef<Forall>& node) override;
  NodePtr visit_exists(const NodeRef<Exists>& node) override;
  NodePtr visit_forall_pred(const NodeRef<ForallPred>& node) override;
  NodePtr visit_exists_pred(const NodeRef<ExistsPred>& node) override;
  NodePtr visit_forall_func(const NodeRef<ForallFunc>& node) override;
  NodePtr visit_exists_func(const NodeRef<ExistsFunc>& node) override;

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

// Raises AssertionFailure unless `node` is a term (resp. formula); null counts as neither.
void require_term(const NodePtr& node);
void require_formula(const NodePtr& node);

// ---------------------------------------------------------------------------
// Measures and free variables
// ---------------------------------------------------------------------------

// Height of the tree: nodes on the longest downward path, both ends counted;
// a quantifier's bound variable is no child.
class DepthVisitor : public Visitor<std::int64_t> {
 public:
  std::int64_t visit_variable(const NodeRef<Variable>& node) override;
  std::int64_t visit_constant(const NodeRef<Constant>& node) override;
  std::int64_t visit_function_app(const NodeRef<FunctionApp>& node) override;
  std::int64_t visit_predicate_app(const NodeRef<PredicateApp>& node) override;
  std::int64_t visit_equality(const NodeRef<Equality>& node) override;
  std::int64_t visit_not(const NodeRef<Not>& node) override;
  std::int64_t visit_and(const NodeRef<And>& node) override;
  std::int64_t visit_or(const NodeRef<Or>& node) override;
  std::int64_t visit_implies(const NodeRef<Implies>& node) override;
  std::int64_t visit_iff(const NodeRef<Iff>& node) override;
  std::int64_t visit_forall(const NodeRef<Forall>& node) override;
  std::int64_t visit_exists(const NodeRef<Exists>& node) override;
  std::int64_t visit_forall_pred(const NodeRef<ForallPred>& node) override;
  std::int64_t visit_exists_pred(const NodeRef<ExistsPred>& node) override;
  std::int64_t visit_forall_func(const NodeRef<ForallFunc>& node) override;
  std::int64_t visit_exists_func(const NodeRef<ExistsFunc>& node) override;

 private:
  std::int64_t deepest_argument(const Application& app);
  std::int64_t deeper_side(const NodePtr& left, const NodePtr& right);
};

// Number of node occurrences; the bound variable of a first-order quantifier
// counts, the variable of a second-order quantifier does not.
class SizeVisitor : public Visitor<std::int64_t> {
 public:
  std::int64_t visit_variable(const NodeRef<Variable>& node) override;
  std::int64_t visit_constant(const NodeRef<Constant>& node) override;
  std::int64_t visit_function_app(const NodeRef<FunctionApp>& node) override;
  std::int64_t visit_predicate_app(const NodeRef<PredicateApp>& node) override;
  std::int64_t visit_equality(const NodeRef<Equality>& node) override;
  std::int64_t visit_not(const NodeRef<Not>& node) override;
  std::int64_t visit_and(const NodeRef<And>& node) override;
  std::int64_t visit_or(const NodeRef<Or>& node) override;
  std::int64_t visit_implies(const NodeRef<Implies>& node) override;
  std::int64_t visit_iff(const NodeRef<Iff>& node) override;
  std::int64_t visit_forall(const NodeRef<Forall>& node) override;
  std::int64_t visit_exists(const NodeRef<Exists>& node) override;
  std::int64_t visit_forall_pred(const NodeRef<ForallPred>& node) override;
  std::int64_t visit_exists_pred(const NodeRef<ExistsPred>& node) override;
  std::int64_t visit_forall_func(const NodeRef<ForallFunc>& node) override;
  std::int64_t visit_exists_func(const NodeRef<ExistsFunc>& node) override;

 private:
  std::int64_t argument_sizes(const Application& app);
  std::int64_t both_sides(const NodePtr& left, const NodePtr& right);
};

// The free Variable nodes of a term or formula, as a new set per visit.
// Symbols of applications and second-order binders are not variables here.
class FreeVariableCollector : public Visitor<VarSet> {
 public:
  VarSet visit_variable(const NodeRef<Variable>& node) override;
  VarSet visit_constant(const NodeRef<Constant>& node) override;
  VarSet visit_function_app(const NodeRef<FunctionApp>& node) override;
  VarSet visit_predicate_app(const NodeRef<PredicateApp>& node) override;
  VarSet visit_equality(const NodeRef<Equality>& node) override;
  VarSet visit_not(const NodeRef<Not>& node) override;
  VarSet visit_and(const NodeRef<And>& node) override;
  VarSet visit_or(const NodeRef<Or>& node) override;
  VarSet visit_implies(const NodeRef<Implies>& node) override;
  VarSet visit_iff(const NodeRef<Iff>& node) override;
  VarSet visit_forall(const NodeRef<Forall>& node) override;
  VarSet visit_exists(const NodeRef<Exists>& node) override;
  VarSet visit_forall_pred(const NodeRef<ForallPred>& node) override;
  VarSet visit_exists_pred(const NodeRef<ExistsPred>& node) override;
  VarSet visit_forall_func(const NodeRef<ForallFunc>& node) override;
  VarSet visit_exists_func(const NodeRef<ExistsFunc>& node) override;

 private:
  VarSet union_of(const NodePtr& left, const NodePtr& right);
  VarSet of_arguments(const Application& app);
  VarSet without_bound(const Quantifier& q);
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
  std::string visit_variable(const NodeRef<Variable>& node) override;
  std::string visit_constant(const NodeRef<Constant>& node) override;
  std::string visit_function_app(const NodeRef<FunctionApp>& node) override;
  std::string visit_predicate_app(const NodeRef<PredicateApp>& node) override;
  std::string visit_equality(const NodeRef<Equality>& node) override;
  std::string visit_not(const NodeRef<Not>& node) override;
  std::string visit_and(const NodeRef<And>& node) override;
  std::string visit_or(const NodeRef<Or>& node) override;
  std::string visit_implies(const NodeRef<Implies>& node) override;
  std::string visit_iff(const NodeRef<Iff>& node) override;
  std::string visit_forall(const NodeRef<Forall>& node) override;
  std::string visit_exists(const NodeRef<Exists>& node) override;
  std::string visit_forall_pred(const NodeRef<ForallPred>& node) override;
  std::string visit_exists_pred(const NodeRef<ExistsPred>& node) override;
  std::string visit_forall_func(const NodeRef<ForallFunc>& node) override;
  std::string visit_exists_func(const NodeRef<ExistsFunc>& node) override;

 private:
  Notation current_notation() const;
  // One node's own syntax, each child rendered through visit.
  std::string render_one(const Node& node);
};

// ---------------------------------------------------------------------------
// Light substitution
// ---------------------------------------------------------------------------

// An insertion-ordered map from variables (compared by value) to nodes.
class VariableMapping {
 public:
  using Entry = std::pair<VariablePtr, NodePtr>;
  VariableMapping() = default;
  VariableMapping(std::initializer_list<Entry> entries);

  // Inserts, or replaces the value of an equal key in place.
  void set(VariablePtr key, NodePtr value);
  // The value stored under a key equal to `key`, or null.
  const NodePtr* find(const VariablePtr& key) const;
  const std::vector<Entry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

 private:
  struct Hash {
    std::size_t operator()(const VariablePtr& v) const { return static_cast<std::size_t>(v->hash()); }
  };
  struct Eq {
    bool operator()(const VariablePtr& a, const VariablePtr& b) const { return equal(*a, *b); }
  };
  std::vector<Entry> entries_;
  std::unordered_map<VariablePtr, std::size_t, Hash, Eq> index_;
};

// Replaces free variables by the nodes the mapping gives, simultaneously and
// without capture: a first-order quantifier whose variable occurs in a
// replacement is renamed to a fresh variable (one above every id in sight),
// and a second-order quantifier whose symbol variable occurs in a
// replacement that enters its body is renamed to a fresh symbol variable.
// Checks no sorts.  Known in Python as core.visitors.SubstitutionTransformer.
class LightSubstitutionTransformer : public ASTTransformer {
 public:
  explicit LightSubstitutionTransformer(VariableMapping mapping = {}) : mapping(std::move(mapping)) {}
  VariableMapping mapping;

  NodePtr visit_variable(const NodeRef<Variable>& node) override;
  NodePtr visit_forall(const NodeRef<Forall>& node) override;
  NodePtr visit_exists(const NodeRef<Exists>& node) override;
  NodePtr visit_forall_pred(const NodeRef<ForallPred>& node) override;
  NodePtr visit_exists_pred(const NodeRef<ExistsPred>& node) override;
  NodePtr visit_forall_func(const NodeRef<ForallFunc>& node) override;
  NodePtr visit_exists_func(const NodeRef<ExistsFunc>& node) override;

 private:
  NodePtr substitute_quantifier(const NodeRef<Quantifier>& node);
  NodePtr substitute_second_order(const NodeRef<SecondOrderQuantifier>& node);
};

}  // namespace core
