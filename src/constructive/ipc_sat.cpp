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

IpcSat::IpcSat() : terminator_(std::make_unique<Terminator>(poller_)) {
  clause({-kFalsum});
  clause({kVerum});
}

IpcSat::~IpcSat() {
  if (solver_) solver_->disconnect_terminator();
}

// The solver, made on the first question that propagation leaves open
// (most problems have none, and making one costs more than a small
// problem's whole procedure), with every clause given so far.
CaDiCaL::Solver& IpcSat::solver() {
  if (solver_) return *solver_;
  auto made = std::make_unique<CaDiCaL::Solver>();
  // Models with few true atoms: small worlds, whose questions above them
  // are the general ones.
  made->set("phase", 0);
  // Without timing each call: reading the process clock cost more than small solves.
  made->set("profile", 0);
  // The solver's clock by wall time, which needs no system call, in place of
  // the process time that each call reads.
  made->set("realtime", 1);
  // No lucky-phase search: each of the many small calls would pay for it.
  made->set("lucky", 0);
  // No inprocessing: its rounds between the many short incremental calls
  // cost more than they save (measured on the pigeonhole and equivalence
  // chain problems).
  made->set("inprocessing", 0);
  flat_.for_each_clause([&](std::span<const Atom> literals) {
    for (Atom lit : literals) made->add(lit);
    made->add(0);
  });
  made->connect_terminator(terminator_.get());
  solver_ = std::move(made);
  return *solver_;
}

// Runs one step on the clauses; when memory runs out midway their state is
// unknown, so the solver and the propagation are given up for good.
template <typename Step>
auto IpcSat::guarded(Step&& step) {
  if (failed_for_memory_) throw std::bad_alloc();
  try {
    return step();
  } catch (const std::bad_alloc&) {
    if (solver_) solver_->disconnect_terminator();
    solver_.reset();
    failed_for_memory_ = true;
    throw;
  }
}

IpcSat::Atom IpcSat::fresh() {
  if (next_atom_ == INT32_MAX) throw std::bad_alloc();
  return next_atom_++;
}

void IpcSat::clause(std::initializer_list<Atom> literals) { clause(std::span<const Atom>(literals)); }

// The clause: the disjunction of `literals`.
void IpcSat::clause(std::span<const Atom> literals) {
  guarded([&] {
    flat_.add(literals);
    if (!solver_) return;
    for (Atom lit : literals) solver_->add(lit);
    solver_->add(0);
  });
}

// The flat clause: the conjunction of `negated` gives `positive`.
void IpcSat::clause(std::span<const Atom> negated, Atom positive) {
  literals_.clear();
  for (Atom lit : negated) literals_.push_back(-lit);
  literals_.push_back(positive);
  clause(std::span<const Atom>(literals_));
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
  ++questions_;
  const FlatPropagation::Result settled =
      guarded([&] { return flat_.solve(assumptions, goal, next_atom_ - 1); });
  flat_answered_ = settled != FlatPropagation::Result::Unknown;
  if (flat_answered_) return settled == FlatPropagation::Result::Model ? Outcome::Model : Outcome::NoModel;
  ++solver_calls_;
  const int result = guarded([&] {
    CaDiCaL::Solver& s = solver();
    for (Atom a : assumptions) s.assume(a);
    s.assume(-goal);
    return s.solve();
  });
  if (result == 10) return Outcome::Model;
  if (result == 20) return Outcome::NoModel;
  throw core::Interrupted();  // the terminator stopped the call
}

bool IpcSat::true_in_model(Atom x) {
  return flat_answered_ ? flat_.value(x) : guarded([&] { return solver().val(x) > 0; });
}

bool IpcSat::failed(Atom x) {
  return flat_answered_ ? flat_.failed(x) : guarded([&] { return solver().failed(x); });
}

