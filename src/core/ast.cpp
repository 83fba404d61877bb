#include "core/ast.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "core/interrupt.hpp"
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
static const VarSetPtr& empty_var_set() {
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

// After this many pairs a comparison also remembers the pairs it has
// checked, so that two trees with shared subterms compare in the number of
// distinct pairs rather than the size of the unfolded trees.
constexpr std::size_t kPlainComparisonSteps = 4096;

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


// ---------------------------------------------------------------------------
// Text form
// ---------------------------------------------------------------------------
namespace {

// The text form is written without recursion, so that an error message that
// shows a deep term (an occur-check failure, say) never fails for its depth:
// the pieces still to write wait on a stack, last first, each a node to
// render or a text to copy.
class ReprWriter {
 public:
  std::string write(const Node& root) {
    todo_.push_back({&root, {}});
    while (!todo_.empty()) {
      Piece piece = std::move(todo_.back());
      todo_.pop_back();
      if (piece.node) {
        poller_.poll();
        render(*piece.node);
      } else {
        out_ += piece.text;
      }
    }
    return std::move(out_);
  }

 private:
  struct Piece {
    const Node* node = nullptr;  // null: copy `text`
    std::string text;
  };

  // Writes the node's own text and schedules its children in the order given.
  void render(const Node& n) {
    out_ += n.class_name();
    out_ += "(";
    std::vector<Piece> rest;
    auto text = [&](std::string t) { rest.push_back({nullptr, std::move(t)}); };
    auto node = [&](const NodePtr& c) { rest.push_back({c.get(), {}}); };
    auto args = [&](const std::vector<NodePtr>& items) {
      text("(");
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) text(", ");
        node(items[i]);
      }
      text(items.size() == 1 ? ",)" : ")");
    };
    switch (n.kind()) {
      case NodeKind::Variable: {
        const auto& v = as<Variable>(n);
        const char* k = variable_kind_name(v.var_kind());
        out_ += "sort=" + v.sort()->repr() + ", id=" + std::to_string(v.id()) + ", kind=<VariableKind." + k + ": '" +
                k + "'>";
        break;
      }
      case NodeKind::Constant: {
        const auto& c = as<Constant>(n);
        out_ += "sort=" + c.sort()->repr() + ", name=" + py_quote(c.name());
        break;
      }
      case NodeKind::FunctionApp: {
        const auto& f = as<FunctionApp>(n);
        out_ += "sort=" + f.sort()->repr() + ", func=" + f.func().repr() + ", arity=" + std::to_string(f.arity()) +
                ", args=";
        args(f.args());
        text(", return_sort=" + f.return_sort()->repr());
        break;
      }
      case NodeKind::PredicateApp: {
        const auto& a = as<PredicateApp>(n);
        out_ += "pred=" + a.pred().repr() + ", arity=" + std::to_string(a.arity()) + ", args=";
        args(a.args());
        break;
      }
      case NodeKind::Equality:
        text("left=");
        node(as<Equality>(n).left());
        text(", right=");
        node(as<Equality>(n).right());
        break;
      case NodeKind::Not:
        text("operand=");
        node(as<Not>(n).operand());
        break;
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Implies:
      case NodeKind::Iff:
        text("left=");
        node(as<BinaryFormula>(n).left());
        text(", right=");
        node(as<BinaryFormula>(n).right());
        break;
      case NodeKind::Forall:
      case NodeKind::Exists:
        text("variable=");
        node(as<Quantifier>(n).variable());
        text(", body=");
        node(as<Quantifier>(n).body());
        break;
      default:
        text("variable=" + as<SecondOrderQuantifier>(n).variable()->repr() + ", body=");
        node(as<SecondOrderQuantifier>(n).body());
        break;
    }
    text(")");
    for (auto it = rest.rbegin(); it != rest.rend(); ++it) todo_.push_back(std::move(*it));
  }

  std::string out_;
  std::vector<Piece> todo_;
  InterruptPoller poller_;
};

}  // namespace

std::string repr(const Node& n) { return ReprWriter().write(n); }

// ---------------------------------------------------------------------------
// Variable sets and measures
// ---------------------------------------------------------------------------
// Each walk remembers its results for shared children (SharedNodeMemo), so
// that every distinct subterm is walked once.
namespace {

// Calls `visit` on each direct subformula of a compound formula, left to
// right (terms and atoms have none).
template <typename Visit>
void for_each_subformula(const Node& n, Visit visit) {
  switch (n.kind()) {
    case NodeKind::Not: visit(as<Not>(n).operand()); break;
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
    case NodeKind::Iff:
      visit(as<BinaryFormula>(n).left());
      visit(as<BinaryFormula>(n).right());
      break;
    case NodeKind::Forall:
    case NodeKind::Exists: visit(as<Quantifier>(n).body()); break;
    case NodeKind::ForallPred:
    case NodeKind::ExistsPred:
    case NodeKind::ForallFunc:
    case NodeKind::ExistsFunc: visit(as<SecondOrderQuantifier>(n).body()); break;
    default: break;
  }
}

class BoundVariables {
 public:
  void collect(const Node& n, VarSet& out) {
    RecursionGuard guard;
    if (is_quantifier(n.kind())) out.insert(as<Quantifier>(n).variable());
    for_each_subformula(n, [&](const NodePtr& c) { child(c, out); });
  }

