#include "common/reg_file.h"

#include <cstdint>

#include "common/scenario_error.h"
#include "common/sim_host_name.h"
#include "common/sim_text.h"

namespace qm::sim {
namespace {

struct RootName {
  const wchar_t* long_name;
  const wchar_t* short_name;
  HKEY root;
};

const RootName kRoots[] = {
    {L"HKEY_LOCAL_MACHINE", L"HKLM", HKEY_LOCAL_MACHINE},
    {L"HKEY_CURRENT_USER", L"HKCU", HKEY_CURRENT_USER},
    {L"HKEY_CLASSES_ROOT", L"HKCR", HKEY_CLASSES_ROOT},
    {L"HKEY_USERS", L"HKU", HKEY_USERS},
};

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

void AppendWide(std::string& bytes, wchar_t c) {
  bytes += static_cast<char>(static_cast<std::uint16_t>(c) & 0xFF);
  bytes += static_cast<char>((static_cast<std::uint16_t>(c) >> 8) & 0xFF);
}

std::string LittleEndian(std::uint64_t value, size_t size) {
  std::string bytes;
  for (size_t i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// "01,02,ff" or "01 02 ff" (any mix of commas and blanks between bytes).
bool ParseHexBytes(std::wstring_view text, std::string& bytes) {
  std::string result;
  size_t i = 0;
  while (i < text.size()) {
    const wchar_t c = text[i];
    if (c == L',' || c == L' ' || c == L'\t') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return false;
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    if (i + 2 < text.size() && HexDigit(text[i + 2]) >= 0) return false;
    result += static_cast<char>(high * 16 + low);
    i += 2;
  }
  bytes = std::move(result);
  return true;
}

struct TypeName {
  const char* name;
  DWORD type;
};

constexpr TypeName kTypes[] = {
    {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ}, {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_DWORD", REG_DWORD}, {"REG_QWORD", REG_QWORD},         {"REG_BINARY", REG_BINARY},
    {"REG_NONE", REG_NONE},
};

// ---- .reg files ----

class RegFileParser {
 public:
  RegFileParser(std::wstring text, RegistryView view, std::string where)
      : text_(std::move(text)), view_(view), where_(std::move(where)) {}

  std::vector<RegistryKeyEntry> Parse() {
    std::wstring line;
    bool header_seen = false;
    while (NextLogicalLine(line)) {
      if (!header_seen) {
        if (line.empty()) continue;
        if (line != L"Windows Registry Editor Version 5.00") {
          Fail("expected the header \"Windows Registry Editor Version 5.00\"");
        }
        header_seen = true;
        continue;
      }
      if (line.empty() || line[0] == L';') continue;
      if (line[0] == L'[') {
        StartKey(line);
      } else {
        AddValue(line);
      }
    }
    if (!header_seen) Fail("empty file");
    return std::move(entries_);
  }

 private:
  [[noreturn]] void Fail(const std::string& message) const {
    throw ScenarioError(where_ + " line " + std::to_string(line_number_) + ": " + message);
  }

  // Joins hex continuation lines (ending in '\') into one logical line.
  bool NextLogicalLine(std::wstring& line) {
    line.clear();
    bool any = false;
    while (position_ < text_.size()) {
      size_t end = text_.find(L'\n', position_);
      if (end == std::wstring::npos) end = text_.size();
      std::wstring physical = text_.substr(position_, end - position_);
      position_ = end + 1;
      if (!physical.empty() && physical.back() == L'\r') physical.pop_back();
      if (!any)
        line_number_ = ++physical_line_;
      else
        ++physical_line_;
      any = true;
      if (!line.empty()) {
        const size_t first = physical.find_first_not_of(L" \t");
        physical = first == std::wstring::npos ? std::wstring() : physical.substr(first);
      }
      line += physical;
      if (!line.empty() && line.back() == L'\\' && IsHexLine(line)) {
        line.pop_back();
        continue;
      }
      return true;
    }
    return any;
  }

  static bool IsHexLine(const std::wstring& line) {
    const size_t equals = ValueSeparator(line);
    if (equals == std::wstring::npos) return false;
    return line.compare(equals + 1, 3, L"hex") == 0;
  }

  // Position of the '=' after the value name ("name" with escapes, or @).
  static size_t ValueSeparator(const std::wstring& line) {
    if (line.empty()) return std::wstring::npos;
    if (line[0] == L'@') return line.size() > 1 && line[1] == L'=' ? 1 : std::wstring::npos;
    if (line[0] != L'"') return std::wstring::npos;
    for (size_t i = 1; i < line.size(); ++i) {
      if (line[i] == L'\\') {
        ++i;
      } else if (line[i] == L'"') {
        return i + 1 < line.size() && line[i + 1] == L'=' ? i + 1 : std::wstring::npos;
      }
    }
    return std::wstring::npos;
  }

  void StartKey(const std::wstring& line) {
    if (line.back() != L']') Fail("a key line must end with ']'");
    if (line.size() > 1 && line[1] == L'-') Fail("deleting keys ([-...]) is not supported");
    RegistryKeyEntry entry;
    entry.view = view_;
    SplitKeyName(line.substr(1, line.size() - 2), where_ + " line " + std::to_string(line_number_),
                 entry);
    entries_.push_back(std::move(entry));
  }

  static std::wstring Unescape(std::wstring_view quoted) {
    std::wstring text;
    for (size_t i = 0; i < quoted.size(); ++i) {
      if (quoted[i] == L'\\' && i + 1 < quoted.size()) ++i;
      text += quoted[i];
    }
    return text;
  }

  void AddValue(const std::wstring& line) {
    if (entries_.empty()) Fail("a value before the first [key] line");
    const size_t equals = ValueSeparator(line);
    if (equals == std::wstring::npos) Fail("expected \"name\"=data or @=data");
    RegistryValue value;
    if (line[0] == L'"') value.name = Unescape(std::wstring_view(line).substr(1, equals - 2));
    const std::wstring data = line.substr(equals + 1);
    ParseData(data, value);
    entries_.back().values.push_back(std::move(value));
  }

  void ParseData(const std::wstring& data, RegistryValue& value) {
    if (data == L"-") Fail("deleting values (=-) is not supported");
    if (!data.empty() && data[0] == L'"') {
      if (data.size() < 2 || data.back() != L'"') Fail("unterminated string data");
      value.type = REG_SZ;
      value.data = StringBytes(Unescape(std::wstring_view(data).substr(1, data.size() - 2)));
      return;
    }
    if (data.rfind(L"dword:", 0) == 0) {
      const std::wstring digits = data.substr(6);
      if (digits.empty() || digits.size() > 8) Fail("dword: needs 1 to 8 hexadecimal digits");
      std::uint32_t number = 0;
      for (wchar_t c : digits) {
        const int digit = HexDigit(c);
        if (digit < 0) Fail("dword: needs hexadecimal digits");
        number = number * 16 + static_cast<std::uint32_t>(digit);
      }
      value.type = REG_DWORD;
      value.data = LittleEndian(number, 4);
      return;
    }
    size_t colon = std::wstring::npos;
    if (data.rfind(L"hex:", 0) == 0) {
      value.type = REG_BINARY;
      colon = 3;
    } else if (data.rfind(L"hex(", 0) == 0) {
      const size_t close = data.find(L"):");
      if (close == std::wstring::npos || close == 4 || close > 12) Fail("expected hex(type):bytes");
      DWORD type = 0;
      for (size_t i = 4; i < close; ++i) {
        const int digit = HexDigit(data[i]);
        if (digit < 0) Fail("the type of hex(type) is hexadecimal");
        type = type * 16 + static_cast<DWORD>(digit);
      }
      value.type = type;
      colon = close + 1;
    } else {
      Fail("unknown data form (expected \"text\", dword:, hex: or hex(type):)");
    }
    if (!ParseHexBytes(std::wstring_view(data).substr(colon + 1), value.data)) {
      Fail("malformed hexadecimal bytes");
    }
  }

  std::wstring text_;
  RegistryView view_;
  std::string where_;
  size_t position_ = 0;
  size_t physical_line_ = 0;
  size_t line_number_ = 0;
  std::vector<RegistryKeyEntry> entries_;
};

std::wstring DecodeRegFileText(std::string_view bytes, const std::string& where) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) throw ScenarioError(where + ": odd length for UTF-16 text");
    std::wstring text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                   (static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return FromUtf8(bytes, where);
}

// {"type": "agentHostName", "data": host name, "prefix": text}: the host
// name as the agent stores it, enciphered here rather than by the tester.
RegistryValue AgentHostName(const JsonNode& node, RegistryValue value) {
  node.ExpectObject({"type", "data", "prefix"});
  const std::wstring host_name = node.Required("data").WideText();
  const auto prefix = node.Member("prefix");
  const std::wstring prefix_text = prefix ? prefix->WideText() : kAgentHostNamePrefix;
  try {
    value.data = StringBytes(AgentHostNameValue(host_name, prefix_text));
  } catch (const ScenarioError& error) {
    node.Fail(error.what());
  }
  value.type = REG_SZ;
  return value;
}

}  // namespace

std::string StringBytes(std::wstring_view text) {
  std::string bytes;
  for (wchar_t c : text) AppendWide(bytes, c);
  AppendWide(bytes, L'\0');
  return bytes;
}

std::string MultiStringBytes(const std::vector<std::wstring>& texts) {
  std::string bytes;
  for (const std::wstring& text : texts) bytes += StringBytes(text);
  AppendWide(bytes, L'\0');
  return bytes;
}

void SplitKeyName(std::wstring_view full_name, const std::string& where, RegistryKeyEntry& entry) {
  const size_t slash = full_name.find(L'\\');
  const std::wstring_view root = full_name.substr(0, slash);
  for (const RootName& candidate : kRoots) {
    if (EqualsIgnoringCase(root, candidate.long_name) ||
        EqualsIgnoringCase(root, candidate.short_name)) {
      entry.root = candidate.root;
      entry.root_name = candidate.long_name;
      std::wstring path(slash == std::wstring_view::npos ? std::wstring_view()
                                                         : full_name.substr(slash + 1));
      while (!path.empty() && path.back() == L'\\') path.pop_back();
      if (path.empty()) throw ScenarioError(where + ": a key below the root is required");
      if (path.find(L"\\\\") != std::wstring::npos)
        throw ScenarioError(where + ": empty key name in the path");
      entry.path = std::move(path);
      return;
    }
  }
  throw ScenarioError(where + ": unknown root " + Quoted(ToUtf8(root)) +
                      " (known: HKEY_LOCAL_MACHINE/HKLM, HKEY_CURRENT_USER/HKCU, "
                      "HKEY_CLASSES_ROOT/HKCR, HKEY_USERS/HKU)");
}

std::vector<RegistryKeyEntry> ParseRegFile(std::string_view bytes, RegistryView view,
                                           const std::string& where) {
  return RegFileParser(DecodeRegFileText(bytes, where), view, where).Parse();
}

std::wstring ExpandAgentFolder(std::wstring text, const std::wstring& agent_folder) {
  static constexpr std::wstring_view kPlaceholder = L"${agentFolder}";
  for (size_t at = text.find(kPlaceholder); at != std::wstring::npos;
       at = text.find(kPlaceholder, at + agent_folder.size())) {
    text.replace(at, kPlaceholder.size(), agent_folder);
  }
  return text;
}

RegistryValue ParseInlineValue(const JsonNode& node, std::wstring name,
                               const std::wstring& agent_folder) {
  RegistryValue value;
  value.name = std::move(name);
  if (node.Value().is_string()) {
    value.type = REG_SZ;
    value.data = StringBytes(ExpandAgentFolder(node.WideText(), agent_folder));
    return value;
  }
  if (node.Value().is_number()) {
    value.type = REG_DWORD;
    value.data = LittleEndian(node.Unsigned(0xFFFFFFFFu), 4);
    return value;
  }
  node.ExpectObject();
  const JsonNode type_node = node.Required("type");
  const std::string type_name = type_node.Text();
  if (type_name == "agentHostName") return AgentHostName(node, std::move(value));
  node.ExpectObject({"type", "data"});
  bool known = false;
  for (const TypeName& type : kTypes) {
    if (type_name == type.name) {
      value.type = type.type;
      known = true;
    }
  }
  if (!known) {
    type_node.Fail("unknown registry type " + Quoted(type_name) +
                   " (known: REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, "
                   "REG_BINARY, REG_NONE, agentHostName)");
  }
  const JsonNode data = node.Required("data");
  switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      value.data = StringBytes(ExpandAgentFolder(data.WideText(), agent_folder));
      break;
    case REG_MULTI_SZ: {
      data.ExpectArray();
      std::vector<std::wstring> texts;
      for (size_t i = 0; i < data.Value().size(); ++i) {
        texts.push_back(ExpandAgentFolder(data.At(i).WideText(), agent_folder));
      }
      value.data = MultiStringBytes(texts);
      break;
    }
    case REG_DWORD:
      value.data = LittleEndian(data.Unsigned(0xFFFFFFFFu), 4);
      break;
    case REG_QWORD:
      value.data = LittleEndian(data.Unsigned(UINT64_MAX), 8);
      break;
    default:
      if (!ParseHexBytes(data.WideText(), value.data)) {
        data.Fail("expected hexadecimal bytes such as \"01 02 ff\"");
      }
      break;
  }
  return value;
}

}  // namespace qm::sim
