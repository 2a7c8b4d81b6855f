#include "upload/agent_identity.h"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <optional>
#include <span>
#include <vector>

#include "diagnostics/trace.h"
#include "profile/profile_data.h"
#include "support/module_path.h"
#include "support/registry.h"
#include "support/text.h"
#include "support/version_resource.h"
#include "upload/base64.h"
#include "upload/rc2.h"

namespace qm {
namespace {

// The agent enciphers with these 16 ASCII bytes as the key itself (not hex),
// at the effective key length the platform's default provider gives a
// 128-bit RC2 key.
constexpr char kHostNameKeyText[] = "4c1d9a07e35b82f6";
constexpr unsigned kHostNameEffectiveKeyBits = 128;

constexpr wchar_t kProgramIdentifierFallback[] = L"Quillmark_1.0.0";
constexpr wchar_t kSuiteVersionFallback[] = L"1.0.0.0";
constexpr wchar_t kMUIDFallback[] = L"00000000000000000";
constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;

std::optional<Rc2Decipher> HostNameCipher() {
  const std::span<const std::uint8_t> key(reinterpret_cast<const std::uint8_t*>(kHostNameKeyText),
                                          sizeof(kHostNameKeyText) - 1);
  return Rc2Decipher::FromKey(key, kHostNameEffectiveKeyBits);
}

// The plain bytes as a terminated text of at most kHostNameCapacity - 1 units;
// none when they would not fit the host name buffer with a terminator.
std::optional<std::wstring> HostNameFromPlainBytes(const std::vector<std::uint8_t>& plain) {
  wchar_t buffer[kHostNameCapacity] = {};
  if (plain.size() > sizeof(buffer)) return std::nullopt;
  if (!plain.empty()) std::memcpy(buffer, plain.data(), plain.size());
  const std::size_t length = ::wcsnlen(buffer, kHostNameCapacity);
  if (length == kHostNameCapacity) return std::nullopt;
  return std::wstring(buffer, length);
}

struct FileVersion {
  unsigned major = 0;
  unsigned minor = 0;
  unsigned build = 0;
  unsigned revision = 0;
};

// The fixed file version of the file at `path`; zeros when it has none.
FileVersion ReadFileVersion(const wchar_t* path) {
  FileVersion version;
  VersionResource resource;
  switch (resource.LoadFrom(path)) {
    case VersionResource::Load::NoResource:
      return version;
    case VersionResource::Load::Unreadable:
      QM_TRACE(Upload, 36, Error, Upload, trace::Int(::GetLastError()));
      return version;
    case VersionResource::Load::Loaded:
      break;
  }
  const void* data = nullptr;
  UINT length = 0;
  if (!resource.Query(L"\\", data, length)) {
    QM_TRACE(Upload, 35, Error, Upload, trace::Int(::GetLastError()));
    return version;
  }
  // A short block is as good as none: reading a whole record from it would overrun.
  if (data == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
    QM_TRACE(Upload, 34, Error, Upload, trace::Int(::GetLastError()));
    return version;
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(data);
  if (fixed->dwSignature != kFixedFileInfoSignature) return version;
  version.major = HIWORD(fixed->dwFileVersionMS);
  version.minor = LOWORD(fixed->dwFileVersionMS);
  version.build = HIWORD(fixed->dwFileVersionLS);
  version.revision = LOWORD(fixed->dwFileVersionLS);
  return version;
}

}  // namespace

std::wstring ReadAgentHostName() {
  UniqueKey key;
  if (registry::OpenKey(HKEY_LOCAL_MACHINE, kAgentConfigKey, KEY_QUERY_VALUE, key) !=
      ERROR_SUCCESS) {
    QM_TRACE(Upload, 38, Error, Upload, trace::AnsiOf(kAgentConfigKey));
    return {};
  }
  std::wstring stored;
  // The read is bounded by the buffer; a text filling all of it has no room
  // for its terminator and counts as too long.
  if (registry::ReadText(key.Get(), kHostNameValue, kHostNameCapacity, registry::TextTypes::AnyType,
                         stored) != ERROR_SUCCESS ||
      stored.size() >= kHostNameCapacity) {
    QM_TRACE(Upload, 39, Error, Upload, trace::Narrow("Hostname"));
    return {};
  }
  key.Reset();
  const std::string narrow = ToAnsi(stored);
  // A value no longer than its prefix has no payload; decoding an empty
  // payload fails and says so.
  const std::string_view payload = narrow.size() > kHostNamePrefixBytes
                                       ? std::string_view(narrow).substr(kHostNamePrefixBytes)
                                       : std::string_view();
  return DecryptHostName(payload);
}

std::wstring DecryptHostName(std::string_view payload) {
  const auto cipher = HostNameCipher();
  if (!cipher) {
    QM_TRACE(Upload, 41, Error, Upload);
    return {};
  }
  std::vector<std::uint8_t> ciphertext;
  if (!Base64Decode(payload, ciphertext)) {
    QM_TRACE(Upload, 43, Info, Upload);
    return {};
  }
  const auto plain = cipher->DecipherCbc(ciphertext);
  const auto host_name = plain ? HostNameFromPlainBytes(*plain) : std::nullopt;
  if (!host_name) {
    QM_TRACE(Upload, 44, Info, Upload);
    return {};
  }
  QM_TRACE(Upload, 45, Info, Upload, trace::Wide(*host_name));
  return *host_name;
}

std::wstring BuildProgramIdentifier() {
  const HMODULE own = ::GetModuleHandleW(nullptr);
  if (own == nullptr) {
    QM_TRACE(Upload, 32, Error, Upload, trace::Int(::GetLastError()));
    return kProgramIdentifierFallback;
  }
  return ProgramIdentifierOf(own);
}

std::wstring ProgramIdentifierOf(HMODULE module) {
  std::wstring path;
  if (!ReadModulePath(module, MAX_PATH, path)) {
    QM_TRACE(Upload, 33, Error, Upload, trace::Int(::GetLastError()));
    return kProgramIdentifierFallback;
  }
  const FileVersion version = ReadFileVersion(path.c_str());
  return L"Quillmark_" + std::to_wstring(version.major) + L"_" + std::to_wstring(version.minor) +
         L"_" + std::to_wstring(version.build) + L"_" + std::to_wstring(version.revision);
}

std::wstring SuiteVersionOrDefault(const IProfileDataObserver* profile) {
  if (profile == nullptr) {
    QM_TRACE(Upload, 28, Error, Upload);
    return kSuiteVersionFallback;
  }
  std::wstring suite_version = profile->GetSuiteVersion();
  if (suite_version.empty()) {
    QM_TRACE(Upload, 29, Error, Upload);
    return kSuiteVersionFallback;
  }
  return suite_version;
}

std::wstring MUIDOrDefault(const IProfileDataObserver* profile) {
  if (profile == nullptr) {
    QM_TRACE(Upload, 30, Error, Upload);
    return kMUIDFallback;
  }
  std::wstring muid = profile->GetMUID();
  if (muid.empty()) {
    QM_TRACE(Upload, 31, Error, Upload);
    return kMUIDFallback;
  }
  return muid;
}

}  // namespace qm
