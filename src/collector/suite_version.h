#pragma once

// The suite version as the agent reports it ("18.07.02.1234") is read by fixed
// character positions, not by its separators: whatever stands at positions 2,
// 5 and 8 is dropped.

#include <string>
#include <string_view>

namespace qm {

struct SuiteVersionParts {
  // Characters 0-1, 3-4, 6-7 and 9 onward run together.
  std::wstring number;
  int major = 0;  // leading number of characters 0-1
  int minor = 0;  // leading number of characters 3-4
  int build = 0;  // leading number of characters 6-7
};

// Splits `version`; positions past its end give empty pieces and 0.
[[nodiscard]] SuiteVersionParts SplitSuiteVersion(std::wstring_view version);

// The decimal number at the start of `text` as the C library reads it: leading
// white space and a sign accepted, stops at the first non-digit, 0 without
// digits.
[[nodiscard]] int LeadingNumber(std::wstring_view text) noexcept;

}  // namespace qm
