#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"
#include "profile/process_texts.h"
#include "profile/profile_data.h"

namespace qm {
namespace {

constexpr wchar_t kMinimalFull[] =
    L"{\"MUID\":\"M1\",\"OSInfo\":{},\"SuiteID\":\"0\",\"SuiteVersion\":\"\","
    L"\"SuiteVersionNumber\":\"\",\"Country\":\"\",\"Language\":\"\",\"CustomID\":\"0\","
    L"\"Products\":[{\"ProductID\":\"\",\"VersionType\":\"\",\"ModuleStatus\":\"0\"}],"
    L"\"AVState\":\"0\",\"DetectionCounters\":{}}";
constexpr wchar_t kMinimalReduced[] =
    L"{\"MUID\":\"M1\",\"OSInfo\":{},\"SuiteID\":\"0\",\"SuiteVersion\":\"\","
    L"\"SuiteVersionNumber\":\"\",\"Country\":\"\",\"Language\":\"\",\"CustomID\":\"0\","
    L"\"Products\":[],\"AVState\":\"0\"}";

// Every document test runs against an empty machine hive and without the
// process-wide texts, unless it sets them.
class ProfileDocuments : public ::testing::Test {
 protected:
  ProfileDocuments() {
    InstallUid.clear();
    OwnFileVersion.clear();
    profile_.SetMUID(L"M1");
  }
  ~ProfileDocuments() override {
    InstallUid.clear();
    OwnFileVersion.clear();
  }

  static CLicenseInfo* License(const wchar_t* code, const wchar_t* version_type) {
    auto* license = new CLicenseInfo;
    license->SetActivationCode(code);
    license->SetLicenseVersionType(version_type);
    license->SetClientID(L"C");
    license->SetProductLicenseID(L"PL");
    license->SetActivationDate(L"2024-01-31");
    license->SetExpirationDate(L"2025-01-31");
    return license;
  }

  static CProductInfo* Product(const wchar_t* id) {
    auto* product = new CProductInfo;
    product->SetProductID(id);
    product->SetVersionType(L"2");
    product->SetMyAccountID(L"acc");
    product->SetModuleStatus(L"65537");
    return product;
  }

