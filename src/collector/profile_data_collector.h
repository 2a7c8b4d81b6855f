#pragma once

#include <oaidl.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "collector/omx_sdk.h"
#include "profile/document_inputs.h"
#include "support/com.h"

namespace qm {

class CProfileData;
class IProfileDataObserver;

// Value store identifiers: what was last sent, kept between runs by the SDK.
inline constexpr LONG kProfileHashValueId = 0x4009501;     // CRC-32 of the reduced document
inline constexpr LONG kLastUploadTimeValueId = 0x4009502;  // UTC OLE date of that upload

// What the collector takes from its surroundings. The program creates the
// SDK's registered class, reports to the tracking service and reads the system
// clock; tests hand in the in-process SDK, catch the events and fix the time.
struct CollectorPlatform {
  // Creates the SDK's root object and hands out its IUnknown.
  std::function<HRESULT(IUnknown** root)> create_root;
  std::function<void(const wchar_t* name, std::int32_t value)> send_tracking_event;
  // The current UTC time as an OLE date.
  std::function<DATE()> now;
};

// The platform as the program uses it.
[[nodiscard]] CollectorPlatform SystemCollectorPlatform();

// The one object through which a run talks to the Omx SDK: it opens the SDK
// connection, collects the profile it owns, and answers the run's questions
// about that profile and about what was last sent. The operations are virtual
// so that the run's own tests can stand in for the SDK.
class ProfileDataCollector {
 public:
  ProfileDataCollector();
  explicit ProfileDataCollector(CollectorPlatform platform);
  virtual ~ProfileDataCollector();
  ProfileDataCollector(const ProfileDataCollector&) = delete;
  ProfileDataCollector& operator=(const ProfileDataCollector&) = delete;

  // Opens the COM apartment and the SDK objects; false at the first failure,
  // which is traced and reported as "prfFailOMX" with the step's code.
  [[nodiscard]] virtual bool Initialise();
  // Drops the profile and the SDK objects and closes the apartment; always true.
  virtual bool Finalise();
  // Fills the profile from the SDK, the registry and the file system; false
  // only when not initialised, without a profile, or without a readable MUID.
  [[nodiscard]] virtual bool Collect();

  // The collected profile, owned by the collector; null before collection.
  [[nodiscard]] virtual IProfileDataObserver* GetProfile() const noexcept;
  // What the documents carry beside the profile; the run hands it in before
  // it asks for a document.
  void SetDocumentInputs(DocumentInputs inputs) { document_inputs_ = std::move(inputs); }
  // The full JSON document of the profile.
  [[nodiscard]] virtual bool GetProfileJson(std::wstring& json);
  // The reduced JSON document, whose hash decides whether to send.
  [[nodiscard]] virtual bool GetReducedProfileJson(std::wstring& json);

  // True when the reduced document differs from the one last sent.
  [[nodiscard]] virtual bool HasProfileChanged();
  // True when the last upload is more than seven days old, unknown, or
  // recorded in the future.
  [[nodiscard]] virtual bool IsResendDue();
  // Stores the hash of the reduced document and the upload time after a
  // successful upload.
  virtual void KeepUploadState();

  // The SDK object of `prog_id`, made within the context; empty when the SDK
  // refuses (traced).
  [[nodiscard]] ComPtr<IDispatch> CreateSdkObject(std::wstring_view prog_id);
  // Traces one of the collection's English error lines.
  void LogCollectorError(const std::wstring& text);

  // The value store: a 32-bit value and a date per identifier.
  [[nodiscard]] bool WriteKeptValue(LONG id, std::uint32_t value);
  [[nodiscard]] bool ReadKeptValue(LONG id, std::uint32_t& value);
  [[nodiscard]] bool ReadKeptDate(LONG id, DATE& value);
  [[nodiscard]] bool WriteKeptDate(LONG id, DATE value);

  // Fills the profile's operating-system block; false only when the record
  // cannot be made.
  [[nodiscard]] bool CollectOSInfo(CProfileData& profile);

 private:
  [[nodiscard]] HRESULT CreateRoot();
  [[nodiscard]] bool FailInitialisation(std::int32_t code);
  // What the detection counters step is given from the driver's own reads.
  struct CountersInputs {
    int version_major = 0;
    int version_minor = 0;
    int version_build = 0;
    std::uint32_t custom_id = 0;
  };

  [[nodiscard]] bool PrepareProfile();
  [[nodiscard]] bool ReadMuid(CProfileData& profile);
  void ReadIdentity(CProfileData& profile, CountersInputs& inputs);
  void ReadConnectionSettings(CProfileData& profile);

  CollectorPlatform platform_;
  // Released in reverse order: licence, configuration, context, root.
  ComPtr<IOmxRoot> root_;
  ComPtr<IOmxContext> context_;
  ComPtr<IOmxConfiguration> configuration_;
  ComPtr<IOmxLicense> licence_;
  bool initialised_ = false;
  bool apartment_open_ = false;
  std::unique_ptr<CProfileData> profile_;
  DocumentInputs document_inputs_;
  std::wstring full_json_cache_;
  std::wstring reduced_json_cache_;
};

}  // namespace qm
