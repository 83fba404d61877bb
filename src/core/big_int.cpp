#include "core/big_int.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace core {

namespace {

constexpr auto kInt64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

}  // namespace

BigInt::BigInt(std::int64_t value)
    : negative_(value < 0), low_(value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value)) {}

BigInt BigInt::from_unsigned(std::uint64_t value) {
  BigInt out;
  out.low_ = value;
  return out;
}

BigInt& BigInt::operator+=(const BigInt& other) {
  if (negative_ == other.negative_) {
    std::uint64_t sum;
    if (!high_.empty() || !other.high_.empty() || __builtin_add_overflow(low_, other.low_, &sum)) {
      add_magnitude(other);
    } else {
      low_ = sum;
    }
  } else if (compare_magnitudes(*this, other) >= 0) {
    subtract_magnitude(other);
  } else {
    BigInt result = other;
    result.subtract_magnitude(*this);
    *this = std::move(result);
  }
  return *this;
}

void BigInt::add_magnitude(const BigInt& other) {
  std::size_t n = std::max(limbs(), other.limbs());
  std::uint64_t carry = 0;
  std::vector<std::uint64_t> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t sum;
    std::uint64_t c1 = __builtin_add_overflow(limb(i), other.limb(i), &sum);
    std::uint64_t c2 = __builtin_add_overflow(sum, carry, &sum);
    out[i] = sum;
    carry = c1 | c2;
  }
  if (carry) out.push_back(1);
  low_ = out[0];
  high_.assign(out.begin() + 1, out.end());
}

void BigInt::subtract_magnitude(const BigInt& other) {
  std::uint64_t borrow = 0;
  std::size_t n = limbs();
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t diff;
    std::uint64_t b1 = __builtin_sub_overflow(limb(i), other.limb(i), &diff);
    std::uint64_t b2 = __builtin_sub_overflow(diff, borrow, &diff);
    (i == 0 ? low_ : high_[i - 1]) = diff;
    borrow = b1 | b2;
  }
  trim();
}

void BigInt::trim() {
  while (!high_.empty() && high_.back() == 0) high_.pop_back();
  if (high_.empty() && low_ == 0) negative_ = false;
}

int BigInt::compare_magnitudes(const BigInt& a, const BigInt& b) {
  if (a.limbs() != b.limbs()) return a.limbs() < b.limbs() ? -1 : 1;
  for (std::size_t i = a.limbs(); i-- > 0;)
    if (a.limb(i) != b.limb(i)) return a.limb(i) < b.limb(i) ? -1 : 1;
  return 0;
}

std::strong_ordering operator<=>(const BigInt& a, const BigInt& b) {
  if (a.negative_ != b.negative_) return a.negative_ ? std::strong_ordering::less : std::strong_ordering::greater;
  int by_magnitude = BigInt::compare_magnitudes(a, b);
  if (a.negative_) by_magnitude = -by_magnitude;
  return by_magnitude <=> 0;
}

bool BigInt::fits_int64() const { return high_.empty() && low_ <= kInt64Max + (negative_ ? 1 : 0); }

std::int64_t BigInt::to_int64() const {
  return negative_ ? static_cast<std::int64_t>(~low_ + 1) : static_cast<std::int64_t>(low_);
}

std::string BigInt::decimal() const {
  std::string sign = negative_ ? "-" : "";
  if (high_.empty()) return sign + std::to_string(low_);
  // Repeated division by 10^18 of the little-endian limbs.
  std::vector<std::uint64_t> rest{low_};
  rest.insert(rest.end(), high_.begin(), high_.end());
  constexpr std::uint64_t kChunk = 1000000000000000000ULL;
  std::vector<std::uint64_t> chunks;
  while (!(rest.size() == 1 && rest[0] == 0)) {
    unsigned __int128 remainder = 0;
    for (std::size_t i = rest.size(); i-- > 0;) {
      unsigned __int128 part = (remainder << 64) | rest[i];
      rest[i] = static_cast<std::uint64_t>(part / kChunk);
      remainder = part % kChunk;
    }
    chunks.push_back(static_cast<std::uint64_t>(remainder));
    while (rest.size() > 1 && rest.back() == 0) rest.pop_back();
  }
  std::string out = sign + std::to_string(chunks.back());
  for (std::size_t i = chunks.size() - 1; i-- > 0;) {
    std::string part = std::to_string(chunks[i]);
    out += std::string(18 - part.size(), '0') + part;
  }
  return out;
}

}  // namespace core
