#include "profile/document_hash.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/text.h"

namespace qm {
namespace {

TEST(DocumentHash, Crc32MatchesTheStandardCheckValues) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32(""), 0u);
  EXPECT_EQ(Crc32(std::string(1, '\0')), 0xD202EF8Du);
}

TEST(DocumentHash, ReducedDocumentOfTheMinimalProfileKeepsItsKnownHash) {
  // Hashes kept by earlier runs are compared with this one: it must not move.
  const std::wstring reduced =
      L"{\"MUID\":\"M1\",\"OSInfo\":{},\"SuiteID\":\"0\",\"SuiteVersion\":\"\","
      L"\"SuiteVersionNumber\":\"\",\"Country\":\"\",\"Language\":\"\",\"CustomID\":\"0\","
      L"\"Products\":[],\"AVState\":\"0\"}";
  EXPECT_EQ(ReducedDocumentHash(reduced), 0x48AE4B28u);
}

TEST(DocumentHash, CountLargerThanTheConvertedBytesHashesOnlyThoseBytes) {
  EXPECT_EQ(HashOfConvertedDocument("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(HashOfConvertedDocument("123456789", 12), 0xCBF43926u);
  EXPECT_EQ(HashOfConvertedDocument(std::string_view("1234567890", 9), 100), 0xCBF43926u);
  EXPECT_EQ(HashOfConvertedDocument("12345678900", 9), 0xCBF43926u);
}

// A long document mixing characters of one, two and (in pairs) four bytes,
// with surrogate pairs at every offset around the converter's step size.
std::wstring LongMixedDocument() {
  std::wstring document = L"{\"Country\":\"";
  for (int i = 0; i < 3000; ++i) {
    document += L"a\x65e5\xe9";
    if (i % 2 == 0) document += L"\xd83d\xde00";
  }
  return document + L"\"}";
}

TEST(DocumentHash, LongDocumentHashesAsItsWholeConversion) {
  const std::wstring document = LongMixedDocument();
  for (std::size_t cut = 4090; cut < 4100; ++cut) {
    const std::wstring shifted = document.substr(document.size() - cut);
    EXPECT_EQ(ReducedDocumentHash(shifted),
              HashOfConvertedDocument(ToAnsi(shifted), shifted.size()))
        << cut;
  }
}

// Switches the thread to a Japanese locale, whose ANSI code page is 932.
class JapaneseThreadCodePage : public ::testing::Test {
 protected:
  JapaneseThreadCodePage() : saved_(::GetThreadLocale()) {
    ::SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT));
  }
  ~JapaneseThreadCodePage() override { ::SetThreadLocale(saved_); }

 private:
  LCID saved_;
};

TEST_F(JapaneseThreadCodePage, HashCoversAsManyBytesAsTheDocumentHasCharacters) {
  const std::wstring document = L"{\"Country\":\"\x65e5\x672c\"}";  // two double-byte characters
  const std::string ansi = ToAnsi(document);
  ASSERT_EQ(ansi.size(), document.size() + 2) << "thread code page is not 932";
  EXPECT_EQ(ReducedDocumentHash(document),
            Crc32(std::string_view(ansi).substr(0, document.size())));
  EXPECT_NE(ReducedDocumentHash(document), Crc32(ansi));
}

TEST_F(JapaneseThreadCodePage, LongDocumentHashesAsItsWholeConversion) {
  const std::wstring document = LongMixedDocument();
  const std::string ansi = ToAnsi(document);
  ASSERT_GT(ansi.size(), document.size());
  for (std::size_t cut = 4090; cut < 4100; ++cut) {
    const std::wstring shifted = document.substr(document.size() - cut);
    EXPECT_EQ(ReducedDocumentHash(shifted),
              HashOfConvertedDocument(ToAnsi(shifted), shifted.size()))
        << cut;
  }
}

}  // namespace
}  // namespace qm
