#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include "collector/sim_collector.h"
#include "collector/suite_version.h"
#include "diagnostics/trace_recorder.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using ::testing::Not;
using trace::Source;
using trace::TraceRecorder;

class Collect : public ::testing::Test {
 protected:
  // Collects once with `scenario`; the collector stays for the test to look at.
  bool CollectWith(sim::SdkScenario scenario) {
    agent_ = std::make_unique<SimulatedAgent>(std::move(scenario));
    collector_ = agent_->MakeCollector();
    if (!collector_->Initialise()) return false;
    recorder_.Clear();
    return collector_->Collect();
  }
  void TearDown() override {
    if (collector_) collector_->Finalise();
  }
  [[nodiscard]] CProfileData& Profile() const { return ProfileOf(*collector_); }
  [[nodiscard]] const trace::RecordedMessage* Traced(int number) const {
    return recorder_.Find(Source::Collector, number);
  }

  TraceRecorder recorder_;
  std::unique_ptr<SimulatedAgent> agent_;
  std::unique_ptr<ProfileDataCollector> collector_;
};

TEST_F(Collect, FillsTheIdentityAndConnectionSettingsFromTheConfiguration) {
  ASSERT_TRUE(CollectWith(AgentScenario()));
  const CProfileData& profile = Profile();
  EXPECT_EQ(profile.GetMUID(), L"A1B2C3D4E5F60718");
  EXPECT_EQ(profile.GetSuiteID(), 42u);
  EXPECT_EQ(profile.GetSuiteVersion(), L"18.07.02.1234");
  EXPECT_EQ(profile.GetSuiteVersionNumber(), L"1807021234");
  EXPECT_EQ(profile.GetCountry(), L"ES");
  EXPECT_EQ(profile.GetLanguage(), L"es-ES");
  EXPECT_EQ(profile.GetCustomID(), 187477u);
  EXPECT_EQ(profile.GetConnectionSetting1(), L"proxy.example");
  // Connection settings are converted to text whatever their type.
  EXPECT_EQ(profile.GetConnectionSetting2(), L"8080");
  EXPECT_EQ(profile.GetConnectionSetting3(), L"user");
  ASSERT_NE(profile.GetOSInfo(), nullptr);

  EXPECT_THAT(recorder_.Numbers(Source::Collector),
              IsSupersetOf({27, 30, 32, 33, 35, 37, 39, 136, 138, 140}));
  EXPECT_EQ(Traced(27)->args[1].narrow, "A1B2C3D4E5F60718");
  EXPECT_EQ(Traced(30)->args[1].value, 42);
  EXPECT_EQ(Traced(33)->args[0].value, 0x4009015);
  EXPECT_EQ(Traced(33)->args[1].narrow, "1807021234");
  EXPECT_THAT(agent_->events, IsEmpty());
}

TEST_F(Collect, KeepsTheMuidWhenEveryOtherItemFails) {
  sim::SdkScenario scenario;
  scenario.config[kMuidItem] = Answer(sim::SdkValue::Text(L"ONLY-MUID"));
  ASSERT_TRUE(CollectWith(std::move(scenario)));
  const CProfileData& profile = Profile();
  EXPECT_EQ(profile.GetMUID(), L"ONLY-MUID");
  EXPECT_EQ(profile.GetSuiteID(), 0u);
  EXPECT_EQ(profile.GetSuiteVersion(), L"");
  EXPECT_EQ(profile.GetSuiteVersionNumber(), L"");
  EXPECT_EQ(profile.GetCountry(), L"");
  EXPECT_EQ(profile.GetLanguage(), L"");
  EXPECT_EQ(profile.GetCustomID(), 0u);
  EXPECT_EQ(profile.GetConnectionSetting1(), L"");
  EXPECT_EQ(profile.GetConnectionSetting2(), L"");
  EXPECT_EQ(profile.GetConnectionSetting3(), L"");
  const COSInfo* os = profile.GetOSInfo();
  ASSERT_NE(os, nullptr);
  EXPECT_EQ(os->GetOSMajorVer(), 0u);
  EXPECT_FALSE(os->GetOSx64());

  EXPECT_THAT(recorder_.Numbers(Source::Collector),
              IsSupersetOf({29, 31, 34, 36, 38, 135, 137, 139}));
  const auto* failed = Traced(29);
  EXPECT_EQ(failed->level, trace::Level::Error);
  EXPECT_EQ(failed->args[0].value, 0x4009025);
  EXPECT_EQ(failed->args[1].value, static_cast<std::int32_t>(sim::kItemNotFound));
}

TEST_F(Collect, FailsAndReportsWhenTheMuidCannotBeRead) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.config[kMuidItem] = Failure(E_ACCESSDENIED);
  EXPECT_FALSE(CollectWith(std::move(scenario)));
  EXPECT_THAT(recorder_.Numbers(Source::Collector), ElementsAre(26));
  EXPECT_EQ(Traced(26)->args[1].value, static_cast<std::int32_t>(E_ACCESSDENIED));
  EXPECT_THAT(agent_->events, ElementsAre(TrackingEvent{L"prfNotMUID", 1}));
  // The profile stays with the collector.
  EXPECT_NE(collector_->GetProfile(), nullptr);
}

TEST_F(Collect, RefusesAMuidThatIsNoText) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.config[kMuidItem] = Answer(sim::SdkValue::Of(VT_I4, 1234));
  EXPECT_FALSE(CollectWith(std::move(scenario)));
  EXPECT_EQ(Traced(26)->args[1].value, static_cast<std::int32_t>(DISP_E_TYPEMISMATCH));
  EXPECT_THAT(agent_->events, ElementsAre(TrackingEvent{L"prfNotMUID", 1}));
}

