#include "diagnostics/trace_provider.h"

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
#include "diagnostics/trace_recorder.h"
#include "diagnostics/trace_seam.h"

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
using ::testing::ElementsAre;

// A call of the platform's message entry point; the fallback's events show
// how its logger and arguments go out.
struct PlatformMessage {
  ULONG flags;
  GUID guid;
  USHORT number;
};

// A classic event handed to the platform's event entry point (fallback).
struct PlatformEvent {
  TRACEHANDLE logger;
  EVENT_TRACE_HEADER header;
  std::vector<std::string> fields;  // each data field's bytes (field 0: the number)
};

std::vector<PlatformMessage> g_sent;
std::vector<PlatformEvent> g_events;
int g_unregistrations = 0;

ULONG __cdecl KeepMessage(TRACEHANDLE, ULONG flags, LPCGUID guid, USHORT number, ...) {
  g_sent.push_back({flags, *guid, number});
  return ERROR_SUCCESS;
}

ULONG WINAPI KeepEvent(TRACEHANDLE logger, PEVENT_TRACE_HEADER header) {
  PlatformEvent event{logger, *header, {}};
  const auto* fields = reinterpret_cast<const MOF_FIELD*>(header + 1);
  for (std::size_t i = 0; i < (header->Size - sizeof *header) / sizeof *fields; ++i) {
    const auto* data = reinterpret_cast<const char*>(static_cast<ULONG_PTR>(fields[i].DataPtr));
    event.fields.emplace_back(data, fields[i].Length);
  }
  g_events.push_back(std::move(event));
  return ERROR_SUCCESS;
}

ULONG WINAPI CountUnregistration(TRACEHANDLE) {
  ++g_unregistrations;
  return ERROR_SUCCESS;
}

// Gives the recorder's stand-in platform entry points that keep what they get.
void KeepPlatformCalls() {
  g_sent.clear();
  g_events.clear();
  g_unregistrations = 0;
  Platform platform = CurrentPlatform();
  platform.message = &KeepMessage;
  platform.event = &KeepEvent;
  platform.unregister = &CountUnregistration;
  (void)ReplacePlatform(platform);
}

std::string Bytes(const void* data, std::size_t size) {
  return std::string(static_cast<const char*>(data), size);
}

int g_prepared = 0;

// An argument whose preparation the tests can see.
Arg Prepared(std::int32_t value) {
  ++g_prepared;
  return Int(value);
}

// Fires one point of each flag at each level and tells which reached the
// platform, e.g. "RunDriver 10, Upload 10, prepared 2".
std::string FireOneOfEach() {
  g_sent.clear();
  g_prepared = 0;
  QM_TRACE(RunDriver, 10, Info, Run, Prepared(1));
  QM_TRACE(RunDriver, 15, Error, Run, Prepared(2));
  QM_TRACE(RunDriver, 30, Verbose, Run, Prepared(3));
  QM_TRACE(Collector, 10, Info, Collector, Prepared(4));
  QM_TRACE(Collector, 11, Error, Collector, Prepared(5));
  QM_TRACE(Upload, 10, Error, Upload, Prepared(6));
  QM_TRACE(DataFile, 10, Info, DataFile, Prepared(7));
  std::string passed;
  for (const PlatformMessage& m : g_sent) {
    for (int i = 0; i < kSourceCount; ++i) {
      if (m.guid == MessageGuidOf(Source(i))) passed += SourceName(Source(i));
    }
    passed += " " + std::to_string(m.number) + (m.flags == 0x2B ? ", " : " with other flags, ");
  }
  return passed + "prepared " + std::to_string(g_prepared);
}

