#pragma once

// The program's event-tracing provider: one control GUID, one control block,
// one message GUID per trace source. Messages fire only while a controller
// (the system's, or the file controller set up from QUILLMARK_TRACE) has
// enabled the provider for their flag bit and level.

#include <windows.h>

#include <evntrace.h>

#include <string_view>

#include "diagnostics/trace.h"

namespace qm::trace {

// {c40c265c-4082-49a2-9d33-4aed27853dbc}
extern const GUID kControlGuid;

// Message GUID of a trace source.
[[nodiscard]] const GUID& MessageGuidOf(Source source) noexcept;

// Name of a trace source as the catalog writes it ("RunDriver", ...).
[[nodiscard]] std::string_view SourceName(Source source) noexcept;

// Resolves "TraceMessage" and "TraceMessageVa" from advapi32, falling back
// to classic events where they are missing. The first stage of a run.
void LoadTracingSupport() noexcept;

// Makes tracing live and registers the control GUID with the system; reads
// QUILLMARK_TRACE for the file controller. Failures are silent.
void RegisterTraceProvider() noexcept;

// Unregisters from the system and makes every trace point dead again.
void UnregisterTraceProvider() noexcept;

// The enable callback the system calls: 4 enables, 5 disables, anything
// else is refused with ERROR_INVALID_PARAMETER.
ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE request, PVOID context, ULONG* buffer_size,
                                  PVOID buffer);

}  // namespace qm::trace
