#include "upload/tracking.h"

#include <array>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "diagnostics/trace.h"
#include "profile/profile_data.h"
#include "support/environment.h"
#include "support/module_path.h"
#include "support/registry.h"
#include "support/setup_keys.h"
#include "support/text.h"
#include "upload/tracker.h"

namespace qm {
namespace {

constexpr wchar_t kTrackingSwitch[] = L"-TRACKING";
constexpr wchar_t kTrackingLibrary[] = L"LinkBridge.dll";
constexpr wchar_t kTrackingResourceVariable[] = L"TrackingResource";
constexpr DWORD kTextCapacity = 260;

// The events the service knows, each with the name of its one parameter.
struct EventParameter {
  std::wstring_view event;
  const wchar_t* parameter;
};
constexpr EventParameter kEventTable[] = {
    {L"prfNotMUID", L"ptExecution"},
    {L"prfSvrNotRun", L"svrStatus"},
    {L"prfFailOMX", L"omxError"},
};

const wchar_t* ParameterOf(std::wstring_view event) noexcept {
  for (const EventParameter& row : kEventTable) {
    if (row.event == event) return row.parameter;
  }
  return nullptr;
}

// The library's path: the drive and folder of this program's own file. A
// module path that does not fit the buffer is refused, not cut.
bool TrackingLibraryPath(std::wstring& path) {
  std::wstring own;
  if (!ReadModulePath(nullptr, kTextCapacity, own)) return false;
  const std::size_t folder_end = own.find_last_of(L"\\/:");
  if (folder_end == std::wstring::npos) return false;
  path.assign(own, 0, folder_end + 1);
  path += kTrackingLibrary;
  return true;
}

// The machine's MUID as the setup stored it; a value that leaves no room for
// its terminator in the buffer is refused.
bool ReadMachineMUID(std::wstring& muid) {
  UniqueKey key;
  if (OpenSetupUidsKey(KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return false;
  std::wstring read;
  if (registry::ReadText(key.Get(), L"MUID", kTextCapacity, registry::TextTypes::AnyType, read) !=
          ERROR_SUCCESS ||
      read.size() >= kTextCapacity) {
    return false;
  }
  muid = std::move(read);
  return true;
}

// The tracker with its library bound, or null when the library, its entry or
// its utility object is missing (the library is then freed again).
std::unique_ptr<Tracker> CreateTracker(const LinkBridgeLoader& loader) {
  std::wstring library_path;
  if (!TrackingLibraryPath(library_path)) return nullptr;
  LinkBinding binding(loader);
  if (binding.Bind(library_path.c_str()) != LinkBinding::Outcome::Bound) return nullptr;
  LinkUtility* utility = binding.Utility();
  if (utility == nullptr) return nullptr;
  auto tracker = std::make_unique<Tracker>(std::move(binding), *utility);

  std::array<wchar_t, kTextCapacity> resource{};
  if (ReadEnvironmentVariable(kTrackingResourceVariable, resource.data(), resource.size())) {
    tracker->SetResourceUrl(resource.data());
    QM_TRACE(Tracking, 12, Info, Run, trace::Wide(resource.data()));
  }
  std::wstring muid;
  if (ReadMachineMUID(muid)) tracker->SetTrackerMUID(std::move(muid));
  return tracker;
}

// The custom identifier as the service reads it: signed decimal.
std::wstring CustomIdText(std::uint32_t custom_id) {
  return DecimalText(static_cast<long>(static_cast<std::int32_t>(custom_id)));
}

}  // namespace

TrackingSession::TrackingSession(LinkBridgeLoader loader) noexcept : loader_(std::move(loader)) {}

// A run that ends without Stop keeps the library until the process goes, as
// it always has, rather than freeing it on its way out.
TrackingSession::~TrackingSession() {
  if (tracker_) tracker_->LeaveLibraryLoaded();
}

void TrackingSession::ParseSwitch(int argc, const wchar_t* const* argv) noexcept {
  if (argc < 2 || argv == nullptr) return;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && EqualsIgnoringAsciiCase(argv[i], kTrackingSwitch)) {
      QM_TRACE(Tracking, 10, Info, Run);
      on_ = true;
      return;
    }
  }
}

void TrackingSession::Start(LinkBridgeLoader loader) noexcept {
  if (!on_ || tracker_) return;
  try {
    tracker_ = CreateTracker(loader);
  } catch (...) {
    tracker_.reset();
  }
}

void TrackingSession::SetProfile(const IProfileDataObserver* profile) noexcept {
  if (!on_ || !tracker_ || profile == nullptr) return;
  try {
    std::wstring muid = profile->GetMUID();
    if (!muid.empty()) tracker_->SetTrackerMUID(std::move(muid));
    tracker_->SetCustomIdText(CustomIdText(profile->GetCustomID()));
    std::wstring setting1 = profile->GetConnectionSetting1();
    if (!setting1.empty()) {
      tracker_->SetTrackerConnectionSettings(std::move(setting1), profile->GetConnectionSetting2(),
                                             profile->GetConnectionSetting3());
    }
  } catch (...) {
    // Tracking never changes the course of a run: the values stay as they were.
  }
}

void TrackingSession::Send(const wchar_t* name, std::int32_t value) noexcept {
  if (!on_ || !tracker_ || name == nullptr) return;
  try {
    tracker_->SetEventName(name);
    if (const wchar_t* parameter = ParameterOf(name)) {
      tracker_->AddEventParameter(parameter, DecimalText(value));
    }
    if (!tracker_->SendEvent()) return;
    QM_TRACE(Tracking, 14, Error, Run, trace::Wide(name), trace::Int(value));
  } catch (...) {
    // A failed event is not retried and leaves the run as it was.
  }
}

void TrackingSession::Report(const wchar_t* name, std::int32_t value) noexcept {
  Send(name, value);
}

void TrackingSession::Stop() noexcept {
  if (!tracker_) return;
  try {
    tracker_->Stop();
  } catch (...) {
    QM_TRACE(Tracking, 13, Error, Run);
  }
  tracker_.reset();
}

}  // namespace qm
