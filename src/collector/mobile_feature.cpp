#include "collector/mobile_feature.h"

#include <array>
#include <cwchar>
#include <optional>
#include <string>

#include "collector/add_on_probes.h"
#include "diagnostics/trace.h"
#include "support/guarded_call.h"
#include "support/unique_resource.h"

namespace qm {
namespace {

constexpr wchar_t kMobileSetting[] = L"REGISTER.AgentFeatures.Mobile";
constexpr std::size_t kSettingCapacity = 260;
using SettingBuffer = std::array<wchar_t, kSettingCapacity>;

// The only code here that runs inside the agent's library: asks its settings
// object for the mobile setting. False when it hands out no object or refuses.
// The library is built apart from the program, so its failures arrive as
// structured exceptions; such a failure leaves the setting unread (traced).
bool ReadMobileSetting(SettingsGetUtilFunction get_util, SettingBuffer& buffer) {
  ForeignFault fault;
  const std::optional<SettingsUtility*> settings =
      GuardedCall("GetUtil", fault, [&] { return get_util(); });
  if (!settings) {
    QM_TRACE(Collector, 174, Error, Collector, trace::Narrow("GetUtil"), trace::Int(fault.code));
    return false;
  }
  if (*settings == nullptr) return false;
  std::uint32_t size = kSettingCapacity;
  const std::optional<std::int32_t> result = GuardedCall("ReadSetting", fault, [&] {
    return (*settings)->ReadSetting(kMobileSetting, buffer.data(), &size, 0);
  });
  if (!result) {
    QM_TRACE(Collector, 174, Error, Collector, trace::Narrow("ReadSetting"),
             trace::Int(fault.code));
    return false;
  }
  return *result == 0;
}

}  // namespace

bool IsMobileFeatureEnabled(const SettingsLibraryLoader& loader) {
  std::wstring agent_path;
  if (!ReadAgentPath(agent_path)) return false;
  const UniqueModule library(loader.load((agent_path + kSettingsLibraryName).c_str()));
  if (!library) return false;
  const SettingsGetUtilFunction get_util = loader.resolve(library.Get(), kSettingsGetUtilExport);
  if (get_util == nullptr) return false;
  SettingBuffer buffer{};
  if (!ReadMobileSetting(get_util, buffer)) return false;
  // The library may fill the whole buffer without a terminator.
  buffer.back() = L'\0';
  return std::wcscmp(buffer.data(), L"1") == 0;
}

}  // namespace qm
