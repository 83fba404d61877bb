// core.parser: the printer of terms and formulas.
#include "common/bindings.hpp"
#include "core/parser.hpp"

namespace py = pybind11;

PYBIND11_MODULE(parser, m) {
  m.doc() = "Printing of terms and formulas in infix, prefix and LaTeX notation.";
  common::refuse_bare_new();
  py::module_::import("core.ast");
  m.def(
      "to_string",
      [](py::handle formula, const std::string& notation) {
        return core::to_string(*common::to_node(formula), notation);
      },
      py::arg("formula"), py::kw_only(), py::arg("notation") = "infix",
      "The text of a term or formula in the notation \"infix\" (the default), \"prefix\" or \"latex\".");
}
