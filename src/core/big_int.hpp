// An exact integer of any size, for counts that outgrow 64 bits.
//
// The size of a formula as a tree can be far beyond 64 bits while the
// formula is small in memory (f = And(f, f) repeated: 2^n leaves from n
// nodes), and a measure that a walk sums up can be any integer.  Such a
// count is kept exactly, never capped, so that a printed count is always
// the true one.  Values below 2^64 in magnitude live in the object itself,
// so the counts of ordinary formulas cost no allocation; further 64-bit
// limbs are allocated, and running out of memory for them is a
// std::bad_alloc like any other.
//
// (GMP's integers would read the same, but GMP ends the process when an
// allocation fails, which the engine's out-of-memory rule forbids.)
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace core {

class BigInt {
 public:
  BigInt(std::int64_t value = 0);  // NOLINT: integers convert
  static BigInt from_unsigned(std::uint64_t value);

  BigInt& operator+=(const BigInt& other);
  friend BigInt operator+(BigInt a, const BigInt& b) { return a += b; }
  // The representation is canonical, so equal values compare equal member-wise.
  friend bool operator==(const BigInt& a, const BigInt& b) = default;
  friend std::strong_ordering operator<=>(const BigInt& a, const BigInt& b);

  bool negative() const { return negative_; }
  bool fits_int64() const;
  std::int64_t to_int64() const;  // the value, when fits_int64()
  // The decimal digits, a "-" first when negative.
  std::string decimal() const;

 private:
  std::size_t limbs() const { return 1 + high_.size(); }
  std::uint64_t limb(std::size_t i) const { return i == 0 ? low_ : i <= high_.size() ? high_[i - 1] : 0; }
  void add_magnitude(const BigInt& other);
  void subtract_magnitude(const BigInt& other);  // |other| <= |this|
  void trim();
  // -1, 0 or 1 as |a| < |b|, |a| == |b|, |a| > |b|.
  static int compare_magnitudes(const BigInt& a, const BigInt& b);

  bool negative_ = false;            // never set for zero
  std::uint64_t low_ = 0;            // the magnitude's least significant limb
  std::vector<std::uint64_t> high_;  // its further limbs, least significant first, no zero last limb
};

}  // namespace core
