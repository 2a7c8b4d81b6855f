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

const char* TypeName(const nlohmann::ordered_json& value) { return value.type_name(); }

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

void JsonNode::Fail(std::string_view message) const {
  throw ScenarioError(path_ + ": " + std::string(message));
}

void JsonNode::ExpectObject() const {
  if (!value_->is_object()) Fail(std::string("expected an object, found ") + TypeName(*value_));
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
  if (!value_->is_array()) Fail(std::string("expected an array, found ") + TypeName(*value_));
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
  if (!value_->is_string()) Fail(std::string("expected a string, found ") + TypeName(*value_));
  return value_->get<std::string>();
}

std::wstring JsonNode::WideText() const { return FromUtf8(Text(), path_); }

bool JsonNode::Bool() const {
  if (!value_->is_boolean())
    Fail(std::string("expected true or false, found ") + TypeName(*value_));
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
    Fail(std::string("expected a number, found ") + TypeName(*value_));
  }
  if (value > max)
    Fail("number " + std::to_string(value) + " is larger than " + std::to_string(max));
  return value;
}

}  // namespace qm::sim
