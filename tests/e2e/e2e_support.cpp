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

std::wstring WriteScenario(const ScratchFolder& folder, std::wstring_view name,
                           const nlohmann::ordered_json& scenario) {
  return folder.Write(name, scenario.dump(2));
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
  return {end.exit_code, testing::ReadFileText(path)};
}

}  // namespace qm::e2e
