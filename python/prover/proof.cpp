// prover.proof: the derivation the resolution engine returns.
#include "common/bindings.hpp"
#include "common/records.hpp"
#include "prover/proof.hpp"

namespace py = pybind11;
using prover::ProofDAG;
using prover::ProofStep;

namespace {

prover::Clause clause_from_py(py::handle obj) {
  if (!py::isinstance<prover::Clause>(obj))
    throw core::TypeError("clause must be a Clause, got " + common::class_text(obj));
  return common::record_of<prover::Clause>(obj);
}

std::vector<std::int64_t> parents_from_py(py::handle obj) {
  if (py::isinstance<py::str>(obj) || !py::isinstance<py::iterable>(obj))
    throw core::TypeError("parents must be a sequence of step indices, got " + common::class_text(obj));
  std::vector<std::int64_t> out;
  for (py::handle item : obj) {
    if (py::isinstance<py::bool_>(item)) throw core::TypeError("a parent must be an integer, got <class 'bool'>");
    out.push_back(common::int64_from_py(item, "a parent"));
  }
  return out;
}

py::tuple parents_to_py(const ProofStep& step) {
  py::tuple out(step.parents.size());
  for (std::size_t i = 0; i < step.parents.size(); ++i) out[i] = py::int_(step.parents[i]);
  return out;
}

py::tuple steps_to_py(const ProofDAG& dag) {
  py::tuple out(dag.steps.size());
  for (std::size_t i = 0; i < dag.steps.size(); ++i) out[i] = py::cast(dag.steps[i]);
  return out;
}

}  // namespace

PYBIND11_MODULE(proof, m) {
  m.doc() = "Proof records of the classical resolution engine.";
  py::module_::import("core.exceptions");
  py::module_::import("prover.clausifier");

  py::class_<ProofStep> step(m, "ProofStep",
                             "One step of a derivation: its clause, the rule that produced it ('Axiom', "
                             "'NegatedGoal', 'Definition', 'BinaryResolution', 'Factoring', 'Paramodulation', "
                             "'EqualityResolution', 'EqualityFactoring') and the indices of its parent steps.");
  common::bind_record(
      step, common::RecordStyle{}, common::constructor([](py::handle clause, py::handle rule, py::handle parents) {
        return ProofStep{clause_from_py(clause), common::string_from_py(rule, "rule"), parents_from_py(parents)};
      }),
      common::field("clause", [](const ProofStep& s) { return std::make_shared<prover::Clause>(s.clause); }),
      common::field("rule", &ProofStep::rule),
      common::field("parents", parents_to_py, py::tuple()));

  py::class_<ProofDAG> dag(m, "ProofDAG",
                           "The derivation of the empty clause: the steps the refutation uses, each after its "
                           "parents, the empty clause last.");
  common::bind_record(
      dag, common::RecordStyle{}, common::constructor([](py::handle steps) {
        if (py::isinstance<py::str>(steps) || !py::isinstance<py::iterable>(steps))
          throw core::TypeError("steps must be a sequence of ProofStep, got " + common::class_text(steps));
        ProofDAG out;
        for (py::handle item : steps) {
          if (!py::isinstance<ProofStep>(item))
            throw core::TypeError("a step must be a ProofStep, got " + common::class_text(item));
          out.steps.push_back(common::record_of<ProofStep>(item));
        }
        return out;
      }),
      common::field("steps", steps_to_py, py::tuple()));

  m.def(
      "check_derivation", [](const ProofDAG& proof) { return prover::check_derivation(proof); }, py::arg("proof"),
      "Re-derives every step from its parents by its rule: an empty string when the derivation holds and ends in "
      "the empty clause, else the first fault found.");
  common::refuse_none_self(m);
}
