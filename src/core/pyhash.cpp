#include "core/pyhash.hpp"

#include <array>
#include <functional>
#include <unordered_map>

namespace core::pyhash {
namespace {

constexpr std::uint64_t kPrime1 = 11400714785074694791ULL;
constexpr std::uint64_t kPrime2 = 14029467366897019727ULL;
constexpr std::uint64_t kPrime5 = 2870177450012600261ULL;
constexpr std::uint64_t kModulus = (1ULL << 61) - 1;  // the interpreter's hash modulus

hash_t fallback_string_hash(std::string_view text) {
  auto h = static_cast<hash_t>(std::hash<std::string_view>{}(text));
  return h == -1 ? -2 : h;
}

StringHasher g_string_hasher = &fallback_string_hash;

std::unordered_map<std::string, hash_t>& string_cache() {
  static std::unordered_map<std::string, hash_t> cache;
  return cache;
}

std::array<hash_t, static_cast<int>(ClassSlot::Count)>& class_hashes() {
  static std::array<hash_t, static_cast<int>(ClassSlot::Count)> table = [] {
    std::array<hash_t, static_cast<int>(ClassSlot::Count)> t{};
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = 0x5bd1e995 + static_cast<hash_t>(i) * 7919;
    return t;
  }();
  return table;
}

}  // namespace

hash_t of_int(std::int64_t value) {
  std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  auto h = static_cast<hash_t>(magnitude % kModulus);
  if (value < 0) h = -h;
  return h == -1 ? -2 : h;
}

hash_t of_string(std::string_view text) {
  auto& cache = string_cache();
  auto it = cache.find(std::string(text));
  if (it != cache.end()) return it->second;
  hash_t h = g_string_hasher(text);
  cache.emplace(std::string(text), h);
  return h;
}

void set_string_hasher(StringHasher hasher) {
  g_string_hasher = hasher ? hasher : &fallback_string_hash;
  string_cache().clear();
}

void TupleHasher::add(hash_t member) {
  acc_ += static_cast<std::uint64_t>(member) * kPrime2;
  acc_ = (acc_ << 31) | (acc_ >> 33);
  acc_ *= kPrime1;
  ++length_;
}

hash_t TupleHasher::finish() const {
  std::uint64_t acc = acc_ + (length_ ^ (kPrime5 ^ 3527539UL));
  if (acc == static_cast<std::uint64_t>(-1)) return 1546275796;
  return static_cast<hash_t>(acc);
}

hash_t of_tuple(std::initializer_list<hash_t> members) {
  TupleHasher h;
  for (hash_t m : members) h.add(m);
  return h.finish();
}

hash_t of_class(ClassSlot slot) { return class_hashes()[static_cast<int>(slot)]; }

void set_class_hash(ClassSlot slot, hash_t value) { class_hashes()[static_cast<int>(slot)] = value; }

}  // namespace core::pyhash
