#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <string>

#include "sdk/sdk_scenario.h"

namespace qm::sim {
namespace {

using ::testing::HasSubstr;

SdkScenario Parse(const char* text) { return ParseSdkScenario(nlohmann::ordered_json::parse(text)); }

std::string ErrorOf(const char* text) {
  try {
    (void)Parse(text);
  } catch (const ScenarioError& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(SdkScenarioParsing, ConfigItemsKeepTheirExactTypesAndPayloads) {
  const SdkScenario scenario = Parse(R"({"config": {
      "0x4009701": "MUID-1",
      "0x4009025": 42,
      "0x4009703": {"type": "VT_UI2", "value": 65535},
      "0x4009704": {"type": "VT_I4", "value": -2},
      "0x4009705": {"type": "VT_UI4", "value": "0xFFFFFFFF"},
      "0x4009706": {"type": "VT_UI8", "value": 4294967301},
      "0x4009707": {"type": "VT_BOOL", "value": 1},
      "0x400902B": true,
      "0x4009702": {"type": "VT_EMPTY"},
      "0x4009996": {"Installed": 7},
      "0x4009015": {"result": "0x80004005"},
      "0x4009019": {"result": "S_FALSE", "value": "es-ES"}}})");
  const auto& config = scenario.config;
  EXPECT_EQ(config.at(0x4009701).value.type, VT_BSTR);
  EXPECT_EQ(config.at(0x4009701).value.text, L"MUID-1");
  EXPECT_EQ(config.at(0x4009025).value.type, VT_I4);
  EXPECT_EQ(config.at(0x4009703).value.type, VT_UI2);
  EXPECT_EQ(config.at(0x4009703).value.bits, 65535u);
  EXPECT_EQ(config.at(0x4009704).value.bits, 0xFFFFFFFEu) << "two's complement in the type's width";
  EXPECT_EQ(config.at(0x4009705).value.bits, 0xFFFFFFFFu);
  EXPECT_EQ(config.at(0x4009706).value.bits, 4294967301u);
  EXPECT_EQ(config.at(0x4009707).value.bits, 1u) << "a raw VT_BOOL that is neither true nor false";
  EXPECT_EQ(config.at(0x400902B).value.bits, 0xFFFFu);
  EXPECT_EQ(config.at(0x4009702).value.type, VT_EMPTY);
  EXPECT_EQ(config.at(0x4009996).value.type, VT_DISPATCH);
  EXPECT_EQ(config.at(0x4009996).value.entries.at(0).key, L"Installed");
  EXPECT_EQ(config.at(0x4009015).result, E_FAIL);
  EXPECT_EQ(config.at(0x4009019).result, S_FALSE);
  EXPECT_EQ(config.at(0x4009019).value.text, L"es-ES");
}

TEST(SdkScenarioParsing, MapsKeepTheOrderOfTheFile) {
  const SdkScenario scenario =
      Parse(R"({"license": {"Products": {"B": {}, "A": {"Licenses": {"Z": {}, "Y": {}}}}}})");
  const SdkValue& products = scenario.license.value.entries.at(0).value;
  ASSERT_EQ(products.entries.size(), 2u);
  EXPECT_EQ(products.entries[0].key, L"B");
  EXPECT_EQ(products.entries[1].value.entries.at(0).value.entries.at(0).key, L"Z");
}

TEST(SdkScenarioParsing, DatesAcceptCalendarTextNumbersAndTimesRelativeToNow) {
  const SdkScenario scenario = Parse(R"({"state": {
      "0x4009501": {"type": "VT_UI4", "value": 305419896},
      "0x4009502": {"type": "VT_DATE", "value": "now-8d+2h"}},
      "config": {"0x4009703": {"type": "VT_DATE", "value": "2021-03-07"},
                 "0x4009704": {"type": "VT_DATE", "value": "1899-12-29T06:00:00"},
                 "0x4009705": {"type": "VT_DATE", "value": 1e300}}})");
  EXPECT_EQ(scenario.state.at(kLastUploadTimeItem).seconds_from_now, -8 * 86400 + 7200);
  EXPECT_DOUBLE_EQ(scenario.config.at(0x4009703).value.real, 44262.0);
  EXPECT_DOUBLE_EQ(scenario.config.at(0x4009704).value.real, -1.25);
  EXPECT_DOUBLE_EQ(scenario.config.at(0x4009705).value.real, 1e300) << "invalid dates pass through";
}

