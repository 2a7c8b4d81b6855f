#pragma once

// The file controller: where the system's event tracing cannot enable the
// provider (or nobody wants to start a trace session), QUILLMARK_TRACE set to
// "LEVEL,FLAGS,PATH" enables it at start-up and each message that passes is
// appended to PATH as one JSON line.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <windows.h>

#include "diagnostics/trace_seam.h"
#include "support/unique_resource.h"

namespace qm::trace {

struct FileTraceSettings {
  std::uint8_t level = 0;
  std::uint32_t flags = 0;
  std::wstring path;
};

// Parses "LEVEL,FLAGS,PATH": LEVEL decimal 0-255, FLAGS decimal or 0x-hex
// within 32 bits, PATH the non-empty rest. Anything else is none.
[[nodiscard]] std::optional<FileTraceSettings> ParseFileTraceSettings(std::wstring_view value);

// QUILLMARK_TRACE of this process, parsed; none when unset or malformed.
[[nodiscard]] std::optional<FileTraceSettings> ReadFileTraceSettings();

// One message as one JSON line (with its line end) at `time` (UTC).
[[nodiscard]] std::string JsonLineOf(const Message& message, const SYSTEMTIME& time);

// Appends JSON lines to one file, shared with readers and other writers.
class FileTraceSink {
 public:
  [[nodiscard]] bool Open(const std::wstring& path) noexcept;
  void Close() noexcept;
  // A line that cannot be built or written is lost; the run goes on.
  void Write(const Message& message) noexcept;

 private:
  std::mutex mutex_;
  UniqueFile file_;
};

}  // namespace qm::trace
