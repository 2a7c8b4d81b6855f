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
  JsonObject document;
  AddIdentityMembers(document);
  if (products_.empty()) {
    // Built into the text only; the profile itself stays without products.
    const FallbackProduct fallback = ReadFallbackProduct(GetDefaultModuleStatus());
    document.Add(JsonArrayPair(L"Products", {&fallback}));
  } else {
    document.Add(JsonArrayPair(L"Products", EntriesOf(products_)));
  }
  document.Add(JsonNumberPair(L"AVState", GetAVState()))
      .Add(JsonObjectPair(L"DetectionCounters", detection_counters_.get()));
  if (!OwnFileVersion.empty()) document.Add(JsonStringPair(L"FileVersion", OwnFileVersion));
  return document.Close();
}

std::wstring CProfileData::ToCompareJson() const {
  JsonObject document;
  AddIdentityMembers(document);
  document.Add(JsonArrayPair(L"Products", EntriesOf(products_)))
      .Add(JsonNumberPair(L"AVState", GetAVState()));
  return document.Close();
}

}  // namespace qm
