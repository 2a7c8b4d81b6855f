#include "upload/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upload/platform_cipher.h"

namespace qm {
namespace {

TEST(Base64Decode, DecodesStrictTextAndRefusesAllElseLeavingTheOutputAlone) {
  struct Case {
    const char* text;
    const char* decoded;  // null: refused
  };
  const Case cases[] = {
      {"Zm9v", "foo"},   {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"},
      {"", nullptr},     {"Zm9", nullptr},     {"Zm9vY", nullptr},    {"Zm9v\nYmFy", nullptr},
      {"Zm9-", nullptr}, {"Zm9_", nullptr},    {"Zm\x80v", nullptr},  {"====", nullptr},
      {"Z===", nullptr}, {"Zm=v", nullptr},    {"Zg==Zm9v", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::uint8_t> bytes = {1, 2, 3};
    EXPECT_EQ(Base64Decode(c.text, bytes), c.decoded != nullptr);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.decoded ? c.decoded : "\1\2\3");
  }
}

TEST(Base64Decode, EveryCharacterOfTheAlphabetTakesItsOwnBits) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(Base64Decode(alphabet, bytes));
  EXPECT_EQ(testing::Base64Encode(bytes), alphabet);
}

}  // namespace
}  // namespace qm
