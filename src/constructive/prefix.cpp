#include "constructive/prefix.hpp"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/exceptions.hpp"
#include "core/hash_mix.hpp"
#include "core/interrupt.hpp"

namespace constructive {

// ---------------------------------------------------------------------------
// Symbols and prefixes
// ---------------------------------------------------------------------------
PrefixSymbol::PrefixSymbol(Kind kind, std::string name)
    : kind_(kind), name_(std::move(name)), hash_(std::hash<std::string>{}(name_) * 2 + (kind == Kind::Variable)) {}

Symbol Symbol::constant(std::string name) { return Symbol(std::make_shared<PrefixConstant>(std::move(name))); }
Symbol Symbol::variable(std::string name) { return Symbol(std::make_shared<PrefixVariable>(std::move(name))); }

std::string join_names(const SymbolString& symbols) {
  std::string out;
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    if (i) out += '.';
    out += symbols[i].name();
  }
  return out;
}

Prefix Prefix::append(const Symbol& s) const {
  SymbolString out = symbols_;
  out.push_back(s);
  return Prefix(std::move(out));
}

SymbolSet Prefix::variables() const {
  SymbolSet out;
  for (const auto& s : symbols_)
    if (s.is_variable()) out.insert(s);
  return out;
}

SymbolSet Prefix::constants() const {
  SymbolSet out;
  for (const auto& s : symbols_)
    if (!s.is_variable()) out.insert(s);
  return out;
}

std::size_t Prefix::hash() const {
  std::uint64_t h = symbols_.size();
  for (const auto& s : symbols_) h = core::hash_mix(h, s.hash());
  return static_cast<std::size_t>(core::hash_finish(h));
}

// ---------------------------------------------------------------------------
// Substitutions
// ---------------------------------------------------------------------------
namespace {

// `symbols` with every occurrence of `variable` replaced by `value`.
SymbolString replace(const SymbolString& symbols, const Symbol& variable, const SymbolString& value) {
  SymbolString out;
  out.reserve(symbols.size());
  for (const auto& s : symbols) {
    if (s == variable)
      out.insert(out.end(), value.begin(), value.end());
    else
      out.push_back(s);
  }
  return out;
}

bool contains(const SymbolString& symbols, const Symbol& s) {
  return std::find(symbols.begin(), symbols.end(), s) != symbols.end();
}

}  // namespace

SymbolString PrefixSubstitution::apply(const SymbolString& symbols) const {
  if (map_.empty()) return symbols;
  SymbolString out;
  out.reserve(symbols.size());
  for (const auto& s : symbols) {
    const SymbolString* value = s.is_variable() ? map_.find(s) : nullptr;
    if (value)
      out.insert(out.end(), value->begin(), value->end());
    else
      out.push_back(s);
  }
  return out;
}

namespace {

// Reads the instance of a string under a substitution one symbol at a time
// (the substitution is idempotent: a value holds no bound variable).
class InstanceCursor {
 public:
  InstanceCursor(const SymbolString& symbols, const PrefixSubstitution& subst) : symbols_(symbols), subst_(subst) {}
  // The next symbol, or null at the end.
  const Symbol* next() {
    for (;;) {
      if (value_) {
        if (at_ < value_->size()) return &(*value_)[at_++];
        value_ = nullptr;
      }
      if (index_ == symbols_.size()) return nullptr;
      const Symbol& s = symbols_[index_++];
      if (s.is_variable()) {
        if (const SymbolString* value = subst_.find(s)) {
          value_ = value;
          at_ = 0;
          continue;
        }
      }
      return &s;
    }
  }

 private:
  const SymbolString& symbols_;
  const PrefixSubstitution& subst_;
  std::size_t index_ = 0;
  const SymbolString* value_ = nullptr;
  std::size_t at_ = 0;
};

}  // namespace

bool PrefixSubstitution::same_instances(const SymbolString& a, const SymbolString& b) const {
  if (map_.empty()) return a == b;
  InstanceCursor x(a, *this), y(b, *this);
  for (;;) {
    const Symbol* s = x.next();
    const Symbol* t = y.next();
    if (!s || !t) return s == t;
    if (!(*s == *t)) return false;
  }
}

void PrefixSubstitution::add(const Symbol& variable, SymbolString value) {
  for (auto& entry : map_)
    if (contains(entry.second, variable)) entry.second = replace(entry.second, variable, value);
  map_.set(variable, std::move(value));
}

