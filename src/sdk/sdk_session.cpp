#include "sdk/sdk_session.h"

#include <ole2.h>

#include <exception>
#include <utility>

#include "diagnostics/trace.h"

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

// The root, context and communication references are called through before
// the final check of the references, so a query that answers success but
// hands out nothing counts as the interface not offered.
template <typename T, typename U>
HRESULT QueryUsable(const ComPtr<T>& object, ComPtr<U>& into) noexcept {
  const HRESULT result = object.As(into);
  return result == S_OK && !into ? E_NOINTERFACE : result;
}

// The result of whichever call refused when one SDK object was made and
// queried; S_OK for both when both answered.
struct Making {
  HRESULT created = S_OK;
  HRESULT queried = S_OK;
};

enum class Query { Usable, AsAnswered };

// Makes the object of `prog_id` within `context` into `made` (reused from the
// previous object, so that one is let go just before this one is made), then
// takes interface T from it.
template <typename T>
Making MakeObject(const ComPtr<IOmxRoot>& root, const wchar_t* prog_id, IDispatch* context,
                  ComPtr<IDispatch>& made, ComPtr<T>& into, Query query) {
  Making making;
  making.created = root->CreateObject(Bstr(prog_id).Get(), context, made.Put());
  if (making.created != S_OK) return making;
  making.queried = query == Query::Usable ? QueryUsable(made, into) : made.As(into);
  return making;
}

// How one value store call is traced when the session is not open, when the
// SDK refuses, and when the call raised.
struct StoreTraces {
  void (*not_open)();
  void (*refused)(LONG id);
  void (*raised)();
};

// One call into the value store, traced as `traces` says when it cannot be
// made, is refused or raises (a wrapper's error while calling).
template <typename Call>
bool CallStore(bool open, const StoreTraces& traces, LONG id, Call&& call) {
  try {
    if (!open) {
      traces.not_open();
      return false;
    }
    if (call() != S_OK) {
      traces.refused(id);
      return false;
    }
    return true;
  } catch (const std::exception&) {
    traces.raised();
    return false;
  }
}

const StoreTraces kWriteValueTraces{
    [] { QM_TRACE(Collector, 143, Error, Collector); },
    [](LONG id) { QM_TRACE(Collector, 144, Error, Collector, trace::Int(id)); },
    [] { QM_TRACE(Collector, 146, Error, DataFile, trace::Int(::GetLastError())); }};
const StoreTraces kReadValueTraces{
    [] { QM_TRACE(Collector, 147, Error, Collector); },
    [](LONG id) { QM_TRACE(Collector, 148, Error, Collector, trace::Int(id)); },
    [] { QM_TRACE(Collector, 150, Error, DataFile, trace::Int(::GetLastError())); }};
const StoreTraces kReadDateTraces{
    [] { QM_TRACE(Collector, 151, Error, Collector); },
    [](LONG id) { QM_TRACE(Collector, 152, Error, Collector, trace::Int(id)); },
    [] { QM_TRACE(Collector, 154, Error, DataFile, trace::Int(::GetLastError())); }};
const StoreTraces kWriteDateTraces{
    [] { QM_TRACE(Collector, 155, Error, Collector); },
    [](LONG id) { QM_TRACE(Collector, 156, Error, Collector, trace::Int(id)); },
    [] { QM_TRACE(Collector, 158, Error, DataFile, trace::Int(::GetLastError())); }};

}  // namespace

HRESULT CreateRegisteredRoot(IUnknown** root) {
  return ::CoCreateInstance(omx::kRootClassId, nullptr, kRootClassContext, IID_IUnknown,
                            reinterpret_cast<void**>(root));
}

SdkSession::SdkSession(RootFactory create_root, EventSink& events)
    : create_root_(std::move(create_root)), events_(events) {}

bool SdkSession::FailOpening(std::int32_t code) {
  events_.Report(kFailOmxEvent, code);
  return false;
}

HRESULT SdkSession::CreateRoot() {
  ComPtr<IUnknown> object;
  const HRESULT created = create_root_(object.Put());
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
  const HRESULT root = CreateRoot();
  if (root != S_OK) {
    QM_TRACE(Collector, 12, Error, Collector, trace::Int(root));
    return FailOpening(kRootCode);
  }
  ComPtr<IDispatch> made;
  if (!OpenContext(made) || !OpenCommunication(made) || !OpenConfigurationAndLicence(made))
    return false;
  if (!configuration_ || !licence_) {
    QM_TRACE(Collector, 23, Error, Collector);
    return FailOpening(kIncompleteCode);
  }
  QM_TRACE(Collector, 22, Info, Collector);
  open_ = true;
  return true;
}

