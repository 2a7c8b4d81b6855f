#pragma once

// Registry reads with the exact access rights and views the callers name, and
// text reads bounded by the caller's buffer capacity: a value that does not fit
// with its terminator is a failure, never a read past the buffer.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "support/unique_resource.h"

namespace qm::registry {

// Opens `path` under `parent` with exactly `access` (view flags included).
// Returns the system's status; `key` is untouched on failure.
[[nodiscard]] LSTATUS OpenKey(HKEY parent, const wchar_t* path, REGSAM access, UniqueKey& key);

// Which registry types a text read accepts.
enum class TextTypes { StringsOnly, AnyType };

// Reads a value as wide text. The query may fill at most `capacity`
// characters (capacity * 2 bytes); the result is always terminated, also when
// the stored value carries no terminator. A larger value fails with
// ERROR_MORE_DATA. Returns the status; `text` changes only on success.
[[nodiscard]] LSTATUS ReadText(HKEY key, const wchar_t* name, std::size_t capacity, TextTypes types,
                               std::wstring& text);

// Reads up to 4 bytes of a value, whatever its type, into a zeroed 4-byte
// buffer taken as a little-endian 32-bit integer. A larger value fails with
// ERROR_MORE_DATA.
[[nodiscard]] LSTATUS ReadUInt32(HKEY key, const wchar_t* name, std::uint32_t& value);

// Reads a value of any type and size into bytes (for the agent's stored
// binary values); fails when it is larger than `max_bytes`.
[[nodiscard]] LSTATUS ReadBytes(HKEY key, const wchar_t* name, std::size_t max_bytes,
                                std::string& bytes);

}  // namespace qm::registry
