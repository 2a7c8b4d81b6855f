#pragma once

// Tracking events: named failures of a run reported to the tracking service
// when the program was started with "-TRACKING". Tracking never changes the
// course of a run, so nothing here reports a result or lets an error out.

#include <cstdint>
#include <memory>

#include "upload/link_binding.h"

namespace qm {

class IProfileDataObserver;
class Tracker;

// The tracking switch and the tracker of one process. The program uses one
// for its whole life through the functions below; tests make their own.
class TrackingSession {
 public:
  explicit TrackingSession(LinkBridgeLoader loader = SystemLinkBridgeLoader()) noexcept;
  ~TrackingSession();
  TrackingSession(const TrackingSession&) = delete;
  TrackingSession& operator=(const TrackingSession&) = delete;

  // Switches tracking on when an argument after the program path is
  // "-TRACKING" in any letter case; it stays on.
  void ParseSwitch(int argc, const wchar_t* const* argv) noexcept;
  // When tracking is on: binds "LinkBridge.dll" beside the program (through
  // `loader`, or the session's own) and makes the tracker; without the
  // library, its entry or its utility object there is no tracker and every
  // event is dropped.
  void Start() noexcept { Start(loader_); }
  void Start(LinkBridgeLoader loader) noexcept;
  // Gives the tracker the profile's MUID (when it has one), custom identifier
  // and connection settings. A null profile changes nothing.
  void SetProfile(const IProfileDataObserver* profile) noexcept;
  // Sends `name` with its one numeric parameter; does nothing while tracking
  // is off, without a tracker or when `name` is null.
  void Send(const wchar_t* name, std::int32_t value) noexcept;
  // Frees the library and forgets the tracker; later events are dropped.
  void Stop() noexcept;

  [[nodiscard]] bool IsOn() const noexcept { return on_; }
  [[nodiscard]] bool HasTracker() const noexcept { return tracker_ != nullptr; }

 private:
  LinkBridgeLoader loader_;
  bool on_ = false;
  std::unique_ptr<Tracker> tracker_;
};

// The process's session, as the run's stages and the collector use it.
void ParseTrackingSwitch(int argc, const wchar_t* const* argv) noexcept;
void StartTracking(LinkBridgeLoader loader = SystemLinkBridgeLoader()) noexcept;
void SetTrackingProfile(const IProfileDataObserver* profile) noexcept;
void StopTracking() noexcept;
void SendTrackingEvent(const wchar_t* name, std::int32_t value) noexcept;

}  // namespace qm
