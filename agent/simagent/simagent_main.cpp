// simagent.exe: applies a scenario of the simulated agent to this machine
// (the Wine prefix) and removes it again.
//   simagent install SCENARIO.json   install (an earlier installation is removed first)
//   simagent remove                  restore the machine as it was before install
//   simagent check SCENARIO.json     validate only
//   simagent start-agent | stop-agent   start or stop the main process stand-in
//   simagent run N                   run quillmark.exe as run N of the scenario
// Exit codes: 0 done, 1 failed, 2 invalid scenario or usage. `run` ends with
// the program's own exit code and, as its last output line,
// "simagent: run N: exit code C, M ms" (a line "simagent: ..." without it
// means the program was not started).

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>

#include <nlohmann/json.hpp>

#include "common/scenario.h"
#include "common/scenario_error.h"
#include "common/sim_files.h"
#include "common/sim_process.h"
#include "common/sim_text.h"
#include "simagent/installer.h"

namespace {

void Print(const std::string& text) { std::fputs((text + "\n").c_str(), stdout); }
void PrintError(const std::string& text) {
  std::fputs(("simagent: " + text + "\n").c_str(), stderr);
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
  return (length > 0 && length < MAX_PATH) ? std::wstring(buffer, length) : path;
}

int Usage() {
  PrintError(
      "usage: simagent install SCENARIO | remove | check SCENARIO | start-agent | stop-agent | run "
      "N");
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
  Print("installed scenario \"" + scenario.name + "\" into " +
        qm::sim::ToUtf8(scenario.agent_process.folder));
  Print("service: " + std::string(qm::sim::ServiceBehaviourName(scenario.service.behaviour)) +
        "; main process: " + (scenario.agent_process.running ? "running" : "not running"));
  return 0;
}

int RunRemove() {
  const auto problems = qm::sim::Remove(qm::sim::DefaultRecordPath());
  for (const std::string& problem : problems) PrintError(problem);
  return problems.empty() ? 0 : 1;
}

// The current installation's record; a null (reported) when there is none.
nlohmann::json InstalledRecord() {
  std::string bytes;
  if (!qm::sim::ReadWholeFile(qm::sim::DefaultRecordPath(), bytes)) {
    PrintError("nothing is installed");
    return nullptr;
  }
  auto record = nlohmann::json::parse(bytes, nullptr, false);
  if (!record.is_object() || !record.contains("agentFolder") ||
      !record["agentFolder"].is_string()) {
    PrintError("the install record is unreadable");
    return nullptr;
  }
  return record;
}

std::wstring Wide(const nlohmann::json& record, const char* key, const char* fallback) {
  const auto found = record.find(key);
  return qm::sim::FromUtf8(found != record.end() && found->is_string() ? found->get<std::string>()
                                                                       : fallback);
}

int RunStartAgent() {
  const auto record = InstalledRecord();
  if (record.is_null()) return 1;
  const std::wstring image = Wide(record, "mainProcessImage", "KORAMAIN.EXE");
  return qm::sim::StartMainProcess(Wide(record, "agentFolder", ""), image) ? 0 : 1;
}

// Quoted the way the program's own argument parser splits it again.
std::wstring QuotedArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

// Copies run `index` (from 0)'s stand-in scenario over SimAgent\scenario.json.
bool PutRunScenarioInPlace(const std::wstring& agent_folder, size_t index) {
  const std::wstring sim_folder = qm::sim::SimFolderOf(agent_folder);
  const std::wstring run_file =
      qm::sim::JoinPath(sim_folder, L"runs\\run-" + std::to_wstring(index + 1) + L".json");
  std::string bytes;
  if (qm::sim::ReadWholeFile(run_file, bytes) &&
      qm::sim::WriteWholeFile(qm::sim::JoinPath(sim_folder, L"scenario.json"), bytes)) {
    return true;
  }
  PrintError("cannot put " + qm::sim::ToUtf8(run_file) + " in place");
  return false;
}

// Set inside Windows, because Wine gives a program started from Linux the
// prefix's TEMP and TMP whatever the Linux environment says.
void ApplyRunEnvironment(const nlohmann::json& environment) {
  for (const auto& [name, value] : environment.items()) {
    const std::wstring wide_name = qm::sim::FromUtf8(name);
    ::SetEnvironmentVariableW(
        wide_name.c_str(),
        value.is_null() ? nullptr : qm::sim::FromUtf8(value.get<std::string>()).c_str());
  }
}

std::wstring ProgramCommandLine(const std::wstring& agent_folder, const nlohmann::json& arguments) {
  std::wstring command = QuotedArgument(qm::sim::JoinPath(agent_folder, L"quillmark.exe"));
  for (const auto& argument : arguments) {
    command += L" " + QuotedArgument(qm::sim::FromUtf8(argument.get<std::string>()));
  }
  return command;
}

// Runs `command` in `folder` with this process's standard handles and reports
// its exit code and wall time as the last output line.
int RunAndReport(std::wstring command, const std::wstring& folder, int number) {
  const auto started = std::chrono::steady_clock::now();
  const qm::sim::ProcessEnd end = qm::sim::RunProcess(command, folder);
  if (!end.started) {
    PrintError("cannot start " + qm::sim::ToUtf8(command) + " in " + qm::sim::ToUtf8(folder) +
               " (error " + std::to_string(end.error) + ")");
    return 1;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  std::fflush(stdout);
  PrintError("run " + std::to_string(number) + ": exit code " +
             std::to_string(static_cast<int>(end.exit_code)) + ", " +
             std::to_string(elapsed.count()) + " ms");
  return static_cast<int>(end.exit_code);
}

// Whether this process runs under the code page of the run's locale, which
// the program inherits. Wine takes a process's code page from the Unix locale
// it was started under, and a program started from Windows keeps its
// parent's: the variables of the environment block do not change it, so
// only the Linux side can choose it.
bool RunsUnderItsLocale(const nlohmann::json& run, int number) {
  const std::string wanted = run.value("locale", "");
  const qm::sim::EndpointLocale* locale = qm::sim::FindEndpointLocale(wanted);
  if (wanted.empty() || locale == nullptr || ::GetACP() == locale->code_page) return true;
  PrintError("run " + std::to_string(number) + " wants the locale " + wanted + " (code page " +
             std::to_string(locale->code_page) + "), but runs under code page " +
             std::to_string(::GetACP()) + ": start simagent with LC_ALL=" + locale->unix_name +
             " (tools/wine-run.sh takes it from QUILLMARK_LOCALE)");
  return false;
}

// Run `number` of the installed scenario: the item of "runs" for it (the
// last one for any later run), its stand-in answers, environment, command
// line and start folder.
int RunProgram(const std::wstring& number_text) {
  const auto record = InstalledRecord();
  if (record.is_null()) return 1;
  const int number = static_cast<int>(std::wcstol(number_text.c_str(), nullptr, 10));
  const auto& runs = record.value("runs", nlohmann::json::array());
  if (number < 1 || runs.empty()) return Usage();
  const size_t index = std::min<size_t>(static_cast<size_t>(number), runs.size()) - 1;
  const nlohmann::json& run = runs[index];
  if (!RunsUnderItsLocale(run, number)) return 2;
  const std::wstring agent_folder = Wide(record, "agentFolder", "");
  if (!PutRunScenarioInPlace(agent_folder, index)) return 1;
  ApplyRunEnvironment(run.value("environment", nlohmann::json::object()));
  const std::wstring start_folder = Wide(run, "startFolder", qm::sim::ToUtf8(agent_folder).c_str());
  return RunAndReport(
      ProgramCommandLine(agent_folder, run.value("commandLine", nlohmann::json::array())),
      start_folder, number);
}

int RunStopAgent() {
  const auto record = InstalledRecord();
  if (record.is_null()) return 1;
  qm::sim::StopMainProcesses(Wide(record, "agentFolder", ""));
  for (const auto& other : record.value("otherMainFolders", nlohmann::json::array())) {
    qm::sim::StopMainProcesses(qm::sim::FromUtf8(other.get<std::string>()));
  }
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
    if (command == L"run" && argc == 3) return RunProgram(argv[2]);
  } catch (const qm::sim::ScenarioError& error) {
    PrintError(error.what());
    return 2;
  }
  return Usage();
}