PrefixSubstitution PrefixSubstitution::bind(const Symbol& variable, const SymbolString& value) const {
  if (!variable.is_variable())
    throw core::ValueError("only a prefix variable can be bound, got the constant " + variable.name());
  SymbolString instance = apply(value);
  if (const SymbolString* bound = map_.find(variable)) {
    if (*bound == instance) return *this;
    throw core::ValueError(variable.name() + " is already bound to '" + join_names(*bound) + "'");
  }
  if (contains(instance, variable))
    throw core::ValueError(variable.name() + " occurs in '" + join_names(instance) + "'");
  PrefixSubstitution out = *this;
  out.add(variable, std::move(instance));
  return out;
}

// ---------------------------------------------------------------------------
// Unification
// ---------------------------------------------------------------------------
namespace {

class PrefixUnifier {
 public:
  PrefixUnifier(const PrefixSubstitution& base, const SymbolString& left, const SymbolString& right) : base_(base) {
    auto note = [&](const SymbolString& symbols) {
      for (const auto& s : symbols) used_.insert(s.name());
    };
    note(left);
    note(right);
    for (const auto& [variable, value] : base.mapping()) {
      used_.insert(variable.name());
      note(value);
    }
  }

  std::vector<PrefixSubstitution> run(SymbolString left, SymbolString right) {
    strip(left, right);
    bound_ = 2 * (left.size() + right.size()) + 4;
    solve(std::move(left), std::move(right), PrefixSubstitution());
    return std::move(results_);
  }

 private:
  static void strip(SymbolString& l, SymbolString& r) {
    std::size_t front = 0;
    while (front < l.size() && front < r.size() && l[front] == r[front]) ++front;
    std::size_t back = 0;
    while (back < l.size() - front && back < r.size() - front && l[l.size() - 1 - back] == r[r.size() - 1 - back])
      ++back;
    l = SymbolString(l.begin() + static_cast<std::ptrdiff_t>(front), l.end() - static_cast<std::ptrdiff_t>(back));
    r = SymbolString(r.begin() + static_cast<std::ptrdiff_t>(front), r.end() - static_cast<std::ptrdiff_t>(back));
  }

  static bool has_constant(const SymbolString& s) {
    return std::any_of(s.begin(), s.end(), [](const Symbol& x) { return !x.is_variable(); });
  }
  static std::size_t constant_count(const SymbolString& s) {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](const Symbol& x) { return !x.is_variable(); }));
  }

  Symbol fresh_after(const Symbol& v) {
    std::string name = v.name() + "'";
    while (used_.count(name)) name += "'";
    used_.insert(name);
    Symbol out = Symbol::variable(name);
    fresh_.insert(out);
    return out;
  }

  // Binds `v` to `value` in the equation and in theta, then goes on.
  void branch(const SymbolString& l, const SymbolString& r, const PrefixSubstitution& theta, const Symbol& v,
              const SymbolString& value) {
    PrefixSubstitution next = theta;
    next.add(v, value);
    solve(replace(l, v, value), replace(r, v, value), std::move(next));
  }

  // Binds every variable of `symbols` (except `keep`) to the empty string.
  void empty_all(const SymbolString& symbols, PrefixSubstitution theta, const Symbol* keep) {
    for (const auto& s : symbols)
      if (s.is_variable() && !(keep && s == *keep) && !theta.find(s)) theta.add(s, {});
    emit(theta);
  }

  // A text of the equation in which fresh variables are numbered by first
  // occurrence, so that equations that differ only in fresh names agree.
  std::string key(const SymbolString& l, const SymbolString& r) const {
    std::unordered_map<std::string, int> numbers;
    std::string out;
    auto write = [&](const SymbolString& side) {
      for (const auto& s : side) {
        if (fresh_.contains(s)) {
          auto it = numbers.emplace(s.name(), static_cast<int>(numbers.size())).first;
          out += '#';
          out += std::to_string(it->second);
        } else {
          out += s.is_variable() ? "v:" : "c:";
          out += s.name();
        }
        out += ' ';
      }
    };
    write(l);
    out += "= ";
    write(r);
    return out;
  }

  void solve(SymbolString l, SymbolString r, PrefixSubstitution theta) {
    poller_.poll();
    core::RecursionGuard guard;
    strip(l, r);
    if (l.empty() && r.empty()) return emit(theta);
    if (l.empty() || r.empty()) {
      const SymbolString& rest = l.empty() ? r : l;
      if (has_constant(rest)) return;
      return empty_all(rest, std::move(theta), nullptr);
    }
    if (l.size() == 1 && l[0].is_variable()) return lone(l[0], r, std::move(theta));
    if (r.size() == 1 && r[0].is_variable()) return lone(r[0], l, std::move(theta));
    const Symbol a = l.front(), b = r.front();
    if (!a.is_variable() && !b.is_variable()) return;
    if (!l.back().is_variable() && !r.back().is_variable()) return;  // two different constants at the end
    if ((!has_variable(l) && l.size() < constant_count(r)) || (!has_variable(r) && r.size() < constant_count(l)))
      return;
    if (l.size() + r.size() > bound_) return;
    std::string k = key(l, r);
    if (std::find(path_.begin(), path_.end(), k) != path_.end()) return;
    path_.push_back(std::move(k));
    if (a.is_variable() && b.is_variable()) {
      branch(l, r, theta, a, {});
      branch(l, r, theta, b, {});
      branch(l, r, theta, a, {b, fresh_after(a)});
      branch(l, r, theta, b, {a, fresh_after(b)});
    } else {
      const Symbol& v = a.is_variable() ? a : b;
      const Symbol& c = a.is_variable() ? b : a;
      branch(l, r, theta, v, {});
      branch(l, r, theta, v, {c, fresh_after(v)});
    }
    path_.pop_back();
  }

  static bool has_variable(const SymbolString& s) {
    return std::any_of(s.begin(), s.end(), [](const Symbol& x) { return x.is_variable(); });
  }

  // The variable `v` alone against `other` (which does not start or end with v).
  void lone(const Symbol& v, const SymbolString& other, PrefixSubstitution theta) {
    auto count = std::count(other.begin(), other.end(), v);
    if (count == 0) {
      theta.add(v, other);
      return emit(theta);
    }
    // v = u v w forces u w to be empty; with two or more occurrences v is empty too.
    if (has_constant(other)) return;
    empty_all(other, std::move(theta), count == 1 ? &v : nullptr);
  }

  // The base substitution extended by theta; fresh variables that theta bound
  // are internal and dropped.  Variants of earlier results are skipped.
  void emit(const PrefixSubstitution& theta) {
    PrefixSubstitution out;
    for (const auto& [variable, value] : base_.mapping()) out.add(variable, theta.apply(value));
    for (const auto& [variable, value] : theta.mapping())
      if (!fresh_.contains(variable)) out.add(variable, value);
    std::string k = result_key(out);
    if (!result_keys_.insert(std::move(k)).second) return;
    results_.push_back(std::move(out));
  }

  std::string result_key(const PrefixSubstitution& s) const {
    std::vector<std::pair<std::string, const SymbolString*>> entries;
    for (const auto& [variable, value] : s.mapping()) entries.emplace_back(variable.name(), &value);
    std::sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    SymbolString flat;
    std::string names;
    for (const auto& [name, value] : entries) {
      names += name + "|" + std::to_string(value->size()) + "|";
      flat.insert(flat.end(), value->begin(), value->end());
    }
    return names + key(flat, {});
  }

  const PrefixSubstitution& base_;
  std::unordered_set<std::string> used_;
  SymbolSet fresh_;
  std::vector<std::string> path_;
  std::unordered_set<std::string> result_keys_;
  std::vector<PrefixSubstitution> results_;
  std::size_t bound_ = 0;
  core::InterruptPoller poller_;
};

}  // namespace

