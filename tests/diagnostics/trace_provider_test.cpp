#include "diagnostics/trace_provider.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "diagnostics/trace_recorder.h"
#include "diagnostics/trace_seam.h"

namespace qm::trace {
namespace {

using ::testing::ElementsAre;

int g_prepared = 0;

// An argument whose preparation the tests can see.
Arg Prepared(std::int32_t value) {
  ++g_prepared;
  return Int(value);
}

// One point of each flag at each level, as components write them.
void TraceOneOfEach() {
  QM_TRACE(RunDriver, 10, Info, Run, Prepared(1));
  QM_TRACE(RunDriver, 15, Error, Run, Prepared(2));
  QM_TRACE(RunDriver, 30, Verbose, Run, Prepared(3));
  QM_TRACE(Collector, 10, Info, Collector, Prepared(4));
  QM_TRACE(Collector, 11, Error, Collector, Prepared(5));
  QM_TRACE(Upload, 10, Error, Upload, Prepared(6));
  QM_TRACE(DataFile, 10, Info, DataFile, Prepared(7));
}

std::string Bytes(const void* data, std::size_t size) {
  return std::string(static_cast<const char*>(data), size);
}

// Fires one point of each flag at each level and tells which passed, e.g.
// "RunDriver 10, Upload 10, prepared 2"; every one that passed reached the platform.
std::string FireOneOfEach(TraceRecorder& recorder) {
  recorder.Clear();
  g_prepared = 0;
  TraceOneOfEach();
  std::string passed;
  for (const RecordedMessage& m : recorder.Messages()) {
    passed += std::string(SourceName(m.source)) + " " + std::to_string(m.number) + ", ";
  }
  EXPECT_EQ(recorder.platform_messages.size(), recorder.Messages().size());
  return passed + "prepared " + std::to_string(g_prepared);
}

TEST(TraceProvider, NothingFiresOrIsPreparedWithoutAController) {
  TraceOneOfEach();  // never registered
  EXPECT_EQ(g_prepared, 0);
  TraceRecorder recorder{TraceRecorder::RegisteredOnly{}};
  EXPECT_EQ(FireOneOfEach(recorder), "prepared 0");
}

TEST(TraceProvider, OnlyPointsOfAnEnabledFlagAtOrBelowTheLevelFire) {
  TraceRecorder recorder(4, flags::Run);
  EXPECT_EQ(FireOneOfEach(recorder), "RunDriver 10, RunDriver 15, prepared 2");
  recorder.Enable(2, flags::Run | flags::Collector);
  EXPECT_EQ(FireOneOfEach(recorder), "RunDriver 15, Collector 11, prepared 2");
}

TEST(TraceProvider, UnregisterMakesEveryPointDeadAgain) {
  TraceRecorder recorder(5, 0xFF);
  UnregisterTraceProvider();
  UnregisterTraceProvider();  // a second time is harmless
  EXPECT_EQ(recorder.unregistrations, 1);
  EXPECT_EQ(FireOneOfEach(recorder), "prepared 0");
}

TEST(TraceProvider, MessageReachesThePlatformWithItsGuidNumberFlagsLoggerAndEncodedArguments) {
  TraceRecorder recorder(5, flags::Run);
  const char* absent_narrow = nullptr;
  const wchar_t* absent_wide = nullptr;
  QM_TRACE(RunDriver, 18, Info, Run, trace::Narrow(absent_narrow), trace::Wide(absent_wide),
           trace::Wide(L""), trace::Wide(L"ab"), trace::Int(-2), trace::AnsiOf(L"x\u00e9"),
           trace::Narrow("True"));
  ASSERT_EQ(recorder.platform_messages.size(), 1u);
  const PlatformMessage& sent = recorder.platform_messages[0];
  EXPECT_EQ(sent.guid, MessageGuidOf(Source::RunDriver));
  EXPECT_EQ(sent.number, 18);
  EXPECT_EQ(sent.flags, 0x2Bu);
  EXPECT_NE(sent.logger, 0u);
  EXPECT_THAT(sent.args, ElementsAre(Bytes("NULL", 5), Bytes(L"NULL", 10), Bytes(L"<NULL>", 14),
                                     Bytes(L"ab", 6), Bytes("\xFE\xFF\xFF\xFF", 4),
                                     Bytes("x\xE9", 3),  // code page 1252 under the test bench
                                     Bytes("True", 5)));
}

TEST(TraceProvider, CallbackTakesTheLoggersSettingsAndRefusesOtherRequests) {
  TraceRecorder recorder(4, flags::Run);
  ULONG size = 99;
  EXPECT_EQ(recorder.callback(WMI_GET_ALL_DATA, recorder.callback_context, &size, nullptr),
            static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(IsEnabled(Level::Info, flags::Run));  // unchanged

  const auto* block = static_cast<const ControlBlock*>(recorder.callback_context);
  EXPECT_EQ(g_control.load(), block);
  EXPECT_NE(block->logger, 0u);
  recorder.Disable();
  EXPECT_EQ(block->logger, 0u);
}

// Without message tracing, classic events go out through the table's event entry point.
class TraceFallback : public ::testing::Test {
 protected:
  void SetUp() override { LoadTracingSupportFrom(L"quillmark-no-such-library.dll"); }
  TraceRecorder recorder_{5, 0xFF};
};

TEST_F(TraceFallback, EventCarriesTheNumberThenEachArgument) {
  ASSERT_EQ(CurrentPlatform().message, &FallbackTraceMessage);
  ASSERT_EQ(CurrentPlatform().message_va, &FallbackTraceMessageVa);
  QM_TRACE(Upload, 12, Error, Upload, trace::Int(7), trace::Narrow("abc"));
  ASSERT_EQ(recorder_.platform_events.size(), 1u);
  const PlatformEvent& event = recorder_.platform_events[0];
  EXPECT_EQ(event.header.Size, 48 + 16 * 3);
  EXPECT_EQ(event.header.Class.Type, 0xFF);
  EXPECT_EQ(event.header.Class.Level, 0xFF);
  EXPECT_EQ(event.header.Class.Version, 0xFFFF);
  EXPECT_EQ(event.header.Flags, 0x1A0000u);
  EXPECT_EQ(event.header.GuidPtr, reinterpret_cast<ULONG_PTR>(&MessageGuidOf(Source::Upload)));
  EXPECT_NE(event.logger, 0u);
  const USHORT number = 12;
  const std::int32_t seven = 7;
  EXPECT_THAT(event.fields, ElementsAre(Bytes(&number, 2), Bytes(&seven, 4), Bytes("abc", 4)));
}

TEST_F(TraceFallback, EightArgumentsTravelInOneBuffer) {
  QM_TRACE(RunDriver, 11, Info, Run, trace::Int(1), trace::Int(2), trace::Int(3), trace::Int(4),
           trace::Int(5), trace::Int(6), trace::Narrow("seven"), trace::Int(8));
  QM_TRACE(RunDriver, 12, Info, Run, trace::Int(1), trace::Int(2), trace::Int(3), trace::Int(4),
           trace::Int(5), trace::Int(6), trace::Int(7));
  ASSERT_EQ(recorder_.platform_events.size(), 2u);
  const PlatformEvent& eight = recorder_.platform_events[0];
  EXPECT_EQ(eight.header.Size, 80);
  const std::int32_t ints[] = {1, 2, 3, 4, 5, 6, 8};
  EXPECT_THAT(eight.fields,
              ElementsAre(::testing::_, Bytes(ints, 24) + Bytes("seven", 6) + Bytes(&ints[6], 4)));
  EXPECT_EQ(recorder_.platform_events[1].header.Size, 48 + 16 * 8);
  EXPECT_EQ(recorder_.platform_events[1].fields.size(), 8u);
}

TEST_F(TraceFallback, MessageOver8192BytesIsDropped) {
  const std::string fits(8191, 'a');      // 8192 bytes with the terminator
  const std::string too_long(8192, 'a');  // 8193
  QM_TRACE(RunDriver, 20, Info, Run, trace::Narrow(fits));
  QM_TRACE(RunDriver, 20, Info, Run, trace::Narrow(too_long));
  QM_TRACE(RunDriver, 19, Info, Run, trace::Narrow(fits), trace::Int(1));
  ASSERT_EQ(recorder_.platform_events.size(), 1u);
  EXPECT_EQ(recorder_.platform_events[0].fields[1].size(), 8192u);
  EXPECT_EQ(recorder_.Messages().size(), 3u);  // the program did send all three
}

}  // namespace
}  // namespace qm::trace
