// Stand-in for the agent's settings library: answers ReadSetting from the
// scenario's "settings" section (<own folder>\SimAgent\scenario.json), or
// misbehaves in a call as that section scripts. Each call is written as one
// JSON line to <own folder>\SimAgent\settings.jsonl; a call outside the
// program's contract is answered ERROR_INVALID_PARAMETER.

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include <nlohmann/json.hpp>

#include "collector/settings_hub.h"
#include "common/library_contract.h"
#include "common/scenario.h"
#include "common/scenario_error.h"
#include "common/scripted_fault.h"
#include "common/sim_files.h"
#include "common/sim_text.h"

namespace {

using nlohmann::json;

// The call as the log shows it: the key, the size offered, the flags and
// whether the buffer came zeroed, as the program hands it over.
json ReadSettingEntry(const wchar_t* key, const wchar_t* buffer, const std::uint32_t* size,
                      std::int32_t flags) {
  json entry = {
      {"call", "ReadSetting"},
      {"key", key == nullptr ? json(nullptr)
                             : json(qm::sim::ToUtf8(std::wstring(key, ::wcsnlen(key, 1024))))},
      {"size", size == nullptr ? json(nullptr) : json(*size)},
      {"flags", flags}};
  entry["bufferZeroed"] = buffer != nullptr && size != nullptr &&
                          std::all_of(buffer, buffer + std::min<std::uint32_t>(*size, 4096),
                                      [](wchar_t c) { return c == L'\0'; });
  return entry;
}

class Settings final : public qm::SettingsUtility {
 public:
  qm::sim::SettingsScenario scenario;
  std::wstring log_path;

  void Log(json entry) const { (void)qm::sim::AppendLine(log_path, entry.dump()); }

  std::int32_t ReadSetting(const wchar_t* key, wchar_t* buffer, std::uint32_t* size,
                           std::int32_t flags) override {
    json entry = ReadSettingEntry(key, buffer, size, flags);
    ActAsScripted(L"ReadSetting", entry);
    std::string violation = qm::sim::SettingsViolation(entry);
    const std::int32_t result =
        violation.empty() ? Answer(key, buffer, size) : ERROR_INVALID_PARAMETER;
    if (!violation.empty()) entry["violation"] = std::move(violation);
    entry["result"] = result;
    Log(std::move(entry));
    return result;
  }

  // Behaves as the scenario scripts `operation`; a call it ends is logged
  // first, so that it is on record whatever follows.
  void ActAsScripted(const wchar_t* operation, const json& entry) const {
    if (const char* ending = qm::sim::ScriptedEnding(scenario.faults, operation)) {
      json ended = entry;
      ended["raised"] = ending;
      Log(std::move(ended));
    }
    qm::sim::ActAsScripted(scenario.faults, operation);
  }

 private:
  std::int32_t Answer(const wchar_t* key, wchar_t* buffer, std::uint32_t* size) const {
    if (key == nullptr || buffer == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
    const auto found = scenario.values.find(std::wstring(key, ::wcsnlen(key, 1024)));
    if (found == scenario.values.end()) return ERROR_FILE_NOT_FOUND;
    const std::wstring& text = found->second;
    if (text.size() + 1 > *size) return ERROR_MORE_DATA;
    std::wmemcpy(buffer, text.c_str(), text.size() + 1);
    *size = static_cast<std::uint32_t>(text.size());
    return 0;
  }
};

}  // namespace

extern "C" __declspec(dllexport) qm::SettingsUtility* GetUtil() {
  static Settings settings;
  const std::wstring sim_folder =
      qm::sim::SimFolderOf(qm::sim::ModuleFolder(qm::sim::ThisModule()));
  (void)qm::sim::EnsureFolder(sim_folder);
  settings.log_path = qm::sim::JoinPath(sim_folder, L"settings.jsonl");
  try {
    const auto document =
        qm::sim::ReadScenarioDocument(qm::sim::ScenarioPathOf(qm::sim::ThisModule()));
    settings.scenario = document.contains("settings")
                            ? qm::sim::ParseSettingsSection(document["settings"])
                            : qm::sim::SettingsScenario{};
  } catch (const qm::sim::ScenarioError& error) {
    settings.Log({{"call", "GetUtil"}, {"error", error.what()}, {"result", nullptr}});
    return nullptr;
  }
  settings.ActAsScripted(L"GetUtil", {{"call", "GetUtil"}});
  const bool hand_out = settings.scenario.get_util;
  settings.Log({{"call", "GetUtil"}, {"result", hand_out ? json("utility") : json(nullptr)}});
  return hand_out ? &settings : nullptr;
}
