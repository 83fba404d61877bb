// prover.rules: the clause-level inference rules, the catalogues of named
// rules, and the instantiation of second-order templates.
//
// Resolution, factoring and paramodulation run in the engine on the
// clausifier's clause values, without the interpreter lock; unifiers come
// back as new dicts from Variable to term.  The order of every result
// follows the fixed literal order of the clauses (see prover/rules.hpp).
#include <pybind11/pybind11.h>

#include "common/bindings.hpp"
#include "common/records.hpp"
#include "prover/rules.hpp"
#include "sol/kb_ext.hpp"

namespace py = pybind11;
using core::NodePtr;
using prover::Clause;
using prover::Literal;

namespace {

// ---------------------------------------------------------------------------
// Loading: the names the module takes from its neighbours
// ---------------------------------------------------------------------------

// `from module import name`: ImportError when the module or the name is missing.
py::object import_name(const char* module, const char* name) {
  py::module_ mod = py::module_::import(module);
  if (!py::hasattr(mod, name)) {
    PyErr_SetString(PyExc_ImportError,
                    (std::string("cannot import name '") + name + "' from '" + module + "'").c_str());
    throw py::error_already_set();
  }
  return mod.attr(name);
}

void bind_names(py::module_& m, const char* module, std::initializer_list<const char*> names) {
  for (const char* name : names) m.attr(name) = import_name(module, name);
}

// ---------------------------------------------------------------------------
// Clauses across the boundary
// ---------------------------------------------------------------------------
const Clause& clause_from_py(py::handle obj, const char* what) {
  if (!py::isinstance<Clause>(obj))
    throw core::TypeError(std::string(what) + " must be a Clause, got " + common::class_text(obj));
  return common::record_of<Clause>(obj);
}

py::object clause_to_py(Clause clause) { return py::cast(std::make_shared<Clause>(std::move(clause))); }
py::object literal_to_py(Literal literal) { return py::cast(std::make_shared<Literal>(std::move(literal))); }

py::tuple standardize_py(py::object c1, py::object c2) {
  const Clause& first = clause_from_py(c1, "c1");
  const Clause& second = clause_from_py(c2, "c2");
  core::Substitution renaming = prover::renaming_apart(first, second);
  if (renaming.empty()) return py::make_tuple(c1, c2, py::dict());
  Clause renamed = second.substitute(renaming);
  return py::make_tuple(c1, clause_to_py(std::move(renamed)), common::substitution_to_py(renaming));
}

// Runs a rule without the interpreter lock (it touches no Python object),
// interruptible from the host.
template <typename Rule>
auto without_lock(Rule rule) {
  py::gil_scoped_release released;
  core::InterruptPoller poller;
  return rule(&poller);
}

py::list resolve_py(py::handle c1, py::handle c2) {
  const Clause& first = clause_from_py(c1, "c1");
  const Clause& second = clause_from_py(c2, "c2");
  auto found = without_lock([&](core::InterruptPoller* poller) { return prover::resolve_clauses(first, second, poller); });
  py::list out;
  for (auto& r : found) {
    out.append(py::make_tuple(clause_to_py(std::move(r.clause)), common::substitution_to_py(r.unifier),
                              py::make_tuple(literal_to_py(std::move(r.left)), literal_to_py(std::move(r.right)))));
  }
  return out;
}

py::list factor_py(py::handle c) {
  const Clause& clause = clause_from_py(c, "c");
  auto found = without_lock([&](core::InterruptPoller* poller) { return prover::factor_clause(clause, poller); });
  py::list out;
  for (auto& f : found) out.append(py::make_tuple(clause_to_py(std::move(f.clause)), common::substitution_to_py(f.unifier)));
  return out;
}

py::list paramodulate_py(py::handle c1, py::handle c2) {
  const Clause& first = clause_from_py(c1, "c1");
  const Clause& second = clause_from_py(c2, "c2");
  auto found = without_lock([&](core::InterruptPoller* poller) { return prover::paramodulate(first, second, poller); });
  // The paramodulants of one subterm share one unifier: one dict for them all.
  py::list out;
  const core::Substitution* last = nullptr;
  py::dict unifier;
  for (auto& p : found) {
    if (p.unifier.get() != last) {
      last = p.unifier.get();
      unifier = common::substitution_to_py(*p.unifier);
    }
    out.append(py::make_tuple(clause_to_py(std::move(p.clause)), unifier));
  }
  return out;
}

// ---------------------------------------------------------------------------
// Subterm positions.  Any object is accepted: a value that is no node is a
// leaf of the term functions and has no positions for the atom functions.
// ---------------------------------------------------------------------------
py::list nodes_to_py(const std::vector<NodePtr>& nodes) {
  py::list out;
  for (const NodePtr& n : nodes) out.append(py::cast(n));
  return out;
}

bool is_node(py::handle obj) { return py::isinstance<core::Node>(obj); }

// The replacement as a node.  A value that is no node can stand only where
// the whole argument is replaced; putting it inside a rebuilt node fails as
// the node's constructor would.
NodePtr replacement_node(py::handle replacement) { return common::to_node(replacement); }

py::list extract_subterms_py(py::handle term) {
  if (!is_node(term)) return py::list(py::make_tuple(term));
  return nodes_to_py(prover::extract_subterms(term.cast<NodePtr>()));
}

py::list replace_subterm_py(py::handle term, py::handle target, py::handle replacement) {
  if (!is_node(term)) {
    py::list out;
    if (term.equal(target)) out.append(replacement);
    return out;
  }
  if (!is_node(target)) return py::list();
  NodePtr t = term.cast<NodePtr>();
  NodePtr goal = target.cast<NodePtr>();
  if (is_node(replacement)) return nodes_to_py(prover::replace_subterm(t, goal, replacement.cast<NodePtr>()));
  // Only the whole term can become a value that is no node.
  py::list out;
  if (core::equal(*t, *goal)) out.append(replacement);
  std::vector<NodePtr> occurrences = prover::extract_subterms(t);
  for (std::size_t i = 1; i < occurrences.size(); ++i)
    if (core::equal(*occurrences[i], *goal)) replacement_node(replacement);
  return out;
}

py::list extract_atom_subterms_py(py::handle atom) {
  if (!is_node(atom)) return py::list();
  return nodes_to_py(prover::extract_atom_subterms(atom.cast<NodePtr>()));
}

py::list replace_atom_subterm_py(py::handle atom, py::handle target, py::handle replacement) {
  if (!is_node(atom) || !is_node(target)) return py::list();
  NodePtr a = atom.cast<NodePtr>();
  NodePtr goal = target.cast<NodePtr>();
  if (!is_node(replacement)) {
    for (const NodePtr& s : prover::extract_atom_subterms(a))
      if (core::equal(*s, *goal)) replacement_node(replacement);
    return py::list();
  }
  return nodes_to_py(prover::replace_atom_subterm(a, goal, replacement.cast<NodePtr>()));
}

// ---------------------------------------------------------------------------
// InferenceRule: an immutable record of four fields, any values.  The fields
// are Python objects, so the class takes part in garbage collection: a rule
// whose callable refers back to the rule (SOLInstantiateRule does) is
// reclaimed like any other cycle.
// ---------------------------------------------------------------------------
struct RuleRecord {
  py::object name, description, rule_type, apply;

