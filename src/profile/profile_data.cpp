#include "profile/profile_data.h"

#include "diagnostics/trace.h"
#include "profile/fallback_product.h"
#include "profile/process_texts.h"
#include "upload/tracking.h"

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

void CProfileData::AddIdentityMembers(JsonObject& document) const {
  document.Add(JsonStringPair(L"MUID", GetMUID()))
      .Add(JsonObjectPair(L"OSInfo", GetOSInfo()))
      .Add(JsonNumberPair(L"SuiteID", GetSuiteID()))
      .Add(JsonStringPair(L"SuiteVersion", GetSuiteVersion()))
      .Add(JsonStringPair(L"SuiteVersionNumber", GetSuiteVersionNumber()))
      .Add(JsonStringPair(L"Country", GetCountry()))
      .Add(JsonStringPair(L"Language", GetLanguage()))
      .Add(JsonNumberPair(L"CustomID", GetCustomID()));
  if (!InstallUid.empty()) document.Add(JsonStringPair(L"InstUID", InstallUid));
}

std::wstring CProfileData::ToJson() const {
  if (GetMUID().empty()) {
    QM_TRACE(ProfileDocument, 10, Error, Run);
    SendTrackingEvent(L"prfNotMUID", 2);
    return {};
  }
  const std::wstring products = ProductsMember(/*with_fallback=*/true);
  JsonObject document(products.size() + kDocumentRoomBesideProducts);
  AddIdentityMembers(document);
  document.Add(products)
      .Add(JsonNumberPair(L"AVState", GetAVState()))
      .Add(JsonObjectPair(L"DetectionCounters", detection_counters_.get()));
  if (!OwnFileVersion.empty()) document.Add(JsonStringPair(L"FileVersion", OwnFileVersion));
  return document.Close();
}

std::wstring CProfileData::ToCompareJson() const {
  const std::wstring products = ProductsMember(/*with_fallback=*/false);
  JsonObject document(products.size() + kDocumentRoomBesideProducts);
  AddIdentityMembers(document);
  document.Add(products).Add(JsonNumberPair(L"AVState", GetAVState()));
  return document.Close();
}

std::wstring CProfileData::ProductsMember(bool with_fallback) const {
  if (products_.empty() && with_fallback) {
    // Built into the text only; the profile itself stays without products.
    const FallbackProduct fallback = ReadFallbackProduct(GetDefaultModuleStatus());
    return JsonArrayPair(L"Products", {&fallback});
  }
  return JsonArrayPair(L"Products", EntriesOf(products_));
}

}  // namespace qm
