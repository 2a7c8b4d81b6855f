// Classic trace events for systems without "TraceMessage": the same message
// GUID, number and argument bytes, in the layout message-trace consumers
// already understand.

#include <cstring>
#include <memory>
#include <new>

#include "diagnostics/trace_provider.h"
#include "diagnostics/trace_seam.h"

namespace qm::trace {
namespace {

static_assert(sizeof(EVENT_TRACE_HEADER) == 48);
static_assert(sizeof(MOF_FIELD) == 16);

// Traced GUID, GUID by pointer, data by pointer.
constexpr ULONG kClassicEventFlags = 0x1A0000;

struct ClassicEvent {
  EVENT_TRACE_HEADER header;
  MOF_FIELD fields[kFallbackSingleBufferArgs];  // the number, then up to 7 arguments
};

struct ArgumentTotals {
  std::size_t count = 0;
  std::size_t bytes = 0;
  bool oversized = false;
};

// First pass: how many pairs and how many bytes, stopping early once the
// message is too large to send.
ArgumentTotals TotalsOf(va_list args) noexcept {
  ArgumentTotals totals;
  va_list walk;
  va_copy(walk, args);
  for (;;) {
    const void* data = va_arg(walk, const void*);
    if (data == nullptr) break;
    const std::size_t size = va_arg(walk, std::size_t);
    ++totals.count;
    if (size > kFallbackMaxBytes - totals.bytes) {
      totals.oversized = true;
      break;
    }
    totals.bytes += size;
  }
  va_end(walk);
  return totals;
}

void SetField(MOF_FIELD& field, const void* data, std::size_t size) noexcept {
  field.DataPtr = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(data));
  field.Length = static_cast<ULONG>(size);
  field.DataType = 0;
}

}  // namespace

ULONG __cdecl FallbackTraceMessageVa(TRACEHANDLE logger, ULONG /*message_flags*/,
                                     LPCGUID message_guid, USHORT number, va_list args) {
  const ArgumentTotals totals = TotalsOf(args);
  if (totals.oversized) return ERROR_SUCCESS;

  ClassicEvent event{};
  event.header.Class.Type = 0xFF;
  event.header.Class.Level = 0xFF;
  event.header.Class.Version = 0xFFFF;
  event.header.GuidPtr = static_cast<ULONGLONG>(reinterpret_cast<ULONG_PTR>(message_guid));
  event.header.Flags = kClassicEventFlags;
  SetField(event.fields[0], &number, sizeof(number));

  std::unique_ptr<unsigned char[]> joined;
  va_list walk;
  va_copy(walk, args);
  if (totals.count < kFallbackSingleBufferArgs) {
    for (std::size_t i = 0; i < totals.count; ++i) {
      const void* data = va_arg(walk, const void*);
      const std::size_t size = va_arg(walk, std::size_t);
      SetField(event.fields[1 + i], data, size);
    }
    event.header.Size =
        static_cast<USHORT>(sizeof(EVENT_TRACE_HEADER) + sizeof(MOF_FIELD) * (1 + totals.count));
  } else {
    joined.reset(new (std::nothrow) unsigned char[totals.bytes + 1]);
    if (!joined) {
      va_end(walk);
      return ERROR_SUCCESS;
    }
    std::size_t offset = 0;
    for (std::size_t i = 0; i < totals.count; ++i) {
      const void* data = va_arg(walk, const void*);
      const std::size_t size = va_arg(walk, std::size_t);
      std::memcpy(joined.get() + offset, data, size);
      offset += size;
    }
    SetField(event.fields[1], joined.get(), totals.bytes);
    event.header.Size = static_cast<USHORT>(sizeof(EVENT_TRACE_HEADER) + 2 * sizeof(MOF_FIELD));
  }
  va_end(walk);

  const auto send = CurrentPlatform().event;
  if (send != nullptr) (void)send(logger, &event.header);
  return ERROR_SUCCESS;
}

ULONG __cdecl FallbackTraceMessage(TRACEHANDLE logger, ULONG message_flags, LPCGUID message_guid,
                                   USHORT number, ...) {
  va_list args;
  va_start(args, number);
  const ULONG result = FallbackTraceMessageVa(logger, message_flags, message_guid, number, args);
  va_end(args);
  return result;
}

}  // namespace qm::trace
