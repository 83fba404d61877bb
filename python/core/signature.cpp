// core.signature: the symbols of a problem (predicates, constants,
// functions) with their sorts, keyed by name and arity.
#include "common/bindings.hpp"
#include "core/signature.hpp"

namespace py = pybind11;
using core::Signature;
using core::SortPtr;

namespace {

SortPtr sort_from_py(py::handle obj, const char* what) {
  if (!py::isinstance<core::Sort>(obj))
    throw core::TypeError(std::string(what) + " must be a Sort, got " + common::class_text(obj));
  return obj.cast<SortPtr>();
}

std::vector<SortPtr> sorts_from_py(py::handle obj) {
  if (!py::isinstance<py::tuple>(obj) && !py::isinstance<py::list>(obj))
    throw core::TypeError("argument sorts must be a tuple of Sort, got " + common::class_text(obj));
  std::vector<SortPtr> out;
  for (py::handle item : obj) out.push_back(sort_from_py(item, "an argument sort"));
  return out;
}

py::tuple sorts_to_py(const std::vector<SortPtr>& sorts) {
  py::tuple out(sorts.size());
  for (std::size_t i = 0; i < sorts.size(); ++i) out[i] = py::cast(sorts[i]);
  return out;
}

py::object sort_or_none(const SortPtr& sort) { return sort ? py::cast(sort) : py::none(); }

// A new dict over the symbols of one kind, in registration order.
template <typename Key, typename Value>
py::dict symbols_of_kind(const Signature& signature, core::SymbolKind kind, Key key, Value value) {
  py::dict out;
  for (const auto& e : signature.symbols())
    if (e.kind == kind) out[key(e)] = value(e);
  return out;
}

py::tuple name_and_arity(const core::SymbolEntry& e) { return py::make_tuple(e.name, e.arity); }

}  // namespace

PYBIND11_MODULE(signature, m) {
  m.doc() = "Signatures: the predicate, constant and function symbols of a problem, keyed by name and arity.";
  py::module_::import("core.exceptions");
  py::module_::import("core.sorts");

  static py::exception<core::SymbolClashError> clash(m, "SymbolClashError", PyExc_ValueError);
  clash.attr("__doc__") = "Raised when a symbol is registered again as another kind of symbol or with other sorts.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const core::SymbolClashError& e) {
      PyErr_SetString(clash.ptr(), e.what());
    }
  });

  py::class_<Signature, std::shared_ptr<Signature>> cls(
      m, "Signature", py::is_final(),
      "The symbols of a problem. Symbols are keyed by name and arity, so P/1 and P/2 are two symbols; registering "
      "a symbol again with the same kind and sorts changes nothing, with another kind or other sorts it raises "
      "SymbolClashError.");
  cls.def(py::init<>())
      .def(
          "register_predicate",
          [](Signature& self, py::handle name, py::handle arity, py::handle argument_sorts) {
            self.register_predicate(common::string_from_py(name, "Predicate name"),
                                    common::int64_from_py(arity, "Predicate arity"), sorts_from_py(argument_sorts));
          },
          py::arg("name"), py::arg("arity"), py::arg("arg_sorts"), "Registers a predicate with its argument sorts.")
      .def(
          "register_constant",
          [](Signature& self, py::handle name, py::handle sort) {
            self.register_constant(common::string_from_py(name, "Constant name"), sort_from_py(sort, "sort"));
          },
          py::arg("name"), py::arg("sort"), "Registers a constant of a sort.")
      .def(
          "register_function",
          [](Signature& self, py::handle name, py::handle arity, py::handle argument_sorts, py::handle return_sort) {
            self.register_function(common::string_from_py(name, "Function name"),
                                   common::int64_from_py(arity, "Function arity"), sorts_from_py(argument_sorts),
                                   sort_from_py(return_sort, "return sort"));
          },
          py::arg("name"), py::arg("arity"), py::arg("arg_sorts"), py::arg("return_sort"),
          "Registers a function with its argument sorts and return sort.")
      .def(
          "lookup",
          [](const Signature& self, py::handle name, py::handle arity) -> py::object {
            const core::SymbolEntry* entry =
                self.find(common::string_from_py(name, "name"), common::int64_from_py(arity, "arity"));
            if (!entry) return py::none();
            return py::make_tuple(core::symbol_kind_name(entry->kind), sorts_to_py(entry->argument_sorts),
                                  sort_or_none(entry->return_sort));
          },
          py::arg("name"), py::arg("arity"),
          "The symbol of this name and arity as (kind, argument sorts, return sort), kind being 'predicate', "
          "'constant' or 'function' and the return sort None for a predicate; None when there is none.")
      .def_property_readonly(
          "predicates",
          [](const Signature& self) {
            return symbols_of_kind(self, core::SymbolKind::Predicate, name_and_arity,
                                   [](const core::SymbolEntry& e) { return sorts_to_py(e.argument_sorts); });
          },
          "A new dict from (name, arity) to the argument sorts, in registration order.")
      .def_property_readonly(
          "constants",
          [](const Signature& self) {
            return symbols_of_kind(
                self, core::SymbolKind::Constant, [](const core::SymbolEntry& e) { return py::str(e.name); },
                [](const core::SymbolEntry& e) { return py::cast(e.return_sort); });
          },
          "A new dict from name to sort, in registration order.")
      .def_property_readonly(
          "functions",
          [](const Signature& self) {
            return symbols_of_kind(self, core::SymbolKind::Function, name_and_arity, [](const core::SymbolEntry& e) {
              return py::make_tuple(sorts_to_py(e.argument_sorts), py::cast(e.return_sort));
            });
          },
          "A new dict from (name, arity) to (argument sorts, return sort), in registration order.")
      .def(
          "__contains__",
          [](const Signature& self, py::handle name) {
            return py::isinstance<py::str>(name) && self.holds_name(name.cast<std::string>());
          },
          "Whether some symbol of this name is registered, whatever its kind and arity.")
      .def("__len__", [](const Signature& self) { return self.symbols().size(); })
      .def("__repr__", [](const Signature& self) {
        std::string text = "Signature(";
        for (std::size_t i = 0; i < self.symbols().size(); ++i) {
          if (i) text += "; ";
          text += core::describe(self.symbols()[i]);
        }
        return text + ")";
      });
  common::refuse_none_self(m);
}
