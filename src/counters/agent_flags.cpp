#include "counters/agent_flags.h"

#include <windows.h>

#include <cstdint>

#include "support/registry.h"

namespace qm::counters {
namespace {

constexpr wchar_t kModuleKey[] = L"SOFTWARE\\Orvex Security\\Vela Av\\ModROL";

// The agent writes its switches in the program's own registry view, so the
// key is opened without a view flag; whatever type the value has, its first
// four bytes decide.
bool IsModuleSwitchOn(const wchar_t* name) {
  UniqueKey key;
  if (registry::OpenKey(HKEY_LOCAL_MACHINE, kModuleKey, KEY_QUERY_VALUE, key) != ERROR_SUCCESS)
    return false;
  std::uint32_t value = 0;
  return registry::ReadUInt32(key.Get(), name, value) == ERROR_SUCCESS && value != 0;
}

}  // namespace

bool IsTuneUpEnabled() { return IsModuleSwitchOn(L"TUNEUP_ENABLED"); }

bool IsParentalControlEnabled() { return IsModuleSwitchOn(L"PARENTALCON_ENABLED"); }

}  // namespace qm::counters
