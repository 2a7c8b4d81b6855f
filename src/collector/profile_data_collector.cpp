#include "collector/profile_data_collector.h"

#include <cmath>
#include <exception>
#include <new>
#include <utility>

#include "collector/add_ons.h"
#include "counters/counters_inputs.h"
#include "collector/identity.h"
#include "collector/licences.h"
#include "collector/os_info.h"
#include "counters/detection_counters_step.h"
#include "diagnostics/trace.h"
#include "profile/document_hash.h"
#include "profile/profile_data.h"

namespace qm {
namespace {

constexpr double kResendAfterDays = 7.0;

// The OLE date range: 1 January 100 to the last instant of 31 December 9999.
constexpr DATE kFirstOleDate = -657434.0;
constexpr DATE kEndOfOleDates = 2958466.0;

bool IsValidOleDate(DATE date) noexcept {
  return std::isfinite(date) && date >= kFirstOleDate && date < kEndOfOleDates;
}

// Days since 30 December 1899 on one continuous line. Before that day an OLE
// date counts its whole days backwards but its time of day forwards.
double LinearDays(DATE date) noexcept {
  if (date >= 0) return date;
  const double whole = std::ceil(date);
  return whole + (whole - date);
}

// Runs one collection step. A COM error raised inside ends that step only:
// the profile keeps what the step had filled and the collection goes on. The
// step's own result is not looked at.
template <typename Step>
void RunContainedStep(const char* name, Step&& step) {
  try {
    (void)step();
  } catch (const ComError& error) {
    QM_TRACE(Collector, 124, Error, Collector, trace::Narrow(name), trace::Int(error.Code()));
  }
}

}  // namespace

ProfileDataCollector::ProfileDataCollector(const CollectorPlatform& platform, EventSink& events)
    : platform_(platform), events_(events), session_(platform.create_root, events) {
  QM_TRACE(Collector, 11, Info, Collector);
}

ProfileDataCollector::~ProfileDataCollector() = default;

bool ProfileDataCollector::Initialise() { return session_.Open(); }

bool ProfileDataCollector::Finalise() {
  profile_.reset();
  session_.Close();
  return true;
}

IProfileDataObserver* ProfileDataCollector::GetProfile() const noexcept { return profile_.get(); }

bool ProfileDataCollector::PrepareProfile() {
  // A second collection starts from a fresh profile, and the documents cached
  // from the first would no longer describe it.
  profile_.reset();
  compared_json_.clear();
  profile_.reset(new (std::nothrow) CProfileData());
  if (!profile_) {
    QM_TRACE(Collector, 25, Error, Collector);
    return false;
  }
  return true;
}

bool ProfileDataCollector::Collect() {
  if (!session_.IsOpen()) {
    QM_TRACE(Collector, 24, Error, Collector);
    return false;
  }
  if (!PrepareProfile()) return false;
  CProfileData& profile = *profile_;
  SdkSession& session = session_;

  if (!ReadMuid(session, events_, profile)) return false;

  CountersInputs inputs;
  RunContainedStep("OSInfo", [&] { return CollectOSInfo(session, profile); });
  RunContainedStep("Identity", [&] { return CollectIdentity(session, profile, inputs); });
  RunContainedStep("ConnectionSettings",
                   [&] { return CollectConnectionSettings(session, profile); });
  RunContainedStep("InstalledAddOns", [&] {
    return CollectInstalledAddOns(session, platform_.settings_library, profile);
  });
  RunContainedStep("LicenseInfo", [&] { return CollectLicenseInfo(session, profile); });
  RunContainedStep("DetectionCounters", [&] {
    return CollectDetectionCounters(session, platform_.now, profile, inputs);
  });
  return true;
}

bool ProfileDataCollector::GetProfileJson(std::wstring& json) {
  if (!profile_) {
    QM_TRACE(Collector, 141, Error, Collector);
    return false;
  }
  json = profile_->ToJson(document_inputs_, &events_);
  return !json.empty();
}

bool ProfileDataCollector::GetReducedProfileJson(std::wstring& json) {
  const std::wstring* compared = ComparedJson();
  if (compared == nullptr) return false;
  json = *compared;
  return true;
}

const std::wstring* ProfileDataCollector::ComparedJson() {
  if (!profile_) {
    QM_TRACE(Collector, 142, Error, Collector);
    return nullptr;
  }
  if (compared_json_.empty()) compared_json_ = profile_->ToCompareJson(document_inputs_);
  return &compared_json_;
}

bool ProfileDataCollector::HasProfileChanged() {
  if (!profile_) {
    QM_TRACE(Collector, 169, Error, Collector);
    return false;
  }
  QM_TRACE(Collector, 170, Info, Collector);
  const std::wstring* compared = ComparedJson();
  if (compared == nullptr) {
    QM_TRACE(Collector, 171, Error, Collector);
    return false;
  }
  const std::uint32_t hash = ReducedDocumentHash(*compared);
  std::uint32_t kept = 0;
  if (!session_.ReadKeptValue(kProfileHashValueId, kept)) return true;
  return hash != kept;
}

bool ProfileDataCollector::IsResendDue() {
  if (!profile_) {
    QM_TRACE(Collector, 167, Error, Collector);
    return false;
  }
  const DATE now = platform_.now();
  DATE kept = 0;
  if (!session_.ReadKeptDate(kLastUploadTimeValueId, kept)) {
    QM_TRACE(Collector, 168, Info, Collector);
    return true;
  }
  // A kept time that is no date, or that lies ahead of now (the clock was
  // ahead at the last upload), says nothing about the server's copy: resend
  // rather than stay silent until the clock catches up.
  if (!IsValidOleDate(kept) || !IsValidOleDate(now)) return true;
  const double kept_days = LinearDays(kept);
  const double now_days = LinearDays(now);
  if (kept_days > now_days) return true;
  return now_days > kept_days + kResendAfterDays;
}

void ProfileDataCollector::KeepUploadState() {
  try {
    if (!session_.IsOpen()) {
      QM_TRACE(Collector, 159, Error, Collector);
      return;
    }
    QM_TRACE(Collector, 160, Info, Collector);
    const std::wstring* compared = ComparedJson();
    if (compared == nullptr) {
      QM_TRACE(Collector, 161, Error, Collector);
      return;
    }
    const std::uint32_t hash = ReducedDocumentHash(*compared);
    if (!session_.WriteKeptValue(kProfileHashValueId, hash)) {
      QM_TRACE(Collector, 162, Error, Collector);
      return;
    }
    QM_TRACE(Collector, 163, Info, Collector, trace::Int(hash));
    const DATE now = platform_.now();
    if (!session_.WriteKeptDate(kLastUploadTimeValueId, now)) {
      QM_TRACE(Collector, 164, Error, Collector);
      return;
    }
    SYSTEMTIME at = {};
    ::VariantTimeToSystemTime(now, &at);
    QM_TRACE(Collector, 165, Info, Collector, trace::Int(at.wYear), trace::Int(at.wMonth),
             trace::Int(at.wDay), trace::Int(at.wHour), trace::Int(at.wMinute),
             trace::Int(at.wSecond));
  } catch (const std::exception&) {
    QM_TRACE(Collector, 166, Error, DataFile);
  }
}

}  // namespace qm
