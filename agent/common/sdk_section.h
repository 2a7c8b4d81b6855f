#pragma once

#include <nlohmann/json.hpp>

namespace qm::sim {

// Validates the scenario's "sdk" section with the SDK stand-in's own parser;
// throws ScenarioError naming the offending field.
void ValidateSdkSection(const nlohmann::ordered_json& section);

}  // namespace qm::sim
