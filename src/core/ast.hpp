// Syntax tree of sorted first-order logic.
//
// Nodes are immutable and shared: a formula is an acyclic graph of
// `std::shared_ptr<const Node>` built bottom-up.  Every node computes its hash
// once, at construction, from its class and its fields, with the host
// interpreter's tuple hash (see pyhash.hpp), so that the Python face can
// promise hash(node) == hash((type(node), *fields)).  Equality is structural
// and compares hashes first, so unequal nodes are told apart in O(1) almost
// always.  Function applications, predicate applications and equalities also
// keep the set of free variables of their arguments, filled once when they
// are built.
//
// Destruction of a very deep tree never recurses: children whose last owner
// is the dying node are queued and released by a loop (see release.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/exceptions.hpp"
#include "core/ordered.hpp"
#include "core/pyhash.hpp"
#include "core/sorts.hpp"

namespace core {

// The exact class of a node.  The first twelve are the syntax-tree classes;
// the last four are the second-order quantifiers (Python module sol.ast_ext).
enum class NodeKind : std::uint8_t {
  Variable, Constant, FunctionApp, PredicateApp, Equality,
  Not, And, Or, Implies, Iff, Forall, Exists,
  ForallPred, ExistsPred, ForallFunc, ExistsFunc
};
constexpr int kNodeKindCount = 16;

const char* node_class_name(NodeKind kind);  // "Variable", "ForallPred", ...

enum class VariableKind : std::uint8_t { INDIVIDUAL, PREDICATE, FUNCTION };
const char* variable_kind_name(VariableKind kind);

class Node;
class Variable;
using NodePtr = std::shared_ptr<const Node>;
using VariablePtr = std::shared_ptr<const Variable>;

// ---------------------------------------------------------------------------
// Symbols of applications: a name, or a second-order symbol variable.
// ---------------------------------------------------------------------------

// A predicate or function variable of second-order logic: an index and an
// arity, plus a display name (what the export prints) and a text (its string
// conversion, shown in messages; the name unless given).  Equality is by
// (kind, index, arity, name).
class SymbolVariable {
 public:
  enum class Kind : std::uint8_t { Predicate, Function };
  SymbolVariable(Kind kind, std::int64_t index, std::int64_t arity, std::string name, std::string text = {});
  Kind kind() const { return kind_; }
  std::int64_t index() const { return index_; }
  std::int64_t arity() const { return arity_; }
  const std::string& name() const { return name_; }
  const std::string& text() const { return text_; }
  pyhash::hash_t hash() const { return hash_; }
  std::string repr() const;
  bool operator==(const SymbolVariable& o) const;

 private:
  Kind kind_;
  std::int64_t index_;
  std::int64_t arity_;
  std::string name_;
  std::string text_;
  pyhash::hash_t hash_;
};
using SymbolVariablePtr = std::shared_ptr<const SymbolVariable>;

class Symbol {
 public:
  Symbol() = default;
  Symbol(std::string name);  // NOLINT: a name converts implicitly
  Symbol(const char* name) : Symbol(std::string(name)) {}
  explicit Symbol(SymbolVariablePtr variable);

  bool is_name() const { return variable_ == nullptr; }
  const std::string& name() const { return name_; }  // the name, or the variable's name
  const SymbolVariablePtr& variable() const { return variable_; }
  // The text of the symbol in messages: the name itself or the variable's text.
  std::string text() const;
  std::string repr() const;  // quoted name, or the variable's repr
  pyhash::hash_t hash() const { return hash_; }
  bool operator==(const Symbol& o) const;

 private:
  std::string name_;
  SymbolVariablePtr variable_;
  pyhash::hash_t hash_ = 0;
};

// ---------------------------------------------------------------------------
// Insertion-ordered sets of nodes (equality by node value).
// ---------------------------------------------------------------------------
bool equal(const Node& a, const Node& b);  // structural, iterative (defined below)

struct NodeHash {
  template <typename Ptr>
  std::size_t operator()(const Ptr& n) const {
    return static_cast<std::size_t>(n->hash());
  }
};
struct NodeEq {
  template <typename Ptr1, typename Ptr2>
  bool operator()(const Ptr1& a, const Ptr2& b) const {
    return a && b && equal(*a, *b);
  }
};

using VarSet = OrderedValueSet<VariablePtr, NodeHash, NodeEq>;
using NodeSet = OrderedValueSet<NodePtr, NodeHash, NodeEq>;
using VarSetPtr = std::shared_ptr<const VarSet>;
// The one empty set, shared.
const VarSetPtr& empty_var_set();

// ---------------------------------------------------------------------------
// Nodes
// ---------------------------------------------------------------------------
class Node {
 public:
  virtual ~Node() = default;
  NodeKind kind() const { return kind_; }
  pyhash::hash_t hash() const { return hash_; }
  bool is_term() const { return kind_ <= NodeKind::FunctionApp; }
  bool is_formula() const { return !is_term(); }
  const char* class_name() const { return node_class_name(kind_); }

  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

