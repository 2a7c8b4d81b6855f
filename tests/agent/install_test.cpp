// Installation and removal against the real registry, file system and
// service control manager of the test prefix.

#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <map>
#include <string>

#include "agent_test_support.h"
#include <nlohmann/json.hpp>

#include "common/scenario.h"
#include "common/sim_files.h"
#include "common/sim_text.h"
#include "simagent/installer.h"
#include "support/unique_resource.h"

namespace qm::sim {
namespace {

constexpr wchar_t kTestService[] = L"QmSimAgentTestService";
constexpr wchar_t kTestKey[] = L"Software\\QmSimAgentTest";

// Installs `scenario_text` (with the agent folder inside `folder`) and
// removes it again when it goes.
class Installation {
 public:
  Installation(const testing::ScratchFolder& folder, std::string scenario_text) : folder_(folder) {
    options_.payload_folder = testing::BinFolder();
    options_.record_path = folder.File(L"record\\installation.json");
    options_.scenario_bytes_path = folder.Write(L"scenario.json", scenario_text);
    options_.service_name = kTestService;
    Install(LoadScenario(options_.scenario_bytes_path), options_);
  }
  ~Installation() {
    for (const std::string& problem : Remove()) ADD_FAILURE() << "removal: " << problem;
  }

  std::vector<std::string> Remove() { return qm::sim::Remove(options_.record_path); }
  [[nodiscard]] const InstallOptions& Options() const { return options_; }

 private:
  const testing::ScratchFolder& folder_;
  InstallOptions options_;
};

// A JSON string holding `text`.
std::string JsonText(const std::wstring& text) { return nlohmann::json(ToUtf8(text)).dump(); }

std::string ScenarioWithService(const testing::ScratchFolder& folder, const std::string& service) {
  return R"({"agentProcess": {"running": false, "folder": )" + JsonText(folder.File(L"Agent")) + R"(},
             "service": )" + service + "}";
}

// Polls the manager until the service reports `state` (or 10 s pass).
DWORD WaitForState(DWORD state) {
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(::OpenServiceW(manager.Get(), kTestService, SERVICE_QUERY_STATUS));
  if (!service) return 0;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed)) {
      return 0;
    }
    if (status.dwCurrentState == state) break;
    ::Sleep(100);
  }
  return status.dwCurrentState;
}

DWORD OpenServiceError() {
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(::OpenServiceW(manager.Get(), kTestService, SERVICE_QUERY_STATUS));
  return service ? 0 : ::GetLastError();
}

