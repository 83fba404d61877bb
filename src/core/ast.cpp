#include "core/ast.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "core/interrupt.hpp"
#include "core/limits.hpp"
#include "core/release.hpp"
#include "core/thread_state.hpp"

namespace core {

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------
const char* node_class_name(NodeKind kind) {
  static const char* const names[kNodeKindCount] = {
      "Variable", "Constant", "FunctionApp", "PredicateApp", "Equality",   "Not",        "And",        "Or",
      "Implies",  "Iff",      "Forall",      "Exists",       "ForallPred", "ExistsPred", "ForallFunc", "ExistsFunc"};
  return names[static_cast<int>(kind)];
}

std::string class_text(NodeKind kind) {
  const char* module = is_second_order(kind) ? "sol.ast_ext" : "core.ast";
  return pyhash::class_text(module, node_class_name(kind));
}

const char* variable_kind_name(VariableKind kind) {
  switch (kind) {
    case VariableKind::INDIVIDUAL: return "INDIVIDUAL";
    case VariableKind::PREDICATE: return "PREDICATE";
    case VariableKind::FUNCTION: return "FUNCTION";
  }
  return "INDIVIDUAL";
}

static pyhash::hash_t class_hash(NodeKind kind) {
  return pyhash::of_class(static_cast<pyhash::ClassSlot>(static_cast<int>(kind)));
}

// ---------------------------------------------------------------------------
// Symbols
// ---------------------------------------------------------------------------
SymbolVariable::SymbolVariable(Kind kind, std::int64_t index, std::int64_t arity, std::string name, std::string text)
    : kind_(kind), index_(index), arity_(arity), name_(std::move(name)), text_(text.empty() ? name_ : std::move(text)) {
  auto slot = kind_ == Kind::Predicate ? pyhash::ClassSlot::PredicateVariable : pyhash::ClassSlot::FunctionVariable;
  hash_ = pyhash::of_tuple(
      {pyhash::of_class(slot), pyhash::of_string(name_), pyhash::of_int(index_), pyhash::of_int(arity_)});
}

std::string SymbolVariable::repr() const {
  return std::string(kind_ == Kind::Predicate ? "PredicateVariable" : "FunctionVariable") +
         "(name=" + py_quote(name_) + ", index=" + std::to_string(index_) + ", arity=" + std::to_string(arity_) +
         ")";
}

bool SymbolVariable::operator==(const SymbolVariable& o) const {
  return this == &o || (kind_ == o.kind_ && index_ == o.index_ && arity_ == o.arity_ && name_ == o.name_);
}

Symbol::Symbol(std::string name) : name_(std::move(name)), hash_(pyhash::of_string(name_)) {}

Symbol::Symbol(SymbolVariablePtr variable)
    : name_(variable->name()), variable_(std::move(variable)), hash_(variable_->hash()) {}

std::string Symbol::text() const { return variable_ ? variable_->text() : name_; }

std::string Symbol::repr() const { return variable_ ? variable_->repr() : py_quote(name_); }

bool Symbol::operator==(const Symbol& o) const {
  if (hash_ != o.hash_) return false;
  if (variable_ || o.variable_) return variable_ && o.variable_ && *variable_ == *o.variable_;
  return name_ == o.name_;
}

// Children whose last owner is the dying node are released by a loop, not by
// nested destructors (see release.hpp).
using NodeRelease = TreeRelease<Node>;

// ---------------------------------------------------------------------------
// Shared free-variable sets
// ---------------------------------------------------------------------------
const VarSetPtr& empty_var_set() {
  static const VarSetPtr empty = std::make_shared<const VarSet>();
  return empty;
}

// Union of the free variables of the given nodes, in order.  When at most one
// of them has free variables its set is shared instead of copied.
static VarSetPtr union_free_vars(const std::vector<const NodePtr*>& nodes) {
  VarSetPtr only;
  std::shared_ptr<VarSet> merged;
  for (const NodePtr* n : nodes) {
    VarSetPtr part = FreeVariableWalk().of(*n);
    if (part->empty()) continue;
    if (!only) {
      only = part;
      continue;
    }
    if (!merged) merged = std::make_shared<VarSet>(*only);
    merged->insert_all(*part);
  }
  if (merged) return merged;
  return only ? only : empty_var_set();
}

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------
Variable::Variable(std::int64_t id, VariableKind kind, SortPtr sort)
    : Term(NodeKind::Variable, std::move(sort)), id_(id), var_kind_(kind) {
  // hash((sort, id, kind)); an enumeration member hashes as its name.
  hash_ = pyhash::of_tuple({sort_->hash(), pyhash::of_int(id_), pyhash::of_string(variable_kind_name(var_kind_))});
}

VariablePtr Variable::make(std::int64_t id, VariableKind kind, SortPtr sort) {
  if (id < 0) throw InvalidFormulaError("Variable ID must be non-negative, got " + std::to_string(id) + ".");
  if (!sort) sort = ind_sort();
  return std::make_shared<const Variable>(id, kind, std::move(sort));
}

Constant::Constant(std::string name, SortPtr sort) : Term(NodeKind::Constant, std::move(sort)), name_(std::move(name)) {
  hash_ = pyhash::of_tuple({sort_->hash(), pyhash::of_string(name_)});
}

std::shared_ptr<const Constant> Constant::make(std::string name, SortPtr sort) {
  if (name.empty()) throw InvalidFormulaError("Constant name cannot be empty.");
  if (!sort) sort = ind_sort();
  return std::make_shared<const Constant>(std::move(name), std::move(sort));
}

Application::Application(Symbol symbol, std::int64_t arity, std::vector<NodePtr> args)
    : symbol_(std::move(symbol)), arity_(arity), args_(std::move(args)) {
  std::vector<const NodePtr*> parts;
  parts.reserve(args_.size());
  for (const auto& a : args_) parts.push_back(&a);
  free_vars_ = union_free_vars(parts);
}

Application::~Application() {
  NodeRelease::release_all(args_);
}

static pyhash::hash_t args_hash(const std::vector<NodePtr>& args) {
  pyhash::TupleHasher h;
  for (const auto& a : args) h.add(a->hash());
  return h.finish();
}

static void check_application(const char* what, const char* class_name, const Symbol& symbol, std::int64_t arity,
                              std::size_t arg_count) {
  if (symbol.is_name() && symbol.name().empty())
    throw InvalidFormulaError(std::string(what) + " name cannot be empty.");
  if (arity < 0)
    throw InvalidFormulaError(std::string(what) + " arity must be non-negative, got " + std::to_string(arity) + ".");
  if (static_cast<std::uint64_t>(arity) != arg_count)
    throw InvalidFormulaError(std::string(class_name) + " '" + symbol.text() + "' expected arity " +
                              std::to_string(arity) + ", got " + std::to_string(arg_count) + " arguments.");
}

void check_function_app(const Symbol& func, std::int64_t arity, std::size_t arg_count) {
  check_application("Function", "FunctionApp", func, arity, arg_count);
}

void check_predicate_app(const Symbol& pred, std::int64_t arity, std::size_t arg_count) {
  check_application("Predicate", "PredicateApp", pred, arity, arg_count);
}

static void check_nodes(const std::vector<NodePtr>& nodes) {
  for (const auto& n : nodes)
    if (!n) throw TypeError("argument must be a term or formula node, got None");
}

FunctionApp::FunctionApp(Symbol func, std::int64_t arity, std::vector<NodePtr> args, SortPtr return_sort)
    : Term(NodeKind::FunctionApp, std::move(return_sort)), Application(std::move(func), arity, std::move(args)) {
  hash_ = pyhash::of_tuple(
      {class_hash(kind_), symbol_.hash(), pyhash::of_int(arity_), args_hash(args_), sort_->hash()});
}

std::shared_ptr<const FunctionApp> FunctionApp::make(Symbol func, std::int64_t arity, std::vector<NodePtr> args,
                                                     SortPtr return_sort) {
  check_function_app(func, arity, args.size());
  check_nodes(args);
  if (!return_sort) return_sort = ind_sort();
  return std::make_shared<const FunctionApp>(std::move(func), arity, std::move(args), std::move(return_sort));
}

PredicateApp::PredicateApp(Symbol pred, std::int64_t arity, std::vector<NodePtr> args)
    : Formula(NodeKind::PredicateApp), Application(std::move(pred), arity, std::move(args)) {
  hash_ = pyhash::of_tuple({class_hash(kind_), symbol_.hash(), pyhash::of_int(arity_), args_hash(args_)});
}

std::shared_ptr<const PredicateApp> PredicateApp::make(Symbol pred, std::int64_t arity, std::vector<NodePtr> args) {
  check_predicate_app(pred, arity, args.size());
  check_nodes(args);
  return std::make_shared<const PredicateApp>(std::move(pred), arity, std::move(args));
}

std::shared_ptr<const PredicateApp> PredicateApp::atom(const std::string& name) { return make(Symbol(name), 0, {}); }

Equality::Equality(NodePtr left, NodePtr right)
    : Formula(NodeKind::Equality), left_(std::move(left)), right_(std::move(right)) {
  hash_ = pyhash::of_tuple({class_hash(kind_), left_->hash(), right_->hash()});
  free_vars_ = union_free_vars({&left_, &right_});
}

Equality::~Equality() {
  NodeRelease::release(left_);
  NodeRelease::release(right_);
}

std::shared_ptr<const Equality> Equality::make(NodePtr left, NodePtr right) {
  if (!left || !right) throw TypeError("Equality sides must be term or formula nodes");
  return std::make_shared<const Equality>(std::move(left), std::move(right));
}

static void require_formula(const NodePtr& n, const char* cls, const char* field) {
  if (!n || !n->is_formula())
    throw TypeError(std::string(cls) + "." + field + " must be a Formula, got " +
                    (n ? n->class_name() : "None"));
}

Not::Not(NodePtr operand) : Formula(NodeKind::Not), operand_(std::move(operand)) {
  hash_ = pyhash::of_tuple({class_hash(kind_), operand_->hash()});
}

Not::~Not() { NodeRelease::release(operand_); }

std::shared_ptr<const Not> Not::make(NodePtr operand) {
  require_formula(operand, "Not", "operand");
  return std::make_shared<const Not>(std::move(operand));
}

BinaryFormula::BinaryFormula(NodeKind kind, NodePtr left, NodePtr right)
    : Formula(kind), left_(std::move(left)), right_(std::move(right)) {
  hash_ = pyhash::of_tuple({class_hash(kind_), left_->hash(), right_->hash()});
}

BinaryFormula::~BinaryFormula() {
  NodeRelease::release(left_);
  NodeRelease::release(right_);
}

std::shared_ptr<const BinaryFormula> BinaryFormula::make(NodeKind kind, NodePtr left, NodePtr right) {
  if (!is_binary(kind)) throw ValueError("not a binary connective");
  require_formula(left, node_class_name(kind), "left");
  require_formula(right, node_class_name(kind), "right");
  switch (kind) {
    case NodeKind::And: return std::make_shared<const And>(std::move(left), std::move(right));
    case NodeKind::Or: return std::make_shared<const Or>(std::move(left), std::move(right));
    case NodeKind::Implies: return std::make_shared<const Implies>(std::move(left), std::move(right));
    default: return std::make_shared<const Iff>(std::move(left), std::move(right));
  }
}

Quantifier::Quantifier(NodeKind kind, VariablePtr variable, NodePtr body)
    : Formula(kind), variable_(std::move(variable)), body_(std::move(body)) {
  hash_ = pyhash::of_tuple({class_hash(kind_), variable_->hash(), body_->hash()});
}

Quantifier::~Quantifier() {
  NodeRelease::release(variable_);
  NodeRelease::release(body_);
}

std::shared_ptr<const Quantifier> Quantifier::make(NodeKind kind, NodePtr variable, NodePtr body) {
  if (!is_quantifier(kind)) throw ValueError("not a first-order quantifier");
  if (!variable || variable->kind() != NodeKind::Variable)
    throw TypeError(std::string(node_class_name(kind)) + ".variable must be a Variable, got " +
                    (variable ? variable->class_name() : "None"));
  require_formula(body, node_class_name(kind), "body");
  auto var = as_ptr<Variable>(variable);
  if (kind == NodeKind::Forall) return std::make_shared<const Forall>(std::move(var), std::move(body));
  return std::make_shared<const Exists>(std::move(var), std::move(body));
}

SecondOrderQuantifier::SecondOrderQuantifier(NodeKind kind, SymbolVariablePtr variable, NodePtr body)
    : Formula(kind), variable_(std::move(variable)), body_(std::move(body)) {
  hash_ = pyhash::of_tuple({class_hash(kind_), variable_->hash(), body_->hash()});
}

SecondOrderQuantifier::~SecondOrderQuantifier() { NodeRelease::release(body_); }

std::shared_ptr<const SecondOrderQuantifier> SecondOrderQuantifier::make(NodeKind kind, SymbolVariablePtr variable,
                                                                         NodePtr body) {
  if (!is_second_order(kind)) throw ValueError("not a second-order quantifier");
  if (!variable) throw TypeError(std::string(node_class_name(kind)) + ".variable must be a symbol variable");
  require_formula(body, node_class_name(kind), "body");
  switch (kind) {
    case NodeKind::ForallPred: return std::make_shared<const ForallPred>(std::move(variable), std::move(body));
    case NodeKind::ExistsPred: return std::make_shared<const ExistsPred>(std::move(variable), std::move(body));
    case NodeKind::ForallFunc: return std::make_shared<const ForallFunc>(std::move(variable), std::move(body));
    default: return std::make_shared<const ExistsFunc>(std::move(variable), std::move(body));
  }
}

NodePtr make_and(NodePtr l, NodePtr r) { return BinaryFormula::make(NodeKind::And, std::move(l), std::move(r)); }
NodePtr make_or(NodePtr l, NodePtr r) { return BinaryFormula::make(NodeKind::Or, std::move(l), std::move(r)); }
NodePtr make_implies(NodePtr l, NodePtr r) {
  return BinaryFormula::make(NodeKind::Implies, std::move(l), std::move(r));
}
NodePtr make_iff(NodePtr l, NodePtr r) { return BinaryFormula::make(NodeKind::Iff, std::move(l), std::move(r)); }
NodePtr make_not(NodePtr operand) { return Not::make(std::move(operand)); }

const Application* as_application(const Node& n) {
  if (n.kind() == NodeKind::FunctionApp) return &static_cast<const FunctionApp&>(n);
  if (n.kind() == NodeKind::PredicateApp) return &static_cast<const PredicateApp&>(n);
  return nullptr;
}

std::vector<NodePtr> children(const Node& n) {
  switch (n.kind()) {
    case NodeKind::Variable:
    case NodeKind::Constant: return {};
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp: return as_application(n)->args();
    case NodeKind::Equality: return {as<Equality>(n).left(), as<Equality>(n).right()};
    case NodeKind::Not: return {as<Not>(n).operand()};
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
    case NodeKind::Iff: return {as<BinaryFormula>(n).left(), as<BinaryFormula>(n).right()};
    case NodeKind::Forall:
    case NodeKind::Exists: return {as<Quantifier>(n).variable(), as<Quantifier>(n).body()};
    default: return {as<SecondOrderQuantifier>(n).body()};
  }
}

// ---------------------------------------------------------------------------
// Equality: iterative, hashes first
// ---------------------------------------------------------------------------
// Compares the fields of two nodes of the same kind other than their
// children; the children are compared by the caller's work list.
static bool same_own_fields(const Node& a, const Node& b) {
  switch (a.kind()) {
    case NodeKind::Variable: {
      const auto &x = as<Variable>(a), &y = as<Variable>(b);
      return x.id() == y.id() && x.var_kind() == y.var_kind() && same_sort(x.sort(), y.sort());
    }
    case NodeKind::Constant: {
      const auto &x = as<Constant>(a), &y = as<Constant>(b);
      return x.name() == y.name() && same_sort(x.sort(), y.sort());
    }
    case NodeKind::FunctionApp: {
      const auto &x = as<FunctionApp>(a), &y = as<FunctionApp>(b);
      return same_sort(x.sort(), y.sort()) && x.func() == y.func() && x.arity() == y.arity() &&
             x.args().size() == y.args().size();
    }
    case NodeKind::PredicateApp: {
      const auto &x = as<PredicateApp>(a), &y = as<PredicateApp>(b);
      return x.pred() == y.pred() && x.arity() == y.arity() && x.args().size() == y.args().size();
    }
    case NodeKind::ForallPred:
    case NodeKind::ExistsPred:
    case NodeKind::ForallFunc:
    case NodeKind::ExistsFunc:
      return *as<SecondOrderQuantifier>(a).variable() == *as<SecondOrderQuantifier>(b).variable();
    default: return true;
  }
}

namespace {

struct NodePairHash {
  std::size_t operator()(const std::pair<const Node*, const Node*>& p) const {
    return std::hash<const Node*>()(p.first) * 1000003u ^ std::hash<const Node*>()(p.second);
  }
};

// After kPlainComparisonSteps pairs a comparison also remembers the pairs it
// has checked, so that two trees with shared subterms compare in the number
// of distinct pairs rather than the size of the unfolded trees.
using limits::kPlainComparisonSteps;

}  // namespace

bool equal(const Node& a, const Node& b) {
  if (&a == &b) return true;
  std::vector<std::pair<const Node*, const Node*>> work{{&a, &b}};
  std::unordered_set<std::pair<const Node*, const Node*>, NodePairHash> checked;
  std::size_t steps = 0;
  CORE_THREAD_LOCAL InterruptPoller poller{InterruptPoller::PerThread{}};  // one per thread: a comparison is short
  while (!work.empty()) {
    poller.poll();
    auto [x, y] = work.back();
    work.pop_back();
    if (x == y) continue;
    if (++steps > kPlainComparisonSteps && !checked.emplace(x, y).second) continue;
    if (x->kind() != y->kind() || x->hash() != y->hash() || !same_own_fields(*x, *y)) return false;
    switch (x->kind()) {
      case NodeKind::Variable:
      case NodeKind::Constant: break;
      case NodeKind::FunctionApp:
      case NodeKind::PredicateApp: {
        const auto& xa = as_application(*x)->args();
        const auto& ya = as_application(*y)->args();
        for (std::size_t i = xa.size(); i-- > 0;) work.emplace_back(xa[i].get(), ya[i].get());
        break;
      }
      case NodeKind::Equality:
        work.emplace_back(as<Equality>(*x).right().get(), as<Equality>(*y).right().get());
        work.emplace_back(as<Equality>(*x).left().get(), as<Equality>(*y).left().get());
        break;
      case NodeKind::Not: work.emplace_back(as<Not>(*x).operand().get(), as<Not>(*y).operand().get()); break;
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Implies:
      case NodeKind::Iff:
        work.emplace_back(as<BinaryFormula>(*x).right().get(), as<BinaryFormula>(*y).right().get());
        work.emplace_back(as<BinaryFormula>(*x).left().get(), as<BinaryFormula>(*y).left().get());
        break;
      case NodeKind::Forall:
      case NodeKind::Exists:
        work.emplace_back(as<Quantifier>(*x).body().get(), as<Quantifier>(*y).body().get());
        work.emplace_back(as<Quantifier>(*x).variable().get(), as<Quantifier>(*y).variable().get());
        break;
      default:
        work.emplace_back(as<SecondOrderQuantifier>(*x).body().get(), as<SecondOrderQuantifier>(*y).body().get());
        break;
    }
  }
  return true;
}

bool equal(const NodePtr& a, const NodePtr& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return equal(*a, *b);
}


}  // namespace core
