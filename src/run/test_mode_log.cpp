#include "run/test_mode_log.h"

#include <windows.h>

#include <string>
#include <utility>

#include "support/unique_resource.h"

namespace qm {
namespace {

// A harness may be reading the marker while the run appends to it. A short or
// failed write is not the run's concern: the marker is advisory.
void AppendMarkerLine(const wchar_t* path, std::string_view message) noexcept {
  UniqueFile file(::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  (void)::WriteFile(file.Get(), "\r\n", 2, &written, nullptr);
  (void)::WriteFile(file.Get(), message.data(), static_cast<DWORD>(message.size()), &written,
                    nullptr);
}

}  // namespace

CTestModeLog::CTestModeLog(std::wstring directory_prefix)
    : directory_prefix_(std::move(directory_prefix)) {}

std::wstring CTestModeLog::MarkerPath(const wchar_t* name) const {
  return directory_prefix_ + name;
}

void CTestModeLog::Write(std::string_view message) const {
  // Once the run has failed, only the latest message survives, and only in
  // the ERROR marker.
  if (!success_) DeleteMarkers();

  AppendMarkerLine(MarkerPath(success_ ? kOkMarkerName : kErrorMarkerName).c_str(), message);
}

void CTestModeLog::DeleteMarkers() const noexcept {
  try {
    (void)::DeleteFileW(MarkerPath(kOkMarkerName).c_str());
    (void)::DeleteFileW(MarkerPath(kErrorMarkerName).c_str());
  } catch (...) {
    // Building a path can only fail for lack of memory; the markers stay.
  }
}

void WriteFailureMarkerNow(const char* message) noexcept {
  (void)::DeleteFileW(kOkMarkerName);
  (void)::DeleteFileW(kErrorMarkerName);
  AppendMarkerLine(kErrorMarkerName, message != nullptr ? message : "");
}

}  // namespace qm
