#include "collector/settings_hub.h"

#include "support/unique_resource.h"

namespace qm {
namespace {

HMODULE LoadByPath(const wchar_t* path) { return ::LoadLibraryW(path); }

SettingsGetUtilFunction ResolveSettingsExport(HMODULE library, const char* name) {
  return GetProcAddressAs<SettingsGetUtilFunction>(library, name);
}

}  // namespace

SettingsLibraryLoader SystemSettingsLibraryLoader() noexcept {
  return {&LoadByPath, &ResolveSettingsExport};
}

}  // namespace qm
