// config: the settings of the classical solver.
#include "common/bindings.hpp"
#include "common/records.hpp"
#include "config/config.hpp"

namespace py = pybind11;
using config::SolverConfig;

namespace {

// A number of seconds: an int or a float (never a bool), stored as a float.
double seconds_from_py(py::handle obj) {
  if (py::isinstance<py::bool_>(obj) || !(py::isinstance<py::int_>(obj) || py::isinstance<py::float_>(obj)))
    throw core::TypeError("prover_timeout_sec must be a number, got " + common::class_text(obj));
  return obj.cast<double>();
}

}  // namespace

PYBIND11_MODULE(config, m) {
  m.doc() = "Settings of the classical solver.";
  py::module_::import("core.exceptions");
  py::class_<SolverConfig> cls(m, "SolverConfig",
                               "Bounds of the resolution engine: given-clause selections and wall-clock seconds.");
  common::bind_record(
      cls, common::RecordStyle{}, common::constructor([](py::handle max_steps, py::handle timeout) {
        if (py::isinstance<py::bool_>(max_steps))
          throw core::TypeError("prover_max_steps must be an integer, got " + common::class_text(max_steps));
        return SolverConfig{common::int64_from_py(max_steps, "prover_max_steps"), seconds_from_py(timeout)};
      }),
      common::field("prover_max_steps", &SolverConfig::prover_max_steps, 1000),
      common::field("prover_timeout_sec", &SolverConfig::prover_timeout_sec, 10.0));
  common::refuse_none_self(m);
}
