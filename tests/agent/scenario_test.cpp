#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/reg_file.h"
#include "common/scenario.h"
#include "common/scenario_error.h"
#include "common/scratch_folder.h"

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

// A tester's mistakes, each named by its field and the value found there, in
// the words the scenario documentation uses.
TEST(ScenarioErrors, NameTheFieldAndShowTheValueFound) {
  const std::pair<const char*, const char*> rows[] = {
      {R"({"comms": {"send": "no"}})", R"(comms.send: expected true or false, found string "no")"},
      {R"({"agentProcess": {"instances": "2"}})",
       R"(agentProcess.instances: expected a whole number from 0 to 8, found string "2")"},
      {R"({"runs": [{"comms": {"send": 1}}]})",
       "runs[0] (merged with the scenario): comms.send: expected true or false, found number 1"},
      {R"({"sdk": {"confg": {}}})", "sdk.confg: unknown field (known: "},
      {"{\n  \"comms\": {\"send\": tru}\n}", ": not valid JSON (parse error at line 2, column "},
  };
  testing::ScratchFolder folder;
  for (const auto& [text, expected] : rows) {
    try {
      (void)LoadScenario(folder.Write(L"scenario.json", text));
      ADD_FAILURE() << text << " was accepted";
    } catch (const ScenarioError& error) {
      EXPECT_THAT(error.what(), ::testing::HasSubstr(expected));
      EXPECT_THAT(error.what(), ::testing::Not(::testing::HasSubstr("json.exception")));
    }
  }
}

struct DocExample {
  std::string paragraph;  // the prose just before the example
  std::string text;
};

std::vector<DocExample> JsonExamples(const std::string& markdown) {
  constexpr std::string_view kOpen = "```json\n", kClose = "\n```";
  std::vector<DocExample> examples;
  for (size_t at = markdown.find(kOpen); at != std::string::npos;
       at = markdown.find(kOpen, at + kOpen.size())) {
    const size_t body = at + kOpen.size(), end = markdown.find(kClose, body);
    // The paragraph before the blank line that opens the example.
    const size_t paragraph = at < 3 ? std::string::npos : markdown.rfind("\n\n", at - 3);
    const size_t from = paragraph == std::string::npos ? 0 : paragraph;
    std::string prose = markdown.substr(from, at - from);
    for (char& c : prose) c = c == '\n' ? ' ' : static_cast<char>(std::tolower(c));
    examples.push_back({std::move(prose), markdown.substr(body, end - body)});
  }
  return examples;
}

// Every JSON example of the simulated agent's documents, as a reader uses it:
// either a whole scenario, or "added to a copy of the default scenario".
TEST(DocumentedScenarios, EachExampleIsAValidScenarioAsTheDocumentSaysToUseIt) {
  testing::ScratchFolder folder;  // where the registry example's import lies
  folder.Write(L"exports\\endpoint.reg",
               Utf16Export(L"Windows Registry Editor Version 5.00\r\n\r\n"
                           L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"V\"=\"1\"\r\n"));
  const auto default_scenario =
      nlohmann::ordered_json::parse(testing::ReadFileText(QM_DEFAULT_SCENARIO));
  size_t checked = 0;
  for (const wchar_t* document :
       {QM_DOCS_FOLDER L"simulated-agent.md", QM_DOCS_FOLDER L"simulated-agent-sdk.md"}) {
    for (const DocExample& example : JsonExamples(testing::ReadFileText(document))) {
      SCOPED_TRACE(example.text);
      const bool added =
          example.paragraph.find("added to a copy of the default scenario") != std::string::npos;
      ASSERT_TRUE(added || example.paragraph.find("whole scenario") != std::string::npos)
          << "the text before the example says neither how to use it nor that it is whole";
      // A member such as `"runs": [...]` stands for an object holding it.
      const bool member = !example.text.empty() && example.text[0] == '"';
      nlohmann::ordered_json scenario = added ? default_scenario : nlohmann::ordered_json();
      try {
        // Each member of the example takes the place of the scenario's member of that name.
        const auto piece =
            nlohmann::ordered_json::parse(member ? "{" + example.text + "}" : example.text);
        for (const auto& item : piece.items()) scenario[item.key()] = item.value();
        (void)ParseScenario(scenario, folder.Path());
      } catch (const std::exception& error) {
        ADD_FAILURE() << error.what();
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 7u) << "examples went missing from the documents";
}

}  // namespace
}  // namespace qm::sim
