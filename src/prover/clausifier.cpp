#include "prover/clausifier.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/interrupt.hpp"
#include "core/node_walk.hpp"
#include "core/release.hpp"
#include "core/visitors.hpp"
#include "prover/formula_shape.hpp"

namespace prover {

using core::NodeKind;
using namespace shape;
using core::pyhash::hash_t;

// ---------------------------------------------------------------------------
// Literal
// ---------------------------------------------------------------------------
namespace {

// Stand-ins for the class component of the record hashes (hash((cls, ...))):
// fixed values, so that hashes depend only on the literal's content.
constexpr hash_t kLiteralClassHash = 0x4C6974657261;  // "Litera"
constexpr hash_t kClauseClassHash = 0x436C61757365;   // "Clause"

const core::VarSetPtr& no_variables() {
  static const core::VarSetPtr empty = std::make_shared<const core::VarSet>();
  return empty;
}

core::VarSetPtr free_vars_of_atom(const NodePtr& atom) { return core::FreeVariableWalk().of(atom); }

}  // namespace

Literal::Literal(NodePtr atom, bool positive)
    : atom_(std::move(atom)),
      free_vars_(free_vars_of_atom(atom_)),
      hash_(core::pyhash::of_tuple({kLiteralClassHash, atom_->hash(), core::pyhash::of_int(positive ? 1 : 0)})),
      positive_(positive) {}

Literal Literal::negate() const {
  Literal other = *this;
  other.positive_ = !positive_;
  other.hash_ = core::pyhash::of_tuple({kLiteralClassHash, atom_->hash(), core::pyhash::of_int(positive_ ? 0 : 1)});
  return other;
}

Literal Literal::substitute(const Substitution& subst) const {
  if (subst.empty()) return *this;
  NodePtr atom = core::substitute_formula(atom_, subst);
  if (!is_atom(*atom)) throw core::AssertionFailure();
  return Literal(std::move(atom), positive_);
}

std::string Literal::to_string() const {
  core::require_printable(*atom_);
  if (atom_->kind() == NodeKind::Equality) {
    const auto& eq = core::as<core::Equality>(*atom_);
    return core::repr(*eq.left()) + (positive_ ? " = " : " \u2260 ") + core::repr(*eq.right());
  }
  return (positive_ ? "" : "\u00AC") + core::repr(*atom_);
}

bool Literal::operator==(const Literal& other) const {
  return hash_ == other.hash_ && positive_ == other.positive_ && core::equal(*atom_, *other.atom_);
}

// ---------------------------------------------------------------------------
// Clause
// ---------------------------------------------------------------------------
Clause::Clause() { finish(); }

Clause::Clause(const std::vector<Literal>& literals) {
  for (const auto& literal : literals) literals_.insert(literal);
  finish();
}

Clause::Clause(LiteralSet literals) : literals_(std::move(literals)) { finish(); }

void Clause::finish() {
  // The hash of a set must not depend on the order of its members: mix each
  // member's hash on its own and combine the results commutatively.
  std::uint64_t mixed = 1927868237ULL * (literals_.size() + 1);
  for (const auto& literal : literals_) {
    auto h = static_cast<std::uint64_t>(literal.hash());
    mixed ^= (h ^ (h << 16) ^ 89869747ULL) * 3644798167ULL;
  }
  mixed = mixed * 69069U + 907133923ULL;
  hash_ = core::pyhash::of_tuple({kClauseClassHash, static_cast<hash_t>(mixed)});

  is_tautology_ = false;
  for (const auto& literal : literals_) {
    if (!literal.positive() && literals_.contains(literal.negate())) {
      is_tautology_ = true;
      break;
    }
  }

  if (literals_.size() == 1) {
    free_vars_ = literals_.items().front().free_vars();
  } else {
    auto vars = std::make_shared<core::VarSet>();
    for (const auto& literal : literals_) vars->insert_all(*literal.free_vars());
    free_vars_ = vars->empty() ? no_variables() : core::VarSetPtr(std::move(vars));
  }
}

Clause Clause::substitute(const Substitution& subst) const {
  if (subst.empty()) return *this;
  LiteralSet out;
  for (const auto& literal : literals_) out.insert(literal.substitute(subst));
  return Clause(std::move(out));
}

std::string Clause::to_string() const {
  if (literals_.empty()) return "\u25A1";
  std::vector<std::string> texts;
  texts.reserve(literals_.size());
  for (const auto& literal : literals_) texts.push_back(literal.to_string());
  // std::string compares bytes as unsigned char, and UTF-8 byte order is
  // code point order.
  std::sort(texts.begin(), texts.end());
  std::string out = texts.front();
  for (std::size_t i = 1; i < texts.size(); ++i) out += " \u2228 " + texts[i];
  return out;
}

bool Clause::operator==(const Clause& other) const { return hash_ == other.hash_ && literals_ == other.literals_; }

// ---------------------------------------------------------------------------
// Shared pieces of the steps
// ---------------------------------------------------------------------------
namespace {

// The binary formula of `kind` over the walked sides of `n`, the left side
// walked first.
template <typename Walk>
NodePtr binary_over(NodeKind kind, const core::Node& n, Walk walk) {
  NodePtr a = walk(left_of(n));
  return make_binary(kind, std::move(a), walk(right_of(n)));
}

// A conjunction or disjunction rebuilt from its walked sides, a quantifier
// from its walked body, with the same bound variable: what the passes that
// leave these connectives in place do with them.
template <typename Walk>
NodePtr rebuilt_around(const core::Node& n, Walk walk) {
  if (n.kind() == NodeKind::And || n.kind() == NodeKind::Or) return binary_over(n.kind(), n, walk);
  const auto& q = quantifier_of(n);
  return make_quantifier(n.kind(), q.variable(), walk(q.body()));
}

// The skeleton of the rewriting walks below: a subformula that occurs more
// than once is rewritten once, each level is guarded (stack depth and
// interrupts), and atoms stay as they are.
template <typename Rewrite>
NodePtr rewrite_once(core::SharedNodeMemo<NodePtr>& memo, const NodePtr& f, Rewrite rewrite) {
  if (const NodePtr* done = memo.find(f)) return *done;
  core::RecursionGuard guard;
  if (is_atom(*f)) return f;
  return memo.store(f, rewrite(*f));
}

// The number of formula nodes of `formula` as a tree (shared subformulas
// counted at every occurrence), computed over its distinct nodes.
std::uint64_t tree_size(const NodePtr& formula, core::SharedNodeMemo<std::uint64_t>& memo) {
  if (const std::uint64_t* known = memo.find(formula)) return *known;
  core::RecursionGuard guard;
  const core::Node& n = *formula;
  std::uint64_t size = 1;
  if (n.kind() == NodeKind::Not) {
    size = add_sat(1, tree_size(operand_of(n), memo));
  } else if (core::is_binary(n.kind())) {
    size = add_sat(1, add_sat(tree_size(left_of(n), memo), tree_size(right_of(n), memo)));
  } else if (core::is_quantifier(n.kind())) {
    size = add_sat(1, tree_size(quantifier_of(n).body(), memo));
  } else {
    return 1;
  }
  return memo.store(formula, size);
}

// A saturated count is written as what it is, a lower bound.
std::string count_text(std::uint64_t count) {
  return count == std::numeric_limits<std::uint64_t>::max() ? "more than 2^64" : std::to_string(count);
}

void check_tree_size(const NodePtr& formula, const char* step) {
  if (!formula->is_formula()) return;
  core::SharedNodeMemo<std::uint64_t> memo;
  std::uint64_t size = tree_size(formula, memo);
  if (size > kMaxTreeNodes)
    throw CnfTooLarge(std::string(step) + ": the formula has " + count_text(size) +
                           " nodes once its shared subformulas are unfolded, more than the limit of " +
                           std::to_string(kMaxTreeNodes) + ".");
}

}  // namespace

// ---------------------------------------------------------------------------
// Implication elimination
// ---------------------------------------------------------------------------
namespace {

class ImplicationEliminator {
 public:
  NodePtr walk(const NodePtr& f) {
    return rewrite_once(shared_, f, [&](const core::Node& n) -> NodePtr {
      switch (n.kind()) {
        case NodeKind::Not: return std::make_shared<const core::Not>(walk(operand_of(n)));
        case NodeKind::Implies: {
          NodePtr a = walk(left_of(n));
          NodePtr b = walk(right_of(n));
          return make_binary(NodeKind::Or, std::make_shared<const core::Not>(std::move(a)), std::move(b));
        }
        case NodeKind::Iff: {
          NodePtr a = walk(left_of(n));
          NodePtr b = walk(right_of(n));
          NodePtr forward = make_binary(NodeKind::Or, std::make_shared<const core::Not>(a), b);
          NodePtr backward = make_binary(NodeKind::Or, std::make_shared<const core::Not>(b), a);
          return make_binary(NodeKind::And, std::move(forward), std::move(backward));
        }
        case NodeKind::And:
        case NodeKind::Or:
        case NodeKind::Forall:
        case NodeKind::Exists: return rebuilt_around(n, [this](const NodePtr& c) { return walk(c); });
        default: refuse("Unsupported formula node: ", n);
      }
    });
  }