// The course of a run: not yet registered, registered, enabled, changed,
// disabled, unregistered.
TEST(TraceProvider, PointsFireOnlyWhileRegisteredForTheFlagsAndUpToTheLevelEnabled) {
  QM_TRACE(RunDriver, 10, Info, Run, Prepared(1));
  EXPECT_EQ(g_prepared, 0);
  TraceRecorder recorder{TraceRecorder::RegisteredOnly{}};
  KeepPlatformCalls();
  EXPECT_EQ(FireOneOfEach(), "prepared 0");
  recorder.Enable(4, flags::Run);
  EXPECT_EQ(FireOneOfEach(), "RunDriver 10, RunDriver 15, prepared 2");
  recorder.Enable(2, flags::Run | flags::Collector);
  EXPECT_EQ(FireOneOfEach(), "RunDriver 15, Collector 11, prepared 2");

  auto* block = static_cast<ControlBlock*>(const_cast<void*>(g_control.load()));
  ULONG size = 99;  // any other request is refused and changes nothing
  EXPECT_EQ(TraceControlCallback(WMI_GET_ALL_DATA, block, &size, nullptr),
            static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(FireOneOfEach(), "RunDriver 15, Collector 11, prepared 2");
  recorder.Disable();
  EXPECT_EQ(FireOneOfEach(), "prepared 0");
  EXPECT_EQ(block->logger, 0u);

  recorder.Enable(5, 0xFF);
  UnregisterTraceProvider();
  UnregisterTraceProvider();  // a second time is harmless
  EXPECT_EQ(g_unregistrations, 1);
  EXPECT_EQ(FireOneOfEach(), "prepared 0");
}

// Without message tracing, messages go out as classic events through the
// table's event entry point.
TEST(TraceProvider, FallbackEventCarriesTheNumberThenEachArgumentOrOneBufferFromEightOn) {
  TraceRecorder recorder(5, 0xFF);
  KeepPlatformCalls();
  LoadTracingSupportFrom(L"quillmark-no-such-library.dll");
  ASSERT_EQ(CurrentPlatform().message, &FallbackTraceMessage);
  ASSERT_EQ(CurrentPlatform().message_va, &FallbackTraceMessageVa);
  const std::string fits(8191, 'a');  // 8192 bytes with the terminator
  QM_TRACE(Upload, 12, Error, Upload, trace::Int(7), trace::Narrow("abc"));
  QM_TRACE(RunDriver, 12, Info, Run, trace::Int(1), trace::Int(2), trace::Int(3), trace::Int(4),
           trace::Int(5), trace::Int(6), trace::Int(7));
  QM_TRACE(RunDriver, 11, Info, Run, trace::Int(1), trace::Int(2), trace::Int(3), trace::Int(4),
           trace::Int(5), trace::Int(6), trace::Narrow("seven"), trace::Int(8));
  QM_TRACE(RunDriver, 20, Info, Run, trace::Narrow(fits));
  QM_TRACE(RunDriver, 20, Info, Run, trace::Narrow(fits + "a"));           // 8193 bytes: dropped
  QM_TRACE(RunDriver, 19, Info, Run, trace::Narrow(fits), trace::Int(1));  // dropped
  ASSERT_EQ(g_events.size(), 4u);

  const EVENT_TRACE_HEADER& header = g_events[0].header;
  EXPECT_EQ(header.Size, 48 + 16 * 3);
  EXPECT_EQ(header.Class.Type, 0xFF);
  EXPECT_EQ(header.Class.Level, 0xFF);
  EXPECT_EQ(header.Class.Version, 0xFFFF);
  EXPECT_EQ(header.Flags, 0x1A0000u);
  EXPECT_EQ(header.GuidPtr, reinterpret_cast<ULONG_PTR>(&MessageGuidOf(Source::Upload)));
  EXPECT_NE(g_events[0].logger, 0u);
  const USHORT number = 12;
  const std::int32_t ints[] = {7, 1, 2, 3, 4, 5, 6, 8};
  EXPECT_THAT(g_events[0].fields, ElementsAre(Bytes(&number, 2), Bytes(ints, 4), Bytes("abc", 4)));
  EXPECT_EQ(g_events[1].header.Size, 48 + 16 * 8);
  EXPECT_EQ(g_events[1].fields.size(), 8u);
  EXPECT_EQ(g_events[2].header.Size, 80);
  EXPECT_THAT(
      g_events[2].fields,
      ElementsAre(::testing::_, Bytes(&ints[1], 24) + Bytes("seven", 6) + Bytes(&ints[7], 4)));
  EXPECT_EQ(g_events[3].fields[1].size(), 8192u);
}

// Sets QUILLMARK_TRACE for one scope.
class ScopedTraceVariable {
 public:
  explicit ScopedTraceVariable(const std::wstring& value) {
    ::SetEnvironmentVariableW(L"QUILLMARK_TRACE", value.c_str());
  }
  ~ScopedTraceVariable() { ::SetEnvironmentVariableW(L"QUILLMARK_TRACE", nullptr); }
};

// Each JSON line of the file as "Source number"; other lines as they are.
std::string Identities(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  return std::regex_replace(text, std::regex(R"re(\{.*"source":"(\w+)","number":(\d+),.*)re"),
                            "$1 $2");
}

TEST(FileTraceController, FileAndPlatformEachGetWhatTheyEnabledAndTheFileIsAppendedTo) {
  const fs::path file =
      fs::path(GetTempDirectory()) / (std::to_wstring(::GetCurrentProcessId()) + L"_beside.jsonl");
  std::ofstream(file, std::ios::binary) << "an earlier run\n";
  {
    const ScopedTraceVariable variable(L"4,0x10," + file.wstring());
    TraceRecorder recorder(2, flags::Upload);
    KeepPlatformCalls();
    QM_TRACE(RunDriver, 11, Info, Run);
    QM_TRACE(RunDriver, 30, Verbose, Run);
    QM_TRACE(Upload, 10, Error, Upload);
    QM_TRACE(Upload, 11, Info, Upload);
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].guid, MessageGuidOf(Source::Upload));
    recorder.Disable();  // the platform's controller leaves; the file stays
    QM_TRACE(RunDriver, 12, Info, Run);
  }
  EXPECT_EQ(Identities(file), "an earlier run\nRunDriver 11\nRunDriver 12\n");
  fs::remove(file);
}

TEST(FileTraceController, UnwritablePathLosesOnlyTheTrace) {
  const ScopedTraceVariable variable(L"5,0x1F,Z:\\quillmark\\no\\such\\dir\\t.jsonl");
  TraceRecorder recorder(5, flags::Upload);
  EXPECT_TRUE(IsEnabled(Level::Info, flags::Upload));
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

}  // namespace
}  // namespace qm::trace
