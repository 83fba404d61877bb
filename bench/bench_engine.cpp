// The resolution engine beside E (Debian's `eprover`) on the same problems.
//
// Set (a): intuitionistic formulas translated into classical first-order
// logic over Kripke worlds (an atom P at world w becomes P(w); an
// implication or negation at w quantifies over every world u with R(w, u)),
// with the frame axioms (R reflexive and transitive, every atom monotone
// along R).  The formulas are the IPC benchmark families at small sizes and
// a seeded set of random IPC theorems (random formulas that the LJT prover
// proves), plus random formulas it refutes (non-theorems).
// Set (b): a table of small classical first-order problems.
//
// Every problem runs in process through prover::TheoremProver (clausifying
// included) with the default limits, and through E on a TPTP file written
// for it, in this same run.  One line per problem: the two verdicts, our
// time, E's wall time and the ratio; then a summary per set: how many
// problems each proves, how many of E's proofs we match, the two median
// times and a check that no non-theorem was proved.
//
// usage: bench_engine [--eprover PATH] [--e-limit SECONDS] [--random N] [--seed S]
//                     [--depth D] [--atoms N] [--max-steps N] [--timeout SECONDS] [--quiet]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "constructive/common.hpp"
#include "constructive/ljt.hpp"
#include "core/signature.hpp"
#include "families.hpp"
#include "prover/engine.hpp"

