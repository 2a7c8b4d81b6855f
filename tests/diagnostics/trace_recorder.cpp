#include "diagnostics/trace_recorder.h"

#include <cstdarg>
#include <cstring>
#include <stdexcept>

#include "diagnostics/trace_provider.h"

namespace qm::trace {
namespace {

constexpr TRACEHANDLE kLogger = 0x1234'5678'9ABCull;
constexpr TRACEHANDLE kRegistration = 0x77;

TraceRecorder* g_recorder = nullptr;

ULONG CallBack(WMIDPREQUESTCODE request) {
  ULONG size = 0;
  WNODE_HEADER buffer{};
  return g_recorder->callback(request, g_recorder->callback_context, &size, &buffer);
}

ULONG WINAPI FakeRegister(WMIDPREQUEST callback, PVOID context, LPCGUID, ULONG,
                          PTRACE_GUID_REGISTRATION, LPCWSTR, LPCWSTR, PTRACEHANDLE handle) {
  g_recorder->callback = callback;
  g_recorder->callback_context = context;
  *handle = kRegistration;
  // As the system does for a session that is already running: the provider
  // is enabled before its registration returns.
  if (g_recorder->enabled) (void)CallBack(WMI_ENABLE_EVENTS);
  return ERROR_SUCCESS;
}

TRACEHANDLE WINAPI FakeLoggerHandle(PVOID) { return kLogger; }
UCHAR WINAPI FakeEnableLevel(TRACEHANDLE) { return g_recorder->enable_level; }
ULONG WINAPI FakeEnableFlags(TRACEHANDLE) { return g_recorder->enable_flags; }
ULONG WINAPI FakeUnregister(TRACEHANDLE) {
  ++g_recorder->unregistrations;
  return ERROR_SUCCESS;
}

ULONG __cdecl FakeMessageVa(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number,
                            va_list args) {
  PlatformMessage message{logger, flags, *guid, number, {}};
  while (const void* data = va_arg(args, const void*)) {
    message.args.emplace_back(static_cast<const char*>(data), va_arg(args, std::size_t));
  }
  g_recorder->platform_messages.push_back(std::move(message));
  return ERROR_SUCCESS;
}

ULONG __cdecl FakeMessage(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number, ...) {
  va_list args;
  va_start(args, number);
  const ULONG result = FakeMessageVa(logger, flags, guid, number, args);
  va_end(args);
  return result;
}

ULONG WINAPI FakeEvent(TRACEHANDLE logger, PEVENT_TRACE_HEADER header) {
  PlatformEvent event{logger, *header, {}};
  const auto* fields = reinterpret_cast<const MOF_FIELD*>(header + 1);
  const std::size_t count = (header->Size - sizeof(EVENT_TRACE_HEADER)) / sizeof(MOF_FIELD);
  for (std::size_t i = 0; i < count; ++i) {
    const auto* data = reinterpret_cast<const char*>(static_cast<ULONG_PTR>(fields[i].DataPtr));
    event.fields.emplace_back(data, fields[i].Length);
  }
  g_recorder->platform_events.push_back(std::move(event));
  return ERROR_SUCCESS;
}

void Observe(void*, const Message& message) {
  RecordedMessage recorded{message.source, message.number, message.level, message.flag, {}};
  for (const Arg& arg : message.args) {
    RecordedArg& out = recorded.args.emplace_back();
    out.kind = arg.kind();
    const auto* data = static_cast<const char*>(arg.data());
    if (arg.kind() == Arg::Kind::Int) std::memcpy(&out.value, data, sizeof out.value);
    if (arg.kind() == Arg::Kind::Narrow) out.narrow.assign(data, arg.size() - 1);
    if (arg.kind() == Arg::Kind::Wide) {
      out.wide.assign(reinterpret_cast<const wchar_t*>(data), arg.size() / sizeof(wchar_t) - 1);
    }
  }
  g_recorder->messages.push_back(std::move(recorded));
}

}  // namespace

TraceRecorder::TraceRecorder(RegisteredOnly) {
  if (g_recorder != nullptr) throw std::logic_error("one TraceRecorder at a time");
  g_recorder = this;
  Platform platform{};
  platform.register_guids = &FakeRegister;
  platform.logger_handle = &FakeLoggerHandle;
  platform.enable_level = &FakeEnableLevel;
  platform.enable_flags = &FakeEnableFlags;
  platform.message = &FakeMessage;
  platform.message_va = &FakeMessageVa;
  platform.event = &FakeEvent;
  platform.unregister = &FakeUnregister;
  platform.observe = &Observe;
  previous_ = ReplacePlatform(platform);
  RegisterTraceProvider();
}

TraceRecorder::TraceRecorder(std::uint8_t level, std::uint32_t flags)
    : TraceRecorder(RegisteredOnly{}) {
  Enable(level, flags);
}

TraceRecorder::~TraceRecorder() {
  UnregisterTraceProvider();
  ReplacePlatform(previous_);
  g_recorder = nullptr;
}

void TraceRecorder::Enable(std::uint8_t level, std::uint32_t flags) {
  enabled = true;
  enable_level = level;
  enable_flags = flags;
  if (callback != nullptr) (void)CallBack(WMI_ENABLE_EVENTS);
}

void TraceRecorder::Disable() {
  enabled = false;
  if (callback != nullptr) (void)CallBack(WMI_DISABLE_EVENTS);
}

std::vector<int> TraceRecorder::Numbers(Source source) const {
  std::vector<int> numbers;
  for (const auto& m : messages) {
    if (m.source == source) numbers.push_back(m.number);
  }
  return numbers;
}

const RecordedMessage* TraceRecorder::Find(Source source, int number) const {
  for (const auto& m : messages) {
    if (m.source == source && m.number == number) return &m;
  }
  return nullptr;
}

void TraceRecorder::Clear() {
  messages.clear();
  platform_messages.clear();
  platform_events.clear();
}

}  // namespace qm::trace
