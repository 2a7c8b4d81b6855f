#include "diagnostics/trace_provider.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <optional>

#include "diagnostics/trace_file.h"
#include "diagnostics/trace_seam.h"
#include "support/unique_resource.h"

namespace qm::trace {
namespace {

// Reads "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" at compile time, so that each
// GUID is written once, in the form the format files and tools use.
constexpr unsigned HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  throw "not a hexadecimal digit";
}

constexpr unsigned long long HexValue(std::string_view text) {
  unsigned long long value = 0;
  for (char c : text) value = value * 16 + HexDigit(c);
  return value;
}

constexpr GUID Guid(std::string_view text) {
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
      text[23] != '-') {
    throw "not a GUID";
  }
  GUID guid{};
  guid.Data1 = static_cast<unsigned long>(HexValue(text.substr(0, 8)));
  guid.Data2 = static_cast<unsigned short>(HexValue(text.substr(9, 4)));
  guid.Data3 = static_cast<unsigned short>(HexValue(text.substr(14, 4)));
  guid.Data4[0] = static_cast<unsigned char>(HexValue(text.substr(19, 2)));
  guid.Data4[1] = static_cast<unsigned char>(HexValue(text.substr(21, 2)));
  for (std::size_t i = 0; i < 6; ++i) {
    guid.Data4[2 + i] = static_cast<unsigned char>(HexValue(text.substr(24 + 2 * i, 2)));
  }
  return guid;
}

struct SourceInfo {
  Source source;
  std::string_view name;
  GUID message_guid;
};

// tools/trace-tmf.py reads this table: keep one source per line.
constexpr std::array<SourceInfo, kSourceCount> kSources{{
    {Source::RunDriver, "RunDriver", Guid("65cae7fe-80a3-a263-ce9c-52de56f3a8be")},
    {Source::ServiceControl, "ServiceControl", Guid("8cc3f676-0d2b-3411-28b8-a879de8f84f7")},
    {Source::Tracking, "Tracking", Guid("82b9adc5-ad6d-fc49-a8db-57e38d9fa697")},
    {Source::CountersDocument, "CountersDocument", Guid("eed9beb3-7ced-94ce-a528-2081086287e5")},
    {Source::JsonWriter, "JsonWriter", Guid("703afd87-914c-c283-decb-39e5bd312503")},
    {Source::Collector, "Collector", Guid("2b88ba57-9a36-17fa-aa30-5c1af283c2d7")},
    {Source::ProfileDocument, "ProfileDocument", Guid("d7fa7bb1-4864-f79d-12af-a21b6ede1166")},
    {Source::DataFile, "DataFile", Guid("06bd9993-2052-4464-e7c9-af1eac4f11b3")},
    {Source::Upload, "Upload", Guid("5a70c3a1-0d83-d8ea-91b1-aeb1c40a9821")},
}};

constexpr bool SourcesInEnumOrder() {
  for (std::size_t i = 0; i < kSources.size(); ++i) {
    if (static_cast<std::size_t>(kSources[i].source) != i) return false;
  }
  return true;
}
static_assert(SourcesInEnumOrder());

const SourceInfo& InfoOf(Source source) noexcept {
  const auto index = static_cast<std::size_t>(source);
  return kSources[index < kSources.size() ? index : 0];
}

// The most arguments one trace point may pass; the longest shape in use is a
// date and time of six integers.
constexpr std::size_t kMaxArgs = 10;

Platform g_platform = SystemPlatform();

ControlBlock g_block{};

// Who enabled what: the system's controller through the callback, and the
// file controller from QUILLMARK_TRACE. The block holds their union, which is
// what the inline tests of every trace point read.
struct Enablement {
  std::atomic<std::uint8_t> level{0};
  std::atomic<std::uint32_t> flags{0};

  bool Admits(Level point_level, std::uint32_t flag) const noexcept {
    return (flags.load(std::memory_order_relaxed) & flag) != 0 &&
           level.load(std::memory_order_relaxed) >= static_cast<std::uint8_t>(point_level);
  }
  void Set(std::uint8_t new_level, std::uint32_t new_flags) noexcept {
    level.store(new_level, std::memory_order_relaxed);
    flags.store(new_flags, std::memory_order_relaxed);
  }
};
Enablement g_system;
Enablement g_file;

FileTraceSink& FileSink() {
  static FileTraceSink sink;
  return sink;
}

// The block is read without a lock by the run thread; writes go through a
// volatile view so the compiler keeps each of them.
volatile ControlBlock& Block() noexcept { return g_block; }

void PublishEnablements() noexcept {
  Block().level = std::max(g_system.level.load(), g_file.level.load());
  Block().flags = g_system.flags.load() | g_file.flags.load();
}

struct Slot {
  const void* data = nullptr;
  std::size_t size = 0;
};

void SendToSystem(const Message& message) noexcept {
  std::array<Slot, kMaxArgs> s{};
  for (std::size_t i = 0; i < message.args.size(); ++i) {
    s[i] = {message.args[i].data(), message.args[i].size()};
  }
  // The entry point reads pairs up to the first null pointer; unused slots
  // are null, and the last null ends a full list.
  const TraceMessageFunction send = g_platform.message;
  if (send == nullptr) return;
  (void)send(Block().logger, kMessageFlags, &MessageGuidOf(message.source), message.number,
             s[0].data, s[0].size, s[1].data, s[1].size, s[2].data, s[2].size, s[3].data, s[3].size,
             s[4].data, s[4].size, s[5].data, s[5].size, s[6].data, s[6].size, s[7].data, s[7].size,
             s[8].data, s[8].size, s[9].data, s[9].size, static_cast<const void*>(nullptr));
}