namespace {

using core::NodeKind;
using core::NodePtr;

struct Options {
  std::string eprover = "eprover";
  double e_limit = 10;
  int random = 40;
  unsigned seed = 12;
  int depth = 4;  // of each side of a random implication
  int atoms = 4;
  std::int64_t max_steps = 1000;
  double timeout = 10.0;
  bool quiet = false;
};

// ---------------------------------------------------------------------------
// The relational translation and the frame axioms
// ---------------------------------------------------------------------------
NodePtr pred(const std::string& name, std::vector<NodePtr> args) {
  auto n = args.size();
  return core::PredicateApp::make(name, static_cast<std::int64_t>(n), std::move(args));
}
NodePtr forall(const core::VariablePtr& v, NodePtr body) { return core::Quantifier::make(NodeKind::Forall, v, std::move(body)); }

NodePtr translate(const NodePtr& f, const NodePtr& world, std::int64_t& counter) {
  if (constructive::is_falsum(*f) || constructive::is_verum(*f)) return f;
  switch (f->kind()) {
    case NodeKind::PredicateApp: return pred(core::as<core::PredicateApp>(*f).pred().name(), {world});
    case NodeKind::Not: {
      auto u = core::Variable::make(counter++);
      NodePtr body = translate(core::as<core::Not>(*f).operand(), u, counter);
      return forall(u, core::make_implies(pred("R", {world, u}), core::make_not(body)));
    }
    case NodeKind::And:
    case NodeKind::Or: {
      const auto& b = core::as<core::BinaryFormula>(*f);
      NodePtr l = translate(b.left(), world, counter);
      NodePtr r = translate(b.right(), world, counter);
      return f->kind() == NodeKind::And ? core::make_and(l, r) : core::make_or(l, r);
    }
    case NodeKind::Implies: {
      const auto& b = core::as<core::BinaryFormula>(*f);
      auto u = core::Variable::make(counter++);
      NodePtr l = translate(b.left(), u, counter);
      NodePtr r = translate(b.right(), u, counter);
      return forall(u, core::make_implies(core::make_and(pred("R", {world, u}), l), r));
    }
    case NodeKind::Iff: return translate(constructive::normalize_formula(f), world, counter);
    default: return f;
  }
}

void atom_names(const NodePtr& f, std::set<std::string>& out) {
  switch (f->kind()) {
    case NodeKind::PredicateApp: {
      const std::string& name = core::as<core::PredicateApp>(*f).pred().name();
      if (name != "_bot" && name != "_top") out.insert(name);
      return;
    }
    case NodeKind::Not: atom_names(core::as<core::Not>(*f).operand(), out); return;
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
    case NodeKind::Iff:
      atom_names(core::as<core::BinaryFormula>(*f).left(), out);
      atom_names(core::as<core::BinaryFormula>(*f).right(), out);
      return;
    default: return;
  }
}

std::vector<NodePtr> frame_axioms(const std::set<std::string>& names) {
  auto x = core::Variable::make(1), y = core::Variable::make(2), z = core::Variable::make(3);
  std::vector<NodePtr> out;
  out.push_back(forall(x, pred("R", {x, x})));
  NodePtr rxy = pred("R", {x, y}), ryz = pred("R", {y, z}), rxz = pred("R", {x, z});
  out.push_back(forall(x, forall(y, forall(z, core::make_implies(core::make_and(rxy, ryz), rxz)))));
  for (const auto& name : names) {
    if (name == "R") continue;
    out.push_back(forall(x, forall(y, core::make_implies(core::make_and(pred(name, {x}), rxy), pred(name, {y})))));
  }
  return out;
}

struct Problem {
  std::string set;   // "a" or "b"
  std::string name;
  NodePtr target;
  std::vector<NodePtr> premises;
  bool theorem;      // known status: true a theorem, false a non-theorem
};

Problem translated(const std::string& name, const NodePtr& ipc, bool valid) {
  NodePtr normal = constructive::normalize_formula(ipc);
  std::set<std::string> names;
  atom_names(normal, names);
  std::int64_t counter = 1;
  NodePtr target = translate(normal, core::Constant::make("w0"), counter);
  return {"a", name, target, frame_axioms(names), valid};
}

// ---------------------------------------------------------------------------
// Random IPC formulas, sorted into theorems and non-theorems by LJT
// ---------------------------------------------------------------------------
NodePtr random_formula(std::mt19937& rng, int depth, int atoms) {
  std::uniform_int_distribution<int> pick(0, 9);
  int k = depth <= 0 ? 0 : pick(rng);
  if (k <= 2) return families::p(std::uniform_int_distribution<int>(1, atoms)(rng));
  NodePtr a = random_formula(rng, depth - 1, atoms);
  if (k == 3) return core::make_not(a);
  NodePtr b = random_formula(rng, depth - 1, atoms);
  if (k <= 5) return core::make_implies(a, b);
  if (k <= 7) return core::make_and(a, b);
  return core::make_or(a, b);
}

void random_problems(const Options& opt, std::vector<Problem>& out) {
  std::mt19937 rng(opt.seed);
  constructive::LJTProver ljt;
  int theorems = 0, others = 0, tries = 0;
  while ((theorems < opt.random || others < opt.random / 4) && tries < 200000) {
    ++tries;
    NodePtr f = core::make_implies(random_formula(rng, opt.depth, opt.atoms), random_formula(rng, opt.depth, opt.atoms));
    if (core::formula_size(*f) < 8) continue;
    bool valid = ljt.prove(f, {}) != nullptr;
    if (valid && theorems < opt.random) {
      out.push_back(translated("random_thm_" + std::to_string(theorems++), f, true));
    } else if (!valid && others < opt.random / 4) {
      out.push_back(translated("random_non_" + std::to_string(others++), f, false));
    }
  }
}

void family_problems(std::vector<Problem>& out) {
  const std::map<std::string, int> largest{{"chain", 16},   {"debruijn", 2}, {"pigeon", 3},
                                           {"dneg_lem", 3}, {"lem", 3},      {"linear", 4},
                                           {"debruijn_even", 2}};
  for (const auto& family : families::all()) {
    int last = largest.count(family.name) ? largest.at(family.name) : 2;
    for (int n = family.first_size; n <= last; ++n)
      out.push_back(translated(std::string(family.name) + "_" + std::to_string(n), family.make(n), family.valid));
  }
}

// ---------------------------------------------------------------------------
// Set (b): classical problems
// ---------------------------------------------------------------------------
NodePtr V(int i) { return core::Variable::make(i); }
NodePtr K(const char* name) { return core::Constant::make(name); }
NodePtr fn(const char* f, std::vector<NodePtr> args) {
  auto n = args.size();
  return core::FunctionApp::make(f, static_cast<std::int64_t>(n), std::move(args));
}
NodePtr all(int i, NodePtr body) { return forall(core::Variable::make(i), std::move(body)); }
NodePtr some(int i, NodePtr body) { return core::Quantifier::make(NodeKind::Exists, core::Variable::make(i), std::move(body)); }
NodePtr eq(NodePtr a, NodePtr b) { return core::Equality::make(std::move(a), std::move(b)); }
NodePtr imp(NodePtr a, NodePtr b) { return core::make_implies(std::move(a), std::move(b)); }
NodePtr conj(NodePtr a, NodePtr b) { return core::make_and(std::move(a), std::move(b)); }
NodePtr disj(NodePtr a, NodePtr b) { return core::make_or(std::move(a), std::move(b)); }
NodePtr iff(NodePtr a, NodePtr b) { return core::make_iff(std::move(a), std::move(b)); }
NodePtr neg(NodePtr a) { return core::make_not(std::move(a)); }
NodePtr P1(const char* p, NodePtr a) { return pred(p, {std::move(a)}); }
NodePtr P2(const char* p, NodePtr a, NodePtr b) { return pred(p, {std::move(a), std::move(b)}); }

void classical_problems(std::vector<Problem>& out) {
  auto add = [&](const char* name, NodePtr target, std::vector<NodePtr> premises, bool theorem) {
    out.push_back({"b", name, std::move(target), std::move(premises), theorem});
  };
  NodePtr x = V(1), y = V(2), z = V(3);
  // Syllogisms.
  add("barbara", all(1, imp(P1("S", x), P1("P", x))),
      {all(1, imp(P1("M", x), P1("P", x))), all(1, imp(P1("S", x), P1("M", x)))}, true);
  add("socrates", P1("mortal", K("socrates")), {all(1, imp(P1("man", x), P1("mortal", x))), P1("man", K("socrates"))},
      true);
  add("celarent", all(1, imp(P1("S", x), neg(P1("P", x)))),
      {all(1, imp(P1("M", x), neg(P1("P", x)))), all(1, imp(P1("S", x), P1("M", x)))}, true);
  add("darii", some(1, conj(P1("S", x), P1("P", x))),
      {all(1, imp(P1("M", x), P1("P", x))), some(1, conj(P1("S", x), P1("M", x)))}, true);
  add("undistributed_middle", all(1, imp(P1("S", x), P1("P", x))),
      {all(1, imp(P1("P", x), P1("M", x))), all(1, imp(P1("S", x), P1("M", x)))}, false);
  // The drinker and relatives.
  add("drinker", some(1, imp(P1("D", x), all(2, P1("D", y)))), {}, true);
  add("pelletier_18", some(2, all(1, imp(P1("F", y), P1("F", x)))), {}, true);
  add("pelletier_19", some(1, all(2, all(3, imp(imp(P1("P", y), P1("Q", z)), imp(P1("P", x), P1("Q", x)))))), {},
      true);
  add("pelletier_20",
      imp(all(1, all(2, some(3, all(4, imp(conj(P1("P", x), P1("Q", y)), conj(P1("R", z), P1("S", V(4)))))))),
          imp(some(1, some(2, conj(P1("P", x), P1("Q", y)))), some(3, P1("R", z)))),
      {}, true);
  add("pelletier_26_like", imp(all(1, imp(P1("P", x), P1("Q", x))), imp(some(1, P1("P", x)), some(1, P1("Q", x)))), {},
      true);
  add("barber", neg(some(1, all(2, iff(P2("shaves", x, y), neg(P2("shaves", y, y)))))), {}, true);
  add("quantifier_swap", all(1, some(2, P2("L", x, y))), {some(2, all(1, P2("L", x, y)))}, true);
  add("quantifier_swap_converse", some(2, all(1, P2("L", x, y))), {all(1, some(2, P2("L", x, y)))}, false);
  // Set theory, lite: subsets through membership.
  NodePtr subset_def = all(1, all(2, iff(P2("sub", x, y), all(3, imp(P2("in", z, x), P2("in", z, y))))));
  add("subset_transitive", all(1, all(2, all(3, imp(conj(P2("sub", x, y), P2("sub", y, z)), P2("sub", x, z))))),
      {subset_def}, true);
  add("subset_reflexive", all(1, P2("sub", x, x)), {subset_def}, true);
  add("subset_symmetric", all(1, all(2, imp(P2("sub", x, y), P2("sub", y, x)))), {subset_def}, false);
  NodePtr union_def = all(1, all(2, all(3, iff(P2("in", z, fn("union", {x, y})), disj(P2("in", z, x), P2("in", z, y))))));
  add("union_upper_bound", all(1, all(2, P2("sub", x, fn("union", {x, y})))), {subset_def, union_def}, true);
  add("union_commutes_sub", all(1, all(2, P2("sub", fn("union", {x, y}), fn("union", {y, x})))),
      {subset_def, union_def}, true);
  // Group theory, lite (equality).
  auto m = [](NodePtr a, NodePtr b) { return fn("m", {std::move(a), std::move(b)}); };
  auto inv = [](NodePtr a) { return fn("i", {std::move(a)}); };
  NodePtr e = K("e");
  std::vector<NodePtr> group{all(1, eq(m(e, x), x)), all(1, eq(m(inv(x), x), e)),
                             all(1, all(2, all(3, eq(m(m(x, y), z), m(x, m(y, z))))))};
  add("group_right_identity", all(1, eq(m(x, e), x)), group, true);
  add("group_right_inverse", all(1, eq(m(x, inv(x)), e)), group, true);
  add("group_inverse_inverse", all(1, eq(inv(inv(x)), x)), group, true);
  add("group_commutative", all(1, all(2, eq(m(x, y), m(y, x)))), group, false);
  // Non-theorems with finite counter-models.
  add("one_point_not_two", some(1, some(2, neg(eq(x, y)))), {}, false);
  add("serial_not_reflexive", all(1, P2("L", x, x)), {all(1, some(2, P2("L", x, y)))}, false);
  add("sym_trans_not_reflexive", all(1, P2("L", x, x)),
      {all(1, all(2, imp(P2("L", x, y), P2("L", y, x)))),
       all(1, all(2, all(3, imp(conj(P2("L", x, y), P2("L", y, z)), P2("L", x, z)))))},
      false);
  add("sym_trans_serial_reflexive", all(1, P2("L", x, x)),
      {all(1, all(2, imp(P2("L", x, y), P2("L", y, x)))),
       all(1, all(2, all(3, imp(conj(P2("L", x, y), P2("L", y, z)), P2("L", x, z))))), all(1, some(2, P2("L", x, y)))},
      true);
}

// ---------------------------------------------------------------------------
// TPTP
// ---------------------------------------------------------------------------
std::string quoted(const std::string& name, std::int64_t arity) {
  // Names of different arities stay apart; quotes allow any name.
  std::string out = "'" + name;
  if (arity > 0) out += "_" + std::to_string(arity);
  return out + "'";
}

std::string tptp(const NodePtr& f) {
  switch (f->kind()) {
    case NodeKind::Variable: return "X" + std::to_string(core::as<core::Variable>(*f).id());
    case NodeKind::Constant: return quoted(core::as<core::Constant>(*f).name(), 0);
    case NodeKind::FunctionApp:
    case NodeKind::PredicateApp: {
      const core::Application* a = core::as_application(*f);
      const std::string& name = a->symbol().name();
      if (f->kind() == NodeKind::PredicateApp && a->args().empty()) {
        if (name == "_bot") return "$false";
        if (name == "_top") return "$true";
      }
      std::string out = quoted(name, a->arity());
      if (a->args().empty()) return out;
      out += "(";
      for (std::size_t i = 0; i < a->args().size(); ++i) out += (i ? "," : "") + tptp(a->args()[i]);
      return out + ")";
    }
    case NodeKind::Equality: {
      const auto& e = core::as<core::Equality>(*f);
      return "(" + tptp(e.left()) + " = " + tptp(e.right()) + ")";
    }
    case NodeKind::Not: return "~(" + tptp(core::as<core::Not>(*f).operand()) + ")";
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Implies:
    case NodeKind::Iff: {
      const auto& b = core::as<core::BinaryFormula>(*f);
      const char* op = f->kind() == NodeKind::And ? " & " : f->kind() == NodeKind::Or ? " | " : f->kind() == NodeKind::Implies ? " => " : " <=> ";
      return "(" + tptp(b.left()) + op + tptp(b.right()) + ")";
    }
    case NodeKind::Forall:
    case NodeKind::Exists: {
      const auto& q = core::as<core::Quantifier>(*f);
      return std::string(f->kind() == NodeKind::Forall ? "(! [" : "(? [") + tptp(q.variable()) + "] : " + tptp(q.body()) + ")";
    }
    default: return "$true";
  }
}

std::string write_tptp(const Problem& p, const std::string& dir) {
  std::string path = dir + "/" + p.name + ".p";
  std::ofstream out(path);
  for (std::size_t i = 0; i < p.premises.size(); ++i) out << "fof(premise_" << i << ", axiom, " << tptp(p.premises[i]) << ").\n";
  out << "fof(goal, conjecture, " << tptp(p.target) << ").\n";
  return path;
}

// ---------------------------------------------------------------------------
// Running the two provers
// ---------------------------------------------------------------------------
struct Run {
  bool proved = false;
  std::string verdict;
  double seconds = 0;
};

Run run_ours(const Problem& p, const Options& opt) {
  Run r;
  auto start = std::chrono::steady_clock::now();
  try {
    prover::TheoremProver engine(std::make_shared<core::Signature>(), config::SolverConfig{opt.max_steps, opt.timeout});
    prover::ProofDAG proof = engine.prove(p.target, p.premises, opt.max_steps, opt.timeout);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.proved = true;
    r.verdict = prover::check_derivation(proof).empty() ? "proof" : "BADPROOF";
    return r;
  } catch (const prover::NoProofError& e) {
    r.verdict = e.reason == prover::NoProofError::Reason::Saturated  ? "saturated"
                : e.reason == prover::NoProofError::Reason::StepLimit ? "steps"
                                                                      : "timeout";
  } catch (const std::exception& e) {
    r.verdict = "error";
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return r;
}

Run run_e(const std::string& path, const Options& opt) {
  Run r;
  std::string command = opt.eprover + " --auto --silent --cpu-limit=" + std::to_string(static_cast<int>(opt.e_limit)) +
                        " " + path + " 2>/dev/null";
  auto start = std::chrono::steady_clock::now();
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    r.verdict = "missing";
    return r;
  }
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    const char* status = std::strstr(line, "SZS status ");
    if (!status) continue;
    std::string word(status + 11);
    word = word.substr(0, word.find_first_of(" \n"));
    r.verdict = word;
  }
  pclose(pipe);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (r.verdict.empty()) r.verdict = "none";
  r.proved = r.verdict == "Theorem" || r.verdict == "Unsatisfiable";
  return r;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void summarize(const std::string& set, const std::vector<Problem>& problems, const std::vector<Run>& ours,
               const std::vector<Run>& theirs) {
  int e_proved = 0, we_proved = 0, both = 0, unsound = 0, bad = 0, total = 0;
  std::vector<double> our_times, e_times;
  for (std::size_t i = 0; i < problems.size(); ++i) {
    if (problems[i].set != set) continue;
    ++total;
    if (theirs[i].proved) ++e_proved;
    if (ours[i].proved) ++we_proved;
    if (ours[i].proved && theirs[i].proved) ++both;
    if (ours[i].proved && !problems[i].theorem) ++unsound;
    if (ours[i].verdict == "BADPROOF") ++bad;
    if (theirs[i].proved) {
      our_times.push_back(ours[i].seconds);
      e_times.push_back(theirs[i].seconds);
    }
  }
  double mo = median(our_times), me = median(e_times);
  std::printf("set (%s): %d problems; E proves %d, we prove %d, we prove %d of E's %d (%.1f%%)\n", set.c_str(), total,
              e_proved, we_proved, both, e_proved, e_proved ? 100.0 * both / e_proved : 100.0);
  std::printf("set (%s): median time on the problems E proves: ours %.6f s, E %.6f s, ratio ours/E %.3f\n", set.c_str(),
              mo, me, me > 0 ? mo / me : 0.0);
  std::printf("set (%s): proofs of non-theorems: %d; derivations that fail their check: %d\n", set.c_str(), unsound, bad);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (flag == "--eprover") opt.eprover = value();
    else if (flag == "--e-limit") opt.e_limit = std::atof(value());
    else if (flag == "--random") opt.random = std::atoi(value());
    else if (flag == "--seed") opt.seed = static_cast<unsigned>(std::atol(value()));
    else if (flag == "--depth") opt.depth = std::atoi(value());
    else if (flag == "--atoms") opt.atoms = std::atoi(value());
    else if (flag == "--max-steps") opt.max_steps = std::atol(value());
    else if (flag == "--timeout") opt.timeout = std::atof(value());
    else if (flag == "--quiet") opt.quiet = true;
    else {
      std::fprintf(stderr, "unknown option %s\n", flag.c_str());
      return 2;
    }
  }
  std::vector<Problem> problems;
  family_problems(problems);
  random_problems(opt, problems);
  classical_problems(problems);

  char dir_template[] = "/tmp/bench_engine_XXXXXX";
  std::string dir = mkdtemp(dir_template);
  std::vector<Run> ours, theirs;
  if (!opt.quiet)
    std::printf("%-3s %-28s %-6s %-10s %-18s %10s %10s %8s\n", "set", "problem", "status", "ours", "E", "ours s",
                "E s", "ours/E");
  for (const Problem& p : problems) {
    Run o = run_ours(p, opt);
    Run e = run_e(write_tptp(p, dir), opt);
    ours.push_back(o);
    theirs.push_back(e);
    if (!opt.quiet)
      std::printf("%-3s %-28s %-6s %-10s %-18s %10.6f %10.6f %8.3f\n", p.set.c_str(), p.name.c_str(),
                  p.theorem ? "thm" : "non", o.verdict.c_str(), e.verdict.c_str(), o.seconds, e.seconds,
                  e.seconds > 0 ? o.seconds / e.seconds : 0.0);
  }
  summarize("a", problems, ours, theirs);
  summarize("b", problems, ours, theirs);
  std::string cleanup = "rm -rf " + dir;
  if (std::system(cleanup.c_str()) != 0) return 1;
  return 0;
}
