// constructive.tableau: the labelled tableau prover for intuitionistic
// propositional logic, with its Kripke countermodels.
//
// The search runs in the engine on engine nodes.  The derivation tree that
// Python sees is made of `TableauNode` records built once the search is over:
// mutable records whose `children` is a real list, so that callers can read
// and grow trees of their own.  The tree's renderings read such a tree back
// into engine nodes and render those.
#include "common/bindings.hpp"
#include "common/records.hpp"
#include "common/settings.hpp"

#include <limits>

#include "constructive/tableau.hpp"
#include "constructive/worlds.hpp"
#include "core/interrupt.hpp"
#include "core/parser.hpp"

namespace py = pybind11;
using namespace constructive;

namespace {

// ---------------------------------------------------------------------------
// Sign
// ---------------------------------------------------------------------------
py::handle g_sign;  // the Sign enum class, owned by the module

py::object sign_to_py(Sign s) { return g_sign.attr(s == Sign::True ? "TRUE" : "FALSE"); }

Sign sign_from_py(py::handle obj) {
  py::object member = g_sign(obj);  // ValueError for anything but the two members and their values
  return member.attr("value").cast<std::string>() == "T" ? Sign::True : Sign::False;
}

// ---------------------------------------------------------------------------
// Derivation-tree records seen from Python
// ---------------------------------------------------------------------------
struct PyNode {
  std::int64_t id = 0;
  std::optional<SignedFormula> signed_formula;
  std::string rule;
  std::optional<World> world;
  py::list children;
  bool is_closed = false;
  std::optional<std::string> clash_details;

  bool operator==(const PyNode& o) const {
    return id == o.id && signed_formula == o.signed_formula && rule == o.rule && world == o.world &&
           children.equal(o.children) && is_closed == o.is_closed && clash_details == o.clash_details;
  }
};
using PyNodePtr = std::shared_ptr<PyNode>;

// A derivation tree.  A tree that a proof made keeps the engine's nodes
// until `root` is first read; its renderings use them directly, so a report
// of a large proof never builds Python nodes.  From the first read on, the
// Python records are the tree.
struct PyTree {
  std::shared_ptr<const DerivationTree> engine_root;
  PyNodePtr records;
};

struct PyResult {
  bool is_valid = false;
  py::object tree;
  py::object countermodel;
  py::object target;
  py::object premises;

