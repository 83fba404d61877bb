#include "core/interrupt.hpp"

#include <algorithm>
#include <atomic>
#include <exception>

#include "core/thread_state.hpp"

namespace core {
namespace {

std::atomic<InterruptCheck> g_check{nullptr};

// The calling thread's deadline (max: none).  A constant initial value, so
// the variable needs no construction on the thread's first use.
CORE_THREAD_LOCAL std::chrono::steady_clock::time_point t_deadline = std::chrono::steady_clock::time_point::max();
// Set when an Interrupted is thrown on the thread; a new poller clears it.
CORE_THREAD_LOCAL bool t_interrupted = false;

}  // namespace

ScopedDeadline::ScopedDeadline(Clock::time_point deadline) : enclosing_(t_deadline) {
  if (deadline < t_deadline) t_deadline = deadline;
}

ScopedDeadline::~ScopedDeadline() { t_deadline = enclosing_; }

ScopedDeadline::Clock::time_point ScopedDeadline::after(double seconds, Clock::time_point from) {
  if (!(seconds < limits::kNoDeadlineSeconds)) return Clock::time_point::max();
  return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(seconds, 0.0)));
}

void ScopedDeadline::check() {
  if (t_deadline != Clock::time_point::max() && Clock::now() >= t_deadline) throw DeadlineExceeded();
}

bool work_abandoned() noexcept {
  // The exception count is read only after a throw on this thread, which
  // made the runtime's per-thread state that holds it.
  if (t_interrupted && std::uncaught_exceptions() > 0) return true;
  return t_deadline != std::chrono::steady_clock::time_point::max() && std::chrono::steady_clock::now() >= t_deadline;
}

void set_interrupt_check(InterruptCheck check) { g_check.store(check, std::memory_order_release); }

InterruptCheck interrupt_check() { return g_check.load(std::memory_order_acquire); }

void check_interrupt_now() {
  InterruptCheck check = interrupt_check();
  if (check && check()) {
    t_interrupted = true;
    throw Interrupted();
  }
}

InterruptPoller::InterruptPoller()
    : countdown_(limits::kFirstPollStride),
      stride_(limits::kFirstPollStride),
      last_clock_(std::chrono::steady_clock::now()),
      last_check_(last_clock_) {
  t_interrupted = false;
  prime_thread();
}

void InterruptPoller::slow_poll() {
  auto now = std::chrono::steady_clock::now();
  if (last_clock_ == std::chrono::steady_clock::time_point{}) {  // a per-thread poller's first check
    last_clock_ = last_check_ = now;
    countdown_ = stride_;
    return;
  }
  auto since_clock = now - last_clock_;
  if (since_clock < limits::kPollTooSoon && stride_ < limits::kMaxPollStride)
    stride_ *= 2;
  else if (since_clock > limits::kPollTooLate && stride_ > limits::kMinPollStride)
    stride_ /= 2;
  countdown_ = stride_;
  last_clock_ = now;
  if (now >= t_deadline) throw DeadlineExceeded();
  if (now - last_check_ >= limits::kInterruptCheckInterval) {
    last_check_ = now;
    check_interrupt_now();
  }
}

}  // namespace core
