// The counters step against an in-process agent whose registry is a sandbox
// holding the agent's module switches and the machine's user profiles.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/registry_sandbox.h"
#include "counters/detection_counters_step.h"
#include "diagnostics/trace_recorder.h"
#include "profile/profile_data.h"
#include "sdk/simulated_sdk.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using Json = nlohmann::ordered_json;
using sim::SdkValue;

constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
// The two accounts the platform resolves: the prefix's user and its administrator.
constexpr wchar_t kUser[] = L"S-1-5-21-0-0-0-1000";
constexpr wchar_t kAdmin[] = L"S-1-5-21-0-0-0-500";
constexpr CountersInputs kFullCounters{18, 7, 2, 187477};
constexpr DATE kNow = 45000.5;  // 15 March 2023, 12:00 UTC
constexpr wchar_t kModules[] = L"SOFTWARE\\Orvex Security\\Vela Av\\ModROL";

SdkValue Count(std::uint64_t n, VARTYPE type = VT_I4) { return SdkValue::Of(type, n); }
SdkValue Map(std::vector<sim::SdkMapEntry> entries) { return SdkValue::Map(std::move(entries)); }
sim::SdkAnswer Urls(const wchar_t* sid, std::uint32_t n) { return Answer(sim::UrlsAnswer(sid, n)); }

// Every counter answered; what each one sums is the end-to-end delivery's.
sim::SdkScenario CountersScenario() {
  sim::SdkScenario s;
  s.config[0x306D001] = Answer(Count(482913, VT_UI4));
  s.config[0x4009996] = Answer(Map({{L"Installed", Count(37)}}));
  s.statistics[L"TotalDetects"] = {S_OK, {{L"TotalDetects", Map({{L"virus", Count(1)}})}}};
  s.statistics[L"0"] = {S_OK, {{L"0", Map({{L"blocked", Count(1)}})}}};
  s.queries[L"countersMalware"] = Answer(sim::CountersMalwareAnswer(17));
  s.urls[kUser] = Urls(kUser, 3);
  s.urls[kAdmin] = Urls(kAdmin, 4);
  s.tune_up_reports = Answer(SdkValue::List({Map({{L"TotalFilesSize", Count(5, VT_UI8)}})}));
  return s;
}

class CountersStep : public ::testing::Test {
 protected:
  CountersStep() {
    registry_.SetDword(kModules, L"TUNEUP_ENABLED", 1);
    registry_.SetDword(kModules, L"PARENTALCON_ENABLED", 1);
    // The platform's account lookup takes the machine's name from the registry.
    for (const wchar_t* name : {L"ComputerName", L"ActiveComputerName"}) {
      registry_.SetText(std::wstring(L"System\\CurrentControlSet\\Control\\ComputerName\\") + name,
                        L"ComputerName", L"ENDPOINT");
    }
  }
  void SetProfiles(const std::vector<std::wstring>& subkeys) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProfileList);
    for (const std::wstring& subkey : subkeys)
      registry_.SetText(std::wstring(kProfileList) + L"\\" + subkey, L"ProfileImagePath", L"C:\\u");
  }
  bool Collect(sim::SdkScenario scenario, CountersInputs inputs = kFullCounters) {
    agent_ = std::make_unique<SimulatedSdk>(std::move(scenario));
    SdkSession session(agent_->Root(), *agent_);
    EXPECT_TRUE(session.Open());
    recorder_.Clear();
    profile_.SetDetectionCounters(nullptr);
    return CollectDetectionCounters(
        session, [] { return kNow; }, profile_, inputs);
  }
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
  std::unique_ptr<SimulatedSdk> agent_;
  CProfileData profile_;
};

TEST(CountersGate, FullCountersFromSuite18_7_2OnEachNumberAndForTheTwoCustomBuilds) {
  const std::pair<CountersInputs, bool> rows[] = {
      {{18, 7, 2, 187477}, true},  {{18, 9, 5, 187478}, true},  {{19, 0, 0, 187477}, true},
      {{18, 8, 1, 187477}, false}, {{18, 6, 9, 187477}, false}, {{19, 0, 0, 187479}, false}};
  for (const auto& [inputs, full] : rows) {
    EXPECT_EQ(ReportsFullCounters(inputs), full)
        << inputs.version_major << "." << inputs.version_minor << "." << inputs.version_build << " "
        << inputs.custom_id;
  }
}

