#include "sdk/sdk_types.h"

#include <windows.h>

#include <array>
#include <stdexcept>
#include <string>

#include "common/scenario_error.h"
#include "sdk/sdk_text.h"

namespace qm::sim {
namespace {

constexpr std::array<VariantTypeInfo, 16> kTypes{{
    {"VT_EMPTY", VT_EMPTY, VariantKind::Empty, 0},
    {"VT_NULL", VT_NULL, VariantKind::Empty, 0},
    {"VT_I2", VT_I2, VariantKind::Signed, 2},
    {"VT_I4", VT_I4, VariantKind::Signed, 4},
    {"VT_INT", VT_INT, VariantKind::Signed, 4},
    {"VT_I8", VT_I8, VariantKind::Signed, 8},
    {"VT_UI1", VT_UI1, VariantKind::Unsigned, 1},
    {"VT_UI2", VT_UI2, VariantKind::Unsigned, 2},
    {"VT_UI4", VT_UI4, VariantKind::Unsigned, 4},
    {"VT_UINT", VT_UINT, VariantKind::Unsigned, 4},
    {"VT_UI8", VT_UI8, VariantKind::Unsigned, 8},
    {"VT_BOOL", VT_BOOL, VariantKind::Bool, 2},
    {"VT_R8", VT_R8, VariantKind::Real, 8},
    {"VT_DATE", VT_DATE, VariantKind::Date, 8},
    {"VT_BSTR", VT_BSTR, VariantKind::Text, 0},
    {"VT_DISPATCH", VT_DISPATCH, VariantKind::Dispatch, 0},
}};

const ProgIdInfo kProgIds[] = {
    {L"Omx.Context", "Omx.Context", {"SetProperty"}},
    {L"Omx.Communication", "Omx.Communication", {}},
    {L"Omx.Configuration", "Omx.Configuration", {"GetValue", "SetValue"}},
    {L"Omx.License", "Omx.License", {"GetLicenseInfo"}},
    {L"Omx.Statistics", "Omx.Statistics", {"GetStatistics"}},
    {L"Omx.Datastore", "Omx.Datastore", {"ExecuteQuery"}},
    {L"Omx.TuneUpReports", "Omx.TuneUpReports", {"GetReports"}},
    {L"Omx.DateTimeObject", "Omx.DateTimeObject", {"SetDate", "SetTime"}},
    {L"Omx.DateTimeFilterObject", "Omx.DateTimeFilterObject", {"SetStart", "SetEnd"}},
    {L"Omx.StringMap", "Omx.StringMap", {"Add", "Set", "Get", "Count", "KeyAt", "ValueAt"}},
    {L"Omx.VariantMap", "Omx.VariantMap", {"Add", "Set", "Get", "Count", "KeyAt", "ValueAt"}},
    {L"Omx.List", "Omx.List", {"Count", "ItemAt", "Size"}},
};

}  // namespace

const ProgIdInfo* FindProgId(std::wstring_view prog_id) noexcept {
  for (const ProgIdInfo& info : kProgIds) {
    if (prog_id == info.prog_id) return &info;
  }
  return nullptr;
}

const ProgIdInfo* FindProgId(std::string_view scenario_name) noexcept {
  for (const ProgIdInfo& info : kProgIds) {
    if (scenario_name == info.scenario_name) return &info;
  }
  return nullptr;
}

bool HasOperation(const ProgIdInfo& info, std::string_view operation) noexcept {
  for (const char* name : info.operations) {
    if (operation == name) return true;
  }
  return false;
}

const VariantTypeInfo* FindVariantType(VARTYPE type) noexcept {
  for (const VariantTypeInfo& info : kTypes) {
    if (info.type == type) return &info;
  }
  return nullptr;
}

const VariantTypeInfo* FindVariantType(std::string_view name) noexcept {
  for (const VariantTypeInfo& info : kTypes) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

std::string Utf8Of(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring WideOfUtf8(std::string_view text, const std::string& path) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int chars =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (chars <= 0) throw ScenarioError(path + ": text is not valid UTF-8");
  std::wstring out(static_cast<size_t>(chars), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), chars);
  return out;
}

}  // namespace qm::sim