// Reading the settings allocates; without memory the file controller stays
// off, as tracing never changes the course of a run.
void StartFileController() noexcept {
  g_file.Set(0, 0);
  try {
    const std::optional<FileTraceSettings> settings = ReadFileTraceSettings();
    if (!settings) return;
    if (!FileSink().Open(settings->path)) return;
    g_file.Set(settings->level, settings->flags);
  } catch (const std::exception&) {
    g_file.Set(0, 0);
  }
}

}  // namespace

const GUID kControlGuid = Guid("c40c265c-4082-49a2-9d33-4aed27853dbc");

const GUID& MessageGuidOf(Source source) noexcept { return InfoOf(source).message_guid; }

std::string_view SourceName(Source source) noexcept { return InfoOf(source).name; }

Platform SystemPlatform() noexcept {
  Platform platform{};
  platform.tracing_library = L"advapi32";
  platform.register_guids = &::RegisterTraceGuidsW;
  platform.logger_handle = &::GetTraceLoggerHandle;
  platform.enable_level = &::GetTraceEnableLevel;
  platform.enable_flags = &::GetTraceEnableFlags;
  platform.message = &FallbackTraceMessage;
  platform.message_va = &FallbackTraceMessageVa;
  platform.event = &::TraceEvent;
  platform.unregister = &::UnregisterTraceGuids;
  return platform;
}

Platform CurrentPlatform() noexcept { return g_platform; }

PlatformScope::PlatformScope(const Platform& platform) noexcept : previous_(g_platform) {
  g_platform = platform;
}

PlatformScope::~PlatformScope() { g_platform = previous_; }

void LoadTracingSupportFrom(const wchar_t* library) noexcept {
  TraceMessageFunction message = &FallbackTraceMessage;
  TraceMessageVaFunction message_va = &FallbackTraceMessageVa;
  // The library stays loaded through the program's own import of it, so the
  // entry points outlive this handle.
  const UniqueModule module(::LoadLibraryW(library));
  if (module) {
    const auto found = GetProcAddressAs<TraceMessageFunction>(module.Get(), "TraceMessage");
    const auto found_va = GetProcAddressAs<TraceMessageVaFunction>(module.Get(), "TraceMessageVa");
    if (found != nullptr) {
      message = found;
      if (found_va != nullptr) message_va = found_va;
    }
  }
  g_platform.message = message;
  g_platform.message_va = message_va;
}

void LoadTracingSupport() noexcept {
  if (g_platform.tracing_library != nullptr) LoadTracingSupportFrom(g_platform.tracing_library);
}

void RegisterTraceProvider() noexcept {
  if (g_control.load() != &g_control) UnregisterTraceProvider();

  volatile ControlBlock& block = Block();
  block.next = nullptr;
  block.registration = 0;
  block.logger = 0;
  block.flags_length = 1;
  block.options = 0;
  g_system.Set(1, 0);
  StartFileController();
  PublishEnablements();
  g_control.store(&g_block);

  for (ControlBlock* each = &g_block; each != nullptr; each = each->next) {
    TRACE_GUID_REGISTRATION registration{&kControlGuid, nullptr};
    TRACEHANDLE handle = 0;
    if (g_platform.register_guids == nullptr) break;
    // A provider nobody can enable still runs; the result does not matter.
    (void)g_platform.register_guids(&TraceControlCallback, each, &kControlGuid, 1, &registration,
                                    nullptr, nullptr, &handle);
    each->registration = handle;
  }
}

void UnregisterTraceProvider() noexcept {
  if (g_control.load() == &g_control) return;
  for (ControlBlock* each = &g_block; each != nullptr; each = each->next) {
    if (each->registration != 0 && g_platform.unregister != nullptr) {
      (void)g_platform.unregister(each->registration);
    }
    each->registration = 0;
  }
  g_control.store(&g_control);
  g_file.Set(0, 0);
  FileSink().Close();
}

ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE request, PVOID context, ULONG* buffer_size,
                                  PVOID buffer) {
  if (buffer_size != nullptr) *buffer_size = 0;
  auto* block = static_cast<volatile ControlBlock*>(context);
  if (block == nullptr) return ERROR_INVALID_PARAMETER;
  switch (request) {
    case WMI_ENABLE_EVENTS: {
      const TRACEHANDLE logger = g_platform.logger_handle(buffer);
      block->logger = logger;
      g_system.Set(g_platform.enable_level(logger), g_platform.enable_flags(logger));
      break;
    }
    case WMI_DISABLE_EVENTS:
      block->logger = 0;
      g_system.Set(0, 0);
      break;
    default:
      return ERROR_INVALID_PARAMETER;
  }
  PublishEnablements();
  return ERROR_SUCCESS;
}

void Emit(Source source, std::uint16_t number, Level level, std::uint32_t flag,
          std::initializer_list<Arg> args) noexcept {
  // More arguments than any shape in use: the message cannot be encoded.
  if (args.size() > kMaxArgs) return;
  const Message message{source, number, level, flag,
                        std::span<const Arg>(args.begin(), args.size())};
  if (g_system.Admits(level, flag)) SendToSystem(message);
  if (g_file.Admits(level, flag)) FileSink().Write(message);
  if (g_platform.observe != nullptr) g_platform.observe(g_platform.observe_context, message);
}

}  // namespace qm::trace