 private:
  core::SharedNodeMemo<NodePtr> shared_;
};

}  // namespace

NodePtr eliminate_implications(const NodePtr& formula) { return ImplicationEliminator().walk(formula); }

// ---------------------------------------------------------------------------
// Negation normal form
// ---------------------------------------------------------------------------
namespace {

class NegationNormalizer {
 public:
  NodePtr walk(const NodePtr& f) {
    return rewrite_once(walked_, f, [&](const core::Node& n) -> NodePtr {
      switch (n.kind()) {
        case NodeKind::Not: return negated(operand_of(n), &f);
        case NodeKind::And:
        case NodeKind::Or:
        case NodeKind::Forall:
        case NodeKind::Exists: return rebuilt_around(n, [this](const NodePtr& c) { return walk(c); });
        case NodeKind::Implies:
        case NodeKind::Iff: return walk(eliminate_implications(f));
        default: refuse("Unsupported formula node: ", n);
      }
    });
  }

 private:
  // The normal form of the negation of `g`.  `written` is the negation node
  // of the argument when it stands there as written (not an intermediate
  // one), so that a negated atom comes back as that very node.
  NodePtr negated(const NodePtr& g, const NodePtr* written) {
    if (!written) {
      if (const NodePtr* done = negated_.find(g)) return *done;
    }
    core::RecursionGuard guard;
    const core::Node& n = *g;
    NodePtr result;
    switch (n.kind()) {
      case NodeKind::Not: return walk(operand_of(n));
      case NodeKind::And:
      case NodeKind::Or: {
        NodePtr a = negated(left_of(n), nullptr);
        NodeKind dual = n.kind() == NodeKind::And ? NodeKind::Or : NodeKind::And;
        result = make_binary(dual, std::move(a), negated(right_of(n), nullptr));
        break;
      }
      case NodeKind::Forall:
      case NodeKind::Exists: {
        const auto& q = quantifier_of(n);
        NodeKind dual = n.kind() == NodeKind::Forall ? NodeKind::Exists : NodeKind::Forall;
        result = make_quantifier(dual, q.variable(), negated(q.body(), nullptr));
        break;
      }
      case NodeKind::Implies:
      case NodeKind::Iff: result = negated(eliminate_implications(g), nullptr); break;
      case NodeKind::PredicateApp:
      case NodeKind::Equality:
        if (written) return *written;
        result = std::make_shared<const core::Not>(g);
        break;
      default: refuse("Unsupported negated formula operand: ", n);
    }
    if (written) return result;
    return negated_.store(g, std::move(result));
  }

