#pragma once

// The member writers from which every profile document is composed by hand.
// Their output is what the change comparison hashes and what is uploaded, so
// each form is fixed character for character: numbers and booleans are quoted
// strings, booleans read "True" / "False", and nothing is pretty-printed.
// A writer never lets an exception out: it traces which writer failed and
// returns the member with a null value (an empty array for arrays) instead.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// A record written as one JSON object.
class ISerializable {
 public:
  // The record's object text, braces included.
  [[nodiscard]] virtual std::wstring Serialize() const = 0;

 protected:
  // Records are destroyed through their own types, never through this one.
  ~ISerializable() = default;
};

// "key":"value"; a null value is written as an empty text.
[[nodiscard]] std::wstring JsonStringPair(std::wstring_view key, const wchar_t* value) noexcept;
[[nodiscard]] std::wstring JsonStringPair(std::wstring_view key,
                                          const std::wstring& value) noexcept;
// "key":"<unsigned decimal>"
[[nodiscard]] std::wstring JsonNumberPair(std::wstring_view key, std::uint32_t value) noexcept;
// "key":"True" or "key":"False"
[[nodiscard]] std::wstring JsonBoolPair(std::wstring_view key, bool value) noexcept;
// "key":{...}; a null object is written as {}.
[[nodiscard]] std::wstring JsonObjectPair(std::wstring_view key,
                                          const ISerializable* value) noexcept;
// "key":[...]; null entries are skipped (and traced with their index).
[[nodiscard]] std::wstring JsonArrayPair(std::wstring_view key,
                                         std::vector<const ISerializable*> entries) noexcept;

// Appends `text` with the characters a JSON reader cannot take verbatim
// (quote, backslash, control characters) escaped; all others unchanged.
void AppendJsonEscaped(std::wstring& out, std::wstring_view text);

// Collects one object's members: single commas between the members actually
// added, braces around them. An empty member (a writer that could not even
// build its fallback) is left out rather than leaving a stray comma.
class JsonObject {
 public:
  // `expected_size`: the characters the finished object will probably need.
  explicit JsonObject(std::size_t expected_size = 256);
  JsonObject& Add(const std::wstring& member);
  // Closes the object and hands its text out; the builder is spent.
  [[nodiscard]] std::wstring Close();

 private:
  std::wstring text_;
};

}  // namespace qm
