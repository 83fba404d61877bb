// Memory for many small objects that are made together and mostly die
// together, such as the nodes of one large derivation.
//
// A BumpArena hands out memory from blocks it takes from the heap, one
// after the other, and gives nothing back before it dies: an allocation is
// an addition, and the heap sees a few large blocks in place of millions
// of small requests.  ArenaAllocator lets std::allocate_shared put objects
// there, and as a memory resource it holds the containers inside them.
// The allocators made from ArenaAllocator::make count as holders of their
// arena (the control block of every object made with one keeps a copy), so
// the arena (and all its memory) goes when the last of its objects and
// allocators does; a holder costs one pointer, not a second shared count.
// The holders are counted atomically, or, for an arena made by
// make_on_this_thread, plainly until share(): every allocate_shared copies
// the allocator a few times, and on the many small objects of a proof an
// atomic count for each copy cost a fifth of the time it took to make them.
// Memory of objects that die earlier is not reused, so an arena suits
// objects that are kept.
//
// Threading: allocations come from one thread at a time; the objects may
// die on any thread, once the arena is shared (an arena made by make() is
// from the start).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstddef>
#include <limits>
#include <memory>
#include <memory_resource>
#include <new>
#include <vector>

#include "core/limits.hpp"

namespace core {

class BumpArena final : public std::pmr::memory_resource {
 public:
  // With `shared` false, the holders are counted plainly until share().
  explicit BumpArena(bool shared = true) : shared_(shared) {}
  BumpArena(const BumpArena&) = delete;
  BumpArena& operator=(const BumpArena&) = delete;

  // The holders of an arena made by ArenaAllocator: the arena deletes
  // itself when the last lets go.
  void hold() noexcept {
    if (shared_)
      holders_.fetch_add(1, std::memory_order_relaxed);
    else
      ++local_holders_;
  }
  void let_go() noexcept {
    if (shared_ ? holders_.fetch_sub(1, std::memory_order_acq_rel) == 1 : --local_holders_ == 0) delete this;
  }
  // Counts the holders atomically from now on, so that they may be used
  // and let go on any thread; until then all of them stay on the thread
  // that made the arena.  The handing over of a holder to another thread
  // must come after this call (as a thread's start or a lock does).
  void share() noexcept {
    if (shared_) return;
    holders_.store(local_holders_, std::memory_order_relaxed);
    shared_ = true;
  }

  // The bytes of all blocks taken so far.
  std::size_t reserved() const { return reserved_; }

  void* allocate(std::size_t bytes, std::size_t align) {
    std::size_t at = (used_ + align - 1) & ~(align - 1);
    if (blocks_.empty() || at > capacity_ || bytes > capacity_ - at) {
      grow(bytes);
      at = 0;
    }
    used_ = at + bytes;
    return blocks_.back().get() + at;
  }

 private:
  void* do_allocate(std::size_t bytes, std::size_t align) override { return allocate(bytes, align); }
  void do_deallocate(void*, std::size_t, std::size_t) override {}  // freed with the arena
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

  // A new block of at least `bytes`; blocks double in size up to a bound
  // (core/limits.hpp).  Large blocks are aligned to huge pages, so that the
  // kernel may map them so where it has huge pages at hand; they are not
  // asked for (MADV_HUGEPAGE), which makes the kernel compact memory at
  // each fault: on large proofs that took more time than it saved.
  void grow(std::size_t bytes) {
    std::size_t size = std::max(bytes, next_block_);
    const bool huge = size >= kHugePage;
    if (huge) size = (size + kHugePage - 1) / kHugePage * kHugePage;
    blocks_.reserve(blocks_.size() + 1);
    void* block = huge ? std::aligned_alloc(kHugePage, size) : std::malloc(size);  // aligned for any object
    if (!block) throw std::bad_alloc();
    blocks_.emplace_back(static_cast<std::byte*>(block));
    reserved_ += size;
    capacity_ = size;
    used_ = 0;
    next_block_ = std::min(next_block_ * 2, limits::kArenaLargestBlock);
  }

  struct Free {
    void operator()(std::byte* block) const noexcept { std::free(block); }
  };
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  std::vector<std::unique_ptr<std::byte, Free>> blocks_;
  std::size_t capacity_ = 0, used_ = 0, reserved_ = 0;
  std::size_t next_block_ = limits::kArenaFirstBlock;
  std::atomic<std::size_t> holders_{0};
  std::size_t local_holders_ = 0;  // before share()
  bool shared_ = true;             // holders counted atomically
};

template <typename T>
class ArenaAllocator {
 public:
  using value_type = T;
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "the blocks are aligned as operator new aligns");

  // An allocator over a new arena of its own.
  static ArenaAllocator make() { return over_new_arena(true); }
  // The same, with the holders counted plainly until arena()->share(),
  // which must come before any of them goes to another thread.
  static ArenaAllocator make_on_this_thread() { return over_new_arena(false); }
  ArenaAllocator(const ArenaAllocator& other) noexcept : arena_(other.arena_) { arena_->hold(); }
  template <typename U>
  ArenaAllocator(const ArenaAllocator<U>& other) noexcept : arena_(other.arena()) {
    arena_->hold();
  }
  ArenaAllocator& operator=(const ArenaAllocator& other) noexcept {
    other.arena_->hold();
    arena_->let_go();
    arena_ = other.arena_;
    return *this;
  }
  ~ArenaAllocator() { arena_->let_go(); }

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(arena_->allocate(n * sizeof(T), alignof(T)));
  }
  void deallocate(T*, std::size_t) noexcept {}  // the arena frees everything at once

  BumpArena* arena() const { return arena_; }
  template <typename U>
  bool operator==(const ArenaAllocator<U>& other) const {
    return arena_ == other.arena();
  }

 private:
  explicit ArenaAllocator(BumpArena* arena) noexcept : arena_(arena) {}
  static ArenaAllocator over_new_arena(bool shared) {
    auto* arena = new BumpArena(shared);
    arena->hold();
    return ArenaAllocator(arena);
  }
  BumpArena* arena_;  // held: never null
};

}  // namespace core
