#pragma once

// URLs the agent analysed for the machine's user accounts, summed over the
// local and domain accounts that have a profile on the machine.

#include <string>
#include <vector>

#include "profile/detection_counters.h"
#include "sdk/sdk_session.h"
#include "support/clock.h"

namespace qm::counters {

// SIDs of the machine's user profiles that belong to local or domain accounts
// ("S-1-5-21-"), in the registry's order. False only when the profile list
// cannot be opened.
[[nodiscard]] bool ListUserProfileSids(std::vector<std::wstring>& sids);

// Sets `Last30DaysAnalyzedURLs` to the sum over the accounts, only when every
// account was either counted or skipped; any other failure leaves it as it
// was. Runs only while the agent's parental control is on.
bool ReadUserUrlCounts(SdkSession& session, const Clock& now, CDetectionCounters& record);

}  // namespace qm::counters
