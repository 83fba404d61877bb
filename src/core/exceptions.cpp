#include "core/exceptions.hpp"

#include <pthread.h>

#include <cstdint>

#include "core/interrupt.hpp"

namespace core {
namespace {

// Stack kept free below the deepest walk frame, for the frames that the
// walk's own callees (allocation, string building, the interpreter) need.
constexpr std::uintptr_t kReserve = 512u << 10;
// Used when the thread's stack bounds cannot be read.
constexpr std::uintptr_t kFallbackBudget = 2u << 20;

thread_local std::uintptr_t t_floor = 0;  // lowest address a guarded frame may use; 0 = not read yet

// The lowest usable stack address of the calling thread (stacks grow down).
std::uintptr_t stack_floor(std::uintptr_t here) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* low = nullptr;
    std::size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    auto bottom = reinterpret_cast<std::uintptr_t>(low);
    if (rc == 0 && size > 0) {
      std::uintptr_t reserve = size / 4 < kReserve ? size / 4 : kReserve;  // small thread stacks keep a quarter
      return bottom + reserve;
    }
  }
  return here > kFallbackBudget ? here - kFallbackBudget : 1;
}

// The calling thread's floor, read on its first use: reading the bounds is slow.
std::uintptr_t thread_floor(std::uintptr_t here) {
  if (t_floor == 0) t_floor = stack_floor(here);
  return t_floor;
}

}  // namespace

RecursionGuard::RecursionGuard() {
  char probe;
  auto here = reinterpret_cast<std::uintptr_t>(&probe);
  if (here < thread_floor(here)) {
    throw RecursionDepthError();
  }
  thread_local InterruptPoller poller;
  poller.poll();
}

StackLimit::StackLimit() {
  char probe;
  floor_ = thread_floor(reinterpret_cast<std::uintptr_t>(&probe));
}

RecursionGuard::~RecursionGuard() = default;

}  // namespace core
