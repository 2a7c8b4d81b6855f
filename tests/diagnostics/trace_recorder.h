#pragma once

// Records the trace messages of code under test. While a TraceRecorder lives,
// the provider is registered against a stand-in of the platform's event
// tracing and enabled through its callback, as a trace controller would:
//
//   qm::trace::TraceRecorder recorder(4, qm::trace::flags::Run);
//   ... code under test ...
//   EXPECT_THAT(recorder.Numbers(qm::trace::Source::RunDriver), ElementsAre(11, 18));
//   EXPECT_EQ(recorder.Find(qm::trace::Source::RunDriver, 18)->args[0].narrow, "True");
//
// Only the recorder sees the messages; one recorder at a time per process.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/trace.h"
#include "diagnostics/trace_seam.h"

namespace qm::trace {

// One argument as the trace point built it, without its terminator.
struct RecordedArg {
  Arg::Kind kind = Arg::Kind::Int;
  std::int32_t value = 0;
  std::string narrow;
  std::wstring wide;
};

struct RecordedMessage {
  Source source;
  std::uint16_t number;
  Level level;
  std::uint32_t flag;
  std::vector<RecordedArg> args;
};

class TraceRecorder {
 public:
  struct RegisteredOnly {};

  // Registers and enables at `level` for `flags`.
  explicit TraceRecorder(std::uint8_t level = 5, std::uint32_t flags = 0xFFFFFFFFu);
  // Registers without any controller enabling the provider.
  explicit TraceRecorder(RegisteredOnly);
  ~TraceRecorder();
  TraceRecorder(const TraceRecorder&) = delete;
  TraceRecorder& operator=(const TraceRecorder&) = delete;

  // Controller requests through the provider's callback.
  void Enable(std::uint8_t level, std::uint32_t flags);
  void Disable();

  [[nodiscard]] const std::vector<RecordedMessage>& Messages() const { return messages_; }
  // Numbers of the recorded messages of `source`, in order.
  [[nodiscard]] std::vector<int> Numbers(Source source) const;
  // First recorded message of `source` numbered `number`, or null.
  [[nodiscard]] const RecordedMessage* Find(Source source, int number) const;
  void Clear() { messages_.clear(); }

 private:
  std::vector<RecordedMessage> messages_;
  std::optional<PlatformScope> scope_;
};

}  // namespace qm::trace