  py::tuple fields() const { return py::make_tuple(name, description, rule_type, apply); }
  bool operator==(const RuleRecord& other) const { return fields().equal(other.fields()); }
};

struct SOLInstantiateRecord : RuleRecord {};

RuleRecord* record_in(PyObject* self) {
  auto* inst = reinterpret_cast<py::detail::instance*>(self);
  for (auto vh : py::detail::values_and_holders(inst))
    if (vh.holder_constructed()) return vh.value_ptr<RuleRecord>();
  return nullptr;  // made by __new__ alone
}

void collectable(PyHeapTypeObject* heap_type) {
  PyTypeObject* type = &heap_type->ht_type;
  type->tp_flags |= Py_TPFLAGS_HAVE_GC;
  type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
    Py_VISIT(Py_TYPE(self));
    if (RuleRecord* r = record_in(self)) {
      Py_VISIT(r->name.ptr());
      Py_VISIT(r->description.ptr());
      Py_VISIT(r->rule_type.ptr());
      Py_VISIT(r->apply.ptr());
    }
    return 0;
  };
  type->tp_clear = [](PyObject* self) -> int {
    if (RuleRecord* r = record_in(self)) {
      r->name = py::none();
      r->description = py::none();
      r->rule_type = py::none();
      r->apply = py::none();
    }
    return 0;
  };
}

// The record's text, with "..." for the record itself met again inside a
// field (the callable of a SOLInstantiateRule shows its own rule).
std::string rule_text(py::handle self) {
  int entered = Py_ReprEnter(self.ptr());
  if (entered < 0) throw py::error_already_set();
  if (entered > 0) return "...";
  struct Leave {
    PyObject* obj;
    ~Leave() { Py_ReprLeave(obj); }
  } leave{self.ptr()};
  const RuleRecord& r = common::record_of<RuleRecord>(self);
  auto text = [](const py::object& value) { return py::repr(value).cast<std::string>(); };
  return py::type::handle_of(self).attr("__qualname__").cast<std::string>() + "(name=" + text(r.name) +
         ", description=" + text(r.description) + ", rule_type=" + text(r.rule_type) + ", apply=" + text(r.apply) +
         ")";
}

