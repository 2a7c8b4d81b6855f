#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counters_fixture.h"

namespace qm::testing {
namespace {

TEST_F(CountersStep, UrlsAreSummedOverTheAccountsOfACompletePassOverTheProfiles) {
  // Sorted as the registry lists them, so each row's odd profile lies between the two accounts.
  const std::wstring too_long = L"S-1-5-21-0-0-0-2" + std::wstring(112, L'9');
  const struct {
    std::vector<std::wstring> profiles;
    std::uint32_t urls;
  } rows[] = {
      {{L"S-1-5-18", kUserSid, kAdminSid}, 3 + 4},
      {{kUserSid, L"S-1-5-21-0-0-0-1000.bak", kAdminSid}, 0},  // does not convert
      {{kUserSid, L"S-1-5-21-0-0-0-1001", kAdminSid}, 3 + 4},  // resolves to no account
      {{kUserSid, too_long, kAdminSid}, 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.profiles));
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProfileList);
    AddProfiles(row.profiles);
    sim::SdkScenario scenario = CountersScenario();
    // Counted only if they were wrongly queried.
    for (const wchar_t* sid : {L"S-1-5-18", L"S-1-5-21-0-0-0-1001"}) scenario.urls[sid] = Urls(sid, 100);
    ASSERT_TRUE(Collect(std::move(scenario)));
    EXPECT_EQ(profile_.GetDetectionCounters()->GetLast30DaysAnalyzedURLs(), row.urls);
  }
}

}  // namespace
}  // namespace qm::testing
