// simagent.exe: applies a scenario of the simulated agent to this machine
// (the Wine prefix) and removes it again.
//   simagent install SCENARIO.json   install (an earlier installation is removed first)
//   simagent remove                  restore the machine as it was before install
//   simagent check SCENARIO.json     validate only
//   simagent start-agent | stop-agent   start or stop the main process stand-in
// Exit codes: 0 done, 1 failed, 2 invalid scenario or usage.

#include <windows.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "common/scenario.h"
#include "common/scenario_error.h"
#include "common/sim_files.h"
#include "common/sim_text.h"
#include "simagent/installer.h"

namespace {

void Print(const std::string& text) { std::fputs((text + "\n").c_str(), stdout); }
void PrintError(const std::string& text) { std::fputs(("simagent: " + text + "\n").c_str(), stderr); }

std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
  return (length > 0 && length < MAX_PATH) ? std::wstring(buffer, length) : path;
}

int Usage() {
  PrintError("usage: simagent install SCENARIO | remove | check SCENARIO | start-agent | stop-agent");
  return 2;
}

int RunInstall(const std::wstring& scenario_path) {
  qm::sim::InstallOptions options;
  options.payload_folder = qm::sim::ModuleFolder(nullptr);
  options.record_path = qm::sim::DefaultRecordPath();
  options.scenario_bytes_path = FullPath(scenario_path);
  const qm::sim::Scenario scenario = qm::sim::LoadScenario(options.scenario_bytes_path);
  try {
    qm::sim::Install(scenario, options);
  } catch (const qm::sim::ScenarioError& error) {
    PrintError(error.what());
    return 1;
  }
  Print("installed scenario \"" + scenario.name + "\" into " + qm::sim::ToUtf8(scenario.agent_process.folder));
  Print("service: " + std::string(qm::sim::ServiceBehaviourName(scenario.service.behaviour)) +
        "; main process: " + (scenario.agent_process.running ? "running" : "not running"));
  return 0;
}

int RunRemove() {
  const auto problems = qm::sim::Remove(qm::sim::DefaultRecordPath());
  for (const std::string& problem : problems) PrintError(problem);
  return problems.empty() ? 0 : 1;
}

// The agent folder of the current installation; empty (and reported) when none.
std::wstring InstalledAgentFolder() {
  std::string bytes;
  if (!qm::sim::ReadWholeFile(qm::sim::DefaultRecordPath(), bytes)) {
    PrintError("nothing is installed");
    return {};
  }
  const auto record = nlohmann::json::parse(bytes, nullptr, false);
  if (!record.is_object() || !record.contains("agentFolder") || !record["agentFolder"].is_string()) {
    PrintError("the install record is unreadable");
    return {};
  }
  return qm::sim::FromUtf8(record["agentFolder"].get<std::string>());
}

int RunStartAgent() {
  const std::wstring folder = InstalledAgentFolder();
  return !folder.empty() && qm::sim::StartMainProcess(folder) ? 0 : 1;
}

int RunStopAgent() {
  const std::wstring folder = InstalledAgentFolder();
  if (folder.empty()) return 1;
  qm::sim::StopMainProcesses(folder);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring command = argv[1];
  try {
    if (command == L"install" && argc == 3) return RunInstall(argv[2]);
    if (command == L"remove" && argc == 2) return RunRemove();
    if (command == L"check" && argc == 3) {
      const qm::sim::Scenario scenario = qm::sim::LoadScenario(FullPath(argv[2]));
      Print("scenario \"" + scenario.name + "\" is valid");
      return 0;
    }
    if (command == L"start-agent" && argc == 2) return RunStartAgent();
    if (command == L"stop-agent" && argc == 2) return RunStopAgent();
  } catch (const qm::sim::ScenarioError& error) {
    PrintError(error.what());
    return 2;
  }
  return Usage();
}
