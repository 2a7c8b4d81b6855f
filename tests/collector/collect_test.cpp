#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "collector/backup_directory.h"
#include "collector/machine_os_info.h"
#include "collector/sim_collector.h"
#include "collector/suite_version.h"
#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"
#include "support/text.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using ::testing::Not;
using trace::Source;

// The identity and connection settings of a profile, numbers as text.
std::vector<std::wstring> Identity(const CProfileData& p) {
  return {p.GetMUID(),
          std::to_wstring(p.GetSuiteID()),
          p.GetSuiteVersion(),
          p.GetSuiteVersionNumber(),
          p.GetCountry(),
          p.GetLanguage(),
          std::to_wstring(p.GetCustomID()),
          p.GetConnectionSetting1(),
          p.GetConnectionSetting2(),
          p.GetConnectionSetting3()};
}

class Collect : public Collection {
 protected:
  // The agent's scenario with `item` answered by `answer`.
  bool CollectWith(LONG item, sim::SdkAnswer answer) {
    sim::SdkScenario scenario = AgentScenario();
    scenario.config[item] = std::move(answer);
    return Collection::CollectWith(std::move(scenario));
  }
  using Collection::CollectWith;
  [[nodiscard]] const COSInfo& OS() const { return *Profile().GetOSInfo(); }
  [[nodiscard]] const trace::RecordedMessage& Traced(int number) const {
    const auto* message = recorder_.Find(Source::Collector, number);
    if (message == nullptr) throw std::runtime_error("message " + std::to_string(number));
    return *message;
  }

  RegistrySandbox registry_;  // the machine's framework keys
};

TEST_F(Collect, FillsIdentityConnectionSettingsAndOSBlockFromTheAgentAndTheMachine) {
  const std::wstring ndp = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4";
  registry_.SetDword(ndp, L"Install", 1, KEY_WOW64_32KEY);
  registry_.SetText(ndp, L"Version", L"4.0.0", KEY_WOW64_32KEY);
  registry_.SetDword(ndp + L"\\Full", L"Release", 0xFFFFFFFF, KEY_WOW64_32KEY);
  // The end-to-end document has OSx64 from a boolean; any type converts.
  ASSERT_TRUE(CollectWith(kOsX64Item, Text(L"0")));
  // Connection settings are converted to text whatever their type.
  EXPECT_THAT(Identity(Profile()),
              ElementsAre(L"A1B2C3D4E5F60718", L"42", L"18.07.02.1234", L"1807021234", L"ES",
                          L"es-ES", L"187477", L"proxy.example", L"8080", L"user"));
  ASSERT_NE(Profile().GetOSInfo(), nullptr);
  EXPECT_EQ(std::vector({OS().GetOSMajorVer(), OS().GetOSMinorVer(), OS().GetSPMajorVer(),
                         OS().GetSPMinorVer(), OS().GetOSType()}),
            std::vector({10u, 0u, 1u, 2u, 1u}));
  EXPECT_FALSE(OS().GetOSx64());
  EXPECT_EQ(OS().GetNetFrameworkRealVersion(), L"-1");  // the release as signed decimal
  EXPECT_THAT(recorder_.Numbers(Source::Collector),
              IsSupersetOf({27, 30, 32, 33, 35, 37, 39, 118, 119, 121, 122, 123, 136, 138, 140}));
  EXPECT_EQ(Traced(119).args[1].narrow, "False");
  EXPECT_EQ(Traced(27).args[1].narrow, "A1B2C3D4E5F60718");
  EXPECT_EQ(Traced(30).args[1].value, 42);
  EXPECT_EQ(Traced(33).args[0].value, kSuiteVersionItem);
  EXPECT_EQ(Traced(33).args[1].narrow, "1807021234");
  EXPECT_THAT(agent_->events, IsEmpty());
}

TEST_F(Collect, KeepsTheMuidWhenEveryOtherItemAndTheFrameworkKeysAreMissing) {
  sim::SdkScenario scenario;
  scenario.config[kMuidItem] = Text(L"ONLY-MUID");
  ASSERT_TRUE(CollectWith(std::move(scenario)));
  EXPECT_THAT(Identity(Profile()),
              ElementsAre(L"ONLY-MUID", L"0", L"", L"", L"", L"", L"0", L"", L"", L""));
  ASSERT_NE(Profile().GetOSInfo(), nullptr);
  EXPECT_EQ(OS().GetOSMajorVer(), 0u);
  EXPECT_FALSE(OS().GetOSx64());
  // Nor has the machine any framework keys.
  EXPECT_EQ(OS().GetNetVersionInstalled(), L"");
  EXPECT_EQ(OS().GetNetFrameworkRealVersion(), L"0");
  EXPECT_EQ(Traced(122).args[0].narrow, "0");
  EXPECT_THAT(recorder_.Numbers(Source::Collector),
              IsSupersetOf({29, 31, 34, 36, 38, 120, 135, 137, 139}));
  EXPECT_EQ(Traced(29).level, trace::Level::Error);
  EXPECT_EQ(Traced(29).args[0].value, 0x4009025);
  EXPECT_EQ(Traced(29).args[1].value, static_cast<std::int32_t>(sim::kItemNotFound));
}

