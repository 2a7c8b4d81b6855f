#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <limits>

#include "collector/sim_collector.h"
#include "diagnostics/trace_recorder.h"
#include "profile/document_hash.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using trace::Source;
using trace::TraceRecorder;

// Runs against one agent whose value store lives across the runs, as between
// processes.
class ChangeDetection : public ::testing::Test {
 protected:
  // Initialises and collects a fresh collector, as a run does.
  ProfileDataCollector& Run() {
    if (collector_) collector_->Finalise();
    collector_ = agent_.MakeCollector();
    EXPECT_TRUE(collector_->Initialise());
    EXPECT_TRUE(collector_->Collect());
    return *collector_;
  }
  // A first run that uploaded at `when`.
  void UploadedAt(DATE when) {
    agent_.now = when;
    Run().KeepUploadState();
    agent_.now = kNow;
  }
  void TearDown() override {
    if (collector_) collector_->Finalise();
  }
  [[nodiscard]] std::optional<sim::SdkValue> Kept(LONG id) {
    const auto values = agent_.State().StoredValues();
    const auto found = values.find(id);
    if (found == values.end()) return std::nullopt;
    return found->second;
  }

  static constexpr DATE kNow = 45000.5;
  SimulatedAgent agent_;
  std::unique_ptr<ProfileDataCollector> collector_;
};

TEST_F(ChangeDetection, FirstRunFindsBothReasonsToSend) {
  TraceRecorder recorder;
  ProfileDataCollector& run = Run();
  EXPECT_TRUE(run.HasProfileChanged());
  EXPECT_TRUE(run.IsResendDue());
  EXPECT_THAT(recorder.Numbers(Source::Collector), IsSupersetOf({170, 148, 152, 168}));
}

TEST_F(ChangeDetection, KeepsTheHashAndTimeOfAnUpload) {
  TraceRecorder recorder;
  ProfileDataCollector& run = Run();
  std::wstring reduced;
  ASSERT_TRUE(run.GetReducedProfileJson(reduced));
  run.KeepUploadState();

  const auto hash = Kept(kProfileHashValueId);
  ASSERT_TRUE(hash);
  EXPECT_EQ(hash->type, VT_UI4);
  EXPECT_EQ(hash->bits, ReducedDocumentHash(reduced));
  const auto time = Kept(kLastUploadTimeValueId);
  ASSERT_TRUE(time);
  EXPECT_EQ(time->type, VT_DATE);
  EXPECT_EQ(time->real, kNow);

  EXPECT_THAT(recorder.Numbers(Source::Collector), IsSupersetOf({160, 145, 163, 157, 165}));
  const auto* kept_at = recorder.Find(Source::Collector, 165);
  ASSERT_EQ(kept_at->args.size(), 6u);
  EXPECT_EQ(kept_at->args[0].value, 2023);
  EXPECT_EQ(kept_at->args[1].value, 3);
  EXPECT_EQ(kept_at->args[2].value, 15);
  EXPECT_EQ(kept_at->args[3].value, 12);
  EXPECT_EQ(kept_at->args[4].value, 0);
  EXPECT_EQ(kept_at->args[5].value, 0);
}

TEST_F(ChangeDetection, SameProfileWithinSevenDaysIsNotSent) {
  UploadedAt(kNow - 3);
  ProfileDataCollector& run = Run();
  EXPECT_FALSE(run.HasProfileChanged());
  EXPECT_FALSE(run.IsResendDue());
}

TEST_F(ChangeDetection, SameProfileEightDaysLaterIsResent) {
  UploadedAt(kNow - 8);
  ProfileDataCollector& run = Run();
  EXPECT_FALSE(run.HasProfileChanged());
  EXPECT_TRUE(run.IsResendDue());
  run.KeepUploadState();
  EXPECT_EQ(Kept(kLastUploadTimeValueId)->real, kNow);
}

TEST_F(ChangeDetection, ExactlySevenDaysIsNotYetDue) {
  UploadedAt(kNow - 7);
  EXPECT_FALSE(Run().IsResendDue());
  agent_.now = kNow + 1.0 / 86400;
  EXPECT_TRUE(collector_->IsResendDue());
}

TEST_F(ChangeDetection, AKeptTimeInTheFutureIsDue) {
  UploadedAt(kNow + 30);
  EXPECT_TRUE(Run().IsResendDue());
}

