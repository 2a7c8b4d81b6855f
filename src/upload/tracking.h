#pragma once

// Tracking events: named failures of a run reported to the tracking service
// when the program was started with "-TRACKING". Tracking never changes the
// course of a run, so nothing here reports a result or lets an error out.

#include <cstdint>

namespace qm {

// Sends the event `name` with its one numeric parameter; does nothing while
// tracking is off or when `name` is null.
void SendTrackingEvent(const wchar_t* name, std::int32_t value) noexcept;

}  // namespace qm
