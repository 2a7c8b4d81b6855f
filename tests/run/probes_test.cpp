// The probes a run makes before it opens the SDK.
#include "run/probes.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/registry_sandbox.h"
#include "profile/process_texts.h"
#include "resources/version.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

bool TestModeIn(std::vector<const wchar_t*> arguments) {
  return IsTestModeRequested(static_cast<int>(arguments.size()), arguments.data());
}

TEST(TestModeSwitch, IsRecognisedInAnyLetterCaseAndWithTrailingCharacters) {
  EXPECT_TRUE(TestModeIn({L"quillmark.exe", L"/TestMode"}));
  EXPECT_TRUE(TestModeIn({L"quillmark.exe", L"/TESTMODE"}));
  EXPECT_TRUE(TestModeIn({L"quillmark.exe", L"-TRACKING", L"/testmodeX"}));
  EXPECT_TRUE(TestModeIn({L"/TestMode\\quillmark.exe"}));  // the program path counts too
}

TEST(TestModeSwitch, IsNotRecognisedWithoutItsSlashOrWhenShortened) {
  EXPECT_FALSE(TestModeIn({L"quillmark.exe", L"TestMode"}));
  EXPECT_FALSE(TestModeIn({L"quillmark.exe", L"/Test"}));
  EXPECT_FALSE(TestModeIn({L"quillmark.exe", L"/TestMod"}));
  EXPECT_FALSE(TestModeIn({L"quillmark.exe"}));
  EXPECT_FALSE(IsTestModeRequested(0, nullptr));
}

// A copy of a waiting process under a lower-case image name of its own.
class StandInProcess {
 public:
  explicit StandInProcess(const fs::path& executable) {
    const char* sleeper = std::getenv("QM_PROBE_SLEEPER");
    if (sleeper == nullptr) return;
    fs::create_directories(executable.parent_path());
    fs::copy_file(sleeper, executable, fs::copy_options::overwrite_existing);
    std::wstring command = L"\"" + executable.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(executable.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                         nullptr, &startup, &info)) {
      process_.Reset(info.hProcess);
      UniqueHandle thread(info.hThread);
    }
  }
  ~StandInProcess() {
    if (!process_) return;
    ::TerminateProcess(process_.Get(), 0);
    ::WaitForSingleObject(process_.Get(), 5000);
  }
  [[nodiscard]] bool IsRunning() const { return process_.IsValid(); }

 private:
  UniqueHandle process_;
};

class AgentProcessProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    std::array<wchar_t, MAX_PATH> current{};
    ::GetCurrentDirectoryW(MAX_PATH, current.data());
    start_directory_ = current.data();
    tag_ = std::to_wstring(::GetCurrentProcessId());
    folder_ = fs::temp_directory_path() / (L"qm_probe_" + tag_);
  }
  void TearDown() override {
    ::SetCurrentDirectoryW(start_directory_.c_str());
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  std::wstring CurrentDirectory() const {
    std::array<wchar_t, MAX_PATH> current{};
    ::GetCurrentDirectoryW(MAX_PATH, current.data());
    return current.data();
  }

  std::wstring start_directory_;
  std::wstring tag_;
  fs::path folder_;
};

TEST_F(AgentProcessProbe, ProcessWithALowerCaseImageNameIsFoundAndItsFolderBecomesCurrent) {
  StandInProcess agent(folder_ / (L"qmprobeagent" + tag_ + L".exe"));
  ASSERT_TRUE(agent.IsRunning()) << "QM_PROBE_SLEEPER missing or not started";
  EXPECT_TRUE(FindProcessAndEnterItsFolder(L"QMPROBEAGENT" + tag_ + L".EXE"));
  // The system reports the directory without the separator the probe set it with.
  const std::wstring expected = folder_.wstring();
  EXPECT_EQ(::CompareStringOrdinal(CurrentDirectory().c_str(), -1, expected.c_str(), -1, TRUE),
            CSTR_EQUAL)
      << "current directory " << ::testing::PrintToString(CurrentDirectory()) << " is not "
      << ::testing::PrintToString(expected);
  EXPECT_EQ(expected.substr(1, 2), L":\\");  // written with its drive letter
}

