#pragma once

// The readers that fill a detection counters record from the agent: the
// statistics report, the datastore's URL detections, two configuration values
// and the tune-up reports. Each says whether it read what it was after; a
// failing reader leaves its fields as they were. The SDK's refusals are logged
// on the collector's error line where the agent's support staff expect them.

#include "sdk/sdk_session.h"
#include "support/clock.h"
#include "profile/detection_counters.h"
#include "support/com.h"

namespace qm::counters {

// "TotalDetects" of the statistics within `filter`: virus, PUP and suspicious
// detections. A statistics query the agent refuses is not worth a message.
bool ReadDetectionTotals(SdkSession& session, const ComPtr<IOmxDateTimeFilter>& filter,
                         CDetectionCounters& record);

// The three detection fields from each entry of `report`; the last good entry
// wins. False when the report is missing or any entry could not be read.
bool ReadDetectionReport(const ComPtr<IDispatch>& report, CDetectionCounters& record);

// The datastore's total of URL detections within `filter`, for all users.
bool ReadUrlDetectionTotal(SdkSession& session, const ComPtr<IOmxDateTimeFilter>& filter,
                           CDetectionCounters& record);

// Configuration value 0x306D001.
bool ReadTotalAnalyzedFiles(SdkSession& session, CDetectionCounters& record);

// The bytes every tune-up report says it freed, summed in 64 bits and written
// in decimal ("0" when none says).
bool ReadRecoveredBytes(SdkSession& session, CDetectionCounters& record);

// Threats blocked since 1901 over the eleven categories of statistics key "0".
bool ReadBlockedThreats(SdkSession& session, const Clock& now, CDetectionCounters& record);

// "Installed" of configuration value 0x4009996.
bool ReadInstalledUpdates(SdkSession& session, CDetectionCounters& record);

}  // namespace qm::counters