// An empty MUID is no failure: the collection goes on to its end.
TEST_F(Collect, FailsAndReportsWhenTheMuidCannotBeReadAsText) {
  const std::pair<sim::SdkAnswer, HRESULT> rows[] = {
      {{E_ACCESSDENIED, {}}, E_ACCESSDENIED}, {Int(1234), DISP_E_TYPEMISMATCH}, {Text(L""), S_OK}};
  for (const auto& [answer, error] : rows) {
    SCOPED_TRACE(error);
    EXPECT_EQ(CollectWith(kMuidItem, answer), error == S_OK);
    EXPECT_NE(collector_->GetProfile(), nullptr);  // the profile stays with the collector
    if (error == S_OK) {
      EXPECT_THAT(recorder_.Numbers(Source::Collector), IsSupersetOf({27, 28, 140}));
      EXPECT_EQ(Profile().GetConnectionSetting3(), L"user");
      continue;
    }
    EXPECT_THAT(recorder_.Numbers(Source::Collector), ElementsAre(26));
    EXPECT_EQ(Traced(26).args[1].value, static_cast<std::int32_t>(error));
    EXPECT_THAT(agent_->events, ElementsAre(ReportedEvent{L"prfNotMUID", 1}));
  }
}

TEST_F(Collect, ContainsAValueThatCannotBeConvertedToItsOwnItem) {
  sim::SdkScenario scenario = AgentScenario();
  // A map has no text form, a text "maybe" no boolean one, and a country must be text.
  scenario.config[kConnection1Item] = Answer(sim::SdkValue::Map({}));
  scenario.config[kOsX64Item] = Text(L"maybe");
  scenario.config[kCountryItem] = Int(34);
  // A success other than S_OK is no answer either.
  scenario.config[kOsMajorItem] = {S_FALSE, sim::SdkValue::Of(VT_I4, 10)};
  EXPECT_TRUE(CollectWith(std::move(scenario)));
  const std::pair<int, LONG> refused[] = {
      {135, kConnection1Item}, {117, kOsMajorItem}, {34, kCountryItem}};
  for (const auto& [number, item] : refused) {
    EXPECT_EQ(Traced(number).args[0].value, item);
    EXPECT_NE(Traced(number).args[1].value, 0);
  }
  EXPECT_EQ(Traced(34).args[1].value, static_cast<std::int32_t>(DISP_E_TYPEMISMATCH));
  EXPECT_EQ(Traced(117).args[1].value, S_FALSE);
  EXPECT_EQ(std::ranges::count(recorder_.Numbers(Source::Collector), 117), 2);  // and OSx64
  // The reads after them went on.
  EXPECT_EQ(Profile().GetCountry(), L"");
  EXPECT_EQ(Profile().GetLanguage(), L"es-ES");
  EXPECT_EQ(Profile().GetConnectionSetting2(), L"8080");
  EXPECT_EQ(std::pair(OS().GetOSMajorVer(), OS().GetSPMajorVer()), std::pair(0u, 1u));
}

TEST_F(Collect, ASecondCollectionStartsFromAFreshProfile) {
  ASSERT_TRUE(CollectWith(AgentScenario()));
  Profile().SetCountry(L"changed");
  ASSERT_TRUE(collector_->HasProfileChanged());  // which caches the reduced document
  ASSERT_TRUE(collector_->Collect());
  EXPECT_EQ(Profile().GetCountry(), L"ES");
  std::wstring reduced;
  ASSERT_TRUE(collector_->GetReducedProfileJson(reduced));
  EXPECT_THAT(reduced, Not(HasSubstr(L"changed")));
  EXPECT_TRUE(collector_->Finalise());  // which drops the profile
  EXPECT_EQ(collector_->GetProfile(), nullptr);
  EXPECT_FALSE(collector_->GetProfileJson(reduced));
}

TEST(SuiteVersionSplit, ReadsFixedPositions) {
  const struct {
    const wchar_t* text;
    const wchar_t* number;
    int major, minor, build;
  } rows[] = {
      {L"01-02-03-", L"010203", 1, 2, 3},     // nine characters, ending in the third separator
      {L"19x00y05z7", L"1900057", 19, 0, 5},  // separators are dropped whatever they are
      // Shorter texts: missing pieces are empty and 0.
      {L"18.7", L"187", 18, 7, 0},
      {L"1", L"1", 1, 0, 0},
      {L"", L"", 0, 0, 0},
      // The C library's reading: white space and sign, digits up to the first other.
      {L" 7.-3.5a.", L" 7-35a", 7, -3, 5},
      {L"ab.cd.ef.gh", L"abcdefgh", 0, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(row.text)));
    const SuiteVersionParts parts = SplitSuiteVersion(row.text);
    EXPECT_EQ(parts.number, row.number);
    EXPECT_EQ(std::tuple(parts.major, parts.minor, parts.build),
              std::tuple(row.major, row.minor, row.build));
  }
}