  bool operator==(const PyResult& o) const {
    return is_valid == o.is_valid && tree.equal(o.tree) && countermodel.equal(o.countermodel) &&
           target.equal(o.target) && premises.equal(o.premises);
  }
};

// Appends to `tree` the node of a record and (when asked) its subtree
// (recursive: a cycle or a very deep tree raises RecursionError).
NodeIndex add_record(DerivationTree& tree, const PyNode& n, bool with_children) {
  core::RecursionGuard guard;
  NodeIndex out = tree.add_node(n.id, n.signed_formula, n.rule, n.world);
  tree.node(out).is_closed = n.is_closed;
  tree.set_clash_details(out, n.clash_details);
  if (!with_children) return out;
  for (auto child : n.children) {
    if (!py::isinstance<PyNode>(child))
      throw core::TypeError("children of a TableauNode must be TableauNode objects, got " +
                            common::class_text(child));
    tree.add_child(out, add_record(tree, *child.cast<PyNodePtr>(), true));
  }
  return out;
}

// An engine tree from a Python tree; its root is the record.
std::unique_ptr<DerivationTree> to_engine(const PyNode& n, bool with_children = true,
                                          std::shared_ptr<core::Bank> bank = std::make_shared<core::Bank>()) {
  auto tree = std::make_unique<DerivationTree>(std::move(bank));
  add_record(*tree, n, with_children);
  return tree;
}

PyNodePtr node_record(const DerivationTree& tree, NodeIndex n) {
  auto out = std::make_shared<PyNode>();
  out->id = tree.node(n).id;
  out->signed_formula = tree.signed_formula(n);
  out->rule = tree.rule(n);
  out->world = tree.world(n);
  out->is_closed = tree.node(n).is_closed;
  if (const std::string* clash = tree.clash_details(n)) out->clash_details = *clash;
  return out;
}

// Appends records of the engine node's children (and their subtrees) to a
// Python node.  Iterative, so that any tree the search made converts.
void append_records(PyNode& parent, const DerivationTree& tree, NodeIndex engine_parent) {
  std::vector<std::pair<PyNode*, NodeIndex>> stack{{&parent, engine_parent}};
  core::InterruptPoller poller;
  while (!stack.empty()) {
    poller.poll();
    auto [py_node, node] = stack.back();
    stack.pop_back();
    tree.for_each_child(node, [&, py_node = py_node](NodeIndex child) {
      PyNodePtr record = node_record(tree, child);
      py_node->children.append(py::cast(record));
      stack.emplace_back(record.get(), child);
    });
  }
}

PyNodePtr to_records(const DerivationTree& tree) {
  PyNodePtr out = node_record(tree, DerivationTree::root());
  append_records(*out, tree, DerivationTree::root());
  return out;
}

py::dict node_dict(const DerivationTree& tree, NodeIndex n) {
  core::RecursionGuard guard;
  py::dict d;
  d["id"] = tree.node(n).id;
  auto sf = tree.signed_formula(n);
  d["signed_formula"] = sf ? py::object(py::str(sf->to_string())) : py::none();
  d["rule"] = tree.rule(n);
  auto world = tree.world(n);
  d["world"] = world ? py::object(py::str(world->name)) : py::none();
  d["is_closed"] = tree.node(n).is_closed;
  const std::string* clash = tree.clash_details(n);
  d["clash_details"] = clash ? py::object(py::str(*clash)) : py::none();
  py::list children;
  tree.for_each_child(n, [&](NodeIndex child) { children.append(node_dict(tree, child)); });
  d["children"] = children;
  return d;
}

py::dict tree_dict(const DerivationTree& tree) {
  py::dict d;
  d["is_closed"] = tree.node(DerivationTree::root()).is_closed;
  d["depth"] = tree_depth(tree);
  d["size"] = tree_size(tree);
  d["tree"] = node_dict(tree, DerivationTree::root());
  return d;
}

std::string tree_text(const DerivationTree& tree) { return node_text(tree, DerivationTree::root()); }

PyNodePtr tree_root(PyTree& t) {
  if (t.engine_root) {
    t.records = to_records(*t.engine_root);
    t.engine_root.reset();
  }
  return t.records;
}

// Calls `render` with the tree's engine nodes, read back from the Python
// records when the caller has seen them.
template <typename Render>
auto with_engine_tree(const PyTree& t, Render render) {
  if (t.engine_root) return render(*t.engine_root);
  auto tree = to_engine(*t.records);
  return render(*tree);
}

// ---------------------------------------------------------------------------
// Reading a result's fields for its renderings
// ---------------------------------------------------------------------------
const PyTree& tree_of(const py::object& tree) {
  if (!py::isinstance<PyTree>(tree))
    throw core::TypeError("tree must be a TableauProofTree, got " + common::class_text(tree));
  return tree.cast<const PyTree&>();
}

// The countermodel's text, through its own to_string; absent when there is none.
std::optional<std::string> model_text(const py::object& model) {
  if (model.is_none()) return std::nullopt;
  if (!py::isinstance(model, py::module_::import("constructive.kripke").attr("KripkeModel")))
    throw core::TypeError("countermodel must be a KripkeModel, got " + common::class_text(model));
  return py::str(model.attr("to_string")()).cast<std::string>();
}

py::object text_or_none(const py::object& formula) {
  if (formula.is_none()) return py::none();
  return py::str(core::to_string(*common::to_node(formula)));
}

std::string result_text(const PyResult& r) {
  auto model = model_text(r.countermodel);
  core::NodePtr target = r.target.is_none() ? nullptr : common::to_node(r.target);
  auto premises = common::formulas_or_none_from_py(r.premises);
  return with_engine_tree(tree_of(r.tree), [&](const DerivationTree& tree) {
    return result_report(r.is_valid, &tree, model, target, premises);
  });
}

py::dict result_dict(const PyResult& r) {
  py::dict d;
  d["is_valid"] = r.is_valid;
  d["target"] = text_or_none(r.target);
  py::list premises;
  for (const auto& p : common::formulas_or_none_from_py(r.premises)) premises.append(core::to_string(*p));
  d["premises"] = premises;
  d["tree"] = with_engine_tree(tree_of(r.tree), tree_dict);
  d["countermodel"] = r.countermodel.is_none() ? py::object(py::none()) : py::object(r.countermodel.attr("to_dict")());
  return d;
}

// ---------------------------------------------------------------------------
// Branch state fields
// ---------------------------------------------------------------------------
py::tuple rule_to_py(const BranchState& s, const RuleInstance& r) {
  const char* name = rule_kind_name(r.rule);
  if (r.successor != kNone) return py::make_tuple(name, s.formula(r.formula), s.world(r.world), s.world(r.successor));
  return py::make_tuple(name, s.formula(r.formula), s.world(r.world));
}

// A rule tuple (name, formula, world[, successor]) as an instance on the state's bank and worlds.
RuleInstance rule_from_py(py::handle obj, BranchState& s) {
  if (!py::isinstance<py::tuple>(obj)) throw core::TypeError("a rule instance must be a tuple, got " + common::class_text(obj));
  auto t = obj.cast<py::tuple>();
  if (t.size() != 3 && t.size() != 4)
    throw core::ValueError("a rule instance has 3 or 4 members, got " + std::to_string(t.size()));
  RuleKind kind;
  std::string name = py::str(t[0]).cast<std::string>();
  if (!py::isinstance<py::str>(t[0]) || !rule_kind_from_name(name, kind))
    throw core::ValueError("Unknown tableau rule: " + name);
  core::NodePtr formula = common::to_node(t[1]);
  World world = worlds::world_from_py(t[2]);
  RuleInstance r{kind, s.formula_id(formula), s.world_index(world)};
  if (t.size() == 4) r.successor = s.world_index(worlds::world_from_py(t[3]));
  return r;
}

// The Python branch state: its five containers, as plain attributes.  The
// operations read them into an engine state, run the engine's operation and
// add what it added back into the same containers, so the caller's edits
// take effect and the containers stay the caller's.
struct PyState {
  py::object worlds, relations, t_formulas, f_formulas, applied_rules;