 private:
  // A shared compound child's set is collected once and then read from the
  // memo; atoms and unshared children go straight in.
  void child(const NodePtr& c, VarSet& out) {
    if (c.use_count() <= 1 || c->kind() <= NodeKind::Equality) return collect(*c, out);
    if (const VarSet* known = memo_.find(c)) return out.insert_all(*known);
    VarSet own;
    collect(*c, own);
    out.insert_all(memo_.store(c, std::move(own)));
  }

  SharedNodeMemo<VarSet> memo_;
};

class Depth {
 public:
  std::int64_t of(const Node& n) {
    RecursionGuard guard;
    switch (n.kind()) {
      case NodeKind::PredicateApp:
      case NodeKind::Equality: return 1;
      case NodeKind::Not: return 1 + child(as<Not>(n).operand());
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Implies:
      case NodeKind::Iff: {
        std::int64_t right = child(as<BinaryFormula>(n).right());
        std::int64_t left = child(as<BinaryFormula>(n).left());
        return 1 + std::max(left, right);
      }
      case NodeKind::Forall:
      case NodeKind::Exists: return 1 + child(as<Quantifier>(n).body());
      case NodeKind::Variable:
      case NodeKind::Constant:
      case NodeKind::FunctionApp: throw InvalidFormulaError("Expected Formula, got " + class_text(n.kind()));
      default: return 1 + child(as<SecondOrderQuantifier>(n).body());
    }
  }

 private:
  std::int64_t child(const NodePtr& c) {
    if (const std::int64_t* known = memo_.find(c)) return *known;
    return memo_.store(c, of(*c));
  }

  SharedNodeMemo<std::int64_t> memo_;
};

class Size {
 public:
  NodeCount formula(const Node& n) {
    RecursionGuard guard;
    NodeCount total(1);
    switch (n.kind()) {
      case NodeKind::PredicateApp:
        for (const auto& a : as<PredicateApp>(n).args()) total += term(a);
        return total;
      case NodeKind::Equality:
        total += term(as<Equality>(n).left());
        total += term(as<Equality>(n).right());
        return total;
      case NodeKind::Not: return total += formula_child(as<Not>(n).operand());
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Implies:
      case NodeKind::Iff:
        total += formula_child(as<BinaryFormula>(n).left());
        return total += formula_child(as<BinaryFormula>(n).right());
      case NodeKind::Forall:
      case NodeKind::Exists:
        total += NodeCount(1);  // the bound variable
        return total += formula_child(as<Quantifier>(n).body());
      case NodeKind::Variable:
      case NodeKind::Constant:
      case NodeKind::FunctionApp: throw InvalidFormulaError("Expected Formula, got " + class_text(n.kind()));
      default: return total += formula_child(as<SecondOrderQuantifier>(n).body());
    }
  }

 private:
  NodeCount term(const NodePtr& t) {
    RecursionGuard guard;
    switch (t->kind()) {
      case NodeKind::Variable:
      case NodeKind::Constant: return NodeCount(1);
      case NodeKind::FunctionApp: {
        if (const NodeCount* known = terms_.find(t)) return *known;
        NodeCount total(1);
        for (const auto& a : as<FunctionApp>(*t).args()) total += term(a);
        return terms_.store(t, std::move(total));
      }
      default: throw InvalidFormulaError("Expected Term, got " + class_text(t->kind()));
    }
  }

  NodeCount formula_child(const NodePtr& c) {
    if (const NodeCount* known = formulas_.find(c)) return *known;
    return formulas_.store(c, formula(*c));
  }

  // Apart, because a formula standing as a term argument is refused there
  // and measured as a formula elsewhere.
  SharedNodeMemo<NodeCount> terms_, formulas_;
};

}  // namespace

VarSetPtr FreeVariableWalk::of(const NodePtr& node) {
  switch (node->kind()) {
    case NodeKind::Variable: {
      auto one = std::make_shared<VarSet>();
      one->insert(as_ptr<Variable>(node));
      return one;
    }
    case NodeKind::Constant: return empty_var_set();
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp: return as_application(*node)->free_vars();
    case NodeKind::Equality: return as<Equality>(*node).free_vars();
    default: break;
  }
  auto known = memo_.find(node);
  if (known != memo_.end()) return known->second;
  VarSetPtr set = of_formula(node);
  if (remembers(node)) memo_.emplace(node, set);
  return set;
}

