#pragma once

// Collection step: which of the agent's modules and companion products are
// present, and the agent's protection state.

#include "collector/settings_hub.h"
#include "sdk/sdk_session.h"

namespace qm {

class CProfileData;

// Stores AVState, then the module status mask; the mobile bit is asked of the
// settings library `settings_library` loads. False only when item 0x4023004
// cannot be read: AVState is stored by then, the mask is not.
bool CollectInstalledAddOns(SdkSession& session, const SettingsLibraryLoader& settings_library,
                            CProfileData& profile);

}  // namespace qm