TEST(SdkScenarioParsing, DatastoreShorthandsBuildTheAnswersTheProgramWalks) {
  const SdkScenario scenario = Parse(R"({"datastore": {
      "countersMalware": 70000,
      "urls": {"S-1-5-21-0-0-0-1000": 3, "S-1-5-21-9": {"result": "E_FAIL"}}}})");
  const SdkValue& counters = scenario.queries.at(L"countersMalware").value;
  EXPECT_EQ(counters.entries.at(0).key, L"ALL");
  EXPECT_EQ(counters.entries.at(0).value.entries.at(0).key, L"DetectionCounters");
  EXPECT_EQ(counters.entries.at(0).value.entries.at(0).value.entries.at(0).value.bits, 70000u);
  const SdkValue& urls = scenario.urls.at(L"S-1-5-21-0-0-0-1000").value;
  EXPECT_EQ(urls.entries.at(0).value.entries.at(0).value.items.size(), 3u);
  EXPECT_EQ(scenario.urls.at(L"S-1-5-21-9").result, E_FAIL);
}

TEST(SdkScenarioParsing, StatisticsAnswerOneFilterKeyOrListWholeReportEntries) {
  const SdkScenario scenario = Parse(R"({"statistics": {
      "TotalDetects": {"virus": 3},
      "0": {"result": "S_OK", "entries": {"first": {"virus": 1}, "second": {"virus": 2}}}}})");
  EXPECT_EQ(scenario.statistics.at(L"TotalDetects").entries.at(0).key, L"TotalDetects");
  ASSERT_EQ(scenario.statistics.at(L"0").entries.size(), 2u);
  EXPECT_EQ(scenario.statistics.at(L"0").entries[1].key, L"second");
}

TEST(SdkScenarioParsing, FaultsNameProgIdsOperationsAndResults) {
  const SdkScenario scenario = Parse(R"({"root": {"create": "REGDB_E_CLASSNOTREG"},
      "objects": {"Omx.License": {"create": -2147467259, "query": "E_NOINTERFACE"},
                  "Omx.Context": {"calls": {"SetProperty": "0x80070005"}}},
      "stateFaults": {"0x4009501": {"set": "E_FAIL"}}})");
  EXPECT_EQ(scenario.root.create, REGDB_E_CLASSNOTREG);
  EXPECT_EQ(scenario.objects.at(L"Omx.License").create, E_FAIL);
  EXPECT_EQ(scenario.objects.at(L"Omx.License").query, E_NOINTERFACE);
  EXPECT_EQ(scenario.objects.at(L"Omx.Context").calls.at(L"SetProperty"), E_ACCESSDENIED);
  EXPECT_EQ(scenario.state_faults.at(kProfileHashItem).set, E_FAIL);
}

