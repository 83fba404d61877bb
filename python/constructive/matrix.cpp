// constructive.matrix: position types, positions, the polar formula tree of
// the matrix method with its prefixes and symbol order, its paths, and
// connections.
//
// The engine builds the tree; the Python face mirrors it once, as Position
// records in real lists and a real dict (tree.positions, tree.leaves,
// tree.tree_order), which callers read and may change.  The internal
// operations (_decompose and the counters) work on the engine tree and
// update these lists and the dict.  get_paths walks the Python positions
// from tree.root, so a tree that a caller rearranged gives its own paths.
//
// Positions link to each other both ways (parent and children); they take
// part in the interpreter's garbage collection, so such cycles are freed.
#include "common/bindings.hpp"
#include "common/records.hpp"
#include "common/settings.hpp"

#include <array>
#include <limits>

#include "constructive/common.hpp"
#include "constructive/formula_tree.hpp"
#include "constructive/prefix_values.hpp"
#include "core/parser.hpp"

namespace py = pybind11;
using namespace constructive;
using formula_tree::PyFormulaTree;
using formula_tree::PyPosition;

namespace {

py::handle g_position_type;  // the PositionType enum class, owned by the module

py::object type_member(PositionType t) { return g_position_type.attr(position_type_name(t)); }

// The position type of any value: a member of PositionType or its string.
std::optional<PositionType> type_from_py(py::handle value) {
  if (!py::isinstance<py::str>(value)) return std::nullopt;
  std::string name = py::str(value).cast<std::string>();
  for (auto t : {PositionType::ALPHA, PositionType::BETA, PositionType::PHI, PositionType::PSI, PositionType::ATOM})
    if (name == position_type_name(t)) return t;
  return std::nullopt;
}

PyPosition& position_of(py::handle obj, const char* what = "a position") {
  if (!py::isinstance<PyPosition>(obj))
    throw core::TypeError(std::string(what) + " must be a Position, got " + common::class_text(obj));
  return obj.cast<PyPosition&>();
}

// ---------------------------------------------------------------------------
// Position
// ---------------------------------------------------------------------------
bool is_leaf(const PyPosition& p) { return type_from_py(p.pos_type) == PositionType::ATOM; }

std::string position_text(const PyPosition& p) {
  std::string atom;
  if (py::isinstance<core::Node>(p.formula) && is_falsum(*p.formula.cast<core::NodePtr>()))
    atom = "_bot";
  else
    atom = core::to_string(*common::to_node(p.formula));
  return atom + "^" + py::str(p.polarity).cast<std::string>() + ":" + py::str(p.prefix).cast<std::string>();
}

// Children compare member by member by identity: following the links would
// run around the parent-child cycles.
bool same_links(const py::object& a, const py::object& b) {
  if (a.is(b)) return true;
  bool seq_a = py::isinstance<py::tuple>(a) || py::isinstance<py::list>(a);
  bool seq_b = py::isinstance<py::tuple>(b) || py::isinstance<py::list>(b);
  if (!seq_a || !seq_b) return false;
  py::sequence sa = a, sb = b;
  if (py::len(sa) != py::len(sb)) return false;
  for (std::size_t i = 0; i < py::len(sa); ++i)
    if (!sa[i].is(sb[i])) return false;
  return true;
}

}  // namespace

bool formula_tree::PyPosition::operator==(const PyPosition& b) const {
  const PyPosition& a = *this;
  if (&a == &b) return true;
  return a.id.equal(b.id) && a.formula.equal(b.formula) && a.polarity.equal(b.polarity) &&
         a.pos_type.equal(b.pos_type) && a.prefix.equal(b.prefix) && a.parent.is(b.parent) &&
         same_links(a.children, b.children) && a.symbol.equal(b.symbol);
}