  core::SharedNodeMemo<NodePtr> walked_, negated_;  // normal forms of subformulas and of their negations
};

}  // namespace

NodePtr to_nnf(const NodePtr& formula) { return NegationNormalizer().walk(formula); }

// ---------------------------------------------------------------------------
// Renaming bound variables apart
// ---------------------------------------------------------------------------
namespace {

class VariableStandardizer {
 public:
  // Fresh ids start above `largest_id`.
  explicit VariableStandardizer(std::int64_t largest_id) : last_id_(largest_id) {}

  NodePtr walk(const NodePtr& f) {
    core::RecursionGuard guard;
    const core::Node& n = *f;
    switch (n.kind()) {
      case NodeKind::PredicateApp:
      case NodeKind::Equality: return rename_in_atom(f);
      case NodeKind::Not: return std::make_shared<const core::Not>(walk(operand_of(n)));
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Implies:
      case NodeKind::Iff: {
        return binary_over(n.kind(), n, [this](const NodePtr& c) { return walk(c); });
      }
      case NodeKind::Forall:
      case NodeKind::Exists: {
        const auto& q = quantifier_of(n);
        const core::VariablePtr& old_var = q.variable();
        auto fresh = core::Variable::make(take_id(), old_var->var_kind(), old_var->sort());
        auto& stack = renamings_[old_var];
        stack.push_back(fresh);
        struct Pop {
          std::vector<core::VariablePtr>& stack;
          ~Pop() { stack.pop_back(); }
        } pop{stack};
        return make_quantifier(n.kind(), fresh, walk(q.body()));
      }
      default: refuse("Unsupported formula: ", n);
    }
  }

