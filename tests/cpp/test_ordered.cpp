// Insertion-ordered containers (core/ordered.hpp) past the size at which
// they build a hash index.
#include <gtest/gtest.h>

#include <vector>

#include "core/ordered.hpp"

using core::OrderedValueSet;

namespace {

OrderedValueSet<int> numbers(int count) {
  OrderedValueSet<int> set;
  for (int i = 0; i < count; ++i) set.insert(i);
  return set;
}

}  // namespace

TEST(OrderedValueSet, EraseKeepsOrderAndLookupOfLaterMembers) {
  for (int erased : {0, 7, 19}) {  // first, middle and last of an indexed set
    OrderedValueSet<int> set = numbers(20);
    EXPECT_TRUE(set.erase(erased));
    EXPECT_FALSE(set.erase(erased));
    std::vector<int> expected;
    for (int i = 0; i < 20; ++i)
      if (i != erased) expected.push_back(i);
    EXPECT_EQ(set.items(), expected);
    for (int i : expected) EXPECT_TRUE(set.contains(i));
    EXPECT_FALSE(set.contains(erased));
    // Positions stay right for later removals and insertions.
    EXPECT_TRUE(set.erase(expected.back()));
    set.pop_back();
    EXPECT_TRUE(set.insert(erased));
    EXPECT_EQ(set.items().back(), erased);
    EXPECT_TRUE(set.erase(expected[1]));
    EXPECT_FALSE(set.contains(expected[1]));
    EXPECT_TRUE(set.contains(expected[2]));
  }
}

TEST(OrderedMap, KeysComparedByTheGivenEquality) {
  struct SameParity {
    bool operator()(int a, int b) const { return a % 2 == b % 2; }
  };
  struct ParityHash {
    std::size_t operator()(int a) const { return static_cast<std::size_t>(a % 2); }
  };
  core::OrderedMap<int, int, ParityHash, SameParity> map{{1, 10}, {2, 20}, {3, 30}};
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.entries()[0], std::make_pair(1, 30));  // the first key stays, in place
  EXPECT_EQ(*map.find(4), 20);
}
