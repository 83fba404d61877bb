// core.substitutions: capture-avoiding substitution, composition of
// substitutions and unification of terms and atomic formulas.
//
// A substitution crosses the boundary as a dictionary from Variable to term.
// It is read into the engine's insertion-ordered mapping (the dictionary's
// order is kept) and results come back as new dictionaries; the caller's
// dictionary is never modified.
#include "common/bindings.hpp"
#include "core/substitutions.hpp"

namespace py = pybind11;
using core::NodePtr;
using core::Substitution;

namespace {

// Reads any mapping (anything with items()) whose keys are variables and
// whose values are nodes.
Substitution substitution_from_py(py::handle mapping) {
  if (!py::hasattr(mapping, "items"))
    throw core::TypeError("A substitution must be a mapping from Variable to term, got " +
                          common::class_text(mapping));
  Substitution out;
  for (py::handle item : mapping.attr("items")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    py::handle key = pair[0], value = pair[1];
    if (!py::isinstance<core::Variable>(key))
      throw core::TypeError("A substitution maps variables to terms; got a key of " + common::class_text(key));
    if (!py::isinstance<core::Node>(value))
      throw core::TypeError("A substitution maps variables to terms; got a value of " + common::class_text(value));
    out.bind(key.cast<core::VariablePtr>(), value.cast<NodePtr>());
  }
  return out;
}

py::dict substitution_to_py(const Substitution& subst) {
  py::dict out;
  for (const auto& [var, term] : subst) out[py::cast(var)] = py::cast(term);
  return out;
}

// The error that a walk gives for a value that is no node.
[[noreturn]] void unsupported_node(py::handle obj) {
  throw core::TypeError("Unsupported AST node type: " +
                        py::type::handle_of(obj).attr("__name__").cast<std::string>());
}

// substitute_term and substitute_formula: the sorts are checked first, an
// empty mapping hands back the argument itself, whatever it is.
template <NodePtr (*Apply)(const NodePtr&, const Substitution&)>
py::object substitute_py(py::object node, py::handle mapping) {
  Substitution subst = substitution_from_py(mapping);
  if (!py::isinstance<core::Node>(node)) {
    core::validate_mapping_sorts(subst);
    if (subst.empty()) return node;
    unsupported_node(node);
  }
  return py::cast(Apply(node.cast<NodePtr>(), subst));
}

NodePtr node_from_py(py::handle obj) {
  if (!py::isinstance<core::Node>(obj)) unsupported_node(obj);
  return obj.cast<NodePtr>();
}

}  // namespace

PYBIND11_MODULE(substitutions, m) {
  m.doc() = "Capture-avoiding substitution, composition of substitutions and unification with occur check.";

  // The names this module takes from the modules it builds on, in load order.
  const std::pair<const char*, std::vector<const char*>> imports[] = {
      {"core.ast",
       {"Term", "Formula", "Variable", "Constant", "FunctionApp", "PredicateApp", "Equality", "Forall", "Exists",
        "free_variables", "bound_variables"}},
      {"core.sorts", {"is_compatible", "sort_of_term"}},
      {"core.exceptions", {"UnificationError", "SortMismatchError"}},
  };
  for (const auto& [module_name, names] : imports) {
    py::module_ module = py::module_::import(module_name);
    for (const char* name : names) m.attr(name) = module.attr(name);
  }

  m.def(
      "_validate_mapping_sorts",
      [](py::handle mapping) { core::validate_mapping_sorts(substitution_from_py(mapping)); }, py::arg("mapping"),
      "Raises SortMismatchError for the first binding whose term's sort does not fit its variable's sort.");
  m.def("substitute_term", &substitute_py<&core::substitute_term>, py::arg("term"), py::arg("mapping"),
        "The term with the substitution applied, after checking the sorts of the whole mapping.");
  m.def("substitute_formula", &substitute_py<&core::substitute_formula>, py::arg("formula"), py::arg("mapping"),
        "The formula with the substitution applied without capture, after checking the sorts of the mapping.");
  m.def(
      "apply_substitution",
      [](py::handle subst, py::object term) { return substitute_py<&core::substitute_term>(term, subst); },
      py::arg("subst"), py::arg("term"), "substitute_term with the substitution first.");
  m.def(
      "compose_substitutions",
      [](py::handle s1, py::handle s2) {
        return substitution_to_py(core::compose_substitutions(substitution_from_py(s1), substitution_from_py(s2)));
      },
      py::arg("s1"), py::arg("s2"), "The substitution that applies s2 first and then s1.");
  m.def(
      "unify_terms",
      [](py::handle t1, py::handle t2, py::handle subst) {
        NodePtr a = node_from_py(t1), b = node_from_py(t2);
        if (subst.is_none()) return substitution_to_py(core::unify_terms(a, b));
        Substitution start = substitution_from_py(subst);
        return substitution_to_py(core::unify_terms(a, b, &start));
      },
      py::arg("t1"), py::arg("t2"), py::arg("subst") = py::none(),
      "A most general unifier of two terms, extending subst; raises UnificationError or SortMismatchError.");
  m.def(
      "unify_formulas",
      [](py::handle f1, py::handle f2) {
        return substitution_to_py(core::unify_formulas(node_from_py(f1), node_from_py(f2)));
      },
      py::arg("f1"), py::arg("f2"), "A most general unifier of two predicate applications or two equalities.");
}
