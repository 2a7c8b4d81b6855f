#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "collector/sim_collector.h"
#include "collector/suite_version.h"
#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"

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
  ASSERT_TRUE(CollectWith(AgentScenario()));
  // Connection settings are converted to text whatever their type.
  EXPECT_THAT(Identity(Profile()),
              ElementsAre(L"A1B2C3D4E5F60718", L"42", L"18.07.02.1234", L"1807021234", L"ES",
                          L"es-ES", L"187477", L"proxy.example", L"8080", L"user"));
  ASSERT_NE(Profile().GetOSInfo(), nullptr);
  EXPECT_EQ(std::vector({OS().GetOSMajorVer(), OS().GetOSMinorVer(), OS().GetSPMajorVer(),
                         OS().GetSPMinorVer(), OS().GetOSType()}),
            std::vector({10u, 0u, 1u, 2u, 1u}));
  EXPECT_TRUE(OS().GetOSx64());
  EXPECT_THAT(recorder_.Numbers(Source::Collector),
              IsSupersetOf({27, 30, 32, 33, 35, 37, 39, 118, 119, 121, 122, 123, 136, 138, 140}));
  EXPECT_EQ(Traced(119).args[1].narrow, "True");
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

TEST_F(Collect, FailsAndReportsWhenTheMuidCannotBeReadAsText) {
  const std::pair<sim::SdkAnswer, HRESULT> rows[] = {{{E_ACCESSDENIED, {}}, E_ACCESSDENIED},
                                                     {Int(1234), DISP_E_TYPEMISMATCH}};
  for (const auto& [answer, error] : rows) {
    SCOPED_TRACE(error);
    EXPECT_FALSE(CollectWith(kMuidItem, answer));
    EXPECT_THAT(recorder_.Numbers(Source::Collector), ElementsAre(26));
    EXPECT_EQ(Traced(26).args[1].value, static_cast<std::int32_t>(error));
    EXPECT_THAT(agent_->events, ElementsAre(TrackingEvent{L"prfNotMUID", 1}));
    EXPECT_NE(collector_->GetProfile(), nullptr);  // the profile stays with the collector
    collector_->Finalise();
  }
}

TEST_F(Collect, GoesOnToTheEndWithAnEmptyMuid) {
  EXPECT_TRUE(CollectWith(kMuidItem, Text(L"")));
  EXPECT_THAT(recorder_.Numbers(Source::Collector), IsSupersetOf({27, 28, 140}));
  EXPECT_EQ(Profile().GetMUID(), L"");
  EXPECT_EQ(Profile().GetConnectionSetting3(), L"user");
}

TEST_F(Collect, ContainsAValueThatCannotBeConvertedToItsOwnItem) {
  sim::SdkScenario scenario = AgentScenario();
  // A map has no text form, a text "maybe" no boolean one, and a country must be text.
  scenario.config[kConnection1Item] = Answer(sim::SdkValue::Map({}));
  scenario.config[kOsX64Item] = Text(L"maybe");
  scenario.config[kCountryItem] = Int(34);
  EXPECT_TRUE(CollectWith(std::move(scenario)));
  const std::pair<int, LONG> refused[] = {
      {135, kConnection1Item}, {117, kOsX64Item}, {34, kCountryItem}};
  for (const auto& [number, item] : refused) {
    EXPECT_EQ(Traced(number).args[0].value, item);
    EXPECT_LT(Traced(number).args[1].value, 0);
  }
  EXPECT_EQ(Traced(34).args[1].value, static_cast<std::int32_t>(DISP_E_TYPEMISMATCH));
  // The reads after them went on.
  EXPECT_EQ(Profile().GetCountry(), L"");
  EXPECT_EQ(Profile().GetLanguage(), L"es-ES");
  EXPECT_EQ(Profile().GetConnectionSetting2(), L"8080");
  EXPECT_EQ(Profile().GetOSInfo()->GetOSMajorVer(), 10u);
}

TEST_F(Collect, ASecondCollectionStartsFromAFreshProfile) {
  ASSERT_TRUE(CollectWith(AgentScenario()));
  Profile().SetCountry(L"changed");
  std::wstring reduced;
  ASSERT_TRUE(collector_->GetReducedProfileJson(reduced));
  ASSERT_TRUE(collector_->HasProfileChanged());
  ASSERT_TRUE(collector_->Collect());
  EXPECT_EQ(Profile().GetCountry(), L"ES");
  ASSERT_TRUE(collector_->GetReducedProfileJson(reduced));
  EXPECT_THAT(reduced, Not(HasSubstr(L"changed")));
}

TEST_F(Collect, TakesANonZeroSuccessOfAnOSItemAsFailureAndConvertsOSx64FromAnyType) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.config[kOsMajorItem] = {S_FALSE, sim::SdkValue::Of(VT_I4, 10)};
  scenario.config[kOsX64Item] = Text(L"0");
  ASSERT_TRUE(CollectWith(std::move(scenario)));
  EXPECT_EQ(OS().GetOSMajorVer(), 0u);
  EXPECT_EQ(OS().GetSPMajorVer(), 1u);
  EXPECT_EQ(Traced(117).args[0].value, kOsMajorItem);
  EXPECT_EQ(Traced(117).args[1].value, S_FALSE);
  EXPECT_FALSE(OS().GetOSx64());
  EXPECT_EQ(Traced(119).args[1].narrow, "False");
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

}  // namespace
}  // namespace qm::testing
