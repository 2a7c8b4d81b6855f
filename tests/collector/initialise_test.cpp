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

struct FailureRow {
  const char* name;
  void (*inject)(sim::SdkScenario&);
  int trace;
  std::int32_t code;
};

void Inject(sim::SdkScenario& scenario, const wchar_t* prog_id, bool on_create) {
  auto& faults = scenario.objects[prog_id];
  (on_create ? faults.create : faults.query) = on_create ? E_FAIL : E_NOINTERFACE;
}

const FailureRow kFailureRows[] = {
    {"RootNotCreated", [](sim::SdkScenario& s) { s.root.create = REGDB_E_CLASSNOTREG; }, 12, 11},
    {"RootInterfaceRefused", [](sim::SdkScenario& s) { s.root.query = E_NOINTERFACE; }, 12, 11},
    {"ContextNotCreated", [](sim::SdkScenario& s) { Inject(s, L"Omx.Context", true); }, 13, 12},
    {"ContextInterfaceRefused", [](sim::SdkScenario& s) { Inject(s, L"Omx.Context", false); }, 14,
     13},
    {"CommunicationNotCreated", [](sim::SdkScenario& s) { Inject(s, L"Omx.Communication", true); },
     15, 14},
    {"CommunicationInterfaceRefused",
     [](sim::SdkScenario& s) { Inject(s, L"Omx.Communication", false); }, 16, 15},
    {"CommunicationNotStored",
     [](sim::SdkScenario& s) { s.objects[L"Omx.Context"].calls[L"SetProperty"] = E_FAIL; }, 17, 18},
    {"ConfigurationNotCreated", [](sim::SdkScenario& s) { Inject(s, L"Omx.Configuration", true); },
     18, 16},
    {"ConfigurationInterfaceRefused",
     [](sim::SdkScenario& s) { Inject(s, L"Omx.Configuration", false); }, 19, 17},
    // The licence object shares the configuration object's code.
    {"LicenceNotCreated", [](sim::SdkScenario& s) { Inject(s, L"Omx.License", true); }, 20, 16},
    {"LicenceInterfaceRefused", [](sim::SdkScenario& s) { Inject(s, L"Omx.License", false); }, 21,
     20},
    // A success code other than 0 counts as failure too.
    {"ContextCreatedWithSuccessCode",
     [](sim::SdkScenario& s) { s.objects[L"Omx.Context"].create = S_FALSE; }, 13, 12},
};

class InitialiseFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(InitialiseFailure, TracesItsStepAndReportsItsCode) {
  const FailureRow& row = GetParam();
  sim::SdkScenario scenario = AgentScenario();
  row.inject(scenario);
  SimulatedAgent agent(std::move(scenario));
  TraceRecorder recorder;
  {
    auto collector = agent.MakeCollector();
    EXPECT_FALSE(collector->Initialise());
    // Not initialised: nothing is collected.
    EXPECT_FALSE(collector->Collect());
  }
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(11, row.trace, 24));
  EXPECT_THAT(agent.events, ElementsAre(TrackingEvent{L"prfFailOMX", row.code}));
}

INSTANTIATE_TEST_SUITE_P(EveryStep, InitialiseFailure, ::testing::ValuesIn(kFailureRows),
                         [](const auto& row_info) { return std::string(row_info.param.name); });

// IUnknown and IDispatch for the hand-made objects below. QueryInterface hands
// out `Own(iid)`; when that is null it answers `missing`.
template <typename Interface>
class FakeObject : public Interface {
 public:
  explicit FakeObject(HRESULT missing = E_NOINTERFACE) : missing_(missing) {}
  virtual ~FakeObject() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ? this : Own(iid);
    if (*out == nullptr) return missing_;
    AddRef();
    return S_OK;
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

 protected:
  virtual void* Own(REFIID) { return nullptr; }

 private:
  const HRESULT missing_;
  std::atomic<ULONG> references_{1};
};

// A root that hands out a licence object which answers the licence interface
// query with success but no interface: only the final check can catch it.
class HollowLicenceRoot final : public FakeObject<IOmxRoot> {
 public:
  explicit HollowLicenceRoot(ComPtr<IOmxRoot> inner) : inner_(std::move(inner)) {}
  HRESULT STDMETHODCALLTYPE CreateObject(BSTR prog_id, IDispatch* context,
                                         IDispatch** object) override {
    if (std::wstring(prog_id) != L"Omx.License")
      return inner_->CreateObject(prog_id, context, object);
    *object = new FakeObject<IDispatch>(S_OK);
    return S_OK;
  }

 private:
  void* Own(REFIID iid) override {
    return IsEqualIID(iid, __uuidof(IOmxRoot)) ? static_cast<IOmxRoot*>(this) : nullptr;
  }

  ComPtr<IOmxRoot> inner_;
};