 private:
  std::int64_t take_id() { return last_id_ = core::fresh_id_after(last_id_); }

  // The atom with the variables that enclosing quantifiers renamed replaced
  // by their innermost fresh variables (through the substitution of core).
  NodePtr rename_in_atom(const NodePtr& atom) {
    const core::VarSetPtr vars = free_vars_of_atom(atom);
    Substitution renaming;
    for (const auto& var : *vars) {
      auto it = renamings_.find(var);
      if (it != renamings_.end() && !it->second.empty()) renaming.set(var, it->second.back());
    }
    if (renaming.empty()) return atom;
    return core::substitute_formula(atom, renaming);
  }

  std::int64_t last_id_;
  // For each bound variable of the argument, the fresh variables of the
  // quantifiers binding it that enclose the current node, innermost last.
  std::unordered_map<core::VariablePtr, std::vector<core::VariablePtr>, core::NodeHash, core::NodeEq> renamings_;
};

}  // namespace

NodePtr standardize_variables(const NodePtr& formula) {
  check_tree_size(formula, "Renaming apart");
  std::int64_t largest = 0;
  for (const auto& var : core::free_variables(formula)) largest = std::max(largest, var->id());
  for (const auto& var : core::bound_variables(*formula)) largest = std::max(largest, var->id());
  return VariableStandardizer(largest).walk(formula);
}

// ---------------------------------------------------------------------------
// Skolemization
// ---------------------------------------------------------------------------
namespace {

std::atomic<std::uint64_t> g_skolem_constant_counter{0};
std::atomic<std::uint64_t> g_skolem_function_counter{0};

// Names in the formula that a Skolem symbol could collide with (only those
// beginning with "sk_" can), over its distinct nodes.
std::unordered_set<std::string> skolem_like_names(const NodePtr& formula) {
  std::unordered_set<std::string> names;
  auto note = [&](const std::string& name) {
    if (name.size() > 3 && name.compare(0, 3, "sk_") == 0) names.insert(name);
  };
  core::for_each_distinct_node(*formula, [&](const core::Node& n) {
    if (n.kind() == NodeKind::Constant) note(core::as<core::Constant>(n).name());
    const core::Application* app = core::as_application(n);
    if (app && app->symbol().is_name()) note(app->symbol().name());
  });
  return names;
}

class Skolemizer {
 public:
  Skolemizer(const NodePtr& formula, std::vector<core::VariablePtr> closure, core::SymbolRegistry* registry)
      : formula_(formula), outer_(std::move(closure)), registry_(registry) {}

