// The collector's answers about what was last sent: whether the profile
// changed, whether a resend is due, and the state it keeps after an upload.
#include "collector/profile_data_collector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "collector/sim_collector.h"
#include "diagnostics/trace_recorder.h"
#include "profile/document_hash.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsSupersetOf;
using trace::Source;

constexpr DATE kNow = 45000.5;  // the simulated agent's clock
constexpr DATE kSecond = 1.0 / 86400;

// Runs against one agent whose value store outlives each run, as between processes.
class ChangeDetection : public Collection {
 protected:
  ChangeDetection() { agent_ = std::make_unique<SimulatedAgent>(); }
  // Initialises and collects a fresh collector, as a run does.
  ProfileDataCollector& Run() {
    EXPECT_TRUE(CollectAgain());
    return *collector_;
  }
  [[nodiscard]] std::optional<sim::SdkValue> Kept(LONG id) const {
    const auto values = agent_->state->StoredValues();
    return values.count(id) != 0 ? std::optional(values.at(id)) : std::nullopt;
  }
};

TEST_F(ChangeDetection,
       FirstRunSendsAndKeepsTheComparedHashAndTimeAgainstWhichALaterChangeIsFound) {
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
  // A later run's change is found; that the counters are none is the end-to-end runs'.
  ProfileOf(Run()).SetCountry(L"PT");
  EXPECT_TRUE(collector_->HasProfileChanged());
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

TEST_F(ChangeDetection, AFailedHashWriteKeepsNoTimeAndAnUnreadableHashIsAChange) {
  const struct {
    LONG refused;  // the value store refuses reading and writing this item
    std::vector<int> traces;
    bool hash_kept;
  } rows[] = {
      {kProfileHashValueId, {160, 144, 162}, false},
      {kLastUploadTimeValueId, {160, 145, 163, 156, 164}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.refused);
    sim::SdkScenario scenario = AgentScenario();
    scenario.state[kProfileHashValueId] = sim::SdkValue::Of(VT_UI4, 0);
    scenario.state_faults[row.refused] = {.get = E_FAIL, .set = E_FAIL};
    ASSERT_TRUE(CollectWith(std::move(scenario)));
    EXPECT_TRUE(collector_->HasProfileChanged());
    EXPECT_TRUE(collector_->IsResendDue());
    recorder_.Clear();
    collector_->KeepUploadState();
    EXPECT_THAT(recorder_.Numbers(Source::Collector), ElementsAreArray(row.traces));
    EXPECT_EQ(Kept(kProfileHashValueId)->bits != 0, row.hash_kept);
    EXPECT_FALSE(Kept(kLastUploadTimeValueId));
  }
}

TEST_F(ChangeDetection, WithoutProfileOrInitialisationNothingIsCollectedDecidedOrKept) {
  auto collector = agent_->MakeCollector();
  recorder_.Clear();
  std::wstring json = L"untouched";
  EXPECT_FALSE(collector->Collect());
  EXPECT_FALSE(collector->GetProfileJson(json));
  EXPECT_FALSE(collector->GetReducedProfileJson(json));
  EXPECT_EQ(json, L"untouched");
  EXPECT_FALSE(collector->HasProfileChanged());
  EXPECT_FALSE(collector->IsResendDue());
  collector->KeepUploadState();
  EXPECT_THAT(recorder_.Numbers(Source::Collector), ElementsAre(24, 141, 142, 169, 167, 159));
  EXPECT_TRUE(agent_->events.empty());
}

}  // namespace
}  // namespace qm::testing
