#pragma once

// What the program may ask of the communications library and of the settings
// library, held against each call as the stand-in logs it. A stand-in answers
// a call outside it as a failure (no channel, no request, false, an error
// code) and logs the reason as its "violation".

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace qm::sim {

// Why the communications call `entry` (a comms.jsonl line before its result)
// lies outside the contract; empty when it keeps to it. `previous_step` is the
// call made last on the same request ("CreateRequest" for a new one); other
// calls ignore it.
[[nodiscard]] std::string CommsViolation(const nlohmann::json& entry,
                                         std::string_view previous_step = {});

// The same for a settings library call (a settings.jsonl line).
[[nodiscard]] std::string SettingsViolation(const nlohmann::json& entry);

}  // namespace qm::sim
