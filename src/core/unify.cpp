#include "core/unify.hpp"

#include <algorithm>

#include "core/exceptions.hpp"
#include "core/limits.hpp"

namespace core {

Unifier::Unifier(Bank& bank) : bank_(bank) {}

std::uint32_t Unifier::next_epoch() {
  if (seen_.size() < bank_.size()) seen_.resize(bank_.size(), 0);
  if (memo_.size() < bank_.size()) memo_.resize(bank_.size(), kNoTerm);
  if (++epoch_ == 0) {
    std::fill(seen_.begin(), seen_.end(), 0);
    epoch_ = 1;
  }
  return epoch_;
}

void Unifier::undo(Mark mark) {
  while (trail_.size() > mark) {
    binding_[trail_.back()] = kNoTerm;
    trail_.pop_back();
  }
}

void Unifier::bind(TermId var, TermId term) {
  ensure_slots();
  trail_.push_back(var);
  binding_[var] = term;
}

bool Unifier::occurs(TermId var, TermId t) {
  if (bank_.is_ground(t)) return false;
  std::uint32_t epoch = next_epoch();
  stack_.clear();
  stack_.push_back(t);
  while (!stack_.empty()) {
    TermId u = resolve(stack_.back());
    stack_.pop_back();
    if (u == var) return true;
    if (bank_.is_ground(u) || bank_.is_variable(u) || seen_[u] == epoch) continue;
    seen_[u] = epoch;
    for (TermId c : bank_.children(u)) stack_.push_back(c);
  }
  return false;
}

bool Unifier::fail(Clash::Kind kind, TermId left, TermId right, Clash* clash, Mark mark) {
  if (clash) *clash = {kind, left, right};
  undo(mark);
  return false;
}

bool Unifier::bind_checked(TermId var, TermId term, Clash* clash) {
  if (refuse_bindings_) {
    if (clash) *clash = {Clash::Kind::BindingRefused, var, term};
    return false;
  }
  if (occurs(var, term)) {
    // The caller sees the term as the bindings make it, before they go.
    if (clash) *clash = {Clash::Kind::Occurs, var, apply(term)};
    return false;
  }
  if (bank_.sort_of(var) != bank_.sort_of(term)) {
    if (clash) *clash = {Clash::Kind::VariableSort, var, term};
    return false;
  }
  bind(var, term);
  return true;
}

bool Unifier::unify(TermId a, TermId b, Clash* clash) { return unify_all({&a, 1}, {&b, 1}, clash); }

// A pair of applications taken apart again within one call was unified the
// first time (its argument pairs leave the stack before anything below it),
// so it is passed over: shared terms cost their distinct pairs.  Pairs are
// remembered only once a call has taken many apart, so small ones pay nothing.

bool Unifier::unify_all(std::span<const TermId> left, std::span<const TermId> right, Clash* clash) {
  const Mark start = mark();
  pairs_.clear();
  if (!taken_apart_.empty()) taken_apart_.clear();
  std::size_t taken = 0;
  // Pairs are pushed in reverse so that they are taken left to right, and a
  // pair's arguments are finished before its right neighbour is started: the
  // order of a recursive walk, which decides which clash is reported.
  for (std::size_t i = std::min(left.size(), right.size()); i-- > 0;) pairs_.emplace_back(left[i], right[i]);
  while (!pairs_.empty()) {
    auto [s, t] = pairs_.back();
    pairs_.pop_back();
    s = resolve(s);
    t = resolve(t);
    if (s == t) continue;
    if (bank_.is_term(s) && bank_.is_term(t)) {
      if (bank_.is_variable(s) || bank_.is_variable(t)) {
        bool var_left = bank_.is_variable(s);
        if (!bind_checked(var_left ? s : t, var_left ? t : s, clash)) {
          undo(start);
          return false;
        }
        continue;
      }
      NodeKind ks = bank_.kind(s), kt = bank_.kind(t);
      if (ks == NodeKind::Constant && kt == NodeKind::Constant) {
        // Equal ids were handled above: one symbol means two sorts.
        return fail(bank_.symbol_of(s) != bank_.symbol_of(t) ? Clash::Kind::ConstantName : Clash::Kind::ConstantSort,
                    s, t, clash, start);
      }
      if (ks == NodeKind::FunctionApp && kt == NodeKind::FunctionApp) {
        if (bank_.symbol_of(s) != bank_.symbol_of(t)) return fail(Clash::Kind::Symbol, s, t, clash, start);
        if (bank_.sort_of(s) != bank_.sort_of(t)) return fail(Clash::Kind::ReturnSort, s, t, clash, start);
        if (++taken > limits::kPlainUnifierPairs && !taken_apart_.insert(std::uint64_t{s} << 32 | t).second) continue;
        auto sa = bank_.children(s), ta = bank_.children(t);
        for (std::size_t i = sa.size(); i-- > 0;) pairs_.emplace_back(sa[i], ta[i]);
        continue;
      }
    }
    return fail(Clash::Kind::Structure, s, t, clash, start);
  }
  return true;
}

bool Unifier::match(TermId pattern, TermId target) {
  const Mark start = mark();
  pairs_.clear();
  pairs_.emplace_back(pattern, target);
  while (!pairs_.empty()) {
    auto [p, t] = pairs_.back();
    pairs_.pop_back();
    if (bank_.is_variable(p)) {
      if (is_bound(p)) {
        if (binding_[p] != t) return fail(Clash::Kind::Structure, p, t, nullptr, start);
      } else if (bank_.sort_of(p) != bank_.sort_of(t)) {
        return fail(Clash::Kind::VariableSort, p, t, nullptr, start);
      } else {
        bind(p, t);
      }
      continue;
    }
    if (bank_.is_ground(p)) {
      if (p != t) return fail(Clash::Kind::Structure, p, t, nullptr, start);
      continue;
    }
    if (bank_.kind(p) != bank_.kind(t) || bank_.symbol_of(p) != bank_.symbol_of(t) ||
        bank_.sort_of(p) != bank_.sort_of(t) || bank_.arity(p) != bank_.arity(t))
      return fail(Clash::Kind::Structure, p, t, nullptr, start);
    auto pa = bank_.children(p), ta = bank_.children(t);
    for (std::size_t i = pa.size(); i-- > 0;) pairs_.emplace_back(pa[i], ta[i]);
  }
  return true;
}

TermId Unifier::apply(TermId t) { return instantiate(t, true); }

TermId Unifier::substitute(TermId t) { return instantiate(t, false); }

// A post-order walk with an explicit stack, once per distinct subterm: a
// subterm is `done` when seen_ carries this walk's epoch and memo_ a result,
// and in progress when it carries the epoch without a result (meeting one
// again means the bindings form a cycle).
TermId Unifier::instantiate(TermId root, bool repeat) {
  if (trail_.empty() || bank_.is_ground(root)) return root;
  const std::uint32_t epoch = next_epoch();
  auto& frames = frames_;
  auto& results = results_;
  frames.clear();
  results.clear();
  auto start = [&](TermId t) {
    if (bank_.is_ground(t)) return results.push_back(t);
    if (seen_[t] == epoch) {
      if (memo_[t] == kNoTerm) throw UnificationError("the bindings form a cycle through v" +
                                                      std::to_string(bank_.is_variable(t) ? bank_.variable_id(t) : 0));
      return results.push_back(memo_[t]);
    }
    if (bank_.is_variable(t) && (!is_bound(t) || !repeat)) return results.push_back(is_bound(t) ? binding_[t] : t);
    seen_[t] = epoch;
    memo_[t] = kNoTerm;
    frames.push_back({t, 0, results.size()});
  };
  start(root);
  while (!frames.empty()) {
    Frame& f = frames.back();
    const TermId t = f.t;
    const std::uint32_t count = bank_.is_variable(t) ? 1 : bank_.arity(t);
    if (f.next < count) {
      TermId next = bank_.is_variable(t) ? binding_[t] : bank_.children(t)[f.next];
      ++f.next;
      start(next);  // may grow `frames`: f is not used after this
      continue;
    }
    std::span<const TermId> done(results.data() + f.base, count);
    TermId result;
    if (bank_.is_variable(t)) {
      result = done[0];
    } else {
      auto kids = bank_.children(t);
      result = std::equal(done.begin(), done.end(), kids.begin()) ? t : bank_.rebuild(t, done);
    }
    results.resize(f.base);
    frames.pop_back();
    memo_[t] = result;
    results.push_back(result);
  }
  return results.back();
}

}  // namespace core