// What a collection reads from the machine itself rather than from the agent.
const std::wstring kNdp = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\";

struct NdpEntry {
  const wchar_t* subkey;
  std::wstring version;
  DWORD install = 1;
};

TEST(NetFramework, TheInstalledVersionIsTheGreatestByOrdinalComparison) {
  const struct {
    const char* name;
    std::vector<NdpEntry> entries;
    const wchar_t* installed;
  } rows[] = {
      // A version without Install read from its "Client" subkey is the end-to-end scenario's.
      {"Install 0 even with a client",
       {{L"v2.0.50727", L"2.0.50727.4927"}, {L"v3.0", L"3.0.1", 0}, {L"v3.0\\Client", L"9.9"}},
       L"2.0.50727.4927"},
      {"only a lower-case v names a version",
       {{L"v2.0.50727", L"2.0.50727.4927"}, {L"V9", L"9.0"}, {L"x9", L"9.1"}, {L"CDF", L"9.2"}},
       L"2.0.50727.4927"},
      {"compared as text", {{L"v4.10", L"4.10"}, {L"v4.9", L"4.9"}}, L"4.9"},
      // 130 characters and a terminator: 262 bytes, more than its buffer holds.
      {"oversized version", {{L"v1", L"1.0"}, {L"v2", std::wstring(130, L'2')}}, L"1.0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RegistrySandbox registry;
    for (const NdpEntry& entry : row.entries) {
      registry.SetDword(kNdp + entry.subkey, L"Install", entry.install, KEY_WOW64_32KEY);
      registry.SetText(kNdp + entry.subkey, L"Version", entry.version, KEY_WOW64_32KEY);
    }
    std::wstring version = L"untouched";
    EXPECT_EQ(ReadNetVersionInstalled(version), *row.installed != L'\0');
    EXPECT_EQ(version, row.installed);
  }
}

std::optional<WindowsClass> Classify(DWORD platform, DWORD major, DWORD minor, BYTE product) {
  OSVERSIONINFOEXW version{};
  version.dwPlatformId = platform;
  version.dwMajorVersion = major;
  version.dwMinorVersion = minor;
  version.wProductType = product;
  return ClassifyWindows(version);
}

TEST(WindowsClassification, OnlyAWorkstationTenPointZeroIsWindows10) {
  using enum WindowsClass;
  EXPECT_EQ(Classify(2, 10, 0, VER_NT_WORKSTATION), Windows10Workstation);
  EXPECT_EQ(Classify(2, 10, 0, 0), Windows10Server);
  EXPECT_EQ(Classify(2, 10, 2, VER_NT_WORKSTATION), LaterThanWindows10);
  EXPECT_EQ(Classify(2, 11, 0, VER_NT_WORKSTATION), LaterThanWindows10);
  EXPECT_EQ(Classify(2, 10, 1, VER_NT_WORKSTATION), Other);
  EXPECT_EQ(Classify(1, 10, 0, VER_NT_WORKSTATION), Other);
  EXPECT_EQ(Classify(3, 10, 0, VER_NT_WORKSTATION), std::nullopt);
}

TEST(BackupDirectory, IsReadWholeUpToItsBufferAndOtherwiseLeftUntouched) {
  const std::wstring kServiceHost = L"Software\\Orvex Security\\Orvex Service Host";
  const std::wstring three_hundred = L"C:\\" + std::wstring(297, L'b');
  // 27 opens every reading; the second message tells how it ended.
  const wchar_t* backup = L"quillmark_backup";
  const struct {
    const char* name;
    const wchar_t* value_name;  // null: no key at all
    std::wstring value;
    const wchar_t* directory;
    int trace;
    std::string last_arg;  // "True" for a directory configured
  } rows[] = {
      {"no key", nullptr, L"", L"untouched", 28, ToAnsi(kServiceHost + L"\\")},
      {"other value", L"other", L"C:\\elsewhere", L"untouched", 31, "quillmark_backup"},
      {"300 characters", backup, three_hundred, three_hundred.c_str(), 32, "True"},
      {"600 characters", backup, std::wstring(600, L'x'), L"untouched", 31, "quillmark_backup"},
      {"empty", backup, L"", L"", 32, "False"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RegistrySandbox registry;
    if (row.value_name != nullptr) registry.SetText(kServiceHost, row.value_name, row.value);
    trace::TraceRecorder recorder;
    std::wstring directory = L"untouched";
    EXPECT_EQ(ReadBackupDirectory(directory), row.last_arg == "True");
    EXPECT_EQ(directory, row.directory);
    EXPECT_EQ(recorder.Numbers(Source::RunDriver), (std::vector{27, row.trace}));
    EXPECT_EQ(recorder.Messages().back().args.at(0).narrow, row.last_arg);
  }
}

}  // namespace
}  // namespace qm::testing
