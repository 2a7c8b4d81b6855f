#pragma once

// Collection step: which of the agent's modules and companion products are
// present, and the agent's protection state.

#include "collector/sdk_session.h"

namespace qm {

class CProfileData;

// Stores AVState, then the module status mask. False only when item 0x4023004
// cannot be read: AVState is stored by then, the mask is not.
bool CollectInstalledAddOns(SdkSession& session, CProfileData& profile);

}  // namespace qm
