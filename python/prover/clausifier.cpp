// prover.clausifier: literals, clauses and the clausification pipeline.
//
// Literal and Clause are the engine's values seen as frozen records: their
// fields are read-only, equality holds only between two records of the same
// class, and the hash is the one computed on construction.  A clause's
// `literals` is the very set it was built from (a clause that the engine
// made answers a new frozenset); the engine keeps the literals in the order
// they were given (see src/prover/clausifier.hpp).
#include "common/bindings.hpp"
#include "common/records.hpp"
#include "core/signature.hpp"
#include "core/visitor_bindings.hpp"
#include "prover/clausifier.hpp"

namespace py = pybind11;
using core::NodePtr;
using prover::Clause;
using prover::Literal;

namespace {

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

// The formula argument of a step: a node, or the step's ValueError naming
// the class of what was given.
NodePtr formula_or_refuse(py::handle obj, const char* message) {
  if (!py::isinstance<core::Node>(obj)) throw core::ValueError(message + common::class_text(obj));
  return obj.cast<NodePtr>();
}

core::Substitution substitution_from_py(py::handle subst) { return visitor_bindings::variable_mapping_from_py(subst); }

// A signature given from Python that is not core.signature.Signature: its
// register_constant and register_function are called with the host's values.
// SymbolClashError means the name is taken; any other ordinary exception is
// discarded, as Skolemization ignores what a signature thinks of its
// symbols; interruptions (KeyboardInterrupt, SystemExit) pass through.
class ForeignSignature final : public core::SymbolRegistry {
 public:
  explicit ForeignSignature(py::handle signature) : signature_(signature) {}

  bool holds_name(std::string_view) const override { return false; }

  void register_constant(const std::string& name, const core::SortPtr& sort) override {
    call("register_constant", py::make_tuple(name, sort));
  }

  void register_function(const std::string& name, std::int64_t arity, const std::vector<core::SortPtr>& argument_sorts,
                         const core::SortPtr& return_sort) override {
    py::tuple sorts(argument_sorts.size());
    for (std::size_t i = 0; i < argument_sorts.size(); ++i) sorts[i] = py::cast(argument_sorts[i]);
    call("register_function", py::make_tuple(name, arity, sorts, return_sort));
  }

 private:
  void call(const char* method, const py::tuple& args) {
    try {
      signature_.attr(method)(*args);
    } catch (py::error_already_set& e) {
      py::object clash = py::module_::import("core.signature").attr("SymbolClashError");
      if (e.matches(clash)) throw core::SymbolClashError(e.what());
      if (e.matches(PyExc_Exception)) return;
      throw;
    }
  }

