// Iterative release of deep trees of shared nodes.
//
// A tree of `std::shared_ptr<const Node>` whose nodes own their children would
// be destroyed by nested destructors, one stack frame per level, and a deep
// enough tree overflows the stack.  Instead, a node's destructor hands each
// child it owns to `TreeRelease<Node>::release`: a child with other owners is
// simply let go; a child whose last owner is the dying node is queued, and the
// outermost release on the thread destroys the queue one node at a time, each
// destructor queuing its own children in turn.  Without memory for the queue a
// child is released where it stands (by recursion), so releasing never fails.
#pragma once

#include <memory>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/thread_state.hpp"

namespace core {

template <typename Node>
class TreeRelease {
 public:
  using Ptr = std::shared_ptr<const Node>;

  // Releases one child of a dying node; `child` is null afterwards.
  static void release(Ptr& child) noexcept {
    if (!child) return;
    if (child.use_count() != 1) {
      child.reset();
      return;
    }
    if (pending_) {  // a release loop is running further up: queue instead of recursing
      queue(child);
      return;
    }
    std::vector<Ptr> pending;
    pending_ = &pending;
    queue(child);
    while (!pending.empty()) {
      Ptr next = std::move(pending.back());
      pending.pop_back();
      next.reset();  // may queue grandchildren
    }
    pending_ = nullptr;
  }

  // A child held through a pointer to a class derived from Node.
  template <typename Derived>
    requires(!std::is_same_v<Derived, Node> && std::is_base_of_v<Node, Derived>)
  static void release(std::shared_ptr<const Derived>& child) noexcept {
    Ptr as_node = std::move(child);
    release(as_node);
  }

  // Releases every child in a container of pointers (which keeps its size;
  // its elements are null afterwards).
  template <typename Children>
  static void release_all(Children& children) noexcept {
    for (auto& child : children) release(child);
  }

 private:
  // The child is released where it stands only after the failed growth's
  // exception is gone: released inside the handler, each level of a deep
  // tree would hold one more live exception, until the runtime had no room
  // left for the next one and ended the process.
  static void queue(Ptr& child) noexcept {
    bool queued = false;
    try {
      pending_->push_back(std::move(child));  // on failure `child` keeps its node
      queued = true;
    } catch (const std::bad_alloc&) {
    }
    if (!queued) child.reset();
  }

  static inline CORE_THREAD_LOCAL std::vector<Ptr>* pending_ = nullptr;
};

// Lets go of a large value on a thread of its own, so that a search that is
// abandoned (interrupted, say) answers at once however much it holds; where
// no thread can be had, the value is let go of here.
template <typename T>
void release_in_background(T&& value) noexcept {
  try {
    auto held = std::make_unique<std::decay_t<T>>(std::forward<T>(value));
    std::thread([held = std::move(held)]() mutable { held.reset(); }).detach();
  } catch (...) {
  }
}

}  // namespace core
