#pragma once

#include <string>

namespace qm {

class IProfileDataObserver;

// The one object through which a run talks to the Omx SDK: it opens the SDK
// connection, collects the profile it owns, and answers the run's questions
// about that profile and about what was last sent. The operations are virtual
// so that the run's own tests can stand in for the SDK.
class ProfileDataCollector {
 public:
  ProfileDataCollector();
  virtual ~ProfileDataCollector();
  ProfileDataCollector(const ProfileDataCollector&) = delete;
  ProfileDataCollector& operator=(const ProfileDataCollector&) = delete;

  // Opens the COM apartment and the SDK objects; false at the first failure.
  [[nodiscard]] virtual bool Initialise();
  // Drops the profile and the SDK objects and closes the apartment; always true.
  virtual bool Finalise();
  // Fills the profile from the SDK, the registry and the file system.
  [[nodiscard]] virtual bool Collect();

  // The collected profile, owned by the collector; null before collection.
  [[nodiscard]] virtual IProfileDataObserver* GetProfile() const noexcept;
  // The full JSON document of the profile.
  [[nodiscard]] virtual bool GetProfileJson(std::wstring& json);
  // The reduced JSON document, whose hash decides whether to send.
  [[nodiscard]] virtual bool GetReducedProfileJson(std::wstring& json);

  // True when the reduced document differs from the one last sent.
  [[nodiscard]] virtual bool HasProfileChanged();
  // True when the last upload is more than seven days old (or unknown).
  [[nodiscard]] virtual bool IsResendDue();
  // Stores the hash of the reduced document and the upload time after a
  // successful upload.
  virtual void KeepUploadState();

 private:
  bool initialised_ = false;
};

// Reads the directory into which each data file is also copied; false when
// none is configured.
[[nodiscard]] bool ReadBackupDirectory(std::wstring& directory);

}  // namespace qm
