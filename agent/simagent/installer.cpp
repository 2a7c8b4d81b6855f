#include "simagent/installer.h"

#include <tlhelp32.h>

#include <cwchar>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "common/agent_names.h"
#include "common/reg_file.h"
#include "common/scenario_error.h"
#include "common/sim_files.h"
#include "common/sim_text.h"
#include "support/unique_resource.h"

namespace qm::sim {
namespace {

using nlohmann::json;

[[noreturn]] void FailStep(const std::string& step, DWORD error) {
  throw ScenarioError("install: " + step + " failed (error " + std::to_string(error) + ")");
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

std::string Unhex(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

REGSAM ViewFlag(RegistryView view) {
  return view == RegistryView::Bit64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

const char* ViewName(RegistryView view) { return view == RegistryView::Bit64 ? "64" : "32"; }

RegistryView ViewFromName(const std::string& name) {
  return name == "64" ? RegistryView::Bit64 : RegistryView::Bit32;
}

HKEY RootFromName(const std::wstring& name) {
  RegistryKeyEntry entry;
  SplitKeyName(name + L"\\x", "install record", entry);
  return entry.root;
}

std::wstring ExpandEnvironment(const std::wstring& text) {
  const DWORD size = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  if (size == 0) return text;
  std::wstring expanded(size, L'\0');
  const DWORD written = ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), size);
  if (written == 0 || written > size) return text;
  expanded.resize(written - 1);
  return expanded;
}

std::wstring ParentOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Everything the installer has changed so far, kept on disk after each step.
class Record {
 public:
  explicit Record(std::wstring path) : path_(std::move(path)) {
    data_ = {{"createdFolders", json::array()},
             {"files", json::array()},
             {"registryKeys", json::array()},
             {"registryValues", json::array()},
             {"service", nullptr}};
  }

  json& data() { return data_; }

  void Save() {
    (void)EnsureFolder(ParentOf(path_));
    if (!WriteWholeFile(path_, data_.dump(2)))
      FailStep("writing the install record", ::GetLastError());
  }

  // Creates `folder` and records the highest folder that did not exist.
  void EnsureFolderRecorded(const std::wstring& folder) {
    std::wstring highest_missing;
    for (std::wstring current = folder;
         !current.empty() && current.size() > 3 && !FolderExists(current);
         current = ParentOf(current)) {
      highest_missing = current;
    }
    if (!highest_missing.empty()) {
      data_["createdFolders"].push_back(ToUtf8(highest_missing));
      Save();
    }
    if (!EnsureFolder(folder)) FailStep("creating " + ToUtf8(folder), ::GetLastError());
  }

  void WriteFileRecorded(const std::wstring& path, std::string_view content) {
    EnsureFolderRecorded(ParentOf(path));
    std::string previous;
    const bool existed = FileExists(path) && ReadWholeFile(path, previous);
    data_["files"].push_back(
        {{"path", ToUtf8(path)}, {"previous", existed ? json(Hex(previous)) : json(nullptr)}});
    Save();
    if (!WriteWholeFile(path, content)) FailStep("writing " + ToUtf8(path), ::GetLastError());
  }

 private:
  std::wstring path_;
  json data_;
};

// The payload names the main process stand-in KORAMAIN.EXE; it is written
// under the scenario's image name, since the process list shows the name of
// the file a process was started from.
std::wstring PayloadTarget(const std::wstring& name, const AgentProcessScenario& agent) {
  return ::_wcsicmp(name.c_str(), kMainProcessExe) == 0 ? agent.image_name : name;
}

void CopyPayload(const std::wstring& payload_folder, const AgentProcessScenario& agent,
                 Record& record) {
  const std::wstring& agent_folder = agent.folder;
  std::string list;
  const std::wstring list_path = JoinPath(payload_folder, kPayloadList);
  if (!ReadWholeFile(list_path, list)) {
    throw ScenarioError("install: cannot read the payload list " + ToUtf8(list_path));
  }
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find('\n', start);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(start, end - start);
    start = end + 1;
    while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.pop_back();
    if (name.empty() || name[0] == '#') continue;
    std::string bytes;
    const std::wstring source = JoinPath(payload_folder, FromUtf8(name));
    if (!ReadWholeFile(source, bytes)) {
      throw ScenarioError("install: payload file " + ToUtf8(source) +
                          " is missing (build it first)");
    }
    record.WriteFileRecorded(JoinPath(agent_folder, PayloadTarget(FromUtf8(name), agent)), bytes);
    if (::_wcsicmp(FromUtf8(name).c_str(), kMainProcessExe) != 0) continue;
    for (const std::wstring& other : agent.other_folders) {
      record.EnsureFolderRecorded(other);
      record.WriteFileRecorded(JoinPath(other, agent.image_name), bytes);
    }
  }
}

json EnvironmentJson(const std::map<std::wstring, std::optional<std::wstring>>& environment) {
  json object = json::object();
  for (const auto& [name, value] : environment)
    object[ToUtf8(name)] = value ? json(ToUtf8(*value)) : json(nullptr);
  return object;
}

json RunJson(const ScenarioRun& run) {
  json command_line = json::array();
  for (const std::wstring& argument : run.command_line) command_line.push_back(ToUtf8(argument));
  json out = {{"commandLine", command_line},
              {"environment", EnvironmentJson(run.environment)},
              {"startFolder", ToUtf8(run.start_folder)}};
  if (!run.locale.empty()) out["locale"] = run.locale;
  return out;
}

// Writes each run's stand-in scenario as SimAgent\runs\run-<n>.json, for
// `simagent run` to put in place; the record keeps what the runner needs.
// Returns run 1's scenario text.
std::string RecordRuns(const Scenario& scenario, const std::string& scenario_bytes,
                       Record& record) {
  const std::wstring runs_folder = JoinPath(SimFolderOf(scenario.agent_process.folder), L"runs");
  std::vector<ScenarioRun> runs = scenario.runs;
  if (runs.empty()) runs.push_back(RunOf(scenario, nlohmann::ordered_json::parse(scenario_bytes)));
  record.EnsureFolderRecorded(runs_folder);
  record.data()["runs"] = json::array();
  std::string first;
  for (size_t i = 0; i < runs.size(); ++i) {
    record.data()["runs"].push_back(RunJson(runs[i]));
    const std::string text =
        scenario.runs.empty() ? scenario_bytes : runs[i].document.dump(2) + "\n";
    record.WriteFileRecorded(JoinPath(runs_folder, L"run-" + std::to_wstring(i + 1) + L".json"),
                             text);
    if (i == 0) first = text;
  }
  const json& first_run = record.data()["runs"][0];
  for (const char* field : {"commandLine", "environment", "startFolder"})
    record.data()[field] = first_run[field];
  record.Save();
  return first;
}

std::wstring RegistryDisplay(const RegistryKeyEntry& key) {
  return key.root_name + L"\\" + key.path;
}

// Creates the key one level at a time so the first level that did not exist
// is recorded (removal deletes that subtree).
UniqueKey CreateKeyRecorded(const RegistryKeyEntry& key, Record& record) {
  UniqueKey current;
  std::wstring walked;
  size_t start = 0;
  bool recorded = false;
  while (start <= key.path.size()) {
    size_t end = key.path.find(L'\\', start);
    if (end == std::wstring::npos) end = key.path.size();
    const std::wstring part = key.path.substr(start, end - start);
    walked += (walked.empty() ? L"" : L"\\") + part;
    UniqueKey next;
    DWORD disposition = 0;
    const LSTATUS status =
        ::RegCreateKeyExW(current ? current.Get() : key.root, part.c_str(), 0, nullptr, 0,
                          KEY_ALL_ACCESS | ViewFlag(key.view), nullptr, next.Put(), &disposition);
    if (status != ERROR_SUCCESS)
      FailStep("creating the key " + ToUtf8(RegistryDisplay(key)), static_cast<DWORD>(status));
    if (disposition == REG_CREATED_NEW_KEY && !recorded) {
      record.data()["registryKeys"].push_back({{"root", ToUtf8(key.root_name)},
                                               {"path", ToUtf8(walked)},
                                               {"view", ViewName(key.view)}});
      record.Save();
      recorded = true;
    }
    current = std::move(next);
    start = end + 1;
  }
  return current;
}

json PreviousValue(HKEY key, const std::wstring& name) {
  DWORD type = 0;
  DWORD size = 0;
  if (::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
    return nullptr;
  std::string bytes(size, '\0');
  if (::RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()),
                         &size) != ERROR_SUCCESS) {
    return nullptr;
  }
  bytes.resize(size);
  return {{"type", type}, {"data", Hex(bytes)}};
}

void ApplyRegistry(const std::vector<RegistryKeyEntry>& keys, Record& record) {
  for (const RegistryKeyEntry& key : keys) {
    UniqueKey handle = CreateKeyRecorded(key, record);
    for (const RegistryValue& value : key.values) {
      record.data()["registryValues"].push_back(
          {{"root", ToUtf8(key.root_name)},
           {"path", ToUtf8(key.path)},
           {"view", ViewName(key.view)},
           {"name", ToUtf8(value.name)},
           {"previous", PreviousValue(handle.Get(), value.name)}});
      record.Save();
      const LSTATUS status = ::RegSetValueExW(handle.Get(), value.name.c_str(), 0, value.type,
                                              reinterpret_cast<const BYTE*>(value.data.data()),
                                              static_cast<DWORD>(value.data.size()));
      if (status != ERROR_SUCCESS) {
        FailStep("setting " + ToUtf8(RegistryDisplay(key)) + " " + Quoted(ToUtf8(value.name)),
                 static_cast<DWORD>(status));
      }
    }
  }
}

void ApplyFiles(const std::vector<FileEntry>& files, Record& record) {
  for (const FileEntry& file : files) {
    const std::wstring path = ExpandEnvironment(file.path);
    if (file.directory) {
      record.EnsureFolderRecorded(path);
    } else {
      record.WriteFileRecorded(path, file.content);
    }
  }
}

std::wstring ServiceCommand(const std::wstring& agent_folder) {
  return L"\"" + JoinPath(agent_folder, kServiceExe) + L"\"";
}

void InstallService(const Scenario& scenario, const InstallOptions& options, Record& record) {
  if (scenario.service.behaviour == ServiceBehaviour::NotInstalled) return;
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) FailStep("opening the service control manager", ::GetLastError());
  // Display names are unique too; another name (a test's) gets its own.
  const std::wstring display_name =
      options.service_name == kServiceName ? kServiceDisplayName : options.service_name;
  UniqueServiceHandle service(
      ::CreateServiceW(manager.Get(), options.service_name.c_str(), display_name.c_str(),
                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                       SERVICE_ERROR_NORMAL, ServiceCommand(scenario.agent_process.folder).c_str(),
                       nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_EXISTS) {
      throw ScenarioError("install: a service named " + ToUtf8(options.service_name) +
                          " exists already and was not installed by the simulated agent");
    }
    FailStep("creating the service", error);
  }
  record.data()["service"] = ToUtf8(options.service_name);
  record.Save();
  if (scenario.service.behaviour == ServiceBehaviour::Stopped) return;
  if (!::StartServiceW(service.Get(), 0, nullptr))
    FailStep("starting the service", ::GetLastError());
}

