#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace qm {

// Decodes standard Base64 (alphabet "A"-"Z", "a"-"z", "0"-"9", "+", "/").
// Fails, leaving `bytes` untouched, on an empty text, a length that is not a
// multiple of 4, a character outside the alphabet, or "=" anywhere but in the
// last one or two places: a misplaced pad would otherwise shorten the output
// below the bytes already written.
[[nodiscard]] bool Base64Decode(std::string_view text, std::vector<std::uint8_t>& bytes);

}  // namespace qm
