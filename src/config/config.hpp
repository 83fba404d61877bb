// Settings of the classical solver.  A configuration holds the bounds the
// resolution engine applies when a caller does not pass its own.
#pragma once

#include <cstdint>

namespace config {

struct SolverConfig {
  std::int64_t prover_max_steps = 1000;  // given-clause selections
  double prover_timeout_sec = 10.0;      // wall-clock seconds
  bool operator==(const SolverConfig&) const = default;
};

}  // namespace config
