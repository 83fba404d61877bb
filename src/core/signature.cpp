#include "core/signature.hpp"

namespace core {

const char* symbol_kind_name(SymbolKind kind) {
  switch (kind) {
    case SymbolKind::Predicate: return "predicate";
    case SymbolKind::Constant: return "constant";
    case SymbolKind::Function: return "function";
  }
  return "function";
}

std::string describe(const SymbolEntry& entry) {
  std::string text = entry.name + "/" + std::to_string(entry.arity) + ": " + symbol_kind_name(entry.kind);
  if (entry.kind != SymbolKind::Constant) {
    text += "(";
    for (std::size_t i = 0; i < entry.argument_sorts.size(); ++i) {
      if (i) text += ", ";
      text += entry.argument_sorts[i]->name();
    }
    text += ")";
  }
  if (entry.return_sort) text += " -> " + entry.return_sort->name();
  return text;
}

namespace {

bool same_sorts(const std::vector<SortPtr>& a, const std::vector<SortPtr>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!same_sort(a[i], b[i])) return false;
  return true;
}

bool same_symbol(const SymbolEntry& a, const SymbolEntry& b) {
  if (a.kind != b.kind || !same_sorts(a.argument_sorts, b.argument_sorts)) return false;
  if (!a.return_sort || !b.return_sort) return !a.return_sort && !b.return_sort;
  return same_sort(a.return_sort, b.return_sort);
}

void check_header(const std::string& name, std::int64_t arity, std::size_t sort_count) {
  if (name.empty()) throw ValueError("Symbol name cannot be empty.");
  if (arity < 0) throw ValueError("Arity of '" + name + "' must be non-negative, got " + std::to_string(arity) + ".");
  if (static_cast<std::uint64_t>(arity) != sort_count)
    throw ValueError("Arity of '" + name + "' is " + std::to_string(arity) + " but " + std::to_string(sort_count) +
                     " argument sorts were given.");
}

}  // namespace

void Signature::add(SymbolEntry entry) {
  auto key = std::make_pair(entry.name, entry.arity);
  auto known = index_.find(key);
  if (known != index_.end()) {
    const SymbolEntry& held = symbols_[known->second];
    if (same_symbol(held, entry)) return;
    throw SymbolClashError("Symbol '" + entry.name + "/" + std::to_string(entry.arity) + "' is already registered as " +
                           describe(held) + "; cannot register it as " + describe(entry) + ".");
  }
  symbols_.push_back(std::move(entry));
  index_.emplace(std::move(key), symbols_.size() - 1);
  names_.insert(symbols_.back().name);
}

void Signature::register_predicate(const std::string& name, std::int64_t arity,
                                   const std::vector<SortPtr>& argument_sorts) {
  check_header(name, arity, argument_sorts.size());
  add({name, SymbolKind::Predicate, arity, argument_sorts, nullptr});
}

void Signature::register_constant(const std::string& name, const SortPtr& sort) {
  check_header(name, 0, 0);
  add({name, SymbolKind::Constant, 0, {}, sort});
}

void Signature::register_function(const std::string& name, std::int64_t arity,
                                  const std::vector<SortPtr>& argument_sorts, const SortPtr& return_sort) {
  check_header(name, arity, argument_sorts.size());
  add({name, SymbolKind::Function, arity, argument_sorts, return_sort});
}

bool Signature::holds_name(std::string_view name) const { return names_.count(std::string(name)) != 0; }

const SymbolEntry* Signature::find(std::string_view name, std::int64_t arity) const {
  auto known = index_.find(std::make_pair(std::string(name), arity));
  return known == index_.end() ? nullptr : &symbols_[known->second];
}

}  // namespace core
