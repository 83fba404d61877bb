// prover.engine: the classical resolution engine.
#include "common/bindings.hpp"
#include "common/settings.hpp"
#include "config/config.hpp"
#include "core/interrupt.hpp"
#include "prover/engine.hpp"

namespace py = pybind11;
using prover::TheoremProver;

namespace {

std::vector<core::NodePtr> premises_from_py(py::handle premises) {
  if (py::isinstance<py::str>(premises) || (!premises.is_none() && !py::isinstance<py::iterable>(premises)))
    throw core::TypeError("premises must be a sequence of formulas, got " + common::class_text(premises));
  return common::premises_from_py(premises);
}

}  // namespace

PYBIND11_MODULE(engine, m) {
  m.doc() =
      "The classical resolution engine: proves a target from premises by saturating the clauses of the premises "
      "and of the negated target (ordered resolution with literal selection, superposition for equations, "
      "subsumption), in a given-clause loop.";
  py::module_::import("core.exceptions");
  py::module_::import("core.signature");
  py::module_::import("config");
  py::module_::import("prover.proof");

  static py::exception<prover::NoProofError> no_proof(m, "NoProofError", PyExc_Exception);
  no_proof.attr("__doc__") =
      "Raised when the engine finds no proof: the clause set is saturated, the step limit is exhausted or the "
      "time limit is exceeded.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const prover::NoProofError& e) {
      PyErr_SetString(no_proof.ptr(), e.what());
    }
  });

  py::class_<TheoremProver>(m, "TheoremProver", py::is_final(),
                            "A resolution prover over a signature (Skolem symbols are registered there) with a "
                            "solver configuration (the default limits of prove).")
      .def(py::init([](py::handle signature, py::handle cfg) {
             std::shared_ptr<core::Signature> sig;
             if (!signature.is_none()) {
               if (!py::isinstance<core::Signature>(signature))
                 throw core::TypeError("signature must be a Signature or None, got " + common::class_text(signature));
               sig = signature.cast<std::shared_ptr<core::Signature>>();
             }
             config::SolverConfig settings;
             if (!cfg.is_none()) {
               if (!py::isinstance<config::SolverConfig>(cfg))
                 throw core::TypeError("config must be a SolverConfig or None, got " + common::class_text(cfg));
               settings = cfg.cast<config::SolverConfig>();
             }
             return TheoremProver(std::move(sig), settings);
           }),
           py::arg("signature") = py::none(), py::arg("config") = py::none())
      .def_property_readonly("signature",
                             [](const TheoremProver& self) -> py::object {
                               return self.signature() ? py::cast(self.signature()) : py::none();
                             })
      .def_property_readonly("config", [](const TheoremProver& self) { return self.config(); })
      .def(
          "prove",
          [](const TheoremProver& self, py::handle target, py::handle premises, py::handle max_steps,
             py::handle timeout_sec) {
            // The clock runs from the call: reading many premises counts too.
            const auto start = core::ScopedDeadline::Clock::now();
            core::NodePtr goal = common::formula_from_py(target, "target");
            std::vector<core::NodePtr> given = premises_from_py(premises);
            // a limit given as None is the configuration's
            const std::int64_t steps = max_steps.is_none() ? self.config().prover_max_steps
                                                           : common::count_at_least_one(max_steps, "max_steps");
            const double seconds = timeout_sec.is_none() ? self.config().prover_timeout_sec
                                                         : common::seconds_in_use(timeout_sec, "timeout_sec");
            prover::SearchLimits limits = TheoremProver::limits(steps, seconds);
            return prover::within_time_limit(limits.timeout_sec, [&] {
              prover::Refutation search;
              self.prepare(search, goal, given);
              {
                // The search reads and builds no Python object.
                py::gil_scoped_release release;
                search.run(limits);
              }
              return search.proof();
            }, start);
          },
          py::arg("target"), py::arg("premises") = py::none(), py::arg("max_steps") = py::none(),
          py::arg("timeout_sec") = py::none(),
          "The derivation (a ProofDAG) of the empty clause from the premises and the negated target; raises "
          "NoProofError when there is none within the limits (None: the configuration's). max_steps counts given "
          "clauses (at least 1); timeout_sec is wall-clock time (at least 0.1).");
  common::refuse_none_self(m);
}
