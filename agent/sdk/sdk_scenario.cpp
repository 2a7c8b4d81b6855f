// Parser of the scenario's "sdk" section. Every error names the field the way
// a tester writes it: sdk.config["0x4009703"].type.

#include "sdk/sdk_scenario.h"

#include <cctype>
#include <charconv>
#include <initializer_list>
#include <limits>
#include <string_view>

#include "sdk/sdk_text.h"
#include "sdk/sdk_types.h"

namespace qm::sim {
namespace {

using Json = nlohmann::ordered_json;

struct NamedResult {
  const char* name;
  HRESULT result;
};

constexpr NamedResult kNamedResults[] = {
    {"S_OK", S_OK},
    {"S_FALSE", S_FALSE},
    {"E_FAIL", E_FAIL},
    {"E_POINTER", E_POINTER},
    {"E_NOINTERFACE", E_NOINTERFACE},
    {"E_INVALIDARG", E_INVALIDARG},
    {"E_OUTOFMEMORY", E_OUTOFMEMORY},
    {"E_NOTIMPL", E_NOTIMPL},
    {"E_ACCESSDENIED", E_ACCESSDENIED},
    {"E_UNEXPECTED", E_UNEXPECTED},
    {"REGDB_E_CLASSNOTREG", REGDB_E_CLASSNOTREG},
    {"CO_E_CLASSSTRING", CO_E_CLASSSTRING},
    {"DISP_E_TYPEMISMATCH", DISP_E_TYPEMISMATCH},
    {"DISP_E_BADINDEX", DISP_E_BADINDEX},
};

bool IsIdentifier(std::string_view key) {
  if (key.empty() || std::isdigit(static_cast<unsigned char>(key[0]))) return false;
  for (char c : key) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

// A JSON value and the path that names it in messages.
class Node {
 public:
  Node(const Json& json, std::string path) : json_(json), path_(std::move(path)) {}

  [[nodiscard]] const Json& json() const { return json_; }
  [[nodiscard]] const std::string& path() const { return path_; }

  [[noreturn]] void Fail(const std::string& message) const { throw ScenarioError(path_ + ": " + message); }

  void ExpectObject(std::initializer_list<std::string_view> known) const {
    if (!json_.is_object()) Fail(std::string("expected an object, found ") + json_.type_name());
    for (const auto& item : json_.items()) {
      bool found = false;
      for (std::string_view name : known) found = found || item.key() == name;
      if (!found) {
        std::string list;
        for (std::string_view name : known) list += (list.empty() ? "" : ", ") + std::string(name);
        throw ScenarioError(MemberPath(item.key()) + ": unknown field (known: " + list + ")");
      }
    }
  }

  void ExpectMap() const {
    if (!json_.is_object()) Fail(std::string("expected an object, found ") + json_.type_name());
  }

  [[nodiscard]] std::string MemberPath(std::string_view key) const {
    if (IsIdentifier(key)) return path_ + "." + std::string(key);
    return path_ + "[" + Quoted(key) + "]";
  }

  [[nodiscard]] std::optional<Node> Find(std::string_view key) const {
    const auto found = json_.find(key);
    if (found == json_.end()) return std::nullopt;
    return Node(*found, MemberPath(key));
  }

  // Calls `visit(key, node)` for each member of an object, in file order.
  template <typename Visit>
  void ForEachMember(Visit&& visit) const {
    ExpectMap();
    for (const auto& item : json_.items()) visit(item.key(), Node(item.value(), MemberPath(item.key())));
  }

  [[nodiscard]] std::string Text() const {
    if (!json_.is_string()) Fail(std::string("expected a string, found ") + json_.type_name());
    return json_.get<std::string>();
  }

  [[nodiscard]] std::wstring WideText() const { return WideOfUtf8(Text(), path_); }

 private:
  const Json& json_;
  std::string path_;
};

// "0x1F" (any width up to 64 bits) or decimal digits, optionally negative.
bool ParseIntegerText(std::string_view text, bool& negative, std::uint64_t& magnitude, bool& hex) {
  negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex) text.remove_prefix(2);
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, hex ? 16 : 10);
  return error == std::errc() && end == text.data() + text.size() && !(hex && negative);
}

// An integer of at most 64 bits as given: JSON number or text. Hexadecimal text
// is a bit pattern and is returned with `pattern` set.
void ReadInteger(const Node& node, bool& negative, std::uint64_t& magnitude, bool& pattern) {
  const Json& json = node.json();
  pattern = false;
  if (json.is_number_unsigned()) {
    negative = false;
    magnitude = json.get<std::uint64_t>();
  } else if (json.is_number_integer()) {
    const std::int64_t value = json.get<std::int64_t>();
    negative = value < 0;
    magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  } else if (json.is_string()) {
    if (!ParseIntegerText(json.get<std::string>(), negative, magnitude, pattern)) {
      node.Fail("expected a decimal or 0x-hexadecimal integer, found " + Quoted(json.get<std::string>()));
    }
  } else {
    node.Fail(std::string("expected an integer, found ") + json.type_name());
  }
}

// The payload bits of an integer of `info`'s width, range-checked.
std::uint64_t IntegerBits(const Node& node, const VariantTypeInfo& info) {
  bool negative = false;
  bool pattern = false;
  std::uint64_t magnitude = 0;
  ReadInteger(node, negative, magnitude, pattern);
  const unsigned bits = info.bytes * 8;
  const std::uint64_t mask = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
  const bool is_signed = info.kind != VariantKind::Unsigned;
  const std::uint64_t positive_max = is_signed ? mask >> 1 : mask;
  const std::uint64_t negative_max = is_signed ? (mask >> 1) + 1 : 0;
  const std::string shown = (negative ? "-" : "") + std::to_string(magnitude);
  if (pattern) {
    if (magnitude > mask)
      node.Fail("bit pattern " + node.json().get<std::string>() + " is wider than " + info.name);
    return magnitude;
  }
  if (negative ? magnitude > negative_max : magnitude > positive_max) {
    node.Fail(shown + " is out of range for " + info.name);
  }
  return (negative ? 0 - magnitude : magnitude) & mask;
}

HRESULT ParseHresult(const Node& node) {
  if (node.json().is_string()) {
    const std::string text = node.json().get<std::string>();
    for (const NamedResult& named : kNamedResults) {
      if (text == named.name) return named.result;
    }
  }
  bool negative = false;
  bool pattern = false;
  std::uint64_t magnitude = 0;
  if (node.json().is_string()) {
    const std::string text = node.json().get<std::string>();
    if (!ParseIntegerText(text, negative, magnitude, pattern)) {
      node.Fail("expected an HRESULT (\"0x80004005\", a number or a name such as \"E_FAIL\"), found " +
                Quoted(text));
    }
  } else {
    ReadInteger(node, negative, magnitude, pattern);
  }
  if (negative ? magnitude > 0x80000000u : magnitude > 0xFFFFFFFFu) node.Fail("HRESULT out of 32-bit range");
  return static_cast<HRESULT>(static_cast<std::uint32_t>(negative ? 0 - magnitude : magnitude));
}

LONG ParseItemId(std::string_view key, const std::string& path) {
  bool negative = false;
  bool hex = false;
  std::uint64_t value = 0;
  if (!ParseIntegerText(key, negative, value, hex) || negative || value > 0xFFFFFFFFu) {
    throw ScenarioError(path + ": item identifier must be a 32-bit number such as \"0x4009701\"");
  }
  return static_cast<LONG>(static_cast<std::uint32_t>(value));
}

// "now", optionally followed by terms such as "-8d", "+2h", "-30m", "+5s".
std::optional<std::int64_t> ParseRelativeSeconds(std::string_view text) {
  if (text.substr(0, 3) != "now") return std::nullopt;
  text.remove_prefix(3);
  std::int64_t total = 0;
  while (!text.empty()) {
    const char sign = text[0];
    if (sign != '+' && sign != '-') return std::nullopt;
    text.remove_prefix(1);
    std::int64_t amount = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), amount);
    if (error != std::errc() || end == text.data() || end == text.data() + text.size()) return std::nullopt;
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    std::int64_t unit = 0;
    switch (text[0]) {
      case 'd':
        unit = 86400;
        break;
      case 'h':
        unit = 3600;
        break;
      case 'm':
        unit = 60;
        break;
      case 's':
        unit = 1;
        break;
      default:
        return std::nullopt;
    }
    text.remove_prefix(1);
    if (amount > 100000LL * 86400) return std::nullopt;
    total += (sign == '-' ? -amount : amount) * unit;
  }
  return total;
}

