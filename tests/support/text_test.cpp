#include "support/text.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(AnsiConversion, RoundTripsCodePageText) {
  const std::wstring text = L"Caf\u00e9 \u00d1and\u00fa 123";
  const std::string narrow = ToAnsi(text);
  EXPECT_EQ(narrow, "Caf\xe9 \xd1" "and\xfa 123");
  EXPECT_EQ(FromAnsi(narrow), text);
}

TEST(AnsiConversion, ReplacesCharactersOutsideTheCodePage) {
  const std::string narrow = ToAnsi(L"a\u4e2db");
  EXPECT_EQ(narrow, "a?b");
}

TEST(AnsiConversion, EmptyStaysEmpty) {
  EXPECT_EQ(ToAnsi(L""), "");
  EXPECT_EQ(FromAnsi(""), L"");
}

}  // namespace
}  // namespace qm
