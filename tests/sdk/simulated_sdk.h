#pragma once

// The in-process simulated SDK as a session's root factory, with the events
// its sessions report caught.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "common/event_log.h"
#include "sdk/sdk_objects.h"
#include "sdk/sdk_scenario.h"
#include "sdk/sdk_session.h"
#include "sdk/sdk_state.h"

namespace qm::testing {

// Answers of the simulated SDK.
inline sim::SdkAnswer Answer(sim::SdkValue value) { return sim::SdkAnswer{S_OK, std::move(value)}; }
inline sim::SdkAnswer Text(const wchar_t* text) { return Answer(sim::SdkValue::Text(text)); }
inline sim::SdkAnswer Int(std::uint64_t value) { return Answer(sim::SdkValue::Of(VT_I4, value)); }

// Its SDK state outlives the sessions opened on it, as the value store
// outlives runs.
class SimulatedSdk : public EventLog {
 public:
  explicit SimulatedSdk(sim::SdkScenario scenario)
      : state(std::make_shared<sim::SdkState>(std::move(scenario))) {}
  // Whatever a test made the SDK answer, the program must have asked only
  // what its contract with the SDK allows.
  ~SimulatedSdk() {
    for (const std::string& violation : state->Violations())
      ADD_FAILURE() << "SDK contract violation: " << violation;
  }
  SimulatedSdk(const SimulatedSdk&) = delete;
  SimulatedSdk& operator=(const SimulatedSdk&) = delete;

  [[nodiscard]] RootFactory Root() const {
    return [state = state](IUnknown** root) {
      return sim::CreateSimulatedRoot(state, IID_IUnknown, reinterpret_cast<void**>(root));
    };
  }

  std::shared_ptr<sim::SdkState> state;
};

}  // namespace qm::testing