py::object make_rule(py::handle cls, const char* name, const char* description, const char* rule_type,
                     py::object apply) {
  return cls(py::str(name), py::str(description), py::str(rule_type), std::move(apply));
}

// ---------------------------------------------------------------------------
// Catalogues
// ---------------------------------------------------------------------------
py::list resolution_rules(py::module_ m) {
  py::object cls = m.attr("InferenceRule");
  py::list out;
  out.append(make_rule(cls, "BinaryResolution", "Resolve complementary literals", "resolution",
                       m.attr("resolve_clauses")));
  out.append(make_rule(cls, "Factoring", "Merge unifiable literals in same clause", "resolution",
                       m.attr("factor_clause")));
  out.append(make_rule(cls, "Paramodulation", "Equality subterm rewriting", "resolution", m.attr("paramodulate")));
  return out;
}

// A new callable that takes any positional arguments, ignores them and
// returns a new empty list; a keyword argument is refused.
py::object presentation_step() {
  return py::cpp_function(
      [](py::args, py::kwargs kwargs) {
        if (kwargs.size() != 0) {
          std::string key = py::str(kwargs.begin()->first);
          throw core::TypeError("apply() got an unexpected keyword argument '" + key + "'");
        }
        return py::list();
      },
      py::name("apply"));
}

py::list reconstruction_rules(py::module_ m) {
  static const char* const kRules[][2] = {
      {"Axiom", "Premise or hypothesis assumption"},
      {"NegatedGoal", "Clausified negation of target theorem"},
      {"ModusPonens", "A, A \u27F9 B  \u22A2  B"},
      {"UniversalInstantiation", "\u2200x P(x)  \u22A2  P(t)"},
      {"ExistentialIntroduction", "P(t)  \u22A2  \u2203x P(x)"},
      {"AndIntroduction", "A, B  \u22A2  A \u2227 B"},
      {"AndElimination", "A \u2227 B  \u22A2  A (or B)"},
      {"OrIntroduction", "A  \u22A2  A \u2228 B"},
      {"OrElimination", "A \u2228 B, A \u27F9 C, B \u27F9 C  \u22A2  C"},
      {"DoubleNegationElimination", "\u00AC\u00ACA  \u22A2  A"},
      {"Contradiction", "A, \u00ACA  \u22A2  \u22A5"},
      {"ResolutionTraceStep", "CNF trace resolution inference"},
  };
  py::object cls = m.attr("InferenceRule");
  py::list out;
  for (const auto& [name, description] : kRules)
    out.append(make_rule(cls, name, description, "reconstruction", presentation_step()));
  return out;
}

py::object apply_rule_py(py::handle rule, py::handle premises, py::handle context) {
  if (!py::isinstance<py::list>(premises))
    throw core::TypeError("apply_rule() argument 'premises' must be a list, got " + common::class_text(premises));
  py::object mapping_abc = py::module_::import("collections.abc").attr("Mapping");
  if (!context.is_none() && !py::isinstance(context, mapping_abc))
    throw core::TypeError("apply_rule() argument 'context' must be a mapping or None, got " +
                          common::class_text(context));
  py::object apply = rule.attr("apply");
  py::tuple args(py::reinterpret_borrow<py::list>(premises));
  py::object result;
  if (!context.is_none() && py::len(context) > 0) {
    py::dict kwargs(py::reinterpret_borrow<py::object>(context));
    result = py::reinterpret_steal<py::object>(PyObject_Call(apply.ptr(), args.ptr(), kwargs.ptr()));
  } else {
    result = py::reinterpret_steal<py::object>(PyObject_Call(apply.ptr(), args.ptr(), nullptr));
  }
  if (!result) throw py::error_already_set();
  if (!result.is_none() && !py::isinstance<py::list>(result))
    throw core::TypeError("a rule must return a list, got " + common::class_text(result));
  return result;
}