std::vector<PrefixSubstitution> unify_prefixes(const Prefix& left, const Prefix& right,
                                               const PrefixSubstitution& subst) {
  PrefixUnifier unifier(subst, left.symbols(), right.symbols());
  return unifier.run(subst.apply(left.symbols()), subst.apply(right.symbols()));
}

// ---------------------------------------------------------------------------
// Admissibility
// ---------------------------------------------------------------------------
bool is_admissible(const SymbolOrder& order, const PrefixSubstitution& subst) {
  std::unordered_map<Symbol, std::size_t, SymbolHash> index;
  std::vector<std::vector<std::size_t>> edges;
  auto node = [&](const Symbol& s) {
    auto [it, added] = index.emplace(s, edges.size());
    if (added) edges.emplace_back();
    return it->second;
  };
  for (const auto& [parent, children] : order) {
    std::size_t from = node(parent);
    for (const auto& child : children) {
      std::size_t to = node(child);
      edges[from].push_back(to);
    }
  }
  for (const auto& [variable, value] : subst.mapping()) {
    std::size_t to = node(variable);
    for (const auto& s : value) {
      std::size_t from = node(s);
      edges[from].push_back(to);
    }
  }
  // Kahn's algorithm: the order is acyclic when every node can be removed.
  std::vector<std::size_t> indegree(edges.size(), 0);
  for (const auto& out : edges)
    for (auto to : out) ++indegree[to];
  std::vector<std::size_t> ready;
  for (std::size_t i = 0; i < edges.size(); ++i)
    if (indegree[i] == 0) ready.push_back(i);
  std::size_t removed = 0;
  while (!ready.empty()) {
    std::size_t n = ready.back();
    ready.pop_back();
    ++removed;
    for (auto to : edges[n])
      if (--indegree[to] == 0) ready.push_back(to);
  }
  return removed == edges.size();
}

}  // namespace constructive
