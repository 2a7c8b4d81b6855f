#pragma once

// What the Omx SDK stand-in answers: the scenario's "sdk" section as C++ data.
// Tests fill an SdkScenario directly; the DLL parses it from the scenario file.

#include <oaidl.h>
#include <windows.h>

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/scenario_error.h"

namespace qm::sim {

// Value store items that persist between processes (the profile hash and the
// time of the last upload).
inline constexpr LONG kProfileHashItem = 0x4009501;
inline constexpr LONG kLastUploadTimeItem = 0x4009502;
[[nodiscard]] bool IsValueStoreItem(LONG item) noexcept;

struct SdkMapEntry;

// One value as the SDK hands it out: its exact VARIANT type and payload. Maps
// and lists become SDK objects (VT_DISPATCH) when handed out.
struct SdkValue {
  enum class Shape { Map, List, Nothing };  // what a VT_DISPATCH value holds

  VARTYPE type = VT_EMPTY;
  std::uint64_t bits = 0;                        // integer and VT_BOOL payload, two's complement
  double real = 0;                               // VT_R8 and absolute VT_DATE
  std::optional<std::int64_t> seconds_from_now;  // VT_DATE taken when handed out
  std::wstring text;                             // VT_BSTR
  Shape shape = Shape::Nothing;
  std::vector<SdkMapEntry> entries;  // Shape::Map, in order
  std::vector<SdkValue> items;       // Shape::List

  [[nodiscard]] static SdkValue Empty();
  [[nodiscard]] static SdkValue Of(VARTYPE type, std::uint64_t bits);  // integers, VT_BOOL
  [[nodiscard]] static SdkValue Bool(bool value);
  [[nodiscard]] static SdkValue Text(std::wstring text);
  [[nodiscard]] static SdkValue Date(double ole_date);
  [[nodiscard]] static SdkValue Map(std::vector<SdkMapEntry> entries);
  [[nodiscard]] static SdkValue List(std::vector<SdkValue> items);
  [[nodiscard]] static SdkValue NoObject();  // VT_DISPATCH holding null
};

struct SdkMapEntry {
  std::wstring key;
  SdkValue value;
};

// A result code and the value that comes with it (VT_EMPTY on failure).
struct SdkAnswer {
  HRESULT result = S_OK;
  SdkValue value;
};

// Injected results for one ProgID. A failure code stops the operation; a
// non-zero success code lets it happen and is returned instead of S_OK.
struct SdkObjectFaults {
  std::optional<HRESULT> create;          // CreateObject (root: class factory)
  std::optional<HRESULT> query;           // QueryInterface for the object's own interface;
                                          // S_OK: success without an interface
  std::map<std::wstring, HRESULT> calls;  // by operation name, e.g. L"SetProperty"
};

// Injected results of the value store's reads and writes of one item.
struct SdkStoreFaults {
  std::optional<HRESULT> get;
  std::optional<HRESULT> set;
};

// A statistics answer for one filter key: the report's entries (normally one,
// the key itself with its category map).
struct SdkStatisticsAnswer {
  HRESULT result = S_OK;
  std::vector<SdkMapEntry> entries;
};

struct SdkScenario {
  SdkObjectFaults root;
  std::map<std::wstring, SdkObjectFaults> objects;  // by ProgID
  std::map<LONG, SdkAnswer> config;                 // configuration items
  std::map<LONG, SdkValue> state;                   // value store preset
  std::map<LONG, SdkStoreFaults> state_faults;
  SdkAnswer license = DefaultLicense();
  std::map<std::wstring, SdkStatisticsAnswer> statistics;  // by filter key
  std::map<std::wstring, SdkAnswer> queries;               // datastore answers by "queryType"
  std::map<std::wstring, SdkAnswer> urls;                  // "urls" answers by "user"
  SdkAnswer tune_up_reports = SdkAnswer{S_OK, SdkValue::List({})};

  // {"Products": {}}: a licence object that knows no product.
  [[nodiscard]] static SdkAnswer DefaultLicense();
};

// Item identifier as the scenario writes it ("0x4009701"), and back.
[[nodiscard]] std::string ItemName(LONG item);
[[nodiscard]] LONG ParseItemName(std::string_view name, const std::string& path);

// The answer of a "countersMalware" query: {"ALL": {"DetectionCounters": {"TOTAL": total}}}.
[[nodiscard]] SdkValue CountersMalwareAnswer(std::int32_t total);
// The answer of a "urls" query holding `count` URLs for `user`.
[[nodiscard]] SdkValue UrlsAnswer(const std::wstring& user, std::uint32_t count);

// Parses the scenario's "sdk" section; throws ScenarioError naming the field
// path, e.g. `sdk.config["0x4009703"].type: unknown VARIANT type "VT_FOO"`.
// With ordered_json, maps keep the order in which the file lists them.
[[nodiscard]] SdkScenario ParseSdkScenario(const nlohmann::json& sdk_section);
[[nodiscard]] SdkScenario ParseSdkScenario(const nlohmann::ordered_json& sdk_section);

// One value in the scenario's value syntax (also the syntax of state.json);
// `path` names it in error messages.
[[nodiscard]] SdkValue ParseSdkValue(const nlohmann::ordered_json& value, const std::string& path);

// A value in its explicit form {"type": ..., "value": ...}, which parses back
// to the same value.
[[nodiscard]] nlohmann::ordered_json SdkValueToJson(const SdkValue& value);

// Name of a VARIANT type ("VT_UI4"), or "VT_<number>" for one without a name.
[[nodiscard]] std::string VariantTypeName(VARTYPE type);

// An HRESULT as "0x80004005".
[[nodiscard]] std::string HresultText(HRESULT result);

// OLE date of a UTC calendar time (no range check beyond the calendar's).
[[nodiscard]] double OleDateOf(int year, int month, int day, int hour, int minute, int second);
// The current UTC time as an OLE date, whole seconds.
[[nodiscard]] double OleDateNow();

}  // namespace qm::sim
