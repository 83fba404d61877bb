#include "core/visitors.hpp"

#include <algorithm>
#include <limits>
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

void require_term(const NodePtr& node) {
  if (!node || !node->is_term()) throw AssertionFailure();
}

void require_formula(const NodePtr& node) {
  if (!node || !node->is_formula()) throw AssertionFailure();
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
  if (!variable || variable->kind() != NodeKind::Variable) throw AssertionFailure();
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
// DepthVisitor
// ---------------------------------------------------------------------------

namespace {

// Sums of measures, refused (OverflowError) where they leave the 64-bit
// range; an override may return any 64-bit value.
std::int64_t checked_sum(std::int64_t a, std::int64_t b) {
  std::int64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) throw std::overflow_error("The measure does not fit in 64 bits");
  return sum;
}

std::int64_t one_more(std::int64_t measure) { return checked_sum(1, measure); }

}  // namespace

std::int64_t DepthVisitor::deepest_argument(const Application& app) {
  if (app.args().empty()) return 1;
  std::int64_t deepest = 0;
  for (const auto& arg : app.args()) deepest = std::max(deepest, visit(arg));
  return one_more(deepest);
}

std::int64_t DepthVisitor::deeper_side(const NodePtr& left, const NodePtr& right) {
  std::int64_t l = visit(left);
  return one_more(std::max(l, visit(right)));
}

std::int64_t DepthVisitor::visit_variable(const NodeRef<Variable>&) { return 1; }
std::int64_t DepthVisitor::visit_constant(const NodeRef<Constant>&) { return 1; }
std::int64_t DepthVisitor::visit_function_app(const NodeRef<FunctionApp>& node) { return deepest_argument(*node); }
std::int64_t DepthVisitor::visit_predicate_app(const NodeRef<PredicateApp>& node) { return deepest_argument(*node); }
std::int64_t DepthVisitor::visit_equality(const NodeRef<Equality>& node) {
  return deeper_side(node->left(), node->right());
}
std::int64_t DepthVisitor::visit_not(const NodeRef<Not>& node) { return one_more(visit(node->operand())); }
std::int64_t DepthVisitor::visit_and(const NodeRef<And>& node) { return deeper_side(node->left(), node->right()); }
std::int64_t DepthVisitor::visit_or(const NodeRef<Or>& node) { return deeper_side(node->left(), node->right()); }
std::int64_t DepthVisitor::visit_implies(const NodeRef<Implies>& node) {
  return deeper_side(node->left(), node->right());
}
std::int64_t DepthVisitor::visit_iff(const NodeRef<Iff>& node) { return deeper_side(node->left(), node->right()); }
std::int64_t DepthVisitor::visit_forall(const NodeRef<Forall>& node) { return one_more(visit(node->body())); }
std::int64_t DepthVisitor::visit_exists(const NodeRef<Exists>& node) { return one_more(visit(node->body())); }
std::int64_t DepthVisitor::visit_forall_pred(const NodeRef<ForallPred>& node) { return one_more(visit(node->body())); }
std::int64_t DepthVisitor::visit_exists_pred(const NodeRef<ExistsPred>& node) { return one_more(visit(node->body())); }
std::int64_t DepthVisitor::visit_forall_func(const NodeRef<ForallFunc>& node) { return one_more(visit(node->body())); }
std::int64_t DepthVisitor::visit_exists_func(const NodeRef<ExistsFunc>& node) { return one_more(visit(node->body())); }

// ---------------------------------------------------------------------------
// SizeVisitor
// ---------------------------------------------------------------------------

std::int64_t SizeVisitor::argument_sizes(const Application& app) {
  std::int64_t total = 0;
  for (const auto& arg : app.args()) total = checked_sum(total, visit(arg));
  return one_more(total);
}

std::int64_t SizeVisitor::both_sides(const NodePtr& left, const NodePtr& right) {
  std::int64_t l = visit(left);
  return one_more(checked_sum(l, visit(right)));
}

