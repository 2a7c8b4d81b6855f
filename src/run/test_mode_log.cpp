#include "run/test_mode_log.h"

#include <windows.h>

#include <string>
#include <utility>

#include "support/unique_resource.h"

namespace qm {

CTestModeLog::CTestModeLog(std::wstring directory_prefix)
    : directory_prefix_(std::move(directory_prefix)) {}

std::wstring CTestModeLog::MarkerPath(const wchar_t* name) const {
  return directory_prefix_ + name;
}

void CTestModeLog::Write(std::string_view message) const {
  // Once the run has failed, only the latest message survives, and only in
  // the ERROR marker.
  if (!success_) DeleteMarkers();

  const std::wstring path = MarkerPath(success_ ? kOkMarkerName : kErrorMarkerName);
  // A harness may be reading the marker while the run appends to it.
  UniqueFile file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;

  std::string line = "\r\n";
  line.append(message);
  DWORD written = 0;
  // A short or failed write is not the run's concern: the marker is advisory.
  (void)::WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void CTestModeLog::DeleteMarkers() const noexcept {
  try {
    (void)::DeleteFileW(MarkerPath(kOkMarkerName).c_str());
    (void)::DeleteFileW(MarkerPath(kErrorMarkerName).c_str());
  } catch (...) {
    // Building a path can only fail for lack of memory; the markers stay.
  }
}

}  // namespace qm