  py::handle signature_;
};

// Runs `body` with the registry that stands for the Python signature argument.
template <typename Body>
auto with_registry(py::handle signature, Body&& body) {
  if (signature.is_none()) return body(static_cast<core::SymbolRegistry*>(nullptr));
  if (py::isinstance<core::Signature>(signature)) return body(&signature.cast<core::Signature&>());
  ForeignSignature foreign(signature);
  return body(&foreign);
}

py::list clauses_to_py(std::vector<Clause> clauses) {
  py::list out;
  for (auto& clause : clauses) out.append(py::cast(std::make_shared<Clause>(std::move(clause))));
  return out;
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

using common::record_of;

template <typename Record, typename Result>
auto reader(Result (Record::*member)() const) {
  return [member](py::handle self) { return (record_of<Record>(self).*member)(); };
}
template <typename Record, typename Result>
auto reader(const Result& (Record::*member)() const) {
  return [member](py::handle self) { return (record_of<Record>(self).*member)(); };
}

// What literals and clauses share besides the record protocol.
template <typename Record>
void shared_methods(py::class_<Record, std::shared_ptr<Record>>& cls) {
  cls.def("to_string", reader(&Record::to_string))
      .def("__str__", reader(&Record::to_string))
      .def_property_readonly("_hash_cache", reader(&Record::hash))
      .def_property_readonly("_free_vars",
                             [](py::handle self) { return common::to_py_frozenset(*record_of<Record>(self).free_vars()); })
      .def(
          "free_variables", [](py::handle self) { return common::to_py_set(*record_of<Record>(self).free_vars()); },
          "A new set of the free variables.");
}

// The literals of a clause: the set it was built from, or a new frozenset
// for a clause that the engine made.
py::object literals_to_py(const Clause& clause) {
  if (py::object given = common::origin_of(clause)) return given;
  py::set out;
  for (const auto& literal : clause.literals()) out.add(py::cast(std::make_shared<Literal>(literal)));
  return py::frozenset(out);
}

void bind_literal(py::module_& m) {
  py::class_<Literal, std::shared_ptr<Literal>> cls(
      m, "Literal",
      "A signed atom: the atom itself (positive) or its negation. Immutable; its hash and the free variables of "
      "its atom are computed once.");
  common::bind_record(cls, common::RecordStyle{}, common::constructor([](py::handle atom, py::handle positive) {
                        py::hash(atom);  // an unhashable atom is refused with the interpreter's error
                        return std::make_shared<Literal>(common::to_node(atom), common::truth_of(positive));
                      }),
                      common::field("atom", &Literal::atom), common::field("positive", &Literal::positive, true));
  cls.def(
         "negate", [](py::handle self) { return std::make_shared<Literal>(record_of<Literal>(self).negate()); },
         "The complementary literal.")
      .def(
          "substitute",
          [](py::object self, py::handle subst) -> py::object {
            const Literal& literal = record_of<Literal>(self);
            core::Substitution mapping = substitution_from_py(subst);
            if (mapping.empty()) return self;
            return py::cast(std::make_shared<Literal>(literal.substitute(mapping)));
          },
          py::arg("subst"), "The literal with the substitution applied to its atom; an empty one returns the literal itself.");
  shared_methods(cls);
}

void bind_clause(py::module_& m) {
  py::class_<Clause, std::shared_ptr<Clause>> cls(
      m, "Clause",
      "A set of literals read as their disjunction; the empty clause is a contradiction. Immutable; its hash, "
      "tautology flag and free variables are computed once.");
  common::bind_record(
      cls, common::RecordStyle{}, common::constructor([](py::handle literals) {
        py::hash(literals);  // a set or list is refused here: the literals must form an immutable set
        prover::LiteralSet set;
        for (py::handle item : literals) {
          if (!py::isinstance<Literal>(item)) {
            PyErr_SetString(PyExc_AttributeError,
                            ("'" + common::type_name_of(item) + "' object has no attribute 'positive'").c_str());
            throw py::error_already_set();
          }
          set.insert(record_of<Literal>(item));
        }
        return common::holding_origin(Clause(std::move(set)), literals);
      }),
      common::field("literals", &literals_to_py, py::frozenset(py::set())));
  cls.def_property_readonly("is_empty", reader(&Clause::is_empty))
      .def_property_readonly("is_unit", reader(&Clause::is_unit))
      .def_property_readonly("is_tautology", reader(&Clause::is_tautology))
      .def_property_readonly("_is_tautology", reader(&Clause::is_tautology))
      .def(
          "substitute",
          [](py::object self, py::handle subst) -> py::object {
            const Clause& clause = record_of<Clause>(self);
            core::Substitution mapping = substitution_from_py(subst);
            if (mapping.empty()) return self;
            return py::cast(std::make_shared<Clause>(clause.substitute(mapping)));
          },
          py::arg("subst"), "The clause with the substitution applied to every literal; equal results merge.");
  shared_methods(cls);
}

// ---------------------------------------------------------------------------
// Steps
// ---------------------------------------------------------------------------
template <NodePtr (*Step)(const NodePtr&)>
void def_step(py::module_& m, const char* name, const char* message, const char* doc) {
  m.def(
      name, [message](py::handle formula) { return Step(formula_or_refuse(formula, message)); }, py::arg("formula"),
      doc);
}

}  // namespace

PYBIND11_MODULE(clausifier, m) {
  m.doc() = "Clausification pipeline for translating First-Order Logic formulas to Conjunctive Normal Form (CNF).";

  const std::pair<const char*, std::vector<const char*>> imports[] = {
      {"core.ast",
       {"Term", "Variable", "Constant", "FunctionApp", "Formula", "PredicateApp", "Equality", "Not", "And", "Or",
        "Implies", "Iff", "Forall", "Exists", "free_variables", "bound_variables"}},
      {"core.sorts", {"Sort", "Ind"}},
      {"core.signature", {"Signature"}},
      {"core.substitutions", {"substitute_formula", "substitute_term"}},
  };
  for (const auto& [module_name, names] : imports) {
    py::module_ module = py::module_::import(module_name);
    for (const char* name : names) m.attr(name) = module.attr(name);
  }

  m.def("reset_skolem_counters", &prover::reset_skolem_counters,
        "Starts the numbering of Skolem constants and functions again at 0.");
  // The two Skolem counters read as module attributes holding the value each
  // would draw next; they live in the engine, so they are answered on demand.
  m.def("__getattr__", [](const std::string& name) -> py::object {
    if (name == "_skolem_constant_counter") return py::int_(prover::skolem_constant_counter());
    if (name == "_skolem_function_counter") return py::int_(prover::skolem_function_counter());
    throw py::attribute_error("module 'prover.clausifier' has no attribute '" + name + "'");
  });
  bind_literal(m);
  bind_clause(m);

  def_step<&prover::eliminate_implications>(m, "eliminate_implications", "Unsupported formula node: ",
                                            "Rewrites A => B as ~A | B and A <=> B as (~A | B) & (~B | A).");
  def_step<&prover::to_nnf>(m, "to_nnf", "Unsupported formula node: ",
                            "Negation normal form: negations pushed down onto the atoms, double negations dropped.");
  m.def(
      "standardize_variables",
      [](py::handle formula) {
        // the ids of the free variables are read first: what is no node is
        // refused as the free-variable function refuses it
        return prover::standardize_variables(common::to_node(formula));
      },
      py::arg("formula"), "Gives every quantifier a fresh variable of its own, numbered above every id in the formula.");
  m.def(
      "skolemize",
      [](py::handle formula, py::handle signature) {
        NodePtr f = formula_or_refuse(formula, "Unsupported formula in skolemization: ");
        return with_registry(signature, [&](core::SymbolRegistry* registry) { return prover::skolemize(f, registry); });
      },
      py::arg("formula"), py::arg("signature") = py::none(),
      "Replaces every existential by a Skolem constant sk_c<n> or a Skolem function sk_f<n> of the enclosing "
      "universals, registering each new symbol in the signature when one is given. The formula must be in "
      "negation normal form.");
  def_step<&prover::drop_universals>(m, "drop_universals", "Unsupported formula: ",
                                     "Removes every universal quantifier, leaving its variable free.");
  def_step<&prover::distribute_cnf>(m, "distribute_cnf", "Unsupported formula in CNF distribution: ",
                                    "Distributes disjunction over conjunction.");
  m.def(
      "formula_to_clauses",
      [](py::handle formula) {
        return clauses_to_py(prover::formula_to_clauses(formula_or_refuse(formula, "Unexpected formula inside clause: ")));
      },
      py::arg("formula"), "The clauses of a formula in conjunctive normal form, tautologies left out.");
  m.def(
      "to_cnf",
      [](py::handle formula, py::handle signature) {
        NodePtr f = formula_or_refuse(formula, "Unsupported formula node: ");
        return with_registry(signature,
                             [&](core::SymbolRegistry* registry) { return clauses_to_py(prover::to_cnf(f, registry)); });
      },
      py::arg("formula"), py::arg("signature") = py::none(),
      "The clause normal form of the universal closure of the formula.");
  m.def(
      "negate_and_clausify",
      [](py::handle formula, py::handle signature) {
        NodePtr f = formula_or_refuse(formula, "Unsupported formula node: ");
        return with_registry(signature, [&](core::SymbolRegistry* registry) {
          return clauses_to_py(prover::negate_and_clausify(f, registry));
        });
      },
      py::arg("formula"), py::arg("signature") = py::none(),
      "The clause normal form of the negation of the universal closure of the formula.");
  common::refuse_none_self(m);
}
