#pragma once

// Typed, path-aware access to a scenario's JSON: every failure throws
// ScenarioError naming the field the way a tester writes it, e.g.
// `registry[2].values["Path"].type: unknown registry type "REG_FOO"`.
// Objects keep the order the file gives their members: the SDK stand-in hands
// maps out in that order.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qm::sim {

class JsonNode {
 public:
  JsonNode(const nlohmann::ordered_json& value, std::string path)
      : value_(&value), path_(std::move(path)) {}

  [[nodiscard]] const nlohmann::ordered_json& Value() const noexcept { return *value_; }
  [[nodiscard]] const std::string& Path() const noexcept { return path_; }

  [[noreturn]] void Fail(std::string_view message) const;

  // Fails unless this is an object whose members are all among `known`.
  void ExpectObject(std::initializer_list<std::string_view> known) const;
  void ExpectObject() const;
  void ExpectArray() const;

  [[nodiscard]] std::optional<JsonNode> Member(std::string_view key) const;
  [[nodiscard]] JsonNode Required(std::string_view key) const;
  [[nodiscard]] JsonNode At(size_t index) const;
  // Path of a member whose key is any text (quoted unless an identifier).
  [[nodiscard]] std::string MemberPath(std::string_view key) const;

  // Calls `visit(key, member)` for each member of an object, in file order.
  template <typename Visit>
  void ForEachMember(Visit&& visit) const {
    ExpectObject();
    for (const auto& item : value_->items()) {
      visit(item.key(), JsonNode(item.value(), MemberPath(item.key())));
    }
  }

  [[nodiscard]] std::string Text() const;
  [[nodiscard]] std::wstring WideText() const;
  [[nodiscard]] bool Bool() const;
  // An unsigned number, given as a JSON number or a "0x..." / decimal text.
  [[nodiscard]] std::uint64_t Unsigned(std::uint64_t max) const;
  // A whole number given as a JSON number only: "2" is a text, and refused.
  [[nodiscard]] std::uint64_t WholeNumber(std::uint64_t max) const;

 private:
  const nlohmann::ordered_json* value_;
  std::string path_;
};

[[nodiscard]] std::string Quoted(std::string_view text);

// A wrong value as an error shows it: its JSON type and, for a scalar, the
// value itself (`string "no"`, `number 2.5`, `object`).
[[nodiscard]] std::string Found(const nlohmann::ordered_json& value);

// Parses a JSON document; a syntax error throws ScenarioError naming `where`
// and the line and column, without the parser's internal tag.
[[nodiscard]] nlohmann::ordered_json ParseJsonText(const std::string& bytes,
                                                   const std::string& where);

}  // namespace qm::sim
