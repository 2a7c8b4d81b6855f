#include "sdk/sdk_objects.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "sdk/sdk_contract.h"
#include "sdk/sdk_text.h"
#include "sdk/sdk_types.h"
#include "support/com.h"

namespace qm::sim {
namespace {

std::atomic<long> g_live_objects{0};

constexpr int kMaxDescribeDepth = 12;

// Lets the log describe objects of this module (maps with their entries, date
// windows with their parts). Never leaves the module.
constexpr IID kDescribableIid = {
    0x6e12dcfc, 0xd8a1, 0x44f0, {0xbf, 0xab, 0x7e, 0x14, 0x0f, 0xa9, 0x20, 0x7d}};
struct ISimDescribable : public IUnknown {
  virtual nlohmann::ordered_json Describe(int depth) = 0;
};

// mingw-w64 declares the source of VariantCopy and VariantChangeType without
// const; neither call writes to it.
VARIANT* Source(const VARIANT* value) noexcept { return const_cast<VARIANT*>(value); }

// Empties a caller's out-parameter; VariantCopy frees what the destination held.
void ClearOut(VARIANT* out) noexcept {
  const Variant empty;
  (void)::VariantCopy(out, Source(&empty.Get()));
}

// Hands an owned value to an out-parameter that is already empty.
void MoveOut(Variant& value, VARIANT* out) noexcept {
  *out = value.Get();
  ::VariantInit(value.Mutable());
}

std::optional<SdkValue> ScalarOf(const VARIANT& value) {
  const VariantTypeInfo* info = FindVariantType(V_VT(&value));
  if (info == nullptr) return std::nullopt;
  SdkValue out;
  out.type = info->type;
  switch (info->kind) {
    case VariantKind::Empty:
      return out;
    case VariantKind::Signed:
    case VariantKind::Unsigned:
    case VariantKind::Bool: {
      const unsigned bits = info->bytes * 8;
      out.bits = bits == 64 ? value.ullVal : value.ullVal & ((std::uint64_t{1} << bits) - 1);
      return out;
    }
    case VariantKind::Real:
      out.real = value.dblVal;
      return out;
    case VariantKind::Date:
      out.real = value.date;
      return out;
    case VariantKind::Text:
      out.text = value.bstrVal == nullptr
                     ? std::wstring()
                     : std::wstring(value.bstrVal, ::SysStringLen(value.bstrVal));
      return out;
    case VariantKind::Dispatch:
      break;
  }
  return std::nullopt;
}

nlohmann::ordered_json DescribeObject(IUnknown* object, int depth) {
  nlohmann::ordered_json out;
  out["type"] = "VT_DISPATCH";
  if (object == nullptr) {
    out["value"] = nullptr;
    return out;
  }
  if (depth > kMaxDescribeDepth) {
    out["value"] = "(nested too deep)";
    return out;
  }
  ComPtr<ISimDescribable> describable;
  if (FAILED(object->QueryInterface(kDescribableIid, describable.PutVoid()))) {
    out["value"] = "(an object of another component)";
    return out;
  }
  return describable->Describe(depth + 1);
}

nlohmann::ordered_json DescribeVariant(const VARIANT& value, int depth) {
  if (V_VT(&value) == VT_DISPATCH) return DescribeObject(value.pdispVal, depth);
  if (const auto scalar = ScalarOf(value)) return SdkValueToJson(*scalar);
  nlohmann::ordered_json out;
  out["type"] = VariantTypeName(V_VT(&value));
  return out;
}

// Text of a map key: VT_BSTR as it is, anything else by COM conversion.
HRESULT KeyText(const VARIANT& key, std::wstring& text) {
  if (V_VT(&key) == VT_BSTR) {
    text = key.bstrVal == nullptr ? std::wstring()
                                  : std::wstring(key.bstrVal, ::SysStringLen(key.bstrVal));
    return S_OK;
  }
  Variant converted;
  if (FAILED(::VariantChangeType(converted.Mutable(), Source(&key), 0, VT_BSTR)))
    return DISP_E_TYPEMISMATCH;
  text = converted.ToText();
  return S_OK;
}

HRESULT CopyVariant(const VARIANT& from, Variant& to) {
  return ::VariantCopy(to.Mutable(), Source(&from));
}

Variant MakeVariant(const SdkValue& value, const std::shared_ptr<SdkState>& state);

// Shared by every object: reference counting, the identity rules of COM, the
// injected faults of its ProgID and the call log.
template <typename Primary, typename... Extra>
class SimObject : public Primary, public Extra..., public ISimDescribable {
 public:
  SimObject(std::shared_ptr<SdkState> state, const wchar_t* prog_id, const SdkObjectFaults* faults)
      : state_(std::move(state)), prog_id_(prog_id), faults_(faults) {
    ++g_live_objects;
  }
  virtual ~SimObject() { --g_live_objects; }
  SimObject(const SimObject&) = delete;
  SimObject& operator=(const SimObject&) = delete;

