// Throughput of the clausifier in C++: prover::to_cnf and
// prover::negate_and_clausify on generated formula families, in formulas
// and clauses per second.
//
// Families (bench/bench_clausifier.py builds the very same formulas, with
// the same pseudo-random draws; keep the two in step):
//   alternation n  ∀x0 ∃y0 … ∀x(n-1) ∃y(n-1) ⋀_i (R(xi, yi) ∨ ¬R(yi, x(i+1 mod n))):
//                  Skolem functions of up to n arguments
//   wide_and n     ∀x ∀y ⋀_i (P(x, ci) ∨ ¬Q(f(x), g(y, ci)) ∨ Ri(y)): n clauses
//   wide_or n      ∀x ⋁_i ±Pi(x, f(c(i mod 5))): one clause of n literals
//   iff_chain n    ∀x (…((P0(x) ⇔ P1(x)) ⇔ P2(x)) … ⇔ P(n-1)(x))
//   imp_chain n    ∀x ∃y (D0 ⇒ (D1 ⇒ … ⇒ D(n-1))), Di = Pi(x, y) ∨ Qi(y):
//                  2^(n-1) clauses
//   random d       a batch of seeded random first-order formulas of depth d
//                  (only those whose clause forms stay under the distribution cap)
// Wide conjunctions and disjunctions are balanced trees.  A family whose
// negation's clause form exceeds the cap is timed with to_cnf only.
//
// The Skolem counters are reset before every pass over a batch.  Each batch
// is built and timed in a forked child, so that none inherits the allocator
// state the earlier ones left behind.  The
// comparison with a Python reference clausifier and with the Python face is
// bench/bench_clausifier.py, which runs this program (--tsv) in its own run.
//
// usage: bench_clausifier [--min-seconds S] [--tsv]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/ast.hpp"
#include "core/exceptions.hpp"
#include "prover/clausifier.hpp"

namespace {

using core::NodeKind;
using core::NodePtr;

// splitmix64: the Python side draws the same numbers.
class Draws {
 public:
  explicit Draws(std::uint64_t seed) : state_(seed) {}
  std::uint64_t below(std::uint64_t n) { return next() % n; }

