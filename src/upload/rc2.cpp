#include "upload/rc2.h"

#include <algorithm>

namespace qm {
namespace {

// The permutation of 0..255 derived from the digits of pi that drives the key expansion.
constexpr std::array<std::uint8_t, 256> kPiTable = {
    0xd9, 0x78, 0xf9, 0xc4, 0x19, 0xdd, 0xb5, 0xed, 0x28, 0xe9, 0xfd, 0x79, 0x4a, 0xa0, 0xd8, 0x9d,
    0xc6, 0x7e, 0x37, 0x83, 0x2b, 0x76, 0x53, 0x8e, 0x62, 0x4c, 0x64, 0x88, 0x44, 0x8b, 0xfb, 0xa2,
    0x17, 0x9a, 0x59, 0xf5, 0x87, 0xb3, 0x4f, 0x13, 0x61, 0x45, 0x6d, 0x8d, 0x09, 0x81, 0x7d, 0x32,
    0xbd, 0x8f, 0x40, 0xeb, 0x86, 0xb7, 0x7b, 0x0b, 0xf0, 0x95, 0x21, 0x22, 0x5c, 0x6b, 0x4e, 0x82,
    0x54, 0xd6, 0x65, 0x93, 0xce, 0x60, 0xb2, 0x1c, 0x73, 0x56, 0xc0, 0x14, 0xa7, 0x8c, 0xf1, 0xdc,
    0x12, 0x75, 0xca, 0x1f, 0x3b, 0xbe, 0xe4, 0xd1, 0x42, 0x3d, 0xd4, 0x30, 0xa3, 0x3c, 0xb6, 0x26,
    0x6f, 0xbf, 0x0e, 0xda, 0x46, 0x69, 0x07, 0x57, 0x27, 0xf2, 0x1d, 0x9b, 0xbc, 0x94, 0x43, 0x03,
    0xf8, 0x11, 0xc7, 0xf6, 0x90, 0xef, 0x3e, 0xe7, 0x06, 0xc3, 0xd5, 0x2f, 0xc8, 0x66, 0x1e, 0xd7,
    0x08, 0xe8, 0xea, 0xde, 0x80, 0x52, 0xee, 0xf7, 0x84, 0xaa, 0x72, 0xac, 0x35, 0x4d, 0x6a, 0x2a,
    0x96, 0x1a, 0xd2, 0x71, 0x5a, 0x15, 0x49, 0x74, 0x4b, 0x9f, 0xd0, 0x5e, 0x04, 0x18, 0xa4, 0xec,
    0xc2, 0xe0, 0x41, 0x6e, 0x0f, 0x51, 0xcb, 0xcc, 0x24, 0x91, 0xaf, 0x50, 0xa1, 0xf4, 0x70, 0x39,
    0x99, 0x7c, 0x3a, 0x85, 0x23, 0xb8, 0xb4, 0x7a, 0xfc, 0x02, 0x36, 0x5b, 0x25, 0x55, 0x97, 0x31,
    0x2d, 0x5d, 0xfa, 0x98, 0xe3, 0x8a, 0x92, 0xae, 0x05, 0xdf, 0x29, 0x10, 0x67, 0x6c, 0xba, 0xc9,
    0xd3, 0x00, 0xe6, 0xcf, 0xe1, 0x9e, 0xa8, 0x2c, 0x63, 0x16, 0x01, 0x3f, 0x58, 0xe2, 0x89, 0xa9,
    0x0d, 0x38, 0x34, 0x1b, 0xab, 0x33, 0xff, 0xb0, 0xbb, 0x48, 0x0c, 0x5f, 0xb9, 0xb1, 0xcd, 0x2e,
    0xc5, 0xf3, 0xdb, 0x47, 0xe5, 0xa5, 0x9c, 0x77, 0x0a, 0xa6, 0x20, 0x68, 0xfe, 0x7f, 0xc1, 0xad,
};

constexpr std::size_t kMaxKeyBytes = 128;
constexpr unsigned kMaxEffectiveBits = 1024;
constexpr std::array<unsigned, 4> kRotations = {1, 2, 3, 5};

std::uint16_t RotateRight(std::uint16_t word, unsigned count) noexcept {
  return static_cast<std::uint16_t>((word >> count) | (word << (16 - count)));
}

// One reversed mixing round over the four words, consuming four subkeys downward.
void UnmixRound(std::array<std::uint16_t, 4>& r, const std::array<std::uint16_t, 64>& k,
                int& j) noexcept {
  for (int i = 3; i >= 0; --i) {
    const std::uint16_t a = r[(i + 3) % 4];  // R[i-1]
    const std::uint16_t b = r[(i + 2) % 4];  // R[i-2]
    const std::uint16_t c = r[(i + 1) % 4];  // R[i-3]
    const std::uint16_t rotated = RotateRight(r[i], kRotations[i]);
    r[i] =
        static_cast<std::uint16_t>(rotated - k[j] - (a & b) - (static_cast<std::uint16_t>(~a) & c));
    --j;
  }
}

// One reversed mashing round.
void UnmashRound(std::array<std::uint16_t, 4>& r, const std::array<std::uint16_t, 64>& k) noexcept {
  for (int i = 3; i >= 0; --i) {
    r[i] = static_cast<std::uint16_t>(r[i] - k[r[(i + 3) % 4] & 63]);
  }
}

// PKCS#5: the last byte counts the pad bytes (1 to a block), and every pad
// byte repeats that count.
std::optional<std::size_t> PaddingLength(std::span<const std::uint8_t> plain) noexcept {
  const std::uint8_t count = plain.back();
  if (count == 0 || count > Rc2Decipher::kBlockSize) return std::nullopt;
  const auto pad = plain.last(count);
  if (!std::all_of(pad.begin(), pad.end(), [count](std::uint8_t b) { return b == count; })) {
    return std::nullopt;
  }
  return count;
}

}  // namespace

std::optional<Rc2Decipher> Rc2Decipher::FromKey(std::span<const std::uint8_t> key,
                                                unsigned effective_bits) {
  if (key.empty() || key.size() > kMaxKeyBytes) return std::nullopt;
  if (effective_bits == 0 || effective_bits > kMaxEffectiveBits) return std::nullopt;

  std::array<std::uint8_t, kMaxKeyBytes> l{};
  std::copy(key.begin(), key.end(), l.begin());
  const std::size_t t = key.size();
  for (std::size_t i = t; i < kMaxKeyBytes; ++i) {
    l[i] = kPiTable[static_cast<std::uint8_t>(l[i - 1] + l[i - t])];
  }
  const std::size_t t8 = (effective_bits + 7) / 8;
  const auto tm = static_cast<std::uint8_t>(0xFFu >> (8 * t8 - effective_bits));
  l[kMaxKeyBytes - t8] = kPiTable[l[kMaxKeyBytes - t8] & tm];
  for (std::size_t i = kMaxKeyBytes - t8; i-- > 0;) {
    l[i] = kPiTable[l[i + 1] ^ l[i + t8]];
  }

  Rc2Decipher cipher;
  for (std::size_t i = 0; i < cipher.expanded_key_.size(); ++i) {
    cipher.expanded_key_[i] = static_cast<std::uint16_t>(l[2 * i] | (l[2 * i + 1] << 8));
  }
  return cipher;
}

void Rc2Decipher::DecipherBlock(std::span<std::uint8_t, kBlockSize> block) const noexcept {
  std::array<std::uint16_t, 4> r{};
  for (std::size_t i = 0; i < r.size(); ++i) {
    r[i] = static_cast<std::uint16_t>(block[2 * i] | (block[2 * i + 1] << 8));
  }
  int j = 63;
  for (int round = 0; round < 5; ++round) UnmixRound(r, expanded_key_, j);
  UnmashRound(r, expanded_key_);
  for (int round = 0; round < 6; ++round) UnmixRound(r, expanded_key_, j);
  UnmashRound(r, expanded_key_);
  for (int round = 0; round < 5; ++round) UnmixRound(r, expanded_key_, j);
  for (std::size_t i = 0; i < r.size(); ++i) {
    block[2 * i] = static_cast<std::uint8_t>(r[i]);
    block[2 * i + 1] = static_cast<std::uint8_t>(r[i] >> 8);
  }
}

std::optional<std::vector<std::uint8_t>> Rc2Decipher::DecipherCbc(
    std::span<const std::uint8_t> ciphertext) const {
  if (ciphertext.empty() || ciphertext.size() % kBlockSize != 0) return std::nullopt;
  std::vector<std::uint8_t> plain(ciphertext.begin(), ciphertext.end());
  std::array<std::uint8_t, kBlockSize> previous{};  // the zero initialisation vector
  for (std::size_t offset = 0; offset < plain.size(); offset += kBlockSize) {
    std::span<std::uint8_t, kBlockSize> block(plain.data() + offset, kBlockSize);
    std::array<std::uint8_t, kBlockSize> cipher_block{};
    std::copy(block.begin(), block.end(), cipher_block.begin());
    DecipherBlock(block);
    for (std::size_t i = 0; i < kBlockSize; ++i) block[i] ^= previous[i];
    previous = cipher_block;
  }
  const auto padding = PaddingLength(plain);
  if (!padding) return std::nullopt;
  plain.resize(plain.size() - *padding);
  return plain;
}

}  // namespace qm
