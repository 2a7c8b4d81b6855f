#pragma once

// The agent's module switches that decide whether tune-up reports and
// per-user URL counts are read at all.

namespace qm::counters {

// "TUNEUP_ENABLED" of the agent's module key: true only when it is read and
// not zero.
[[nodiscard]] bool IsTuneUpEnabled();

// "PARENTALCON_ENABLED" of the same key, read the same way.
[[nodiscard]] bool IsParentalControlEnabled();

}  // namespace qm::counters
