#pragma once

// A collector wired to the in-process simulated SDK, with its tracking events
// caught and its clock fixed.

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "collector/profile_data_collector.h"
#include "profile/profile_data.h"
#include "sdk/sdk_objects.h"
#include "sdk/sdk_scenario.h"
#include "sdk/sdk_state.h"

namespace qm::testing {

struct TrackingEvent {
  std::wstring name;
  std::int32_t value;
  bool operator==(const TrackingEvent&) const = default;
};

// Identity items of an agent that answers everything the driver reads.
inline constexpr LONG kMuidItem = 0x4009701;
inline constexpr LONG kSuiteIdItem = 0x4009025;
inline constexpr LONG kSuiteVersionItem = 0x4009015;
inline constexpr LONG kCountryItem = 0x400904B;
inline constexpr LONG kLanguageItem = 0x4009019;
inline constexpr LONG kCustomIdItem = 0x4009028;
inline constexpr LONG kConnection1Item = 0x4009014;
inline constexpr LONG kConnection2Item = 0x4009012;
inline constexpr LONG kConnection3Item = 0x4009013;
inline constexpr LONG kOsMajorItem = 0x4009703;
inline constexpr LONG kOsMinorItem = 0x4009704;
inline constexpr LONG kSpMajorItem = 0x4009705;
inline constexpr LONG kSpMinorItem = 0x4009706;
inline constexpr LONG kOsTypeItem = 0x4009702;
inline constexpr LONG kOsX64Item = 0x4009707;

inline sim::SdkAnswer Answer(sim::SdkValue value) { return sim::SdkAnswer{S_OK, std::move(value)}; }
inline sim::SdkAnswer Failure(HRESULT result) { return sim::SdkAnswer{result, {}}; }

inline sim::SdkScenario AgentScenario() {
  sim::SdkScenario scenario;
  auto& config = scenario.config;
  config[kMuidItem] = Answer(sim::SdkValue::Text(L"A1B2C3D4E5F60718"));
  config[kSuiteIdItem] = Answer(sim::SdkValue::Of(VT_I4, 42));
  config[kSuiteVersionItem] = Answer(sim::SdkValue::Text(L"18.07.02.1234"));
  config[kCountryItem] = Answer(sim::SdkValue::Text(L"ES"));
  config[kLanguageItem] = Answer(sim::SdkValue::Text(L"es-ES"));
  config[kCustomIdItem] = Answer(sim::SdkValue::Of(VT_I4, 187477));
  config[kConnection1Item] = Answer(sim::SdkValue::Text(L"proxy.example"));
  config[kConnection2Item] = Answer(sim::SdkValue::Of(VT_I4, 8080));
  config[kConnection3Item] = Answer(sim::SdkValue::Text(L"user"));
  config[kOsMajorItem] = Answer(sim::SdkValue::Of(VT_I4, 10));
  config[kOsMinorItem] = Answer(sim::SdkValue::Of(VT_I4, 0));
  config[kSpMajorItem] = Answer(sim::SdkValue::Of(VT_I4, 1));
  config[kSpMinorItem] = Answer(sim::SdkValue::Of(VT_I4, 2));
  config[kOsTypeItem] = Answer(sim::SdkValue::Of(VT_I4, 1));
  config[kOsX64Item] = Answer(sim::SdkValue::Bool(true));
  return scenario;
}

// One agent: its SDK state outlives the collectors made for it, as the value
// store outlives runs.
class SimulatedAgent {
 public:
  explicit SimulatedAgent(sim::SdkScenario scenario = AgentScenario())
      : state_(std::make_shared<sim::SdkState>(std::move(scenario))) {}

  [[nodiscard]] std::unique_ptr<ProfileDataCollector> MakeCollector() {
    CollectorPlatform platform;
    platform.create_root = [state = state_](IUnknown** root) {
      return sim::CreateSimulatedRoot(state, IID_IUnknown, reinterpret_cast<void**>(root));
    };
    platform.send_tracking_event = [this](const wchar_t* name, std::int32_t value) {
      events.push_back({name, value});
    };
    platform.now = [this] { return now; };
    return std::make_unique<ProfileDataCollector>(std::move(platform));
  }

  [[nodiscard]] sim::SdkState& State() { return *state_; }

  std::vector<TrackingEvent> events;
  DATE now = 45000.5;  // 15 March 2023, 12:00 UTC

 private:
  std::shared_ptr<sim::SdkState> state_;
};

// The collector's profile with its full interface.
inline CProfileData& ProfileOf(const ProfileDataCollector& collector) {
  return *static_cast<CProfileData*>(collector.GetProfile());
}

}  // namespace qm::testing
