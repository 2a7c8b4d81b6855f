// Runs that get as far as the change decision and the upload, against the
// shipped default scenario and variants of it.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
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
constexpr wchar_t kServiceHostKey[] = L"HKLM\\Software\\Orvex Security\\Orvex Service Host";
constexpr char kBackupFolder[] = "${agentFolder}\\ProfileBackup";

constexpr char kUploaded[] = "JSON del perfilado subido.";
constexpr char kRunCompleted[] = "Quillmark se ha ejecutado correctamente.";

const std::vector<std::wstring> kTestMode{L"/TestMode"};

// The current UTC time as an OLE date: days since 1899-12-30.
double NowAsOleDate() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const auto ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr double kTicksPerDay = 864'000'000'000.0;
  constexpr double kDaysFrom1601To1899 = 109'205.0;
  return static_cast<double>(ticks) / kTicksPerDay - kDaysFrom1601To1899;
}

// Paths of every file below `folder`, relative to it.
std::vector<std::wstring> FilesBelow(const std::wstring& folder) {
  std::vector<std::wstring> files;
  std::error_code absent;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, absent)) {
    if (entry.is_regular_file()) files.push_back(entry.path().lexically_relative(folder).wstring());
  }
  return files;
}

nlohmann::ordered_json& ScenarioKey(nlohmann::ordered_json& scenario, std::wstring_view key) {
  for (auto& entry : scenario["registry"]) {
    if (entry.value("key", "") == sim::ToUtf8(key)) return entry;
  }
  scenario["registry"].push_back(
      {{"key", sim::ToUtf8(key)}, {"values", nlohmann::ordered_json::object()}});
  return scenario["registry"].back();
}

// Everything one run of the program left behind.
struct RunRecord {
  Finished finished;
  Markers markers;
  std::vector<nlohmann::json> comms;    // this run's calls only
  std::optional<nlohmann::json> state;  // the value store as it stands after the run
  std::vector<std::wstring> delivered;  // new files below SimAgent\queue
  double started = 0, ended = 0;
};

RunRecord RunAndRecord(const AgentInstallation& installation) {
  RunRecord record;
  const std::size_t comms_before = ReadJsonLines(installation.SimFile(L"comms.jsonl")).size();
  const std::vector<std::wstring> queue_before = FilesBelow(installation.SimFile(L"queue"));
  record.started = NowAsOleDate();
  record.finished = installation.RunProgram(kTestMode);
  record.ended = NowAsOleDate();
  record.markers = ReadMarkers(installation.Folder());
  auto comms = ReadJsonLines(installation.SimFile(L"comms.jsonl"));
  record.comms.assign(
      comms.begin() + static_cast<std::ptrdiff_t>(std::min(comms_before, comms.size())),
      comms.end());
  record.state = ReadJsonFile(installation.SimFile(L"state.json"));
  for (const std::wstring& file : FilesBelow(installation.SimFile(L"queue"))) {
    if (std::find(queue_before.begin(), queue_before.end(), file) == queue_before.end()) {
      record.delivered.push_back(file);
    }
  }
  return record;
}

std::vector<std::string> CallNames(const std::vector<nlohmann::json>& calls) {
  std::vector<std::string> names;
  for (const auto& call : calls) names.push_back(call.value("call", ""));
  return names;
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

// The default scenario with a backup directory configured, installed once and
// run twice: the first run sends, the second finds nothing changed.
class DefaultScenarioRuns : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = std::make_unique<ScratchFolder>();
    nlohmann::ordered_json scenario = DefaultScenario();
    ScenarioKey(scenario, kServiceHostKey)["values"]["quillmark_backup"] = kBackupFolder;
    scenario["files"].push_back({{"path", kBackupFolder}, {"directory", true}});
    installation_ = std::make_unique<AgentInstallation>(
        WriteScenario(*scratch_, L"default_with_backup.json", scenario));
    if (!installation_->Installed()) return;
    first_ = std::make_unique<RunRecord>(RunAndRecord(*installation_));
    second_ = std::make_unique<RunRecord>(RunAndRecord(*installation_));
  }
  static void TearDownTestSuite() {
    installation_.reset();
    scratch_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(first_ && second_) << "the default scenario was not installed";
  }

  static std::string DeliveredDocument() {
    if (first_->delivered.size() != 1) return {};
    return testing::ReadFileText(
        sim::JoinPath(installation_->SimFile(L"queue"), first_->delivered[0]));
  }

  static inline std::unique_ptr<ScratchFolder> scratch_;
  static inline std::unique_ptr<AgentInstallation> installation_;
  static inline std::unique_ptr<RunRecord> first_;
  static inline std::unique_ptr<RunRecord> second_;
};

