#include "constructive/ipc_propagation.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace constructive {

void FlatPropagation::grow(int atoms) {
  const std::size_t size = static_cast<std::size_t>(atoms) + 1;
  if (values_.size() >= size) return;
  values_.resize(size, 0);
  reasons_.resize(size, kAssumed);
  failed_.resize(size, 0);
  seen_.resize(size, 0);
  saved_.resize(size, 0);
  heads_.resize(2 * size, kEnd);
}

void FlatPropagation::add(std::span<const Literal> literals) {
  if (literals_.size() + literals.size() + kHeader >= kMostLiterals) throw std::bad_alloc();
  std::size_t atoms = 0;
  for (Literal lit : literals) atoms = std::max(atoms, atom_of(lit));
  grow(static_cast<int>(atoms));
  // Repeated literals go (a clause of x = a & a repeats a); a clause with a
  // literal and its negation holds anyway.
  const std::uint32_t at = static_cast<std::uint32_t>(literals_.size());
  literals_.insert(literals_.end(), {0, kEnd, kEnd});
  bool tautology = false;
  for (Literal lit : literals) {
    const std::uint8_t sign = lit > 0 ? 1 : 2;
    std::uint8_t& seen = seen_[atom_of(lit)];
    tautology = tautology || (seen != 0 && seen != sign);
    if (seen != 0) continue;
    seen = sign;
    literals_.push_back(lit);
  }
  for (std::size_t i = at + kHeader; i < literals_.size(); ++i) seen_[atom_of(literals_[i])] = 0;
  if (tautology) {
    literals_.resize(at);
    return;
  }
  const std::size_t count = literals_.size() - at - kHeader;
  literals_[at] = static_cast<Literal>(count);
  if (count == 1) {
    units_.push_back(literals_[at + kHeader]);
    unit_clauses_.push_back(at);
    return;
  }
  watch(at, 0);
  watch(at, 1);
}

// Puts the clause at the front of the list of its literal in `slot`.
void FlatPropagation::watch(std::uint32_t clause, int slot) {
  std::int32_t& head = heads_[code(literals_of(clause)[slot])];
  *next_of(clause, slot) = head;
  head = static_cast<std::int32_t>(clause);
}

void FlatPropagation::drop_since(const Mark& mark) {
  undo_to(0);
  for (std::size_t lit_code = 0; lit_code < heads_.size(); ++lit_code) {
    const Literal lit = static_cast<Literal>(lit_code / 2) * (lit_code % 2 ? -1 : 1);
    std::int32_t* link = &heads_[lit_code];
    while (*link != kEnd) {
      const auto clause = static_cast<std::uint32_t>(*link);
      std::int32_t* next = next_of(clause, literals_of(clause)[0] == lit ? 0 : 1);
      if (clause >= mark.literals)
        *link = *next;
      else
        link = next;
    }
  }
  literals_.resize(mark.literals);
  units_.resize(mark.units);
  unit_clauses_.resize(mark.units);
  std::copy(mark.saved.begin(), mark.saved.end(), saved_.begin());
}

void FlatPropagation::assign(Literal lit, std::uint32_t reason) {
  const std::size_t atom = atom_of(lit);
  values_[atom] = lit > 0 ? 1 : -1;
  reasons_[atom] = reason;
  trail_.push_back(lit);
}

void FlatPropagation::undo_to(std::size_t mark) {
  for (std::size_t i = mark; i < trail_.size(); ++i) {
    const std::size_t atom = atom_of(trail_[i]);
    saved_[atom] = values_[atom] > 0;
    values_[atom] = 0;
  }
  trail_.resize(mark);
  propagated_ = std::min(propagated_, mark);
}