TEST_F(CountersStep, TheLastReportEntryWinsSumsStopAt32BitsAndBelowTheGateNothingElseIsRead) {
  sim::SdkScenario scenario = CountersScenario();
  scenario.statistics[L"TotalDetects"] = {
      S_OK,
      {{L"first", Map({{L"virus", Count(1)}, {L"PUIs", Count(1)}})},
       {L"second", Map({{L"virus", Count(0xFFFFFFF0, VT_UI4)},
                        {L"worms", Count(1ull << 32, VT_UI8)},
                        {L"PUIs", Count(3, VT_I2)},
                        {L"suspicious", Count(4, VT_UI2)}})}}};
  ASSERT_TRUE(Collect(std::move(scenario), {18, 6, 9, 187477}));
  EXPECT_EQ(profile_.GetDetectionCounters()->Serialize(),
            LR"({"VirusDetections":"4294967295","PUPDetections":"3","SuspiciousDetection":"4",)"
            LR"("URLDetections":"17","TotalAnalyzedFiles":"0","RecoveredBytes":"",)"
            LR"("BlockedThreats":"0","InstalledUpdates":"0","Last30DaysAnalyzedURLs":"0"})");
}

// The type of each window's parts is the contract's, which every test here
// holds the program to.
TEST_F(CountersStep, EachWindowGoesToTheSdkWithItsOwnStartAndTheClockAsItsEnd) {
  // "<key> <start> - <end>", a side as its date and time ("-" when never set).
  const auto side = [](const Json& at) {
    const auto part = [&](const char* name) {
      return at[name].is_null() ? std::string("-") : at[name].get<std::string>();
    };
    return part("date") + " " + part("time");
  };
  const struct {
    bool dates_refused;
    std::vector<std::string> windows;
  } rows[] = {
      {false,
       {"TotalDetects 1900-01-01 00:00:00 - 2023-03-15 12:00:00",
        "DetectionCounters 1900-01-01 00:00:00 - 2023-03-15 12:00:00",
        "0 1901-01-01 00:00:00 - 2023-03-15 12:00:00",
        "MyFilter 1971-01-01 00:00:00 - 2023-03-15 12:00:00"}},
      // Every date refused: the times are still set; the blocked threats' reader ends.
      {true,
       {"TotalDetects - 00:00:00 - - 12:00:00", "DetectionCounters - 00:00:00 - - 12:00:00",
        "MyFilter - 00:00:00 - - 12:00:00"}},
  };
  SetProfiles({kUser});
  for (const auto& row : rows) {
    sim::SdkScenario scenario = CountersScenario();
    if (row.dates_refused) scenario.objects[L"Omx.DateTimeObject"].calls[L"SetDate"] = E_FAIL;
    ASSERT_TRUE(Collect(std::move(scenario)));
    std::vector<std::string> windows;
    for (const Json& call : agent_->state->Calls()) {
      const Json& filters = call["op"] == "GetStatistics" ? call["filters"]["value"]
                            : call["op"] == "ExecuteQuery"
                                ? call["query"]["value"]["dateTimeFilters"]["value"]
                                : Json::object();
      for (const auto& [key, f] : filters.items())
        windows.push_back(key + " " + side(f["start"]) + " - " + side(f["end"]));
    }
    EXPECT_EQ(windows, row.windows);
  }
}

using Change = std::function<void(sim::SdkScenario&)>;
Change Refused(const wchar_t* prog_id) {
  return [=](sim::SdkScenario& s) { s.objects[prog_id].create = E_FAIL; };
}
Change Malware(SdkValue answer, HRESULT result = S_OK) {
  return [=](sim::SdkScenario& s) { s.queries[L"countersMalware"] = {result, answer}; };
}
SdkValue Nest(const wchar_t* key, SdkValue value) { return Map({{key, std::move(value)}}); }

