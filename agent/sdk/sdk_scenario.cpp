// Parser of the scenario's "sdk" section. Every error names the field the way
// a tester writes it: sdk.config["0x4009703"].type.

#include "sdk/sdk_scenario.h"

#include <charconv>
#include <limits>
#include <string_view>

#include "common/json_node.h"
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

// The SDK's own wording for text that is not UTF-8.
std::wstring WideText(const JsonNode& node) { return WideOfUtf8(node.Text(), node.Path()); }

// "0x1F" (any width up to 64 bits) or decimal digits, optionally negative.
bool ParseIntegerText(std::string_view text, bool& negative, std::uint64_t& magnitude, bool& hex) {
  negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex) text.remove_prefix(2);
  if (text.empty()) return false;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), magnitude, hex ? 16 : 10);
  return error == std::errc() && end == text.data() + text.size() && !(hex && negative);
}

// An integer of at most 64 bits as given: JSON number or text. Hexadecimal text
// is a bit pattern and is returned with `pattern` set.
void ReadInteger(const JsonNode& node, bool& negative, std::uint64_t& magnitude, bool& pattern) {
  const Json& json = node.Value();
  pattern = false;
  if (json.is_number_unsigned()) {
    negative = false;
    magnitude = json.get<std::uint64_t>();
  } else if (json.is_number_integer()) {
    const std::int64_t value = json.get<std::int64_t>();
    negative = value < 0;
    magnitude =
        negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  } else if (json.is_string()) {
    if (!ParseIntegerText(json.get<std::string>(), negative, magnitude, pattern)) {
      node.Fail("expected a decimal or 0x-hexadecimal integer, found " +
                Quoted(json.get<std::string>()));
    }
  } else {
    node.Fail("expected an integer, found " + Found(json));
  }
}

// The payload bits of an integer of `info`'s width, range-checked.
std::uint64_t IntegerBits(const JsonNode& node, const VariantTypeInfo& info) {
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
      node.Fail("bit pattern " + node.Value().get<std::string>() + " is wider than " + info.name);
    return magnitude;
  }
  if (negative ? magnitude > negative_max : magnitude > positive_max) {
    node.Fail(shown + " is out of range for " + info.name);
  }
  return (negative ? 0 - magnitude : magnitude) & mask;
}

HRESULT ParseHresult(const JsonNode& node) {
  if (node.Value().is_string()) {
    const std::string text = node.Value().get<std::string>();
    for (const NamedResult& named : kNamedResults) {
      if (text == named.name) return named.result;
    }
  }
  bool negative = false;
  bool pattern = false;
  std::uint64_t magnitude = 0;
  if (node.Value().is_string()) {
    const std::string text = node.Value().get<std::string>();
    if (!ParseIntegerText(text, negative, magnitude, pattern)) {
      node.Fail(
          "expected an HRESULT (\"0x80004005\", a number or a name such as \"E_FAIL\"), found " +
          Quoted(text));
    }
  } else {
    ReadInteger(node, negative, magnitude, pattern);
  }
  if (negative ? magnitude > 0x80000000u : magnitude > 0xFFFFFFFFu)
    node.Fail("HRESULT out of 32-bit range");
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
    if (error != std::errc() || end == text.data() || end == text.data() + text.size())
      return std::nullopt;
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
  const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day,
                                 &hour, &minute, &second, &tail);
  const bool date_only = fields == 3 && text.size() == 10;
  if (!date_only && fields != 6) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  return OleDateOf(year, month, day, hour, minute, second);
}

SdkValue ParseValue(const JsonNode& node);

SdkValue ParseDispatchPayload(const JsonNode& node) {
  const Json& json = node.Value();
  if (json.is_null()) return SdkValue::NoObject();
  if (json.is_array()) {
    std::vector<SdkValue> items;
    for (size_t i = 0; i < json.size(); ++i) items.push_back(ParseValue(node.At(i)));
    return SdkValue::List(std::move(items));
  }
  if (json.is_object()) {
    std::vector<SdkMapEntry> entries;
    node.ForEachMember([&](const std::string& key, const JsonNode& member) {
      entries.push_back({WideOfUtf8(key, member.Path()), ParseValue(member)});
    });
    return SdkValue::Map(std::move(entries));
  }
  node.Fail("a VT_DISPATCH value is an object (map), an array (list) or null, found " +
            Found(json));
}

