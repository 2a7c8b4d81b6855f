#include "collector/sdk_session.h"

#include <ole2.h>

#include <exception>
#include <utility>

#include "diagnostics/trace.h"
#include "support/unique_resource.h"
#include "upload/tracking.h"

namespace qm {
namespace {

// In-process server, in-process handler, local server and remote server.
constexpr DWORD kRootClassContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
static_assert(kRootClassContext == 23);

constexpr wchar_t kFailOmxEvent[] = L"prfFailOMX";

// The reading value of the value store starts as an unsigned integer 0.
Variant FreshStoreValue() noexcept { return Variant::UInt(0); }

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

HMODULE LoadByPath(const wchar_t* path) { return ::LoadLibraryW(path); }

SettingsGetUtilFunction ResolveSettingsExport(HMODULE library, const char* name) {
  return GetProcAddressAs<SettingsGetUtilFunction>(library, name);
}

DATE SystemNow() {
  SYSTEMTIME now = {};
  ::GetSystemTime(&now);
  DATE date = 0;
  ::SystemTimeToVariantTime(&now, &date);
  return date;
}

// The root, context and communication references are called through before
// the final check of the references, so a query that answers success but
// hands out nothing counts as the interface not offered.
template <typename T, typename U>
HRESULT QueryUsable(const ComPtr<T>& object, ComPtr<U>& into) noexcept {
  const HRESULT result = object.As(into);
  return result == S_OK && !into ? E_NOINTERFACE : result;
}

}  // namespace

SettingsLibraryLoader SystemSettingsLibraryLoader() noexcept {
  return {&LoadByPath, &ResolveSettingsExport};
}

CollectorPlatform SystemCollectorPlatform() {
  return CollectorPlatform{&CreateRegisteredRoot, &SendTrackingEvent, &SystemNow,
                           SystemSettingsLibraryLoader()};
}

SdkSession::SdkSession(CollectorPlatform platform) : platform_(std::move(platform)) {}

bool SdkSession::FailOpening(std::int32_t code) {
  platform_.send_tracking_event(kFailOmxEvent, code);
  return false;
}

HRESULT SdkSession::CreateRoot() {
  ComPtr<IUnknown> object;
  const HRESULT created = platform_.create_root(object.Put());
  if (created != S_OK) return created;
  if (!object) return E_POINTER;
  // The class context admits servers, which answer only once running. A server
  // that cannot run refuses the query below, so OleRun's own result adds nothing.
  (void)::OleRun(object.Get());
  return QueryUsable(object, root_);
}

bool SdkSession::Open() {
  // S_FALSE: the thread's apartment was already open, which is as good.
  if (FAILED(apartment_.EnterMultithreaded())) return false;

  HRESULT result = CreateRoot();
  if (result != S_OK) {
    QM_TRACE(Collector, 12, Error, Collector, trace::Int(result));
    return FailOpening(kRootCode);
  }

  ComPtr<IDispatch> made;
  result = root_->CreateObject(Bstr(omx::kContextProgId).Get(), nullptr, made.Put());
  if (result != S_OK) {
    QM_TRACE(Collector, 13, Error, Collector, trace::Int(result));
    return FailOpening(kContextCreateCode);
  }
  result = QueryUsable(made, context_);
  if (result != S_OK) {
    QM_TRACE(Collector, 14, Error, Collector, trace::Int(result));
    return FailOpening(kContextQueryCode);
  }

  result = root_->CreateObject(Bstr(omx::kCommunicationProgId).Get(), context_.Get(), made.Put());
  if (result != S_OK) {
    QM_TRACE(Collector, 15, Error, Collector, trace::Int(result));
    return FailOpening(kCommunicationCreateCode);
  }
  ComPtr<IOmxCommunication> communication;
  result = QueryUsable(made, communication);
  if (result != S_OK) {
    QM_TRACE(Collector, 16, Error, Collector, trace::Int(result));
    return FailOpening(kCommunicationQueryCode);
  }

  // From here on the context holds the communication object for every later object.
  result = context_->SetProperty(Bstr(omx::kContextCommunicationProperty).Get(),
                                 Variant::Dispatch(communication.Get()).Get());
  if (result != S_OK) {
    QM_TRACE(Collector, 17, Error, Collector, trace::Int(result));
    return FailOpening(kContextPropertyCode);
  }

  result = root_->CreateObject(Bstr(omx::kConfigurationProgId).Get(), context_.Get(), made.Put());
  if (result != S_OK) {
    QM_TRACE(Collector, 18, Error, Collector, trace::Int(result));
    return FailOpening(kConfigurationCreateCode);
  }
  result = made.As(configuration_);
  if (result != S_OK) {
    QM_TRACE(Collector, 19, Error, Collector, trace::Int(result));
    return FailOpening(kConfigurationQueryCode);
  }

  result = root_->CreateObject(Bstr(omx::kLicenseProgId).Get(), context_.Get(), made.Put());
  if (result != S_OK) {
    QM_TRACE(Collector, 20, Error, Collector, trace::Int(result));
    return FailOpening(kLicenseCreateCode);
  }
  result = made.As(licence_);
  if (result != S_OK) {
    QM_TRACE(Collector, 21, Error, Collector, trace::Int(result));
    return FailOpening(kLicenseQueryCode);
  }

  if (!configuration_ || !licence_) {
    QM_TRACE(Collector, 23, Error, Collector);
    return FailOpening(kIncompleteCode);
  }
  QM_TRACE(Collector, 22, Info, Collector);
  open_ = true;
  return true;
}

void SdkSession::Close() noexcept {
  licence_.Reset();
  configuration_.Reset();
  context_.Reset();
  root_.Reset();
  // Only an apartment this session entered is left, and only once, so a
  // second Close never leaves an apartment that belongs to someone else.
  apartment_.Leave();
  open_ = false;
}

ComPtr<IDispatch> SdkSession::CreateSdkObject(std::wstring_view prog_id) {
  ComPtr<IDispatch> object;
  HRESULT result = E_POINTER;
  if (root_) result = root_->CreateObject(Bstr(prog_id).Get(), context_.Get(), object.Put());
  if (result != S_OK)
    QM_TRACE(Collector, 173, Error, Collector, trace::AnsiOf(prog_id), trace::Int(result));
  return object;
}

void SdkSession::LogCollectorError(const std::wstring& text) {
  QM_TRACE(Collector, 10, Error, Collector, trace::Wide(text));
}

bool SdkSession::WriteKeptValue(LONG id, std::uint32_t value) {
  try {
    if (!open_) {
      QM_TRACE(Collector, 143, Error, Collector);
      return false;
    }
    if (configuration_->SetValue(omx::kDefaultScope, id, Variant::UInt32(value).Get()) != S_OK) {
      QM_TRACE(Collector, 144, Error, Collector, trace::Int(id));
      return false;
    }
    QM_TRACE(Collector, 145, Info, Collector, trace::Int(id), trace::Int(value));
    return true;
  } catch (const std::exception&) {
    QM_TRACE(Collector, 146, Error, DataFile, trace::Int(::GetLastError()));
    return false;
  }
}

bool SdkSession::ReadKeptValue(LONG id, std::uint32_t& value) {
  try {
    if (!open_) {
      QM_TRACE(Collector, 147, Error, Collector);
      return false;
    }
    Variant read = FreshStoreValue();
    if (configuration_->GetValue(omx::kDefaultScope, id, read.Mutable()) != S_OK) {
      QM_TRACE(Collector, 148, Error, Collector, trace::Int(id));
      return false;
    }
    // Taken as it lies, whatever type the store gave it.
    value = read.Raw32();
    QM_TRACE(Collector, 149, Info, Collector, trace::Int(id), trace::Int(value));
    return true;
  } catch (const std::exception&) {
    QM_TRACE(Collector, 150, Error, DataFile, trace::Int(::GetLastError()));
    return false;
  }
}

bool SdkSession::ReadKeptDate(LONG id, DATE& value) {
  try {
    if (!open_) {
      QM_TRACE(Collector, 151, Error, Collector);
      return false;
    }
    Variant read = FreshStoreValue();
    if (configuration_->GetValue(omx::kDefaultScope, id, read.Mutable()) != S_OK) {
      QM_TRACE(Collector, 152, Error, Collector, trace::Int(id));
      return false;
    }
    value = read.RawDate();
    QM_TRACE(Collector, 153, Info, Collector, trace::Int(id));
    return true;
  } catch (const std::exception&) {
    QM_TRACE(Collector, 154, Error, DataFile, trace::Int(::GetLastError()));
    return false;
  }
}

bool SdkSession::WriteKeptDate(LONG id, DATE value) {
  try {
    if (!open_) {
      QM_TRACE(Collector, 155, Error, Collector);
      return false;
    }
    if (configuration_->SetValue(omx::kDefaultScope, id, Variant::Date(value).Get()) != S_OK) {
      QM_TRACE(Collector, 156, Error, Collector, trace::Int(id));
      return false;
    }
    QM_TRACE(Collector, 157, Info, Collector, trace::Int(id));
    return true;
  } catch (const std::exception&) {
    QM_TRACE(Collector, 158, Error, DataFile, trace::Int(::GetLastError()));
    return false;
  }
}

}  // namespace qm
