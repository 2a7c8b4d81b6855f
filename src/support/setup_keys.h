#pragma once

// The agent setup's keys under HKEY_LOCAL_MACHINE: the setup itself (install
// path, main product) and its UIDS subkey (the machine's identifiers).

#include <windows.h>

#include "support/unique_resource.h"

namespace qm {

inline constexpr wchar_t kSetupKeyPath[] = L"SOFTWARE\\Orvex Software\\Setup";
inline constexpr wchar_t kSetupUidsKeyPath[] = L"SOFTWARE\\Orvex Software\\Setup\\UIDS";

// Open the key with exactly `access` (view flags included); the system's
// status, `key` untouched on failure.
[[nodiscard]] LSTATUS OpenSetupKey(REGSAM access, UniqueKey& key);
[[nodiscard]] LSTATUS OpenSetupUidsKey(REGSAM access, UniqueKey& key);

}  // namespace qm
