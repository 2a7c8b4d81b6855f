#include "diagnostics/trace.h"

#include <cstring>

#include "support/text.h"

namespace qm::trace {

std::atomic<const void*> g_control{&g_control};

namespace {
constexpr char kNullNarrow[] = "NULL";
constexpr wchar_t kNullWide[] = L"NULL";
constexpr wchar_t kEmptyWide[] = L"<NULL>";
}  // namespace

Arg Int(std::int32_t value) noexcept {
  Arg arg;
  arg.kind_ = Arg::Kind::Int;
  arg.int_ = value;
  arg.size_ = sizeof(std::int32_t);
  arg.data_ = nullptr;
  return arg;
}

Arg Int(std::uint32_t value) noexcept { return Int(static_cast<std::int32_t>(value)); }

Arg Narrow(const char* text) noexcept { return Arg::FromNarrow(text); }
Arg Wide(const wchar_t* text) noexcept { return Arg::FromWide(text); }
Arg AnsiOf(std::wstring_view text) { return Arg::FromOwnedNarrow(ToAnsi(text)); }

Arg Arg::FromNarrow(const char* text) noexcept {
  Arg arg;
  arg.kind_ = Kind::Narrow;
  arg.data_ = text != nullptr ? text : kNullNarrow;
  arg.size_ = static_cast<std::uint32_t>(std::strlen(static_cast<const char*>(arg.data_)) + 1);
  return arg;
}

Arg Arg::FromWide(const wchar_t* text) noexcept {
  Arg arg;
  arg.kind_ = Kind::Wide;
  const wchar_t* sent = text == nullptr ? kNullWide : (*text == L'\0' ? kEmptyWide : text);
  arg.data_ = sent;
  arg.size_ = static_cast<std::uint32_t>((std::wcslen(sent) + 1) * sizeof(wchar_t));
  return arg;
}

Arg Arg::FromOwnedNarrow(std::string text) {
  Arg arg;
  arg.kind_ = Kind::Narrow;
  arg.owned_ = true;
  arg.size_ = static_cast<std::uint32_t>(text.size() + 1);
  arg.text_ = std::move(text);
  return arg;
}

}  // namespace qm::trace