// "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS", as UTC.
std::optional<double> ParseCalendarDate(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char tail = 0;
  const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour,
                                 &minute, &second, &tail);
  const bool date_only = fields == 3 && text.size() == 10;
  if (!date_only && fields != 6) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  return OleDateOf(year, month, day, hour, minute, second);
}

SdkValue ParseValue(const Node& node);

SdkValue ParseDispatchPayload(const Node& node) {
  const Json& json = node.json();
  if (json.is_null()) return SdkValue::NoObject();
  if (json.is_array()) {
    std::vector<SdkValue> items;
    for (size_t i = 0; i < json.size(); ++i) {
      items.push_back(ParseValue(Node(json[i], node.path() + "[" + std::to_string(i) + "]")));
    }
    return SdkValue::List(std::move(items));
  }
  if (json.is_object()) {
    std::vector<SdkMapEntry> entries;
    node.ForEachMember([&](const std::string& key, const Node& member) {
      entries.push_back({WideOfUtf8(key, member.path()), ParseValue(member)});
    });
    return SdkValue::Map(std::move(entries));
  }
  node.Fail(std::string("a VT_DISPATCH value is an object (map), an array (list) or null, found ") +
            json.type_name());
}

SdkValue ParseExplicitValue(const Node& node) {
  node.ExpectObject({"type", "value"});
  const Node type_node = *node.Find("type");
  const std::string type_name = type_node.Text();
  const VariantTypeInfo* info = FindVariantType(type_name);
  if (info == nullptr) type_node.Fail("unknown VARIANT type " + Quoted(type_name));
  const std::optional<Node> payload = node.Find("value");
  if (info->kind == VariantKind::Empty) {
    if (payload) payload->Fail(std::string(info->name) + " carries no value");
    SdkValue value;
    value.type = info->type;
    return value;
  }
  if (!payload) node.Fail(std::string("missing \"value\" for ") + info->name);
  const Json& json = payload->json();
  switch (info->kind) {
    case VariantKind::Signed:
    case VariantKind::Unsigned:
      return SdkValue::Of(info->type, IntegerBits(*payload, *info));
    case VariantKind::Bool:
      if (json.is_boolean()) return SdkValue::Bool(json.get<bool>());
      return SdkValue::Of(VT_BOOL, IntegerBits(*payload, *info));
    case VariantKind::Real:
      if (!json.is_number()) payload->Fail(std::string("expected a number, found ") + json.type_name());
      {
        SdkValue value;
        value.type = VT_R8;
        value.real = json.get<double>();
        return value;
      }
    case VariantKind::Date: {
      if (json.is_number()) return SdkValue::Date(json.get<double>());
      const std::string text = payload->Text();
      if (const auto date = ParseCalendarDate(text)) return SdkValue::Date(*date);
      if (const auto seconds = ParseRelativeSeconds(text)) {
        SdkValue value = SdkValue::Date(0);
        value.seconds_from_now = *seconds;
        return value;
      }
      payload->Fail(
          "expected an OLE date number, \"YYYY-MM-DD\", \"YYYY-MM-DDTHH:MM:SS\" or \"now-8d\", found " +
          Quoted(text));
    }
    case VariantKind::Text:
      return SdkValue::Text(payload->WideText());
    case VariantKind::Dispatch:
      return ParseDispatchPayload(*payload);
    case VariantKind::Empty:
      break;
  }
  node.Fail("unsupported type");
}