 protected:
  explicit Node(NodeKind kind) : kind_(kind) {}
  NodeKind kind_;
  pyhash::hash_t hash_ = 0;
};

class Term : public Node {
 public:
  const SortPtr& sort() const { return sort_; }

 protected:
  Term(NodeKind kind, SortPtr sort) : Node(kind), sort_(std::move(sort)) {}
  SortPtr sort_;
};

class Formula : public Node {
 protected:
  explicit Formula(NodeKind kind) : Node(kind) {}
};

class Variable final : public Term {
 public:
  // Raises InvalidFormulaError when id < 0.
  static VariablePtr make(std::int64_t id, VariableKind kind = VariableKind::INDIVIDUAL,
                          SortPtr sort = ind_sort());
  std::int64_t id() const { return id_; }
  VariableKind var_kind() const { return var_kind_; }

  Variable(std::int64_t id, VariableKind kind, SortPtr sort);  // unchecked; use make()

 private:
  std::int64_t id_;
  VariableKind var_kind_;
};

class Constant final : public Term {
 public:
  // Raises InvalidFormulaError when the name is empty.
  static std::shared_ptr<const Constant> make(std::string name, SortPtr sort = ind_sort());
  const std::string& name() const { return name_; }

  Constant(std::string name, SortPtr sort);

 private:
  std::string name_;
};

// Shared shape of FunctionApp and PredicateApp.
class Application {
 public:
  const Symbol& symbol() const { return symbol_; }
  std::int64_t arity() const { return arity_; }
  const std::vector<NodePtr>& args() const { return args_; }
  const VarSetPtr& free_vars() const { return free_vars_; }

 protected:
  Application(Symbol symbol, std::int64_t arity, std::vector<NodePtr> args);
  ~Application();
  Symbol symbol_;
  std::int64_t arity_;
  std::vector<NodePtr> args_;
  VarSetPtr free_vars_;
};

class FunctionApp final : public Term, public Application {
 public:
  // Validates symbol, arity and argument count (InvalidFormulaError with the
  // exact messages); `args` may hold any nodes.
  static std::shared_ptr<const FunctionApp> make(Symbol func, std::int64_t arity, std::vector<NodePtr> args,
                                                 SortPtr return_sort = ind_sort());
  const Symbol& func() const { return symbol_; }
  const SortPtr& return_sort() const { return sort_; }

  FunctionApp(Symbol func, std::int64_t arity, std::vector<NodePtr> args, SortPtr return_sort);
};

class PredicateApp final : public Formula, public Application {
 public:
  static std::shared_ptr<const PredicateApp> make(Symbol pred, std::int64_t arity, std::vector<NodePtr> args);
  // A propositional atom: arity 0, no arguments.
  static std::shared_ptr<const PredicateApp> atom(const std::string& name);
  const Symbol& pred() const { return symbol_; }

  PredicateApp(Symbol pred, std::int64_t arity, std::vector<NodePtr> args);
};

class Equality final : public Formula {
 public:
  // Any two nodes (not checked to be terms).
  static std::shared_ptr<const Equality> make(NodePtr left, NodePtr right);
  const NodePtr& left() const { return left_; }
  const NodePtr& right() const { return right_; }
  const VarSetPtr& free_vars() const { return free_vars_; }

  Equality(NodePtr left, NodePtr right);
  ~Equality() override;

 private:
  NodePtr left_, right_;
  VarSetPtr free_vars_;
};

class Not final : public Formula {
 public:
  // Raises TypeError unless `operand` is a formula.
  static std::shared_ptr<const Not> make(NodePtr operand);
  const NodePtr& operand() const { return operand_; }

  explicit Not(NodePtr operand);
  ~Not() override;

 private:
  NodePtr operand_;
};

// And, Or, Implies, Iff share one layout; each is its own final class below
// so that every node kind has a C++ type of its own.
class BinaryFormula : public Formula {
 public:
  // Raises TypeError unless both sides are formulas.
  static std::shared_ptr<const BinaryFormula> make(NodeKind kind, NodePtr left, NodePtr right);
  const NodePtr& left() const { return left_; }
  const NodePtr& right() const { return right_; }
  ~BinaryFormula() override;

 protected:
  BinaryFormula(NodeKind kind, NodePtr left, NodePtr right);

 private:
  NodePtr left_, right_;
};

template <NodeKind K>
class BinaryNode final : public BinaryFormula {
 public:
  BinaryNode(NodePtr left, NodePtr right) : BinaryFormula(K, std::move(left), std::move(right)) {}
};
using And = BinaryNode<NodeKind::And>;
using Or = BinaryNode<NodeKind::Or>;
using Implies = BinaryNode<NodeKind::Implies>;
using Iff = BinaryNode<NodeKind::Iff>;

// Forall and Exists.
class Quantifier : public Formula {
 public:
  // Raises TypeError unless `variable` is a Variable and `body` a formula.
  static std::shared_ptr<const Quantifier> make(NodeKind kind, NodePtr variable, NodePtr body);
  const VariablePtr& variable() const { return variable_; }
  const NodePtr& body() const { return body_; }
  ~Quantifier() override;

