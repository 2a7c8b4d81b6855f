#include "common/json_node.h"

#include <cctype>

#include "common/scenario_error.h"
#include "common/sim_text.h"

namespace qm::sim {
namespace {

bool IsIdentifier(std::string_view key) {
  if (key.empty() || std::isdigit(static_cast<unsigned char>(key[0]))) return false;
  for (char c : key) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

bool ParseUnsignedText(std::string_view text, std::uint64_t& value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t result = 0;
  for (char c : text) {
    int digit = 0;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    const std::uint64_t next =
        result * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if ((next - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base) != result)
      return false;
    result = next;
  }
  value = result;
  return true;
}

}  // namespace

std::string Quoted(std::string_view text) {
  std::string result = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') result += '\\';
    result += c;
  }
  result += '"';
  return result;
}

std::string Found(const nlohmann::ordered_json& value) {
  std::string shown = value.type_name();
  if (value.is_primitive() && !value.is_null()) shown += " " + value.dump();
  return shown;
}

nlohmann::ordered_json ParseJsonText(const std::string& bytes, const std::string& where) {
  try {
    return nlohmann::ordered_json::parse(bytes);
  } catch (const nlohmann::json::parse_error& error) {
    // "[json.exception.parse_error.101] parse error at line 3, column 9: ..."
    std::string_view message = error.what();
    const size_t tag_end = message.find("] ");
    if (!message.empty() && message[0] == '[' && tag_end != std::string_view::npos)
      message.remove_prefix(tag_end + 2);
    throw ScenarioError(where + ": not valid JSON (" + std::string(message) + ")");
  }
}

void JsonNode::Fail(std::string_view message) const {
  throw ScenarioError(path_ + ": " + std::string(message));
}

void JsonNode::ExpectObject() const {
  if (!value_->is_object()) Fail("expected an object, found " + Found(*value_));
}

void JsonNode::ExpectObject(std::initializer_list<std::string_view> known) const {
  ExpectObject();
  for (const auto& item : value_->items()) {
    bool found = false;
    for (std::string_view name : known) found = found || item.key() == name;
    if (!found) {
      std::string list;
      for (std::string_view name : known) list += (list.empty() ? "" : ", ") + std::string(name);
      throw ScenarioError(MemberPath(item.key()) + ": unknown field (known: " + list + ")");
    }
  }
}

void JsonNode::ExpectArray() const {
  if (!value_->is_array()) Fail("expected an array, found " + Found(*value_));
}

std::string JsonNode::MemberPath(std::string_view key) const {
  const std::string prefix = path_;
  if (IsIdentifier(key)) return prefix.empty() ? std::string(key) : prefix + "." + std::string(key);
  return prefix + "[" + Quoted(key) + "]";
}

std::optional<JsonNode> JsonNode::Member(std::string_view key) const {
  ExpectObject();
  const auto found = value_->find(key);
  if (found == value_->end()) return std::nullopt;
  return JsonNode(*found, MemberPath(key));
}

JsonNode JsonNode::Required(std::string_view key) const {
  std::optional<JsonNode> member = Member(key);
  if (!member) throw ScenarioError(MemberPath(key) + ": missing");
  return *member;
}

JsonNode JsonNode::At(size_t index) const {
  return JsonNode((*value_)[index], path_ + "[" + std::to_string(index) + "]");
}

std::string JsonNode::Text() const {
  if (!value_->is_string()) Fail("expected a string, found " + Found(*value_));
  return value_->get<std::string>();
}

std::wstring JsonNode::WideText() const { return FromUtf8(Text(), path_); }

bool JsonNode::Bool() const {
  if (!value_->is_boolean()) Fail("expected true or false, found " + Found(*value_));
  return value_->get<bool>();
}

std::uint64_t JsonNode::Unsigned(std::uint64_t max) const {
  std::uint64_t value = 0;
  if (value_->is_number_unsigned()) {
    value = value_->get<std::uint64_t>();
  } else if (value_->is_number_integer()) {
    Fail("expected a number of at least 0");
  } else if (value_->is_number_float()) {
    Fail("expected a whole number from 0 to " + std::to_string(max) + ", found " + value_->dump());
  } else if (value_->is_string()) {
    if (!ParseUnsignedText(value_->get<std::string>(), value)) {
      Fail("expected a decimal or 0x-hexadecimal number, found " +
           Quoted(value_->get<std::string>()));
    }
  } else {
    Fail("expected a number, found " + Found(*value_));
  }
  if (value > max)
    Fail("number " + std::to_string(value) + " is larger than " + std::to_string(max));
  return value;
}

std::uint64_t JsonNode::WholeNumber(std::uint64_t max) const {
  if (!value_->is_number())
    Fail("expected a whole number from 0 to " + std::to_string(max) + ", found " + Found(*value_));
  return Unsigned(max);
}

}  // namespace qm::sim
