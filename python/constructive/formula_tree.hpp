// The Python records of the formula tree, shared by the matrix module (which
// binds them) and the resolution module (which reads the engine tree of a
// Python tree).
#pragma once

#include "common/bindings.hpp"
#include "constructive/matrix.hpp"

namespace formula_tree {

namespace py = pybind11;

// A position as Python sees it: a mutable record whose fields hold any
// values (nothing is checked).  A position made by a tree also remembers its
// engine tree and index, so that a later decomposition below it links the
// engine positions as well.
struct PyPosition {
  py::object id, formula, polarity, pos_type, prefix, parent, children, symbol;
  const constructive::FormulaTree* engine_tree = nullptr;
  std::size_t engine_index = constructive::MatrixPosition::npos;
  // Field by field; linked positions (parent, children) by identity.
  bool operator==(const PyPosition& o) const;
};

// A formula tree: the engine tree, plus the Python attributes that callers
// read and change.  `synced_keys` and `synced_edges` say how much of the
// engine's tree order the Python tree_order already shows.
struct PyFormulaTree {
  std::shared_ptr<constructive::FormulaTree> engine;
  py::object target, premises, multiplicity, positions, leaves, tree_order, root;
  std::size_t synced_keys = 0;
  std::size_t synced_edges = 0;
};

}  // namespace formula_tree
