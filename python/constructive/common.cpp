// constructive.common: falsum, verum, their recognisers, the atom test, the
// normalisation of formulas and the weight function shared by the
// intuitionistic provers.
#include "common/bindings.hpp"
#include "constructive/common.hpp"

namespace py = pybind11;

namespace {

// The recognisers answer false for anything that is not a node.
template <bool (*Test)(const core::Node&)>
bool recognise(py::handle f) {
  return py::isinstance<core::Node>(f) && Test(*f.cast<core::NodePtr>());
}

}  // namespace

PYBIND11_MODULE(common, m) {
  m.doc() = "Constants and formula functions shared by the intuitionistic provers.";
  common::refuse_bare_new();
  py::module_::import("core.ast");
  m.attr("FALSUM") = constructive::falsum();
  m.attr("VERUM") = constructive::verum();
  m.def("_is_falsum", &recognise<constructive::is_falsum>, py::arg("formula"), "Whether the formula is falsum.");
  m.def("_is_verum", &recognise<constructive::is_verum>, py::arg("formula"), "Whether the formula is verum.");
  m.def("_is_atomic", &recognise<constructive::is_atomic>, py::arg("formula"),
        "Whether the formula is a predicate application (falsum and verum included).");
  m.def(
      "normalize_formula",
      [](py::handle f) { return constructive::normalize_formula(common::to_node(f)); }, py::arg("formula"),
      "Removes negation and equivalence and simplifies verum away; the result is intuitionistically equivalent.");
  m.def(
      "_formula_weight", [](py::handle f) { return constructive::formula_weight(*common::to_node(f)); },
      py::arg("formula"), "A size measure of a formula.");
}
