#include "upload/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {
namespace {

using namespace std::string_view_literals;

TEST(Base64Decode, DecodesStrictTextAndRefusesAllElseLeavingTheOutputAlone) {
  struct Case {
    std::string_view text;
    std::optional<std::string_view> decoded;
  };
  // The alphabet in its order is the 6-bit numbers 0 to 63.
  const std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string_view alphabet_bits =
      "\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97\x61\x96\x9b\x71"
      "\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e"
      "\xbb\xf3\xdf\xbf"sv;
  const Case cases[] = {
      {"Zm9vYg==", "foob"},      {"Zm9vYmE=", "fooba"},        {"Zm9vYmFy", "foobar"},
      {alphabet, alphabet_bits}, {"", std::nullopt},           {"Zm9", std::nullopt},
      {"Zm9vY", std::nullopt},   {"Zm9v\nYmFy", std::nullopt}, {"Zm9-", std::nullopt},
      {"Zm9_", std::nullopt},    {"Zm\x80v", std::nullopt},    {"====", std::nullopt},
      {"Z===", std::nullopt},    {"Zm=v", std::nullopt},       {"Zg==Zm9v", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::uint8_t> bytes = {1, 2, 3};
    EXPECT_EQ(Base64Decode(c.text, bytes), c.decoded.has_value());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.decoded.value_or("\1\2\3"));
  }
}

}  // namespace
}  // namespace qm
