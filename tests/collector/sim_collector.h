#pragma once

// A collector wired to the in-process simulated SDK, with its tracking events
// caught and its clock fixed.

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "collector/profile_data_collector.h"
#include "diagnostics/trace_recorder.h"
#include "profile/profile_data.h"
#include "sdk/simulated_sdk.h"

namespace qm::testing {

// The configuration items the tests change one at a time.
inline constexpr LONG kMuidItem = 0x4009701;
inline constexpr LONG kSuiteVersionItem = 0x4009015;
inline constexpr LONG kCountryItem = 0x400904B;
inline constexpr LONG kConnection1Item = 0x4009014;
inline constexpr LONG kOsMajorItem = 0x4009703;
inline constexpr LONG kOsX64Item = 0x4009707;

// An agent that answers everything a collection reads.
inline sim::SdkScenario AgentScenario() {
  sim::SdkScenario scenario;
  scenario.config = {{kMuidItem, Text(L"A1B2C3D4E5F60718")},
                     {0x4009025, Int(42)},  // suite identifier
                     {kSuiteVersionItem, Text(L"18.07.02.1234")},
                     {kCountryItem, Text(L"ES")},
                     {0x4009019, Text(L"es-ES")},  // language
                     {0x4009028, Int(187477)},     // custom identifier
                     {kConnection1Item, Text(L"proxy.example")},
                     {0x4009012, Int(8080)},      // connection setting 2
                     {0x4009013, Text(L"user")},  // connection setting 3
                     {kOsMajorItem, Int(10)},
                     {0x4009704, Int(0)},  // OS minor version
                     {0x4009705, Int(1)},  // service pack major
                     {0x4009706, Int(2)},  // service pack minor
                     {0x4009702, Int(1)},  // OS type
                     {kOsX64Item, Answer(sim::SdkValue::Bool(true))}};
  return scenario;
}

// One agent: its SDK state outlives the collectors made for it, as the value
// store outlives runs. It catches the events its collectors report.
class SimulatedAgent : public SimulatedSdk {
 public:
  explicit SimulatedAgent(sim::SdkScenario scenario = AgentScenario())
      : SimulatedSdk(std::move(scenario)) {
    platform.create_root = Root();
    platform.now = [this] { return now; };
  }

  [[nodiscard]] std::unique_ptr<ProfileDataCollector> MakeCollector() {
    return std::make_unique<ProfileDataCollector>(platform, *this);
  }

  CollectorPlatform platform;
  DATE now = 45000.5;  // 15 March 2023, 12:00 UTC
};

// The collector's profile with its full interface.
inline CProfileData& ProfileOf(const ProfileDataCollector& collector) {
  return *static_cast<CProfileData*>(collector.GetProfile());
}

// One collection at a time; the collector stays for the test to look at.
class Collection : public ::testing::Test {
 protected:
  // Initialises and collects; the recorder then holds the collection's traces only.
  bool CollectWith(sim::SdkScenario scenario) {
    collector_.reset();
    agent_ = std::make_unique<SimulatedAgent>(std::move(scenario));
    return CollectAgain();
  }
  // The same with a fresh collector for the same agent, as the next run.
  bool CollectAgain() {
    TearDown();
    agent_->platform.settings_library = settings_library_;
    collector_ = agent_->MakeCollector();
    if (!collector_->Initialise()) return false;
    recorder_.Clear();
    return collector_->Collect();
  }
  void TearDown() override {
    if (collector_) collector_->Finalise();
  }
  [[nodiscard]] CProfileData& Profile() const { return ProfileOf(*collector_); }

  SettingsLibraryLoader settings_library_;
  trace::TraceRecorder recorder_;
  std::unique_ptr<SimulatedAgent> agent_;
  std::unique_ptr<ProfileDataCollector> collector_;
};

}  // namespace qm::testing
