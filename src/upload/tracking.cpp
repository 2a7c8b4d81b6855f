#include "upload/tracking.h"

namespace qm {

// Tracking is switched on by the tracking work; until then every event is
// dropped, which is exactly what a run without "-TRACKING" does.
void ParseTrackingSwitch(int /*argc*/, const wchar_t* const* /*argv*/) noexcept {}

void StartTracking() noexcept {}

void SetTrackingProfile(const IProfileDataObserver* /*profile*/) noexcept {}

void StopTracking() noexcept {}

void SendTrackingEvent(const wchar_t* /*name*/, std::int32_t /*value*/) noexcept {}

}  // namespace qm