 private:
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::uint64_t state_;
};

// ---------------------------------------------------------------------------
// Building blocks
// ---------------------------------------------------------------------------
core::VariablePtr var(std::int64_t id) { return core::Variable::make(id); }
NodePtr cst(const std::string& name) { return core::Constant::make(name); }
NodePtr fun(const std::string& name, std::vector<NodePtr> args) {
  auto n = static_cast<std::int64_t>(args.size());
  return core::FunctionApp::make(core::Symbol(name), n, std::move(args));
}
NodePtr pred(const std::string& name, std::vector<NodePtr> args) {
  auto n = static_cast<std::int64_t>(args.size());
  return core::PredicateApp::make(name, n, std::move(args));
}
NodePtr quant(NodeKind kind, const core::VariablePtr& v, NodePtr body) {
  return core::Quantifier::make(kind, v, std::move(body));
}
NodePtr binary(NodeKind kind, NodePtr l, NodePtr r) { return core::BinaryFormula::make(kind, std::move(l), std::move(r)); }

NodePtr balanced(NodeKind kind, const std::vector<NodePtr>& items, std::size_t lo, std::size_t hi) {
  if (hi - lo == 1) return items[lo];
  std::size_t mid = lo + (hi - lo) / 2;
  NodePtr left = balanced(kind, items, lo, mid);
  return binary(kind, std::move(left), balanced(kind, items, mid, hi));
}
NodePtr balanced(NodeKind kind, const std::vector<NodePtr>& items) { return balanced(kind, items, 0, items.size()); }

NodePtr left_nested(NodeKind kind, const std::vector<NodePtr>& items) {
  NodePtr out = items.front();
  for (std::size_t i = 1; i < items.size(); ++i) out = binary(kind, out, items[i]);
  return out;
}

NodePtr right_nested(NodeKind kind, const std::vector<NodePtr>& items) {
  NodePtr out = items.back();
  for (std::size_t i = items.size() - 1; i-- > 0;) out = binary(kind, items[i], out);
  return out;
}

std::string indexed(const char* prefix, std::uint64_t i) { return prefix + std::to_string(i); }

// ---------------------------------------------------------------------------
// Families
// ---------------------------------------------------------------------------
NodePtr alternation(int n) {
  std::vector<NodePtr> parts;
  for (int i = 0; i < n; ++i) {
    NodePtr x = var(2 * i), y = var(2 * i + 1), next_x = var(2 * ((i + 1) % n));
    parts.push_back(core::make_or(pred("R", {x, y}), core::make_not(pred("R", {y, next_x}))));
  }
  NodePtr body = balanced(NodeKind::And, parts);
  for (int i = n - 1; i >= 0; --i)
    body = quant(NodeKind::Forall, var(2 * i), quant(NodeKind::Exists, var(2 * i + 1), body));
  return body;
}

NodePtr wide_and(int n) {
  auto x = var(0), y = var(1);
  std::vector<NodePtr> parts;
  for (int i = 0; i < n; ++i) {
    NodePtr c = cst(indexed("c", i));
    NodePtr first = pred("P", {x, c});
    NodePtr second = core::make_not(pred("Q", {fun("f", {x}), fun("g", {y, c})}));
    parts.push_back(core::make_or(core::make_or(first, second), pred(indexed("R", i), {y})));
  }
  return quant(NodeKind::Forall, x, quant(NodeKind::Forall, y, balanced(NodeKind::And, parts)));
}

NodePtr wide_or(int n) {
  auto x = var(0);
  std::vector<NodePtr> literals;
  for (int i = 0; i < n; ++i) {
    NodePtr atom = pred(indexed("P", i), {x, fun("f", {cst(indexed("c", i % 5))})});
    literals.push_back(i % 2 ? core::make_not(atom) : atom);
  }
  return quant(NodeKind::Forall, x, balanced(NodeKind::Or, literals));
}

NodePtr iff_chain(int n) {
  auto x = var(0);
  std::vector<NodePtr> atoms;
  for (int i = 0; i < n; ++i) atoms.push_back(pred(indexed("P", i), {x}));
  return quant(NodeKind::Forall, x, left_nested(NodeKind::Iff, atoms));
}

NodePtr imp_chain(int n) {
  auto x = var(0), y = var(1);
  std::vector<NodePtr> links;
  for (int i = 0; i < n; ++i) links.push_back(core::make_or(pred(indexed("P", i), {x, y}), pred(indexed("Q", i), {y})));
  return quant(NodeKind::Forall, x, quant(NodeKind::Exists, y, right_nested(NodeKind::Implies, links)));
}

// Random formulas; every draw is made in a fixed order (never two in one
// expression), as the Python side makes them.
class RandomFormulas {
 public:
  explicit RandomFormulas(std::uint64_t seed) : draws_(seed) {}

  NodePtr formula(int depth) {
    std::uint64_t choice = depth == 0 ? 0 : draws_.below(8);
    switch (choice) {
      case 0: return atom();
      case 1: return core::make_not(formula(depth - 1));
      case 2: case 3: case 4: case 5: {
        static const NodeKind kinds[] = {NodeKind::And, NodeKind::Or, NodeKind::Implies, NodeKind::Iff};
        NodePtr left = formula(depth - 1);
        NodePtr right = formula(depth - 1);
        return binary(kinds[choice - 2], std::move(left), std::move(right));
      }
      default: {
        auto v = var(static_cast<std::int64_t>(draws_.below(3)));
        NodePtr body = formula(depth - 1);
        return quant(choice == 6 ? NodeKind::Forall : NodeKind::Exists, v, std::move(body));
      }
    }
  }

 private:
  NodePtr atom() {
    std::uint64_t j = draws_.below(4);
    std::vector<NodePtr> args;
    for (std::uint64_t k = 0; k < j % 3; ++k) args.push_back(term(2));
    return pred(indexed("P", j), std::move(args));
  }

  NodePtr term(int depth) {
    std::uint64_t choice = depth == 0 ? 0 : draws_.below(4);
    if (choice < 2) return var(static_cast<std::int64_t>(draws_.below(3)));
    if (choice == 2) return cst(indexed("c", draws_.below(2)));
    std::uint64_t g = draws_.below(2);
    std::vector<NodePtr> args;
    for (std::uint64_t k = 0; k <= g; ++k) args.push_back(term(depth - 1));
    return fun(indexed("f", g), std::move(args));
  }

