// Installation and removal against the real registry, file system and
// service control manager of the test prefix. A removal that left anything
// behind would change what later tests and runs find without failing them.
// The service and main processes installed show in every end-to-end run; a
// main process left behind would send a later run's markers elsewhere.

#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "common/scenario.h"
#include "common/scratch_folder.h"
#include "common/sim_files.h"
#include "common/sim_text.h"
#include "simagent/installer.h"
#include "support/unique_resource.h"

namespace qm::sim {
namespace {

constexpr wchar_t kTestService[] = L"QmSimAgentTestService";
constexpr wchar_t kTestKey[] = L"Software\\QmSimAgentTest";

std::string JsonText(const std::wstring& text) { return nlohmann::json(ToUtf8(text)).dump(); }

// Registry values (per view), and files as their content, "(folder)" or "".
using Snapshot = std::map<std::wstring, std::string>;

void AddKeys(REGSAM view, const std::wstring& path, Snapshot& snapshot) {
  UniqueKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.Put()) !=
      ERROR_SUCCESS)
    return;
  const std::wstring prefix = (view == KEY_WOW64_64KEY ? L"64:" : L"32:") + path;
  snapshot[prefix] = "(key)";
  wchar_t name[256];
  BYTE data[1024];
  for (DWORD index = 0, length = 256, size = sizeof data, type = 0;
       ::RegEnumValueW(key.Get(), index, name, &length, nullptr, &type, data, &size) ==
       ERROR_SUCCESS;
       ++index, length = 256, size = sizeof data) {
    snapshot[prefix + L"|" + name] =
        std::to_string(type) + ":" + std::string(reinterpret_cast<char*>(data), size);
  }
  for (DWORD index = 0; ::RegEnumKeyW(key.Get(), index, name, 256) == ERROR_SUCCESS; ++index) {
    AddKeys(view, path + L"\\" + name, snapshot);
  }
}

Snapshot MachineState(const testing::ScratchFolder& folder) {
  Snapshot snapshot;
  AddKeys(KEY_WOW64_32KEY, kTestKey, snapshot);
  AddKeys(KEY_WOW64_64KEY, kTestKey, snapshot);
  for (const wchar_t* file : {L"Agent", L"Other", L"Files\\kept.txt", L"Files\\New", L"record"}) {
    const std::wstring path = folder.File(file);
    snapshot[path] = FileExists(path)     ? testing::ReadFileText(path)
                     : FolderExists(path) ? "(folder)"
                                          : "";
  }
  return snapshot;
}

TEST(Installer, RemovalRestoresTheRegistryFilesServiceAndProcesses) {
  testing::ScratchFolder folder;
  {
    UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0,
                                KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.Put(), nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExW(key.Get(), L"Kept", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"old"), 8);
  }
  folder.Write(L"Files\\kept.txt", "before");
  const Snapshot before = MachineState(folder);
  const std::string scenario = R"({"agentProcess": {"folder": )" + JsonText(folder.File(L"Agent")) +
                               R"(,
      "imageName": "Koramain.exe", "instances": 2, "otherFolders": [)" +
                               JsonText(folder.File(L"Other")) + R"(]},
    "registry": [
      {"key": "HKLM\\Software\\QmSimAgentTest", "values": {"Kept": "new", "Added": 5}},
      {"key": "HKLM\\Software\\QmSimAgentTest\\Deep\\Er", "values": {"Path": "${agentFolder}\\"}},
      {"key": "HKLM\\Software\\QmSimAgentTest\\Wide", "view": "64", "values": {"V": 1}}],
    "files": [{"path": )" + JsonText(folder.File(L"Files\\kept.txt")) +
                               R"(, "content": "during"},
              {"path": )" + JsonText(folder.File(L"Files\\New\\Sub\\x.exe")) +
                               R"(, "content": ""}],
    "service": {"behaviour": "running"}})";
  InstallOptions options;
  options.payload_folder = QM_SIM_BIN_FOLDER;
  options.record_path = folder.File(L"record\\installation.json");
  options.scenario_bytes_path = folder.Write(L"scenario.json", scenario);
  options.service_name = kTestService;
  // What was installed shows in every end-to-end run; only its removal is checked here.
  Install(LoadScenario(options.scenario_bytes_path), options);
  EXPECT_NE(MachineState(folder), before);
  // What a run leaves behind in the agent's folder goes with it.
  folder.Write(L"Agent\\SimAgent\\comms.jsonl", "{}\n");
  for (const std::string& problem : Remove(options.record_path))
    ADD_FAILURE() << "removal: " << problem;
  EXPECT_EQ(MachineState(folder), before);
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  EXPECT_FALSE(
      UniqueServiceHandle(::OpenServiceW(manager.Get(), kTestService, SERVICE_QUERY_STATUS)));
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestKey);
}

}  // namespace
}  // namespace qm::sim
