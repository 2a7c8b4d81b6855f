#pragma once

// The RC2 block cipher (RFC 2268), deciphering side only: the agent enciphers
// the values we read, and the result must match the platform's default
// provider, which runs RC2 in CBC mode with a zero initialisation vector and
// PKCS#5 padding.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qm {

class Rc2Decipher {
 public:
  static constexpr std::size_t kBlockSize = 8;

  // Expands `key` (1 to 128 bytes) for an effective key length of
  // `effective_bits` (1 to 1024); none when either is out of range.
  [[nodiscard]] static std::optional<Rc2Decipher> FromKey(std::span<const std::uint8_t> key,
                                                          unsigned effective_bits);

  // Deciphers one 8-byte block in place.
  void DecipherBlock(std::span<std::uint8_t, kBlockSize> block) const noexcept;

  // Deciphers a whole message in CBC mode from a zero initialisation vector
  // and strips its PKCS#5 padding. None when the length is not a positive
  // multiple of the block size or the padding is malformed.
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> DecipherCbc(
      std::span<const std::uint8_t> ciphertext) const;

 private:
  Rc2Decipher() = default;

  std::array<std::uint16_t, 64> expanded_key_{};
};

}  // namespace qm