std::int64_t SizeVisitor::visit_variable(const NodeRef<Variable>&) { return 1; }
std::int64_t SizeVisitor::visit_constant(const NodeRef<Constant>&) { return 1; }
std::int64_t SizeVisitor::visit_function_app(const NodeRef<FunctionApp>& node) { return argument_sizes(*node); }
std::int64_t SizeVisitor::visit_predicate_app(const NodeRef<PredicateApp>& node) { return argument_sizes(*node); }
std::int64_t SizeVisitor::visit_equality(const NodeRef<Equality>& node) {
  return both_sides(node->left(), node->right());
}
std::int64_t SizeVisitor::visit_not(const NodeRef<Not>& node) { return one_more(visit(node->operand())); }
std::int64_t SizeVisitor::visit_and(const NodeRef<And>& node) { return both_sides(node->left(), node->right()); }
std::int64_t SizeVisitor::visit_or(const NodeRef<Or>& node) { return both_sides(node->left(), node->right()); }
std::int64_t SizeVisitor::visit_implies(const NodeRef<Implies>& node) {
  return both_sides(node->left(), node->right());
}
std::int64_t SizeVisitor::visit_iff(const NodeRef<Iff>& node) { return both_sides(node->left(), node->right()); }
std::int64_t SizeVisitor::visit_forall(const NodeRef<Forall>& node) {
  return both_sides(node->variable(), node->body());
}
std::int64_t SizeVisitor::visit_exists(const NodeRef<Exists>& node) {
  return both_sides(node->variable(), node->body());
}
std::int64_t SizeVisitor::visit_forall_pred(const NodeRef<ForallPred>& node) { return one_more(visit(node->body())); }
std::int64_t SizeVisitor::visit_exists_pred(const NodeRef<ExistsPred>& node) { return one_more(visit(node->body())); }
std::int64_t SizeVisitor::visit_forall_func(const NodeRef<ForallFunc>& node) { return one_more(visit(node->body())); }
std::int64_t SizeVisitor::visit_exists_func(const NodeRef<ExistsFunc>& node) { return one_more(visit(node->body())); }

// ---------------------------------------------------------------------------
// FreeVariableCollector
// ---------------------------------------------------------------------------

VarSet FreeVariableCollector::union_of(const NodePtr& left, const NodePtr& right) {
  VarSet out = visit(left);
  out.insert_all(visit(right));
  return out;
}

VarSet FreeVariableCollector::of_arguments(const Application& app) {
  VarSet out;
  for (const auto& arg : app.args()) out.insert_all(visit(arg));
  return out;
}

VarSet FreeVariableCollector::without_bound(const Quantifier& q) {
  VarSet out = visit(q.body());
  out.erase(q.variable());
  return out;
}

VarSet FreeVariableCollector::visit_variable(const NodeRef<Variable>& node) {
  VarSet out;
  out.insert(node);
  return out;
}
VarSet FreeVariableCollector::visit_constant(const NodeRef<Constant>&) { return {}; }
VarSet FreeVariableCollector::visit_function_app(const NodeRef<FunctionApp>& node) { return of_arguments(*node); }
VarSet FreeVariableCollector::visit_predicate_app(const NodeRef<PredicateApp>& node) { return of_arguments(*node); }
VarSet FreeVariableCollector::visit_equality(const NodeRef<Equality>& node) {
  return union_of(node->left(), node->right());
}
VarSet FreeVariableCollector::visit_not(const NodeRef<Not>& node) { return visit(node->operand()); }
VarSet FreeVariableCollector::visit_and(const NodeRef<And>& node) { return union_of(node->left(), node->right()); }
VarSet FreeVariableCollector::visit_or(const NodeRef<Or>& node) { return union_of(node->left(), node->right()); }
VarSet FreeVariableCollector::visit_implies(const NodeRef<Implies>& node) {
  return union_of(node->left(), node->right());
}
VarSet FreeVariableCollector::visit_iff(const NodeRef<Iff>& node) { return union_of(node->left(), node->right()); }
VarSet FreeVariableCollector::visit_forall(const NodeRef<Forall>& node) { return without_bound(*node); }
VarSet FreeVariableCollector::visit_exists(const NodeRef<Exists>& node) { return without_bound(*node); }
VarSet FreeVariableCollector::visit_forall_pred(const NodeRef<ForallPred>& node) { return visit(node->body()); }
VarSet FreeVariableCollector::visit_exists_pred(const NodeRef<ExistsPred>& node) { return visit(node->body()); }
VarSet FreeVariableCollector::visit_forall_func(const NodeRef<ForallFunc>& node) { return visit(node->body()); }
VarSet FreeVariableCollector::visit_exists_func(const NodeRef<ExistsFunc>& node) { return visit(node->body()); }

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

