// The collector's SDK session: opening and closing it, the objects it makes,
// and the values it keeps between runs to decide whether to send.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "collector/sim_collector.h"
#include "diagnostics/trace_recorder.h"
#include "profile/document_hash.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using trace::Source;
using trace::TraceRecorder;

struct FailureRow {
  const wchar_t* prog_id;  // null: the root
  sim::SdkObjectFaults faults;
  int trace;
  std::int32_t code;
};

sim::SdkObjectFaults Creation(HRESULT result) { return {result, {}, {}}; }
sim::SdkObjectFaults Query(HRESULT result) { return {{}, result, {}}; }

const FailureRow kFailureRows[] = {
    {nullptr, Creation(REGDB_E_CLASSNOTREG), 12, 11},
    {nullptr, Query(E_NOINTERFACE), 12, 11},
    {L"Omx.Context", Creation(E_FAIL), 13, 12},
    // A success code other than 0 counts as failure too.
    {nullptr, Creation(S_FALSE), 12, 11},
    {L"Omx.Context", Creation(S_FALSE), 13, 12},
    {L"Omx.Context", Query(E_NOINTERFACE), 14, 13},
    // An interface claimed but not handed out, where it would be called through at once.
    {nullptr, Query(S_OK), 12, 11},
    {L"Omx.Context", Query(S_OK), 14, 13},
    {L"Omx.Communication", Creation(E_FAIL), 15, 14},
    {L"Omx.Communication", Query(E_NOINTERFACE), 16, 15},
    {L"Omx.Context", {{}, {}, {{L"SetProperty", E_FAIL}}}, 17, 18},
    {L"Omx.Configuration", Creation(E_FAIL), 18, 16},
    {L"Omx.Configuration", Query(E_NOINTERFACE), 19, 17},
    // A refused licence object runs end to end with the tracking switch.
    {L"Omx.License", Query(E_NOINTERFACE), 21, 20},
    // Only the final check of the references catches an interface claimed but not handed out.
    {L"Omx.License", Query(S_OK), 23, 10},
};

TEST(Initialise, EveryFailedStepTracesItselfReportsItsCodeAndLeaksNothing) {
  for (const FailureRow& row : kFailureRows) {
    SCOPED_TRACE(::testing::Message() << "row " << &row - kFailureRows);
    sim::SdkScenario scenario = AgentScenario();
    (row.prog_id ? scenario.objects[row.prog_id] : scenario.root) = row.faults;
    SimulatedAgent agent(std::move(scenario));
    const long before = sim::LiveSdkObjects();
    TraceRecorder recorder;
    {
      auto collector = agent.MakeCollector();
      EXPECT_FALSE(collector->Initialise());
      EXPECT_FALSE(collector->Collect());  // not initialised: nothing is collected
    }
    EXPECT_EQ(sim::LiveSdkObjects(), before);
    EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(11, row.trace, 24));
    EXPECT_THAT(agent.events, ElementsAre(TrackingEvent{L"prfFailOMX", row.code}));
  }
}

// Initialises and finalises twice on a new thread whose apartment is already
// `apartment` (0: none). No SDK object is left, nor the collector's own
// apartment, while the thread's own apartment survives.
bool InitialiseInApartment(SimulatedAgent& agent, DWORD apartment) {
  bool initialised = false;
  const long before = sim::LiveSdkObjects();
  std::thread([&] {
    if (apartment != 0) {
      ASSERT_EQ(::CoInitializeEx(nullptr, apartment), S_OK);
    }
    auto collector = agent.MakeCollector();
    initialised = collector->Initialise();
    EXPECT_TRUE(collector->Finalise());
    EXPECT_TRUE(collector->Finalise());
    EXPECT_EQ(sim::LiveSdkObjects(), before);
    const DWORD again = apartment == 0 ? DWORD{COINIT_APARTMENTTHREADED} : apartment;
    EXPECT_EQ(::CoInitializeEx(nullptr, again), apartment == 0 ? S_OK : S_FALSE);
    ::CoUninitialize();
    if (apartment != 0) ::CoUninitialize();
  }).join();
  return initialised;
}

TEST(Initialise, OpensInANewOrTheThreadsMultithreadedApartmentAndStopsSilentlyInAnother) {
  SimulatedAgent agent;
  TraceRecorder recorder;
  EXPECT_TRUE(InitialiseInApartment(agent, 0));
  EXPECT_TRUE(InitialiseInApartment(agent, COINIT_MULTITHREADED));
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(11, 22, 11, 22));
  recorder.Clear();
  EXPECT_FALSE(InitialiseInApartment(agent, COINIT_APARTMENTTHREADED));
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(11));
  EXPECT_THAT(agent.events, IsEmpty());
}

TEST_F(Collection, FinaliseDropsTheProfile) {
  ASSERT_TRUE(CollectWith(AgentScenario()));
  EXPECT_TRUE(collector_->Finalise());
  EXPECT_EQ(collector_->GetProfile(), nullptr);
  std::wstring json;
  EXPECT_FALSE(collector_->GetProfileJson(json));
}

TEST(CreateSdkObject, TracesARefusalAndGivesAnEmptyReference) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.objects[L"Omx.Datastore"].create = E_ACCESSDENIED;
  SimulatedAgent agent(std::move(scenario));
  auto collector = agent.MakeCollector();
  TraceRecorder recorder;
  EXPECT_FALSE(collector->Session().CreateSdkObject(L"Omx.Statistics"));  // no root to ask yet
  ASSERT_TRUE(collector->Initialise());
  EXPECT_TRUE(collector->Session().CreateSdkObject(L"Omx.Statistics"));
  EXPECT_FALSE(collector->Session().CreateSdkObject(L"Omx.Datastore"));
  collector->Session().LogCollectorError(L"Error creating 'OMX_STATISTICS_OBJECT'.");
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(173, 22, 173, 10));
  const auto& messages = recorder.Messages();
  const auto& refused = messages[messages.size() - 2];
  EXPECT_EQ(refused.args[0].narrow, "Omx.Datastore");
  EXPECT_EQ(refused.args[1].value, static_cast<std::int32_t>(E_ACCESSDENIED));
  EXPECT_EQ(messages.back().level, trace::Level::Error);
  EXPECT_EQ(messages.back().args[0].wide, L"Error creating 'OMX_STATISTICS_OBJECT'.");
  collector->Finalise();
}

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