bool SdkSession::OpenContext(ComPtr<IDispatch>& made) {
  const Making making =
      MakeObject(root_, omx::kContextProgId, nullptr, made, context_, Query::Usable);
  if (making.created != S_OK) {
    QM_TRACE(Collector, 13, Error, Collector, trace::Int(making.created));
    return FailOpening(kContextCreateCode);
  }
  if (making.queried != S_OK) {
    QM_TRACE(Collector, 14, Error, Collector, trace::Int(making.queried));
    return FailOpening(kContextQueryCode);
  }
  return true;
}

bool SdkSession::OpenCommunication(ComPtr<IDispatch>& made) {
  ComPtr<IOmxCommunication> communication;
  const Making making = MakeObject(root_, omx::kCommunicationProgId, context_.Get(), made,
                                   communication, Query::Usable);
  if (making.created != S_OK) {
    QM_TRACE(Collector, 15, Error, Collector, trace::Int(making.created));
    return FailOpening(kCommunicationCreateCode);
  }
  if (making.queried != S_OK) {
    QM_TRACE(Collector, 16, Error, Collector, trace::Int(making.queried));
    return FailOpening(kCommunicationQueryCode);
  }
  // From here on the context holds the communication object for every later object.
  const HRESULT result = context_->SetProperty(Bstr(omx::kContextCommunicationProperty).Get(),
                                               Variant::Dispatch(communication.Get()).Get());
  if (result != S_OK) {
    QM_TRACE(Collector, 17, Error, Collector, trace::Int(result));
    return FailOpening(kContextPropertyCode);
  }
  return true;
}

// Both are taken as answered: a reference claimed but not handed out is
// caught by the final check of the references.
bool SdkSession::OpenConfigurationAndLicence(ComPtr<IDispatch>& made) {
  Making making = MakeObject(root_, omx::kConfigurationProgId, context_.Get(), made, configuration_,
                             Query::AsAnswered);
  if (making.created != S_OK) {
    QM_TRACE(Collector, 18, Error, Collector, trace::Int(making.created));
    return FailOpening(kConfigurationCreateCode);
  }
  if (making.queried != S_OK) {
    QM_TRACE(Collector, 19, Error, Collector, trace::Int(making.queried));
    return FailOpening(kConfigurationQueryCode);
  }
  making =
      MakeObject(root_, omx::kLicenseProgId, context_.Get(), made, licence_, Query::AsAnswered);
  if (making.created != S_OK) {
    QM_TRACE(Collector, 20, Error, Collector, trace::Int(making.created));
    return FailOpening(kLicenseCreateCode);
  }
  if (making.queried != S_OK) {
    QM_TRACE(Collector, 21, Error, Collector, trace::Int(making.queried));
    return FailOpening(kLicenseQueryCode);
  }
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
  if (!CallStore(open_, kWriteValueTraces, id, [&] {
        return configuration_->SetValue(omx::kDefaultScope, id, Variant::UInt32(value).Get());
      })) {
    return false;
  }
  QM_TRACE(Collector, 145, Info, Collector, trace::Int(id), trace::Int(value));
  return true;
}

bool SdkSession::ReadKeptValue(LONG id, std::uint32_t& value) {
  Variant read = FreshStoreValue();
  if (!CallStore(open_, kReadValueTraces, id, [&] {
        return configuration_->GetValue(omx::kDefaultScope, id, read.Mutable());
      })) {
    return false;
  }
  // Taken as it lies, whatever type the store gave it.
  value = read.Raw32();
  QM_TRACE(Collector, 149, Info, Collector, trace::Int(id), trace::Int(value));
  return true;
}

bool SdkSession::ReadKeptDate(LONG id, DATE& value) {
  Variant read = FreshStoreValue();
  if (!CallStore(open_, kReadDateTraces, id, [&] {
        return configuration_->GetValue(omx::kDefaultScope, id, read.Mutable());
      })) {
    return false;
  }
  value = read.RawDate();
  QM_TRACE(Collector, 153, Info, Collector, trace::Int(id));
  return true;
}

bool SdkSession::WriteKeptDate(LONG id, DATE value) {
  if (!CallStore(open_, kWriteDateTraces, id, [&] {
        return configuration_->SetValue(omx::kDefaultScope, id, Variant::Date(value).Get());
      })) {
    return false;
  }
  QM_TRACE(Collector, 157, Info, Collector, trace::Int(id));
  return true;
}

}  // namespace qm