void StopAndDeleteService(const std::wstring& name, std::vector<std::string>& problems) {
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    problems.push_back("cannot open the service control manager");
    return;
  }
  UniqueServiceHandle service(::OpenServiceW(manager.Get(), name.c_str(), SERVICE_ALL_ACCESS));
  if (!service) {
    if (::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
      problems.push_back("cannot open the service");
    return;
  }
  SERVICE_STATUS_PROCESS process{};
  DWORD needed = 0;
  ::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                         sizeof(process), &needed);
  // The process may outlive its "stopped" report for a moment; its files
  // can only go once it has ended.
  UniqueHandle service_process(
      process.dwProcessId == 0
          ? nullptr
          : ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.dwProcessId));
  SERVICE_STATUS status{};
  ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
  if (service_process && ::WaitForSingleObject(service_process.Get(), 10000) != WAIT_OBJECT_0) {
    // A service that ignores the stop request is ended the hard way.
    ::TerminateProcess(service_process.Get(), 1);
    ::WaitForSingleObject(service_process.Get(), 5000);
  }
  if (!::DeleteService(service.Get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    problems.push_back("cannot delete the service (error " + std::to_string(::GetLastError()) +
                       ")");
  }
}

void RestoreRegistryValues(const json& values, std::vector<std::string>& problems) {
  for (auto it = values.rbegin(); it != values.rend(); ++it) {
    const json& value = *it;
    const std::wstring path = FromUtf8(value["path"].get<std::string>());
    const std::wstring name = FromUtf8(value["name"].get<std::string>());
    UniqueKey key;
    if (::RegOpenKeyExW(RootFromName(FromUtf8(value["root"].get<std::string>())), path.c_str(), 0,
                        KEY_SET_VALUE | ViewFlag(ViewFromName(value["view"].get<std::string>())),
                        key.Put()) != ERROR_SUCCESS) {
      continue;  // the key went with a created subtree
    }
    const json& previous = value["previous"];
    if (previous.is_null()) {
      ::RegDeleteValueW(key.Get(), name.c_str());
    } else {
      const std::string bytes = Unhex(previous["data"].get<std::string>());
      if (::RegSetValueExW(key.Get(), name.c_str(), 0, previous["type"].get<DWORD>(),
                           reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())) != ERROR_SUCCESS) {
        problems.push_back("cannot restore " + value["path"].get<std::string>());
      }
    }
  }
}

