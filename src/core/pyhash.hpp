// Hash values that agree with the host interpreter's.
//
// Callers compare our nodes and records with tuples they build themselves
// (hash(node) == hash((type(node), *fields))), so the engine reproduces the
// interpreter's hash algorithms for the few value types that enter a node:
// integers, strings, tuples and class objects.  Integers and tuples are pure
// arithmetic and are computed here.  String hashes are salted per process and
// class hashes depend on object addresses, so those two come from hooks that
// the Python layer installs when it is loaded; a program that uses the engine
// from C++ alone gets a stable stand-in instead.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace core::pyhash {

using hash_t = std::int64_t;

// hash(int) for values that fit in 64 bits.
hash_t of_int(std::int64_t value);

// hash(str); cached per distinct text.
hash_t of_string(std::string_view text);

// Incremental tuple hash: feed each member's hash in order, then finish.
class TupleHasher {
 public:
  void add(hash_t member);
  hash_t finish() const;

 private:
  std::uint64_t acc_ = 2870177450012600261ULL;
  std::size_t length_ = 0;
};

hash_t of_tuple(std::initializer_list<hash_t> members);

// Hooks set by the bindings.  `string_hasher` must return the interpreter's
// hash of the UTF-8 text; it is called once per distinct text.
using StringHasher = hash_t (*)(std::string_view);
void set_string_hasher(StringHasher hasher);

// Per-class hashes (hash(type(obj))), indexed by a small class number that
// the owner of the class chooses (see ClassSlot).
enum class ClassSlot : int {
  Variable, Constant, FunctionApp, PredicateApp, Equality, Not, And, Or,
  Implies, Iff, Forall, Exists, ForallPred, ExistsPred, ForallFunc, ExistsFunc,
  PrimitiveSort, ParameterizedSort, FunctionSort, PredicateVariable,
  FunctionVariable, Count
};
hash_t of_class(ClassSlot slot);
void set_class_hash(ClassSlot slot, hash_t value);

}  // namespace core::pyhash
