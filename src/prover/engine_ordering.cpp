#include "prover/engine_ordering.hpp"

#include <algorithm>

#include "core/interrupt.hpp"

namespace prover::engine_parts {

Order Ordering::compare(TermId s, TermId t) {
  core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
  if (s == t) return Order::Equal;
  if (terms_.is_var(s)) return occurs(s, t) ? Order::Less : Order::Incomparable;
  if (terms_.is_var(t)) return occurs(t, s) ? Order::Greater : Order::Incomparable;
  balance_.clear();
  count_vars(s, 1);
  count_vars(t, -1);
  bool s_more = false, t_more = false;
  for (auto& [v, c] : balance_) {
    if (c > 0) s_more = true;
    if (c < 0) t_more = true;
  }
  auto greater = [&] { return t_more ? Order::Incomparable : Order::Greater; };
  auto less = [&] { return s_more ? Order::Incomparable : Order::Less; };
  std::uint32_t ws = terms_.weight(s), wt = terms_.weight(t);
  if (ws > wt) return greater();
  if (ws < wt) return less();
  auto ps = precedence(s), pt = precedence(t);
  if (ps > pt) return greater();
  if (ps < pt) return less();
  for (std::uint32_t i = 0, n = terms_.arity(s); i < n; ++i) {
    Order o = compare(terms_.arg(s, i), terms_.arg(t, i));
    if (o == Order::Equal) continue;
    if (o == Order::Greater) return greater();
    if (o == Order::Less) return less();
    return Order::Incomparable;
  }
  return Order::Equal;
}

std::uint64_t Ordering::precedence(TermId t) const {
  return (static_cast<std::uint64_t>(terms_.is_predicate(t)) << 62) |
         (static_cast<std::uint64_t>(terms_.arity(t)) << 32) | terms_.sym(t);
}

bool Ordering::occurs(TermId v, TermId t) const {
  core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
  if (t == v) return true;
  if (terms_.is_var(t) || terms_.ground(t)) return false;
  for (std::uint32_t i = 0, n = terms_.arity(t); i < n; ++i)
    if (occurs(v, terms_.arg(t, i))) return true;
  return false;
}

void Ordering::count_vars(TermId t, int delta) {
  core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
  if (terms_.is_var(t)) {
    for (auto& entry : balance_)
      if (entry.first == t) {
        entry.second += delta;
        return;
      }
    balance_.emplace_back(t, delta);
    return;
  }
  if (terms_.ground(t)) return;
  for (std::uint32_t i = 0, n = terms_.arity(t); i < n; ++i) count_vars(terms_.arg(t, i), delta);
}

void Ordering::literal_multiset(const Lit& l, std::vector<TermId>& out) const {
  out.clear();
  if (is_equation(terms_, l)) {
    int copies = l.positive ? 1 : 2;
    for (int k = 0; k < copies; ++k) {
      out.push_back(terms_.arg(l.atom, 0));
      out.push_back(terms_.arg(l.atom, 1));
    }
  } else {
    out.push_back(l.atom);
    if (!l.positive) out.push_back(l.atom);
  }
}

// Multiset extension of the term ordering: a > b.
bool Ordering::multiset_greater(std::vector<TermId> a, std::vector<TermId> b) {
  // Cancel common elements.
  for (std::size_t i = 0; i < a.size();) {
    auto it = std::find(b.begin(), b.end(), a[i]);
    if (it != b.end()) {
      b.erase(it);
      a.erase(a.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  if (a.empty()) return false;
  for (TermId y : b) {
    bool dominated = false;
    for (TermId x : a)
      if (greater(x, y)) {
        dominated = true;
        break;
      }
    if (!dominated) return false;
  }
  return true;
}

bool Ordering::literal_greater(const Lit& a, const Lit& b) {
  std::vector<TermId> ma, mb;
  literal_multiset(a, ma);
  literal_multiset(b, mb);
  return multiset_greater(std::move(ma), std::move(mb));
}

void Ordering::mark_eligible(StoredClause& c) {
  std::size_t n = c.lits.size();
  c.eligible.assign(n, false);
  std::size_t best = n;
  for (std::size_t i = 0; i < n; ++i) {
    if (c.lits[i].positive) continue;
    if (best == n || terms_.weight(c.lits[i].atom) > terms_.weight(c.lits[best].atom)) best = i;
  }
  if (best != n) {
    c.eligible[best] = true;
    c.has_selection = true;
    return;
  }
  c.has_selection = false;
  for (std::size_t i = 0; i < n; ++i) {
    bool dominated = false;
    for (std::size_t j = 0; j < n && !dominated; ++j)
      if (j != i && literal_greater(c.lits[j], c.lits[i])) dominated = true;
    c.eligible[i] = !dominated;
  }
}

void Ordering::usable_sides(TermId equation, bool out[2]) {
  Order o = compare(terms_.arg(equation, 0), terms_.arg(equation, 1));
  out[0] = o != Order::Less;
  out[1] = o != Order::Greater && o != Order::Equal;
}

}  // namespace prover::engine_parts
