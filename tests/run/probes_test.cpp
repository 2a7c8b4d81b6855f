// The probes a run makes before it opens the SDK.
#include "run/probes.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/registry_sandbox.h"
#include "common/scratch_folder.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

TEST(TestModeSwitch, IsAnyArgumentStartingWithSlashTestModeInAnyLetterCase) {
  const std::pair<std::vector<const wchar_t*>, bool> rows[] = {
      {{L"quillmark.exe", L"-TRACKING", L"/testmodeX"}, true},
      {{L"/TestMode\\quillmark.exe"}, true},  // the program path counts too
      {{L"quillmark.exe", L"/TestMod"}, false},
  };
  for (const auto& [arguments, requested] : rows) {
    EXPECT_EQ(IsTestModeRequested(static_cast<int>(arguments.size()), arguments.data()), requested)
        << ::testing::PrintToString(arguments.back());
  }
}

// The folder it enters shows in the early-stop run, whose markers land in the
// agent's folder.
TEST(AgentProcessProbe, FindsAProcessByItsImageNameInAnyLetterCase) {
  testing::ScratchFolder folder;
  const std::filesystem::path start = std::filesystem::current_path();
  const std::wstring tag = std::to_wstring(::GetCurrentProcessId());
  const std::wstring searched = L"QMPROBEAGENT" + tag + L".EXE";
  EXPECT_FALSE(FindProcessAndEnterItsFolder(searched));
  EXPECT_EQ(std::filesystem::current_path(), start);

  // A copy of this program, held suspended, under a lower-case image name of its own.
  wchar_t own[MAX_PATH] = {};
  const std::filesystem::path executable = folder.Path() / (L"qmprobeagent" + tag + L".exe");
  std::filesystem::copy_file(std::wstring(own, ::GetModuleFileNameW(nullptr, own, MAX_PATH)),
                             executable);
  std::wstring command = L"\"" + executable.wstring() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(::CreateProcessW(executable.c_str(), command.data(), nullptr, nullptr, FALSE,
                               CREATE_SUSPENDED, nullptr, nullptr, &startup, &info));
  const UniqueHandle process(info.hProcess), thread(info.hThread);
  EXPECT_TRUE(FindProcessAndEnterItsFolder(searched));
  std::filesystem::current_path(start);
  ::TerminateProcess(process.Get(), 0);
  ::WaitForSingleObject(process.Get(), 5000);
}

TEST(InstallUidProbe, IsAValueOfAnyTypeReadAsTextOfAtMostTwoHundredCharacters) {
  testing::RegistrySandbox sandbox;
  const std::wstring two_hundred(200, L'7');
  const struct {
    const wchar_t* name;  // null: no key at all
    DWORD type;
    std::wstring value;
    std::wstring read;
  } rows[] = {
      {nullptr, REG_SZ, L"", L""},
      {L"InstUID", REG_SZ, two_hundred, two_hundred},
      {L"InstUID", REG_BINARY, L"AB12", L"AB12"},
      {L"InstUID", REG_SZ, std::wstring(300, L'9'), L""},
  };
  for (const auto& row : rows) {
    if (row.name != nullptr) {
      sandbox.Set(L"SOFTWARE\\Orvex Software\\Setup\\UIDS", row.name, row.type, row.value.c_str(),
                  static_cast<DWORD>((row.value.size() + 1) * sizeof(wchar_t)));
    }
    std::wstring install_uid;
    ReadInstallUid(install_uid);
    EXPECT_EQ(install_uid, row.read) << ::testing::PrintToString(row.value.substr(0, 8));
  }
}

}  // namespace
}  // namespace qm
