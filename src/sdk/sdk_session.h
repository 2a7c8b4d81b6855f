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

#include "profile/event_sink.h"
#include "sdk/omx_sdk.h"
#include "support/com.h"

namespace qm {

// Value store identifiers: what was last sent, kept between runs by the SDK.
inline constexpr LONG kProfileHashValueId = 0x4009501;     // CRC-32 of the reduced document
inline constexpr LONG kLastUploadTimeValueId = 0x4009502;  // UTC OLE date of that upload

// Creates the SDK's root object and hands out its IUnknown.
using RootFactory = std::function<HRESULT(IUnknown** root)>;

// The SDK's registered root class, as the program creates it.
[[nodiscard]] HRESULT CreateRegisteredRoot(IUnknown** root);

class SdkSession {
 public:
  // `create_root` makes the root object; a failed opening is reported to
  // `events`, which must outlive the session.
  SdkSession(RootFactory create_root, EventSink& events);
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

  // The value store: a 32-bit value and a date per identifier. Each fails,
  // traced, when the session is not open or the SDK refuses.
  [[nodiscard]] bool WriteKeptValue(LONG id, std::uint32_t value);
  [[nodiscard]] bool ReadKeptValue(LONG id, std::uint32_t& value);
  [[nodiscard]] bool ReadKeptDate(LONG id, DATE& value);
  [[nodiscard]] bool WriteKeptDate(LONG id, DATE value);

 private:
  [[nodiscard]] HRESULT CreateRoot();
  [[nodiscard]] bool OpenContext(ComPtr<IDispatch>& made);
  [[nodiscard]] bool OpenCommunication(ComPtr<IDispatch>& made);
  [[nodiscard]] bool OpenConfigurationAndLicence(ComPtr<IDispatch>& made);
  // Reports a refused step with its "prfFailOMX" code; false.
  [[nodiscard]] bool FailOpening(std::int32_t code);

  RootFactory create_root_;
  EventSink& events_;
  // Declared first among the owners so that it is left after every object
  // below is released.
  ComApartment apartment_;
  ComPtr<IOmxRoot> root_;
  ComPtr<IOmxContext> context_;
  ComPtr<IOmxConfiguration> configuration_;
  ComPtr<IOmxLicense> licence_;
  bool open_ = false;
};

}  // namespace qm
