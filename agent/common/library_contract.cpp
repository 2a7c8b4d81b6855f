#include "common/library_contract.h"

#include <algorithm>
#include <map>
#include <regex>
#include <utility>
#include <vector>

namespace qm::sim {
namespace {

using nlohmann::json;

constexpr char kServiceName[] = "gccppostsegmentation";
constexpr char kQueueName[] = "ProfilerQueue";
constexpr char kToken[] = "9f03c7e2a58d41b6e7102fa39c64d85b";
constexpr char kProduct[] = "TVN";
constexpr char kClientKey[] = "5e2b9c41-7d3a-4f86-b0e9-2c71a4d8f365";
constexpr char kMobileSetting[] = "REGISTER.AgentFeatures.Mobile";
constexpr unsigned kSettingCapacity = 260;

// The parameter each tracking event carries.
const std::map<std::string, std::string> kEventParameters = {
    {"prfNotMUID", "ptExecution"}, {"prfSvrNotRun", "svrStatus"}, {"prfFailOMX", "omxError"}};

std::string Text(const json& entry, const char* key) {
  const auto found = entry.find(key);
  return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool IsText(const json& entry, const char* key) {
  return entry.contains(key) && entry[key].is_string();
}

std::string Expect(const json& entry, const char* key, std::string_view wanted) {
  if (IsText(entry, key) && Text(entry, key) == wanted) return {};
  return std::string(key) + " is " + entry.value(key, json()).dump() + ", not \"" +
         std::string(wanted) + "\"";
}

bool IsSignedDecimal(const std::string& text) {
  static const std::regex kDecimal("-?[0-9]+");
  return std::regex_match(text, kDecimal);
}

std::string CredentialsViolation(const json& credentials) {
  if (!credentials.is_object()) return "no credentials record";
  if (credentials.value("size", 0u) != 36) return "the credentials record's size is not 36";
  if (credentials.value("reserved", json()) != json::array({0, 0, 0, 0}))
    return "the credentials' reserved words are not 0";
  if (credentials.value("tokenLength", 0u) != 32) return "the token length is not 32";
  const std::pair<const char*, const char*> texts[] = {
      {"token", kToken}, {"product", kProduct}, {"clientKey", kClientKey}};
  for (const auto& [key, wanted] : texts) {
    if (std::string why = Expect(credentials, key, wanted); !why.empty())
      return "credentials " + why;
  }
  return {};
}

std::string OpenChannelViolation(const json& entry) {
  static const std::regex kProgramId("Quillmark_[0-9]+_[0-9]+_[0-9]+_[0-9]+|Quillmark_1\\.0\\.0");
  if (!std::regex_match(Text(entry, "programId"), kProgramId))
    return "programId " + entry.value("programId", json()).dump() + " is no program identifier";
  if (!IsText(entry, "hostName")) return "no host name text";
  if (std::string why = Expect(entry, "serviceName", kServiceName); !why.empty()) return why;
  if (Text(entry, "suiteVersion").empty() || Text(entry, "muid").empty())
    return "the suite version or the MUID is empty";
  if (entry.value("mode", 0) != 1) return "mode " + entry.value("mode", json()).dump() + ", not 1";
  return CredentialsViolation(entry.value("credentials", json()));
}

// A record of connection settings: the first always there, the other two
// either absent or not empty (`others_present`: always there, maybe empty).
std::string SettingsRecordViolation(const json& settings, bool others_present) {
  if (!settings.is_object() || settings.value("size", 0u) != 16)
    return "the connection settings record's size is not 16";
  if (Text(settings, "setting1").empty()) return "setting1 is empty";
  for (const char* other : {"setting2", "setting3"}) {
    const json& value = settings.value(other, json());
    const bool fits =
        others_present ? value.is_string() : value.is_null() || !Text(settings, other).empty();
    if (!fits)
      return std::string(other) + (others_present ? " is absent" : " is empty, not absent");
  }
  return {};
}

std::string StartViolation(const json& entry) {
  for (const char* reserved : {"reserved1", "reserved2", "reserved3"}) {
    if (std::string why = Expect(entry, reserved, ""); !why.empty()) return why;
  }
  if (!IsText(entry, "muid")) return "no MUID text";
  const std::string custom_id = Text(entry, "customId");
  if (!IsText(entry, "customId") || (!custom_id.empty() && !IsSignedDecimal(custom_id)))
    return "customId is no signed decimal text";
  if (kEventParameters.count(Text(entry, "eventName")) == 0)
    return "event " + entry.value("eventName", json()).dump() + " is not one the program sends";
  return {};
}

std::string AddParameterViolation(const json& entry) {
  bool known = false;
  for (const auto& [event, parameter] : kEventParameters) known |= Text(entry, "name") == parameter;
  if (!known) return "parameter " + entry.value("name", json()).dump() + " is no event's";
  if (!IsSignedDecimal(Text(entry, "value"))) return "the value is no signed decimal text";
  return {};
}

// The step each request step must follow.
const std::map<std::string, std::vector<std::string>> kStepOrder = {
    {"Start", {"CreateRequest"}},
    {"Prepare", {"Start"}},
    {"AddParameter", {"Prepare", "AddParameter"}},
    {"Submit", {"AddParameter"}}};

std::string RequestStepViolation(const json& entry, std::string_view previous_step) {
  const std::string call = Text(entry, "call");
  const auto& allowed = kStepOrder.at(call);
  if (std::find(allowed.begin(), allowed.end(), previous_step) == allowed.end())
    return call + " after " + std::string(previous_step);
  if (call == "Start") return StartViolation(entry);
  if (call == "AddParameter") return AddParameterViolation(entry);
  if (call == "Submit") {
    if (entry.value("options", 0) != 7)
      return "options " + entry.value("options", json()).dump() + ", not 7";
    const json& settings = entry.value("settings", json());
    return settings.is_null() ? std::string() : SettingsRecordViolation(settings, true);
  }
  return {};
}

}  // namespace

std::string CommsViolation(const json& entry, std::string_view previous_step) {
  const std::string call = Text(entry, "call");
  if (call == "OpenChannel") return OpenChannelViolation(entry);
  if (call == "SetConnectionSettings")
    return SettingsRecordViolation(entry.value("settings", json()), false);
  if (call == "Send") {
    if (std::string why = Expect(entry, "queue", kQueueName); !why.empty()) return why;
    return Text(entry, "file").empty() ? "no file to send" : std::string();
  }
  if (call == "CreateRequest") return Text(entry, "url").empty() ? "no URL" : std::string();
  if (kStepOrder.count(call) != 0) return RequestStepViolation(entry, previous_step);
  return {};
}

std::string SettingsViolation(const json& entry) {
  if (Text(entry, "call") != "ReadSetting") return {};
  if (std::string why = Expect(entry, "key", kMobileSetting); !why.empty()) return why;
  if (entry.value("size", 0u) != kSettingCapacity || !entry.value("bufferZeroed", false))
    return "the buffer is not 260 zeroed characters";
  if (entry.value("flags", -1) != 0)
    return "flags " + entry.value("flags", json()).dump() + ", not 0";
  return {};
}

}  // namespace qm::sim
