// One walk over the distinct nodes of a shared tree.
//
// A formula may share subterms (f = And(f, f) repeated is small in memory
// and astronomically large as a tree) and may be nested 10^5 deep, so a walk
// that only has to see every node once (to collect names, or the largest
// variable id) must neither unfold the sharing nor recurse.  This one keeps
// its own stack and remembers the nodes it has entered by their identity;
// only children with more than one owner can be met twice (a child with a
// single owner is reached through its one parent alone), so only those go
// into the memory, and plain trees pay no look-up.  It polls for interrupts
// at every node, so a walk over a huge formula answers Ctrl-C and the
// calling thread's deadline.
//
// The children are those of for_each_child (a quantifier's bound variable
// among them), pre-order; the tree must not change during the walk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <unordered_set>
#include <vector>

#include "core/ast.hpp"
#include "core/interrupt.hpp"

namespace core {

// Calls `visit(node)` once on every distinct node reachable from `root`,
// `root` included.  Throws what the poller throws (Interrupted,
// DeadlineExceeded) and std::bad_alloc.
template <typename Visit>
void for_each_distinct_node(const Node& root, Visit&& visit) {
  struct Entry {
    const Node* node;
    bool shared;  // had more than one owner when its parent was entered
  };
  InterruptPoller poller;
  std::vector<Entry> stack{{&root, false}};
  std::unordered_set<const Node*> entered;  // the shared nodes entered so far
  while (!stack.empty()) {
    poller.poll();
    Entry e = stack.back();
    stack.pop_back();
    if (e.shared && !entered.insert(e.node).second) continue;
    visit(*e.node);
    std::size_t first_child = stack.size();
    for_each_child(*e.node, [&](const auto& child) {
      if (child) stack.push_back({child.get(), child.use_count() > 1});
    });
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first_child), stack.end());  // first child on top
  }
}

}  // namespace core
