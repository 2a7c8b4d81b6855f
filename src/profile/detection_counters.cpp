#include "profile/detection_counters.h"

#include "diagnostics/trace.h"

namespace qm {

std::wstring CDetectionCounters::Serialize() const {
  QM_TRACE(CountersDocument, 10, Info, Documents);
  std::wstring text =
      JsonObject()
          .Add(JsonNumberPair(L"VirusDetections", GetVirusDetections()))
          .Add(JsonNumberPair(L"PUPDetections", GetPUPDetections()))
          .Add(JsonNumberPair(L"SuspiciousDetection", GetSuspiciousDetection()))
          .Add(JsonNumberPair(L"URLDetections", GetURLDetections()))
          .Add(JsonNumberPair(L"TotalAnalyzedFiles", GetTotalAnalyzedFiles()))
          .Add(JsonStringPair(L"RecoveredBytes", GetRecoveredBytes()))
          .Add(JsonNumberPair(L"BlockedThreats", GetBlockedThreats()))
          .Add(JsonNumberPair(L"InstalledUpdates", GetInstalledUpdates()))
          .Add(JsonNumberPair(L"Last30DaysAnalyzedURLs", GetLast30DaysAnalyzedURLs()))
          .Close();
  QM_TRACE(CountersDocument, 11, Info, Documents, trace::Wide(text));
  return text;
}

}  // namespace qm
