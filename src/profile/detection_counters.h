#pragma once

// The detection counters record of a profile (filled by the counters step).

#include <cstdint>
#include <string>

#include "profile/json_writer.h"

namespace qm {

class CDetectionCounters final : public ISerializable {
 public:
  // Reads the values through the getters below.
  [[nodiscard]] std::wstring Serialize() const override;

  [[nodiscard]] virtual std::uint32_t GetVirusDetections() const { return virus_detections_; }
  [[nodiscard]] virtual std::uint32_t GetPUPDetections() const { return pup_detections_; }
  [[nodiscard]] virtual std::uint32_t GetSuspiciousDetection() const {
    return suspicious_detection_;
  }
  [[nodiscard]] virtual std::uint32_t GetURLDetections() const { return url_detections_; }
  [[nodiscard]] virtual std::uint32_t GetTotalAnalyzedFiles() const {
    return total_analyzed_files_;
  }
  [[nodiscard]] virtual std::wstring GetRecoveredBytes() const { return recovered_bytes_; }
  [[nodiscard]] virtual std::uint32_t GetBlockedThreats() const { return blocked_threats_; }
  [[nodiscard]] virtual std::uint32_t GetInstalledUpdates() const { return installed_updates_; }
  [[nodiscard]] virtual std::uint32_t GetLast30DaysAnalyzedURLs() const {
    return last30_days_analyzed_urls_;
  }

  void SetVirusDetections(std::uint32_t value) { virus_detections_ = value; }
  void SetPUPDetections(std::uint32_t value) { pup_detections_ = value; }
  void SetSuspiciousDetection(std::uint32_t value) { suspicious_detection_ = value; }
  void SetURLDetections(std::uint32_t value) { url_detections_ = value; }
  void SetTotalAnalyzedFiles(std::uint32_t value) { total_analyzed_files_ = value; }
  void SetRecoveredBytes(std::wstring value) { recovered_bytes_ = std::move(value); }
  void SetBlockedThreats(std::uint32_t value) { blocked_threats_ = value; }
  void SetInstalledUpdates(std::uint32_t value) { installed_updates_ = value; }
  void SetLast30DaysAnalyzedURLs(std::uint32_t value) { last30_days_analyzed_urls_ = value; }

 private:
  std::uint32_t virus_detections_ = 0;
  std::uint32_t pup_detections_ = 0;
  std::uint32_t suspicious_detection_ = 0;
  std::uint32_t url_detections_ = 0;
  std::uint32_t total_analyzed_files_ = 0;
  std::wstring recovered_bytes_;
  std::uint32_t blocked_threats_ = 0;
  std::uint32_t installed_updates_ = 0;
  std::uint32_t last30_days_analyzed_urls_ = 0;
};

}  // namespace qm
