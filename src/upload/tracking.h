#pragma once

// Tracking events: named failures of a run reported to the tracking service
// when the program was started with "-TRACKING". Tracking never changes the
// course of a run, so nothing here reports a result or lets an error out.

#include <cstdint>
#include <memory>

#include "profile/event_sink.h"
#include "upload/link_binding.h"

namespace qm {

class IProfileDataObserver;
class Tracker;

// The tracking switch and the tracker of one run, which owns it and hands it
// down as the sink of the run's failure events.
class TrackingSession final : public EventSink {
 public:
  explicit TrackingSession(LinkBridgeLoader loader = {}) noexcept;
  // Without Stop the library stays loaded until the process ends.
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
  // The same, as the sink the collection reports to.
  void Report(const wchar_t* name, std::int32_t value) noexcept override;
  // Frees the library and forgets the tracker; later events are dropped.
  void Stop() noexcept;

  [[nodiscard]] bool IsOn() const noexcept { return on_; }
  [[nodiscard]] bool HasTracker() const noexcept { return tracker_ != nullptr; }

 private:
  LinkBridgeLoader loader_;
  bool on_ = false;
  std::unique_ptr<Tracker> tracker_;
};

}  // namespace qm