SdkValue ParseValue(const Node& node) {
  const Json& json = node.json();
  if (json.is_object() && json.contains("type")) return ParseExplicitValue(node);
  if (json.is_string()) return SdkValue::Text(node.WideText());
  if (json.is_boolean()) return SdkValue::Bool(json.get<bool>());
  if (json.is_null()) return SdkValue::Empty();
  if (json.is_number_float()) {
    SdkValue value;
    value.type = VT_R8;
    value.real = json.get<double>();
    return value;
  }
  if (json.is_number()) return SdkValue::Of(VT_I4, IntegerBits(node, *FindVariantType(VARTYPE{VT_I4})));
  return ParseDispatchPayload(node);
}

// A value, or {"result": HRESULT, "value": value} for a result code.
SdkAnswer ParseAnswer(const Node& node) {
  if (node.json().is_object() && node.json().contains("result") && !node.json().contains("type")) {
    node.ExpectObject({"result", "value"});
    SdkAnswer answer;
    answer.result = ParseHresult(*node.Find("result"));
    if (const auto value = node.Find("value")) answer.value = ParseValue(*value);
    return answer;
  }
  return SdkAnswer{S_OK, ParseValue(node)};
}

SdkObjectFaults ParseObjectFaults(const Node& node, const ProgIdInfo* info) {
  if (info == nullptr) {
    node.ExpectObject({"create", "query"});
  } else {
    node.ExpectObject({"create", "query", "calls"});
  }
  SdkObjectFaults faults;
  if (const auto create = node.Find("create")) faults.create = ParseHresult(*create);
  if (const auto query = node.Find("query")) faults.query = ParseHresult(*query);
  if (const auto calls = node.Find("calls")) {
    calls->ForEachMember([&](const std::string& operation, const Node& result) {
      if (!HasOperation(*info, operation)) {
        std::string known;
        for (const char* name : info->operations) known += (known.empty() ? "" : ", ") + std::string(name);
        result.Fail(std::string(info->scenario_name) + " has no operation " + Quoted(operation) +
                    (known.empty() ? " (it has none)" : " (it has: " + known + ")"));
      }
      faults.calls[WideOfUtf8(operation, result.path())] = ParseHresult(result);
    });
  }
  return faults;
}

