#include "sdk/sdk_contract.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <functional>
#include <set>
#include <string_view>
#include <vector>

namespace qm::sim {
namespace {

using Json = nlohmann::ordered_json;

// Items the program reads: identity and suite values, the OS block, the
// connection settings, protection and add-ons, the counters' two items and
// the value store.
const std::set<std::string_view> kReadItems = {
    "0x4009701", "0x4009703", "0x4009704", "0x4009705", "0x4009706", "0x4009702", "0x4009707",
    "0x4009025", "0x4009015", "0x400904B", "0x4009019", "0x4009028", "0x4009014", "0x4009012",
    "0x4009013", "0x400902B", "0x4009068", "0x401C007", "0x4016001", "0x401F00B", "0x4024001",
    "0x4025009", "0x401F004", "0x4017005", "0x401F005", "0x4023001", "0x4009952", "0x4023004",
    "0x4023002", "0x4009501", "0x4009502", "0x306D001", "0x4009996"};

// The value store items and the one type each is written as.
constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kWrittenItems = {
    {{"0x4009501", "VT_UI4"}, {"0x4009502", "VT_DATE"}}};

const std::set<std::string_view> kProgIds = {
    "Omx.Context",       "Omx.Communication",  "Omx.Configuration",
    "Omx.License",       "Omx.Statistics",     "Omx.Datastore",
    "Omx.TuneUpReports", "Omx.DateTimeObject", "Omx.DateTimeFilterObject",
    "Omx.StringMap",     "Omx.VariantMap",     "Omx.List"};

std::string Text(const Json& node, const char* key) {
  const auto found = node.find(key);
  return found != node.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool IsObject(const Json& value, std::string_view prog_id) {
  return value.is_object() && Text(value, "type") == "VT_DISPATCH" &&
         Text(value, "progId") == prog_id;
}

bool IsAbsentObject(const Json& value) {
  return value.is_object() && Text(value, "type") == "VT_DISPATCH" && value.contains("value") &&
         value["value"].is_null();
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// One date or time of a date-time object: its text and the type of each part.
std::string PartsViolation(const Json& moment, const char* name, std::string_view type) {
  if (!moment.contains(name) || moment[name].is_null())
    return std::string("its ") + name + " unset";
  for (const Json& part : moment.value(std::string(name) + "Types", Json::array())) {
    if (part != type) return std::string("its ") + name + " parts not all " + std::string(type);
  }
  return {};
}

// A moment that names a real date and time of day.
bool IsCalendarMoment(const std::string& date, const std::string& time) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  return std::sscanf(date.c_str(), "%d-%d-%d", &year, &month, &day) == 3 &&
         std::sscanf(time.c_str(), "%d:%d:%d", &hour, &minute, &second) == 3 && month >= 1 &&
         month <= 12 && day >= 1 && day <= 31 && hour >= 0 && hour < 24 && minute >= 0 &&
         minute < 60 && second >= 0 && second < 60;
}

// One end of a date window: a date-time object whose parts are all `type`. A
// part the SDK refused to set stays unset.
std::string MomentViolation(const Json& moment, const char* end, std::string_view type,
                            bool refused_before) {
  if (!IsObject(moment, "Omx.DateTimeObject"))
    return std::string("the window's ") + end + " is no Omx.DateTimeObject";
  bool complete = true;
  for (const char* part : {"date", "time"}) {
    if (refused_before && moment.value(part, Json()).is_null()) {
      complete = false;
      continue;
    }
    if (std::string why = PartsViolation(moment, part, type); !why.empty())
      return std::string("the window's ") + end + ": " + why;
  }
  if (complete && !IsCalendarMoment(Text(moment, "date"), Text(moment, "time")))
    return std::string("the window's ") + end + " is no calendar moment";
  return {};
}

// What a date window must be: from `since` at midnight (parts `start_type`)
// to now (parts `end_type`).
struct WindowRule {
  std::string_view since;
  std::string_view start_type;
  std::string_view end_type;
};

constexpr WindowRule kCountersWindow{"1900-01-01", "VT_INT", "VT_UI2"};
constexpr WindowRule kBlockedThreatsWindow{"1901-01-01", "VT_I4", "VT_I4"};
constexpr WindowRule kUrlsWindow{"1971-01-01", "VT_UI2", "VT_UI2"};

std::string WindowViolation(const Json& filter, const WindowRule& rule, bool refused_before) {
  if (IsAbsentObject(filter)) return refused_before ? std::string() : "no date window";
  if (!IsObject(filter, "Omx.DateTimeFilterObject"))
    return "the window is no Omx.DateTimeFilterObject";
  const Json& start = filter.value("start", Json());
  const Json& end = filter.value("end", Json());
  if (IsAbsentObject(start) || IsAbsentObject(end))
    return refused_before ? std::string() : "the window's start or end is unset";
  if (std::string why = MomentViolation(start, "start", rule.start_type, refused_before);
      !why.empty())
    return why;
  if (std::string why = MomentViolation(end, "end", rule.end_type, refused_before); !why.empty())
    return why;
  // The end is the program's clock, which tests set anywhere; the start is fixed.
  const bool date_right =
      start.value("date", Json()).is_null() || Text(start, "date") == rule.since;
  const bool time_right =
      start.value("time", Json()).is_null() || Text(start, "time") == "00:00:00";
  if (!date_right || !time_right)
    return "the window starts " + start.value("date", Json()).dump() + " " +
           start.value("time", Json()).dump() + ", not " + std::string(rule.since) + " 00:00:00";
  return {};
}

using EntryRule = std::function<std::string(const Json& value, bool refused_before)>;

EntryRule TextValue(std::string_view expected) {
  return [expected = std::string(expected)](const Json& value, bool) -> std::string {
    if (Text(value, "type") != "VT_BSTR") return "is " + Text(value, "type") + ", not VT_BSTR";
    if (Text(value, "value") != expected)
      return "is " + Quoted(Text(value, "value")) + ", not " + Quoted(expected);
    return {};
  };
}

EntryRule AnySid() {
  return [](const Json& value, bool) -> std::string {
    if (Text(value, "type") != "VT_BSTR") return "is " + Text(value, "type") + ", not VT_BSTR";
    if (Text(value, "value").rfind("S-1-5-21-", 0) != 0) return "names no account SID";
    return {};
  };
}

EntryRule MaxResults() {
  return [](const Json& value, bool) -> std::string {
    if (Text(value, "type") != "VT_UINT" || value.value("value", Json()) != 2147483647)
      return "is " + value.dump() + ", not VT_UINT 2147483647";
    return {};
  };
}

// A map holding only `key`, a date window by `rule`.
EntryRule WindowMap(std::string_view key, WindowRule rule);

struct Entry {
  std::string_view key;
  EntryRule rule;
};

// A map's entries against `expected`, key for key in that order and in exact
// letter case. An entry may be missing only after the SDK refused something.
std::string EntriesViolation(const Json& map, std::string_view prog_id,
                             const std::vector<Entry>& expected, bool refused_before) {
  if (!IsObject(map, prog_id) || !map.value("value", Json()).is_object())
    return "not an " + std::string(prog_id) + " object";
  const Json& entries = map["value"];
  size_t next = 0;
  for (const auto& item : entries.items()) {
    const std::string& key = item.key();
    const Json& value = item.value();
    size_t found = next;
    while (found < expected.size() && expected[found].key != key) ++found;
    if (found == expected.size()) {
      for (const Entry& entry : expected) {
        const bool same_letters = std::equal(
            key.begin(), key.end(), entry.key.begin(), entry.key.end(),
            [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
        if (same_letters)
          return "key " + Quoted(key) + " where the contract spells it " + Quoted(entry.key);
      }
      return "unexpected key " + Quoted(key) + " (or out of order)";
    }
    if (found != next && !refused_before) return "key " + Quoted(expected[next].key) + " missing";
    if (std::string why = expected[found].rule(value, refused_before); !why.empty())
      return Quoted(key) + " " + why;
    next = found + 1;
  }
  if (next != expected.size() && !refused_before)
    return "key " + Quoted(expected[next].key) + " missing";
  return {};
}

EntryRule WindowMap(std::string_view key, WindowRule rule) {
  return [key = std::string(key), rule](const Json& value, bool refused_before) {
    return EntriesViolation(
        value, "Omx.VariantMap",
        {{key, [rule](const Json& filter,
                      bool refused) { return WindowViolation(filter, rule, refused); }}},
        refused_before);
  };
}

std::string QueryViolation(const Json& query, bool refused_before) {
  const Json entries = query.value("value", Json::object());
  const std::string type =
      entries.is_object() ? Text(entries.value("queryType", Json()), "value") : "";
  if (type == "countersMalware") {
    return EntriesViolation(query, "Omx.VariantMap",
                            {{"queryType", TextValue("countersMalware")},
                             {"dateTimeFilters", WindowMap("DetectionCounters", kCountersWindow)},
                             {"counterstype", TextValue("total")},
                             {"user", TextValue("ALL")}},
                            refused_before);
  }
  if (type == "urls") {
    return EntriesViolation(query, "Omx.VariantMap",
                            {{"queryType", TextValue("urls")},
                             {"user", AnySid()},
                             {"maxResults", MaxResults()},
                             {"orderBy", TextValue("DATE")},
                             {"countersType", TextValue("total")},
                             {"dateTimeFilters", WindowMap("MyFilter", kUrlsWindow)}},
                            refused_before);
  }
  return "a query of no known type (\"queryType\" " + Quoted(type) + ")";
}

std::string StatisticsViolation(const Json& filters, bool refused_before) {
  const Json entries = filters.value("value", Json::object());
  const auto window = [](WindowRule rule) {
    return
        [rule](const Json& filter, bool refused) { return WindowViolation(filter, rule, refused); };
  };
  if (entries.is_object() && entries.contains("0"))
    return EntriesViolation(filters, "Omx.StringMap", {{"0", window(kBlockedThreatsWindow)}},
                            refused_before);
  return EntriesViolation(filters, "Omx.StringMap", {{"TotalDetects", window(kCountersWindow)}},
                          refused_before);
}

std::string CreateObjectViolation(const Json& call) {
  const std::string prog_id = Text(call, "progId");
  if (kProgIds.count(prog_id) == 0) return "no such ProgID " + Quoted(prog_id);
  const bool with_context = call.value("context", false);
  if (prog_id == "Omx.Context" && with_context) return "the context is made without a context";
  if (prog_id != "Omx.Context" && !with_context) return prog_id + " is made without the context";
  if (call.contains("contextObject"))
    return "the context passed is " + call["contextObject"].get<std::string>();
  return {};
}

std::string ValueCallViolation(const Json& call) {
  const std::string item = Text(call, "item");
  if (call.contains("scope")) return "scope " + call["scope"].dump() + ", not 0";
  if (Text(call, "op") == "GetValue")
    return kReadItems.count(item) != 0 ? std::string() : "item " + item + " is never read";
  for (const auto& [written, type] : kWrittenItems) {
    if (item != written) continue;
    const std::string given = Text(call.value("value", Json()), "type");
    return given == type
               ? std::string()
               : "item " + item + " is written as " + std::string(type) + ", not " + given;
  }
  return "item " + item + " is never written";
}

}  // namespace

std::string ContractViolation(const Json& call, bool refused_before) {
  const std::string op = Text(call, "op");
  if (op == "CreateObject") return CreateObjectViolation(call);
  if (op == "GetValue" || op == "SetValue") return ValueCallViolation(call);
  if (op == "SetProperty") {
    if (Text(call, "name") != "ContextCommunication")
      return "property " + Quoted(Text(call, "name")) + " is never set";
    return IsObject(call.value("value", Json()), "Omx.Communication")
               ? std::string()
               : "\"ContextCommunication\" takes the Omx.Communication object";
  }
  if (op == "GetLicenseInfo")
    return Text(call.value("query", Json()), "type") == "VT_EMPTY" ? std::string()
                                                                   : "the query is not VT_EMPTY";
  if (op == "GetStatistics")
    return StatisticsViolation(call.value("filters", Json()), refused_before);
  if (op == "ExecuteQuery") return QueryViolation(call.value("query", Json()), refused_before);
  return {};
}

}  // namespace qm::sim
