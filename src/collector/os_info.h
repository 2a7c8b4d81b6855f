#pragma once

// Collection step: the profile's operating-system block, with the version
// numbers as the agent reports them through its configuration and the .NET
// and Windows 10 data from the machine.

#include "sdk/sdk_session.h"

namespace qm {

class CProfileData;

// Fills the block and hands it to the profile; false only when the record
// cannot be made. Every item that cannot be read is traced and left at 0.
[[nodiscard]] bool CollectOSInfo(SdkSession& session, CProfileData& profile);

}  // namespace qm
