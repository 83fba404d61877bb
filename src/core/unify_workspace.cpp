#include "core/unify_workspace.hpp"

#include "core/thread_state.hpp"

namespace core {

UnifierWorkspace::UnifierWorkspace() : parts_(ThreadSpare<Parts>::take()) {
  if (!parts_) parts_ = std::make_unique<Parts>();
}

UnifierWorkspace::~UnifierWorkspace() {
  if (parts_->bank.size() > limits::kKeptWorkspaceTerms) return;
  try {
    parts_->unifier.reset();
    parts_->bank.clear();
    ThreadSpare<Parts>::keep(std::move(parts_));
  } catch (...) {  // let these go; the next workspace makes new ones
  }
}

Substitution UnifierWorkspace::bindings() {
  Substitution result;
  for (TermId var : unifier().trail()) result.set(as_ptr<Variable>(bank().to_node(var)), instance(var));
  return result;
}

}  // namespace core