  [[nodiscard]] IDispatch* AsDispatch() noexcept { return static_cast<Primary*>(this); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    HRESULT result = S_OK;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
      *out = static_cast<Primary*>(this);
    } else if (IsEqualIID(iid, kDescribableIid)) {
      *out = static_cast<ISimDescribable*>(this);
    } else if (void* own = OwnInterface(iid)) {
      result = faults_ != nullptr && faults_->query ? *faults_->query : S_OK;
      if (FAILED(result)) {
        state_->NoteRefusal();
        return result;
      }
      // An injected S_OK is a server that claims the interface and hands out none.
      if (faults_ != nullptr && faults_->query == S_OK) return S_OK;
      *out = own;
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return result;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --references_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // The program calls the interfaces directly; late binding is not offered.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

  nlohmann::ordered_json Describe(int depth) override {
    nlohmann::ordered_json out;
    out["type"] = "VT_DISPATCH";
    out["progId"] = Utf8Of(prog_id_);
    DescribeContent(out, depth);
    return out;
  }

 protected:
  virtual void DescribeContent(nlohmann::ordered_json&, int) {}

  [[nodiscard]] const std::shared_ptr<SdkState>& State() const noexcept { return state_; }

  // Runs one operation: an injected failure replaces it, an injected success
  // code replaces its S_OK; nothing thrown inside leaves the COM boundary.
  template <typename Body>
  HRESULT Call(const wchar_t* operation, Body&& body) noexcept {
    try {
      HRESULT injected = S_OK;
      if (faults_ != nullptr) {
        const auto found = faults_->calls.find(operation);
        if (found != faults_->calls.end()) injected = found->second;
      }
      if (FAILED(injected)) {
        state_->NoteRefusal();
        return injected;
      }
      const HRESULT result = body();
      return result == S_OK ? injected : result;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (const ComError& error) {
      return error.Code();
    } catch (...) {
      return E_FAIL;
    }
  }

  // Call, recorded in the call log with the arguments `describe` adds and the
  // result. A call outside the program's contract is refused before anything
  // else and logged with the reason.
  template <typename Describe, typename Body>
  HRESULT Logged(const wchar_t* operation, Describe&& describe, Body&& body) noexcept {
    try {
      nlohmann::ordered_json record;
      record["op"] = Utf8Of(operation);
      if (*prog_id_ != L'\0') record["progId"] = Utf8Of(prog_id_);
      describe(record);
      std::string violation = ContractViolation(record, state_->RefusedBefore());
      if (!violation.empty()) record["violation"] = std::move(violation);
      const HRESULT result = record.contains("violation")
                                 ? E_INVALIDARG
                                 : Call(operation, [&] { return body(record); });
      record["result"] = HresultText(result);
      state_->Record(std::move(record));
      return result;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_FAIL;
    }
  }

 private:
  void* OwnInterface(REFIID iid) noexcept {
    if (IsEqualIID(iid, __uuidof(Primary))) return static_cast<Primary*>(this);
    void* found = nullptr;
    ((found =
          found == nullptr && IsEqualIID(iid, __uuidof(Extra)) ? static_cast<Extra*>(this) : found),
     ...);
    return found;
  }

  std::atomic<long> references_{1};
  const std::shared_ptr<SdkState> state_;
  const wchar_t* const prog_id_;
  const SdkObjectFaults* const faults_;
};

class MapObject final : public SimObject<IOmxMap> {
 public:
  MapObject(const std::shared_ptr<SdkState>& state, const wchar_t* prog_id)
      : SimObject(state, prog_id, state->FaultsOf(prog_id)) {}

  void Append(std::wstring key, Variant value) {
    std::lock_guard lock(mutex_);
    entries_.emplace_back(std::move(key), std::move(value));
  }

  HRESULT STDMETHODCALLTYPE Add(VARIANT key, VARIANT value) override {
    return Call(L"Add", [&] { return Store(key, value, false); });
  }
  HRESULT STDMETHODCALLTYPE Set(VARIANT key, VARIANT value) override {
    return Call(L"Set", [&] { return Store(key, value, true); });
  }
  HRESULT STDMETHODCALLTYPE Get(VARIANT key, VARIANT* value) override {
    if (value == nullptr) return E_POINTER;
    ClearOut(value);
    return Call(L"Get", [&] {
      std::wstring text;
      if (const HRESULT result = KeyText(key, text); FAILED(result)) return result;
      std::lock_guard lock(mutex_);
      for (const auto& [entry_key, entry_value] : entries_) {
        if (entry_key == text) return ::VariantCopy(value, Source(&entry_value.Get()));
      }
      return kItemNotFound;
    });
  }
  HRESULT STDMETHODCALLTYPE Count(LONG* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return Call(L"Count", [&] {
      std::lock_guard lock(mutex_);
      *count = static_cast<LONG>(entries_.size());
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE KeyAt(LONG index, VARIANT* key) override {
    if (key == nullptr) return E_POINTER;
    ClearOut(key);
    return Call(L"KeyAt", [&] {
      std::lock_guard lock(mutex_);
      if (index < 0 || static_cast<size_t>(index) >= entries_.size()) return DISP_E_BADINDEX;
      Variant text = Variant::Text(entries_[static_cast<size_t>(index)].first);
      MoveOut(text, key);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE ValueAt(LONG index, VARIANT* value) override {
    if (value == nullptr) return E_POINTER;
    ClearOut(value);
    return Call(L"ValueAt", [&] {
      std::lock_guard lock(mutex_);
      if (index < 0 || static_cast<size_t>(index) >= entries_.size()) return DISP_E_BADINDEX;
      return ::VariantCopy(value, Source(&entries_[static_cast<size_t>(index)].second.Get()));
    });
  }

 protected:
  void DescribeContent(nlohmann::ordered_json& out, int depth) override {
    std::lock_guard lock(mutex_);
    nlohmann::ordered_json entries = nlohmann::ordered_json::object();
    for (const auto& [key, value] : entries_)
      entries[Utf8Of(key)] = DescribeVariant(value.Get(), depth);
    out["value"] = std::move(entries);
  }

 private:
  HRESULT Store(const VARIANT& key, const VARIANT& value, bool replace) {
    std::wstring text;
    if (const HRESULT result = KeyText(key, text); FAILED(result)) return result;
    Variant copy;
    if (const HRESULT result = CopyVariant(value, copy); FAILED(result)) return result;
    std::lock_guard lock(mutex_);
    for (auto& [entry_key, entry_value] : entries_) {
      if (entry_key != text) continue;
      if (!replace) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
      entry_value = std::move(copy);
      return S_OK;
    }
    entries_.emplace_back(std::move(text), std::move(copy));
    return S_OK;
  }

  std::mutex mutex_;
  std::vector<std::pair<std::wstring, Variant>> entries_;
};

class ListObject final : public SimObject<IOmxList, IOmxResultCollection> {
 public:
  explicit ListObject(const std::shared_ptr<SdkState>& state)
      : SimObject(state, omx::kListProgId, state->FaultsOf(omx::kListProgId)) {}

  void Append(Variant item) { items_.push_back(std::move(item)); }

  HRESULT STDMETHODCALLTYPE Count(LONG* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return Call(L"Count", [&] {
      *count = static_cast<LONG>(items_.size());
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Size(LONG* size) override {
    if (size == nullptr) return E_POINTER;
    *size = 0;
    return Call(L"Size", [&] {
      *size = static_cast<LONG>(items_.size());
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE ItemAt(LONG index, VARIANT* item) override {
    if (item == nullptr) return E_POINTER;
    ClearOut(item);
    return Call(L"ItemAt", [&] {
      if (index < 0 || static_cast<size_t>(index) >= items_.size()) return DISP_E_BADINDEX;
      return ::VariantCopy(item, Source(&items_[static_cast<size_t>(index)].Get()));
    });
  }

 protected:
  void DescribeContent(nlohmann::ordered_json& out, int depth) override {
    nlohmann::ordered_json items = nlohmann::ordered_json::array();
    for (const Variant& item : items_) items.push_back(DescribeVariant(item.Get(), depth));
    out["value"] = std::move(items);
  }

 private:
  std::vector<Variant> items_;  // filled before the list is handed out, then read-only
};

Variant DispatchVariant(IDispatch* adopted) noexcept {
  Variant out;
  V_VT(out.Mutable()) = VT_DISPATCH;
  out.Mutable()->pdispVal = adopted;
  return out;
}

Variant MakeVariant(const SdkValue& value, const std::shared_ptr<SdkState>& state) {
  const VariantTypeInfo* info = FindVariantType(value.type);
  Variant out;
  if (info == nullptr) return out;
  VARIANT* raw = out.Mutable();
  switch (info->kind) {
    case VariantKind::Empty:
      V_VT(raw) = value.type;
      break;
    case VariantKind::Signed:
    case VariantKind::Unsigned:
    case VariantKind::Bool:
      V_VT(raw) = value.type;
      raw->ullVal = value.bits;  // narrower payloads lie in the low bytes
      break;
    case VariantKind::Real:
      V_VT(raw) = VT_R8;
      raw->dblVal = value.real;
      break;
    case VariantKind::Date:
      V_VT(raw) = VT_DATE;
      raw->date = value.seconds_from_now
                      ? OleDateNow() + static_cast<double>(*value.seconds_from_now) / 86400.0
                      : value.real;
      break;
    case VariantKind::Text:
      out = Variant::Text(value.text);
      break;
    case VariantKind::Dispatch:
      if (value.shape == SdkValue::Shape::Map) {
        auto* map = new MapObject(state, omx::kVariantMapProgId);
        out = DispatchVariant(map->AsDispatch());
        for (const SdkMapEntry& entry : value.entries)
          map->Append(entry.key, MakeVariant(entry.value, state));
      } else if (value.shape == SdkValue::Shape::List) {
        auto* list = new ListObject(state);
        out = DispatchVariant(list->AsDispatch());
        for (const SdkValue& item : value.items) list->Append(MakeVariant(item, state));
      } else {
        out = DispatchVariant(nullptr);
      }
      break;
  }
  return out;
}

class ContextObject final : public SimObject<IOmxContext> {
 public:
  explicit ContextObject(const std::shared_ptr<SdkState>& state)
      : SimObject(state, omx::kContextProgId, state->FaultsOf(omx::kContextProgId)) {}

  HRESULT STDMETHODCALLTYPE SetProperty(BSTR name, VARIANT value) override {
    const std::wstring property =
        name == nullptr ? std::wstring() : std::wstring(name, ::SysStringLen(name));
    return Logged(
        L"SetProperty",
        [&](nlohmann::ordered_json& record) {
          record["name"] = Utf8Of(property);
          record["value"] = DescribeVariant(value, 0);
        },
        [&](nlohmann::ordered_json&) {
          // The communication object is what later objects reach the agent through.
          const bool is_communication = property == omx::kContextCommunicationProperty;
          if (is_communication && (V_VT(&value) != VT_DISPATCH || value.pdispVal == nullptr))
            return E_INVALIDARG;
          Variant copy;
          if (const HRESULT result = CopyVariant(value, copy); FAILED(result)) return result;
          std::lock_guard lock(mutex_);
          properties_[property] = std::move(copy);
          return S_OK;
        });
  }

 protected:
  void DescribeContent(nlohmann::ordered_json& out, int depth) override {
    std::lock_guard lock(mutex_);
    nlohmann::ordered_json properties = nlohmann::ordered_json::object();
    for (const auto& [name, value] : properties_)
      properties[Utf8Of(name)] = DescribeVariant(value.Get(), depth);
    out["properties"] = std::move(properties);
  }

 private:
  std::mutex mutex_;
  std::map<std::wstring, Variant> properties_;
};

class CommunicationObject final : public SimObject<IOmxCommunication> {
 public:
  explicit CommunicationObject(const std::shared_ptr<SdkState>& state)
      : SimObject(state, omx::kCommunicationProgId, state->FaultsOf(omx::kCommunicationProgId)) {}
};

class ConfigurationObject final : public SimObject<IOmxConfiguration> {
 public:
  explicit ConfigurationObject(const std::shared_ptr<SdkState>& state)
      : SimObject(state, omx::kConfigurationProgId, state->FaultsOf(omx::kConfigurationProgId)) {}

  HRESULT STDMETHODCALLTYPE GetValue(LONG scope, LONG id, VARIANT* value) override {
    if (value == nullptr) return E_POINTER;
    ClearOut(value);
    return Logged(
        L"GetValue", [&](nlohmann::ordered_json& record) { DescribeItem(record, scope, id); },
        [&](nlohmann::ordered_json& record) {
          if (scope != omx::kDefaultScope) return E_INVALIDARG;
          const SdkAnswer answer = State()->ReadItem(id);
          if (FAILED(answer.result)) return answer.result;
          Variant out = MakeVariant(answer.value, State());
          record["value"] = DescribeVariant(out.Get(), 0);
          MoveOut(out, value);
          return answer.result;
        });
  }

  HRESULT STDMETHODCALLTYPE SetValue(LONG scope, LONG id, VARIANT value) override {
    return Logged(
        L"SetValue",
        [&](nlohmann::ordered_json& record) {
          DescribeItem(record, scope, id);
          record["value"] = DescribeVariant(value, 0);
        },
        [&](nlohmann::ordered_json&) {
          if (scope != omx::kDefaultScope) return E_INVALIDARG;
          const std::optional<SdkValue> scalar = ScalarOf(value);
          if (!scalar) return DISP_E_TYPEMISMATCH;  // the store keeps plain values only
          return State()->WriteItem(id, *scalar);
        });
  }

 private:
  static void DescribeItem(nlohmann::ordered_json& record, LONG scope, LONG id) {
    if (scope != omx::kDefaultScope) record["scope"] = scope;
    record["item"] = ItemName(id);
  }
};

class LicenseObject final : public SimObject<IOmxLicense> {
 public:
  explicit LicenseObject(const std::shared_ptr<SdkState>& state)
      : SimObject(state, omx::kLicenseProgId, state->FaultsOf(omx::kLicenseProgId)) {}

  HRESULT STDMETHODCALLTYPE GetLicenseInfo(VARIANT query, VARIANT* info) override {
    if (info == nullptr) return E_POINTER;
    ClearOut(info);
    return Logged(
        L"GetLicenseInfo",
        [&](nlohmann::ordered_json& record) { record["query"] = DescribeVariant(query, 0); },
        [&](nlohmann::ordered_json&) {
          const SdkAnswer& answer = State()->Scenario().license;
          if (FAILED(answer.result)) return answer.result;
          Variant out = MakeVariant(answer.value, State());
          MoveOut(out, info);
          return answer.result;
        });
  }
};

// The text held under `key` in `map`, or none when it is absent or not text.
std::optional<std::wstring> TextEntry(IOmxMap* map, const wchar_t* key) {
  Variant value;
  const Variant key_value = Variant::Text(key);
  if (map->Get(key_value.Get(), value.Put()) != S_OK || value.Type() != VT_BSTR)
    return std::nullopt;
  return value.ToText();
}

// The keys of a map in order; false when it cannot be walked.
bool KeysOf(IOmxMap* map, std::vector<std::wstring>& keys) {
  LONG count = 0;
  if (FAILED(map->Count(&count))) return false;
  for (LONG i = 0; i < count; ++i) {
    Variant key;
    if (FAILED(map->KeyAt(i, key.Put()))) return false;
    std::wstring text;
    if (FAILED(KeyText(key.Get(), text))) return false;
    keys.push_back(std::move(text));
  }
  return true;
}

class StatisticsObject final : public SimObject<IOmxStatistics> {
 public:
  explicit StatisticsObject(const std::shared_ptr<SdkState>& state)
      : SimObject(state, omx::kStatisticsProgId, state->FaultsOf(omx::kStatisticsProgId)) {}

  HRESULT STDMETHODCALLTYPE GetStatistics(IDispatch* filters, IDispatch** report) override {
    if (report == nullptr) return E_POINTER;
    *report = nullptr;
    return Logged(
        L"GetStatistics",
        [&](nlohmann::ordered_json& record) { record["filters"] = DescribeObject(filters, 0); },
        [&](nlohmann::ordered_json&) {
          ComPtr<IOmxMap> map;
          std::vector<std::wstring> keys;
          if (filters == nullptr ||
              FAILED(filters->QueryInterface(__uuidof(IOmxMap), map.PutVoid())) ||
              !KeysOf(map.Get(), keys)) {
            return E_INVALIDARG;
          }
          // One report entry set per answered filter key, in the filters' order.
          HRESULT result = S_OK;
          SdkValue entries = SdkValue::Map({});
          for (const std::wstring& key : keys) {
            const auto& statistics = State()->Scenario().statistics;
            const auto answer = statistics.find(key);
            if (answer == statistics.end()) continue;
            if (FAILED(answer->second.result)) return answer->second.result;
            if (answer->second.result != S_OK) result = answer->second.result;
            entries.entries.insert(entries.entries.end(), answer->second.entries.begin(),
                                   answer->second.entries.end());
          }
          Variant out = MakeVariant(entries, State());
          *report = std::exchange(out.Mutable()->pdispVal, nullptr);
          return result;
        });
  }
};

class DatastoreObject final : public SimObject<IOmxDatastore> {
 public:
  explicit DatastoreObject(const std::shared_ptr<SdkState>& state)
      : SimObject(state, omx::kDatastoreProgId, state->FaultsOf(omx::kDatastoreProgId)) {}

  HRESULT STDMETHODCALLTYPE ExecuteQuery(VARIANT query, VARIANT* result) override {
    if (result == nullptr) return E_POINTER;
    ClearOut(result);
    return Logged(
        L"ExecuteQuery",
        [&](nlohmann::ordered_json& record) { record["query"] = DescribeVariant(query, 0); },
        [&](nlohmann::ordered_json&) {
          ComPtr<IOmxMap> map;
          if (V_VT(&query) != VT_DISPATCH || query.pdispVal == nullptr ||
              FAILED(query.pdispVal->QueryInterface(__uuidof(IOmxMap), map.PutVoid()))) {
            return E_INVALIDARG;
          }
          const std::optional<std::wstring> query_type = TextEntry(map.Get(), L"queryType");
          if (!query_type) return E_INVALIDARG;
          const SdkAnswer answer =
              AnswerOf(*query_type, TextEntry(map.Get(), L"user").value_or(L""));
          if (FAILED(answer.result)) return answer.result;
          Variant out = MakeVariant(answer.value, State());
          MoveOut(out, result);
          return answer.result;
        });
  }

 private:
  [[nodiscard]] SdkAnswer AnswerOf(const std::wstring& query_type, const std::wstring& user) const {
    const SdkScenario& scenario = State()->Scenario();
    if (query_type == L"urls") {
      const auto answer = scenario.urls.find(user);
      return answer != scenario.urls.end() ? answer->second : SdkAnswer{S_OK, UrlsAnswer(user, 0)};
    }
    if (const auto answer = scenario.queries.find(query_type); answer != scenario.queries.end()) {
      return answer->second;
    }
    if (query_type == L"countersMalware") return SdkAnswer{S_OK, CountersMalwareAnswer(0)};
    return SdkAnswer{E_INVALIDARG, {}};
  }
};

class TuneUpReportsObject final : public SimObject<IOmxTuneUpReports> {
 public:
  explicit TuneUpReportsObject(const std::shared_ptr<SdkState>& state)
      : SimObject(state, omx::kTuneUpReportsProgId, state->FaultsOf(omx::kTuneUpReportsProgId)) {}

  HRESULT STDMETHODCALLTYPE GetReports(IDispatch** reports) override {
    if (reports == nullptr) return E_POINTER;
    *reports = nullptr;
    return Logged(
        L"GetReports", [](nlohmann::ordered_json&) {},
        [&](nlohmann::ordered_json&) {
          const SdkAnswer& answer = State()->Scenario().tune_up_reports;
          if (FAILED(answer.result)) return answer.result;
          Variant out = MakeVariant(answer.value, State());
          *reports = std::exchange(out.Mutable()->pdispVal, nullptr);
          return answer.result;
        });
  }
};

class DateTimeObject final : public SimObject<IOmxDateTime> {
 public:
  explicit DateTimeObject(const std::shared_ptr<SdkState>& state)
      : SimObject(state, omx::kDateTimeProgId, state->FaultsOf(omx::kDateTimeProgId)) {}

  HRESULT STDMETHODCALLTYPE SetDate(VARIANT year, VARIANT month, VARIANT day) override {
    return Call(L"SetDate", [&] { return Store(date_, {&year, &month, &day}); });
  }
  HRESULT STDMETHODCALLTYPE SetTime(VARIANT hour, VARIANT minute, VARIANT second) override {
    return Call(L"SetTime", [&] { return Store(time_, {&hour, &minute, &second}); });
  }

 protected:
  void DescribeContent(nlohmann::ordered_json& out, int) override {
    std::lock_guard lock(mutex_);
    DescribeParts(out, "date", "%04ld-%02ld-%02ld", date_);
    DescribeParts(out, "time", "%02ld:%02ld:%02ld", time_);
  }

 private:
  struct Parts {
    bool set = false;
    std::array<LONG, 3> values{};
    std::array<VARTYPE, 3> types{};
  };

  HRESULT Store(Parts& parts, std::array<const VARIANT*, 3> given) {
    Parts converted;
    for (size_t i = 0; i < given.size(); ++i) {
      Variant number;
      if (FAILED(::VariantChangeType(number.Mutable(), Source(given[i]), 0, VT_I4)))
        return DISP_E_TYPEMISMATCH;
      converted.values[i] = number.Get().lVal;
      converted.types[i] = V_VT(given[i]);
    }
    converted.set = true;
    std::lock_guard lock(mutex_);
    parts = converted;
    return S_OK;
  }

  static void DescribeParts(nlohmann::ordered_json& out, const char* name, const char* format,
                            const Parts& parts) {
    if (!parts.set) {
      out[name] = nullptr;
      return;
    }
    char text[48];
    std::snprintf(text, sizeof text, format, static_cast<long>(parts.values[0]),
                  static_cast<long>(parts.values[1]), static_cast<long>(parts.values[2]));
    out[name] = text;
    nlohmann::ordered_json types = nlohmann::ordered_json::array();
    for (VARTYPE type : parts.types) types.push_back(VariantTypeName(type));
    out[std::string(name) + "Types"] = std::move(types);
  }

  std::mutex mutex_;
  Parts date_;
  Parts time_;
};

class DateTimeFilterObject final : public SimObject<IOmxDateTimeFilter> {
 public:
  explicit DateTimeFilterObject(const std::shared_ptr<SdkState>& state)
      : SimObject(state, omx::kDateTimeFilterProgId, state->FaultsOf(omx::kDateTimeFilterProgId)) {}

  HRESULT STDMETHODCALLTYPE SetStart(VARIANT date_time) override {
    return Call(L"SetStart", [&] { return Store(start_, date_time); });
  }
  HRESULT STDMETHODCALLTYPE SetEnd(VARIANT date_time) override {
    return Call(L"SetEnd", [&] { return Store(end_, date_time); });
  }

 protected:
  void DescribeContent(nlohmann::ordered_json& out, int depth) override {
    std::lock_guard lock(mutex_);
    out["start"] = DescribeObject(start_.Get(), depth);
    out["end"] = DescribeObject(end_.Get(), depth);
  }

 private:
  HRESULT Store(ComPtr<IDispatch>& slot, const VARIANT& date_time) {
    if (V_VT(&date_time) != VT_DISPATCH || date_time.pdispVal == nullptr) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    slot = ComPtr<IDispatch>(date_time.pdispVal);
    return S_OK;
  }

  std::mutex mutex_;
  ComPtr<IDispatch> start_;
  ComPtr<IDispatch> end_;
};

// A new object of `prog_id` holding one reference; null for an unknown ProgID.
IDispatch* NewObject(std::wstring_view prog_id, const std::shared_ptr<SdkState>& state) {
  if (prog_id == omx::kContextProgId) return (new ContextObject(state))->AsDispatch();
  if (prog_id == omx::kCommunicationProgId) return (new CommunicationObject(state))->AsDispatch();
  if (prog_id == omx::kConfigurationProgId) return (new ConfigurationObject(state))->AsDispatch();
  if (prog_id == omx::kLicenseProgId) return (new LicenseObject(state))->AsDispatch();
  if (prog_id == omx::kStatisticsProgId) return (new StatisticsObject(state))->AsDispatch();
  if (prog_id == omx::kDatastoreProgId) return (new DatastoreObject(state))->AsDispatch();
  if (prog_id == omx::kTuneUpReportsProgId) return (new TuneUpReportsObject(state))->AsDispatch();
  if (prog_id == omx::kDateTimeProgId) return (new DateTimeObject(state))->AsDispatch();
  if (prog_id == omx::kDateTimeFilterProgId) return (new DateTimeFilterObject(state))->AsDispatch();
  if (prog_id == omx::kStringMapProgId)
    return (new MapObject(state, omx::kStringMapProgId))->AsDispatch();
  if (prog_id == omx::kVariantMapProgId)
    return (new MapObject(state, omx::kVariantMapProgId))->AsDispatch();
  if (prog_id == omx::kListProgId) return (new ListObject(state))->AsDispatch();
  return nullptr;
}

class RootObject final : public SimObject<IOmxRoot> {
 public:
  explicit RootObject(const std::shared_ptr<SdkState>& state)
      : SimObject(state, L"", &state->Scenario().root) {}

  HRESULT STDMETHODCALLTYPE CreateObject(BSTR prog_id, IDispatch* context,
                                         IDispatch** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    const std::wstring name =
        prog_id == nullptr ? std::wstring() : std::wstring(prog_id, ::SysStringLen(prog_id));
    return Logged(
        L"CreateObject",
        [&](nlohmann::ordered_json& record) {
          record["progId"] = Utf8Of(name);
          record["context"] = context != nullptr;
          if (context == nullptr) return;
          const nlohmann::ordered_json given = DescribeObject(context, kMaxDescribeDepth);
          if (given.value("progId", "") != "Omx.Context")
            record["contextObject"] = given.value("progId", "an object of another component");
        },
        [&](nlohmann::ordered_json&) {
          const ProgIdInfo* info = FindProgId(std::wstring_view(name));
          if (info == nullptr) return CO_E_CLASSSTRING;
          const SdkObjectFaults* faults = State()->FaultsOf(info->prog_id);
          const HRESULT injected = faults != nullptr && faults->create ? *faults->create : S_OK;
          if (FAILED(injected)) {
            State()->NoteRefusal();
            return injected;
          }
          *object = NewObject(name, State());
          return injected;
        });
  }
};

}  // namespace

HRESULT CreateSimulatedRoot(std::shared_ptr<SdkState> state, REFIID iid, void** object) noexcept {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!state) return E_INVALIDARG;
  try {
    const std::optional<HRESULT>& injected = state->Scenario().root.create;
    nlohmann::ordered_json record;
    record["op"] = "CreateRoot";
    record["result"] = HresultText(injected && FAILED(*injected) ? *injected : S_OK);
    state->Record(std::move(record));
    if (injected && FAILED(*injected)) return *injected;
    auto* root = new RootObject(state);
    const HRESULT result = root->QueryInterface(iid, object);
    root->Release();
    if (FAILED(result)) return result;
    return result == S_OK && injected ? *injected : result;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

long LiveSdkObjects() noexcept { return g_live_objects.load(); }

}  // namespace qm::sim
