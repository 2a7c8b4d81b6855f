#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/event_log.h"
#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"
#include "profile/document_hash.h"
#include "profile/fallback_product.h"
#include "profile/profile_data.h"
#include "support/text.h"

namespace qm {
namespace {

using testing::EventLog;
using ::testing::IsEmpty;
using testing::ReportedEvent;

constexpr wchar_t kSetup[] = L"SOFTWARE\\Orvex Software\\Setup";

// A message as "<number> <argument> ...": a narrow text as it is, else the value.
std::string Describe(const trace::RecordedMessage& message) {
  std::string text = std::to_string(message.number);
  for (const trace::RecordedArg& arg : message.args) {
    text += ' ' + (arg.narrow.empty() ? std::to_string(arg.value) : arg.narrow);
  }
  return text;
}

// Every document test starts without the run's texts and fallback product,
// unless it sets them.
class ProfileDocuments : public ::testing::Test {
 protected:
  ProfileDocuments() { profile_.SetMUID(L"M1"); }

  std::wstring Full() const { return profile_.ToJson(inputs_, {}); }
  std::wstring Reduced() const { return profile_.ToCompareJson(inputs_); }

  DocumentInputs inputs_;
  CProfileData profile_;
};

TEST_F(ProfileDocuments, MinimalProfileGivesBothDocumentsExactly) {
  EXPECT_EQ(Full(),
            L"{\"MUID\":\"M1\",\"OSInfo\":{},\"SuiteID\":\"0\",\"SuiteVersion\":\"\","
            L"\"SuiteVersionNumber\":\"\",\"Country\":\"\",\"Language\":\"\",\"CustomID\":\"0\","
            L"\"Products\":[{\"ProductID\":\"\",\"VersionType\":\"\",\"ModuleStatus\":\"0\"}],"
            L"\"AVState\":\"0\",\"DetectionCounters\":{}}");
  // The fallback product went into the full document's text only.
  const std::wstring reduced = Reduced();
  EXPECT_EQ(reduced,
            L"{\"MUID\":\"M1\",\"OSInfo\":{},\"SuiteID\":\"0\",\"SuiteVersion\":\"\","
            L"\"SuiteVersionNumber\":\"\",\"Country\":\"\",\"Language\":\"\",\"CustomID\":\"0\","
            L"\"Products\":[],\"AVState\":\"0\"}");
  // Hashes kept by earlier runs are compared with this one: it must not move.
  EXPECT_EQ(ReducedDocumentHash(reduced), 0x48AE4B28u);
  // The fallback product carries the module status mask as it stands.
  profile_.SetDefaultModuleStatus(0x77AA7);
  EXPECT_NE(Full().find(L"\"ModuleStatus\":\"490151\"}]"), std::wstring::npos);
  EXPECT_EQ(Reduced(), reduced);
}

// Every member of a fully populated document is the delivery test's; here the
// optional members left out and what only the full document carries.
TEST_F(ProfileDocuments, OptionalMembersComeAndGoWithTheirOwnCommas) {
  profile_.SetSuiteID(4294967295u);
  auto* product = new CProductInfo;
  product->SetProductID(L"50");
  auto* license = new CLicenseInfo;  // without LicenseVersionType
  license->SetActivationCode(L"A");
  product->AddLicense(license);
  profile_.AddProduct(product);
  profile_.AddProduct(new CProductInfo);  // without licences
  inputs_.install_uid = L"IU";
  inputs_.own_file_version = L"1.2.3.4";
  inputs_.fallback_product.product_id = L"99";

  const std::wstring identity =
      L"{\"MUID\":\"M1\",\"OSInfo\":{},\"SuiteID\":\"4294967295\",\"SuiteVersion\":\"\","
      L"\"SuiteVersionNumber\":\"\",\"Country\":\"\",\"Language\":\"\",\"CustomID\":\"0\","
      L"\"InstUID\":\"IU\",\"Products\":[{\"ProductID\":\"50\",\"VersionType\":\"\","
      L"\"MyAccountID\":\"\",\"ModuleStatus\":\"\",\"Licenses\":[{\"ActivationCode\":\"A\","
      L"\"ClientID\":\"\",\"ProductLicenseID\":\"\",\"ActivationDate\":\"\",\"ExpirationDate\":"
      L"\"\"}]},{\"ProductID\":\"\",\"VersionType\":\"\",\"MyAccountID\":\"\",\"ModuleStatus\":"
      L"\"\"}],\"AVState\":\"0\"";
  EXPECT_EQ(Full(), identity + L",\"DetectionCounters\":{},\"FileVersion\":\"1.2.3.4\"}");
  EXPECT_EQ(Reduced(), identity + L"}");
}

TEST_F(ProfileDocuments, ProfileWithoutMuidHasNoFullDocumentButAReducedOne) {
  profile_.SetMUID(L"");
  trace::TraceRecorder recorder;
  EventLog reported;
  EXPECT_EQ(profile_.ToJson(inputs_, &reported), L"");
  EXPECT_THAT(reported.events, ::testing::ElementsAre(ReportedEvent{L"prfNotMUID", 2}));
  EXPECT_THAT(recorder.Numbers(trace::Source::ProfileDocument), ::testing::ElementsAre(10));
  EXPECT_EQ(Reduced().substr(0, 12), L"{\"MUID\":\"\",\"");
}

// Each setup value's bytes (at most four, zero-extended, whatever the registry
// type) are a signed integer; a value that cannot be read leaves its text empty.
TEST(FallbackProduct, TakesSetupValuesAsSignedIntegers) {
  testing::RegistrySandbox hive;
  {
    trace::TraceRecorder recorder;
    EXPECT_EQ(ReadFallbackProductTexts().product_id, L"");
    // A setup key that does not open is no error worth a message.
    EXPECT_THAT(recorder.Numbers(trace::Source::ProfileDocument), IsEmpty());
  }
  hive.SetDword(kSetup, L"VersionType", 3);
  const struct {
    DWORD type;
    std::string bytes;
    const wchar_t* product_id;
    const char* traced;
  } rows[] = {
      {REG_DWORD, std::string(4, '\xFF'), L"-1", "11 MainProductID -1"},
      {REG_BINARY, "\x34\x12", L"4660", "11 MainProductID 4660"},
      {REG_QWORD, std::string("\5\0\0\0\0\0\0\0", 8), L"", "12 MainProductID 234"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    hive.Set(kSetup, L"MainProductID", row.type, row.bytes.data(),
             static_cast<DWORD>(row.bytes.size()));
    trace::TraceRecorder recorder;
    const FallbackProductTexts texts = ReadFallbackProductTexts();
    EXPECT_EQ(texts.product_id, row.product_id);
    EXPECT_EQ(texts.version_type, L"3");
    EXPECT_EQ(Describe(recorder.Messages().at(0)), row.traced);
  }
}

// Puts the thread's locale back when it ends.
struct ThreadLocale {
  LCID saved = ::GetThreadLocale();
  ~ThreadLocale() { ::SetThreadLocale(saved); }
};

// Characters of one, two and (in pairs) four bytes, with surrogate pairs at
// every offset around the converter's step size, in the default code page and
// in the double-byte one of Japanese (932).
TEST(DocumentHash, ReducedDocumentHashCoversAsManyConvertedBytesAsItHasCharacters) {
  std::wstring document = L"{\"Country\":\"";
  for (int i = 0; i < 3000; ++i)
    document += i % 2 == 0 ? L"a\x65e5\xe9\xd83d\xde00" : L"a\x65e5\xe9";
  document += L"\"}";
  const ThreadLocale restore;
  for (const LCID locale :
       {restore.saved, MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)}) {
    ::SetThreadLocale(locale);
    for (std::size_t cut = 4090; cut < 4100; ++cut) {
      SCOPED_TRACE(::testing::Message() << "locale " << locale << " cut " << cut);
      const std::wstring shifted = document.substr(document.size() - cut);
      EXPECT_EQ(ReducedDocumentHash(shifted), Crc32(ToAnsi(shifted).substr(0, shifted.size())));
    }
  }
  // The double-byte conversion is longer than the document: its tail is not hashed.
  ASSERT_GT(ToAnsi(document).size(), document.size()) << "thread code page is not 932";
  EXPECT_NE(ReducedDocumentHash(document), Crc32(ToAnsi(document)));
}

}  // namespace
}  // namespace qm
