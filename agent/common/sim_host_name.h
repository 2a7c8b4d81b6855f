#pragma once

// The agent keeps its management host name enciphered ("Hostname" under its
// DEFAULTS key); the simulated agent writes it the same way, through the
// platform's own provider, so what the program deciphers is what the platform
// enciphered.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::sim {

// What the agent writes before the Base64 text; the program skips it unread.
inline constexpr wchar_t kAgentHostNamePrefix[] = L"OVXHN:v2:";

// `plain` enciphered as the agent does: RC2 with the agent's key, with the
// defaults of the platform's full-RSA provider. The provider is found through
// HKEY_LOCAL_MACHINE, so the key is made at the first call and kept for the
// process: a process that overrides that key calls once before. Throws
// ScenarioError when the provider refuses.
[[nodiscard]] std::vector<std::uint8_t> EncipherAsAgent(std::span<const std::uint8_t> plain);

// The stored value: `prefix`, then the Base64 of the enciphered UTF-16LE host name.
[[nodiscard]] std::wstring AgentHostNameValue(std::wstring_view host_name,
                                              std::wstring_view prefix = kAgentHostNamePrefix);

}  // namespace qm::sim
