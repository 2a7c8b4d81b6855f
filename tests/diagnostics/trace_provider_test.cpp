#include "diagnostics/trace_provider.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "common/scratch_folder.h"
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

using ::testing::ElementsAre;

// A classic event handed to the platform's event entry point (fallback).
struct PlatformEvent {
  TRACEHANDLE logger;
  EVENT_TRACE_HEADER header;
  std::vector<std::string> fields;  // each data field's bytes (field 0: the number)
};

// Each call of the platform's message entry point as "Source number"; the
// fallback's events show how the logger and the arguments go out.
std::vector<std::string> g_sent;
std::vector<PlatformEvent> g_events;
int g_unregistrations = 0;

ULONG __cdecl KeepMessage(TRACEHANDLE, ULONG flags, LPCGUID guid, USHORT number, ...) {
  std::string sent;
  for (int i = 0; i < kSourceCount; ++i) {
    if (*guid == MessageGuidOf(Source(i))) sent = SourceName(Source(i));
  }
  sent += " " + std::to_string(number);
  g_sent.push_back(flags == 0x2B ? sent : sent + " with flags " + std::to_string(flags));
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

// Gives the recorder's stand-in platform entry points that keep what they get,
// for the life of the scope handed back.
[[nodiscard]] PlatformScope KeepPlatformCalls() {
  g_sent.clear();
  g_events.clear();
  g_unregistrations = 0;
  Platform platform = CurrentPlatform();
  platform.message = &KeepMessage;
  platform.event = &KeepEvent;
  platform.unregister = &CountUnregistration;
  return PlatformScope(platform);
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
  for (const std::string& sent : g_sent) passed += sent + ", ";
  return passed + "prepared " + std::to_string(g_prepared);
}

// The course of a run: not yet registered, registered, enabled, changed,
// disabled, unregistered.
TEST(TraceProvider, PointsFireOnlyWhileRegisteredForTheFlagsAndUpToTheLevelEnabled) {
  QM_TRACE(RunDriver, 10, Info, Run, Prepared(1));
  EXPECT_EQ(g_prepared, 0);
  TraceRecorder recorder{TraceRecorder::RegisteredOnly{}};
  const PlatformScope kept = KeepPlatformCalls();
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
  const PlatformScope kept = KeepPlatformCalls();
  LoadTracingSupportFrom(L"quillmark-no-such-library.dll");
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
  const std::int32_t ints[] = {7, 1, 2, 3, 4, 5, 6, 8};
  EXPECT_THAT(g_events[0].fields, ElementsAre(Bytes("\x0C\0", 2), Bytes(ints, 4), Bytes("abc", 4)));
  EXPECT_EQ(g_events[1].header.Size, 48 + 16 * 8);
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

TEST(FileTraceController, FileAndPlatformEachGetWhatTheyEnabledAndTheFileIsAppendedTo) {
  const testing::ScratchFolder scratch;
  {
    const ScopedTraceVariable variable(L"4,0x10," + scratch.Write(L"t.jsonl", "an earlier run\n"));
    TraceRecorder recorder(2, flags::Upload);
    const PlatformScope kept = KeepPlatformCalls();
    QM_TRACE(RunDriver, 11, Info, Run);
    QM_TRACE(RunDriver, 30, Verbose, Run);
    QM_TRACE(Upload, 10, Error, Upload);
    QM_TRACE(Upload, 11, Info, Upload);
    EXPECT_THAT(g_sent, ElementsAre("Upload 10"));
    recorder.Disable();  // the platform's controller leaves; the file stays
    QM_TRACE(RunDriver, 12, Info, Run);
  }
  const std::regex json_line(R"re(\{.*"source":"(\w+)","number":(\d+),.*)re");
  EXPECT_EQ(std::regex_replace(scratch.Content(L"t.jsonl"), json_line, "$1 $2"),
            "an earlier run\nRunDriver 11\nRunDriver 12\n");
}

// Tracing never changes the course of a run: without its file, or without
// memory to read its setting, the file controller stays off.
TEST(FileTraceController, FileOrMemoryMissingLeavesOnlyThePlatformsController) {
  const std::pair<std::wstring, bool> cases[] = {{L"Z:\\quillmark\\no\\such\\dir\\t.jsonl", false},
                                                 {GetTempDirectory() + L"nomemory.jsonl", true}};
  for (const auto& [path, refuse_memory] : cases) {
    SCOPED_TRACE(refuse_memory ? "no memory" : "no file");
    const ScopedTraceVariable variable(L"5,0x1F," + path);
    g_refuse_memory = refuse_memory;
    const TraceRecorder recorder(5, flags::Upload);
    g_refuse_memory = false;
    EXPECT_TRUE(IsEnabled(Level::Info, flags::Upload));
    EXPECT_FALSE(IsEnabled(Level::Info, flags::Run));
  }
}

}  // namespace
}  // namespace qm::trace
