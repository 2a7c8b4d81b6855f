#include "upload/tracker.h"

#include <utility>

namespace qm {
namespace {

// Empties the parameter list however the send ends.
class ClearOnExit {
 public:
  explicit ClearOnExit(LinkRequestParameters& parameters) noexcept : parameters_(parameters) {}
  ~ClearOnExit() { parameters_.clear(); }
  ClearOnExit(const ClearOnExit&) = delete;
  ClearOnExit& operator=(const ClearOnExit&) = delete;

 private:
  LinkRequestParameters& parameters_;
};

}  // namespace

Tracker::Tracker(LinkBinding binding, LinkUtility& utility) noexcept
    : binding_(std::move(binding)), utility_(&utility) {}

Tracker::~Tracker() = default;

void Tracker::SetTrackerConnectionSettings(std::wstring setting1, std::wstring setting2,
                                           std::wstring setting3) {
  settings_.reset();
  if (setting1.empty()) return;
  // On the heap, so the record's addresses stay those of the texts beside it.
  auto owned = std::make_unique<OwnedSettings>();
  owned->setting1 = std::move(setting1);
  owned->setting2 = std::move(setting2);
  owned->setting3 = std::move(setting3);
  owned->record = ConnectionSettings{kConnectionSettingsSize, owned->setting1.c_str(),
                                     owned->setting2.c_str(), owned->setting3.c_str()};
  settings_ = std::move(owned);
}

void Tracker::AddEventParameter(std::wstring name, std::wstring value) {
  parameters_.emplace_back(std::move(name), std::move(value));
}

bool Tracker::SendEvent() {
  const ClearOnExit clear(parameters_);
  if (utility_ == nullptr) return false;
  const LinkRequestArgs args{url_.c_str(),       muid_.c_str(),
                             custom_id_.c_str(), event_name_.c_str(),
                             parameters_,        settings_ ? &settings_->record : nullptr};
  return SubmitLinkRequest(*utility_, args);
}

void Tracker::Stop() {
  utility_ = nullptr;
  binding_.Free();
  settings_.reset();
}

}  // namespace qm
