#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "diagnostics/trace_provider.h"
#include "diagnostics/trace_recorder.h"
#include "diagnostics/trace_seam.h"

namespace qm::trace {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

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

class TraceProvider : public ::testing::Test {
 protected:
  void SetUp() override { g_prepared = 0; }
};

TEST_F(TraceProvider, NothingFiresOrIsPreparedWithoutAController) {
  TraceOneOfEach();  // never registered
  EXPECT_EQ(g_prepared, 0);

  TraceRecorder recorder{TraceRecorder::RegisteredOnly{}};
  TraceOneOfEach();
  EXPECT_EQ(g_prepared, 0);
  EXPECT_THAT(recorder.Messages(), IsEmpty());
  EXPECT_THAT(recorder.PlatformMessages(), IsEmpty());
}

TEST_F(TraceProvider, RunFlagAtInformationPassesOnlyRunDriverInformationAndErrors) {
  TraceRecorder recorder(4, flags::Run);
  TraceOneOfEach();
  EXPECT_THAT(recorder.Numbers(Source::RunDriver), ElementsAre(10, 15));
  EXPECT_THAT(recorder.Numbers(Source::Collector), IsEmpty());
  EXPECT_THAT(recorder.Numbers(Source::Upload), IsEmpty());
  EXPECT_THAT(recorder.Numbers(Source::DataFile), IsEmpty());
  EXPECT_EQ(g_prepared, 2);
}

TEST_F(TraceProvider, ErrorLevelPassesOnlyErrorsOfTheEnabledFlags) {
  TraceRecorder recorder(2, flags::Run | flags::Collector);
  TraceOneOfEach();
  EXPECT_THAT(recorder.Numbers(Source::RunDriver), ElementsAre(15));
  EXPECT_THAT(recorder.Numbers(Source::Collector), ElementsAre(11));
  EXPECT_THAT(recorder.Numbers(Source::Upload), IsEmpty());
}

TEST_F(TraceProvider, DisableSilencesUntilTheNextEnable) {
  TraceRecorder recorder(5, 0xFF);
  recorder.Disable();
  TraceOneOfEach();
  EXPECT_THAT(recorder.Messages(), IsEmpty());
  EXPECT_EQ(g_prepared, 0);

  recorder.Enable(5, flags::Upload);
  TraceOneOfEach();
  EXPECT_THAT(recorder.Numbers(Source::Upload), ElementsAre(10));
  EXPECT_EQ(recorder.Messages().size(), 1u);
}

TEST_F(TraceProvider, UnregisterMakesEveryPointDeadAgain) {
  TraceRecorder recorder(5, 0xFF);
  UnregisterTraceProvider();
  EXPECT_EQ(recorder.Unregistrations(), 1);
  TraceOneOfEach();
  EXPECT_THAT(recorder.Messages(), IsEmpty());
  EXPECT_EQ(g_prepared, 0);
  UnregisterTraceProvider();  // a second time is harmless
  EXPECT_EQ(recorder.Unregistrations(), 1);
}

TEST_F(TraceProvider, CodeThatStartsTracingItselfIsStillRecorded) {
  TraceRecorder recorder(4, flags::Run);
  LoadTracingSupport();
  RegisterTraceProvider();  // as a run does at its start
  QM_TRACE(RunDriver, 11, Info, Run);
  UnregisterTraceProvider();  // and at its end
  QM_TRACE(RunDriver, 12, Info, Run);
  EXPECT_THAT(recorder.Numbers(Source::RunDriver), ElementsAre(11));
  EXPECT_EQ(recorder.PlatformMessages().size(), 1u);
}

TEST_F(TraceProvider, MessageReachesThePlatformWithItsGuidNumberFlagsAndLogger) {
  TraceRecorder recorder(4, flags::Run);
  QM_TRACE(RunDriver, 18, Info, Run, trace::Narrow("True"), trace::Narrow("False"));
  ASSERT_EQ(recorder.PlatformMessages().size(), 1u);
  const PlatformMessage& sent = recorder.PlatformMessages()[0];
  EXPECT_EQ(sent.guid, MessageGuidOf(Source::RunDriver));
  EXPECT_EQ(sent.number, 18);
  EXPECT_EQ(sent.flags, 0x2Bu);
  EXPECT_NE(sent.logger, 0u);
  EXPECT_THAT(sent.args, ElementsAre(Bytes("True", 5), Bytes("False", 6)));
}

TEST_F(TraceProvider, ArgumentsAreEncodedAsTheyAreSent) {
  TraceRecorder recorder(5, flags::Run);
  const char* absent_narrow = nullptr;
  const wchar_t* absent_wide = nullptr;
  QM_TRACE(RunDriver, 10, Info, Run, trace::Narrow(absent_narrow), trace::Wide(absent_wide),
           trace::Wide(L""), trace::Wide(L"ab"), trace::Int(-2), trace::AnsiOf(L"x\u00e9"));
  ASSERT_EQ(recorder.PlatformMessages().size(), 1u);
  const auto& args = recorder.PlatformMessages()[0].args;
  ASSERT_EQ(args.size(), 6u);
  EXPECT_EQ(args[0], Bytes("NULL", 5));
  EXPECT_EQ(args[1], Bytes(L"NULL", 10));
  EXPECT_EQ(args[2], Bytes(L"<NULL>", 14));
  EXPECT_EQ(args[3], Bytes(L"ab", 6));
  EXPECT_EQ(args[4], Bytes("\xFE\xFF\xFF\xFF", 4));
  EXPECT_EQ(args[5], Bytes("x\xE9", 3));  // code page 1252 under the test bench

  const RecordedMessage* recorded = recorder.Find(Source::RunDriver, 10);
  ASSERT_NE(recorded, nullptr);
  EXPECT_EQ(recorded->args[2].wide, L"<NULL>");
  EXPECT_EQ(recorded->args[4].value, -2);
}

TEST_F(TraceProvider, CallbackTakesTheLoggersSettingsAndRefusesOtherRequests) {
  TraceRecorder recorder(4, flags::Run);
  ULONG size = 99;
  EXPECT_EQ(recorder.Callback()(WMI_GET_ALL_DATA, recorder.CallbackContext(), &size, nullptr),
            static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(IsEnabled(Level::Info, flags::Run));  // unchanged

  const auto* block = static_cast<const ControlBlock*>(recorder.CallbackContext());
  EXPECT_EQ(g_control.load(), block);
  EXPECT_EQ(block->level, 4);
  EXPECT_EQ(block->flags, flags::Run);
  EXPECT_NE(block->logger, 0u);
  EXPECT_EQ(block->registration, 0x77u);

  recorder.Disable();
  EXPECT_EQ(block->level, 0);
  EXPECT_EQ(block->flags, 0u);
  EXPECT_EQ(block->logger, 0u);
}

TEST(TraceSupport, SystemLibraryOffersMessageTracing) {
  const Platform saved = CurrentPlatform();
  LoadTracingSupport();
  EXPECT_NE(CurrentPlatform().message, &FallbackTraceMessage);
  ReplacePlatform(saved);
}

// The fallback sends classic events through the table's event entry point.
class TraceFallback : public ::testing::Test {
 protected:
  void SetUp() override { LoadTracingSupportFrom(L"quillmark-no-such-library.dll"); }
  TraceRecorder recorder_{5, 0xFF};
};

TEST_F(TraceFallback, MissingMessageTracingFallsBackToClassicEvents) {
  ASSERT_EQ(CurrentPlatform().message, &FallbackTraceMessage);
  ASSERT_EQ(CurrentPlatform().message_va, &FallbackTraceMessageVa);
  QM_TRACE(Upload, 12, Error, Upload, trace::Int(7), trace::Narrow("abc"));
  ASSERT_EQ(recorder_.PlatformEvents().size(), 1u);
  const PlatformEvent& event = recorder_.PlatformEvents()[0];
  EXPECT_EQ(event.size, 48 + 16 * 3);
  EXPECT_EQ(event.type, 0xFF);
  EXPECT_EQ(event.level, 0xFF);
  EXPECT_EQ(event.version, 0xFFFF);
  EXPECT_EQ(event.flags, 0x1A0000u);
  EXPECT_EQ(event.guid, &MessageGuidOf(Source::Upload));
  EXPECT_NE(event.logger, 0u);
  const USHORT number = 12;
  std::int32_t seven = 7;
  EXPECT_THAT(event.fields, ElementsAre(Bytes(&number, 2), Bytes(&seven, 4), Bytes("abc", 4)));
}

TEST_F(TraceFallback, EightArgumentsTravelInOneBuffer) {
  QM_TRACE(RunDriver, 11, Info, Run, trace::Int(1), trace::Int(2), trace::Int(3), trace::Int(4),
           trace::Int(5), trace::Int(6), trace::Narrow("seven"), trace::Int(8));
  QM_TRACE(RunDriver, 12, Info, Run, trace::Int(1), trace::Int(2), trace::Int(3), trace::Int(4),
           trace::Int(5), trace::Int(6), trace::Int(7));
  ASSERT_EQ(recorder_.PlatformEvents().size(), 2u);
  const PlatformEvent& eight = recorder_.PlatformEvents()[0];
  EXPECT_EQ(eight.size, 80);
  ASSERT_EQ(eight.fields.size(), 2u);
  std::string joined;
  for (std::int32_t i = 1; i <= 6; ++i) joined += Bytes(&i, 4);
  joined += Bytes("seven", 6);
  const std::int32_t last = 8;
  joined += Bytes(&last, 4);
  EXPECT_EQ(eight.fields[1], joined);

  const PlatformEvent& seven = recorder_.PlatformEvents()[1];
  EXPECT_EQ(seven.size, 48 + 16 * 8);
  EXPECT_EQ(seven.fields.size(), 8u);
}

TEST_F(TraceFallback, MessageOver8192BytesIsDropped) {
  const std::string fits(8191, 'a');      // 8192 bytes with the terminator
  const std::string too_long(8192, 'a');  // 8193
  QM_TRACE(RunDriver, 20, Info, Run, trace::Narrow(fits));
  QM_TRACE(RunDriver, 20, Info, Run, trace::Narrow(too_long));
  QM_TRACE(RunDriver, 19, Info, Run, trace::Narrow(fits), trace::Int(1));
  ASSERT_EQ(recorder_.PlatformEvents().size(), 1u);
  EXPECT_EQ(recorder_.PlatformEvents()[0].fields[1].size(), 8192u);
  EXPECT_EQ(recorder_.Messages().size(), 3u);  // the program did send all three
}

}  // namespace
}  // namespace qm::trace
