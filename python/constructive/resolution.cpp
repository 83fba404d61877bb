// constructive.resolution: prefixed resolution over the matrix paths, the
// relational translation into classical logic, and the prover that chooses.
//
// The prefixed search runs in the engine without the interpreter lock.  The
// translation prover hands its classical problem to the names TheoremProver,
// Signature, SolverConfig and ProofDAG, and the combined prover builds
// PrefixedResolutionProver and TranslationResolutionProver, all looked up in
// this module's globals when a proof starts, so that callers may replace them.
#include "common/bindings.hpp"
#include "common/records.hpp"
#include "common/settings.hpp"

#include <array>
#include <chrono>
#include <cmath>
#include <limits>

#include "constructive/common.hpp"
#include "constructive/formula_tree.hpp"
#include "constructive/prefix_values.hpp"
#include "constructive/resolution.hpp"
#include "constructive/translation.hpp"
#include "core/interrupt.hpp"
#include "core/parser.hpp"
#include "core/sorts.hpp"

namespace py = pybind11;
using namespace constructive;
using namespace prefix_values;

namespace {

py::handle g_module;  // this module, for its globals (owned by the interpreter's module table)

// A global of this module; a name that is missing is imported from `home`
// once and kept.
py::object global(const char* name, const char* home) {
  py::dict globals = g_module.attr("__dict__");
  if (globals.contains(name)) return globals[name];
  py::object value = py::module_::import(home).attr(name);
  globals[name] = value;
  return value;
}

// ---------------------------------------------------------------------------
// Reading arguments
// ---------------------------------------------------------------------------
// Settings are plain attributes holding the caller's values: the
// constructors raise a count to 1 and a time to 0.1, as a float
// (count_setting, seconds_setting), and `prove` reads each setting afresh on
// every call, an int of any size kept as it was given and read as a 64-bit
// count where it is used.
using common::count_setting;
using common::seconds_setting;
using common::truth_of;

std::vector<core::NodePtr> normalized(const std::vector<core::NodePtr>& formulas) {
  std::vector<core::NodePtr> out;
  for (const auto& f : formulas) out.push_back(normalize_formula(f));
  return out;
}

py::tuple node_tuple(const std::vector<core::NodePtr>& nodes) {
  py::tuple out(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) out[i] = py::cast(nodes[i]);
  return out;
}

py::list node_list(const std::vector<core::NodePtr>& nodes) {
  py::list out;
  for (const auto& n : nodes) out.append(py::cast(n));
  return out;
}

std::string text_of(py::handle formula) { return core::to_string(*common::to_node(formula)); }

py::list texts_of(py::handle formulas) {
  py::list out;
  for (auto f : py::iter(formulas)) out.append(text_of(f));
  return out;
}

std::string joined_texts(py::handle formulas) {
  std::string out;
  bool first = true;
  for (auto f : py::iter(formulas)) {
    if (!first) out += ", ";
    first = false;
    out += text_of(f);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Literals and clauses
// ---------------------------------------------------------------------------
const PrefixedLiteral& literal_of(py::handle obj) {
  if (!py::isinstance<PrefixedLiteral>(obj))
    throw core::TypeError("a prefixed clause holds PrefixedLiteral objects, got " + common::class_text(obj));
  return common::record_of<PrefixedLiteral>(obj);
}

const PrefixedClause& clause_of(py::handle obj, const char* what = "clause") {
  if (!py::isinstance<PrefixedClause>(obj))
    throw core::TypeError(std::string(what) + " must be a PrefixedClause, got " + common::class_text(obj));
  return common::record_of<PrefixedClause>(obj);
}

// A clause's literals: the collection it was built from, or a new frozenset
// of the literals of a clause that the engine made.
py::object literal_set(const PrefixedClause& c) {
  if (py::object given = common::origin_of(c)) return given;
  py::set out;
  for (std::size_t i = 0; i < c.size(); ++i) out.add(py::cast(c.literal(i)));
  return py::frozenset(out);
}

Polarity polarity_from_py(py::handle value) {
  if (!py::isinstance<py::int_>(value))
    throw core::TypeError("polarity must be an integer, got " + common::class_text(value));
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (!overflow) return Polarity(v);
  return Polarity::from_decimal(py::str(value).cast<std::string>());
}

py::int_ polarity_to_py(const PrefixedLiteral& l) {
  const Polarity& p = l.polarity();
  if (p.is_small()) return py::int_(p.small());
  return py::reinterpret_steal<py::int_>(PyLong_FromString(p.to_string().c_str(), nullptr, 10));
}

void bind_literal(py::module_& m) {
  py::class_<PrefixedLiteral> cls(m, "PrefixedLiteral", "A signed atom under a world prefix.");
  common::bind_record(cls, common::RecordStyle{},
                      common::constructor([](py::handle prefix, py::handle polarity, py::handle atom) {
                        return PrefixedLiteral(prefix_from_py(prefix), polarity_from_py(polarity),
                                               common::to_node(atom));
                      }),
                      common::field("prefix", &PrefixedLiteral::prefix),
                      common::field("polarity", &polarity_to_py),
                      common::field("atom", &PrefixedLiteral::atom));
  cls.def("negate", &PrefixedLiteral::negate, "The literal with the other polarity.")
      .def(
          "substitute", [](const PrefixedLiteral& l, py::handle s) { return l.substitute(subst_from_py(s)); },
          py::arg("subst"), "The literal with the substitution applied to its prefix.")
      .def("variables", [](const PrefixedLiteral& l) { return symbol_set(l.prefix().variables()); })
      .def("constants", [](const PrefixedLiteral& l) { return symbol_set(l.prefix().constants()); })
      .def("to_string", &PrefixedLiteral::to_string)
      .def("__str__", &PrefixedLiteral::to_string);
}

void bind_clause(py::module_& m) {
  py::class_<PrefixedClause, std::shared_ptr<PrefixedClause>> cls(
      m, "PrefixedClause", "A disjunction of prefixed literals: a path of the matrix.");
  common::bind_record(cls, common::RecordStyle{},
                      common::constructor([](py::handle literals) {
                        std::vector<PrefixedLiteral> lits;
                        for (auto item : py::iter(literals)) lits.push_back(literal_of(item));
                        return common::holding_origin(PrefixedClause(lits), literals);
                      }),
                      common::field("literals", &literal_set, py::frozenset(py::set())));
  cls.def("__len__", &PrefixedClause::size)
      .def("__bool__", [](const PrefixedClause& c) { return !c.empty(); })
      .def("is_empty", &PrefixedClause::empty)
      .def(
          "substitute", [](const PrefixedClause& c, py::handle s) { return c.substitute(subst_from_py(s)); },
          py::arg("subst"), "The clause of the substituted literals (equal ones merge).")
      .def("variables", [](const PrefixedClause& c) { return symbol_set(c.variables()); })
      .def("constants", [](const PrefixedClause& c) { return symbol_set(c.constants()); })
      .def("to_string", &PrefixedClause::to_string)
      .def("__str__", &PrefixedClause::to_string);
}

// ---------------------------------------------------------------------------
// Steps and results
// ---------------------------------------------------------------------------
// Records whose fields are Python values, listed once as member pointers:
// equality field by field in order, and the binding of the two result
// records (built by position or keyword, assignable, without hash).
template <std::size_t>
using AnyValue = py::object;

template <typename R, py::object R::*... Members>
struct ObjectRecord {
  static constexpr std::size_t kFields = sizeof...(Members);

  static bool equal(const R& a, const R& b) { return ((a.*Members).equal(b.*Members) && ...); }

  static void bind_mutable(py::class_<R>& cls, const std::array<const char*, kFields>& names) {
    bind_mutable(cls, names, std::make_index_sequence<kFields>{});
  }

 private:
  template <std::size_t... I>
  static void bind_mutable(py::class_<R>& cls, const std::array<const char*, kFields>& names,
                           std::index_sequence<I...>) {
    common::bind_record(cls, common::RecordStyle{true, false, false},
                        common::constructor([](AnyValue<I>... values) {
                          R r;
                          ((r.*Members = std::move(values)), ...);
                          return r;
                        }),
                        common::mutable_field(names[I], Members, [](R& r, py::handle v) {
                          r.*Members = py::reinterpret_borrow<py::object>(v);
                        })...);
  }
};

struct PyStep {
  py::object id, rule_name, premise_ids, clause, substitution, parent_literals;
  bool operator==(const PyStep& o) const;
};
using StepRecord = ObjectRecord<PyStep, &PyStep::id, &PyStep::rule_name, &PyStep::premise_ids, &PyStep::clause,
                                &PyStep::substitution, &PyStep::parent_literals>;
bool PyStep::operator==(const PyStep& o) const { return StepRecord::equal(*this, o); }

py::dict step_dict(const PyStep& s) {
  py::dict d;
  d["id"] = s.id;
  d["rule"] = s.rule_name;
  d["premises"] = py::list(s.premise_ids);
  d["clause"] = s.clause.attr("to_string")();
  d["substitution"] = s.substitution.attr("to_dict")();
  return d;
}

void bind_step(py::module_& m) {
  py::class_<PyStep> cls(m, "PrefixedResolutionStep", "One step of a prefixed resolution derivation.");
  common::bind_record(
      cls, common::RecordStyle{},
      common::constructor([](py::object id, py::object rule_name, py::object premise_ids, py::object clause,
                             py::object substitution, py::object parent_literals) {
        if (substitution.is_none()) substitution = py::cast(PrefixSubstitution());
        return PyStep{std::move(id),           std::move(rule_name),    std::move(premise_ids),
                      std::move(clause),       std::move(substitution), std::move(parent_literals)};
      }),
      common::field("id", &PyStep::id), common::field("rule_name", &PyStep::rule_name),
      common::field("premise_ids", &PyStep::premise_ids), common::field("clause", &PyStep::clause),
      common::field("substitution", &PyStep::substitution, py::none()),
      common::field("parent_literals", &PyStep::parent_literals, py::none()));
  cls.def("to_dict", &step_dict);
}

struct PyProofResult {
  py::object is_valid, target, premises, steps, empty_clause_id, substitution, multiplicity;
  bool operator==(const PyProofResult& o) const;
};
using ProofResultRecord =
    ObjectRecord<PyProofResult, &PyProofResult::is_valid, &PyProofResult::target, &PyProofResult::premises,
                 &PyProofResult::steps, &PyProofResult::empty_clause_id, &PyProofResult::substitution,
                 &PyProofResult::multiplicity>;
bool PyProofResult::operator==(const PyProofResult& o) const { return ProofResultRecord::equal(*this, o); }

py::dict proof_dict(const PyProofResult& r) {
  py::dict d;
  d["is_valid"] = r.is_valid;
  d["target"] = text_of(r.target);
  d["premises"] = texts_of(r.premises);
  d["multiplicity"] = r.multiplicity;
  d["empty_clause_id"] = r.empty_clause_id;
  d["substitution"] = r.substitution.attr("to_dict")();
  py::list steps;
  for (auto s : py::iter(r.steps)) steps.append(s.attr("to_dict")());
  d["steps"] = steps;
  return d;
}

std::string str_of(py::handle o) { return py::str(o).cast<std::string>(); }

// A text that a report joins: TypeError when it is not a string.
std::string text_part(py::handle value, const char* what) { return common::string_from_py(value, what); }

std::string proof_text(const PyProofResult& r) {
  std::vector<std::string> lines{"=== Prefixed Resolution Proof (IPC) ===", "Target: " + text_of(r.target)};
  if (py::len(r.premises) > 0) lines.push_back("Premises: " + joined_texts(r.premises));
  lines.push_back(std::string("Status: ") + (truth_of(r.is_valid) ? "VALID (Intuitionistically Proven)" : "UNPROVABLE"));
  lines.push_back("Multiplicity: " + str_of(r.multiplicity));
  if (py::len(r.steps) > 0) {
    lines.push_back("Derivation Steps:");
    for (auto s : py::iter(r.steps)) {
      std::string line = "  [" + text_part(s.attr("id"), "a step id") + "] " +
                         text_part(s.attr("clause").attr("to_string")(), "a clause text") + " (" +
                         text_part(s.attr("rule_name"), "a rule name");
      py::object ids = s.attr("premise_ids");
      if (py::len(ids) > 0) {
        line += " from ";
        bool first = true;
        for (auto id : py::iter(ids)) {
          if (!first) line += ", ";
          first = false;
          line += text_part(id, "a premise id");
        }
      }
      lines.push_back(line + ")");
    }
  }
  py::object mapping = r.substitution.attr("mapping");
  if (py::bool_(mapping)) {
    lines.push_back("Prefix Substitution:");
    for (auto item : py::iter(mapping.attr("items")())) {
      py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
      std::string names;
      bool first = true;
      for (auto s : py::iter(pair[1])) {
        if (!first) names += ".";
        first = false;
        names += text_part(s.attr("name"), "a prefix symbol name");
      }
      lines.push_back("  sigma(" + text_part(pair[0].attr("name"), "a prefix variable name") + ") = " + names);
    }
  }
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + lines[i];
  return out;
}

void bind_proof_result(py::module_& m) {
  py::class_<PyProofResult> cls(m, "PrefixedResolutionProofResult", "The outcome of a prefixed resolution proof.");
  ProofResultRecord::bind_mutable(
      cls, {"is_valid", "target", "premises", "steps", "empty_clause_id", "substitution", "multiplicity"});
  cls.def("to_dict", &proof_dict).def("to_string", &proof_text).def("__str__", &proof_text);
}

struct PyTranslationResult {
  py::object is_valid, target_ipc, premises_ipc, target_fol, premises_fol, frame_axioms, proof_dag;
  bool operator==(const PyTranslationResult& o) const;
};
using TranslationResultRecord =
    ObjectRecord<PyTranslationResult, &PyTranslationResult::is_valid, &PyTranslationResult::target_ipc,
                 &PyTranslationResult::premises_ipc, &PyTranslationResult::target_fol,
                 &PyTranslationResult::premises_fol, &PyTranslationResult::frame_axioms,
                 &PyTranslationResult::proof_dag>;
bool PyTranslationResult::operator==(const PyTranslationResult& o) const {
  return TranslationResultRecord::equal(*this, o);
}

py::dict translation_dict(const PyTranslationResult& r) {
  py::dict d;
  d["is_valid"] = r.is_valid;
  d["target_ipc"] = text_of(r.target_ipc);
  d["premises_ipc"] = texts_of(r.premises_ipc);
  d["target_fol"] = text_of(r.target_fol);
  d["premises_fol"] = texts_of(r.premises_fol);
  d["frame_axioms"] = texts_of(r.frame_axioms);
  d["has_proof_dag"] = !r.proof_dag.is_none();
  return d;
}

std::string translation_text(const PyTranslationResult& r) {
  std::string out = "=== Relational Translation Resolution Proof (IPC -> FOL) ===\nTarget (IPC): " + text_of(r.target_ipc);
  if (py::len(r.premises_ipc) > 0) out += "\nPremises (IPC): " + joined_texts(r.premises_ipc);
  out += "\nTarget (FOL): " + text_of(r.target_fol);
  out += std::string("\nStatus: ") +
         (truth_of(r.is_valid) ? "VALID (Proven via FOL Superposition/Resolution)" : "UNPROVABLE");
  out += "\nFrame Axioms Count: " + std::to_string(py::len(r.frame_axioms));
  if (!r.proof_dag.is_none()) out += "\nReconstructed Proof Steps: " + std::to_string(py::len(r.proof_dag.attr("steps")));
  return out;
}

void bind_translation_result(py::module_& m) {
  py::class_<PyTranslationResult> cls(m, "TranslationResolutionResult",
                                      "The outcome of a proof by the relational translation.");
  TranslationResultRecord::bind_mutable(cls, {"is_valid", "target_ipc", "premises_ipc", "target_fol", "premises_fol",
                                              "frame_axioms", "proof_dag"});
  cls.def("to_dict", &translation_dict).def("to_string", &translation_text).def("__str__", &translation_text);
}

// ---------------------------------------------------------------------------
// Prefixed resolution
// ---------------------------------------------------------------------------
py::object tree_class() { return py::module_::import("constructive.matrix").attr("FormulaTree"); }

// The multiplicity of clausify_prefixed: below 1 counts as 1; beyond 64 bits
// it is passed on as the Python int (the tree refuses it).
py::int_ clausify_multiplicity(py::handle value, std::int64_t& clamped) {
  clamped = common::count_at_least_one(value, "multiplicity");
  return clamped == std::numeric_limits<std::int64_t>::max() ? py::reinterpret_borrow<py::int_>(value)
                                                              : py::int_(clamped);
}

py::tuple clausify(py::handle target, py::handle premises, py::handle multiplicity) {
  core::NodePtr t = normalize_formula(common::to_node(target));
  std::vector<core::NodePtr> given;
  if (!premises.is_none() && truth_of(premises)) given = normalized(common::formulas_from_py(premises));
  std::int64_t m = 1;
  py::int_ passed = clausify_multiplicity(multiplicity, m);
  // a matrix too large to list is refused before its tree is built
  const std::uint64_t leaves = leaf_count(t, given);
  if (leaves > kMaxPathLeaves)
    throw core::ValueError("the matrix has too many leaves to list its paths (" + std::to_string(leaves) +
                           " leaves at multiplicity 1; the limit is " + std::to_string(kMaxPathLeaves) +
                           " leaves on all paths)");
  if (m > 1) {
    FormulaTree base(t, given, 1);
    if (has_copies(base)) check_path_limits(paths_at_multiplicity(base, m));
  }
  py::object tree = tree_class()(py::arg("target") = t, py::arg("premises") = node_list(given),
                                 py::arg("multiplicity") = passed);
  const auto& engine = *tree.cast<const formula_tree::PyFormulaTree&>().engine;
  py::list clauses;
  for (auto& c : clauses_of(engine)) clauses.append(py::cast(std::move(c)));
  return py::make_tuple(clauses, tree);
}

py::object make_proof_result(Refutation r, const core::NodePtr& target, const std::vector<core::NodePtr>& premises,
                             py::object multiplicity) {
  py::tuple steps(r.steps.size());
  for (std::size_t i = 0; i < r.steps.size(); ++i) {
    auto& s = r.steps[i];
    py::tuple ids(s.premise_ids.size());
    for (std::size_t k = 0; k < s.premise_ids.size(); ++k) ids[k] = py::str(s.premise_ids[k]);
    py::object parents = s.parents ? py::object(py::make_tuple(s.parents->first, s.parents->second)) : py::none();
    steps[i] = py::cast(PyStep{py::str(s.id), py::str(s.rule), ids, py::cast(std::move(s.clause)),
                               py::cast(std::move(s.subst)), parents});
  }
  return py::cast(PyProofResult{py::bool_(true), py::cast(target), node_tuple(premises), steps,
                                py::str(r.empty_clause_id), py::cast(std::move(r.subst)), std::move(multiplicity)});
}

struct PrefixedProver {
  py::object max_multiplicity;
  py::object max_steps;  // kept for the caller; the prefixed search does not read it
};

py::object prove_prefixed_from_py(const PrefixedProver& p, py::handle target, py::handle premises) {
  core::NodePtr t = normalize_formula(common::formula_from_py(target, "target"));
  std::vector<core::NodePtr> given = normalized(common::premises_from_py(premises));
  const std::int64_t max_multiplicity = common::count_in_use(p.max_multiplicity, "max_multiplicity");
  std::optional<PrefixedProof> found;
  {
    py::gil_scoped_release released;
    found = prove_prefixed(t, given, max_multiplicity, SearchLimits{});
  }
  if (!found) return py::none();
  return make_proof_result(std::move(found->refutation), t, given, py::int_(found->multiplicity));
}

py::object search_from_py(const PrefixedProver&, py::handle target, py::handle premises, py::handle clauses,
                          py::handle tree, py::handle multiplicity) {
  std::vector<PrefixedClause> initial;
  for (auto c : py::iter(clauses)) initial.push_back(clause_of(c, "an initial clause"));
  SymbolOrder order = order_from_py(tree);
  std::optional<Refutation> found;
  {
    py::gil_scoped_release released;
    found = search_refutation(initial, order, SearchLimits{});
  }
  if (!found) return py::none();
  std::vector<core::NodePtr> given = common::formulas_or_none_from_py(premises);
  return make_proof_result(std::move(*found), common::to_node(target), given,
                           py::reinterpret_borrow<py::object>(multiplicity));
}

py::list inferences_to_py(std::vector<Inference> items) {
  py::list out;
  for (auto& i : items)
    out.append(py::make_tuple(py::cast(std::move(i.clause)), py::cast(std::move(i.unifier)), i.first, i.second));
  return out;
}

PrefixSubstitution start_of(py::handle subst) {
  return subst.is_none() ? PrefixSubstitution() : subst_from_py(subst);
}

std::optional<SymbolOrder> order_or_none(py::handle tree) {
  if (tree.is_none()) return std::nullopt;
  return order_from_py(tree);
}

void bind_prefixed(py::module_& m) {
  m.def("clausify_prefixed", &clausify, py::arg("target"), py::arg("premises") = py::none(),
        py::arg("multiplicity") = 1, "The prefixed clauses of the matrix paths, with the formula tree they come from.");
  m.def(
      "resolve_prefixed_clauses",
      [](py::handle c1, py::handle c2, py::handle subst, py::handle tree) {
        auto order = order_or_none(tree);
        return inferences_to_py(
            resolve_clauses(clause_of(c1, "c1"), clause_of(c2, "c2"), start_of(subst), order ? &*order : nullptr));
      },
      py::arg("c1"), py::arg("c2"), py::arg("subst") = py::none(), py::arg("tree") = py::none(),
      "Every resolvent of the two clauses: (clause, unifier, literal of c1, literal of c2).");
  m.def(
      "factor_prefixed_clause",
      [](py::handle clause, py::handle subst, py::handle tree) {
        auto order = order_or_none(tree);
        return inferences_to_py(factor_clause(clause_of(clause), start_of(subst), order ? &*order : nullptr));
      },
      py::arg("clause"), py::arg("subst") = py::none(), py::arg("tree") = py::none(),
      "Every factor of the clause: (clause, unifier, first literal, second literal).");

  py::class_<PrefixedProver> cls(m, "PrefixedResolutionProver",
                                 "Prefixed resolution over the matrix paths, with rising multiplicity.");
  cls.def(py::init([](py::handle max_multiplicity, py::handle max_steps) {
            return PrefixedProver{count_setting(max_multiplicity, "max_multiplicity"),
                                  count_setting(max_steps, "max_steps")};
          }),
          py::arg("max_multiplicity") = 3, py::arg("max_steps") = 1000)
      .def_readwrite("max_multiplicity", &PrefixedProver::max_multiplicity)
      .def_readwrite("max_steps", &PrefixedProver::max_steps)
      .def("prove", &prove_prefixed_from_py, py::arg("target"), py::arg("premises") = py::none(),
           "A PrefixedResolutionProofResult, or None when no multiplicity up to the bound gives a refutation.")
      .def("_search_refutation", &search_from_py, py::arg("target"), py::arg("premises"), py::arg("initial_clauses"),
           py::arg("tree"), py::arg("multiplicity"));
  m.def(
      "prove_prefixed_resolution",
      [](py::handle formula, py::handle premises, py::handle max_multiplicity, py::handle max_steps) {
        py::object prover = global("PrefixedResolutionProver", "constructive.resolution")(
            py::arg("max_multiplicity") = max_multiplicity, py::arg("max_steps") = max_steps);
        return prover.attr("prove")(py::arg("target") = formula, py::arg("premises") = premises);
      },
      py::arg("formula"), py::arg("premises") = py::none(), py::arg("max_multiplicity") = 3,
      py::arg("max_steps") = 1000);
}

// ---------------------------------------------------------------------------
// Relational translation
// ---------------------------------------------------------------------------
py::object translate_from_py(py::handle formula, py::handle world_term, py::handle var_counter) {
  core::NodePtr f = common::to_node(formula);
  core::NodePtr world = world_term.is_none() ? root_world() : common::to_node(world_term);
  if (var_counter.is_none()) {
    std::int64_t counter = 1;
    return py::cast(translate_ipc_to_fol(f, world, counter));
  }
  if (!py::isinstance<py::list>(var_counter) || py::len(var_counter) == 0)
    throw core::TypeError("var_counter must be a list holding the next variable id, got " +
                          common::class_text(var_counter));
  py::list counter_list = py::reinterpret_borrow<py::list>(var_counter);
  std::int64_t counter = common::int64_from_py(counter_list[0], "the variable counter");
  const std::int64_t before = counter;
  try {
    core::NodePtr out = translate_ipc_to_fol(f, world, counter);
    counter_list[0] = py::int_(counter);
    return py::cast(out);
  } catch (...) {
    if (counter != before) counter_list[0] = py::int_(counter);
    throw;
  }
}

py::set names_from_py(py::handle formula) {
  py::set out;
  for (const auto& name : predicate_names(common::to_node(formula))) out.add(py::str(name));
  return out;
}

py::list axioms_from_py(py::handle names) {
  std::vector<std::string> items;
  for (auto n : py::iter(names)) {
    if (!py::isinstance<py::str>(n))
      throw core::TypeError("atom names must be strings to be sorted, got " + common::class_text(n));
    items.push_back(common::string_from_py(n, "an atom name"));
  }
  py::list out;
  for (const auto& a : frame_axioms(std::move(items))) out.append(py::cast(a));
  return out;
}

struct TranslationProver {
  py::object max_steps;
  py::object timeout_sec;
};

// The problem is the engine's (constructive/translation.hpp); the signature,
// the configuration and the classical engine are the classes this module
// holds when the proof starts.
py::object translate_and_prove(const TranslationProver& p, py::handle target, py::handle premises) {
  TranslationProblem problem =
      normalized_problem(common::formula_from_py(target, "target"), common::premises_from_py(premises));

  py::object ind = py::module_::import("core.sorts").attr("Ind");
  py::object signature = global("Signature", "core.signature")();
  signature.attr("register_predicate")("R", 2, py::make_tuple(ind, ind));
  for (const auto& n : problem.atom_names) signature.attr("register_predicate")(n, 1, py::make_tuple(ind));
  signature.attr("register_constant")("w0", ind);

  translate_problem(problem);
  std::vector<core::NodePtr> engine_premises = problem.engine_premises();

  py::object config = global("SolverConfig", "config")(py::arg("prover_max_steps") = p.max_steps,
                                                         py::arg("prover_timeout_sec") = p.timeout_sec);
  py::object engine = global("TheoremProver", "prover.engine")(py::arg("signature") = signature,
                                                                 py::arg("config") = config);
  py::object proof_class = global("ProofDAG", "prover.proof");
  try {
    py::object proof = engine.attr("prove")(py::arg("target") = problem.target_fol,
                                            py::arg("premises") = node_list(engine_premises),
                                            py::arg("max_steps") = p.max_steps, py::arg("timeout_sec") = p.timeout_sec);
    // Only the engine's proof record counts as a proof.
    if (!py::isinstance(proof, proof_class)) return py::none();
    return py::cast(PyTranslationResult{py::bool_(true), py::cast(problem.target_ipc), node_tuple(problem.premises_ipc),
                                        py::cast(problem.target_fol), node_tuple(engine_premises),
                                        node_tuple(problem.frame_axioms), proof});
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception)) return py::none();
    throw;
  }
}

// The time limit covers the whole proof, the translation as well as the
// engine's search: a deadline that passes in either gives no proof.
py::object prove_translation(const TranslationProver& p, py::handle target, py::handle premises) {
  try {
    const double seconds = common::seconds_in_use(p.timeout_sec, "timeout_sec");
    core::ScopedDeadline deadline(core::ScopedDeadline::after(seconds));
    return translate_and_prove(p, target, premises);
  } catch (const core::DeadlineExceeded&) {
    return py::none();
  }
}

void bind_translation(py::module_& m) {
  m.def("translate_ipc_to_fol", &translate_from_py, py::arg("formula"), py::arg("world_term") = py::none(),
        py::arg("var_counter") = py::none(), "The relational translation of a propositional formula at a world.");
  m.def("_extract_predicate_names", &names_from_py, py::arg("formula"), "The names of the atoms of a formula.");
  m.def("get_frame_axioms", &axioms_from_py, py::arg("atomic_predicates"),
        "Reflexivity and transitivity of R, and monotonicity of each atom name.");

  py::class_<TranslationProver> cls(m, "TranslationResolutionProver",
                                    "Proves IPC formulas through their relational translation into classical logic.");
  cls.def(py::init([](py::handle max_steps, py::handle timeout_sec) {
            return TranslationProver{count_setting(max_steps, "max_steps"), seconds_setting(timeout_sec, "timeout_sec")};
          }),
          py::arg("max_steps") = 1000, py::arg("timeout_sec") = 10.0)
      .def_readwrite("max_steps", &TranslationProver::max_steps)
      .def_readwrite("timeout_sec", &TranslationProver::timeout_sec)
      .def("prove", &prove_translation, py::arg("target"), py::arg("premises") = py::none(),
           "A TranslationResolutionResult, or None when the classical engine finds no proof.");
  m.def(
      "prove_translation_resolution",
      [](py::handle formula, py::handle premises, py::handle max_steps, py::handle timeout_sec) {
        py::object prover = global("TranslationResolutionProver", "constructive.resolution")(
            py::arg("max_steps") = max_steps, py::arg("timeout_sec") = timeout_sec);
        return prover.attr("prove")(py::arg("target") = formula, py::arg("premises") = premises);
      },
      py::arg("formula"), py::arg("premises") = py::none(), py::arg("max_steps") = 1000,
      py::arg("timeout_sec") = 10.0);
}

// ---------------------------------------------------------------------------
// Combined prover
// ---------------------------------------------------------------------------
struct CombinedProver {
  py::object method;
  py::object max_multiplicity;
  py::object max_steps;
  py::object timeout_sec;
};

// Under "auto" the prefixed attempt runs to its end; the time bound is the
// translation's alone.
py::object build_prefixed(const CombinedProver& c) {
  return global("PrefixedResolutionProver", "constructive.resolution")(
      py::arg("max_multiplicity") = c.max_multiplicity, py::arg("max_steps") = c.max_steps);
}

py::object build_translation(const CombinedProver& c) {
  return global("TranslationResolutionProver", "constructive.resolution")(py::arg("max_steps") = c.max_steps,
                                                                          py::arg("timeout_sec") = c.timeout_sec);
}

py::object prove_combined(const CombinedProver& c, py::handle target, py::handle premises) {
  auto is = [&](const char* name) { return c.method.equal(py::str(name)); };
  auto run = [&](py::object prover) {
    return prover.attr("prove")(py::arg("target") = target, py::arg("premises") = premises);
  };
  if (is("prefixed")) return run(build_prefixed(c));
  if (is("translation")) return run(build_translation(c));
  if (is("auto")) {
    py::object found = run(build_prefixed(c));
    if (!found.is_none()) return found;
    return run(build_translation(c));
  }
  throw core::ValueError("Unknown constructive resolution method: " + str_of(c.method));
}

py::object lower_method(py::handle method) {
  if (!py::isinstance<py::str>(method))
    throw core::TypeError("method must be a string, got " + common::class_text(method));
  return method.attr("lower")();
}

void bind_combined(py::module_& m) {
  py::class_<CombinedProver> cls(m, "ConstructiveResolutionProver",
                                 "Prefixed resolution, the relational translation, or the first and then the second.");
  cls.def(py::init([](py::handle method, py::handle max_multiplicity, py::handle max_steps, py::handle timeout_sec) {
            return CombinedProver{lower_method(method), count_setting(max_multiplicity, "max_multiplicity"),
                                  count_setting(max_steps, "max_steps"), seconds_setting(timeout_sec, "timeout_sec")};
          }),
          py::arg("method") = "prefixed", py::arg("max_multiplicity") = 3, py::arg("max_steps") = 1000,
          py::arg("timeout_sec") = 10.0)
      .def_readwrite("method", &CombinedProver::method)
      .def_readwrite("max_multiplicity", &CombinedProver::max_multiplicity)
      .def_readwrite("max_steps", &CombinedProver::max_steps)
      .def_readwrite("timeout_sec", &CombinedProver::timeout_sec)
      .def("prove", &prove_combined, py::arg("target"), py::arg("premises") = py::none());
  m.def(
      "prove_resolution",
      [](py::handle formula, py::handle premises, py::handle method, py::handle max_multiplicity, py::handle max_steps,
         py::handle timeout_sec) {
        py::object prover = global("ConstructiveResolutionProver", "constructive.resolution")(
            py::arg("method") = method, py::arg("max_multiplicity") = max_multiplicity,
            py::arg("max_steps") = max_steps, py::arg("timeout_sec") = timeout_sec);
        return prover.attr("prove")(py::arg("target") = formula, py::arg("premises") = premises);
      },
      py::arg("formula"), py::arg("premises") = py::none(), py::arg("method") = "prefixed",
      py::arg("max_multiplicity") = 3, py::arg("max_steps") = 1000, py::arg("timeout_sec") = 10.0);
}

}  // namespace

