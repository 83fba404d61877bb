// Conversions between the engine's world containers and Python values,
// shared by constructive.kripke and constructive.tableau.  Include after
// "common/bindings.hpp".  Worlds cross as `World` objects (registered by
// constructive.kripke); sets and dictionaries become new Python objects.
#pragma once

#include <string>
#include <vector>

#include "constructive/kripke.hpp"

namespace worlds {

namespace py = pybind11;
using constructive::World;
using constructive::WorldMap;
using constructive::WorldSet;

inline World world_from_py(py::handle obj, const char* what = "world") {
  if (!py::isinstance<World>(obj))
    throw core::TypeError(std::string(what) + " must be a World, got " + common::class_text(obj));
  return obj.cast<World>();
}

inline py::list list_to_py(const std::vector<World>& items) {
  py::list out;
  for (const World& w : items) out.append(py::cast(w));
  return out;
}

inline std::vector<World> list_from_py(py::handle items) {
  std::vector<World> out;
  for (auto item : py::iter(items)) out.push_back(world_from_py(item));
  return out;
}

inline WorldSet set_from_py(py::handle items) {
  WorldSet out;
  for (auto item : py::iter(items)) out.insert(world_from_py(item));
  return out;
}

inline constructive::FormulaSet formula_set_from_py(py::handle items) {
  constructive::FormulaSet out;
  common::for_each_item(items, [&](py::handle item) { out.insert(common::to_node(item)); });
  return out;
}

// {World: set(...)} from an engine map whose values are sets.
template <typename Set>
py::dict map_to_py(const WorldMap<Set>& map) {
  py::dict out;
  for (const auto& [w, members] : map) out[py::cast(w)] = common::to_py_set(members);
  return out;
}

// A world map from a Python mapping; every value is a collection, read by `convert`.
template <typename Set, typename Convert>
WorldMap<Set> map_from_py(py::handle mapping, Convert convert) {
  WorldMap<Set> out;
  if (!py::isinstance<py::dict>(mapping))
    throw core::TypeError("expected a dict keyed by World, got " + common::class_text(mapping));
  for (auto [key, value] : mapping.cast<py::dict>()) out.set(world_from_py(key, "key"), convert(value));
  return out;
}

inline WorldMap<WorldSet> relations_from_py(py::handle mapping) {
  return map_from_py<WorldSet>(mapping, [](py::handle v) { return set_from_py(v); });
}

inline WorldMap<constructive::FormulaSet> formula_map_from_py(py::handle mapping) {
  return map_from_py<constructive::FormulaSet>(mapping, [](py::handle v) { return formula_set_from_py(v); });
}

// A new Python list of the members of any iterable (py::list(obj) would
// hand back a list itself).
inline py::list new_list(py::handle items) {
  PyObject* out = PySequence_List(items.ptr());
  if (!out) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(out);
}

// A new Python set of the members of any iterable.
inline py::set new_set(py::handle items) {
  PyObject* out = PySet_New(items.ptr());
  if (!out) throw py::error_already_set();
  return py::reinterpret_steal<py::set>(out);
}

// The set at `key` of a dictionary, made empty first when there is none.
inline py::object entry(py::handle mapping, py::handle key) {
  if (!mapping.contains(key)) mapping[key] = py::set();
  return mapping[key];
}

inline py::object entry_or_none(py::handle mapping, py::handle key) {
  return mapping.contains(key) ? py::object(mapping[key]) : py::object(py::none());
}

// A new Python KripkeModel holding the engine model's worlds, order and
// valuations.
inline py::object model_to_py(const constructive::KripkeModel& model) {
  py::object cls = py::module_::import("constructive.kripke").attr("KripkeModel");
  return cls(py::arg("worlds") = list_to_py(model.worlds), py::arg("relations") = map_to_py(model.relations),
             py::arg("valuations") = map_to_py(model.valuations));
}

}  // namespace worlds