TEST(ServiceStandIn, EachBehaviourIsObservableThroughTheManager) {
  struct Case {
    const char* service;
    DWORD state;
  };
  const Case cases[] = {
      {R"({"behaviour": "running"})", SERVICE_RUNNING},
      {R"({"behaviour": "paused"})", SERVICE_PAUSED},
      {R"({"behaviour": "stopped"})", SERVICE_STOPPED},
      {R"({"behaviour": "startPending"})", SERVICE_START_PENDING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.service);
    testing::ScratchFolder folder;
    Installation installation(folder, ScenarioWithService(folder, c.service));
    EXPECT_EQ(WaitForState(c.state), c.state);
    if (c.state == SERVICE_START_PENDING) {
      ::Sleep(1500);
      EXPECT_EQ(WaitForState(c.state), c.state);
    }
  }
  testing::ScratchFolder folder;
  {
    Installation installation(folder, ScenarioWithService(folder, R"({"behaviour": "notInstalled"})"));
    EXPECT_EQ(OpenServiceError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  }
  EXPECT_EQ(OpenServiceError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST(ServiceStandIn, StartsLaterReportsStartPendingThenRunning) {
  testing::ScratchFolder folder;
  Installation installation(folder,
                            ScenarioWithService(folder, R"({"behaviour": "startsLater", "startDelaySeconds": 2})"));
  EXPECT_EQ(WaitForState(SERVICE_START_PENDING), static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(WaitForState(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
}

using Snapshot = std::map<std::wstring, std::wstring>;

// Every key and value below `path` in one view, as comparable text.
void TakeSnapshot(HKEY parent, const std::wstring& path, REGSAM view, Snapshot& snapshot) {
  UniqueKey key;
  if (::RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | view, key.Put()) != ERROR_SUCCESS) return;
  snapshot[path] = L"(key)";
  for (DWORD index = 0;; ++index) {
    wchar_t name[256] = {};
    DWORD name_length = 256;
    BYTE data[1024] = {};
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (::RegEnumValueW(key.Get(), index, name, &name_length, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    snapshot[path + L"|" + name] = std::to_wstring(type) + L":" + FromUtf8(std::string(reinterpret_cast<char*>(data), size).c_str());
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[256] = {};
    if (::RegEnumKeyW(key.Get(), index, name, 256) != ERROR_SUCCESS) break;
    TakeSnapshot(parent, path + L"\\" + name, view, snapshot);
  }
}

Snapshot MachineState(const testing::ScratchFolder& folder) {
  Snapshot snapshot;
  TakeSnapshot(HKEY_LOCAL_MACHINE, kTestKey, KEY_WOW64_32KEY, snapshot);
  Snapshot view64;
  TakeSnapshot(HKEY_LOCAL_MACHINE, kTestKey, KEY_WOW64_64KEY, view64);
  for (const auto& [name, value] : view64) snapshot[L"64:" + name] = value;
  for (const wchar_t* file : {L"Agent", L"Files\\kept.txt", L"Files\\New", L"record"}) {
    const std::wstring path = folder.File(file);
    snapshot[path] = FileExists(path) ? FromUtf8(testing::ReadFileText(path)) : FolderExists(path) ? L"(folder)" : L"";
  }
  return snapshot;
}

bool MainProcessRunsFrom(const std::wstring& folder) {
  const std::wstring expected = JoinPath(folder, L"KORAMAIN.EXE");
  UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
    if (::_wcsicmp(entry.szExeFile, L"KORAMAIN.EXE") != 0) continue;
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (process && ::QueryFullProcessImageNameW(process.Get(), 0, path, &size) &&
        expected.compare(0, std::wstring::npos, path, size) == 0) {
      return true;
    }
  }
  return false;
}

TEST(Installer, RemovalRestoresTheRegistryFilesServiceAndProcesses) {
  testing::ScratchFolder folder;
  {
    UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                                nullptr, key.Put(), nullptr),
              ERROR_SUCCESS);
    const wchar_t old_text[] = L"old";
    ::RegSetValueExW(key.Get(), L"Kept", 0, REG_SZ, reinterpret_cast<const BYTE*>(old_text), sizeof(old_text));
  }
  folder.Write(L"Files\\kept.txt", "before");
  const Snapshot before = MachineState(folder);
  std::string scenario = R"({"agentProcess": {"folder": )" + JsonText(folder.File(L"Agent")) + R"(},
    "registry": [
      {"key": "HKLM\\Software\\QmSimAgentTest", "values": {"Kept": "new", "Added": 5}},
      {"key": "HKLM\\Software\\QmSimAgentTest\\Deep\\Er", "values": {"Path": "${agentFolder}\\"}},
      {"key": "HKLM\\Software\\QmSimAgentTest\\Wide", "view": "64", "values": {"V": 1}}],
    "files": [{"path": )" + JsonText(folder.File(L"Files\\kept.txt")) + R"(, "content": "during"},
              {"path": )" + JsonText(folder.File(L"Files\\New\\Sub\\x.exe")) + R"(, "content": ""}],
    "service": {"behaviour": "running"}})";
  {
    Installation installation(folder, scenario);
    EXPECT_NE(MachineState(folder), before);
    EXPECT_EQ(testing::ReadFileText(folder.File(L"Files\\kept.txt")), "during");
    EXPECT_TRUE(FileExists(folder.File(L"Files\\New\\Sub\\x.exe")));
    EXPECT_TRUE(FileExists(folder.File(L"Agent\\SimAgent\\scenario.json")));
    EXPECT_TRUE(FileExists(folder.File(L"Agent\\linkbridge.dll")));
    EXPECT_TRUE(MainProcessRunsFrom(folder.File(L"Agent")));
    EXPECT_EQ(WaitForState(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    UniqueKey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\QmSimAgentTest\\Deep\\Er", 0,
                              KEY_READ | KEY_WOW64_32KEY, key.Put()),
              ERROR_SUCCESS);
    // What a run leaves behind in the agent's folder goes with it.
    folder.Write(L"Agent\\SimAgent\\comms.jsonl", "{}\n");
  }
  EXPECT_EQ(MachineState(folder), before);
  EXPECT_FALSE(MainProcessRunsFrom(folder.File(L"Agent")));
  EXPECT_EQ(OpenServiceError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestKey);
}

}  // namespace
}  // namespace qm::sim