// A formula with one child shares the child's set where it can; a binary
// formula collects both sides into one new set.
VarSetPtr FreeVariableWalk::of_formula(const NodePtr& formula) {
  RecursionGuard guard;
  const Node& n = *formula;
  switch (n.kind()) {
    case NodeKind::Not: return of(as<Not>(n).operand());
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
    case NodeKind::Iff: {
      auto both = std::make_shared<VarSet>();
      collect(formula, *both);
      return both;
    }
    case NodeKind::Forall:
    case NodeKind::Exists: {
      const auto& q = as<Quantifier>(n);
      VarSetPtr body = of(q.body());
      if (!body->contains(q.variable())) return body;
      auto without = std::make_shared<VarSet>(*body);
      without->erase(q.variable());
      return without;
    }
    default: return of(as<SecondOrderQuantifier>(n).body());
  }
}

void FreeVariableWalk::collect(const NodePtr& node, VarSet& out) {
  RecursionGuard guard;
  const Node& n = *node;
  switch (n.kind()) {
    case NodeKind::Variable: out.insert(as_ptr<Variable>(node)); break;
    case NodeKind::Constant: break;
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp: out.insert_all(*as_application(n)->free_vars()); break;
    case NodeKind::Equality: out.insert_all(*as<Equality>(n).free_vars()); break;
    case NodeKind::Forall:
    case NodeKind::Exists: {
      VarSet inner;
      child(as<Quantifier>(n).body(), inner);
      inner.erase(as<Quantifier>(n).variable());
      out.insert_all(inner);
      break;
    }
    default: for_each_subformula(n, [&](const NodePtr& c) { child(c, out); }); break;
  }
}

void FreeVariableWalk::child(const NodePtr& c, VarSet& out) {
  if (remembers(c)) return out.insert_all(*of(c));
  collect(c, out);
}

VarSet free_variables(const NodePtr& n) {
  VarSet out;
  FreeVariableWalk().collect(n, out);
  return out;
}

VarSet bound_variables(const Node& n) {
  VarSet out;
  BoundVariables().collect(n, out);
  return out;
}

std::int64_t formula_depth(const Node& n) { return Depth().of(n); }

NodeCount formula_size_exact(const Node& n) { return Size().formula(n); }

// Counted without recursion, so that the messages that report a size (or
// decide by it whether to show a term) never fail for the term's depth:
// a post-order walk on an explicit stack, remembering each shared node's count.
NodeCount node_size_exact(const Node& root) {
  struct Item {
    const Node* node;
    bool shared;    // has other owners: its count is remembered
    bool counted;   // its children's counts lie on `counts`
  };
  std::vector<Item> todo{{&root, false, false}};
  std::vector<NodeCount> counts;
  std::unordered_map<const Node*, NodeCount> known;
  InterruptPoller poller;
  while (!todo.empty()) {
    Item item = todo.back();
    todo.pop_back();
    poller.poll();
    if (!item.counted) {
      if (item.shared) {
        auto it = known.find(item.node);
        if (it != known.end()) {
          counts.push_back(it->second);
          continue;
        }
      }
      todo.push_back({item.node, item.shared, true});
      for_each_child(*item.node, [&](const NodePtr& c) { todo.push_back({c.get(), c.use_count() > 1, false}); });
      continue;
    }
    std::size_t arity = 0;
    for_each_child(*item.node, [&](const NodePtr&) { ++arity; });
    NodeCount total(1);
    for (std::size_t i = counts.size() - arity; i < counts.size(); ++i) total += counts[i];
    counts.resize(counts.size() - arity);
    if (item.shared) known.emplace(item.node, total);
    counts.push_back(std::move(total));
  }
  return std::move(counts.back());
}

namespace {
bool within_print_limit(const NodeCount& size) { return size.fits_int64() && size.to_int64() <= kMaxPrintedNodes; }
}  // namespace

bool printable(const Node& n) { return within_print_limit(node_size_exact(n)); }

void require_printable(const Node& n) {
  NodeCount size = node_size_exact(n);
  if (!within_print_limit(size)) throw TooLargeToPrint("formula too large to print: " + size.decimal() + " nodes as a tree");
}

std::int64_t formula_size(const Node& n) {
  NodeCount count = formula_size_exact(n);
  if (!count.fits_int64()) throw std::overflow_error("formula_size: the count " + count.decimal() + " exceeds 64 bits");
  return count.to_int64();
}

// ---------------------------------------------------------------------------
// Canonical renaming of bound variables
// ---------------------------------------------------------------------------
namespace {

// Hands out 0, 1, 2, ... skipping the reserved identifiers.
class IndexGenerator {
 public:
  explicit IndexGenerator(std::unordered_set<std::int64_t> reserved) : reserved_(std::move(reserved)) {}
  std::int64_t get_next() {
    while (reserved_.count(current_)) ++current_;
    return current_++;
  }
  std::int64_t current() const { return current_; }