TEST(SdkScenarioParsing, ErrorsNameTheOffendingFieldPath) {
  EXPECT_EQ(ErrorOf(R"({"config": {"0x4009703": {"type": "VT_FOO", "value": 1}}})"),
            R"(sdk.config["0x4009703"].type: unknown VARIANT type "VT_FOO")");
  EXPECT_EQ(ErrorOf(R"({"config": {"0x4009703": {"type": "VT_UI2", "value": 70000}}})"),
            R"(sdk.config["0x4009703"].value: 70000 is out of range for VT_UI2)");
  EXPECT_EQ(ErrorOf(R"({"config": {"0x4009703": {"type": "VT_UI4", "value": -1}}})"),
            R"(sdk.config["0x4009703"].value: -1 is out of range for VT_UI4)");
  EXPECT_EQ(ErrorOf(R"({"config": {"0x4009703": 4294967296}})"),
            R"(sdk.config["0x4009703"]: 4294967296 is out of range for VT_I4)");
  EXPECT_EQ(ErrorOf(R"({"config": {"MUID": "x"}})"),
            R"(sdk.config.MUID: item identifier must be a 32-bit number such as "0x4009701")");
  EXPECT_EQ(ErrorOf(R"({"config": {"0x4009501": 1}})"),
            R"(sdk.config["0x4009501"]: a value store item: preset it in sdk.state)");
  EXPECT_EQ(
      ErrorOf(R"({"config": {"0x4009701": {"result": "E_NOPE"}}})"),
      R"(sdk.config["0x4009701"].result: expected an HRESULT ("0x80004005", a number or a name such as "E_FAIL"), found "E_NOPE")");
  EXPECT_EQ(ErrorOf(R"({"objects": {"Omx.Foo": {}}})"),
            R"(sdk.objects["Omx.Foo"]: unknown ProgID "Omx.Foo")");
  EXPECT_EQ(
      ErrorOf(R"({"objects": {"Omx.List": {"calls": {"Add": "E_FAIL"}}}})"),
      R"(sdk.objects["Omx.List"].calls.Add: Omx.List has no operation "Add" (it has: Count, ItemAt, Size))");
  EXPECT_EQ(
      ErrorOf(R"({"state": {"0x4009502": {"type": "VT_DATE", "value": "yesterday"}}})"),
      R"(sdk.state["0x4009502"].value: expected an OLE date number, "YYYY-MM-DD", "YYYY-MM-DDTHH:MM:SS" or "now-8d", found "yesterday")");
  EXPECT_EQ(
      ErrorOf(R"({"tuneUpReports": {"TotalFilesSize": 1}})"),
      R"(sdk.tuneUpReports: expected a list of reports (an array) or {"type": "VT_DISPATCH", "value": null})");
  EXPECT_THAT(ErrorOf(R"({"confg": {}})"),
              HasSubstr("sdk.confg: unknown field (known: root, objects, config"));
  EXPECT_THAT(ErrorOf(R"({"config": {"0x4009701": {"type": "VT_EMPTY", "value": 1}}})"),
              HasSubstr(R"(sdk.config["0x4009701"].value: VT_EMPTY carries no value)"));
}

TEST(SdkScenarioParsing, ExplicitFormParsesBackToTheSameValue) {
  const SdkScenario scenario = Parse(R"({"license": {"Products": {"P": {
      "n": {"type": "VT_I2", "value": -5}, "d": {"type": "VT_DATE", "value": 44262.5},
      "b": {"type": "VT_BOOL", "value": false}, "l": [1, "x"], "o": {"type": "VT_DISPATCH", "value": null}}}}})");
  const nlohmann::ordered_json once = SdkValueToJson(scenario.license.value);
  EXPECT_EQ(SdkValueToJson(ParseSdkValue(once, "x")), once);
}

}  // namespace
}  // namespace qm::sim

namespace qm::sim {
namespace {

// The example a tester copies from the documentation must stay valid.
TEST(SdkScenarioParsing, DocumentedExampleParses) {
  std::ifstream file(QM_SDK_DOC_PATH);
  ASSERT_TRUE(file) << QM_SDK_DOC_PATH;
  const std::string doc((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t start = doc.find("```json\n");
  const size_t end = doc.find("```", start + 8);
  ASSERT_NE(start, std::string::npos);
  const auto scenario = nlohmann::ordered_json::parse("{" + doc.substr(start + 8, end - start - 8) + "}");
  const SdkScenario parsed = ParseSdkScenario(scenario["sdk"]);
  EXPECT_EQ(parsed.config.at(0x4009015).value.text, L"18.07.02.1234");
  EXPECT_EQ(parsed.urls.count(L"S-1-5-21-0-0-0-1000"), 1u);
}

}  // namespace
}  // namespace qm::sim
