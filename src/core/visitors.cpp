#include "core/visitors.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
#include <stdexcept>
#include <typeinfo>

namespace core {

void unsupported_node(const std::string& class_name) {
  throw TypeError("Unsupported AST node type: " + class_name);
}

std::int64_t fresh_id_after(std::int64_t id, const char* what) {
  if (id == std::numeric_limits<std::int64_t>::max())
    throw ValueError(std::string("No fresh ") + what + " above " + std::to_string(id));
  return id + 1;
}

namespace {
std::atomic<bool> g_rebuild_assertions{true};
}  // namespace

void set_rebuild_assertions(bool enabled) { g_rebuild_assertions.store(enabled, std::memory_order_relaxed); }

void require_term(const NodePtr& node) {
  if (!g_rebuild_assertions.load(std::memory_order_relaxed)) return;
  if (!node || !node->is_term()) throw AssertionFailure();
}

void require_formula(const NodePtr& node) {
  if (!g_rebuild_assertions.load(std::memory_order_relaxed)) return;
  if (!node || !node->is_formula()) throw AssertionFailure();
}

void require_variable(const NodePtr& node) {
  if (!g_rebuild_assertions.load(std::memory_order_relaxed)) return;
  if (!node || node->kind() != NodeKind::Variable) throw AssertionFailure();
}

// ---------------------------------------------------------------------------
// ASTTransformer
// ---------------------------------------------------------------------------

NodePtr ASTTransformer::visit_variable(const NodeRef<Variable>& node) { return node; }
NodePtr ASTTransformer::visit_constant(const NodeRef<Constant>& node) { return node; }

bool ASTTransformer::transform_arguments(const Application& app, std::vector<NodePtr>& new_args) {
  new_args.reserve(app.args().size());
  for (const auto& arg : app.args()) new_args.push_back(visit(arg));
  return !std::equal(new_args.begin(), new_args.end(), app.args().begin());
}

// The new arguments that are terms, in order; anything else is left out, so
// that the arity check of the rebuilt application refuses the node.
static std::vector<NodePtr> term_arguments(std::vector<NodePtr> args) {
  std::erase_if(args, [](const NodePtr& a) { return !a || !a->is_term(); });
  return args;
}

NodePtr ASTTransformer::visit_function_app(const NodeRef<FunctionApp>& node) {
  std::vector<NodePtr> args;
  if (!transform_arguments(*node, args)) return node;
  return FunctionApp::make(node->func(), node->arity(), term_arguments(std::move(args)), node->return_sort());
}

NodePtr ASTTransformer::visit_predicate_app(const NodeRef<PredicateApp>& node) {
  std::vector<NodePtr> args;
  if (!transform_arguments(*node, args)) return node;
  return PredicateApp::make(node->pred(), node->arity(), term_arguments(std::move(args)));
}

NodePtr ASTTransformer::visit_equality(const NodeRef<Equality>& node) {
  NodePtr left = visit(node->left());
  NodePtr right = visit(node->right());
  if (left == node->left() && right == node->right()) return node;
  require_term(left);
  require_term(right);
  return Equality::make(std::move(left), std::move(right));
}

NodePtr ASTTransformer::visit_not(const NodeRef<Not>& node) {
  NodePtr operand = visit(node->operand());
  if (operand == node->operand()) return node;
  require_formula(operand);
  return Not::make(std::move(operand));
}

NodePtr ASTTransformer::rebuild_binary(const NodeRef<BinaryFormula>& node) {
  NodePtr left = visit(node->left());
  NodePtr right = visit(node->right());
  if (left == node->left() && right == node->right()) return node;
  require_formula(left);
  require_formula(right);
  return BinaryFormula::make(node->kind(), std::move(left), std::move(right));
}

NodePtr ASTTransformer::visit_and(const NodeRef<And>& node) { return rebuild_binary(node); }
NodePtr ASTTransformer::visit_or(const NodeRef<Or>& node) { return rebuild_binary(node); }
NodePtr ASTTransformer::visit_implies(const NodeRef<Implies>& node) { return rebuild_binary(node); }
NodePtr ASTTransformer::visit_iff(const NodeRef<Iff>& node) { return rebuild_binary(node); }

NodePtr ASTTransformer::rebuild_quantifier(const NodeRef<Quantifier>& node) {
  NodePtr variable = visit(node->variable());
  NodePtr body = visit(node->body());
  if (variable == node->variable() && body == node->body()) return node;
  require_variable(variable);
  require_formula(body);
  return Quantifier::make(node->kind(), std::move(variable), std::move(body));
}

NodePtr ASTTransformer::visit_forall(const NodeRef<Forall>& node) { return rebuild_quantifier(node); }
NodePtr ASTTransformer::visit_exists(const NodeRef<Exists>& node) { return rebuild_quantifier(node); }

NodePtr ASTTransformer::rebuild_second_order(const NodeRef<SecondOrderQuantifier>& node) {
  NodePtr body = visit(node->body());
  if (body == node->body()) return node;
  require_formula(body);
  return SecondOrderQuantifier::make(node->kind(), node->variable(), std::move(body));
}

NodePtr ASTTransformer::visit_forall_pred(const NodeRef<ForallPred>& node) { return rebuild_second_order(node); }
NodePtr ASTTransformer::visit_exists_pred(const NodeRef<ExistsPred>& node) { return rebuild_second_order(node); }
NodePtr ASTTransformer::visit_forall_func(const NodeRef<ForallFunc>& node) { return rebuild_second_order(node); }
NodePtr ASTTransformer::visit_exists_func(const NodeRef<ExistsFunc>& node) { return rebuild_second_order(node); }

// ---------------------------------------------------------------------------
// Measure
// ---------------------------------------------------------------------------

Measure Measure::of(BigInt value) {
  if (value.fits_int64()) return Measure(value.to_int64());
  Measure out;
  out.extra_ = std::make_shared<const Extra>(Extra{std::move(value), nullptr});
  return out;
}

Measure Measure::add_slowly(const Measure& a, const Measure& b) {
  if (a.host() || b.host()) return (a.host() ? a.host() : b.host())->plus(a, b);
  return Measure::of(a.integer() + b.integer());
}

Measure Measure::larger_slowly(const Measure& current, const Measure& candidate) {
  if (current.host() || candidate.host())
    return (current.host() ? current.host() : candidate.host())->larger(current, candidate);
  return candidate.integer() > current.integer() ? candidate : current;
}

bool operator==(const Measure& a, const Measure& b) {
  if (a.host() || b.host()) return a.host() == b.host();
  if (a.is_small() != b.is_small()) return false;
  return a.is_small() ? a.small_ == b.small_ : *a.wide() == *b.wide();
}

std::string Measure::to_string() const {
  if (host()) return "<host value>";
  return is_small() ? std::to_string(small_) : wide()->decimal();
}

// ---------------------------------------------------------------------------
// DepthVisitor
// ---------------------------------------------------------------------------

namespace {

Measure one_more(const Measure& measure) { return Measure(1) + measure; }

// Calls `f` with each child of a node that the measures count, the bound
// variable of a first-order quantifier included (its depth, 1, never
// decides the depth of the quantifier).
template <class F>
void for_each_measured_child(const Node& n, const F& f) {
  switch (n.kind()) {
    case NodeKind::Variable:
    case NodeKind::Constant: return;
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp:
      for (const auto& arg : as_application(n)->args()) f(*arg);
      return;
    case NodeKind::Equality: f(*as<Equality>(n).left()), f(*as<Equality>(n).right()); return;
    case NodeKind::Not: f(*as<Not>(n).operand()); return;
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
    case NodeKind::Iff: f(*as<BinaryFormula>(n).left()), f(*as<BinaryFormula>(n).right()); return;
    case NodeKind::Forall:
    case NodeKind::Exists: f(*as<Quantifier>(n).variable()), f(*as<Quantifier>(n).body()); return;
    default: f(*as<SecondOrderQuantifier>(n).body()); return;
  }
}

// The depth or size of a tree by direct recursion, for a measure that runs
// its own operations: no virtual call and no Measure per node.  Gives up
// (null) after a bounded number of steps, so that a heavily shared formula
// goes the way that measures each shared subtree once; within the bound no
// sum can leave the 64-bit range.
class QuickMeasure {
 public:
  enum class Rule { Deepest, Sum };
  explicit QuickMeasure(Rule rule) : rule_(rule) {}

