// Runs that get as far as the change decision and the upload, against the
// shipped default scenario and variants of it.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/sim_files.h"
#include "common/sim_text.h"
#include "e2e_support.h"

namespace qm::e2e {
namespace {

// What the default scenario stands for.
constexpr char kMuid[] = "5A1F3C9E7B2D4068A";
constexpr char kAgentHostName[] = "mgmt.orvex-cloud.example";
constexpr char kServiceHostKey[] = "HKLM\\Software\\Orvex Security\\Orvex Service Host";
constexpr char kBackupFolder[] = "${agentFolder}\\ProfileBackup";

constexpr char kRunCompleted[] = "Quillmark se ha ejecutado correctamente.";
const std::string kCollected =
    MarkerText({"Obtenida la instancia del OMX.", "Obtenida la instancia del ProfileDataCollector.",
                "ProfileDataCollector inicializado.", "Obtenido el perfilado."});

// The current UTC time as an OLE date: days since 1899-12-30.
double NowAsOleDate() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const auto ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr double kTicksPerDay = 864'000'000'000.0;
  constexpr double kDaysFrom1601To1899 = 109'205.0;
  return static_cast<double>(ticks) / kTicksPerDay - kDaysFrom1601To1899;
}

// Everything one run of the program left behind.
struct RunRecord {
  Finished finished;
  Markers markers;
  std::vector<nlohmann::json> comms;    // this run's calls only
  std::optional<nlohmann::json> state;  // the value store as it stands after the run
  std::vector<std::wstring> delivered;  // the files the library put in its queue
  double started = 0, ended = 0;
};

RunRecord RunAndRecord(const AgentInstallation& installation, int number) {
  RunRecord record;
  const std::wstring log = installation.SimFile(L"comms.jsonl");
  const std::size_t calls_before = ReadJsonLines(log).size();
  record.started = NowAsOleDate();
  record.finished = installation.Run(number);
  record.ended = NowAsOleDate();
  record.markers = ReadMarkers(installation.Folder());
  const auto calls = ReadJsonLines(log);
  record.comms.assign(
      calls.begin() + static_cast<std::ptrdiff_t>(std::min(calls_before, calls.size())),
      calls.end());
  record.state = ReadJsonFile(installation.SimFile(L"state.json"));
  for (const auto& call : record.comms) {
    const auto delivered = call.value("delivered", nlohmann::json());
    if (delivered.is_string())
      record.delivered.push_back(sim::FromUtf8(delivered.get<std::string>()));
  }
  return record;
}

const nlohmann::json* FindCall(const std::vector<nlohmann::json>& calls, std::string_view name) {
  for (const auto& call : calls) {
    if (call.value("call", "") == name) return &call;
  }
  return nullptr;
}

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH, buffer);
  return std::wstring(buffer, length);
}

// The default scenario with a backup folder, installed once and run twice:
// the first run sends; before the second every detection counter has moved,
// which is no change while no resend is due.
class DefaultScenarioRuns : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = std::make_unique<ScratchFolder>();
    nlohmann::ordered_json scenario = DefaultScenario();
    for (auto& key : scenario["registry"]) {
      if (key["key"] == kServiceHostKey) key["values"]["quillmark_backup"] = kBackupFolder;
    }
    scenario["files"].push_back({{"path", kBackupFolder}, {"directory", true}});
    scenario["runs"] = nlohmann::ordered_json::parse(R"([{}, {"sdk": {
        "statistics": {"TotalDetects": {"virus": 70001}, "0": {"blocked": 4500}},
        "datastore": {"countersMalware": 1400, "urls": {"S-1-5-21-0-0-0-1000": 260}},
        "tuneUpReports": [{"TotalFilesSize": {"type": "VT_UI8", "value": 1024}}]}}])");
    installation_ = std::make_unique<AgentInstallation>(
        scratch_->Write(L"default_with_backup.json", scenario.dump(2)));
    if (!installation_->Installed()) return;
    first_ = std::make_unique<RunRecord>(RunAndRecord(*installation_, 1));
    second_ = std::make_unique<RunRecord>(RunAndRecord(*installation_, 2));
  }
  static void TearDownTestSuite() {
    installation_.reset();
    scratch_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(first_ && second_) << "the default scenario was not installed";
  }

  static inline std::unique_ptr<ScratchFolder> scratch_;
  static inline std::unique_ptr<AgentInstallation> installation_;
  static inline std::unique_ptr<RunRecord> first_;
  static inline std::unique_ptr<RunRecord> second_;
};

