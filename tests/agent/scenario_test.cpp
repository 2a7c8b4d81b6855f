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
  return "\xFF\xFE" +
         std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

TEST(ScenarioValues, AreEncodedAsTheRegistryStoresThem) {
  testing::ScratchFolder folder;
  folder.Write(L"keys\\endpoint.reg",
               Utf16Export(L"Windows Registry Editor Version 5.00\r\n\r\n"
                           L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"V\"=\"1\"\r\n"));
  const Scenario scenario = ParseScenario(json::parse(R"({
    "registry": [{"key": "HKEY_LOCAL_MACHINE\\Software\\Orvex Software\\Setup\\", "values": {
      "Big": {"type": "REG_QWORD", "data": "0x0102030405060708"},
      "List": {"type": "REG_MULTI_SZ", "data": ["a", "b"]},
      "Raw": {"type": "REG_BINARY", "data": "01 02,ff"},
      "Host": {"type": "agentHostName", "data": "mgmt.orvex-cloud.example"}}},
      {"import": "keys\\endpoint.reg", "view": "32"}],
    "environment": {"Gone": null}})"),
                                          folder.Path());
  ASSERT_EQ(scenario.registry.size(), 2u);
  EXPECT_EQ(scenario.registry[0].path, L"Software\\Orvex Software\\Setup");
  EXPECT_EQ(scenario.registry[0].view, RegistryView::Bit32);
  EXPECT_EQ(
      ValuesOf(scenario.registry[0]),  // sorted by name
      (std::vector<Value>{{L"Big", REG_QWORD, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)},
                          {L"Host", REG_SZ,  // as the agent keeps it, byte for byte
                           StringBytes(L"OVXHN:v2:j1jGh+dyfOTAk8LyCM4+PEPchz5yIs827iBj63m44BzaOD"
                                       L"eJocPPmuljUImbiZKhVkpJqJPj2N4=")},
                          {L"List", REG_MULTI_SZ, std::string("a\0\0\0b\0\0\0\0\0", 10)},
                          {L"Raw", REG_BINARY, "\x01\x02\xff"}}));
  // An import is read relative to the scenario's folder, in the view the entry names.
  EXPECT_EQ(scenario.registry[1].view, RegistryView::Bit32);
  EXPECT_EQ(ValuesOf(scenario.registry[1]),
            (std::vector<Value>{{L"V", REG_SZ, StringBytes(L"1")}}));
  EXPECT_FALSE(scenario.environment.at(L"Gone").has_value());
  EXPECT_EQ(scenario.command_line, std::vector<std::wstring>{L"/TestMode"});
}

}  // namespace
}  // namespace qm::sim
