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

// The model behind a Python subclass of KripkeModel: each operation that
// the others reach goes to the subclass's replacement when it has one.  A
// model of the class itself is a plain KripkeModel and never calls Python.
//
// The lookup also finds a replacement while that replacement runs (forcing
// reaches `evaluate` again from inside the subclass's own `evaluate`), which
// pybind11's own lookup declines; the Python methods of the class therefore
// run the KripkeModel operations themselves, never the replacements.
class PyKripkeModel : public KripkeModel {
 public:
  using KripkeModel::KripkeModel;

  void add_world(const World& world) override {
    if (auto f = replacement("add_world")) f(world);
    else KripkeModel::add_world(world);
  }
  void add_relation(const World& source, const World& target) override {
    if (auto f = replacement("add_relation")) f(source, target);
    else KripkeModel::add_relation(source, target);
  }
  void add_valuation(const World& world, const core::NodePtr& formula) override {
    if (auto f = replacement("add_valuation")) f(world, formula);
    else KripkeModel::add_valuation(world, formula);
  }
  void compute_transitive_closure() override {
    if (auto f = replacement("_compute_transitive_closure")) f();
    else KripkeModel::compute_transitive_closure();
  }
  void enforce_monotonicity() override {
    if (auto f = replacement("_enforce_monotonicity")) f();
    else KripkeModel::enforce_monotonicity();
  }
  constructive::WorldSet accessible_worlds(const World& world) const override {
    if (auto f = replacement("accessible_worlds")) return worlds::set_from_py(f(world));
    return KripkeModel::accessible_worlds(world);
  }
  // The replacement's result counts by its truth value, as in a Python test.
  bool evaluate(const core::NodePtr& formula, const World& world) const override {
    if (auto f = replacement("evaluate")) return py::bool_(f(formula, world));
    return KripkeModel::evaluate(formula, world);
  }

 protected:
  bool replaces_evaluate() const override { return static_cast<bool>(replacement("evaluate")); }

 private:
  // The subclass's attribute of that name, or null when it is still the
  // class's own method.
  py::object replacement(const char* name) const {
    py::handle self = py::detail::get_object_handle(this, py::detail::get_type_info(typeid(KripkeModel)));
    if (!self) return {};
    auto attr = py::reinterpret_borrow<py::function>(py::getattr(self, name));
    if (attr.is_cpp_function()) return {};
    return std::move(attr);
  }
};

template <typename Model>
std::shared_ptr<Model> make_model(py::handle worlds, py::handle relations, py::handle valuations) {
  auto model = std::make_shared<Model>();
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
  // Ids are 64-bit integers and names strings; anything else is refused.
  cls.def(py::init([](py::handle id, py::handle name) {
            return World{common::int64_from_py(id, "World id"), common::string_from_py(name, "World name")};
          }),
          py::arg("id"), py::arg("name"))
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
  py::class_<KripkeModel, PyKripkeModel, std::shared_ptr<KripkeModel>> cls(
      m, "KripkeModel", "A finite Kripke model (W, <=, V) with a reflexive, transitive order and monotone valuations.");
  cls.def(py::init(&make_model<KripkeModel>, &make_model<PyKripkeModel>), py::arg("worlds") = py::none(), py::arg("relations") = py::none(),
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
          "add_world", [](KripkeModel& k, py::handle w) { k.KripkeModel::add_world(worlds::world_from_py(w)); },
          py::arg("world"), "Lists the world with its reflexive pair and an empty valuation.")
      .def(
          "add_relation",
          [](KripkeModel& k, py::handle s, py::handle t) {
            k.KripkeModel::add_relation(worlds::world_from_py(s, "source"), worlds::world_from_py(t, "target"));
          },
          py::arg("source"), py::arg("target"),
          "Records source <= target and restores reflexivity, transitivity and monotonicity.")
      .def(
          "add_valuation",
          [](KripkeModel& k, py::handle w, py::handle f) {
            k.KripkeModel::add_valuation(worlds::world_from_py(w), common::to_node(f));
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
            return common::to_py_set(k.KripkeModel::accessible_worlds(worlds::world_from_py(w)));
          },
          py::arg("world"), "A new set of the worlds accessible from the world (itself alone if it has no entry).")
      .def("_compute_transitive_closure", [](KripkeModel& k) { k.KripkeModel::compute_transitive_closure(); })
      .def("_enforce_monotonicity", [](KripkeModel& k) { k.KripkeModel::enforce_monotonicity(); })
      .def(
          "evaluate",
          [](const KripkeModel& k, py::handle f, py::handle w) {
            return k.KripkeModel::evaluate(common::to_node(f), worlds::world_from_py(w));
          },
          py::arg("formula"), py::arg("world"), "Whether the world forces the formula.")
      .def("to_dict", &model_dict, "The model as plain values.")
      .def("to_string", &KripkeModel::to_string, "The model as text.")
      .def("__str__", [](py::object self) { return self.attr("to_string")(); });
}

}  // namespace

PYBIND11_MODULE(kripke, m) {
  m.doc() = "Finite Kripke models of intuitionistic propositional logic.";
  common::refuse_bare_new();
  py::module_::import("core.ast");
  // The model's renderings print formulas and its forcing recognises falsum
  // and verum: the printer and the shared vocabulary load with it.
  py::module_::import("core.parser");
  py::module_::import("constructive.common");
  bind_world(m);
  bind_model(m);
  py::list names;
  for (const char* name : {"World", "KripkeModel"}) names.append(name);
  m.attr("__all__") = names;
}
