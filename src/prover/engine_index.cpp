#include "prover/engine_index.hpp"

namespace prover::engine_parts {

Fingerprint fingerprint(const Terms& terms, TermId atom) {
  static constexpr int kPaths[Fingerprint::kSize][2] = {{0, -1}, {1, -1}, {2, -1}, {0, 0}, {1, 0}, {0, 1}};
  Fingerprint fp;
  for (int k = 0; k < Fingerprint::kSize; ++k) {
    TermId t = atom;
    std::uint32_t value = 0;
    bool done = false;
    for (int step = 0; step < 2 && !done; ++step) {
      int i = kPaths[k][step];
      if (i < 0) break;
      if (terms.is_var(t)) {
        value = 1;
        done = true;
      } else if (static_cast<std::uint32_t>(i) >= terms.arity(t)) {
        value = 2;
        done = true;
      } else {
        t = terms.arg(t, static_cast<std::uint32_t>(i));
      }
    }
    if (!done) value = terms.is_var(t) ? 0 : terms.sym(t) + 3;
    fp.at[k] = value;
  }
  return fp;
}

std::uint32_t subterm_count(const Terms& terms, TermId t) {
  core::RecursionGuard guard;  // terms nested too deep for the stack raise RecursionDepthError
  if (terms.is_var(t)) return 1;
  std::uint32_t n = 1;
  for (std::uint32_t i = 0; i < terms.arity(t); ++i) n += subterm_count(terms, terms.arg(t, i));
  return n;
}

void ActiveIndex::insert(std::uint32_t id, const StoredClause& c, bool with_equality) {
  for (std::uint32_t i = 0; i < c.lits.size(); ++i) {
    if (!c.eligible[i]) continue;
    const Lit& l = c.lits[i];
    if (!is_equation(terms_, l)) resolution_[lit_key(terms_, l)].push_back({id, i, fingerprint(terms_, l.atom)});
    if (!with_equality) continue;
    for_each_rewritable(terms_, ordering_, l,
                        [&](std::uint32_t pos, TermId t) { into_[terms_.sym(t)].push_back({id, i, pos, t}); });
    if (is_equation(terms_, l) && l.positive && !c.has_selection) insert_sides(id, i, l.atom);
  }
}

void ActiveIndex::insert_sides(std::uint32_t id, std::uint32_t lit, TermId equation) {
  bool sides[2];
  ordering_.usable_sides(equation, sides);
  for (std::uint32_t s = 0; s < 2; ++s) {
    if (!sides[s]) continue;
    TermId from = terms_.arg(equation, s);
    if (terms_.is_var(from))
      from_variable_sides_.push_back({id, lit, s});
    else
      from_[terms_.sym(from)].push_back({id, lit, s});
  }
}

const std::vector<LitRef>* ActiveIndex::resolution_partners(const Lit& l) const {
  auto it = resolution_.find(complement_key(terms_, l));
  return it == resolution_.end() ? nullptr : &it->second;
}

const std::vector<SubtermRef>* ActiveIndex::subterms_with_top(SymId top) const {
  auto it = into_.find(top);
  return it == into_.end() ? nullptr : &it->second;
}

std::vector<SubtermRef> ActiveIndex::all_subterms() const {
  std::vector<SubtermRef> all;
  for (auto& [sym, refs] : into_) all.insert(all.end(), refs.begin(), refs.end());
  return all;
}

std::vector<SideRef> ActiveIndex::sides_that_may_rewrite(TermId t) const {
  std::vector<SideRef> refs = from_variable_sides_;
  auto it = from_.find(terms_.sym(t));
  if (it != from_.end()) refs.insert(refs.end(), it->second.begin(), it->second.end());
  return refs;
}

}  // namespace prover::engine_parts