TEST_F(DefaultScenarioRuns, FirstRunSendsTheProfileAndSaysSoInTheOkMarker) {
  EXPECT_EQ(first_->finished.exit_code, kRunEnded) << first_->finished.output;
  EXPECT_EQ(first_->markers.ok,
            MarkerText({"Obtenida la instancia del OMX.",
                        "Obtenida la instancia del ProfileDataCollector.",
                        "ProfileDataCollector inicializado.", "Obtenido el perfilado.",
                        "Han cambiado los datos del perfilado.", kUploaded, kRunCompleted}));
  EXPECT_FALSE(first_->markers.error);
}

TEST_F(DefaultScenarioRuns, FirstRunDeliversOneDataFileToTheQueueAndDeletesItsOwnCopy) {
  ASSERT_EQ(first_->delivered.size(), 1u);
  const std::wstring delivered = first_->delivered[0];
  EXPECT_EQ(
      delivered.rfind(L"gccppostsegmentation\\ProfilerQueue\\" + sim::FromUtf8(kMuid) + L"_", 0),
      0u)
      << sim::ToUtf8(delivered);
  EXPECT_EQ(delivered.substr(delivered.size() - 4), L".dat");

  const nlohmann::json* send = FindCall(first_->comms, "Send");
  ASSERT_NE(send, nullptr);
  const std::wstring data_file = sim::FromUtf8(send->value("file", ""));
  EXPECT_EQ(data_file, TempFolder() + sim::FileNameOf(delivered));
  EXPECT_FALSE(sim::FileExists(data_file)) << "the data file outlived the run";
}

TEST_F(DefaultScenarioRuns, FirstRunLeavesABackupCopyOfTheDocument) {
  ASSERT_EQ(first_->delivered.size(), 1u);
  const std::wstring backup =
      installation_->File(L"ProfileBackup\\" + sim::FileNameOf(first_->delivered[0]));
  ASSERT_TRUE(sim::FileExists(backup));
  EXPECT_EQ(testing::ReadFileText(backup), DeliveredDocument());
}

// The whole delivered document, character for character: the run's own inputs
// (install identifier, file version, the prefix's Windows) beside every step's
// reading of the scenario. Protection on, add-on items, vault keypad and file
// kit, cleaner, mobile feature, an add-on map entry, toolbar and VPN type 1 make
// module status 0x77AA7; a virus count beyond 16 bits, tune-up reports beyond 32
// bits, and the URLs of the prefix's user and its administrator.
TEST_F(DefaultScenarioRuns, DeliveredDocumentIsTheScenariosWholeProfile) {
  // Only a Windows 10 workstation reports its build number.
  OSVERSIONINFOEXW version{};
  version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  ASSERT_TRUE(::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)));
