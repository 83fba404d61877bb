// Iterative release of deep trees (core/release.hpp) on a tree type of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/interrupt.hpp"
#include "core/release.hpp"

namespace {

std::atomic<int> g_alive = 0;  // background releases count down too

struct TreeNode {
  std::vector<std::shared_ptr<const TreeNode>> children;
  explicit TreeNode(std::vector<std::shared_ptr<const TreeNode>> kids = {}) : children(std::move(kids)) { ++g_alive; }
  ~TreeNode() {
    core::TreeRelease<TreeNode>::release_all(children);
    --g_alive;
  }
};

using TreePtr = std::shared_ptr<const TreeNode>;

// A chain far deeper than nested destructors could survive, each link
// also holding `side` as a second child.
TreePtr chain(int depth, const TreePtr& side) {
  TreePtr node = std::make_shared<const TreeNode>();
  for (int i = 0; i < depth; ++i) node = std::make_shared<const TreeNode>(std::vector<TreePtr>{node, side});
  return node;
}

}  // namespace

TEST(TreeRelease, DeepChainIsReleasedAndSharedChildSurvives) {
  TreePtr side = std::make_shared<const TreeNode>();
  TreePtr root = chain(1000000, side);
  EXPECT_EQ(g_alive, 1000002);
  root.reset();
  EXPECT_EQ(g_alive, 1);  // the shared child, still owned here
  EXPECT_EQ(side.use_count(), 1);
  side.reset();
  EXPECT_EQ(g_alive, 0);
}

TEST(TreeRelease, ChildStillOwnedElsewhereIsOnlyLetGo) {
  TreePtr inner = chain(10, nullptr);
  TreePtr outer = std::make_shared<const TreeNode>(std::vector<TreePtr>{inner});
  outer.reset();
  EXPECT_EQ(inner.use_count(), 1);
  EXPECT_EQ(g_alive, 11);
  inner.reset();
  EXPECT_EQ(g_alive, 0);
}

namespace {

// Waits (a few seconds at most) until every node is gone.
bool all_released() {
  for (int i = 0; i < 500 && g_alive != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return g_alive == 0;
}

}  // namespace

TEST(TreeRelease, PastTheDeadlineTheRestGoesToTheBackground) {
  TreePtr root = chain(1000000, nullptr);
  {
    core::ScopedDeadline passed(core::ScopedDeadline::Clock::now());
    root.reset();  // returns after a few thousand nodes
  }
  EXPECT_GT(g_alive, 0);
  EXPECT_TRUE(all_released());
}

TEST(ReleaseOnUnwind, ReleasesHereOnReturnAndInTheBackgroundOnAnException) {
  {
    core::ReleaseOnUnwind<std::vector<TreePtr>> kept;
    kept->push_back(chain(1000, nullptr));
  }
  EXPECT_EQ(g_alive, 0);
  try {
    core::ReleaseOnUnwind<std::vector<TreePtr>> kept;
    kept->push_back(chain(1000000, nullptr));
    throw std::runtime_error("given up");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(all_released());
}
