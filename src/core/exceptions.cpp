#include "core/exceptions.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <exception>

#include "core/interrupt.hpp"
#include "core/limits.hpp"
#include "core/thread_state.hpp"

namespace core {
namespace {

CORE_THREAD_LOCAL std::uintptr_t t_floor = 0;  // lowest address a guarded frame may use; 0 = not read yet

// The lowest usable stack address of the calling thread (stacks grow down),
// or 0 when the bounds cannot be read.
std::uintptr_t read_stack_floor() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* low = nullptr;
    std::size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    auto bottom = reinterpret_cast<std::uintptr_t>(low);
    if (rc == 0 && size > 0) {
      const std::uintptr_t reserve =
          std::min<std::uintptr_t>(size / limits::kSmallStackReserveDivisor, limits::kStackReserve);
      return bottom + reserve;
    }
  }
  return 0;
}

// The calling thread's floor, read on its first use: reading the bounds is
// slow.  Reading them may fail for want of memory; then a budget below the
// present frame serves, and the bounds are read again next time.
std::uintptr_t thread_floor(std::uintptr_t here) {
  if (t_floor != 0) return t_floor;
  prime_thread();
  if (t_floor != 0) return t_floor;
  return here > limits::kFallbackStackBudget ? here - limits::kFallbackStackBudget : 1;
}

// The thread that loads the library is primed at once.
[[maybe_unused]] const bool g_loading_thread_primed = (prime_thread(), true);

}  // namespace

void prime_thread() noexcept {
  // Reading the count of uncaught exceptions makes the runtime's per-thread
  // block; the value is stored where the compiler must keep the call.
  volatile int uncaught = std::uncaught_exceptions();
  static_cast<void>(uncaught);
  if (t_floor == 0) t_floor = read_stack_floor();
}

RecursionGuard::RecursionGuard() {
  char probe;
  auto here = reinterpret_cast<std::uintptr_t>(&probe);
  if (here < thread_floor(here)) {
    throw RecursionDepthError();
  }
  CORE_THREAD_LOCAL InterruptPoller poller{InterruptPoller::PerThread{}};
  poller.poll();
}

StackLimit::StackLimit() {
  prime_thread();
  char probe;
  floor_ = thread_floor(reinterpret_cast<std::uintptr_t>(&probe));
}

RecursionGuard::~RecursionGuard() = default;

}  // namespace core
