#pragma once

// The run's last course when a library it called will not let it finish: a
// call into the agent's communications or settings library that passed its
// deadline (the run's thread is stuck inside the library), or a structured
// exception that nothing handles (a fault on a thread the library started).
// Either way the run ends at once, from the thread that found the case, and
// leaves what a failed upload leaves: no data file, no upload state, the
// ERROR marker, the instance mutex released. It ends the process with
// TerminateProcess, because a normal exit unloads the library and detaches
// modules under the loader lock, either of which can wait on the stuck thread.
// Everything the course needs is prepared beforehand, so it allocates nothing
// of its own (its trace messages go through the file controller as any other).

#include <cstdint>
#include <string>

#include "support/unique_resource.h"

namespace qm {

// How long one call into the agent's libraries may take. The upload hands a
// small file to the library and a tracking event is one short web request;
// 90 s is three times the 30 s a web request commonly allows itself to
// connect, so a library that gives up by its own timeouts still answers
// first, and a stuck one still ends the run well within the two minutes a
// scheduled run is given.
inline constexpr std::uint32_t kForeignCallDeadlineMs = 90'000;

// Test seam: a shorter deadline in milliseconds (1 to kForeignCallDeadlineMs),
// so tests of a hanging library take seconds; a longer or malformed value is
// ignored.
inline constexpr wchar_t kDeadlineVariable[] = L"QUILLMARK_CALL_DEADLINE_MS";

// The deadline this process puts on foreign calls.
[[nodiscard]] std::uint32_t ForeignCallDeadlineMs() noexcept;

// Arms the course for one run: from construction to destruction a stuck call
// ends the process with exit code 0 (that of a failed upload), an unhandled
// structured exception on any thread with -1. One run at a time.
class RunRescue {
 public:
  // Takes over the instance mutex; `failure_message` (a literal) is the
  // ERROR marker's line, written only in test mode.
  RunRescue(bool test_mode, const char* failure_message, UniqueHandle instance_mutex,
            std::uint32_t deadline_ms) noexcept;
  // Gives back the unhandled-exception filter and the deadline's course;
  // closes the mutex when the run did not release it.
  ~RunRescue();
  RunRescue(const RunRescue&) = delete;
  RunRescue& operator=(const RunRescue&) = delete;

  // The data file the course deletes, from when its path is known until the
  // run has deleted it. A path beyond the course's buffer is not kept.
  void WatchDataFile(const std::wstring& path) noexcept;
  void ForgetDataFile() noexcept;
  // Closes the instance mutex (RunStage::ReleaseRun).
  void ReleaseInstanceMutex() noexcept;
};

}  // namespace qm