std::string ExportVisitor::visit(const NodePtr& node) {
  // Nothing can override an operation of an exact ExportVisitor, so the
  // printer renders the whole tree in one pass.
  if (typeid(*this) != typeid(ExportVisitor)) return dispatch(node);
  if (!node) unsupported_node("NoneType");
  return render(*node, current_notation());
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
// VariableMapping
// ---------------------------------------------------------------------------

VariableMapping::VariableMapping(std::initializer_list<Entry> entries) {
  for (const auto& [key, value] : entries) set(key, value);
}

void VariableMapping::set(VariablePtr key, NodePtr value) {
  auto found = index_.find(key);
  if (found != index_.end()) {
    entries_[found->second].second = std::move(value);
    return;
  }
  index_.emplace(key, entries_.size());
  entries_.emplace_back(std::move(key), std::move(value));
}

const NodePtr* VariableMapping::find(const VariablePtr& key) const {
  auto found = index_.find(key);
  return found == index_.end() ? nullptr : &entries_[found->second].second;
}

// ---------------------------------------------------------------------------
// LightSubstitutionTransformer
// ---------------------------------------------------------------------------

NodePtr LightSubstitutionTransformer::visit_variable(const NodeRef<Variable>& node) {
  const NodePtr* replacement = mapping.find(node);
  return replacement ? *replacement : node;
}

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
  FreeVariableCollector collector;
  VarSet replacement_free;
  for (const auto& [key, term] : mapping.entries())
    if (!equal(*key, *bound)) replacement_free.insert_all(collector.visit(term));

  if (!replacement_free.contains(bound)) {
    NodePtr body = LightSubstitutionTransformer(without_key(mapping, bound)).visit(node->body());
    require_formula(body);
    return Quantifier::make(node->kind(), bound, std::move(body));
  }

  VarSet in_sight = collector.visit(node->body());
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
// Second-order binders: renaming a symbol variable where a replacement term
// that enters the body mentions it, so that the binder cannot capture it.
// ---------------------------------------------------------------------------
namespace {

bool same_symbol(const Symbol& s, const SymbolVariable& v) { return !s.is_name() && *s.variable() == v; }

// Visits every symbol variable that stands as the symbol of an application.
template <typename F>
void for_each_symbol_variable(const NodePtr& node, const F& f) {
  RecursionGuard guard;
  if (const Application* app = as_application(*node)) {
    if (!app->symbol().is_name()) f(*app->symbol().variable());
  } else if (is_second_order(node->kind())) {
    f(*as<SecondOrderQuantifier>(*node).variable());
  }
  for (const auto& child : children(*node)) for_each_symbol_variable(child, f);
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
};

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

}  // namespace

NodePtr LightSubstitutionTransformer::substitute_second_order(const NodeRef<SecondOrderQuantifier>& node) {
  const SymbolVariable& bound = *node->variable();
  VarSet body_free = FreeVariableCollector().visit(node->body());
  std::vector<NodePtr> in_sight{node->body()};
  bool captures = false;
  for (const auto& [key, term] : mapping.entries()) {
    if (!body_free.contains(key)) continue;
    in_sight.push_back(term);
    captures = captures || mentions_symbol(term, bound);
  }
  if (!captures) return rebuild_second_order(node);

  SymbolVariablePtr fresh = fresh_symbol_variable(bound, in_sight);
  NodePtr renamed = SymbolRenamer(node->variable(), fresh).visit(node->body());
  NodePtr body = visit(renamed);
  require_formula(body);
  return SecondOrderQuantifier::make(node->kind(), std::move(fresh), std::move(body));
}

NodePtr LightSubstitutionTransformer::visit_forall_pred(const NodeRef<ForallPred>& node) {
  return substitute_second_order(node);
}
NodePtr LightSubstitutionTransformer::visit_exists_pred(const NodeRef<ExistsPred>& node) {
  return substitute_second_order(node);
}
NodePtr LightSubstitutionTransformer::visit_forall_func(const NodeRef<ForallFunc>& node) {
  return substitute_second_order(node);
}
NodePtr LightSubstitutionTransformer::visit_exists_func(const NodeRef<ExistsFunc>& node) {
  return substitute_second_order(node);
}

}  // namespace core
