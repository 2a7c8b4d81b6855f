// Stand-in for the agent's settings library: answers ReadSetting from the
// scenario's "settings" section (<own folder>\SimAgent\scenario.json), or
// misbehaves in a call as that section scripts.

#include <windows.h>

#include <cwchar>
#include <string>

#include "collector/settings_hub.h"
#include "common/scenario.h"
#include "common/scenario_error.h"
#include "common/scripted_fault.h"
#include "common/sim_files.h"

namespace {

class Settings final : public qm::SettingsUtility {
 public:
  qm::sim::SettingsScenario scenario;

  std::int32_t ReadSetting(const wchar_t* key, wchar_t* buffer, std::uint32_t* size,
                           std::int32_t) override {
    qm::sim::ActAsScripted(scenario.faults, L"ReadSetting");
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
  try {
    const auto document =
        qm::sim::ReadScenarioDocument(qm::sim::ScenarioPathOf(qm::sim::ThisModule()));
    settings.scenario = document.contains("settings")
                            ? qm::sim::ParseSettingsSection(document["settings"])
                            : qm::sim::SettingsScenario{};
  } catch (const qm::sim::ScenarioError&) {
    return nullptr;
  }
  qm::sim::ActAsScripted(settings.scenario.faults, L"GetUtil");
  return settings.scenario.get_util ? &settings : nullptr;
}
