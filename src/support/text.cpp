#include "support/text.h"

#include <windows.h>

#include <climits>
#include <stdexcept>

namespace qm {
namespace {

int CheckedLength(size_t length) {
  if (length > static_cast<size_t>(INT_MAX)) throw std::length_error("text too long to convert");
  return static_cast<int>(length);
}

wchar_t UpperAscii(wchar_t c) noexcept {
  return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - (L'a' - L'A')) : c;
}

}  // namespace

std::string ToAnsi(std::wstring_view text) {
  if (text.empty()) return {};
  const int wide_length = CheckedLength(text.size());
  const int size = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), wide_length, nullptr, 0,
                                         nullptr, nullptr);
  if (size <= 0) return {};
  std::string result(static_cast<size_t>(size), '\0');
  const int written = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), wide_length,
                                            result.data(), size, nullptr, nullptr);
  result.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return result;
}

std::wstring FromAnsi(std::string_view text) {
  if (text.empty()) return {};
  const int narrow_length = CheckedLength(text.size());
  const int size = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), narrow_length, nullptr, 0);
  if (size <= 0) return {};
  std::wstring result(static_cast<size_t>(size), L'\0');
  const int written =
      ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), narrow_length, result.data(), size);
  result.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return result;
}

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

std::wstring DecimalText(long value) { return std::to_wstring(value); }

}  // namespace qm
