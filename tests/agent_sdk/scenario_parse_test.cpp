#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sdk_test_support.h"

namespace qm::sim {
namespace {

using testing::ScenarioFrom;

// What the objects hand out is checked through them; these are the forms that
// only the parser sees.
TEST(SdkScenarioParsing, DatesAcceptCalendarTextNumbersAndTimesRelativeToNow) {
  const SdkScenario scenario = ScenarioFrom(R"({"state": {"0x4009502": {"type": "VT_DATE", "value": "now-8d+2h"}},
      "config": {"0x4009704": {"type": "VT_DATE", "value": "1899-12-29T06:00:00"},
                 "0x4009705": {"type": "VT_DATE", "value": 1e300}}})");
  EXPECT_EQ(scenario.state.at(kLastUploadTimeItem).seconds_from_now, -8 * 86400 + 7200);
  EXPECT_DOUBLE_EQ(scenario.config.at(0x4009704).value.real, -1.25) << "the day before the epoch, plus a quarter";
  EXPECT_DOUBLE_EQ(scenario.config.at(0x4009705).value.real, 1e300) << "invalid dates pass through";
}

TEST(SdkScenarioParsing, ResultsAndStatisticsEntriesTakeEveryForm) {
  const SdkScenario scenario = ScenarioFrom(R"({
      "objects": {"Omx.License": {"create": -2147467259}, "Omx.Context": {"calls": {"SetProperty": "0x80070005"}}},
      "datastore": {"urls": {"S-1-5-21-9": {"result": "E_FAIL"}}},
      "statistics": {"0": {"result": "S_OK", "entries": {"first": {"virus": 1}, "second": {"virus": 2}}}}})");
  EXPECT_EQ(scenario.objects.at(L"Omx.License").create, E_FAIL);
  EXPECT_EQ(scenario.objects.at(L"Omx.Context").calls.at(L"SetProperty"), E_ACCESSDENIED);
  EXPECT_EQ(scenario.urls.at(L"S-1-5-21-9").result, E_FAIL);
  ASSERT_EQ(scenario.statistics.at(L"0").entries.size(), 2u);
  EXPECT_EQ(scenario.statistics.at(L"0").entries[1].key, L"second");
}

TEST(SdkScenarioParsing, ErrorsNameTheOffendingFieldPath) {
  const struct {
    const char* text;
    const char* error;  // the start of the message
  } cases[] = {
      {R"({"confg": {}})", R"(sdk.confg: unknown field (known: root, objects, config)"},
      {R"({"config": {"0x4009703": {"type": "VT_FOO", "value": 1}}})",
       R"(sdk.config["0x4009703"].type: unknown VARIANT type "VT_FOO")"},
      {R"({"config": {"0x4009703": {"type": "VT_UI2", "value": 70000}}})",
       R"(sdk.config["0x4009703"].value: 70000 is out of range for VT_UI2)"},
      {R"({"config": {"0x4009703": {"type": "VT_UI4", "value": -1}}})",
       R"(sdk.config["0x4009703"].value: -1 is out of range for VT_UI4)"},
      {R"({"config": {"0x4009703": 4294967296}})", R"(sdk.config["0x4009703"]: 4294967296 is out of range for VT_I4)"},
      {R"({"config": {"0x4009701": {"type": "VT_EMPTY", "value": 1}}})",
       R"(sdk.config["0x4009701"].value: VT_EMPTY carries no value)"},
      {R"({"config": {"MUID": "x"}})",
       R"(sdk.config.MUID: item identifier must be a 32-bit number such as "0x4009701")"},
      {R"({"config": {"0x4009501": 1}})", R"(sdk.config["0x4009501"]: a value store item: preset it in sdk.state)"},
      {R"({"config": {"0x4009701": {"result": "E_NOPE"}}})",
       R"(sdk.config["0x4009701"].result: expected an HRESULT ("0x80004005", a number or a name such as "E_FAIL"), found "E_NOPE")"},
      {R"({"objects": {"Omx.Foo": {}}})", R"(sdk.objects["Omx.Foo"]: unknown ProgID "Omx.Foo")"},
      {R"({"objects": {"Omx.List": {"calls": {"Add": "E_FAIL"}}}})",
       R"(sdk.objects["Omx.List"].calls.Add: Omx.List has no operation "Add" (it has: Count, ItemAt, Size))"},
      {R"({"state": {"0x4009502": {"type": "VT_DATE", "value": "yesterday"}}})",
       R"(sdk.state["0x4009502"].value: expected an OLE date number, "YYYY-MM-DD", "YYYY-MM-DDTHH:MM:SS" or "now-8d", found "yesterday")"},
      {R"({"tuneUpReports": {"TotalFilesSize": 1}})",
       R"(sdk.tuneUpReports: expected a list of reports (an array) or {"type": "VT_DISPATCH", "value": null})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error = "(accepted)";
    try {
      (void)ScenarioFrom(c.text);
    } catch (const ScenarioError& thrown) {
      error = thrown.what();
    }
    EXPECT_EQ(error.substr(0, std::strlen(c.error)), c.error);
  }
}

TEST(SdkScenarioParsing, ExplicitFormParsesBackToTheSameValue) {
  const SdkScenario scenario = ScenarioFrom(R"({"license": {"Products": {"P": {
      "n": {"type": "VT_I2", "value": -5}, "d": {"type": "VT_DATE", "value": 44262.5},
      "b": {"type": "VT_BOOL", "value": false}, "l": [1, "x"], "o": {"type": "VT_DISPATCH", "value": null}}}}})");
  const nlohmann::ordered_json once = SdkValueToJson(scenario.license.value);
  EXPECT_EQ(SdkValueToJson(ParseSdkValue(once, "x")), once);
}

// The example a tester copies from the documentation must stay valid.
TEST(SdkScenarioParsing, DocumentedExampleParses) {
  const std::string doc = testing::ReadText(QM_SDK_DOC_PATH);
  const size_t start = doc.find("```json\n");
  ASSERT_NE(start, std::string::npos) << QM_SDK_DOC_PATH;
  const size_t end = doc.find("```", start + 8);
  const auto scenario = nlohmann::ordered_json::parse("{" + doc.substr(start + 8, end - start - 8) + "}");
  const SdkScenario parsed = ParseSdkScenario(scenario["sdk"]);
  EXPECT_EQ(parsed.config.at(0x4009015).value.text, L"18.07.02.1234");
  EXPECT_EQ(parsed.urls.count(L"S-1-5-21-0-0-0-1000"), 1u);
}

}  // namespace
}  // namespace qm::sim