  bool operator==(const PyState& o) const {
    return worlds.equal(o.worlds) && relations.equal(o.relations) && t_formulas.equal(o.t_formulas) &&
           f_formulas.equal(o.f_formulas) && applied_rules.equal(o.applied_rules);
  }
};

// A given container after its members were checked, or a new empty one.
py::object checked(py::handle given, py::object empty, void (*check)(py::handle)) {
  if (given.is_none()) return empty;
  check(given);
  return py::reinterpret_borrow<py::object>(given);
}

std::shared_ptr<PyState> make_state(py::handle worlds_, py::handle relations, py::handle t_formulas,
                                    py::handle f_formulas, py::handle applied_rules) {
  auto s = std::make_shared<PyState>();
  s->worlds = checked(worlds_, py::list(), [](py::handle v) { worlds::list_from_py(v); });
  s->relations = checked(relations, py::dict(), [](py::handle v) { worlds::relations_from_py(v); });
  s->t_formulas = checked(t_formulas, py::dict(), [](py::handle v) { worlds::formula_map_from_py(v); });
  s->f_formulas = checked(f_formulas, py::dict(), [](py::handle v) { worlds::formula_map_from_py(v); });
  if (applied_rules.is_none()) {
    s->applied_rules = py::set();
  } else {
    BranchState scratch;
    for (auto item : py::iter(applied_rules)) rule_from_py(item, scratch);
    s->applied_rules = py::isinstance<py::set>(applied_rules) ? py::reinterpret_borrow<py::object>(applied_rules)
                                                             : py::object(worlds::new_set(applied_rules));
  }
  return s;
}

// Reads a {World: collection} mapping into per-world entries; `member`
// turns each member of a collection into an id.
template <typename Member>
void read_entries(py::handle mapping, BranchState& s, WorldEntries<IdSet>& entries, Member member) {
  if (!py::isinstance<py::dict>(mapping))
    throw core::TypeError("expected a dict keyed by World, got " + common::class_text(mapping));
  for (auto [key, items] : mapping.cast<py::dict>()) {
    const WorldIndex w = s.world_index(worlds::world_from_py(key, "key"));
    IdSet members;
    for (auto item : py::iter(items)) members.insert(member(item));
    const std::uint32_t slot = entries.contains(w) ? entries.slot(w) : entries.add(w);
    entries.value_at(slot) = std::move(members);
  }
}

// The engine state of a Python branch state, read from its attributes, on `bank`.
BranchState engine_state_of(py::handle state, std::shared_ptr<core::Bank> bank = std::make_shared<core::Bank>()) {
  py::object cls = py::module_::import("constructive.tableau").attr("_BranchState");
  if (!py::isinstance(state, cls))
    throw core::TypeError("state must be a _BranchState, got " + common::class_text(state));
  BranchState s(std::move(bank));
  for (auto item : py::iter(state.attr("worlds"))) s.worlds.push_back(s.world_index(worlds::world_from_py(item)));
  auto world_member = [&s](py::handle w) { return s.world_index(worlds::world_from_py(w)); };
  auto formula_member = [&s](py::handle f) { return s.formula_id(common::to_node(f)); };
  read_entries(state.attr("relations"), s, s.relations, world_member);
  read_entries(state.attr("t_formulas"), s, s.t_formulas, formula_member);
  read_entries(state.attr("f_formulas"), s, s.f_formulas, formula_member);
  for (auto item : py::iter(state.attr("applied_rules"))) s.applied_rules.insert(rule_from_py(item, s));
  return s;
}

// Adds to a Python {World: set} mapping what the engine entries hold beyond it.
template <typename MemberToPy>
void grow_map(py::handle mapping, const BranchState& s, const WorldEntries<IdSet>& entries, MemberToPy member) {
  for (const auto& [w, members] : entries) {
    py::object entry = worlds::entry(mapping, py::cast(s.world(w)));
    for (std::uint32_t m : members) entry.attr("add")(member(m));
  }
}

// A new {World: set} dictionary of engine entries.
template <typename MemberToPy>
py::dict entries_to_py(const BranchState& s, const WorldEntries<IdSet>& entries, MemberToPy member) {
  py::dict out;
  for (const auto& [w, members] : entries) {
    py::set items;
    for (std::uint32_t m : members) items.add(member(m));
    out[py::cast(s.world(w))] = items;
  }
  return out;
}

auto world_to_py(const BranchState& s) {
  return [&s](WorldIndex w) { return py::cast(s.world(w)); };
}
auto formula_to_py(const BranchState& s) {
  return [&s](core::TermId f) { return py::cast(s.formula(f)); };
}

void grow(py::handle state, const BranchState& s) {
  py::object listed = state.attr("worlds");
  for (WorldIndex w : s.worlds) {
    py::object world = py::cast(s.world(w));
    if (!listed.contains(world)) listed.attr("append")(world);
  }
  grow_map(state.attr("relations"), s, s.relations, world_to_py(s));
  grow_map(state.attr("t_formulas"), s, s.t_formulas, formula_to_py(s));
  grow_map(state.attr("f_formulas"), s, s.f_formulas, formula_to_py(s));
  py::object rules = state.attr("applied_rules");
  for (const auto& r : s.applied_rules) rules.attr("add")(rule_to_py(s, r));
}

// Runs an engine operation on the state and keeps what it added.
template <typename Change>
void change_state(py::handle state, Change change) {
  BranchState s = engine_state_of(state);
  change(s);
  grow(state, s);
}

py::object state_to_py(const BranchState& s) {
  auto out = std::make_shared<PyState>();
  py::list listed;
  for (WorldIndex w : s.worlds) listed.append(py::cast(s.world(w)));
  out->worlds = listed;
  out->relations = entries_to_py(s, s.relations, world_to_py(s));
  out->t_formulas = entries_to_py(s, s.t_formulas, formula_to_py(s));
  out->f_formulas = entries_to_py(s, s.f_formulas, formula_to_py(s));
  py::set rules;
  for (const auto& r : s.applied_rules) rules.add(rule_to_py(s, r));
  out->applied_rules = rules;
  return py::cast(out);
}

// A new state with a new list, new dictionaries of new sets and a new set
// of the same worlds, formulas and rule tuples.
py::object copy_state(py::handle state) {
  auto copy_map = [](py::handle mapping) {
    py::dict out;
    for (auto [key, members] : mapping.cast<py::dict>()) out[key] = worlds::new_set(members);
    return out;
  };
  py::object cls = py::module_::import("constructive.tableau").attr("_BranchState");
  return cls(py::arg("worlds") = worlds::new_list(state.attr("worlds")),
             py::arg("relations") = copy_map(state.attr("relations")),
             py::arg("t_formulas") = copy_map(state.attr("t_formulas")),
             py::arg("f_formulas") = copy_map(state.attr("f_formulas")),
             py::arg("applied_rules") = worlds::new_set(state.attr("applied_rules")));
}

// ---------------------------------------------------------------------------
// Proofs
// ---------------------------------------------------------------------------
py::object make_result(TableauResult r, py::handle target, py::tuple premises) {
  PyResult out;
  out.is_valid = r.is_valid;
  out.tree = py::cast(PyTree{std::move(r.tree), nullptr});
  out.countermodel = r.countermodel ? worlds::model_to_py(*r.countermodel) : py::none();
  out.target = py::reinterpret_borrow<py::object>(target);
  out.premises = std::move(premises);
  return py::cast(std::move(out));
}

py::tuple premise_tuple(py::handle premises) {
  if (premises.is_none()) return py::tuple();
  py::list items;
  for (auto item : py::iter(premises)) items.append(item);
  return py::tuple(items);
}

// The search runs on engine values only, so other Python threads run
// meanwhile; Ctrl-C reaches it through the interrupt check.
py::object run_proof(TableauProver& prover, py::handle target, py::handle premises) {
  core::NodePtr goal = common::formula_from_py(target, "target");
  py::tuple given = premise_tuple(premises);
  std::vector<core::NodePtr> hypotheses = common::premises_from_py(given);
  TableauResult r;
  {
    py::gil_scoped_release unlocked;
    r = prover.prove(goal, hypotheses);
  }
  return make_result(std::move(r), target, given);
}

// A new proof through the prover's own `prove`, which a subclass may replace.
py::object own_proof(py::handle prover, py::handle target, py::handle premises) {
  return prover.attr("prove")(py::arg("target") = target, py::arg("premises") = premises);
}

// The engine prover behind `self`, its limits read afresh from the object's
// attributes (a subclass may define them otherwise).  Only the constructor
// raises a limit below 1 to 1; a limit assigned later is stored as it is.
TableauProver& prover_of(py::handle self) {
  TableauProver& prover = self.cast<TableauProver&>();
  prover.set_max_depth(common::count_in_use(self.attr("max_depth"), "max_depth"));
  prover.set_max_worlds(common::count_in_use(self.attr("max_worlds"), "max_worlds"));
  return prover;
}

py::tuple expand_from_py(py::handle self, py::object state, py::handle node_obj, py::handle depth_obj) {
  TableauProver& prover = prover_of(self);
  // The stub tree and the state share one bank: the search's formula ids are the tree's.
  auto bank = std::make_shared<core::Bank>();
  BranchState engine_state = engine_state_of(state, bank);
  if (!py::isinstance<PyNode>(node_obj))
    throw core::TypeError("node must be a TableauNode, got " + common::class_text(node_obj));
  PyNode& node = node_obj.cast<PyNode&>();
  const std::int64_t depth = common::int64_from_py(depth_obj, "depth");
  auto stub = to_engine(node, false, bank);
  const NodeIndex root = DerivationTree::root();
  ExpandResult r = prover.expand_branch(engine_state, *stub, root, depth);
  append_records(node, *stub, root);
  node.is_closed = stub->node(root).is_closed;
  if (const std::string* clash = stub->clash_details(root)) node.clash_details = *clash;
  grow(state, engine_state);
  py::object open = py::none();
  if (r.open_state == &engine_state) {
    open = state;
  } else if (r.owned_open) {
    open = state_to_py(*r.owned_open);
  }
  return py::make_tuple(r.closed, open);
}

// ---------------------------------------------------------------------------
// Class bindings
// ---------------------------------------------------------------------------
void bind_signed_formula(py::module_& m) {
  py::class_<SignedFormula> cls(m, "SignedFormula", "A formula signed true (T) or false (F) at a world.");
  common::bind_record(cls, common::RecordStyle{},
                      common::constructor([](py::handle sign, py::handle formula, py::handle world) {
                        return SignedFormula{sign_from_py(sign), common::to_node(formula),
                                             worlds::world_from_py(world)};
                      }),
                      common::field("sign", [](const SignedFormula& s) { return sign_to_py(s.sign); }),
                      common::field("formula", &SignedFormula::formula), common::field("world", &SignedFormula::world));
  cls.def("to_string", &SignedFormula::to_string, py::arg("notation") = "infix",
          "The text of the signed formula, such as T(P, w0).")
      .def("__str__", [](const SignedFormula& s) { return s.to_string(); });
}

void bind_node(py::module_& m) {
  py::class_<PyNode, PyNodePtr> cls(m, "TableauNode", "A node of a tableau derivation tree.");
  common::bind_record(
      cls, common::RecordStyle{true, false, false},
      common::constructor([](std::int64_t id, std::optional<SignedFormula> signed_formula, std::string rule,
                             std::optional<World> world, std::optional<py::list> children, bool is_closed,
                             std::optional<std::string> clash_details) {
        return std::make_shared<PyNode>(PyNode{id, std::move(signed_formula), std::move(rule), std::move(world),
                                               children ? *children : py::list(), is_closed,
                                               std::move(clash_details)});
      }),
      common::member_field<&PyNode::id>("id"), common::member_field<&PyNode::signed_formula>("signed_formula", py::none()),
      common::member_field<&PyNode::rule>("rule", std::string()), common::member_field<&PyNode::world>("world", py::none()),
      common::member_field<&PyNode::children>("children", py::none()), common::member_field<&PyNode::is_closed>("is_closed", false),
      common::member_field<&PyNode::clash_details>("clash_details", py::none()));
  cls.def("is_leaf", [](const PyNode& n) { return py::len(n.children) == 0; })
      .def(
          "to_string",
          [](const PyNode& n, const std::string& prefix, bool is_last) {
            return node_text(*to_engine(n), DerivationTree::root(), prefix, is_last);
          },
          py::arg("prefix") = "", py::arg("is_last") = true, "The ASCII tree of the node and its subtree.")
      .def("__str__", [](const PyNode& n) { return node_text(*to_engine(n), DerivationTree::root()); })
      .def("to_dict", [](const PyNode& n) { return node_dict(*to_engine(n), DerivationTree::root()); });
}

PyNodePtr checked_root(PyNodePtr root) {
  if (!root) throw core::TypeError("the root of a TableauProofTree must be a TableauNode, got None");
  return root;
}

void bind_tree(py::module_& m) {
  py::class_<PyTree> cls(m, "TableauProofTree", "The derivation tree of one tableau proof.");
  cls.def(py::init([](PyNodePtr root) { return PyTree{nullptr, checked_root(std::move(root))}; }), py::arg("root"))
      .def_property("root", &tree_root,
                    [](PyTree& t, PyNodePtr root) {
                      t.records = checked_root(std::move(root));
                      t.engine_root.reset();
                    })
      .def("is_closed",
           [](const PyTree& t) {
             return t.engine_root ? t.engine_root->node(DerivationTree::root()).is_closed : t.records->is_closed;
           })
      .def("get_depth", [](const PyTree& t) { return with_engine_tree(t, [](const DerivationTree& d) { return tree_depth(d); }); })
      .def("get_size", [](const PyTree& t) { return with_engine_tree(t, [](const DerivationTree& d) { return tree_size(d); }); })
      .def("to_dict", [](const PyTree& t) { return with_engine_tree(t, tree_dict); })
      .def("to_string", [](const PyTree& t) { return with_engine_tree(t, tree_text); })
      .def("__str__", [](const PyTree& t) { return with_engine_tree(t, tree_text); })
      .def("to_latex", [](const PyTree& t) { return with_engine_tree(t, [](const DerivationTree& d) { return tree_latex(d); }); },
           "The tree as LaTeX markup for the forest package.");
  common::bind_rebuilt_from(cls, {"root"});
}

void bind_result(py::module_& m) {
  py::class_<PyResult> cls(m, "TableauProofResult", "The verdict, derivation tree and countermodel of one proof.");
  common::bind_record(cls, common::RecordStyle{true, false, false},
                      common::constructor([](bool is_valid, py::object tree, py::object countermodel, py::object target,
                                             py::object premises) {
                        return PyResult{is_valid, std::move(tree), std::move(countermodel), std::move(target),
                                        std::move(premises)};
                      }),
                      common::member_field<&PyResult::is_valid>("is_valid"), common::member_field<&PyResult::tree>("tree"),
                      common::member_field<&PyResult::countermodel>("countermodel", py::none()),
                      common::member_field<&PyResult::target>("target", py::none()),
                      common::member_field<&PyResult::premises>("premises", py::tuple()));
  cls.def("to_string", &result_text, "The text report.")
      .def("__str__", &result_text)
      .def("to_dict", &result_dict, "The result as plain values.");
}

// The state's operations that add a signed formula at a world.
template <void (BranchState::*Add)(WorldIndex, core::TermId)>
void add_formula_from_py(py::handle self, py::handle w, py::handle f) {
  World world = worlds::world_from_py(w);
  core::NodePtr formula = common::to_node(f);
  change_state(self, [&](BranchState& s) { (s.*Add)(s.world_index(world), s.formula_id(formula)); });
}

void bind_branch_state(py::module_& m) {
  py::class_<PyState, std::shared_ptr<PyState>> cls(
      m, "_BranchState", "Internal container for the state of a single tableau branch.", py::dynamic_attr());
  common::bind_record(cls, common::RecordStyle{true, false, false}, common::constructor(&make_state),
                      common::member_field<&PyState::worlds>("worlds", py::none()),
                      common::member_field<&PyState::relations>("relations", py::none()),
                      common::member_field<&PyState::t_formulas>("t_formulas", py::none()),
                      common::member_field<&PyState::f_formulas>("f_formulas", py::none()),
                      common::member_field<&PyState::applied_rules>("applied_rules", py::none()));
  cls.def(
         "add_world",
         [](py::handle self, py::handle w) {
           World world = worlds::world_from_py(w);
           change_state(self, [&](BranchState& s) { s.add_world(s.world_index(world)); });
         },
         py::arg("world"), "Registers a world in this branch state ensuring reflexivity.")
      .def("add_t_formula", &add_formula_from_py<&BranchState::add_t_formula>, py::arg("world"), py::arg("formula"),
           "Adds a true formula at world and propagates along accessibility relation.")
      .def("add_f_formula", &add_formula_from_py<&BranchState::add_f_formula>, py::arg("world"), py::arg("formula"),
           "Adds a false formula at world.")
      .def(
          "add_relation",
          [](py::handle self, py::handle a, py::handle b) {
            World source = worlds::world_from_py(a, "source"), target = worlds::world_from_py(b, "target");
            change_state(self, [&](BranchState& s) { s.add_relation(s.world_index(source), s.world_index(target)); });
          },
          py::arg("source"), py::arg("target"),
          "Makes target (and every world above it) accessible from source and the worlds below it.")
      .def("copy", &copy_state, "An independent copy of the branch state.");
}

void bind_prover(py::module_& m) {
  py::class_<TableauProver> cls(m, "TableauProver",
                                "Automated Theorem Prover and Countermodel Builder for Intuitionistic Logic.\n\n"
                                "Implements labelled semantic tableaux with explicit Kripke frame semantics.");
  cls.def(py::init([](py::handle max_depth, py::handle max_worlds) {
            return TableauProver(common::count_at_least_one(max_depth, "max_depth"),
                                 common::count_at_least_one(max_worlds, "max_worlds"));
          }),
          py::arg("max_depth") = 100, py::arg("max_worlds") = 50)
      .def_property(
          "max_depth", &TableauProver::max_depth,
          [](TableauProver& p, py::handle v) { p.set_max_depth(common::count_in_use(v, "max_depth")); })
      .def_property(
          "max_worlds", &TableauProver::max_worlds,
          [](TableauProver& p, py::handle v) { p.set_max_worlds(common::count_in_use(v, "max_worlds")); })
      .def_property(
          "_node_counter", [](const TableauProver& p) { return p.node_counter; },
          [](TableauProver& p, py::handle v) { p.node_counter = common::int64_from_py(v, "_node_counter"); })
      .def("_next_node_id", &TableauProver::next_node_id)
      .def(
          "_check_clash",
          [](const TableauProver& p, py::handle s) -> py::object {
            auto clash = p.check_clash(engine_state_of(s));
            if (!clash) return py::none();
            return py::make_tuple(clash->world, clash->formula, clash->message);
          },
          py::arg("state"))
      .def(
          "_extract_countermodel",
          [](const TableauProver& p, py::handle s) { return worlds::model_to_py(*p.extract_countermodel(engine_state_of(s))); },
          py::arg("state"))
      .def(
          "prove", [](py::handle self, py::handle target, py::handle premises) {
            return run_proof(prover_of(self), target, premises);
          },
          py::arg("target"), py::arg("premises") = py::none(),
           "Runs one tableau proof and returns its result.")
      .def("_expand_branch", &expand_from_py, py::arg("state"), py::arg("node"), py::arg("depth"))
      .def(
          "is_valid",
          [](py::object self, py::handle target, py::handle premises) {
            return py::object(own_proof(self, target, premises).attr("is_valid"));
          },
          py::arg("target"), py::arg("premises") = py::none(), "Whether every branch of a new proof closes.")
      .def(
          "countermodel",
          [](py::object self, py::handle target, py::handle premises) {
            return py::object(own_proof(self, target, premises).attr("countermodel"));
          },
          py::arg("target"), py::arg("premises") = py::none(),
          "The verified countermodel of a new proof, or None.");
}

}  // namespace

