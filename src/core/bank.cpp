#include "core/bank.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/exceptions.hpp"

namespace core {

namespace {

constexpr std::uint64_t kMix = 0x9e3779b97f4a7c15ULL;

std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
  h ^= v + kMix + (h << 6) + (h >> 2);
  return h;
}

std::uint64_t finish(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

std::uint32_t add_weights(std::uint32_t a, std::uint32_t b) {
  std::uint64_t sum = static_cast<std::uint64_t>(a) + b;
  return sum > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                         : static_cast<std::uint32_t>(sum);
}

// Grows a vector geometrically so that `extra` more items fit.
template <typename T>
void make_room(std::vector<T>& v, std::size_t extra) {
  if (v.capacity() - v.size() >= extra) return;
  v.reserve(std::max({v.capacity() * 2, v.size() + extra, std::size_t{64}}));
}

}  // namespace

Bank::Bank() : table_(256, 0) { sort(ind_sort()); }

Bank::~Bank() = default;

// ---------------------------------------------------------------------------
// Symbols and sorts
// ---------------------------------------------------------------------------
SymbolId Bank::symbol(std::string_view name, std::uint32_t arity) {
  auto found = symbols_by_name_.find(name);
  if (found != symbols_by_name_.end())
    for (SymbolId s : found->second)
      if (symbols_[s].arity == arity) return s;
  auto id = static_cast<SymbolId>(symbols_.size());
  symbols_.push_back({Symbol(std::string(name)), arity});
  if (found == symbols_by_name_.end()) found = symbols_by_name_.emplace(std::string(name), std::vector<SymbolId>{}).first;
  found->second.push_back(id);
  return id;
}

SymbolId Bank::symbol(const SymbolVariablePtr& variable, std::uint32_t arity) {
  if (!variable) throw TypeError("a symbol variable is required, got None");
  auto& same_name = symbol_variables_by_name_[variable->name()];
  for (SymbolId s : same_name)
    if (symbols_[s].arity == arity && *symbols_[s].symbol.variable() == *variable) return s;
  auto id = static_cast<SymbolId>(symbols_.size());
  symbols_.push_back({Symbol(variable), arity});
  same_name.push_back(id);
  return id;
}

SymbolId Bank::find_symbol(std::string_view name, std::uint32_t arity) const {
  auto it = symbols_by_name_.find(name);
  if (it == symbols_by_name_.end()) return kNoSymbol;
  for (SymbolId s : it->second)
    if (symbols_[s].arity == arity) return s;
  return kNoSymbol;
}

SortId Bank::sort(const SortPtr& value) {
  if (!value) throw TypeError("a sort is required, got None");
  if (!sorts_.empty() && value == sorts_.front()) return kIndSort;
  if (value == last_sort_) return last_sort_id_;
  auto& same_hash = sorts_by_hash_[value->hash()];
  for (SortId s : same_hash) {
    if (same_sort(sorts_[s], value)) {
      last_sort_ = value;
      last_sort_id_ = s;
      return s;
    }
  }
  auto id = static_cast<SortId>(sorts_.size());
  sorts_.push_back(value);
  same_hash.push_back(id);
  last_sort_ = value;
  last_sort_id_ = id;
  return id;
}

// ---------------------------------------------------------------------------
// Hash-consing
// ---------------------------------------------------------------------------
std::uint64_t Bank::hash_key(NodeKind kind, std::uint32_t symbol, SortId sort,
                             std::span<const TermId> children) const {
  std::uint64_t h = mix(static_cast<std::uint64_t>(kind), symbol);
  h = mix(h, sort);
  for (TermId c : children) h = mix(h, c);
  return finish(mix(h, children.size()));
}

bool Bank::same_key(TermId t, NodeKind kind, std::uint32_t symbol, SortId sort,
                    std::span<const TermId> children) const {
  if (kinds_[t] != kind || symbol_[t] != symbol || sort_[t] != sort || count_[t] != children.size()) return false;
  const TermId* mine = children_.data() + first_[t];
  return std::equal(children.begin(), children.end(), mine);
}

void Bank::grow_table() {
  std::vector<TermId> bigger(table_.size() * 2, 0);
  std::size_t mask = bigger.size() - 1;
  for (TermId slot : table_) {
    if (slot == 0) continue;
    std::size_t i = hash_[slot - 1] & mask;
    while (bigger[i] != 0) i = (i + 1) & mask;
    bigger[i] = slot;
  }
  table_.swap(bigger);
}

TermId Bank::intern(NodeKind kind, std::uint32_t symbol, SortId sort, std::span<const TermId> children) {
  std::uint64_t h = hash_key(kind, symbol, sort, children);
  std::size_t mask = table_.size() - 1;
  std::size_t i = h & mask;
  for (; table_[i] != 0; i = (i + 1) & mask) {
    TermId t = table_[i] - 1;
    if (hash_[t] == h && same_key(t, kind, symbol, sort, children)) return t;
  }
  if (kinds_.size() >= static_cast<std::size_t>(kNoTerm) - 1 ||
      children_.size() + children.size() > std::numeric_limits<std::uint32_t>::max())
    throw std::length_error("the term bank is full (2^32 ids)");

  auto id = static_cast<TermId>(kinds_.size());
  bool ground = kind != NodeKind::Variable;
  std::uint32_t weight = 1;
  for (TermId c : children) {
    ground = ground && (flags_[c] & kGround);
    weight = add_weights(weight, weight_[c]);
  }
  // Make room first so that a failed allocation leaves every array as it was.
  for (auto* v : {&first_, &count_, &weight_, &symbol_, &sort_}) make_room(*v, 1);
  make_room(kinds_, 1);
  make_room(flags_, 1);
  make_room(hash_, 1);
  make_room(children_, children.size());
  first_.push_back(static_cast<std::uint32_t>(children_.size()));
  count_.push_back(static_cast<std::uint32_t>(children.size()));
  children_.insert(children_.end(), children.begin(), children.end());
  kinds_.push_back(kind);
  flags_.push_back(ground ? kGround : 0);
  symbol_.push_back(symbol);
  sort_.push_back(sort);
  weight_.push_back(weight);
  hash_.push_back(h);
  table_[i] = id + 1;
  if (kinds_.size() * 2 > table_.size()) grow_table();
  return id;
}

// ---------------------------------------------------------------------------
// Building
// ---------------------------------------------------------------------------
TermId Bank::variable(std::int64_t id, SortId sort, VariableKind kind) {
  if (id < 0) throw InvalidFormulaError("Variable ID must be non-negative, got " + std::to_string(id) + ".");
  auto& same_id = variables_by_id_[id];
  std::uint32_t entry = kNoSymbol;
  for (std::uint32_t e : same_id)
    if (variables_[e].kind == kind) entry = e;
  if (entry == kNoSymbol) {
    entry = static_cast<std::uint32_t>(variables_.size());
    variables_.push_back({id, kind});
    same_id.push_back(entry);
  }
  return intern(NodeKind::Variable, entry, sort, {});
}

TermId Bank::constant(SymbolId name, SortId sort) { return intern(NodeKind::Constant, name, sort, {}); }

TermId Bank::function(SymbolId f, std::span<const TermId> args, SortId return_sort) {
  return intern(NodeKind::FunctionApp, f, return_sort, args);
}

TermId Bank::predicate(SymbolId p, std::span<const TermId> args) {
  return intern(NodeKind::PredicateApp, p, kNoSort, args);
}

TermId Bank::equality(TermId left, TermId right) {
  const TermId sides[2] = {left, right};
  return intern(NodeKind::Equality, kNoSymbol, kNoSort, sides);
}

TermId Bank::negation(TermId operand) { return intern(NodeKind::Not, kNoSymbol, kNoSort, {&operand, 1}); }

TermId Bank::binary(NodeKind kind, TermId left, TermId right) {
  if (!is_binary(kind)) throw TypeError(std::string("not a binary connective: ") + node_class_name(kind));
  const TermId sides[2] = {left, right};
  return intern(kind, kNoSymbol, kNoSort, sides);
}

TermId Bank::quantifier(NodeKind kind, TermId variable, TermId body) {
  if (!is_quantifier(kind)) throw TypeError(std::string("not a quantifier: ") + node_class_name(kind));
  if (!is_variable(variable)) throw TypeError("a quantifier binds a Variable");
  const TermId parts[2] = {variable, body};
  return intern(kind, kNoSymbol, kNoSort, parts);
}

TermId Bank::second_order(NodeKind kind, SymbolId variable, TermId body) {
  if (!is_second_order(kind)) throw TypeError(std::string("not a second-order quantifier: ") + node_class_name(kind));
  return intern(kind, variable, kNoSort, {&body, 1});
}

TermId Bank::rebuild(TermId like, std::span<const TermId> children) {
  if (children.size() != count_[like]) throw TypeError("rebuild: wrong number of children");
  return intern(kinds_[like], symbol_[like], sort_[like], children);
}

// ---------------------------------------------------------------------------
// The syntax-tree boundary
// ---------------------------------------------------------------------------
TermId Bank::from_children(const Node& node, std::span<const TermId> children) {
  switch (node.kind()) {
    case NodeKind::Variable: {
      const auto& v = as<Variable>(node);
      return variable(v.id(), sort(v.sort()), v.var_kind());
    }
    case NodeKind::Constant: {
      const auto& c = as<Constant>(node);
      return constant(symbol(c.name(), 0), sort(c.sort()));
    }
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp: {
      const Application& app = *as_application(node);
      const Symbol& s = app.symbol();
      auto arity = static_cast<std::uint32_t>(app.arity());
      SymbolId id = s.is_name() ? symbol(s.name(), arity) : symbol(s.variable(), arity);
      if (node.kind() == NodeKind::PredicateApp) return predicate(id, children);
      return function(id, children, sort(as<FunctionApp>(node).return_sort()));
    }
    case NodeKind::Equality: return equality(children[0], children[1]);
    case NodeKind::Not: return negation(children[0]);
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
    case NodeKind::Iff: return binary(node.kind(), children[0], children[1]);
    case NodeKind::Forall:
    case NodeKind::Exists: return quantifier(node.kind(), children[0], children[1]);
    default: {
      const SymbolVariablePtr& bound = as<SecondOrderQuantifier>(node).variable();
      return second_order(node.kind(), symbol(bound, static_cast<std::uint32_t>(bound->arity())), children[0]);
    }
  }
}

namespace {

// The children of a node in field order, without building a list.
std::size_t child_count(const Node& n) {
  switch (n.kind()) {
    case NodeKind::Variable:
    case NodeKind::Constant: return 0;
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp: return as_application(n)->args().size();
    case NodeKind::Not: return 1;
    default: return is_second_order(n.kind()) ? 1 : 2;
  }
}

const NodePtr& child_at(const Node& n, std::size_t i) {
  switch (n.kind()) {
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp: return as_application(n)->args()[i];
    case NodeKind::Equality: return i == 0 ? as<Equality>(n).left() : as<Equality>(n).right();
    case NodeKind::Not: return as<Not>(n).operand();
    case NodeKind::Forall:
    case NodeKind::Exists: return as<Quantifier>(n).body();  // i == 1; the variable is taken apart
    default:
      if (is_second_order(n.kind())) return as<SecondOrderQuantifier>(n).body();
      return i == 0 ? as<BinaryFormula>(n).left() : as<BinaryFormula>(n).right();
  }
}

}  // namespace

void Bank::remember(TermId id, const NodePtr& node) {
  if (nodes_.size() <= id) nodes_.resize(static_cast<std::size_t>(id) + 1);
  if (!nodes_[id]) nodes_[id] = node;  // to_node gives back the caller's own object
}

TermId Bank::leaf(const NodePtr& node) {
  TermId id = from_children(*node, {});
  remember(id, node);
  return id;
}

TermId Bank::from_node(const NodePtr& root) {
  if (!root) throw TypeError("a node is required, got None");
  if (child_count(*root) == 0) return leaf(root);
  if (auto it = ids_of_nodes_.find(root.get()); it != ids_of_nodes_.end()) return it->second;

  // Post-order walk with an explicit stack: a node is converted once all its
  // children have ids; `results` holds the ids of the children done so far.
  // Leaves are interned directly; inner nodes are remembered by object, so
  // a shared subtree is walked once.
  struct Frame {
    const NodePtr* node;
    std::size_t next;
    std::size_t count;
    std::size_t results_base;
  };
  std::vector<Frame> stack;
  std::vector<TermId> results;
  stack.push_back({&root, 0, child_count(*root), 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    const Node& parent = **top.node;
    if (top.next < top.count) {
      if (top.next == 0 && is_quantifier(parent.kind())) {
        ++top.next;
        results.push_back(leaf(as<Quantifier>(parent).variable()));
        continue;
      }
      const NodePtr& kid = child_at(parent, top.next++);
      if (!kid) throw InvalidFormulaError("Unsupported AST node type: <class 'NoneType'>");
      std::size_t count = child_count(*kid);
      if (count == 0) {
        results.push_back(leaf(kid));
      } else if (auto it = ids_of_nodes_.find(kid.get()); it != ids_of_nodes_.end()) {
        results.push_back(it->second);
      } else {
        stack.push_back({&kid, 0, count, results.size()});  // `top` is not used after this
      }
      continue;
    }
    std::span<const TermId> kid_ids(results.data() + top.results_base, results.size() - top.results_base);
    const NodePtr& node = *top.node;
    TermId id = from_children(parent, kid_ids);
    results.resize(top.results_base);
    seen_nodes_.push_back(node);
    ids_of_nodes_.emplace(node.get(), id);
    remember(id, node);
    stack.pop_back();
    results.push_back(id);
  }
  return results.back();
}

NodePtr Bank::node_from_children(TermId t, const std::vector<NodePtr>& kids) {
  switch (kinds_[t]) {
    case NodeKind::Variable: return Variable::make(variable_id(t), variable_kind(t), sorts_[sort_[t]]);
    case NodeKind::Constant: return Constant::make(symbol_name(symbol_[t]), sorts_[sort_[t]]);
    case NodeKind::FunctionApp:
      return FunctionApp::make(symbols_[symbol_[t]].symbol, symbols_[symbol_[t]].arity, kids, sorts_[sort_[t]]);
    case NodeKind::PredicateApp:
      return PredicateApp::make(symbols_[symbol_[t]].symbol, symbols_[symbol_[t]].arity, kids);
    case NodeKind::Equality: return Equality::make(kids[0], kids[1]);
    case NodeKind::Not: return Not::make(kids[0]);
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
    case NodeKind::Iff: return BinaryFormula::make(kinds_[t], kids[0], kids[1]);
    case NodeKind::Forall:
    case NodeKind::Exists: return Quantifier::make(kinds_[t], kids[0], kids[1]);
    default: return SecondOrderQuantifier::make(kinds_[t], symbols_[symbol_[t]].symbol.variable(), kids[0]);
  }
}

NodePtr Bank::to_node(TermId root) {
  if (root >= kinds_.size()) throw TypeError("no such term id in this bank: " + std::to_string(root));
  if (nodes_.size() < kinds_.size()) nodes_.resize(kinds_.size());
  if (nodes_[root]) return nodes_[root];
  // Children always have smaller ids than their parents, but a walk that
  // builds only what `root` needs visits fewer ids than a sweep would.
  std::vector<std::pair<TermId, std::uint32_t>> stack{{root, 0}};
  std::vector<NodePtr> kids;
  while (!stack.empty()) {
    auto& [t, next] = stack.back();
    if (next < count_[t]) {
      TermId kid = children_[first_[t] + next++];
      if (!nodes_[kid]) stack.emplace_back(kid, 0);
      continue;
    }
    kids.clear();
    for (TermId c : children(t)) kids.push_back(nodes_[c]);
    nodes_[t] = node_from_children(t, kids);
    stack.pop_back();
  }
  return nodes_[root];
}

}  // namespace core
