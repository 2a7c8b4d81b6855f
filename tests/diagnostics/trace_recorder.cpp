#include "diagnostics/trace_recorder.h"

#include <cstdarg>
#include <cstring>
#include <stdexcept>

#include "diagnostics/trace_provider.h"

namespace qm::trace {
namespace {

constexpr TRACEHANDLE kLogger = 0x1234'5678'9ABCull;
constexpr TRACEHANDLE kRegistration = 0x77;

struct State {
  bool active = false;
  bool enabled = false;
  std::uint8_t level = 0;
  std::uint32_t flags = 0;
  WMIDPREQUEST callback = nullptr;
  void* context = nullptr;
  int unregistrations = 0;
  std::vector<RecordedMessage> messages;
  std::vector<PlatformMessage> platform_messages;
  std::vector<PlatformEvent> platform_events;
};
State g_state;

ULONG WINAPI FakeRegister(WMIDPREQUEST callback, PVOID context, LPCGUID, ULONG,
                          PTRACE_GUID_REGISTRATION, LPCWSTR, LPCWSTR, PTRACEHANDLE handle) {
  g_state.callback = callback;
  g_state.context = context;
  *handle = kRegistration;
  // As the system does for a session that is already running: the provider
  // is enabled before its registration returns.
  if (g_state.enabled) {
    ULONG size = 0;
    WNODE_HEADER buffer{};
    (void)callback(WMI_ENABLE_EVENTS, context, &size, &buffer);
  }
  return ERROR_SUCCESS;
}

TRACEHANDLE WINAPI FakeLoggerHandle(PVOID) { return kLogger; }
UCHAR WINAPI FakeEnableLevel(TRACEHANDLE) { return g_state.level; }
ULONG WINAPI FakeEnableFlags(TRACEHANDLE) { return g_state.flags; }

ULONG WINAPI FakeUnregister(TRACEHANDLE) {
  ++g_state.unregistrations;
  return ERROR_SUCCESS;
}

ULONG __cdecl FakeMessageVa(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number,
                            va_list args) {
  PlatformMessage message{logger, flags, *guid, number, {}};
  for (;;) {
    const void* data = va_arg(args, const void*);
    if (data == nullptr) break;
    const std::size_t size = va_arg(args, std::size_t);
    message.args.emplace_back(static_cast<const char*>(data), size);
  }
  g_state.platform_messages.push_back(std::move(message));
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
  PlatformEvent event{logger,
                      header->Size,
                      header->Class.Type,
                      header->Class.Level,
                      header->Class.Version,
                      header->Flags,
                      reinterpret_cast<const GUID*>(static_cast<ULONG_PTR>(header->GuidPtr)),
                      {}};
  const auto* fields = reinterpret_cast<const MOF_FIELD*>(header + 1);
  const std::size_t count = (header->Size - sizeof(EVENT_TRACE_HEADER)) / sizeof(MOF_FIELD);
  for (std::size_t i = 0; i < count; ++i) {
    const auto* data = reinterpret_cast<const char*>(static_cast<ULONG_PTR>(fields[i].DataPtr));
    event.fields.emplace_back(data, fields[i].Length);
  }
  g_state.platform_events.push_back(std::move(event));
  return ERROR_SUCCESS;
}

RecordedArg RecordArg(const Arg& arg) {
  RecordedArg recorded;
  recorded.kind = arg.kind();
  recorded.bytes = arg.size();
  switch (arg.kind()) {
    case Arg::Kind::Int:
      std::memcpy(&recorded.value, arg.data(), sizeof recorded.value);
      break;
    case Arg::Kind::Narrow:
      recorded.narrow.assign(static_cast<const char*>(arg.data()), arg.size() - 1);
      break;
    case Arg::Kind::Wide:
      recorded.wide.assign(static_cast<const wchar_t*>(arg.data()),
                           arg.size() / sizeof(wchar_t) - 1);
      break;
  }
  return recorded;
}

void Observe(void*, const Message& message) {
  RecordedMessage recorded{message.source, message.number, message.level, message.flag, {}};
  for (const Arg& arg : message.args) recorded.args.push_back(RecordArg(arg));
  g_state.messages.push_back(std::move(recorded));
}

Platform RecorderPlatform() {
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
  return platform;
}

}  // namespace

TraceRecorder::TraceRecorder(RegisteredOnly) {
  if (g_state.active) throw std::logic_error("one TraceRecorder at a time");
  g_state = State{};
  g_state.active = true;
  previous_ = ReplacePlatform(RecorderPlatform());
  RegisterTraceProvider();
}

TraceRecorder::TraceRecorder(std::uint8_t level, std::uint32_t flags)
    : TraceRecorder(RegisteredOnly{}) {
  Enable(level, flags);
}

TraceRecorder::~TraceRecorder() {
  UnregisterTraceProvider();
  ReplacePlatform(previous_);
  g_state = State{};
}

void TraceRecorder::Enable(std::uint8_t level, std::uint32_t flags) {
  g_state.enabled = true;
  g_state.level = level;
  g_state.flags = flags;
  ULONG size = 0;
  WNODE_HEADER buffer{};
  if (g_state.callback != nullptr) (void)g_state.callback(WMI_ENABLE_EVENTS, g_state.context, &size, &buffer);
}

void TraceRecorder::Disable() {
  g_state.enabled = false;
  ULONG size = 0;
  if (g_state.callback != nullptr) (void)g_state.callback(WMI_DISABLE_EVENTS, g_state.context, &size, nullptr);
}

const std::vector<RecordedMessage>& TraceRecorder::Messages() const { return g_state.messages; }

std::vector<int> TraceRecorder::Numbers(Source source) const {
  std::vector<int> numbers;
  for (const auto& m : g_state.messages) {
    if (m.source == source) numbers.push_back(m.number);
  }
  return numbers;
}

const RecordedMessage* TraceRecorder::Find(Source source, int number) const {
  for (const auto& m : g_state.messages) {
    if (m.source == source && m.number == number) return &m;
  }
  return nullptr;
}

const std::vector<PlatformMessage>& TraceRecorder::PlatformMessages() const {
  return g_state.platform_messages;
}

const std::vector<PlatformEvent>& TraceRecorder::PlatformEvents() const {
  return g_state.platform_events;
}

int TraceRecorder::Unregistrations() const { return g_state.unregistrations; }

void TraceRecorder::Clear() {
  g_state.messages.clear();
  g_state.platform_messages.clear();
  g_state.platform_events.clear();
}

WMIDPREQUEST TraceRecorder::Callback() const { return g_state.callback; }
void* TraceRecorder::CallbackContext() const { return g_state.context; }

}  // namespace qm::trace
