#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counters_fixture.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Json = nlohmann::ordered_json;

constexpr wchar_t kEveryCounter[] =
    LR"({"VirusDetections":"70010","PUPDetections":"5","SuspiciousDetection":"6",)"
    LR"("URLDetections":"17","TotalAnalyzedFiles":"482913","RecoveredBytes":"4294967301",)"
    LR"("BlockedThreats":"70030","InstalledUpdates":"37","Last30DaysAnalyzedURLs":"7"})";

TEST(CountersGate, FullCountersFromSuite18_7_2OnEachNumberAndForTheTwoCustomBuilds) {
  const struct {
    CountersInputs inputs;
    bool full;
  } rows[] = {{{18, 7, 2, 187477}, true},  {{18, 9, 5, 187478}, true},
              {{19, 0, 0, 187477}, true},  {{18, 8, 1, 187477}, false},
              {{18, 6, 9, 187477}, false}, {{19, 0, 0, 187479}, false}};
  for (const auto& row : rows) {
    EXPECT_EQ(ReportsFullCounters(row.inputs), row.full)
        << row.inputs.version_major << "." << row.inputs.version_minor << "."
        << row.inputs.version_build << " " << row.inputs.custom_id;
  }
}

TEST_F(CountersStep, FillsEveryCounterWithCountsReadWholeAndBytesSummedIn64Bits) {
  AddProfiles({kUserSid, kAdminSid});
  ASSERT_TRUE(Collect(CountersScenario()));
  EXPECT_EQ(Counters(), kEveryCounter);
  EXPECT_THAT(ErrorLines(), IsEmpty());
}

TEST_F(CountersStep, TheLastEntryOfTheDetectionReportWinsAndBelowTheGateNothingElseIsRead) {
  sim::SdkScenario scenario = CountersScenario();
  scenario.statistics[L"TotalDetects"] = {
      S_OK,
      {{L"first", Map({{L"virus", Count(VT_I4, 1)}, {L"PUIs", Count(VT_I4, 1)}})},
       {L"second", Map({{L"virus", Count(VT_UI2, 2)}, {L"PUIs", Count(VT_I2, 3)},
                        {L"suspicious", Count(VT_I4, 4)}})}}};
  ASSERT_TRUE(Collect(std::move(scenario), {18, 6, 9, 187477}));
  EXPECT_EQ(Counters(),
            LR"({"VirusDetections":"2","PUPDetections":"3","SuspiciousDetection":"4",)"
            LR"("URLDetections":"17","TotalAnalyzedFiles":"0","RecoveredBytes":"",)"
            LR"("BlockedThreats":"0","InstalledUpdates":"0","Last30DaysAnalyzedURLs":"0"})");
}

TEST_F(CountersStep, AnAbsentSdkObjectCostsOnlyTheReaderThatNeededIt) {
  AddProfiles({kUserSid, kAdminSid});
  sim::SdkScenario scenario = CountersScenario();
  scenario.objects[L"Omx.TuneUpReports"].create = E_FAIL;
  ASSERT_TRUE(Collect(std::move(scenario)));
  std::wstring expected = kEveryCounter;
  expected.replace(expected.find(L"4294967301"), 10, L"");
  EXPECT_EQ(Counters(), expected);
}

// "<key> <start> - <end>", each side as its date, time and the one type of
// its six parts ("mixed" when they differ).
std::string DescribeWindow(const std::string& key, const Json& filter) {
  const auto side = [](const Json& moment) {
    std::string types;
    for (const Json* parts : {&moment["dateTypes"], &moment["timeTypes"]}) {
      for (const Json& type : *parts) {
        if (types.empty()) types = type.get<std::string>();
        if (type != types) types = "mixed";
      }
    }
    return moment["date"].get<std::string>() + " " + moment["time"].get<std::string>() + " " +
           types;
  };
  return key + " " + side(filter["start"]) + " - " + side(filter["end"]);
}

