// Endpoints in other languages. Wine gives a program the ANSI code page of the
// Unix locale it was started under, and every program it starts keeps it, so
// each row runs in a test process of its own under that locale
// (test_e2e_ja_JP, test_e2e_ru_RU); under any other code page there is nothing
// to run.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <string_view>

#include "common/sim_text.h"
#include "e2e_support.h"
#include "profile/document_hash.h"

namespace qm::e2e {
namespace {

// The agent's texts (UTF-8, as a scenario holds them) and the bytes they must
// become in the endpoint's code page; each account ends in a character the
// code page lacks, which becomes "?".
struct EndpointRow {
  unsigned code_page;
  const char* locale;
  const char* country;
  std::string_view country_bytes;
  const char* account;
  std::string_view account_bytes;
};

const EndpointRow kEndpoints[] = {
    {932, "ja-JP", "日本", "\x93\xFA\x96\x7B", "田中한", "\x93\x63\x92\x86?"},
    {1251, "ru-RU", "Россия", "\xD0\xEE\xF1\xF1\xE8\xFF", "Иван日", "\xC8\xE2\xE0\xED?"},
};

// The default scenario's document with this country and account.
std::string DocumentOf(std::string_view country, std::string_view account) {
  std::string text = DefaultScenarioDocument();
  text.replace(text.find("\"ES\"") + 1, 2, country);
  text.replace(text.find("user@example.com"), 16, account);
  return text;
}

// The reduced document the change decision hashes: the full one without its
// detection counters and file version, which close it.
std::string Reduced(const std::string& document) {
  return document.substr(0, document.find(",\"DetectionCounters\":")) + "}";
}

TEST(EndpointLocale, ProfileTextsReachTheDataFileAndTheKeptHashInTheEndpointsCodePage) {
  const EndpointRow* row = nullptr;
  for (const EndpointRow& candidate : kEndpoints) {
    if (candidate.code_page == ::GetACP()) row = &candidate;
  }
  if (row == nullptr) GTEST_SKIP() << "runs as test_e2e_ja_JP and test_e2e_ru_RU";

  ScratchFolder scratch;
  nlohmann::ordered_json scenario = DefaultScenario();
  scenario["locale"] = row->locale;
  scenario["sdk"]["config"]["0x400904B"] = row->country;
  scenario["sdk"]["license"]["value"]["Products"]["ORVEX-IS"]["MyAccountID"] = row->account;
  AgentInstallation installation(scratch.Write(L"endpoint.json", scenario.dump(2)));
  ASSERT_TRUE(installation.Installed());
  const Finished run = installation.Run(1);
  ASSERT_EQ(run.exit_code, kRunEnded) << run.output;

  const std::string texts = DocumentOf(row->country, row->account);
  const std::string bytes = DocumentOf(row->country_bytes, row->account_bytes);
  std::string delivered;
  for (const auto& call : ReadJsonLines(installation.SimFile(L"comms.jsonl"))) {
    if (call.value("delivered", nlohmann::json()).is_string())
      delivered = testing::ReadFileText(sim::FromUtf8(call["delivered"].get<std::string>()));
  }
  EXPECT_EQ(delivered, bytes) << "the data file holds the converted bytes";

  // Kept hashes were always made over as many bytes as the document has UTF-16
  // units, which leaves out the end of a document holding two-byte characters.
  const auto state = ReadJsonFile(installation.SimFile(L"state.json"));
  ASSERT_TRUE(state) << "nothing kept";
  EXPECT_EQ((*state)["0x4009501"]["value"],
            Crc32(Reduced(bytes).substr(0, sim::FromUtf8(Reduced(texts)).size())));
}

}  // namespace
}  // namespace qm::e2e