 private:
  std::unordered_set<std::int64_t> reserved_;
  std::int64_t current_ = 0;
};

// Environment: bound variable -> canonical variable, innermost binding last.
using Environment = std::vector<std::pair<VariablePtr, VariablePtr>>;

class Canonicalizer {
 public:
  explicit Canonicalizer(std::unordered_set<std::int64_t> reserved) : counter_(std::move(reserved)) {}

  NodePtr formula(const NodePtr& f) {
    return remembered(f, [&] { return rename(f); });
  }

 private:
  // A shared subformula or subterm without quantifiers renames the same way
  // wherever the environment is the same, so its result is kept for that
  // environment; one with quantifiers draws new numbers at every occurrence.
  template <class Compute>
  NodePtr remembered(const NodePtr& f, const Compute& compute) {
    const bool shared = f.use_count() > 1;
    if (shared)
      if (auto it = memo_.find(f.get()); it != memo_.end() && it->second.first == env_version_) return it->second.second;
    const std::int64_t drawn = counter_.current();
    NodePtr out = compute();
    if (shared && counter_.current() == drawn) memo_.insert_or_assign(f.get(), std::make_pair(env_version_, out));
    return out;
  }

  NodePtr rename(const NodePtr& f) {
    RecursionGuard guard;
    const Node& n = *f;
    switch (n.kind()) {
      case NodeKind::PredicateApp: {
        const auto& p = as<PredicateApp>(n);
        return PredicateApp::make(p.pred(), p.arity(), terms(p.args()));
      }
      case NodeKind::Equality:
        return Equality::make(term(as<Equality>(n).left()), term(as<Equality>(n).right()));
      case NodeKind::Not: return Not::make(formula(as<Not>(n).operand()));
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Implies:
      case NodeKind::Iff: {
        NodePtr left = formula(as<BinaryFormula>(n).left());
        return BinaryFormula::make(n.kind(), left, formula(as<BinaryFormula>(n).right()));
      }
      case NodeKind::Forall:
      case NodeKind::Exists: {
        const auto& q = as<Quantifier>(n);
        const auto& old = q.variable();
        VariablePtr fresh = Variable::make(counter_.get_next(), old->var_kind(), old->sort());
        env_.emplace_back(old, fresh);
        ++env_version_;
        NodePtr body;
        try {
          body = formula(q.body());
        } catch (...) {
          env_.pop_back();
          throw;
        }
        env_.pop_back();
        ++env_version_;
        return Quantifier::make(n.kind(), fresh, body);
      }
      case NodeKind::ForallPred:
      case NodeKind::ExistsPred:
      case NodeKind::ForallFunc:
      case NodeKind::ExistsFunc: {
        const auto& q = as<SecondOrderQuantifier>(n);
        return SecondOrderQuantifier::make(n.kind(), q.variable(), formula(q.body()));
      }
      default: throw InvalidFormulaError("Unsupported Formula node: " + class_text(n.kind()));
    }
  }

 private:
  std::vector<NodePtr> terms(const std::vector<NodePtr>& ts) {
    std::vector<NodePtr> out;
    out.reserve(ts.size());
    for (const auto& t : ts) out.push_back(term(t));
    return out;
  }

  // Arguments that are themselves formulas are renamed too, so that no
  // bound occurrence inside them can turn free.
  NodePtr term(const NodePtr& t) {
    RecursionGuard guard;
    switch (t->kind()) {
      case NodeKind::Variable:
        for (auto it = env_.rbegin(); it != env_.rend(); ++it)
          if (equal(*it->first, *t)) return it->second;
        return t;
      case NodeKind::Constant: return t;
      case NodeKind::FunctionApp:
        return remembered(t, [&] {
          const auto& f = as<FunctionApp>(*t);
          return FunctionApp::make(f.func(), f.arity(), terms(f.args()), f.return_sort());
        });
      default: return formula(t);
    }
  }

  IndexGenerator counter_;
  Environment env_;
  std::uint64_t env_version_ = 0;  // changes whenever env_ does
  std::unordered_map<const Node*, std::pair<std::uint64_t, NodePtr>> memo_;
};

}  // namespace

NodePtr canonicalize_bound_variables(const NodePtr& f) {
  std::unordered_set<std::int64_t> free_ids;
  for (const auto& v : free_variables(f)) free_ids.insert(v->id());
  if (f->is_term()) throw InvalidFormulaError("Unsupported Formula node: " + class_text(f->kind()));
  Canonicalizer c(std::move(free_ids));
  return c.formula(f);
}

}  // namespace core
