// Formula families of growing size for intuitionistic propositional provers,
// the C++ twin of bench/families.py (same formulas, same atom names, same
// left-nested conjunctions and disjunctions); keep the two in step.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/ast.hpp"

namespace families {

using core::NodePtr;

inline NodePtr atom(const std::string& name) { return core::PredicateApp::atom(name); }
inline NodePtr p(int i) { return atom("p" + std::to_string(i)); }

inline NodePtr fold(const std::vector<NodePtr>& items, NodePtr (*join)(NodePtr, NodePtr)) {
  NodePtr out = items.at(0);
  for (std::size_t i = 1; i < items.size(); ++i) out = join(out, items[i]);
  return out;
}
inline NodePtr conj(const std::vector<NodePtr>& items) { return fold(items, core::make_and); }
inline NodePtr disj(const std::vector<NodePtr>& items) { return fold(items, core::make_or); }

// (p1 & (p1 -> p2) & ... & (p(n-1) -> pn)) -> pn
inline NodePtr chain(int n) {
  std::vector<NodePtr> links{p(1)};
  for (int i = 1; i < n; ++i) links.push_back(core::make_implies(p(i), p(i + 1)));
  return core::make_implies(conj(links), p(n));
}

// (AND_i ((pi <-> p(i+1 mod m)) -> C)) -> C with C = p1 & ... & pm
inline NodePtr debruijn_over(int m) {
  std::vector<NodePtr> atoms;
  for (int i = 1; i <= m; ++i) atoms.push_back(p(i));
  NodePtr c = conj(atoms);
  std::vector<NodePtr> cycle;
  for (int i = 1; i <= m; ++i) cycle.push_back(core::make_implies(core::make_iff(p(i), p(i % m + 1)), c));
  return core::make_implies(conj(cycle), c);
}
inline NodePtr debruijn(int n) { return debruijn_over(2 * n + 1); }
inline NodePtr debruijn_even(int n) { return debruijn_over(2 * n); }

// n+1 pigeons in n holes: two share a hole.
inline NodePtr pigeon(int n) {
  auto o = [](int i, int j) { return atom("o" + std::to_string(i) + "_" + std::to_string(j)); };
  std::vector<NodePtr> placed;
  for (int i = 1; i <= n + 1; ++i) {
    std::vector<NodePtr> holes;
    for (int j = 1; j <= n; ++j) holes.push_back(o(i, j));
    placed.push_back(disj(holes));
  }
  std::vector<NodePtr> shared;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n + 1; ++i)
      for (int k = i + 1; k <= n + 1; ++k) shared.push_back(core::make_and(o(i, j), o(k, j)));
  return core::make_implies(conj(placed), disj(shared));
}

inline NodePtr lem(int n) {
  std::vector<NodePtr> items;
  for (int i = 1; i <= n; ++i) items.push_back(core::make_or(p(i), core::make_not(p(i))));
  return conj(items);
}
inline NodePtr dneg_lem(int n) { return core::make_not(core::make_not(lem(n))); }

inline NodePtr linear(int n) {
  std::vector<NodePtr> items;
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j)
      if (i != j) items.push_back(core::make_implies(p(i), p(j)));
  return disj(items);
}

struct Family {
  const char* name;
  std::function<NodePtr(int)> make;
  bool valid;     // intuitionistically valid
  int first_size; // smallest meaningful size
};

inline const std::vector<Family>& all() {
  static const std::vector<Family> families{
      {"chain", chain, true, 1},       {"debruijn", debruijn, true, 1}, {"pigeon", pigeon, true, 1},
      {"dneg_lem", dneg_lem, true, 1}, {"lem", lem, false, 1},          {"linear", linear, false, 2},
      {"debruijn_even", debruijn_even, false, 1},
  };
  return families;
}

}  // namespace families
