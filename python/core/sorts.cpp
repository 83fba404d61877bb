// core.sorts: sort values, `is_compatible` and `sort_of_term`.
//
// Loading this module also installs the interpreter's string hash into the
// engine (every later module imports core.ast, which imports this first), so
// that node hashes agree with hashes of tuples built in Python.
#include "common/bindings.hpp"
#include "common/picklable.hpp"
#include "core/sorts.hpp"
#include "core/substitutions.hpp"

namespace py = pybind11;

namespace {

// The sorts of a sequence; `what` names one of them in the TypeError for a non-sort.
std::vector<core::SortPtr> sorts_from(const py::iterable& items, const char* what) {
  std::vector<core::SortPtr> out;
  for (auto item : items) out.push_back(common::value_from_py<core::Sort>(item, what));
  return out;
}

// A pickled sort, rebuilt from (kind, name, parameters or domain, range).
py::object sort_from_parts(const py::tuple& parts) {
  if (parts.size() != 4) throw core::TypeError("_sort_from_parts takes a kind, a name, the parameters and a range");
  auto kind = static_cast<core::Sort::Kind>(parts[0].cast<int>());
  std::string name = parts[1].cast<std::string>();
  std::vector<core::SortPtr> parameters = sorts_from(parts[2].cast<py::iterable>(), "a pickled sort's parameter");
  switch (kind) {
    case core::Sort::Kind::Primitive: return py::cast(core::Sort::primitive(std::move(name)));
    case core::Sort::Kind::Parameterized: return py::cast(core::Sort::parameterized(std::move(name), parameters));
    case core::Sort::Kind::Function: return py::cast(core::Sort::function(parameters, parts[3].cast<core::SortPtr>()));
  }
  throw core::ValueError("unknown kind of sort in a pickle");
}

}  // namespace

PYBIND11_MODULE(sorts, m) {
  m.doc() = "Sorts of the sorted first-order logic.";
  common::refuse_bare_new();
  // The engine's exception translator and interrupt check live there; a
  // program that imports this module alone gets them too.
  py::module_::import("core.exceptions");
  core::pyhash::set_string_hasher(&common::interpreter_string_hash);

  py::class_<core::Sort, std::shared_ptr<core::Sort>> sort(m, "Sort", "A sort: an immutable value with a name.");
  sort.def_property_readonly("name", &core::Sort::name)
      .def("__eq__", [](const core::Sort& a, py::object b) {
        return py::isinstance<core::Sort>(b) && a == b.cast<const core::Sort&>();
      })
      .def("__hash__", &core::Sort::hash)
      .def("__repr__", &core::Sort::repr)
      .def("__str__", &core::Sort::name)
      .def("__reduce__", [m](const core::Sort& s) {
        return py::make_tuple(m.attr("_sort_from_parts"),
                              py::make_tuple(static_cast<int>(s.kind()), s.name(), py::tuple(py::cast(s.parameters())),
                                             s.range() ? py::cast(s.range()) : py::none()));
      });
  common::freeze(sort);

  // Each constructor returns a Sort value of that kind.
  m.def("PrimitiveSort",
        [](py::handle name) { return core::Sort::primitive(common::string_from_py(name, "PrimitiveSort name")); },
        py::arg("name"),
        "A named base sort.");
  m.def("ParameterizedSort",
        [](py::handle name, py::iterable parameters) {
          return core::Sort::parameterized(common::string_from_py(name, "ParameterizedSort name"),
                                           sorts_from(parameters, "a ParameterizedSort parameter"));
        },
        py::arg("name"), py::arg("parameters") = py::tuple(), "A sort constructor applied to sorts.");
  m.def("FunctionSort",
        [](py::iterable domain, py::handle range) {
          return core::Sort::function(sorts_from(domain, "a FunctionSort domain sort"),
                                      common::value_from_py<core::Sort>(range, "FunctionSort range"));
        },
        py::arg("domain"), py::arg("range"), "The sort of functions from the domain sorts to the range sort.");

  common::def_picklable<&sort_from_parts>(m, "_sort_from_parts", "Rebuilds a pickled sort.");
  m.attr("Ind") = core::ind_sort();
  m.attr("Nat") = core::nat_sort();
  m.attr("Bool") = core::bool_sort();

  m.def("is_compatible", &core::is_compatible, py::arg("expected"), py::arg("actual"),
        "Whether a term of sort `actual` may stand where `expected` is required (the sorts are equal).");
  m.def(
      "sort_of_term",
      [](py::handle term) -> core::SortPtr {
        // The node classes are those of core.ast, which loads this module first.
        if (!py::isinstance<core::Node>(term))
          throw core::TypeError("sort_of_term expects a term, got " +
                                py::type::handle_of(term).attr("__name__").cast<std::string>());
        return core::sort_of_term(*term.cast<core::NodePtr>());
      },
      py::arg("term"), "The sort of a term; a TypeError for anything else (a formula, say).");
  common::refuse_none_self(m);
}
