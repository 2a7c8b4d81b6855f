// The SDK session: opening and closing it, the objects it makes, and the
// value store it reads and writes.
#include "sdk/sdk_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "diagnostics/trace_recorder.h"
#include "sdk/simulated_sdk.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
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
    {nullptr, Query(E_NOINTERFACE), 12, 11},
    // A success code other than 0 counts as failure, as any failure does.
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

TEST(Open, EveryFailedStepTracesItselfReportsItsCodeAndLeaksNothing) {
  for (const FailureRow& row : kFailureRows) {
    SCOPED_TRACE(::testing::Message() << "row " << &row - kFailureRows);
    sim::SdkScenario scenario;
    (row.prog_id ? scenario.objects[row.prog_id] : scenario.root) = row.faults;
    SimulatedSdk sdk(std::move(scenario));
    const long before = sim::LiveSdkObjects();
    TraceRecorder recorder;
    {
      SdkSession session(sdk.Root(), sdk);
      EXPECT_FALSE(session.Open());
      EXPECT_FALSE(session.IsOpen());
    }
    EXPECT_EQ(sim::LiveSdkObjects(), before);
    EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(row.trace));
    EXPECT_THAT(sdk.events, ElementsAre(ReportedEvent{L"prfFailOMX", row.code}));
  }
}

// Opens and closes twice on a new thread whose apartment is already
// `apartment` (0: none). No SDK object is left, nor the session's own
// apartment, while the thread's own apartment survives.
bool OpenInApartment(SimulatedSdk& sdk, DWORD apartment) {
  bool opened = false;
  const long before = sim::LiveSdkObjects();
  std::thread([&] {
    if (apartment != 0) {
      ASSERT_EQ(::CoInitializeEx(nullptr, apartment), S_OK);
    }
    SdkSession session(sdk.Root(), sdk);
    opened = session.Open();
    session.Close();
    session.Close();
    EXPECT_EQ(sim::LiveSdkObjects(), before);
    const DWORD again = apartment == 0 ? DWORD{COINIT_APARTMENTTHREADED} : apartment;
    EXPECT_EQ(::CoInitializeEx(nullptr, again), apartment == 0 ? S_OK : S_FALSE);
    ::CoUninitialize();
    if (apartment != 0) ::CoUninitialize();
  }).join();
  return opened;
}

TEST(Open, InANewOrTheThreadsMultithreadedApartmentAndStopsSilentlyInAnother) {
  sim::SdkScenario answers_all;
  SimulatedSdk sdk(std::move(answers_all));
  TraceRecorder recorder;
  EXPECT_TRUE(OpenInApartment(sdk, 0));
  EXPECT_TRUE(OpenInApartment(sdk, COINIT_MULTITHREADED));
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(22, 22));
  recorder.Clear();
  EXPECT_FALSE(OpenInApartment(sdk, COINIT_APARTMENTTHREADED));
  EXPECT_THAT(recorder.Numbers(Source::Collector), IsEmpty());
  EXPECT_THAT(sdk.events, IsEmpty());
}

// The refusals the counters meet, and the lines they log, are the counters' tests'.
TEST(CreateSdkObject, TracesARefusalAndGivesAnEmptyReference) {
  sim::SdkScenario scenario;
  scenario.objects[L"Omx.Datastore"].create = E_ACCESSDENIED;
  SimulatedSdk sdk(std::move(scenario));
  SdkSession session(sdk.Root(), sdk);
  TraceRecorder recorder;
  EXPECT_FALSE(session.CreateSdkObject(L"Omx.Statistics"));  // no root to ask yet
  ASSERT_TRUE(session.Open());
  EXPECT_TRUE(session.CreateSdkObject(L"Omx.Statistics"));
  EXPECT_FALSE(session.CreateSdkObject(L"Omx.Datastore"));
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(173, 22, 173));
  EXPECT_EQ(recorder.Messages().back().args[0].narrow, "Omx.Datastore");
  EXPECT_EQ(recorder.Messages().back().args[1].value, static_cast<std::int32_t>(E_ACCESSDENIED));
  session.Close();
}

// Each value store call under its own numbers: not open, refused, done.
TEST(ValueStore, EachCallTracesWhetherTheSessionWasOpenAndWhatTheSdkAnswered) {
  const struct {
    bool opens, refuses;
    std::vector<int> traces;
  } rows[] = {
      {false, false, {143, 147, 155, 151}},
      {true, true, {22, 144, 148, 156, 152}},
      {true, false, {22, 145, 149, 157, 153}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "row " << &row - rows);
    sim::SdkScenario scenario;
    if (row.refuses) {
      for (const LONG id : {kProfileHashValueId, kLastUploadTimeValueId})
        scenario.state_faults[id] = {.get = E_FAIL, .set = E_FAIL};
    }
    SimulatedSdk sdk(std::move(scenario));
    SdkSession session(sdk.Root(), sdk);
    TraceRecorder recorder;
    if (row.opens) {
      ASSERT_TRUE(session.Open());
    }
    std::uint32_t value = 7;
    DATE date = 1;
    (void)session.WriteKeptValue(kProfileHashValueId, 5);
    (void)session.ReadKeptValue(kProfileHashValueId, value);
    (void)session.WriteKeptDate(kLastUploadTimeValueId, 45000.5);
    (void)session.ReadKeptDate(kLastUploadTimeValueId, date);
    EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAreArray(row.traces));
    // What was read is what was written, and nothing when nothing was read.
    const bool read = row.opens && !row.refuses;
    EXPECT_EQ(value, read ? 5u : 7u);
    EXPECT_EQ(date, read ? 45000.5 : 1);
    session.Close();
  }
}

}  // namespace
}  // namespace qm::testing
