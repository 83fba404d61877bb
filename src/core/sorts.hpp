// Sorts of the sorted first-order logic.
//
// A sort is an immutable value with a name; equality is structural.  `Ind`
// (individuals) is the default sort of every term.  Compatibility of sorts is
// plain equality.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/pyhash.hpp"

namespace core {

class Sort;
using SortPtr = std::shared_ptr<const Sort>;

class Sort {
 public:
  enum class Kind { Primitive, Parameterized, Function };

  // A named base sort (Ind, Nat, Bool, or any name a caller chooses).
  static SortPtr primitive(std::string name);
  // A sort constructor applied to sorts, e.g. List[Nat].
  static SortPtr parameterized(std::string name, std::vector<SortPtr> parameters);
  // The sort of functions from the domain sorts to the range sort.
  static SortPtr function(std::vector<SortPtr> domain, SortPtr range);

  Kind kind() const { return kind_; }
  const std::string& name() const { return name_; }
  const std::vector<SortPtr>& parameters() const { return parameters_; }  // domain for functions
  const SortPtr& range() const { return range_; }
  pyhash::hash_t hash() const { return hash_; }

  std::string repr() const;
  bool operator==(const Sort& other) const;

 private:
  Sort(Kind kind, std::string name, std::vector<SortPtr> parameters, SortPtr range);
  Kind kind_;
  std::string name_;
  std::vector<SortPtr> parameters_;
  SortPtr range_;
  pyhash::hash_t hash_;
};

bool same_sort(const SortPtr& a, const SortPtr& b);

// The shared standard sorts.
const SortPtr& ind_sort();
const SortPtr& nat_sort();
const SortPtr& bool_sort();

// Whether a term of sort `actual` may stand where `expected` is required.
bool is_compatible(const SortPtr& expected, const SortPtr& actual);

}  // namespace core
