#include "collector/machine_os_info.h"

#include <cstdint>
#include <string_view>

#include "support/registry.h"
#include "support/text.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

constexpr wchar_t kNdpKey[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP";
constexpr wchar_t kNdpV4FullKey[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";
// KEY_READ with KEY_WOW64_32KEY: the view the agent's own readings were taken in.
constexpr REGSAM kNdpAccess = 0x20219;
static_assert(kNdpAccess == (KEY_READ | KEY_WOW64_32KEY));

constexpr DWORD kSubkeyNameCapacity = 260;
// "Version" is read through a 260-byte buffer.
constexpr std::size_t kVersionCapacity = 260 / sizeof(wchar_t);

constexpr DWORD kBasicVersionInfoSize = 276;
constexpr DWORD kExtendedVersionInfoSize = 284;
static_assert(sizeof(OSVERSIONINFOW) == kBasicVersionInfoSize);
static_assert(sizeof(OSVERSIONINFOEXW) == kExtendedVersionInfoSize);

std::optional<std::wstring> VersionOf(HKEY key) {
  std::wstring version;
  if (registry::ReadText(key, L"Version", kVersionCapacity, registry::TextTypes::AnyType,
                         version) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return version;
}

// One "v..." subkey: its own "Install" decides when it has one; only without
// it does the "Client" profile beneath speak for it.
std::optional<std::wstring> CandidateOf(HKEY version_key) {
  std::uint32_t install = 0;
  if (registry::ReadUInt32(version_key, L"Install", install) == ERROR_SUCCESS) {
    return install == 1 ? VersionOf(version_key) : std::nullopt;
  }
  UniqueKey client;
  if (registry::OpenKey(version_key, L"Client", KEY_READ, client) != ERROR_SUCCESS ||
      registry::ReadUInt32(client.Get(), L"Install", install) != ERROR_SUCCESS || install != 1) {
    return std::nullopt;
  }
  return VersionOf(client.Get());
}

// The subkey name at `index`, when it names a version ("v" in lower case).
std::optional<std::wstring> VersionSubkeyAt(HKEY ndp, DWORD index) {
  wchar_t name[kSubkeyNameCapacity] = {};
  DWORD length = kSubkeyNameCapacity;
  if (::RegEnumKeyExW(ndp, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  if (length >= kSubkeyNameCapacity || name[0] != L'v') return std::nullopt;
  return std::wstring(name, length);
}

bool GetVersionRecord(OSVERSIONINFOEXW& version) noexcept {
  version = {};
  version.dwOSVersionInfoSize = kExtendedVersionInfoSize;
  if (::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) return true;
  // Systems without the extended record leave the product type at 0.
  version = {};
  version.dwOSVersionInfoSize = kBasicVersionInfoSize;
  return ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)) != FALSE;
}

// Process-wide: the classification is made once, on the run thread.
bool g_windows_classified = false;
WindowsClass g_windows_class = WindowsClass::Other;

}  // namespace

bool ReadNetVersionInstalled(std::wstring& version) {
  std::wstring best;
  UniqueKey ndp;
  if (registry::OpenKey(HKEY_LOCAL_MACHINE, kNdpKey, kNdpAccess, ndp) == ERROR_SUCCESS) {
    DWORD subkeys = 0;
    if (::RegQueryInfoKeyW(ndp.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
      for (DWORD index = 0; index < subkeys; ++index) {
        const std::optional<std::wstring> name = VersionSubkeyAt(ndp.Get(), index);
        if (!name) continue;
        UniqueKey subkey;
        if (registry::OpenKey(ndp.Get(), name->c_str(), KEY_READ, subkey) != ERROR_SUCCESS) {
          continue;
        }
        std::optional<std::wstring> candidate = CandidateOf(subkey.Get());
        if (candidate && best < *candidate) best = std::move(*candidate);
      }
    }
  }
  version = best;
  return !best.empty();
}

bool ReadNetFrameworkRelease(std::wstring& release) {
  UniqueKey full;
  if (registry::OpenKey(HKEY_LOCAL_MACHINE, kNdpV4FullKey, kNdpAccess, full) != ERROR_SUCCESS) {
    return false;
  }
  std::uint32_t value = 0;
  if (registry::ReadUInt32(full.Get(), L"Release", value) != ERROR_SUCCESS) return false;
  release = DecimalText(static_cast<long>(static_cast<std::int32_t>(value)));
  return true;
}

bool ReadWindowsBuildNumber(std::wstring& build) {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = kBasicVersionInfoSize;
  if (!::GetVersionExW(&version)) return false;
  build = DecimalText(static_cast<long>(static_cast<std::int32_t>(version.dwBuildNumber)));
  return true;
}

std::optional<WindowsClass> ClassifyWindows(const OSVERSIONINFOEXW& version) noexcept {
  switch (version.dwPlatformId) {
    case VER_PLATFORM_WIN32s:
    case VER_PLATFORM_WIN32_WINDOWS:
      return WindowsClass::Other;
    case VER_PLATFORM_WIN32_NT:
      break;
    default:
      return std::nullopt;
  }
  const DWORD major = version.dwMajorVersion;
  const DWORD minor = version.dwMinorVersion;
  if (major > 10 || (major == 10 && minor >= 2)) return WindowsClass::LaterThanWindows10;
  if (major == 10 && minor == 0) {
    return version.wProductType == VER_NT_WORKSTATION ? WindowsClass::Windows10Workstation
                                                      : WindowsClass::Windows10Server;
  }
  return WindowsClass::Other;
}

bool IsWindows10() {
  if (!g_windows_classified) {
    OSVERSIONINFOEXW version;
    if (!GetVersionRecord(version)) return false;
    const std::optional<WindowsClass> found = ClassifyWindows(version);
    if (!found) return false;
    g_windows_class = *found;
    g_windows_classified = true;
  }
  return g_windows_class == WindowsClass::Windows10Workstation;
}

}  // namespace qm
