#pragma once

#include <string>
#include <string_view>

namespace qm {

// Wide text to the thread's ANSI code page; characters the code page lacks
// become its replacement character, never an error.
[[nodiscard]] std::string ToAnsi(std::wstring_view text);

// Text in the thread's ANSI code page to wide text.
[[nodiscard]] std::wstring FromAnsi(std::string_view text);

// Case-insensitive comparison of ASCII letters only, as the agent's names use.
[[nodiscard]] bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) noexcept;

// The words the program's messages use for a boolean: "True" or "False".
[[nodiscard]] constexpr const char* TrueOrFalse(bool value) noexcept {
  return value ? "True" : "False";
}

// Decimal text of a signed 32-bit value.
[[nodiscard]] std::wstring DecimalText(long value);

}  // namespace qm