void DeleteCreatedKeys(const json& keys, std::vector<std::string>& problems) {
  for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
    const std::wstring path = FromUtf8((*it)["path"].get<std::string>());
    const std::wstring parent_path = ParentOf(path);
    const std::wstring leaf = path.substr(parent_path.empty() ? 0 : parent_path.size() + 1);
    const HKEY root = RootFromName(FromUtf8((*it)["root"].get<std::string>()));
    const REGSAM view = ViewFlag(ViewFromName((*it)["view"].get<std::string>()));
    UniqueKey parent;
    if (!parent_path.empty()) {
      if (::RegOpenKeyExW(root, parent_path.c_str(), 0, KEY_ALL_ACCESS | view, parent.Put()) !=
          ERROR_SUCCESS) {
        continue;
      }
    }
    const HKEY base = parent ? parent.Get() : root;
    UniqueKey doomed;
    if (::RegOpenKeyExW(base, leaf.c_str(), 0, KEY_ALL_ACCESS | view, doomed.Put()) !=
        ERROR_SUCCESS)
      continue;
    ::RegDeleteTreeW(doomed.Get(), nullptr);
    doomed.Reset();
    const LSTATUS status = ::RegDeleteKeyExW(base, leaf.c_str(), view, 0);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
      problems.push_back("cannot delete the key " + (*it)["path"].get<std::string>());
    }
  }
}

