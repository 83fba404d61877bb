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
  lists_.resize(2 * size);
}

void FlatPropagation::add(std::span<const Literal> literals) {
  // Clauses are found by their place in literals_, a 32-bit number below the markers.
  if (literals_.size() + literals.size() + 1 >= kChosen) throw std::bad_alloc();
  std::size_t atoms = 0;
  for (Literal lit : literals) atoms = std::max(atoms, atom_of(lit));
  grow(static_cast<int>(atoms));
  // Repeated literals go (a clause of x = a & a repeats a); a clause with a
  // literal and its negation holds anyway.
  const std::uint32_t at = static_cast<std::uint32_t>(literals_.size());
  literals_.push_back(0);
  bool tautology = false;
  for (Literal lit : literals) {
    const std::uint8_t sign = lit > 0 ? 1 : 2;
    std::uint8_t& seen = seen_[atom_of(lit)];
    tautology = tautology || (seen != 0 && seen != sign);
    if (seen != 0) continue;
    seen = sign;
    literals_.push_back(lit);
  }
  for (std::size_t i = at + 1; i < literals_.size(); ++i) seen_[atom_of(literals_[i])] = 0;
  if (tautology) {
    literals_.resize(at);
    return;
  }
  const std::size_t count = literals_.size() - at - 1;
  literals_[at] = static_cast<Literal>(count);
  if (count == 1) {
    units_.push_back(literals_[at + 1]);
    unit_clauses_.push_back(at);
    return;
  }
  const Literal first = literals_[at + 1], second = literals_[at + 2];
  const bool binary = count == 2;
  watch(code(first), {at, binary ? second : 0});
  watch(code(second), {at, binary ? first : 0});
}

void FlatPropagation::watch(std::size_t lit_code, Watch watch) {
  WatchList& list = lists_[lit_code];
  if (list.size == list.capacity) relocate(list, list.capacity ? 2 * std::size_t{list.capacity} : 4);
  pool_[list.begin + list.size++] = watch;
}

// Moves the list to the end of the pool with room for `capacity` entries.
void FlatPropagation::relocate(WatchList& list, std::size_t capacity) {
  const std::size_t at = pool_.size();
  if (at + capacity >= UINT32_MAX) throw std::bad_alloc();  // the lists hold 32-bit places and sizes
  pool_.resize(at + capacity);
  std::copy_n(pool_.begin() + list.begin, list.size, pool_.begin() + static_cast<std::ptrdiff_t>(at));
  list.begin = static_cast<std::uint32_t>(at);
  list.capacity = static_cast<std::uint32_t>(capacity);
}

void FlatPropagation::drop_since(const Mark& mark) {
  undo_to(0);
  for (WatchList& list : lists_) {
    const auto first = pool_.begin() + list.begin;
    const auto kept = std::remove_if(first, first + list.size, [&](const Watch& w) { return w.clause >= mark.literals; });
    list.size = static_cast<std::uint32_t>(kept - first);
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

// Visits the clauses of each literal made false since the last call: a
// binary one forces its other literal; a longer one finds another literal
// to watch, or forces its other watched literal; a clause whose literals
// are all false is the clash returned.
std::uint32_t FlatPropagation::propagate() {
  while (propagated_ < trail_.size()) {
    const Literal falsified = -trail_[propagated_++];
    // The list stays where it is while it is read: a watch that moves goes
    // to another literal's list, whose growth may move the pool (so the
    // entries are read by index) but not this list's place in it.
    WatchList& list = lists_[code(falsified)];
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < list.size; ++i) {
      const Watch w = pool_[list.begin + i];
      pool_[list.begin + kept] = w;  // kept, unless it moves to another literal
      Literal forced = w.other;
      if (forced == 0) {
        Literal* lits = &literals_[w.clause + 1];
        const int count = literals_[w.clause];
        if (lits[0] == falsified) std::swap(lits[0], lits[1]);
        if (value_of(lits[0]) <= 0) {
          int other = 2;
          while (other < count && value_of(lits[other]) < 0) ++other;
          if (other < count) {
            std::swap(lits[1], lits[other]);
            watch(code(lits[1]), w);
            continue;
          }
        }
        forced = lits[0];
      }
      ++kept;
      const int value = value_of(forced);
      if (value > 0) continue;
      if (value < 0) {
        while (++i < list.size) pool_[list.begin + kept++] = pool_[list.begin + i];
        list.size = kept;
        return w.clause;
      }
      assign(forced, w.clause);
    }
    list.size = kept;
  }
  return kNoConflict;
}

void FlatPropagation::explain(std::uint32_t clause, int atom) {
  auto mark_clause = [&](std::uint32_t c) {
    for (int i = 1; i <= literals_[c]; ++i) seen_[atom_of(literals_[c + i])] = 1;
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
