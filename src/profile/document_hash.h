#pragma once

// The hash that decides whether the profile changed since the last upload.
// Hashes of earlier runs are kept and compared, so the rule must never change.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qm {

// The common reflected CRC-32 (polynomial 0xEDB88320, initial value and final
// inversion 0xFFFFFFFF).
[[nodiscard]] std::uint32_t Crc32(std::string_view bytes) noexcept;

// Hash of the reduced document: CRC-32 of the first N bytes of its conversion
// to the thread's ANSI code page, N being the document's length in wide
// characters, not the converted length; when the conversion came out shorter
// only its own bytes are hashed.
[[nodiscard]] std::uint32_t ReducedDocumentHash(std::wstring_view document) noexcept;

}  // namespace qm