void RestoreFiles(const json& files, std::vector<std::string>& problems) {
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    const std::wstring path = FromUtf8((*it)["path"].get<std::string>());
    const json& previous = (*it)["previous"];
    if (previous.is_null()) {
      ::DeleteFileW(path.c_str());
    } else if (!WriteWholeFile(path, Unhex(previous.get<std::string>()))) {
      problems.push_back("cannot restore " + (*it)["path"].get<std::string>());
    }
  }
}

bool IsInFolder(const std::wstring& path, const std::wstring& folder) {
  const std::wstring prefix = JoinPath(folder, L"");
  return path.size() > prefix.size() &&
         ::CompareStringOrdinal(path.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

std::wstring ProcessImagePath(HANDLE process) {
  wchar_t buffer[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  return ::QueryFullProcessImageNameW(process, 0, buffer, &size) ? std::wstring(buffer, size)
                                                                 : std::wstring();
}

std::vector<DWORD> MainProcessIds() {
  std::vector<DWORD> ids;
  UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more;
       more = ::Process32NextW(snapshot.Get(), &entry)) {
    if (::_wcsicmp(entry.szExeFile, kMainProcessExe) == 0) ids.push_back(entry.th32ProcessID);
  }
  return ids;
}

}  // namespace

std::wstring DefaultRecordPath() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH);
  const std::wstring base =
      (length > 0 && length < MAX_PATH) ? std::wstring(buffer, length) : L"C:\\ProgramData";
  return JoinPath(JoinPath(base, L"Quillmark SimAgent"), L"installation.json");
}

bool StartMainProcess(const std::wstring& agent_folder, const std::wstring& image_name) {
  std::wstring command = L"\"" + JoinPath(agent_folder, image_name) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        agent_folder.c_str(), &startup, &process)) {
    return false;
  }
  UniqueHandle owned_process(process.hProcess);
  UniqueHandle owned_thread(process.hThread);
  return true;
}

