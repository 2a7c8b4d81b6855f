// What a run keeps between runs in the SDK's value store, and the decision it
// takes from it: send when the reduced document changed or the last upload is
// too old.
#include <cmath>
#include <exception>

#include "collector/profile_data_collector.h"
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

// The reading value of the value store starts as an unsigned integer 0.
Variant FreshStoreValue() noexcept { return Variant::UInt(0); }

}  // namespace

bool ProfileDataCollector::GetProfileJson(std::wstring& json) {
  if (!profile_) {
    QM_TRACE(Collector, 141, Error, Collector);
    return false;
  }
  json = full_json_cache_.empty()
             ? profile_->ToJson(document_inputs_, platform_.send_tracking_event)
             : full_json_cache_;
  return !json.empty();
}

bool ProfileDataCollector::GetReducedProfileJson(std::wstring& json) {
  if (!profile_) {
    QM_TRACE(Collector, 142, Error, Collector);
    return false;
  }
  if (reduced_json_cache_.empty()) {
    json = profile_->ToCompareJson(document_inputs_);
  } else if (&json != &reduced_json_cache_) {
    json = reduced_json_cache_;
  }
  return true;
}

bool ProfileDataCollector::HasProfileChanged() {
  if (!profile_) {
    QM_TRACE(Collector, 169, Error, Collector);
    return false;
  }
  QM_TRACE(Collector, 170, Info, Collector);
  if (!GetReducedProfileJson(reduced_json_cache_)) {
    QM_TRACE(Collector, 171, Error, Collector);
    return false;
  }
  const std::uint32_t hash = ReducedDocumentHash(reduced_json_cache_);
  std::uint32_t kept = 0;
  if (!ReadKeptValue(kProfileHashValueId, kept)) return true;
  return hash != kept;
}

bool ProfileDataCollector::IsResendDue() {
  if (!profile_) {
    QM_TRACE(Collector, 167, Error, Collector);
    return false;
  }
  const DATE now = platform_.now();
  DATE kept = 0;
  if (!ReadKeptDate(kLastUploadTimeValueId, kept)) {
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
    if (!initialised_) {
      QM_TRACE(Collector, 159, Error, Collector);
      return;
    }
    QM_TRACE(Collector, 160, Info, Collector);
    if (!GetReducedProfileJson(reduced_json_cache_)) {
      QM_TRACE(Collector, 161, Error, Collector);
      return;
    }
    const std::uint32_t hash = ReducedDocumentHash(reduced_json_cache_);
    if (!WriteKeptValue(kProfileHashValueId, hash)) {
      QM_TRACE(Collector, 162, Error, Collector);
      return;
    }
    QM_TRACE(Collector, 163, Info, Collector, trace::Int(hash));
    const DATE now = platform_.now();
    if (!WriteKeptDate(kLastUploadTimeValueId, now)) {
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

bool ProfileDataCollector::WriteKeptValue(LONG id, std::uint32_t value) {
  try {
    if (!initialised_) {
      QM_TRACE(Collector, 143, Error, Collector);
      return false;
    }
    if (configuration_->SetValue(omx::kDefaultScope, id, Variant::UInt32(value).Get()) != S_OK) {
      QM_TRACE(Collector, 144, Error, Collector, trace::Int(id));
      return false;
    }
    QM_TRACE(Collector, 145, Info, Collector, trace::Int(id), trace::Int(value));
    return true;
  } catch (const std::exception&) {
    QM_TRACE(Collector, 146, Error, DataFile, trace::Int(::GetLastError()));
    return false;
  }
}

bool ProfileDataCollector::ReadKeptValue(LONG id, std::uint32_t& value) {
  try {
    if (!initialised_) {
      QM_TRACE(Collector, 147, Error, Collector);
      return false;
    }
    Variant read = FreshStoreValue();
    if (configuration_->GetValue(omx::kDefaultScope, id, read.Mutable()) != S_OK) {
      QM_TRACE(Collector, 148, Error, Collector, trace::Int(id));
      return false;
    }
    // Taken as it lies, whatever type the store gave it.
    value = read.Raw32();
    QM_TRACE(Collector, 149, Info, Collector, trace::Int(id), trace::Int(value));
    return true;
  } catch (const std::exception&) {
    QM_TRACE(Collector, 150, Error, DataFile, trace::Int(::GetLastError()));
    return false;
  }
}

bool ProfileDataCollector::ReadKeptDate(LONG id, DATE& value) {
  try {
    if (!initialised_) {
      QM_TRACE(Collector, 151, Error, Collector);
      return false;
    }
    Variant read = FreshStoreValue();
    if (configuration_->GetValue(omx::kDefaultScope, id, read.Mutable()) != S_OK) {
      QM_TRACE(Collector, 152, Error, Collector, trace::Int(id));
      return false;
    }
    value = read.RawDate();
    QM_TRACE(Collector, 153, Info, Collector, trace::Int(id));
    return true;
  } catch (const std::exception&) {
    QM_TRACE(Collector, 154, Error, DataFile, trace::Int(::GetLastError()));
    return false;
  }
}

bool ProfileDataCollector::WriteKeptDate(LONG id, DATE value) {
  try {
    if (!initialised_) {
      QM_TRACE(Collector, 155, Error, Collector);
      return false;
    }
    if (configuration_->SetValue(omx::kDefaultScope, id, Variant::Date(value).Get()) != S_OK) {
      QM_TRACE(Collector, 156, Error, Collector, trace::Int(id));
      return false;
    }
    QM_TRACE(Collector, 157, Info, Collector, trace::Int(id));
    return true;
  } catch (const std::exception&) {
    QM_TRACE(Collector, 158, Error, DataFile, trace::Int(::GetLastError()));
    return false;
  }
}

}  // namespace qm
