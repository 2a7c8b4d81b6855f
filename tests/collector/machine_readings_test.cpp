// What a collection reads from the machine itself rather than from the agent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "collector/backup_directory.h"
#include "collector/machine_os_info.h"
#include "common/registry_sandbox.h"
#include "diagnostics/trace_recorder.h"
#include "support/text.h"

namespace qm::testing {
namespace {

using ::testing::ElementsAre;
using trace::Source;

const std::wstring kNdp = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\";

struct NdpEntry {
  const wchar_t* subkey;
  std::wstring version;
  DWORD install = 1;
};

TEST(NetFramework, TheInstalledVersionIsTheGreatestByOrdinalComparison) {
  const struct {
    const char* name;
    std::vector<NdpEntry> entries;
    const wchar_t* installed;
  } rows[] = {
      // A version without Install read from its "Client" subkey is the end-to-end scenario's.
      {"Install 0 even with a client",
       {{L"v2.0.50727", L"2.0.50727.4927"}, {L"v3.0", L"3.0.1", 0}, {L"v3.0\\Client", L"9.9"}},
       L"2.0.50727.4927"},
      {"only a lower-case v names a version",
       {{L"v2.0.50727", L"2.0.50727.4927"}, {L"V9", L"9.0"}, {L"x9", L"9.1"}, {L"CDF", L"9.2"}},
       L"2.0.50727.4927"},
      {"compared as text", {{L"v4.10", L"4.10"}, {L"v4.9", L"4.9"}}, L"4.9"},
      // 130 characters and a terminator: 262 bytes, more than its buffer holds.
      {"oversized version", {{L"v1", L"1.0"}, {L"v2", std::wstring(130, L'2')}}, L"1.0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RegistrySandbox registry;
    for (const NdpEntry& entry : row.entries) {
      registry.SetDword(kNdp + entry.subkey, L"Install", entry.install, KEY_WOW64_32KEY);
      registry.SetText(kNdp + entry.subkey, L"Version", entry.version, KEY_WOW64_32KEY);
    }
    std::wstring version = L"untouched";
    EXPECT_EQ(ReadNetVersionInstalled(version), *row.installed != L'\0');
    EXPECT_EQ(version, row.installed);
  }
}

TEST(NetFramework, ReadsTheReleaseAsSignedDecimal) {
  RegistrySandbox registry;
  registry.SetDword(kNdp + L"v4\\Full", L"Release", 0xFFFFFFFF, KEY_WOW64_32KEY);
  std::wstring release;
  EXPECT_TRUE(ReadNetFrameworkRelease(release));
  EXPECT_EQ(release, L"-1");
}

std::optional<WindowsClass> Classify(DWORD platform, DWORD major, DWORD minor, BYTE product) {
  OSVERSIONINFOEXW version{};
  version.dwPlatformId = platform;
  version.dwMajorVersion = major;
  version.dwMinorVersion = minor;
  version.wProductType = product;
  return ClassifyWindows(version);
}

TEST(WindowsClassification, OnlyAWorkstationTenPointZeroIsWindows10) {
  using enum WindowsClass;
  EXPECT_EQ(Classify(2, 10, 0, VER_NT_WORKSTATION), Windows10Workstation);
  EXPECT_EQ(Classify(2, 10, 0, 0), Windows10Server);
  EXPECT_EQ(Classify(2, 10, 2, VER_NT_WORKSTATION), LaterThanWindows10);
  EXPECT_EQ(Classify(2, 11, 0, VER_NT_WORKSTATION), LaterThanWindows10);
  EXPECT_EQ(Classify(2, 10, 1, VER_NT_WORKSTATION), Other);
  EXPECT_EQ(Classify(1, 10, 0, VER_NT_WORKSTATION), Other);
  EXPECT_EQ(Classify(3, 10, 0, VER_NT_WORKSTATION), std::nullopt);
}

TEST(BackupDirectory, IsReadWholeUpToItsBufferAndOtherwiseLeftUntouched) {
  const std::wstring kServiceHost = L"Software\\Orvex Security\\Orvex Service Host";
  const std::wstring three_hundred = L"C:\\" + std::wstring(297, L'b');
  // 27 opens every reading; the second message tells how it ended.
  const struct {
    const char* name;
    const wchar_t* value_name;  // null: no key at all
    std::wstring value;
    bool configured;
    const wchar_t* directory;
    int trace;
    std::string last_arg;
  } rows[] = {
      {"no key", nullptr, L"", false, L"untouched", 28, ToAnsi(kServiceHost + L"\\")},
      {"300 characters", L"quillmark_backup", three_hundred, true, three_hundred.c_str(), 32,
       "True"},
      {"600 characters", L"quillmark_backup", std::wstring(600, L'x'), false, L"untouched", 31,
       "quillmark_backup"},
      {"empty", L"quillmark_backup", L"", false, L"", 32, "False"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RegistrySandbox registry;
    if (row.value_name != nullptr) registry.SetText(kServiceHost, row.value_name, row.value);
    trace::TraceRecorder recorder;
    std::wstring directory = L"untouched";
    EXPECT_EQ(ReadBackupDirectory(directory), row.configured);
    EXPECT_EQ(directory, row.directory);
    EXPECT_EQ(recorder.Numbers(Source::RunDriver), (std::vector{27, row.trace}));
    EXPECT_EQ(recorder.Messages().back().args.at(0).narrow, row.last_arg);
  }
}

}  // namespace
}  // namespace qm::testing
