#include "upload/base64.h"

namespace qm {
namespace {

constexpr int kNotInAlphabet = -1;
constexpr int kPad = -2;

int SextetOf(char c) noexcept {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return kPad;
  return kNotInAlphabet;
}

// Number of trailing "=" a well-formed text may carry: none, one or two.
std::size_t PaddingOf(std::string_view text) noexcept {
  std::size_t pads = 0;
  while (pads < 2 && text[text.size() - 1 - pads] == '=') ++pads;
  return pads;
}

}  // namespace

bool Base64Decode(std::string_view text, std::vector<std::uint8_t>& bytes) {
  if (text.empty() || text.size() % 4 != 0) return false;
  const std::size_t pads = PaddingOf(text);
  const std::size_t data_chars = text.size() - pads;

  std::vector<std::uint8_t> decoded;
  decoded.reserve(text.size() / 4 * 3);
  std::uint32_t group = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    int sextet = SextetOf(text[i]);
    if (sextet == kNotInAlphabet) return false;
    if (sextet == kPad) {
      if (i < data_chars) return false;
      sextet = 0;
    }
    group = (group << 6) | static_cast<std::uint32_t>(sextet);
    if (i % 4 == 3) {
      decoded.push_back(static_cast<std::uint8_t>(group >> 16));
      decoded.push_back(static_cast<std::uint8_t>(group >> 8));
      decoded.push_back(static_cast<std::uint8_t>(group));
      group = 0;
    }
  }
  decoded.resize(decoded.size() - pads);
  bytes = std::move(decoded);
  return true;
}

}  // namespace qm
