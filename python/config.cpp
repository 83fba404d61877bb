// config: the settings of the classical solver.
#include "common/bindings.hpp"
#include "common/records.hpp"
#include "common/settings.hpp"
#include "config/config.hpp"

namespace py = pybind11;
using config::SolverConfig;

PYBIND11_MODULE(config, m) {
  m.doc() = "Settings of the classical solver.";
  py::module_::import("core.exceptions");
  py::class_<SolverConfig> cls(m, "SolverConfig",
                               "Bounds of the resolution engine: given-clause selections and wall-clock seconds.");
  common::bind_record(
      cls, common::RecordStyle{}, common::constructor([](py::handle max_steps, py::handle timeout) {
        return SolverConfig{common::exact_count(max_steps, "prover_max_steps"),
                            common::seconds_in_use(timeout, "prover_timeout_sec")};
      }),
      common::field("prover_max_steps", &SolverConfig::prover_max_steps, 1000),
      common::field("prover_timeout_sec", &SolverConfig::prover_timeout_sec, 10.0));
  common::refuse_none_self(m);
}