PYBIND11_MODULE(tableau, m) {
  m.doc() = "Labelled tableau prover for intuitionistic propositional logic with Kripke countermodels.";
  common::refuse_bare_new();
  // Docstrings are the functions' own texts, without a generated signature line.
  py::options options;
  options.disable_function_signatures();
  py::module_::import("core.ast");
  py::module_::import("core.parser");
  py::module_ common = py::module_::import("constructive.common");
  py::module_ kripke = py::module_::import("constructive.kripke");

  m.attr("FALSUM") = common.attr("FALSUM");
  m.attr("VERUM") = common.attr("VERUM");
  g_sign = common::make_string_enum(m, "Sign", "Truth sign of a signed formula.", {{"TRUE", "T"}, {"FALSE", "F"}},
                                    "StrEnum");
  m.attr("World") = kripke.attr("World");
  m.attr("KripkeModel") = kripke.attr("KripkeModel");
  bind_signed_formula(m);
  bind_node(m);
  bind_tree(m);
  bind_result(m);
  bind_branch_state(m);
  bind_prover(m);
  m.def(
      "prove_tableau",
      [](py::handle formula, py::handle premises, py::handle max_depth, py::handle max_worlds) {
        TableauProver prover(common::count_at_least_one(max_depth, "max_depth"),
                             common::count_at_least_one(max_worlds, "max_worlds"));
        return run_proof(prover, formula, premises);
      },
      py::arg("formula"), py::arg("premises") = py::none(), py::arg("max_depth") = 100, py::arg("max_worlds") = 50,
      "Proves the formula from the premises with a new TableauProver.");

  py::list names;
  for (const char* name : {"FALSUM", "VERUM", "Sign", "World", "SignedFormula", "KripkeModel", "TableauNode",
                           "TableauProofTree", "TableauProofResult", "TableauProver", "prove_tableau"})
    names.append(name);
  m.attr("__all__") = names;
  common::refuse_none_self(m);
}