void StopMainProcesses(const std::wstring& agent_folder) {
  for (DWORD id : MainProcessIds()) {
    UniqueHandle process(::OpenProcess(
        SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!process || !IsInFolder(ProcessImagePath(process.Get()), agent_folder)) continue;
    const std::wstring name = kMainProcessStopEventPrefix + std::to_wstring(id);
    UniqueHandle stop(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    if (stop) ::SetEvent(stop.Get());
    if (::WaitForSingleObject(process.Get(), 5000) != WAIT_OBJECT_0) {
      ::TerminateProcess(process.Get(), 1);
      ::WaitForSingleObject(process.Get(), 5000);
    }
  }
}

void Install(const Scenario& scenario, const InstallOptions& options) {
  for (const std::string& problem : Remove(options.record_path)) {
    throw ScenarioError("install: the earlier installation could not be removed: " + problem);
  }
  Record record(options.record_path);
  const std::wstring& agent_folder = scenario.agent_process.folder;
  const AgentProcessScenario& agent = scenario.agent_process;
  record.data()["agentFolder"] = ToUtf8(agent_folder);
  record.data()["mainProcessImage"] = ToUtf8(agent.image_name);
  record.data()["otherMainFolders"] = json::array();
  for (const std::wstring& other : agent.other_folders)
    record.data()["otherMainFolders"].push_back(ToUtf8(other));
  record.data()["scenarioName"] = scenario.name;
  record.Save();

  record.EnsureFolderRecorded(agent_folder);
  CopyPayload(options.payload_folder, agent, record);
  std::string scenario_bytes;
  if (!ReadWholeFile(options.scenario_bytes_path, scenario_bytes)) {
    throw ScenarioError("install: cannot read " + ToUtf8(options.scenario_bytes_path));
  }
  record.EnsureFolderRecorded(SimFolderOf(agent_folder));
  const std::string first_run = RecordRuns(scenario, scenario_bytes, record);
  record.WriteFileRecorded(JoinPath(SimFolderOf(agent_folder), L"scenario.json"), first_run);
  ApplyRegistry(scenario.registry, record);
  ApplyFiles(scenario.files, record);
  InstallService(scenario, options, record);
  if (options.start_main_process && agent.running) StartMainProcesses(agent);
}

void StartMainProcesses(const AgentProcessScenario& agent) {
  for (unsigned i = 0; i < agent.instances; ++i) {
    if (!StartMainProcess(agent.folder, agent.image_name)) {
      FailStep("starting the main process stand-in", ::GetLastError());
    }
  }
  for (const std::wstring& other : agent.other_folders) {
    if (!StartMainProcess(other, agent.image_name)) {
      FailStep("starting the main process stand-in in " + ToUtf8(other), ::GetLastError());
    }
  }
}

std::vector<std::string> Remove(const std::wstring& record_path) {
  std::vector<std::string> problems;
  std::string bytes;
  if (!FileExists(record_path)) return problems;
  json record;
  try {
    if (!ReadWholeFile(record_path, bytes)) throw std::runtime_error("unreadable");
    record = json::parse(bytes);
  } catch (const std::exception&) {
    problems.push_back("the install record " + ToUtf8(record_path) + " is unreadable");
    return problems;
  }
  if (record.contains("agentFolder") && record["agentFolder"].is_string()) {
    StopMainProcesses(FromUtf8(record["agentFolder"].get<std::string>()));
  }
  for (const json& other : record.value("otherMainFolders", json::array())) {
    if (other.is_string()) StopMainProcesses(FromUtf8(other.get<std::string>()));
  }
  if (record.contains("service") && record["service"].is_string()) {
    StopAndDeleteService(FromUtf8(record["service"].get<std::string>()), problems);
  }
  RestoreFiles(record["files"], problems);
  RestoreRegistryValues(record["registryValues"], problems);
  DeleteCreatedKeys(record["registryKeys"], problems);
  const json& folders = record["createdFolders"];
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    const std::wstring folder = FromUtf8(it->get<std::string>());
    if (!DeleteFolderTree(folder))
      problems.push_back("cannot delete the folder " + it->get<std::string>());
  }
  if (problems.empty()) {
    ::DeleteFileW(record_path.c_str());
    ::RemoveDirectoryW(ParentOf(record_path).c_str());  // only when empty
  }
  return problems;
}

}  // namespace qm::sim
