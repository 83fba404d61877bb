// Cooperative interruption of long engine loops.
//
// The engine never talks to the interpreter itself.  Instead a host (the
// Python bindings) installs one check function; long loops hold an
// InterruptPoller and call poll() once per step.  The poller is cheap enough
// for the innermost loop: it counts steps and only every so often reads the
// clock, and only when about `limits::kInterruptCheckInterval` has passed
// since the last check does it ask the host.  When the host says "stop",
// poll() throws core::Interrupted, which unwinds the search like any other
// error; the bindings turn it back into the host's pending exception
// (KeyboardInterrupt for Ctrl-C).
//
// The stride between clock reads adapts to the loop: cheap steps make it
// grow, expensive steps make it shrink, so a check happens every few
// milliseconds whatever a step costs.  A program that uses the engine from
// C++ alone installs nothing and is never interrupted.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>

#include "core/limits.hpp"

namespace core {

// Thrown by InterruptPoller::poll() when the host asked the computation to stop.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

// Thrown by InterruptPoller::poll() once the deadline of the enclosing
// ScopedDeadline has passed.
class DeadlineExceeded : public std::exception {
 public:
  const char* what() const noexcept override { return "the time limit is exceeded"; }
};

// A time limit for the calling thread's computations: while it lives, every
// InterruptPoller of the thread (and so every guarded walk) throws
// DeadlineExceeded once `deadline` has passed.  Scopes nest, and an inner
// scope never extends an outer one.  A caller that owns a time limit opens
// one around all the phases of its work, and turns DeadlineExceeded into
// its own answer.
class ScopedDeadline {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ScopedDeadline(Clock::time_point deadline);
  ~ScopedDeadline();
  ScopedDeadline(const ScopedDeadline&) = delete;
  ScopedDeadline& operator=(const ScopedDeadline&) = delete;

  // The moment `seconds` after `from` (now by default); a limit of a year or
  // more (or NaN) is no limit.
  static Clock::time_point after(double seconds, Clock::time_point from = Clock::now());
  // Throws DeadlineExceeded when the calling thread's deadline has passed.
  static void check();

 private:
  Clock::time_point enclosing_;
};

// Whether the calling thread's computation is being given up: its deadline
// has passed, or an Interrupted thrown on it is unwinding.  Release loops
// ask it to leave large structures to a background thread (core/release.hpp).
bool work_abandoned() noexcept;

// Returns true when the running computation must stop.  It may be called
// from any thread, with or without the interpreter lock held; it must take
// whatever lock it needs itself.
using InterruptCheck = bool (*)();

void set_interrupt_check(InterruptCheck check);
InterruptCheck interrupt_check();

// Asks the host at once; throws Interrupted if it says stop.
void check_interrupt_now();

class InterruptPoller {
 public:
  // A poller for a loop that starts now.  It also primes the calling thread
  // (core/thread_state.hpp), so that a search that makes one may run out of
  // memory safely.
  InterruptPoller();

  // A poller kept per thread in a thread-local variable: constant
  // initialised, it starts its clock at its first check.
  struct PerThread {};
  constexpr explicit InterruptPoller(PerThread)
      : countdown_(limits::kFirstPollStride), stride_(limits::kFirstPollStride) {}

  // One step of a loop.  Throws Interrupted when the host says stop, and
  // DeadlineExceeded past the thread's deadline.
  void poll() {
    if (--countdown_ > 0) return;
    slow_poll();
  }

 private:

  void slow_poll();

  std::int64_t countdown_;
  std::int64_t stride_;
  std::chrono::steady_clock::time_point last_clock_{};  // the epoch: not read yet
  std::chrono::steady_clock::time_point last_check_{};
};

}  // namespace core
