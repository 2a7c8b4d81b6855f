#pragma once

// The run's connection to the Omx SDK: the COM apartment, the root object and
// the context, configuration and licence objects, the object factory, the
// collection's error line and the value store. Every collection step is handed
// the session together with the profile it fills.

#include <oaidl.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "collector/omx_sdk.h"
#include "collector/settings_hub.h"
#include "support/com.h"

namespace qm {

// Value store identifiers: what was last sent, kept between runs by the SDK.
inline constexpr LONG kProfileHashValueId = 0x4009501;     // CRC-32 of the reduced document
inline constexpr LONG kLastUploadTimeValueId = 0x4009502;  // UTC OLE date of that upload

// LoadLibraryW by full path and GetProcAddress.
[[nodiscard]] SettingsLibraryLoader SystemSettingsLibraryLoader() noexcept;

// What the collection takes from its surroundings. The program creates the
// SDK's registered class, reports to the tracking service and reads the system
// clock; tests hand in the in-process SDK, catch the events and fix the time.
struct CollectorPlatform {
  // Creates the SDK's root object and hands out its IUnknown.
  std::function<HRESULT(IUnknown** root)> create_root;
  std::function<void(const wchar_t* name, std::int32_t value)> send_tracking_event;
  // The current UTC time as an OLE date.
  std::function<DATE()> now;
  // The agent's settings library.
  SettingsLibraryLoader settings_library = SystemSettingsLibraryLoader();
};

// The platform as the program uses it.
[[nodiscard]] CollectorPlatform SystemCollectorPlatform();

class SdkSession {
 public:
  explicit SdkSession(CollectorPlatform platform);
  SdkSession(const SdkSession&) = delete;
  SdkSession& operator=(const SdkSession&) = delete;

  // Enters the apartment and makes the SDK objects; false at the first
  // failure, which is traced and reported as "prfFailOMX" with the step's code.
  // What was made before the failure is kept.
  [[nodiscard]] bool Open();
  // Releases the licence, configuration, context and root objects, in that
  // order, and leaves the apartment this session entered.
  void Close() noexcept;
  [[nodiscard]] bool IsOpen() const noexcept { return open_; }

  // Empty until Open has made them; calling through an empty one raises
  // ComError(E_POINTER).
  [[nodiscard]] const ComPtr<IOmxConfiguration>& Configuration() const noexcept {
    return configuration_;
  }
  [[nodiscard]] const ComPtr<IOmxLicense>& Licence() const noexcept { return licence_; }

  // The SDK object of `prog_id`, made within the context; empty when the SDK
  // refuses (traced).
  [[nodiscard]] ComPtr<IDispatch> CreateSdkObject(std::wstring_view prog_id);
  // Traces one of the collection's English error lines.
  void LogCollectorError(const std::wstring& text);

  // The current UTC time as an OLE date.
  [[nodiscard]] DATE Now() const { return platform_.now(); }
  void SendTrackingEvent(const wchar_t* name, std::int32_t value) const {
    platform_.send_tracking_event(name, value);
  }
  [[nodiscard]] const SettingsLibraryLoader& SettingsLibrary() const noexcept {
    return platform_.settings_library;
  }

  // The value store: a 32-bit value and a date per identifier. Each fails,
  // traced, when the session is not open or the SDK refuses.
  [[nodiscard]] bool WriteKeptValue(LONG id, std::uint32_t value);
  [[nodiscard]] bool ReadKeptValue(LONG id, std::uint32_t& value);
  [[nodiscard]] bool ReadKeptDate(LONG id, DATE& value);
  [[nodiscard]] bool WriteKeptDate(LONG id, DATE value);

 private:
  [[nodiscard]] HRESULT CreateRoot();
  [[nodiscard]] bool FailOpening(std::int32_t code);

  CollectorPlatform platform_;
  // Declared first so that it is left after every object below is released.
  ComApartment apartment_;
  ComPtr<IOmxRoot> root_;
  ComPtr<IOmxContext> context_;
  ComPtr<IOmxConfiguration> configuration_;
  ComPtr<IOmxLicense> licence_;
  bool open_ = false;
};

}  // namespace qm