 protected:
  Quantifier(NodeKind kind, VariablePtr variable, NodePtr body);

 private:
  VariablePtr variable_;
  NodePtr body_;
};

template <NodeKind K>
class QuantifierNode final : public Quantifier {
 public:
  QuantifierNode(VariablePtr variable, NodePtr body) : Quantifier(K, std::move(variable), std::move(body)) {}
};
using Forall = QuantifierNode<NodeKind::Forall>;
using Exists = QuantifierNode<NodeKind::Exists>;

// ForallPred, ExistsPred, ForallFunc, ExistsFunc.
class SecondOrderQuantifier : public Formula {
 public:
  static std::shared_ptr<const SecondOrderQuantifier> make(NodeKind kind, SymbolVariablePtr variable,
                                                           NodePtr body);
  const SymbolVariablePtr& variable() const { return variable_; }
  const NodePtr& body() const { return body_; }
  ~SecondOrderQuantifier() override;

 protected:
  SecondOrderQuantifier(NodeKind kind, SymbolVariablePtr variable, NodePtr body);

 private:
  SymbolVariablePtr variable_;
  NodePtr body_;
};

template <NodeKind K>
class SecondOrderNode final : public SecondOrderQuantifier {
 public:
  SecondOrderNode(SymbolVariablePtr variable, NodePtr body)
      : SecondOrderQuantifier(K, std::move(variable), std::move(body)) {}
};
using ForallPred = SecondOrderNode<NodeKind::ForallPred>;
using ExistsPred = SecondOrderNode<NodeKind::ExistsPred>;
using ForallFunc = SecondOrderNode<NodeKind::ForallFunc>;
using ExistsFunc = SecondOrderNode<NodeKind::ExistsFunc>;

// The checks of an application's header, in their fixed order (empty name,
// negative arity, argument count), without building the node.
void check_function_app(const Symbol& func, std::int64_t arity, std::size_t arg_count);
void check_predicate_app(const Symbol& pred, std::int64_t arity, std::size_t arg_count);

// Convenience constructors (checked).
NodePtr make_and(NodePtr l, NodePtr r);
NodePtr make_or(NodePtr l, NodePtr r);
NodePtr make_implies(NodePtr l, NodePtr r);
NodePtr make_iff(NodePtr l, NodePtr r);
NodePtr make_not(NodePtr operand);

// Downcasts by kind (no RTTI walk).  Return nullptr when the kind differs.
inline bool is_binary(NodeKind k) { return k >= NodeKind::And && k <= NodeKind::Iff; }
inline bool is_quantifier(NodeKind k) { return k == NodeKind::Forall || k == NodeKind::Exists; }
inline bool is_second_order(NodeKind k) { return k >= NodeKind::ForallPred; }
const Application* as_application(const Node& n);  // FunctionApp or PredicateApp
template <typename T>
const T& as(const Node& n) {
  return static_cast<const T&>(n);
}
template <typename T>
std::shared_ptr<const T> as_ptr(const NodePtr& n) {
  return std::static_pointer_cast<const T>(n);
}

// Children of a node in field order (arguments, sides, operand, quantifier
// variable then body).  Used by generic walks.
std::vector<NodePtr> children(const Node& n);

// Calls `visit` on each child of `n` where it stands in its parent, in the
// order of children(n) (a quantifier's variable as its Variable pointer): no
// copies, so a walk that remembers shared nodes by their owner count sees
// the counts as they are, and no list is built per node.
template <typename Visit>
void for_each_child(const Node& n, Visit&& visit) {
  switch (n.kind()) {
    case NodeKind::Variable:
    case NodeKind::Constant: return;
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp:
      for (const NodePtr& arg : as_application(n)->args()) visit(arg);
      return;
    case NodeKind::Equality:
      visit(as<Equality>(n).left());
      visit(as<Equality>(n).right());
      return;
    case NodeKind::Not: visit(as<Not>(n).operand()); return;
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
    case NodeKind::Iff:
      visit(as<BinaryFormula>(n).left());
      visit(as<BinaryFormula>(n).right());
      return;
    case NodeKind::Forall:
    case NodeKind::Exists:
      visit(as<Quantifier>(n).variable());
      visit(as<Quantifier>(n).body());
      return;
    default: visit(as<SecondOrderQuantifier>(n).body());
  }
}

// ---------------------------------------------------------------------------
// Equality
// ---------------------------------------------------------------------------
bool equal(const Node& a, const Node& b);  // structural, iterative
bool equal(const NodePtr& a, const NodePtr& b);

// Text of a node's class as the host prints a class object, e.g.
// "<class 'core.ast.Variable'>".  Used in messages.
std::string class_text(NodeKind kind);

}  // namespace core

// The text form and the tree functions, declared apart by concern; every
// user of the syntax tree gets them with it.
#include "core/ast_text.hpp"
#include "core/ast_tree.hpp"
