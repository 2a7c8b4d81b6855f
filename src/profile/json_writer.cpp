#include "profile/json_writer.h"

#include <charconv>
#include <utility>

#include "diagnostics/trace.h"

namespace qm {
namespace {

constexpr std::wstring_view kNullValue = L"null";
constexpr std::wstring_view kEmptyArray = L"[]";

wchar_t HexDigit(unsigned value) noexcept {
  return static_cast<wchar_t>(value < 10 ? L'0' + value : L'a' + (value - 10));
}

struct ShortEscape {
  wchar_t raw;
  wchar_t letter;  // written after a backslash
};
constexpr ShortEscape kShortEscapes[] = {{L'"', L'"'},  {L'\\', L'\\'}, {L'\b', L'b'},
                                         {L'\f', L'f'}, {L'\n', L'n'},  {L'\r', L'r'},
                                         {L'\t', L't'}};

void AppendEscape(std::wstring& out, wchar_t c) {
  out += L'\\';
  for (const ShortEscape& escape : kShortEscapes) {
    if (escape.raw == c) {
      out += escape.letter;
      return;
    }
  }
  const auto code = static_cast<unsigned>(c);
  out += L"u00";
  out += HexDigit(code >> 4);
  out += HexDigit(code & 0xF);
}

bool NeedsEscape(wchar_t c) noexcept { return c == L'"' || c == L'\\' || c < 0x20; }

void AppendKeyPart(std::wstring& member, std::wstring_view key) {
  member += L'"';
  AppendJsonEscaped(member, key);
  member += L"\":";
}

void AppendQuoted(std::wstring& member, std::wstring_view text) {
  member += L'"';
  AppendJsonEscaped(member, text);
  member += L'"';
}

std::wstring TextMember(std::wstring_view key, std::wstring_view value) {
  std::wstring member;
  member.reserve(key.size() + value.size() + 5);
  AppendKeyPart(member, key);
  AppendQuoted(member, value);
  return member;
}

// The key part and `tail`; when even that cannot be allocated, nothing, which
// JsonObject leaves out of the document.
std::wstring FallbackMember(std::wstring_view key, std::wstring_view tail) noexcept {
  try {
    std::wstring member;
    AppendKeyPart(member, key);
    member += tail;
    return member;
  } catch (...) {
    return {};
  }
}

std::wstring UnsignedDecimal(std::uint32_t value) {
  // Widened with zeros, so a value with the top bit set stays positive.
  char digits[64];
  const auto result = std::to_chars(digits, digits + sizeof(digits), std::uint64_t{value});
  return std::wstring(digits, result.ptr);
}

// Entries of one array are records of one kind and of similar size, so the
// first one tells how large the whole array will be. Reserving that once
// spares a large array the copies of repeated growth; it is only a hint, so
// an estimate that cannot be had changes nothing.
void ReserveForEntriesLike(std::wstring& member, std::size_t entry_size,
                           std::size_t entries) noexcept {
  const std::uint64_t estimate =
      member.size() + (std::uint64_t{entry_size} + 1) * entries * 9 / 8 + 1;
  if (estimate >= member.max_size()) return;
  try {
    member.reserve(static_cast<std::size_t>(estimate));
  } catch (...) {
  }
}

}  // namespace

void AppendJsonEscaped(std::wstring& out, std::wstring_view text) {
  std::size_t plain_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!NeedsEscape(text[i])) continue;
    out.append(text.substr(plain_start, i - plain_start));
    AppendEscape(out, text[i]);
    plain_start = i + 1;
  }
  out.append(text.substr(plain_start));
}

std::wstring JsonStringPair(std::wstring_view key, const wchar_t* value) noexcept {
  try {
    return TextMember(key, value != nullptr ? std::wstring_view(value) : std::wstring_view());
  } catch (...) {
    QM_TRACE(JsonWriter, 10, Error, DataFile);
    return FallbackMember(key, kNullValue);
  }
}

std::wstring JsonStringPair(std::wstring_view key, const std::wstring& value) noexcept {
  try {
    return TextMember(key, value);
  } catch (...) {
    QM_TRACE(JsonWriter, 11, Error, DataFile);
    return FallbackMember(key, kNullValue);
  }
}

std::wstring JsonNumberPair(std::wstring_view key, std::uint32_t value) noexcept {
  try {
    return TextMember(key, UnsignedDecimal(value));
  } catch (...) {
    QM_TRACE(JsonWriter, 12, Error, DataFile);
    return FallbackMember(key, kNullValue);
  }
}

std::wstring JsonBoolPair(std::wstring_view key, bool value) noexcept {
  try {
    return TextMember(key, value ? L"True" : L"False");
  } catch (...) {
    QM_TRACE(JsonWriter, 13, Error, DataFile);
    return FallbackMember(key, kNullValue);
  }
}

std::wstring JsonObjectPair(std::wstring_view key, const ISerializable* value) noexcept {
  try {
    std::wstring member;
    AppendKeyPart(member, key);
    member += value != nullptr ? value->Serialize() : std::wstring(L"{}");
    return member;
  } catch (...) {
    QM_TRACE(JsonWriter, 14, Error, DataFile);
    return FallbackMember(key, kNullValue);
  }
}

std::wstring JsonArrayPair(std::wstring_view key,
                           std::vector<const ISerializable*> entries) noexcept {
  try {
    std::wstring member;
    AppendKeyPart(member, key);
    member += L'[';
    bool first = true;
    for (std::size_t index = 0; index < entries.size(); ++index) {
      if (entries[index] == nullptr) {
        QM_TRACE(JsonWriter, 16, Error, Documents, trace::Int(static_cast<std::uint32_t>(index)));
        continue;
      }
      const std::wstring entry = entries[index]->Serialize();
      if (first) ReserveForEntriesLike(member, entry.size(), entries.size() - index);
      if (!first) member += L',';
      member += entry;
      first = false;
    }
    member += L']';
    return member;
  } catch (...) {
    QM_TRACE(JsonWriter, 15, Error, DataFile);
    return FallbackMember(key, kEmptyArray);
  }
}

JsonObject::JsonObject(std::size_t expected_size) {
  // Reserved once, so the members are appended without regrowing.
  text_.reserve(expected_size);
  text_ += L'{';
}

JsonObject& JsonObject::Add(const std::wstring& member) {
  if (member.empty()) return *this;
  if (text_.size() > 1) text_ += L',';
  text_ += member;
  return *this;
}

std::wstring JsonObject::Close() {
  text_ += L'}';
  return std::move(text_);
}

}  // namespace qm