  testing::RegistrySandbox hive_;
  CProfileData profile_;
};

TEST_F(ProfileDocuments, MinimalProfileGivesBothDocumentsExactly) {
  EXPECT_EQ(profile_.ToJson(), kMinimalFull);
  EXPECT_EQ(profile_.ToCompareJson(), kMinimalReduced);
}

TEST_F(ProfileDocuments, PopulatedProfileFillsEveryMemberInOrder) {
  auto* os = new COSInfo;
  os->SetOSMajorVer(10);
  os->SetOSMinorVer(0);
  os->SetSPMajorVer(1);
  os->SetSPMinorVer(2);
  os->SetOSType(1);
  os->SetOSx64(true);
  os->SetNetVersionInstalled(L"4.8");
  os->SetNetFrameworkRealVersion(L"4.8.09037");
  os->SetW10BuildNumber(L"19045");
  profile_.SetOSInfo(os);
  profile_.SetSuiteID(4294967295u);
  profile_.SetSuiteVersion(L"19.1.0");
  profile_.SetSuiteVersionNumber(L"19010000");
  profile_.SetCountry(L"ES");
  profile_.SetLanguage(L"es-ES");
  profile_.SetCustomID(187477);
  profile_.SetAVState(2);
  profile_.SetDefaultModuleStatus(5);
  CProductInfo* product = Product(L"50");
  product->AddLicense(License(L"AC1", L"PRO"));
  profile_.AddProduct(product);
  auto* counters = new CDetectionCounters;
  counters->SetVirusDetections(1);
  counters->SetPUPDetections(2);
  counters->SetSuspiciousDetection(3);
  counters->SetURLDetections(4);
  counters->SetTotalAnalyzedFiles(5);
  counters->SetRecoveredBytes(L"123456789012");
  counters->SetBlockedThreats(6);
  counters->SetInstalledUpdates(7);
  counters->SetLast30DaysAnalyzedURLs(8);
  profile_.SetDetectionCounters(counters);
  InstallUid = L"IU";
  OwnFileVersion = L"1.2.3.4";
  trace::TraceRecorder recorder;

  const std::wstring identity =
      L"{\"MUID\":\"M1\",\"OSInfo\":{\"Platform\":\"Windows\",\"OSMajorVer\":\"10\","
      L"\"OSMinorVer\":\"0\",\"SPMajorVer\":\"1\",\"SPMinorVer\":\"2\",\"OSType\":\"1\","
      L"\"OSx64\":\"True\",\"NetVersionInstalled\":\"4.8\",\"NetFrameworkRealVersion\":"
      L"\"4.8.09037\",\"W10BuildNumber\":\"19045\"},\"SuiteID\":\"4294967295\",\"SuiteVersion\":"
      L"\"19.1.0\",\"SuiteVersionNumber\":\"19010000\",\"Country\":\"ES\",\"Language\":"
      L"\"es-ES\",\"CustomID\":\"187477\",\"InstUID\":\"IU\",\"Products\":[{\"ProductID\":"
      L"\"50\",\"VersionType\":\"2\",\"MyAccountID\":\"acc\",\"ModuleStatus\":\"65537\","
      L"\"Licenses\":[{\"ActivationCode\":\"AC1\",\"LicenseVersionType\":\"PRO\",\"ClientID\":"
      L"\"C\",\"ProductLicenseID\":\"PL\",\"ActivationDate\":\"2024-01-31\",\"ExpirationDate\":"
      L"\"2025-01-31\"}]}],\"AVState\":\"2\"";
  EXPECT_EQ(profile_.ToJson(),
            identity +
                L",\"DetectionCounters\":{\"VirusDetections\":\"1\",\"PUPDetections\":\"2\","
                L"\"SuspiciousDetection\":\"3\",\"URLDetections\":\"4\",\"TotalAnalyzedFiles\":"
                L"\"5\",\"RecoveredBytes\":\"123456789012\",\"BlockedThreats\":\"6\","
                L"\"InstalledUpdates\":\"7\",\"Last30DaysAnalyzedURLs\":\"8\"},\"FileVersion\":"
                L"\"1.2.3.4\"}");
  EXPECT_EQ(profile_.ToCompareJson(), identity + L"}");
  // The counters announce their serialisation and then carry its text.
  EXPECT_THAT(recorder.Numbers(trace::Source::CountersDocument), ::testing::ElementsAre(10, 11));
  EXPECT_EQ(recorder.Find(trace::Source::CountersDocument, 11)->args.at(0).wide.substr(0, 22),
            L"{\"VirusDetections\":\"1\"");
}

TEST_F(ProfileDocuments, OptionalMembersCarryTheirOwnCommas) {
  CProductInfo* with_two = Product(L"50");
  with_two->AddLicense(License(L"A", L""));
  with_two->AddLicense(License(L"B", L"PRO"));
  profile_.AddProduct(with_two);
  profile_.AddProduct(Product(L"51"));

  const std::wstring products =
      L"\"Products\":[{\"ProductID\":\"50\",\"VersionType\":\"2\",\"MyAccountID\":\"acc\","
      L"\"ModuleStatus\":\"65537\",\"Licenses\":["
      L"{\"ActivationCode\":\"A\",\"ClientID\":\"C\",\"ProductLicenseID\":\"PL\","
      L"\"ActivationDate\":\"2024-01-31\",\"ExpirationDate\":\"2025-01-31\"},"
      L"{\"ActivationCode\":\"B\",\"LicenseVersionType\":\"PRO\",\"ClientID\":\"C\","
      L"\"ProductLicenseID\":\"PL\",\"ActivationDate\":\"2024-01-31\",\"ExpirationDate\":"
      L"\"2025-01-31\"}]},"
      L"{\"ProductID\":\"51\",\"VersionType\":\"2\",\"MyAccountID\":\"acc\","
      L"\"ModuleStatus\":\"65537\"}]";
  const std::wstring head =
      L"{\"MUID\":\"M1\",\"OSInfo\":{},\"SuiteID\":\"0\",\"SuiteVersion\":\"\","
      L"\"SuiteVersionNumber\":\"\",\"Country\":\"\",\"Language\":\"\",\"CustomID\":\"0\",";
  const std::wstring tail = L",\"AVState\":\"0\"";
  EXPECT_EQ(profile_.ToJson(), head + products + tail + L",\"DetectionCounters\":{}}");
  EXPECT_EQ(profile_.ToCompareJson(), head + products + tail + L"}");

  InstallUid = L"IU";
  EXPECT_EQ(profile_.ToCompareJson(), head + L"\"InstUID\":\"IU\"," + products + tail + L"}");
  OwnFileVersion = L"9.9";
  EXPECT_EQ(profile_.ToJson(), head + L"\"InstUID\":\"IU\"," + products + tail +
                                   L",\"DetectionCounters\":{},\"FileVersion\":\"9.9\"}");
  EXPECT_EQ(profile_.ToCompareJson(), head + L"\"InstUID\":\"IU\"," + products + tail + L"}");
}

TEST_F(ProfileDocuments, ProfileWithoutMuidHasNoFullDocumentButAReducedOne) {
  profile_.SetMUID(L"");
  trace::TraceRecorder recorder;
  EXPECT_EQ(profile_.ToJson(), L"");
  EXPECT_THAT(recorder.Numbers(trace::Source::ProfileDocument), ::testing::ElementsAre(10));
  EXPECT_EQ(profile_.ToCompareJson().substr(0, 12), L"{\"MUID\":\"\",\"");
}

TEST_F(ProfileDocuments, FallbackProductIsNeverAddedToTheProfile) {
  profile_.SetDefaultModuleStatus(1048576);
  EXPECT_NE(profile_.ToJson().find(L"\"ModuleStatus\":\"1048576\"}]"), std::wstring::npos);
  EXPECT_EQ(profile_.ToCompareJson(), kMinimalReduced);
}

}  // namespace
}  // namespace qm