  NodePtr walk(const NodePtr& f, bool under_negation) {
    core::RecursionGuard guard;
    const core::Node& n = *f;
    switch (n.kind()) {
      case NodeKind::PredicateApp:
      case NodeKind::Equality: return f;
      case NodeKind::Not: return std::make_shared<const core::Not>(walk(operand_of(n), true));
      case NodeKind::And:
      case NodeKind::Or: {
        return binary_over(n.kind(), n, [&](const NodePtr& c) { return walk(c, under_negation); });
      }
      case NodeKind::Forall: {
        if (under_negation) refuse_negated(n);
        const auto& q = quantifier_of(n);
        outer_.push_back(q.variable());
        struct Pop {
          std::vector<core::VariablePtr>& outer;
          ~Pop() { outer.pop_back(); }
        } pop{outer_};
        return make_quantifier(NodeKind::Forall, q.variable(), walk(q.body(), false));
      }
      case NodeKind::Exists: {
        if (under_negation) refuse_negated(n);
        const auto& q = quantifier_of(n);
        NodePtr body = core::substitute_formula(q.body(), Substitution{{q.variable(), skolem_term(*q.variable())}});
        return walk(body, false);
      }
      default: refuse("Unsupported formula in skolemization: ", n);
    }
  }

 private:
  [[noreturn]] static void refuse_negated(const core::Node& n) {
    refuse("Skolemization needs negation normal form; a quantifier stands under a negation: ", n);
  }

  // A new Skolem constant, or a Skolem function of the enclosing universals,
  // of the variable's sort; registered when a registry was given.
  NodePtr skolem_term(const core::Variable& var) {
    if (!names_known_) {
      used_names_ = skolem_like_names(formula_);
      names_known_ = true;
    }
    const bool constant = outer_.empty();
    std::vector<core::SortPtr> argument_sorts;
    std::vector<NodePtr> args;
    for (const auto& universal : outer_) {
      argument_sorts.push_back(universal->sort());
      args.push_back(universal);
    }
    const auto arity = static_cast<std::int64_t>(args.size());
    for (;;) {
      std::uint64_t n = (constant ? g_skolem_constant_counter : g_skolem_function_counter).fetch_add(1);
      std::string name = (constant ? "sk_c" : "sk_f") + std::to_string(n);
      if (used_names_.count(name) || (registry_ && registry_->holds_name(name))) continue;
      NodePtr term = constant ? NodePtr(core::Constant::make(name, var.sort()))
                              : NodePtr(core::FunctionApp::make(core::Symbol(name), arity, args, var.sort()));
      if (register_symbol(name, constant, arity, argument_sorts, var.sort())) return term;
    }
  }

  // False when the registry says the name is taken; every other failure of
  // the registry is ignored.
  bool register_symbol(const std::string& name, bool constant, std::int64_t arity,
                       const std::vector<core::SortPtr>& argument_sorts, const core::SortPtr& sort) {
    if (!registry_) return true;
    try {
      if (constant)
        registry_->register_constant(name, sort);
      else
        registry_->register_function(name, arity, argument_sorts, sort);
    } catch (const core::SymbolClashError&) {
      return false;
    } catch (const std::runtime_error&) {
      // A registry that fails otherwise does not stop Skolemization.  (The
      // engine's errors are runtime errors; interruption, exhausted memory
      // and a host's own pending exceptions are not, and pass.)
    }
    return true;
  }

