// Stand-in until the SDK connection and collection land: every run stops at
// initialisation, and says why in its trace.
#include "collector/profile_data_collector.h"

#include "diagnostics/trace.h"

namespace qm {

ProfileDataCollector::ProfileDataCollector() = default;
ProfileDataCollector::~ProfileDataCollector() = default;

bool ProfileDataCollector::Initialise() {
  QM_TRACE(Collector, 10, Error, Collector, trace::Wide(L"The SDK connection is not available in this build."));
  return false;
}

bool ProfileDataCollector::Finalise() {
  initialised_ = false;
  return true;
}

bool ProfileDataCollector::Collect() { return false; }

IProfileDataObserver* ProfileDataCollector::GetProfile() const noexcept { return nullptr; }

bool ProfileDataCollector::GetProfileJson(std::wstring& /*json*/) { return false; }

bool ProfileDataCollector::GetReducedProfileJson(std::wstring& /*json*/) { return false; }

bool ProfileDataCollector::HasProfileChanged() { return false; }

bool ProfileDataCollector::IsResendDue() { return false; }

void ProfileDataCollector::KeepUploadState() {}

bool ReadBackupDirectory(std::wstring& /*directory*/) { return false; }

}  // namespace qm
