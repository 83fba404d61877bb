// Per-thread state that stays safe to touch when memory has run out.
//
// A library loaded into a running process (as every extension module and
// this engine are) gets the storage of its `thread_local` variables lazily:
// the C library allocates a thread's block for the library on the thread's
// first access, and ends the process ("cannot allocate memory for
// thread-local data") when that allocation fails.  The same holds for the C++
// runtime's own per-thread state, which every `throw` reads: the first
// exception a thread throws may be the std::bad_alloc of an exhausted heap.
// And a `thread_local` with a destructor registers that destructor on its
// first use, again by allocating, again fatally when that fails.
//
// So the engine keeps to three rules:
// - its thread-local variables are trivially destructible and constant
//   initialised, and are compiled with the initial-exec model (the library's
//   build sets it; the variables of headers say so themselves), which places
//   them in the static block that every thread gets when it is made;
// - an object kept per thread between calls lives in a ThreadSpare, whose
//   clean-up at the thread's end costs no allocation when it is stored;
// - prime_thread() makes the C++ runtime's per-thread state of the calling
//   thread while memory is still there: on loading the library, and at the
//   start of every search (each InterruptPoller, StackLimit and the first
//   RecursionGuard of a thread call it).
#pragma once

#include <pthread.h>

#include <memory>

// A thread-local variable in the static block (see above).
#define CORE_THREAD_LOCAL thread_local __attribute__((tls_model("initial-exec")))

namespace core {

// Makes the calling thread's C++ runtime state (the exception-handling
// globals and the rest of that runtime's per-thread block) exist, so that a
// later throw on this thread needs no memory for it, and reads the thread's
// stack bounds for the recursion guards (reading them may allocate).  Cheap:
// after the first call on a thread it only reads that state.
void prime_thread() noexcept;

// One object of type T kept for the calling thread between calls, deleted
// when the thread ends.  take() hands it out (or null when there is none);
// keep() stores it back, or deletes it when it cannot be stored.
template <typename T>
class ThreadSpare {
 public:
  static std::unique_ptr<T> take() noexcept {
    const Key& k = key();
    if (!k.valid) return nullptr;
    auto* spare = static_cast<T*>(pthread_getspecific(k.key));
    if (spare) pthread_setspecific(k.key, nullptr);
    return std::unique_ptr<T>(spare);
  }

  static void keep(std::unique_ptr<T> spare) noexcept {
    const Key& k = key();
    if (k.valid && pthread_setspecific(k.key, spare.get()) == 0) spare.release();
  }

 private:
  struct Key {
    pthread_key_t key{};
    bool valid = false;
  };
  static void destroy(void* spare) { delete static_cast<T*>(spare); }
  static const Key& key() noexcept {
    static const Key k = [] {
      Key made;
      made.valid = pthread_key_create(&made.key, &destroy) == 0;
      return made;
    }();
    return k;
  }
};

}  // namespace core
