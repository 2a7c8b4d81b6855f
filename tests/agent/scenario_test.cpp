#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/scratch_folder.h"
#include "common/reg_file.h"
#include "common/scenario.h"
#include "common/scenario_error.h"

namespace qm::sim {
namespace {

using nlohmann::json;

template <typename Parse>
std::string ErrorOf(Parse parse) {
  try {
    (void)parse();
  } catch (const ScenarioError& error) {
    return error.what();
  }
  return "(accepted)";
}

struct ErrorCase {
  const char* text;
  const char* error;
};

TEST(ScenarioErrors, NameTheOffendingField) {
  const ErrorCase cases[] = {
      {R"({"servcie": {}})", "servcie: unknown field (known: name, description, registry, files, service, "
                             "agentProcess, sdk, comms, settings, environment, commandLine)"},
      {R"({"service": {"behaviour": "sleeping"}})",
       "service.behaviour: unknown behaviour \"sleeping\" (known: running, notInstalled, stopped, paused, "
       "startPending, startsLater)"},
      {R"({"service": {"behaviour": "startsLater"}})",
       "service.startDelaySeconds: missing (required by \"startsLater\")"},
      {R"({"service": {"behaviour": "startsLater", "startDelaySeconds": 2.5}})",
       "service.startDelaySeconds: expected a whole number from 0 to 3600, found 2.5"},
      {R"({"registry": [{"key": "HKLM\\A", "values": {"V": {"type": "REG_FOO", "data": 1}}}]})",
       "registry[0].values.V.type: unknown registry type \"REG_FOO\" (known: REG_SZ, REG_EXPAND_SZ, "
       "REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE)"},
      {R"({"registry": [{"key": "HKXX\\Software\\A"}]})", "registry[0].key: unknown root \"HKXX\""},
      {R"({"registry": [{"key": "HKLM\\A", "values": {"D": {"type": "REG_DWORD", "data": "0x100000000"}}}]})",
       "registry[0].values.D.data: number 4294967296 is larger than 4294967295"},
      {R"({"files": [{"path": "relative.txt"}]})",
       "files[0].path: expected an absolute path such as C:\\folder\\file.exe"},
      {R"({"comms": {"throwFrom": "Sned"}})", "comms.throwFrom: unknown operation \"Sned\""},
      {R"({"settings": {"values": {"REGISTER.AgentFeatures.Mobile": 1}}})",
       "settings.values[\"REGISTER.AgentFeatures.Mobile\"]: expected a string, found number"},
      {R"({"commandLine": "/TestMode"})", "commandLine: expected an array, found string"},
      {R"({"registry": [{"import": "missing.reg"}]})",
       "registry[0].import \"missing.reg\": cannot read the file .\\missing.reg: "},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.text);
    // The start of the message: lists of known names are checked once above.
    EXPECT_EQ(ErrorOf([&] { return ParseScenario(json::parse(c.text), L"."); }).substr(0, strlen(c.error)), c.error);
  }
}

TEST(ScenarioErrors, AnUnreadableImportGivesTheSystemsReason) {
  const std::string error =
      ErrorOf([] { return ParseScenario(json::parse(R"({"registry": [{"import": "missing.reg"}]})"), L"."); });
  EXPECT_NE(error.find("(error 2)"), std::string::npos) << error;
}

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

// CR LF, escaped quotes, the default value, and hex data wrapped over lines.
TEST(RegFileImport, ReadsWhatTheExportToolWrites) {
  const auto keys = ParseRegFile(Utf16Export(L"Windows Registry Editor Version 5.00\r\n\r\n"
                                             L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full]\r\n"
                                             L"\"Release\"=dword:00080ff4\r\n"
                                             L"\"Version\"=\"4.8.04084\"\r\n"
                                             L"@=\"say \\\"hi\\\" C:\\\\\"\r\n"
                                             L"\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
                                             L"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,\\\r\n"
                                             L"  00,00\r\n"
                                             L"\r\n"
                                             L"[HKEY_CURRENT_USER\\Software\\Test]\r\n"
                                             L"\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"),
                                 RegistryView::Bit64, "test.reg");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(keys[0].path, L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full");
  EXPECT_EQ(keys[0].view, RegistryView::Bit64);
  EXPECT_EQ(ValuesOf(keys[0]), (std::vector<Value>{{L"Release", REG_DWORD, std::string("\xf4\x0f\x08\x00", 4)},
                                                   {L"Version", REG_SZ, StringBytes(L"4.8.04084")},
                                                   {L"", REG_SZ, StringBytes(L"say \"hi\" C:\\")},
                                                   {L"Expand", REG_EXPAND_SZ, std::string("%\0A\0%\0\0\0", 8)},
                                                   {L"Multi", REG_MULTI_SZ, std::string("a\0\0\0b\0\0\0\0\0", 10)}}));
  EXPECT_EQ(keys[1].root, HKEY_CURRENT_USER);
  EXPECT_EQ(ValuesOf(keys[1]), (std::vector<Value>{{L"Q", REG_QWORD, std::string("\x01\0\0\0\0\0\0\0", 8)}}));
}

TEST(RegFileImport, ErrorsNameTheFileAndLine) {
  const ErrorCase cases[] = {
      {"REGEDIT4\r\n", "line 1: expected the header \"Windows Registry Editor Version 5.00\""},
      {"Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_LOCAL_MACHINE\\A]\r\n",
       "line 3: deleting keys ([-...]) is not supported"},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=dword:1234567890\n",
       "line 3: dword: needs 1 to 8 hexadecimal digits"},
      {"Windows Registry Editor Version 5.00\n\"X\"=\"v\"\n", "line 2: a value before the first [key] line"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ErrorOf([&] { return ParseRegFile(c.text, RegistryView::Bit64, "registry[1].import \"e.reg\""); }),
              std::string("registry[1].import \"e.reg\" ") + c.error);
  }
}

}  // namespace
}  // namespace qm::sim
