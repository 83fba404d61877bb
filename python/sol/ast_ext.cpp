// sol.ast_ext: second-order quantifiers and the predicate and function
// variables they bind.  The quantifiers are formulas but none of the twelve
// first-order node classes.
#include "common/bindings.hpp"
#include "common/picklable.hpp"
#include "core/ast.hpp"

namespace py = pybind11;
using namespace core;

namespace {

template <typename T>
void bind_quantifier(py::module_& m, const char* name, const char* doc) {
  constexpr NodeKind kind = [] {
    if constexpr (std::is_same_v<T, ForallPred>) return NodeKind::ForallPred;
    else if constexpr (std::is_same_v<T, ExistsPred>) return NodeKind::ExistsPred;
    else if constexpr (std::is_same_v<T, ForallFunc>) return NodeKind::ForallFunc;
    else return NodeKind::ExistsFunc;
  }();
  py::class_<T, Formula, std::shared_ptr<T>> cls(m, name, py::is_final(), doc);
  cls.def(py::init([](SymbolVariablePtr variable, NodePtr body) {
            return std::const_pointer_cast<T>(std::static_pointer_cast<const T>(
                SecondOrderQuantifier::make(kind, std::move(variable), std::move(body))));
          }),
          py::arg("variable"), py::arg("body"))
      .def_property_readonly("variable", &SecondOrderQuantifier::variable)
      .def_property_readonly("body", &SecondOrderQuantifier::body)
      .def("__eq__",
           [](const NodePtr& self, py::handle other) {
             return py::isinstance<Node>(other) && equal(self, other.cast<NodePtr>());
           },
           py::is_operator())
      .def("__hash__", [](const Node& self) { return self.hash(); })
      .def("__repr__", [](const Node& self) { return repr(self); })
      .def_property_readonly("_hash_cache", [](const Node& self) { return self.hash(); });
  cls.attr("__match_args__") = py::make_tuple("variable", "body");
  common::freeze(cls);
  pyhash::set_class_hash(static_cast<pyhash::ClassSlot>(static_cast<int>(kind)),
                         static_cast<pyhash::hash_t>(py::hash(cls)));
}

// A pickled symbol variable, rebuilt from (is_predicate, index, arity, name).
py::object symbol_variable_from_parts(const py::tuple& parts) {
  if (parts.size() != 4) throw core::TypeError("_symbol_variable_from_parts takes a kind, an index, an arity and a name");
  auto kind = common::truth_of(parts[0]) ? SymbolVariable::Kind::Predicate : SymbolVariable::Kind::Function;
  std::string name = parts[3].cast<std::string>();
  return py::cast(std::make_shared<const SymbolVariable>(kind, parts[1].cast<std::int64_t>(),
                                                         parts[2].cast<std::int64_t>(), name));
}

}  // namespace

PYBIND11_MODULE(ast_ext, m) {
  m.doc() = "Second-order extensions of the syntax tree: quantifiers over predicates and functions.";
  common::refuse_bare_new();
  py::module_::import("core.ast");

  py::class_<SymbolVariable, std::shared_ptr<SymbolVariable>> symbol_variable(
      m, "SymbolVariable", "A predicate or function variable: an index, an arity and a display name.");
  symbol_variable.def_property_readonly("index", &SymbolVariable::index)
      .def_property_readonly("arity", &SymbolVariable::arity)
      .def_property_readonly("name", &SymbolVariable::name)
      .def_property_readonly("is_predicate",
                             [](const SymbolVariable& v) { return v.kind() == SymbolVariable::Kind::Predicate; })
      .def("__eq__",
           [](const SymbolVariable& a, py::handle b) {
             return py::isinstance<SymbolVariable>(b) && a == b.cast<const SymbolVariable&>();
           },
           py::is_operator())
      .def("__hash__", &SymbolVariable::hash)
      .def("__repr__", &SymbolVariable::repr)
      .def("__str__", &SymbolVariable::text)
      .def("__reduce__", [m](const SymbolVariable& v) {
        return py::make_tuple(m.attr("_symbol_variable_from_parts"),
                              py::make_tuple(v.kind() == SymbolVariable::Kind::Predicate, v.index(), v.arity(),
                                             v.name()));
      });
  common::freeze(symbol_variable);

  auto make_variable = [](SymbolVariable::Kind kind, const char* prefix) {
    return [kind, prefix](std::int64_t index, std::int64_t arity, py::object name) {
      if (index < 0) throw InvalidFormulaError("Symbol variable index must be non-negative, got " +
                                               std::to_string(index) + ".");
      if (arity < 0) throw InvalidFormulaError("Symbol variable arity must be non-negative, got " +
                                               std::to_string(arity) + ".");
      std::string text = name.is_none() ? prefix + std::to_string(index) : py::str(name).cast<std::string>();
      return std::make_shared<const SymbolVariable>(kind, index, arity, text);
    };
  };
  m.def("PredicateVariable", make_variable(SymbolVariable::Kind::Predicate, "X"), py::arg("index"), py::arg("arity"),
        py::arg("name") = py::none(), "A predicate variable with an index and an arity (name defaults to X<index>).");
  m.def("FunctionVariable", make_variable(SymbolVariable::Kind::Function, "F"), py::arg("index"), py::arg("arity"),
        py::arg("name") = py::none(), "A function variable with an index and an arity (name defaults to F<index>).");
  pyhash::set_class_hash(pyhash::ClassSlot::PredicateVariable, static_cast<pyhash::hash_t>(py::hash(symbol_variable)));
  pyhash::set_class_hash(pyhash::ClassSlot::FunctionVariable,
                         static_cast<pyhash::hash_t>(py::hash(symbol_variable)) + 1);

  common::def_picklable<&symbol_variable_from_parts>(m, "_symbol_variable_from_parts",
                                                     "Rebuilds a pickled predicate or function variable.");
  bind_quantifier<ForallPred>(m, "ForallPred", "Represents quantification over a predicate variable.");
  bind_quantifier<ExistsPred>(m, "ExistsPred", "Represents existential quantification over a predicate variable.");
  bind_quantifier<ForallFunc>(m, "ForallFunc", "Represents quantification over a function variable.");
  bind_quantifier<ExistsFunc>(m, "ExistsFunc", "Represents existential quantification over a function variable.");
  common::refuse_none_self(m);
}