SdkValue ParseExplicitValue(const JsonNode& node) {
  node.ExpectObject({"type", "value"});
  const JsonNode type_node = *node.Member("type");
  const std::string type_name = type_node.Text();
  const VariantTypeInfo* info = FindVariantType(type_name);
  if (info == nullptr) type_node.Fail("unknown VARIANT type " + Quoted(type_name));
  const std::optional<JsonNode> payload = node.Member("value");
  if (info->kind == VariantKind::Empty) {
    if (payload) payload->Fail(std::string(info->name) + " carries no value");
    SdkValue value;
    value.type = info->type;
    return value;
  }
  if (!payload) node.Fail(std::string("missing \"value\" for ") + info->name);
  const Json& json = payload->Value();
  switch (info->kind) {
    case VariantKind::Signed:
    case VariantKind::Unsigned:
      return SdkValue::Of(info->type, IntegerBits(*payload, *info));
    case VariantKind::Bool:
      if (json.is_boolean()) return SdkValue::Bool(json.get<bool>());
      return SdkValue::Of(VT_BOOL, IntegerBits(*payload, *info));
    case VariantKind::Real:
      if (!json.is_number()) payload->Fail("expected a number, found " + Found(json));
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
          "expected an OLE date number, \"YYYY-MM-DD\", \"YYYY-MM-DDTHH:MM:SS\" or \"now-8d\", "
          "found " +
          Quoted(text));
    }
    case VariantKind::Text:
      return SdkValue::Text(WideText(*payload));
    case VariantKind::Dispatch:
      return ParseDispatchPayload(*payload);
    case VariantKind::Empty:
      break;
  }
  node.Fail("unsupported type");
}

SdkValue ParseValue(const JsonNode& node) {
  const Json& json = node.Value();
  if (json.is_object() && json.contains("type")) return ParseExplicitValue(node);
  if (json.is_string()) return SdkValue::Text(WideText(node));
  if (json.is_boolean()) return SdkValue::Bool(json.get<bool>());
  if (json.is_null()) return SdkValue::Empty();
  if (json.is_number_float()) {
    SdkValue value;
    value.type = VT_R8;
    value.real = json.get<double>();
    return value;
  }
  if (json.is_number())
    return SdkValue::Of(VT_I4, IntegerBits(node, *FindVariantType(VARTYPE{VT_I4})));
  return ParseDispatchPayload(node);
}

// A value, or {"result": HRESULT, "value": value} for a result code.
SdkAnswer ParseAnswer(const JsonNode& node) {
  if (node.Value().is_object() && node.Value().contains("result") &&
      !node.Value().contains("type")) {
    node.ExpectObject({"result", "value"});
    SdkAnswer answer;
    answer.result = ParseHresult(*node.Member("result"));
    if (const auto value = node.Member("value")) answer.value = ParseValue(*value);
    return answer;
  }
  return SdkAnswer{S_OK, ParseValue(node)};
}

SdkObjectFaults ParseObjectFaults(const JsonNode& node, const ProgIdInfo* info) {
  if (info == nullptr) {
    node.ExpectObject({"create", "query"});
  } else {
    node.ExpectObject({"create", "query", "calls"});
  }
  SdkObjectFaults faults;
  if (const auto create = node.Member("create")) faults.create = ParseHresult(*create);
  if (const auto query = node.Member("query")) faults.query = ParseHresult(*query);
  if (const auto calls = node.Member("calls")) {
    calls->ForEachMember([&](const std::string& operation, const JsonNode& result) {
      if (!HasOperation(*info, operation)) {
        std::string known;
        for (const char* name : info->operations)
          known += (known.empty() ? "" : ", ") + std::string(name);
        result.Fail(std::string(info->scenario_name) + " has no operation " + Quoted(operation) +
                    (known.empty() ? " (it has none)" : " (it has: " + known + ")"));
      }
      faults.calls[WideOfUtf8(operation, result.Path())] = ParseHresult(result);
    });
  }
  return faults;
}

void ParseObjects(const JsonNode& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& prog_id, const JsonNode& faults) {
    const ProgIdInfo* info = FindProgId(std::string_view(prog_id));
    if (info == nullptr) faults.Fail("unknown ProgID " + Quoted(prog_id));
    scenario.objects[info->prog_id] = ParseObjectFaults(faults, info);
  });
}

void ParseConfig(const JsonNode& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& key, const JsonNode& item) {
    const LONG id = ParseItemId(key, item.Path());
    if (IsValueStoreItem(id)) item.Fail("a value store item: preset it in sdk.state");
    scenario.config[id] = ParseAnswer(item);
  });
}

void ParseState(const JsonNode& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& key, const JsonNode& item) {
    const LONG id = ParseItemId(key, item.Path());
    if (!IsValueStoreItem(id))
      item.Fail("only the value store items 0x4009501 and 0x4009502 persist");
    SdkValue value = ParseValue(item);
    if (value.type == VT_DISPATCH) item.Fail("the value store keeps scalar values only");
    scenario.state[id] = std::move(value);
  });
}

void ParseStateFaults(const JsonNode& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& key, const JsonNode& item) {
    const LONG id = ParseItemId(key, item.Path());
    if (!IsValueStoreItem(id))
      item.Fail("only the value store items 0x4009501 and 0x4009502 persist");
    item.ExpectObject({"get", "set"});
    SdkStoreFaults& faults = scenario.state_faults[id];
    if (const auto get = item.Member("get")) faults.get = ParseHresult(*get);
    if (const auto set = item.Member("set")) faults.set = ParseHresult(*set);
  });
}

