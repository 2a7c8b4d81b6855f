#pragma once

// The last collection step: the profile's detection counters.

#include "counters/counters_inputs.h"
#include "sdk/sdk_session.h"
#include "support/clock.h"

namespace qm {

class CProfileData;

// Whether this suite and custom build report more than the detection totals:
// version 18.7.2 or later (each number compared on its own) and custom
// identifier 187477 or 187478.
[[nodiscard]] bool ReportsFullCounters(const CountersInputs& inputs) noexcept;

// Fills a counters record, its windows ending at `now`, and attaches it to `profile`. False, with
// no record, only when the SDK would not make the shared date window; a reader that fails leaves
// its fields at their initial values and the others run.
bool CollectDetectionCounters(SdkSession& session, const Clock& now, CProfileData& profile,
                              const CountersInputs& inputs);

}  // namespace qm
