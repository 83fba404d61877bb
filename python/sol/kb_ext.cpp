// sol.kb_ext: the induction schema over zero and succ (sort Ind).
#include "common/bindings.hpp"
#include "sol/kb_ext.hpp"

namespace py = pybind11;
using namespace core;

PYBIND11_MODULE(kb_ext, m) {
  m.doc() =
      "The induction schema  forall P. (P(zero) & forall x. (P(x) -> P(succ(x)))) -> forall x. P(x)  over the "
      "constant 'zero' and the one-argument function 'succ', both of sort Ind.";
  py::module_::import("core.ast");
  py::module_::import("core.exceptions");

  m.def(
      "instantiate_induction",
      [](py::handle body, py::handle variable) {
        if (!py::isinstance<Formula>(body))
          throw TypeError("body must be a formula, got " + common::class_text(body));
        if (!py::isinstance<Variable>(variable))
          throw TypeError("variable must be a Variable, got " + common::class_text(variable));
        return sol::instantiate_induction(body.cast<NodePtr>(), variable.cast<VariablePtr>());
      },
      py::arg("body"), py::arg("variable"),
      "The induction instance for the property `body` of `variable`: (body[zero] & forall variable. (body -> "
      "body[succ(variable)])) -> forall variable. body.");
}
