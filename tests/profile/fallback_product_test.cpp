#include "profile/fallback_product.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"
#include "profile/process_texts.h"
#include "profile/profile_data.h"

namespace qm {
namespace {

constexpr wchar_t kSetup[] = L"SOFTWARE\\Orvex Software\\Setup";

class FallbackProductFromRegistry : public ::testing::Test {
 protected:
  void SetDword(const wchar_t* name, std::uint32_t value) { hive_.SetDword(kSetup, name, value); }

  testing::RegistrySandbox hive_;
};

TEST_F(FallbackProductFromRegistry, ValuesAreSignedDecimalTexts) {
  SetDword(L"MainProductID", 0xFFFFFFFFu);
  SetDword(L"VersionType", 3);
  trace::TraceRecorder recorder;
  const FallbackProduct product = ReadFallbackProduct(7);
  const trace::RecordedMessage* read = recorder.Find(trace::Source::ProfileDocument, 11);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->args.at(0).narrow, "MainProductID");
  EXPECT_EQ(read->args.at(1).narrow, "-1");
  EXPECT_EQ(product.ProductID(), L"-1");
  EXPECT_EQ(product.VersionType(), L"3");
  EXPECT_EQ(product.Serialize(),
            L"{\"ProductID\":\"-1\",\"VersionType\":\"3\",\"ModuleStatus\":\"7\"}");
}

TEST_F(FallbackProductFromRegistry, RegistryTypeIsIgnoredAndShortValuesAreZeroExtended) {
  const unsigned char two_bytes[] = {0x34, 0x12};
  hive_.Set(kSetup, L"MainProductID", REG_BINARY, two_bytes, sizeof(two_bytes));
  // L"7" with its terminator is four bytes: 0x37 0x00 0x00 0x00.
  hive_.Set(kSetup, L"VersionType", REG_SZ, L"7", 2 * sizeof(wchar_t));
  const FallbackProduct product = ReadFallbackProduct(0);
  EXPECT_EQ(product.ProductID(), L"4660");
  EXPECT_EQ(product.VersionType(), L"55");
}

TEST_F(FallbackProductFromRegistry, ValueLongerThanFourBytesLeavesOnlyItsTextEmpty) {
  const std::uint64_t eight_bytes = 5;
  hive_.Set(kSetup, L"MainProductID", REG_QWORD, &eight_bytes, sizeof(eight_bytes));
  SetDword(L"VersionType", 2);
  trace::TraceRecorder recorder;
  const FallbackProduct product = ReadFallbackProduct(0);
  const trace::RecordedMessage* failed = recorder.Find(trace::Source::ProfileDocument, 12);
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->args.at(0).narrow, "MainProductID");
  EXPECT_EQ(failed->args.at(1).value, ERROR_MORE_DATA);
  EXPECT_EQ(product.ProductID(), L"");
  EXPECT_EQ(product.VersionType(), L"2");
}

TEST_F(FallbackProductFromRegistry, MissingKeyOrValueLeavesTextsEmpty) {
  trace::TraceRecorder recorder;
  FallbackProduct product = ReadFallbackProduct(0);
  EXPECT_EQ(product.ProductID(), L"");
  EXPECT_EQ(product.VersionType(), L"");
  // A key that does not open is no error worth a message.
  EXPECT_THAT(recorder.Numbers(trace::Source::ProfileDocument), ::testing::IsEmpty());
  SetDword(L"VersionType", 4);
  product = ReadFallbackProduct(0);
  EXPECT_EQ(product.ProductID(), L"");
  EXPECT_EQ(product.VersionType(), L"4");
}

TEST_F(FallbackProductFromRegistry, FullDocumentCarriesItOnlyWhenNoProductWasCollected) {
  InstallUid.clear();
  OwnFileVersion.clear();
  SetDword(L"MainProductID", 50);
  SetDword(L"VersionType", 1);
  CProfileData profile;
  profile.SetMUID(L"M1");
  profile.SetDefaultModuleStatus(3);
  EXPECT_NE(
      profile.ToJson().find(
          L"\"Products\":[{\"ProductID\":\"50\",\"VersionType\":\"1\",\"ModuleStatus\":\"3\"}]"),
      std::wstring::npos);

  auto* product = new CProductInfo;
  product->SetProductID(L"60");
  profile.AddProduct(product);
  trace::TraceRecorder recorder;
  const std::wstring full = profile.ToJson();
  // Every registry read traces its outcome; a profile with products makes none.
  EXPECT_THAT(recorder.Numbers(trace::Source::ProfileDocument), ::testing::IsEmpty());
  EXPECT_NE(full.find(L"\"Products\":[{\"ProductID\":\"60\""), std::wstring::npos);
  EXPECT_EQ(full.find(L"\"ProductID\":\"50\""), std::wstring::npos);
}

}  // namespace
}  // namespace qm