// The whole delivered document, character for character: the run's own inputs
// (install identifier, file version, the Windows 10 the scenario has Wine
// report) beside every step's reading of the scenario. The data file goes to
// TEMP under the name the library queues, a backup copy is kept, and the
// program's own copy is gone when the run ends.
TEST_F(DefaultScenarioRuns, FirstRunDeliversTheScenariosWholeProfileAndSaysSo) {
  EXPECT_EQ(first_->finished.exit_code, kRunEnded) << first_->finished.output;
  EXPECT_EQ(first_->markers.ok,
            kCollected + MarkerText({"Han cambiado los datos del perfilado.",
                                     "JSON del perfilado subido.", kRunCompleted}));
  EXPECT_FALSE(first_->markers.error);
  ASSERT_EQ(first_->delivered.size(), 1u);
  const std::wstring delivered = first_->delivered[0];
  EXPECT_EQ(testing::ReadFileText(delivered), DefaultScenarioDocument());
  const std::wstring queue =
      installation_->SimFile(L"queue\\gccppostsegmentation\\ProfilerQueue\\");
  EXPECT_EQ(delivered.rfind(queue + sim::FromUtf8(kMuid) + L"_", 0), 0u) << sim::ToUtf8(delivered);

  const nlohmann::json* send = FindCall(first_->comms, "Send");
  ASSERT_NE(send, nullptr);
  const std::wstring data_file = sim::FromUtf8(send->value("file", ""));
  EXPECT_EQ(data_file, TempFolder() + sim::FileNameOf(delivered));
  EXPECT_FALSE(sim::FileExists(data_file)) << "the data file outlived the run";
  EXPECT_EQ(testing::ReadFileText(installation_->Folder() + L"\\ProfileBackup\\" +
                                  sim::FileNameOf(delivered)),
            DefaultScenarioDocument());
}

// How each field is composed is the uploader's tests', and the stand-in holds
// the credentials to the program's; here the real program version, the stored
// host name and the settings cross into the library.
TEST_F(DefaultScenarioRuns, UploadGivesTheLibraryTheIdentityCredentialsAndConnectionSettings) {
  std::vector<std::string> calls;
  for (const auto& call : first_->comms) calls.push_back(call.value("call", ""));
  EXPECT_EQ(calls, (std::vector<std::string>{"GetUtil", "OpenChannel", "SetConnectionSettings",
                                             "Send", "CloseChannel"}));
  const nlohmann::json* open = FindCall(first_->comms, "OpenChannel");
  const nlohmann::json* settings = FindCall(first_->comms, "SetConnectionSettings");
  ASSERT_TRUE(open && settings);
  EXPECT_EQ((*open)["programId"], "Quillmark_4_0_0_48");
  EXPECT_EQ((*open)["hostName"], kAgentHostName);
  EXPECT_EQ((*open)["muid"], kMuid);
  EXPECT_EQ((*settings)["settings"],
            nlohmann::json::parse(R"({"size":16,"setting1":"proxy.example.local:8080",
      "setting2":null,"setting3":null})"));
}

// Which hash is kept is the collector's tests' (a wrong one makes the second
// run send again), and its type the stand-in's contract; here the machine's
// own clock.
TEST_F(DefaultScenarioRuns, FirstRunKeepsTheHashAndTheUploadTime) {
  ASSERT_TRUE(first_->state) << "nothing kept";
  const auto& state = *first_->state;
  ASSERT_EQ(state["0x4009502"]["type"], "VT_DATE") << state.dump();
  const double kept = state["0x4009502"]["value"];
  EXPECT_GE(kept, first_->started - 1.0 / 86400);
  EXPECT_LE(kept, first_->ended + 1.0 / 86400);
}

TEST_F(DefaultScenarioRuns, SecondRunFindsOnlyCountersChangedAndSendsNothing) {
  EXPECT_EQ(second_->finished.exit_code, kRunEnded) << second_->finished.output;
  EXPECT_EQ(second_->markers.ok,
            kCollected + MarkerText({"No han cambiado los datos del perfilado."}));
  EXPECT_FALSE(second_->markers.error);
  EXPECT_TRUE(second_->comms.empty()) << "the communications library was called";
  EXPECT_TRUE(second_->delivered.empty());
  EXPECT_EQ(second_->state, first_->state);
}

