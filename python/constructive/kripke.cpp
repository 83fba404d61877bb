// constructive.kripke: worlds and finite Kripke models of intuitionistic
// propositional logic.
//
// `World` is an immutable record.  `KripkeModel` is a mutable object owned by
// the engine; its attributes `worlds`, `relations` and `valuations` read as
// new Python containers (a list and dictionaries of sets, in insertion
// order), so changing what they return does not change the model, and
// assigning to them replaces the model's data.
#include "common/bindings.hpp"
#include "constructive/kripke.hpp"
#include "constructive/worlds.hpp"

namespace py = pybind11;
using constructive::KripkeModel;
using constructive::World;

namespace {

std::shared_ptr<KripkeModel> make_model(py::handle worlds, py::handle relations, py::handle valuations) {
  auto model = std::make_shared<KripkeModel>();
  if (!worlds.is_none()) model->worlds = worlds::list_from_py(worlds);
  if (!relations.is_none()) model->relations = worlds::relations_from_py(relations);
  if (!valuations.is_none()) model->valuations = worlds::formula_map_from_py(valuations);
  return model;
}

py::dict rows_to_py(const constructive::ModelDict::Rows& rows) {
  py::dict out;
  for (const auto& [name, items] : rows) out[py::str(name)] = py::cast(items);
  return out;
}

py::dict model_dict(const KripkeModel& model) {
  constructive::ModelDict d = model.to_dict();
  py::dict out;
  out["worlds"] = py::cast(d.worlds);
  out["relations"] = rows_to_py(d.relations);
  out["valuations"] = rows_to_py(d.valuations);
  return out;
}

void bind_world(py::module_& m) {
  py::class_<World> cls(m, "World", "A world of a Kripke model: an id and a display name.");
  cls.def(py::init([](std::int64_t id, std::string name) { return World{id, std::move(name)}; }), py::arg("id"),
          py::arg("name"))
      .def_property_readonly("id", [](const World& w) { return w.id; })
      .def_property_readonly("name", [](const World& w) { return w.name; })
      .def("__eq__", [](const World& a, py::handle b) -> py::object {
        if (!py::isinstance<World>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(a == b.cast<World>());
      })
      .def("__hash__", [](const World& w) { return py::hash(py::make_tuple(w.id, w.name)); })
      .def("__str__", [](const World& w) { return w.name; })
      .def("__repr__", &World::repr);
  common::freeze(cls);
}

void bind_model(py::module_& m) {
  py::class_<KripkeModel, std::shared_ptr<KripkeModel>> cls(
      m, "KripkeModel", "A finite Kripke model (W, <=, V) with a reflexive, transitive order and monotone valuations.");
  cls.def(py::init(&make_model), py::arg("worlds") = py::none(), py::arg("relations") = py::none(),
          py::arg("valuations") = py::none())
      .def_property(
          "worlds", [](const KripkeModel& k) { return worlds::list_to_py(k.worlds); },
          [](KripkeModel& k, py::handle v) { k.worlds = worlds::list_from_py(v); })
      .def_property(
          "relations", [](const KripkeModel& k) { return worlds::map_to_py(k.relations); },
          [](KripkeModel& k, py::handle v) { k.relations = worlds::relations_from_py(v); })
      .def_property(
          "valuations", [](const KripkeModel& k) { return worlds::map_to_py(k.valuations); },
          [](KripkeModel& k, py::handle v) { k.valuations = worlds::formula_map_from_py(v); })
      .def(
          "add_world", [](KripkeModel& k, py::handle w) { k.add_world(worlds::world_from_py(w)); },
          py::arg("world"), "Lists the world with its reflexive pair and an empty valuation.")
      .def(
          "add_relation",
          [](KripkeModel& k, py::handle s, py::handle t) {
            k.add_relation(worlds::world_from_py(s, "source"), worlds::world_from_py(t, "target"));
          },
          py::arg("source"), py::arg("target"),
          "Records source <= target and restores reflexivity, transitivity and monotonicity.")
      .def(
          "add_valuation",
          [](KripkeModel& k, py::handle w, py::handle f) {
            k.add_valuation(worlds::world_from_py(w), common::to_node(f));
          },
          py::arg("world"), py::arg("formula"), "Makes the formula true at the world and at every world above it.")
      .def(
          "is_accessible",
          [](const KripkeModel& k, py::handle s, py::handle t) {
            return k.is_accessible(worlds::world_from_py(s, "source"), worlds::world_from_py(t, "target"));
          },
          py::arg("source"), py::arg("target"), "Whether source <= target.")
      .def(
          "accessible_worlds",
          [](const KripkeModel& k, py::handle w) {
            return common::to_py_set(k.accessible_worlds(worlds::world_from_py(w)));
          },
          py::arg("world"), "A new set of the worlds accessible from the world (itself alone if it has no entry).")
      .def("_compute_transitive_closure", &KripkeModel::compute_transitive_closure)
      .def("_enforce_monotonicity", &KripkeModel::enforce_monotonicity)
      .def(
          "evaluate",
          [](const KripkeModel& k, py::handle f, py::handle w) {
            return k.evaluate(common::to_node(f), worlds::world_from_py(w));
          },
          py::arg("formula"), py::arg("world"), "Whether the world forces the formula.")
      .def("to_dict", &model_dict, "The model as plain values.")
      .def("to_string", &KripkeModel::to_string, "The model as text.")
      .def("__str__", &KripkeModel::to_string);
}

}  // namespace

PYBIND11_MODULE(kripke, m) {
  m.doc() = "Finite Kripke models of intuitionistic propositional logic.";
  py::module_::import("core.ast");
  bind_world(m);
  bind_model(m);
  py::list names;
  for (const char* name : {"World", "KripkeModel"}) names.append(name);
  m.attr("__all__") = names;
}
