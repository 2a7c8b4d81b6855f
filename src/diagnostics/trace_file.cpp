#include "diagnostics/trace_file.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "diagnostics/trace_provider.h"
#include "support/text.h"

namespace qm::trace {
namespace {

constexpr wchar_t kVariable[] = L"QUILLMARK_TRACE";
// The longest value an environment variable can hold, terminator included.
constexpr DWORD kVariableCapacity = 32767;

std::optional<std::uint32_t> ParseNumber(std::wstring_view text, std::uint32_t limit) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    unsigned digit = 0;
    if (c >= L'0' && c <= L'9') {
      digit = static_cast<unsigned>(c - L'0');
    } else if (base == 16 && c >= L'a' && c <= L'f') {
      digit = static_cast<unsigned>(c - L'a' + 10);
    } else if (base == 16 && c >= L'A' && c <= L'F') {
      digit = static_cast<unsigned>(c - L'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > limit) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::string Utf8Of(std::wstring_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(text.size());
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string result(static_cast<std::size_t>(size), '\0');
  const int written =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), size, nullptr, nullptr);
  result.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return result;
}

void AppendJsonString(std::string& out, std::string_view utf8) {
  out += '"';
  for (char c : utf8) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string TimeText(const SYSTEMTIME& time) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", time.wYear, time.wMonth,
                time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
  return text;
}

// The text an argument carries, without its terminator, as UTF-8.
std::string ArgumentText(const Arg& arg) {
  if (arg.kind() == Arg::Kind::Wide) {
    const auto* chars = static_cast<const wchar_t*>(arg.data());
    const std::size_t count = arg.size() / sizeof(wchar_t);
    return Utf8Of(std::wstring_view(chars, count > 0 ? count - 1 : 0));
  }
  const auto* chars = static_cast<const char*>(arg.data());
  return Utf8Of(FromAnsi(std::string_view(chars, arg.size() > 0 ? arg.size() - 1 : 0)));
}

void AppendArgument(std::string& out, const Arg& arg) {
  switch (arg.kind()) {
    case Arg::Kind::Int: {
      std::int32_t value = 0;
      std::memcpy(&value, arg.data(), sizeof value);
      out += "{\"kind\":\"Int\",\"value\":" + std::to_string(value);
      break;
    }
    case Arg::Kind::Narrow:
      out += "{\"kind\":\"Narrow\",\"value\":";
      AppendJsonString(out, ArgumentText(arg));
      break;
    case Arg::Kind::Wide:
      out += "{\"kind\":\"Wide\",\"value\":";
      AppendJsonString(out, ArgumentText(arg));
      break;
  }
  out += ",\"bytes\":" + std::to_string(arg.size()) + "}";
}

}  // namespace

std::optional<FileTraceSettings> ParseFileTraceSettings(std::wstring_view value) {
  const std::size_t first = value.find(L',');
  if (first == std::wstring_view::npos) return std::nullopt;
  const std::size_t second = value.find(L',', first + 1);
  if (second == std::wstring_view::npos) return std::nullopt;

  const auto level = ParseNumber(value.substr(0, first), 0xFF);
  const auto flags = ParseNumber(value.substr(first + 1, second - first - 1), 0xFFFFFFFFu);
  const std::wstring_view path = value.substr(second + 1);
  if (!level || !flags || path.empty()) return std::nullopt;

  FileTraceSettings settings;
  settings.level = static_cast<std::uint8_t>(*level);
  settings.flags = *flags;
  settings.path.assign(path);
  return settings;
}

std::optional<FileTraceSettings> ReadFileTraceSettings() {
  std::wstring value(kVariableCapacity, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(kVariable, value.data(), kVariableCapacity);
  if (length == 0 || length >= kVariableCapacity) return std::nullopt;
  value.resize(length);
  return ParseFileTraceSettings(value);
}

std::string JsonLineOf(const Message& message, const SYSTEMTIME& time) {
  std::string line = "{\"time\":\"" + TimeText(time) + "\",\"guid\":\"" +
                     GuidText(MessageGuidOf(message.source)) + "\",\"source\":\"" +
                     std::string(SourceName(message.source)) +
                     "\",\"number\":" + std::to_string(message.number) +
                     ",\"level\":" + std::to_string(static_cast<int>(message.level)) +
                     ",\"flag\":" + std::to_string(message.flag) + ",\"args\":[";
  for (std::size_t i = 0; i < message.args.size(); ++i) {
    if (i > 0) line += ',';
    AppendArgument(line, message.args[i]);
  }
  line += "]}\n";
  return line;
}

bool FileTraceSink::Open(const std::wstring& path) noexcept {
  const std::lock_guard<std::mutex> guard(mutex_);
  file_.Reset(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file_.IsValid();
}

void FileTraceSink::Close() noexcept {
  const std::lock_guard<std::mutex> guard(mutex_);
  file_.Reset();
}

void FileTraceSink::Write(const Message& message) noexcept {
  try {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    const std::string line = JsonLineOf(message, now);
    if (line.size() > MAXDWORD) return;
    const std::lock_guard<std::mutex> guard(mutex_);
    if (!file_) return;
    // One write per line: with append access each line lands whole at the end,
    // even when another process appends to the same file.
    DWORD written = 0;
    (void)::WriteFile(file_.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  } catch (...) {
    // Out of memory while building the line: only this message is lost.
  }
}

}  // namespace qm::trace
