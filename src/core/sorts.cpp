#include "core/sorts.hpp"

namespace core {

Sort::Sort(Kind kind, std::string name, std::vector<SortPtr> parameters, SortPtr range)
    : kind_(kind), name_(std::move(name)), parameters_(std::move(parameters)), range_(std::move(range)) {
  // Hash of the tuple (kind, name, *parameters[, range]).
  pyhash::TupleHasher h;
  h.add(static_cast<pyhash::hash_t>(kind_) + 1);
  h.add(pyhash::of_string(name_));
  for (const auto& p : parameters_) h.add(p->hash());
  if (range_) h.add(range_->hash());
  hash_ = h.finish();
}

SortPtr Sort::primitive(std::string name) {
  return SortPtr(new Sort(Kind::Primitive, std::move(name), {}, nullptr));
}

SortPtr Sort::parameterized(std::string name, std::vector<SortPtr> parameters) {
  return SortPtr(new Sort(Kind::Parameterized, std::move(name), std::move(parameters), nullptr));
}

SortPtr Sort::function(std::vector<SortPtr> domain, SortPtr range) {
  std::string name;
  for (std::size_t i = 0; i < domain.size(); ++i) name += (i ? " * " : "") + domain[i]->name();
  name += (domain.empty() ? "" : " -> ") + range->name();
  return SortPtr(new Sort(Kind::Function, std::move(name), std::move(domain), std::move(range)));
}

std::string Sort::repr() const {
  switch (kind_) {
    case Kind::Primitive:
      return "PrimitiveSort(name=" + py_quote(name_) + ")";
    case Kind::Parameterized: {
      std::string out = "ParameterizedSort(name=" + py_quote(name_) + ", parameters=(";
      for (std::size_t i = 0; i < parameters_.size(); ++i) out += (i ? ", " : "") + parameters_[i]->repr();
      if (parameters_.size() == 1) out += ",";
      return out + "))";
    }
    case Kind::Function: {
      std::string out = "FunctionSort(domain=(";
      for (std::size_t i = 0; i < parameters_.size(); ++i) out += (i ? ", " : "") + parameters_[i]->repr();
      if (parameters_.size() == 1) out += ",";
      return out + "), range=" + range_->repr() + ")";
    }
  }
  return name_;
}

bool Sort::operator==(const Sort& other) const {
  if (this == &other) return true;
  if (kind_ != other.kind_ || hash_ != other.hash_ || name_ != other.name_ ||
      parameters_.size() != other.parameters_.size())
    return false;
  for (std::size_t i = 0; i < parameters_.size(); ++i)
    if (!same_sort(parameters_[i], other.parameters_[i])) return false;
  return same_sort(range_, other.range_);
}

bool same_sort(const SortPtr& a, const SortPtr& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return *a == *b;
}

const SortPtr& ind_sort() {
  static const SortPtr s = Sort::primitive("Ind");
  return s;
}
const SortPtr& nat_sort() {
  static const SortPtr s = Sort::primitive("Nat");
  return s;
}
const SortPtr& bool_sort() {
  static const SortPtr s = Sort::primitive("Bool");
  return s;
}

bool is_compatible(const SortPtr& expected, const SortPtr& actual) { return same_sort(expected, actual); }

}  // namespace core
