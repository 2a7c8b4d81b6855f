#pragma once

// A profile whose values the test sets directly.

#include <string>

#include "profile/profile_data.h"

namespace qm::testing {

class FakeProfile final : public IProfileDataObserver {
 public:
  std::wstring GetMUID() const override { return muid; }
  std::uint32_t GetSuiteID() const override { return suite_id; }
  std::wstring GetSuiteVersion() const override { return suite_version; }
  std::wstring GetCountry() const override { return {}; }
  std::wstring GetLanguage() const override { return {}; }
  std::uint32_t GetCustomID() const override { return custom_id; }
  const COSInfo* GetOSInfo() const override { return nullptr; }
  std::wstring GetConnectionSetting1() const override { return setting1; }
  std::wstring GetConnectionSetting2() const override { return setting2; }
  std::wstring GetConnectionSetting3() const override { return setting3; }

  std::wstring muid, suite_version, setting1, setting2, setting3;
  std::uint32_t suite_id = 0;
  std::uint32_t custom_id = 0;
};

}  // namespace qm::testing
