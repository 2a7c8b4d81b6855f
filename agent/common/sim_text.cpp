#include "common/sim_text.h"

#include <windows.h>

#include <climits>

#include "common/scenario_error.h"

namespace qm::sim {
namespace {

int CheckedLength(size_t length) {
  if (length > static_cast<size_t>(INT_MAX)) throw ScenarioError("text too long to convert");
  return static_cast<int>(length);
}

}  // namespace

std::string ToUtf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = CheckedLength(text.size());
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string result(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), size, nullptr, nullptr);
  return result;
}

std::wstring FromUtf8(std::string_view text, std::string_view what) {
  if (text.empty()) return {};
  const int length = CheckedLength(text.size());
  const int size =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (size <= 0) throw ScenarioError(std::string(what) + ": not valid UTF-8");
  std::wstring result(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, result.data(), size);
  return result;
}

}  // namespace qm::sim
