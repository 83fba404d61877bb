// Intuitionistic propositional provability on an incremental SAT solver.
//
// A problem is a set of atoms, each standing for one formula, and clauses of
// two shapes that define them:
//
//   flat clauses         a1 & ... & an -> b1 | ... | bk, held by the solver;
//   implication clauses  (a -> b) -> c, held here, beside the solver.
//
// The defining clauses of x = a & b and x = a | b are flat; x = (a -> b)
// gives the flat clause x & a -> b and the implication clause (a -> b) -> x,
// and every implication clause (a -> b) -> c also gives the solver the flat
// clause b -> c (b alone gives a -> b).  Falsum and verum are atoms that a
// unit clause makes false and true.  (The classical clause a | x in place of
// the implication clause would make the procedure classical.)
//
// prove(A, q) decides whether the atoms A (assumed true) give the atom q.
// It asks the solver for a model of the flat clauses under A and not-q.  If
// there is none, q follows, and the assumptions the solver used (its core,
// taken over the positive assumptions) are the reason.  Otherwise, with M
// the atoms true in the model, each implication clause (a -> b) -> c with c
// and a false in M is tried, outermost first: if prove(M + a, b) holds
// with core K, the flat clause
// (K - a) -> c is learned and the loop starts again.  When
// no implication clause gives a clause, M is a world of a Kripke
// countermodel (each failed inner call gave a world above it) and q does not
// follow.  Each learned clause is false in the model that caused it, so the
// loop ends; the inner calls have strictly more assumptions, so they nest at
// most as deep as there are atoms.  The goal is negated only as an
// assumption, never as a clause, so it does not leak into inner calls.
//
// Each model or core is looked for first by propagation over the same flat
// clauses (ipc_propagation.hpp), which settles nearly every question of a
// small problem at a fraction of a solver call; the solver gets the others.
//
// Invariants: every learned clause is an intuitionistic consequence of the
// definitions, so it stays for the whole life of the object, and all the
// questions asked of one object share what it learned.  Atoms defined later
// extend the problem conservatively: earlier answers stay right.
//
// Threading: an object belongs to the thread that uses it; it holds no
// global state and never touches the interpreter.  prove polls for
// interrupts (also inside long solver calls) and throws core::Interrupted;
// when memory runs out while the clauses change or a question is asked,
// the solver and the propagation are dropped, and this and every later
// call throw std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "constructive/ipc_propagation.hpp"
#include "core/interrupt.hpp"

namespace CaDiCaL {
class Solver;
}

namespace constructive {

class IpcSat {
 public:
  using Atom = int;  // a solver variable, from 1

  IpcSat();
  ~IpcSat();
  IpcSat(const IpcSat&) = delete;
  IpcSat& operator=(const IpcSat&) = delete;

  Atom falsum() const { return kFalsum; }
  Atom verum() const { return kVerum; }
  // A new atom without a definition.
  Atom fresh();
  // Defines an atom made by fresh, once, as a & b, a | b or a -> b.  The
  // implication clauses are tried in the order of their atoms: a caller that
  // makes a formula's atom before those of its parts has the outermost
  // implications tried first, which keeps the questions few (an innermost-
  // first order took thousands of times as many on equivalence chains).
  void define_conjunction(Atom x, Atom a, Atom b);
  void define_disjunction(Atom x, Atom a, Atom b);
  void define_implication(Atom x, Atom a, Atom b);

  // Whether the atoms `assumptions` give `goal`.
  bool prove(std::span<const Atom> assumptions, Atom goal);

  // Whether the question fails already classically, as a cheap first
  // check: true means the atoms do not give the goal; false says nothing.
  bool refuted_classically(std::span<const Atom> assumptions, Atom goal);

  // A learned flat clause: the conjunction of `premises` gives `conclusion`.
  struct Learned {
    std::vector<Atom> premises;
    Atom conclusion;
  };
  // Keeps a copy of every clause learned from now on (for checking them).
  void keep_learned() { keep_learned_ = true; }
  const std::vector<Learned>& learned() const { return learned_; }

  std::size_t atom_count() const { return static_cast<std::size_t>(next_atom_ - 1); }
  // Models looked for, and how many of them the solver itself was asked for.
  std::uint64_t questions() const { return questions_; }
  std::uint64_t solver_calls() const { return solver_calls_; }

 private:
  static constexpr Atom kFalsum = 1, kVerum = 2;

  struct Implication {
    Atom a, b, c;  // (a -> b) -> c
  };
  enum class Outcome { Model, NoModel };

  void clause(std::initializer_list<Atom> literals);
  void clause(std::span<const Atom> literals);
  void clause(std::span<const Atom> negated, Atom positive);
  Outcome solve(std::span<const Atom> assumptions, Atom goal);
  // After solve: the model's value of an atom, or whether an assumption is
  // in the core, from whichever of the propagation and the solver answered.
  bool true_in_model(Atom x);
  bool failed(Atom x);
  bool refuted_by_world(std::span<const Atom> assumptions, Atom goal) const;
  void remember_world(std::vector<char>& world);
  // An open question of prove: the assumptions and goal, the implication
  // clause (a -> b) -> c of the frame below that opened it, and the model
  // found for it with the next implication clause to try.
  struct Frame {
    std::vector<Atom> assumptions;
    Atom goal = 0, a = 0, c = 0;
    std::vector<char> model;  // by atom, when modelled
    bool modelled = false;
    std::size_t next = 0;
  };
  Frame& open_frame(std::size_t depth, std::span<const Atom> assumptions, Atom goal, Atom a, Atom c);
  CaDiCaL::Solver& solver();
  template <typename Step>
  auto guarded(Step&& step);

  std::unique_ptr<CaDiCaL::Solver> solver_;
  // The same flat clauses, for the questions that propagation settles
  // (ipc_propagation.hpp); the solver is asked the others.
  FlatPropagation flat_;
  bool flat_answered_ = false;  // by the last solve
  bool failed_for_memory_ = false;
  struct Terminator;
  std::unique_ptr<Terminator> terminator_;
  std::vector<Implication> implications_;
  std::vector<Learned> learned_;
  // Worlds of the countermodels found so far, by atom (the most recent
  // kWorldsKept): every learned clause holds in them, so each refutes every
  // later question whose assumptions it makes true and whose goal false.
  static constexpr std::size_t kWorldsKept = 64;
  std::vector<std::vector<char>> worlds_;
  std::size_t next_world_ = 0;  // the one replaced next, once all are kept
  // Storage that prove reuses from call to call.
  std::vector<Frame> frames_;
  std::vector<Atom> core_, above_, literals_;
  bool keep_learned_ = false;
  Atom next_atom_ = 3;
  std::uint64_t questions_ = 0, solver_calls_ = 0;
  core::InterruptPoller poller_;
};

}  // namespace constructive
