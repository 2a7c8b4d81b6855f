#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "diagnostics/file_writer.h"
#include "diagnostics/trace_file.h"
#include "diagnostics/trace_provider.h"
#include "diagnostics/trace_recorder.h"
#include "support/unique_resource.h"

namespace qm::trace {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Optional;

constexpr wchar_t kVariable[] = L"QUILLMARK_TRACE";

std::vector<std::string> ReadLines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "Source number" of each JSON line, in order.
std::vector<std::string> Identities(const std::vector<std::string>& lines) {
  static const std::regex pattern(R"re("source":"(\w+)","number":(\d+))re");
  std::vector<std::string> identities;
  for (const auto& line : lines) {
    std::smatch match;
    identities.push_back(std::regex_search(line, match, pattern)
                             ? match[1].str() + " " + match[2].str()
                             : "unparsed: " + line);
  }
  return identities;
}

// Sets QUILLMARK_TRACE for this process (and its children) for one scope.
class ScopedTraceVariable {
 public:
  explicit ScopedTraceVariable(const std::wstring& value) {
    ::SetEnvironmentVariableW(kVariable, value.c_str());
  }
  ~ScopedTraceVariable() { ::SetEnvironmentVariableW(kVariable, nullptr); }
};

fs::path TempFile(const wchar_t* name) {
  const fs::path path = fs::path(GetTempDirectory()) /
                        (std::to_wstring(::GetCurrentProcessId()) + L"_" + name);
  std::error_code ignored;
  fs::remove(path, ignored);
  return path;
}

TEST(FileTraceSettings, ParsesLevelFlagsAndPath) {
  const auto settings = ParseFileTraceSettings(L"5,0x1F,C:\\trace\\run,1.jsonl");
  ASSERT_TRUE(settings.has_value());
  EXPECT_EQ(settings->level, 5);
  EXPECT_EQ(settings->flags, 0x1Fu);
  EXPECT_EQ(settings->path, L"C:\\trace\\run,1.jsonl");
  EXPECT_THAT(ParseFileTraceSettings(L"4,16,x"), Optional(::testing::Field(&FileTraceSettings::flags, 16u)));
  EXPECT_TRUE(ParseFileTraceSettings(L"255,0xFFFFFFFF,x").has_value());
}

TEST(FileTraceSettings, MalformedValuesAreRefused) {
  for (const wchar_t* value :
       {L"", L"4", L"4,0x10", L"4,0x10,", L",0x10,x", L"4,,x", L"x,0x10,f", L"4,0xZZ,f",
        L"256,1,f", L"4,0x100000000,f", L"4,4294967296,f", L"-1,1,f", L" 4,1,f", L"4,0x,f"}) {
    EXPECT_FALSE(ParseFileTraceSettings(value).has_value()) << fs::path(value).string();
  }
}

TEST(FileTraceController, MalformedVariableLeavesTracingOff) {
  const fs::path file = TempFile(L"malformed.jsonl");
  const ScopedTraceVariable variable(L"4;0x10;" + file.wstring());
  TraceRecorder recorder{TraceRecorder::RegisteredOnly{}};
  EXPECT_FALSE(IsEnabled(Level::Error, flags::Run));
  EXPECT_FALSE(fs::exists(file));
}

TEST(FileTraceController, UnwritablePathLosesOnlyTheTrace) {
  const ScopedTraceVariable variable(L"5,0x1F,Z:\\quillmark\\no\\such\\dir\\t.jsonl");
  TraceRecorder recorder(5, flags::Upload);
  QM_TRACE(Upload, 10, Error, Upload);
  QM_TRACE(RunDriver, 11, Info, Run);
  EXPECT_EQ(recorder.PlatformMessages().size(), 1u);
  EXPECT_FALSE(IsEnabled(Level::Info, flags::Run));
}

TEST(FileTraceController, FileAndPlatformEachGetWhatTheyEnabled) {
  const fs::path file = TempFile(L"beside.jsonl");
  {
    const ScopedTraceVariable variable(L"4,0x10," + file.wstring());
    TraceRecorder recorder(2, flags::Upload);
    QM_TRACE(RunDriver, 11, Info, Run);
    QM_TRACE(RunDriver, 30, Verbose, Run);
    QM_TRACE(Upload, 10, Error, Upload);
    QM_TRACE(Upload, 11, Info, Upload);
    ASSERT_EQ(recorder.PlatformMessages().size(), 1u);
    EXPECT_EQ(recorder.PlatformMessages()[0].guid, MessageGuidOf(Source::Upload));
    recorder.Disable();  // the platform's controller leaves; the file stays
    QM_TRACE(RunDriver, 12, Info, Run);
  }
  EXPECT_THAT(Identities(ReadLines(file)), ElementsAre("RunDriver 11", "RunDriver 12"));
  fs::remove(file);
}

TEST(FileTraceController, JsonLineCarriesArgumentsAsEncoded) {
  const Arg args[] = {Int(-5), Narrow(static_cast<const char*>(nullptr)), Wide(L""),
                      Wide(static_cast<const wchar_t*>(nullptr)), AnsiOf(L"a\"\\\n\u00e9")};
  const Message message{Source::DataFile, 22, Level::Error, flags::DataFile, args};
  SYSTEMTIME time{};
  time.wYear = 2024;
  time.wMonth = 3;
  time.wDay = 9;
  time.wHour = 7;
  time.wMinute = 5;
  time.wSecond = 4;
  time.wMilliseconds = 21;
  EXPECT_EQ(JsonLineOf(message, time),
            "{\"time\":\"2024-03-09T07:05:04.021Z\","
            "\"guid\":\"{06bd9993-2052-4464-e7c9-af1eac4f11b3}\",\"source\":\"DataFile\","
            "\"number\":22,\"level\":2,\"flag\":4,\"args\":["
            "{\"kind\":\"Int\",\"value\":-5,\"bytes\":4},"
            "{\"kind\":\"Narrow\",\"value\":\"NULL\",\"bytes\":5},"
            "{\"kind\":\"Wide\",\"value\":\"<NULL>\",\"bytes\":14},"
            "{\"kind\":\"Wide\",\"value\":\"NULL\",\"bytes\":10},"
            "{\"kind\":\"Narrow\",\"value\":\"a\\\"\\\\\\n\xC3\xA9\",\"bytes\":6}]}\n");
}

// The probe program traces a fixed set of messages under QUILLMARK_TRACE.
DWORD RunProbe(const std::wstring& variable) {
  wchar_t own[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, own, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 999;
  std::wstring command = L"\"" + (fs::path(own).parent_path() / L"trace_probe.exe").wstring() + L"\"";

  const ScopedTraceVariable scoped(variable);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
    return 998;
  }
  const UniqueHandle process(info.hProcess);
  const UniqueHandle thread(info.hThread);
  ::WaitForSingleObject(process.Get(), 60000);
  DWORD code = 997;
  ::GetExitCodeProcess(process.Get(), &code);
  return code;
}

TEST(FileTraceController, ProcessWritesExactlyTheMessagesThatPass) {
  const fs::path file = TempFile(L"probe.jsonl");
  ASSERT_EQ(RunProbe(L"4,0x10," + file.wstring()), 0u);
  const auto lines = ReadLines(file);
  EXPECT_THAT(Identities(lines), ElementsAre("RunDriver 11", "RunDriver 18", "ServiceControl 13",
                                             "Tracking 12", "RunDriver 20"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_THAT(lines[3], ::testing::HasSubstr(
                            "\"args\":[{\"kind\":\"Wide\",\"value\":\"<NULL>\",\"bytes\":14},"
                            "{\"kind\":\"Wide\",\"value\":\"NULL\",\"bytes\":10},"
                            "{\"kind\":\"Wide\",\"value\":\"caf\xC3\xA9\",\"bytes\":10}]"));

  // A second run appends.
  ASSERT_EQ(RunProbe(L"2,0x10," + file.wstring()), 0u);
  EXPECT_EQ(ReadLines(file).size(), 6u);
  fs::remove(file);
}

TEST(FileTraceController, ProcessWithMalformedOrUnwritableSettingsRunsWithoutTrace) {
  const fs::path file = TempFile(L"probe_bad.jsonl");
  EXPECT_EQ(RunProbe(L"4,0xG0," + file.wstring()), 0u);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(RunProbe(L"4,0x10,Z:\\quillmark\\no\\such\\dir\\t.jsonl"), 0u);
}

}  // namespace
}  // namespace qm::trace
