#include "collector/suite_version.h"

namespace qm {
namespace {

// Characters [first, first + count) of `text`, cut short at its end.
std::wstring_view Piece(std::wstring_view text, std::size_t first,
                        std::size_t count = std::wstring_view::npos) noexcept {
  if (first >= text.size()) return {};
  return text.substr(first, count);
}

bool IsCSpace(wchar_t c) noexcept {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

}  // namespace

int LeadingNumber(std::wstring_view text) noexcept {
  std::size_t at = 0;
  while (at < text.size() && IsCSpace(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) negative = text[at++] == L'-';
  // The pieces are two characters long, so the value never nears overflow;
  // the cap only keeps a longer caller safe.
  int value = 0;
  for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
    if (value > 100000000) break;
    value = value * 10 + (text[at] - L'0');
  }
  return negative ? -value : value;
}

SuiteVersionParts SplitSuiteVersion(std::wstring_view version) {
  const std::wstring_view major = Piece(version, 0, 2);
  const std::wstring_view minor = Piece(version, 3, 2);
  const std::wstring_view build = Piece(version, 6, 2);
  const std::wstring_view rest = Piece(version, 9);

  SuiteVersionParts parts;
  parts.number.reserve(major.size() + minor.size() + build.size() + rest.size());
  parts.number.append(major).append(minor).append(build).append(rest);
  parts.major = LeadingNumber(major);
  parts.minor = LeadingNumber(minor);
  parts.build = LeadingNumber(build);
  return parts;
}

}  // namespace qm
