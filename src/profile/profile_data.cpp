#include "profile/profile_data.h"

#include "diagnostics/trace.h"
#include "profile/fallback_product.h"

namespace qm {
namespace {

// Taking the same record twice would delete it while it is still held.
template <typename T>
void TakeOwnership(std::unique_ptr<T>& slot, T* record) {
  if (slot.get() != record) slot.reset(record);
}

// The products are serialised first, so the document is allocated once at
// its final size; this is the room its other members usually need.
constexpr std::size_t kDocumentRoomBesideProducts = 2048;

// What the tracking service hears when the full document cannot be built.
constexpr wchar_t kNoMuidEvent[] = L"prfNotMUID";
constexpr std::int32_t kNoMuidAtDocument = 2;

}  // namespace

CProfileData::CProfileData() = default;
CProfileData::~CProfileData() = default;

void CProfileData::SetOSInfo(COSInfo* os_info) { TakeOwnership(os_info_, os_info); }

void CProfileData::SetDetectionCounters(CDetectionCounters* counters) {
  TakeOwnership(detection_counters_, counters);
}

void CProfileData::AddProduct(CProductInfo* product) {
  products_.push_back(std::unique_ptr<CProductInfo>(product));
}

void CProfileData::AddIdentityMembers(JsonObject& document, const DocumentInputs& inputs) const {
  document.Add(JsonStringPair(L"MUID", GetMUID()))
      .Add(JsonObjectPair(L"OSInfo", GetOSInfo()))
      .Add(JsonNumberPair(L"SuiteID", GetSuiteID()))
      .Add(JsonStringPair(L"SuiteVersion", GetSuiteVersion()))
      .Add(JsonStringPair(L"SuiteVersionNumber", GetSuiteVersionNumber()))
      .Add(JsonStringPair(L"Country", GetCountry()))
      .Add(JsonStringPair(L"Language", GetLanguage()))
      .Add(JsonNumberPair(L"CustomID", GetCustomID()));
  if (!inputs.install_uid.empty()) document.Add(JsonStringPair(L"InstUID", inputs.install_uid));
}

std::wstring CProfileData::ToJson(const DocumentInputs& inputs, EventSink* report) const {
  if (GetMUID().empty()) {
    QM_TRACE(ProfileDocument, 10, Error, Run);
    if (report != nullptr) report->Report(kNoMuidEvent, kNoMuidAtDocument);
    return {};
  }
  const std::wstring products = ProductsMember(&inputs.fallback_product);
  JsonObject document(products.size() + kDocumentRoomBesideProducts);
  AddIdentityMembers(document, inputs);
  document.Add(products)
      .Add(JsonNumberPair(L"AVState", GetAVState()))
      .Add(JsonObjectPair(L"DetectionCounters", detection_counters_.get()));
  if (!inputs.own_file_version.empty()) {
    document.Add(JsonStringPair(L"FileVersion", inputs.own_file_version));
  }
  return document.Close();
}

std::wstring CProfileData::ToCompareJson(const DocumentInputs& inputs) const {
  const std::wstring products = ProductsMember(nullptr);
  JsonObject document(products.size() + kDocumentRoomBesideProducts);
  AddIdentityMembers(document, inputs);
  document.Add(products).Add(JsonNumberPair(L"AVState", GetAVState()));
  return document.Close();
}

std::wstring CProfileData::ProductsMember(const FallbackProductTexts* fallback) const {
  if (products_.empty() && fallback != nullptr) {
    // Built into the text only; the profile itself stays without products.
    const FallbackProduct product(*fallback, GetDefaultModuleStatus());
    return JsonArrayPair(L"Products", {&product});
  }
  return JsonArrayPair(L"Products", EntriesOf(products_));
}

}  // namespace qm
