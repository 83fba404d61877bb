#include "core/exceptions.hpp"

#include <cstdint>

namespace core {
namespace {

// Native stack that one outermost walk may use.  Threads of the interpreter
// get at least 8 MiB on Linux; the interpreter's own frames sit above ours.
constexpr std::uintptr_t kStackBudget = 3u << 20;
constexpr int kMaxNesting = 200000;

thread_local int t_depth = 0;
thread_local std::uintptr_t t_base = 0;

}  // namespace

RecursionGuard::RecursionGuard() {
  char probe;
  auto here = reinterpret_cast<std::uintptr_t>(&probe);
  if (t_depth == 0) {
    t_base = here;
  } else if (t_depth >= kMaxNesting || (t_base > here && t_base - here > kStackBudget)) {
    throw RecursionDepthError();
  }
  ++t_depth;
}

RecursionGuard::~RecursionGuard() { --t_depth; }

}  // namespace core
