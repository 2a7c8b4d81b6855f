#include "counters/detection_counters_step.h"

#include <memory>

#include "sdk/omx_sdk.h"
#include "counters/agent_flags.h"
#include "counters/date_window.h"
#include "counters/detection_readers.h"
#include "counters/sdk_reading.h"
#include "counters/user_url_counts.h"
#include "diagnostics/trace.h"
#include "profile/detection_counters.h"
#include "profile/profile_data.h"

namespace qm {
namespace {

using counters::RunContainedReader;

constexpr int kGateMajor = 18;
constexpr int kGateMinor = 7;
constexpr int kGateBuild = 2;
constexpr std::uint32_t kFullCountersCustomIds[] = {187477, 187478};

constexpr counters::Moment kDetectionsSince{1900, 1, 1, 0, 0, 0};

constexpr wchar_t kNoFilterObject[] = L"Error creating 'OMX_DATE_TIME_FILTER_OBJECT'.";
constexpr wchar_t kNoDateTimeObject[] = L"Error creating 'OMX_DATE_TIME_OBJECT'.";

// The window of the detection totals, from 1900 to now; an empty filter, with
// the refused object logged, when the SDK would not make it. The start's parts
// go as VT_INT and the end's as VT_UI2, as the statistics service has always
// been handed them.
ComPtr<IOmxDateTimeFilter> DetectionsWindow(SdkSession& session, const Clock& clock) {
  const counters::Moment now = counters::MomentOf(clock());
  counters::DateWindow window;
  window.filter =
      counters::CreateSdkObjectAs<IOmxDateTimeFilter>(session, omx::kDateTimeFilterProgId);
  if (!window.filter) {
    session.LogCollectorError(kNoFilterObject);
    return {};
  }
  for (ComPtr<IOmxDateTime>* part : {&window.start, &window.end}) {
    *part = counters::CreateSdkObjectAs<IOmxDateTime>(session, omx::kDateTimeProgId);
    if (!*part) {
      session.LogCollectorError(kNoDateTimeObject);
      return {};
    }
  }
  counters::SetMomentWhateverAnswered(window.start, kDetectionsSince, VT_INT);
  counters::SetMomentWhateverAnswered(window.end, now, VT_UI2);
  (void)window.filter->SetStart(counters::AsValue(window.start).Get());
  (void)window.filter->SetEnd(counters::AsValue(window.end).Get());
  return window.filter;
}

}  // namespace

bool ReportsFullCounters(const CountersInputs& inputs) noexcept {
  const bool version = inputs.version_major > kGateMajor ||
                       (inputs.version_major == kGateMajor && inputs.version_minor >= kGateMinor &&
                        inputs.version_build >= kGateBuild);
  bool custom = false;
  for (const std::uint32_t id : kFullCountersCustomIds) custom = custom || inputs.custom_id == id;
  return version && custom;
}

bool CollectDetectionCounters(SdkSession& session, const Clock& now, CProfileData& profile,
                              const CountersInputs& inputs) {
  QM_TRACE(Collector, 133, Info, Collector);
  const ComPtr<IOmxDateTimeFilter> filter = DetectionsWindow(session, now);
  if (!filter) return false;

  auto record = std::make_unique<CDetectionCounters>();
  CDetectionCounters& fields = *record;
  // Each reader is contained on its own, so an SDK object missing in one
  // never costs the counters the others have read.
  (void)RunContainedReader("ReadDetectionTotals",
                           [&] { return counters::ReadDetectionTotals(session, filter, fields); });
  (void)RunContainedReader("ReadUrlDetectionTotal", [&] {
    return counters::ReadUrlDetectionTotal(session, filter, fields);
  });
  if (ReportsFullCounters(inputs)) {
    (void)RunContainedReader("ReadTotalAnalyzedFiles",
                             [&] { return counters::ReadTotalAnalyzedFiles(session, fields); });
    if (counters::IsTuneUpEnabled()) {
      (void)RunContainedReader("ReadRecoveredBytes",
                               [&] { return counters::ReadRecoveredBytes(session, fields); });
    }
    (void)RunContainedReader("ReadBlockedThreats",
                             [&] { return counters::ReadBlockedThreats(session, now, fields); });
    (void)RunContainedReader("ReadInstalledUpdates",
                             [&] { return counters::ReadInstalledUpdates(session, fields); });
    (void)RunContainedReader("ReadUserUrlCounts",
                             [&] { return counters::ReadUserUrlCounts(session, now, fields); });
  }
  profile.SetDetectionCounters(record.release());
  QM_TRACE(Collector, 134, Info, Collector);
  return true;
}

}  // namespace qm