  std::optional<std::int64_t> of(const NodePtr& node) {
    if (!node) return std::nullopt;
    try {
      return measure(*node);
    } catch (const OverBudget&) {
      return std::nullopt;
    }
  }

 private:
  struct OverBudget {};

  std::int64_t measure(const Node& n) {
    if (++steps_ > limits::kQuickMeasureSteps) throw OverBudget{};
    RecursionGuard guard;
    std::int64_t combined = 0;
    for_each_measured_child(n, [&](const Node& child) {
      std::int64_t m = measure(child);
      combined = rule_ == Rule::Sum ? combined + m : std::max(combined, m);
    });
    return combined + 1;
  }

  Rule rule_;
  std::int64_t steps_ = 0;
};

}  // namespace

Measure DepthVisitor::visit(const NodePtr& node) {
  return memo_.visit(
      node, runs_own_operations(*this), [&] { return QuickMeasure(QuickMeasure::Rule::Deepest).of(node); },
      [&] { return dispatch(node); });
}

// The rule of max(): the first argument's measure, replaced by each later
// one that is greater.
Measure DepthVisitor::deepest_argument(const Application& app) {
  if (app.args().empty()) return 1;
  Measure deepest = visit(app.args().front());
  for (std::size_t i = 1; i < app.args().size(); ++i) deepest = Measure::larger(deepest, visit(app.args()[i]));
  return one_more(deepest);
}

Measure DepthVisitor::deeper_side(const NodePtr& left, const NodePtr& right) {
  Measure l = visit(left);
  return one_more(Measure::larger(l, visit(right)));
}

Measure DepthVisitor::visit_variable(const NodeRef<Variable>&) { return 1; }
Measure DepthVisitor::visit_constant(const NodeRef<Constant>&) { return 1; }
Measure DepthVisitor::visit_function_app(const NodeRef<FunctionApp>& node) { return deepest_argument(*node); }
Measure DepthVisitor::visit_predicate_app(const NodeRef<PredicateApp>& node) { return deepest_argument(*node); }
Measure DepthVisitor::visit_equality(const NodeRef<Equality>& node) { return deeper_side(node->left(), node->right()); }
Measure DepthVisitor::visit_not(const NodeRef<Not>& node) { return one_more(visit(node->operand())); }
Measure DepthVisitor::visit_and(const NodeRef<And>& node) { return deeper_side(node->left(), node->right()); }
Measure DepthVisitor::visit_or(const NodeRef<Or>& node) { return deeper_side(node->left(), node->right()); }
Measure DepthVisitor::visit_implies(const NodeRef<Implies>& node) { return deeper_side(node->left(), node->right()); }
Measure DepthVisitor::visit_iff(const NodeRef<Iff>& node) { return deeper_side(node->left(), node->right()); }
Measure DepthVisitor::visit_forall(const NodeRef<Forall>& node) { return one_more(visit(node->body())); }
Measure DepthVisitor::visit_exists(const NodeRef<Exists>& node) { return one_more(visit(node->body())); }
Measure DepthVisitor::visit_forall_pred(const NodeRef<ForallPred>& node) { return one_more(visit(node->body())); }
Measure DepthVisitor::visit_exists_pred(const NodeRef<ExistsPred>& node) { return one_more(visit(node->body())); }
Measure DepthVisitor::visit_forall_func(const NodeRef<ForallFunc>& node) { return one_more(visit(node->body())); }
Measure DepthVisitor::visit_exists_func(const NodeRef<ExistsFunc>& node) { return one_more(visit(node->body())); }

// ---------------------------------------------------------------------------
// SizeVisitor
// ---------------------------------------------------------------------------

Measure SizeVisitor::visit(const NodePtr& node) {
  return memo_.visit(
      node, runs_own_operations(*this), [&] { return QuickMeasure(QuickMeasure::Rule::Sum).of(node); },
      [&] { return dispatch(node); });
}

Measure SizeVisitor::argument_sizes(const Application& app) {
  Measure total = 0;
  for (const auto& arg : app.args()) total = total + visit(arg);
  return one_more(total);
}

Measure SizeVisitor::both_sides(const NodePtr& left, const NodePtr& right) {
  Measure l = one_more(visit(left));
  return l + visit(right);
}

Measure SizeVisitor::visit_variable(const NodeRef<Variable>&) { return 1; }
Measure SizeVisitor::visit_constant(const NodeRef<Constant>&) { return 1; }
Measure SizeVisitor::visit_function_app(const NodeRef<FunctionApp>& node) { return argument_sizes(*node); }
Measure SizeVisitor::visit_predicate_app(const NodeRef<PredicateApp>& node) { return argument_sizes(*node); }
Measure SizeVisitor::visit_equality(const NodeRef<Equality>& node) { return both_sides(node->left(), node->right()); }
Measure SizeVisitor::visit_not(const NodeRef<Not>& node) { return one_more(visit(node->operand())); }
Measure SizeVisitor::visit_and(const NodeRef<And>& node) { return both_sides(node->left(), node->right()); }
Measure SizeVisitor::visit_or(const NodeRef<Or>& node) { return both_sides(node->left(), node->right()); }
Measure SizeVisitor::visit_implies(const NodeRef<Implies>& node) { return both_sides(node->left(), node->right()); }
Measure SizeVisitor::visit_iff(const NodeRef<Iff>& node) { return both_sides(node->left(), node->right()); }
Measure SizeVisitor::visit_forall(const NodeRef<Forall>& node) { return both_sides(node->variable(), node->body()); }
Measure SizeVisitor::visit_exists(const NodeRef<Exists>& node) { return both_sides(node->variable(), node->body()); }
Measure SizeVisitor::visit_forall_pred(const NodeRef<ForallPred>& node) { return one_more(visit(node->body())); }
Measure SizeVisitor::visit_exists_pred(const NodeRef<ExistsPred>& node) { return one_more(visit(node->body())); }
Measure SizeVisitor::visit_forall_func(const NodeRef<ForallFunc>& node) { return one_more(visit(node->body())); }
Measure SizeVisitor::visit_exists_func(const NodeRef<ExistsFunc>& node) { return one_more(visit(node->body())); }

// ---------------------------------------------------------------------------
// FreeVariableCollector
// ---------------------------------------------------------------------------

FreeVariables FreeVariables::unite(FreeVariables a, const FreeVariables& b) {
  if (a.host_ || b.host_) return (a.host_ ? a.host_ : b.host_)->unite(a, b);
  a.vars_.insert_all(b.vars_);
  return a;
}

FreeVariables FreeVariables::without(FreeVariables a, const VariablePtr& var) {
  if (a.host_) return a.host_->without(a, var);
  a.vars_.erase(var);
  return a;
}

FreeVariables FreeVariableCollector::visit(const NodePtr& node) {
  auto quick = [&]() -> std::optional<FreeVariables> {
    if (!node) return std::nullopt;
    return free_variables(node);
  };
  return memo_.visit(node, runs_own_operations(*this), quick, [&] { return dispatch(node); });
}

FreeVariables FreeVariableCollector::union_of(const NodePtr& left, const NodePtr& right) {
  FreeVariables l = visit(left);
  return FreeVariables::unite(std::move(l), visit(right));
}

FreeVariables FreeVariableCollector::of_arguments(const Application& app) {
  FreeVariables out = VarSet();
  for (const auto& arg : app.args()) out = FreeVariables::unite(std::move(out), visit(arg));
  return out;
}

FreeVariables FreeVariableCollector::without_bound(const Quantifier& q) {
  return FreeVariables::without(visit(q.body()), q.variable());
}

FreeVariables FreeVariableCollector::visit_variable(const NodeRef<Variable>& node) {
  VarSet out;
  out.insert(node);
  return out;
}
FreeVariables FreeVariableCollector::visit_constant(const NodeRef<Constant>&) { return VarSet(); }
FreeVariables FreeVariableCollector::visit_function_app(const NodeRef<FunctionApp>& node) {
  return of_arguments(*node);
}
FreeVariables FreeVariableCollector::visit_predicate_app(const NodeRef<PredicateApp>& node) {
  return of_arguments(*node);
}
FreeVariables FreeVariableCollector::visit_equality(const NodeRef<Equality>& node) {
  return union_of(node->left(), node->right());
}
FreeVariables FreeVariableCollector::visit_not(const NodeRef<Not>& node) { return visit(node->operand()); }
FreeVariables FreeVariableCollector::visit_and(const NodeRef<And>& node) { return union_of(node->left(), node->right()); }
FreeVariables FreeVariableCollector::visit_or(const NodeRef<Or>& node) { return union_of(node->left(), node->right()); }
FreeVariables FreeVariableCollector::visit_implies(const NodeRef<Implies>& node) {
  return union_of(node->left(), node->right());
}
FreeVariables FreeVariableCollector::visit_iff(const NodeRef<Iff>& node) { return union_of(node->left(), node->right()); }
FreeVariables FreeVariableCollector::visit_forall(const NodeRef<Forall>& node) { return without_bound(*node); }
FreeVariables FreeVariableCollector::visit_exists(const NodeRef<Exists>& node) { return without_bound(*node); }
FreeVariables FreeVariableCollector::visit_forall_pred(const NodeRef<ForallPred>& node) { return visit(node->body()); }
FreeVariables FreeVariableCollector::visit_exists_pred(const NodeRef<ExistsPred>& node) { return visit(node->body()); }
FreeVariables FreeVariableCollector::visit_forall_func(const NodeRef<ForallFunc>& node) { return visit(node->body()); }
FreeVariables FreeVariableCollector::visit_exists_func(const NodeRef<ExistsFunc>& node) { return visit(node->body()); }

// ---------------------------------------------------------------------------
// ExportVisitor
// ---------------------------------------------------------------------------

ExportVisitor::ExportVisitor(std::string notation) : notation(std::move(notation)) {
  parse_notation(this->notation);
}

Notation ExportVisitor::current_notation() const {
  if (notation == "prefix") return Notation::Prefix;
  if (notation == "latex") return Notation::Latex;
  return Notation::Infix;
}

// Renders a whole tree into one text (each level's recursion guard polls
// for interrupts: the text of a heavily shared formula can be far larger
// than the formula).
class OnePassRenderer final : public ChildRenderer {
 public:
  explicit OnePassRenderer(Notation notation) : notation_(notation) {}
  void render(const NodePtr& child, std::string& out) override { render_node(*child, notation_, *this, out); }