#pragma GCC diagnostic pop
  const bool windows10 = version.dwMajorVersion == 10 && version.dwMinorVersion == 0 &&
                         version.wProductType == VER_NT_WORKSTATION;
  const std::string build_number = windows10 ? std::to_string(version.dwBuildNumber) : "0";

  EXPECT_EQ(
      DeliveredDocument(),
      R"({"MUID":"5A1F3C9E7B2D4068A","OSInfo":{"Platform":"Windows","OSMajorVer":"10",)"
      R"("OSMinorVer":"0","SPMajorVer":"0","SPMinorVer":"0","OSType":"1","OSx64":"True",)"
      R"("NetVersionInstalled":"4.8.04084","NetFrameworkRealVersion":"528040","W10BuildNumber":")" +
          build_number +
          R"("},"SuiteID":"21","SuiteVersion":"18.07.02.1234","SuiteVersionNumber":"1807021234",)"
          R"("Country":"ES","Language":"es-ES","CustomID":"187477",)"
          R"("InstUID":"7C4E2B9A-31D5-4F08-A6E2-5B19C0D3F871","Products":[{"ProductID":"ORVEX-IS",)"
          R"("VersionType":"1","MyAccountID":"user@example.com","ModuleStatus":"490151","Licenses":[)"
          R"({"ActivationCode":"KX7Q-2M4P-9HRT","LicenseVersionType":"1","ClientID":"100234",)"
          R"("ProductLicenseID":"5501","ActivationDate":"2024-03-07","ExpirationDate":"2026-03-07"},)"
          R"({"ActivationCode":"RW3D-8N6C-1FZB","LicenseVersionType":"3","ClientID":"100234",)"
          R"("ProductLicenseID":"5502","ActivationDate":"2025-01-15","ExpirationDate":"2026-01-15"}]},)"
          R"({"ProductID":"ORVEX-VPN","VersionType":"2","MyAccountID":"","ModuleStatus":"490151",)"
          R"("Licenses":[{"ActivationCode":"VPN-88QZ-41LM","LicenseVersionType":"2",)"
          R"("ClientID":"100234","ProductLicenseID":"ORVEX-VPN","ActivationDate":"2024-05-01",)"
          R"("ExpirationDate":"2025-05-01"}]}],"AVState":"1","DetectionCounters":{)"
          R"("VirusDetections":"73124","PUPDetections":"512","SuspiciousDetection":"96",)"
          R"("URLDetections":"1342","TotalAnalyzedFiles":"482913","RecoveredBytes":"4509715661",)"
          R"("BlockedThreats":"86820","InstalledUpdates":"37","Last30DaysAnalyzedURLs":"297"},)"
          R"("FileVersion":"4.0.0.48"})");
}

// How each field is composed is the uploader's tests'; here the real program
// version, the stored host name and the settings cross into the library.
TEST_F(DefaultScenarioRuns, UploadGivesTheLibraryTheIdentityCredentialsAndConnectionSettings) {
  EXPECT_EQ(CallNames(first_->comms),
            (std::vector<std::string>{"GetUtil", "OpenChannel", "SetConnectionSettings", "Send",
                                      "CloseChannel"}));
  const nlohmann::json* open = FindCall(first_->comms, "OpenChannel");
  const nlohmann::json* settings = FindCall(first_->comms, "SetConnectionSettings");
  ASSERT_TRUE(open && settings);
  EXPECT_EQ((*open)["programId"], "Quillmark_4_0_0_48");
  EXPECT_EQ((*open)["hostName"], kAgentHostName);
  EXPECT_EQ((*open)["muid"], kMuid);
  EXPECT_EQ((*open)["credentials"]["token"], "9f03c7e2a58d41b6e7102fa39c64d85b");
  EXPECT_EQ((*settings)["settings"],
            nlohmann::json::parse(R"({"size":16,"setting1":"proxy.example.local:8080",
      "setting2":null,"setting3":null})"));
}

// Which hash is kept is the collector's tests' (a wrong one makes the second
// run send again); here the items kept and the machine's own clock.
TEST_F(DefaultScenarioRuns, FirstRunKeepsTheHashAndTheUploadTime) {
  ASSERT_TRUE(first_->state) << "nothing kept";
  const auto& state = *first_->state;
  EXPECT_EQ(state["0x4009501"]["type"], "VT_UI4") << state.dump();
  ASSERT_EQ(state["0x4009502"]["type"], "VT_DATE") << state.dump();
  const double kept = state["0x4009502"]["value"];
  EXPECT_GE(kept, first_->started - 1.0 / 86400);
  EXPECT_LE(kept, first_->ended + 1.0 / 86400);
}

TEST_F(DefaultScenarioRuns, SecondRunFindsNoChangeAndSendsNothing) {
  EXPECT_EQ(second_->finished.exit_code, kRunEnded) << second_->finished.output;
  EXPECT_EQ(second_->markers.ok,
            MarkerText({"Obtenida la instancia del OMX.",
                        "Obtenida la instancia del ProfileDataCollector.",
                        "ProfileDataCollector inicializado.", "Obtenido el perfilado.",
                        "No han cambiado los datos del perfilado."}));
  EXPECT_FALSE(second_->markers.error);
  EXPECT_TRUE(second_->comms.empty()) << "the communications library was called";
  EXPECT_TRUE(second_->delivered.empty());
  EXPECT_EQ(second_->state, first_->state);
}

