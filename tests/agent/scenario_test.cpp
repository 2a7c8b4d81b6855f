#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/reg_file.h"
#include "common/scratch_folder.h"
#include "common/scenario.h"

namespace qm::sim {
namespace {

using nlohmann::json;

using Value = std::tuple<std::wstring, DWORD, std::string>;

std::vector<Value> ValuesOf(const RegistryKeyEntry& key) {
  std::vector<Value> values;
  for (const auto& value : key.values) values.emplace_back(value.name, value.type, value.data);
  return values;
}

// A file as the system's export tool writes it: UTF-16LE with byte order mark.
std::string Utf16Export(const std::wstring& text) {
  return "\xFF\xFE" + std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

TEST(ScenarioValues, AreEncodedAsTheRegistryStoresThem) {
  testing::ScratchFolder folder;
  folder.Write(L"keys\\endpoint.reg", Utf16Export(L"Windows Registry Editor Version 5.00\r\n\r\n"
                                                  L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"V\"=\"1\"\r\n"));
  const Scenario scenario = ParseScenario(json::parse(R"({
    "agentProcess": {"folder": "C:\\Agent\\"},
    "registry": [{"key": "HKEY_LOCAL_MACHINE\\Software\\Orvex Software\\Setup\\", "values": {
      "Path": "${agentFolder}\\", "Count": 7,
      "Big": {"type": "REG_QWORD", "data": "0x0102030405060708"},
      "List": {"type": "REG_MULTI_SZ", "data": ["a", "b"]},
      "Raw": {"type": "REG_BINARY", "data": "01 02,ff"}}},
      {"import": "keys\\endpoint.reg", "view": "32"}],
    "environment": {"TrackingResource": "http://x/", "Gone": null}})"), folder.Path());
  ASSERT_EQ(scenario.registry.size(), 2u);
  EXPECT_EQ(scenario.registry[0].path, L"Software\\Orvex Software\\Setup");
  EXPECT_EQ(scenario.registry[0].view, RegistryView::Bit32);
  EXPECT_EQ(ValuesOf(scenario.registry[0]),  // sorted by name
            (std::vector<Value>{{L"Big", REG_QWORD, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)},
                                {L"Count", REG_DWORD, std::string("\x07\0\0\0", 4)},
                                {L"List", REG_MULTI_SZ, std::string("a\0\0\0b\0\0\0\0\0", 10)},
                                {L"Path", REG_SZ, StringBytes(L"C:\\Agent\\")},
                                {L"Raw", REG_BINARY, "\x01\x02\xff"}}));
  // An import is read relative to the scenario's folder, in the view the entry names.
  EXPECT_EQ(scenario.registry[1].view, RegistryView::Bit32);
  EXPECT_EQ(ValuesOf(scenario.registry[1]), (std::vector<Value>{{L"V", REG_SZ, StringBytes(L"1")}}));
  EXPECT_EQ(scenario.environment.at(L"TrackingResource"), std::optional<std::wstring>(L"http://x/"));
  EXPECT_FALSE(scenario.environment.at(L"Gone").has_value());
  EXPECT_EQ(scenario.command_line, std::vector<std::wstring>{L"/TestMode"});
}

// Each run gets the scenario merged with its item: members replaced, objects
// merged member by member, null removing; what the runner needs comes parsed.
TEST(ScenarioRuns, MergeEachItemOverTheScenario) {
  const Scenario scenario = ParseScenario(json::parse(R"({
    "agentProcess": {"folder": "C:\\Agent"}, "comms": {"send": true, "deliver": false},
    "environment": {"TEMP": "C:\\T1"}, "startFolder": "${agentFolder}\\Sub",
    "runs": [{"comms": {"send": false}},
             {"comms": null, "environment": {"TEMP": null, "TMP": "C:\\T2"}, "commandLine": [],
              "startFolder": "C:\\Elsewhere\\"}]})"), L".");
  ASSERT_EQ(scenario.runs.size(), 2u);
  const ScenarioRun& first = scenario.runs[0];
  const ScenarioRun& second = scenario.runs[1];
  EXPECT_EQ(first.document["comms"], json::parse(R"({"send": false, "deliver": false})"));
  EXPECT_FALSE(first.document.contains("runs"));
  EXPECT_EQ(first.start_folder, L"C:\\Agent\\Sub");
  EXPECT_EQ(first.command_line, std::vector<std::wstring>{L"/TestMode"});
  EXPECT_FALSE(second.document.contains("comms"));
  EXPECT_EQ(second.environment.count(L"TEMP"), 0u);  // null removes the member, as anywhere in a patch
  EXPECT_EQ(second.environment.at(L"TMP"), std::optional<std::wstring>(L"C:\\T2"));
  EXPECT_TRUE(second.command_line.empty());
  EXPECT_EQ(second.start_folder, L"C:\\Elsewhere");
}

}  // namespace
}  // namespace qm::sim