 private:
  Notation notation_;
};

std::string ExportVisitor::visit(const NodePtr& node) {
  // Where no operation is overridden the printer renders the whole tree in
  // one pass, without a text per node.
  if (!runs_own_operations(*this)) return dispatch(node);
  if (!node) unsupported_node("NoneType");
  std::string out;
  OnePassRenderer(current_notation()).render(node, out);
  return out;
}

std::string ExportVisitor::render_one(const Node& node) {
  struct ThroughVisit final : ChildRenderer {
    explicit ThroughVisit(ExportVisitor& v) : visitor(v) {}
    void render(const NodePtr& child, std::string& out) override { out += visitor.visit(child); }
    ExportVisitor& visitor;
  } children(*this);
  std::string out;
  render_node(node, current_notation(), children, out);
  return out;
}

#define CORE_EXPORT_OPERATION(op, Class) \
  std::string ExportVisitor::op(const NodeRef<Class>& node) { return render_one(*node); }
CORE_VISIT_OPERATIONS(CORE_EXPORT_OPERATION)
#undef CORE_EXPORT_OPERATION

// ---------------------------------------------------------------------------
// LightSubstitutionTransformer
// ---------------------------------------------------------------------------

NodePtr LightSubstitutionTransformer::visit_forall(const NodeRef<Forall>& node) { return substitute_quantifier(node); }
NodePtr LightSubstitutionTransformer::visit_exists(const NodeRef<Exists>& node) { return substitute_quantifier(node); }

namespace {

VariableMapping without_key(const VariableMapping& mapping, const VariablePtr& key) {
  VariableMapping out;
  for (const auto& [k, v] : mapping.entries())
    if (!equal(*k, *key)) out.set(k, v);
  return out;
}

// One above the largest id of the given variables.
std::int64_t next_id(const VarSet& vars) {
  std::int64_t largest = std::numeric_limits<std::int64_t>::min();
  for (const auto& v : vars) largest = std::max(largest, v->id());
  return fresh_id_after(largest);
}

}  // namespace

// Keeps the bound variable unless a replacement term mentions it; then the
// bound variable is first renamed to a fresh one in the body (a full
// capture-avoiding pass) and the substitution follows with the whole mapping.
NodePtr LightSubstitutionTransformer::substitute_quantifier(const NodeRef<Quantifier>& node) {
  const VariablePtr& bound = node->variable();
  VarSet replacement_free;
  for (const auto& [key, term] : mapping.entries())
    if (!equal(*key, *bound)) replacement_free.insert_all(FreeVariableCollector::of(term));

  if (!replacement_free.contains(bound)) {
    NodePtr body = LightSubstitutionTransformer(without_key(mapping, bound)).visit(node->body());
    require_formula(body);
    return Quantifier::make(node->kind(), bound, std::move(body));
  }

  VarSet in_sight = FreeVariableCollector::of(node->body());
  in_sight.insert_all(replacement_free);
  for (const auto& entry : mapping.entries()) in_sight.insert(entry.first);
  VariablePtr fresh = Variable::make(next_id(in_sight), bound->var_kind(), bound->sort());

  NodePtr renamed = LightSubstitutionTransformer({{bound, fresh}}).visit(node->body());
  require_formula(renamed);
  NodePtr body = visit(renamed);
  require_formula(body);
  return Quantifier::make(node->kind(), std::move(fresh), std::move(body));
}

// ---------------------------------------------------------------------------
// CaptureAvoidingSubstitution: the variable operation and the second-order
// binders, renamed where a replacement term that enters the body mentions
// their symbol variable.
// ---------------------------------------------------------------------------

NodePtr CaptureAvoidingSubstitution::visit_variable(const NodeRef<Variable>& node) {
  const NodePtr* term = replacement(node);
  return term ? *term : node;
}

namespace {

bool same_symbol(const Symbol& s, const SymbolVariable& v) { return !s.is_name() && *s.variable() == v; }

// Visits every symbol variable that stands as the symbol of an application
// or as the variable of a second-order quantifier.  A subtree met again (a
// shared one) holds the same symbol variables and is passed over.
template <typename F>
void for_each_symbol_variable(const NodePtr& node, const F& f, SharedNodeMemo<bool>& seen) {
  RecursionGuard guard;
  if (seen.find(node)) return;
  if (const Application* app = as_application(*node)) {
    if (!app->symbol().is_name()) f(*app->symbol().variable());
  } else if (is_second_order(node->kind())) {
    f(*as<SecondOrderQuantifier>(*node).variable());
  }
  for_each_child(*node, [&](const auto& child) { for_each_symbol_variable(child, f, seen); });
  seen.store(node, true);
}

template <typename F>
void for_each_symbol_variable(const NodePtr& node, const F& f) {
  SharedNodeMemo<bool> seen;
  for_each_symbol_variable(node, f, seen);
}

bool mentions_symbol(const NodePtr& node, const SymbolVariable& v) {
  bool found = false;
  for_each_symbol_variable(node, [&](const SymbolVariable& s) { found = found || s == v; });
  return found;
}

// Replaces a free symbol variable by another in the symbols of applications.
class SymbolRenamer final : public ASTTransformer {
 public:
  SymbolRenamer(SymbolVariablePtr from, SymbolVariablePtr to) : from_(std::move(from)), to_(std::move(to)) {}