  const NodePtr& formula_;
  std::vector<core::VariablePtr> outer_;  // enclosing universals, outermost first
  core::SymbolRegistry* registry_;
  std::unordered_set<std::string> used_names_;
  bool names_known_ = false;
};

NodePtr skolemize_within(const NodePtr& formula, std::vector<core::VariablePtr> closure,
                         core::SymbolRegistry* registry) {
  check_tree_size(formula, "Skolemization");
  return Skolemizer(formula, std::move(closure), registry).walk(formula, false);
}

}  // namespace

NodePtr skolemize(const NodePtr& formula, core::SymbolRegistry* registry) {
  return skolemize_within(formula, {}, registry);
}

void reset_skolem_counters() {
  g_skolem_constant_counter.store(0);
  g_skolem_function_counter.store(0);
}

std::uint64_t skolem_constant_counter() { return g_skolem_constant_counter.load(); }
std::uint64_t skolem_function_counter() { return g_skolem_function_counter.load(); }

// ---------------------------------------------------------------------------
// Removal of universals
// ---------------------------------------------------------------------------
namespace {

class UniversalDropper {
 public:
  NodePtr walk(const NodePtr& f, bool under_negation) {
    return rewrite_once(shared_[under_negation], f, [&](const core::Node& n) -> NodePtr {
      switch (n.kind()) {
        case NodeKind::Forall:
          if (under_negation) refuse_negated(n);
          return walk(quantifier_of(n).body(), false);
        case NodeKind::Exists: {
          if (under_negation) refuse_negated(n);
          const auto& q = quantifier_of(n);
          return make_quantifier(NodeKind::Exists, q.variable(), walk(q.body(), false));
        }
        case NodeKind::Not: return std::make_shared<const core::Not>(walk(operand_of(n), true));
        case NodeKind::And:
        case NodeKind::Or:
          return binary_over(n.kind(), n, [&](const NodePtr& c) { return walk(c, under_negation); });
        default: refuse("Unsupported formula: ", n);
      }
    });
  }

 private:
  [[noreturn]] static void refuse_negated(const core::Node& n) {
    refuse("Removal of universals needs negation normal form; a quantifier stands under a negation: ", n);
  }
  std::array<core::SharedNodeMemo<NodePtr>, 2> shared_;  // by under_negation
};

}  // namespace

NodePtr drop_universals(const NodePtr& formula) { return UniversalDropper().walk(formula, false); }

// ---------------------------------------------------------------------------
// Distribution
// ---------------------------------------------------------------------------
namespace {

// How many clauses, and literal occurrences over all of them, the
// conjunctive normal form of a quantifier-free formula has.
struct CnfCount {
  std::uint64_t clauses;
  std::uint64_t literals;
};

class CnfCounter {
 public:
  CnfCount count(const NodePtr& f) {
    if (const CnfCount* known = memo_.find(f)) return *known;
    core::RecursionGuard guard;
    const core::Node& n = *f;
    CnfCount result{1, 1};
    if (n.kind() == NodeKind::And || n.kind() == NodeKind::Or) {
      CnfCount a = count(left_of(n));
      CnfCount b = count(right_of(n));
      if (n.kind() == NodeKind::And) {
        result = {add_sat(a.clauses, b.clauses), add_sat(a.literals, b.literals)};
      } else {
        // Every clause of one side is joined with every clause of the other.
        result = {mul_sat(a.clauses, b.clauses), add_sat(mul_sat(a.literals, b.clauses), mul_sat(b.literals, a.clauses))};
      }
      memo_.store(f, result);
    }
    return result;
  }

 private:
  core::SharedNodeMemo<CnfCount> memo_;
};

void check_cnf_size(const NodePtr& formula, const char* step) {
  CnfCount size = CnfCounter().count(formula);
  if (size.clauses > kMaxCnfClauses || size.literals > kMaxCnfLiterals)
    throw CnfTooLarge(std::string(step) + ": the conjunctive normal form would have " + count_text(size.clauses) +
                      " clauses with " + count_text(size.literals) +
                           " literals, more than the limit of " + std::to_string(kMaxCnfClauses) + " clauses or " +
                           std::to_string(kMaxCnfLiterals) + " literals.");
}

class Distributor {
 public:
  NodePtr walk(const NodePtr& f) {
    return rewrite_once(shared_, f, [&](const core::Node& n) -> NodePtr {
      switch (n.kind()) {
        case NodeKind::Not: return f;
        case NodeKind::And: return binary_over(NodeKind::And, n, [this](const NodePtr& c) { return walk(c); });
        case NodeKind::Or: {
          NodePtr a = walk(left_of(n));
          NodePtr b = walk(right_of(n));
          return join(a, b);
        }
        default: refuse("Unsupported formula in CNF distribution: ", n);
      }
    });
  }