  Draws draws_;
};

bool under_cap(const std::function<void()>& clausify) {
  try {
    clausify();
    return true;
  } catch (const core::ValueError&) {
    return false;
  }
}

std::vector<NodePtr> random_batch(int depth, int count) {
  RandomFormulas gen(1000 + static_cast<std::uint64_t>(depth));
  std::vector<NodePtr> out;
  while (static_cast<int>(out.size()) < count) {
    NodePtr f = gen.formula(depth);
    if (under_cap([&] { prover::to_cnf(f); }) && under_cap([&] { prover::negate_and_clausify(f); })) out.push_back(f);
  }
  return out;
}

// A batch is built when it is reached and dropped after its timing.
struct Batch {
  std::string family;
  int size;
  std::function<std::vector<NodePtr>()> build;
};

std::vector<Batch> batches() {
  std::vector<Batch> out;
  auto single = [&](const char* family, NodePtr (*make)(int), std::vector<int> sizes) {
    for (int n : sizes) out.push_back({family, n, [make, n] { return std::vector<NodePtr>{make(n)}; }});
  };
  single("alternation", alternation, {8, 12, 32});
  single("wide_and", wide_and, {100, 1000, 10000});
  single("wide_or", wide_or, {100, 1000, 10000});
  single("iff_chain", iff_chain, {4, 5, 6});
  single("imp_chain", imp_chain, {8, 12, 16});
  for (int depth : {3, 4, 5}) out.push_back({"random", depth, [depth] { return random_batch(depth, 200); }});
  return out;
}

// ---------------------------------------------------------------------------
// Timing
// ---------------------------------------------------------------------------
using Clausify = std::vector<prover::Clause> (*)(const NodePtr&, core::SymbolRegistry*);

struct Measure {
  std::size_t clauses = 0;  // per pass over the batch
  double seconds = 0;       // per pass
};

std::size_t pass(Clausify clausify, const std::vector<NodePtr>& formulas) {
  prover::reset_skolem_counters();
  std::size_t clauses = 0;
  for (const auto& f : formulas) clauses += clausify(f, nullptr).size();
  return clauses;
}

Measure measure(Clausify clausify, const std::vector<NodePtr>& formulas, double min_seconds) {
  using clock = std::chrono::steady_clock;
  Measure m;
  m.clauses = pass(clausify, formulas);  // warm-up
  auto start = clock::now();
  double elapsed = 0;
  long passes = 0;
  do {
    pass(clausify, formulas);
    ++passes;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < min_seconds);
  m.seconds = elapsed / static_cast<double>(passes);
  return m;
}

bool negation_under_cap(const std::vector<NodePtr>& formulas) {
  for (const auto& f : formulas)
    if (!under_cap([&] { prover::negate_and_clausify(f); })) return false;
  return true;
}

// Builds the batch and prints one line per operation whose clause form
// stays under the cap.
void time_batch(const Batch& batch, double min_seconds, bool tsv) {
  const std::pair<const char*, Clausify> operations[] = {{"to_cnf", &prover::to_cnf},
                                                         {"negate", &prover::negate_and_clausify}};
  std::vector<NodePtr> formulas = batch.build();
  bool negate_ok = negation_under_cap(formulas);
  for (const auto& [op, clausify] : operations) {
    if (clausify == &prover::negate_and_clausify && !negate_ok) continue;
    Measure m = measure(clausify, formulas, min_seconds);
    double formulas_per_s = static_cast<double>(formulas.size()) / m.seconds;
    double clauses_per_s = static_cast<double>(m.clauses) / m.seconds;
    if (tsv)
      std::printf("%s\t%d\t%s\t%zu\t%zu\t%.9g\n", batch.family.c_str(), batch.size, op, formulas.size(), m.clauses,
                  m.seconds);
    else
      std::printf("%-12s %6d  %-7s %8zu %9zu %13.0f %13.0f\n", batch.family.c_str(), batch.size, op, formulas.size(),
                  m.clauses, formulas_per_s, clauses_per_s);
  }
}

}  // namespace

int main(int argc, char** argv) {
  double min_seconds = 0.5;
  bool tsv = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--min-seconds" && i + 1 < argc) {
      min_seconds = std::atof(argv[++i]);
    } else if (arg == "--tsv") {
      tsv = true;
    } else {
      std::fprintf(stderr, "usage: bench_clausifier [--min-seconds S] [--tsv]\n");
      return 2;
    }
  }

  if (!tsv)
    std::printf("%-12s %6s  %-7s %8s %9s %13s %13s\n", "family", "size", "op", "formulas", "clauses", "formulas/s",
                "clauses/s");
  for (const Batch& batch : batches()) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
      time_batch(batch, min_seconds, tsv);
      std::fflush(stdout);
      _exit(0);
    }
    if (child < 0) {
      time_batch(batch, min_seconds, tsv);
    } else {
      int status = 0;
      waitpid(child, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    }
  }
  return 0;
}
