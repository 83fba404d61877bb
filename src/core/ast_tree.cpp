#include "core/ast_tree.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "core/interrupt.hpp"

namespace core {

// ---------------------------------------------------------------------------
// Variable sets and measures
// ---------------------------------------------------------------------------
// Each walk remembers its results for shared children (SharedNodeMemo), so
// that every distinct subterm is walked once.
namespace {

// Calls `visit` on each direct subformula of a compound formula, left to
// right (the terms among the children, bound variables included, are skipped).
template <typename Visit>
void for_each_subformula(const Node& n, Visit visit) {
  for_each_child(n, [&](const NodePtr& c) {
    if (c->is_formula()) visit(c);
  });
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