namespace {

std::string link_repr(const py::object& link) {
  if (py::isinstance<PyPosition>(link))
    return "<Position " + py::repr(link.cast<const PyPosition&>().id).cast<std::string>() + ">";
  return py::repr(link).cast<std::string>();
}

std::string position_repr(const PyPosition& p) {
  std::string children;
  if (py::isinstance<py::tuple>(p.children) || py::isinstance<py::list>(p.children)) {
    bool tuple = py::isinstance<py::tuple>(p.children);
    py::sequence items = p.children;
    children = tuple ? "(" : "[";
    for (std::size_t i = 0; i < py::len(items); ++i) {
      if (i) children += ", ";
      children += link_repr(items[i]);
    }
    if (tuple && py::len(items) == 1) children += ",";
    children += tuple ? ")" : "]";
  } else {
    children = link_repr(p.children);
  }
  auto r = [](const py::object& o) { return py::repr(o).cast<std::string>(); };
  return "Position(id=" + r(p.id) + ", formula=" + r(p.formula) + ", polarity=" + r(p.polarity) +
         ", pos_type=" + r(p.pos_type) + ", prefix=" + r(p.prefix) + ", parent=" + link_repr(p.parent) +
         ", children=" + children + ", symbol=" + r(p.symbol) + ")";
}

// Lets the garbage collector see (and break) the Python references that a
// record holds: Fields lists its py::object members.
template <typename Record, typename Fields>
void gc_setup(PyHeapTypeObject* heap_type) {
  auto* type = &heap_type->ht_type;
  type->tp_flags |= Py_TPFLAGS_HAVE_GC;
  type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
    Py_VISIT(Py_TYPE(self));
    auto vh = reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder();
    if (!vh.holder_constructed()) return 0;
    for (py::object* field : Fields{}(*vh.value_ptr<Record>())) Py_VISIT(field->ptr());
    return 0;
  };
  type->tp_clear = [](PyObject* self) -> int {
    auto vh = reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder();
    if (!vh.holder_constructed()) return 0;
    for (py::object* field : Fields{}(*vh.value_ptr<Record>())) *field = py::none();
    return 0;
  };
}

struct PositionFields {
  std::array<py::object*, 8> operator()(PyPosition& p) const {
    return {&p.id, &p.formula, &p.polarity, &p.pos_type, &p.prefix, &p.parent, &p.children, &p.symbol};
  }
};

struct TreeFields {
  std::array<py::object*, 7> operator()(PyFormulaTree& t) const {
    return {&t.target, &t.premises, &t.multiplicity, &t.positions, &t.leaves, &t.tree_order, &t.root};
  }
};

template <py::object PyPosition::*Member>
auto position_field(const char* name) {
  return common::mutable_field(name, Member, [](PyPosition& p, py::handle v) {
    p.*Member = py::reinterpret_borrow<py::object>(v);
  });
}

template <py::object PyPosition::*Member>
auto position_field(const char* name, py::object default_value) {
  return common::mutable_field(
      name, Member, [](PyPosition& p, py::handle v) { p.*Member = py::reinterpret_borrow<py::object>(v); },
      std::move(default_value));
}

void bind_position(py::module_& m) {
  py::class_<PyPosition> cls(m, "Position", py::custom_type_setup(&gc_setup<PyPosition, PositionFields>),
                             "A node of the formula tree: subformula, polarity, type and world prefix.");
  common::bind_record(
      cls, common::RecordStyle{true, false, false},
      common::constructor([](py::object id, py::object formula, py::object polarity, py::object pos_type,
                             py::object prefix, py::object parent, py::object children, py::object symbol) {
        return PyPosition{std::move(id),     std::move(formula), std::move(polarity), std::move(pos_type),
                          std::move(prefix), std::move(parent),  std::move(children), std::move(symbol)};
      }),
      position_field<&PyPosition::id>("id"), position_field<&PyPosition::formula>("formula"),
      position_field<&PyPosition::polarity>("polarity"), position_field<&PyPosition::pos_type>("pos_type"),
      position_field<&PyPosition::prefix>("prefix"), position_field<&PyPosition::parent>("parent", py::none()),
      position_field<&PyPosition::children>("children", py::tuple()),
      position_field<&PyPosition::symbol>("symbol", py::none()));
  // Linked positions show by id: the record text would run around the links.
  py::delattr(cls, "__repr__");
  cls.def("is_leaf", &is_leaf, "Whether the position is of type ATOM.")
      .def("to_string", &position_text, "The text: atom, '^', polarity, ':', prefix.")
      .def("__str__", &position_text)
      .def("__repr__", &position_repr);
}