void ParseObjects(const Node& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& prog_id, const Node& faults) {
    const ProgIdInfo* info = FindProgId(std::string_view(prog_id));
    if (info == nullptr) faults.Fail("unknown ProgID " + Quoted(prog_id));
    scenario.objects[info->prog_id] = ParseObjectFaults(faults, info);
  });
}

void ParseConfig(const Node& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& key, const Node& item) {
    const LONG id = ParseItemId(key, item.path());
    if (IsValueStoreItem(id)) item.Fail("a value store item: preset it in sdk.state");
    scenario.config[id] = ParseAnswer(item);
  });
}

void ParseState(const Node& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& key, const Node& item) {
    const LONG id = ParseItemId(key, item.path());
    if (!IsValueStoreItem(id)) item.Fail("only the value store items 0x4009501 and 0x4009502 persist");
    SdkValue value = ParseValue(item);
    if (value.type == VT_DISPATCH) item.Fail("the value store keeps scalar values only");
    scenario.state[id] = std::move(value);
  });
}

void ParseStateFaults(const Node& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& key, const Node& item) {
    const LONG id = ParseItemId(key, item.path());
    if (!IsValueStoreItem(id)) item.Fail("only the value store items 0x4009501 and 0x4009502 persist");
    item.ExpectObject({"get", "set"});
    SdkStoreFaults& faults = scenario.state_faults[id];
    if (const auto get = item.Find("get")) faults.get = ParseHresult(*get);
    if (const auto set = item.Find("set")) faults.set = ParseHresult(*set);
  });
}

SdkStatisticsAnswer ParseStatisticsAnswer(const std::wstring& key, const Node& node) {
  const Json& json = node.json();
  if (json.is_object() && json.contains("result") && !json.contains("type")) {
    node.ExpectObject({"result", "value", "entries"});
    SdkStatisticsAnswer answer;
    answer.result = ParseHresult(*node.Find("result"));
    const auto value = node.Find("value");
    const auto entries = node.Find("entries");
    if (value && entries) node.Fail("give either \"value\" or \"entries\", not both");
    if (value) answer.entries.push_back({key, ParseValue(*value)});
    if (entries) {
      entries->ForEachMember([&](const std::string& entry_key, const Node& entry) {
        answer.entries.push_back({WideOfUtf8(entry_key, entry.path()), ParseValue(entry)});
      });
    }
    return answer;
  }
  return SdkStatisticsAnswer{S_OK, {{key, ParseValue(node)}}};
}