// Sends the runs a test starts to a trace file: every source at level 2.
class ErrorTrace {
 public:
  explicit ErrorTrace(const ScratchFolder& folder) : path_(folder.File(L"trace.jsonl")) {
    ::SetEnvironmentVariableW(L"QUILLMARK_TRACE", (L"2,0xFF," + path_).c_str());
  }
  ~ErrorTrace() { ::SetEnvironmentVariableW(L"QUILLMARK_TRACE", nullptr); }

  [[nodiscard]] bool Has(std::string_view source, int number) const {
    const auto lines = ReadJsonLines(path_);
    return std::any_of(lines.begin(), lines.end(), [&](const nlohmann::json& line) {
      return line.value("source", "") == source && line.value("number", 0) == number;
    });
  }

 private:
  std::wstring path_;
};

TEST(CountersOnlyChange, IsNotSentWhileNoResendIsDue) {
  ScratchFolder scratch;
  nlohmann::ordered_json scenario = DefaultScenario();
  nlohmann::ordered_json kept;
  {
    AgentInstallation installation(WriteScenario(scratch, L"counters_before.json", scenario));
    ASSERT_TRUE(installation.Installed());
    const RunRecord run = RunAndRecord(installation);
    ASSERT_EQ(run.delivered.size(), 1u) << "the first run sent nothing";
    ASSERT_TRUE(run.state);
    kept = nlohmann::ordered_json::parse(run.state->dump());
  }
  // The same endpoint later on: every counter has moved, and the agent still
  // remembers the upload of the first run.
  auto& sdk = scenario["sdk"];
  sdk["statistics"]["TotalDetects"]["virus"] = 70001;
  sdk["statistics"]["0"]["blocked"] = 4500;
  sdk["datastore"]["countersMalware"] = 1400;
  sdk["datastore"]["urls"]["S-1-5-21-0-0-0-1000"] = 260;
  sdk["tuneUpReports"].push_back({{"TotalFilesSize", {{"type", "VT_UI8"}, {"value", 1024}}}});
  sdk["state"] = kept;
  AgentInstallation installation(WriteScenario(scratch, L"counters_after.json", scenario));
  ASSERT_TRUE(installation.Installed());

  const RunRecord run = RunAndRecord(installation);

  EXPECT_EQ(run.markers.ok,
            MarkerText({"Obtenida la instancia del OMX.",
                        "Obtenida la instancia del ProfileDataCollector.",
                        "ProfileDataCollector inicializado.", "Obtenido el perfilado.",
                        "No han cambiado los datos del perfilado."}));
  EXPECT_TRUE(run.comms.empty()) << "the communications library was called";
  EXPECT_TRUE(run.delivered.empty());
}

// A refused file, another runtime's C++ exception and an access violation in
// the library all end the same way: nothing kept, no data file left behind.
TEST(FailedUpload, KeepsTheStoredValuesAndEndsWithOnlyTheClosingMessageInTheErrorMarker) {
  const std::pair<const char*, nlohmann::ordered_json> endings[] = {
      {"send", false}, {"raiseFrom", "Send"}, {"faultFrom", "Send"}};
  for (const auto& [field, value] : endings) {
    SCOPED_TRACE(field);
    ScratchFolder scratch;
    nlohmann::ordered_json scenario = DefaultScenario();
    scenario["comms"][field] = value;
    // A profile sent eight days ago under another hash: the run must send again.
    scenario["sdk"]["state"] = {{"0x4009501", {{"type", "VT_UI4"}, {"value", 305419896}}},
                                {"0x4009502", {{"type", "VT_DATE"}, {"value", "now-8d"}}}};
    AgentInstallation installation(WriteScenario(scratch, L"upload_fails.json", scenario));
    ASSERT_TRUE(installation.Installed());
    const ErrorTrace trace(scratch);

    const RunRecord run = RunAndRecord(installation);

    EXPECT_EQ(run.finished.exit_code, kRunEnded) << run.finished.output;
    EXPECT_FALSE(run.markers.ok);
    EXPECT_EQ(run.markers.error, MarkerText({kRunCompleted}));
    const nlohmann::json* send = FindCall(run.comms, "Send");
    ASSERT_NE(send, nullptr) << "no upload was tried";
    EXPECT_EQ(send->contains("raised"), std::string_view(field) != "send");
    EXPECT_FALSE(sim::FileExists(sim::FromUtf8(send->value("file", ""))))
        << "the data file outlived the run";
    EXPECT_TRUE(run.delivered.empty());
    EXPECT_FALSE(run.state) << "the value store was written: " << run.state->dump();
    EXPECT_EQ(trace.Has("Upload", 19), std::string_view(field) != "send");
  }
}