// ---------------------------------------------------------------------------
// Connection
// ---------------------------------------------------------------------------
struct PyConnection {
  py::object positive, negative;
  bool operator==(const PyConnection& o) const { return positive.equal(o.positive) && negative.equal(o.negative); }
};

std::string connection_text(const PyConnection& c) {
  return "{" + py::str(c.positive.attr("to_string")()).cast<std::string>() + " <-> " +
         py::str(c.negative.attr("to_string")()).cast<std::string>() + "}";
}

void bind_connection(py::module_& m) {
  py::class_<PyConnection> cls(m, "Connection", "A pair of complementary leaves: polarity 1 and polarity 0.");
  common::bind_record(cls, common::RecordStyle{},
                      common::constructor([](py::object positive, py::object negative) {
                        return PyConnection{std::move(positive), std::move(negative)};
                      }),
                      common::field("positive", &PyConnection::positive),
                      common::field("negative", &PyConnection::negative));
  cls.def("to_string", &connection_text).def("__str__", &connection_text);
}

// ---------------------------------------------------------------------------
// FormulaTree
// ---------------------------------------------------------------------------
FormulaTree& engine_of(PyFormulaTree& t) {
  if (!t.engine) throw core::TypeError("the FormulaTree was not built");
  return *t.engine;
}

py::object symbol_or_none(const std::optional<Symbol>& s) {
  return s ? prefix_values::symbol_to_py(*s) : py::object(py::none());
}

// Brings the Python tree_order up to date with the engine's order.
void sync_order(PyFormulaTree& t) {
  const FormulaTree& engine = engine_of(t);
  py::object order = t.tree_order;
  if (!py::isinstance<py::dict>(order)) return;  // a caller replaced it; leave it alone
  py::dict d = order;
  auto entry = [&](const Symbol& s) -> py::object {
    py::object key = prefix_values::symbol_to_py(s);
    if (!d.contains(key)) d[key] = py::set();
    return d[key];
  };
  const auto& keys = engine.tree_order();
  for (auto it = keys.begin() + static_cast<std::ptrdiff_t>(t.synced_keys); it != keys.end(); ++it) entry(it->first);
  t.synced_keys = keys.size();
  const auto& edges = engine.edge_log();
  for (std::size_t i = t.synced_edges; i < edges.size(); ++i) {
    py::object below = entry(edges[i].first);
    if (py::isinstance<py::set>(below)) below.cast<py::set>().add(prefix_values::symbol_to_py(edges[i].second));
    entry(edges[i].second);
  }
  t.synced_edges = edges.size();
}

// Python positions for the engine positions [first, end), linked among
// themselves; a top position (whose engine parent lies before `first` or
// is none) gets `top_parent`.  Returns the objects by engine index - first.
std::vector<py::object> mirror_positions(const FormulaTree& engine, std::size_t first, py::handle top_parent) {
  std::vector<py::object> out;
  const auto& nodes = engine.nodes();
  out.reserve(nodes.size() - first);
  for (std::size_t i = first; i < nodes.size(); ++i) {
    const MatrixPosition& n = nodes[i];
    PyPosition p{py::int_(n.id),     py::cast(n.formula), py::int_(n.polarity),  type_member(n.type),
                 py::cast(n.prefix), py::none(),          py::tuple(),           symbol_or_none(n.symbol),
                 &engine,            i};
    out.push_back(py::cast(std::move(p)));
  }
  for (std::size_t i = first; i < nodes.size(); ++i) {
    PyPosition& p = out[i - first].cast<PyPosition&>();
    const MatrixPosition& n = nodes[i];
    if (n.parent != MatrixPosition::npos && n.parent >= first)
      p.parent = out[n.parent - first];
    else
      p.parent = py::reinterpret_borrow<py::object>(top_parent);
    if (!n.children.empty()) {
      py::tuple children(n.children.size());
      for (std::size_t k = 0; k < n.children.size(); ++k) children[k] = out[n.children[k] - first];
      p.children = children;
    }
  }
  return out;
}

