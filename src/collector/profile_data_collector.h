#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <utility>

#include "collector/settings_hub.h"
#include "profile/document_inputs.h"
#include "profile/event_sink.h"
#include "sdk/sdk_session.h"
#include "support/clock.h"

namespace qm {

// What the collection takes from the machine. The program creates the SDK's
// registered class, reads the system clock and loads the agent's settings
// library; tests hand in the in-process SDK, fix the time and bring a fake
// library in-process.
struct CollectorPlatform {
  RootFactory create_root = CreateRegisteredRoot;
  Clock now = SystemUtcNow;
  SettingsLibraryLoader settings_library;
};

class CProfileData;
class IProfileDataObserver;

// The one object through which a run talks to the Omx SDK: it opens the SDK
// session, runs the collection steps into the profile it owns, and answers the
// run's questions about that profile and about what was last sent. The
// operations are virtual so that the run's own tests can stand in for the SDK.
class ProfileDataCollector {
 public:
  // The platform and the sink of the run's failure events are the caller's
  // and outlive the collector.
  ProfileDataCollector(const CollectorPlatform& platform, EventSink& events);
  virtual ~ProfileDataCollector();
  ProfileDataCollector(const ProfileDataCollector&) = delete;
  ProfileDataCollector& operator=(const ProfileDataCollector&) = delete;

  // Opens the SDK session; false at the first failure (traced and reported).
  [[nodiscard]] virtual bool Initialise();
  // Drops the profile and closes the session; always true.
  virtual bool Finalise();
  // Runs the collection steps into a fresh profile; false only when not
  // initialised, without a profile, or without a readable MUID.
  [[nodiscard]] virtual bool Collect();

  // The collected profile, owned by the collector; null before collection.
  [[nodiscard]] virtual IProfileDataObserver* GetProfile() const noexcept;
  // What the documents carry beside the profile; the run hands it in before
  // it asks for a document.
  void SetDocumentInputs(DocumentInputs inputs) { document_inputs_ = std::move(inputs); }
  // The full JSON document of the profile.
  [[nodiscard]] virtual bool GetProfileJson(std::wstring& json);
  // The reduced JSON document, whose hash decides whether to send; the same
  // text from the first request until the next collection.
  [[nodiscard]] virtual bool GetReducedProfileJson(std::wstring& json);

  // True when the reduced document differs from the one last sent.
  [[nodiscard]] virtual bool HasProfileChanged();
  // True when the last upload is more than seven days old, unknown, or
  // recorded in the future.
  [[nodiscard]] virtual bool IsResendDue();
  // Stores the hash of the reduced document and the upload time after a
  // successful upload.
  virtual void KeepUploadState();

  // The SDK session the collection steps use.
  [[nodiscard]] SdkSession& Session() noexcept { return session_; }

 private:
  [[nodiscard]] bool PrepareProfile();
  // The reduced document of the profile, made once per collection: the hash
  // that decides whether to send and the hash kept after sending describe
  // the same document, whatever changes in the profile between the two.
  // Null, traced, without a profile.
  [[nodiscard]] const std::wstring* ComparedJson();

  const CollectorPlatform& platform_;
  EventSink& events_;
  SdkSession session_;
  std::unique_ptr<CProfileData> profile_;
  DocumentInputs document_inputs_;
  std::wstring compared_json_;
};

}  // namespace qm
