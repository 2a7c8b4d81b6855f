#pragma once

// UTF-8 for everything the simulated agent reads or writes as JSON; wide text
// for everything it hands to Windows.

#include <string>
#include <string_view>

namespace qm::sim {

[[nodiscard]] std::string ToUtf8(std::wstring_view text);

// Throws ScenarioError naming `what` when `text` is not valid UTF-8.
[[nodiscard]] std::wstring FromUtf8(std::string_view text, std::string_view what = "text");

}  // namespace qm::sim
