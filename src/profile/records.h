#pragma once

// The plain records of a profile: operating system, products and their
// licences. Collectors fill them; the profile owns them.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "profile/json_writer.h"

namespace qm {

// Operating-system block of the profile.
class COSInfo final : public ISerializable {
 public:
  [[nodiscard]] std::wstring Serialize() const override;

  [[nodiscard]] std::uint32_t GetOSMajorVer() const { return os_major_ver_; }
  [[nodiscard]] std::uint32_t GetOSMinorVer() const { return os_minor_ver_; }
  [[nodiscard]] std::uint32_t GetSPMajorVer() const { return sp_major_ver_; }
  [[nodiscard]] std::uint32_t GetSPMinorVer() const { return sp_minor_ver_; }
  [[nodiscard]] std::uint32_t GetOSType() const { return os_type_; }
  [[nodiscard]] bool GetOSx64() const { return os_x64_; }
  [[nodiscard]] std::wstring GetNetVersionInstalled() const { return net_version_installed_; }
  [[nodiscard]] std::wstring GetNetFrameworkRealVersion() const {
    return net_framework_real_version_;
  }
  [[nodiscard]] std::wstring GetW10BuildNumber() const { return w10_build_number_; }

  void SetOSMajorVer(std::uint32_t value) { os_major_ver_ = value; }
  void SetOSMinorVer(std::uint32_t value) { os_minor_ver_ = value; }
  void SetSPMajorVer(std::uint32_t value) { sp_major_ver_ = value; }
  void SetSPMinorVer(std::uint32_t value) { sp_minor_ver_ = value; }
  void SetOSType(std::uint32_t value) { os_type_ = value; }
  void SetOSx64(bool value) { os_x64_ = value; }
  void SetNetVersionInstalled(std::wstring value) { net_version_installed_ = std::move(value); }
  void SetNetFrameworkRealVersion(std::wstring value) {
    net_framework_real_version_ = std::move(value);
  }
  void SetW10BuildNumber(std::wstring value) { w10_build_number_ = std::move(value); }

 private:
  std::uint32_t os_major_ver_ = 0;
  std::uint32_t os_minor_ver_ = 0;
  std::uint32_t sp_major_ver_ = 0;
  std::uint32_t sp_minor_ver_ = 0;
  std::uint32_t os_type_ = 0;
  bool os_x64_ = false;
  std::wstring net_version_installed_;
  std::wstring net_framework_real_version_;
  std::wstring w10_build_number_;
};

// One licence of a product.
class CLicenseInfo final : public ISerializable {
 public:
  [[nodiscard]] std::wstring Serialize() const override;

  [[nodiscard]] std::wstring GetClientID() const { return client_id_; }
  [[nodiscard]] std::wstring GetLicenseVersionType() const { return license_version_type_; }
  [[nodiscard]] std::wstring GetActivationCode() const { return activation_code_; }
  [[nodiscard]] std::wstring GetProductLicenseID() const { return product_license_id_; }
  [[nodiscard]] std::wstring GetActivationDate() const { return activation_date_; }
  [[nodiscard]] std::wstring GetExpirationDate() const { return expiration_date_; }

  void SetClientID(std::wstring value) { client_id_ = std::move(value); }
  void SetLicenseVersionType(std::wstring value) { license_version_type_ = std::move(value); }
  void SetActivationCode(std::wstring value) { activation_code_ = std::move(value); }
  void SetProductLicenseID(std::wstring value) { product_license_id_ = std::move(value); }
  void SetActivationDate(std::wstring value) { activation_date_ = std::move(value); }
  void SetExpirationDate(std::wstring value) { expiration_date_ = std::move(value); }

 private:
  std::wstring client_id_;
  std::wstring license_version_type_;
  std::wstring activation_code_;
  std::wstring product_license_id_;
  std::wstring activation_date_;
  std::wstring expiration_date_;
};

// One installed product with the licences it owns.
class CProductInfo : public ISerializable {
 public:
  CProductInfo() = default;
  virtual ~CProductInfo();
  CProductInfo(const CProductInfo&) = delete;
  CProductInfo& operator=(const CProductInfo&) = delete;

  [[nodiscard]] std::wstring Serialize() const override;

  [[nodiscard]] std::wstring GetProductID() const { return product_id_; }
  [[nodiscard]] std::wstring GetVersionType() const { return version_type_; }
  [[nodiscard]] std::wstring GetMyAccountID() const { return my_account_id_; }
  [[nodiscard]] std::wstring GetModuleStatus() const { return module_status_; }

  void SetProductID(std::wstring value) { product_id_ = std::move(value); }
  void SetVersionType(std::wstring value) { version_type_ = std::move(value); }
  void SetMyAccountID(std::wstring value) { my_account_id_ = std::move(value); }
  void SetModuleStatus(std::wstring value) { module_status_ = std::move(value); }

  // Appends `license` and takes ownership of it, even when appending fails.
  void AddLicense(CLicenseInfo* license);

 private:
  std::wstring product_id_;
  std::wstring version_type_;
  std::wstring my_account_id_;
  std::wstring module_status_;
  std::vector<std::unique_ptr<CLicenseInfo>> licenses_;
};

// The raw pointers of an owning list, as the array writer takes them.
template <typename T>
[[nodiscard]] std::vector<const ISerializable*> EntriesOf(
    const std::vector<std::unique_ptr<T>>& owned) {
  std::vector<const ISerializable*> entries;
  entries.reserve(owned.size());
  for (const auto& item : owned) entries.push_back(item.get());
  return entries;
}

}  // namespace qm
