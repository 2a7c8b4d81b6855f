#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "collector/machine_os_info.h"
#include "collector/sim_collector.h"
#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"

namespace qm::testing {
namespace {

using ::testing::IsSupersetOf;
using trace::Source;
using trace::TraceRecorder;

const std::wstring kNdp = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\";

class NetFramework : public ::testing::Test {
 protected:
  // One NDP subkey (or its "Client" beneath it when `client` is set).
  void Version(const std::wstring& subkey, const wchar_t* version, DWORD install = 1) const {
    registry_.SetDword(kNdp + subkey, L"Install", install, KEY_WOW64_32KEY);
    registry_.SetText(kNdp + subkey, L"Version", version, KEY_WOW64_32KEY);
  }
  [[nodiscard]] std::wstring Installed() const {
    std::wstring version = L"untouched";
    const bool found = ReadNetVersionInstalled(version);
    EXPECT_EQ(found, !version.empty());
    return version;
  }

  RegistrySandbox registry_;
};

TEST_F(NetFramework, TakesTheClientProfileOfAVersionWithoutInstall) {
  Version(L"v2.0.50727", L"2.0.50727.4927");
  Version(L"v3.5", L"3.5.30729.4926");
  Version(L"v4\\Client", L"4.8.04084");
  registry_.SetText(kNdp + L"v4", L"Note", L"no Install here", KEY_WOW64_32KEY);
  EXPECT_EQ(Installed(), L"4.8.04084");
}

TEST_F(NetFramework, IgnoresAVersionWhoseInstallIsNotOneEvenWithAClient) {
  Version(L"v2.0.50727", L"2.0.50727.4927");
  Version(L"v3.0", L"3.0.30729.4926", 0);
  Version(L"v3.0\\Client", L"9.9", 1);
  EXPECT_EQ(Installed(), L"2.0.50727.4927");
}

TEST_F(NetFramework, OnlyLowerCaseVNamesAVersion) {
  Version(L"v2.0.50727", L"2.0.50727.4927");
  Version(L"V9", L"9.0");
  Version(L"x9", L"9.1");
  Version(L"CDF", L"9.2");
  EXPECT_EQ(Installed(), L"2.0.50727.4927");
}

TEST_F(NetFramework, ComparesVersionsAsText) {
  Version(L"v4.10", L"4.10");
  Version(L"v4.9", L"4.9");
  EXPECT_EQ(Installed(), L"4.9");
}

TEST_F(NetFramework, FindsNothingWithoutTheKey) {
  std::wstring version = L"untouched";
  EXPECT_FALSE(ReadNetVersionInstalled(version));
  EXPECT_EQ(version, L"");
}

TEST_F(NetFramework, RefusesAVersionTooLongForItsBuffer) {
  Version(L"v1", L"1.0");
  Version(L"v2", std::wstring(130, L'2').c_str());  // 130 characters and a terminator: 262 bytes
  EXPECT_EQ(Installed(), L"1.0");
}

TEST_F(NetFramework, ReadsTheReleaseAsSignedDecimal) {
  std::wstring release = L"0";
  EXPECT_FALSE(ReadNetFrameworkRelease(release));
  EXPECT_EQ(release, L"0");
  registry_.SetDword(kNdp + L"v4\\Full", L"Release", 528040, KEY_WOW64_32KEY);
  EXPECT_TRUE(ReadNetFrameworkRelease(release));
  EXPECT_EQ(release, L"528040");
  registry_.SetDword(kNdp + L"v4\\Full", L"Release", 0xFFFFFFFF, KEY_WOW64_32KEY);
  EXPECT_TRUE(ReadNetFrameworkRelease(release));
  EXPECT_EQ(release, L"-1");
}

OSVERSIONINFOEXW VersionRecord(DWORD platform, DWORD major, DWORD minor, BYTE product) {
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  version.dwPlatformId = platform;
  version.dwMajorVersion = major;
  version.dwMinorVersion = minor;
  version.wProductType = product;
  return version;
}

TEST(WindowsClassification, OnlyAWorkstationTenPointZeroIsWindows10) {
  EXPECT_EQ(ClassifyWindows(VersionRecord(2, 10, 0, VER_NT_WORKSTATION)),
            WindowsClass::Windows10Workstation);
  EXPECT_EQ(ClassifyWindows(VersionRecord(2, 10, 0, VER_NT_SERVER)), WindowsClass::Windows10Server);
  EXPECT_EQ(ClassifyWindows(VersionRecord(2, 10, 0, 0)), WindowsClass::Windows10Server);
  EXPECT_EQ(ClassifyWindows(VersionRecord(2, 10, 2, VER_NT_WORKSTATION)),
            WindowsClass::LaterThanWindows10);
  EXPECT_EQ(ClassifyWindows(VersionRecord(2, 11, 0, VER_NT_WORKSTATION)),
            WindowsClass::LaterThanWindows10);
  EXPECT_EQ(ClassifyWindows(VersionRecord(2, 10, 1, VER_NT_WORKSTATION)), WindowsClass::Other);
  EXPECT_EQ(ClassifyWindows(VersionRecord(2, 6, 1, VER_NT_WORKSTATION)), WindowsClass::Other);
  EXPECT_EQ(ClassifyWindows(VersionRecord(1, 10, 0, VER_NT_WORKSTATION)), WindowsClass::Other);
  EXPECT_EQ(ClassifyWindows(VersionRecord(3, 10, 0, VER_NT_WORKSTATION)), std::nullopt);
}

class OSInfo : public ::testing::Test {
 protected:
  const COSInfo& CollectWith(sim::SdkScenario scenario) {
    agent_ = std::make_unique<SimulatedAgent>(std::move(scenario));
    collector_ = agent_->MakeCollector();
    EXPECT_TRUE(collector_->Initialise());
    EXPECT_TRUE(collector_->CollectOSInfo(profile_));
    return *profile_.GetOSInfo();
  }
  void TearDown() override {
    if (collector_) collector_->Finalise();
  }

