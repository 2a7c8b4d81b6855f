#pragma once

// Collection step: the agent's products and the licence data it holds for
// each, reported as the agent gives them.

#include "sdk/sdk_session.h"

namespace qm {

class CProfileData;

// Adds one product per entry of the licence information's "Products", each
// with its licences and the profile's module status. False only when the
// licence information or its "Products" cannot be had; a product or licence
// entry that cannot be read is left out and the walk goes on.
bool CollectLicenseInfo(SdkSession& session, CProfileData& profile);

}  // namespace qm
