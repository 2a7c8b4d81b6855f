#pragma once

#include <string>
#include <string_view>

namespace qm {

// Marker file names a test harness looks for after a run.
inline constexpr wchar_t kOkMarkerName[] = L"TestQuillmark_OK.log";
inline constexpr wchar_t kErrorMarkerName[] = L"TestQuillmark_ERROR.log";

// The run's test-mode messages, kept in a marker file that tells a harness how
// the run went: the OK marker while every stage succeeded, the ERROR marker
// (holding only the latest message) once one failed.
class CTestModeLog {
 public:
  // The prefix is prepended to the marker names; the run leaves it empty so
  // the markers follow the current directory.
  explicit CTestModeLog(std::wstring directory_prefix = {});

  void SetTestMode(bool test_mode) noexcept { test_mode_ = test_mode; }
  [[nodiscard]] bool IsTestMode() const noexcept { return test_mode_; }

  // Only ever cleared by the run; a failed run stays failed.
  void SetSuccess(bool success) noexcept { success_ = success; }
  [[nodiscard]] bool IsSuccess() const noexcept { return success_; }

  // Appends a line break and the message (plain ASCII) to the marker that the
  // success flag selects. A marker that cannot be written is skipped.
  void Write(std::string_view message) const;

  // Removes both markers; a missing one is not an error.
  void DeleteMarkers() const noexcept;

 private:
  [[nodiscard]] std::wstring MarkerPath(const wchar_t* name) const;

  bool test_mode_ = false;
  bool success_ = true;
  std::wstring directory_prefix_;
};

// For a run that must end at once: marks it failed in the current directory's
// markers as a failed stage of CTestModeLog would, both markers deleted and
// the ERROR marker holding `message`, without allocating anything.
void WriteFailureMarkerNow(const char* message) noexcept;

}  // namespace qm
