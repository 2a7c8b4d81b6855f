#pragma once

// What the collection driver hands the detection counters step from its own
// reads: the suite version's three numbers and the custom identifier, each 0
// when its item could not be read.

#include <cstdint>

namespace qm {

struct CountersInputs {
  int version_major = 0;
  int version_minor = 0;
  int version_build = 0;
  std::uint32_t custom_id = 0;
};

}  // namespace qm