// ---------------------------------------------------------------------------
// Second-order template instantiation: the steps are the engine's
// (prover::instantiate_template); the operations are the callables that the
// modules hold when the call starts, so that a replaced one is used.
// ---------------------------------------------------------------------------
bool holds(py::handle subst, py::handle key) {
  if (!common::truth_of(subst)) return false;
  int found = PySequence_Contains(subst.ptr(), key.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

struct PythonTemplateHost {
  using Formula = py::object;
  using Match = py::object;
  using Predicate = py::object;

  // Bound afresh on every call, before anything else: a missing module or
  // name fails every call with ImportError.
  py::object forall_pred = import_name("sol.ast_ext", "ForallPred");
  py::object exists_pred = import_name("sol.ast_ext", "ExistsPred");                // bound, not used
  py::object predicate_variable = import_name("sol.ast_ext", "PredicateVariable");  // bound, not used
  py::object ho_pattern_unify = import_name("sol.substitutions_ext", "ho_pattern_unify");
  py::object substitute_predicate = import_name("sol.substitutions_ext", "substitute_predicate");
  py::object instantiate_induction = import_name("sol.kb_ext", "instantiate_induction");
  py::object to_cnf = import_name("prover.clausifier", "to_cnf");
  py::module_ ast = py::module_::import("core.ast");
  py::object signature;

  py::list no_clauses() const { return py::list(); }
  bool is_template(const py::object& f) const { return py::isinstance(f, forall_pred); }
  py::object template_variable(const py::object& f) const { return f.attr("variable"); }
  py::object template_body(const py::object& f) const { return f.attr("body"); }
  bool is_implication(const py::object& f) const { return py::isinstance(f, ast.attr("Implies")); }
  py::object consequent(const py::object& f) const { return f.attr("right"); }
  bool is_universal(const py::object& f) const { return py::isinstance(f, ast.attr("Forall")); }
  const core::Quantifier& quantifier(const py::object& f) const {
    return core::as<core::Quantifier>(*f.cast<NodePtr>());  // the node lives as long as `f`
  }
  py::object match(const py::object& pattern, const py::object& target) const { return ho_pattern_unify(pattern, target); }
  py::object match_under(const NodePtr& pattern, const NodePtr& target, const core::VariablePtr& bound) const {
    py::set bound_vars;
    bound_vars.add(py::cast(bound));
    return ho_pattern_unify(pattern, target, py::arg("bound_vars") = bound_vars);
  }
  bool solves(const py::object& m, const py::object& variable) const { return holds(m, variable); }
  py::object solution(const py::object& m, const py::object& variable) const { return m[variable]; }
  // A pair (parameters, predicate): the unifier's own when it gives a
  // tuple, else `bound` alone with the value it gives.
  py::object solution_under(const py::object& m, const py::object& variable, const core::VariablePtr& bound) const {
    py::object value = m[variable];
    if (py::isinstance<py::tuple>(value)) return py::make_tuple(value[py::int_(0)], value[py::int_(1)]);
    return py::make_tuple(py::make_tuple(py::cast(bound)), value);
  }
  py::object substitute(const py::object& body, const py::object& variable, const py::object& predicate) const {
    py::dict mapping;
    mapping[variable] = predicate;
    return substitute_predicate(body, mapping);
  }
  // Only the induction schema itself licenses its instances.
  bool is_induction_schema(const py::object& f) const {
    return py::isinstance<core::Node>(f) && sol::is_induction_schema(*f.cast<NodePtr>());
  }
  py::object induction_instance(const py::object& goal) const {
    return instantiate_induction(goal.attr("body"), goal.attr("variable"));
  }
  void clausify(const py::object& f, py::list& out) const {
    for (auto clause : to_cnf(f, py::arg("signature") = signature)) out.append(clause);
  }
};

py::list match_and_instantiate(py::handle, py::object sol_axiom, py::object target_goal, py::object signature) {
  PythonTemplateHost host;
  host.signature = std::move(signature);
  return prover::instantiate_template(host, sol_axiom, target_goal);
}

}  // namespace

PYBIND11_MODULE(rules, m) {
  m.doc() = "Inference rules on clauses (resolution, factoring, paramodulation), the catalogues of named rules, and "
            "the instantiation of second-order templates.";
  bind_names(m, "core.ast",
             {"Term", "Variable", "FunctionApp", "Formula", "PredicateApp", "Equality", "Not", "And", "Or", "Implies",
              "Iff", "Forall", "Exists", "free_variables"});
  bind_names(m, "core.substitutions",
             {"unify_formulas", "unify_terms", "UnificationError", "substitute_formula", "substitute_term"});
  bind_names(m, "prover.clausifier", {"Clause", "Literal"});

  py::class_<RuleRecord> rule(m, "InferenceRule", py::custom_type_setup(&collectable),
                              "A named inference rule: its name, a one-line description, the catalogue it belongs "
                              "to and the callable that performs it.");
  common::bind_record(rule, common::RecordStyle{},
                      common::constructor([](py::object name, py::object description, py::object rule_type,
                                             py::object apply) {
                        return RuleRecord{std::move(name), std::move(description), std::move(rule_type),
                                          std::move(apply)};
                      }),
                      common::field("name", &RuleRecord::name), common::field("description", &RuleRecord::description),
                      common::field("rule_type", &RuleRecord::rule_type), common::field("apply", &RuleRecord::apply));
  rule.attr("__repr__") = py::cpp_function(&rule_text, py::name("__repr__"), py::is_method(rule));

  m.def("standardize_clause_variables", &standardize_py, py::arg("c1"), py::arg("c2"),
        "(c1, c2', renaming): c2 with every variable renamed above every id of both clauses, when both have "
        "variables; otherwise (c1, c2, {}).");
  m.def("resolve_clauses", &resolve_py, py::arg("c1"), py::arg("c2"),
        "Every distinct binary resolvent of c1 and c2 (renamed apart), as (resolvent, unifier, (l1, l2)).");
  m.def("factor_clause", &factor_py, py::arg("c"),
        "Every distinct factor of c that merges literals, as (factor, unifier).");
  m.def("extract_subterms", &extract_subterms_py, py::arg("term"),
        "Every subterm occurrence of a term in pre-order, the term first.");
  m.def("extract_atom_subterms", &extract_atom_subterms_py, py::arg("atom"),
        "Every subterm occurrence of the terms of an atom in pre-order.");
  m.def("replace_subterm", &replace_subterm_py, py::arg("term"), py::arg("target"), py::arg("replacement"),
        "One term per occurrence of target in term (pre-order), with that occurrence replaced.");
  m.def("replace_atom_subterm", &replace_atom_subterm_py, py::arg("atom"), py::arg("target"), py::arg("replacement"),
        "One atom per occurrence of target among the atom's terms (pre-order), with that occurrence replaced.");
  m.def("paramodulate", &paramodulate_py, py::arg("c1"), py::arg("c2"),
        "Every distinct paramodulant by the positive equations of c1 into c2 and then of c2 into c1, as "
        "(paramodulant, unifier).");
  m.def("get_resolution_rules", [m]() { return resolution_rules(m); },
        "The rules of resolution on clauses: BinaryResolution, Factoring, Paramodulation.");
  m.def("get_reconstruction_rules", [m]() { return reconstruction_rules(m); },
        "The twelve named steps by which proofs are presented; their callables compute nothing.");

  py::class_<SOLInstantiateRecord, RuleRecord> sol_rule(
      m, "SOLInstantiateRule", py::custom_type_setup(&collectable),
      "Instantiates a second-order template (a quantification over a predicate variable) for a goal by "
      "higher-order pattern matching, and returns the clauses of the instance.");
  sol_rule.def(py::init([] {
    return SOLInstantiateRecord{{py::str("SOLInstantiate"),
                                 py::str("Second-order logic template instantiation via higher-order pattern matching"),
                                 py::str("resolution"), py::none()}};
  }));
  // The callable of the record is the instance's own bound operation, which
  // exists only once the instance does: it is filled in right after
  // construction, before anyone can see the record.
  // rebuilt by calling the class, which takes no arguments
  sol_rule.def("__reduce__", [](py::handle self) { return py::make_tuple(py::type::handle_of(self), py::tuple()); });
  py::object sol_init = sol_rule.attr("__init__");
  sol_rule.attr("__init__") = py::cpp_function(
      [sol_init](py::handle self, py::args args, py::kwargs kwargs) {
        if (args.size() != 0 || kwargs.size() != 0) throw core::TypeError("SOLInstantiateRule() takes no arguments");
        sol_init(self);
        common::mutable_record_of<RuleRecord>(self).apply = self.attr("match_and_instantiate");
      },
      py::name("__init__"), py::is_method(sol_rule));
  sol_rule.def("match_and_instantiate", &match_and_instantiate, py::arg("sol_axiom"), py::arg("target_goal"),
               py::arg("signature") = py::none(),
               "The clauses of the template's instance for the goal: by matching the template's conclusion under "
               "its binder, else directly; for the induction schema and a universal goal without a match, the "
               "clauses of the goal's induction instance.  An empty list when nothing applies.");

  m.def("apply_rule", &apply_rule_py, py::arg("rule"), py::arg("premises"), py::arg("context") = py::none(),
        "Calls the rule's callable with the premises as positional and the context's entries as keyword "
        "arguments, and returns its list.");
  common::refuse_none_self(m);
}