// A MUID that makes the file name unusable: the library is still asked and
// here even says yes, but a profile never written is not recorded as sent.
TEST(UnwrittenDataFile, KeepsNoUploadStateSoTheNextRunSendsAgain) {
  ScratchFolder scratch;
  nlohmann::ordered_json scenario = DefaultScenario();
  scenario["sdk"]["config"]["0x4009701"] = "a/b";
  scenario["comms"]["send"] = true;
  AgentInstallation installation(WriteScenario(scratch, L"unusable_muid.json", scenario));
  ASSERT_TRUE(installation.Installed());
  const ErrorTrace trace(scratch);

  for (int run_number = 1; run_number <= 2; ++run_number) {
    SCOPED_TRACE(run_number);
    const RunRecord run = RunAndRecord(installation);
    EXPECT_EQ(run.finished.exit_code, kRunEnded) << run.finished.output;
    EXPECT_NE(FindCall(run.comms, "Send"), nullptr) << "the run did not send";
    EXPECT_FALSE(run.state) << "the value store was written: " << run.state->dump();
  }
  EXPECT_TRUE(trace.Has("RunDriver", 47));
}

// One scenario, two runs through simagent: the first, started from another
// folder with its own TEMP, fails its upload; the second delivers.
TEST(RunByRun, AFailedUploadThenADeliveryInOneScenario) {
  ScratchFolder scratch;
  const std::string temp = sim::ToUtf8(scratch.File(L"RunTemp"));
  const std::string start = sim::ToUtf8(scratch.File(L"Start"));
  nlohmann::ordered_json scenario = DefaultScenario();
  scenario["files"].push_back({{"path", temp}, {"directory", true}});
  scenario["files"].push_back({{"path", start}, {"directory", true}});
  scenario["runs"] = {{{"comms", {{"send", false}}},
                       {"environment", {{"TEMP", temp}, {"TMP", temp}}},
                       {"startFolder", start}},
                      nlohmann::ordered_json::object()};
  AgentInstallation installation(WriteScenario(scratch, L"run_by_run.json", scenario));
  ASSERT_TRUE(installation.Installed());
  const std::wstring simagent = sim::JoinPath(QM_SIM_BIN_FOLDER, L"simagent.exe");

  const Finished first = RunProgram(simagent, {L"run", L"1"}, scratch.Path());
  EXPECT_EQ(first.exit_code, kRunEnded) << first.output;
  EXPECT_NE(first.output.find("simagent: run 1: exit code 0, "), std::string::npos) << first.output;
  const std::vector<nlohmann::json> comms = ReadJsonLines(installation.SimFile(L"comms.jsonl"));
  const nlohmann::json* send = FindCall(comms, "Send");
  ASSERT_NE(send, nullptr) << "no upload was tried";
  EXPECT_EQ((*send)["result"], false);
  EXPECT_EQ(send->value("file", "").rfind(temp + "\\", 0), 0u)
      << "not in the run's TEMP: " << send->dump();
  EXPECT_FALSE(ReadJsonFile(installation.SimFile(L"state.json")));

  const Finished second = RunProgram(simagent, {L"run", L"2"}, scratch.Path());
  EXPECT_EQ(second.exit_code, kRunEnded) << second.output;
  EXPECT_TRUE(ReadJsonFile(installation.SimFile(L"state.json"))) << "the second run kept nothing";
}

}  // namespace
}  // namespace qm::e2e
