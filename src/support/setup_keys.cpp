#include "support/setup_keys.h"

#include "support/registry.h"

namespace qm {

LSTATUS OpenSetupKey(REGSAM access, UniqueKey& key) {
  return registry::OpenKey(HKEY_LOCAL_MACHINE, kSetupKeyPath, access, key);
}

LSTATUS OpenSetupUidsKey(REGSAM access, UniqueKey& key) {
  return registry::OpenKey(HKEY_LOCAL_MACHINE, kSetupUidsKeyPath, access, key);
}

}  // namespace qm
