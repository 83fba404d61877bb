// The index of dense numbers by key with fingerprints in its slots
// (core/fingerprint_index.hpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/fingerprint_index.hpp"

namespace {

// Keys that share their slot bits, their fingerprint, or both (then only the
// equality test tells the entries apart), entered across several growths.
TEST(FingerprintIndex, FindsEveryEntryAcrossCollisionsAndGrowth) {
  std::vector<std::uint64_t> keys;
  for (std::uint64_t i = 0; i < 3000; ++i) {
    keys.push_back(i << 40 | 7);               // same slot bits, distinct fingerprints
    keys.push_back(std::uint64_t{5} << 32 | i); // same fingerprint, distinct slot bits
    keys.push_back(std::uint64_t{9} << 32 | 3); // the very same key each time
  }
  core::FingerprintIndex index;
  for (std::uint32_t n = 0; n < keys.size(); ++n) {
    auto same = [&](std::uint32_t e) { return e == n; };
    ASSERT_EQ(index.find(keys[n], same), core::FingerprintIndex::kMissing);
    index.add(keys[n]);
  }
  for (std::uint32_t n = 0; n < keys.size(); ++n)
    ASSERT_EQ(index.find(keys[n], [&](std::uint32_t e) { return e == n; }), n);
  // A key never entered is missing, whatever the test says of entries it meets.
  EXPECT_EQ(index.find(std::uint64_t{1234567} << 32 | 99, [](std::uint32_t) { return true; }),
            core::FingerprintIndex::kMissing);
  index.release();
  EXPECT_EQ(index.find(keys[0], [](std::uint32_t) { return true; }), core::FingerprintIndex::kMissing);
}

}  // namespace
