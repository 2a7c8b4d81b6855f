#include <gtest/gtest.h>

#include <string>

#include "agent_test_support.h"
#include "common/reg_file.h"
#include "common/scenario.h"
#include "common/scenario_error.h"

namespace qm::sim {
namespace {

using nlohmann::json;

std::string ErrorOf(const std::string& text, const std::wstring& base = L".") {
  try {
    (void)ParseScenario(json::parse(text), base);
  } catch (const ScenarioError& error) {
    return error.what();
  }
  return "(accepted)";
}

TEST(ScenarioErrors, NameTheOffendingField) {
  EXPECT_EQ(ErrorOf(R"({"servcie": {}})"), "servcie: unknown field (known: name, description, registry, files, "
                                           "service, agentProcess, sdk, comms, settings, environment, commandLine)");
  EXPECT_EQ(ErrorOf(R"({"service": {"behaviour": "sleeping"}})"),
            "service.behaviour: unknown behaviour \"sleeping\" (known: running, notInstalled, stopped, paused, "
            "startPending, startsLater)");
  EXPECT_EQ(ErrorOf(R"({"service": {"behaviour": "startsLater"}})"),
            "service.startDelaySeconds: missing (required by \"startsLater\")");
  EXPECT_EQ(ErrorOf(R"({"registry": [{"key": "HKLM\\Software\\A", "values": {"V": {"type": "REG_FOO", "data": 1}}}]})"),
            "registry[0].values.V.type: unknown registry type \"REG_FOO\" (known: REG_SZ, REG_EXPAND_SZ, "
            "REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE)");
  EXPECT_EQ(ErrorOf(R"({"registry": [{"key": "HKXX\\Software\\A"}]})").substr(0, 34),
            "registry[0].key: unknown root \"HKX");
  EXPECT_EQ(ErrorOf(R"({"registry": [{"key": "HKLM\\A", "values": {"D": {"type": "REG_DWORD", "data": "0x100000000"}}}]})"),
            "registry[0].values.D.data: number 4294967296 is larger than 4294967295");
  EXPECT_EQ(ErrorOf(R"({"registry": [{"key": "HKLM\\A", "view": 32}]})"),
            "registry[0].view: expected a string, found number");
  EXPECT_EQ(ErrorOf(R"({"files": [{"path": "relative.txt"}]})"),
            "files[0].path: expected an absolute path such as C:\\folder\\file.exe");
  EXPECT_EQ(ErrorOf(R"({"comms": {"throwFrom": "Sned"}})").substr(0, 41), "comms.throwFrom: unknown operation \"Sned\"");
  EXPECT_EQ(ErrorOf(R"({"settings": {"values": {"REGISTER.AgentFeatures.Mobile": 1}}})"),
            "settings.values[\"REGISTER.AgentFeatures.Mobile\"]: expected a string, found number");
  EXPECT_EQ(ErrorOf(R"({"commandLine": "/TestMode"})"), "commandLine: expected an array, found string");
  EXPECT_EQ(ErrorOf(R"({"registry": [{"import": "missing.reg"}]})"),
            "registry[0].import \"missing.reg\": cannot read the file");
}

TEST(ScenarioValues, AreEncodedAsTheRegistryStoresThem) {
  const Scenario scenario = ParseScenario(json::parse(R"({
    "agentProcess": {"folder": "C:\\Agent\\"},
    "registry": [{"key": "HKEY_LOCAL_MACHINE\\Software\\Orvex Software\\Setup\\", "values": {
      "Path": "${agentFolder}\\", "Count": 7,
      "Big": {"type": "REG_QWORD", "data": "0x0102030405060708"},
      "List": {"type": "REG_MULTI_SZ", "data": ["a", "b"]},
      "Raw": {"type": "REG_BINARY", "data": "01 02,ff"}}}],
    "environment": {"TrackingResource": "http://x/", "Gone": null}})"), L".");
  ASSERT_EQ(scenario.registry.size(), 1u);
  const RegistryKeyEntry& key = scenario.registry[0];
  EXPECT_EQ(key.path, L"Software\\Orvex Software\\Setup");
  EXPECT_EQ(key.view, RegistryView::Bit32);
  ASSERT_EQ(key.values.size(), 5u);  // sorted by name
  EXPECT_EQ(key.values[0].name, L"Big");
  EXPECT_EQ(key.values[0].data, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
  EXPECT_EQ(key.values[1].type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(key.values[1].data, std::string("\x07\0\0\0", 4));
  EXPECT_EQ(key.values[2].data, std::string("a\0\0\0b\0\0\0\0\0", 10));
  EXPECT_EQ(key.values[3].data, StringBytes(L"C:\\Agent\\"));
  EXPECT_EQ(key.values[4].data, std::string("\x01\x02\xff", 3));
  EXPECT_EQ(scenario.environment.at(L"TrackingResource"), std::optional<std::wstring>(L"http://x/"));
  EXPECT_FALSE(scenario.environment.at(L"Gone").has_value());
  EXPECT_EQ(scenario.command_line, std::vector<std::wstring>{L"/TestMode"});
}

// A key as the system's export tool writes it: UTF-16LE with byte order mark,
// CR LF, escaped quotes, and hex data wrapped over several lines.
std::string Utf16Export(const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return bytes;
}

TEST(RegFileImport, ReadsWhatTheExportToolWrites) {
  const std::wstring text =
      L"Windows Registry Editor Version 5.00\r\n\r\n"
      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full]\r\n"
      L"\"Release\"=dword:00080ff4\r\n"
      L"\"Version\"=\"4.8.04084\"\r\n"
      L"@=\"say \\\"hi\\\" C:\\\\\"\r\n"
      L"\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
      L"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,\\\r\n"
      L"  00,00\r\n"
      L"\r\n"
      L"[HKEY_CURRENT_USER\\Software\\Test]\r\n"
      L"\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n";
  const auto keys = ParseRegFile(Utf16Export(text), RegistryView::Bit64, "test.reg");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(keys[0].path, L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full");
  EXPECT_EQ(keys[0].view, RegistryView::Bit64);
  ASSERT_EQ(keys[0].values.size(), 5u);
  EXPECT_EQ(keys[0].values[0].data, std::string("\xf4\x0f\x08\x00", 4));
  EXPECT_EQ(keys[0].values[1].data, StringBytes(L"4.8.04084"));
  EXPECT_EQ(keys[0].values[2].name, L"");
  EXPECT_EQ(keys[0].values[2].data, StringBytes(L"say \"hi\" C:\\"));
  EXPECT_EQ(keys[0].values[3].type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(keys[0].values[4].type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(keys[0].values[4].data, std::string("a\0\0\0b\0\0\0\0\0", 10));
  EXPECT_EQ(keys[1].root, HKEY_CURRENT_USER);
  EXPECT_EQ(keys[1].values[0].type, static_cast<DWORD>(REG_QWORD));
}

TEST(RegFileImport, ErrorsNameTheFileAndLine) {
  auto error_of = [](const std::string& text) -> std::string {
    try {
      (void)ParseRegFile(text, RegistryView::Bit64, "registry[1].import \"e.reg\"");
    } catch (const ScenarioError& error) {
      return error.what();
    }
    return "(accepted)";
  };
  EXPECT_EQ(error_of("REGEDIT4\r\n"),
            "registry[1].import \"e.reg\" line 1: expected the header \"Windows Registry Editor Version 5.00\"");
  EXPECT_EQ(error_of("Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_LOCAL_MACHINE\\A]\r\n"),
            "registry[1].import \"e.reg\" line 3: deleting keys ([-...]) is not supported");
  EXPECT_EQ(error_of("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=dword:1234567890\n"),
            "registry[1].import \"e.reg\" line 3: dword: needs 1 to 8 hexadecimal digits");
  EXPECT_EQ(error_of("Windows Registry Editor Version 5.00\n\"X\"=\"v\"\n"),
            "registry[1].import \"e.reg\" line 2: a value before the first [key] line");
}

TEST(RegFileImport, IsReachedThroughTheScenarioRelativeToItsFolder) {
  testing::ScratchFolder folder;
  folder.Write(L"keys\\endpoint.reg",
               Utf16Export(L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n"
                           L"\"V\"=\"1\"\r\n"));
  const Scenario scenario =
      ParseScenario(json::parse(R"({"registry": [{"import": "keys\\endpoint.reg", "view": "32"}]})"), folder.Path());
  ASSERT_EQ(scenario.registry.size(), 1u);
  EXPECT_EQ(scenario.registry[0].view, RegistryView::Bit32);
  EXPECT_EQ(scenario.registry[0].values[0].data, StringBytes(L"1"));
}

}  // namespace
}  // namespace qm::sim