void ParseStatistics(const Node& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& key, const Node& answer) {
    const std::wstring wide_key = WideOfUtf8(key, answer.path());
    scenario.statistics[wide_key] = ParseStatisticsAnswer(wide_key, answer);
  });
}

// A bare count is the usual shape of the answer; anything else is an answer.
template <typename Shorthand>
SdkAnswer ParseCountOrAnswer(const Node& node, Shorthand&& shorthand) {
  if (node.json().is_number()) {
    const std::uint64_t count = IntegerBits(node, *FindVariantType(VARTYPE{VT_UI4}));
    if (count > 100000) node.Fail("a count above 100000 is not supported");
    return SdkAnswer{S_OK, shorthand(static_cast<std::uint32_t>(count))};
  }
  return ParseAnswer(node);
}

void ParseDatastore(const Node& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& query_type, const Node& answer) {
    if (query_type == "urls") {
      answer.ForEachMember([&](const std::string& user, const Node& user_answer) {
        const std::wstring sid = WideOfUtf8(user, user_answer.path());
        scenario.urls[sid] =
            ParseCountOrAnswer(user_answer, [&](std::uint32_t n) { return UrlsAnswer(sid, n); });
      });
    } else if (query_type == "countersMalware") {
      scenario.queries[L"countersMalware"] = ParseCountOrAnswer(
          answer, [](std::uint32_t n) { return CountersMalwareAnswer(static_cast<std::int32_t>(n)); });
    } else {
      scenario.queries[WideOfUtf8(query_type, answer.path())] = ParseAnswer(answer);
    }
  });
}

SdkAnswer ParseTuneUpReports(const Node& node) {
  SdkAnswer answer = ParseAnswer(node);
  const SdkValue& value = answer.value;
  const bool list_or_nothing = value.type == VT_DISPATCH && value.shape != SdkValue::Shape::Map;
  if (SUCCEEDED(answer.result) && !list_or_nothing) {
    node.Fail("expected a list of reports (an array) or {\"type\": \"VT_DISPATCH\", \"value\": null}");
  }
  return answer;
}

}  // namespace

LONG ParseItemName(std::string_view name, const std::string& path) { return ParseItemId(name, path); }

SdkValue ParseSdkValue(const nlohmann::ordered_json& value, const std::string& path) {
  return ParseValue(Node(value, path));
}

SdkScenario ParseSdkScenario(const nlohmann::ordered_json& sdk_section) {
  const Node sdk(sdk_section, "sdk");
  sdk.ExpectObject({"root", "objects", "config", "state", "stateFaults", "license", "statistics", "datastore",
                    "tuneUpReports"});
  SdkScenario scenario;
  if (const auto root = sdk.Find("root")) scenario.root = ParseObjectFaults(*root, nullptr);
  if (const auto objects = sdk.Find("objects")) ParseObjects(*objects, scenario);
  if (const auto config = sdk.Find("config")) ParseConfig(*config, scenario);
  if (const auto state = sdk.Find("state")) ParseState(*state, scenario);
  if (const auto faults = sdk.Find("stateFaults")) ParseStateFaults(*faults, scenario);
  if (const auto license = sdk.Find("license")) scenario.license = ParseAnswer(*license);
  if (const auto statistics = sdk.Find("statistics")) ParseStatistics(*statistics, scenario);
  if (const auto datastore = sdk.Find("datastore")) ParseDatastore(*datastore, scenario);
  if (const auto reports = sdk.Find("tuneUpReports")) scenario.tune_up_reports = ParseTuneUpReports(*reports);
  return scenario;
}

SdkScenario ParseSdkScenario(const nlohmann::json& sdk_section) {
  return ParseSdkScenario(nlohmann::ordered_json(sdk_section));
}

}  // namespace qm::sim
