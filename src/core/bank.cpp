#include "core/bank.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "core/exceptions.hpp"
#include "core/hash_mix.hpp"

namespace core {

namespace {

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

namespace {
std::uint64_t hash_of_pointer(const void* p) { return hash_finish(reinterpret_cast<std::uintptr_t>(p)); }
}  // namespace

void DenseIndex::place(std::uint32_t n) {
  std::size_t mask = slots_.size() - 1;
  std::size_t i = hashes_[n] & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = n + 1;
}

void DenseIndex::add(std::uint64_t hash) {
  if (hashes_.size() >= static_cast<std::size_t>(kMissing) - 1) throw std::length_error("the term bank is full (2^32 ids)");
  make_room(hashes_, 1);
  if ((hashes_.size() + 1) * 2 > slots_.size()) {
    std::vector<std::uint32_t> bigger(std::max<std::size_t>(slots_.size() * 2, 16), 0);
    slots_.swap(bigger);
    for (std::uint32_t n = 0; n < hashes_.size(); ++n) place(n);
  }
  hashes_.push_back(hash);
  place(static_cast<std::uint32_t>(hashes_.size() - 1));
}

void DenseIndex::clear() {
  hashes_.clear();
  std::fill(slots_.begin(), slots_.end(), 0);
}

void DenseIndex::release() noexcept {
  std::vector<std::uint64_t>().swap(hashes_);
  std::vector<std::uint32_t>().swap(slots_);
}

Bank::Bank() { sort(ind_sort()); }

Bank::~Bank() = default;

void Bank::clear() {
  entries_.clear();
  children_.clear();
  terms_.clear();
  symbols_.clear();
  symbol_index_.clear();
  sorts_.clear();
  sort_index_.clear();
  last_sort_.reset();
  last_sort_id_ = kIndSort;
  variables_.clear();
  variable_index_.clear();
  nodes_.clear();
  seen_objects_.clear();
  seen_ids_.clear();
  seen_index_.clear();
  kept_alive_.clear();
  walk_frames_.clear();
  walk_results_.clear();
  build_frames_.clear();
  build_kids_.clear();
  sort(ind_sort());
}

// ---------------------------------------------------------------------------
// Symbols and sorts
// ---------------------------------------------------------------------------
SymbolId Bank::symbol(std::string_view name, std::uint32_t arity) { return symbol(name, arity, nullptr); }

// `known`, when given, is a Symbol of this name to copy (its hash is computed already).
SymbolId Bank::symbol(std::string_view name, std::uint32_t arity, const Symbol* known) {
  std::uint64_t h = hash_finish(hash_mix(std::hash<std::string_view>{}(name), arity));
  auto same = [&](std::uint32_t s) {
    return symbols_[s].arity == arity && symbols_[s].symbol.is_name() && symbols_[s].symbol.name() == name;
  };
  if (SymbolId found = symbol_index_.find(h, same); found != DenseIndex::kMissing) return found;
  auto id = static_cast<SymbolId>(symbols_.size());
  make_room(symbols_, 1);
  symbol_index_.add(h);
  symbols_.push_back({known ? *known : Symbol(std::string(name)), arity});
  return id;
}

SymbolId Bank::symbol(const SymbolVariablePtr& variable, std::uint32_t arity) {
  if (!variable) throw TypeError("a symbol variable is required, got None");
  std::uint64_t h = hash_finish(hash_mix(static_cast<std::uint64_t>(variable->hash()) ^ 0x5555, arity));
  auto same = [&](std::uint32_t s) {
    return symbols_[s].arity == arity && !symbols_[s].symbol.is_name() && *symbols_[s].symbol.variable() == *variable;
  };
  if (SymbolId found = symbol_index_.find(h, same); found != DenseIndex::kMissing) return found;
  auto id = static_cast<SymbolId>(symbols_.size());
  make_room(symbols_, 1);
  symbol_index_.add(h);
  symbols_.push_back({Symbol(variable), arity});
  return id;
}

SymbolId Bank::find_symbol(std::string_view name, std::uint32_t arity) const {
  std::uint64_t h = hash_finish(hash_mix(std::hash<std::string_view>{}(name), arity));
  SymbolId found = symbol_index_.find(h, [&](std::uint32_t s) {
    return symbols_[s].arity == arity && symbols_[s].symbol.is_name() && symbols_[s].symbol.name() == name;
  });
  return found == DenseIndex::kMissing ? kNoSymbol : found;
}

SortId Bank::sort(const SortPtr& value) {
  if (!value) throw TypeError("a sort is required, got None");
  if (!sorts_.empty() && value == sorts_.front()) return kIndSort;
  if (value == last_sort_) return last_sort_id_;
  auto h = static_cast<std::uint64_t>(value->hash());
  SortId id = sort_index_.find(h, [&](std::uint32_t s) { return same_sort(sorts_[s], value); });
  if (id == DenseIndex::kMissing) {
    id = static_cast<SortId>(sorts_.size());
    make_room(sorts_, 1);
    sort_index_.add(h);
    sorts_.push_back(value);
  }
  last_sort_ = value;
  last_sort_id_ = id;
  return id;
}

// ---------------------------------------------------------------------------
// Hash-consing
// ---------------------------------------------------------------------------
std::uint64_t Bank::hash_key(NodeKind kind, std::uint32_t symbol, SortId sort,
                             std::span<const TermId> children) const {
  std::uint64_t h = hash_mix(static_cast<std::uint64_t>(kind), symbol);
  h = hash_mix(h, sort);
  for (TermId c : children) h = hash_mix(h, c);
  return hash_finish(hash_mix(h, children.size()));
}

bool Bank::same_key(TermId t, NodeKind kind, std::uint32_t symbol, SortId sort,
                    std::span<const TermId> children) const {
  if (entries_[t].kind != kind || entries_[t].symbol != symbol || entries_[t].sort != sort || entries_[t].count != children.size()) return false;
  const TermId* mine = children_.data() + entries_[t].first;
  return std::equal(children.begin(), children.end(), mine);
}

TermId Bank::intern(NodeKind kind, std::uint32_t symbol, SortId sort, std::span<const TermId> children) {
  std::uint64_t h = hash_key(kind, symbol, sort, children);
  TermId found = terms_.find(h, [&](TermId t) { return same_key(t, kind, symbol, sort, children); });
  if (found != DenseIndex::kMissing) return found;
  if (entries_.size() >= static_cast<std::size_t>(kNoTerm) - 1 ||
      children_.size() + children.size() > std::numeric_limits<std::uint32_t>::max())
    throw std::length_error("the term bank is full (2^32 ids)");

  auto id = static_cast<TermId>(entries_.size());
  bool ground = kind != NodeKind::Variable;
  std::uint32_t weight = 1;
  for (TermId c : children) {
    ground = ground && (entries_[c].flags & kGround);
    weight = add_weights(weight, entries_[c].weight);
  }
  // Make room first so that a failed allocation leaves every array as it was.
  make_room(entries_, 1);
  make_room(children_, children.size());
  terms_.add(h);
  entries_.push_back({kind, static_cast<std::uint8_t>(ground ? kGround : 0), symbol, sort,
                      static_cast<std::uint32_t>(children_.size()), static_cast<std::uint32_t>(children.size()), weight});
  children_.insert(children_.end(), children.begin(), children.end());
  return id;
}

// ---------------------------------------------------------------------------
// Building
// ---------------------------------------------------------------------------
TermId Bank::variable(std::int64_t id, SortId sort, VariableKind kind) {
  if (id < 0) throw InvalidFormulaError("Variable ID must be non-negative, got " + std::to_string(id) + ".");
  if (id < (std::int64_t{1} << 29))
    return intern(NodeKind::Variable, static_cast<std::uint32_t>(id << 2) | static_cast<std::uint32_t>(kind), sort, {});
  std::uint64_t h = hash_finish(hash_mix(static_cast<std::uint64_t>(id), static_cast<std::uint64_t>(kind)));
  std::uint32_t entry =
      variable_index_.find(h, [&](std::uint32_t e) { return variables_[e].id == id && variables_[e].kind == kind; });
  if (entry == DenseIndex::kMissing) {
    entry = static_cast<std::uint32_t>(variables_.size());
    make_room(variables_, 1);
    variable_index_.add(h);
    variables_.push_back({id, kind});
  }
  return intern(NodeKind::Variable, kBigVariable | entry, sort, {});
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
  if (children.size() != entries_[like].count) throw TypeError("rebuild: wrong number of children");
  return intern(entries_[like].kind, entries_[like].symbol, entries_[like].sort, children);
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
      SymbolId id = s.is_name() ? symbol(s.name(), arity, &s) : symbol(s.variable(), arity);
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

TermId Bank::seen_id(const Node* node) const {
  std::uint32_t n = seen_index_.find(hash_of_pointer(node), [&](std::uint32_t i) { return seen_objects_[i] == node; });
  return n == DenseIndex::kMissing ? kNoTerm : seen_ids_[n];
}

// Remembers that the inner node `node` has the id `id`.  The object must stay
// alive while its address is a key: nodes_ holds it, or kept_alive_ does.
void Bank::remember_seen(const NodePtr& node, TermId id) {
  make_room(seen_objects_, 1);
  make_room(seen_ids_, 1);
  remember(id, node);
  if (nodes_[id] != node) kept_alive_.push_back(node);
  seen_index_.add(hash_of_pointer(node.get()));
  seen_objects_.push_back(node.get());
  seen_ids_.push_back(id);
}

TermId Bank::leaf(const NodePtr& node) {
  TermId id = from_children(*node, {});
  remember(id, node);
  return id;
}

TermId Bank::from_node(const NodePtr& root) {
  if (!root) throw TypeError("a node is required, got None");
  if (child_count(*root) == 0) return leaf(root);
  if (TermId known = seen_id(root.get()); known != kNoTerm) return known;

  // Post-order walk with an explicit stack: a node is converted once all its
  // children have ids; `results` holds the ids of the children done so far.
  // Leaves are interned directly; inner nodes are remembered by object, so
  // a shared subtree is walked once.
  auto& stack = walk_frames_;
  auto& results = walk_results_;
  stack.clear();
  results.clear();
  stack.push_back({&root, 0, child_count(*root), 0});
  while (!stack.empty()) {
    WalkFrame& top = stack.back();
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
      } else if (TermId known = seen_id(kid.get()); known != kNoTerm) {
        results.push_back(known);
      } else {
        stack.push_back({&kid, 0, count, results.size()});  // `top` is not used after this
      }
      continue;
    }
    std::span<const TermId> kid_ids(results.data() + top.results_base, results.size() - top.results_base);
    const NodePtr& node = *top.node;
    TermId id = from_children(parent, kid_ids);
    results.resize(top.results_base);
    remember_seen(node, id);
    stack.pop_back();
    results.push_back(id);
  }
  return results.back();
}

NodePtr Bank::node_from_children(TermId t, const std::vector<NodePtr>& kids) {
  switch (entries_[t].kind) {
    case NodeKind::Variable: return Variable::make(variable_id(t), variable_kind(t), sorts_[entries_[t].sort]);
    case NodeKind::Constant: return Constant::make(symbol_name(entries_[t].symbol), sorts_[entries_[t].sort]);
    case NodeKind::FunctionApp:
      return FunctionApp::make(symbols_[entries_[t].symbol].symbol, symbols_[entries_[t].symbol].arity, kids, sorts_[entries_[t].sort]);
    case NodeKind::PredicateApp:
      return PredicateApp::make(symbols_[entries_[t].symbol].symbol, symbols_[entries_[t].symbol].arity, kids);
    case NodeKind::Equality: return Equality::make(kids[0], kids[1]);
    case NodeKind::Not: return Not::make(kids[0]);
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
    case NodeKind::Iff: return BinaryFormula::make(entries_[t].kind, kids[0], kids[1]);
    case NodeKind::Forall:
    case NodeKind::Exists: return Quantifier::make(entries_[t].kind, kids[0], kids[1]);
    default: return SecondOrderQuantifier::make(entries_[t].kind, symbols_[entries_[t].symbol].symbol.variable(), kids[0]);
  }
}

NodePtr Bank::to_node(TermId root) {
  if (root >= entries_.size()) throw TypeError("no such term id in this bank: " + std::to_string(root));
  if (nodes_.size() < entries_.size()) nodes_.resize(entries_.size());
  if (nodes_[root]) return nodes_[root];
  // Children always have smaller ids than their parents, but a walk that
  // builds only what `root` needs visits fewer ids than a sweep would.
  auto& stack = build_frames_;
  auto& kids = build_kids_;
  stack.assign(1, {root, 0});
  while (!stack.empty()) {
    auto& [t, next] = stack.back();
    if (next < entries_[t].count) {
      TermId kid = children_[entries_[t].first + next++];
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