  // The result depends on the node alone: each shared subtree is renamed once.
  NodePtr visit(const NodePtr& node) override { return shared_.through(node, true, [&] { return dispatch(node); }); }

  NodePtr visit_function_app(const NodeRef<FunctionApp>& node) override {
    NodePtr rebuilt = ASTTransformer::visit_function_app(node);
    if (!same_symbol(node->func(), *from_)) return rebuilt;
    const auto& app = as<FunctionApp>(*rebuilt);
    return FunctionApp::make(Symbol(to_), app.arity(), app.args(), app.return_sort());
  }
  NodePtr visit_predicate_app(const NodeRef<PredicateApp>& node) override {
    NodePtr rebuilt = ASTTransformer::visit_predicate_app(node);
    if (!same_symbol(node->pred(), *from_)) return rebuilt;
    const auto& app = as<PredicateApp>(*rebuilt);
    return PredicateApp::make(Symbol(to_), app.arity(), app.args());
  }
  NodePtr visit_forall_pred(const NodeRef<ForallPred>& node) override { return scoped(node); }
  NodePtr visit_exists_pred(const NodeRef<ExistsPred>& node) override { return scoped(node); }
  NodePtr visit_forall_func(const NodeRef<ForallFunc>& node) override { return scoped(node); }
  NodePtr visit_exists_func(const NodeRef<ExistsFunc>& node) override { return scoped(node); }

