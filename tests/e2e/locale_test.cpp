// Endpoints in other languages. Wine gives a program the ANSI code page of the
// Unix locale it was started under, and every program it starts keeps it, so
// each row runs in a test process of its own under that locale
// (test_e2e_ja_JP, test_e2e_ru_RU); under any other code page there is nothing
// to run.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/sim_text.h"
#include "e2e_support.h"

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

std::string Replaced(std::string text, std::string_view from, std::string_view to) {
  const size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The reduced document the change decision hashes: the full one without its
// detection counters and file version, which close it.
std::string Reduced(const std::string& document) {
  return document.substr(0, document.find(",\"DetectionCounters\":")) + "}";
}

size_t Utf16Units(std::string_view utf8) {
  size_t units = 0;
  for (unsigned char byte : utf8) {
    if ((byte & 0xC0) != 0x80) ++units;  // a character starts
    if (byte >= 0xF0) ++units;           // beyond the first plane: a surrogate pair
  }
  return units;
}

// The reflected CRC-32 of zlib, bit by bit.
std::uint32_t Crc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
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
  AgentInstallation installation(WriteScenario(scratch, L"endpoint.json", scenario));
  ASSERT_TRUE(installation.Installed());
  const Finished run = installation.Run(1);
  ASSERT_EQ(run.exit_code, kRunEnded) << run.output;

  std::string texts =
      Replaced(DefaultScenarioDocument(), "\"ES\"", "\"" + std::string(row->country) + "\"");
  texts = Replaced(texts, "user@example.com", row->account);
  std::string bytes =
      Replaced(DefaultScenarioDocument(), "\"ES\"", "\"" + std::string(row->country_bytes) + "\"");
  bytes = Replaced(bytes, "user@example.com", row->account_bytes);
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
            Crc32(Reduced(bytes).substr(0, Utf16Units(Reduced(texts)))));
}

}  // namespace
}  // namespace qm::e2e