TEST_F(AgentProcessProbe, MissingProcessLeavesTheCurrentDirectoryAlone) {
  EXPECT_FALSE(FindProcessAndEnterItsFolder(L"QMNOSUCHPROCESS" + tag_ + L".EXE"));
  EXPECT_EQ(CurrentDirectory(), start_directory_);
}

constexpr wchar_t kUidsKey[] = L"SOFTWARE\\Orvex Software\\Setup\\UIDS";

class InstallUidProbe : public ::testing::Test {
 protected:
  void SetUp() override { InstallUid.clear(); }
  void TearDown() override { InstallUid.clear(); }
  testing::RegistrySandbox sandbox_;
};

TEST_F(InstallUidProbe, ValueOfTwoHundredCharactersIsReadWhole) {
  const std::wstring uid(200, L'7');
  sandbox_.SetText(kUidsKey, L"InstUID", uid);
  ReadInstallUid();
  EXPECT_EQ(InstallUid, uid);
}

TEST_F(InstallUidProbe, ValueOfAnyTypeIsReadAsText) {
  sandbox_.Set(kUidsKey, L"InstUID", REG_BINARY, L"AB12", sizeof(L"AB12"));
  ReadInstallUid();
  EXPECT_EQ(InstallUid, L"AB12");
}

TEST_F(InstallUidProbe, MissingKeyOrValueOrOversizedValueLeavesTheTextEmpty) {
  ReadInstallUid();
  EXPECT_TRUE(InstallUid.empty());
  sandbox_.SetText(kUidsKey, L"Other", L"x");
  ReadInstallUid();
  EXPECT_TRUE(InstallUid.empty());
  sandbox_.SetText(kUidsKey, L"InstUID", std::wstring(300, L'9'));
  ReadInstallUid();
  EXPECT_TRUE(InstallUid.empty());
}

TEST(OwnFileVersion, IsTheFileVersionTextOfTheProgramsVersionResource) {
  std::wstring version;
  ASSERT_TRUE(ReadOwnFileVersion(version));
  const std::string expected = QM_VERSION_TEXT;
  EXPECT_EQ(version, std::wstring(expected.begin(), expected.end()));
}

TEST(OwnFileVersion, QueryPathWritesLanguageAndCodePageInLowerCaseHexadecimal) {
  EXPECT_EQ(StringFileInfoPath(0x0C0A, 0x04E4, L"FileVersion"),
            L"\\StringFileInfo\\0c0a04e4\\FileVersion");
  EXPECT_EQ(StringFileInfoPath(0x0409, 0x04B0, L"FileVersion"),
            L"\\StringFileInfo\\040904b0\\FileVersion");
}

TEST(EnvironmentVariable, IsReadWhenSetAndRefusedWhenUnsetEmptyOrTooLong) {
  std::array<wchar_t, 8> buffer{};
  ::SetEnvironmentVariableW(L"QM_PROBE_VALUE", L"abc");
  EXPECT_TRUE(ReadEnvironmentVariable(L"QM_PROBE_VALUE", buffer.data(), buffer.size()));
  EXPECT_STREQ(buffer.data(), L"abc");

  ::SetEnvironmentVariableW(L"QM_PROBE_VALUE", L"1234567");  // fills the buffer with its terminator
  EXPECT_TRUE(ReadEnvironmentVariable(L"QM_PROBE_VALUE", buffer.data(), buffer.size()));
  ::SetEnvironmentVariableW(L"QM_PROBE_VALUE", L"12345678");
  EXPECT_FALSE(ReadEnvironmentVariable(L"QM_PROBE_VALUE", buffer.data(), buffer.size()));
  EXPECT_EQ(buffer[0], L'\0');

  ::SetEnvironmentVariableW(L"QM_PROBE_VALUE", L"");
  EXPECT_FALSE(ReadEnvironmentVariable(L"QM_PROBE_VALUE", buffer.data(), buffer.size()));
  ::SetEnvironmentVariableW(L"QM_PROBE_VALUE", nullptr);
  EXPECT_FALSE(ReadEnvironmentVariable(L"QM_PROBE_VALUE", buffer.data(), buffer.size()));
}

}  // namespace
}  // namespace qm
