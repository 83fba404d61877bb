// Objects and containers in a bump arena (core/arena.hpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <thread>
#include <vector>

#include "core/arena.hpp"

namespace {

struct Item {
  std::pmr::vector<std::uint32_t> values;
  Item(std::size_t n, std::pmr::memory_resource* memory) : values(n, 7u, memory) {}
};

// The arena outlives the handle that made it: every object keeps it alive,
// also across blocks and when the last object dies on another thread.  An
// arena counted on its own thread is shared before its objects leave it.
TEST(Arena, ObjectsKeepTheArenaAlive) {
  for (const bool on_this_thread : {false, true}) {
    std::vector<std::shared_ptr<const Item>> items;
    {
      const auto in_arena =
          on_this_thread ? core::ArenaAllocator<Item>::make_on_this_thread() : core::ArenaAllocator<Item>::make();
      core::BumpArena* arena = in_arena.arena();
      for (std::size_t i = 0; i < 20000; ++i) items.push_back(std::allocate_shared<const Item>(in_arena, i % 97, arena));
      // A request larger than any block gets a block of its own.
      items.push_back(std::allocate_shared<const Item>(in_arena, std::size_t{1} << 22, arena));
      // Objects that die before the arena is shared are counted out too.
      for (std::size_t i = 0; i < 100; ++i) std::allocate_shared<const Item>(in_arena, i, arena).reset();
      arena->share();
    }
    for (std::size_t i = 0; i < 20000; ++i) {
      ASSERT_EQ(items[i]->values.size(), i % 97);
      for (std::uint32_t v : items[i]->values) ASSERT_EQ(v, 7u);
    }
    ASSERT_EQ(items.back()->values.size(), std::size_t{1} << 22);
    // Half the objects die here and half on another thread at the same time.
    std::vector<std::shared_ptr<const Item>> others(items.begin(), items.begin() + 10000);
    items.erase(items.begin(), items.begin() + 10000);
    std::thread other([moved = std::move(others)]() mutable { moved.clear(); });
    items.clear();
    other.join();
  }
}

TEST(Arena, AllocationsAreAlignedAndDistinct) {
  core::BumpArena arena;
  auto* a = static_cast<char*>(arena.allocate(3, 1));
  auto* b = static_cast<char*>(arena.allocate(16, 16));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % 16, 0u);
  EXPECT_GE(b, a + 3);
}

}  // namespace
