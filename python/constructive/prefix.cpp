// constructive.prefix: world prefixes of the matrix method, prefix
// substitutions, prefix unification and the admissibility test.
#include "common/bindings.hpp"
#include "common/records.hpp"

#include "constructive/prefix_values.hpp"

namespace py = pybind11;
using namespace constructive;
using namespace prefix_values;

namespace {

py::object not_implemented() { return py::reinterpret_borrow<py::object>(Py_NotImplemented); }

template <typename T>
void bind_symbol_class(py::module_& m, const char* name, const char* doc) {
  py::class_<T, PrefixSymbol, std::shared_ptr<T>> cls(m, name, doc);
  common::bind_record(cls, common::RecordStyle{},
                      common::constructor([](py::handle n) {
                        return std::make_shared<T>(common::string_from_py(n, "the name of a prefix symbol"));
                      }),
                      common::field("name", &PrefixSymbol::name));
  cls.def("__str__", &PrefixSymbol::name);
}

void bind_symbols(py::module_& m) {
  py::class_<PrefixSymbol, std::shared_ptr<PrefixSymbol>>(
      m, "PrefixSymbol", "A symbol of a world prefix: a PrefixConstant or a PrefixVariable.");
  bind_symbol_class<PrefixConstant>(m, "PrefixConstant", "A prefix constant: a world that the proof introduces.");
  bind_symbol_class<PrefixVariable>(m, "PrefixVariable",
                                    "A prefix variable: a world still to be chosen, possibly the empty string.");
}

void bind_prefix(py::module_& m) {
  py::class_<Prefix> cls(m, "Prefix", "A world prefix: a string of prefix symbols.");
  common::bind_record(cls, common::RecordStyle{},
                      common::constructor([](py::handle symbols) { return Prefix(symbols_from_py(symbols)); }),
                      common::field("symbols", [](const Prefix& p) { return symbols_to_py(p.symbols()); },
                                    py::tuple()));
  cls.def(
         "append", [](const Prefix& p, py::handle s) { return p.append(symbol_from_py(s)); }, py::arg("symbol"),
         "A new prefix with the symbol added at the end.")
      .def("variables", [](const Prefix& p) { return symbol_set(p.variables()); })
      .def("constants", [](const Prefix& p) { return symbol_set(p.constants()); })
      .def("__len__", &Prefix::size)
      .def("__str__", &Prefix::to_string);
}

py::dict mapping_dict(const PrefixSubstitution& s) {
  py::dict out;
  for (const auto& [variable, value] : s.mapping()) out[symbol_to_py(variable)] = symbols_to_py(value);
  return out;
}

std::string subst_repr(const PrefixSubstitution& s) {
  std::string out = "PrefixSubstitution({";
  bool first = true;
  for (const auto& [variable, value] : s.mapping()) {
    if (!first) out += ", ";
    first = false;
    out += variable.name() + ": " + core::py_quote(join_names(value));
  }
  return out + "})";
}

py::ssize_t subst_hash(const PrefixSubstitution& s) {
  std::size_t h = s.mapping().size();
  for (const auto& [variable, value] : s.mapping()) h += variable.hash() * 31 + Prefix(value).hash();
  return static_cast<py::ssize_t>(h >> 1);
}

void bind_substitution(py::module_& m) {
  py::class_<PrefixSubstitution> cls(
      m, "PrefixSubstitution",
      "An idempotent substitution of symbol strings for prefix variables, in the order of its bindings.");
  cls.def(py::init<>())
      .def("copy", [](const PrefixSubstitution& s) { return s; }, "An independent copy.")
      .def(
          "apply", [](const PrefixSubstitution& s, py::handle p) { return s.apply(prefix_from_py(p)); },
          py::arg("prefix"), "A new prefix with every bound variable replaced by its value.")
      .def_property_readonly("mapping", &mapping_dict,
                             "A new dictionary from each bound variable to its tuple of symbols.")
      .def("to_dict", &subst_dict, "Each bound variable's name with the text of its value.")
      .def(
          "bind",
          [](const PrefixSubstitution& s, py::handle v, py::handle symbols) {
            return s.bind(variable_from_py(v), symbols_from_py(symbols));
          },
          py::arg("variable"), py::arg("symbols"),
          "A new substitution with the variable bound to the instance of the symbols.")
      .def("__len__", [](const PrefixSubstitution& s) { return s.mapping().size(); })
      .def("__repr__", &subst_repr)
      .def("__eq__",
           [](const PrefixSubstitution& a, py::handle b) -> py::object {
             if (!py::isinstance<PrefixSubstitution>(b)) return not_implemented();
             return py::bool_(a == b.cast<const PrefixSubstitution&>());
           })
      .def("__hash__", &subst_hash)
      // copy and pickle: the bindings in order, bound again into an empty substitution
      .def("__reduce__", [](py::handle self) {
        py::list bindings;
        for (const auto& [variable, value] : self.cast<const PrefixSubstitution&>().mapping())
          bindings.append(py::make_tuple(symbol_to_py(variable), symbols_to_py(value)));
        return py::make_tuple(py::type::handle_of(self), py::tuple(), py::tuple(bindings));
      });
  // (pybind11 would take a function named __setstate__ for a constructor)
  cls.attr("__setstate__") = py::cpp_function(
      [](py::handle self, const py::tuple& bindings) {
        PrefixSubstitution out;
        for (py::handle binding : bindings) {
          auto pair = binding.cast<py::tuple>();
          out = out.bind(variable_from_py(pair[0]), symbols_from_py(pair[1]));
        }
        common::mutable_record_of<PrefixSubstitution>(self) = std::move(out);
      },
      py::name("restore_state"), py::is_method(cls));
  common::freeze(cls);
}

}  // namespace

PYBIND11_MODULE(prefix, m) {
  m.doc() = "World prefixes, prefix substitutions, prefix unification and admissibility.";
  common::refuse_bare_new();
  // The error classes, their translation and the interrupt check of long searches.
  py::module_::import("core.exceptions");
  bind_symbols(m);
  bind_prefix(m);
  bind_substitution(m);
  m.def(
      "unify_prefixes",
      [](py::handle left, py::handle right, py::handle subst) {
        const Prefix& l = prefix_from_py(left, "left");
        const Prefix& r = prefix_from_py(right, "right");
        const PrefixSubstitution& s = subst_from_py(subst);
        std::vector<PrefixSubstitution> out;
        {
          py::gil_scoped_release released;
          out = unify_prefixes(l, r, s);
        }
        return out;
      },
      py::arg("left"), py::arg("right"), py::arg("subst"),
      "Every most general extension of subst that makes the two prefixes equal, as a list.");
  m.def(
      "is_admissible",
      [](py::handle tree, py::handle subst) { return is_admissible(order_from_py(tree), subst_from_py(subst)); },
      py::arg("tree"), py::arg("subst"),
      "Whether the tree order of the symbols and the order the substitution induces form no cycle.");
  common::refuse_none_self(m);
}
