#pragma once

// The profile of one run and the two documents built from it: the full one,
// which is uploaded, and the reduced one, whose hash decides whether anything
// changed since the last upload.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "profile/detection_counters.h"
#include "profile/document_inputs.h"
#include "profile/event_sink.h"
#include "profile/records.h"

namespace qm {

// Read access to a profile for the parts of the program that only look at it.
class IProfileDataObserver {
 public:
  [[nodiscard]] virtual std::wstring GetMUID() const = 0;
  [[nodiscard]] virtual std::uint32_t GetSuiteID() const = 0;
  [[nodiscard]] virtual std::wstring GetSuiteVersion() const = 0;
  [[nodiscard]] virtual std::wstring GetCountry() const = 0;
  [[nodiscard]] virtual std::wstring GetLanguage() const = 0;
  [[nodiscard]] virtual std::uint32_t GetCustomID() const = 0;
  // May be null; the profile keeps ownership.
  [[nodiscard]] virtual const COSInfo* GetOSInfo() const = 0;
  [[nodiscard]] virtual std::wstring GetConnectionSetting1() const = 0;
  [[nodiscard]] virtual std::wstring GetConnectionSetting2() const = 0;
  [[nodiscard]] virtual std::wstring GetConnectionSetting3() const = 0;

 protected:
  // Observers never own the profile they look at.
  ~IProfileDataObserver() = default;
};

class CProfileData : public IProfileDataObserver {
 public:
  CProfileData();
  virtual ~CProfileData();
  CProfileData(const CProfileData&) = delete;
  CProfileData& operator=(const CProfileData&) = delete;

  [[nodiscard]] std::wstring GetMUID() const override { return muid_; }
  [[nodiscard]] std::uint32_t GetSuiteID() const override { return suite_id_; }
  [[nodiscard]] std::wstring GetSuiteVersion() const override { return suite_version_; }
  [[nodiscard]] std::wstring GetCountry() const override { return country_; }
  [[nodiscard]] std::wstring GetLanguage() const override { return language_; }
  [[nodiscard]] std::uint32_t GetCustomID() const override { return custom_id_; }
  [[nodiscard]] const COSInfo* GetOSInfo() const override { return os_info_.get(); }
  [[nodiscard]] std::wstring GetConnectionSetting1() const override { return connection_setting1_; }
  [[nodiscard]] std::wstring GetConnectionSetting2() const override { return connection_setting2_; }
  [[nodiscard]] std::wstring GetConnectionSetting3() const override { return connection_setting3_; }
  [[nodiscard]] virtual std::wstring GetSuiteVersionNumber() const { return suite_version_number_; }
  [[nodiscard]] virtual std::uint32_t GetDefaultModuleStatus() const {
    return default_module_status_;
  }
  [[nodiscard]] virtual std::uint32_t GetAVState() const { return av_state_; }
  // Null until the counters step attached a record.
  [[nodiscard]] const CDetectionCounters* GetDetectionCounters() const {
    return detection_counters_.get();
  }

  void SetMUID(std::wstring value) { muid_ = std::move(value); }
  void SetSuiteID(std::uint32_t value) { suite_id_ = value; }
  void SetSuiteVersion(std::wstring value) { suite_version_ = std::move(value); }
  void SetSuiteVersionNumber(std::wstring value) { suite_version_number_ = std::move(value); }
  void SetCountry(std::wstring value) { country_ = std::move(value); }
  void SetLanguage(std::wstring value) { language_ = std::move(value); }
  void SetCustomID(std::uint32_t value) { custom_id_ = value; }
  void SetConnectionSetting1(std::wstring value) { connection_setting1_ = std::move(value); }
  void SetConnectionSetting2(std::wstring value) { connection_setting2_ = std::move(value); }
  void SetConnectionSetting3(std::wstring value) { connection_setting3_ = std::move(value); }
  void SetDefaultModuleStatus(std::uint32_t value) { default_module_status_ = value; }
  void SetAVState(std::uint32_t value) { av_state_ = value; }

  // Each of these hands the record to the profile, which deletes it with
  // itself. Handing over a second record replaces (and deletes) the first.
  void SetOSInfo(COSInfo* os_info);
  void SetDetectionCounters(CDetectionCounters* counters);
  // Appends `product` and takes ownership of it, even when appending fails.
  void AddProduct(CProductInfo* product);

  // The uploaded document; empty when the profile has no MUID, which is
  // reported to `report` (when given) as "prfNotMUID" with 2.
  [[nodiscard]] std::wstring ToJson(const DocumentInputs& inputs, EventSink* report) const;
  // The document whose hash detects a change: no counters, no file version,
  // and the products exactly as collected.
  [[nodiscard]] std::wstring ToCompareJson(const DocumentInputs& inputs) const;

 private:
  // Members from "MUID" to the optional "InstUID", shared by both documents.
  void AddIdentityMembers(JsonObject& document, const DocumentInputs& inputs) const;
  // The "Products" member; an empty list gives `fallback` when there is one.
  [[nodiscard]] std::wstring ProductsMember(const FallbackProductTexts* fallback) const;

  std::wstring muid_;
  std::unique_ptr<COSInfo> os_info_;
  std::uint32_t suite_id_ = 0;
  std::wstring suite_version_;
  std::wstring suite_version_number_;
  std::wstring country_;
  std::wstring language_;
  std::uint32_t custom_id_ = 0;
  std::vector<std::unique_ptr<CProductInfo>> products_;
  std::wstring connection_setting1_;
  std::wstring connection_setting2_;
  std::wstring connection_setting3_;
  std::unique_ptr<CDetectionCounters> detection_counters_;
  std::uint32_t default_module_status_ = 0;
  std::uint32_t av_state_ = 0;
};

}  // namespace qm
