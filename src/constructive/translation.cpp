#include "constructive/translation.hpp"

#include <algorithm>

#include "constructive/common.hpp"
#include "constructive/resolution.hpp"
#include "core/sorts.hpp"

namespace constructive {

std::vector<core::NodePtr> TranslationProblem::engine_premises() const {
  std::vector<core::NodePtr> out = frame_axioms;
  out.insert(out.end(), premises_fol.begin(), premises_fol.end());
  return out;
}

core::NodePtr root_world() { return core::Constant::make("w0", core::ind_sort()); }

TranslationProblem normalized_problem(const core::NodePtr& target, const std::vector<core::NodePtr>& premises) {
  TranslationProblem problem;
  problem.target_ipc = normalize_formula(target);
  for (const auto& p : premises) problem.premises_ipc.push_back(normalize_formula(p));
  std::vector<std::string>& names = problem.atom_names;
  names = predicate_names(problem.target_ipc);
  for (const auto& p : problem.premises_ipc)
    for (auto& n : predicate_names(p)) names.push_back(std::move(n));
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return problem;
}

void translate_problem(TranslationProblem& problem) {
  const core::NodePtr world = root_world();
  auto translated = [&](const core::NodePtr& f) {
    std::int64_t counter = 1;
    return translate_ipc_to_fol(f, world, counter);
  };
  problem.target_fol = translated(problem.target_ipc);
  problem.premises_fol.clear();
  for (const auto& p : problem.premises_ipc) problem.premises_fol.push_back(translated(p));
  problem.frame_axioms = frame_axioms(problem.atom_names);
}

TranslationProblem translation_problem(const core::NodePtr& target, const std::vector<core::NodePtr>& premises) {
  TranslationProblem problem = normalized_problem(target, premises);
  translate_problem(problem);
  return problem;
}

}  // namespace constructive