// Appends the new positions and leaves (engine indices from `first` on) to
// the Python lists, in the engine's order.
void append_lists(PyFormulaTree& t, std::size_t first, std::size_t first_post, std::size_t first_leaf,
                  const std::vector<py::object>& objs) {
  const FormulaTree& engine = engine_of(t);
  py::object positions = t.positions, leaves = t.leaves;
  for (std::size_t k = first_post; k < engine.positions().size(); ++k)
    positions.attr("append")(objs[engine.positions()[k] - first]);
  for (std::size_t k = first_leaf; k < engine.leaves().size(); ++k)
    leaves.attr("append")(objs[engine.leaves()[k] - first]);
}

// The multiplicity is read below 1 as 1.  An int beyond 64 bits is read as
// the largest 64-bit count: a tree with a PHI position refuses that many
// copies, a tree without one does not use it.
PyFormulaTree make_tree(py::handle target, py::handle premises, py::handle multiplicity) {
  PyFormulaTree t;
  core::NodePtr f = common::to_node(target);
  auto given = common::formulas_or_none_from_py(premises);
  std::int64_t m = common::count_at_least_one(multiplicity, "multiplicity");
  t.engine = std::make_shared<FormulaTree>(f, given, m);
  const FormulaTree& engine = *t.engine;
  t.target = py::cast(engine.target());
  py::tuple prem(engine.premises().size());
  for (std::size_t i = 0; i < engine.premises().size(); ++i) prem[i] = py::cast(engine.premises()[i]);
  t.premises = prem;
  // a multiplicity beyond 64 bits is kept as given
  t.multiplicity = m == std::numeric_limits<std::int64_t>::max() ? py::reinterpret_borrow<py::object>(multiplicity)
                                                                 : py::object(py::int_(engine.multiplicity()));
  t.positions = py::list();
  t.leaves = py::list();
  t.tree_order = py::dict();
  auto objs = mirror_positions(engine, 0, py::none());
  append_lists(t, 0, 0, 0, objs);
  sync_order(t);
  t.root = objs[engine.root()];
  return t;
}

py::object decompose_from_py(PyFormulaTree& t, py::handle f, py::handle polarity, py::handle prefix,
                             py::handle parent) {
  FormulaTree& engine = engine_of(t);
  core::NodePtr formula = common::to_node(f);
  std::int64_t pol = common::int64_from_py(polarity, "polarity");
  const Prefix& pre = prefix_values::prefix_from_py(prefix);
  std::size_t engine_parent = MatrixPosition::npos;
  if (!parent.is_none()) {
    const PyPosition& p = position_of(parent, "parent");
    if (p.engine_tree == &engine) engine_parent = p.engine_index;
  }
  std::size_t first = engine.nodes().size(), first_post = engine.positions().size(),
              first_leaf = engine.leaves().size();
  std::size_t index = engine.decompose(formula, pol, pre, engine_parent);
  auto objs = mirror_positions(engine, first, parent);
  append_lists(t, first, first_post, first_leaf, objs);
  sync_order(t);
  return objs[index - first];
}

// Paths over the Python positions.
struct PythonView {
  std::optional<PositionType> type(py::handle p) const { return type_from_py(position_of(p).pos_type); }
  std::size_t child_count(py::handle p) const { return py::len(position_of(p).children); }
  py::handle child(py::handle p, std::size_t i) const {
    const py::object& children = position_of(p).children;
    if (py::isinstance<py::tuple>(children)) return PyTuple_GET_ITEM(children.ptr(), static_cast<py::ssize_t>(i));
    if (py::isinstance<py::list>(children)) return PyList_GET_ITEM(children.ptr(), static_cast<py::ssize_t>(i));
    throw core::TypeError("the children of a position must be a tuple, got " + common::class_text(children));
  }
};

py::list get_paths(const PyFormulaTree& t) {
  const py::object& root = t.root;
  position_of(root, "the root of a formula tree");
  auto paths = collect_paths(PythonView{}, py::handle(root));
  py::list out;
  for (const auto& path : paths) {
    py::list items;
    for (const auto& p : path) items.append(p);
    out.append(items);
  }
  return out;
}

