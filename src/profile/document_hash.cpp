#include "profile/document_hash.h"

#include <algorithm>
#include <array>
#include <string>

#include "support/text.h"

namespace qm {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    std::uint32_t crc = byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) != 0 ? (crc >> 1) ^ kPolynomial : crc >> 1;
    table[byte] = crc;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

std::uint32_t Crc32(std::string_view bytes) noexcept {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc = kCrcTable[(crc ^ static_cast<unsigned char>(c)) & 0xFFu] ^ (crc >> 8);
  }
  return ~crc;
}

std::uint32_t HashOfConvertedDocument(std::string_view ansi, std::size_t wide_length) noexcept {
  return Crc32(ansi.substr(0, std::min(wide_length, ansi.size())));
}

std::uint32_t ReducedDocumentHash(std::wstring_view document) {
  const std::string ansi = ToAnsi(document);
  return HashOfConvertedDocument(ansi, document.size());
}

}  // namespace qm
