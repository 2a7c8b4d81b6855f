#pragma once

// The shared state behind one SDK root and every object it makes: the
// scenario, the value store (kept in memory or in a state file) and the log of
// calls the program made.

#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "sdk/sdk_scenario.h"
#include "support/unique_resource.h"

namespace qm::sim {

// Result of a read of an item that neither the scenario nor the value store
// knows.
inline constexpr HRESULT kItemNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// Where a state keeps what outlives it; empty paths keep everything in memory.
struct SdkFiles {
  std::wstring state_file;  // state.json: the value store between processes
  std::wstring call_log;    // sdk.jsonl: one JSON object per call, appended
};

class SdkState {
 public:
  // Loads the value store from `files.state_file` when that file exists, else
  // takes the scenario's preset. Throws ScenarioError for a malformed file.
  explicit SdkState(SdkScenario scenario, SdkFiles files = {});

  [[nodiscard]] const SdkScenario& Scenario() const noexcept { return scenario_; }

  // The answer of GetValue for `item`: injected fault, stored value,
  // scenario's answer, or kItemNotFound.
  [[nodiscard]] SdkAnswer ReadItem(LONG item) const;
  // SetValue: stores `value` (persisting value store items) unless a fault is
  // injected; returns the result to hand back.
  [[nodiscard]] HRESULT WriteItem(LONG item, const SdkValue& value);

  // Faults injected for objects of `prog_id` (null when none).
  [[nodiscard]] const SdkObjectFaults* FaultsOf(const std::wstring& prog_id) const noexcept;

  // Appends one call to the log (memory and, when configured, the file).
  void Record(nlohmann::ordered_json call);
  [[nodiscard]] std::vector<nlohmann::ordered_json> Calls() const;
  // The reasons of the calls refused as outside the program's contract.
  [[nodiscard]] std::vector<std::string> Violations() const;

  // Notes that an injected fault refused something the program asked for.
  void NoteRefusal() noexcept { refused_ = true; }
  [[nodiscard]] bool RefusedBefore() const noexcept { return refused_; }
  // The value store's current content.
  [[nodiscard]] std::map<LONG, SdkValue> StoredValues() const;

 private:
  void LoadStateFile();
  void SaveStateFile() const;

  const SdkScenario scenario_;
  const SdkFiles files_;
  mutable std::mutex mutex_;
  std::map<LONG, SdkValue> store_;      // value store items
  std::map<LONG, SdkValue> overrides_;  // other items set by the program, this process only
  std::vector<nlohmann::ordered_json> calls_;
  std::atomic<bool> refused_{false};
  // The call log, opened at the first call and kept open: a run makes dozens of
  // calls, and opening the file for each one would weigh on the run's own cost.
  qm::UniqueFile call_log_;
};

// The state of an installed stand-in: "<folder>\SimAgent\scenario.json"
// ("sdk" section; none means an empty scenario), state.json and sdk.jsonl
// there. Throws ScenarioError when the scenario or state file is malformed.
[[nodiscard]] std::shared_ptr<SdkState> LoadInstalledSdkState(const std::wstring& module_folder);

// Notes in the installed stand-in's sdk.jsonl why no root could be made.
void RecordLoadFailure(const std::wstring& module_folder, const std::string& message);

}  // namespace qm::sim
