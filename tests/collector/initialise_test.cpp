#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "collector/sim_collector.h"
#include "diagnostics/trace_recorder.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using trace::Source;
using trace::TraceRecorder;

// A root that hands itself out as the licence object; from then on it answers
// the licence interface query with success but no interface: only the final
// check of the licence reference can catch it.
class HollowLicenceRoot final : public IOmxRoot {
 public:
  explicit HollowLicenceRoot(ComPtr<IOmxRoot> inner) : inner_(std::move(inner)) {}
  HRESULT STDMETHODCALLTYPE CreateObject(BSTR prog_id, IDispatch* context,
                                         IDispatch** object) override {
    if (std::wstring(prog_id) != L"Omx.License")
      return inner_->CreateObject(prog_id, context, object);
    AddRef();
    *object = this;
    hollow_ = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    const bool own = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
                     IsEqualIID(iid, __uuidof(IOmxRoot));
    *out = own ? this : nullptr;
    if (own) AddRef();
    return own || hollow_ ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

 private:
  ComPtr<IOmxRoot> inner_;
  bool hollow_ = false;
  std::atomic<ULONG> references_{1};
};

struct FailureRow {
  const wchar_t* prog_id;  // null: the root
  sim::SdkObjectFaults faults;
  int trace;
  std::int32_t code;
  bool hollow_licence = false;
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
    {L"Omx.Communication", Creation(E_FAIL), 15, 14},
    {L"Omx.Communication", Query(E_NOINTERFACE), 16, 15},
    {L"Omx.Context", {{}, {}, {{L"SetProperty", E_FAIL}}}, 17, 18},
    {L"Omx.Configuration", Creation(E_FAIL), 18, 16},
    {L"Omx.Configuration", Query(E_NOINTERFACE), 19, 17},
    // A refused licence object runs end to end with the tracking switch.
    {L"Omx.License", Query(E_NOINTERFACE), 21, 20},
    {nullptr, {}, 23, 10, true},
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
      CollectorPlatform platform = agent.Platform();
      if (row.hollow_licence) {
        platform.create_root = [state = agent.state](IUnknown** root) {
          ComPtr<IOmxRoot> inner;
          const HRESULT made = sim::CreateSimulatedRoot(state, __uuidof(IOmxRoot), inner.PutVoid());
          if (SUCCEEDED(made)) *root = new HollowLicenceRoot(inner);
          return made;
        };
      }
      ProfileDataCollector collector(std::move(platform));
      EXPECT_FALSE(collector.Initialise());
      EXPECT_FALSE(collector.Collect());  // not initialised: nothing is collected
    }
    EXPECT_EQ(sim::LiveSdkObjects(), before);
    EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(11, row.trace, 24));
    EXPECT_THAT(agent.events, ElementsAre(TrackingEvent{L"prfFailOMX", row.code}));
  }
}

// Initialises on a thread whose apartment is already `apartment`; the thread's
// own apartment must survive the collector's Finalise.
bool InitialiseInApartment(SimulatedAgent& agent, DWORD apartment) {
  bool initialised = false;
  std::thread([&] {
    ASSERT_EQ(::CoInitializeEx(nullptr, apartment), S_OK);
    auto collector = agent.MakeCollector();
    initialised = collector->Initialise();
    const bool finalised = collector->Finalise();
    EXPECT_TRUE(finalised || !initialised);
    EXPECT_EQ(::CoInitializeEx(nullptr, apartment), S_FALSE);
    ::CoUninitialize();
    ::CoUninitialize();
  }).join();
  return initialised;
}

TEST(Initialise, SucceedsWithinTheThreadsMultithreadedApartmentAndStopsSilentlyInAnother) {
  SimulatedAgent agent;
  TraceRecorder recorder;
  EXPECT_TRUE(InitialiseInApartment(agent, COINIT_MULTITHREADED));
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(11, 22));
  recorder.Clear();
  EXPECT_FALSE(InitialiseInApartment(agent, COINIT_APARTMENTTHREADED));
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(11));
  EXPECT_THAT(agent.events, IsEmpty());
}

TEST(Finalise, ReleasesEverySdkObjectClosesTheApartmentAndDropsTheProfile) {
  SimulatedAgent agent;
  const long before = sim::LiveSdkObjects();
  std::thread([&] {
    auto collector = agent.MakeCollector();
    ASSERT_TRUE(collector->Initialise());
    EXPECT_GT(sim::LiveSdkObjects(), before);
    EXPECT_EQ(collector->GetProfile(), nullptr);  // no profile yet
    EXPECT_TRUE(collector->Finalise());
    EXPECT_EQ(sim::LiveSdkObjects(), before);
    // With the multithreaded apartment closed the thread may choose again.
    EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ::CoUninitialize();
    EXPECT_TRUE(collector->Finalise());  // no apartment left to close
  }).join();

  auto collector = agent.Collected();
  ASSERT_NE(collector->GetProfile(), nullptr);
  EXPECT_TRUE(collector->Finalise());
  EXPECT_EQ(collector->GetProfile(), nullptr);
  std::wstring json;
  EXPECT_FALSE(collector->GetProfileJson(json));
}

TEST(CreateSdkObject, TracesARefusalAndGivesAnEmptyReference) {
  SimulatedAgent agent;
  auto collector = agent.MakeCollector();
  TraceRecorder recorder;
  EXPECT_FALSE(collector->Session().CreateSdkObject(L"Omx.Statistics"));  // no root to ask yet
  ASSERT_TRUE(collector->Initialise());
  EXPECT_TRUE(collector->Session().CreateSdkObject(L"Omx.Statistics"));
  EXPECT_FALSE(collector->Session().CreateSdkObject(L"Omx.Unknown"));
  collector->Session().LogCollectorError(L"Error creating 'OMX_STATISTICS_OBJECT'.");
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(173, 22, 173, 10));
  const auto& messages = recorder.Messages();
  const auto& refused = messages[messages.size() - 2];
  EXPECT_EQ(refused.args[0].narrow, "Omx.Unknown");
  EXPECT_EQ(refused.args[1].value, static_cast<std::int32_t>(CO_E_CLASSSTRING));
  EXPECT_EQ(messages.back().level, trace::Level::Error);
  EXPECT_EQ(messages.back().args[0].wide, L"Error creating 'OMX_STATISTICS_OBJECT'.");
  collector->Finalise();
}

}  // namespace
}  // namespace qm::testing
