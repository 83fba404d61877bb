// constructive.kripke: worlds and finite Kripke models of intuitionistic
// propositional logic.
//
// `World` is an immutable record.  `KripkeModel` is a plain Python object
// whose attributes `worlds`, `relations` and `valuations` are a list and
// dictionaries of sets that the model owns: edits of them take effect, and
// the operations read the attributes afresh on every call, so a subclass
// that replaces an operation (or an attribute) in the ordinary way is seen
// by the others.  Forcing and the renderings read the containers into an
// engine model for the length of one call.
#include "common/bindings.hpp"
#include "common/records.hpp"
#include "constructive/kripke.hpp"
#include "constructive/worlds.hpp"
#include "core/interrupt.hpp"

namespace py = pybind11;
using constructive::KripkeModel;
using constructive::World;

namespace {

// The Python model: its three containers, as plain attributes.
struct PyModel {
  py::object worlds, relations, valuations;
};

// A dictionary of new sets made from the given collections, the keys (and,
// with `member`, the members) checked.
template <typename Member>
py::dict dict_of_sets(py::handle mapping, Member member) {
  if (!py::isinstance<py::dict>(mapping))
    throw core::TypeError("expected a dict keyed by World, got " + common::class_text(mapping));
  py::dict out;
  for (auto [key, items] : mapping.cast<py::dict>()) {
    worlds::world_from_py(key, "key");
    py::set members;
    for (auto item : py::iter(items)) members.add(member(item));
    out[key] = members;
  }
  return out;
}

std::shared_ptr<PyModel> make_model(py::handle worlds, py::handle relations, py::handle valuations) {
  auto model = std::make_shared<PyModel>();
  py::list listed;
  if (!worlds.is_none())
    for (auto w : py::iter(worlds)) listed.append(worlds::world_from_py(w));
  model->worlds = listed;
  auto world_member = [](py::handle w) {
    worlds::world_from_py(w);
    return py::reinterpret_borrow<py::object>(w);
  };
  auto formula_member = [](py::handle f) {
    common::to_node(f);
    return py::reinterpret_borrow<py::object>(f);
  };
  model->relations = relations.is_none() ? py::dict() : dict_of_sets(relations, world_member);
  model->valuations = valuations.is_none() ? py::dict() : dict_of_sets(valuations, formula_member);
  return model;
}

using worlds::entry;
using worlds::entry_or_none;

void add_world(py::handle self, py::handle world) {
  worlds::world_from_py(world);
  py::object listed = self.attr("worlds");
  if (!listed.contains(world)) listed.attr("append")(world);
  entry(self.attr("relations"), world).attr("add")(world);
  entry(self.attr("valuations"), world);
}

void compute_transitive_closure(py::handle self) {
  py::object listed = self.attr("worlds");
  py::object relations = self.attr("relations");
  for (auto w : worlds::new_list(listed)) entry(relations, w).attr("add")(w);
  core::InterruptPoller poller;
  for (bool changed = true; changed;) {
    changed = false;
    for (auto u : worlds::new_list(listed)) {
      py::object reach = entry_or_none(relations, u);
      if (reach.is_none()) continue;
      for (auto v : worlds::new_list(reach)) {
        py::object next = entry_or_none(relations, v);
        if (next.is_none()) continue;
        for (auto x : worlds::new_list(next)) {
          poller.poll();
          if (!reach.contains(x)) {
            reach.attr("add")(x);
            changed = true;
          }
        }
      }
    }
  }
}

void enforce_monotonicity(py::handle self) {
  py::object listed = self.attr("worlds");
  py::object relations = self.attr("relations");
  py::object valuations = self.attr("valuations");
  core::InterruptPoller poller;
  for (bool changed = true; changed;) {
    changed = false;
    for (auto u : worlds::new_list(listed)) {
      py::object successors = entry_or_none(relations, u);
      py::object below = entry_or_none(valuations, u);
      if (successors.is_none() || below.is_none()) continue;
      for (auto v : worlds::new_list(successors)) {
        if (v.equal(u)) continue;
        for (auto a : worlds::new_list(below)) {
          poller.poll();
          py::object above = entry_or_none(valuations, v);
          if (above.is_none() || !above.contains(a)) {
            entry(valuations, v).attr("add")(a);
            changed = true;
          }
        }
      }
    }
  }
}

void add_relation(py::handle self, py::handle source, py::handle target) {
  worlds::world_from_py(source, "source");
  worlds::world_from_py(target, "target");
  self.attr("add_world")(source);
  self.attr("add_world")(target);
  entry(self.attr("relations"), source).attr("add")(target);
  self.attr("_compute_transitive_closure")();
  self.attr("_enforce_monotonicity")();
}

void add_valuation(py::handle self, py::handle world, py::handle formula) {
  worlds::world_from_py(world);
  common::to_node(formula);
  self.attr("add_world")(world);
  py::object valuations = self.attr("valuations");
  entry(valuations, world).attr("add")(formula);
  for (auto s : py::iter(self.attr("accessible_worlds")(world))) entry(valuations, s).attr("add")(formula);
}

bool is_accessible(py::handle self, py::handle source, py::handle target) {
  worlds::world_from_py(source, "source");
  worlds::world_from_py(target, "target");
  py::object relations = self.attr("relations");
  return relations.contains(source) && py::object(relations[source]).contains(target);
}

py::set accessible_worlds(py::handle self, py::handle world) {
  worlds::world_from_py(world);
  py::object relations = self.attr("relations");
  if (relations.contains(world)) return worlds::new_set(relations[world]);
  py::set alone;
  alone.add(world);
  return alone;
}

// The model of one forcing question or rendering, read from the object's
// containers.  The operations that forcing reaches (evaluate for every
// subformula, accessible_worlds for every successor test) go to a Python
// subclass's replacements when it has them; the class's own operations
// run the engine's.
class Snapshot : public KripkeModel {
 public:
  explicit Snapshot(py::handle self) : self_(self) {
    worlds = worlds::list_from_py(self.attr("worlds"));
    relations = worlds::relations_from_py(self.attr("relations"));
    valuations = worlds::formula_map_from_py(self.attr("valuations"));
    replaced_evaluate_ = replacement("evaluate");
    replaced_accessible_ = replacement("accessible_worlds");
  }

