// Error types of the engine.  The bindings translate each to the Python class
// of the same name in core.exceptions (or to the builtin named in the comment),
// keeping the message text unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace core {

class Sort;

// A node that fails validation or that a tree function does not support.
class InvalidFormulaError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Unification failed.
class UnificationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Two sorts clash.  Derives from UnificationError so that code which skips a
// pair that fails to unify also skips an ill-sorted pair.
class SortMismatchError : public UnificationError {
 public:
  SortMismatchError(const std::string& message, std::shared_ptr<const Sort> expected,
                    std::shared_ptr<const Sort> actual)
      : UnificationError(message), expected_sort(std::move(expected)), actual_sort(std::move(actual)) {}
  std::shared_ptr<const Sort> expected_sort;
  std::shared_ptr<const Sort> actual_sort;
};

// Python's TypeError, ValueError, NotImplementedError, RecursionError, AssertionError.
class TypeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class ValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class NotImplementedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class RecursionDepthError : public std::runtime_error {
 public:
  RecursionDepthError() : std::runtime_error("maximum recursion depth exceeded") {}
};
class AssertionFailure : public std::runtime_error {
 public:
  AssertionFailure() : std::runtime_error("") {}
};

// Bounds the native stack used by recursive walks.  Each recursive function
// holds one guard per level; when the walk nests deeper than the budget the
// guard throws RecursionDepthError (Python's RecursionError) instead of
// letting the stack overflow.  Every guard is also one step of the calling
// thread's interrupt poller (core/interrupt.hpp), so that every recursive
// walk, however long, throws Interrupted when the host asks it to stop.
class RecursionGuard {
 public:
  RecursionGuard();
  ~RecursionGuard();
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// The stack half of RecursionGuard, for a recursive search that polls for
// interrupts itself and whose levels are too cheap for a guard each: the
// calling thread's bound is read once, and each level's check is one
// comparison.  Use it on the thread that made it.
class StackLimit {
 public:
  StackLimit();
  void check() const {
    char probe;
    if (reinterpret_cast<std::uintptr_t>(&probe) < floor_) throw RecursionDepthError();
  }

 private:
  std::uintptr_t floor_;
};

}  // namespace core