// Whether a classical model refutes the question: a model of the flat
// clauses in which every implication clause (a -> b) -> c also holds as
// a | c.  It is a Kripke model of one world, so the goal does not follow
// intuitionistically either.  Propagation looks for one (Unknown counts
// as no), with the clauses a | c added for the call only.
bool IpcSat::refuted_classically(std::span<const Atom> assumptions, Atom goal) {
  return guarded([&] {
    const FlatPropagation::Mark mark = flat_.mark();
    for (const Implication& imp : implications_) flat_.add(std::initializer_list<Atom>{imp.a, imp.c});
    const bool refuted = flat_.solve(assumptions, goal, next_atom_ - 1) == FlatPropagation::Result::Model;
    flat_.drop_since(mark);
    return refuted;
  });
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

// Swaps the model into the kept worlds; `world` gets back the storage of
// the one it replaces, if any.
void IpcSat::remember_world(std::vector<char>& world) {
  if (worlds_.size() < kWorldsKept) {
    worlds_.push_back(std::move(world));
    world.clear();
  } else {
    worlds_[next_world_].swap(world);
    next_world_ = (next_world_ + 1) % kWorldsKept;
  }
}

// Opens a frame above those in use, reusing the storage of one opened
// before, so that the many small questions allocate nothing once warm.
IpcSat::Frame& IpcSat::open_frame(std::size_t depth, std::span<const Atom> assumptions, Atom goal, Atom a, Atom c) {
  if (frames_.size() <= depth) frames_.resize(depth + 1);
  Frame& frame = frames_[depth];
  frame.assumptions.assign(assumptions.begin(), assumptions.end());
  frame.goal = goal;
  frame.a = a;
  frame.c = c;
  frame.modelled = false;
  frame.next = 0;
  return frame;
}

bool IpcSat::prove(std::span<const Atom> assumptions, Atom goal) {
  // One frame per open question; a frame above asks about one implication
  // clause (a -> b) -> c of the frame below it, in the model found there.
  // After a learned clause the frame that asked looks
  // for a new model, as the recursive procedure's loop does; the frames
  // below keep their models, which the clause may leave open or refute,
  // and their own loops find out when the questions return to them.
  // frames_[0 .. depth) are the open ones.
  if (refuted_by_world(assumptions, goal)) return false;
  open_frame(0, assumptions, goal, 0, 0);
  std::size_t depth = 1;
  // Learns (core - a) -> c after the last call proved b from `from` with a.
  auto learn = [&](const std::vector<Atom>& from, Atom a, Atom c) {
    core_.clear();
    for (Atom x : from)
      if (x != a && failed(x)) core_.push_back(x);
    clause(core_, c);
    if (keep_learned_) learned_.push_back({core_, c});
  };
  for (;;) {
    poller_.poll();
    Frame& top = frames_[depth - 1];
    if (!top.modelled) {
      if (solve(top.assumptions, top.goal) == Outcome::NoModel) {
        if (depth == 1) return true;
        learn(top.assumptions, top.a, top.c);
        --depth;  // the frame that asked sees its model refuted: it looks for a new one
        frames_[depth - 1].modelled = false;
        continue;
      }
      const int atoms = next_atom_ - 1;
      top.model.assign(static_cast<std::size_t>(atoms) + 1, 0);
      for (Atom x = 1; x <= atoms; ++x) top.model[x] = true_in_model(x);
      top.modelled = true;
      top.next = 0;
    }
    // The next implication clause that the model leaves open: c false, and
    // a false too (a true forces b false by b -> c, so the model itself
    // refutes a -> b).
    std::size_t i = top.next;
    while (i < implications_.size() && (top.model[implications_[i].c] || top.model[implications_[i].a])) ++i;
    if (i == implications_.size()) {
      remember_world(top.model);
      top.modelled = false;
      if (depth == 1) return false;
      --depth;  // a world above the model below: try that one's next clause
      continue;
    }
    top.next = i + 1;
    const Implication imp = implications_[i];
    // The question above: a and the model's true atoms, a first.  The
    // assumptions are taken in order and the core is read off what they
    // force, so with a first the core keeps to what a needs, and the
    // learned clause names few of the model's atoms (with a last, the proof
    // of de Bruijn's formula 4 took 40 % longer, the random theorems up to
    // 50 % longer).
    above_.clear();
    above_.push_back(imp.a);
    for (Atom x = 1; x < static_cast<Atom>(top.model.size()); ++x)
      if (top.model[x]) above_.push_back(x);
    if (refuted_by_world(above_, imp.b)) continue;
    open_frame(depth, above_, imp.b, imp.a, imp.c);  // may move `top`
    ++depth;
  }
}

}  // namespace constructive
