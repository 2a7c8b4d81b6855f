#include "collector/add_on_probes.h"

#include <windows.h>

#include "diagnostics/trace.h"
#include "support/registry.h"
#include "support/setup_keys.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

constexpr wchar_t kModRolKey[] = L"SOFTWARE\\Orvex Security\\Vela Av\\ModROL";
constexpr wchar_t kVpnVersionTypeValue[] = L"VPN_VERSION_TYPE";
constexpr wchar_t kToolbarKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\Toolbar";
constexpr wchar_t kToolbarValue[] = L"{6D3A9E12-47B0-4C5E-A1F8-2B9C0E7D4F63}";
constexpr std::size_t kToolbarMaxBytes = 2048;
constexpr wchar_t kAgentSetupKey[] = L"SOFTWARE\\Orvex Security\\SetupEx\\Halden Agent";
constexpr std::size_t kAgentPathCapacity = 2048 / sizeof(wchar_t);
constexpr wchar_t kSweeperKey[] = L"Software\\Orvex Security\\Orvex Sweeper";
constexpr std::size_t kFolderCapacity = MAX_PATH;  // 260 UTF-16 units
constexpr wchar_t kSweeperExecutable[] = L"\\SweeperApp.exe";
constexpr wchar_t kVaultFolderName[] = L"\\Orvex Lockbox\\";
constexpr REGSAM kRead32 = KEY_READ | KEY_WOW64_32KEY;
static_assert(kRead32 == 0x20219);

bool IsPresentFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// "Path"-like values of the older setup keys, opened with the default access:
// a zeroed buffer of 260 units, terminated whatever is stored.
bool ReadFolderValue(const wchar_t* key_path, const wchar_t* name, std::wstring& folder) {
  UniqueKey key;
  if (::RegOpenKeyW(HKEY_LOCAL_MACHINE, key_path, key.Put()) != ERROR_SUCCESS) return false;
  return registry::ReadText(key.Get(), name, kFolderCapacity, registry::TextTypes::AnyType,
                            folder) == ERROR_SUCCESS;
}

}  // namespace

void ReadVpnVersionType(std::uint32_t& type) {
  UniqueKey key;
  if (registry::OpenKey(HKEY_LOCAL_MACHINE, kModRolKey, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) {
    return;
  }
  std::uint32_t read = 0;
  if (registry::ReadUInt32(key.Get(), kVpnVersionTypeValue, read) != ERROR_SUCCESS) {
    QM_TRACE(Collector, 75, Error, Run);
    return;
  }
  type = read;
  QM_TRACE(Collector, 74, Error, Run, trace::Int(type));
}

bool IsToolbarInstalled() {
  UniqueKey key;
  if (registry::OpenKey(HKEY_LOCAL_MACHINE, kToolbarKey, kRead32, key) != ERROR_SUCCESS) {
    return false;
  }
  std::string data;
  return registry::ReadBytes(key.Get(), kToolbarValue, kToolbarMaxBytes, data) == ERROR_SUCCESS;
}

bool ReadAgentPath(std::wstring& path) {
  UniqueKey key;
  if (registry::OpenKey(HKEY_LOCAL_MACHINE, kAgentSetupKey, kRead32, key) != ERROR_SUCCESS) {
    return false;
  }
  std::wstring read;
  if (registry::ReadText(key.Get(), L"Path", kAgentPathCapacity, registry::TextTypes::AnyType,
                         read) != ERROR_SUCCESS) {
    return false;
  }
  if (read.empty() || read.back() != L'\\') read += L'\\';
  path = std::move(read);
  return true;
}

void ReadSetupPath(std::wstring& path) { (void)ReadFolderValue(kSetupKeyPath, L"Path", path); }

std::optional<std::wstring> VaultFolderOf(std::wstring_view setup_path) {
  if (!setup_path.empty() && setup_path.back() == L'\\') setup_path.remove_suffix(1);
  const std::size_t last = setup_path.rfind(L'\\');
  if (last == std::wstring_view::npos) return std::nullopt;
  return std::wstring(setup_path.substr(0, last)) + kVaultFolderName;
}

void ProbeLockboxTools(std::uint32_t& mask) {
  std::wstring setup_path;
  ReadSetupPath(setup_path);
  const std::optional<std::wstring> vault = VaultFolderOf(setup_path);
  if (!vault) return;
  if (IsPresentFile(*vault + L"lbKeypad.exe")) {
    mask |= kLockboxKeypadBit;
    QM_TRACE(Collector, 76, Error, Collector);
  }
  if (IsPresentFile(*vault + L"lbFileKit.exe")) {
    mask |= kLockboxFileKitBit;
    QM_TRACE(Collector, 77, Error, Collector);
  }
  if (IsPresentFile(*vault + L"lbKeyring.exe")) {
    mask |= kLockboxKeyringBit;
    QM_TRACE(Collector, 78, Error, Collector);
  }
}

bool IsSweeperInstalled() {
  std::wstring folder;
  if (!ReadFolderValue(kSweeperKey, L"CurrentPath", folder)) return false;
  return IsPresentFile(folder + kSweeperExecutable);
}

}  // namespace qm
