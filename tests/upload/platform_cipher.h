#pragma once

// The agent's side of the stored host name, made with the platform's own
// provider: what the program must be able to read back.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::testing {

// The agent's key text, whose 16 ASCII bytes are the RC2 key.
inline constexpr char kAgentKeyText[] = "4c1d9a07e35b82f6";

// Enciphers `plain` with the platform's default full-RSA provider (RC2, the
// agent's key, the provider's defaults). Fails the current test on error.
[[nodiscard]] std::vector<std::uint8_t> EncipherWithPlatform(std::span<const std::uint8_t> plain);

// Standard Base64 with "=" padding.
[[nodiscard]] std::string Base64Encode(std::span<const std::uint8_t> bytes);

// The UTF-16LE bytes of `text`.
[[nodiscard]] std::vector<std::uint8_t> Utf16Bytes(std::wstring_view text);

// A stored "Hostname" value as the agent writes it: `prefix` (9 characters)
// then the Base64 of the enciphered UTF-16 host name.
[[nodiscard]] std::wstring StoredHostName(std::wstring_view host_name,
                                          std::wstring_view prefix = L"v1:AGENT:");

}  // namespace qm::testing
