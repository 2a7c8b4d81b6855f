#pragma once

// The one place where the trace provider meets the platform's event tracing.
// Production code uses the system's entry points; tests replace the table to
// drive the enable callback and to see every message that is sent.

#include <windows.h>

#include <evntrace.h>

#include <cstdarg>
#include <cstdint>
#include <span>

#include "diagnostics/trace.h"

namespace qm::trace {

using TraceMessageFunction = ULONG(__cdecl*)(TRACEHANDLE logger, ULONG message_flags,
                                             LPCGUID message_guid, USHORT number, ...);
using TraceMessageVaFunction = ULONG(__cdecl*)(TRACEHANDLE logger, ULONG message_flags,
                                               LPCGUID message_guid, USHORT number, va_list args);

// One message as the program emitted it, before any platform encoding.
struct Message {
  Source source;
  std::uint16_t number;
  Level level;
  std::uint32_t flag;
  std::span<const Arg> args;
};

// The platform's entry points, plus an observer that sees every message that
// passed a trace point's tests (null in production).
struct Platform {
  // Where LoadTracingSupport looks up the message entry points; null keeps
  // the entry points of this table (stand-ins keep their own).
  const wchar_t* tracing_library;
  decltype(&::RegisterTraceGuidsW) register_guids;
  decltype(&::GetTraceLoggerHandle) logger_handle;
  decltype(&::GetTraceEnableLevel) enable_level;
  decltype(&::GetTraceEnableFlags) enable_flags;
  TraceMessageFunction message;
  TraceMessageVaFunction message_va;
  decltype(&::TraceEvent) event;
  decltype(&::UnregisterTraceGuids) unregister;
  void (*observe)(void* context, const Message& message);
  void* observe_context;
};

// The system's entry points, with the message entry points on the fallback
// until LoadTracingSupport resolves them.
[[nodiscard]] Platform SystemPlatform() noexcept;

// The table in use (a copy).
[[nodiscard]] Platform CurrentPlatform() noexcept;

// Puts a table in place for the scope's life, then the one it replaced back:
// trace points are everywhere, so this is the one seam a test sets for the
// whole process, and only for as long as it needs it.
class PlatformScope {
 public:
  explicit PlatformScope(const Platform& platform) noexcept;
  ~PlatformScope();
  PlatformScope(const PlatformScope&) = delete;
  PlatformScope& operator=(const PlatformScope&) = delete;

 private:
  Platform previous_;
};

// LoadTracingSupport with the library named, so tests can make it miss.
void LoadTracingSupportFrom(const wchar_t* library) noexcept;

// Classic-event stand-ins for "TraceMessage" and "TraceMessageVa": the
// arguments (pointer, byte length pairs ending with a null pointer) go out
// through the table's event entry point.
ULONG __cdecl FallbackTraceMessage(TRACEHANDLE logger, ULONG message_flags, LPCGUID message_guid,
                                   USHORT number, ...);
ULONG __cdecl FallbackTraceMessageVa(TRACEHANDLE logger, ULONG message_flags, LPCGUID message_guid,
                                     USHORT number, va_list args);

// Largest total of argument bytes a classic event may carry.
inline constexpr std::uint32_t kFallbackMaxBytes = 8192;
// From this many arguments on, a classic event carries them in one buffer.
inline constexpr std::size_t kFallbackSingleBufferArgs = 8;

// The message flags every trace point sends: sequence number, message GUID,
// timestamp and system information.
inline constexpr ULONG kMessageFlags = 0x2B;

}  // namespace qm::trace
