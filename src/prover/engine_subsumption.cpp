#include "prover/engine_subsumption.hpp"

#include <algorithm>

#include "prover/engine_index.hpp"

namespace prover::engine_parts {
namespace {

bool match_literal(const Terms& terms, core::Unifier& unifier, const Lit& g, const Lit& s) {
  if (g.positive != s.positive || terms.sym(g.atom) != terms.sym(s.atom)) return false;
  if (unifier.match(g.atom, s.atom)) return true;
  if (terms.sym(g.atom) != terms.equality()) return false;
  // Equations match up to symmetry.
  std::size_t mark = unifier.mark();
  if (unifier.match(terms.arg(g.atom, 0), terms.arg(s.atom, 1))) {
    if (unifier.match(terms.arg(g.atom, 1), terms.arg(s.atom, 0))) return true;
    unifier.undo(mark);
  }
  return false;
}

// Matches general[i..] onto the literals of `specific` not yet used.
bool subsume_from(const Terms& terms, core::Unifier& unifier, const std::vector<Lit>& general, std::size_t i,
                  const std::vector<Lit>& specific, std::vector<bool>& used) {
  if (i == general.size()) return true;
  for (std::size_t j = 0; j < specific.size(); ++j) {
    if (used[j]) continue;
    std::size_t mark = unifier.mark();
    if (!match_literal(terms, unifier, general[i], specific[j])) continue;
    used[j] = true;
    if (subsume_from(terms, unifier, general, i + 1, specific, used)) return true;
    used[j] = false;
    unifier.undo(mark);
  }
  return false;
}

// The distinct keys of a clause's literals, in order of first occurrence.
std::vector<std::uint64_t> distinct_keys(const Terms& terms, const std::vector<Lit>& lits) {
  std::vector<std::uint64_t> keys;
  for (const Lit& l : lits) {
    std::uint64_t k = lit_key(terms, l);
    if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
  }
  return keys;
}

}  // namespace

bool subsumes(const Terms& terms, core::Unifier& unifier, const std::vector<Lit>& general,
              const std::vector<Lit>& specific) {
  if (general.size() > specific.size()) return false;
  std::size_t mark = unifier.mark();
  std::vector<bool> used(specific.size(), false);
  bool ok = subsume_from(terms, unifier, general, 0, specific, used);
  unifier.undo(mark);
  return ok;
}

void SubsumptionIndex::insert(std::uint32_t id) {
  const StoredClause& c = clauses_[id];
  std::size_t heaviest = 0;
  for (std::size_t i = 1; i < c.lits.size(); ++i)
    if (terms_.weight(c.lits[i].atom) > terms_.weight(c.lits[heaviest].atom)) heaviest = i;
  by_heaviest_key_[lit_key(terms_, c.lits[heaviest])].push_back(id);
  for (std::uint64_t k : distinct_keys(terms_, c.lits)) by_every_key_[k].push_back(id);
}

bool SubsumptionIndex::subsumes_new(const StoredClause& c) {
  for (std::uint64_t k : distinct_keys(terms_, c.lits)) {
    auto it = by_heaviest_key_.find(k);
    if (it == by_heaviest_key_.end()) continue;
    for (std::uint32_t id : it->second) {
      poller_.poll();
      const StoredClause& d = clauses_[id];
      if (d.state == ClauseState::Dead || d.lits.size() > c.lits.size()) continue;
      if ((d.key_mask & ~c.key_mask) != 0) continue;
      if (d.weight > c.weight) continue;
      if (subsumes(terms_, unifier_, d.lits, c.lits)) return true;
    }
  }
  return false;
}

void SubsumptionIndex::delete_subsumed_by(std::uint32_t given) {
  const StoredClause& g = clauses_[given];
  const std::vector<std::uint32_t>* smallest = nullptr;
  for (const Lit& l : g.lits) {
    auto it = by_every_key_.find(lit_key(terms_, l));
    if (it == by_every_key_.end()) return;  // no kept clause has this literal's key
    if (!smallest || it->second.size() < smallest->size()) smallest = &it->second;
  }
  if (!smallest) return;
  for (std::uint32_t id : *smallest) {
    poller_.poll();
    if (id == given) continue;
    StoredClause& d = clauses_[id];
    if (d.state == ClauseState::Dead || d.lits.size() < g.lits.size()) continue;
    if ((g.key_mask & ~d.key_mask) != 0 || g.weight > d.weight) continue;
    if (subsumes(terms_, unifier_, g.lits, d.lits)) d.state = ClauseState::Dead;
  }
}

}  // namespace prover::engine_parts
