#include "constructive/ipc_sat.hpp"

#include <cadical.hpp>

#include <algorithm>
#include <new>

namespace constructive {

// Lets a long solver call stop when the host asks: the solver calls
// terminate() now and then, which polls without throwing through the
// solver's frames; prove throws once the call has returned.
struct IpcSat::Terminator : CaDiCaL::Terminator {
  explicit Terminator(core::InterruptPoller& poller) : poller(poller) {}
  bool terminate() override {
    if (stop) return true;
    try {
      poller.poll();
    } catch (const core::Interrupted&) {
      stop = true;
    }
    return stop;
  }
  core::InterruptPoller& poller;
  bool stop = false;
};

IpcSat::IpcSat()
    : solver_(std::make_unique<CaDiCaL::Solver>()), terminator_(std::make_unique<Terminator>(poller_)) {
  solver_->connect_terminator(terminator_.get());
  // Models with few true atoms: small worlds, whose questions above them
  // are the general ones.
  solver_->set("phase", 0);
  // Without timing each call: reading the process clock cost more than small solves.
  solver_->set("profile", 0);
  // The solver's clock by wall time, which needs no system call, in place of
  // the process time that each call reads.
  solver_->set("realtime", 1);
  // No lucky-phase search: each of the many small calls would pay for it.
  solver_->set("lucky", 0);
  // No inprocessing: its rounds between the many short incremental calls
  // cost more than they save (measured on the pigeonhole and equivalence
  // chain problems).
  solver_->set("inprocessing", 0);
  clause({-kFalsum});
  clause({kVerum});
}

IpcSat::~IpcSat() {
  if (solver_) solver_->disconnect_terminator();
}

CaDiCaL::Solver& IpcSat::solver() {
  if (!solver_) throw std::bad_alloc();
  return *solver_;
}

// Runs one step on the solver; when the solver runs out of memory midway
// its state is unknown, so it is dropped.
template <typename Step>
auto IpcSat::guarded(Step&& step) {
  CaDiCaL::Solver& s = solver();
  try {
    return step(s);
  } catch (const std::bad_alloc&) {
    solver_.reset();
    throw;
  }
}

IpcSat::Atom IpcSat::fresh() {
  if (next_atom_ == INT32_MAX) throw std::bad_alloc();
  return next_atom_++;
}

void IpcSat::clause(std::initializer_list<Atom> literals) {
  guarded([&](CaDiCaL::Solver& s) {
    for (Atom lit : literals) s.add(lit);
    s.add(0);
  });
}

// The flat clause: the conjunction of `negated` gives `positive`.
void IpcSat::clause(std::span<const Atom> negated, Atom positive) {
  guarded([&](CaDiCaL::Solver& s) {
    for (Atom lit : negated) s.add(-lit);
    s.add(positive);
    s.add(0);
  });
}

void IpcSat::define_conjunction(Atom x, Atom a, Atom b) {
  clause({-x, a});
  clause({-x, b});
  clause({-a, -b, x});
}

void IpcSat::define_disjunction(Atom x, Atom a, Atom b) {
  clause({-x, a, b});
  clause({-a, x});
  clause({-b, x});
}

void IpcSat::define_implication(Atom x, Atom a, Atom b) {
  clause({-x, -a, b});
  clause({-b, x});
  const auto at = std::upper_bound(implications_.begin(), implications_.end(), x,
                                   [](Atom x, const Implication& imp) { return x < imp.c; });
  implications_.insert(at, {a, b, x});
}

IpcSat::Outcome IpcSat::solve(std::span<const Atom> assumptions, Atom goal) {
  ++solver_calls_;
  const int result = guarded([&](CaDiCaL::Solver& s) {
    for (Atom a : assumptions) s.assume(a);
    s.assume(-goal);
    return s.solve();
  });
  if (result == 10) return Outcome::Model;
  if (result == 20) return Outcome::NoModel;
  throw core::Interrupted();  // the terminator stopped the call
}

// A world of a countermodel found earlier refutes the question when all
// the assumptions hold in it and the goal does not.  Atoms defined after it
// was found have no value in it, so it says nothing about them.
bool IpcSat::refuted_by_world(std::span<const Atom> assumptions, Atom goal) const {
  auto holds = [](const std::vector<char>& world, Atom x) {
    return static_cast<std::size_t>(x) < world.size() && world[static_cast<std::size_t>(x)];
  };
  for (const std::vector<char>& world : worlds_) {
    if (static_cast<std::size_t>(goal) >= world.size() || world[static_cast<std::size_t>(goal)]) continue;
    if (std::all_of(assumptions.begin(), assumptions.end(), [&](Atom x) { return holds(world, x); })) return true;
  }
  return false;
}

void IpcSat::remember_world(std::vector<char>&& world) {
  if (worlds_.size() < kWorldsKept) {
    worlds_.push_back(std::move(world));
  } else {
    worlds_[next_world_].swap(world);
    next_world_ = (next_world_ + 1) % kWorldsKept;
  }
}

bool IpcSat::prove(std::span<const Atom> assumptions, Atom goal) {
  // One frame per open question; a frame above asks about one implication
  // clause (a -> b) -> c of the frame below it, in the model found there.
  // After a learned clause the frame that asked looks
  // for a new model, as the recursive procedure's loop does; the frames
  // below keep their models, which the clause may leave open or refute,
  // and their own loops find out when the questions return to them.
  struct Frame {
    std::vector<Atom> assumptions;
    Atom goal;
    Atom a, c;  // of the implication clause that opened the frame
    std::vector<char> model;  // by atom, once the solver has found one
    std::size_t next = 0;     // the next implication clause to try in it
  };
  if (refuted_by_world(assumptions, goal)) return false;
  std::vector<Frame> frames;
  frames.push_back(Frame{{assumptions.begin(), assumptions.end()}, goal, 0, 0, {}, 0});
  std::vector<Atom> core, above;
  // The assumptions of a question about (a -> b) -> c in `model`: its true atoms and a.
  auto assumptions_above = [&](const std::vector<char>& model, Atom a) {
    above.clear();
    for (Atom x = 1; x < static_cast<Atom>(model.size()); ++x)
      if (model[x]) above.push_back(x);
    above.push_back(a);
  };
  // Learns (core - a) -> c after the last call proved b from `from` with a.
  auto learn = [&](const std::vector<Atom>& from, Atom a, Atom c) {
    core.clear();
    guarded([&](CaDiCaL::Solver& s) {
      for (Atom x : from)
        if (x != a && s.failed(x)) core.push_back(x);
    });
    clause(core, c);
    if (keep_learned_) learned_.push_back({core, c});
  };
  for (;;) {
    poller_.poll();
    Frame& top = frames.back();
    if (top.model.empty()) {
      if (solve(top.assumptions, top.goal) == Outcome::NoModel) {
        if (frames.size() == 1) return true;
        const Atom a = top.a, c = top.c;
        learn(top.assumptions, a, c);
        frames.pop_back();  // the frame that asked sees its model refuted: it asks the solver again
        frames.back().model.clear();
        continue;
      }
      const int atoms = next_atom_ - 1;
      top.model.assign(static_cast<std::size_t>(atoms) + 1, 0);
      guarded([&](CaDiCaL::Solver& s) {
        for (Atom x = 1; x <= atoms; ++x) top.model[x] = s.val(x) > 0;
      });
      top.next = 0;
    }
    // The next implication clause that the model leaves open: c false, and
    // a false too (a true forces b false by b -> c, so the model itself
    // refutes a -> b).
    std::size_t i = top.next;
    while (i < implications_.size() && (top.model[implications_[i].c] || top.model[implications_[i].a])) ++i;
    if (i == implications_.size()) {
      remember_world(std::move(top.model));
      if (frames.size() == 1) return false;
      frames.pop_back();  // a world above the model below: try that one's next clause
      continue;
    }
    top.next = i + 1;
    const Implication imp = implications_[i];
    assumptions_above(top.model, imp.a);
    if (refuted_by_world(above, imp.b)) continue;
    frames.push_back(Frame{above, imp.b, imp.a, imp.c, {}, 0});
  }
}

}  // namespace constructive
