#pragma once

// The tracker: what one run reports its failures with, once tracking is on
// and the communications library answered. It holds copies of every text it
// sends, so nothing it keeps points into a profile that goes before it does.

#include <memory>
#include <string>

#include "upload/link_binding.h"
#include "upload/link_request.h"

namespace qm {

// Where events go unless "TrackingResource" says otherwise.
inline constexpr wchar_t kDefaultTrackingUrl[] =
    L"http://tracking.quillmark.example.com/track/campaign/details.html";

class Tracker {
 public:
  // Takes over a bound library and the utility object it handed out.
  Tracker(LinkBinding binding, LinkUtility& utility) noexcept;
  ~Tracker();
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  void SetResourceUrl(std::wstring url) { url_ = std::move(url); }
  void SetEventName(std::wstring name) { event_name_ = std::move(name); }
  void SetCustomIdText(std::wstring text) { custom_id_ = std::move(text); }
  void SetTrackerMUID(std::wstring muid) { muid_ = std::move(muid); }
  // Replaces the connection settings; an empty first text only discards them.
  void SetTrackerConnectionSettings(std::wstring setting1, std::wstring setting2,
                                    std::wstring setting3);
  void AddEventParameter(std::wstring name, std::wstring value);

  // Sends the named event with its parameters; true when the library
  // submitted it. The parameters are gone afterwards in every case.
  [[nodiscard]] bool SendEvent();

  // Frees the library and discards the settings; no event goes out after it.
  void Stop();
  // Leaves the library loaded until the process ends (the tracker then goes).
  void LeaveLibraryLoaded() noexcept { binding_.LeaveLoaded(); }

 private:
  // The record the library reads, with the texts it points to.
  struct OwnedSettings {
    std::wstring setting1, setting2, setting3;
    ConnectionSettings record;
  };

  LinkBinding binding_;
  LinkUtility* utility_;
  std::wstring url_ = kDefaultTrackingUrl;
  std::unique_ptr<OwnedSettings> settings_;
  LinkRequestParameters parameters_;
  std::wstring event_name_;
  std::wstring custom_id_;
  std::wstring muid_;
};

}  // namespace qm
