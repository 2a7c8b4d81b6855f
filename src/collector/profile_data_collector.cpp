#include "collector/profile_data_collector.h"

#include <ole2.h>

#include <utility>

#include "diagnostics/trace.h"
#include "profile/profile_data.h"
#include "upload/tracking.h"

namespace qm {
namespace {

// In-process server, in-process handler, local server and remote server.
constexpr DWORD kRootClassContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
static_assert(kRootClassContext == 23);

constexpr wchar_t kFailOmxEvent[] = L"prfFailOMX";

// "prfFailOMX" codes, one per initialisation step. The licence object shares
// the configuration object's code; the tracking service has always had it so.
enum FailOmxCode : std::int32_t {
  kIncompleteCode = 10,
  kRootCode = 11,
  kContextCreateCode = 12,
  kContextQueryCode = 13,
  kCommunicationCreateCode = 14,
  kCommunicationQueryCode = 15,
  kConfigurationCreateCode = 16,
  kConfigurationQueryCode = 17,
  kContextPropertyCode = 18,
  kLicenseCreateCode = 16,
  kLicenseQueryCode = 20,
};

HRESULT CreateRegisteredRoot(IUnknown** root) {
  return ::CoCreateInstance(omx::kRootClassId, nullptr, kRootClassContext, IID_IUnknown,
                            reinterpret_cast<void**>(root));
}

DATE SystemNow() {
  SYSTEMTIME now = {};
  ::GetSystemTime(&now);
  DATE date = 0;
  ::SystemTimeToVariantTime(&now, &date);
  return date;
}

}  // namespace

CollectorPlatform SystemCollectorPlatform() {
  return CollectorPlatform{&CreateRegisteredRoot, &SendTrackingEvent, &SystemNow};
}

ProfileDataCollector::ProfileDataCollector() : ProfileDataCollector(SystemCollectorPlatform()) {}

ProfileDataCollector::ProfileDataCollector(CollectorPlatform platform)
    : platform_(std::move(platform)) {
  QM_TRACE(Collector, 11, Info, Collector);
}

ProfileDataCollector::~ProfileDataCollector() = default;

bool ProfileDataCollector::FailInitialisation(std::int32_t code) {
  platform_.send_tracking_event(kFailOmxEvent, code);
  return false;
}

HRESULT ProfileDataCollector::CreateRoot() {
  ComPtr<IUnknown> object;
  const HRESULT created = platform_.create_root(object.Put());
  if (created != S_OK) return created;
  if (!object) return E_POINTER;
  // The class context admits servers, which answer only once running. A server
  // that cannot run refuses the query below, so OleRun's own result adds nothing.
  (void)::OleRun(object.Get());
  return object.As(root_);
}

bool ProfileDataCollector::Initialise() {
  // S_FALSE: the thread's apartment was already open, which is as good.
  if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return false;
  apartment_open_ = true;

  HRESULT result = CreateRoot();
  if (result != S_OK) {
    QM_TRACE(Collector, 12, Error, Collector, trace::Int(result));
    return FailInitialisation(kRootCode);
  }

  ComPtr<IDispatch> made;
  result = root_->CreateObject(Bstr(omx::kContextProgId).Get(), nullptr, made.Put());
  if (result != S_OK) {
    QM_TRACE(Collector, 13, Error, Collector, trace::Int(result));
    return FailInitialisation(kContextCreateCode);
  }
  result = made.As(context_);
  if (result != S_OK) {
    QM_TRACE(Collector, 14, Error, Collector, trace::Int(result));
    return FailInitialisation(kContextQueryCode);
  }

  result = root_->CreateObject(Bstr(omx::kCommunicationProgId).Get(), context_.Get(), made.Put());
  if (result != S_OK) {
    QM_TRACE(Collector, 15, Error, Collector, trace::Int(result));
    return FailInitialisation(kCommunicationCreateCode);
  }
  ComPtr<IOmxCommunication> communication;
  result = made.As(communication);
  if (result != S_OK) {
    QM_TRACE(Collector, 16, Error, Collector, trace::Int(result));
    return FailInitialisation(kCommunicationQueryCode);
  }

  // From here on the context holds the communication object for every later object.
  result = context_->SetProperty(Bstr(omx::kContextCommunicationProperty).Get(),
                                 Variant::Dispatch(communication.Get()).Get());
  if (result != S_OK) {
    QM_TRACE(Collector, 17, Error, Collector, trace::Int(result));
    return FailInitialisation(kContextPropertyCode);
  }

  result = root_->CreateObject(Bstr(omx::kConfigurationProgId).Get(), context_.Get(), made.Put());
  if (result != S_OK) {
    QM_TRACE(Collector, 18, Error, Collector, trace::Int(result));
    return FailInitialisation(kConfigurationCreateCode);
  }
  result = made.As(configuration_);
  if (result != S_OK) {
    QM_TRACE(Collector, 19, Error, Collector, trace::Int(result));
    return FailInitialisation(kConfigurationQueryCode);
  }

  result = root_->CreateObject(Bstr(omx::kLicenseProgId).Get(), context_.Get(), made.Put());
  if (result != S_OK) {
    QM_TRACE(Collector, 20, Error, Collector, trace::Int(result));
    return FailInitialisation(kLicenseCreateCode);
  }
  result = made.As(licence_);
  if (result != S_OK) {
    QM_TRACE(Collector, 21, Error, Collector, trace::Int(result));
    return FailInitialisation(kLicenseQueryCode);
  }

  if (!configuration_ || !licence_) {
    QM_TRACE(Collector, 23, Error, Collector);
    return FailInitialisation(kIncompleteCode);
  }
  QM_TRACE(Collector, 22, Info, Collector);
  initialised_ = true;
  return true;
}

bool ProfileDataCollector::Finalise() {
  profile_.reset();
  licence_.Reset();
  configuration_.Reset();
  context_.Reset();
  root_.Reset();
  // Only the apartment this collector opened is closed, and only once, so a
  // second Finalise never closes an apartment that belongs to someone else.
  if (std::exchange(apartment_open_, false)) ::CoUninitialize();
  initialised_ = false;
  return true;
}

IProfileDataObserver* ProfileDataCollector::GetProfile() const noexcept { return profile_.get(); }

ComPtr<IDispatch> ProfileDataCollector::CreateSdkObject(std::wstring_view prog_id) {
  ComPtr<IDispatch> object;
  HRESULT result = E_POINTER;
  if (root_) result = root_->CreateObject(Bstr(prog_id).Get(), context_.Get(), object.Put());
  if (result != S_OK)
    QM_TRACE(Collector, 173, Error, Collector, trace::AnsiOf(prog_id), trace::Int(result));
  return object;
}

void ProfileDataCollector::LogCollectorError(const std::wstring& text) {
  QM_TRACE(Collector, 10, Error, Collector, trace::Wide(text));
}

}  // namespace qm
