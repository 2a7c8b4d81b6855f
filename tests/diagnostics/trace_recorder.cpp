#include "diagnostics/trace_recorder.h"

#include <cstring>
#include <stdexcept>

#include "diagnostics/trace_provider.h"

namespace qm::trace {
namespace {

// The stand-in trace session: the callback the provider registered, and the
// level and flags it is enabled with while `enabled`.
struct Session {
  bool in_use = false;
  WMIDPREQUEST callback = nullptr;
  void* context = nullptr;
  bool enabled = false;
  std::uint8_t level = 0;
  std::uint32_t flags = 0;
};
Session g_session;

void Request(WMIDPREQUESTCODE request) {
  ULONG size = 0;
  (void)g_session.callback(request, g_session.context, &size, nullptr);
}

ULONG WINAPI Register(WMIDPREQUEST callback, PVOID context, LPCGUID, ULONG,
                      PTRACE_GUID_REGISTRATION, LPCWSTR, LPCWSTR, PTRACEHANDLE handle) {
  g_session.callback = callback;
  g_session.context = context;
  *handle = 0x77;
  // As the system does for a session that is already running: the provider
  // is enabled before its registration returns.
  if (g_session.enabled) Request(WMI_ENABLE_EVENTS);
  return ERROR_SUCCESS;
}

TRACEHANDLE WINAPI LoggerHandle(PVOID) { return 0x1234'5678'9ABCull; }
UCHAR WINAPI EnableLevel(TRACEHANDLE) { return g_session.level; }
ULONG WINAPI EnableFlags(TRACEHANDLE) { return g_session.flags; }

void Record(void* messages, const Message& message) {
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
  static_cast<std::vector<RecordedMessage>*>(messages)->push_back(std::move(recorded));
}

}  // namespace

TraceRecorder::TraceRecorder(RegisteredOnly) {
  if (g_session.in_use) throw std::logic_error("one TraceRecorder at a time");
  g_session = {.in_use = true};
  Platform platform{};
  platform.register_guids = &Register;
  platform.logger_handle = &LoggerHandle;
  platform.enable_level = &EnableLevel;
  platform.enable_flags = &EnableFlags;
  platform.observe = &Record;
  platform.observe_context = &messages_;
  scope_.emplace(platform);
  RegisterTraceProvider();
}

TraceRecorder::TraceRecorder(std::uint8_t level, std::uint32_t flags)
    : TraceRecorder(RegisteredOnly{}) {
  Enable(level, flags);
}

TraceRecorder::~TraceRecorder() {
  UnregisterTraceProvider();
  scope_.reset();
  g_session = {};
}

void TraceRecorder::Enable(std::uint8_t level, std::uint32_t flags) {
  g_session.enabled = true;
  g_session.level = level;
  g_session.flags = flags;
  Request(WMI_ENABLE_EVENTS);
}

void TraceRecorder::Disable() {
  g_session.enabled = false;
  Request(WMI_DISABLE_EVENTS);
}

std::vector<int> TraceRecorder::Numbers(Source source) const {
  std::vector<int> numbers;
  for (const auto& m : messages_) {
    if (m.source == source) numbers.push_back(m.number);
  }
  return numbers;
}

const RecordedMessage* TraceRecorder::Find(Source source, int number) const {
  for (const auto& m : messages_) {
    if (m.source == source && m.number == number) return &m;
  }
  return nullptr;
}

}  // namespace qm::trace