// Runs of one scenario that keep nothing, each under a profile sent eight days
// ago with another hash: a refused file (the run started from another folder
// with its own TEMP); an access violation in the library (another runtime's
// C++ exception takes the same course, which the uploader's tests show); a
// MUID that makes the file name unusable, which the library is still asked
// about and here even accepts; a stack overflow in Send and another in
// CloseChannel; a settings library that leaves its floating-point modes and a
// full x87 stack, then faults (the run goes on to a refused upload); a Send
// that never returns (the run ends at the deadline, here cut to 5 s); a fault
// on a thread of the library's own. Then a run that delivers through a Send
// slow but within the deadline.
TEST(UndeliveredProfile, KeepsNothingLeavesNoDataFileAndTheNextRunSendsAgain) {
  ScratchFolder scratch;
  const std::string temp = sim::ToUtf8(scratch.File(L"RunTemp"));
  const std::wstring trace = scratch.File(L"trace.jsonl");
  nlohmann::ordered_json scenario = DefaultScenario();
  scenario["files"].push_back({{"path", temp}, {"directory", true}});
  scenario["sdk"]["state"] = {{"0x4009501", {{"type", "VT_UI4"}, {"value", 305419896}}},
                              {"0x4009502", {{"type", "VT_DATE"}, {"value", "now-8d"}}}};
  scenario["environment"]["QUILLMARK_TRACE"] = "2,0xFF," + sim::ToUtf8(trace);
  scenario["environment"]["QUILLMARK_CALL_DEADLINE_MS"] = "5000";
  scenario["runs"] = nlohmann::ordered_json::parse(R"([
      {"comms": {"send": false}},
      {"comms": {"faultFrom": "Send"}},
      {"comms": {"send": true}, "sdk": {"config": {"0x4009701": "a/b"}}},
      {"comms": {"overflowFrom": ["Send", "CloseChannel"]}},
      {"settings": {"fpModesFrom": "ReadSetting", "faultFrom": "ReadSetting"},
       "comms": {"send": false}},
      {"comms": {"hangIn": "Send", "hangMs": 40000}},
      {"comms": {"threadFaultFrom": "Send"}},
      {"comms": {"hangIn": "Send", "hangMs": 1000}}])");
  scenario["runs"][0]["environment"] = {{"TEMP", temp}, {"TMP", temp}};
  scenario["runs"][0]["startFolder"] = sim::ToUtf8(scratch.Path().wstring());
  AgentInstallation installation(scratch.Write(L"undelivered.json", scenario.dump(2)));
  ASSERT_TRUE(installation.Installed());
  const std::string kUploadFailed = MarkerText({"Error subiendo el JSON del perfilado."});
  const std::string system_temp = sim::ToUtf8(TempFolder());
  const struct {
    const char* course;
    std::string temp;
    const char* raised;
    DWORD exit_code;
    std::optional<std::string> error_marker;  // none: the library accepted the file
  } runs[] = {
      {"refused", temp, "", kRunEnded, MarkerText({kRunCompleted})},
      {"access violation", system_temp, "accessViolation", kRunEnded, MarkerText({kRunCompleted})},
      {"unusable MUID", system_temp, "", kRunEnded, std::nullopt},
      {"two stack overflows", system_temp, "stackOverflow", kRunEnded, MarkerText({kRunCompleted})},
      {"floating-point modes", system_temp, "", kRunEnded, MarkerText({kRunCompleted})},
      {"Send never returns", system_temp, "", kRunEnded, kUploadFailed},
      {"fault on the library's thread", system_temp, "threadFault", kRunStopped, kUploadFailed}};
  int run_number = 0;
  for (const auto& expected : runs) {
    SCOPED_TRACE(expected.course);
    const RunRecord run = RunAndRecord(installation, ++run_number);
    EXPECT_EQ(run.finished.exit_code, expected.exit_code) << run.finished.output;
    const nlohmann::json* send = FindCall(run.comms, "Send");
    ASSERT_NE(send, nullptr) << "no upload was tried";
    EXPECT_EQ(send->value("raised", ""), expected.raised);
    EXPECT_EQ(send->value("file", "").rfind(expected.temp, 0), 0u) << send->dump();
    EXPECT_FALSE(sim::FileExists(sim::FromUtf8(send->value("file", ""))))
        << "the data file outlived the run";
    EXPECT_TRUE(run.delivered.empty());
    EXPECT_FALSE(run.state) << "the value store was written: " << run.state->dump();
    if (expected.error_marker) {
      EXPECT_FALSE(run.markers.ok);
      EXPECT_EQ(run.markers.error, expected.error_marker);
    }
    // A generous bound on a 5 s deadline, far below the 40 s the library stays.
    EXPECT_LT((run.ended - run.started) * 86400, 25.0) << "the run waited for the library";
  }
  const auto traces = ReadJsonLines(trace);
  const auto count = [&](std::string_view source, int number) {
    return std::count_if(traces.begin(), traces.end(), [&](const nlohmann::json& line) {
      return line.value("source", "") == source && line.value("number", 0) == number;
    });
  };
  EXPECT_EQ(count("Upload", 19), 2) << "each fault in the library is traced once";
  EXPECT_EQ(count("RunDriver", 47), 1) << "the unwritten data file is traced once";
  EXPECT_EQ(count("RunDriver", 48), 1) << "the stuck call is traced once";
  EXPECT_EQ(count("RunDriver", 49), 1) << "the fault on the library's thread is traced once";
  EXPECT_EQ(count("RunDriver", 51), 2) << "each run ended at once says so";

  const RunRecord delivery = RunAndRecord(installation, ++run_number);
  EXPECT_EQ(delivery.delivered.size(), 1u);
  EXPECT_TRUE(delivery.state) << "the delivery kept nothing";
}

}  // namespace
}  // namespace qm::e2e