// Visits the clauses watching each literal made false since the last call:
// each finds another literal to watch, or forces its other watched literal,
// or, with that one false too, is the clash returned.
std::uint32_t FlatPropagation::propagate() {
  while (propagated_ < trail_.size()) {
    const Literal falsified = -trail_[propagated_++];
    std::int32_t* link = &heads_[code(falsified)];
    while (*link != kEnd) {
      const auto clause = static_cast<std::uint32_t>(*link);
      Literal* lits = literals_of(clause);
      const int count = literals_[clause];
      if (lits[0] == falsified) {  // the falsified literal goes second, with its link
        std::swap(lits[0], lits[1]);
        std::swap(*next_of(clause, 0), *next_of(clause, 1));
      }
      std::int32_t* next = next_of(clause, 1);
      if (value_of(lits[0]) > 0) {
        link = next;
        continue;
      }
      int other = 2;
      while (other < count && value_of(lits[other]) < 0) ++other;
      if (other < count) {  // the clause leaves this list for that of lits[other]
        *link = *next;
        std::swap(lits[1], lits[other]);
        watch(clause, 1);
        continue;
      }
      if (value_of(lits[0]) < 0) return clause;
      assign(lits[0], clause);
      link = next;
    }
  }
  return kNoConflict;
}

void FlatPropagation::explain(std::uint32_t clause, int atom) {
  auto mark_clause = [&](std::uint32_t c) {
    for (int i = 0; i < literals_[c]; ++i) seen_[atom_of(literals_of(c)[i])] = 1;
  };
  if (clause == kNoConflict)
    seen_[static_cast<std::size_t>(atom)] = 1;
  else
    mark_clause(clause);
  for (std::size_t i = trail_.size(); i-- > 0;) {
    const std::size_t a = atom_of(trail_[i]);
    if (!seen_[a]) continue;
    if (reasons_[a] != kAssumed) mark_clause(reasons_[a]);  // marks a again, among the others
    seen_[a] = 0;
    if (reasons_[a] == kAssumed && values_[a] > 0) failed_[a] = 1;
  }
}

// Gives each open atom its last value (at first false), or the other where
// that clashes; false when both clash (the solver must search).  The atoms
// go from the last made to the first, and each keeps its last value: so
// the models are those the solver's own decisions give (which matters: the
// procedure's questions follow its models, and models built from the first
// atoms up took thirty times as many questions on some problems).
bool FlatPropagation::complete(int atoms) {
  for (int atom = atoms; atom >= 1; --atom) {
    if (values_[static_cast<std::size_t>(atom)] != 0) continue;
    const std::size_t mark = trail_.size();
    const Literal first = saved_[static_cast<std::size_t>(atom)] ? atom : -atom;
    assign(first, kChosen);
    if (propagate() == kNoConflict) continue;
    undo_to(mark);
    assign(-first, kChosen);
    if (propagate() != kNoConflict) return false;
  }
  return true;
}

FlatPropagation::Result FlatPropagation::solve(std::span<const int> assumptions, int goal, int atoms) {
  for (int a : assumptions) atoms = std::max(atoms, a);
  grow(std::max(atoms, goal));
  undo_to(0);
  std::fill(failed_.begin(), failed_.end(), 0);
  for (std::size_t i = 0; i < units_.size(); ++i) {
    const Literal unit = units_[i];
    if (value_of(unit) > 0) continue;
    if (value_of(unit) < 0) {
      explain(unit_clauses_[i], 0);
      return Result::NoModel;
    }
    assign(unit, unit_clauses_[i]);
  }
  if (const std::uint32_t clash = propagate(); clash != kNoConflict) {
    explain(clash, 0);
    return Result::NoModel;
  }
  auto take = [&](Literal lit) {
    if (value_of(lit) > 0) return true;
    if (value_of(lit) < 0) {  // the assumption clashes with what the earlier ones force
      explain(kNoConflict, static_cast<int>(atom_of(lit)));
      if (lit > 0) failed_[atom_of(lit)] = 1;
      return false;
    }
    assign(lit, kAssumed);
    if (const std::uint32_t clash = propagate(); clash != kNoConflict) {
      explain(clash, 0);
      return false;
    }
    return true;
  };
  for (int a : assumptions)
    if (!take(a)) return Result::NoModel;
  if (!take(-goal)) return Result::NoModel;
  return complete(atoms) ? Result::Model : Result::Unknown;
}

}  // namespace constructive
