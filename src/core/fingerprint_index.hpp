// An open-addressing hash index over the dense numbers 0, 1, 2, ... of a
// table kept elsewhere, for tables of millions of entries that are looked
// up far more often than found (such as the proved sequents of a large
// proof).
//
// Where DenseIndex keeps numbers in its slots and their hashes apart, each
// slot here holds the number with the upper half of its key: a lookup that
// misses reads one slot and nothing else, one cache miss where the other
// needs a second read for every occupied slot it passes.  The keys are
// also kept in order, for growing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace core {

class FingerprintIndex {
 public:
  static constexpr std::uint32_t kMissing = static_cast<std::uint32_t>(-1);

  template <typename Same>
  std::uint32_t find(std::uint64_t key, Same&& same) const {
    if (slots_.empty()) return kMissing;
    const std::size_t mask = slots_.size() - 1;
    const std::uint32_t print = fingerprint(key);
    for (std::size_t i = key & mask;; i = (i + 1) & mask) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) return kMissing;
      if (static_cast<std::uint32_t>(slot >> 32) == print && same(static_cast<std::uint32_t>(slot) - 1))
        return static_cast<std::uint32_t>(slot) - 1;
    }
  }

  // Enters the next number (as many as were entered before) with this key,
  // after find missed.
  void add(std::uint64_t key) {
    if (keys_.size() >= kMissing - 1) throw std::length_error("too many entries");
    keys_.push_back(key);
    if (keys_.size() * 2 > slots_.size()) {
      std::vector<std::uint64_t>(std::max<std::size_t>(slots_.size() * 2, 64), 0).swap(slots_);
      for (std::uint32_t n = 0; n < keys_.size(); ++n) place(n);
    } else {
      place(static_cast<std::uint32_t>(keys_.size() - 1));
    }
  }

  void release() noexcept {
    std::vector<std::uint64_t>().swap(slots_);
    std::vector<std::uint64_t>().swap(keys_);
  }

  // The bytes an index holds per entry, at most (slots at most a quarter full after growing).
  static constexpr std::size_t kBytesPerEntry = 5 * sizeof(std::uint64_t);

 private:
  static std::uint32_t fingerprint(std::uint64_t key) { return static_cast<std::uint32_t>(key >> 32); }
  void place(std::uint32_t n) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = keys_[n] & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = (static_cast<std::uint64_t>(fingerprint(keys_[n])) << 32) | (n + 1);
  }

  std::vector<std::uint64_t> slots_;  // fingerprint << 32 | number + 1; 0 is empty
  std::vector<std::uint64_t> keys_;
};

}  // namespace core
