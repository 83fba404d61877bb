// Conversions of prefix values between Python and the engine, shared by the
// prefix, matrix and resolution modules.
#pragma once

#include "common/bindings.hpp"
#include "constructive/prefix.hpp"

namespace prefix_values {

namespace py = pybind11;
using constructive::Prefix;
using constructive::PrefixSubstitution;
using constructive::PrefixSymbol;
using constructive::Symbol;
using constructive::SymbolString;

inline Symbol symbol_from_py(py::handle obj, const char* what = "a prefix symbol") {
  if (!py::isinstance<PrefixSymbol>(obj))
    throw core::TypeError(std::string(what) + " must be a PrefixConstant or PrefixVariable, got " +
                          common::class_text(obj));
  return Symbol(obj.cast<std::shared_ptr<const PrefixSymbol>>());
}

inline Symbol variable_from_py(py::handle obj) {
  if (!py::isinstance<constructive::PrefixVariable>(obj))
    throw core::TypeError("a bound variable must be a PrefixVariable, got " + common::class_text(obj));
  return Symbol(obj.cast<std::shared_ptr<const PrefixSymbol>>());
}

inline SymbolString symbols_from_py(py::handle items) {
  if (py::isinstance<py::str>(items))
    throw core::TypeError("prefix symbols must be given as a tuple of symbols, got a string");
  SymbolString out;
  for (auto item : py::iter(items)) out.push_back(symbol_from_py(item));
  return out;
}

inline py::object symbol_to_py(const Symbol& s) { return py::cast(s.ptr()); }

// A new Python set of the symbols.
inline py::set symbol_set(const constructive::SymbolSet& items) {
  py::set out;
  for (const auto& s : items) out.add(symbol_to_py(s));
  return out;
}

inline py::tuple symbols_to_py(const SymbolString& symbols) {
  py::tuple out(symbols.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) out[i] = symbol_to_py(symbols[i]);
  return out;
}

inline const Prefix& prefix_from_py(py::handle obj, const char* what = "prefix") {
  if (!py::isinstance<Prefix>(obj))
    throw core::TypeError(std::string(what) + " must be a Prefix, got " + common::class_text(obj));
  return *static_cast<const Prefix*>(common::built_object_of<Prefix>(obj));  // TypeError for a half-built one
}

inline const PrefixSubstitution& subst_from_py(py::handle obj, const char* what = "subst") {
  if (!py::isinstance<PrefixSubstitution>(obj))
    throw core::TypeError(std::string(what) + " must be a PrefixSubstitution, got " + common::class_text(obj));
  return *static_cast<const PrefixSubstitution*>(common::built_object_of<PrefixSubstitution>(obj));
}

// {"V1": "c1.c2", "V2": ""}: each bound variable's name with its value's text.
inline py::dict subst_dict(const PrefixSubstitution& s) {
  py::dict out;
  for (const auto& [variable, value] : s.mapping()) out[py::str(variable.name())] = constructive::join_names(value);
  return out;
}

// The tree order of any formula tree object: its `tree_order`, a mapping
// from each symbol to the symbols directly below it.
inline constructive::SymbolOrder order_from_py(py::handle tree) {
  if (!py::hasattr(tree, "tree_order"))
    throw core::TypeError("a formula tree with a tree_order is needed, got " + common::class_text(tree));
  py::object order = tree.attr("tree_order");
  if (!py::isinstance<py::dict>(order))
    throw core::TypeError("the tree_order of a formula tree must be a dict, got " + common::class_text(order));
  constructive::SymbolOrder out;
  for (auto [key, children] : order.cast<py::dict>()) {
    auto& below = out[symbol_from_py(key)];
    for (auto child : py::iter(children)) below.insert(symbol_from_py(child));
  }
  return out;
}

}  // namespace prefix_values