template <std::int64_t FormulaTree::*Counter>
void bind_counter(py::class_<PyFormulaTree>& cls, const char* name) {
  cls.def_property(
      name, [](PyFormulaTree& t) { return engine_of(t).*Counter; },
      [name](PyFormulaTree& t, py::handle v) { engine_of(t).*Counter = common::int64_from_py(v, name); });
}

void bind_tree(py::module_& m) {
  py::class_<PyFormulaTree> cls(m, "FormulaTree", py::custom_type_setup(&gc_setup<PyFormulaTree, TreeFields>),
                                "The polar formula tree of a target and its premises, with prefixes and symbol order.");
  cls.def(py::init(&make_tree), py::arg("target"), py::arg("premises") = py::none(), py::arg("multiplicity") = 1)
      .def_readwrite("target", &PyFormulaTree::target)
      .def_readwrite("premises", &PyFormulaTree::premises)
      .def_readwrite("multiplicity", &PyFormulaTree::multiplicity)
      .def_readwrite("positions", &PyFormulaTree::positions)
      .def_readwrite("leaves", &PyFormulaTree::leaves)
      .def_readwrite("tree_order", &PyFormulaTree::tree_order);
  bind_counter<&FormulaTree::counter>(cls, "_counter");
  bind_counter<&FormulaTree::const_counter>(cls, "_const_counter");
  bind_counter<&FormulaTree::var_counter>(cls, "_var_counter");
  cls.def_readwrite("root", &PyFormulaTree::root)
      .def("get_paths", &get_paths, "The paths through the matrix: lists of leaf positions, in order.")
      .def("_next_id", [](PyFormulaTree& t) { return engine_of(t).next_id(); })
      .def("_next_constant",
           [](PyFormulaTree& t) {
             Symbol s = engine_of(t).next_constant();
             sync_order(t);
             return prefix_values::symbol_to_py(s);
           })
      .def("_next_variable",
           [](PyFormulaTree& t) {
             Symbol s = engine_of(t).next_variable();
             sync_order(t);
             return prefix_values::symbol_to_py(s);
           })
      .def(
          "_add_tree_symbol",
          [](PyFormulaTree& t, py::handle sym) {
            engine_of(t).add_tree_symbol(prefix_values::symbol_from_py(sym, "sym"));
            sync_order(t);
            if (py::isinstance<py::dict>(t.tree_order) && !t.tree_order.cast<py::dict>().contains(sym))
              t.tree_order[sym] = py::set();
          },
          py::arg("sym"))
      .def(
          "_add_order_edge",
          [](PyFormulaTree& t, py::handle parent, py::handle child) {
            engine_of(t).add_order_edge(prefix_values::symbol_from_py(parent, "parent"),
                                        prefix_values::symbol_from_py(child, "child"));
            sync_order(t);
          },
          py::arg("parent"), py::arg("child"))
      .def("_decompose", &decompose_from_py, py::arg("f"), py::arg("polarity"), py::arg("prefix"), py::arg("parent"));
}

}  // namespace

PYBIND11_MODULE(matrix, m) {
  m.doc() = "The polar formula tree of the matrix method, its prefixes, symbol order and paths.";
  common::refuse_bare_new();
  py::module_::import("core.ast");
  py::module_::import("core.parser");
  py::module_::import("constructive.common");
  py::module_::import("constructive.prefix");
  g_position_type = common::make_string_enum(m, "PositionType", "The types of positions of the formula tree.",
                                             {{"ALPHA", "ALPHA"}, {"BETA", "BETA"}, {"PHI", "PHI"},
                                              {"PSI", "PSI"}, {"ATOM", "ATOM"}},
                                             "StrEnum");
  bind_position(m);
  bind_tree(m);
  bind_connection(m);
  py::list names;
  for (const char* name : {"PositionType", "Position", "FormulaTree", "Connection"}) names.append(name);
  m.attr("__all__") = names;
  common::refuse_none_self(m);
}
