#pragma once

// Tracking events: named failures of a run reported to the tracking service
// when the program was started with "-TRACKING". Tracking never changes the
// course of a run, so nothing here reports a result or lets an error out.

#include <cstdint>

namespace qm {

class IProfileDataObserver;

// Switches tracking on when an argument after the program path is
// "-TRACKING" in any letter case.
void ParseTrackingSwitch(int argc, const wchar_t* const* argv) noexcept;

// Creates the tracker when tracking is on.
void StartTracking() noexcept;

// Gives the tracker the collected profile's identity values; a null profile
// leaves them unset.
void SetTrackingProfile(const IProfileDataObserver* profile) noexcept;

// Forgets the tracker at the end of the run.
void StopTracking() noexcept;

// Sends the event `name` with its one numeric parameter; does nothing while
// tracking is off or when `name` is null.
void SendTrackingEvent(const wchar_t* name, std::int32_t value) noexcept;

}  // namespace qm
