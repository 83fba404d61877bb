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
//
// Releasing off the deadline path.  Freeing a large structure node by node
// takes long (a tree of millions of nodes, a tenth of a second and more),
// and a computation that is given up, its deadline passed or its host asking
// it to stop, must not spend that time before it answers.  Two helpers keep
// it off that path:
// - release_in_background(value) destroys a value on a thread of its own;
// - the release loop of TreeRelease asks, every kAbandonStride nodes, whether
//   the thread's work is being given up (core::work_abandoned(): the deadline
//   has passed, or an interrupt is unwinding), and then hands what is left of
//   the tree to such a thread.  So the trees that the frames of an abandoned
//   search let go of, however large, cost the search a moment.
// ReleaseOnUnwind<T> holds a value of many small parts (a vector of clauses,
// a search's state) that it releases in the background when its scope is
// left by an exception.
// Where no thread can be had (no memory, no threads left), the value is
// destroyed where it stands, as it would have been.
#pragma once

#include <exception>
#include <memory>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/thread_state.hpp"

namespace core {

// Destroys `value` (moved from) on a detached thread of its own; where no
// thread can be made, here.
template <typename T>
void release_in_background(T&& value) noexcept {
  using Held = std::remove_cvref_t<T>;
  std::unique_ptr<Held> held;
  try {
    held = std::make_unique<Held>(std::move(value));
    std::thread([owned = std::move(held)]() mutable noexcept { owned.reset(); }).detach();
  } catch (...) {
    // No memory or no thread: `held` (or `value`) is destroyed here.
  }
}

// Holds a value for a scope; the value is released in the background when
// the scope is left by an exception, and destroyed as usual otherwise.
template <typename T>
class ReleaseOnUnwind {
 public:
  template <typename... Args>
  explicit ReleaseOnUnwind(Args&&... args) : value_(std::forward<Args>(args)...) {}
  ~ReleaseOnUnwind() {
    if (std::uncaught_exceptions() > exceptions_) release_in_background(std::move(value_));
  }
  ReleaseOnUnwind(const ReleaseOnUnwind&) = delete;
  ReleaseOnUnwind& operator=(const ReleaseOnUnwind&) = delete;

  T& operator*() { return value_; }
  T* operator->() { return &value_; }

 private:
  T value_;
  int exceptions_ = std::uncaught_exceptions();
};

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
    std::size_t released = 0;
    while (!pending.empty()) {
      if (++released % kAbandonStride == 0 && work_abandoned()) {
        std::vector<Ptr> rest;
        rest.swap(pending);
        pending_ = nullptr;
        release_in_background(std::move(rest));
        return;
      }
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
  // How many nodes the loop releases between two questions whether the
  // thread's work is being given up (a few microseconds of freeing).
  static constexpr std::size_t kAbandonStride = 1024;

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

}  // namespace core