  RegistrySandbox registry_;
  std::unique_ptr<SimulatedAgent> agent_;
  std::unique_ptr<ProfileDataCollector> collector_;
  CProfileData profile_;
};

TEST_F(OSInfo, CopiesTheAgentsNumbersAndTheMachinesFramework) {
  registry_.SetDword(kNdp + L"v4\\Full", L"Install", 1, KEY_WOW64_32KEY);
  registry_.SetText(kNdp + L"v4\\Full", L"Version", L"4.8.04084", KEY_WOW64_32KEY);
  registry_.SetDword(kNdp + L"v4\\Full", L"Release", 528040, KEY_WOW64_32KEY);
  registry_.SetDword(kNdp + L"v4", L"Install", 1, KEY_WOW64_32KEY);
  registry_.SetText(kNdp + L"v4", L"Version", L"4.0.0", KEY_WOW64_32KEY);
  TraceRecorder recorder;
  const COSInfo& os = CollectWith(AgentScenario());
  EXPECT_EQ(os.GetOSMajorVer(), 10u);
  EXPECT_EQ(os.GetOSMinorVer(), 0u);
  EXPECT_EQ(os.GetSPMajorVer(), 1u);
  EXPECT_EQ(os.GetSPMinorVer(), 2u);
  EXPECT_EQ(os.GetOSType(), 1u);
  EXPECT_TRUE(os.GetOSx64());
  EXPECT_EQ(os.GetNetVersionInstalled(), L"4.0.0");
  EXPECT_EQ(os.GetNetFrameworkRealVersion(), L"528040");
  // The bench's Windows is no Windows 10 workstation unless configured so.
  EXPECT_EQ(os.GetW10BuildNumber() == L"0", !IsWindows10());
  EXPECT_THAT(recorder.Numbers(Source::Collector), IsSupersetOf({118, 119, 121, 122, 123}));
  EXPECT_EQ(recorder.Find(Source::Collector, 119)->args[1].narrow, "True");
}

TEST_F(OSInfo, WritesZeroTextsWithoutFrameworkKeys) {
  TraceRecorder recorder;
  const COSInfo& os = CollectWith(AgentScenario());
  EXPECT_EQ(os.GetNetVersionInstalled(), L"");
  EXPECT_EQ(os.GetNetFrameworkRealVersion(), L"0");
  EXPECT_NE(recorder.Find(Source::Collector, 120), nullptr);
  EXPECT_EQ(recorder.Find(Source::Collector, 122)->args[0].narrow, "0");
}

TEST_F(OSInfo, TakesANonZeroSuccessStatusAsFailure) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.config[kOsMajorItem] = sim::SdkAnswer{S_FALSE, sim::SdkValue::Of(VT_I4, 10)};
  TraceRecorder recorder;
  const COSInfo& os = CollectWith(std::move(scenario));
  EXPECT_EQ(os.GetOSMajorVer(), 0u);
  EXPECT_EQ(os.GetSPMajorVer(), 1u);
  const auto* failed = recorder.Find(Source::Collector, 117);
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->args[0].value, kOsMajorItem);
  EXPECT_EQ(failed->args[1].value, S_FALSE);
}

TEST_F(OSInfo, ConvertsOSx64FromAnyType) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.config[kOsX64Item] = Answer(sim::SdkValue::Of(VT_I4, 1));
  EXPECT_TRUE(CollectWith(std::move(scenario)).GetOSx64());
  TearDown();
  scenario = AgentScenario();
  scenario.config[kOsX64Item] = Answer(sim::SdkValue::Text(L"0"));
  TraceRecorder recorder;
  EXPECT_FALSE(CollectWith(std::move(scenario)).GetOSx64());
  EXPECT_EQ(recorder.Find(Source::Collector, 119)->args[1].narrow, "False");
}

}  // namespace
}  // namespace qm::testing
