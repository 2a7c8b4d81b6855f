#include "upload/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

std::string Decoded(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  if (!Base64Decode(text, bytes)) return "<failed>";
  return std::string(bytes.begin(), bytes.end());
}

TEST(Base64Decode, DecodesEveryPaddingCount) {
  EXPECT_EQ(Decoded("Zm9v"), "foo");
  EXPECT_EQ(Decoded("Zm9vYg=="), "foob");
  EXPECT_EQ(Decoded("Zm9vYmE="), "fooba");
  EXPECT_EQ(Decoded("Zm9vYmFy"), "foobar");
}

TEST(Base64Decode, CoversTheWholeAlphabet) {
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(Base64Decode("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", bytes));
  ASSERT_EQ(bytes.size(), 48u);
  // "ABCD" and "89+/": the ends of the alphabet in their exact bit places.
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 3),
            (std::vector<std::uint8_t>{0x00, 0x10, 0x83}));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.end() - 3, bytes.end()),
            (std::vector<std::uint8_t>{0xF3, 0xDF, 0xBF}));
}

TEST(Base64Decode, RefusesMalformedTextAndLeavesTheOutputAlone) {
  const std::vector<std::uint8_t> before = {1, 2, 3};
  for (const char* text : {"", "Zm9", "Zm9vY", "Zm9v\nYmFy", "Zm9-", "Zm9_", "Zm\x80v"}) {
    std::vector<std::uint8_t> bytes = before;
    EXPECT_FALSE(Base64Decode(text, bytes)) << '"' << text << '"';
    EXPECT_EQ(bytes, before);
  }
}

TEST(Base64Decode, RefusesPaddingThatIsNotAtTheEnd) {
  std::vector<std::uint8_t> bytes;
  EXPECT_FALSE(Base64Decode("====", bytes));
  EXPECT_FALSE(Base64Decode("Z===", bytes));
  EXPECT_FALSE(Base64Decode("Zm=v", bytes));
  EXPECT_FALSE(Base64Decode("Zg==Zm9v", bytes));
}

}  // namespace
}  // namespace qm
