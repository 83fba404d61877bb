// Unification of batches of term pairs, three ways in one run:
//   explicit  unify_terms_explicit: an explicit substitution that every
//             binding rewrites (the former unify_terms);
//   api       unify_terms: the same call on the trail unifier, including the
//             conversion into a bank and the read-back of the unifier;
//   trail     core::Unifier on terms already in a bank (the provers' path):
//             unify, then undo to the mark.
// Each family is a batch of pairs that unify; every way's instance of the
// left term is checked against the others.  Times are per batch.
//
// usage: bench_unify [--min-seconds S]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/ast.hpp"
#include "core/bank.hpp"
#include "core/substitutions.hpp"
#include "core/unify.hpp"

namespace {

using namespace core;

struct Pair {
  NodePtr left, right;
};
struct Family {
  std::string name;
  std::vector<Pair> pairs;
};

NodePtr var(std::int64_t id) { return Variable::make(id); }
NodePtr cst(const std::string& name) { return Constant::make(name); }
NodePtr app(const std::string& name, std::vector<NodePtr> args) {
  auto arity = static_cast<std::int64_t>(args.size());
  return FunctionApp::make(Symbol(name), arity, std::move(args));
}

// h(x1, ..., xn) = h(f(x2), ..., f(xn), a): each binding feeds the next.
Family chain(int n) {
  std::vector<NodePtr> left, right;
  for (int i = 0; i < n; ++i) {
    left.push_back(var(i));
    right.push_back(i + 1 < n ? app("f", {var(i + 1)}) : cst("a"));
  }
  return {"chain " + std::to_string(n), {{app("h", left), app("h", right)}}};
}

// g(x1, ..., xn) = g(t1, ..., tn) with small ground terms t_i.
Family wide(int n) {
  std::vector<NodePtr> left, right;
  for (int i = 0; i < n; ++i) {
    left.push_back(var(i));
    right.push_back(app("s", {app("p", {cst("c" + std::to_string(i % 7))}), cst("d")}));
  }
  return {"wide " + std::to_string(n), {{app("g", left), app("g", right)}}};
}

// k(x1, k(x2, ... k(xn, a))) = k(f(y1), k(f(y2), ... k(f(yn), a))): a term
// n deep with a binding at every level.
Family deep(int n) {
  NodePtr left = cst("a"), right = cst("a");
  for (int i = n; i-- > 0;) {
    left = app("k", {var(i), left});
    right = app("k", {app("f", {var(n + i)}), right});
  }
  return {"deep " + std::to_string(n), {{left, right}}};
}

// Random terms over `vars` variables and each paired with an instance of a
// variant of itself: many bindings, on both sides.
NodePtr random_term(std::mt19937& rng, int depth, int vars, int var_base) {
  std::uniform_int_distribution<int> pick(0, 9);
  int choice = pick(rng);
  if (depth == 0 || choice < 3) {
    if (choice < 2) return var(var_base + static_cast<int>(rng() % vars));
    return cst("c" + std::to_string(rng() % 5));
  }
  int arity = 1 + static_cast<int>(rng() % 3);
  std::vector<NodePtr> args;
  for (int i = 0; i < arity; ++i) args.push_back(random_term(rng, depth - 1, vars, var_base));
  return app("f" + std::to_string(arity), std::move(args));
}

Family random_pairs(int count, int depth, int vars) {
  std::mt19937 rng(12345);
  Family family{"random " + std::to_string(count) + "x d" + std::to_string(depth) + " v" + std::to_string(vars), {}};
  while (static_cast<int>(family.pairs.size()) < count) {
    NodePtr t = random_term(rng, depth, vars, 0);
    // The variant's variables are vars..2*vars-1; half of them get a term.
    Substitution rename, instance;
    for (int v = 0; v < vars; ++v) rename.set(as_ptr<Variable>(var(v)), var(vars + v));
    for (int v = 0; v < vars; v += 2)
      instance.set(as_ptr<Variable>(var(vars + v)), random_term(rng, 2, vars, 2 * vars));
    NodePtr other = substitute_term(substitute_term(t, rename), instance);
    family.pairs.push_back({t, other});
  }
  return family;
}

// Seconds per call of `batch`, repeated until `min_seconds` have passed.
double time_per_batch(const std::function<void()>& batch, double min_seconds) {
  using clock = std::chrono::steady_clock;
  auto start = clock::now();
  long runs = 0;
  double elapsed = 0;
  do {
    batch();
    ++runs;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < min_seconds);
  return elapsed / static_cast<double>(runs);
}

}  // namespace

int main(int argc, char** argv) {
  double min_seconds = 0.3;
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::string(argv[i]) == "--min-seconds") min_seconds = std::atof(argv[i + 1]);

  std::vector<Family> families = {chain(100), chain(300),  wide(300),  wide(1000),
                                  deep(300),  deep(1000),  random_pairs(200, 7, 32), random_pairs(50, 9, 128),
                                  random_pairs(2000, 2, 3)};
  std::printf("%-24s %7s %12s %12s %12s %9s %9s\n", "family", "pairs", "explicit_ms", "api_ms", "trail_ms",
              "api_x", "trail_x");
  for (const Family& family : families) {
    // The trail's terms enter the bank once, as a prover's would.
    Bank bank;
    Unifier unifier(bank);
    std::vector<std::pair<TermId, TermId>> ids;
    for (const auto& p : family.pairs) ids.emplace_back(bank.from_node(p.left), bank.from_node(p.right));

    // The three ways agree on every pair.
    for (std::size_t i = 0; i < family.pairs.size(); ++i) {
      const auto& p = family.pairs[i];
      NodePtr by_explicit = substitute_term(p.left, unify_terms_explicit(p.left, p.right));
      NodePtr by_api = substitute_term(p.left, unify_terms(p.left, p.right));
      if (!unifier.unify(ids[i].first, ids[i].second)) return std::printf("trail failed on %s\n", family.name.c_str()), 1;
      NodePtr by_trail = bank.to_node(unifier.apply(ids[i].first));
      unifier.undo(0);
      if (!equal(by_explicit, by_api) || !equal(by_explicit, by_trail))
        return std::printf("results differ on %s\n", family.name.c_str()), 1;
    }

    double explicit_s = time_per_batch(
        [&] {
          for (const auto& p : family.pairs) unify_terms_explicit(p.left, p.right);
        },
        min_seconds);
    double api_s = time_per_batch(
        [&] {
          for (const auto& p : family.pairs) unify_terms(p.left, p.right);
        },
        min_seconds);
    double trail_s = time_per_batch(
        [&] {
          for (auto [l, r] : ids) {
            unifier.unify(l, r);
            unifier.undo(0);
          }
        },
        min_seconds);
    std::printf("%-24s %7zu %12.3f %12.3f %12.4f %9.1f %9.1f\n", family.name.c_str(), family.pairs.size(),
                explicit_s * 1e3, api_s * 1e3, trail_s * 1e3, explicit_s / api_s, explicit_s / trail_s);
  }
  return 0;
}
