#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <limits>
#include <optional>
#include <vector>

#include "collector/sim_collector.h"
#include "diagnostics/trace_recorder.h"
#include "profile/document_hash.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using trace::Source;

constexpr DATE kNow = 45000.5;  // the simulated agent's clock
constexpr DATE kSecond = 1.0 / 86400;

// Runs against one agent whose value store lives across the runs, as between
// processes.
class ChangeDetection : public Collection {
 protected:
  ChangeDetection() { agent_ = std::make_unique<SimulatedAgent>(); }
  // Initialises and collects a fresh collector, as a run does.
  ProfileDataCollector& Run() {
    TearDown();
    collector_ = agent_->Collected();
    return *collector_;
  }
  // An earlier run that uploaded at `when`.
  void UploadedAt(DATE when) {
    agent_->now = when;
    Run().KeepUploadState();
    agent_->now = kNow;
  }
  [[nodiscard]] std::optional<sim::SdkValue> Kept(LONG id) const {
    const auto values = agent_->state->StoredValues();
    const auto found = values.find(id);
    return found == values.end() ? std::nullopt : std::optional(found->second);
  }
};

TEST_F(ChangeDetection, FirstRunFindsBothReasonsToSendAndTheUploadKeepsTheComparedHashAndTime) {
  ProfileDataCollector& run = Run();
  EXPECT_TRUE(run.HasProfileChanged());
  EXPECT_TRUE(run.IsResendDue());
  EXPECT_THAT(recorder_.Numbers(Source::Collector), IsSupersetOf({170, 148, 152, 168}));

  std::wstring compared;
  ASSERT_TRUE(run.GetReducedProfileJson(compared));
  // What changes after the comparison does not reach the kept hash.
  ProfileOf(run).SetCountry(L"PT");
  recorder_.Clear();
  run.KeepUploadState();
  const auto hash = Kept(kProfileHashValueId);
  ASSERT_TRUE(hash);  // its type and the time's are the end-to-end runs'
  EXPECT_EQ(hash->bits, ReducedDocumentHash(compared));
  EXPECT_THAT(recorder_.Numbers(Source::Collector), ElementsAre(160, 145, 163, 157, 165));
  std::vector<int> kept_at;
  for (const auto& arg : recorder_.Find(Source::Collector, 165)->args) kept_at.push_back(arg.value);
  EXPECT_THAT(kept_at, ElementsAre(2023, 3, 15, 12, 0, 0));
}

TEST_F(ChangeDetection, AKeptTimeInTheFutureOrThatIsNoDateIsDue) {
  const struct {
    DATE kept, now;
    bool due;
  } rows[] = {
      {kNow - 7, kNow, false},  // exactly seven days is not yet due
      {kNow - 7, kNow + kSecond, true},
      {kNow + 30, kNow, true},  // the clock was ahead at the upload
      {std::numeric_limits<double>::quiet_NaN(), kNow, true},
      // -1.25 is 29 December 1899, 06:00: whole days count back, the time forward.
      {-1.25, 6.0, false},  // 5 January 1900, 00:00: 6.75 days later
      {-1.25, 6.5, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.kept << " at " << row.now);
    (void)agent_->state->WriteItem(kLastUploadTimeValueId, sim::SdkValue::Date(row.kept));
    agent_->now = row.now;
    EXPECT_EQ(Run().IsResendDue(), row.due);
  }
}

// That the counters are no change is the end-to-end runs' (CountersOnlyChange).
TEST_F(ChangeDetection, AChangeAfterAnUploadIsFound) {
  UploadedAt(kNow - 1);
  ProfileOf(Run()).SetCountry(L"PT");
  EXPECT_TRUE(collector_->HasProfileChanged());
}

TEST_F(ChangeDetection, AFailedHashWriteKeepsNoTimeAndAnUnreadableHashIsAChange) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.state[kProfileHashValueId] = sim::SdkValue::Of(VT_UI4, 0);
  scenario.state_faults[kProfileHashValueId] = {.get = E_FAIL, .set = E_FAIL};
  ASSERT_TRUE(CollectWith(std::move(scenario)));
  EXPECT_TRUE(collector_->HasProfileChanged());
  recorder_.Clear();
  collector_->KeepUploadState();
  EXPECT_THAT(recorder_.Numbers(Source::Collector), ElementsAre(160, 144, 162));
  EXPECT_FALSE(Kept(kLastUploadTimeValueId));
}

TEST_F(ChangeDetection, WithoutProfileOrInitialisationNothingIsDecidedReadOrKept) {
  auto collector = agent_->MakeCollector();
  recorder_.Clear();
  std::wstring json = L"untouched";
  EXPECT_FALSE(collector->GetProfileJson(json));
  EXPECT_FALSE(collector->GetReducedProfileJson(json));
  EXPECT_EQ(json, L"untouched");
  EXPECT_FALSE(collector->HasProfileChanged());
  EXPECT_FALSE(collector->IsResendDue());
  collector->KeepUploadState();
  std::uint32_t value = 7;
  DATE date = 1;
  EXPECT_FALSE(collector->Session().WriteKeptValue(kProfileHashValueId, 1));
  EXPECT_FALSE(collector->Session().ReadKeptValue(kProfileHashValueId, value));
  EXPECT_FALSE(collector->Session().ReadKeptDate(kLastUploadTimeValueId, date));
  EXPECT_FALSE(collector->Session().WriteKeptDate(kLastUploadTimeValueId, 2));
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(date, 1);
  EXPECT_THAT(recorder_.Numbers(Source::Collector),
              ElementsAre(141, 142, 169, 167, 159, 143, 147, 151, 155));
}

}  // namespace
}  // namespace qm::testing
