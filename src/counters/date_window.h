#pragma once

// The date windows the counters hand the SDK: a date-time filter whose start
// and end are two date-time objects, each set from calendar parts of one
// VARIANT integer type.

#include <oaidl.h>
#include <windows.h>

#include "sdk/sdk_session.h"
#include "support/com.h"

namespace qm::counters {

// A UTC calendar time to the second.
struct Moment {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// `utc` (an OLE date) to the second; milliseconds are dropped.
[[nodiscard]] Moment MomentOf(DATE utc) noexcept;

// `SetDate` then `SetTime` on `date_time`, every part as `part_type`; the
// first failing result, or the last success.
[[nodiscard]] HRESULT SetMoment(const ComPtr<IOmxDateTime>& date_time, const Moment& moment,
                                VARTYPE part_type);

// `SetDate` and `SetTime` both, for the windows that are handed over whatever
// the SDK answered: a refused date still leaves the object its time.
void SetMomentWhateverAnswered(const ComPtr<IOmxDateTime>& date_time, const Moment& moment,
                               VARTYPE part_type);

// The objects of one window, each empty when the SDK refused it.
struct DateWindow {
  ComPtr<IOmxDateTimeFilter> filter;
  ComPtr<IOmxDateTime> start;
  ComPtr<IOmxDateTime> end;

  [[nodiscard]] bool IsComplete() const noexcept { return filter && start && end; }
};

// Creates the filter, then the start and the end object, without a word
// about a refusal.
[[nodiscard]] DateWindow CreateDateWindow(SdkSession& session);

// `object` as a VT_DISPATCH value, as the filter and the maps take objects.
template <typename Interface>
[[nodiscard]] Variant AsValue(const ComPtr<Interface>& object) noexcept {
  return Variant::Dispatch(object.Get());
}

}  // namespace qm::counters
