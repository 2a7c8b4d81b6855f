#include "profile/records.h"

namespace qm {

std::wstring COSInfo::Serialize() const {
  return JsonObject()
      .Add(JsonStringPair(L"Platform", L"Windows"))
      .Add(JsonNumberPair(L"OSMajorVer", os_major_ver_))
      .Add(JsonNumberPair(L"OSMinorVer", os_minor_ver_))
      .Add(JsonNumberPair(L"SPMajorVer", sp_major_ver_))
      .Add(JsonNumberPair(L"SPMinorVer", sp_minor_ver_))
      .Add(JsonNumberPair(L"OSType", os_type_))
      .Add(JsonBoolPair(L"OSx64", os_x64_))
      .Add(JsonStringPair(L"NetVersionInstalled", net_version_installed_))
      .Add(JsonStringPair(L"NetFrameworkRealVersion", net_framework_real_version_))
      .Add(JsonStringPair(L"W10BuildNumber", w10_build_number_))
      .Close();
}

std::wstring CLicenseInfo::Serialize() const {
  // The member order is the document's, not the order of the fields.
  JsonObject object;
  object.Add(JsonStringPair(L"ActivationCode", activation_code_));
  if (!license_version_type_.empty()) {
    object.Add(JsonStringPair(L"LicenseVersionType", license_version_type_));
  }
  object.Add(JsonStringPair(L"ClientID", client_id_))
      .Add(JsonStringPair(L"ProductLicenseID", product_license_id_))
      .Add(JsonStringPair(L"ActivationDate", activation_date_))
      .Add(JsonStringPair(L"ExpirationDate", expiration_date_));
  return object.Close();
}

CProductInfo::~CProductInfo() = default;

std::wstring CProductInfo::Serialize() const {
  JsonObject object;
  object.Add(JsonStringPair(L"ProductID", product_id_))
      .Add(JsonStringPair(L"VersionType", version_type_))
      .Add(JsonStringPair(L"MyAccountID", my_account_id_))
      .Add(JsonStringPair(L"ModuleStatus", module_status_));
  if (!licenses_.empty()) object.Add(JsonArrayPair(L"Licenses", EntriesOf(licenses_)));
  return object.Close();
}

void CProductInfo::AddLicense(CLicenseInfo* license) {
  licenses_.push_back(std::unique_ptr<CLicenseInfo>(license));
}

}  // namespace qm
