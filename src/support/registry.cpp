#include "support/registry.h"

#include <cwchar>
#include <vector>

namespace qm::registry {
namespace {

bool IsStringType(DWORD type) noexcept { return type == REG_SZ || type == REG_EXPAND_SZ; }

}  // namespace

LSTATUS OpenKey(HKEY parent, const wchar_t* path, REGSAM access, UniqueKey& key) {
  HKEY opened = nullptr;
  const LSTATUS status = ::RegOpenKeyExW(parent, path, 0, access, &opened);
  if (status == ERROR_SUCCESS) key.Reset(opened);
  return status;
}

LSTATUS ReadText(HKEY key, const wchar_t* name, std::size_t capacity, TextTypes types,
                 std::wstring& text) {
  if (capacity == 0 || capacity > MAXDWORD / sizeof(wchar_t)) return ERROR_INVALID_PARAMETER;
  // One slot more than the query may fill, so the text is terminated even when
  // the stored value carries no terminator of its own.
  std::vector<wchar_t> buffer(capacity + 1, L'\0');
  DWORD type = REG_NONE;
  DWORD bytes = static_cast<DWORD>(capacity * sizeof(wchar_t));
  const LSTATUS status =
      ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes);
  if (status != ERROR_SUCCESS) return status;
  if (types == TextTypes::StringsOnly && !IsStringType(type)) return ERROR_UNSUPPORTED_TYPE;
  text.assign(buffer.data(), std::wcslen(buffer.data()));
  return ERROR_SUCCESS;
}

LSTATUS ReadUInt32(HKEY key, const wchar_t* name, std::uint32_t& value) {
  DWORD buffer = 0;
  DWORD bytes = sizeof(buffer);
  const LSTATUS status =
      ::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer), &bytes);
  if (status == ERROR_SUCCESS) value = buffer;
  return status;
}

LSTATUS ReadBytes(HKEY key, const wchar_t* name, std::size_t max_bytes, std::string& bytes) {
  DWORD size = 0;
  LSTATUS status = ::RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size);
  // The value may change between the size query and the read; retry a few times.
  for (int attempt = 0; attempt < 4 && status == ERROR_SUCCESS; ++attempt) {
    if (size > max_bytes) return ERROR_MORE_DATA;
    std::string buffer(size, '\0');
    DWORD filled = size;
    status = ::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                                &filled);
    if (status == ERROR_SUCCESS) {
      buffer.resize(filled);
      bytes = std::move(buffer);
      return ERROR_SUCCESS;
    }
    if (status == ERROR_MORE_DATA) {
      size = filled;
      status = ERROR_SUCCESS;
    }
  }
  return status == ERROR_SUCCESS ? ERROR_MORE_DATA : status;
}

}  // namespace qm::registry
