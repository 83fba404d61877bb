// The fold over derivations that share nodes: exact values, linear work,
// early stops and any depth.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "constructive/common.hpp"

namespace {

using constructive::derivation_depth;
using constructive::derivation_size;
using constructive::fold_derivation;

// A DAG over node numbers: children[n] lists the children of n.
struct Dag {
  std::vector<std::vector<int>> children;
  mutable int opened = 0;  // how often a node's children were asked for

  auto each_child() const {
    return [this](int n, auto visit) {
      ++opened;
      for (int c : children[n]) visit(c);
    };
  }
  // Every node may be shared; its address in `children` is its key.
  auto shared() const {
    return [this](int n) -> const void* { return &children[n]; };
  }
};

// Node i has node i + 1 twice as its children: 2^levels - 1 nodes unfolded.
Dag diamond_chain(int levels) {
  Dag dag;
  dag.children.resize(levels);
  for (int i = 0; i + 1 < levels; ++i) dag.children[i] = {i + 1, i + 1};
  return dag;
}

TEST(DerivationFold, SharedNodesCountPerPathAndAreFoldedOnce) {
  const Dag dag = diamond_chain(40);
  EXPECT_EQ(derivation_size(0, dag.each_child(), dag.shared()), (std::int64_t{1} << 40) - 1);
  EXPECT_EQ(dag.opened, 40);
  EXPECT_EQ(derivation_depth(0, dag.each_child(), dag.shared()), 40);
}

TEST(DerivationFold, SizeBeyondSixtyFourBitsRaises) {
  const Dag dag = diamond_chain(70);
  EXPECT_THROW(derivation_size(0, dag.each_child(), dag.shared()), std::overflow_error);
}

TEST(DerivationFold, UnsharedNodesAreFoldedOnEveryVisit) {
  const Dag dag = diamond_chain(10);
  auto single = [](int) -> const void* { return nullptr; };
  EXPECT_EQ(derivation_size(0, dag.each_child(), single), 1023);
  EXPECT_EQ(dag.opened, 1023);
}

TEST(DerivationFold, AFalseFromAddSkipsTheRemainingChildren) {
  // 0 has children 1, 2, 3; 2 is "bad": the fold stops at it and never opens 3.
  Dag dag{{{1, 2, 3}, {}, {}, {}}};
  std::vector<int> started;
  bool valid = fold_derivation<bool>(
      0, dag.each_child(),
      [&](int n) {
        started.push_back(n);
        return n != 2;
      },
      [](bool& value, bool child) { return value = value && child; }, dag.shared());
  EXPECT_FALSE(valid);
  EXPECT_EQ(started, (std::vector<int>{0, 1, 2}));
}

TEST(DerivationFold, AChainAMillionDeepNeedsNoNativeStack) {
  Dag dag;
  dag.children.resize(1'000'000);
  for (int i = 0; i + 1 < 1'000'000; ++i) dag.children[i] = {i + 1};
  auto single = [](int) -> const void* { return nullptr; };
  EXPECT_EQ(derivation_depth(0, dag.each_child(), single), 1'000'000);
  EXPECT_EQ(derivation_size(0, dag.each_child(), single), 1'000'000);
}

}  // namespace
