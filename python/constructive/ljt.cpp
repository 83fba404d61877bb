// constructive.ljt: backward proof search in LJT (G4ip) for intuitionistic
// propositional logic, with checkable proof trees rendered as text, LaTeX
// and dictionaries.
//
// The whole search runs in the engine.  Only when a Python subclass or an
// instance replaces `_search` does each premise go back through that
// replacement, so that it sees every sequent of the search.
#include "common/bindings.hpp"
#include "common/records.hpp"
#include "constructive/common.hpp"
#include "constructive/ljt.hpp"

namespace py = pybind11;
using constructive::LJTProofNode;
using constructive::LJTProofNodePtr;
using constructive::LJTProofTree;
using constructive::LJTProver;
using constructive::Sequent;
using constructive::SequentPtr;
using core::NodePtr;

namespace {

template <typename Items>
py::tuple to_py_tuple(const Items& items) {
  py::tuple out(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) out[i] = py::cast(items[i]);
  return out;
}

// A Python object kept by a sequent; released under the interpreter lock,
// whichever thread drops the sequent.
std::shared_ptr<const void> keep_py(py::handle obj) {
  obj.inc_ref();
  return std::shared_ptr<const void>(obj.ptr(), [](const void* p) {
    if (!Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    Py_DECREF(static_cast<PyObject*>(const_cast<void*>(p)));
  });
}

// The antecedents as the caller gave them when that was a tuple, else a new tuple.
py::tuple antecedents_to_py(const Sequent& s) {
  if (s.origin()) return py::reinterpret_borrow<py::tuple>(static_cast<PyObject*>(const_cast<void*>(s.origin().get())));
  return to_py_tuple(s.antecedents());
}

const LJTProofNode& root_of(const LJTProofTree& tree) {
  if (!tree.root) throw core::TypeError("the root of an LJTProofTree must be an LJTProofNode, got None");
  return *tree.root;
}

// The tree, once its root is known to be a node.
const LJTProofTree& rooted(const LJTProofTree& tree) {
  root_of(tree);
  return tree;
}

std::vector<LJTProofNodePtr> premises_from_py(py::handle items) {
  std::vector<LJTProofNodePtr> out;
  for (auto item : py::iter(items)) {
    if (!py::isinstance<LJTProofNode>(item))
      throw core::TypeError("premises must be LJTProofNode objects, got " + common::class_text(item));
    out.push_back(item.cast<LJTProofNodePtr>());
  }
  return out;
}

LJTProofNodePtr search_result_from_py(const py::object& result) {
  if (result.is_none()) return nullptr;
  if (!py::isinstance<LJTProofNode>(result))
    throw core::TypeError("_search must return an LJTProofNode or None, got " + common::class_text(result));
  return result.cast<LJTProofNodePtr>();
}

py::dict node_to_dict(const LJTProofNode& node) {
  core::RecursionGuard guard;
  py::dict d;
  d["sequent"] = node.sequent()->to_string();
  d["rule"] = node.rule();
  py::list premises;
  for (const auto& p : node.premises()) premises.append(node_to_dict(*p));
  d["premises"] = premises;
  return d;
}

py::dict tree_to_dict(const LJTProofTree& tree) {
  py::dict d;
  d["root"] = node_to_dict(root_of(tree));
  d["depth"] = tree.depth();
  d["size"] = tree.size();
  d["is_valid"] = tree.is_valid();
  return d;
}

// LJTProver._search as the class defines it.  The search has been replaced
// when `self._search` is anything but that function bound to `self`: a
// subclass's method or a callable set on the instance.
py::object g_base_search;

bool replaces_search(py::handle self);

// LJTProver.prove as the class defines it; replaced like _search.
py::object g_base_prove;

bool replaces(py::handle self, const char* name, const py::object& base) {
  py::object bound = self.attr(name);
  return !(PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == base.ptr() &&
           PyMethod_GET_SELF(bound.ptr()) == self.ptr());
}

// The engine's search of one sequent, run without the interpreter lock.
py::object search_in_engine(const SequentPtr& seq, LJTProver::Memory memory = LJTProver::Memory::Adaptive) {
  if (!seq) throw core::TypeError("seq must be a Sequent, got None");
  LJTProofNodePtr node;
  {
    py::gil_scoped_release released;
    node = LJTProver().search(seq, nullptr, memory);
  }
  return py::cast(node);
}

bool replaces_search(py::handle self) { return replaces(self, "_search", g_base_search); }

py::object search(py::object self, const SequentPtr& seq) {
  LJTProver prover;
  if (!replaces_search(self)) return search_in_engine(seq);
  if (!seq) throw core::TypeError("seq must be a Sequent, got None");
  auto through_replacement = [&self](const SequentPtr& premise) {
    return search_result_from_py(self.attr("_search")(premise));
  };
  return py::cast(prover.search(seq, through_replacement));
}

SequentPtr initial_sequent(py::handle target, py::handle premises) {
  NodePtr goal = common::formula_from_py(target, "target");
  return LJTProver::initial_sequent(goal, common::premises_from_py(premises));
}

py::object prove(py::object self, py::handle target, py::handle premises) {
  SequentPtr seq = initial_sequent(target, premises);
  LJTProofNodePtr root = search_result_from_py(self.attr("_search")(seq));
  if (!root) return py::none();
  return py::cast(std::make_shared<LJTProofTree>(LJTProofTree{std::move(root)}));
}

// Whether prove finds a derivation.  Where neither prove nor _search is
// replaced, the engine decides without building the derivation.
bool is_provable(py::object self, py::object target, py::object premises) {
  if (replaces(self, "prove", g_base_prove) || replaces_search(self))
    return !self.attr("prove")(py::arg("target") = target, py::arg("premises") = premises).is_none();
  SequentPtr seq = initial_sequent(target, premises);
  py::gil_scoped_release released;
  return LJTProver().decides(seq);
}

// Both records answer False, not NotImplemented, when compared with an
// object of another class, and an instance of a Python subclass compares and
// prints as one of the record's class.
constexpr common::RecordStyle kRecordStyle{.foreign_not_implemented = false, .exact_class = false};

void bind_sequent(py::module_& m) {
  py::class_<Sequent, std::shared_ptr<Sequent>> cls(
      m, "Sequent", "An intuitionistic sequent: ordered antecedent formulas and one succedent.");
  common::bind_record(cls, kRecordStyle, common::constructor([](py::handle antecedents, py::handle succedent) {
                        std::vector<NodePtr> items = common::formulas_from_py(antecedents);
                        return std::make_shared<Sequent>(
                            std::move(items), common::to_node(succedent),
                            PyTuple_Check(antecedents.ptr()) ? keep_py(antecedents) : nullptr);
                      }),
                      common::field("antecedents", &antecedents_to_py, py::tuple()),
                      common::field("succedent", &Sequent::succedent, py::cast(constructive::falsum())));
  cls.def("to_string", &Sequent::to_string, py::arg("notation") = "infix",
          "The sequent as one line: antecedents, ' ==> ' (' \\vdash ' in latex) and the succedent.")
      .def("__str__", [](const Sequent& s) { return s.to_string(); });
}

void bind_proof_node(py::module_& m) {
  py::class_<LJTProofNode, std::shared_ptr<LJTProofNode>> cls(
      m, "LJTProofNode", "One inference of an LJT derivation: a sequent, its rule and the premises' derivations.");
  common::bind_record(
      cls, kRecordStyle, common::constructor([](SequentPtr sequent, std::string rule, py::handle premises) {
        if (!sequent) throw core::TypeError("sequent must be a Sequent, got None");
        return std::make_shared<LJTProofNode>(std::move(sequent), std::move(rule), premises_from_py(premises));
      }),
      common::field("sequent", &LJTProofNode::sequent), common::field("rule", &LJTProofNode::rule),
      common::field(
          "premises", [](const LJTProofNode& n) { return to_py_tuple(n.premises()); }, py::tuple()));
  cls.def("to_dict", &node_to_dict, "The node and its subtree as a dictionary of plain values.");
}

void bind_proof_tree(py::module_& m) {
  py::class_<LJTProofTree, std::shared_ptr<LJTProofTree>> cls(m, "LJTProofTree", py::dynamic_attr(),
                                                              "An LJT derivation, held by its root node.");
  common::bind_rebuilt_from(cls, {"root"});
  cls.def(py::init([](LJTProofNodePtr root) { return std::make_shared<LJTProofTree>(LJTProofTree{std::move(root)}); }),
           py::arg("root"))
      .def_readwrite("root", &LJTProofTree::root)
      .def_property_readonly(
          "depth", [](const LJTProofTree& t) { return rooted(t).depth(); },
          "The height of the derivation (a leaf has depth 1).")
      .def_property_readonly(
          "size", [](const LJTProofTree& t) { return rooted(t).size(); }, "The number of nodes of the derivation.")
      .def(
          "is_valid", [](const LJTProofTree& t) { return rooted(t).is_valid(); },
          "Whether every node is a correct inference of its rule and every leaf an axiom.")
      .def(
          "to_ascii", [](const LJTProofTree& t) { return rooted(t).to_ascii(); },
          "The derivation as an indented text tree, root first.")
      .def(
          "to_latex", [](const LJTProofTree& t) { return rooted(t).to_latex(); },
          "The derivation as a bussproofs prooftree environment.")
      .def("to_dict", &tree_to_dict, "The derivation, its measures and its validity as plain values.")
      .def("__str__", [](const LJTProofTree& t) { return rooted(t).to_ascii(); });
}

void bind_prover(py::module_& m) {
  py::class_<LJTProver, std::shared_ptr<LJTProver>> cls(m, "LJTProver",
                                                         "Backward proof search in LJT with a fixed rule order.");
  cls.def(py::init<>())
      .def("prove", &prove, py::arg("target"), py::arg("premises") = py::none(),
           "The derivation of the target from the premises as an LJTProofTree, or None.")
      .def("is_provable", &is_provable, py::arg("target"), py::arg("premises") = py::none(),
           "Whether prove finds a derivation.")
      .def("_search", &search, py::arg("seq"), "The derivation of one sequent as an LJTProofNode, or None.");
  // The class holds each function wrapped as an instance method; both live
  // as long as the interpreter.
  auto function_of = [&](const char* name) {
    py::object method = cls.attr(name);
    py::object function = PyInstanceMethod_Check(method.ptr())
                              ? py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(method.ptr()))
                              : method;
    function.inc_ref();
    return function;
  };
  g_base_search = function_of("_search");
  g_base_prove = function_of("prove");
}

}  // namespace

