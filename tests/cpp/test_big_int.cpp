// The exact integer behind node counts and measures.
#include <gtest/gtest.h>

#include <limits>

#include "core/big_int.hpp"

using core::BigInt;

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// 2^n (or -2^n), by doubling.
BigInt power_of_two(int n, int sign = 1) {
  BigInt x = sign;
  for (int i = 0; i < n; ++i) x += x;
  return x;
}

}  // namespace

TEST(BigInt, SumsAcrossLimbsAndSigns) {
  struct Case {
    BigInt a, b;
    const char* sum;
  };
  const Case cases[] = {
      {kMax, 1, "9223372036854775808"},
      {BigInt::from_unsigned(~0ull), 1, "18446744073709551616"},
      {kMin, -1, "-9223372036854775809"},
      {power_of_two(64), -1, "18446744073709551615"},
      {power_of_two(128), -1, "340282366920938463463374607431768211455"},
      {power_of_two(128, -1), power_of_two(64), "-340282366920938463444927863358058659840"},
      {power_of_two(64), power_of_two(128, -1), "-340282366920938463444927863358058659840"},
      {-5, 3, "-2"},
      {5, -5, "0"},
      {3, -5, "-2"},
      {power_of_two(200), power_of_two(200), "3213876088517980551083924184682325205044405987565585670602752"},
  };
  for (const Case& c : cases) EXPECT_EQ((c.a + c.b).decimal(), c.sum) << c.a.decimal() << " + " << c.b.decimal();
}

TEST(BigInt, Int64RangeAndOrder) {
  EXPECT_TRUE(BigInt(kMin).fits_int64());
  EXPECT_EQ(BigInt(kMin).to_int64(), kMin);
  EXPECT_FALSE((BigInt(kMax) + 1).fits_int64());
  EXPECT_FALSE((BigInt(kMin) + -1).fits_int64());
  EXPECT_EQ((power_of_two(70) + power_of_two(70, -1)), BigInt(0));  // zero has one form
  EXPECT_FALSE((power_of_two(70) + power_of_two(70, -1)).negative());
  EXPECT_LT(BigInt(-1), BigInt(0));
  EXPECT_LT(BigInt(kMax), power_of_two(63));
  EXPECT_LT(power_of_two(65, -1), BigInt(kMin));
  EXPECT_GT(power_of_two(65), power_of_two(64) + kMax);
}
