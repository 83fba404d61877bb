#include "constructive/common.hpp"

#include <algorithm>

namespace constructive {

const NodePtr& falsum() {
  static const NodePtr f = core::PredicateApp::atom("_bot");
  return f;
}

const NodePtr& verum() {
  static const NodePtr t = core::PredicateApp::atom("_top");
  return t;
}

static bool is_named_constant(const Node& f, const char* name) {
  if (f.kind() != NodeKind::PredicateApp) return false;
  const auto& p = as<core::PredicateApp>(f);
  return p.arity() == 0 && p.pred().is_name() && p.pred().name() == name;
}

bool is_falsum(const Node& f) { return is_named_constant(f, "_bot"); }
bool is_verum(const Node& f) { return is_named_constant(f, "_top"); }
bool is_atomic(const Node& f) { return f.kind() == NodeKind::PredicateApp; }

const BinaryFormula* binary_of(const NodePtr& f, NodeKind kind) {
  return f->kind() == kind ? &as<BinaryFormula>(*f) : nullptr;
}

namespace {

// Builds a connective over already normalised sides, dropping verum where
// that keeps the formula equivalent.
NodePtr simplified(NodeKind kind, const NodePtr& left, const NodePtr& right) {
  bool lt = is_verum(*left), rt = is_verum(*right);
  switch (kind) {
    case NodeKind::And:
      if (lt) return right;
      if (rt) return left;
      break;
    case NodeKind::Or:
      if (lt) return left;
      if (rt) return right;
      break;
    case NodeKind::Implies:
      if (lt) return right;
      if (rt) return right;
      break;
    default: break;
  }
  return BinaryFormula::make(kind, left, right);
}

// Normalises each distinct shared subformula once, so that a formula with
// shared subterms gives a result that shares them too.
class Normalizer {
 public:
  NodePtr of(const NodePtr& f) {
    core::RecursionGuard guard;
    const Node& n = *f;
    switch (n.kind()) {
      case NodeKind::Not: return simplified(NodeKind::Implies, child(as<core::Not>(n).operand()), falsum());
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Implies: {
        const auto& b = as<BinaryFormula>(n);
        NodePtr left = child(b.left());
        NodePtr right = child(b.right());
        if (left == b.left() && right == b.right() && !is_verum(*left) && !is_verum(*right)) return f;
        return simplified(n.kind(), left, right);
      }
      case NodeKind::Iff: {
        const auto& b = as<BinaryFormula>(n);
        NodePtr left = child(b.left());
        NodePtr right = child(b.right());
        return simplified(NodeKind::And, simplified(NodeKind::Implies, left, right),
                          simplified(NodeKind::Implies, right, left));
      }
      case NodeKind::Forall:
      case NodeKind::Exists: {
        const auto& q = as<core::Quantifier>(n);
        NodePtr body = child(q.body());
        return body == q.body() ? f : core::Quantifier::make(n.kind(), q.variable(), body);
      }
      case NodeKind::ForallPred:
      case NodeKind::ExistsPred:
      case NodeKind::ForallFunc:
      case NodeKind::ExistsFunc: {
        const auto& q = as<core::SecondOrderQuantifier>(n);
        NodePtr body = child(q.body());
        return body == q.body() ? f : core::SecondOrderQuantifier::make(n.kind(), q.variable(), body);
      }
      default: return f;  // atoms and terms
    }
  }

 private:
  NodePtr child(const NodePtr& c) {
    if (is_leaf(*c)) return c;  // normalised as it is; shared atoms would crowd the memo
    if (const NodePtr* known = memo_.find(c)) return *known;
    return memo_.store(c, of(c));
  }

  static bool is_leaf(const Node& n) {
    switch (n.kind()) {
      case NodeKind::Not:
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Implies:
      case NodeKind::Iff:
      case NodeKind::Forall:
      case NodeKind::Exists:
      case NodeKind::ForallPred:
      case NodeKind::ExistsPred:
      case NodeKind::ForallFunc:
      case NodeKind::ExistsFunc: return false;
      default: return true;
    }
  }

  core::SharedNodeMemo<NodePtr> memo_;
};

}  // namespace

NodePtr normalize_formula(const NodePtr& f) { return Normalizer().of(f); }

std::int64_t formula_weight(const Node& f) {
  core::RecursionGuard guard;
  switch (f.kind()) {
    case NodeKind::Not: return 1 + formula_weight(*as<core::Not>(f).operand());
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
      return 1 + formula_weight(*as<BinaryFormula>(f).left()) + formula_weight(*as<BinaryFormula>(f).right());
    case NodeKind::Iff:
      return 1 + 2 * (formula_weight(*as<BinaryFormula>(f).left()) + formula_weight(*as<BinaryFormula>(f).right()));
    case NodeKind::Forall:
    case NodeKind::Exists: return 1 + formula_weight(*as<core::Quantifier>(f).body());
    case NodeKind::ForallPred:
    case NodeKind::ExistsPred:
    case NodeKind::ForallFunc:
    case NodeKind::ExistsFunc: return 1 + formula_weight(*as<core::SecondOrderQuantifier>(f).body());
    default: return 1;
  }
}

}  // namespace constructive
