#include "core/pyhash.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <atomic>
#include <functional>
#include <mutex>
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

std::atomic<StringHasher> g_string_hasher{&fallback_string_hash};

// The string-hash cache, split into shards with a lock each so that threads
// building nodes rarely meet on one lock.  Lookups take a string_view (no
// allocation); the hook runs with no shard locked.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
struct TextEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

class StringCache {
 public:
  static constexpr std::size_t kShards = 64;

  bool find(std::string_view text, std::size_t key, hash_t& out) {
    Shard& shard = shards_[key % kShards];
    std::lock_guard<std::mutex> lock(shard.mutex);
    auto it = shard.hashes.find(text);
    if (it == shard.hashes.end()) return false;
    out = it->second;
    return true;
  }

  // Keeps the first value stored for a text, so all threads agree on it
  // even when two of them computed it at once.  `epoch` is the generation
  // the value was computed in: a value computed with a hasher that has
  // been replaced meanwhile is returned but not stored.
  hash_t store(std::string_view text, std::size_t key, hash_t value, std::uint64_t epoch) {
    Shard& shard = shards_[key % kShards];
    std::lock_guard<std::mutex> lock(shard.mutex);
    if (epoch != epoch_.load(std::memory_order_acquire)) return value;
    return shard.hashes.emplace(std::string(text), value).first->second;
  }

  std::uint64_t epoch() const { return epoch_.load(std::memory_order_acquire); }

  void clear() {
    epoch_.fetch_add(1, std::memory_order_acq_rel);
    for (Shard& shard : shards_) {
      std::lock_guard<std::mutex> lock(shard.mutex);
      shard.hashes.clear();
    }
  }

 private:
  struct Shard {
    std::mutex mutex;
    std::unordered_map<std::string, hash_t, TextHash, TextEq> hashes;
  };
  std::array<Shard, kShards> shards_;
  std::atomic<std::uint64_t> epoch_{0};
};

StringCache& string_cache() {
  static StringCache cache;
  return cache;
}

constexpr int kClassCount = static_cast<int>(ClassSlot::Count);

// Stand-in class hashes until the bindings set the interpreter's.
struct ClassHashes {
  std::array<std::atomic<hash_t>, kClassCount> slots;
  ClassHashes() {
    for (int i = 0; i < kClassCount; ++i) slots[i].store(0x5bd1e995 + static_cast<hash_t>(i) * 7919);
  }
};

std::array<std::atomic<hash_t>, kClassCount>& class_hashes() {
  static ClassHashes table;
  return table.slots;
}

}  // namespace

hash_t of_int(std::int64_t value) {
  std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  auto h = static_cast<hash_t>(magnitude % kModulus);
  if (value < 0) h = -h;
  return h == -1 ? -2 : h;
}

hash_t of_string(std::string_view text) {
  StringCache& cache = string_cache();
  std::size_t key = TextHash{}(text);
  hash_t h;
  if (cache.find(text, key, h)) return h;
  std::uint64_t epoch = cache.epoch();
  h = g_string_hasher.load(std::memory_order_acquire)(text);
  return cache.store(text, key, h, epoch);
}

void set_string_hasher(StringHasher hasher) {
  g_string_hasher.store(hasher ? hasher : &fallback_string_hash, std::memory_order_release);
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

hash_t of_class(ClassSlot slot) { return class_hashes()[static_cast<int>(slot)].load(std::memory_order_relaxed); }

void set_class_hash(ClassSlot slot, hash_t value) {
  class_hashes()[static_cast<int>(slot)].store(value, std::memory_order_relaxed);
}

std::string class_text(std::string_view module, std::string_view name) {
  std::string out = "<class '";
  out += module;
  out += '.';
  out += name;
  return out + "'>";
}

}  // namespace core::pyhash

namespace core {
namespace {

// Decodes one UTF-8 sequence at `text[i]`; returns its length, or 0 when the
// bytes there are not valid UTF-8 (overlong forms and surrogates included).
std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& code) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xe ? 3 : (lead >> 3) == 0x1e ? 4 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  if (length == 1) {
    code = lead;
    return 1;
  }
  char32_t value = lead & (0x7f >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3f);
  }
  static constexpr char32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return 0;
  code = value;
  return length;
}

// Whether the host shows the character as it is in a repr
// (str.isprintable): a binary search of the ranges that it escapes.
bool printable(char32_t c) {
  static constexpr char32_t kHidden[][2] = {
#include "core/unicode_hidden.inc"
  };
  if (c >= 0x20 && c < 0x7f) return true;
  auto after = std::upper_bound(std::begin(kHidden), std::end(kHidden), c,
                                [](char32_t code, const auto& range) { return code < range[0]; });
  return after == std::begin(kHidden) || c > (after - 1)[0][1];
}

void append_escape(std::string& out, char32_t c) {
  static const char* hex = "0123456789abcdef";
  int digits = c < 0x100 ? 2 : c < 0x10000 ? 4 : 8;
  out += '\\';
  out += digits == 2 ? 'x' : digits == 4 ? 'u' : 'U';
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += hex[(c >> shift) & 15];
}

}  // namespace

std::string py_quote(std::string_view text) {
  bool has_single = text.find('\'') != std::string_view::npos;
  bool has_double = text.find('"') != std::string_view::npos;
  char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, quote);
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    std::size_t length = decode_utf8(text, i, c);
    if (length == 0) {
      append_escape(out, static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    if (c == static_cast<char32_t>(quote) || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (!printable(c)) {
      append_escape(out, c);
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  out += quote;
  return out;
}

}  // namespace core