TEST_F(CountersStep, EachWindowGoesToTheSdkWithItsOwnStartAndPartTypes) {
  AddProfiles({kUserSid});
  ASSERT_TRUE(Collect(CountersScenario()));
  std::vector<std::string> windows;
  for (const Json& call : state_->Calls()) {
    const Json* filters = nullptr;
    if (call["op"] == "GetStatistics") filters = &call["filters"]["value"];
    if (call["op"] == "ExecuteQuery") filters = &call["query"]["value"]["dateTimeFilters"]["value"];
    if (filters == nullptr) continue;
    for (const auto& [key, filter] : filters->items()) windows.push_back(DescribeWindow(key, filter));
  }
  EXPECT_THAT(windows,
              ElementsAre("TotalDetects 1900-01-01 00:00:00 VT_INT - 2023-03-15 12:00:00 VT_UI2",
                          "DetectionCounters 1900-01-01 00:00:00 VT_INT - 2023-03-15 12:00:00 VT_UI2",
                          "0 1901-01-01 00:00:00 VT_I4 - 2023-03-15 12:00:00 VT_I4",
                          "MyFilter 1971-01-01 00:00:00 VT_UI2 - 2023-03-15 12:00:00 VT_UI2"));
}

void Refuse(sim::SdkScenario& scenario, const wchar_t* prog_id) {
  scenario.objects[prog_id].create = E_FAIL;
}
void AnswerMalware(sim::SdkScenario& scenario, sim::SdkValue answer) {
  scenario.queries[L"countersMalware"] = Answer(std::move(answer));
}

TEST_F(CountersStep, EachRefusalOfTheAgentLogsItsOwnLineOnce) {
  const struct {
    void (*change)(sim::SdkScenario&);
    const wchar_t* line;
    bool attached;
  } rows[] = {
      {[](auto& s) { Refuse(s, L"Omx.DateTimeFilterObject"); },
       L"Error creating 'OMX_DATE_TIME_FILTER_OBJECT'.", false},
      {[](auto& s) { Refuse(s, L"Omx.DateTimeObject"); }, L"Error creating 'OMX_DATE_TIME_OBJECT'.",
       false},
      {[](auto& s) { Refuse(s, L"Omx.Statistics"); }, L"Error creating 'OMX_STATISTICS_OBJECT'.",
       true},
      {[](auto& s) { Refuse(s, L"Omx.StringMap"); }, L"Error creating 'OMX_STRINGMAP_OBJECT'.",
       true},
      {[](auto& s) { s.objects[L"Omx.StringMap"].calls[L"Add"] = E_FAIL; },
       L"Error setting date filter to filters map.", true},
      {[](auto& s) { s.statistics[L"TotalDetects"] = {S_OK, {{L"TotalDetects", Count(VT_I4, 5)}}}; },
       L"Error getting counters from report data.", true},
      {[](auto& s) { s.config.erase(0x306D001); }, L"Error getting total analyzed files.", true},
      {[](auto& s) { Refuse(s, L"Omx.VariantMap"); }, L"Error creating 'OMX_VARIANTMAP_OBJECT'.",
       true},
      {[](auto& s) { Refuse(s, L"Omx.Datastore"); }, L"Error creating 'OMX_DATASTORE_OBJECT'.",
       true},
      {[](auto& s) { s.queries[L"countersMalware"] = {E_FAIL, {}}; },
       L"Error executing data store query.", true},
      {[](auto& s) { AnswerMalware(s, Count(VT_I4, 17)); },
       L"Error: Invalid data store query response.", true},
      {[](auto& s) { AnswerMalware(s, Map({})); }, L"Error getting counters from user filter map.",
       true},
      {[](auto& s) { AnswerMalware(s, Map({{L"ALL", Count(VT_I4, 17)}})); },
       L"Error: Invalid date filters map acquired from user filter map.", true},
      {[](auto& s) { AnswerMalware(s, Map({{L"ALL", Map({})}})); },
       L"Error getting date filter from date filters map.", true},
      {[](auto& s) { AnswerMalware(s, Map({{L"ALL", Map({{L"DetectionCounters", Count(VT_I4, 1)}})}})); },
       L"Error: Invalid counters map acquired from date filter.", true},
      {[](auto& s) { AnswerMalware(s, Map({{L"ALL", Map({{L"DetectionCounters", Map({})}})}})); },
       L"Error getting total URL detection counter from counters map.", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(row.line)));
    sim::SdkScenario scenario = CountersScenario();
    row.change(scenario);
    profile_.SetDetectionCounters(nullptr);
    EXPECT_EQ(Collect(std::move(scenario)), row.attached);
    EXPECT_THAT(ErrorLines(), ElementsAre(row.line));
    EXPECT_EQ(!Counters().empty(), row.attached);
  }
}

}  // namespace
}  // namespace qm::testing