TEST_F(ChangeDetection, AKeptTimeThatIsNoDateIsDue) {
  (void)agent_.State().WriteItem(kLastUploadTimeValueId, sim::SdkValue::Date(1e12));
  EXPECT_TRUE(Run().IsResendDue());
  (void)agent_.State().WriteItem(kLastUploadTimeValueId,
                                 sim::SdkValue::Date(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_TRUE(collector_->IsResendDue());
}

TEST_F(ChangeDetection, AKeptTimeBeforeEighteenNinetyNineIsLongPast) {
  // -1.25 is 29 December 1899, 06:00: whole days count back, the time forward.
  agent_.now = -1.25 + 7;
  UploadedAt(-1.25);
  agent_.now = -1.25 + 7;
  EXPECT_FALSE(Run().IsResendDue());
  agent_.now = 6.0;  // 5 January 1900, 00:00: 6.75 days later
  EXPECT_FALSE(collector_->IsResendDue());
  agent_.now = 6.5;
  EXPECT_TRUE(collector_->IsResendDue());
}

TEST_F(ChangeDetection, ChangesTheReducedDocumentLeavesOutAreNoChange) {
  UploadedAt(kNow - 1);
  ProfileDataCollector& run = Run();
  auto* counters = new CDetectionCounters();
  counters->SetVirusDetections(12);
  ProfileOf(run).SetDetectionCounters(counters);
  EXPECT_FALSE(run.HasProfileChanged());
}

TEST_F(ChangeDetection, AChangedIdentifierIsAChange) {
  UploadedAt(kNow - 1);
  ProfileDataCollector& run = Run();
  ProfileOf(run).SetCountry(L"PT");
  EXPECT_TRUE(run.HasProfileChanged());
}

TEST_F(ChangeDetection, TheHashKeptIsTheHashCompared) {
  ProfileDataCollector& run = Run();
  ASSERT_TRUE(run.HasProfileChanged());
  std::wstring compared;
  ASSERT_TRUE(run.GetReducedProfileJson(compared));
  // What changes after the comparison does not reach the kept hash.
  ProfileOf(run).SetCountry(L"PT");
  run.KeepUploadState();
  EXPECT_EQ(Kept(kProfileHashValueId)->bits, ReducedDocumentHash(compared));
}

TEST_F(ChangeDetection, AFailedHashWriteKeepsNoTime) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.state_faults[kProfileHashValueId].set = E_FAIL;
  SimulatedAgent faulty(std::move(scenario));
  auto collector = faulty.MakeCollector();
  ASSERT_TRUE(collector->Initialise());
  ASSERT_TRUE(collector->Collect());
  TraceRecorder recorder;
  collector->KeepUploadState();
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(160, 144, 162));
  EXPECT_TRUE(faulty.State().StoredValues().empty());
  collector->Finalise();
}

TEST_F(ChangeDetection, AnUnreadableKeptHashIsAChange) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.state[kProfileHashValueId] = sim::SdkValue::Of(VT_UI4, 0);
  scenario.state_faults[kProfileHashValueId].get = E_FAIL;
  SimulatedAgent faulty(std::move(scenario));
  auto collector = faulty.MakeCollector();
  ASSERT_TRUE(collector->Initialise());
  ASSERT_TRUE(collector->Collect());
  EXPECT_TRUE(collector->HasProfileChanged());
  collector->Finalise();
}

TEST(KeptProfile, WithoutProfileNothingIsDecidedOrKept) {
  SimulatedAgent agent;
  auto collector = agent.MakeCollector();
  TraceRecorder recorder;
  std::wstring json = L"untouched";
  EXPECT_FALSE(collector->GetProfileJson(json));
  EXPECT_FALSE(collector->GetReducedProfileJson(json));
  EXPECT_EQ(json, L"untouched");
  EXPECT_FALSE(collector->HasProfileChanged());
  EXPECT_FALSE(collector->IsResendDue());
  collector->KeepUploadState();
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(141, 142, 169, 167, 159));
}

TEST(KeptProfile, TheValueStoreRefusesBeforeInitialisation) {
  SimulatedAgent agent;
  auto collector = agent.MakeCollector();
  TraceRecorder recorder;
  std::uint32_t value = 7;
  DATE date = 1;
  EXPECT_FALSE(collector->WriteKeptValue(kProfileHashValueId, 1));
  EXPECT_FALSE(collector->ReadKeptValue(kProfileHashValueId, value));
  EXPECT_FALSE(collector->ReadKeptDate(kLastUploadTimeValueId, date));
  EXPECT_FALSE(collector->WriteKeptDate(kLastUploadTimeValueId, 2));
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(date, 1);
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(143, 147, 151, 155));
}

TEST(KeptProfile, TheFullDocumentIsBuiltFromTheProfile) {
  SimulatedAgent agent;
  auto collector = agent.MakeCollector();
  ASSERT_TRUE(collector->Initialise());
  ASSERT_TRUE(collector->Collect());
  std::wstring json;
  EXPECT_TRUE(collector->GetProfileJson(json));
  EXPECT_THAT(json, ::testing::HasSubstr(L"\"MUID\":\"A1B2C3D4E5F60718\""));
  collector->Finalise();
}

}  // namespace
}  // namespace qm::testing
