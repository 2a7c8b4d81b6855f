#pragma once

// The sender's identity handed to the upload channel: the agent's management
// host name (stored enciphered by the agent), the program's own identifier,
// and the suite version and MUID of the profile, each with a fixed fallback.

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

class IProfileDataObserver;

// Where the agent keeps its host name, under HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kAgentConfigKey[] =
    L"Software\\Orvex Security\\Halden Agent\\Config\\Services\\DEFAULTS";
inline constexpr wchar_t kHostNameValue[] = L"Hostname";

// UTF-16 units of every host name buffer, terminator included.
inline constexpr std::size_t kHostNameCapacity = 260;
// Bytes of the stored value (as narrow text) that precede the Base64 payload.
inline constexpr std::size_t kHostNamePrefixBytes = 9;

// Reads and deciphers the agent's host name; empty when any step fails.
[[nodiscard]] std::wstring ReadAgentHostName();

// Deciphers the Base64 payload of the stored host name; empty on failure.
[[nodiscard]] std::wstring DecryptHostName(std::string_view payload);

// "Quillmark_major_minor_build_revision" from the program's own file version.
[[nodiscard]] std::wstring BuildProgramIdentifier();

// The same, from the file of `module` (so tests can hand in other files).
[[nodiscard]] std::wstring ProgramIdentifierOf(HMODULE module);

// The profile's suite version, or "1.0.0.0" without one.
[[nodiscard]] std::wstring SuiteVersionOrDefault(const IProfileDataObserver* profile);

// The profile's MUID, or seventeen zeros without one.
[[nodiscard]] std::wstring MUIDOrDefault(const IProfileDataObserver* profile);

}  // namespace qm
