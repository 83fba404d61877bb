// The engine's imitation of the host interpreter's object model: hash
// values, the quoted text of a string and the text of a class object.
//
// Callers compare our nodes and records with tuples they build themselves
// (hash(node) == hash((type(node), *fields))), so the engine reproduces the
// interpreter's hash algorithms for the few value types that enter a node:
// integers, strings, tuples and class objects.  Integers and tuples are pure
// arithmetic and are computed here.  String hashes are salted per process and
// class hashes depend on object addresses, so those two come from hooks that
// the Python layer installs when it is loaded; a program that uses the engine
// from C++ alone gets a stable stand-in instead.
//
// Threads: every function here may be called from any thread at once, with
// or without the interpreter lock.  The string hook is called with no lock of
// ours held (it takes the interpreter lock itself), so a thread that holds
// the interpreter lock and one that waits for it never wait on each other
// here.  A caller that holds the interpreter lock must not wait for another
// thread that builds names it has never hashed: release the lock first.
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
// hash of the UTF-8 text; it is called once per distinct text (at most once
// per text and thread when threads race), from any thread.  Setting a hasher
// forgets the cached hashes.
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

// The text of a class object as the host prints it: "<class 'module.Name'>".
std::string class_text(std::string_view module, std::string_view name);

}  // namespace core::pyhash

namespace core {

// The host's repr() of a string: single quotes unless the text holds a
// single quote and no double quote; backslash escapes for the quote, the
// backslash, \n \r \t, and \xNN, \uNNNN or \UNNNNNNNN for the characters that
// the host does not print as they are (controls, separators, format and
// private-use characters).  `text` is UTF-8; a byte that is not part of
// valid UTF-8 is shown as \xNN.
std::string py_quote(std::string_view text);

}  // namespace core
