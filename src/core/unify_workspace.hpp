// A term bank and a unifier over it for one task: unifying a few syntax-tree
// nodes and reading the unifier back as a Substitution.
//
// Making a bank and a unifier costs more than a small unification itself,
// so a workspace borrows the calling thread's spare pair and gives it back,
// emptied, when it goes; a pair whose bank grew large is let go instead, so
// that the spare keeps no more than a small task's memory.  A workspace made
// while the thread's spare is out (a unification inside another one) makes
// a pair of its own.  The spare lives in a ThreadSpare (core/thread_state.hpp):
// it costs no allocation at the thread's end, and a workspace is safe to make
// when memory runs out (it raises std::bad_alloc, never ends the process).
//
// A workspace belongs to one thread and is neither copied nor moved.
#pragma once

#include <memory>

#include "core/bank.hpp"
#include "core/limits.hpp"
#include "core/substitutions.hpp"
#include "core/unify.hpp"

namespace core {

class UnifierWorkspace {
 public:
  UnifierWorkspace();
  ~UnifierWorkspace();
  UnifierWorkspace(const UnifierWorkspace&) = delete;
  UnifierWorkspace& operator=(const UnifierWorkspace&) = delete;

  Bank& bank() { return parts_->bank; }
  Unifier& unifier() { return parts_->unifier; }

  // The bank id of a node, entered into the bank when new.
  TermId id(const NodePtr& node) { return bank().from_node(node); }
  // The node of `t` instantiated by the bindings.
  NodePtr instance(TermId t) { return bank().to_node(unifier().apply(t)); }
  // The bindings on the trail as a substitution: the bound variables in
  // binding order, each with its fully instantiated value.
  Substitution bindings();

 private:
  struct Parts {
    Bank bank;
    Unifier unifier{bank};
  };
  std::unique_ptr<Parts> parts_;
};

}  // namespace core