TEST_F(CountersStep, EachRefusalOfTheAgentLogsItsOwnLineOnce) {
  const struct {
    const wchar_t* line;
    Change change;
  } rows[] = {
      {L"Error creating 'OMX_DATE_TIME_FILTER_OBJECT'.", Refused(L"Omx.DateTimeFilterObject")},
      {L"Error creating 'OMX_DATE_TIME_OBJECT'.", Refused(L"Omx.DateTimeObject")},
      {L"Error creating 'OMX_STATISTICS_OBJECT'.", Refused(L"Omx.Statistics")},
      {L"Error creating 'OMX_STRINGMAP_OBJECT'.", Refused(L"Omx.StringMap")},
      {L"Error setting date filter to filters map.",
       [](auto& s) { s.objects[L"Omx.StringMap"].calls[L"Add"] = E_FAIL; }},
      {L"Error getting counters from report data.",
       [](auto& s) { s.statistics[L"TotalDetects"].entries[0].value = Count(5); }},
      {L"Error getting total analyzed files.", [](auto& s) { s.config.erase(0x306D001); }},
      {L"Error creating 'OMX_VARIANTMAP_OBJECT'.", Refused(L"Omx.VariantMap")},
      {L"Error creating 'OMX_DATASTORE_OBJECT'.", Refused(L"Omx.Datastore")},
      {L"Error executing data store query.", Malware({}, E_FAIL)},
      {L"Error: Invalid data store query response.", Malware(Count(17))},
      {L"Error getting counters from user filter map.", Malware(Map({}))},
      {L"Error: Invalid date filters map acquired from user filter map.",
       Malware(Nest(L"ALL", Count(17)))},
      {L"Error getting date filter from date filters map.", Malware(Nest(L"ALL", Map({})))},
      {L"Error: Invalid counters map acquired from date filter.",
       Malware(Nest(L"ALL", Nest(L"DetectionCounters", Count(1))))},
      {L"Error getting total URL detection counter from counters map.",
       Malware(Nest(L"ALL", Nest(L"DetectionCounters", Map({}))))},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(row.line)));
    sim::SdkScenario scenario = CountersScenario();
    row.change(scenario);
    // Only a window the SDK would not make leaves no counters; the readers after
    // a failed one, or one that met an absent object, still run.
    const bool attached = Collect(std::move(scenario));
    EXPECT_EQ(attached, std::wstring(row.line).find(L"DATE_TIME") == std::wstring::npos);
    const CDetectionCounters* record = profile_.GetDetectionCounters();
    EXPECT_EQ(record != nullptr && record->GetInstalledUpdates() == 37, attached);
    EXPECT_THAT(ErrorLines(), ElementsAre(row.line));
  }
}

Change UserUrls(sim::SdkAnswer answer) {
  return [=](sim::SdkScenario& s) { s.urls[kUser] = answer; };
}

TEST_F(CountersStep, UrlsAreSummedOverTheAccountsOfACompletePassOverTheProfiles) {
  const std::vector<std::wstring> accounts = {kUser, kAdmin};
  // Listed sorted, as the registry enumerates them: each row's odd one lies between the accounts.
  // A first account whose URLs cannot be had ends the pass too.
  const struct {
    std::vector<std::wstring> profiles;
    std::uint32_t urls;
    Change change = {};
    const wchar_t* switched_off = L"";  // a module switch of the agent, at 0
  } rows[] = {
      {{L"S-1-5-18", kUser, kAdmin}, 3 + 4},
      {{kUser, L"S-1-5-21-0-0-0-1000.bak", kAdmin}, 0},  // does not convert: the pass ends
      {{kUser, L"S-1-5-21-0-0-0-1001", kAdmin}, 3 + 4},  // resolves to no account
      {{kUser, L"S-1-5-21-0-0-0-2" + std::wstring(112, L'9'), kAdmin}, 3},  // 128 characters
      {accounts, 0, UserUrls({E_FAIL, {}})},
      {accounts, 0, UserUrls(Answer(Count(3)))},                                  // no map
      {accounts, 0, UserUrls(Answer(Map({})))},                                   // no entry at 0
      {accounts, 0, UserUrls(Answer(Nest(kUser, Nest(L"MyFilter", Count(3)))))},  // no results
      {accounts, 0, Refused(L"Omx.List")},
      {accounts, 0, {}, L"PARENTALCON_ENABLED"},
      {accounts, 3 + 4, {}, L"TUNEUP_ENABLED"},  // no recovered bytes then
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.profiles) + " row " + std::to_string(&row - rows));
    SetProfiles(row.profiles);
    sim::SdkScenario scenario = CountersScenario();
    // Counted only if they were wrongly queried.
    for (const wchar_t* sid : {L"S-1-5-18", L"S-1-5-21-0-0-0-1001"})
      scenario.urls[sid] = Urls(sid, 100);
    if (row.change) row.change(scenario);
    for (const wchar_t* module_switch : {L"PARENTALCON_ENABLED", L"TUNEUP_ENABLED"})
      registry_.SetDword(kModules, module_switch,
                         module_switch == std::wstring(row.switched_off) ? 0 : 1);
    ASSERT_TRUE(Collect(std::move(scenario)));
    const CDetectionCounters& record = *profile_.GetDetectionCounters();
    EXPECT_EQ(record.GetLast30DaysAnalyzedURLs(), row.urls);
    EXPECT_EQ(record.GetRecoveredBytes(),
              row.switched_off == std::wstring(L"TUNEUP_ENABLED") ? L"" : L"5");
  }
}

}  // namespace
}  // namespace qm::testing
