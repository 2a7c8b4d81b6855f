#include "e2e_support.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/sim_files.h"
#include "common/sim_process.h"
#include "common/sim_text.h"
#include "simagent/installer.h"
#include "support/unique_resource.h"

namespace qm::e2e {
namespace {

// The built stand-ins, simagent.exe and the program, as the installer copies them.
constexpr wchar_t kPayloadFolder[] = QM_SIM_BIN_FOLDER;
constexpr wchar_t kOkMarker[] = L"TestQuillmark_OK.log";
constexpr wchar_t kErrorMarker[] = L"TestQuillmark_ERROR.log";

std::optional<std::string> ReadIfPresent(const std::wstring& path) {
  std::string bytes;
  if (!sim::FileExists(path) || !sim::ReadWholeFile(path, bytes)) return std::nullopt;
  return bytes;
}

}  // namespace

Markers ReadMarkers(const std::wstring& folder) {
  return {ReadIfPresent(sim::JoinPath(folder, kOkMarker)),
          ReadIfPresent(sim::JoinPath(folder, kErrorMarker))};
}

void PlantStaleMarkers(const std::wstring& folder) {
  for (const wchar_t* name : {kOkMarker, kErrorMarker}) {
    ASSERT_TRUE(sim::WriteWholeFile(sim::JoinPath(folder, name), "\r\nfrom an earlier run"))
        << sim::ToUtf8(folder);
  }
}

std::string MarkerText(std::initializer_list<std::string_view> messages) {
  std::string text;
  for (std::string_view message : messages) text.append("\r\n").append(message);
  return text;
}

std::vector<nlohmann::json> ReadJsonLines(const std::wstring& path) {
  std::vector<nlohmann::json> lines;
  std::istringstream bytes(ReadIfPresent(path).value_or(""));
  for (std::string line; std::getline(bytes, line);) {
    if (line.find_first_not_of(" \r") == std::string::npos) continue;
    lines.push_back(nlohmann::json::parse(line));
  }
  return lines;
}

std::optional<nlohmann::json> ReadJsonFile(const std::wstring& path) {
  const auto bytes = ReadIfPresent(path);
  if (!bytes) return std::nullopt;
  return nlohmann::json::parse(*bytes);
}

nlohmann::ordered_json DefaultScenario() {
  return nlohmann::ordered_json::parse(testing::ReadFileText(QM_DEFAULT_SCENARIO));
}

// Protection on, add-on items, vault keypad and file kit, cleaner, mobile
// feature, an add-on map entry, toolbar and VPN type 1 make module status
// 0x77AA7; a virus count beyond 16 bits, tune-up reports beyond 32 bits, and
// the URLs of the prefix's user and its administrator. Windows 10 reports its
// build number (Wine's Windows 10 is build 18362).
std::string DefaultScenarioDocument() {
  return R"({"MUID":"5A1F3C9E7B2D4068A","OSInfo":{"Platform":"Windows","OSMajorVer":"10",)"
         R"("OSMinorVer":"0","SPMajorVer":"0","SPMinorVer":"0","OSType":"1","OSx64":"True",)"
         R"("NetVersionInstalled":"4.8.04084","NetFrameworkRealVersion":"528040",)"
         R"("W10BuildNumber":"18362"},"SuiteID":"21","SuiteVersion":"18.07.02.1234",)"
         R"("SuiteVersionNumber":"1807021234","Country":"ES","Language":"es-ES",)"
         R"("CustomID":"187477","InstUID":"7C4E2B9A-31D5-4F08-A6E2-5B19C0D3F871",)"
         R"("Products":[{"ProductID":"ORVEX-IS","VersionType":"1","MyAccountID":"user@example.com",)"
         R"("ModuleStatus":"490151","Licenses":[{"ActivationCode":"KX7Q-2M4P-9HRT",)"
         R"("LicenseVersionType":"1","ClientID":"100234","ProductLicenseID":"5501",)"
         R"("ActivationDate":"2024-03-07","ExpirationDate":"2026-03-07"},)"
         R"({"ActivationCode":"RW3D-8N6C-1FZB","LicenseVersionType":"3","ClientID":"100234",)"
         R"("ProductLicenseID":"5502","ActivationDate":"2025-01-15","ExpirationDate":"2026-01-15"}]},)"
         R"({"ProductID":"ORVEX-VPN","VersionType":"2","MyAccountID":"","ModuleStatus":"490151",)"
         R"("Licenses":[{"ActivationCode":"VPN-88QZ-41LM","LicenseVersionType":"2",)"
         R"("ClientID":"100234","ProductLicenseID":"ORVEX-VPN","ActivationDate":"2024-05-01",)"
         R"("ExpirationDate":"2025-05-01"}]}],"AVState":"1","DetectionCounters":{)"
         R"("VirusDetections":"73124","PUPDetections":"512","SuspiciousDetection":"96",)"
         R"("URLDetections":"1342","TotalAnalyzedFiles":"482913","RecoveredBytes":"4509715661",)"
         R"("BlockedThreats":"86820","InstalledUpdates":"37","Last30DaysAnalyzedURLs":"297"},)"
         R"("FileVersion":"4.0.0.48"})";
}

AgentInstallation::AgentInstallation(const std::wstring& scenario_path) {
  sim::InstallOptions options;
  options.payload_folder = kPayloadFolder;
  options.record_path = sim::DefaultRecordPath();
  options.scenario_bytes_path = scenario_path;
  try {
    const sim::Scenario scenario = sim::LoadScenario(scenario_path);
    sim::Install(scenario, options);
    folder_ = scenario.agent_process.folder;
  } catch (const std::exception& error) {
    ADD_FAILURE() << "install " << sim::ToUtf8(scenario_path) << ": " << error.what();
  }
}

AgentInstallation::~AgentInstallation() {
  for (const std::string& problem : sim::Remove(sim::DefaultRecordPath()))
    ADD_FAILURE() << "removal: " << problem;
}

std::wstring AgentInstallation::SimFile(std::wstring_view name) const {
  return sim::JoinPath(sim::SimFolderOf(folder_), name);
}

Finished AgentInstallation::Run(int number) const {
  const std::wstring path = outputs_.File(L"run-" + std::to_wstring(number) + L".txt");
  SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
  UniqueFile output(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  const std::wstring command =
      L"\"" + sim::JoinPath(kPayloadFolder, L"simagent.exe") + L"\" run " + std::to_wstring(number);
  constexpr DWORD kRunLimitMs = 60'000;
  const sim::ProcessEnd end = sim::RunProcess(command, kPayloadFolder, output.Get(), kRunLimitMs);
  output.Reset();
  if (!end.started) ADD_FAILURE() << "simagent not started, error " << end.error;
  if (end.started && !end.in_time) ADD_FAILURE() << "run " << number << " ran over a minute";
  ExpectNoContractViolations();
  return {end.exit_code, testing::ReadFileText(path)};
}

void AgentInstallation::ExpectNoContractViolations() const {
  for (const wchar_t* log : {L"sdk.jsonl", L"comms.jsonl", L"settings.jsonl"}) {
    const std::vector<nlohmann::json> lines = ReadJsonLines(SimFile(log));
    for (std::size_t i = lines_checked_[log]; i < lines.size(); ++i) {
      if (lines[i].contains("violation"))
        ADD_FAILURE() << "contract violation in " << sim::ToUtf8(log) << ": " << lines[i].dump();
    }
    lines_checked_[log] = lines.size();
  }
}

}  // namespace qm::e2e
