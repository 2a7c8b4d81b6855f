#pragma once

// What the machine says about the agent's companion products: registry values
// of the agent's setup, the toolbar's registration, and files on disk.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

// Module status bits that come from files on disk.
inline constexpr std::uint32_t kSweeperBit = 0x1000;
inline constexpr std::uint32_t kLockboxFileKitBit = 0x2000;
inline constexpr std::uint32_t kLockboxKeypadBit = 0x4000;
inline constexpr std::uint32_t kLockboxKeyringBit = 0x8000;

// "VPN_VERSION_TYPE": its first 4 bytes whatever its type; `type` is left as
// it is when the key or value is missing or the value is longer.
void ReadVpnVersionType(std::uint32_t& type);

// True when the toolbar's value exists and its data fits in 2048 bytes.
[[nodiscard]] bool IsToolbarInstalled();

// The agent's folder, ending in "\"; false when "Path" cannot be read.
[[nodiscard]] bool ReadAgentPath(std::wstring& path);

// The setup folder ("Path" of the setup key); empty when missing.
void ReadSetupPath(std::wstring& path);

// The vault's folder beside the setup folder: C:\A\B\ and C:\A\B both give
// C:\A\Orvex Lockbox\. None for a setup folder that is empty or holds no "\":
// a relative folder is never probed.
[[nodiscard]] std::optional<std::wstring> VaultFolderOf(std::wstring_view setup_path);

// Sets the three vault bits of the tools present in the vault's folder.
void ProbeLockboxTools(std::uint32_t& mask);

// True when the cleaner's executable is present in its "CurrentPath".
[[nodiscard]] bool IsSweeperInstalled();

}  // namespace qm
