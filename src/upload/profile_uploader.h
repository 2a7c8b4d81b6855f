#pragma once

// Hands the data file to the agent's communications library, which delivers
// it to the profile queue. The uploader binds the library at construction and
// frees it at destruction; one upload per run.

#include <windows.h>

#include <string>

#include "upload/link_binding.h"

namespace qm {

class IProfileDataObserver;

inline constexpr wchar_t kLinkBridgeLibrary[] = L"linkbridge.dll";
inline constexpr wchar_t kUploadServiceName[] = L"gccppostsegmentation";
inline constexpr wchar_t kUploadQueueName[] = L"ProfilerQueue";

class ProfileUploader {
 public:
  // Reads the agent's host name, then binds the library. Always yields an
  // uploader; without the library every upload fails. `profile` may be null
  // and is not owned.
  explicit ProfileUploader(const IProfileDataObserver* profile, LinkBridgeLoader loader = {});
  ~ProfileUploader();
  ProfileUploader(const ProfileUploader&) = delete;
  ProfileUploader& operator=(const ProfileUploader&) = delete;

  // Loads the library and resolves its entry; false when one is already held
  // or either step fails.
  [[nodiscard]] bool LoadLinkBridge();
  // Frees the library; false when none is held.
  [[nodiscard]] bool UnloadLinkBridge();

  // Sends the data file at `data_file_path` to the profile queue. True only
  // when the channel accepted the file and closed cleanly. Never throws.
  [[nodiscard]] bool UploadProfile(const std::wstring& data_file_path) noexcept;

  // The host name the channel is opened with (empty when unreadable).
  [[nodiscard]] const std::wstring& HostName() const noexcept { return host_name_; }

 private:
  [[nodiscard]] bool SendThroughLibrary(const std::wstring& data_file_path);
  void ApplyConnectionSettings(LinkChannel& channel) const;

  // Bound by file name alone, so the search order finds the agent's copy in
  // the current directory.
  LinkBinding link_;
  const IProfileDataObserver* profile_;
  std::wstring host_name_;
};

}  // namespace qm
