#include "prover/engine.hpp"

#include <algorithm>
#include <exception>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/exceptions.hpp"
#include "core/interrupt.hpp"
#include "core/node_walk.hpp"
#include "core/release.hpp"
#include "core/unify.hpp"
#include "prover/definitional_cnf.hpp"
#include "prover/engine_loop.hpp"

namespace prover {

Refutation::Refutation() : state_(std::make_unique<State>()) {}
// A search given up by an exception (its deadline passed, an interrupt)
// answers at once: its clauses and indexes are freed in the background.
Refutation::~Refutation() {
  if (std::uncaught_exceptions() > 0) core::release_in_background(std::move(state_));
}

void Refutation::load(const std::vector<InputClause>& clauses) { state_->load(clauses); }

void Refutation::run(const SearchLimits& limits) {
  if (state_->refuted()) return;
  within_time_limit(limits.timeout_sec, [&] { state_->run(limits); });
}

ProofDAG Refutation::proof() const { return state_->proof(); }
const SearchStats& Refutation::stats() const { return state_->stats; }

bool same_up_to_renaming(const Clause& a, const Clause& b) {
  if (a.size() != b.size()) return false;
  engine_parts::Terms terms;
  core::Unifier unifier(terms.bank());
  engine_parts::ClauseReader reader(terms);
  auto convert = [&](const Clause& c) {
    engine_parts::ClauseReader::VarMap vars;
    std::vector<engine_parts::Lit> lits;
    for (const Literal& l : c.literals()) lits.push_back({reader.plain_atom(l.atom(), vars), l.positive()});
    return lits;
  };
  std::vector<engine_parts::Lit> la = convert(a), lb = convert(b);
  return engine_parts::subsumes(terms, unifier, la, lb) && engine_parts::subsumes(terms, unifier, lb, la);
}

namespace {

// The names that the engine's new symbols could take: Skolem symbols
// ("sk_...") and definitions ("_def...").  Only these are ever asked about.
bool may_clash(const std::string& name) { return name.rfind("sk_", 0) == 0 || name.rfind("_def", 0) == 0; }

// The names of the symbols of a formula (predicates, functions, constants)
// that may clash, each distinct node walked once.
void collect_names(const core::NodePtr& formula, std::unordered_set<std::string>& names) {
  auto note = [&](const std::string& name) {
    if (may_clash(name)) names.insert(name);
  };
  core::for_each_distinct_node(*formula, [&](const core::Node& n) {
    if (n.kind() == core::NodeKind::Constant) note(core::as<core::Constant>(n).name());
    if (const core::Application* a = core::as_application(n)) note(a->symbol().name());
  });
}

// What Skolemization and the definitions ask of the problem: a name is
// taken when a formula of the problem or the signature uses it, or an
// earlier Skolem symbol took it.
class ProblemRegistry final : public core::SymbolRegistry {
 public:
  ProblemRegistry(core::Signature* signature, std::unordered_set<std::string> names)
      : signature_(signature), names_(std::move(names)) {}
  bool holds_name(std::string_view name) const override {
    return names_.count(std::string(name)) || (signature_ && signature_->holds_name(name));
  }
  void register_constant(const std::string& name, const core::SortPtr& sort) override {
    names_.insert(name);
    if (signature_) signature_->register_constant(name, sort);
  }
  void register_function(const std::string& name, std::int64_t arity, const std::vector<core::SortPtr>& argument_sorts,
                         const core::SortPtr& return_sort) override {
    names_.insert(name);
    if (signature_) signature_->register_function(name, arity, argument_sorts, return_sort);
  }

 private:
  core::Signature* signature_;
  std::unordered_set<std::string> names_;
};

}  // namespace

TheoremProver::TheoremProver(std::shared_ptr<core::Signature> signature, config::SolverConfig config)
    : signature_(std::move(signature)), config_(config) {}

SearchLimits TheoremProver::limits(std::int64_t max_steps, double timeout_sec) {
  SearchLimits l;
  l.max_steps = std::max<std::int64_t>(max_steps, 1);
  l.timeout_sec = timeout_sec > 0.1 ? timeout_sec : 0.1;  // NaN becomes 0.1 too
  return l;
}

void TheoremProver::prepare(Refutation& search, const core::NodePtr& target,
                            const std::vector<core::NodePtr>& premises) const {
  if (!target) throw core::TypeError("the target must be a formula, got None");
  std::unordered_set<std::string> names;
  collect_names(target, names);
  for (const auto& p : premises) {
    if (!p) throw core::TypeError("a premise must be a formula, got None");
    collect_names(p, names);
  }
  ProblemRegistry registry(signature_.get(), std::move(names));
  // Definitions name their subformulas "_def0", "_def1", ..., skipping the names in use.
  std::uint64_t definitions = 0;
  NewPredicateName new_name = [&] {
    for (;;) {
      std::string name = "_def" + std::to_string(definitions++);
      if (!registry.holds_name(name)) return name;
    }
  };
  core::ReleaseOnUnwind<std::vector<InputClause>> clauses;
  auto clausify = [&](const core::NodePtr& formula, InputClause::Origin origin) {
    DefinitionalClauses cnf = to_definitional_cnf(formula, origin == InputClause::Origin::NegatedGoal, &registry, new_name);
    for (Clause& c : cnf.clauses) clauses->push_back({std::move(c), origin});
    for (Clause& c : cnf.definitions) clauses->push_back({std::move(c), InputClause::Origin::Definition});
  };
  try {
    for (const auto& p : premises) clausify(p, InputClause::Origin::Premise);
    clausify(target, InputClause::Origin::NegatedGoal);
  } catch (const CnfTooLarge& e) {
    throw NoProofError(NoProofError::Reason::TooLarge, std::string("no proof: the problem is too large to clausify: ") + e.what());
  }
  search.load(*clauses);
}

ProofDAG TheoremProver::prove(const core::NodePtr& target, const std::vector<core::NodePtr>& premises,
                              std::int64_t max_steps, double timeout_sec) const {
  SearchLimits bounds = limits(max_steps, timeout_sec);
  return within_time_limit(bounds.timeout_sec, [&] {
    Refutation search;
    prepare(search, target, premises);
    search.run(bounds);
    return search.proof();
  });
}

ProofDAG refute(const std::vector<InputClause>& clauses, const SearchLimits& limits, SearchStats* stats) {
  Refutation r;
  r.load(clauses);
  r.run(limits);
  if (stats) *stats = r.stats();
  return r.proof();
}

}  // namespace prover
