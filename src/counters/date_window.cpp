#include "counters/date_window.h"

#include "sdk/omx_sdk.h"
#include "counters/sdk_reading.h"

namespace qm::counters {
namespace {

// One calendar part as the SDK is handed it: exactly `type`.
Variant Part(VARTYPE type, int value) noexcept {
  Variant part;
  VARIANT* raw = part.Mutable();
  V_VT(raw) = type;
  switch (type) {
    case VT_UI2:
      raw->uiVal = static_cast<USHORT>(value);
      break;
    case VT_INT:
      raw->intVal = value;
      break;
    default:  // VT_I4
      V_VT(raw) = VT_I4;
      raw->lVal = value;
      break;
  }
  return part;
}

HRESULT SetDateOf(const ComPtr<IOmxDateTime>& date_time, const Moment& moment, VARTYPE part_type) {
  return date_time->SetDate(Part(part_type, moment.year).Get(), Part(part_type, moment.month).Get(),
                            Part(part_type, moment.day).Get());
}

HRESULT SetTimeOf(const ComPtr<IOmxDateTime>& date_time, const Moment& moment, VARTYPE part_type) {
  return date_time->SetTime(Part(part_type, moment.hour).Get(),
                            Part(part_type, moment.minute).Get(),
                            Part(part_type, moment.second).Get());
}

}  // namespace

Moment MomentOf(DATE utc) noexcept {
  SYSTEMTIME at = {};
  if (!::VariantTimeToSystemTime(utc, &at)) return Moment{};
  return Moment{at.wYear, at.wMonth, at.wDay, at.wHour, at.wMinute, at.wSecond};
}

HRESULT SetMoment(const ComPtr<IOmxDateTime>& date_time, const Moment& moment, VARTYPE part_type) {
  const HRESULT date = SetDateOf(date_time, moment, part_type);
  if (FAILED(date)) return date;
  return SetTimeOf(date_time, moment, part_type);
}

void SetMomentWhateverAnswered(const ComPtr<IOmxDateTime>& date_time, const Moment& moment,
                               VARTYPE part_type) {
  (void)SetDateOf(date_time, moment, part_type);
  (void)SetTimeOf(date_time, moment, part_type);
}

DateWindow CreateDateWindow(SdkSession& session) {
  DateWindow window;
  window.filter = CreateSdkObjectAs<IOmxDateTimeFilter>(session, omx::kDateTimeFilterProgId);
  window.start = CreateSdkObjectAs<IOmxDateTime>(session, omx::kDateTimeProgId);
  window.end = CreateSdkObjectAs<IOmxDateTime>(session, omx::kDateTimeProgId);
  return window;
}

}  // namespace qm::counters