 private:
  // The disjunction of two formulas in conjunctive normal form, in that form:
  // a conjunction on the left is split first, then one on the right.
  NodePtr join(const NodePtr& left, const NodePtr& right) {
    core::RecursionGuard guard;
    if (left->kind() == NodeKind::And) {
      NodePtr a = join(left_of(*left), right);
      return make_binary(NodeKind::And, std::move(a), join(right_of(*left), right));
    }
    if (right->kind() == NodeKind::And) {
      NodePtr a = join(left, left_of(*right));
      return make_binary(NodeKind::And, std::move(a), join(left, right_of(*right)));
    }
    return make_binary(NodeKind::Or, left, right);
  }

  core::SharedNodeMemo<NodePtr> shared_;
};

}  // namespace

NodePtr distribute_cnf(const NodePtr& formula) {
  check_cnf_size(formula, "CNF distribution");
  return Distributor().walk(formula);
}

// ---------------------------------------------------------------------------
// Clause extraction
// ---------------------------------------------------------------------------
std::vector<Clause> formula_to_clauses(const NodePtr& formula) {
  check_cnf_size(formula, "Clause extraction");
  core::InterruptPoller poller;

  // The conjuncts, leaves of the And tree from left to right.
  std::vector<const NodePtr*> conjuncts;
  std::vector<const NodePtr*> todo{&formula};
  while (!todo.empty()) {
    poller.poll();
    const NodePtr* f = todo.back();
    todo.pop_back();
    if ((*f)->kind() == NodeKind::And) {
      todo.push_back(&right_of(**f));
      todo.push_back(&left_of(**f));
    } else {
      conjuncts.push_back(f);
    }
  }

  core::ReleaseOnUnwind<std::vector<Clause>> clauses;  // many small parts: freed off the path of an error
  for (const NodePtr* conjunct : conjuncts) {
    LiteralSet literals;
    todo.assign(1, conjunct);
    while (!todo.empty()) {
      poller.poll();
      const NodePtr& f = *todo.back();
      todo.pop_back();
      switch (f->kind()) {
        case NodeKind::Or:
          todo.push_back(&right_of(*f));
          todo.push_back(&left_of(*f));
          break;
        case NodeKind::Not:
          if (!is_atom(*operand_of(*f))) throw core::AssertionFailure();
          literals.insert(Literal(operand_of(*f), false));
          break;
        case NodeKind::PredicateApp:
        case NodeKind::Equality: literals.insert(Literal(f, true)); break;
        default: refuse("Unexpected formula inside clause: ", *f);
      }
    }
    Clause clause(std::move(literals));
    if (!clause.is_tautology()) clauses->push_back(std::move(clause));
  }
  return std::move(*clauses);
}

// ---------------------------------------------------------------------------
// The pipeline
// ---------------------------------------------------------------------------
std::vector<Clause> to_cnf(const NodePtr& formula, core::SymbolRegistry* registry) {
  // Each step's result replaces the one before, so that at most two forms
  // of a large formula live at a time (and an error frees little).
  NodePtr f = eliminate_implications(formula);
  f = to_nnf(f);
  f = standardize_variables(f);
  // Renaming apart leaves the free variables as they are.
  f = skolemize_within(f, closure_variables(f), registry);
  f = drop_universals(f);
  f = distribute_cnf(f);
  return formula_to_clauses(f);
}

std::vector<Clause> negate_and_clausify(const NodePtr& formula, core::SymbolRegistry* registry) {
  if (!formula->is_formula()) refuse("Unsupported formula node: ", *formula);
  return to_cnf(std::make_shared<const core::Not>(universal_closure(formula)), registry);
}

}  // namespace prover
