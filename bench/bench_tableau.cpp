// Times the tableau prover and the LJT sequent prover on the formula
// families at growing sizes, in C++ directly (no interpreter).  Each run
// happens in a child process, so that its peak memory is its own and a run
// that takes too long can be stopped.
//
// usage: bench_tableau [--budget SECONDS] [--max-depth N] [--max-worlds N] [--max-size N]
//                      [--provers tableau,ljt]
// One line per run: prover, family, size, verdict, seconds, peak resident
// MiB, tree nodes (the tableau's nodes, or the LJT proof's; 0 without one),
// the bytes per node of the tableau's derivation-tree arena, and the peak
// resident bytes per tree node (the whole run: tree, branch state, search).
// The two provers' ladders of a family stand together.  A ladder stops after
// the first run slower than the budget, and after the first unknown verdict
// (the tableau's limits cut the search there; larger sizes only repeat it).
// The max-depth and max-worlds limits are the tableau's; LJT has none.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "constructive/ljt.hpp"
#include "constructive/tableau.hpp"
#include "families.hpp"

namespace {

struct Options {
  double budget = 3.0;     // seconds after which a ladder stops
  double kill_after = 20;  // seconds after which a run is stopped
  long max_depth = 100;
  long max_worlds = 50;
  int max_size = 4096;
  std::string provers = "tableau,ljt";
};

// Outcome of one proof: the verdict, the size of the tree it built and the
// bytes per node of the tableau's node arena (0 for LJT).
struct Outcome {
  const char* verdict;
  long long nodes;
  double node_bytes = 0;
};

Outcome run_tableau(const core::NodePtr& formula, const Options& opt) {
  constructive::TableauResult r = constructive::prove_tableau(formula, {}, opt.max_depth, opt.max_worlds);
  const auto nodes = static_cast<long long>(constructive::tree_size(*r.tree));
  return {r.is_valid ? "valid" : r.countermodel ? "invalid" : "unknown", nodes,
          static_cast<double>(r.tree->node_bytes()) / static_cast<double>(nodes)};
}

Outcome run_ljt(const core::NodePtr& formula, const Options&) {
  constructive::LJTProofNodePtr root = constructive::LJTProver().prove(formula, {});
  if (!root) return {"invalid", 0};
  return {"valid", static_cast<long long>(constructive::LJTProofTree{root}.size())};
}

struct Prover {
  const char* name;
  Outcome (*run)(const core::NodePtr&, const Options&);
};
const Prover kProvers[] = {{"tableau", run_tableau}, {"ljt", run_ljt}};

// Peak resident memory of this process since the last reset, in MiB.
double peak_mib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0;
}

void reset_peak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

// Runs one proof in the child and writes "verdict seconds peak nodes".
[[noreturn]] void child_run(int fd, const Prover& prover, const families::Family& family, int size,
                            const Options& opt) {
  core::NodePtr formula = family.make(size);
  reset_peak();
  auto start = std::chrono::steady_clock::now();
  Outcome outcome{"error", 0};
  try {
    outcome = prover.run(formula, opt);
  } catch (const std::exception&) {  // a search too deep for the stack, say: reported, not fatal
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char line[256];
  int n = std::snprintf(line, sizeof line, "%s %.6f %.1f %lld %.1f", outcome.verdict, seconds, peak_mib(),
                        outcome.nodes, outcome.node_bytes);
  if (write(fd, line, n) != n) _exit(2);
  _exit(0);
}

// Returns the run's seconds, or a negative value when it was stopped, failed
// or ended unknown.
double measure(const Prover& prover, const families::Family& family, int size, const Options& opt) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    child_run(fds[1], prover, family, size, opt);
  }
  close(fds[1]);
  pollfd waiting{fds[0], POLLIN, 0};
  char line[256] = {0};
  ssize_t got = 0;
  if (poll(&waiting, 1, static_cast<int>(opt.kill_after * 1000)) > 0) got = read(fds[0], line, sizeof line - 1);
  close(fds[0]);
  if (got <= 0) kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  if (got <= 0) {
    std::printf("%-8s %-14s %6d %-8s %9s %9s %10s %7s %8s\n", prover.name, family.name, size, "stopped", ">limit", "-",
                "-", "-", "-");
    return -1;
  }
  char verdict[32];
  double seconds = 0, peak = 0;
  long long nodes = 0;
  double node_bytes = 0;
  std::sscanf(line, "%31s %lf %lf %lld %lf", verdict, &seconds, &peak, &nodes, &node_bytes);
  const double peak_per_node = nodes > 0 ? peak * 1024 * 1024 / static_cast<double>(nodes) : 0;
  std::printf("%-8s %-14s %6d %-8s %9.4f %9.1f %10lld %7.1f %8.1f\n", prover.name, family.name, size, verdict, seconds,
              peak, nodes, node_bytes, peak_per_node);
  return std::strcmp(verdict, "valid") == 0 || std::strcmp(verdict, "invalid") == 0 ? seconds : -1;
}

int next_size(int n) { return n < 4 ? n + 1 : n + n / 2; }

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--budget") opt.budget = std::atof(argv[i + 1]);
    else if (flag == "--max-depth") opt.max_depth = std::atol(argv[i + 1]);
    else if (flag == "--max-worlds") opt.max_worlds = std::atol(argv[i + 1]);
    else if (flag == "--max-size") opt.max_size = std::atoi(argv[i + 1]);
    else if (flag == "--provers") opt.provers = argv[i + 1];
  }
  std::printf("provers %s (C++), tableau max_depth=%ld max_worlds=%ld, ladder budget %.1fs\n", opt.provers.c_str(),
              opt.max_depth, opt.max_worlds, opt.budget);
  std::printf("%-8s %-14s %6s %-8s %9s %9s %10s %7s %8s\n", "prover", "family", "size", "verdict", "seconds", "peak_MiB",
              "nodes", "B/node", "peakB/n");
  for (const auto& family : families::all()) {
    for (const Prover& prover : kProvers) {
      if (("," + opt.provers + ",").find(std::string(",") + prover.name + ",") == std::string::npos) continue;
      for (int size = family.first_size; size <= opt.max_size; size = next_size(size)) {
        double seconds = measure(prover, family, size, opt);
        if (seconds < 0 || seconds > opt.budget) break;
      }
    }
  }
  return 0;
}
