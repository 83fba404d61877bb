// sol.substitutions_ext: higher-order pattern unification of formulas with
// predicate variables, and the substitution of predicates for them.
//
// A predicate crosses the boundary as a pair (parameters, body): a tuple of
// Variables and the formula that stands for the predicate applied to them.
#include "common/bindings.hpp"
#include "sol/substitutions_ext.hpp"

namespace py = pybind11;
using namespace core;

namespace {

using common::formula_from_py;

VariablePtr variable_from_py(py::handle obj, const char* what) {
  if (!py::isinstance<Variable>(obj))
    throw TypeError(std::string(what) + " must hold Variables, got " + common::class_text(obj));
  return obj.cast<VariablePtr>();
}

py::object unify(py::handle pattern, py::handle target, py::handle bound_vars) {
  NodePtr p = formula_from_py(pattern, "pattern");
  NodePtr t = formula_from_py(target, "target");
  VarSet bound;
  if (!bound_vars.is_none())
    for (auto item : py::iter(bound_vars)) bound.insert(variable_from_py(item, "bound_vars"));
  std::optional<sol::PredicateSubstitution> solution = sol::ho_pattern_unify(p, t, bound);
  if (!solution) return py::none();
  py::dict out;
  for (const auto& [var, lambda] : solution->entries()) {
    py::tuple params(lambda.params.size());
    for (std::size_t i = 0; i < lambda.params.size(); ++i) params[i] = py::cast(lambda.params[i]);
    out[py::cast(var)] = py::make_tuple(params, py::cast(lambda.body));
  }
  return out;
}

sol::PredicateSubstitution mapping_from_py(py::handle mapping) {
  if (!py::isinstance<py::dict>(mapping))
    throw TypeError("mapping must be a dict from predicate variables to (parameters, formula) pairs, got " +
                    common::class_text(mapping));
  sol::PredicateSubstitution out;
  for (auto [key, value] : py::reinterpret_borrow<py::dict>(mapping)) {
    if (!py::isinstance<SymbolVariable>(key) ||
        key.cast<const SymbolVariable&>().kind() != SymbolVariable::Kind::Predicate)
      throw TypeError("mapping keys must be predicate variables, got " + common::class_text(key));
    if (!py::isinstance<py::tuple>(value) || py::len(value) != 2)
      throw TypeError("a predicate must be given as a (parameters, formula) pair, got " + common::class_text(value));
    auto pair = py::reinterpret_borrow<py::tuple>(value);
    sol::PredicateLambda lambda;
    for (auto param : py::iter(pair[0])) {
      VariablePtr v = variable_from_py(param, "parameters");
      for (const auto& seen : lambda.params)
        if (equal(*seen, *v)) throw ValueError("parameters must be distinct variables");
      lambda.params.push_back(std::move(v));
    }
    lambda.body = formula_from_py(pair[1], "the body of a predicate");
    out.set(key.cast<SymbolVariablePtr>(), std::move(lambda));
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(substitutions_ext, m) {
  m.doc() = "Higher-order pattern unification and substitution of predicates for predicate variables.";
  py::module_::import("core.ast");
  py::module_::import("sol.ast_ext");
  py::module_::import("core.exceptions");

  m.def("ho_pattern_unify", &unify, py::arg("pattern"), py::arg("target"), py::arg("bound_vars") = py::none(),
        "The predicates that make `pattern` equal to `target`: a dict from each predicate variable of the pattern "
        "to a pair (parameters, formula), or None when there are none.  An application of a predicate variable "
        "to distinct bound variables matches any formula that mentions no other bound variable; `bound_vars` "
        "names variables that count as bound around both formulas.");
  m.def(
      "substitute_predicate",
      [](py::handle formula, py::handle mapping) {
        return sol::substitute_predicate(formula_from_py(formula, "formula"), mapping_from_py(mapping));
      },
      py::arg("formula"), py::arg("mapping"),
      "`formula` with every application of a mapped predicate variable replaced by the predicate's formula, the "
      "arguments put in for the parameters, without capture.");
}
