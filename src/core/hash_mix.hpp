// The hash mixer of the engine's own tables.
//
// Every hash table and fingerprint inside the engine (the term bank's index,
// the provers' memories and rule sets, the prefixes of the matrix method)
// builds its keys from these three functions, so that their quality is
// settled in one place:
// - hash_mix folds one more value into a running hash; the order of the
//   values counts.  One step adds the value, multiplies by the golden-ratio
//   constant and folds the high bits down: each of the three is a bijection
//   of the running hash, so two sequences that differ in their last value
//   never collide, and a value's bits reach the high bits at once.  (The
//   well-known "combine" step, seed ^ (v + c + (seed << 6) + (seed >> 2)),
//   is cheaper by a multiplication but collides wholesale on short runs of
//   small values, such as the child ids of a term: of the 160^3 triples of
//   ids below 160, five in six share their hash with another.)
// - hash_finish scrambles a running hash so that every input bit flips every
//   output bit with probability about 1/2 (the 64-bit finaliser of the
//   SplitMix generator: two multiplications, three xor-shifts; a bijection,
//   so distinct running hashes stay distinct);
// - hash_of is the finished hash of one number (the SplitMix output).
// The low bits of a finished hash are as good as its high bits, so a table
// may take either for its slot.
//
// These are not the hashes that the interpreter sees: a node's Python
// hash() follows the interpreter's own tuple and string hashing
// (core/pyhash.hpp), and none of this changes it.
#pragma once

#include <cstdint>

namespace core {

// 2^64 divided by the golden ratio: consecutive multiples spread evenly.
inline constexpr std::uint64_t kGoldenGamma = 0x9e3779b97f4a7c15ULL;

// The running hash `seed` with `value` folded in.
constexpr std::uint64_t hash_mix(std::uint64_t seed, std::uint64_t value) {
  std::uint64_t h = (seed + value) * kGoldenGamma;
  return h ^ (h >> 29);
}

// The running hash `h`, every bit spread over all of them.
constexpr std::uint64_t hash_finish(std::uint64_t h) {
  h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
  h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
  return h ^ (h >> 31);
}

// The finished hash of the one value `x`.
constexpr std::uint64_t hash_of(std::uint64_t x) { return hash_finish(x + kGoldenGamma); }

}  // namespace core
