#include "support/version_resource.h"

#include <cwchar>

namespace qm {
namespace {

void AppendHex4(std::wstring& text, WORD value) {
  constexpr wchar_t kDigits[] = L"0123456789abcdef";
  for (int shift = 12; shift >= 0; shift -= 4) text.push_back(kDigits[(value >> shift) & 0xF]);
}

// The version resource path of a string of the given translation, written
// with the language and code page in four lower-case hexadecimal digits each.
std::wstring StringFileInfoPath(WORD language, WORD code_page, std::wstring_view name) {
  std::wstring path = L"\\StringFileInfo\\";
  AppendHex4(path, language);
  AppendHex4(path, code_page);
  path += L'\\';
  path += name;
  return path;
}

}  // namespace

VersionResource::Load VersionResource::LoadFrom(const wchar_t* path) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return Load::NoResource;
  block_.assign(size, 0);
  if (!::GetFileVersionInfoW(path, 0, size, block_.data())) {
    block_.clear();
    return Load::Unreadable;
  }
  return Load::Loaded;
}

bool VersionResource::Query(const wchar_t* sub_block, const void*& data, UINT& length) const {
  if (block_.empty()) return false;
  void* found = nullptr;
  // The block is only read; the system's declaration asks for a writable one.
  if (!::VerQueryValueW(const_cast<std::uint8_t*>(block_.data()), sub_block, &found, &length))
    return false;
  data = found;
  return true;
}

bool VersionResource::ReadText(std::wstring_view name, std::wstring& text) const {
  const void* translations = nullptr;
  UINT translations_size = 0;
  if (!Query(L"\\VarFileInfo\\Translation", translations, translations_size) ||
      translations == nullptr || translations_size < 2 * sizeof(WORD)) {
    return false;
  }
  const auto* first = static_cast<const WORD*>(translations);
  const std::wstring path = StringFileInfoPath(first[0], first[1], name);
  const void* found = nullptr;
  UINT found_length = 0;
  if (!Query(path.c_str(), found, found_length) || found == nullptr) return false;
  // The reported length may or may not count the terminator; the text stops
  // at the first one within it either way.
  const auto* characters = static_cast<const wchar_t*>(found);
  const std::size_t length = ::wcsnlen(characters, found_length);
  if (length == 0) return false;
  text.assign(characters, length);
  return true;
}

}  // namespace qm
