#pragma once

// The program's one logging channel: numbered messages with typed arguments,
// sent only when a trace controller has enabled the provider for the point's
// flag bit and level. Every trace point is written as
//
//   QM_TRACE(Source, Number, Level, Flag, args...);
//
// with args built by trace::Int, trace::Narrow, trace::Wide or trace::AnsiOf.
// Each point must have its row in trace_catalog.txt (checked by a test).
// The arguments are evaluated only after the three tests of IsEnabled pass.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace qm::trace {

// Trace sources, each with its own message GUID and numbering from 10.
enum class Source : std::uint8_t {
  RunDriver,
  ServiceControl,
  Tracking,
  CountersDocument,
  JsonWriter,
  Collector,
  ProfileDocument,
  DataFile,
  Upload,
};
inline constexpr int kSourceCount = 9;

enum class Level : std::uint8_t { Error = 2, Info = 4, Verbose = 5 };

namespace flags {
inline constexpr std::uint32_t Collector = 0x01;
inline constexpr std::uint32_t Documents = 0x02;
inline constexpr std::uint32_t DataFile = 0x04;
inline constexpr std::uint32_t Upload = 0x08;
inline constexpr std::uint32_t Run = 0x10;
}  // namespace flags

// One argument as it is sent: a byte range, plus the narrow text it owns when
// it was converted from wide text.
class Arg {
 public:
  enum class Kind : std::uint8_t { Int, Narrow, Wide };

  Kind kind() const noexcept { return kind_; }
  // Computed on use, so an Arg stays valid when copied or moved.
  const void* data() const noexcept {
    if (kind_ == Kind::Int) return &int_;
    return owned_ ? static_cast<const void*>(text_.c_str()) : data_;
  }
  std::uint32_t size() const noexcept { return size_; }

  static Arg FromNarrow(const char* text) noexcept;
  static Arg FromWide(const wchar_t* text) noexcept;
  static Arg FromOwnedNarrow(std::string text);

 private:
  Kind kind_ = Kind::Int;
  bool owned_ = false;
  std::uint32_t size_ = 0;
  std::int32_t int_ = 0;
  const void* data_ = nullptr;
  std::string text_;

  friend Arg Int(std::int32_t) noexcept;
  friend Arg Int(std::uint32_t) noexcept;
};

// A 32-bit integer argument (signed or unsigned; sent as its 4 bytes).
Arg Int(std::int32_t value) noexcept;
Arg Int(std::uint32_t value) noexcept;
inline Arg Int(long value) noexcept { return Int(static_cast<std::int32_t>(value)); }
inline Arg Int(unsigned long value) noexcept { return Int(static_cast<std::uint32_t>(value)); }
// Narrow text with its terminator; a null pointer is sent as "NULL".
Arg Narrow(const char* text) noexcept;
inline Arg Narrow(const std::string& text) noexcept { return Narrow(text.c_str()); }
// Wide text with its terminator; null is sent as L"NULL", empty as L"<NULL>".
Arg Wide(const wchar_t* text) noexcept;
inline Arg Wide(const std::wstring& text) noexcept { return Wide(text.c_str()); }
// Wide text sent as narrow text in the thread's ANSI code page.
Arg AnsiOf(std::wstring_view text);

// The process-wide control block of the provider.
struct ControlBlock {
  ControlBlock* next;
  std::uint64_t registration;  // TRACEHANDLE
  std::uint64_t logger;        // TRACEHANDLE
  std::uint8_t flags_length;
  std::uint8_t level;
  std::uint16_t options;
  std::uint32_t flags;
};

// Refers to itself while tracing is not live, to the control block otherwise.
extern std::atomic<const void*> g_control;

// The three tests of a trace point: live, flag bit, level.
inline bool IsEnabled(Level level, std::uint32_t flag) noexcept {
  const void* control = g_control.load(std::memory_order_relaxed);
  if (control == &g_control) return false;
  const auto* block = static_cast<const volatile ControlBlock*>(control);
  return (block->flags & flag) != 0 && block->level >= static_cast<std::uint8_t>(level);
}

// Sends one message that passed IsEnabled.
void Emit(Source source, std::uint16_t number, Level level, std::uint32_t flag,
          std::initializer_list<Arg> args) noexcept;

}  // namespace qm::trace

#define QM_TRACE(source, number, level, flag, ...)                                      \
  do {                                                                                  \
    if (::qm::trace::IsEnabled(::qm::trace::Level::level, ::qm::trace::flags::flag)) {  \
      ::qm::trace::Emit(::qm::trace::Source::source, number, ::qm::trace::Level::level, \
                        ::qm::trace::flags::flag, {__VA_ARGS__});                       \
    }                                                                                   \
  } while (false)