PYBIND11_MODULE(ljt, m) {
  m.doc() = "Backward proof search in the contraction-free sequent calculus LJT for intuitionistic logic.";
  common::refuse_bare_new();
  py::module_::import("core.ast");
  py::module_::import("core.parser");
  py::module_ common_module = py::module_::import("constructive.common");

  const char* shared_names[] = {"FALSUM",    "VERUM", "_is_falsum", "_is_verum", "_is_atomic", "normalize_formula",
                                "_formula_weight"};
  py::list public_names;
  for (const char* name : shared_names) {
    m.attr(name) = common_module.attr(name);
    public_names.append(name);
  }

  bind_sequent(m);
  bind_proof_node(m);
  bind_proof_tree(m);
  bind_prover(m);
  m.def(
      "prove_ljt",
      [](py::object formula, py::object premises) {
        py::module_ self = py::module_::import("constructive.ljt");
        return self.attr("LJTProver")().attr("prove")(py::arg("target") = formula, py::arg("premises") = premises);
      },
      py::arg("formula"), py::arg("premises") = py::none(),
      "Proves the formula from the premises with a new LJTProver; an LJTProofTree or None.");

  // For the tests: the plain search, without memory or decision procedure;
  // the search guided by the procedure from the first sequent on; and the
  // clauses the procedure learns on a sequent, as (antecedents, goal).
  m.def(
      "_search_without_memory",
      [](const SequentPtr& seq) { return search_in_engine(seq, LJTProver::Memory::Plain); }, py::arg("seq"));
  m.def(
      "_search_guided", [](const SequentPtr& seq) { return search_in_engine(seq, LJTProver::Memory::Guided); },
      py::arg("seq"));
  m.def(
      "_learned_clauses",
      [](const SequentPtr& seq) {
        if (!seq) throw core::TypeError("seq must be a Sequent, got None");
        std::vector<std::pair<std::vector<NodePtr>, NodePtr>> clauses;
        {
          py::gil_scoped_release released;
          clauses = LJTProver::learned_clauses(seq);
        }
        py::list out;
        for (const auto& [premises, conclusion] : clauses) out.append(py::make_tuple(to_py_tuple(premises), conclusion));
        return out;
      },
      py::arg("seq"));

  for (const char* name : {"Sequent", "LJTProofNode", "LJTProofTree", "LJTProver", "prove_ljt"})
    public_names.append(name);
  m.attr("__all__") = public_names;
  common::refuse_none_self(m);
}