TEST(Initialise, ReportsCodeTenWhenTheLicenceReferenceStaysEmpty) {
  auto state = std::make_shared<sim::SdkState>(AgentScenario());
  std::vector<TrackingEvent> events;
  CollectorPlatform platform;
  platform.create_root = [state](IUnknown** root) {
    ComPtr<IOmxRoot> inner;
    const HRESULT result = sim::CreateSimulatedRoot(state, __uuidof(IOmxRoot), inner.PutVoid());
    if (FAILED(result)) return result;
    *root = new HollowLicenceRoot(inner);
    return S_OK;
  };
  platform.send_tracking_event = [&](const wchar_t* name, std::int32_t value) {
    events.push_back({name, value});
  };
  platform.now = [] { return 45000.0; };
  TraceRecorder recorder;
  ProfileDataCollector collector(std::move(platform));
  EXPECT_FALSE(collector.Initialise());
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(11, 23));
  EXPECT_THAT(events, ElementsAre(TrackingEvent{L"prfFailOMX", 10}));
}

TEST(Initialise, SucceedsWithinAnApartmentTheThreadAlreadyOpened) {
  SimulatedAgent agent;
  TraceRecorder recorder;
  std::thread([&] {
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    auto collector = agent.MakeCollector();
    EXPECT_TRUE(collector->Initialise());
    EXPECT_TRUE(collector->Finalise());
    // The thread's own apartment survives the collector's Finalise.
    EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    ::CoUninitialize();
    ::CoUninitialize();
  }).join();
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(11, 22));
  EXPECT_THAT(agent.events, IsEmpty());
}

TEST(Initialise, StopsSilentlyWhenTheThreadHasAnotherApartment) {
  SimulatedAgent agent;
  TraceRecorder recorder;
  bool initialised = true;
  std::thread([&] {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    auto collector = agent.MakeCollector();
    initialised = collector->Initialise();
    collector->Finalise();
    // The single-threaded apartment is still the thread's.
    EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    ::CoUninitialize();
    ::CoUninitialize();
  }).join();
  EXPECT_FALSE(initialised);
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(11));
  EXPECT_THAT(agent.events, IsEmpty());
}

TEST(Finalise, WithoutProfileReleasesEverySdkObjectAndClosesTheApartment) {
  SimulatedAgent agent;
  const long before = sim::LiveSdkObjects();
  std::thread([&] {
    auto collector = agent.MakeCollector();
    ASSERT_TRUE(collector->Initialise());
    EXPECT_GT(sim::LiveSdkObjects(), before);
    EXPECT_EQ(collector->GetProfile(), nullptr);
    EXPECT_TRUE(collector->Finalise());
    EXPECT_EQ(sim::LiveSdkObjects(), before);
    // With the multithreaded apartment closed the thread may choose again.
    EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ::CoUninitialize();
    // A second Finalise has no apartment left to close.
    EXPECT_TRUE(collector->Finalise());
  }).join();
}

TEST(Finalise, DropsTheCollectedProfile) {
  SimulatedAgent agent;
  auto collector = agent.MakeCollector();
  ASSERT_TRUE(collector->Initialise());
  ASSERT_TRUE(collector->Collect());
  ASSERT_NE(collector->GetProfile(), nullptr);
  EXPECT_TRUE(collector->Finalise());
  EXPECT_EQ(collector->GetProfile(), nullptr);
  std::wstring json;
  EXPECT_FALSE(collector->GetProfileJson(json));
}

TEST(Collector, DestroyedAfterAFailedInitialiseReleasesWhatItMade) {
  sim::SdkScenario scenario = AgentScenario();
  scenario.objects[L"Omx.License"].create = E_FAIL;
  SimulatedAgent agent(std::move(scenario));
  const long before = sim::LiveSdkObjects();
  {
    auto collector = agent.MakeCollector();
    EXPECT_FALSE(collector->Initialise());
    EXPECT_GT(sim::LiveSdkObjects(), before);
  }
  EXPECT_EQ(sim::LiveSdkObjects(), before);
}

TEST(CreateSdkObject, TracesARefusalAndGivesAnEmptyReference) {
  SimulatedAgent agent;
  auto collector = agent.MakeCollector();
  TraceRecorder recorder;
  // Before initialisation there is no root to ask.
  EXPECT_FALSE(collector->CreateSdkObject(L"Omx.Statistics"));
  ASSERT_TRUE(collector->Initialise());
  EXPECT_TRUE(collector->CreateSdkObject(L"Omx.Statistics"));
  EXPECT_FALSE(collector->CreateSdkObject(L"Omx.Unknown"));
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(173, 22, 173));
  const auto* refused = &recorder.Messages().back();
  EXPECT_EQ(refused->args[0].narrow, "Omx.Unknown");
  EXPECT_EQ(refused->args[1].value, static_cast<std::int32_t>(CO_E_CLASSSTRING));
  collector->Finalise();
}

TEST(LogCollectorError, TracesTheLineAsWideText) {
  SimulatedAgent agent;
  auto collector = agent.MakeCollector();
  TraceRecorder recorder;
  collector->LogCollectorError(L"Error creating 'OMX_STATISTICS_OBJECT'.");
  const auto* message = recorder.Find(Source::Collector, 10);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->level, trace::Level::Error);
  EXPECT_EQ(message->args[0].wide, L"Error creating 'OMX_STATISTICS_OBJECT'.");
}

}  // namespace
}  // namespace qm::testing