 private:
  // An inner binder of the same symbol variable shadows it.
  NodePtr scoped(const NodeRef<SecondOrderQuantifier>& node) {
    if (*node->variable() == *from_) return node;
    return rebuild_second_order(node);
  }
  SymbolVariablePtr from_, to_;
  SharedSubtreeMemo<NodePtr> shared_ = SharedSubtreeMemo<NodePtr>::building();
};

}  // namespace

NodePtr rename_symbol_variable(const NodePtr& node, const SymbolVariablePtr& from, const SymbolVariablePtr& to) {
  return SymbolRenamer(from, to).visit(node);
}

SymbolVariablePtr fresh_symbol_variable(const SymbolVariable& bound, const std::vector<NodePtr>& in_sight) {
  std::int64_t largest = bound.index();
  for (const auto& node : in_sight)
    for_each_symbol_variable(node, [&](const SymbolVariable& s) {
      if (s.kind() == bound.kind()) largest = std::max(largest, s.index());
    });
  std::int64_t index = fresh_id_after(largest, "symbol variable index");
  // Named as sol.ast_ext names a variable built without a name.
  std::string name(1, bound.kind() == SymbolVariable::Kind::Predicate ? 'X' : 'F');
  name += std::to_string(index);
  return std::make_shared<const SymbolVariable>(bound.kind(), index, bound.arity(), std::move(name));
}

NodePtr CaptureAvoidingSubstitution::substitute_second_order(const NodeRef<SecondOrderQuantifier>& node) {
  const SymbolVariable& bound = *node->variable();
  VarSet body_free = free_variables_of(node->body());
  std::vector<NodePtr> in_sight{node->body()};
  bool captures = false;
  for (const auto& var : body_free) {
    const NodePtr* term = replacement(var);
    if (!term) continue;
    in_sight.push_back(*term);
    captures = captures || mentions_symbol(*term, bound);
  }
  if (!captures) return rebuild_second_order(node);

  SymbolVariablePtr fresh = fresh_symbol_variable(bound, in_sight);
  NodePtr renamed = rename_symbol_variable(node->body(), node->variable(), fresh);
  NodePtr body = visit(renamed);
  require_formula(body);
  return SecondOrderQuantifier::make(node->kind(), std::move(fresh), std::move(body));
}

NodePtr CaptureAvoidingSubstitution::visit_forall_pred(const NodeRef<ForallPred>& node) {
  return substitute_second_order(node);
}
NodePtr CaptureAvoidingSubstitution::visit_exists_pred(const NodeRef<ExistsPred>& node) {
  return substitute_second_order(node);
}
NodePtr CaptureAvoidingSubstitution::visit_forall_func(const NodeRef<ForallFunc>& node) {
  return substitute_second_order(node);
}
NodePtr CaptureAvoidingSubstitution::visit_exists_func(const NodeRef<ExistsFunc>& node) {
  return substitute_second_order(node);
}

}  // namespace core