SdkStatisticsAnswer ParseStatisticsAnswer(const std::wstring& key, const JsonNode& node) {
  const Json& json = node.Value();
  if (json.is_object() && json.contains("result") && !json.contains("type")) {
    node.ExpectObject({"result", "value", "entries"});
    SdkStatisticsAnswer answer;
    answer.result = ParseHresult(*node.Member("result"));
    const auto value = node.Member("value");
    const auto entries = node.Member("entries");
    if (value && entries) node.Fail("give either \"value\" or \"entries\", not both");
    if (value) answer.entries.push_back({key, ParseValue(*value)});
    if (entries) {
      entries->ForEachMember([&](const std::string& entry_key, const JsonNode& entry) {
        answer.entries.push_back({WideOfUtf8(entry_key, entry.Path()), ParseValue(entry)});
      });
    }
    return answer;
  }
  return SdkStatisticsAnswer{S_OK, {{key, ParseValue(node)}}};
}

void ParseStatistics(const JsonNode& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& key, const JsonNode& answer) {
    const std::wstring wide_key = WideOfUtf8(key, answer.Path());
    scenario.statistics[wide_key] = ParseStatisticsAnswer(wide_key, answer);
  });
}

// A bare count is the usual shape of the answer; anything else is an answer.
template <typename Shorthand>
SdkAnswer ParseCountOrAnswer(const JsonNode& node, Shorthand&& shorthand) {
  if (node.Value().is_number()) {
    const std::uint64_t count = IntegerBits(node, *FindVariantType(VARTYPE{VT_UI4}));
    if (count > 100000) node.Fail("a count above 100000 is not supported");
    return SdkAnswer{S_OK, shorthand(static_cast<std::uint32_t>(count))};
  }
  return ParseAnswer(node);
}

void ParseDatastore(const JsonNode& node, SdkScenario& scenario) {
  node.ForEachMember([&](const std::string& query_type, const JsonNode& answer) {
    if (query_type == "urls") {
      answer.ForEachMember([&](const std::string& user, const JsonNode& user_answer) {
        const std::wstring sid = WideOfUtf8(user, user_answer.Path());
        scenario.urls[sid] =
            ParseCountOrAnswer(user_answer, [&](std::uint32_t n) { return UrlsAnswer(sid, n); });
      });
    } else if (query_type == "countersMalware") {
      scenario.queries[L"countersMalware"] = ParseCountOrAnswer(answer, [](std::uint32_t n) {
        return CountersMalwareAnswer(static_cast<std::int32_t>(n));
      });
    } else {
      scenario.queries[WideOfUtf8(query_type, answer.Path())] = ParseAnswer(answer);
    }
  });
}

SdkAnswer ParseTuneUpReports(const JsonNode& node) {
  SdkAnswer answer = ParseAnswer(node);
  const SdkValue& value = answer.value;
  const bool list_or_nothing = value.type == VT_DISPATCH && value.shape != SdkValue::Shape::Map;
  if (SUCCEEDED(answer.result) && !list_or_nothing) {
    node.Fail(
        "expected a list of reports (an array) or {\"type\": \"VT_DISPATCH\", \"value\": null}");
  }
  return answer;
}

}  // namespace

LONG ParseItemName(std::string_view name, const std::string& path) {
  return ParseItemId(name, path);
}

SdkValue ParseSdkValue(const nlohmann::ordered_json& value, const std::string& path) {
  return ParseValue(JsonNode(value, path));
}

SdkScenario ParseSdkScenario(const nlohmann::ordered_json& sdk_section) {
  const JsonNode sdk(sdk_section, "sdk");
  sdk.ExpectObject({"root", "objects", "config", "state", "stateFaults", "license", "statistics",
                    "datastore", "tuneUpReports"});
  SdkScenario scenario;
  if (const auto root = sdk.Member("root")) scenario.root = ParseObjectFaults(*root, nullptr);
  if (const auto objects = sdk.Member("objects")) ParseObjects(*objects, scenario);
  if (const auto config = sdk.Member("config")) ParseConfig(*config, scenario);
  if (const auto state = sdk.Member("state")) ParseState(*state, scenario);
  if (const auto faults = sdk.Member("stateFaults")) ParseStateFaults(*faults, scenario);
  if (const auto license = sdk.Member("license")) scenario.license = ParseAnswer(*license);
  if (const auto statistics = sdk.Member("statistics")) ParseStatistics(*statistics, scenario);
  if (const auto datastore = sdk.Member("datastore")) ParseDatastore(*datastore, scenario);
  if (const auto reports = sdk.Member("tuneUpReports")) {
    scenario.tune_up_reports = ParseTuneUpReports(*reports);
  }
  return scenario;
}

SdkScenario ParseSdkScenario(const nlohmann::json& sdk_section) {
  return ParseSdkScenario(nlohmann::ordered_json(sdk_section));
}

}  // namespace qm::sim
