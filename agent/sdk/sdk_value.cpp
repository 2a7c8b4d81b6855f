// Values of the SDK stand-in: their constructors, explicit JSON form and the
// names under which scenarios write types and results.

#include <cmath>
#include <cstdio>
#include <utility>

#include "sdk/sdk_scenario.h"
#include "sdk/sdk_text.h"
#include "sdk/sdk_types.h"

namespace qm::sim {
namespace {

std::int64_t SignedPayload(const SdkValue& value, const VariantTypeInfo& info) {
  const unsigned bits = info.bytes * 8;
  std::uint64_t payload = value.bits;
  if (bits < 64 && (payload & (std::uint64_t{1} << (bits - 1))) != 0) {
    payload |= ~((std::uint64_t{1} << bits) - 1);  // sign-extend
  }
  return static_cast<std::int64_t>(payload);
}

}  // namespace

bool IsValueStoreItem(LONG item) noexcept {
  return item == kProfileHashItem || item == kLastUploadTimeItem;
}

SdkValue SdkValue::Empty() { return SdkValue{}; }

SdkValue SdkValue::Of(VARTYPE type, std::uint64_t bits) {
  SdkValue value;
  value.type = type;
  value.bits = bits;
  return value;
}

SdkValue SdkValue::Bool(bool flag) {
  return Of(VT_BOOL, flag ? static_cast<std::uint16_t>(VARIANT_TRUE) : 0u);
}

SdkValue SdkValue::Text(std::wstring text) {
  SdkValue value;
  value.type = VT_BSTR;
  value.text = std::move(text);
  return value;
}

SdkValue SdkValue::Date(double ole_date) {
  SdkValue value;
  value.type = VT_DATE;
  value.real = ole_date;
  return value;
}

SdkValue SdkValue::Map(std::vector<SdkMapEntry> entries) {
  SdkValue value;
  value.type = VT_DISPATCH;
  value.shape = Shape::Map;
  value.entries = std::move(entries);
  return value;
}

SdkValue SdkValue::List(std::vector<SdkValue> items) {
  SdkValue value;
  value.type = VT_DISPATCH;
  value.shape = Shape::List;
  value.items = std::move(items);
  return value;
}

SdkValue SdkValue::NoObject() {
  SdkValue value;
  value.type = VT_DISPATCH;
  return value;
}

SdkAnswer SdkScenario::DefaultLicense() {
  return SdkAnswer{S_OK, SdkValue::Map({{L"Products", SdkValue::Map({})}})};
}

std::string ItemName(LONG item) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(item));
  return text;
}

std::string HresultText(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
  return text;
}

SdkValue CountersMalwareAnswer(std::int32_t total) {
  const auto counters =
      SdkValue::Map({{L"TOTAL", SdkValue::Of(VT_I4, static_cast<std::uint32_t>(total))}});
  return SdkValue::Map({{L"ALL", SdkValue::Map({{L"DetectionCounters", counters}})}});
}

SdkValue UrlsAnswer(const std::wstring& user, std::uint32_t count) {
  std::vector<SdkValue> urls;
  urls.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    urls.push_back(SdkValue::Text(L"https://site" + std::to_wstring(i + 1) + L".example/"));
  }
  return SdkValue::Map({{user, SdkValue::Map({{L"MyFilter", SdkValue::List(std::move(urls))}})}});
}

std::string VariantTypeName(VARTYPE type) {
  if (const VariantTypeInfo* info = FindVariantType(type)) return info->name;
  return "VT_" + std::to_string(type);
}

nlohmann::ordered_json SdkValueToJson(const SdkValue& value) {
  nlohmann::ordered_json out;
  out["type"] = VariantTypeName(value.type);
  const VariantTypeInfo* info = FindVariantType(value.type);
  if (info == nullptr) return out;
  switch (info->kind) {
    case VariantKind::Empty:
      break;
    case VariantKind::Signed:
      out["value"] = SignedPayload(value, *info);
      break;
    case VariantKind::Unsigned:
      out["value"] = value.bits;
      break;
    case VariantKind::Bool: {
      const auto raw = static_cast<std::int16_t>(value.bits & 0xFFFF);
      if (raw == VARIANT_TRUE || raw == VARIANT_FALSE) {
        out["value"] = raw != 0;
      } else {
        out["value"] = raw;
      }
      break;
    }
    case VariantKind::Real:
      out["value"] = value.real;
      break;
    case VariantKind::Date:
      if (value.seconds_from_now) {
        out["value"] = "now" + std::string(*value.seconds_from_now < 0 ? "-" : "+") +
                       std::to_string(std::llabs(*value.seconds_from_now)) + "s";
      } else {
        out["value"] = value.real;
      }
      break;
    case VariantKind::Text:
      out["value"] = Utf8Of(value.text);
      break;
    case VariantKind::Dispatch:
      if (value.shape == SdkValue::Shape::Map) {
        nlohmann::ordered_json map = nlohmann::ordered_json::object();
        for (const SdkMapEntry& entry : value.entries)
          map[Utf8Of(entry.key)] = SdkValueToJson(entry.value);
        out["value"] = std::move(map);
      } else if (value.shape == SdkValue::Shape::List) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const SdkValue& item : value.items) list.push_back(SdkValueToJson(item));
        out["value"] = std::move(list);
      } else {
        out["value"] = nullptr;
      }
      break;
  }
  return out;
}

double OleDateOf(int year, int month, int day, int hour, int minute, int second) {
  // Days from the civil date (proleptic Gregorian), counted from 1970-01-01.
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int year_of_era = y - era * 400;
  const int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  const long long days_since_1970 = static_cast<long long>(era) * 146097 + day_of_era - 719468;
  constexpr long long kOleEpochTo1970 = 25569;  // 1899-12-30 to 1970-01-01
  const auto days = static_cast<double>(days_since_1970 + kOleEpochTo1970);
  const double fraction = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
  // Before the epoch the whole part counts back but the time of day still
  // counts forward: 1899-12-29 06:00 is -1.25.
  return days < 0 ? days - fraction : days + fraction;
}

double OleDateNow() {
  SYSTEMTIME now{};
  ::GetSystemTime(&now);
  return OleDateOf(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

}  // namespace qm::sim