PYBIND11_MODULE(resolution, m) {
  m.doc() = "Intuitionistic resolution: prefixed resolution, the relational translation, and both in turn.";
  common::refuse_bare_new();
  g_module = m.ptr();
  py::module_::import("core.ast");
  py::module_::import("core.parser");
  py::module_::import("core.sorts");
  py::module_::import("constructive.common");
  py::module_::import("constructive.prefix");
  py::module_::import("constructive.matrix");
  // The classical engine's modules; each name is looked up again when a proof
  // runs, so a module that is missing here is only needed then.
  for (auto [name, home] : {std::pair{"Signature", "core.signature"}, std::pair{"SolverConfig", "config"},
                            std::pair{"TheoremProver", "prover.engine"}, std::pair{"ProofDAG", "prover.proof"}}) {
    try {
      m.attr(name) = py::module_::import(home).attr(name);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError)) throw;
    }
  }
  bind_literal(m);
  bind_clause(m);
  bind_step(m);
  bind_proof_result(m);
  bind_prefixed(m);
  bind_translation(m);
  bind_translation_result(m);
  bind_combined(m);
  py::list names;
  for (const char* name :
       {"PrefixedLiteral", "PrefixedClause", "PrefixedResolutionStep", "PrefixedResolutionProofResult",
        "clausify_prefixed", "resolve_prefixed_clauses", "factor_prefixed_clause", "PrefixedResolutionProver",
        "prove_prefixed_resolution", "translate_ipc_to_fol", "get_frame_axioms", "TranslationResolutionResult",
        "TranslationResolutionProver", "prove_translation_resolution", "ConstructiveResolutionProver",
        "prove_resolution"})
    names.append(name);
  m.attr("__all__") = names;
  common::refuse_none_self(m);
}
