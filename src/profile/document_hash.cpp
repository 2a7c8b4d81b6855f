#include "profile/document_hash.h"

#include <windows.h>

#include <algorithm>
#include <array>

namespace qm {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;
constexpr std::uint32_t kInitial = 0xFFFFFFFFu;

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

// Carries a running CRC-32 (before its final inversion) over `bytes`.
std::uint32_t UpdateCrc(std::uint32_t crc, std::string_view bytes) noexcept {
  for (const char c : bytes) {
    crc = kCrcTable[(crc ^ static_cast<unsigned char>(c)) & 0xFFu] ^ (crc >> 8);
  }
  return crc;
}

// Wide characters converted per step. A step never ends inside a surrogate
// pair, so converting step by step gives the bytes of one whole conversion
// (no ANSI code page carries state from one character to the next).
constexpr int kStepCharacters = 4096;
// Most bytes any ANSI code page gives for one UTF-16 unit.
constexpr int kMaxBytesPerUnit = 4;

}  // namespace

std::uint32_t Crc32(std::string_view bytes) noexcept { return ~UpdateCrc(kInitial, bytes); }

// Converts and hashes step by step rather than converting the whole document
// first: the same bytes, without a second copy of a large document, and the
// conversion stops once the N bytes are hashed.
std::uint32_t ReducedDocumentHash(std::wstring_view document) noexcept {
  char bytes[kStepCharacters * kMaxBytesPerUnit];
  std::uint32_t crc = kInitial;
  std::size_t to_hash = document.size();
  std::size_t position = 0;
  while (to_hash > 0 && position < document.size()) {
    int count =
        static_cast<int>(std::min<std::size_t>(kStepCharacters, document.size() - position));
    if (position + count < document.size() && IS_HIGH_SURROGATE(document[position + count - 1])) {
      --count;
    }
    const int written = ::WideCharToMultiByte(CP_THREAD_ACP, 0, document.data() + position, count,
                                              bytes, sizeof(bytes), nullptr, nullptr);
    if (written <= 0) break;
    const std::size_t taken = std::min(to_hash, static_cast<std::size_t>(written));
    crc = UpdateCrc(crc, std::string_view(bytes, taken));
    to_hash -= taken;
    position += static_cast<std::size_t>(count);
  }
  return ~crc;
}

}  // namespace qm
