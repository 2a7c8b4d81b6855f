#pragma once

// Where a run's named failures go ("prfFailOMX" when the SDK would not open,
// "prfNotMUID" when the machine has no MUID): each as an event with one value.
// The run hands its tracking down; the layers below report without knowing
// where the events end up, and a test catches them itself.

#include <cstdint>

namespace qm {

class EventSink {
 public:
  // Never fails and never changes the course of the caller.
  virtual void Report(const wchar_t* name, std::int32_t value) noexcept = 0;

 protected:
  ~EventSink() = default;
};

}  // namespace qm