  constructive::WorldSet accessible_worlds(const World& world) const override {
    if (replaced_accessible_) return worlds::set_from_py(replaced_accessible_(world));
    return KripkeModel::accessible_worlds(world);
  }
  // A replacement's result counts by its truth value, as in a Python test.
  bool evaluate(const core::NodePtr& formula, const World& world) const override {
    if (replaced_evaluate_) return py::bool_(replaced_evaluate_(formula, world));
    return KripkeModel::evaluate(formula, world);
  }

 protected:
  bool replaces_evaluate() const override { return static_cast<bool>(replaced_evaluate_); }

 private:
  // The object's operation of that name, or null when it is the class's own.
  py::object replacement(const char* name) const {
    py::object attr = self_.attr(name);
    if (py::isinstance<py::function>(attr) && py::reinterpret_borrow<py::function>(attr).is_cpp_function()) return {};
    return attr;
  }

  py::handle self_;
  py::object replaced_evaluate_, replaced_accessible_;
};

py::dict rows_to_py(const constructive::ModelDict::Rows& rows) {
  py::dict out;
  for (const auto& [name, items] : rows) out[py::str(name)] = py::cast(items);
  return out;
}

py::dict model_dict(py::handle self) {
  constructive::ModelDict d = Snapshot(self).to_dict();
  py::dict out;
  out["worlds"] = py::cast(d.worlds);
  out["relations"] = rows_to_py(d.relations);
  out["valuations"] = rows_to_py(d.valuations);
  return out;
}

void bind_world(py::module_& m) {
  py::class_<World> cls(m, "World", "A world of a Kripke model: an id and a display name.");
  // Ids are 64-bit integers and names strings; anything else is refused.
  common::bind_record(cls, common::RecordStyle{}, common::constructor([](py::handle id, py::handle name) {
                        return World{common::int64_from_py(id, "World id"), common::string_from_py(name, "World name")};
                      }),
                      common::field("id", &World::id), common::field("name", &World::name));
  // The name shows bare, as in the model's renderings.
  py::delattr(cls, "__repr__");
  cls.def("__repr__", &World::repr).def("__str__", [](const World& w) { return w.name; });
}

void bind_model(py::module_& m) {
  py::class_<PyModel, std::shared_ptr<PyModel>> cls(
      m, "KripkeModel", "A finite Kripke model (W, <=, V) with a reflexive, transitive order and monotone valuations.",
      py::dynamic_attr());
  cls.def(py::init(&make_model), py::arg("worlds") = py::none(), py::arg("relations") = py::none(),
          py::arg("valuations") = py::none())
      .def_readwrite("worlds", &PyModel::worlds)
      .def_readwrite("relations", &PyModel::relations)
      .def_readwrite("valuations", &PyModel::valuations)
      .def("add_world", &add_world, py::arg("world"), "Lists the world with its reflexive pair and an empty valuation.")
      .def("add_relation", &add_relation, py::arg("source"), py::arg("target"),
           "Records source <= target and restores reflexivity, transitivity and monotonicity.")
      .def("add_valuation", &add_valuation, py::arg("world"), py::arg("formula"),
           "Makes the formula true at the world and at every world above it.")
      .def("is_accessible", &is_accessible, py::arg("source"), py::arg("target"), "Whether source <= target.")
      .def("accessible_worlds", &accessible_worlds, py::arg("world"),
           "A new set of the worlds accessible from the world (itself alone if it has no entry).")
      .def("_compute_transitive_closure", &compute_transitive_closure)
      .def("_enforce_monotonicity", &enforce_monotonicity)
      .def(
          "evaluate",
          [](py::handle self, py::handle f, py::handle w) {
            core::NodePtr formula = common::to_node(f);
            World world = worlds::world_from_py(w);
            return Snapshot(self).KripkeModel::evaluate(formula, world);
          },
          py::arg("formula"), py::arg("world"), "Whether the world forces the formula.")
      .def("to_dict", &model_dict, "The model as plain values.")
      .def("to_string", [](py::handle self) { return Snapshot(self).to_string(); }, "The model as text.")
      .def("__str__", [](py::object self) { return self.attr("to_string")(); });
  common::bind_rebuilt_from(cls, {"worlds", "relations", "valuations"});
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
  common::refuse_none_self(m);
}
