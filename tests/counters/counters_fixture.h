#pragma once

// The counters step against an in-process agent: its SDK answers a scenario,
// its clock stands at 15 March 2023 12:00 UTC and the machine's registry is a
// sandbox holding the agent's module switches and the user profiles.

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "collector/sdk_session.h"
#include "common/registry_sandbox.h"
#include "counters/detection_counters_step.h"
#include "diagnostics/trace_recorder.h"
#include "profile/profile_data.h"
#include "sdk/sdk_objects.h"
#include "sdk/sdk_scenario.h"
#include "sdk/sdk_state.h"

namespace qm::testing {

inline constexpr wchar_t kModuleKey[] = L"SOFTWARE\\Orvex Security\\Vela Av\\ModROL";
inline constexpr wchar_t kProfileList[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
// Accounts the platform resolves: the prefix's user and its administrator.
inline constexpr wchar_t kUserSid[] = L"S-1-5-21-0-0-0-1000";
inline constexpr wchar_t kAdminSid[] = L"S-1-5-21-0-0-0-500";

inline sim::SdkValue Count(VARTYPE type, std::uint64_t n) { return sim::SdkValue::Of(type, n); }
inline sim::SdkValue Map(std::vector<sim::SdkMapEntry> entries) {
  return sim::SdkValue::Map(std::move(entries));
}
inline sim::SdkAnswer Answer(sim::SdkValue value) { return {S_OK, std::move(value)}; }
inline sim::SdkAnswer Urls(const wchar_t* sid, std::uint32_t n) {
  return Answer(sim::UrlsAnswer(sid, n));
}

// An agent whose every counter has an answer; "TotalDetects" holds a virus
// count beyond 16 bits and the tune-up reports sum beyond 32 bits.
inline sim::SdkScenario CountersScenario() {
  sim::SdkScenario s;
  s.config[0x306D001] = Answer(Count(VT_UI4, 482913));
  s.config[0x4009996] = Answer(Map({{L"Installed", Count(VT_I4, 37)}}));
  s.statistics[L"TotalDetects"] = {
      S_OK,
      {{L"TotalDetects", Map({{L"virus", Count(VT_I4, 70000)}, {L"worms", Count(VT_I4, 1)},
                              {L"troyans", Count(VT_I4, 2)}, {L"spyware", Count(VT_I4, 3)},
                              {L"adware", Count(VT_I4, 4)}, {L"PUIs", Count(VT_I4, 5)},
                              {L"suspicious", Count(VT_I4, 6)}})}}};
  s.statistics[L"0"] = {S_OK,
                        {{L"0", Map({{L"virus", Count(VT_I4, 10)}, {L"cookies", Count(VT_UI4, 20)},
                                     {L"blocked", Count(VT_I4, 70000)}})}}};
  s.queries[L"countersMalware"] = Answer(sim::CountersMalwareAnswer(17));
  s.urls[kUserSid] = Urls(kUserSid, 3);
  s.urls[kAdminSid] = Urls(kAdminSid, 4);
  s.tune_up_reports = Answer(sim::SdkValue::List(
      {Map({{L"TotalFilesSize", Count(VT_UI8, 1ull << 32)}}),
       Map({{L"TotalFilesSize", Count(VT_UI8, 5)}})}));
  return s;
}

// The custom build at 18.7.2, which reports every counter.
inline constexpr CountersInputs kFullCounters{18, 7, 2, 187477};

class CountersStep : public ::testing::Test {
 protected:
  CountersStep() {
    registry_.SetDword(kModuleKey, L"TUNEUP_ENABLED", 1);
    registry_.SetDword(kModuleKey, L"PARENTALCON_ENABLED", 1);
    // The platform's account lookup takes the machine's name from the registry.
    for (const wchar_t* key : {L"System\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                               L"System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName"})
      registry_.SetText(key, L"ComputerName", L"ENDPOINT");
  }

  void AddProfiles(const std::vector<std::wstring>& subkeys) {
    for (const std::wstring& subkey : subkeys)
      registry_.SetText(std::wstring(kProfileList) + L"\\" + subkey, L"ProfileImagePath", L"C:\\users\\someone");
  }

  bool Collect(sim::SdkScenario scenario, CountersInputs inputs = kFullCounters) {
    state_ = std::make_shared<sim::SdkState>(std::move(scenario));
    SdkSession session(CollectorPlatform{
        [state = state_](IUnknown** root) {
          return sim::CreateSimulatedRoot(state, IID_IUnknown, reinterpret_cast<void**>(root));
        },
        [](const wchar_t*, std::int32_t) {}, [] { return DATE{45000.5}; }});
    EXPECT_TRUE(session.Open());
    recorder_.Clear();
    const bool collected = CollectDetectionCounters(session, profile_, inputs);
    session.Close();
    return collected;
  }

  // The record as the document carries it; empty when none was attached.
  [[nodiscard]] std::wstring Counters() const {
    const CDetectionCounters* record = profile_.GetDetectionCounters();
    return record == nullptr ? std::wstring() : record->Serialize();
  }

  // The collector's error lines of the step, in order.
  [[nodiscard]] std::vector<std::wstring> ErrorLines() const {
    std::vector<std::wstring> lines;
    for (const auto& message : recorder_.Messages()) {
      if (message.source == trace::Source::Collector && message.number == 10)
        lines.push_back(message.args.at(0).wide);
    }
    return lines;
  }

  RegistrySandbox registry_;
  trace::TraceRecorder recorder_;
  std::shared_ptr<sim::SdkState> state_;
  CProfileData profile_;
};

}  // namespace qm::testing
