#include "diagnostics/trace_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "diagnostics/file_writer.h"
#include "diagnostics/trace_provider.h"
#include "diagnostics/trace_recorder.h"

// Refuses every allocation of this test binary while set (the runtime's
// delete frees with free()).
bool g_refuse_memory = false;

void* operator new(std::size_t size) {
  void* block = g_refuse_memory ? nullptr : std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

namespace qm::trace {
namespace {

namespace fs = std::filesystem;

// Sets QUILLMARK_TRACE for one scope.
class ScopedTraceVariable {
 public:
  explicit ScopedTraceVariable(const std::wstring& value) {
    ::SetEnvironmentVariableW(L"QUILLMARK_TRACE", value.c_str());
  }
  ~ScopedTraceVariable() { ::SetEnvironmentVariableW(L"QUILLMARK_TRACE", nullptr); }
};

// "Source number" of each JSON line of `path`, in order.
std::vector<std::string> Identities(const fs::path& path) {
  static const std::regex pattern(R"re("source":"(\w+)","number":(\d+))re");
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> identities;
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    identities.push_back(std::regex_search(line, match, pattern)
                             ? match[1].str() + " " + match[2].str()
                             : "unparsed: " + line);
  }
  return identities;
}

TEST(FileTraceSettings, TakesLevelFlagsAndPathAndRefusesAnythingElse) {
  const auto settings = ParseFileTraceSettings(L"5,0x1F,C:\\trace\\run,1.jsonl");
  ASSERT_TRUE(settings.has_value());
  EXPECT_EQ(settings->level, 5);
  EXPECT_EQ(settings->flags, 0x1Fu);
  EXPECT_EQ(settings->path, L"C:\\trace\\run,1.jsonl");
  EXPECT_EQ(ParseFileTraceSettings(L"4,16,x").value().flags, 16u);
  EXPECT_TRUE(ParseFileTraceSettings(L"255,0xFFFFFFFF,x").has_value());

  for (const wchar_t* value : {L"", L"4,0x10", L"4,0x10,", L",0x10,x", L"4,0xZZ,f", L"256,1,f",
                               L"4,0x100000000,f", L"-1,1,f"}) {
    EXPECT_FALSE(ParseFileTraceSettings(value).has_value()) << fs::path(value).string();
  }
}

TEST(FileTraceController, UnwritablePathLosesOnlyTheTrace) {
  const ScopedTraceVariable variable(L"5,0x1F,Z:\\quillmark\\no\\such\\dir\\t.jsonl");
  TraceRecorder recorder(5, flags::Upload);
  QM_TRACE(Upload, 10, Error, Upload);
  QM_TRACE(RunDriver, 11, Info, Run);
  EXPECT_EQ(recorder.platform_messages.size(), 1u);
  EXPECT_FALSE(IsEnabled(Level::Info, flags::Run));
}

TEST(FileTraceController, NoMemoryAtRegistrationLeavesTracingOff) {
  const ScopedTraceVariable variable(L"5,0x1F," + GetTempDirectory() + L"nomemory.jsonl");
  g_refuse_memory = true;
  RegisterTraceProvider();
  g_refuse_memory = false;
  EXPECT_FALSE(IsEnabled(Level::Error, flags::Run));
  UnregisterTraceProvider();
}

TEST(FileTraceController, FileAndPlatformEachGetWhatTheyEnabled) {
  const fs::path file =
      fs::path(GetTempDirectory()) / (std::to_wstring(::GetCurrentProcessId()) + L"_beside.jsonl");
  fs::remove(file);
  {
    const ScopedTraceVariable variable(L"4,0x10," + file.wstring());
    TraceRecorder recorder(2, flags::Upload);
    QM_TRACE(RunDriver, 11, Info, Run);
    QM_TRACE(RunDriver, 30, Verbose, Run);
    QM_TRACE(Upload, 10, Error, Upload);
    QM_TRACE(Upload, 11, Info, Upload);
    ASSERT_EQ(recorder.platform_messages.size(), 1u);
    EXPECT_EQ(recorder.platform_messages[0].guid, MessageGuidOf(Source::Upload));
    recorder.Disable();  // the platform's controller leaves; the file stays
    QM_TRACE(RunDriver, 12, Info, Run);
  }
  EXPECT_THAT(Identities(file), ::testing::ElementsAre("RunDriver 11", "RunDriver 12"));
  fs::remove(file);
}

TEST(FileTraceController, JsonLineCarriesArgumentsAsEncoded) {
  const Arg args[] = {Int(-5), Narrow(static_cast<const char*>(nullptr)), Wide(L""),
                      Wide(static_cast<const wchar_t*>(nullptr)), AnsiOf(L"a\"\\\n\u00e9")};
  const Message message{Source::DataFile, 22, Level::Error, flags::DataFile, args};
  const SYSTEMTIME time{2024, 3, 6, 9, 7, 5, 4, 21};
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

}  // namespace
}  // namespace qm::trace
