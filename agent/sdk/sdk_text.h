#pragma once

// UTF-8 is what the stand-in's JSON files hold; wide text is what COM takes.

#include <string>
#include <string_view>

namespace qm::sim {

[[nodiscard]] std::string Utf8Of(std::wstring_view text);
// Throws ScenarioError naming `path` when `text` is not valid UTF-8.
[[nodiscard]] std::wstring WideOfUtf8(std::string_view text, const std::string& path);

}  // namespace qm::sim
