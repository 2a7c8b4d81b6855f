#include "e2e_support.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/sim_files.h"
#include "common/sim_text.h"
#include "simagent/installer.h"
#include "support/unique_resource.h"

namespace qm::e2e {
namespace {

constexpr DWORD kRunLimitMs = 60'000;

std::wstring CommandLine(const std::wstring& program, const std::vector<std::wstring>& arguments) {
  std::wstring command = L"\"" + program + L"\"";
  for (const std::wstring& argument : arguments) command += L" \"" + argument + L"\"";
  return command;
}

// A handle the child inherits as its standard output and error; the file goes
// when the last handle to it is closed.
UniqueFile InheritableOutputFile() {
  wchar_t folder[MAX_PATH] = {};
  wchar_t path[MAX_PATH] = {};
  if (::GetTempPathW(MAX_PATH, folder) == 0 || ::GetTempFileNameW(folder, L"qme", 0, path) == 0)
    return {};
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  return UniqueFile(::CreateFileW(
      path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
}

UniqueFile InheritableNul() {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  return UniqueFile(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, OPEN_EXISTING, 0, nullptr));
}

std::string ReadFromStart(HANDLE file) {
  std::string text;
  if (::SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return text;
  char buffer[4096];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    text.append(buffer, read);
  return text;
}

std::optional<std::string> ReadIfPresent(const std::wstring& path) {
  std::string bytes;
  if (!sim::FileExists(path) || !sim::ReadWholeFile(path, bytes)) return std::nullopt;
  return bytes;
}

// The built stand-ins, simagent.exe and the program, as the installer copies them.
constexpr wchar_t kPayloadFolder[] = QM_SIM_BIN_FOLDER;

std::wstring SimAgentProgram() { return sim::JoinPath(kPayloadFolder, L"simagent.exe"); }

// simagent.exe with `arguments`; its output is shown when it fails.
bool RunSimAgent(const std::vector<std::wstring>& arguments) {
  const Finished finished = RunProgram(SimAgentProgram(), arguments, kPayloadFolder);
  if (finished.exit_code == 0) return true;
  ADD_FAILURE() << "simagent " << sim::ToUtf8(arguments.front()) << " exited with "
                << finished.exit_code << ":\n"
                << finished.output;
  return false;
}

std::wstring InstalledAgentFolder() {
  const auto record = ReadJsonFile(sim::DefaultRecordPath());
  if (!record || !record->contains("agentFolder")) {
    ADD_FAILURE() << "no install record after simagent install";
    return {};
  }
  return sim::FromUtf8((*record)["agentFolder"].get<std::string>());
}

}  // namespace

Finished RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments,
                    const std::wstring& folder) {
  Finished finished{kRunStopped, {}};
  UniqueFile output = InheritableOutputFile();
  UniqueFile input = InheritableNul();
  if (!output || !input) {
    ADD_FAILURE() << "no standard handles for the child, error " << ::GetLastError();
    return finished;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.Get();
  startup.hStdOutput = output.Get();
  startup.hStdError = output.Get();
  PROCESS_INFORMATION started{};
  std::wstring command = CommandLine(program, arguments);
  if (!::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        folder.c_str(), &startup, &started)) {
    ADD_FAILURE() << "cannot start " << sim::ToUtf8(program) << ", error " << ::GetLastError();
    return finished;
  }
  UniqueHandle process(started.hProcess);
  UniqueHandle thread(started.hThread);
  if (::WaitForSingleObject(process.Get(), kRunLimitMs) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.Get(), kRunStopped);
    ::WaitForSingleObject(process.Get(), INFINITE);
    ADD_FAILURE() << sim::ToUtf8(program) << " did not end within " << kRunLimitMs / 1000 << " s";
  }
  ::GetExitCodeProcess(process.Get(), &finished.exit_code);
  finished.output = ReadFromStart(output.Get());
  return finished;
}

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
    auto value = nlohmann::json::parse(line, nullptr, false);
    if (value.is_discarded()) ADD_FAILURE() << "not JSON in " << sim::ToUtf8(path) << ": " << line;
    if (!value.is_discarded()) lines.push_back(std::move(value));
  }
  return lines;
}

std::optional<nlohmann::json> ReadJsonFile(const std::wstring& path) {
  const auto bytes = ReadIfPresent(path);
  if (!bytes) return std::nullopt;
  auto value = nlohmann::json::parse(*bytes, nullptr, false);
  if (value.is_discarded()) {
    ADD_FAILURE() << "not JSON: " << sim::ToUtf8(path);
    return std::nullopt;
  }
  return value;
}

nlohmann::ordered_json DefaultScenario() {
  const auto bytes = ReadIfPresent(QM_DEFAULT_SCENARIO);
  if (!bytes) {
    ADD_FAILURE() << "no default scenario";
    return {};
  }
  return nlohmann::ordered_json::parse(*bytes);
}

std::wstring WriteScenario(const ScratchFolder& folder, std::wstring_view name,
                           const nlohmann::ordered_json& scenario) {
  return folder.Write(name, scenario.dump(2));
}

std::wstring TestScenario(std::wstring_view name) { return sim::JoinPath(QM_E2E_SCENARIOS, name); }

AgentInstallation::AgentInstallation(const std::wstring& scenario_path) {
  if (RunSimAgent({L"install", scenario_path})) folder_ = InstalledAgentFolder();
}

AgentInstallation::~AgentInstallation() { (void)RunSimAgent({L"remove"}); }

std::wstring AgentInstallation::File(std::wstring_view name) const {
  return sim::JoinPath(folder_, name);
}

std::wstring AgentInstallation::SimFile(std::wstring_view name) const {
  return sim::JoinPath(sim::SimFolderOf(folder_), name);
}

Finished AgentInstallation::RunProgram(const std::vector<std::wstring>& arguments,
                                       const std::wstring& start_folder) const {
  return e2e::RunProgram(File(L"quillmark.exe"), arguments,
                         start_folder.empty() ? folder_ : start_folder);
}

}  // namespace qm::e2e
