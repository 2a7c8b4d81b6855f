#pragma once

// Catches the events a run reports, in their order.

#include <cstdint>
#include <string>
#include <vector>

#include "profile/event_sink.h"

namespace qm::testing {

struct ReportedEvent {
  std::wstring name;
  std::int32_t value;
  bool operator==(const ReportedEvent&) const = default;
};

class EventLog : public EventSink {
 public:
  void Report(const wchar_t* name, std::int32_t value) noexcept override {
    events.push_back({name, value});
  }

  std::vector<ReportedEvent> events;
};

}  // namespace qm::testing