TEST_F(Collect, GoesOnToTheEndWithAnEmptyMuid) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.config[kMuidItem] = Answer(sim::SdkValue::Text(L""));
  EXPECT_TRUE(CollectWith(std::move(scenario)));
  EXPECT_THAT(recorder_.Numbers(Source::Collector), IsSupersetOf({27, 28, 140}));
  EXPECT_EQ(Profile().GetMUID(), L"");
  EXPECT_EQ(Profile().GetConnectionSetting3(), L"user");
}

TEST_F(Collect, ContainsAValueThatCannotBeConvertedToItsOwnItem) {
  sim::SdkScenario scenario = AgentScenario();
  // A map has no text form and a text "maybe" no boolean one.
  scenario.config[kConnection1Item] = Answer(sim::SdkValue::Map({}));
  scenario.config[kOsX64Item] = Answer(sim::SdkValue::Text(L"maybe"));
  EXPECT_TRUE(CollectWith(std::move(scenario)));
  const auto* setting = Traced(135);
  ASSERT_NE(setting, nullptr);
  EXPECT_EQ(setting->args[0].value, kConnection1Item);
  EXPECT_LT(setting->args[1].value, 0);
  const auto* x64 = Traced(117);
  ASSERT_NE(x64, nullptr);
  EXPECT_EQ(x64->args[0].value, kOsX64Item);
  EXPECT_LT(x64->args[1].value, 0);
  // The reads after them went on.
  EXPECT_EQ(Profile().GetConnectionSetting2(), L"8080");
  EXPECT_EQ(Profile().GetOSInfo()->GetOSMajorVer(), 10u);
  EXPECT_EQ(Profile().GetSuiteID(), 42u);
}

TEST_F(Collect, TakesATextItemOfAnotherTypeAsUnread) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.config[kCountryItem] = Answer(sim::SdkValue::Of(VT_I4, 34));
  EXPECT_TRUE(CollectWith(std::move(scenario)));
  EXPECT_EQ(Traced(34)->args[1].value, static_cast<std::int32_t>(DISP_E_TYPEMISMATCH));
  EXPECT_EQ(Profile().GetCountry(), L"");
  EXPECT_EQ(Profile().GetLanguage(), L"es-ES");
}

TEST_F(Collect, RefusesBeforeInitialisation) {
  agent_ = std::make_unique<SimulatedAgent>();
  collector_ = agent_->MakeCollector();
  recorder_.Clear();
  EXPECT_FALSE(collector_->Collect());
  EXPECT_THAT(recorder_.Numbers(Source::Collector), ElementsAre(24));
  EXPECT_EQ(collector_->GetProfile(), nullptr);
}

TEST_F(Collect, ASecondCollectionStartsFromAFreshProfile) {
  ASSERT_TRUE(CollectWith(AgentScenario()));
  Profile().SetCountry(L"changed");
  std::wstring before;
  ASSERT_TRUE(collector_->GetReducedProfileJson(before));
  ASSERT_TRUE(collector_->HasProfileChanged());
  ASSERT_TRUE(collector_->Collect());
  EXPECT_EQ(Profile().GetCountry(), L"ES");
  std::wstring after;
  ASSERT_TRUE(collector_->GetReducedProfileJson(after));
  EXPECT_THAT(after, Not(::testing::HasSubstr(L"changed")));
}

struct SuiteVersionCase {
  const wchar_t* text;
  const wchar_t* number;
  int major;
  int minor;
  int build;
};

class SuiteVersionSplit : public ::testing::TestWithParam<SuiteVersionCase> {};

TEST_P(SuiteVersionSplit, ReadsFixedPositions) {
  const SuiteVersionCase& c = GetParam();
  const SuiteVersionParts parts = SplitSuiteVersion(c.text);
  EXPECT_EQ(parts.number, c.number);
  EXPECT_EQ(parts.major, c.major);
  EXPECT_EQ(parts.minor, c.minor);
  EXPECT_EQ(parts.build, c.build);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, SuiteVersionSplit,
    ::testing::Values(
        SuiteVersionCase{L"18.07.02.1234", L"1807021234", 18, 7, 2},
        // Exactly nine characters, ending in its third separator.
        SuiteVersionCase{L"01-02-03-", L"010203", 1, 2, 3},
        // Separators are dropped whatever they are.
        SuiteVersionCase{L"19x00y05z7", L"1900057", 19, 0, 5},
        // Shorter texts: missing pieces are empty and 0.
        SuiteVersionCase{L"18.7", L"187", 18, 7, 0}, SuiteVersionCase{L"1", L"1", 1, 0, 0},
        SuiteVersionCase{L"", L"", 0, 0, 0},
        // The C library's reading: white space and sign, digits up to the first other.
        SuiteVersionCase{L" 7.-3.5a.", L" 7-35a", 7, -3, 5},
        SuiteVersionCase{L"ab.cd.ef.gh", L"abcdefgh", 0, 0, 0}));

TEST_F(Collect, StoresANineCharacterSuiteVersionAndItsNumber) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.config[kSuiteVersionItem] = Answer(sim::SdkValue::Text(L"01-02-03-"));
  ASSERT_TRUE(CollectWith(std::move(scenario)));
  EXPECT_EQ(Profile().GetSuiteVersion(), L"01-02-03-");
  EXPECT_EQ(Profile().GetSuiteVersionNumber(), L"010203");
}

}  // namespace
}  // namespace qm::testing
