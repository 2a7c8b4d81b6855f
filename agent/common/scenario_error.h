#pragma once

#include <stdexcept>

namespace qm::sim {

// A scenario file that cannot be applied; the message names the offending field path.
struct ScenarioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace qm::sim
